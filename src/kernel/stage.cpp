#include "kernel/stage.hpp"

#include <algorithm>

namespace talvenor::kernel {

double Stage::at(const std::vector<double>& values, double fraction) const
{
    if (times_h.size() == 2) {
        // A planned stage: linear between its ends, as a ramp is written.
        return values[0] + (values[1] - values[0]) * fraction;
    }
    // A log: linear between the samples around the time, as numpy.interp.
    const double time = fraction * times_h.back();
    if (time <= times_h.front()) {
        return values.front();
    }
    if (time >= times_h.back()) {
        return values.back();
    }
    const auto after = static_cast<std::size_t>(std::upper_bound(times_h.begin(), times_h.end(), time) -
                                                 times_h.begin());
    const std::size_t i = after - 1;
    const double slope = (values[after] - values[i]) / (times_h[after] - times_h[i]);
    return slope * (time - times_h[i]) + values[i];
}

double Stage::temperature_k(double fraction) const
{
    return at(temperatures_c, fraction) + t_normal;
}

Conditions Stage::conditions_at(double fraction, double carbon_grams) const
{
    std::array<double, elements> wt{};
    for (std::size_t i = 0; i < elements; ++i) {
        if (!potentials_wt[i].empty()) {
            wt[i] = varying ? at(potentials_wt[i], fraction) : potentials_wt[i][0];
        }
    }
    const auto y = site_fractions(wt[0], wt[1]);
    Conditions conditions;
    for (std::size_t i = 0; i < elements; ++i) {
        conditions[i] = Condition{kinds[i], y[i], transfers_m_s[i], 0.0};
    }
    if (kinds[0] == Condition::Kind::boost) {
        conditions[0].flux_y = flux_g_m2_h / 3600.0 / carbon_grams;
    }
    return conditions;
}

std::array<std::pair<double, double>, elements> Stage::reachable() const
{
    std::array<std::pair<double, double>, elements> ranges;
    ranges.fill({inf, -inf});
    const std::size_t samples = times_h.size();
    for (std::size_t j = 0; j < samples; ++j) {
        const auto y = site_fractions(potentials_wt[0].empty() ? 0.0 : potentials_wt[0][j],
                                      potentials_wt[1].empty() ? 0.0 : potentials_wt[1][j]);
        for (std::size_t i = 0; i < elements; ++i) {
            if (kinds[i] == Condition::Kind::held || kinds[i] == Condition::Kind::transfer) {
                ranges[i] = {std::min(ranges[i].first, y[i]), std::max(ranges[i].second, y[i])};
            }
        }
    }
    return ranges;
}

std::pair<std::optional<double>, double> Stage::limit_wt_at(double fraction) const
{
    if (limit_wt) {
        return {limit_wt, 0.0};
    }
    const double celsius = temperature_k(fraction) - t_normal;
    if (!(celsius >= austenite_low_c && celsius <= austenite_high_c)) {
        return {std::nullopt, celsius};
    }
    return {limit_factor * acm_wt(celsius), celsius};
}

}  // namespace talvenor::kernel
