// Operations that fill a module during its execution step, and the contents
// that each module's source file hands to them.
#pragma once

#include "boundary.hpp"

namespace talvenor {

// Lists `name` in the module's __all__ and sets the attribute.
std::expected<void, PyErr> add(PyObject* module, std::string_view name, PyObject* value);
std::expected<void, PyErr> add(PyObject* module, PyObject* name, PyObject* value);
std::expected<void, PyErr> add_function(PyObject* module, PyMethodDef* definition);
std::expected<void, PyErr> add_class(PyObject* module, LazyType& type);
std::expected<void, PyErr> add_submodule(PyObject* parent, PyObject* child);

// Module `constants`: its thirteen functions and thirteen attributes.
std::expected<void, PyErr> add_constants(PyObject* module);

// Module `diffusion`: the three classes.
LazyType& pre_exponential_factor_type();
LazyType& activation_energy_type();
LazyType& arrhenius_modified_diffusivity_type();

// Module `slycke`: the two factories, in the order they are added.
std::span<PyMethodDef> slycke_functions();

}  // namespace talvenor
