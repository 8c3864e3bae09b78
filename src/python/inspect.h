// The module-level functions behind the data-directory tool: a read-only report of a directory's
// snapshots and logs as plain dicts and lists, and a read-only walk over one collection's
// documents (see core/storage/inspect.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarnwell_py {

// _inspect_data_dir(path, encryption_key=None) -> dict
PyObject* inspect_data_dir(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
extern const char INSPECT_DATA_DIR_DOC[];

// _export_documents(path, collection, callback, encryption_key=None) -> list[str]
PyObject* export_documents(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
extern const char EXPORT_DOCUMENTS_DOC[];

}  // namespace tarnwell_py
