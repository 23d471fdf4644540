#include "boundary.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "without_lock.hpp"

namespace kest::boundary {
namespace {

ModuleState& module_state(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

std::string type_name(PyObject* obj) {
  PyObject* name = PyType_GetName(Py_TYPE(obj));
  std::string text = "object";
  if (name != nullptr) {
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name, nullptr)) text = utf8;
    Py_DECREF(name);
  }
  PyErr_Clear();
  return text;
}

// Re-raises a pending TypeError as "argument '{name}': {message}"; other errors stay as they are.
void prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
  const char* message = text != nullptr ? PyUnicode_AsUTF8AndSize(text, nullptr) : nullptr;
  if (message != nullptr) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, message);
  } else {
    PyErr_Restore(type, value, traceback);
    type = value = traceback = nullptr;
  }
  Py_XDECREF(text);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
}

std::nullopt_t fail_type(const char* name, const char* expected, PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %s", name, expected, type_name(obj).c_str());
  return std::nullopt;
}

// The integer value of an int or of any object with __index__, as a new reference.
PyObject* as_index(PyObject* obj, const char* name) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) prefix_type_error(name);
  return index;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": how the interpreter lists missing arguments.
std::string english_list(const std::vector<std::string>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += items.size() == 2 ? " and " : (i + 1 == items.size() ? ", and " : ", ");
    text += items[i];
  }
  return text;
}

}  // namespace

bool bind_arguments(PyObject* args, PyObject* kwargs, const char* function, std::span<const char* const> names,
                    std::size_t required, std::span<PyObject*> out) {
  std::fill(out.begin(), out.end(), nullptr);
  auto positional = static_cast<std::size_t>(PyTuple_Size(args));
  // Keywords are checked before the positional count, as the interpreter does for a `def`.
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (kwargs != nullptr && PyDict_Next(kwargs, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function);
      return false;
    }
    auto named = std::find_if(names.begin(), names.end(),
                              [&](const char* name) { return PyUnicode_CompareWithASCIIString(key, name) == 0; });
    if (named == names.end()) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
      return false;
    }
    auto slot = static_cast<std::size_t>(named - names.begin());
    if (slot < positional) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, *named);
      return false;
    }
    out[slot] = value;
  }
  if (positional > names.size()) {
    std::string accepted = required == names.size()
                               ? std::to_string(required)
                               : "from " + std::to_string(required) + " to " + std::to_string(names.size());
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zu %s given", function, accepted.c_str(),
                 names.size() == 1 && required == 1 ? "" : "s", positional, positional == 1 ? "was" : "were");
    return false;
  }
  for (std::size_t i = 0; i < positional; ++i) out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  std::vector<std::string> missing;
  for (std::size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) missing.push_back("'" + std::string(names[i]) + "'");
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", function, missing.size(),
                 missing.size() == 1 ? "" : "s", english_list(missing).c_str());
    return false;
  }
  return true;
}

std::optional<std::uint64_t> to_u64(PyObject* obj, const char* name) {
  PyObject* index = as_index(obj, name);
  if (index == nullptr) return std::nullopt;
  unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return static_cast<std::uint64_t>(value);
}

std::optional<std::int64_t> to_i64(PyObject* obj, const char* name) {
  PyObject* index = as_index(obj, name);
  if (index == nullptr) return std::nullopt;
  long long value = PyLong_AsLongLong(index);
  Py_DECREF(index);
  if (value == -1 && PyErr_Occurred()) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

std::optional<std::uint32_t> to_u32(PyObject* obj, const char* name) {
  std::optional<std::int64_t> wide = to_i64(obj, name);
  if (!wide) return std::nullopt;
  if (*wide < 0 || *wide > 0xFFFFFFFFLL) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(*wide);
}

std::optional<std::string_view> to_text(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) return fail_type(name, "str", obj);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);  // a lone surrogate raises UnicodeEncodeError
  if (utf8 == nullptr) return std::nullopt;
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::optional<std::optional<std::string_view>> to_optional_text(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::optional<std::string_view>();
  std::optional<std::string_view> text = to_text(obj, name);
  if (!text) return std::nullopt;
  return text;
}

