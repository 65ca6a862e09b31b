// The time integration of a run, as talvenor.process.solvers describes it:
// the finite-volume operator and its tridiagonal solves, the surface
// balance, the numerical differentiation formulas with their error, order
// and step control, the maximum principle, the events, the exact uptake.
#include "kernel/integrator.hpp"

#include <algorithm>
#include <cmath>

namespace talvenor::kernel {

namespace {

using Pair = std::array<double, elements>;

// ---------------------------------------------------------------------------
// Arrays.

// Rows of equal length, one after another.
struct Matrix {
    std::size_t rows = 0;
    std::size_t columns = 0;
    std::vector<double> data;

    Matrix() = default;
    Matrix(std::size_t row_count, std::size_t column_count)
        : rows(row_count), columns(column_count), data(row_count * column_count, 0.0)
    {
    }
    double* row(std::size_t i) noexcept { return data.data() + i * columns; }
    const double* row(std::size_t i) const noexcept { return data.data() + i * columns; }
};

double largest_magnitude(const double* values, std::size_t count) noexcept
{
    double largest = 0.0;
    for (std::size_t j = 0; j < count; ++j) {
        largest = std::max(largest, std::abs(values[j]));
    }
    return largest;
}

// ---------------------------------------------------------------------------
// The finite-volume operator of one time.

// A symmetric tridiagonal matrix with a positive diagonal and the entries
// -coupling[i] between rows i and i + 1, factored as L D L^T (the steps of
// LAPACK's dpttrf and dpttrs). The matrices of a step are M-matrices, so
// positive definite: no pivoting is needed.
class Tridiagonal {
public:
    Tridiagonal(std::vector<double> diagonal, const std::vector<double>& coupling)
        : pivots_(std::move(diagonal)), multipliers_(coupling.size())
    {
        for (std::size_t i = 0; i < multipliers_.size(); ++i) {
            const double entry = -coupling[i];
            multipliers_[i] = entry / pivots_[i];
            pivots_[i + 1] = pivots_[i + 1] - multipliers_[i] * entry;
        }
    }

    void solve(std::vector<double>& b) const noexcept
    {
        const std::size_t n = b.size();
        for (std::size_t i = 1; i < n; ++i) {
            b[i] = b[i] - b[i - 1] * multipliers_[i - 1];
        }
        b[n - 1] = b[n - 1] / pivots_[n - 1];
        for (std::size_t i = n - 1; i-- > 0;) {
            b[i] = b[i] / pivots_[i] - b[i + 1] * multipliers_[i];
        }
    }

private:
    std::vector<double> pivots_;
    std::vector<double> multipliers_;
};

// The diffusivities at one time, as the surface flux source - g y_0 and the
// face conductances A D / h of the active elements (a row each; the last
// column, the face past the last cell, is 0).
struct Operator {
    Matrix faces;
    Pair g{};
    Pair source{};

    // The stacked matrix scale + A of the active elements.
    Tridiagonal system(const std::vector<double>& scale) const
    {
        const std::size_t cells = faces.columns;
        std::vector<double> diagonal(faces.rows * cells);
        for (std::size_t r = 0; r < faces.rows; ++r) {
            const double* face = faces.row(r);
            double* d = diagonal.data() + r * cells;
            for (std::size_t j = 0; j < cells; ++j) {
                d[j] = scale[j] + face[j];
            }
            for (std::size_t j = 1; j < cells; ++j) {
                d[j] += face[j - 1];
            }
            d[0] += g[r];
        }
        std::vector<double> coupling(faces.data.begin(), faces.data.end() - 1);
        return Tridiagonal(std::move(diagonal), coupling);
    }

    double surface_flux(std::size_t r, double first) const noexcept { return source[r] - g[r] * first; }
};

// ---------------------------------------------------------------------------
// The history of the steps.

const std::array<std::array<double, max_order + 1>, max_order + 1> base_weights = [] {
    std::array<std::array<double, max_order + 1>, max_order + 1> weights{};
    for (std::size_t k = 0; k <= max_order; ++k) {
        weights[k][0] = 1.0;
        for (std::size_t j = 1; j <= k; ++j) {
            weights[k][j] = 1.0 - formulas.gammas[j] / formulas.alphas[k];
        }
    }
    return weights;
}();

// The matrix that takes the backward differences D_0 to D_order of a
// polynomial at equal steps to those at steps `factor` times as long
// (Shampine and Reichelt): R(factor) R(1), transposed, where R(f) has the
// rows i of the products over m = 1 to i of (m - 1 - f j) / m.
std::vector<double> rescaling(std::size_t order, double factor)
{
    const std::size_t n = order + 1;
    auto products = [n](double f) {
        std::vector<double> r(n * n, 0.0);
        for (std::size_t j = 0; j < n; ++j) {
            r[j] = 1.0;
        }
        for (std::size_t i = 1; i < n; ++i) {
            const double low = static_cast<double>(i - 1) / static_cast<double>(i);
            for (std::size_t j = 1; j < n; ++j) {
                const double term = low - f * (static_cast<double>(j) / static_cast<double>(i));
                r[i * n + j] = (i == 1 ? 1.0 : r[(i - 1) * n + j]) * term;
            }
        }
        return r;
    };
    const std::vector<double> powers = products(factor);
    const std::vector<double> unit = products(1.0);
    std::vector<double> result(n * n, 0.0);  // (powers @ unit) transposed
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            double sum = 0.0;
            for (std::size_t m = 0; m < n; ++m) {
                sum += powers[i * n + m] * unit[m * n + j];
            }
            result[j * n + i] = sum;
        }
    }
    return result;
}

// Backward differences D_0 ... of the active elements' profiles, each row
// with one more column: the content gained since the history started.
struct Differences {
    std::size_t rows = 0;
    std::size_t width = 0;  // cells + 1
    std::vector<double> data = {};

    double* at(std::size_t j, std::size_t r) noexcept { return data.data() + (j * rows + r) * width; }
    const double* at(std::size_t j, std::size_t r) const noexcept { return data.data() + (j * rows + r) * width; }
    double* level(std::size_t j) noexcept { return data.data() + j * rows * width; }
    const double* level(std::size_t j) const noexcept { return data.data() + j * rows * width; }
};

