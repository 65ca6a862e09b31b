// The module talvenor._kernel: the time integration of talvenor.process as a
// class Run, whose stages step without the interpreter lock where the
// diffusivities are the Slycke model's, and the exception Failure.
#include "boundary.hpp"
#include "kernel/integrator.hpp"

#include <chrono>
#include <cstring>

namespace talvenor::kernel {

namespace {

constexpr const char* failure_doc =
    "A run that cannot go on: the steps shrink to nothing, a composition reaches the singularity of the "
    "diffusivities, a diffusivity is not a finite, non-negative number, or carbide is at the surface where the "
    "carbon limit is not known.";

OnceCell failure_type;

std::expected<PyObject*, PyErr> failure_class()
{
    return failure_type.get_or_try_init([]() -> std::expected<Ref, PyErr> {
        Ref created = Ref::steal(
            PyErr_NewExceptionWithDoc("talvenor._kernel.Failure", failure_doc, PyExc_Exception, nullptr));
        if (!created) {
            return Unexpected(PyErr::fetch());
        }
        return created;
    });
}

// Python's repr of a float, as the process package words its messages.
std::string repr(double value)
{
    Ref number = make_float(value);
    Ref text = Ref::steal(PyObject_Repr(number.get()));
    if (!text) {
        PyErr_Clear();
        return std::to_string(value);
    }
    return utf8_lossy(text.get());
}

std::string object_repr(PyObject* object)
{
    Ref text = Ref::steal(PyObject_Repr(object));
    if (!text) {
        PyErr_Clear();
        return "<unrepresentable object>";
    }
    return utf8_lossy(text.get());
}

// What a run in this setting says of a singularity.
struct Wording {
    std::string reach_name;
    std::string singular;
};

std::string composition(double y_carbon, double y_nitrogen)
{
    return format("y_C = {}, y_N = {}", repr(y_carbon), repr(y_nitrogen));
}

// The exception that a stop of a run raises.
PyErr raised(Stop stopped, const Wording& wording)
{
    using Kind = Stop::Kind;
    const auto& n = stopped.numbers;
    const std::string element = stopped.element == 0 ? "carbon" : "nitrogen";
    std::string message;
    switch (stopped.kind) {
    case Kind::python:
        return PyErr::fetch();
    case Kind::no_step:
        message = format("the time steps shrink to nothing {} h into the recipe: no step meets tolerance_wt {} and "
                         "the maximum principle",
                         repr(n[0]), repr(n[1]));
        break;
    case Kind::reach:
        message = format("carbon and nitrogen reach {} = {} ({}), {}", wording.reach_name, repr(n[0]),
                         composition(n[1], n[2]), wording.singular);
        break;
    case Kind::diffusivity:
        message = format("the {} diffusivity is {} m²/s at {} and {} K; it must be finite and not negative", element,
                         repr(n[0]), composition(n[1], n[2]), repr(n[3]));
        break;
    case Kind::not_real:
        message = format("the {} diffusivity returned {}, of type {}, at {} and {} K; it must return a real number",
                         element, object_repr(stopped.object.get()), Py_TYPE(stopped.object.get())->tp_name,
                         composition(n[0], n[1]), repr(n[2]));
        break;
    case Kind::limit:
        message = format("carbide is at the surface, but the carbon limit is not known: temperature_c must be between "
                         "727 and 1,148 °C, where the carbon solubility of austenite is known, got {}",
                         repr(n[0]));
        break;
    }
    auto type = failure_class();
    if (!type) {
        return std::move(type.error());
    }
    Ref text = make_str(message);
    Ref exception = Ref::steal(PyObject_CallOneArg(*type, text.get()));
    if (!exception) {
        return PyErr::fetch();
    }
    return PyErr::from_value(std::move(exception));
}

// ---------------------------------------------------------------------------
// Conversions.

std::expected<std::vector<double>, PyErr> doubles(std::string_view name, PyObject* object)
{
    auto entries = extract_sequence(object);
    if (!entries) {
        return Unexpected(argument_extraction_error(name, std::move(entries.error())));
    }
    return std::vector<double>(entries->data(), entries->data() + entries->size());
}

std::expected<std::array<double, elements>, PyErr> pair(std::string_view name, PyObject* object)
{
    auto values = doubles(name, object);
    if (!values) {
        return forward_error(values);
    }
    if (values->size() != elements) {
        return Unexpected(PyErr::new_err(PyExc_ValueError, format("{} must hold two numbers", name)));
    }
    return std::array<double, elements>{(*values)[0], (*values)[1]};
}

std::expected<double, PyErr> number(std::string_view name, PyObject* object)
{
    auto value = extract_double(object);
    if (!value) {
        return Unexpected(argument_extraction_error(name, std::move(value.error())));
    }
    return *value;
}

std::expected<std::optional<double>, PyErr> optional_number(std::string_view name, PyObject* object)
{
    if (!object || object == Py_None) {
        return std::optional<double>{};
    }
    auto value = number(name, object);
    if (!value) {
        return forward_error(value);
    }
    return std::optional<double>{*value};
}

// The truth of an argument, absent being false; the error where __bool__ raises.
std::expected<bool, PyErr> flag(PyObject* object)
{
    if (!object) {
        return false;
    }
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) {
        return Unexpected(PyErr::fetch());
    }
    return truth == 1;
}

Ref bytes_of(const std::vector<double>& values)
{
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                     static_cast<Py_ssize_t>(values.size() * sizeof(double))));
    if (!bytes) {
        null_result();
    }
    return bytes;
}

