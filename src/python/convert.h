// Conversions between Python objects and the core's values: metadata dicts, filter operands and
// condition lists, document ids, and the mapping of a core Status to a Python exception. All run
// with the interpreter lock held; every failure sets a Python exception and returns false/null.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <vector>

#include "core/document.h"
#include "core/filter_types.h"
#include "core/util/status.h"
#include "core/util/uuid.h"

#include "python/ref.h"

namespace tarnwell_py {

using tarnwell_core::FilterCondition;
using tarnwell_core::JsonValue;
using tarnwell_core::Metadata;
using tarnwell_core::MetadataFilter;
using tarnwell_core::Status;
using tarnwell_core::Uuid;

bool py_dict_to_metadata(PyObject* dict, Metadata* out);
PyObject* metadata_to_py_dict(const Metadata& metadata);
bool py_to_json_value(PyObject* o, JsonValue* out);
// `what` names the list in messages ("must", "must_not").
bool py_to_filter_conditions(PyObject* o, const char* what, std::vector<FilterCondition>* out);
// The search's `filter` argument: a dict with optional "must" / "must_not" lists.
bool py_to_metadata_filter(PyObject* o, const char* fname, MetadataFilter* out);

// An interned str for an ASCII dict key, owned by the module for the life of the process.
PyObject* interned(const char* key);
// Looks `key` up in a dict (or dict subclass): *value is a borrowed reference, or null when the
// key is absent. Returns false only when the lookup itself raised.
bool dict_get(PyObject* dict, const char* key, PyObject** value);

// Parses a document id; ValueError "invalid UUID: {reason}".
bool parse_uuid(std::string_view text, Uuid* out);
PyObject* uuid_to_py(const Uuid& id);
// A document id given as str or uuid.UUID: TypeError naming fname() and the argument otherwise,
// ValueError "invalid UUID: {reason}" for text that is no UUID.
bool to_uuid(PyObject* o, const char* fname, const char* name, Uuid* out);
// The Python value of a NumPy scalar (np.integer, np.floating, np.bool_): a bool, int or float;
// empty, with no error set, for anything else.
Ref numpy_scalar_value(PyObject* o);
// Adds a note (shown under the message in a traceback) to the pending exception, so that an error
// raised deep in a conversion says where it was ("in document 3 of the batch") while its message
// stays the one documented. Pythons without exception notes (before 3.11) show no note.
void add_error_context(const std::string& note);

// Raises the Python exception for a failed core call: kNotFound → KeyError, kInvalidArgument
// and kAlreadyExists → ValueError, I/O and data errors → RuntimeError. Returns nullptr.
PyObject* raise_status(const Status& status);
PyObject* raise_status_as(PyObject* type, const Status& status);

// Runs a method body, turning C++ exceptions into Python ones: nothing thrown by the core may
// reach the interpreter.
template <class Fn>
PyObject* guarded(Fn&& fn) {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
}

}  // namespace tarnwell_py
