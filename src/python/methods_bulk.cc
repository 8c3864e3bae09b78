// Tarnwell methods over many documents at once, and in-place changes: update, get_many, count,
// scan and the documents() iterator, delete_many, delete_where and insert_columns. As elsewhere,
// everything is converted and checked with the interpreter lock held before the core is called.
#include <string>
#include <unordered_set>
#include <vector>

#include "python/args.h"
#include "python/convert.h"
#include "python/embedding.h"
#include "python/handle.h"
#include "python/progress.h"
#include "python/ref.h"
#include "python/results.h"

namespace tarnwell_py {
namespace {

using tarnwell_core::Collection;
using tarnwell_core::Document;
using tarnwell_core::DocumentWithEmbedding;

// Document ids from any iterable of str / uuid.UUID; errors name the argument and position.
bool parse_ids(PyObject* o, ArgName arg, std::vector<Uuid>* out) {
  if (PyUnicode_Check(o) || PyBytes_Check(o)) {
    raise_arg_type(arg, "a list of ids", o);
    return false;
  }
  Ref seq = Ref::steal(PySequence_Fast(o, ""));
  if (!seq) {
    PyErr_Clear();
    raise_arg_type(arg, "a list of ids", o);
    return false;
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  out->reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Uuid id;
    if (!to_uuid(PySequence_Fast_GET_ITEM(seq.get(), i), arg.fname, arg.name, &id)) {
      add_error_context("in " + std::string(arg.name) + "[" + std::to_string(i) + "]");
      return false;
    }
    out->push_back(id);
  }
  return true;
}

// A required or optional filter dict argument.
bool parse_filter(PyObject* o, const char* fname, std::optional<MetadataFilter>* out) {
  if (o == nullptr || o == Py_None) return true;
  out->emplace();
  return py_to_metadata_filter(o, fname, &**out);
}

bool parse_include(PyObject* o, const char* fname, bool* out) {
  std::optional<bool> v;
  if (!to_opt_bool(o, {fname, "include_embedding"}, &v)) return false;
  *out = v.value_or(false);
  return true;
}

// Documents and, when asked for, their embeddings, read under one release of the lock.
struct Fetched {
  std::vector<std::shared_ptr<const Document>> documents;
  std::vector<std::optional<std::vector<float>>> embeddings;
};

void fetch_embeddings(const Collection& c, Fetched& f) {
  f.embeddings.reserve(f.documents.size());
  for (const auto& d : f.documents) f.embeddings.push_back(c.get_embedding(d->id));
}

PyObject* fetched_list(const Fetched& f, bool ids_only) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(f.documents.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < f.documents.size(); ++i) {
    const std::vector<float>* e = nullptr;
    if (i < f.embeddings.size() && f.embeddings[i]) e = &*f.embeddings[i];
    PyObject* item =
        ids_only ? uuid_to_py(f.documents[i]->id) : document_dict(*f.documents[i], e);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// One page of a scan, as Fetched; sets KeyError for an `after` that is no document.
bool scan_page(const Collection& c, const std::optional<Uuid>& after, size_t limit,
               const std::optional<MetadataFilter>& filter, bool include, Fetched* out,
               bool* more, Collection::ScanCursor* cursor = nullptr) {
  auto page = without_gil([&]() -> tarnwell_core::Result<Collection::ScanPage> {
    auto p = c.scan(after, limit, filter ? &*filter : nullptr, cursor);
    if (p && include) {
      out->documents = p->documents;
      fetch_embeddings(c, *out);
    }
    return p;
  });
  if (!page) {
    raise_status(page.error());
    return false;
  }
  if (!include) out->documents = std::move(page->documents);
  *more = page->more;
  if (cursor != nullptr) *cursor = page->next;
  return true;
}

// ---- the documents() iterator ----

struct DocumentIteratorObject {
  PyObject_HEAD
  PyObject* db;      // the Tarnwell handle
  PyObject* name;    // collection name (str)
  PyObject* filter;  // filter dict or null
  PyObject* page;    // list of dicts not yet handed out, or null
  Py_ssize_t next;   // position in page
  size_t batch_size;
  bool include_embedding;
  bool done;
  bool started;
  Uuid after;                     // the last document handed out: where to resume after a rebuild
  Collection::ScanCursor cursor;  // where the next page starts while the layout holds
};

void iterator_dealloc(PyObject* self) {
  auto* it = reinterpret_cast<DocumentIteratorObject*>(self);
  Py_XDECREF(it->db);
  Py_XDECREF(it->name);
  Py_XDECREF(it->filter);
  Py_XDECREF(it->page);
  Py_TYPE(self)->tp_free(self);
}

PyObject* iterator_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    auto* it = reinterpret_cast<DocumentIteratorObject*>(self);
    if (it->page != nullptr && it->next < PyList_GET_SIZE(it->page)) {
      return Py_NewRef(PyList_GET_ITEM(it->page, it->next++));
    }
    Py_CLEAR(it->page);
    if (it->done) return nullptr;
    if (handle_of(it->db).closed()) {
      PyErr_SetString(PyExc_RuntimeError, "handle is closed");
      return nullptr;
    }
    std::string_view name;
    if (!to_str(it->name, {"documents", "collection"}, &name)) return nullptr;
    auto collection = lookup_collection(it->db, name);
    if (!collection) return nullptr;
    std::optional<MetadataFilter> filter;
    if (!parse_filter(it->filter, "documents", &filter)) return nullptr;
    Fetched f;
    bool more = false;
    std::optional<Uuid> after;
    if (it->started) after = it->after;
    // Resuming at a position, not after an id: a document upserted since it was handed out
    // (which moves it to the end) neither ends nor skips the iteration.
    if (!scan_page(*collection, after, it->batch_size, filter, it->include_embedding, &f, &more,
                   &it->cursor)) {
      return nullptr;
    }
    it->started = true;
    it->done = !more;
    if (f.documents.empty()) {
      it->done = true;
      return nullptr;
    }
    it->after = f.documents.back()->id;
    it->page = fetched_list(f, false);
    if (it->page == nullptr) return nullptr;
    it->next = 1;
    return Py_NewRef(PyList_GET_ITEM(it->page, 0));
  });
}

