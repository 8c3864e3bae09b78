// _inspect_data_dir converts the core's DataDirReport into dicts; _export_documents walks one
// collection of a directory read into memory. File names are decoded the way
// os.listdir decodes them (undecodable bytes survive as surrogates); messages and stored names
// with invalid UTF-8 get replacement characters.
#include "python/inspect.h"

#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "core/storage/inspect.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/handle.h"
#include "python/ref.h"

namespace tarnwell_py {
namespace {

using tarnwell_core::ByteRange;
using tarnwell_core::DataDirReport;
using tarnwell_core::DistanceMetric;
using tarnwell_core::EncryptionKey;
using tarnwell_core::LogReport;
using tarnwell_core::SnapshotContainer;
using tarnwell_core::SnapshotReport;

PyObject* text(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}
PyObject* file_name(std::string_view s) {
  return PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
PyObject* opt_text(const std::optional<std::string>& s) {
  return s ? text(*s) : Py_NewRef(Py_None);
}
PyObject* u64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

// Sets d[key] = value, taking over the new reference `value` (null: an error is already set).
bool put(PyObject* d, const char* key, PyObject* value) {
  Ref owned = Ref::steal(value);
  return owned && PyDict_SetItemString(d, key, owned.get()) == 0;
}

bool append(PyObject* list, PyObject* value) {
  Ref owned = Ref::steal(value);
  return owned && PyList_Append(list, owned.get()) == 0;
}

PyObject* range(const ByteRange& r) { return Py_BuildValue("(KK)", r.begin, r.end); }

const char* metric_name(DistanceMetric m) {
  switch (m) {
    case DistanceMetric::Cosine:
      return "cosine";
    case DistanceMetric::Euclidean:
      return "euclidean";
    case DistanceMetric::DotProduct:
      return "dot_product";
  }
  return "unknown";
}

const char* container_name(SnapshotContainer c) {
  switch (c) {
    case SnapshotContainer::Plain:
      return "plain";
    case SnapshotContainer::Encrypted:
      return "encrypted";
    case SnapshotContainer::Bare:
      return "bare";
  }
  return "unknown";
}

PyObject* config_dict(const tarnwell_core::HnswConfig& c) {
  return Py_BuildValue("{sKsKsKsKsKsKsO}", "m", c.m, "m_max0", c.m_max0, "ef_construction",
                       c.ef_construction, "ef_search", c.ef_search, "max_layers", c.max_layers,
                       "pq_subspaces", c.pq_subspaces, "store_raw_vectors",
                       c.store_raw_vectors ? Py_True : Py_False);
}

PyObject* snapshot_dict(const SnapshotReport& s) {
  Ref d = Ref::steal(PyDict_New());
  if (!d || !put(d.get(), "file", file_name(s.file)) || !put(d.get(), "bytes", u64(s.bytes)) ||
      !put(d.get(), "container", PyUnicode_FromString(container_name(s.container))) ||
      !put(d.get(), "error", opt_text(s.error))) {
    return nullptr;
  }
  // What the file holds is known only when it loads.
  if (s.error) {
    for (const char* key : {"name", "dimension", "metric", "config", "document_count",
                            "node_count", "deleted_nodes"}) {
      if (!put(d.get(), key, Py_NewRef(Py_None))) return nullptr;
    }
    return d.release();
  }
  if (!put(d.get(), "name", text(s.name)) || !put(d.get(), "dimension", u64(s.dimension)) ||
      !put(d.get(), "metric", PyUnicode_FromString(metric_name(s.config.distance_metric))) ||
      !put(d.get(), "config", config_dict(s.config)) ||
      !put(d.get(), "document_count", u64(s.document_count)) ||
      !put(d.get(), "node_count", u64(s.node_count)) ||
      !put(d.get(), "deleted_nodes", u64(s.deleted_nodes))) {
    return nullptr;
  }
  return d.release();
}

PyObject* log_dict(const LogReport& l) {
  Ref d = Ref::steal(PyDict_New());
  Ref kinds = Ref::steal(PyDict_New());
  Ref by_collection = Ref::steal(PyDict_New());
  Ref damaged = Ref::steal(PyList_New(0));
  Ref undecodable = Ref::steal(PyList_New(0));
  if (!d || !kinds || !by_collection || !damaged || !undecodable) return nullptr;
  for (size_t tag = 0; tag < l.records_by_kind.size(); ++tag) {
    if (l.records_by_kind[tag] == 0) continue;
    const char* kind = tarnwell_core::wal_entry_kind_name(static_cast<tarnwell_core::WalEntryTag>(tag));
    if (!put(kinds.get(), kind, u64(l.records_by_kind[tag]))) return nullptr;
  }
  for (const auto& [name, count] : l.records_by_collection) {
    Ref key = Ref::steal(text(name));
    Ref value = Ref::steal(u64(count));
    if (!key || !value || PyDict_SetItem(by_collection.get(), key.get(), value.get()) < 0) {
      return nullptr;
    }
  }
  for (const ByteRange& r : l.damaged) {
    if (!append(damaged.get(), range(r))) return nullptr;
  }
  for (uint64_t offset : l.undecodable) {
    if (!append(undecodable.get(), u64(offset))) return nullptr;
  }
  if (!put(d.get(), "file", file_name(l.file)) || !put(d.get(), "bytes", u64(l.bytes)) ||
      !put(d.get(), "error", opt_text(l.error)) ||
      !put(d.get(), "ok", PyBool_FromLong(l.ok())) || !put(d.get(), "records", u64(l.records)) ||
      !put(d.get(), "records_by_kind", kinds.release()) ||
      !put(d.get(), "records_by_collection", by_collection.release()) ||
      !put(d.get(), "damaged", damaged.release()) ||
      !put(d.get(), "undecodable", undecodable.release()) ||
      !put(d.get(), "tail", l.tail ? range(*l.tail) : Py_NewRef(Py_None)) ||
      !put(d.get(), "tail_torn", PyBool_FromLong(l.tail_torn))) {
    return nullptr;
  }
  return d.release();
}

PyObject* report_dict(const DataDirReport& r) {
  Ref d = Ref::steal(PyDict_New());
  Ref snapshots = Ref::steal(PyList_New(0));
  Ref copies = Ref::steal(PyList_New(0));
  if (!d || !snapshots || !copies) return nullptr;
  for (const SnapshotReport& s : r.snapshots) {
    if (!append(snapshots.get(), snapshot_dict(s))) return nullptr;
  }
  for (const LogReport& l : r.log_copies) {
    if (!append(copies.get(), log_dict(l))) return nullptr;
  }
  if (!put(d.get(), "path", file_name(r.dir)) ||
      !put(d.get(), "lock_file", PyBool_FromLong(r.has_lock_file)) ||
      !put(d.get(), "ok", PyBool_FromLong(r.ok())) ||
      !put(d.get(), "snapshots", snapshots.release()) ||
      !put(d.get(), "log", r.log ? log_dict(*r.log) : Py_NewRef(Py_None)) ||
      !put(d.get(), "log_copies", copies.release())) {
    return nullptr;
  }
  return d.release();
}

// A float32 component as the Python float nearest its shortest decimal form, so that JSON shows
// "0.1" rather than the float32's exact binary value, and reading it back gives the same float32.
PyObject* short_float(float v) {
  char buf[32];
  const auto printed = std::to_chars(buf, buf + sizeof buf, v);
  double d = v;
  if (printed.ec == std::errc()) (void)std::from_chars(buf, printed.ptr, d);
  return PyFloat_FromDouble(d);
}

// Calls `callback(id, text, metadata, embedding)` for one document; false when it raised.
bool visit_document(PyObject* callback, const tarnwell_core::Document& doc,
                    std::span<const float> embedding) {
  Ref id = Ref::steal(uuid_to_py(doc.id));
  Ref body = Ref::steal(text(doc.text));
  Ref metadata = Ref::steal(metadata_to_py_dict(doc.metadata));
  Ref vector = Ref::steal(PyList_New(static_cast<Py_ssize_t>(embedding.size())));
  if (!id || !body || !metadata || !vector) return false;
  for (size_t i = 0; i < embedding.size(); ++i) {
    PyObject* f = short_float(embedding[i]);
    if (f == nullptr) return false;
    PyList_SET_ITEM(vector.get(), static_cast<Py_ssize_t>(i), f);
  }
  Ref result = Ref::steal(PyObject_CallFunctionObjArgs(callback, id.get(), body.get(),
                                                       metadata.get(), vector.get(), nullptr));
  return static_cast<bool>(result);
}

}  // namespace

const char EXPORT_DOCUMENTS_DOC[] =
    "_export_documents(path, collection, callback, encryption_key=None)\n--\n\n"
    "Read a data directory into memory without writing anything (snapshots, then the log\n"
    "replayed, under the directory's lock) and call callback(id, text, metadata, embedding)\n"
    "for each live document of the collection, in insertion order. Returns what was passed\n"
    "over as start-up would (unreadable snapshots, damaged log records), one line each.";

PyObject* export_documents(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const Signature sig{
      "_export_documents", {"path", "collection", "callback", "encryption_key"}, 3};
  PyObject* a[4];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  return guarded([&]() -> PyObject* {
    std::optional<std::string_view> path, key_text;
    std::string_view name;
    if (!to_opt_path(a[0], {sig.fname, "path"}, &path)) return nullptr;
    if (!path) {
      raise_arg_type({sig.fname, "path"}, "str", a[0]);
      return nullptr;
    }
    if (!to_str(a[1], {sig.fname, "collection"}, &name)) return nullptr;
    if (!PyCallable_Check(a[2])) {
      raise_arg_type({sig.fname, "callback"}, "callable", a[2]);
      return nullptr;
    }
    if (!to_opt_path(a[3], {sig.fname, "encryption_key"}, &key_text)) return nullptr;
    std::shared_ptr<const EncryptionKey> key;
    if (!parse_key_arg(key_text, &key)) return nullptr;
    const std::string dir(*path);
    auto contents = without_gil([&] { return tarnwell_core::read_data_dir(dir, key.get()); });
    if (!contents) return raise_status(contents.error());
    std::shared_ptr<const tarnwell_core::Collection> collection = contents->db->get_collection(name);
    if (!collection) {
      // It may be in a file that could not be read: say so.
      std::string message = "collection '" + std::string(name) + "' not found";
      for (const std::string& line : contents->skipped) message += "; " + line;
      return raise_status(tarnwell_core::Status::not_found(message));
    }
    // The collection is this call's own: nobody else can hold or wait for its lock.
    bool ok = true;
    tarnwell_core::for_each_document(
        *collection, [&](const tarnwell_core::Document& doc, std::span<const float> embedding) {
          ok = visit_document(a[2], doc, embedding);
          return ok;
        });
    if (!ok) return nullptr;
    Ref skipped = Ref::steal(PyList_New(0));
    if (!skipped) return nullptr;
    for (const std::string& line : contents->skipped) {
      if (!append(skipped.get(), text(line))) return nullptr;
    }
    return skipped.release();
  });
}

const char INSPECT_DATA_DIR_DOC[] =
    "_inspect_data_dir(path, encryption_key=None)\n--\n\n"
    "Read and verify a data directory's snapshots, log and log copies without writing anything.\n"
    "Takes the directory's lock while reading; RuntimeError when a handle holds it.";

PyObject* inspect_data_dir(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const Signature sig{"_inspect_data_dir", {"path", "encryption_key"}, 1};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  return guarded([&]() -> PyObject* {
    std::optional<std::string_view> path, key_text;
    if (!to_opt_path(a[0], {sig.fname, "path"}, &path)) return nullptr;
    if (!path) {
      raise_arg_type({sig.fname, "path"}, "str", a[0]);
      return nullptr;
    }
    if (!to_opt_path(a[1], {sig.fname, "encryption_key"}, &key_text)) return nullptr;
    std::shared_ptr<const EncryptionKey> key;
    if (!parse_key_arg(key_text, &key)) return nullptr;
    const std::string dir(*path);
    auto report = without_gil([&] { return tarnwell_core::inspect_data_dir(dir, key.get()); });
    if (!report) return raise_status(report.error());
    return report_dict(*report);
  });
}

}  // namespace tarnwell_py
