// The Slycke model of carbon and nitrogen diffusion in austenite. Entry 0 of
// the composition is x0, entry 1 is x1; later entries are ignored.
#include "diffusion/arrhenius.hpp"

#include "module.hpp"

#include <cmath>

namespace talvenor {

namespace {

constexpr double x1_weight = 0.72;
constexpr double activation_slope = -570000.0;
constexpr double carbon_activation_at_zero = 155000.0;
constexpr double nitrogen_activation_at_zero = 168600.0;
constexpr double exponent_factor = -38.487153613672334;  // -320 / R
constexpr double linear_factor = 5.0;
constexpr double carbon_scale = 4.84e-5;
constexpr double nitrogen_scale = 9.1e-5;

// Each step below is one double operation, in the order written.

double composition_term(const double* x, std::size_t count)
{
    if (count < 2) {
        fault("composition array must have at least two elements");
    }
    return (x[1] * x1_weight) + x[0];
}

double pre_exponential(double s, double linear_entry, double x0, double x1, double scale)
{
    const double a = (1.0 - (linear_entry * linear_factor)) * scale;
    const double e = std::exp(s * exponent_factor);
    const double b = 1.0 - ((x0 + x1) * linear_factor);
    return (e / b) * a;
}

double carbon_pre_exponential(const double* x, std::size_t count, double)
{
    const double s = composition_term(x, count);
    return pre_exponential(s, x[1], x[0], x[1], carbon_scale);
}

double carbon_activation_energy(const double* x, std::size_t count, double)
{
    return (composition_term(x, count) * activation_slope) + carbon_activation_at_zero;
}

double nitrogen_pre_exponential(const double* x, std::size_t count, double)
{
    const double s = composition_term(x, count);
    return pre_exponential(s, x[0], x[0], x[1], nitrogen_scale);
}

double nitrogen_activation_energy(const double* x, std::size_t count, double)
{
    return (composition_term(x, count) * activation_slope) + nitrogen_activation_at_zero;
}

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
