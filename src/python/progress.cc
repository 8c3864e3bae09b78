#include "python/progress.h"

#include <algorithm>

namespace tarnwell_py {

bool Progress::convert(PyObject* o, ArgName arg, const char* description) {
  callable_ = Ref();
  if (o == nullptr || o == Py_None || o == Py_False) return true;
  if (o == Py_True) {
    Ref module = Ref::steal(PyImport_ImportModule("tarnwell._progress"));
    if (!module) return false;
    Ref bar = Ref::steal(PyObject_CallMethod(module.get(), "make_bar", "s", description));
    if (!bar) return false;
    if (bar.get() != Py_None) callable_ = std::move(bar);
    return true;
  }
  if (!PyCallable_Check(o)) {
    raise_arg_type(arg, "callable, bool or None", o);
    return false;
  }
  callable_ = Ref::borrow(o);
  return true;
}

tarnwell_core::ProgressFn Progress::fn() const {
  if (!callable_) return {};
  PyObject* callable = callable_.get();
  return [callable](size_t done, size_t total) {
    const PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* result = PyObject_CallFunction(callable, "nn", static_cast<Py_ssize_t>(done),
                                             static_cast<Py_ssize_t>(total));
    const bool ok = result != nullptr;
    Py_XDECREF(result);
    if (!ok) PyErr_WriteUnraisable(callable);
    PyGILState_Release(gil);
    return ok;
  };
}

bool parse_batch_options(const char* fname, PyObject* num_threads, PyObject* progress_arg,
                         const char* description, tarnwell_core::BatchOptions* options,
                         Progress* progress) {
  std::optional<uint64_t> threads;
  if (!to_opt_u64(num_threads == Py_None ? nullptr : num_threads, {fname, "num_threads"},
                  &threads)) {
    return false;
  }
  if (threads && *threads == 0) {
    PyErr_SetString(PyExc_ValueError, "num_threads must be at least 1");
    return false;
  }
  // More threads than that only queue for the same cores.
  options->threads = threads ? static_cast<size_t>(std::min<uint64_t>(*threads, 1024)) : 0;
  if (!progress->convert(progress_arg, {fname, "progress"}, description)) return false;
  options->progress = progress->fn();
  return true;
}

}  // namespace tarnwell_py