// How often a run without the lock looks for signals (Ctrl-C).
constexpr auto signal_interval = std::chrono::milliseconds(50);

// ---------------------------------------------------------------------------
// The class Run.

struct RunState {
    Run run;
    Wording wording;
    std::atomic<bool> busy{false};
};

using RunContents = std::unique_ptr<RunState>;

LazyType& run_type();

// Marks the run as in use for the scope; another call meanwhile (from a
// thread, or from a callable the run calls) is refused.
class InUse {
public:
    explicit InUse(RunState& state) noexcept : state_(state), taken_(!state.busy.exchange(true)) {}
    ~InUse()
    {
        if (taken_) {
            state_.busy.store(false);
        }
    }
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;
    explicit operator bool() const noexcept { return taken_; }

private:
    RunState& state_;
    bool taken_;
};

PyErr busy()
{
    return PyErr::new_err(PyExc_RuntimeError, "the run is in use by another call");
}

constexpr std::string_view new_parameters[] = {"volumes", "areas", "spacing", "core", "grams", "tolerance_wt"};
constexpr KeywordOnlyParameter new_keywords[] = {{"fixed", false},        {"carbon", false},
                                                 {"nitrogen", false},     {"singular_weight", false},
                                                 {"reach_name", false},   {"singular_text", false}};
constexpr FunctionDescription new_description{
    .cls_name = "Run",
    .func_name = "__new__",
    .positional_parameter_names = new_parameters,
    .required_positional_parameters = 6,
    .keyword_only_parameters = new_keywords,
};

// A diffusivity: None for the Slycke model's, a float for a constant, or a callable.
std::expected<Source, PyErr> source_of(std::string_view name, PyObject* object)
{
    if (!object || object == Py_None) {
        return Source{};
    }
    if (PyFloat_Check(object)) {
        return Source{PyFloat_AS_DOUBLE(object), Ref()};
    }
    if (!PyCallable_Check(object)) {
        return Unexpected(PyErr::new_err(PyExc_TypeError, format("{} must be callable, a float or None", name)));
    }
    return Source{std::nullopt, Ref::borrow(object)};
}

std::expected<std::string, PyErr> text_or_empty(PyObject* object)
{
    if (!object || object == Py_None) {
        return std::string();
    }
    if (!PyUnicode_Check(object)) {
        return Unexpected(PyErr::cast_error(object, &PyUnicode_Type));
    }
    return utf8_lossy(object);
}

std::expected<Grid, PyErr> grid_of(PyObject* volumes, PyObject* areas, PyObject* spacing)
{
    auto cell_volumes = doubles("volumes", volumes);
    auto face_areas = doubles("areas", areas);
    auto width = number("spacing", spacing);
    if (!cell_volumes || !face_areas || !width) {
        return Unexpected(!cell_volumes ? std::move(cell_volumes.error())
                                        : !face_areas ? std::move(face_areas.error()) : std::move(width.error()));
    }
    if (cell_volumes->size() < 3 || face_areas->size() + 1 != cell_volumes->size() || !(*width > 0.0)) {
        return Unexpected(PyErr::new_err(PyExc_ValueError, "a grid needs three cells or more, a face between each "
                                                           "two and a positive spacing"));
    }
    Grid grid{std::move(*cell_volumes), {}, *width};
    for (double area : *face_areas) {
        grid.face_factor.push_back(area / *width);
    }
    return grid;
}