// One step: its length, order and differences, the profile after it and
// what it gained, its error estimate and the rounding of its solution.
struct Step {
    double dt = 0.0;
    int order = 1;
    Differences differences;
    Matrix correction;  // after - predicted, and the gain, per active row
    Pair uptake{};
    double error_wt = 0.0;
    double rounding = 0.0;
    Pair low{};
    Pair high{};
    std::array<std::vector<double>, elements> y_next;
    std::array<std::vector<double>, elements> y_middle;  // of a fixed step: at t + gamma dt
};

class History {
public:
    History(const std::array<std::vector<double>, elements>& y, std::size_t first, const Matrix& rate,
            const Pair& flux, Operator start)
        : first_(first), start_(std::move(start))
    {
        const std::size_t cells = rate.columns;
        differences_ = {rate.rows, cells + 1, std::vector<double>((max_order + 3) * rate.rows * (cells + 1), 0.0)};
        for (std::size_t r = 0; r < rate.rows; ++r) {
            std::copy_n(y[first + r].data(), cells, differences_.at(0, r));
            std::copy_n(rate.row(r), cells, differences_.at(1, r));
            differences_.at(1, r)[cells] = flux[r];
        }
    }

    int order = 1;

    double growth() const noexcept { return order > 2 ? kernel::growth : growth_low_order; }
    const std::optional<Operator>& start() const noexcept { return start_; }

    // The differences at steps of dt: of the order of the next step and one more.
    Differences at(double dt) const
    {
        Differences rescaled = differences_;
        if (dt == dt_) {
            return rescaled;
        }
        const std::size_t k = static_cast<std::size_t>(std::min(order + 1, max_order));
        const std::vector<double> r = rescaling(k, dt / dt_);
        const std::size_t size = differences_.rows * differences_.width;
        for (std::size_t i = 0; i <= k; ++i) {
            double* out = rescaled.level(i);
            for (std::size_t c = 0; c < size; ++c) {
                double sum = 0.0;
                for (std::size_t j = 0; j <= k; ++j) {
                    sum += r[i * (k + 1) + j] * differences_.level(j)[c];
                }
                out[c] = sum;
            }
        }
        return rescaled;
    }

    // Add the end of `step` to the history.
    void accept(Step& step)
    {
        const std::size_t k = static_cast<std::size_t>(order);
        differences_ = std::move(step.differences);
        dt_ = step.dt;
        const std::size_t size = differences_.rows * differences_.width;
        double* d_k2 = differences_.level(k + 2);
        double* d_k1 = differences_.level(k + 1);
        for (std::size_t c = 0; c < size; ++c) {
            d_k2[c] = step.correction.data[c] - d_k1[c];
            d_k1[c] = step.correction.data[c];
        }
        for (std::size_t j = k + 1; j-- > 0;) {
            double* lower = differences_.level(j);
            const double* upper = differences_.level(j + 1);
            for (std::size_t c = 0; c < size; ++c) {
                lower[c] += upper[c];
            }
        }
        ++steps_at_order_;
        start_.reset();
    }

    // The order of the next step after one whose error was error_wt, ratio
    // of the error allowed: the error of a step at that order as long as the
    // last, and the power of its length that it grows as.
    std::pair<double, int> next_order(double error_wt, double ratio)
    {
        const int k = order;
        if (steps_at_order_ > k) {
            const double allowed = ratio > 0.0 ? error_wt / ratio : inf;
            double best = step_factor(ratio, k + 1);
            double best_error = error_wt;
            int best_order = k;
            auto weigh = [&](double error, int exponent, int choice) {
                const double factor = step_factor(error / allowed, exponent);
                if (factor > best) {
                    best = factor;
                    best_error = error;
                    best_order = choice;
                }
            };
            if (k > 1) {
                weigh(formulas.error_constants[static_cast<std::size_t>(k - 1)] *
                          largest_wt(static_cast<std::size_t>(k)), k, k - 1);
            }
            if (k < max_order) {
                weigh(formulas.error_constants[static_cast<std::size_t>(k + 1)] *
                          largest_wt(static_cast<std::size_t>(k + 2)), k + 2, k + 1);
            }
            error_wt = best_error;
            if (best_order != k) {
                order = best_order;
                steps_at_order_ = 0;
            }
        }
        return {error_wt, order + 1};
    }

    double largest_wt(std::size_t level) const noexcept
    {
        double largest = 0.0;
        for (std::size_t r = 0; r < differences_.rows; ++r) {
            const double magnitude = largest_magnitude(differences_.at(level, r), differences_.width - 1);
            largest = std::max(largest, magnitude * wt_per_site_fraction[first_ + r]);
        }
        return largest;
    }

private:
    std::size_t first_;
    Differences differences_;
    double dt_ = 1.0;
    int steps_at_order_ = 0;
    std::optional<Operator> start_;
};

// The length of a step whose error, error_wt at the length dt and growing as
// the length to `exponent`, is a safe part of what `allowed` (of the length)
// allows, from a fifth of dt to `longest` times it: a few rounds of
// fixed-point iteration.
template <class Allowed>
double step_length(double dt, double error_wt, int exponent, Allowed allowed, double longest)
{
    double length = dt;
    for (int round = 0; round < 3; ++round) {
        length = dt * std::min(longest, std::max(shrink, safety * step_factor(error_wt / allowed(length), exponent)));
    }
    return length;
}

// ---------------------------------------------------------------------------
// The range that the maximum principle allows.

class Bounds {
public:
    Bounds(const std::array<std::vector<double>, elements>& y, std::array<std::pair<double, double>, elements> reach,
           std::size_t first, std::size_t count)
        : first_(first), count_(count)
    {
        for (std::size_t i = 0; i < elements; ++i) {
            const auto [lowest, highest] = std::minmax_element(y[i].begin(), y[i].end());
            low[i] = std::min(*lowest, reach[i].first);
            high[i] = std::max(*highest, reach[i].second);
        }
        // Leaving the range by less than 1e-12 of it is rounding.
        for (std::size_t i = 0; i < elements; ++i) {
            const double slack = 1e-12 * (high[i] - low[i]);
            floor_[i] = low[i] - slack;
            ceiling_[i] = high[i] + slack;
            size_[i] = std::max(std::abs(floor_[i]), std::abs(ceiling_[i]));
        }
    }

