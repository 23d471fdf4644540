// The module's functions, in groups of consecutive rows of its function table.
#pragma once

#include <span>

#include "boundary.hpp"

namespace kest::boundary {

// The project version of CMakeLists.txt, which the package metadata reads too.
inline constexpr const char* kVersion = KEST_VERSION;

std::span<const PyMethodDef> primitive_methods();
std::span<const PyMethodDef> signing_methods();
std::span<const PyMethodDef> rules_methods();
std::span<const PyMethodDef> epoch_methods();
std::span<const PyMethodDef> session_methods();
std::span<const PyMethodDef> frame_methods();

// Adds "MUTATION_OPS": the names of the operations an applied-mutation record's "op" can hold,
// in documented order, so the host reads them from the engine instead of spelling them again.
bool add_mutation_op_names(PyObject* module);

}  // namespace kest::boundary
