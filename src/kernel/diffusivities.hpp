// The diffusivities of carbon and nitrogen in a run: the Slycke model,
// evaluated here by the functions the slycke module wraps, a constant, or a
// caller's Python callable, called one composition at a time.
#pragma once

#include "boundary.hpp"
#include "kernel/numerics.hpp"

#include <expected>
#include <optional>
#include <span>
#include <string>

namespace talvenor::kernel {

// Why a run stops before the end of its stage. For `python`, the exception
// is set in the interpreter; the others the boundary words as messages.
struct Stop {
    enum class Kind {
        python,       // an exception from Python code
        no_step,      // the steps shrink to nothing: numbers = {time in h, tolerance}
        reach,        // the singularity: numbers = {reach, y_C, y_N}
        diffusivity,  // a D not finite or negative: numbers = {D, y_C, y_N, T}
        not_real,     // a callable returned `object`: numbers = {y_C, y_N, T}
        limit,        // carbide but no carbon limit: numbers = {temperature in °C}
    };
    Kind kind = Kind::python;
    std::size_t element = 0;
    std::array<double, 4> numbers{};
    Ref object;
};

template <class T>
using Outcome = std::expected<T, Stop>;

inline std::unexpected<Stop> stop(Stop::Kind kind, std::array<double, 4> numbers = {}, std::size_t element = 0)
{
    return std::unexpected(Stop{kind, element, numbers, Ref()});
}

// Where the default diffusivities are singular: weight * (y_C + y_N) >= 1.
struct Singularity {
    double weight = 0.0;  // 0 where there is none to keep to

    double reach(double y_carbon, double y_nitrogen) const noexcept { return weight * (y_carbon + y_nitrogen); }
};

// The Slycke diffusivity of carbon (0) or nitrogen (1) in m²/s, as the
// slycke module's objects evaluate it.
double slycke(std::size_t element, double y_carbon, double y_nitrogen, double temperature);

// The diffusivity of one element: the Slycke model's, a constant in m²/s,
// or a Python callable.
struct Source {
    std::optional<double> constant;
    Ref callable;
};

class Diffusivities {
public:
    Diffusivities(Source carbon, Source nitrogen) noexcept : sources_{std::move(carbon), std::move(nitrogen)} {}

    // Whether no element calls Python, so that a run may step without the
    // interpreter lock.
    bool native() const noexcept { return !sources_[0].callable && !sources_[1].callable; }

    // D of `element` at each face composition (y_C, y_N) into `out`; a value
    // that is not finite and non-negative stops the run, naming the
    // singularity instead where the composition reaches it.
    Outcome<void> at_faces(std::size_t element, std::span<const double> y_carbon, std::span<const double> y_nitrogen,
                           double temperature, Singularity singular, std::span<double> out) const;
    Outcome<double> at(std::size_t element, double y_carbon, double y_nitrogen, double temperature,
                       Singularity singular) const;

private:
    Outcome<double> evaluate(std::size_t element, double y_carbon, double y_nitrogen, double temperature) const;
    std::array<Source, elements> sources_;
};

}  // namespace talvenor::kernel