    Bounds widened(const std::array<std::vector<double>, elements>& y) const
    {
        return Bounds(y, {std::pair{low[0], high[0]}, std::pair{low[1], high[1]}}, first_, count_);
    }

    std::array<std::vector<double>, elements> clip(const std::array<std::vector<double>, elements>& y) const
    {
        std::array<std::vector<double>, elements> clipped = y;
        for (std::size_t i = 0; i < elements; ++i) {
            for (double& value : clipped[i]) {
                value = std::min(std::max(value, low[i]), high[i]);
            }
        }
        return clipped;
    }

    Pair clip_surface(const Pair& surface) const noexcept
    {
        return {std::min(std::max(surface[0], low[0]), high[0]), std::min(std::max(surface[1], low[1]), high[1])};
    }

    bool allow(const Step& step) const noexcept
    {
        for (std::size_t r = 0; r < count_; ++r) {
            const std::size_t i = first_ + r;
            if (!(floor_[i] - step.rounding * size_[i] <= step.low[r] &&
                  step.high[r] <= ceiling_[i] + step.rounding * size_[i])) {
                return false;
            }
        }
        return true;
    }

    Pair low{};
    Pair high{};

private:
    std::size_t first_;
    std::size_t count_;
    Pair floor_{};
    Pair ceiling_{};
    Pair size_{};
};

// ---------------------------------------------------------------------------
// One stage of a run.

class Physics {
public:
    Physics(const Setting& setting, const Stage& stage, const std::array<std::vector<double>, elements>& y,
            double carbide, Ending ending)
        : setting_(setting), stage_(stage), ending_(ending)
    {
        own_ = stage.conditions_at(0.0, setting.grams[0]);
        delivered_y_ = own_[0].delivered_y();
        limited_ = own_[0].limited() || carbide > 0.0;
        for (std::size_t i = 0; i < elements; ++i) {
            const auto [lowest, highest] = std::minmax_element(y[i].begin(), y[i].end());
            if (!own_[i].closed() || *lowest != *highest || (i == 0 && limited_)) {
                active_.push_back(i);
            }
        }
        followed_ = ending.to_limit || ending.falls_to_wt.has_value();
        for (std::size_t i : active_) {
            followed_ = followed_ || own_[i].balanced();
        }
    }

    // Set the bounds of the stage from the profile at its start.
    Outcome<void> start(const std::array<std::vector<double>, elements>& y)
    {
        auto reach = stage_.reachable();
        if (limited_) {
            for (double fraction : {0.0, 1.0}) {
                auto held = limit(fraction);
                if (!held) {
                    return std::unexpected(std::move(held.error()));
                }
                reach[0] = {std::min(reach[0].first, held->potential_y), std::max(reach[0].second, held->potential_y)};
            }
        }
        bound(Bounds(y, reach, first_row(), active_.size()));
        return {};
    }

    void restart(const std::array<std::vector<double>, elements>& y) { bound(bounds_->widened(y)); }

    bool saturated = false;

    const std::vector<std::size_t>& active() const noexcept { return active_; }
    std::size_t first_row() const noexcept { return active_.empty() ? 0 : active_.front(); }
    const Bounds& bounds() const noexcept { return *bounds_; }
    double duration() const noexcept { return stage_.duration_s; }
    double tolerance_wt() const noexcept { return setting_.tolerance_wt; }
    const Grid& grid() const noexcept { return setting_.grid; }

    // The error in wt% that a step from t of length dt may make.
    double allowed(double t, double dt) const noexcept
    {
        const double share = allowance * dt * stage_.duration_s / ((t + dt) * (t + dt));
        return setting_.tolerance_wt * (followed_ ? std::min(1.0, share) : share);
    }

    Outcome<Condition> limit(double fraction) const
    {
        const auto [limit_wt, celsius] = stage_.limit_wt_at(fraction);
        if (!limit_wt) {
            return stop(Stop::Kind::limit, {celsius});
        }
        return Condition{Condition::Kind::held, site_fractions(*limit_wt, stage_.limit_nitrogen_wt)[0], 0.0, 0.0};
    }

    Outcome<Conditions> conditions(double fraction) const
    {
        Conditions own = stage_.varying ? stage_.conditions_at(fraction, setting_.grams[0]) : own_;
        if (saturated) {
            auto held = limit(fraction);
            if (!held) {
                return std::unexpected(std::move(held.error()));
            }
            own[0] = *held;
        }
        return own;
    }

    // How far past the switch of the carbon surface the profile y is at t
    // with `carbide` left (negative before; -inf where nothing switches).
    Outcome<double> change(const std::array<std::vector<double>, elements>& y, double t, double carbide)
    {
        if (saturated) {
            return -carbide;
        }
        if (delivered_y_ == 0.0) {
            return -inf;
        }
        const double fraction = t / stage_.duration_s;
        auto surface = surface_at(y, fraction);
        if (!surface) {
            return std::unexpected(std::move(surface.error()));
        }
        auto held = limit(fraction);
        if (!held) {
            return std::unexpected(std::move(held.error()));
        }
        return (*surface)[0] - held->potential_y;
    }

    // How far past where the stage is to end the profile y is at t.
    Outcome<double> ending(const std::array<std::vector<double>, elements>& y, double t, double carbide)
    {
        if (ending_.to_limit) {
            // A hair short of the limit, so that the stage run again with
            // steps of its own does not go past it.
            if (saturated) {
                return 0.0;
            }
            auto changed = change(y, t, carbide);
            if (!changed) {
                return changed;
            }
            return *changed + limit_margin_wt / wt_per_site_fraction[0];
        }
        if (!ending_.falls_to_wt) {
            return -inf;
        }
        auto surface = surface_at(y, t / stage_.duration_s);
        if (!surface) {
            return std::unexpected(std::move(surface.error()));
        }
        return *ending_.falls_to_wt - weight_percent((*surface)[0], (*surface)[1])[0];
    }

    // The carbide that the part takes in the step, less what the atmosphere delivers.
    double carbide_used(const Step& step) const noexcept
    {
        return saturated ? step.uptake[0] - delivered_y_ * step.dt : 0.0;
    }

