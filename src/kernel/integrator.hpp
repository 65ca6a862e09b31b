// The time integration of a run: carbon and nitrogen diffusing through the
// finite volumes of a part, stage after stage, by the numerical
// differentiation formulas of orders 1 to 5 with their error, order and
// step control (see the notes of talvenor.process.solvers).
#pragma once

#include "kernel/diffusivities.hpp"
#include "kernel/stage.hpp"

#include <functional>
#include <memory>

namespace talvenor::kernel {

// The finite volumes of a part, per unit of treated surface: the cell
// volumes in m and the faces' areas relative to the surface, cells equal
// in width.
struct Grid {
    std::vector<double> volumes;
    std::vector<double> face_factor;  // area / spacing of each face between cells
    double spacing = 0.0;

    std::size_t cells() const noexcept { return volumes.size(); }
};

// What stays the same through a run.
struct Setting {
    Grid grid;
    Diffusivities diffusivities;
    Singularity singularity;  // of the default diffusivities, where they are used
    std::array<double, elements> grams{};  // per m² per unit of site fraction times m
    double tolerance_wt = 0.0;
    std::vector<double> fixed;  // the ends of fixed steps as fractions of a stage; empty: error control
};

// Called after every step with the time in s since the start of the run,
// with the interpreter lock held; false where it raised.
using Progress = std::function<bool(double)>;

// How a stage ends: at its end, or early where a boost's surface reaches
// the carbon limit (to_limit) or the surface carbon falls to falls_to_wt.
struct Ending {
    bool to_limit = false;
    std::optional<double> falls_to_wt;
};

// The state of a run between stages, and its history: a point at the
// start of each stage and at the end of each step.
class Run {
public:
    Run(std::shared_ptr<const Setting> setting, std::array<double, elements> core);

    Outcome<void> stage(const Stage& stage, double start_s, Ending ending, const Progress& progress);
    // The run from its present state, with a history of its own.
    Run copy() const;

    const std::shared_ptr<const Setting>& setting() const noexcept { return setting_; }
    std::array<std::vector<double>, elements> y;
    std::array<double, elements> surface{};
    std::array<double, elements> uptake{};
    double carbide = 0.0;
    std::vector<double> times_s;
    std::vector<double> surfaces;  // y_C, y_N at each time
    std::vector<double> uptakes;   // of each element at each time
    std::vector<double> carbides;

    void remember(double time_s, std::array<double, elements> at_surface, std::array<double, elements> gained,
                  double left);

private:
    explicit Run(std::shared_ptr<const Setting> setting) noexcept : setting_(std::move(setting)) {}
    std::shared_ptr<const Setting> setting_;
};

}  // namespace talvenor::kernel