std::expected<Ref, PyErr> construct(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    PyObject* slots[12] = {};
    if (auto parsed = extract_arguments_tuple_dict(new_description, args, kwargs, slots); !parsed) {
        return forward_error(parsed);
    }
    auto grid = grid_of(slots[0], slots[1], slots[2]);
    if (!grid) {
        return forward_error(grid);
    }
    auto core = pair("core", slots[3]);
    auto grams = pair("grams", slots[4]);
    auto tolerance = number("tolerance_wt", slots[5]);
    auto fixed = slots[6] && slots[6] != Py_None ? doubles("fixed", slots[6]) : std::vector<double>{};
    auto carbon = source_of("carbon", slots[7]);
    auto nitrogen = source_of("nitrogen", slots[8]);
    auto weight = optional_number("singular_weight", slots[9]);
    auto reach_name = text_or_empty(slots[10]);
    auto singular_text = text_or_empty(slots[11]);
    if (!core || !grams || !tolerance || !fixed || !carbon || !nitrogen || !weight || !reach_name || !singular_text) {
        for (PyErr* error : {core ? nullptr : &core.error(), grams ? nullptr : &grams.error(),
                             tolerance ? nullptr : &tolerance.error(), fixed ? nullptr : &fixed.error(),
                             carbon ? nullptr : &carbon.error(), nitrogen ? nullptr : &nitrogen.error(),
                             weight ? nullptr : &weight.error(), reach_name ? nullptr : &reach_name.error(),
                             singular_text ? nullptr : &singular_text.error()}) {
            if (error) {
                return Unexpected(std::move(*error));
            }
        }
    }
    if (!(*tolerance > 0.0)) {
        return Unexpected(PyErr::new_err(PyExc_ValueError, "tolerance_wt must be positive"));
    }
    auto setting = std::make_shared<const Setting>(Setting{std::move(*grid),
                                                           Diffusivities(std::move(*carbon), std::move(*nitrogen)),
                                                           Singularity{weight->value_or(0.0)}, *grams, *tolerance,
                                                           std::move(*fixed)});
    auto state = std::make_unique<RunState>(Run(std::move(setting), *core),
                                            Wording{std::move(*reach_name), std::move(*singular_text)});
    return create_instance(type, RunContents(std::move(state)));
}

std::expected<RunState*, PyErr> state_of(PyObject* self)
{
    if (auto checked = cast(self, run_type().get()); !checked) {
        return forward_error(checked);
    }
    return Instance<RunContents>::of(self).get();
}

constexpr std::string_view no_parameters[] = {""};
constexpr KeywordOnlyParameter stage_keywords[] = {
    {"duration_s", true},   {"times_h", true},          {"temperatures_c", true}, {"kinds", true},
    {"carbon_wt", false},   {"nitrogen_wt", false},     {"transfers_m_s", true},  {"flux_g_m2_h", false},
    {"limit_wt", false},    {"limit_factor", false},    {"limit_nitrogen_wt", false}, {"corners", true},
    {"varying", false},     {"start_s", true},          {"to_limit", false},      {"falls_to_wt", false},
    {"progress", false},
};
constexpr FunctionDescription stage_description{
    .cls_name = "Run",
    .func_name = "stage",
    .positional_parameter_names = std::span<const std::string_view>(no_parameters, 0),
    .keyword_only_parameters = stage_keywords,
};

std::expected<Condition::Kind, PyErr> kind_of(PyObject* object)
{
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) {
        return Unexpected(PyErr::fetch());
    }
    if (value < 0 || value > 3) {
        return Unexpected(PyErr::new_err(PyExc_ValueError, "a kind of surface is 0 to 3"));
    }
    return static_cast<Condition::Kind>(value);
}