    Outcome<History> history(const std::array<std::vector<double>, elements>& y, double fraction)
    {
        auto op = operator_at(y, fraction);
        if (!op) {
            return std::unexpected(std::move(op.error()));
        }
        const std::size_t cells = grid().cells();
        Matrix rate(active_.size(), cells);
        Pair flux{};
        for (std::size_t r = 0; r < active_.size(); ++r) {
            const std::vector<double>& profile = y[first_row() + r];
            const double* face = op->faces.row(r);
            double* f = rate.row(r);
            for (std::size_t j = 0; j + 1 < cells; ++j) {
                const double flow = face[j] * (profile[j] - profile[j + 1]);
                f[j + 1] = flow;
            }
            for (std::size_t j = 0; j + 1 < cells; ++j) {
                f[j] -= face[j] * (profile[j] - profile[j + 1]);
            }
            flux[r] = op->surface_flux(r, profile[0]);
            f[0] += flux[r];
            for (std::size_t j = 0; j < cells; ++j) {
                f[j] = f[j] / grid().volumes[j];
            }
        }
        return History(y, first_row(), rate, flux, std::move(*op));
    }

    Outcome<Step> step(const History& history, const std::array<std::vector<double>, elements>& y, double t,
                       double dt)
    {
        Step step;
        step.dt = dt;
        step.order = history.order;
        step.differences = history.at(dt);
        const Matrix predicted = predict(step.differences, history.order);
        std::optional<Operator> made;
        if (!history.start()) {
            std::array<std::vector<double>, elements> profile = y;
            for (std::size_t r = 0; r < active_.size(); ++r) {
                std::copy_n(predicted.row(r), grid().cells(), profile[first_row() + r].data());
            }
            auto op = operator_at(profile, (t + dt) / stage_.duration_s);
            if (!op) {
                return std::unexpected(std::move(op.error()));
            }
            made = std::move(*op);
        }
        solve(step, made ? *made : *history.start(), predicted, y);
        return step;
    }

    // A fixed step: TR-BDF2 from y with the diffusivities and the surface
    // condition of its middle, taken at the composition `guess` there,
    // frozen for the step (second order, as in the midpoint rule); one
    // matrix for both stages. The content gained is the stages' quadrature
    // of the surface flux.
    Outcome<Step> fixed_step(const std::array<std::vector<double>, elements>& y,
                             const std::array<std::vector<double>, elements>& guess, double t, double dt)
    {
        auto op = operator_at(guess, (t + 0.5 * dt) / stage_.duration_s);
        if (!op) {
            return std::unexpected(std::move(op.error()));
        }
        const std::size_t cells = grid().cells();
        const std::size_t rows = active_.size();
        std::vector<double> scale(cells);
        for (std::size_t j = 0; j < cells; ++j) {
            scale[j] = grid().volumes[j] / (tr_bdf2_d * dt);
        }
        const Tridiagonal system = op->system(scale);
        Step step;
        step.dt = dt;
        step.order = 2;
        step.y_next = y;
        step.y_middle = y;
        // The active elements stacked, as the matrix is.
        std::vector<double> base(rows * cells), rate(rows * cells, 0.0), middle(rows * cells), after(rows * cells);
        Pair flux{};
        for (std::size_t r = 0; r < rows; ++r) {
            const std::vector<double>& start = y[first_row() + r];
            const double* face = op->faces.row(r);
            double* f = rate.data() + r * cells;
            for (std::size_t j = 0; j + 1 < cells; ++j) {
                const double flow = face[j] * (start[j] - start[j + 1]);
                f[j + 1] += flow;
                f[j] -= flow;
            }
            flux[r] = op->surface_flux(r, start[0]);
            f[0] += flux[r];
            for (std::size_t j = 0; j < cells; ++j) {
                base[r * cells + j] = scale[j] * start[j];
                middle[r * cells + j] = base[r * cells + j] + f[j];
            }
            middle[r * cells] += op->source[r];
        }
        system.solve(middle);
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t j = 0; j < cells; ++j) {
                const std::size_t c = r * cells + j;
                const double rate_middle = scale[j] * middle[c] - base[c] - rate[c];
                after[c] = base[c] + (tr_bdf2_w / tr_bdf2_d) * (rate[c] + rate_middle);
            }
            after[r * cells] += op->source[r];
        }
        system.solve(after);
        for (std::size_t r = 0; r < rows; ++r) {
            const double* m = middle.data() + r * cells;
            const double* a = after.data() + r * cells;
            const double flux_middle = op->surface_flux(r, m[0]);
            const double flux_after = op->surface_flux(r, a[0]);
            step.uptake[first_row() + r] = dt * (tr_bdf2_w * (flux[r] + flux_middle) + tr_bdf2_d * flux_after);
            const auto [lowest, highest] = std::minmax_element(a, a + cells);
            step.low[r] = *lowest;
            step.high[r] = *highest;
            step.y_middle[first_row() + r].assign(m, m + cells);
            step.y_next[first_row() + r].assign(a, a + cells);
        }
        const double largest_face = *std::max_element(op->faces.data.begin(), op->faces.data.end());
        const double largest_g = *std::max_element(op->g.begin(), op->g.begin() + static_cast<std::ptrdiff_t>(rows));
        const double smallest_scale = *std::min_element(scale.begin(), scale.end());
        step.rounding = 8.0 * epsilon * ((2.0 * largest_face + largest_g) / smallest_scale + 1.0);
        return step;
    }

    Outcome<Pair> surface_at(const std::array<std::vector<double>, elements>& y, double fraction)
    {
        auto conditions_now = conditions(fraction);
        if (!conditions_now) {
            return std::unexpected(std::move(conditions_now.error()));
        }
        auto balanced = balance(*conditions_now, {y[0][0], y[1][0]}, stage_.temperature_k(fraction));
        if (!balanced) {
            return std::unexpected(std::move(balanced.error()));
        }
        return balanced->first;
    }

    // Refuse profiles that reach the singularity of the diffusivities.
    Outcome<void> check_reach(const std::array<std::vector<double>, elements>& y) const
    {
        if (singular_.weight == 0.0) {
            return {};
        }
        for (std::size_t j = 0; j < y[0].size(); ++j) {
            const double reach = singular_.reach(y[0][j], y[1][j]);
            if (reach >= 1.0) {
                return stop(Stop::Kind::reach, {reach, y[0][j], y[1][j]});
            }
        }
        return {};
    }

