#include "python/results.h"

#include <cstdio>
#include <new>
#include <utility>

#include "python/convert.h"
#include "python/ref.h"

namespace tarnwell_py {
namespace {

struct SearchResultObject {
  PyObject_HEAD
  std::shared_ptr<const tarnwell_core::Document> document;
  float score;
};

struct CollectionInfoObject {
  PyObject_HEAD
  std::string name;
  uint64_t dimension;
  uint64_t document_count;
  uint64_t estimated_memory_bytes;
};

PyObject* str_of(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// --- SearchResult ---------------------------------------------------------------------------

SearchResultObject* as_result(PyObject* self) { return reinterpret_cast<SearchResultObject*>(self); }

void search_result_dealloc(PyObject* self) {
  as_result(self)->document.~shared_ptr();
  Py_TYPE(self)->tp_free(self);
}

PyObject* search_result_id(PyObject* self, void*) {
  return uuid_to_py(as_result(self)->document->id);
}

PyObject* search_result_text(PyObject* self, void*) {
  return str_of(as_result(self)->document->text);
}

PyObject* search_result_score(PyObject* self, void*) {
  return PyFloat_FromDouble(static_cast<double>(as_result(self)->score));
}

PyObject* search_result_metadata(PyObject* self, void*) {
  return guarded([&] { return metadata_to_py_dict(as_result(self)->document->metadata); });
}

PyObject* search_result_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const SearchResultObject* r = as_result(self);
    char score[64];
    std::snprintf(score, sizeof score, "%.4f", static_cast<double>(r->score));
    std::string s = "SearchResult(id='" + r->document->id.to_string() + "', text='" +
                    preview_text(r->document->text, 50) + "', score=" + score + ")";
    return str_of(s);
  });
}

PyGetSetDef search_result_getset[] = {
    {"id", search_result_id, nullptr, "Document UUID (lower-case, hyphenated).", nullptr},
    {"text", search_result_text, nullptr, "Document text.", nullptr},
    {"score", search_result_score, nullptr, "Similarity or relevance score.", nullptr},
    {"metadata", search_result_metadata, nullptr, "A new dict of the document's metadata.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- CollectionInfo -------------------------------------------------------------------------

CollectionInfoObject* as_info(PyObject* self) {
  return reinterpret_cast<CollectionInfoObject*>(self);
}

void collection_info_dealloc(PyObject* self) {
  as_info(self)->name.~basic_string();
  Py_TYPE(self)->tp_free(self);
}

PyObject* collection_info_name(PyObject* self, void*) { return str_of(as_info(self)->name); }
PyObject* collection_info_dimension(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_info(self)->dimension);
}
PyObject* collection_info_document_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_info(self)->document_count);
}
PyObject* collection_info_memory(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_info(self)->estimated_memory_bytes);
}

PyObject* collection_info_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const CollectionInfoObject* c = as_info(self);
    std::string s = "CollectionInfo(name='" + c->name +
                    "', dimension=" + std::to_string(c->dimension) +
                    ", documents=" + std::to_string(c->document_count) +
                    ", memory=" + std::to_string(c->estimated_memory_bytes) + ")";
    return str_of(s);
  });
}

PyGetSetDef collection_info_getset[] = {
    {"name", collection_info_name, nullptr, "Collection name.", nullptr},
    {"dimension", collection_info_dimension, nullptr, "Embedding dimension.", nullptr},
    {"document_count", collection_info_document_count, nullptr, "Number of live documents.",
     nullptr},
    {"estimated_memory_bytes", collection_info_memory, nullptr, "Estimated memory use in bytes.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject SearchResultType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "_tarnwell.SearchResult";
  t.tp_basicsize = sizeof(SearchResultObject);
  t.tp_dealloc = search_result_dealloc;
  t.tp_repr = search_result_repr;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  t.tp_doc = "A single search result with document ID, text, score, and metadata.";
  t.tp_getset = search_result_getset;
  return t;
}();

PyTypeObject CollectionInfoType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "_tarnwell.CollectionInfo";
  t.tp_basicsize = sizeof(CollectionInfoObject);
  t.tp_dealloc = collection_info_dealloc;
  t.tp_repr = collection_info_repr;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  t.tp_doc = "Information about a collection.";
  t.tp_getset = collection_info_getset;
  return t;
}();

bool init_result_types() {
  return PyType_Ready(&SearchResultType) == 0 && PyType_Ready(&CollectionInfoType) == 0;
}

PyObject* new_search_result(std::shared_ptr<const tarnwell_core::Document> document, float score) {
  PyObject* self = SearchResultType.tp_alloc(&SearchResultType, 0);
  if (self == nullptr) return nullptr;
  new (&as_result(self)->document) std::shared_ptr<const tarnwell_core::Document>(std::move(document));
  as_result(self)->score = score;
  return self;
}

PyObject* new_collection_info(std::string name, uint64_t dimension, uint64_t document_count,
                              uint64_t estimated_memory_bytes) {
  PyObject* self = CollectionInfoType.tp_alloc(&CollectionInfoType, 0);
  if (self == nullptr) return nullptr;
  CollectionInfoObject* c = as_info(self);
  new (&c->name) std::string(std::move(name));
  c->dimension = dimension;
  c->document_count = document_count;
  c->estimated_memory_bytes = estimated_memory_bytes;
  return self;
}

std::string preview_text(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t cut = limit;
  // Back up over UTF-8 continuation bytes so the cut falls on a character boundary.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + "...";
}

PyObject* document_dict(const tarnwell_core::Document& document,
                        const std::vector<float>* embedding) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  Ref py_id = Ref::steal(uuid_to_py(document.id));
  Ref py_text = Ref::steal(PyUnicode_FromStringAndSize(
      document.text.data(), static_cast<Py_ssize_t>(document.text.size())));
  Ref py_metadata = Ref::steal(metadata_to_py_dict(document.metadata));
  if (!py_id || !py_text || !py_metadata ||
      PyDict_SetItem(dict.get(), interned("id"), py_id.get()) < 0 ||
      PyDict_SetItem(dict.get(), interned("text"), py_text.get()) < 0 ||
      PyDict_SetItem(dict.get(), interned("metadata"), py_metadata.get()) < 0) {
    return nullptr;
  }
  if (embedding != nullptr) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(embedding->size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < embedding->size(); ++i) {
      PyObject* f = PyFloat_FromDouble((*embedding)[i]);
      if (f == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    if (PyDict_SetItem(dict.get(), interned("embedding"), list.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* uuid_list(const std::vector<tarnwell_core::Uuid>& ids) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ids.size(); ++i) {
    PyObject* s = uuid_to_py(ids[i]);
    if (s == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

}  // namespace tarnwell_py
