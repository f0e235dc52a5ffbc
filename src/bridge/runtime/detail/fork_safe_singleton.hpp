#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <new>

namespace tyvo::rt::detail {

// A lazily created, never destroyed object that owns threads, and that a forked child gets
// afresh: fork() copies memory but no threads, so the parent's pool or timer thread would look
// alive in the child while nothing ever ran. In the child the old object is forgotten (leaked,
// its mutexes may be held by threads that no longer exist) and the next use creates a new one.
template <class T>
class ForkSafeSingleton {
 public:
  using Factory = T* (*)();

  explicit ForkSafeSingleton(Factory factory) : factory_(factory) {
    instances().push(this);
    static const bool registered = (pthread_atfork(nullptr, nullptr, &forget_all_in_child), true);
    (void)registered;
  }

  T& get() {
    if (T* existing = current_.load(std::memory_order_acquire)) return *existing;
    std::lock_guard lock(*creating_);
    if (T* existing = current_.load(std::memory_order_relaxed)) return *existing;
    T* created = factory_();
    current_.store(created, std::memory_order_release);
    return *created;
  }

 private:
  // Every singleton of this kind, so that one fork handler can reset them all.
  struct Registry {
    ForkSafeSingleton* items[4] = {};
    int count = 0;
    void push(ForkSafeSingleton* item) { items[count++] = item; }
  };
  static Registry& instances() {
    static Registry registry;
    return registry;
  }

  static void forget_all_in_child() {
    Registry& registry = instances();
    for (int i = 0; i < registry.count; ++i) {
      registry.items[i]->current_.store(nullptr, std::memory_order_relaxed);
      registry.items[i]->creating_ = new std::mutex();  // the old one may be held by a vanished thread
    }
  }

  Factory factory_;
  std::atomic<T*> current_{nullptr};
  std::mutex* creating_ = new std::mutex();
};

}  // namespace tyvo::rt::detail