private:
    void bound(Bounds bounds)
    {
        const Singularity& domain = setting_.singularity;
        singular_ = domain.weight > 0.0 && domain.reach(bounds.high[0], bounds.high[1]) >= 1.0 ? domain
                                                                                               : Singularity{};
        bounds_.emplace(std::move(bounds));
    }

    // The profiles and contents that differences predict at `order`.
    static Matrix predict(const Differences& differences, int order)
    {
        Matrix predicted(differences.rows, differences.width);
        for (std::size_t j = 0; j <= static_cast<std::size_t>(order); ++j) {
            const double* level = differences.level(j);
            for (std::size_t c = 0; c < predicted.data.size(); ++c) {
                predicted.data[c] += level[c];
            }
        }
        return predicted;
    }

    // The step's linear system, its solution, its gain and its error.
    void solve(Step& step, const Operator& op, const Matrix& predicted, const std::array<std::vector<double>, elements>& y)
    {
        const std::size_t k = static_cast<std::size_t>(step.order);
        const std::size_t cells = grid().cells();
        const std::size_t rows = active_.size();
        const double alpha = formulas.alphas[k];
        std::vector<double> scale(cells);
        for (std::size_t j = 0; j < cells; ++j) {
            scale[j] = grid().volumes[j] * (alpha / step.dt);
        }
        std::vector<double> solution(rows * cells, 0.0);
        for (std::size_t r = 0; r < rows; ++r) {
            double* b = solution.data() + r * cells;
            for (std::size_t m = 0; m <= k; ++m) {
                const double weight = base_weights[k][m];
                const double* level = step.differences.at(m, r);
                for (std::size_t j = 0; j < cells; ++j) {
                    b[j] += weight * level[j];
                }
            }
            for (std::size_t j = 0; j < cells; ++j) {
                b[j] = b[j] * scale[j];
            }
            b[0] += op.source[r];
        }
        op.system(scale).solve(solution);

        step.correction = Matrix(rows, cells + 1);
        double largest = 0.0;
        for (std::size_t r = 0; r < rows; ++r) {
            const double* after = solution.data() + r * cells;
            // The content gained by the same formula, from the flux at the end.
            double gained = 0.0;
            double weighted = 0.0;
            for (std::size_t m = 1; m <= k; ++m) {
                const double content = step.differences.at(m, r)[cells];
                gained += content;
                weighted += formulas.gammas[m] * content;
            }
            const double gain = (step.dt * op.surface_flux(r, after[0]) - weighted) / alpha;
            step.uptake[first_row() + r] = gained + gain;
            double* correction = step.correction.row(r);
            for (std::size_t j = 0; j < cells; ++j) {
                correction[j] = after[j] - predicted.row(r)[j];
            }
            correction[cells] = gain;
            largest = std::max(largest, largest_magnitude(correction, cells) * wt_per_site_fraction[first_row() + r]);
            const auto [lowest, highest] = std::minmax_element(after, after + cells);
            step.low[r] = *lowest;
            step.high[r] = *highest;
        }
        step.error_wt = formulas.error_constants[k] * largest;
        // The rounding error of the solution grows with the condition of the
        // matrix: its diagonal over the part of it that is the cells'.
        const double largest_face = *std::max_element(op.faces.data.begin(), op.faces.data.end());
        const double largest_g = *std::max_element(op.g.begin(), op.g.begin() + static_cast<std::ptrdiff_t>(rows));
        const double smallest_scale = *std::min_element(scale.begin(), scale.end());
        step.rounding = 8.0 * epsilon * ((2.0 * largest_face + largest_g) / smallest_scale + 1.0);
        step.y_next = y;
        for (std::size_t r = 0; r < rows; ++r) {
            std::copy_n(solution.data() + r * cells, cells, step.y_next[first_row() + r].data());
        }
    }

    // The operator of the composition y (clipped to the bounds) at fraction.
    Outcome<Operator> operator_at(const std::array<std::vector<double>, elements>& raw, double fraction)
    {
        const auto y = bounds_->clip(raw);
        const double temperature = stage_.temperature_k(fraction);
        auto conditions_now = conditions(fraction);
        if (!conditions_now) {
            return std::unexpected(std::move(conditions_now.error()));
        }
        auto balanced = balance(*conditions_now, {y[0][0], y[1][0]}, temperature);
        if (!balanced) {
            return std::unexpected(std::move(balanced.error()));
        }
        Pair diffusivity;
        if (balanced->second) {
            diffusivity = *balanced->second;
        } else {
            auto at_surface = surface_diffusivities(balanced->first, temperature);
            if (!at_surface) {
                return std::unexpected(std::move(at_surface.error()));
            }
            diffusivity = *at_surface;
        }
        const std::size_t cells = grid().cells();
        std::array<std::vector<double>, elements> middle;
        for (std::size_t i = 0; i < elements; ++i) {
            middle[i].resize(cells - 1);
            for (std::size_t j = 0; j + 1 < cells; ++j) {
                middle[i][j] = 0.5 * (y[i][j] + y[i][j + 1]);
            }
        }
        Operator op{Matrix(active_.size(), cells), {}, {}};
        std::vector<double> values(cells - 1);
        for (std::size_t r = 0; r < active_.size(); ++r) {
            const std::size_t i = active_[r];
            auto evaluated = setting_.diffusivities.at_faces(i, middle[0], middle[1], temperature, singular_, values);
            if (!evaluated) {
                return std::unexpected(std::move(evaluated.error()));
            }
            double* face = op.faces.row(r);
            for (std::size_t j = 0; j + 1 < cells; ++j) {
                face[j] = values[j] * grid().face_factor[j];
            }
            const auto [g, source] = (*conditions_now)[i].law(2.0 * diffusivity[i] / grid().spacing);
            op.g[r] = g;
            op.source[r] = source;
        }
        return op;
    }

    // D of the active elements at the composition of the surface, clipped
    // to the bounds (0 for the others).
    Outcome<Pair> surface_diffusivities(const Pair& surface, double temperature) const
    {
        const Pair clipped = bounds_->clip_surface(surface);
        Pair diffusivity{};
        for (std::size_t i : active_) {
            auto value = setting_.diffusivities.at(i, clipped[0], clipped[1], temperature, singular_);
            if (!value) {
                return std::unexpected(std::move(value.error()));
            }
            diffusivity[i] = *value;
        }
        return diffusivity;
    }

    // The surface composition beside the first cell's `first`; where a
    // condition depends on D_s there, the root of the balance of the fluxes
    // by the secant method, from the last root of the stage, with the
    // diffusivities there.
    Outcome<std::pair<Pair, std::optional<Pair>>> balance(const Conditions& conditions, Pair first,
                                                           double temperature)
    {
        Pair surface = {conditions[0].surface(first[0], std::nullopt), conditions[1].surface(first[1], std::nullopt)};
        bool balanced = false;
        for (std::size_t i : active_) {
            balanced = balanced || conditions[i].balanced();
        }
        if (!balanced) {
            return std::pair{surface, std::optional<Pair>{}};
        }
        std::optional<Pair> slopes;
        if (last_root_) {
            slopes = last_slopes_;
            for (std::size_t i = 0; i < elements; ++i) {
                if (conditions[i].balanced()) {
                    surface[i] = (*last_root_)[i];
                }
            }
        }
        std::optional<std::pair<Pair, Pair>> before;
        Pair diffusivity{};
        for (int iteration = 0; iteration < 50; ++iteration) {
            auto at_surface = surface_diffusivities(surface, temperature);
            if (!at_surface) {
                return std::unexpected(std::move(at_surface.error()));
            }
            diffusivity = *at_surface;
            Pair residual{};
            bool converged = true;
            for (std::size_t i = 0; i < elements; ++i) {
                if (std::find(active_.begin(), active_.end(), i) != active_.end()) {
                    residual[i] =
                        conditions[i].surface(first[i], 2.0 * diffusivity[i] / grid().spacing) - surface[i];
                }
                converged = converged && std::abs(residual[i]) <= 1e-14 * std::abs(surface[i]);
            }
            if (converged) {
                break;
            }
            const std::pair now{surface, residual};
            if (before) {
                Pair new_slopes{};
                for (std::size_t i = 0; i < elements; ++i) {
                    const double y = surface[i], r = residual[i];
                    const double y_old = before->first[i], r_old = before->second[i];
                    new_slopes[i] = r != r_old && y != y_old ? (r - r_old) / (y - y_old) : -1.0;
                }
                slopes = new_slopes;
            }
            for (std::size_t i = 0; i < elements; ++i) {
                surface[i] = slopes ? surface[i] - residual[i] / (*slopes)[i] : surface[i] + residual[i];
            }
            before = now;
        }
        if (slopes) {
            last_root_ = surface;
            last_slopes_ = *slopes;
        }
        return std::pair{surface, std::optional<Pair>{diffusivity}};
    }

    const Setting& setting_;
    const Stage& stage_;
    Ending ending_;
    Conditions own_;
    double delivered_y_ = 0.0;
    bool limited_ = false;
    bool followed_ = false;
    std::vector<std::size_t> active_;
    std::optional<Bounds> bounds_;
    Singularity singular_;
    std::optional<Pair> last_root_;
    Pair last_slopes_{};
};

