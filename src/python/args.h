// Argument parsing for METH_FASTCALL | METH_KEYWORDS methods, and conversions of single Python
// arguments to C++ values. Every failure sets a Python exception that names the function and the
// argument the way CPython's own functions do, and returns false.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

namespace tarnwell_py {

// The parameters of one method, in positional order; the first `required` must be given, and
// those from `positional` on are keyword-only.
struct Signature {
  const char* fname;
  std::initializer_list<const char*> names;
  size_t required;
  size_t positional = SIZE_MAX;
};

// Fills out[i] with a borrowed reference to parameter i, or nullptr when it was omitted.
// `out` has room for sig.names.size() entries.
bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out);

// Which argument a conversion is for, so its error names it.
struct ArgName {
  const char* fname;
  const char* name;
};

// A str, viewed as UTF-8 (the view lives as long as the object). TypeError for anything else.
bool to_str(PyObject* o, ArgName arg, std::string_view* out);
// None (or an omitted argument, nullptr) gives nullopt; otherwise as to_str.
bool to_opt_str(PyObject* o, ArgName arg, std::optional<std::string_view>* out);
// As to_opt_str, for a file system path or a key: a NUL character, which the system would
// silently end the text at, raises ValueError "embedded null character in {name}".
bool to_opt_path(PyObject* o, ArgName arg, std::optional<std::string_view>* out);
// A non-negative int that fits 64 bits: TypeError for a non-int, OverflowError otherwise.
bool to_u64(PyObject* o, ArgName arg, uint64_t* out);
bool to_opt_u64(PyObject* o, ArgName arg, std::optional<uint64_t>* out);
// Exactly a bool.
bool to_opt_bool(PyObject* o, ArgName arg, std::optional<bool>* out);
// Anything the interpreter's float conversion accepts, rounded to f32.
bool to_f32(PyObject* o, ArgName arg, float* out);
bool to_opt_f32(PyObject* o, ArgName arg, std::optional<float>* out);

// Sets a TypeError "fname() argument 'name' must be <what>, not <type of o>".
void raise_arg_type(ArgName arg, const char* what, PyObject* o);

}  // namespace tarnwell_py
