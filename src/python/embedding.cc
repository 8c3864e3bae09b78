#include "python/embedding.h"

#include <cstring>
#include <utility>

#include "python/ref.h"

namespace tarnwell_py {

Embedding::Embedding(Embedding&& o) noexcept { *this = std::move(o); }

Embedding& Embedding::operator=(Embedding&& o) noexcept {
  if (this == &o) return *this;
  release_view();
  owned_ = std::move(o.owned_);
  view_ = o.view_;
  has_view_ = std::exchange(o.has_view_, false);
  values_ = has_view_ ? o.values_ : std::span<const float>(owned_);
  o.values_ = {};
  return *this;
}

Embedding::~Embedding() { release_view(); }

void Embedding::release_view() {
  if (has_view_) {
    PyBuffer_Release(&view_);
    has_view_ = false;
  }
}

std::vector<float> Embedding::take() {
  if (!has_view_) {
    values_ = {};
    return std::move(owned_);
  }
  std::vector<float> out(values_.begin(), values_.end());
  values_ = {};
  release_view();
  return out;
}

bool Embedding::convert(PyObject* o, ArgName arg) {
  if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o)) {
    raise_arg_type(arg, "a sequence of floats", o);
    return false;
  }
  bool handled = false;
  if (PyObject_CheckBuffer(o)) {
    if (!from_buffer(o, arg, &handled)) return false;
    if (handled) return true;
  }
  return from_sequence(o, arg);
}

// Takes float32/float64 one-dimensional buffers in native byte order, with any strides (none
// given means contiguous, negative ones walk backwards from buf); leaves every other buffer
// (integer arrays, other byte orders, several dimensions) to the sequence path, which converts
// item by item or refuses.
bool Embedding::from_buffer(PyObject* o, ArgName, bool* handled) {
  Py_buffer view;
  if (PyObject_GetBuffer(o, &view, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
    PyErr_Clear();
    return true;
  }
  const char* fmt = view.format ? view.format : "B";
  if (*fmt == '@' || *fmt == '=' || *fmt == '<') ++fmt;
  const bool is_f32 = std::strcmp(fmt, "f") == 0 && view.itemsize == 4;
  const bool is_f64 = std::strcmp(fmt, "d") == 0 && view.itemsize == 8;
  if (view.ndim != 1 || !(is_f32 || is_f64)) {
    PyBuffer_Release(&view);
    return true;
  }
  *handled = true;
  const Py_ssize_t n = view.shape[0];
  // Exporters of contiguous memory (ctypes arrays) may leave the strides out.
  const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
  const char* base = static_cast<const char*>(view.buf);
  const bool aligned = reinterpret_cast<uintptr_t>(base) % alignof(float) == 0;
  if (is_f32 && stride == 4 && aligned) {
    view_ = view;
    has_view_ = true;
    values_ = std::span<const float>(reinterpret_cast<const float*>(base), static_cast<size_t>(n));
    return true;
  }
  owned_.resize(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    const char* p = base + i * stride;
    if (is_f32) {
      std::memcpy(&owned_[i], p, 4);
    } else {
      double d;
      std::memcpy(&d, p, 8);
      owned_[i] = static_cast<float>(d);
    }
  }
  PyBuffer_Release(&view);
  values_ = owned_;
  return true;
}

bool Embedding::from_sequence(PyObject* o, ArgName arg) {
  if (!PySequence_Check(o)) {
    raise_arg_type(arg, "a sequence of floats", o);
    return false;
  }
  Ref seq = Ref::steal(PySequence_Fast(o, "embedding must be a sequence of floats"));
  if (!seq) return false;
  // A list comes back as itself, and converting an item that is not a float runs Python code
  // (__float__, __index__) that may shrink or reallocate it: the length and the item array are
  // read again at every step, and the item is held while it is converted. A list that shrank
  // gives a shorter embedding, which the dimension check then refuses.
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  owned_.resize(static_cast<size_t>(n));
  Py_ssize_t i = 0;
  for (; i < n && i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (PyFloat_CheckExact(item)) {
      owned_[i] = static_cast<float>(PyFloat_AS_DOUBLE(item));
      continue;
    }
    Ref hold = Ref::borrow(item);
    double d = PyFloat_AsDouble(item);
    if (d == -1.0 && PyErr_Occurred()) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "%s() argument '%s' must be a sequence of floats, not one holding %.200s",
                     arg.fname, arg.name, Py_TYPE(item)->tp_name);
      }
      owned_.clear();
      return false;
    }
    owned_[i] = static_cast<float>(d);
  }
  owned_.resize(static_cast<size_t>(i));
  values_ = owned_;
  return true;
}

}  // namespace tarnwell_py
