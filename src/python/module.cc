// The _tarnwell extension module: Tarnwell, SearchResult, CollectionInfo and RecoveryWarning. The
// classes are static types shared by the whole process, so the module belongs to the first
// interpreter that imports it; importing it from another interpreter raises ImportError.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/handle.h"
#include "python/results.h"

namespace {

// Not -1: with -1 a second interpreter would receive a copy of the first one's module without
// this function being called, and so without the check below.
PyModuleDef tarnwell_module = {
    PyModuleDef_HEAD_INIT, "_tarnwell", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyInterpreterState* owner_interpreter = nullptr;

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
  Py_INCREF(type);
  if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
    Py_DECREF(type);
    return false;
  }
  return true;
}

}  // namespace

PyMODINIT_FUNC PyInit__tarnwell(void) {
  PyInterpreterState* interp = PyInterpreterState_Get();
  if (owner_interpreter != nullptr && owner_interpreter != interp) {
    PyErr_SetString(PyExc_ImportError,
                    "_tarnwell can be imported by only one interpreter per process");
    return nullptr;
  }
  if (!tarnwell_py::init_tarnwell_type() || !tarnwell_py::init_result_types() ||
      !tarnwell_py::init_bulk_types()) {
    return nullptr;
  }
  PyObject* module = PyModule_Create(&tarnwell_module);
  if (module == nullptr) return nullptr;
  if (!add_type(module, "Tarnwell", &tarnwell_py::TarnwellType) ||
      !add_type(module, "SearchResult", &tarnwell_py::SearchResultType) ||
      !add_type(module, "CollectionInfo", &tarnwell_py::CollectionInfoType) ||
      PyModule_AddObjectRef(module, "RecoveryWarning", tarnwell_py::RecoveryWarning) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  owner_interpreter = interp;
  return module;
}
