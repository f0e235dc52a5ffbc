#include "bridge/runtime/forced_unwind.hpp"

#if !defined(__GLIBCXX__)
#include <cxxabi.h>
#include <unwind.h>

#include <cstddef>
#include <exception>

// libc++abi's per-thread exception state; exported, but declared in no public header.
extern "C" void* __cxa_get_globals() noexcept;

namespace tyvo::rt {
namespace {

// The head of libc++abi's per-thread list of exceptions being handled is the first field of its
// exception state. For a foreign exception the head is not a real header: it is the unwind
// header's address less the offset the unwind header has inside a native header (its last field).
struct HandledExceptions {
  void* head;
  unsigned int uncaught;
};

HandledExceptions& handled_exceptions() { return *static_cast<HandledExceptions*>(__cxa_get_globals()); }

// A native exception's object directly follows its header, which ends with the unwind header: one
// exception thrown and caught measures the offset, whatever libc++abi's header layout is.
std::ptrdiff_t unwind_header_offset() {
  static const std::ptrdiff_t offset = [] {
    try {
      throw 0;
    } catch (int& thrown) {
      return reinterpret_cast<char*>(&thrown) - static_cast<char*>(handled_exceptions().head) -
             static_cast<std::ptrdiff_t>(sizeof(_Unwind_Exception));
    }
  }();
  return offset;
}

}  // namespace

void rethrow_if_forced_unwind() {
  if (abi::__cxa_current_exception_type() != nullptr) return;  // a C++ exception: not an unwind
  const std::ptrdiff_t offset = unwind_header_offset();
  HandledExceptions& handled = handled_exceptions();
  auto* unwind = reinterpret_cast<_Unwind_Exception*>(static_cast<char*>(handled.head) + offset);
  // What libc++abi's own rethrow of a foreign exception does first: the handler's end, which still
  // runs as a cleanup on the way out, then finds nothing to release.
  handled.head = nullptr;
  _Unwind_Resume_or_Rethrow(unwind);  // continues the forced unwind; returns only on failure
  std::terminate();
}

}  // namespace tyvo::rt
#endif