// ---------------------------------------------------------------------------
// The steps of one stage.

class StageRun {
public:
    StageRun(Run& run, Physics& physics, double start_s, const Progress& progress)
        : run_(run), physics_(physics), start_s_(start_s), progress_(progress), duration_(physics.duration()),
          y_(run.y), uptake_(run.uptake), carbide_(run.carbide)
    {
        const auto& fixed = run.setting()->fixed;
        fixed_ = !fixed.empty();
        for (double fraction : fixed_ ? fixed : std::vector<double>{1.0}) {
            ends_.push_back(duration_ * fraction);
        }
        end_ = duration_;
        dt_ = fixed_ ? inf : duration_ * first_step;
        rejected_ = {inf, dt_};
    }

    void add_corners(const std::vector<double>& corners)
    {
        if (!fixed_) {
            ends_.clear();
            for (double fraction : corners) {
                ends_.push_back(duration_ * fraction);
            }
        }
    }

    Outcome<void> go()
    {
        auto changed = physics_.change(y_, 0.0, carbide_);
        if (!changed) {
            return std::unexpected(std::move(changed.error()));
        }
        physics_.saturated = carbide_ > 0.0 || *changed >= 0.0;
        if (auto remembered = remember(); !remembered) {
            return remembered;
        }
        if (physics_.active().empty()) {
            auto surface = physics_.surface_at(y_, 1.0);
            if (!surface) {
                return std::unexpected(std::move(surface.error()));
            }
            run_.remember(start_s_ + duration_, *surface, uptake_, carbide_);
        } else {
            if (!fixed_) {
                auto history = physics_.history(y_, 0.0);
                if (!history) {
                    return std::unexpected(std::move(history.error()));
                }
                history_.emplace(std::move(*history));
            }
            while (t_ < duration_) {
                auto attempt = this->attempt();
                if (!attempt) {
                    return std::unexpected(std::move(attempt.error()));
                }
                if (*attempt) {
                    auto stops = accept(std::move(**attempt));
                    if (!stops) {
                        return std::unexpected(std::move(stops.error()));
                    }
                    if (*stops) {
                        break;
                    }
                }
            }
        }
        run_.y = std::move(y_);
        run_.surface = {run_.surfaces[run_.surfaces.size() - 2], run_.surfaces.back()};
        run_.uptake = uptake_;
        run_.carbide = carbide_;
        return {};
    }

private:
    // The next step, with its error as a ratio of the error allowed; none
    // where it errs too much or leaves the bounds, and is to be taken again.
    Outcome<std::optional<std::pair<Step, double>>> attempt()
    {
        fit();
        if (dt_ <= smallest_step * (t_ + duration_)) {
            return stop(Stop::Kind::no_step, {(start_s_ + t_) / 3600.0, physics_.tolerance_wt()});
        }
        auto step = make_step(dt_);
        if (!step) {
            return std::unexpected(std::move(step.error()));
        }
        const double ratio = step->error_wt / physics_.allowed(t_, dt_);
        const bool in_range = physics_.bounds().allow(*step);
        if (!in_range || (!fixed_ && ratio > 1.0)) {
            if (auto rejected = reject(*step, ratio, in_range); !rejected) {
                return std::unexpected(std::move(rejected.error()));
            }
            return std::optional<std::pair<Step, double>>{};
        }
        return std::optional{std::pair{std::move(*step), ratio}};
    }

