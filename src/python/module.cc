// The _tarnwell extension module: module definition and initialisation. The module is
// single-phase initialised and refuses a second interpreter in the same process, because the
// classes it creates are static types shared by the whole process.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef tarnwell_module = {
    PyModuleDef_HEAD_INIT,
    "_tarnwell",
    nullptr,  // no docstring
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__tarnwell(void) { return PyModule_Create(&tarnwell_module); }
