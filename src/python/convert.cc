#include "python/convert.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "python/ref.h"

namespace tarnwell_py {

PyObject* interned(const char* key) {
  // Few distinct keys are ever looked up; interned once, they live as long as the process (the
  // module refuses to be loaded by a second interpreter).
  static std::mutex mu;
  static std::unordered_map<std::string, PyObject*> cache;
  std::lock_guard lock(mu);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  PyObject* s = PyUnicode_InternFromString(key);
  if (s != nullptr) cache.emplace(key, s);
  return s;
}

namespace {

bool utf8_of(PyObject* str, std::string* out) {
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(str, &len);
  if (s == nullptr) return false;
  out->assign(s, static_cast<size_t>(len));
  return true;
}

// Float value of a float or float subclass (the subclass through the interpreter's conversion).
bool float_value(PyObject* o, double* out) {
  if (PyFloat_CheckExact(o)) {
    *out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) return false;
  *out = d;
  return true;
}

}  // namespace

Ref numpy_scalar_value(PyObject* o) {
  // NumPy's scalar types live in the "numpy" module and give the Python value by item(); a
  // 0-d array does too. Only bool, int and float results count.
  if (std::strncmp(Py_TYPE(o)->tp_name, "numpy.", 6) != 0) return Ref();
  Ref item = Ref::steal(PyObject_CallMethod(o, "item", nullptr));
  if (!item) {
    PyErr_Clear();
    return Ref();
  }
  if (PyBool_Check(item.get()) || PyLong_Check(item.get()) || PyFloat_Check(item.get())) {
    return item;
  }
  return Ref();
}

namespace {

bool metadata_value(PyObject* v, const std::string& key, tarnwell_core::MetadataValue* out) {
  if (!PyBool_Check(v) && !PyLong_Check(v) && !PyFloat_Check(v) && !PyUnicode_Check(v)) {
    if (Ref item = numpy_scalar_value(v)) return metadata_value(item.get(), key, out);
  }
  if (PyBool_Check(v)) {
    *out = (v == Py_True);
  } else if (PyLong_Check(v)) {
    long long i = PyLong_AsLongLong(v);
    if (i == -1 && PyErr_Occurred()) return false;
    *out = static_cast<int64_t>(i);
  } else if (PyFloat_Check(v)) {
    double d;
    if (!float_value(v, &d)) return false;
    *out = d;
  } else if (PyUnicode_Check(v)) {
    std::string s;
    if (!utf8_of(v, &s)) return false;
    *out = std::move(s);
  } else {
    PyErr_SetString(PyExc_ValueError, "metadata values must be bool, int, float, or str");
    add_error_context("metadata key '" + key + "' holds " + Py_TYPE(v)->tp_name);
    return false;
  }
  return true;
}

}  // namespace

bool dict_get(PyObject* dict, const char* key, PyObject** value) {
  PyObject* k = interned(key);
  if (k == nullptr) return false;
  *value = PyDict_GetItemWithError(dict, k);
  return *value != nullptr || !PyErr_Occurred();
}

namespace {

bool required_str(PyObject* cond, const char* key, std::string* out) {
  PyObject* v;
  if (!dict_get(cond, key, &v)) return false;
  if (v == nullptr) {
    PyErr_Format(PyExc_ValueError, "filter condition missing '%s'", key);
    return false;
  }
  if (!PyUnicode_Check(v)) {
    PyErr_Format(PyExc_TypeError, "filter condition '%s' must be str, not %.200s", key,
                 Py_TYPE(v)->tp_name);
    return false;
  }
  return utf8_of(v, out);
}

// Converts list items by index, re-reading the length each step: a conversion may run Python
// code (a float subclass's __float__) that shrinks the list.
template <class Fn>
bool for_each_list_item(PyObject* list, Fn&& fn) {
  const Py_ssize_t initial = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(list); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
    if (!fn(item.get())) return false;
  }
  return true;
}

bool filter_condition(PyObject* item, FilterCondition* out) {
  if (!PyDict_Check(item)) {
    PyErr_Format(PyExc_TypeError, "filter condition must be dict, not %.200s",
                 Py_TYPE(item)->tp_name);
    return false;
  }
  if (!required_str(item, "field", &out->field)) return false;
  std::string op;
  if (!required_str(item, "op", &op)) return false;
  auto parsed = tarnwell_core::parse_filter_operator(op);
  if (!parsed) {
    PyErr_Format(PyExc_ValueError, "unknown filter operator: '%s'", op.c_str());
    return false;
  }
  out->op = *parsed;
  PyObject* value;
  if (!dict_get(item, "value", &value)) return false;
  if (value != nullptr) {
    Ref hold = Ref::borrow(value);
    JsonValue j;
    if (!py_to_json_value(value, &j)) return false;
    out->value = std::move(j);
  }
  PyObject* values;
  if (!dict_get(item, "values", &values)) return false;
  if (values != nullptr) {
    if (!PyList_Check(values)) {
      PyErr_Format(PyExc_TypeError, "filter condition 'values' must be list, not %.200s",
                   Py_TYPE(values)->tp_name);
      return false;
    }
    Ref hold = Ref::borrow(values);
    std::vector<JsonValue> list;
    bool ok = for_each_list_item(values, [&](PyObject* v) {
      JsonValue j;
      if (!py_to_json_value(v, &j)) return false;
      list.push_back(std::move(j));
      return true;
    });
    if (!ok) return false;
    out->values = std::move(list);
  }
  return true;
}

}  // namespace