    // A step of length dt from the present state: by the formulas of the
    // history, or a fixed TR-BDF2 step with the diffusivities at the
    // composition its middle is expected to have.
    Outcome<Step> make_step(double dt)
    {
        if (!fixed_) {
            return physics_.step(*history_, y_, t_, dt);
        }
        return physics_.fixed_step(y_, expected_middle(dt), t_, dt);
    }

    // The composition half way through a fixed step of length dt, from the
    // quadratic through the last step's start, middle and end against the
    // square root of the time since the start of the stage (a surface
    // condition that jumps makes the profile change as that root does); the
    // present one where no step of the stage went before.
    std::array<std::vector<double>, elements> expected_middle(double dt) const
    {
        if (previous_.empty()) {
            return y_;
        }
        const double s = std::sqrt(t_ + 0.5 * dt);
        std::array<std::vector<double>, elements> guess;
        for (std::size_t i = 0; i < elements; ++i) {
            guess[i].assign(y_[i].size(), 0.0);
        }
        for (std::size_t k = 0; k < previous_.size(); ++k) {
            double weight = 1.0;
            for (std::size_t m = 0; m < previous_.size(); ++m) {
                if (m != k) {
                    weight *= (s - previous_[m].first) / (previous_[k].first - previous_[m].first);
                }
            }
            for (std::size_t i = 0; i < elements; ++i) {
                for (std::size_t j = 0; j < guess[i].size(); ++j) {
                    guess[i][j] += weight * previous_[k].second[i][j];
                }
            }
        }
        return guess;
    }

    // End the last step of a stretch exactly at its end; one that would
    // leave a sliver behind shares the rest with the one before.
    void fit()
    {
        end_ = ends_.front();
        const double rest = end_ - t_;
        if (rest <= 1.1 * dt_) {
            dt_ = rest;
        } else if (rest < 2.0 * dt_) {
            dt_ = 0.5 * rest;
        }
    }

    // Set the step to take again: shorter where it erred by too much, and
    // at order 1 where it left the bounds.
    Outcome<void> reject(const Step& step, double ratio, bool in_range)
    {
        const int order = fixed_ ? 1 : history_->order;
        const auto [earlier, earlier_dt] = rejected_;
        if (!fixed_ && ((!in_range && order > 1) || (in_range && ratio > earlier * std::sqrt(dt_ / earlier_dt)))) {
            // Start again from the profile and its present rate: at order 1,
            // which keeps within the range, and with an error estimate that
            // shrinks with the step.
            if (auto restarted = restart(); !restarted) {
                return restarted;
            }
        }
        if (in_range) {
            rejected_ = {ratio, dt_};
            const double t = t_;
            dt_ = step_length(dt_, step.error_wt, order + 1, [&](double length) { return physics_.allowed(t, length); },
                              safety);
        } else if (order == 1) {
            dt_ *= bounds_shrink;
        }
        return {};
    }

    Outcome<void> restart()
    {
        if (fixed_) {
            previous_.clear();
            return {};
        }
        auto history = physics_.history(y_, t_ / duration_);
        if (!history) {
            return std::unexpected(std::move(history.error()));
        }
        history_.emplace(std::move(*history));
        return {};
    }

    // Take the step, cut short where an event comes first; whether the
    // stage ends there.
    Outcome<bool> accept(std::pair<Step, double> taken)
    {
        auto& [step, ratio] = taken;
        rejected_ = {inf, dt_};
        const double after = carbide_ - physics_.carbide_used(step);
        auto stop_value = physics_.ending(step.y_next, t_ + dt_, after);
        if (!stop_value) {
            return std::unexpected(std::move(stop_value.error()));
        }
        const bool stops = *stop_value >= 0.0;
        bool switches = false;
        if (!stops) {
            auto changed = physics_.change(step.y_next, t_ + dt_, after);
            if (!changed) {
                return std::unexpected(std::move(changed.error()));
            }
            switches = *changed >= 0.0;
        }
        if (stops || switches) {
            auto cut_step = cut(std::move(step), stops, switches && physics_.saturated);
            if (!cut_step) {
                return std::unexpected(std::move(cut_step.error()));
            }
            step = std::move(*cut_step);
            ratio = step.error_wt / physics_.allowed(t_, step.dt);
        }
        if (auto checked = physics_.check_reach(step.y_next); !checked) {
            return std::unexpected(std::move(checked.error()));
        }
        advance(step);
        if (switches) {
            if (auto switched = switch_surface(); !switched) {
                return std::unexpected(std::move(switched.error()));
            }
        }
        if (auto remembered = remember(); !remembered) {
            return std::unexpected(std::move(remembered.error()));
        }
        if (progress_ && !progress_(start_s_ + t_)) {
            return stop(Stop::Kind::python);
        }
        if (!stops) {
            plan(step, ratio);
        }
        return stops;
    }

