// Tarnwell.search: converts the arguments, chooses the mode from which queries are present
// (vector, keyword, hybrid; filtered or not), runs it without the interpreter lock, and wraps
// each hit in a SearchResult.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
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
  // Several queries at once: rows of query_embedding and/or items of query_text.
  std::optional<EmbeddingRows> embeddings;
  std::vector<std::string_view> texts;
  Ref texts_owner;  // keeps the UTF-8 views of `texts` alive
  std::optional<tarnwell_core::Bm25Statistics> bm25_statistics;
};

// One query: an embedding, a text, or both.
std::vector<ScoredDocument> run(const Collection& c, const SearchRequest& r,
                                std::optional<std::span<const float>> q,
                                std::optional<std::string_view> text) {
  const size_t k = static_cast<size_t>(r.k);
  const tarnwell_core::Bm25Statistics* global = r.bm25_statistics ? &*r.bm25_statistics : nullptr;
  if (!text) {
    return r.filter ? c.vector_search_filtered(*q, k, r.min_similarity, *r.filter)
                    : c.vector_search(*q, k, r.min_similarity);
  }
  if (!q) {
    return r.filter ? c.keyword_search_filtered(*text, k, *r.filter, global)
                    : c.keyword_search(*text, k, global);
  }
  return r.filter ? c.hybrid_search_filtered(*q, *text, k, r.min_similarity, r.alpha, r.fusion,
                                             *r.filter, global)
                  : c.hybrid_search(*q, *text, k, r.min_similarity, r.alpha, r.fusion, global);
}

// Runs the queries of a batch on up to one thread per core (the interpreter lock released).
std::vector<std::vector<ScoredDocument>> run_batch(const Collection& c, const SearchRequest& r,
                                                   size_t n) {
  std::vector<std::vector<ScoredDocument>> out(n);
  auto one = [&](size_t i) {
    std::optional<std::span<const float>> q;
    std::optional<std::string_view> text;
    if (r.embeddings) q = r.embeddings->row(i);
    if (!r.texts.empty()) text = r.texts[i];
    out[i] = run(c, r, q, text);
  };
  const size_t threads = std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()),
                                          (n + 7) / 8);
  if (threads <= 1) {
    for (size_t i = 0; i < n; ++i) one(i);
    return out;
  }
  std::atomic<size_t> next{0};
  std::exception_ptr failure;
  std::mutex failure_mu;
  auto worker = [&] {
    try {
      for (size_t i; (i = next.fetch_add(1)) < n;) one(i);
    } catch (...) {
      std::lock_guard lock(failure_mu);
      if (!failure) failure = std::current_exception();
      next = n;
    }
  };
  std::vector<std::thread> pool;
  pool.reserve(threads - 1);
  try {
    for (size_t t = 1; t < threads; ++t) pool.emplace_back(worker);
  } catch (...) {
    // No thread could be started: the calling thread does the rest alone.
  }
  worker();
  for (std::thread& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
  return out;
}

PyObject* hit_list(std::vector<ScoredDocument>& hits) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < hits.size(); ++i) {
    PyObject* result = new_search_result(std::move(hits[i].document), hits[i].score);
    if (result == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), result);
  }
  return list.release();
}

// query_text given as a list or tuple of str.
bool parse_texts(PyObject* o, const char* fname, SearchRequest* r) {
  r->texts_owner = Ref::steal(PySequence_Fast(o, ""));
  if (!r->texts_owner) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(r->texts_owner.get());
  r->texts.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    std::string_view t;
    if (!to_str(PySequence_Fast_GET_ITEM(r->texts_owner.get(), i), {fname, "query_text"}, &t)) {
      add_error_context("in query_text[" + std::to_string(i) + "]");
      return false;
    }
    r->texts.push_back(t);
  }
  return true;
}

}  // namespace

