// The Tarnwell class: one database handle. The object owns a core DatabaseHandle, fixed at
// construction; its methods convert and check their arguments with the interpreter lock held,
// then release the lock for the core work (which takes native locks, searches, or waits for the
// disk), and build their results with the lock held again.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "core/database/handle.h"
#include "python/args.h"

namespace tarnwell_py {

struct TarnwellObject {
  PyObject_HEAD
  tarnwell_core::DatabaseHandle* handle;  // owned; null only while construction fails
};

extern PyTypeObject TarnwellType;
// tarnwell.RecoveryWarning, a RuntimeWarning subclass.
extern PyObject* RecoveryWarning;
bool init_tarnwell_type();
// The iterator type of Tarnwell.documents.
bool init_bulk_types();

inline tarnwell_core::DatabaseHandle& handle_of(PyObject* self) {
  return *reinterpret_cast<TarnwellObject*>(self)->handle;
}

// Method bodies, grouped by concern in separate files.
#define TW_METHOD(name) \
  PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
TW_METHOD(method_create_collection);
TW_METHOD(method_delete_collection);
TW_METHOD(method_list_collections);
TW_METHOD(method_collection_info);
TW_METHOD(method_total_memory_bytes);
TW_METHOD(method_insert);
TW_METHOD(method_batch_insert);
TW_METHOD(method_get);
TW_METHOD(method_delete);
TW_METHOD(method_search);
TW_METHOD(method_save);
TW_METHOD(method_load);
TW_METHOD(method_compact);
TW_METHOD(method_rebuild);
TW_METHOD(method_upsert);
TW_METHOD(method_update);
TW_METHOD(method_get_many);
TW_METHOD(method_count);
TW_METHOD(method_scan);
TW_METHOD(method_documents);
TW_METHOD(method_delete_many);
TW_METHOD(method_delete_where);
TW_METHOD(method_insert_columns);
TW_METHOD(method_bm25_statistics);

// Sharded collections (methods_sharding.cc): search's bm25_statistics argument, and the static
// method Tarnwell.fuse_rankings (its first argument is null).
bool py_to_bm25_statistics(PyObject* o, const char* fname, tarnwell_core::Bm25Statistics* out);
// search's fusion_method: "rrf" or "linear" in any case, else ValueError.
bool to_fusion_method(PyObject* o, ArgName arg, tarnwell_core::FusionMethod* out);
PyObject* fuse_rankings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Looks a collection up with the interpreter lock released (the registry lock may be contended);
// raises KeyError "collection '{}' not found" when absent.
std::shared_ptr<const tarnwell_core::Collection> lookup_collection(PyObject* self, std::string_view name);

// ValueError "embedding dimension mismatch: expected {}, got {}" unless got == expected.
bool check_dimension(size_t got, uint64_t expected);
// A document from its parts; a missing id is drawn from the OS random source.
bool make_document(std::string_view text, tarnwell_core::Metadata metadata,
                   std::optional<tarnwell_core::Uuid> id, tarnwell_core::Document* out);

// Parses an optional hex key argument; ValueError with the parser's message.
bool parse_key_arg(std::optional<std::string_view> text,
                   std::shared_ptr<const tarnwell_core::EncryptionKey>* out);

}  // namespace tarnwell_py