    // The step cut short where the quantity of the event crosses zero, to
    // within 1e-3 of its length, by the Illinois variant of false position:
    // just past the crossing, or just before it.
    Outcome<Step> cut(Step step, bool stops, bool before)
    {
        auto quantity = [&](const std::array<std::vector<double>, elements>& y, double t, double carbide) {
            return stops ? physics_.ending(y, t, carbide) : physics_.change(y, t, carbide);
        };
        auto value_of = [&](const Step& trial) {
            return quantity(trial.y_next, t_ + trial.dt, carbide_ - physics_.carbide_used(trial));
        };
        const double resolution = 1e-3 * step.dt;
        double low = 0.0;
        auto low_value = quantity(y_, t_, carbide_);
        if (!low_value) {
            return std::unexpected(std::move(low_value.error()));
        }
        double f_low = *low_value;
        double high = step.dt;
        auto high_value = value_of(step);
        if (!high_value) {
            return std::unexpected(std::move(high_value.error()));
        }
        double f_high = *high_value;
        // The last cuts found on each side; none before a crossing that
        // comes within the resolution of the start, where the shortest past it serves.
        std::optional<Step> below;
        Step past = std::move(step);
        int side = 0;
        while (high - low > resolution) {
            // Halving where false position has nothing to go by.
            double trial = f_high > f_low ? low - f_low * (high - low) / (f_high - f_low) : 0.5 * (low + high);
            trial = std::min(std::max(trial, low + 0.1 * resolution), high - 0.1 * resolution);
            auto cut_step = make_step(trial);
            if (!cut_step) {
                return std::unexpected(std::move(cut_step.error()));
            }
            auto value = value_of(*cut_step);
            if (!value) {
                return std::unexpected(std::move(value.error()));
            }
            if (*value >= 0.0) {
                high = trial;
                f_high = *value;
                past = std::move(*cut_step);
                f_low = side == 1 ? 0.5 * f_low : f_low;
                side = 1;
            } else {
                low = trial;
                f_low = *value;
                below = std::move(*cut_step);
                f_high = side == -1 ? 0.5 * f_high : f_high;
                side = -1;
            }
        }
        return before && below ? std::move(*below) : std::move(past);
    }

    // Move the state to the end of the step.
    void advance(Step& step)
    {
        dt_ = step.dt;
        carbide_ -= physics_.carbide_used(step);
        uptake_ = {uptake_[0] + step.uptake[0], uptake_[1] + step.uptake[1]};
        const double started = t_;
        t_ = dt_ == end_ - t_ ? end_ : t_ + dt_;
        // Within the range to the last bit: the rounding errors of many
        // steps would otherwise add up to a departure from it.
        auto before = std::move(y_);
        y_ = physics_.bounds().clip(step.y_next);
        if (fixed_) {
            previous_ = {{std::sqrt(started), std::move(before)},
                         {std::sqrt(started + tr_bdf2_gamma * step.dt), std::move(step.y_middle)},
                         {std::sqrt(t_), y_}};
        } else {
            history_->accept(step);
        }
    }

    // Switch the carbon surface between held at the limit and its own.
    Outcome<void> switch_surface()
    {
        if (physics_.saturated) {
            // What is left of the carbide, a rounding error of the cut,
            // dissolves into the first cell, so nothing is lost.
            y_[0][0] += carbide_ / run_.setting()->grid.volumes[0];
            uptake_[0] += carbide_;
            carbide_ = 0.0;
            physics_.restart(y_);
        }
        physics_.saturated = !physics_.saturated;
        // The surface condition jumps: the next step starts afresh.
        return restart();
    }

    // The order and the length of the step after `step`.
    void plan(const Step& step, double ratio)
    {
        if (t_ == end_) {
            ends_.erase(ends_.begin());
        }
        if (!fixed_) {
            const auto [error_wt, exponent] = history_->next_order(step.error_wt, ratio);
            const double t = t_;
            dt_ = step_length(dt_, error_wt, exponent, [&](double length) { return physics_.allowed(t, length); },
                              history_->growth());
        } else {
            // On to the end of the planned step (one cut short to keep
            // within the bounds takes the rest in one go where it can).
            dt_ = inf;
        }
    }

    Outcome<void> remember()
    {
        auto surface = physics_.surface_at(y_, t_ / duration_);
        if (!surface) {
            return std::unexpected(std::move(surface.error()));
        }
        run_.remember(start_s_ + t_, *surface, uptake_, carbide_);
        return {};
    }

    Run& run_;
    Physics& physics_;
    double start_s_;
    const Progress& progress_;
    double duration_;
    bool fixed_ = false;
    std::vector<double> ends_;
    std::array<std::vector<double>, elements> y_;
    Pair uptake_;
    double carbide_;
    double t_ = 0.0;
    double end_ = 0.0;
    double dt_ = 0.0;
    std::pair<double, double> rejected_;
    std::optional<History> history_;
    // The start and end of the last fixed step, against the square root of the time.
    std::vector<std::pair<double, std::array<std::vector<double>, elements>>> previous_;
};

// Takes back the history that a stage adds unless the stage completes,
// whether it stops or a fault unwinds through it.
class HistoryMark {
public:
    explicit HistoryMark(Run& run) noexcept : run_(run), points_(run.times_s.size()) {}
    ~HistoryMark()
    {
        if (!kept_) {
            run_.times_s.resize(points_);
            run_.surfaces.resize(elements * points_);
            run_.uptakes.resize(elements * points_);
            run_.carbides.resize(points_);
        }
    }
    HistoryMark(const HistoryMark&) = delete;
    HistoryMark& operator=(const HistoryMark&) = delete;

    void keep() noexcept { kept_ = true; }

private:
    Run& run_;
    std::size_t points_;
    bool kept_ = false;
};

}  // namespace

Run::Run(std::shared_ptr<const Setting> setting, std::array<double, elements> core) : Run(std::move(setting))
{
    const std::size_t cells = setting_->grid.cells();
    for (std::size_t i = 0; i < elements; ++i) {
        y[i].assign(cells, core[i]);
        surface[i] = core[i];
    }
}

Run Run::copy() const
{
    Run twin(setting_);
    twin.y = y;
    twin.surface = surface;
    twin.uptake = uptake;
    twin.carbide = carbide;
    return twin;
}

void Run::remember(double time_s, std::array<double, elements> at_surface, std::array<double, elements> gained,
                   double left)
{
    times_s.push_back(time_s);
    surfaces.insert(surfaces.end(), at_surface.begin(), at_surface.end());
    uptakes.insert(uptakes.end(), gained.begin(), gained.end());
    carbides.push_back(left);
}

Outcome<void> Run::stage(const Stage& stage, double start_s, Ending ending, const Progress& progress)
{
    Physics physics(*setting_, stage, y, carbide, ending);
    if (auto started = physics.start(y); !started) {
        return started;
    }
    // A stage that stops early leaves the run as it was: the state is set
    // at its end, and the history it added is taken back.
    HistoryMark mark(*this);
    StageRun run(*this, physics, start_s, progress);
    run.add_corners(stage.corners);
    auto done = run.go();
    if (done) {
        mark.keep();
    }
    return done;
}

}  // namespace talvenor::kernel
