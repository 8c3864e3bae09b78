// Tarnwell methods that write and read snapshot files and cut the log back (save, load, compact),
// and rebuild. The checks come in the documented order; the file work runs without the
// interpreter lock.
#include <string>

#include "python/args.h"
#include "python/convert.h"
#include "python/handle.h"
#include "python/progress.h"
#include "python/ref.h"

namespace tarnwell_py {
namespace {

using tarnwell_core::EncryptionKey;
using tarnwell_core::StatusCode;

constexpr char kNoPath[] = "no path specified and Tarnwell was created without data_dir";

}  // namespace

TW_METHOD(method_save) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"save", {"collection", "path", "encryption_key"}, 1};
    PyObject* a[3];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view name;
    std::optional<std::string> path;
    std::optional<std::string_view> key_text;
    if (!to_str(a[0], {sig.fname, "collection"}, &name) ||
        !to_opt_fspath(a[1], {sig.fname, "path"}, &path) ||
        !to_opt_path(a[2], {sig.fname, "encryption_key"}, &key_text)) {
      return nullptr;
    }
    if (!lookup_collection(self, name)) return nullptr;
    if (!path && !handle_of(self).data_dir()) {
      PyErr_SetString(PyExc_ValueError, kNoPath);
      return nullptr;
    }
    std::shared_ptr<const EncryptionKey> key;
    if (!parse_key_arg(key_text, &key)) return nullptr;
    auto status = without_gil([&] { return handle_of(self).save(name, std::move(path), key); });
    if (!status.ok()) {
      if (status.code() == StatusCode::kNotFound) return raise_status(status);
      if (status.code() == StatusCode::kInvalidArgument) return raise_status(status);
      return raise_status_as(PyExc_RuntimeError, status);
    }
    Py_RETURN_NONE;
  });
}

TW_METHOD(method_load) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"load", {"name", "path", "encryption_key"}, 1};
    PyObject* a[3];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view name;
    std::optional<std::string> path;
    std::optional<std::string_view> key_text;
    if (!to_str(a[0], {sig.fname, "name"}, &name) ||
        !to_opt_fspath(a[1], {sig.fname, "path"}, &path) ||
        !to_opt_path(a[2], {sig.fname, "encryption_key"}, &key_text)) {
      return nullptr;
    }
    if (!path && !handle_of(self).data_dir()) {
      PyErr_SetString(PyExc_ValueError, kNoPath);
      return nullptr;
    }
    std::shared_ptr<const EncryptionKey> key;
    if (!parse_key_arg(key_text, &key)) return nullptr;
    auto status = without_gil([&] { return handle_of(self).load(name, std::move(path), key); });
    if (!status.ok()) {
      // A stored name that is registered already is a failed load, not a bad argument.
      if (status.code() == StatusCode::kInvalidArgument) return raise_status(status);
      return raise_status_as(PyExc_RuntimeError, status);
    }
    Py_RETURN_NONE;
  });
}

TW_METHOD(method_compact) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"compact", {}, 0};
    if (!parse_args(sig, args, nargs, kwnames, nullptr)) return nullptr;
    if (!handle_of(self).data_dir()) {
      PyErr_SetString(PyExc_ValueError, "compact requires data_dir to be set");
      return nullptr;
    }
    auto status = without_gil([&] { return handle_of(self).compact(); });
    if (!status.ok()) return raise_status_as(PyExc_RuntimeError, status);
    Py_RETURN_NONE;
  });
}

TW_METHOD(method_rebuild) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"rebuild", {"collection", "num_threads", "progress"}, 1, 1};
    PyObject* a[3];
    std::string_view name;
    if (!parse_args(sig, args, nargs, kwnames, a) ||
        !to_str(a[0], {sig.fname, "collection"}, &name)) {
      return nullptr;
    }
    tarnwell_core::BatchOptions options;
    Progress progress;
    if (!parse_batch_options(sig.fname, a[1], a[2], "rebuilding", &options, &progress)) {
      return nullptr;
    }
    auto rebuilt = without_gil([&] { return handle_of(self).rebuild(name, options); });
    if (!rebuilt) {
      if (rebuilt.error().code() == StatusCode::kNotFound) return raise_status(rebuilt.error());
      return raise_status_as(PyExc_RuntimeError, rebuilt.error());
    }
    return PyLong_FromSize_t(*rebuilt);
  });
}

}  // namespace tarnwell_py
