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
#include "python/results.h"

namespace tarnwell_py {
namespace {

using tarnwell_core::Document;
using tarnwell_core::DocumentWithEmbedding;

// The shape of one element of batch_insert's list: a dict with only the documented keys (a
// misspelled key such as "metadatas" must not silently drop what it held).
bool check_batch_item(PyObject* item, Py_ssize_t index) {
  if (!PyDict_Check(item)) {
    PyErr_Format(PyExc_TypeError, "batch_insert() documents[%zd] must be dict, not %.200s", index,
                 Py_TYPE(item)->tp_name);
    return false;
  }
  // A misspelled key ("metadatas") must not silently drop what it held.
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* unused;
  while (PyDict_Next(item, &pos, &key, &unused)) {
    static constexpr const char* kKnown[] = {"text", "embedding", "metadata", "id"};
    bool known = false;
    for (const char* k : kKnown) known |= PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, k) == 0;
    if (known) continue;
    Ref shown = Ref::steal(PyUnicode_Check(key) ? Py_NewRef(key) : PyObject_Repr(key));
    if (!shown) return false;
    PyErr_Format(PyExc_ValueError, "unknown key '%U' in document %zd of the batch", shown.get(),
                 index);
    return false;
  }
  return true;
}

// One element of batch_insert's list, parsed in the order the keys are documented.
bool parse_batch_document(PyObject* item, uint64_t dimension,
                          DocumentWithEmbedding* out) {
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
    Uuid parsed;
    if (!to_uuid(value, "batch_insert", "id", &parsed)) return false;
    id = parsed;
  }
  if (!make_document(text, std::move(metadata), id, &out->document)) return false;
  out->embedding = embedding.take();
  return true;
}

// The (collection, id) arguments of get and delete, checked in their documented order: types,
// then the collection (KeyError), then the id (ValueError).
struct DocumentRef {
  std::string_view name;
  std::shared_ptr<const tarnwell_core::Collection> collection;
  Uuid id;
  PyObject* id_obj = nullptr;  // as passed (borrowed), for messages
};

bool parse_document_ref(PyObject* self, const Signature& sig, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, DocumentRef* out, PyObject** rest) {
  PyObject* a[3] = {};
  if (!parse_args(sig, args, nargs, kwnames, a) ||
      !to_str(a[0], {sig.fname, "collection"}, &out->name)) {
    return false;
  }
  if (!PyUnicode_Check(a[1])) {
    // Any other type is refused before the collection is looked up, as a str id is checked.
    Uuid ignored;
    if (!to_uuid(a[1], sig.fname, "id", &ignored)) return false;
  }
  if (rest != nullptr) *rest = a[2];
  out->id_obj = a[1];
  out->collection = lookup_collection(self, out->name);
  return out->collection && to_uuid(a[1], sig.fname, "id", &out->id);
}

}  // namespace

bool check_dimension(size_t got, uint64_t expected) {
  const Status s = tarnwell_core::check_dimension(got, expected);
  if (!s.ok()) raise_status(s);
  return s.ok();
}

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

