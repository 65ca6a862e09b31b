// The diffusivity models as plain functions, shared by the modules that wrap
// them as objects and by the process kernel, which calls them directly: the
// Arrhenius form, and the Slycke model of carbon and nitrogen diffusion in
// austenite, as functions of the composition (entry 0 is x0, entry 1 x1;
// later entries are ignored) and the temperature in kelvin.
#pragma once

#include <cstddef>

namespace talvenor::models {

double carbon_pre_exponential(const double* x, std::size_t count, double temperature);
double carbon_activation_energy(const double* x, std::size_t count, double temperature);
double nitrogen_pre_exponential(const double* x, std::size_t count, double temperature);
double nitrogen_activation_energy(const double* x, std::size_t count, double temperature);

// D = D0 exp(Q / (T * -R)), one rounding per operation in this order, as
// ArrheniusModifiedDiffusivity evaluates it.
double arrhenius(double pre_exponential, double activation_energy, double temperature);

}  // namespace talvenor::models
