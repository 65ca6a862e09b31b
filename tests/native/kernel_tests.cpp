// The process kernel on its own, without Python in the loop: what a run
// conserves and keeps to, where it stops, and that a stage that stops early
// leaves the run as it was. Exits non-zero when a check fails.
#include "checks.hpp"
#include "kernel/integrator.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <numeric>
#include <string>

using namespace talvenor::kernel;
using checks::check;

namespace {

// A plate of 2 mm on 100 cells of a steel of 7870 kg/m³.
std::shared_ptr<const Setting> plate(double tolerance_wt, std::vector<double> fixed = {})
{
    constexpr std::size_t cells = 100;
    constexpr double depth_m = 2e-3;
    Grid grid{std::vector<double>(cells, depth_m / cells), std::vector<double>(cells - 1, cells / depth_m),
              depth_m / cells};
    const double grams_carbon = 7870.0 * 1e3 / molar_mass_iron * molar_mass_carbon;
    const double grams_nitrogen = 7870.0 * 1e3 / molar_mass_iron * molar_mass_nitrogen;
    return std::make_shared<const Setting>(Setting{std::move(grid), Diffusivities(Source{}, Source{}),
                                                   Singularity{5.0}, {grams_carbon, grams_nitrogen}, tolerance_wt,
                                                   std::move(fixed)});
}

Stage gas(double hours, double celsius, double carbon_wt, double transfer_m_s)
{
    Stage stage;
    stage.duration_s = hours * 3600.0;
    stage.times_h = {0.0, hours};
    stage.temperatures_c = {celsius, celsius};
    stage.kinds = {transfer_m_s > 0.0 ? Condition::Kind::transfer : Condition::Kind::held, Condition::Kind::closed};
    stage.potentials_wt[0] = {carbon_wt, carbon_wt};
    stage.transfers_m_s = {transfer_m_s, 0.0};
    stage.corners = {1.0};
    return stage;
}

Stage boost(double hours, double celsius, double flux_g_m2_h)
{
    Stage stage = gas(hours, celsius, 0.0, 0.0);
    stage.kinds = {Condition::Kind::boost, Condition::Kind::closed};
    stage.potentials_wt[0].clear();
    stage.flux_g_m2_h = flux_g_m2_h;
    return stage;
}

std::array<double, elements> core()
{
    return site_fractions(0.2, 0.0);
}

double content(const Run& run, std::size_t element)
{
    const auto& volumes = run.setting()->grid.volumes;
    double sum = 0.0;
    for (std::size_t j = 0; j < volumes.size(); ++j) {
        sum += (run.y[element][j] - core()[element]) * volumes[j];
    }
    return sum;
}

void test_a_gas_stage_conserves_what_enters_and_keeps_to_its_range()
{
    Run run(plate(1e-2), core());
    const Stage stage = gas(4.0, 930.0, 0.8, 2e-7);
    check(run.stage(stage, 0.0, {}, {}).has_value(), "a gas stage runs");
    const double gained = content(run, 0);
    check(std::abs(run.uptake[0] - gained) <= 1e-11 * gained, "the uptake is what the profile gained");
    const double potential = site_fractions(0.8, 0.0)[0];
    bool within = true;
    bool falling = true;
    for (std::size_t j = 0; j < run.y[0].size(); ++j) {
        within = within && run.y[0][j] >= core()[0] && run.y[0][j] <= potential;
        falling = falling && (j == 0 || run.y[0][j] <= run.y[0][j - 1]);
    }
    check(within, "the profile stays between the core and the potential");
    check(falling, "the profile falls from the surface inwards");
    check(run.times_s.size() > 5 && run.times_s.back() == 4.0 * 3600.0, "the history runs to the stage's end");
}

void test_a_boost_run_to_the_limit_ends_just_short_of_it()
{
    Run run(plate(1e-2), core());
    const Stage stage = boost(1.0, 960.0, 150.0);
    check(run.stage(stage, 0.0, {true, std::nullopt}, {}).has_value(), "a boost to the limit runs");
    const double surface_wt = weight_percent(run.surface[0], run.surface[1])[0];
    const double limit_wt = acm_wt(960.0);
    check(run.times_s.back() < 3600.0, "it ends before the stage would");
    check(surface_wt < limit_wt && surface_wt > limit_wt - 2e-3, "it ends within 0.002 wt% short of the limit");
    check(run.carbide == 0.0, "no carbide forms on the way");
}

void test_a_boost_delivers_the_same_whether_or_not_its_stage_varies()
{
    Run steady(plate(1e-2), core());
    Run varying(plate(1e-2), core());
    const Stage stage = boost(0.5, 960.0, 150.0);
    Stage varying_stage = stage;
    varying_stage.varying = true;
    check(steady.stage(stage, 0.0, {}, {}).has_value() && varying.stage(varying_stage, 0.0, {}, {}).has_value(),
          "both boosts run");
    check(steady.uptake[0] > 0.0, "a boost delivers carbon");
    check(varying.uptake == steady.uptake && varying.y == steady.y,
          "a varying boost whose conditions stay the same delivers what the steady one does");
}

void test_fixed_steps_stay_stable_and_near_the_controlled_run()
{
    Run controlled(plate(1e-3), core());
    Run fixed(plate(1e-3, {1.0 / 64, 4.0 / 64, 9.0 / 64, 16.0 / 64, 25.0 / 64, 36.0 / 64, 49.0 / 64, 1.0}), core());
    const Stage stage = gas(4.0, 930.0, 1.15, 2e-7);
    check(controlled.stage(stage, 0.0, {}, {}).has_value() && fixed.stage(stage, 0.0, {}, {}).has_value(),
          "both runs run");
    double worst = 0.0;
    for (std::size_t k = 1; k < fixed.times_s.size(); ++k) {
        // The controlled run's surface at the same time, linearly between its points.
        const double t = fixed.times_s[k];
        const auto after = std::lower_bound(controlled.times_s.begin(), controlled.times_s.end(), t);
        const auto j = static_cast<std::size_t>(after - controlled.times_s.begin());
        const double t_0 = controlled.times_s[j - 1], t_1 = controlled.times_s[j];
        const double y_0 = controlled.surfaces[2 * (j - 1)], y_1 = controlled.surfaces[2 * j];
        const double y = y_0 + (y_1 - y_0) * (t - t_0) / (t_1 - t_0);
        worst = std::max(worst, std::abs(fixed.surfaces[2 * k] - y) * wt_per_site_fraction[0]);
    }
    double profile = 0.0;
    for (std::size_t j = 0; j < fixed.y[0].size(); ++j) {
        profile = std::max(profile, std::abs(fixed.y[0][j] - controlled.y[0][j]) * wt_per_site_fraction[0]);
    }
    check(worst < 0.08, "eight fixed steps keep the surface within 0.08 wt% of the controlled run");
    check(profile < 0.005, "eight fixed steps end within 0.005 wt% of the controlled run");
}

void test_a_stage_that_stops_leaves_the_run_as_it_was()
{
    Run run(plate(1e-2), core());
    check(run.stage(gas(1.0, 930.0, 0.8, 2e-7), 0.0, {}, {}).has_value(), "a first stage runs");
    const Run before = run.copy();
    const std::size_t points = run.times_s.size();
    Run starved(plate(1e-300), core());
    auto stopped = starved.stage(gas(1.0, 930.0, 0.8, 2e-7), 0.0, {}, {});
    check(!stopped && stopped.error().kind == Stop::Kind::no_step, "no step meets a tolerance of 1e-300");
    check(starved.times_s.empty() && starved.y[0] == std::vector<double>(100, core()[0]),
          "the stopped run keeps its state and history");
    Stage cold = boost(1.0, 700.0, 150.0);
    auto no_limit = run.stage(cold, 3600.0, {}, {});
    check(!no_limit && no_limit.error().kind == Stop::Kind::limit && no_limit.error().numbers[0] == 700.0,
          "a boost below 727 °C has no carbon limit, and says at what temperature");
    check(run.times_s.size() == points && run.y == before.y, "a stage refused leaves the run as it was");
}

// A second stage cut short after a few steps, by a stop or by a fault.
void test_a_stage_cut_short_takes_back_its_history()
{
    Run run(plate(1e-2), core());
    check(run.stage(gas(1.0, 930.0, 0.8, 2e-7), 0.0, {}, {}).has_value(), "a first stage runs");
    const Run before = run.copy();
    const std::array<std::size_t, 4> sizes{run.times_s.size(), run.surfaces.size(), run.uptakes.size(),
                                           run.carbides.size()};
    auto as_before = [&] {
        return std::array<std::size_t, 4>{run.times_s.size(), run.surfaces.size(), run.uptakes.size(),
                                          run.carbides.size()} == sizes &&
               run.y == before.y && run.uptake == before.uptake && run.surface == before.surface;
    };
    int calls = 0;
    auto stopped = run.stage(gas(1.0, 930.0, 1.1, 2e-7), 3600.0, {}, [&](double) { return ++calls < 3; });
    check(calls == 3 && !stopped && stopped.error().kind == Stop::Kind::python, "the progress function stops it");
    check(as_before(), "a stage stopped after a few steps leaves the run and its history as they were");
    calls = 0;
    bool thrown = false;
    try {
        (void)run.stage(gas(1.0, 930.0, 1.1, 2e-7), 3600.0, {}, [&](double) {
            if (++calls == 3) {
                throw std::bad_alloc();
            }
            return true;
        });
    } catch (const std::bad_alloc&) {
        thrown = true;
    }
    check(thrown && as_before(), "a fault a few steps into a stage leaves the run and its history as they were");
}

}  // namespace

int main()
{
    test_a_gas_stage_conserves_what_enters_and_keeps_to_its_range();
    test_a_boost_run_to_the_limit_ends_just_short_of_it();
    test_a_boost_delivers_the_same_whether_or_not_its_stage_varies();
    test_fixed_steps_stay_stable_and_near_the_controlled_run();
    test_a_stage_that_stops_leaves_the_run_as_it_was();
    test_a_stage_cut_short_takes_back_its_history();
    return checks::summary();
}