namespace {

// The arguments of insert and upsert, converted and checked in their documented order.
struct SingleDocument {
  std::string_view name;
  std::shared_ptr<const tarnwell_core::Collection> collection;
  Document document;
  std::vector<float> embedding;
};

bool parse_single_document(PyObject* self, const char* fname, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, SingleDocument* out) {
  const Signature sig{fname, {"collection", "text", "embedding", "metadata", "id"}, 3};
  PyObject* a[5];
  if (!parse_args(sig, args, nargs, kwnames, a)) return false;
  std::string_view text;
  Embedding embedding;
  if (!to_str(a[0], {fname, "collection"}, &out->name) || !to_str(a[1], {fname, "text"}, &text) ||
      !embedding.convert(a[2], {fname, "embedding"})) {
    return false;
  }
  PyObject* metadata_obj = a[3] == Py_None ? nullptr : a[3];
  if (metadata_obj != nullptr && !PyDict_Check(metadata_obj)) {
    raise_arg_type({fname, "metadata"}, "dict", metadata_obj);
    return false;
  }
  PyObject* id_obj = a[4] == Py_None ? nullptr : a[4];
  if (id_obj != nullptr && !PyUnicode_Check(id_obj)) {
    Uuid ignored;
    if (!to_uuid(id_obj, fname, "id", &ignored)) return false;
  }
  out->collection = lookup_collection(self, out->name);
  if (!out->collection) return false;
  Metadata metadata;
  if (metadata_obj != nullptr && !py_dict_to_metadata(metadata_obj, &metadata)) return false;
  std::optional<Uuid> id;
  if (id_obj != nullptr) {
    Uuid parsed;
    if (!to_uuid(id_obj, fname, "id", &parsed)) return false;
    id = parsed;
  }
  if (!make_document(text, std::move(metadata), id, &out->document)) return false;
  // Copied while the interpreter lock is held: another thread may write to a NumPy array while
  // this one runs without it, and the values logged must be the values indexed.
  out->embedding = embedding.take();
  return true;
}

}  // namespace

TW_METHOD(method_insert) {
  return guarded([&]() -> PyObject* {
    SingleDocument d;
    if (!parse_single_document(self, "insert", args, nargs, kwnames, &d)) return nullptr;
    auto inserted = without_gil([&] {
      return handle_of(self).insert(d.collection, d.name, std::move(d.document), d.embedding);
    });
    if (!inserted) return raise_status(inserted.error());
    return uuid_to_py(*inserted);
  });
}

TW_METHOD(method_upsert) {
  return guarded([&]() -> PyObject* {
    SingleDocument d;
    if (!parse_single_document(self, "upsert", args, nargs, kwnames, &d)) return nullptr;
    const Uuid id = d.document.id;
    auto replaced = without_gil([&] {
      return handle_of(self).upsert(d.collection, d.name, std::move(d.document), d.embedding);
    });
    if (!replaced) return raise_status(replaced.error());
    return uuid_to_py(id);
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
    const Py_ssize_t initial = PyList_GET_SIZE(list);
    documents.reserve(static_cast<size_t>(initial));
    for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(list); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
      DocumentWithEmbedding parsed;
      if (!check_batch_item(item.get(), i)) return nullptr;
      if (!parse_batch_document(item.get(), dimension, &parsed)) {
        add_error_context("in document " + std::to_string(i) + " of the batch");
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
    static const Signature sig{"get", {"collection", "id", "include_embedding"}, 2, 2};
    DocumentRef ref;
    PyObject* include_obj = nullptr;
    if (!parse_document_ref(self, sig, args, nargs, kwnames, &ref, &include_obj)) return nullptr;
    std::optional<bool> include;
    if (!to_opt_bool(include_obj, {sig.fname, "include_embedding"}, &include)) return nullptr;
    std::optional<std::vector<float>> embedding;
    auto document = without_gil([&] {
      auto doc = ref.collection->get_document(ref.id);
      if (doc && include.value_or(false)) embedding = ref.collection->get_embedding(ref.id);
      return doc;
    });
    if (!document) {
      // The id as the caller wrote it (a str in any letter case, or a uuid.UUID).
      Ref shown = Ref::steal(PyObject_Str(ref.id_obj));
      if (!shown) return nullptr;
      return PyErr_Format(PyExc_KeyError, "document '%U' not found", shown.get());
    }
    return document_dict(*document, embedding ? &*embedding : nullptr);
  });
}

TW_METHOD(method_delete) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"delete", {"collection", "id"}, 2};
    DocumentRef ref;
    if (!parse_document_ref(self, sig, args, nargs, kwnames, &ref, nullptr)) return nullptr;
    auto removed = without_gil(
        [&] { return handle_of(self).delete_document(ref.collection, ref.name, ref.id); });
    if (!removed) return raise_status(removed.error());
    return PyBool_FromLong(*removed);
  });
}

}  // namespace tarnwell_py