PyTypeObject DocumentIteratorType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "_tarnwell.DocumentIterator";
  t.tp_basicsize = sizeof(DocumentIteratorObject);
  t.tp_dealloc = iterator_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_doc = "Iterator over the documents of a collection, in insertion order, a page at a time.";
  t.tp_iter = PyObject_SelfIter;
  t.tp_iternext = iterator_next;
  return t;
}();

}  // namespace

bool init_bulk_types() { return PyType_Ready(&DocumentIteratorType) == 0; }

TW_METHOD(method_update) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"update", {"collection", "id", "text", "metadata", "embedding"}, 2};
    PyObject* a[5];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view name;
    std::optional<std::string_view> text;
    if (!to_str(a[0], {sig.fname, "collection"}, &name)) return nullptr;
    Uuid id;
    if (!PyUnicode_Check(a[1]) && !to_uuid(a[1], sig.fname, "id", &id)) return nullptr;
    if (!to_opt_str(a[2], {sig.fname, "text"}, &text)) return nullptr;
    PyObject* metadata_obj = a[3] == Py_None ? nullptr : a[3];
    if (metadata_obj != nullptr && !PyDict_Check(metadata_obj)) {
      raise_arg_type({sig.fname, "metadata"}, "dict", metadata_obj);
      return nullptr;
    }
    std::optional<Embedding> embedding;
    if (a[4] != nullptr && a[4] != Py_None) {
      embedding.emplace();
      if (!embedding->convert(a[4], {sig.fname, "embedding"})) return nullptr;
    }
    auto collection = lookup_collection(self, name);
    if (!collection || !to_uuid(a[1], sig.fname, "id", &id)) return nullptr;
    std::optional<Metadata> metadata;
    if (metadata_obj != nullptr) {
      metadata.emplace();
      if (!py_dict_to_metadata(metadata_obj, &*metadata)) return nullptr;
    }
    std::optional<std::vector<float>> values;
    if (embedding) {
      if (!check_dimension(embedding->size(), collection->dimension())) return nullptr;
      values = embedding->take();  // read once, under the interpreter lock
    }
    std::optional<std::string> owned_text;
    if (text) owned_text.emplace(*text);
    Status s = without_gil([&] {
      return handle_of(self).update(collection, name, id, std::move(owned_text),
                                    std::move(metadata), std::move(values));
    });
    if (!s.ok()) return raise_status(s);
    Py_RETURN_NONE;
  });
}

TW_METHOD(method_get_many) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"get_many", {"collection", "ids", "include_embedding"}, 2, 2};
    PyObject* a[3];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view name;
    bool include = false;
    std::vector<Uuid> ids;
    if (!to_str(a[0], {sig.fname, "collection"}, &name) ||
        !parse_include(a[2], sig.fname, &include) ||
        !parse_ids(a[1], {sig.fname, "ids"}, &ids)) {
      return nullptr;
    }
    auto collection = lookup_collection(self, name);
    if (!collection) return nullptr;
    Fetched f;
    without_gil([&] {
      f.documents.reserve(ids.size());
      for (const Uuid& id : ids) {
        if (auto d = collection->get_document(id)) f.documents.push_back(std::move(d));
      }
      if (include) fetch_embeddings(*collection, f);
    });
    return fetched_list(f, false);
  });
}