bool py_dict_to_metadata(PyObject* dict, Metadata* out) {
  Metadata result;
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    Ref hold_key = Ref::borrow(key);
    Ref hold_value = Ref::borrow(value);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "metadata keys must be str, not %.200s",
                   Py_TYPE(key)->tp_name);
      return false;
    }
    std::string k;
    if (!utf8_of(key, &k)) return false;
    tarnwell_core::MetadataValue v;
    if (!metadata_value(value, k, &v)) return false;
    result.insert_or_assign(std::move(k), std::move(v));
  }
  *out = std::move(result);
  return true;
}

PyObject* metadata_to_py_dict(const Metadata& metadata) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : metadata) {
    Ref v;
    switch (value.index()) {
      case 0:
        v = Ref::borrow(std::get<bool>(value) ? Py_True : Py_False);
        break;
      case 1:
        v = Ref::steal(PyLong_FromLongLong(std::get<int64_t>(value)));
        break;
      case 2:
        v = Ref::steal(PyFloat_FromDouble(std::get<double>(value)));
        break;
      default: {
        const std::string& s = std::get<std::string>(value);
        v = Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
      }
    }
    if (!v) return nullptr;
    Ref k = Ref::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
    if (!k || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

bool py_to_json_value(PyObject* o, JsonValue* out) {
  if (o != Py_None && !PyBool_Check(o) && !PyLong_Check(o) && !PyFloat_Check(o) &&
      !PyUnicode_Check(o)) {
    if (Ref item = numpy_scalar_value(o)) return py_to_json_value(item.get(), out);
  }
  if (o == Py_None) {
    *out = JsonValue::null();
  } else if (PyBool_Check(o)) {
    *out = JsonValue::boolean(o == Py_True);
  } else if (PyLong_Check(o)) {
    long long i = PyLong_AsLongLong(o);
    if (i == -1 && PyErr_Occurred()) return false;
    *out = JsonValue::integer(i);
  } else if (PyFloat_Check(o)) {
    double d;
    if (!float_value(o, &d)) return false;
    *out = JsonValue::number(d);  // NaN and infinities become null
  } else if (PyUnicode_Check(o)) {
    std::string s;
    if (!utf8_of(o, &s)) return false;
    *out = JsonValue::string(std::move(s));
  } else {
    PyErr_SetString(PyExc_ValueError, "filter values must be None, bool, int, float, or str");
    return false;
  }
  return true;
}

bool py_to_filter_conditions(PyObject* o, const char* what, std::vector<FilterCondition>* out) {
  if (!PyList_Check(o)) {
    PyErr_Format(PyExc_TypeError, "filter '%s' must be list, not %.200s", what,
                 Py_TYPE(o)->tp_name);
    return false;
  }
  std::vector<FilterCondition> conditions;
  bool ok = for_each_list_item(o, [&](PyObject* item) {
    FilterCondition c;
    if (!filter_condition(item, &c)) return false;
    conditions.push_back(std::move(c));
    return true;
  });
  if (!ok) return false;
  *out = std::move(conditions);
  return true;
}

bool py_to_metadata_filter(PyObject* o, const char* fname, MetadataFilter* out) {
  if (!PyDict_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'filter' must be dict, not %.200s", fname,
                 Py_TYPE(o)->tp_name);
    return false;
  }
  // A key other than the two known ones (a typo, another store's syntax) would otherwise be
  // ignored and the search run unfiltered.
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* unused;
  while (PyDict_Next(o, &pos, &key, &unused)) {
    if (PyUnicode_Check(key) && (PyUnicode_CompareWithASCIIString(key, "must") == 0 ||
                                 PyUnicode_CompareWithASCIIString(key, "must_not") == 0)) {
      continue;
    }
    Ref shown = Ref::steal(PyUnicode_Check(key) ? Py_NewRef(key) : PyObject_Repr(key));
    if (!shown) return false;
    PyErr_Format(PyExc_ValueError, "unknown filter key: '%U' (expected 'must' or 'must_not')",
                 shown.get());
    return false;
  }
  MetadataFilter filter;
  PyObject* must;
  if (!dict_get(o, "must", &must)) return false;
  if (must != nullptr) {
    Ref hold = Ref::borrow(must);
    if (!py_to_filter_conditions(must, "must", &filter.must)) return false;
  }
  PyObject* must_not;
  if (!dict_get(o, "must_not", &must_not)) return false;
  if (must_not != nullptr) {
    Ref hold = Ref::borrow(must_not);
    if (!py_to_filter_conditions(must_not, "must_not", &filter.must_not)) return false;
  }
  *out = std::move(filter);
  return true;
}

bool parse_uuid(std::string_view text, Uuid* out) {
  auto parsed = Uuid::parse(text);
  if (!parsed) {
    PyErr_Format(PyExc_ValueError, "invalid UUID: %s", parsed.error().message().c_str());
    return false;
  }
  *out = *parsed;
  return true;
}

bool to_uuid(PyObject* o, const char* fname, const char* name, Uuid* out) {
  static PyObject* uuid_type = nullptr;  // uuid.UUID, kept for the life of the process
  if (PyUnicode_Check(o)) {
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &len);
    return s != nullptr && parse_uuid(std::string_view(s, static_cast<size_t>(len)), out);
  }
  if (uuid_type == nullptr) {
    Ref module = Ref::steal(PyImport_ImportModule("uuid"));
    if (!module) return false;
    uuid_type = PyObject_GetAttrString(module.get(), "UUID");
    if (uuid_type == nullptr) return false;
  }
  const int is_uuid = PyObject_IsInstance(o, uuid_type);
  if (is_uuid < 0) return false;
  if (is_uuid == 0) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str or uuid.UUID, not %.200s", fname,
                 name, Py_TYPE(o)->tp_name);
    return false;
  }
  Ref text = Ref::steal(PyObject_Str(o));
  return text && to_uuid(text.get(), fname, name, out);
}

void add_error_context(const std::string& note) {
  if (!PyErr_Occurred()) return;
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && PyObject_HasAttrString(value, "add_note")) {
    Ref done = Ref::steal(PyObject_CallMethod(value, "add_note", "s", note.c_str()));
    if (!done) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

PyObject* uuid_to_py(const Uuid& id) {
  std::string s = id.to_string();
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* raise_status_as(PyObject* type, const Status& status) {
  const std::string& msg = status.message();
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()),
                                             "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise_status(const Status& status) {
  using tarnwell_core::StatusCode;
  switch (status.code()) {
    case StatusCode::kNotFound:
      return raise_status_as(PyExc_KeyError, status);
    case StatusCode::kInvalidArgument:
    case StatusCode::kAlreadyExists:
      return raise_status_as(PyExc_ValueError, status);
    default:
      return raise_status_as(PyExc_RuntimeError, status);
  }
}

}  // namespace tarnwell_py