// The stage the keyword arguments describe (slots in the order of stage_keywords).
std::expected<Stage, PyErr> stage_of(PyObject* const* slots)
{
    Stage stage;
    auto duration = number("duration_s", slots[0]);
    auto times = doubles("times_h", slots[1]);
    auto temperatures = doubles("temperatures_c", slots[2]);
    if (!duration || !times || !temperatures) {
        return Unexpected(!duration ? std::move(duration.error())
                                    : !times ? std::move(times.error()) : std::move(temperatures.error()));
    }
    stage.duration_s = *duration;
    stage.times_h = std::move(*times);
    stage.temperatures_c = std::move(*temperatures);
    const std::size_t samples = stage.times_h.size();
    if (samples < 2 || stage.temperatures_c.size() != samples || !(stage.duration_s > 0.0)) {
        return Unexpected(PyErr::new_err(PyExc_ValueError, "a stage needs a positive duration and two samples or "
                                                           "more of its temperature"));
    }
    Ref kinds = Ref::steal(PySequence_Tuple(slots[3]));
    if (!kinds || PyTuple_GET_SIZE(kinds.get()) != 2) {
        PyErr_Clear();
        return Unexpected(PyErr::new_err(PyExc_TypeError, "kinds must hold two kinds of surface"));
    }
    for (std::size_t i = 0; i < elements; ++i) {
        auto kind = kind_of(PyTuple_GET_ITEM(kinds.get(), static_cast<Py_ssize_t>(i)));
        if (!kind) {
            return forward_error(kind);
        }
        stage.kinds[i] = *kind;
        PyObject* potentials = slots[4 + i];
        const bool given = potentials && potentials != Py_None;
        const bool needed = *kind == Condition::Kind::held || *kind == Condition::Kind::transfer;
        if (given != needed) {
            return Unexpected(PyErr::new_err(PyExc_ValueError, "a held or transferring surface, and only that, has "
                                                               "potentials"));
        }
        if (given) {
            auto values = doubles(i == 0 ? "carbon_wt" : "nitrogen_wt", potentials);
            if (!values) {
                return forward_error(values);
            }
            if (values->size() != samples) {
                return Unexpected(PyErr::new_err(PyExc_ValueError, "the potentials must match the samples"));
            }
            stage.potentials_wt[i] = std::move(*values);
        }
    }
    auto transfers = pair("transfers_m_s", slots[6]);
    auto flux = optional_number("flux_g_m2_h", slots[7]);
    auto limit = optional_number("limit_wt", slots[8]);
    auto factor = optional_number("limit_factor", slots[9]);
    auto limit_nitrogen = optional_number("limit_nitrogen_wt", slots[10]);
    auto corners = doubles("corners", slots[11]);
    if (!transfers || !flux || !limit || !factor || !limit_nitrogen || !corners) {
        for (PyErr* error : {transfers ? nullptr : &transfers.error(), flux ? nullptr : &flux.error(),
                             limit ? nullptr : &limit.error(), factor ? nullptr : &factor.error(),
                             limit_nitrogen ? nullptr : &limit_nitrogen.error(),
                             corners ? nullptr : &corners.error()}) {
            if (error) {
                return Unexpected(std::move(*error));
            }
        }
    }
    if (corners->empty() || corners->back() != 1.0) {
        return Unexpected(PyErr::new_err(PyExc_ValueError, "the corners must end at 1.0, the end of the stage"));
    }
    stage.transfers_m_s = *transfers;
    stage.flux_g_m2_h = flux->value_or(0.0);
    stage.limit_wt = *limit;
    stage.limit_factor = factor->value_or(1.0);
    stage.limit_nitrogen_wt = limit_nitrogen->value_or(0.0);
    auto varying = flag(slots[12]);
    if (!varying) {
        return forward_error(varying);
    }
    stage.corners = std::move(*corners);
    stage.varying = *varying;
    return stage;
}

// Runs the stage: without the lock where nothing calls Python, looking for
// signals now and then; with it otherwise, looking for signals and
// reporting progress after every step.
Outcome<void> step_through(Run& run, const Stage& stage, double start_s, Ending ending, PyObject* progress)
{
    if (run.setting()->diffusivities.native() && !progress) {
        LockReleased released;
        auto looked = std::chrono::steady_clock::now();
        const Progress look = [&](double) {
            const auto now = std::chrono::steady_clock::now();
            if (now - looked < signal_interval) {
                return true;
            }
            looked = now;
            LockReleased::Retaken held(released);
            return PyErr_CheckSignals() == 0;
        };
        return run.stage(stage, start_s, ending, look);
    }
    const Progress report = [progress](double time_s) {
        if (PyErr_CheckSignals() < 0) {
            return false;
        }
        if (!progress) {
            return true;
        }
        Ref time = make_float(time_s);
        Ref result = Ref::steal(PyObject_CallOneArg(progress, time.get()));
        return static_cast<bool>(result);
    };
    return run.stage(stage, start_s, ending, report);
}

