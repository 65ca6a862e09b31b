// The diffusivity models' functions. Each step below is one double operation, in
// the order written.
#include "diffusion/models.hpp"

#include "boundary.hpp"

#include <cmath>

namespace talvenor::models {

namespace {

constexpr double x1_weight = 0.72;
constexpr double activation_slope = -570000.0;
constexpr double carbon_activation_at_zero = 155000.0;
constexpr double nitrogen_activation_at_zero = 168600.0;
constexpr double exponent_factor = -38.487153613672334;  // -320 / R
constexpr double linear_factor = 5.0;
constexpr double carbon_scale = 4.84e-5;
constexpr double nitrogen_scale = 9.1e-5;
// -R, with R the gas constant in J/(mol K).
constexpr double negative_gas_constant = -8.31446261815324;

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

}  // namespace

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

double arrhenius(double pre_exponential, double activation_energy, double temperature)
{
    const double t = temperature * negative_gas_constant;
    const double u = activation_energy / t;
    const double e = std::exp(u);
    return pre_exponential * e;
}

}  // namespace talvenor::models
