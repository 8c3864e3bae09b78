#include "python/args.h"

#include <cstring>

#include "python/ref.h"

namespace tarnwell_py {
namespace {

// Position of keyword `kw` among the parameter names, or -1.
Py_ssize_t find_keyword(const Signature& sig, PyObject* kw) {
  Py_ssize_t i = 0;
  for (const char* name : sig.names) {
    if (PyUnicode_CompareWithASCIIString(kw, name) == 0) return i;
    ++i;
  }
  return -1;
}

}  // namespace

bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
  const Py_ssize_t n = static_cast<Py_ssize_t>(sig.names.size());
  if (nargs > n || static_cast<size_t>(nargs) > sig.positional) {
    if (sig.positional < sig.names.size()) {
      PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)",
                   sig.fname, sig.positional, sig.positional == 1 ? "" : "s", nargs);
      return false;
    }
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", sig.fname, n,
                 n == 1 ? "" : "s", nargs);
    return false;
  }
  if (static_cast<size_t>(nargs) > sig.positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)",
                 sig.fname, sig.positional, sig.positional == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      PyObject* kw = PyTuple_GET_ITEM(kwnames, j);
      Py_ssize_t pos = find_keyword(sig, kw);
      if (pos < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.fname,
                     kw);
        return false;
      }
      if (out[pos] != nullptr) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%U') and position (%zd)",
                     sig.fname, kw, pos + 1);
        return false;
      }
      out[pos] = args[nargs + j];
    }
  }
  Py_ssize_t i = 0;
  for (const char* name : sig.names) {
    if (static_cast<size_t>(i) >= sig.required) break;
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", sig.fname,
                   name, i + 1);
      return false;
    }
    ++i;
  }
  return true;
}

void raise_arg_type(ArgName arg, const char* what, PyObject* o) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", arg.fname, arg.name,
               what, Py_TYPE(o)->tp_name);
}

bool to_str(PyObject* o, ArgName arg, std::string_view* out) {
  if (!PyUnicode_Check(o)) {
    raise_arg_type(arg, "str", o);
    return false;
  }
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &len);
  if (s == nullptr) return false;  // a lone surrogate cannot be encoded
  *out = std::string_view(s, static_cast<size_t>(len));
  return true;
}

bool to_opt_str(PyObject* o, ArgName arg, std::optional<std::string_view>* out) {
  if (o == nullptr || o == Py_None) {
    out->reset();
    return true;
  }
  std::string_view v;
  if (!to_str(o, arg, &v)) return false;
  *out = v;
  return true;
}

bool to_opt_path(PyObject* o, ArgName arg, std::optional<std::string_view>* out) {
  if (!to_opt_str(o, arg, out)) return false;
  if (*out && (*out)->find('\0') != std::string_view::npos) {
    PyErr_Format(PyExc_ValueError, "embedded null character in %s", arg.name);
    return false;
  }
  return true;
}

bool to_opt_fspath(PyObject* o, ArgName arg, std::optional<std::string>* out) {
  out->reset();
  if (o == nullptr || o == Py_None) return true;
  Ref path = Ref::steal(PyOS_FSPath(o));
  if (!path) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_arg_type(arg, "str or os.PathLike", o);
    }
    return false;
  }
  if (PyBytes_Check(path.get())) path = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
                                      PyBytes_AS_STRING(path.get()), PyBytes_GET_SIZE(path.get())));
  if (!path) return false;
  std::optional<std::string_view> text;
  if (!to_opt_path(path.get(), arg, &text)) return false;
  out->emplace(*text);
  return true;
}

bool to_u64(PyObject* o, ArgName arg, uint64_t* out) {
  if (!PyLong_Check(o)) {
    raise_arg_type(arg, "int", o);
    return false;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool to_opt_u64(PyObject* o, ArgName arg, std::optional<uint64_t>* out) {
  if (o == nullptr || o == Py_None) {
    out->reset();
    return true;
  }
  uint64_t v;
  if (!to_u64(o, arg, &v)) return false;
  *out = v;
  return true;
}

bool to_opt_bool(PyObject* o, ArgName arg, std::optional<bool>* out) {
  if (o == nullptr || o == Py_None) {
    out->reset();
    return true;
  }
  if (!PyBool_Check(o)) {
    raise_arg_type(arg, "bool", o);
    return false;
  }
  *out = (o == Py_True);
  return true;
}

bool to_f32(PyObject* o, ArgName arg, float* out) {
  double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_arg_type(arg, "a real number", o);
    }
    return false;
  }
  *out = static_cast<float>(d);
  return true;
}

bool to_opt_f32(PyObject* o, ArgName arg, std::optional<float>* out) {
  if (o == nullptr || o == Py_None) {
    out->reset();
    return true;
  }
  float v;
  if (!to_f32(o, arg, &v)) return false;
  *out = v;
  return true;
}

}  // namespace tarnwell_py