std::expected<Ref, PyErr> run_stage(PyObject* self, PyObject* args, PyObject* kwargs)
{
    auto state = state_of(self);
    if (!state) {
        return forward_error(state);
    }
    PyObject* slots[std::size(stage_keywords)] = {};
    if (auto parsed = extract_arguments_tuple_dict(stage_description, args, kwargs, slots); !parsed) {
        return forward_error(parsed);
    }
    auto stage = stage_of(slots);
    if (!stage) {
        return forward_error(stage);
    }
    auto start = number("start_s", slots[13]);
    auto to_limit = flag(slots[14]);
    auto falls_to = optional_number("falls_to_wt", slots[15]);
    if (!start || !to_limit || !falls_to) {
        return Unexpected(!start      ? std::move(start.error())
                          : !to_limit ? std::move(to_limit.error())
                                      : std::move(falls_to.error()));
    }
    PyObject* progress = slots[16] && slots[16] != Py_None ? slots[16] : nullptr;
    const Ending ending{*to_limit, *falls_to};
    InUse in_use(**state);
    if (!in_use) {
        return Unexpected(busy());
    }
    if (auto stepped = step_through((*state)->run, *stage, *start, ending, progress); !stepped) {
        return Unexpected(raised(std::move(stepped.error()), (*state)->wording));
    }
    return Ref::borrow(Py_None);
}

// `body` of the run of `self`, which no other call may be using meanwhile.
template <class Body>
std::expected<Ref, PyErr> with_run(PyObject* self, Body body)
{
    auto state = state_of(self);
    if (!state) {
        return forward_error(state);
    }
    InUse in_use(**state);
    if (!in_use) {
        return Unexpected(busy());
    }
    return body(**state);
}

std::expected<Ref, PyErr> built(Ref result)
{
    if (!result) {
        return Unexpected(PyErr::fetch());
    }
    return result;
}

std::expected<Ref, PyErr> run_copy(PyObject* self, PyObject*)
{
    return with_run(self, [](RunState& state) {
        return create_instance(run_type().get(),
                               RunContents(std::make_unique<RunState>(state.run.copy(), state.wording)));
    });
}

// (y as bytes of 2 x cells doubles, (surface), (uptake), carbide)
std::expected<Ref, PyErr> run_state(PyObject* self, PyObject*)
{
    return with_run(self, [](RunState& state) {
        const Run& run = state.run;
        std::vector<double> profile(run.y[0]);
        profile.insert(profile.end(), run.y[1].begin(), run.y[1].end());
        return built(Ref::steal(Py_BuildValue("(N(dd)(dd)d)", bytes_of(profile).release(), run.surface[0],
                                              run.surface[1], run.uptake[0], run.uptake[1], run.carbide)));
    });
}

// The history as bytes of doubles: times, surfaces (y_C, y_N), uptakes, carbides.
std::expected<Ref, PyErr> run_history(PyObject* self, PyObject*)
{
    return with_run(self, [](RunState& state) {
        const Run& run = state.run;
        const Ref times = bytes_of(run.times_s);
        const Ref surfaces = bytes_of(run.surfaces);
        const Ref uptakes = bytes_of(run.uptakes);
        const Ref carbides = bytes_of(run.carbides);
        return built(Ref::steal(PyTuple_Pack(4, times.get(), surfaces.get(), uptakes.get(), carbides.get())));
    });
}

PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    return trampoline([&] { return construct(type, args, kwargs); });
}

PyObject* stage_entry(PyObject* self, PyObject* args, PyObject* kwargs)
{
    return trampoline([&] { return run_stage(self, args, kwargs); });
}

template <std::expected<Ref, PyErr> (*Body)(PyObject*, PyObject*)>
PyObject* method_entry(PyObject* self, PyObject* unused)
{
    return trampoline([&] { return Body(self, unused); });
}

