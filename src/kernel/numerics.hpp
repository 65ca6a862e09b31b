// The numbers of the process kernel: units, the carbon solubility, and the
// coefficients of the numerical differentiation formulas.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace talvenor::kernel {

constexpr std::size_t elements = 2;  // carbon, nitrogen
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double epsilon = std::numeric_limits<double>::epsilon();
constexpr double t_normal = 273.15;

// Molar masses in g/mol, and wt% per unit of site fraction at low contents.
constexpr double molar_mass_carbon = 12.011;
constexpr double molar_mass_nitrogen = 14.007;
constexpr double molar_mass_iron = 55.845;
constexpr std::array<double, elements> wt_per_site_fraction = {100.0 / molar_mass_iron * molar_mass_carbon,
                                                               100.0 / molar_mass_iron * molar_mass_nitrogen};

// Site fractions (y_C, y_N) of contents in wt%, with the rest counted as iron.
inline std::array<double, elements> site_fractions(double carbon_wt, double nitrogen_wt)
{
    const double iron = 100.0 - carbon_wt - nitrogen_wt;
    const double iron_moles = iron / molar_mass_iron;
    return {(carbon_wt / molar_mass_carbon) / iron_moles, (nitrogen_wt / molar_mass_nitrogen) / iron_moles};
}

// Contents (w_C, w_N) in wt% of site fractions: the inverse of site_fractions.
inline std::array<double, elements> weight_percent(double y_carbon, double y_nitrogen)
{
    const double u_carbon = y_carbon * (molar_mass_carbon / molar_mass_iron);
    const double u_nitrogen = y_nitrogen * (molar_mass_nitrogen / molar_mass_iron);
    const double scale = 100.0 / (1.0 + u_carbon + u_nitrogen);
    return {u_carbon * scale, u_nitrogen * scale};
}

// The Acm line of the Fe-Fe3C diagram in wt% at `t` °C: the quadratic
// through 0.77 wt% at 727 °C, 1.54 at 1000 °C and 2.14 at 1148 °C, in
// Lagrange's form, as the process package writes it.
constexpr double austenite_low_c = 727.0;
constexpr double austenite_high_c = 1148.0;
inline double acm_wt(double t)
{
    constexpr double t_1 = 727.0, w_1 = 0.77, t_2 = 1000.0, w_2 = 1.54, t_3 = 1148.0, w_3 = 2.14;
    return (w_1 * (t - t_2) * (t - t_3) / ((t_1 - t_2) * (t_1 - t_3)) +
            w_2 * (t - t_1) * (t - t_3) / ((t_2 - t_1) * (t_2 - t_3)) +
            w_3 * (t - t_1) * (t - t_2) / ((t_3 - t_1) * (t_3 - t_2)));
}

// The numerical differentiation formulas of orders 1 to 5 (Shampine and
// Reichelt, SIAM J. Sci. Comput. 18 (1997) 1-22), with kappa 0 at order 1:
// the backward Euler step.
constexpr int max_order = 5;
constexpr std::array<double, max_order + 1> kappa = {0.0, 0.0, -1.0 / 9.0, -0.0823, -0.0415, 0.0};

struct Formulas {
    std::array<double, max_order + 1> gammas{};  // 1 + 1/2 + ... + 1/k
    std::array<double, max_order + 1> alphas{};  // (1 - kappa) gamma
    std::array<double, max_order + 1> error_constants{};
};

constexpr Formulas make_formulas()
{
    Formulas f;
    for (int k = 1; k <= max_order; ++k) {
        f.gammas[static_cast<std::size_t>(k)] = f.gammas[static_cast<std::size_t>(k - 1)] + 1.0 / k;
    }
    for (std::size_t k = 0; k <= max_order; ++k) {
        f.alphas[k] = (1.0 - kappa[k]) * f.gammas[k];
        f.error_constants[k] = kappa[k] * f.gammas[k] + 1.0 / static_cast<double>(k + 1);
    }
    return f;
}

inline constexpr Formulas formulas = make_formulas();

// Step-size control: the first step of a stage as a fraction of it, how
// many times its share of the tolerance a step may err by, the bounds and
// safety factor of the change from one step to the next (steps may grow
// more at orders 1 and 2), how much shorter a step of order 1 that left the
// allowed range is taken again, and the shortest step as a fraction of the
// time, below which it is lost in rounding.
constexpr double first_step = 1e-3;
constexpr double allowance = 3.0;
constexpr double growth_low_order = 10.0;
constexpr double growth = 2.0;
constexpr double shrink = 0.2;
constexpr double safety = 0.9;
constexpr double bounds_shrink = 0.25;
constexpr double smallest_step = 8.0 * epsilon;
// How far short of the carbon limit a stage run to the limit ends, in wt%.
constexpr double limit_margin_wt = 1e-3;
// Fixed steps are TR-BDF2 steps (Bank et al., IEEE Trans. CAD 4 (1985)
// 436): a trapezoidal stage to t + gamma dt, then a BDF2 stage to t + dt,
// in Runge-Kutta form with the weights (w, w, d) of the rates at t,
// t + gamma dt and t + dt; gamma = 2 - sqrt(2), d = gamma / 2, w = sqrt(2) / 4.
constexpr double tr_bdf2_gamma = 0.5857864376269049;
constexpr double tr_bdf2_d = tr_bdf2_gamma / 2.0;
constexpr double tr_bdf2_w = 0.3535533905932738;

// How much longer a step can be than one whose error, which grows as its
// length to `exponent`, was `ratio` of the error allowed.
inline double step_factor(double ratio, int exponent)
{
    return ratio > 0.0 ? std::pow(ratio, -1.0 / exponent) : inf;
}

}  // namespace talvenor::kernel
