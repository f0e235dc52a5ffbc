#include "python/exit_release.hpp"

#include <algorithm>
#include <vector>

namespace tyvo::py {
namespace {

struct Registered {
  std::weak_ptr<void> owner;
  void (*release)(void*);
};

// Touched only with the interpreter lock held. Leaked: it may be used until the very end.
std::vector<Registered>* registered = new std::vector<Registered>();
std::size_t prune_at = 64;

}  // namespace

void release_at_exit(std::weak_ptr<void> owner, void (*release)(void*)) {
  if (registered->size() >= prune_at) {
    // Objects already gone leave their entries behind; dropping them here keeps the list within
    // twice the live ones.
    std::erase_if(*registered, [](const Registered& entry) { return entry.owner.expired(); });
    prune_at = std::max<std::size_t>(64, 2 * registered->size());
  }
  registered->push_back(Registered{std::move(owner), release});
}

void release_registered_at_exit() {
  // A release may run finalisers that register more (a start() in a __del__): those go too.
  while (!registered->empty()) {
    std::vector<Registered> batch;
    batch.swap(*registered);
    for (const Registered& entry : batch) {
      if (auto alive = entry.owner.lock()) entry.release(alive.get());
    }
  }
}

}  // namespace tyvo::py
