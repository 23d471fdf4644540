// The module object: `__version__`, the function table in registration order, and the
// exception type for engine faults. Initialised in phases: the interpreter creates the module
// object and `execute` fills it, so every import gets a module with state of its own.
#include <new>
#include <vector>

#include "methods.hpp"

namespace {

using kest::boundary::ModuleState;

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

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

int execute(PyObject* module) {
  // Made once and never changed afterwards; the function objects of every module object keep
  // pointers into it for as long as the process lives.
  static std::vector<PyMethodDef> table = function_table();
  new (state_of(module)) ModuleState{};
  if (PyModule_AddStringConstant(module, "__version__", kest::boundary::kVersion) != 0) return -1;
  if (PyModule_AddFunctions(module, table.data()) != 0) return -1;
  return kest::boundary::add_internal_error_type(module) && kest::boundary::add_mutation_op_names(module) ? 0 : -1;
}

int traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of(module);
  if (state != nullptr) Py_VISIT(state->internal_error);
  return 0;
}

int clear(PyObject* module) {
  ModuleState* state = state_of(module);
  if (state != nullptr) Py_CLEAR(state->internal_error);
  return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execute)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kest_engine_native",
    "The module name MUST equal the [lib] name (kest_engine_native).",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse,
    clear,
    free_module,
};

}  // namespace

PyMODINIT_FUNC PyInit_kest_engine_native() { return PyModuleDef_Init(&module_definition); }
