// Tarnwell methods that insert, fetch and delete documents. Everything is converted and checked
// before the core is called; the core logs the change and then applies it.
#include <string>
#include <unordered_set>
#include <vector>

#include "python/args.h"
#include "python/convert.h"
#include "python/embedding.h"
#include "python/handle.h"
#include "python/progress.h"
#include "python/ref.h"

namespace tarnwell_py {
namespace {

using tarnwell_core::Document;
using tarnwell_core::DocumentWithEmbedding;

bool check_dimension(size_t got, uint64_t expected) {
  if (got == expected) return true;
  PyErr_Format(PyExc_ValueError, "embedding dimension mismatch: expected %llu, got %zu",
               static_cast<unsigned long long>(expected), got);
  return false;
}

// A document from its parts; a missing id is drawn from the OS random source.
bool make_document(std::string_view text, Metadata metadata, std::optional<Uuid> id,
                   Document* out) {
  if (id) {
    *out = Document(*id, std::string(text), std::move(metadata));
    return true;
  }
  auto created = Document::create(std::string(text), std::move(metadata));
  if (!created) {
    raise_status_as(PyExc_RuntimeError, created.error());
    return false;
  }
  *out = std::move(*created);
  return true;
}

PyObject* uuid_list(const std::vector<Uuid>& ids) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ids.size(); ++i) {
    PyObject* s = uuid_to_py(ids[i]);
    if (s == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

// One element of batch_insert's list, parsed in the order the keys are documented.
bool parse_batch_document(PyObject* item, Py_ssize_t index, uint64_t dimension,
                          DocumentWithEmbedding* out) {
  if (!PyDict_Check(item)) {
    PyErr_Format(PyExc_TypeError, "batch_insert() documents[%zd] must be dict, not %.200s", index,
                 Py_TYPE(item)->tp_name);
    return false;
  }
  PyObject* value;
  if (!dict_get(item, "text", &value)) return false;
  if (value == nullptr) {
    PyErr_SetString(PyExc_ValueError, "document missing 'text'");
    return false;
  }
  std::string_view text;
  if (!to_str(value, {"batch_insert", "text"}, &text)) return false;
  Ref text_ref = Ref::borrow(value);  // keeps the UTF-8 view alive

  if (!dict_get(item, "embedding", &value)) return false;
  if (value == nullptr) {
    PyErr_SetString(PyExc_ValueError, "document missing 'embedding'");
    return false;
  }
  Embedding embedding;
  if (!embedding.convert(value, {"batch_insert", "embedding"})) return false;
  if (!check_dimension(embedding.size(), dimension)) return false;

  Metadata metadata;
  if (!dict_get(item, "metadata", &value)) return false;
  if (value != nullptr) {
    if (!PyDict_Check(value)) {
      raise_arg_type({"batch_insert", "metadata"}, "dict", value);
      return false;
    }
    Ref hold = Ref::borrow(value);
    if (!py_dict_to_metadata(value, &metadata)) return false;
  }

  std::optional<Uuid> id;
  if (!dict_get(item, "id", &value)) return false;
  if (value != nullptr) {
    std::string_view id_text;
    if (!to_str(value, {"batch_insert", "id"}, &id_text)) return false;
    Uuid parsed;
    if (!parse_uuid(id_text, &parsed)) return false;
    id = parsed;
  }
  if (!make_document(text, std::move(metadata), id, &out->document)) return false;
  out->embedding = embedding.take();
  return true;
}

// The (collection, id) arguments of get and delete, checked in their documented order: types,
// then the collection (KeyError), then the id (ValueError).
struct DocumentRef {
  std::string_view name, id_text;
  std::shared_ptr<tarnwell_core::Collection> collection;
  Uuid id;
};

bool parse_document_ref(PyObject* self, const char* fname, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, DocumentRef* out) {
  const Signature sig{fname, {"collection", "id"}, 2};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kwnames, a) ||
      !to_str(a[0], {fname, "collection"}, &out->name) ||
      !to_str(a[1], {fname, "id"}, &out->id_text)) {
    return false;
  }
  out->collection = lookup_collection(self, out->name);
  return out->collection && parse_uuid(out->id_text, &out->id);
}

}  // namespace

