// Owned references to Python objects. `Ref` holds one strong reference and drops it when it goes
// out of scope, so early returns on error never leak. Everything in this extension that creates
// an object holds it in a Ref until it is handed to the interpreter with release().
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarnwell_py {

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (the result of a C-API call that returns one); may be null.
  static Ref steal(PyObject* o) { return Ref(o); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(o.obj_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller (typically the interpreter, as a return value).
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit Ref(PyObject* o) : obj_(o) {}
  PyObject* obj_ = nullptr;
};

// Runs `fn` with the interpreter lock released. Core work that may block on a native lock, wait
// for the disk or run long goes through here, so other Python threads keep running and no thread
// ever waits for a native lock while holding the interpreter lock.
template <class Fn>
auto without_gil(Fn&& fn) -> decltype(fn()) {
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } guard{PyEval_SaveThread()};
  return fn();
}

}  // namespace tarnwell_py
