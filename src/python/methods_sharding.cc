// What a collection split over several handles needs from each part: Tarnwell.bm25_statistics
// (a part's BM25 figures for a query, summed by the caller and handed back to search), the
// conversion of those figures, and Tarnwell.fuse_rankings, the very fusion a hybrid search runs,
// for lists merged outside any one collection.
#include <limits>
#include <string>
#include <utility>

#include "core/search/hybrid.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/handle.h"
#include "python/ref.h"

namespace tarnwell_py {
namespace {

using tarnwell_core::Bm25Statistics;
using tarnwell_core::RankedList;

// A required dict entry holding a non-negative int.
bool stats_count(PyObject* dict, const char* fname, const char* key, uint64_t* out) {
  PyObject* v = nullptr;
  if (!dict_get(dict, key, &v)) return false;
  if (v == nullptr) {
    PyErr_Format(PyExc_ValueError, "%s() bm25_statistics has no '%s'", fname, key);
    return false;
  }
  return to_u64(v, {fname, key}, out);
}

// A list of (int id, float score) pairs, ids below 2**32.
bool py_to_ranked(PyObject* o, ArgName arg, RankedList* out) {
  Ref seq = Ref::steal(PySequence_Fast(o, "must be a sequence of (id, score) pairs"));
  if (!seq) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  out->reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      raise_arg_type(arg, "a sequence of (id, score) tuples", pair);
      return false;
    }
    uint64_t id = 0;
    float score = 0.0f;
    if (!to_u64(PyTuple_GET_ITEM(pair, 0), arg, &id)) return false;
    if (id > std::numeric_limits<uint32_t>::max()) {
      PyErr_Format(PyExc_OverflowError, "%s() argument '%s': ids must be below 2**32", arg.fname,
                   arg.name);
      return false;
    }
    if (!to_f32(PyTuple_GET_ITEM(pair, 1), arg, &score)) return false;
    out->emplace_back(static_cast<uint32_t>(id), score);
  }
  return true;
}

}  // namespace

bool py_to_bm25_statistics(PyObject* o, const char* fname, Bm25Statistics* out) {
  if (!PyDict_Check(o)) {
    raise_arg_type({fname, "bm25_statistics"}, "dict", o);
    return false;
  }
  if (!stats_count(o, fname, "document_count", &out->doc_count) ||
      !stats_count(o, fname, "total_length", &out->total_length)) {
    return false;
  }
  PyObject* freqs = nullptr;
  if (!dict_get(o, "document_frequencies", &freqs)) return false;
  if (freqs == nullptr || !PyDict_Check(freqs)) {
    PyErr_Format(PyExc_ValueError,
                 "%s() bm25_statistics needs a 'document_frequencies' dict of term -> count", fname);
    return false;
  }
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(freqs, &pos, &key, &value)) {
    std::string_view term;
    uint64_t df = 0;
    if (!to_str(key, {fname, "document_frequencies"}, &term) ||
        !to_u64(value, {fname, "document_frequencies"}, &df)) {
      return false;
    }
    out->doc_freqs[std::string(term)] = df;
  }
  return true;
}

TW_METHOD(method_bm25_statistics) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"bm25_statistics", {"collection", "query_text"}, 2};
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view name;
    std::string_view text;
    if (!to_str(a[0], {sig.fname, "collection"}, &name)) return nullptr;
    if (!to_str(a[1], {sig.fname, "query_text"}, &text)) return nullptr;
    auto collection = lookup_collection(self, name);
    if (!collection) return nullptr;
    Bm25Statistics s = without_gil([&] { return collection->keyword_statistics(text); });

    Ref freqs = Ref::steal(PyDict_New());
    if (!freqs) return nullptr;
    for (const auto& [term, df] : s.doc_freqs) {
      Ref key = Ref::steal(
          PyUnicode_DecodeUTF8(term.data(), static_cast<Py_ssize_t>(term.size()), "strict"));
      Ref count = Ref::steal(PyLong_FromUnsignedLongLong(df));
      if (!key || !count || PyDict_SetItem(freqs.get(), key.get(), count.get()) < 0) {
        return nullptr;
      }
    }
    return Py_BuildValue("{sKsKsO}", "document_count", static_cast<unsigned long long>(s.doc_count),
                         "total_length", static_cast<unsigned long long>(s.total_length),
                         "document_frequencies", freqs.get());
  });
}

PyObject* fuse_rankings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{
        "fuse_rankings", {"vector_hits", "keyword_hits", "k", "fusion_method", "alpha"}, 3};
    PyObject* a[5];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    RankedList vector_hits;
    RankedList keyword_hits;
    uint64_t k = 0;
    float alpha = 0.7f;
    if (!py_to_ranked(a[0], {sig.fname, "vector_hits"}, &vector_hits) ||
        !py_to_ranked(a[1], {sig.fname, "keyword_hits"}, &keyword_hits) ||
        !to_u64(a[2], {sig.fname, "k"}, &k)) {
      return nullptr;
    }
    if (a[4] != nullptr && !to_f32(a[4], {sig.fname, "alpha"}, &alpha)) return nullptr;
    if (Status s = tarnwell_core::check_alpha(alpha); !s.ok()) return raise_status(s);
    auto fusion = tarnwell_core::FusionMethod::Rrf;
    if (a[3] != nullptr && !to_fusion_method(a[3], {sig.fname, "fusion_method"}, &fusion)) {
      return nullptr;
    }
    const size_t n = static_cast<size_t>(k);
    RankedList fused = fusion == tarnwell_core::FusionMethod::Linear
                           ? tarnwell_core::linear_fusion(vector_hits, keyword_hits, n, alpha)
                           : tarnwell_core::rrf_fusion(vector_hits, keyword_hits, n);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(fused.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < fused.size(); ++i) {
      PyObject* pair = Py_BuildValue("(kf)", static_cast<unsigned long>(fused[i].first),
                                     static_cast<double>(fused[i].second));
      if (pair == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
  });
}

}  // namespace tarnwell_py