std::optional<std::string_view> to_key_bytes(PyObject* obj, const char* name) {
  if (!PyBytes_Check(obj)) return fail_type(name, "bytes", obj);
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &size) != 0) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::optional<std::vector<std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t>>> to_entry_list(
    PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) return fail_type(name, "a sequence of 4-tuples", obj);
  Py_ssize_t count = PySequence_Size(obj);
  if (count < 0) {
    prefix_type_error(name);
    return std::nullopt;
  }
  // No reserve from the reported length: a huge lazy sequence (a range) must fail on its first
  // item, not on an allocation sized by its length.
  std::vector<std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t>> entries;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_GetItem(obj, i);
    if (item == nullptr) {
      prefix_type_error(name);
      return std::nullopt;
    }
    std::int64_t fields[4] = {};
    bool ok = PyTuple_Check(item) && PyTuple_Size(item) == 4;
    if (!ok) {
      std::string got =
          PyTuple_Check(item) ? "a tuple of " + std::to_string(PyTuple_Size(item)) + " items" : type_name(item);
      PyErr_Format(PyExc_TypeError, "argument '%s': expected a tuple of 4 integers, got %s", name, got.c_str());
    }
    for (Py_ssize_t k = 0; ok && k < 4; ++k) {
      std::optional<std::int64_t> field = to_i64(PyTuple_GetItem(item, k), name);
      ok = field.has_value();
      if (ok) fields[k] = *field;
    }
    Py_DECREF(item);
    if (!ok) return std::nullopt;
    entries.emplace_back(fields[0], fields[1], fields[2], fields[3]);
  }
  return entries;
}

std::string docstring(const char* name, std::span<const Parameter> parameters, const char* description) {
  std::string text = name;
  text += '(';
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (i > 0) text += ", ";
    text += parameters[i].name;
    if (parameters[i].default_text != nullptr) (text += '=') += parameters[i].default_text;
  }
  return text + ")\n--\n\n" + description;
}

PyObject* to_py_text(std::string_view utf8) {
  return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

PyObject* raise_value_error(std::string_view message) {
  PyObject* text = to_py_text(message);
  if (text != nullptr) {
    PyErr_SetObject(PyExc_ValueError, text);
    Py_DECREF(text);
  }
  return nullptr;
}

PyObject* text_or_value_error(const Result<std::string>& result) {
  return result ? to_py_text(*result) : raise_value_error(result.error());
}

PyObject* call_whole_input(PyObject* args, PyObject* kwargs, const Function<1>& function,
                           Result<std::string> (*operation)(std::string_view)) {
  Arguments<1> arguments(function);
  if (!arguments.bind(args, kwargs)) return nullptr;
  auto input_json = arguments.text(0);
  if (!input_json) return nullptr;
  return text_or_value_error(without_interpreter_lock([&] { return operation(*input_json); }));
}

PyObject* guarded(PyObject* (*body)(PyObject*, PyObject*), PyObject* module, PyObject* args,
                  PyObject* kwargs) noexcept {
  try {
    return body(args, kwargs);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& fault) {
    PyErr_Format(module_state(module).internal_error, "internal engine fault: %s", fault.what());
  } catch (...) {
    PyErr_SetString(module_state(module).internal_error, "internal engine fault");
  }
  return nullptr;
}

bool add_internal_error_type(PyObject* module) {
  PyObject* type = PyErr_NewExceptionWithDoc(
      "kest_engine_native.EngineInternalError",
      "An invariant of the engine failed: a fault of the engine, never of the input.", PyExc_RuntimeError, nullptr);
  if (type == nullptr) return false;
  // The state takes the new reference; the module attribute holds one of its own.
  module_state(module).internal_error = type;
  return PyModule_AddObjectRef(module, "EngineInternalError", type) == 0;
}

}  // namespace kest::boundary
