#pragma once

#include "diffusion/property.hpp"

namespace talvenor {

// The contents of an ArrheniusModifiedDiffusivity instance.
struct Diffusivity {
    PropertyState pre_exponential;
    PropertyState activation_energy;
};

// A new ArrheniusModifiedDiffusivity holding the two states, without __new__.
std::expected<Ref, PyErr> create_diffusivity(PropertyState pre_exponential, PropertyState activation_energy);

}  // namespace talvenor
