// Python references that the worker runtime holds in shared objects (a job's call, a start()'s
// task locals, an operation's future). Left alone they would outlive the interpreter, and with
// them whatever they reach (a handler's module, its open files, which then never get flushed).
// So at exit, once no worker is inside Python any more, the interpreter-exit hook releases them
// all while the interpreter is still whole. Workers never touch Python after that moment.
#pragma once

#include <memory>

namespace tyvo::py {

// Registers `owner`, whose references `release` drops. Lock held.
void release_at_exit(std::weak_ptr<void> owner, void (*release)(void*));

// For a shared object with a release_references(T&) overload (found by argument lookup).
template <class T>
void release_at_exit(const std::shared_ptr<T>& owner) {
  release_at_exit(std::weak_ptr<void>(owner),
                  [](void* object) { release_references(*static_cast<T*>(object)); });
}

// Releases the references of every registered object still alive. Lock held, at exit, once no
// worker is inside Python and none can enter any more.
void release_registered_at_exit();

}  // namespace tyvo::py