bool to_fusion_method(PyObject* o, ArgName arg, FusionMethod* out) {
  std::string_view fusion;
  if (!to_str(o, arg, &fusion)) return false;
  auto lower = [](std::string_view t, std::string_view name) {
    if (t.size() != name.size()) return false;
    for (size_t i = 0; i < t.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(t[i])) != name[i]) return false;
    }
    return true;
  };
  if (lower(fusion, "linear")) {
    *out = FusionMethod::Linear;
  } else if (lower(fusion, "rrf")) {
    *out = FusionMethod::Rrf;
  } else {
    PyErr_SetString(PyExc_ValueError, "fusion_method must be 'rrf' or 'linear'");
    return false;
  }
  return true;
}

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
    const bool batch_embeddings =
        a[1] != nullptr && a[1] != Py_None && EmbeddingRows::looks_like_rows(a[1]);
    const bool batch_texts = a[2] != nullptr && (PyList_Check(a[2]) || PyTuple_Check(a[2]));
    if (batch_embeddings) {
      r.embeddings.emplace();
      if (!r.embeddings->convert(a[1], {sig.fname, "query_embedding"})) return nullptr;
    } else if (a[1] != nullptr && a[1] != Py_None) {
      r.embedding.emplace();
      if (!r.embedding->convert(a[1], {sig.fname, "query_embedding"})) return nullptr;
    }
    if (batch_texts) {
      if (!parse_texts(a[2], sig.fname, &r)) return nullptr;
    } else if (!to_opt_str(a[2], {sig.fname, "query_text"}, &r.text)) {
      return nullptr;
    }
    if (a[3] != nullptr && !to_u64(a[3], {sig.fname, "k"}, &r.k)) return nullptr;
    if (!to_opt_f32(a[4], {sig.fname, "min_similarity"}, &r.min_similarity)) return nullptr;
    if (a[5] != nullptr && !to_f32(a[5], {sig.fname, "alpha"}, &r.alpha)) return nullptr;
    if (Status s = tarnwell_core::check_alpha(r.alpha); !s.ok()) return raise_status(s);
    if (a[6] != nullptr && !to_fusion_method(a[6], {sig.fname, "fusion_method"}, &r.fusion)) {
      return nullptr;
    }
    PyObject* filter_obj = a[7] == Py_None ? nullptr : a[7];

    auto collection = lookup_collection(self, name);
    if (!collection) return nullptr;
    const bool batch = r.embeddings || batch_texts;
    if (!r.embedding && !r.text && !batch) {
      PyErr_SetString(PyExc_ValueError,
                      "at least one of query_embedding or query_text is required");
      return nullptr;
    }
    if (batch && (r.embedding || r.text ||
                  (r.embeddings && batch_texts && r.embeddings->rows() != r.texts.size()))) {
      PyErr_SetString(PyExc_ValueError,
                      "a batch search takes query_embedding as a 2-D array or list of vectors "
                      "and/or query_text as a list, with one entry per query in each");
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
      for (size_t i = 0; i < r.texts.size(); ++i) {
        Status s = tarnwell_core::check_bm25_statistics(*r.bm25_statistics, r.texts[i]);
        if (!s.ok()) {
          raise_status(s);
          add_error_context("in query " + std::to_string(i));
          return nullptr;
        }
      }
    }
    if (r.embedding) {
      Status s = tarnwell_core::check_embedding(r.embedding->values(), collection->dimension());
      if (!s.ok()) return raise_status(s);
    }
    if (!batch) {
      std::optional<std::span<const float>> q;
      if (r.embedding) q = r.embedding->values();
      std::vector<ScoredDocument> hits = without_gil([&] { return run(*collection, r, q, r.text); });
      return hit_list(hits);
    }
    const size_t n = r.embeddings ? r.embeddings->rows() : r.texts.size();
    for (size_t i = 0; r.embeddings && i < n; ++i) {
      Status s = tarnwell_core::check_embedding(r.embeddings->row(i), collection->dimension());
      if (!s.ok()) {
        raise_status(s);
        add_error_context("in query " + std::to_string(i));
        return nullptr;
      }
    }
    auto all = without_gil([&] { return run_batch(*collection, r, n); });
    Ref lists = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!lists) return nullptr;
    for (size_t i = 0; i < n; ++i) {
      PyObject* hits = hit_list(all[i]);
      if (hits == nullptr) return nullptr;
      PyList_SET_ITEM(lists.get(), static_cast<Py_ssize_t>(i), hits);
    }
    return lists.release();
  });
}

}  // namespace tarnwell_py
