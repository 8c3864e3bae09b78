// Tarnwell.search: converts the arguments, chooses the mode from which queries are present
// (vector, keyword, hybrid; filtered or not), runs it without the interpreter lock, and wraps
// each hit in a SearchResult.
#include <string>
#include <vector>

#include "core/search/hybrid.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/embedding.h"
#include "python/handle.h"
#include "python/ref.h"
#include "python/results.h"

namespace tarnwell_py {
namespace {

using tarnwell_core::Collection;
using tarnwell_core::FusionMethod;
using tarnwell_core::ScoredDocument;

struct SearchRequest {
  std::optional<Embedding> embedding;
  std::optional<std::string_view> text;
  uint64_t k = 10;
  std::optional<float> min_similarity;
  float alpha = 0.7f;
  FusionMethod fusion = FusionMethod::Rrf;
  std::optional<MetadataFilter> filter;
  std::optional<tarnwell_core::Bm25Statistics> bm25_statistics;
};

std::vector<ScoredDocument> run(const Collection& c, const SearchRequest& r) {
  const size_t k = static_cast<size_t>(r.k);
  const tarnwell_core::Bm25Statistics* global = r.bm25_statistics ? &*r.bm25_statistics : nullptr;
  if (!r.text) {
    auto q = r.embedding->values();
    return r.filter ? c.vector_search_filtered(q, k, r.min_similarity, *r.filter)
                    : c.vector_search(q, k, r.min_similarity);
  }
  if (!r.embedding) {
    return r.filter ? c.keyword_search_filtered(*r.text, k, *r.filter, global)
                    : c.keyword_search(*r.text, k, global);
  }
  auto q = r.embedding->values();
  return r.filter
             ? c.hybrid_search_filtered(q, *r.text, k, r.min_similarity, r.alpha, r.fusion,
                                        *r.filter, global)
             : c.hybrid_search(q, *r.text, k, r.min_similarity, r.alpha, r.fusion, global);
}

}  // namespace

TW_METHOD(method_search) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"search",
                               {"collection", "query_embedding", "query_text", "k",
                                "min_similarity", "alpha", "fusion_method", "filter",
                                "bm25_statistics"},
                               1,
                               8};
    PyObject* a[9];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    SearchRequest r;
    std::string_view name;
    if (!to_str(a[0], {sig.fname, "collection"}, &name)) return nullptr;
    if (a[1] != nullptr && a[1] != Py_None) {
      r.embedding.emplace();
      if (!r.embedding->convert(a[1], {sig.fname, "query_embedding"})) return nullptr;
    }
    if (!to_opt_str(a[2], {sig.fname, "query_text"}, &r.text)) return nullptr;
    if (a[3] != nullptr && !to_u64(a[3], {sig.fname, "k"}, &r.k)) return nullptr;
    if (!to_opt_f32(a[4], {sig.fname, "min_similarity"}, &r.min_similarity)) return nullptr;
    if (a[5] != nullptr && !to_f32(a[5], {sig.fname, "alpha"}, &r.alpha)) return nullptr;
    if (Status s = tarnwell_core::check_alpha(r.alpha); !s.ok()) return raise_status(s);
    if (a[6] != nullptr) {
      std::string_view fusion;
      if (!to_str(a[6], {sig.fname, "fusion_method"}, &fusion)) return nullptr;
      // Only the exact name selects linear fusion; anything else is reciprocal-rank fusion.
      r.fusion = fusion == "linear" ? FusionMethod::Linear : FusionMethod::Rrf;
    }
    PyObject* filter_obj = a[7] == Py_None ? nullptr : a[7];

    auto collection = lookup_collection(self, name);
    if (!collection) return nullptr;
    if (!r.embedding && !r.text) {
      PyErr_SetString(PyExc_ValueError,
                      "at least one of query_embedding or query_text is required");
      return nullptr;
    }
    if (filter_obj != nullptr) {
      r.filter.emplace();
      if (!py_to_metadata_filter(filter_obj, sig.fname, &*r.filter)) return nullptr;
    }
    if (a[8] != nullptr && a[8] != Py_None) {
      r.bm25_statistics.emplace();
      if (!py_to_bm25_statistics(a[8], sig.fname, &*r.bm25_statistics)) return nullptr;
      if (r.text) {
        Status s = tarnwell_core::check_bm25_statistics(*r.bm25_statistics, *r.text);
        if (!s.ok()) return raise_status(s);
      }
    }
    if (r.embedding) {
      Status s = tarnwell_core::check_embedding(r.embedding->values(), collection->dimension());
      if (!s.ok()) return raise_status(s);
    }

    std::vector<ScoredDocument> hits = without_gil([&] { return run(*collection, r); });

    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < hits.size(); ++i) {
      PyObject* result = new_search_result(std::move(hits[i].document), hits[i].score);
      if (result == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), result);
    }
    return list.release();
  });
}

}  // namespace tarnwell_py
