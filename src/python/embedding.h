// Embeddings from Python: any sequence of numbers, or any object exporting a one-dimensional
// buffer of float32 or float64 (NumPy arrays). A contiguous float32 buffer is used in place, with
// no copy and no Python float objects; everything else is converted once into owned storage.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>
#include <vector>

#include "python/args.h"

namespace tarnwell_py {

class Embedding {
 public:
  Embedding() = default;
  Embedding(const Embedding&) = delete;
  Embedding& operator=(const Embedding&) = delete;
  Embedding(Embedding&& o) noexcept;
  Embedding& operator=(Embedding&& o) noexcept;
  ~Embedding();

  // Converts `o`; on failure sets TypeError (or the interpreter's error) naming `arg`.
  bool convert(PyObject* o, ArgName arg);

  std::span<const float> values() const { return values_; }
  size_t size() const { return values_.size(); }
  // The values as an owned vector (copies when the values live in a borrowed buffer).
  std::vector<float> take();

 private:
  bool from_buffer(PyObject* o, ArgName arg, bool* handled);
  bool from_sequence(PyObject* o, ArgName arg);
  void release_view();

  std::vector<float> owned_;
  Py_buffer view_{};
  bool has_view_ = false;
  std::span<const float> values_;
};

// Several embeddings: a two-dimensional float32/float64 buffer (one row each; C-contiguous
// float32 rows are read in place), or a sequence whose items are embeddings.
class EmbeddingRows {
 public:
  EmbeddingRows() = default;
  EmbeddingRows(const EmbeddingRows&) = delete;
  EmbeddingRows& operator=(const EmbeddingRows&) = delete;
  ~EmbeddingRows();
  // Whether `o` holds several embeddings rather than one: a buffer of two dimensions, or a
  // list or tuple whose first item is not a number.
  static bool looks_like_rows(PyObject* o);
  // Converts `o`; on failure sets an exception naming `arg` (and the row).
  bool convert(PyObject* o, ArgName arg);
  size_t rows() const { return rows_.size(); }
  std::span<const float> row(size_t i) const { return rows_[i]; }

 private:
  std::vector<std::span<const float>> rows_;
  std::vector<float> flat_;      // converted 2-D buffers
  std::vector<Embedding> items_;  // converted sequence items
  Py_buffer view_{};
  bool has_view_ = false;
};

}  // namespace tarnwell_py