TW_METHOD(method_count) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"count", {"collection", "filter"}, 1};
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view name;
    if (!to_str(a[0], {sig.fname, "collection"}, &name)) return nullptr;
    auto collection = lookup_collection(self, name);
    if (!collection) return nullptr;
    std::optional<MetadataFilter> filter;
    if (!parse_filter(a[1], sig.fname, &filter)) return nullptr;
    const size_t n =
        without_gil([&] { return collection->count(filter ? &*filter : nullptr); });
    return PyLong_FromSize_t(n);
  });
}

TW_METHOD(method_scan) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{
        "scan",
        {"collection", "filter", "limit", "after", "ids_only", "include_embedding"},
        1,
        4};
    PyObject* a[6];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view name;
    std::optional<uint64_t> limit;
    std::optional<bool> ids_only;
    bool include = false;
    if (!to_str(a[0], {sig.fname, "collection"}, &name) ||
        !to_opt_u64(a[2], {sig.fname, "limit"}, &limit) ||
        !to_opt_bool(a[4], {sig.fname, "ids_only"}, &ids_only) ||
        !parse_include(a[5], sig.fname, &include)) {
      return nullptr;
    }
    auto collection = lookup_collection(self, name);
    if (!collection) return nullptr;
    std::optional<MetadataFilter> filter;
    if (!parse_filter(a[1], sig.fname, &filter)) return nullptr;
    std::optional<Uuid> after;
    if (a[3] != nullptr && a[3] != Py_None) {
      Uuid id;
      if (!to_uuid(a[3], sig.fname, "after", &id)) return nullptr;
      after = id;
    }
    Fetched f;
    bool more = false;
    const size_t n = limit ? static_cast<size_t>(*limit) : SIZE_MAX;
    if (!scan_page(*collection, after, n, filter, include && !ids_only.value_or(false), &f,
                   &more)) {
      return nullptr;
    }
    return fetched_list(f, ids_only.value_or(false));
  });
}

TW_METHOD(method_documents) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{
        "documents", {"collection", "filter", "batch_size", "include_embedding"}, 1, 2};
    PyObject* a[4];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view name;
    std::optional<uint64_t> batch;
    bool include = false;
    if (!to_str(a[0], {sig.fname, "collection"}, &name) ||
        !to_opt_u64(a[2], {sig.fname, "batch_size"}, &batch) ||
        !parse_include(a[3], sig.fname, &include)) {
      return nullptr;
    }
    if (batch && *batch == 0) {
      PyErr_SetString(PyExc_ValueError, "batch_size must be at least 1");
      return nullptr;
    }
    if (!lookup_collection(self, name)) return nullptr;
    PyObject* filter = a[1] == Py_None ? nullptr : a[1];
    if (filter != nullptr) {
      std::optional<MetadataFilter> parsed;  // refused now rather than at the first next()
      if (!parse_filter(filter, sig.fname, &parsed)) return nullptr;
    }
    auto* it = PyObject_New(DocumentIteratorObject, &DocumentIteratorType);
    if (it == nullptr) return nullptr;
    it->db = Py_NewRef(self);
    it->name = Py_NewRef(a[0]);
    it->filter = Py_XNewRef(filter);
    it->page = nullptr;
    it->next = 0;
    it->batch_size = batch ? static_cast<size_t>(*batch) : 1000;
    it->include_embedding = include;
    it->done = false;
    it->started = false;
    it->after = Uuid{};
    it->cursor = Collection::ScanCursor{};
    return reinterpret_cast<PyObject*>(it);
  });
}

TW_METHOD(method_delete_many) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"delete_many", {"collection", "ids"}, 2};
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view name;
    std::vector<Uuid> ids;
    if (!to_str(a[0], {sig.fname, "collection"}, &name) ||
        !parse_ids(a[1], {sig.fname, "ids"}, &ids)) {
      return nullptr;
    }
    auto collection = lookup_collection(self, name);
    if (!collection) return nullptr;
    auto removed =
        without_gil([&] { return handle_of(self).delete_many(collection, name, ids); });
    if (!removed) return raise_status(removed.error());
    return PyLong_FromSize_t(*removed);
  });
}

