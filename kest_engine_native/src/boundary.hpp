// The module boundary's shared machinery: argument binding and conversion, result conversion
// and the mapping of failures to Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "kest/result.hpp"

namespace kest::boundary {

// Binds positional-or-keyword arguments, raising TypeError with the interpreter's wording for a
// `def` function when an argument is missing, given twice, unknown or surplus. `names` lists the
// arguments in order, `required` is how many leading ones must be given, and `out` (one slot per
// name) receives borrowed references; unset optional slots are nullptr.
bool bind_arguments(PyObject* args, PyObject* kwargs, const char* function, std::span<const char* const> names,
                    std::size_t required, std::span<PyObject*> out);

// Argument conversions. On failure each returns nothing with a Python exception set: a
// TypeError is re-raised as "argument '{name}': {message}", other errors pass unchanged.
std::optional<std::uint64_t> to_u64(PyObject* obj, const char* name);
std::optional<std::uint32_t> to_u32(PyObject* obj, const char* name);
std::optional<std::int64_t> to_i64(PyObject* obj, const char* name);
std::optional<std::string_view> to_text(PyObject* obj, const char* name);
std::optional<std::optional<std::string_view>> to_optional_text(PyObject* obj, const char* name);
std::optional<std::string_view> to_key_bytes(PyObject* obj, const char* name);
std::optional<std::vector<std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t>>> to_entry_list(
    PyObject* obj, const char* name);

// One parameter of a module function: its name, and its default as Python writes it when the
// caller may leave it out (such parameters come last).
struct Parameter {
  const char* name;
  const char* default_text = nullptr;
};

// The one declaration of a module function: its name and parameters, from which its argument
// binding, the labels of its conversion errors and its text signature all come, and the
// description that follows the signature in its docstring.
template <std::size_t N>
struct Function {
  const char* name;
  std::array<Parameter, N> parameters;
  const char* description = "";

  [[nodiscard]] constexpr std::array<const char*, N> names() const {
    std::array<const char*, N> names{};
    for (std::size_t i = 0; i < N; ++i) names[i] = parameters[i].name;
    return names;
  }
  [[nodiscard]] constexpr std::size_t required() const {
    std::size_t count = 0;
    while (count < N && parameters[count].default_text == nullptr) ++count;
    return count;
  }
};

template <std::size_t N>
constexpr Function<N> declare(const char* name, const Parameter (&parameters)[N], const char* description = "") {
  Function<N> function{name, {}, description};
  for (std::size_t i = 0; i < N; ++i) function.parameters[i] = parameters[i];
  return function;
}

// The docstring "{name}({parameters})\n--\n\n{description}", whose first line the interpreter
// reads as the function's __text_signature__.
std::string docstring(const char* name, std::span<const Parameter> parameters, const char* description);

// The bound arguments of one call, each held by a strong reference until the call returns: text
// views taken from them stay valid while the engine works without the interpreter lock, even if
// another thread meanwhile empties the keyword dict the caller passed (`f(**options)` hands the
// caller's own dict over). Each conversion names the parameter it read in its error.
template <std::size_t N>
class Arguments {
 public:
  explicit Arguments(const Function<N>& function) : function_(function) {}
  ~Arguments() {
    for (PyObject* argument : slots_) Py_XDECREF(argument);
  }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  bool bind(PyObject* args, PyObject* kwargs) {
    const std::array<const char*, N> names = function_.names();
    if (!bind_arguments(args, kwargs, function_.name, names, function_.required(), slots_)) {
      slots_.fill(nullptr);
      return false;
    }
    for (PyObject* argument : slots_) Py_XINCREF(argument);
    return true;
  }

  // The argument in position `index`; nullptr for an optional one not given.
  PyObject* operator[](std::size_t index) const { return slots_[index]; }

  std::optional<std::uint64_t> u64(std::size_t index) const { return to_u64(slots_[index], label(index)); }
  std::optional<std::uint32_t> u32(std::size_t index) const { return to_u32(slots_[index], label(index)); }
  std::optional<std::int64_t> i64(std::size_t index) const { return to_i64(slots_[index], label(index)); }
  std::optional<std::string_view> text(std::size_t index) const { return to_text(slots_[index], label(index)); }
  std::optional<std::optional<std::string_view>> optional_text(std::size_t index) const {
    return to_optional_text(slots_[index], label(index));
  }
  std::optional<std::string_view> key_bytes(std::size_t index) const {
    return to_key_bytes(slots_[index], label(index));
  }
  auto entry_list(std::size_t index) const { return to_entry_list(slots_[index], label(index)); }

 private:
  const char* label(std::size_t index) const { return function_.parameters[index].name; }

  const Function<N>& function_;
  std::array<PyObject*, N> slots_{};
};

PyObject* to_py_text(std::string_view utf8);
PyObject* raise_value_error(std::string_view message);

// The result text, or a ValueError carrying the message unchanged.
PyObject* text_or_value_error(const Result<std::string>& result);

// A whole-input function: binds its one argument `input_json` and hands the text unparsed to
// `operation`, which parses, checks, computes and writes its output itself without the
// interpreter lock.
PyObject* call_whole_input(PyObject* args, PyObject* kwargs, const Function<1>& function,
                           Result<std::string> (*operation)(std::string_view));

// The one parameter of every whole-input function.
inline constexpr Parameter kInputJson = {"input_json"};

// What each module object owns: every import of the module (one per interpreter, or again after
// it was dropped from sys.modules) gets its own, so no Python object is shared between them.
struct ModuleState {
  PyObject* internal_error = nullptr;  // EngineInternalError, a strong reference
};

// Runs a binding of `module`, turning any C++ exception that escapes the engine into a Python
// exception: MemoryError for exhausted memory, the module's EngineInternalError for a broken
// invariant.
PyObject* guarded(PyObject* (*body)(PyObject*, PyObject*), PyObject* module, PyObject* args, PyObject* kwargs) noexcept;

// Creates the exception type for internal invariant failures, keeps it in the module's state and
// adds it to the module as "EngineInternalError".
bool add_internal_error_type(PyObject* module);

// One entry of the module's function table; the interpreter passes the module as `self`.
template <PyObject* (*Body)(PyObject*, PyObject*)>
PyObject* entry(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
  return guarded(Body, module, args, kwargs);
}

// The function table row of `function`, whose binding is `Body`. The docstring is written once
// and kept for the process: function objects point into it.
template <PyObject* (*Body)(PyObject*, PyObject*), std::size_t N>
PyMethodDef method(const Function<N>& function) {
  static const std::string doc = docstring(function.name, function.parameters, function.description);
  return PyMethodDef{function.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<Body>)),
                     METH_VARARGS | METH_KEYWORDS, doc.c_str()};
}

}  // namespace kest::boundary
