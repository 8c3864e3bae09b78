// One object of type T per thread, made on the thread's first use and destroyed when it ends.
// Used instead of thread_local: in a shared object (the extension) a thread's storage for
// thread_local variables is allocated by the dynamic loader on first touch, and again after
// other libraries are loaded, and the loader aborts the process when that allocation fails. A
// POSIX key never allocates on lookup, and the object comes from `new`, so running out of memory
// is an ordinary std::bad_alloc.
#pragma once

#include <pthread.h>

#include <memory>
#include <new>

namespace tarnwell_core {

template <class T>
class PerThread {
 public:
  PerThread() {
    if (::pthread_key_create(&key_, [](void* p) { delete static_cast<T*>(p); }) != 0) {
      throw std::bad_alloc();  // out of keys: reported like any exhaustion, at load time
    }
  }
  // Never deleted: threads may outlive static destruction at exit.
  ~PerThread() = default;
  PerThread(const PerThread&) = delete;
  PerThread& operator=(const PerThread&) = delete;

  T& get() {
    if (void* p = ::pthread_getspecific(key_)) return *static_cast<T*>(p);
    return make();
  }

 private:
  [[gnu::noinline]] T& make() {
    auto made = std::make_unique<T>();
    if (::pthread_setspecific(key_, made.get()) != 0) throw std::bad_alloc();
    return *made.release();
  }

  pthread_key_t key_;
};

}  // namespace tarnwell_core