TW_METHOD(method_delete_where) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"delete_where", {"collection", "filter"}, 2};
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view name;
    if (!to_str(a[0], {sig.fname, "collection"}, &name)) return nullptr;
    if (!PyDict_Check(a[1])) {
      raise_arg_type({sig.fname, "filter"}, "dict", a[1]);
      return nullptr;
    }
    auto collection = lookup_collection(self, name);
    if (!collection) return nullptr;
    MetadataFilter filter;
    if (!py_to_metadata_filter(a[1], sig.fname, &filter)) return nullptr;
    auto removed =
        without_gil([&] { return handle_of(self).delete_where(collection, name, filter); });
    if (!removed) return raise_status(removed.error());
    return PyLong_FromSize_t(*removed);
  });
}

TW_METHOD(method_insert_columns) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{
        "insert_columns",
        {"collection", "texts", "embeddings", "metadatas", "ids", "num_threads", "progress"},
        3,
        5};
    PyObject* a[7];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    tarnwell_core::BatchOptions options;
    Progress progress;
    if (!parse_batch_options(sig.fname, a[5], a[6], "inserting", &options, &progress)) {
      return nullptr;
    }
    std::string_view name;
    if (!to_str(a[0], {sig.fname, "collection"}, &name)) return nullptr;
    auto column = [&](PyObject* o, const char* arg, Ref* out) {
      if (o == nullptr || o == Py_None) return true;
      if (PyUnicode_Check(o) || PyDict_Check(o) ||
          !(*out = Ref::steal(PySequence_Fast(o, "")))) {
        PyErr_Clear();
        raise_arg_type({sig.fname, arg}, "a list", o);
        return false;
      }
      return true;
    };
    Ref texts, metadatas, ids;
    if (!column(a[1], "texts", &texts) || !column(a[3], "metadatas", &metadatas) ||
        !column(a[4], "ids", &ids)) {
      return nullptr;
    }
    EmbeddingRows rows;
    if (!rows.convert(a[2], {sig.fname, "embeddings"})) return nullptr;
    auto collection = lookup_collection(self, name);
    if (!collection) return nullptr;

    const size_t n = static_cast<size_t>(PySequence_Fast_GET_SIZE(texts.get()));
    auto check_length = [&](const Ref& col, const char* what) {
      const size_t got = col ? static_cast<size_t>(PySequence_Fast_GET_SIZE(col.get())) : n;
      if (got == n) return true;
      PyErr_Format(PyExc_ValueError, "insert_columns() got %zu texts but %zu %s", n, got, what);
      return false;
    };
    if (rows.rows() != n) {
      PyErr_Format(PyExc_ValueError, "insert_columns() got %zu texts but %zu embeddings", n,
                   rows.rows());
      return nullptr;
    }
    if (!check_length(metadatas, "metadatas") || !check_length(ids, "ids")) return nullptr;

    const uint64_t dimension = collection->dimension();
    std::vector<DocumentWithEmbedding> documents(n);
    for (size_t i = 0; i < n; ++i) {
      const auto at = static_cast<Py_ssize_t>(i);
      const std::string where = "in row " + std::to_string(i);
      std::string_view text;
      Ref text_obj = Ref::borrow(PySequence_Fast_GET_ITEM(texts.get(), at));
      Metadata metadata;
      std::optional<Uuid> id;
      bool ok = to_str(text_obj.get(), {sig.fname, "texts"}, &text) &&
                check_dimension(rows.row(i).size(), dimension);
      if (ok && metadatas) {
        PyObject* m = PySequence_Fast_GET_ITEM(metadatas.get(), at);
        if (m != Py_None) {
          Ref hold = Ref::borrow(m);
          if (!PyDict_Check(m)) {
            raise_arg_type({sig.fname, "metadatas"}, "a list of dicts", m);
            ok = false;
          } else {
            ok = py_dict_to_metadata(m, &metadata);
          }
        }
      }
      if (ok && ids) {
        PyObject* o = PySequence_Fast_GET_ITEM(ids.get(), at);
        if (o != Py_None) {
          Uuid parsed;
          ok = to_uuid(o, sig.fname, "ids", &parsed);
          id = parsed;
        }
      }
      if (ok) ok = make_document(text, std::move(metadata), id, &documents[i].document);
      if (!ok) {
        add_error_context(where);
        return nullptr;
      }
      // Copied once, under the interpreter lock: the values logged are the values indexed.
      documents[i].embedding.assign(rows.row(i).begin(), rows.row(i).end());
    }
    auto inserted = without_gil([&] {
      return handle_of(self).batch_insert(collection, name, std::move(documents), options);
    });
    if (!inserted) return raise_status(inserted.error());
    return uuid_list(*inserted);
  });
}

}  // namespace tarnwell_py
