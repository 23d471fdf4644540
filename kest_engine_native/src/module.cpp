// The module object: `__version__`, the function table in registration order, and the
// exception type for engine faults.
#include <vector>

#include "methods.hpp"

namespace {

std::vector<PyMethodDef> function_table() {
  std::vector<PyMethodDef> table;
  for (auto group :
       {kest::boundary::primitive_methods(), kest::boundary::signing_methods(), kest::boundary::rules_methods(),
        kest::boundary::epoch_methods(), kest::boundary::session_methods(), kest::boundary::frame_methods()}) {
    table.insert(table.end(), group.begin(), group.end());
  }
  table.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  return table;
}

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kest_engine_native",
    "The module name MUST equal the [lib] name (kest_engine_native).",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_kest_engine_native() {
  PyObject* module = PyModule_Create(&module_definition);
  if (module == nullptr) return nullptr;
  if (PyModule_AddStringConstant(module, "__version__", kest::boundary::kVersion) != 0) {
    Py_DECREF(module);
    return nullptr;
  }
  // The table lives as long as the process: function objects keep pointers into it.
  static std::vector<PyMethodDef> table = function_table();
  if (PyModule_AddFunctions(module, table.data()) != 0 || !kest::boundary::add_internal_error_type(module) ||
      !kest::boundary::add_mutation_op_names(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
