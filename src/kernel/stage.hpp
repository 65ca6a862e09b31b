// One stage of a recipe as the kernel runs it: its temperature and surface
// conditions over time, and where carbide forms at its surface.
#pragma once

#include "kernel/numerics.hpp"

#include <optional>
#include <utility>
#include <vector>

namespace talvenor::kernel {

// What the atmosphere does to one element at the surface. The flux into the
// part is source - g y_0 through the half cell between the surface and the
// first cell, of conductance half_cell = 2 D_s / h.
struct Condition {
    enum class Kind { closed, held, transfer, boost };
    Kind kind = Kind::closed;
    double potential_y = 0.0;
    double transfer_m_s = 0.0;
    double flux_y = 0.0;  // a boost's, in site fraction times m/s

    bool closed() const noexcept { return kind == Kind::closed; }
    // Whether the surface composition depends on D_s there.
    bool balanced() const noexcept { return kind == Kind::transfer || kind == Kind::boost; }
    bool limited() const noexcept { return kind == Kind::boost; }
    double delivered_y() const noexcept { return kind == Kind::boost ? flux_y : 0.0; }

    // (g, source) of the flux behind the half cell's conductance.
    std::pair<double, double> law(double half_cell) const noexcept
    {
        switch (kind) {
        case Kind::held:
            return {half_cell, half_cell * potential_y};
        case Kind::transfer: {
            const double g = transfer_m_s * half_cell / (transfer_m_s + half_cell);
            return {g, g * potential_y};
        }
        case Kind::boost:
            return {0.0, flux_y};
        case Kind::closed:
            break;
        }
        return {0.0, 0.0};
    }

    // The surface beside the first cell's `first`; without `half_cell`
    // where D_s is not known yet.
    double surface(double first, std::optional<double> half_cell) const noexcept
    {
        switch (kind) {
        case Kind::held:
            return potential_y;
        case Kind::transfer:
            return half_cell ? (transfer_m_s * potential_y + *half_cell * first) / (transfer_m_s + *half_cell)
                             : first;
        case Kind::boost:
            return half_cell ? first + flux_y / *half_cell : first;
        case Kind::closed:
            break;
        }
        return first;
    }
};

using Conditions = std::array<Condition, elements>;

// A stage: its duration, its temperature and potentials at sample times
// (two samples, its ends, for a planned stage; a furnace log's otherwise),
// taken as linear in between, and each element's kind of surface.
struct Stage {
    double duration_s = 0.0;
    std::vector<double> times_h;         // from the start of the stage, rising, the last its end
    std::vector<double> temperatures_c;  // at times_h
    std::array<Condition::Kind, elements> kinds{};
    std::array<std::vector<double>, elements> potentials_wt;  // at times_h, where held or transfer
    std::array<double, elements> transfers_m_s{};
    double flux_g_m2_h = 0.0;             // a carbon boost's
    std::optional<double> limit_wt;       // the stage's own carbon limit, else:
    double limit_factor = 1.0;            // the steel's factor on the Acm line
    double limit_nitrogen_wt = 0.0;       // the nitrogen the limit's site fraction is taken with
    std::vector<double> corners;          // fractions of the stage where steps must end, the last 1
    bool varying = false;                 // whether the potentials change within the stage

    double temperature_k(double fraction) const;
    // The surface conditions at `fraction`, a carbon boost's flux in site
    // fraction times m/s by the grams of carbon per m² per unit of site
    // fraction times m.
    Conditions conditions_at(double fraction, double carbon_grams) const;
    // The lowest and highest site fraction each element's surface drives it
    // to over the stage (an empty range, inf to -inf, where it has no potential).
    std::array<std::pair<double, double>, elements> reachable() const;
    // The carbon limit in wt% at `fraction`, or the temperature in °C at
    // which it is not known.
    std::pair<std::optional<double>, double> limit_wt_at(double fraction) const;

private:
    double at(const std::vector<double>& values, double fraction) const;
};

}  // namespace talvenor::kernel