TW_METHOD(method_insert) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"insert", {"collection", "text", "embedding", "metadata", "id"}, 3};
    PyObject* a[5];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view name, text;
    Embedding embedding;
    std::optional<std::string_view> id_text;
    if (!to_str(a[0], {sig.fname, "collection"}, &name) ||
        !to_str(a[1], {sig.fname, "text"}, &text) ||
        !embedding.convert(a[2], {sig.fname, "embedding"})) {
      return nullptr;
    }
    PyObject* metadata_obj = a[3] == Py_None ? nullptr : a[3];
    if (metadata_obj != nullptr && !PyDict_Check(metadata_obj)) {
      raise_arg_type({sig.fname, "metadata"}, "dict", metadata_obj);
      return nullptr;
    }
    if (!to_opt_str(a[4], {sig.fname, "id"}, &id_text)) return nullptr;

    auto collection = lookup_collection(self, name);
    if (!collection) return nullptr;
    Metadata metadata;
    if (metadata_obj != nullptr && !py_dict_to_metadata(metadata_obj, &metadata)) return nullptr;
    std::optional<Uuid> id;
    if (id_text) {
      Uuid parsed;
      if (!parse_uuid(*id_text, &parsed)) return nullptr;
      id = parsed;
    }
    Document document;
    if (!make_document(text, std::move(metadata), id, &document)) return nullptr;
    // Copied while the interpreter lock is held: another thread may write to a NumPy array while
    // this one runs without it, and the values logged must be the values indexed.
    const std::vector<float> values = embedding.take();

    auto inserted = without_gil([&] {
      return handle_of(self).insert(collection, name, std::move(document), values);
    });
    if (!inserted) return raise_status(inserted.error());
    return uuid_to_py(*inserted);
  });
}

TW_METHOD(method_batch_insert) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{
        "batch_insert", {"collection", "documents", "num_threads", "progress"}, 2, 2};
    PyObject* a[4];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    tarnwell_core::BatchOptions options;
    Progress progress;
    if (!parse_batch_options(sig.fname, a[2], a[3], "inserting", &options, &progress)) {
      return nullptr;
    }
    std::string_view name;
    if (!to_str(a[0], {sig.fname, "collection"}, &name)) return nullptr;
    PyObject* list = a[1];
    if (!PyList_Check(list)) {
      raise_arg_type({sig.fname, "documents"}, "list", list);
      return nullptr;
    }
    auto collection = lookup_collection(self, name);
    if (!collection) return nullptr;

    // Parse everything first: a bad element ends the call before anything is logged.
    const uint64_t dimension = collection->dimension();
    std::vector<DocumentWithEmbedding> documents;
    std::unordered_set<Uuid, tarnwell_core::UuidHash> seen;
    const Py_ssize_t initial = PyList_GET_SIZE(list);
    documents.reserve(static_cast<size_t>(initial));
    for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(list); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
      DocumentWithEmbedding parsed;
      if (!parse_batch_document(item.get(), i, dimension, &parsed)) return nullptr;
      if (!seen.insert(parsed.document.id).second) {
        PyErr_Format(PyExc_ValueError, "document '%s' appears more than once in the batch",
                     parsed.document.id.to_string().c_str());
        return nullptr;
      }
      documents.push_back(std::move(parsed));
    }

    auto ids = without_gil(
        [&] { return handle_of(self).batch_insert(collection, name, std::move(documents), options); });
    if (!ids) return raise_status(ids.error());
    return uuid_list(*ids);
  });
}

TW_METHOD(method_get) {
  return guarded([&]() -> PyObject* {
    DocumentRef ref;
    if (!parse_document_ref(self, "get", args, nargs, kwnames, &ref)) return nullptr;
    auto document = without_gil([&] { return ref.collection->get_document(ref.id); });
    if (!document) {
      std::string msg = "document '" + std::string(ref.id_text) + "' not found";
      return raise_status_as(PyExc_KeyError, tarnwell_core::Status::not_found(msg));
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    Ref py_id = Ref::steal(uuid_to_py(document->id));
    Ref py_text = Ref::steal(PyUnicode_FromStringAndSize(
        document->text.data(), static_cast<Py_ssize_t>(document->text.size())));
    Ref py_metadata = Ref::steal(metadata_to_py_dict(document->metadata));
    if (!py_id || !py_text || !py_metadata ||
        PyDict_SetItem(dict.get(), interned("id"), py_id.get()) < 0 ||
        PyDict_SetItem(dict.get(), interned("text"), py_text.get()) < 0 ||
        PyDict_SetItem(dict.get(), interned("metadata"), py_metadata.get()) < 0) {
      return nullptr;
    }
    return dict.release();
  });
}

TW_METHOD(method_delete) {
  return guarded([&]() -> PyObject* {
    DocumentRef ref;
    if (!parse_document_ref(self, "delete", args, nargs, kwnames, &ref)) return nullptr;
    auto removed = without_gil(
        [&] { return handle_of(self).delete_document(ref.collection, ref.name, ref.id); });
    if (!removed) return raise_status(removed.error());
    return PyBool_FromLong(*removed);
  });
}

}  // namespace tarnwell_py