PyMethodDef run_methods[] = {
    {"stage", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stage_entry)), METH_VARARGS | METH_KEYWORDS,
     "stage($self, /, *, duration_s, times_h, temperatures_c, kinds, carbon_wt=None, nitrogen_wt=None, transfers_m_s, "
     "flux_g_m2_h=None, limit_wt=None, limit_factor=None, limit_nitrogen_wt=None, corners, varying=False, start_s, "
     "to_limit=False, falls_to_wt=None, progress=None)\n--\n\nAdvance the run through one stage."},
    {"copy", method_entry<run_copy>, METH_NOARGS, "copy($self, /)\n--\n\nThe run from its present state, with a history of "
                                                  "its own."},
    {"state", method_entry<run_state>, METH_NOARGS,
     "state($self, /)\n--\n\n(y as bytes of 2 x cells doubles, surface, uptake, carbide)."},
    {"history", method_entry<run_history>, METH_NOARGS,
     "history($self, /)\n--\n\nBytes of doubles: the times in s, the surfaces (y_C, y_N), the uptakes, the carbides."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot run_slots[] = {
    {Py_tp_doc, const_cast<char*>("Run(volumes, areas, spacing, core, grams, tolerance_wt, *, fixed=None, "
                                  "carbon=None, nitrogen=None, singular_weight=None, reach_name=None, "
                                  "singular_text=None)\n--\n\nThe state of a run between stages, and its history.")},
    {Py_tp_new, reinterpret_cast<void*>(new_entry)},
    {Py_tp_methods, run_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_entry<RunContents>)},
    {0, nullptr},
};

PyType_Spec run_shape = {"talvenor._kernel.Run", sizeof(Instance<RunContents>), 0, Py_TPFLAGS_DEFAULT, run_slots};

LazyType run_class{"Run", &run_shape};

LazyType& run_type()
{
    return run_class;
}

constexpr std::string_view diffusivity_parameters[] = {"element", "y_carbon", "y_nitrogen", "temperature_k"};
constexpr FunctionDescription diffusivity_description{
    .cls_name = "",
    .func_name = "diffusivity",
    .positional_parameter_names = diffusivity_parameters,
    .required_positional_parameters = 4,
};

// The Slycke diffusivity a run evaluates, for comparison with the slycke module's.
std::expected<Ref, PyErr> diffusivity(PyObject* args, PyObject* kwargs)
{
    PyObject* slots[4] = {};
    if (auto parsed = extract_arguments_tuple_dict(diffusivity_description, args, kwargs, slots); !parsed) {
        return forward_error(parsed);
    }
    const long element = PyLong_AsLong(slots[0]);
    if ((element == -1 && PyErr_Occurred()) || element < 0 || element > 1) {
        PyErr_Clear();
        return Unexpected(PyErr::new_err(PyExc_ValueError, "element must be 0 (carbon) or 1 (nitrogen)"));
    }
    auto y_carbon = number("y_carbon", slots[1]);
    auto y_nitrogen = number("y_nitrogen", slots[2]);
    auto temperature = number("temperature_k", slots[3]);
    if (!y_carbon || !y_nitrogen || !temperature) {
        return Unexpected(!y_carbon ? std::move(y_carbon.error())
                                    : !y_nitrogen ? std::move(y_nitrogen.error()) : std::move(temperature.error()));
    }
    return make_float(slycke(static_cast<std::size_t>(element), *y_carbon, *y_nitrogen, *temperature));
}

PyObject* diffusivity_entry(PyObject*, PyObject* args, PyObject* kwargs)
{
    return trampoline([&] { return diffusivity(args, kwargs); });
}

PyMethodDef module_functions[] = {
    {"diffusivity", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(diffusivity_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "diffusivity(element, y_carbon, y_nitrogen, temperature_k)\n--\n\nThe Slycke diffusivity of carbon (0) or "
     "nitrogen (1) in m²/s, as a run evaluates it."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// The module.

std::expected<void, PyErr> fill(PyObject* module)
{
    auto type = run_class.get_fallible();
    if (!type) {
        return forward_error(type);
    }
    if (PyModule_AddObjectRef(module, "Run", reinterpret_cast<PyObject*>(*type)) < 0) {
        return Unexpected(PyErr::fetch());
    }
    auto failure = failure_class();
    if (!failure) {
        return forward_error(failure);
    }
    if (PyModule_AddObjectRef(module, "Failure", *failure) < 0) {
        return Unexpected(PyErr::fetch());
    }
    return {};
}

int exec_entry(PyObject* module)
{
    return trampoline([module]() -> std::expected<void, PyErr> { return fill(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_entry)},
    // The classes are made once per process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "talvenor._kernel",
    .m_doc = "The time integration of talvenor.process.",
    .m_size = 0,
    .m_methods = module_functions,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace talvenor::kernel

PyMODINIT_FUNC PyInit__kernel()
{
    return PyModuleDef_Init(&talvenor::kernel::module_definition);
}
