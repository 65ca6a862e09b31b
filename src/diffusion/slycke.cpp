// The slycke module: the Slycke model's diffusivities as objects.
#include "diffusion/arrhenius.hpp"
#include "diffusion/models.hpp"

#include "module.hpp"

namespace talvenor {

namespace {

using namespace models;

std::expected<Ref, PyErr> create_carbon_diffusivity()
{
    return create_diffusivity(PropertyState::from_native(carbon_pre_exponential),
                              PropertyState::from_native(carbon_activation_energy));
}

std::expected<Ref, PyErr> create_nitrogen_diffusivity()
{
    return create_diffusivity(PropertyState::from_native(nitrogen_pre_exponential),
                              PropertyState::from_native(nitrogen_activation_energy));
}

PyMethodDef functions[] = {
    {"create_carbon_diffusivity", noargs_entry<create_carbon_diffusivity>, METH_NOARGS | METH_STATIC,
     "create_carbon_diffusivity()\n--\n\n"},
    {"create_nitrogen_diffusivity", noargs_entry<create_nitrogen_diffusivity>, METH_NOARGS | METH_STATIC,
     "create_nitrogen_diffusivity()\n--\n\n"},
};

}  // namespace

std::span<PyMethodDef> slycke_functions()
{
    return functions;
}

}  // namespace talvenor
