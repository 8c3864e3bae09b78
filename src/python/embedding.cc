#include "python/embedding.h"

#include <cstring>
#include <string>
#include <utility>

#include "python/convert.h"
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

EmbeddingRows::~EmbeddingRows() {
  if (has_view_) PyBuffer_Release(&view_);
}

namespace {

// The number of dimensions of a buffer, or -1 for an object that exports none.
int buffer_ndim(PyObject* o) {
  if (!PyObject_CheckBuffer(o)) return -1;
  Py_buffer view;
  if (PyObject_GetBuffer(o, &view, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
    PyErr_Clear();
    return -1;
  }
  const int ndim = view.ndim;
  PyBuffer_Release(&view);
  return ndim;
}

}  // namespace

bool EmbeddingRows::looks_like_rows(PyObject* o) {
  if (PyObject_CheckBuffer(o)) return buffer_ndim(o) == 2;
  if (!PyList_Check(o) && !PyTuple_Check(o)) return false;
  if (PySequence_Fast_GET_SIZE(o) == 0) return false;
  // Rows are lists, tuples or one-dimensional arrays; a NumPy scalar is a 0-d buffer.
  PyObject* first = PySequence_Fast_GET_ITEM(o, 0);
  return PyList_Check(first) || PyTuple_Check(first) || buffer_ndim(first) == 1;
}

bool EmbeddingRows::convert(PyObject* o, ArgName arg) {
  if (PyObject_CheckBuffer(o)) {
    if (PyObject_GetBuffer(o, &view_, PyBUF_FORMAT | PyBUF_STRIDES) != 0) return false;
    has_view_ = true;
    const char* fmt = view_.format ? view_.format : "B";
    if (*fmt == '@' || *fmt == '=' || *fmt == '<') ++fmt;
    const bool is_f32 = std::strcmp(fmt, "f") == 0 && view_.itemsize == 4;
    const bool is_f64 = std::strcmp(fmt, "d") == 0 && view_.itemsize == 8;
    if (view_.ndim != 2 || !(is_f32 || is_f64)) {
      PyErr_Format(PyExc_TypeError,
                   "%s() argument '%s' must be a 2-D float32 or float64 array or a list of "
                   "embeddings",
                   arg.fname, arg.name);
      return false;
    }
    const auto n = static_cast<size_t>(view_.shape[0]);
    const auto d = static_cast<size_t>(view_.shape[1]);
    const Py_ssize_t row_stride = view_.strides ? view_.strides[0] : view_.shape[1] * view_.itemsize;
    const Py_ssize_t col_stride = view_.strides ? view_.strides[1] : view_.itemsize;
    const char* base = static_cast<const char*>(view_.buf);
    const bool in_place = is_f32 && col_stride == 4 && row_stride % 4 == 0 &&
                          reinterpret_cast<uintptr_t>(base) % alignof(float) == 0;
    rows_.reserve(n);
    if (in_place) {
      for (size_t r = 0; r < n; ++r) {
        rows_.emplace_back(reinterpret_cast<const float*>(base + static_cast<Py_ssize_t>(r) * row_stride), d);
      }
      return true;
    }
    flat_.resize(n * d);
    for (size_t r = 0; r < n; ++r) {
      for (size_t c = 0; c < d; ++c) {
        const char* p = base + static_cast<Py_ssize_t>(r) * row_stride +
                        static_cast<Py_ssize_t>(c) * col_stride;
        if (is_f32) {
          std::memcpy(&flat_[r * d + c], p, 4);
        } else {
          double v;
          std::memcpy(&v, p, 8);
          flat_[r * d + c] = static_cast<float>(v);
        }
      }
    }
    PyBuffer_Release(&view_);
    has_view_ = false;
    for (size_t r = 0; r < n; ++r) rows_.emplace_back(flat_.data() + r * d, d);
    return true;
  }
  if (!PySequence_Check(o) || PyUnicode_Check(o) || PyBytes_Check(o)) {
    raise_arg_type(arg, "a 2-D array or a list of embeddings", o);
    return false;
  }
  Ref seq = Ref::steal(PySequence_Fast(o, "embeddings must be a sequence"));
  if (!seq) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  items_.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n && i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
    Embedding e;
    if (!e.convert(item.get(), arg)) {
      add_error_context("in row " + std::to_string(i));
      return false;
    }
    items_.push_back(std::move(e));
  }
  for (const Embedding& e : items_) rows_.push_back(e.values());
  return true;
}

}  // namespace tarnwell_py
