// ArrheniusModifiedDiffusivity: D = D0(x, T) * exp(-Q(x, T) / (R * T)).
#include "diffusion/arrhenius.hpp"
#include "diffusion/models.hpp"

#include "module.hpp"


namespace talvenor {

namespace {

PyObject* given(PyObject* argument)
{
    return argument == Py_None ? nullptr : argument;
}

constexpr std::string_view construct_parameters[] = {
    "pre_exponential_factor", "activation_energy", "pre_exponential_func", "activation_energy_func"};
constexpr std::string_view call_parameters[] = {"array", "temperature"};

constexpr FunctionDescription construct_description{
    .cls_name = "ArrheniusModifiedDiffusivity",
    .func_name = "__new__",
    .positional_parameter_names = construct_parameters,
    .required_positional_parameters = 0,
};
constexpr FunctionDescription call_description{
    .cls_name = "ArrheniusModifiedDiffusivity",
    .func_name = "__call__",
    .positional_parameter_names = call_parameters,
    .required_positional_parameters = 2,
};

// The state copied from a property object, or built from a function.
std::expected<PropertyState, PyErr> state_for(PyObject* object, Ref function)
{
    if (object) {
        return Instance<PropertyState>::of(object);
    }
    return PropertyState::from_callback(std::move(function));
}

std::expected<Ref, PyErr> construct(PyTypeObject* subtype, PyObject* args, PyObject* kwargs)
{
    PyObject* slots[4] = {};
    if (auto parsed = extract_arguments_tuple_dict(construct_description, args, kwargs, slots); !parsed) {
        return forward_error(parsed);
    }
    PyObject* pre_exponential_factor = given(slots[0]);
    PyObject* activation_energy = given(slots[1]);
    if (pre_exponential_factor) {
        if (auto checked = cast(pre_exponential_factor, pre_exponential_factor_type().get()); !checked) {
            return Unexpected(argument_extraction_error("pre_exponential_factor", std::move(checked.error())));
        }
    }
    if (activation_energy) {
        if (auto checked = cast(activation_energy, activation_energy_type().get()); !checked) {
            return Unexpected(argument_extraction_error("activation_energy", std::move(checked.error())));
        }
    }
    Ref pre_exponential_func = Ref::borrow(given(slots[2]));
    Ref activation_energy_func = Ref::borrow(given(slots[3]));

    // Each role takes exactly one source: the property object or the function.
    if (!pre_exponential_factor == !pre_exponential_func || !activation_energy == !activation_energy_func) {
        return Unexpected(PyErr::new_err(PyExc_ValueError,
                                         "Must provide either (pre_exponential, activation_energy) objects or "
                                         "(pre_exponential_func, activation_energy_func) functions"));
    }
    auto pre_exponential = state_for(pre_exponential_factor, std::move(pre_exponential_func));
    if (!pre_exponential) {
        return forward_error(pre_exponential);
    }
    auto activation = state_for(activation_energy, std::move(activation_energy_func));
    if (!activation) {
        return forward_error(activation);
    }
    return create_instance(subtype, Diffusivity{std::move(*pre_exponential), std::move(*activation)});
}

std::expected<Ref, PyErr> evaluate(PyObject* self, PyObject* args, PyObject* kwargs)
{
    auto call = parse_call(call_description, arrhenius_modified_diffusivity_type(), self, args, kwargs);
    if (!call) {
        return forward_error(call);
    }
    if (!is_composition_array(call->array)) {
        return Unexpected(not_a_composition_array());
    }
    const Diffusivity& diffusivity = Instance<Diffusivity>::of(self);
    auto pre_exponential = diffusivity.pre_exponential.evaluate(call->array, call->temperature);
    if (!pre_exponential) {
        return forward_error(pre_exponential);
    }
    auto activation = diffusivity.activation_energy.evaluate(call->array, call->temperature);
    if (!activation) {
        return forward_error(activation);
    }
    return make_float(models::arrhenius(*pre_exponential, *activation, call->temperature));
}

PyObject* new_entry(PyTypeObject* subtype, PyObject* args, PyObject* kwargs)
{
    return trampoline([&] { return construct(subtype, args, kwargs); });
}

PyObject* call_entry(PyObject* self, PyObject* args, PyObject* kwargs)
{
    return trampoline([&] { return evaluate(self, args, kwargs); });
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("ArrheniusModifiedDiffusivity(pre_exponential_factor=None, activation_energy=None, "
                                  "pre_exponential_func=None, activation_energy_func=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(new_entry)},
    {Py_tp_call, reinterpret_cast<void*>(call_entry)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_entry<Diffusivity>)},
    {0, nullptr},
};

PyType_Spec shape = {"builtins.ArrheniusModifiedDiffusivity", sizeof(Instance<Diffusivity>), 0,
                     Py_TPFLAGS_DEFAULT, slots};

LazyType diffusivity_type{"ArrheniusModifiedDiffusivity", &shape};

}  // namespace

LazyType& arrhenius_modified_diffusivity_type()
{
    return diffusivity_type;
}

std::expected<Ref, PyErr> create_diffusivity(PropertyState pre_exponential, PropertyState activation_energy)
{
    return create_instance(diffusivity_type.get(), Diffusivity{std::move(pre_exponential), std::move(activation_energy)});
}

}  // namespace talvenor
