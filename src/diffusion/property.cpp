// PropertyState and the two property classes, ActivationEnergy and
// PreExponentialFactor, which differ only in their names.
#include "diffusion/property.hpp"

#include "module.hpp"

namespace talvenor {

namespace {

OnceCell array_attribute;

PyErr type_error(const char* message)
{
    return PyErr::new_err(PyExc_TypeError, message);
}

// Whether the generic attribute lookup of `name` on `object` would bind a
// plain method: the type's lookup is the generic one, instances have no
// dictionary, and the type's attribute is a function or a method descriptor
// that applies to `object`. Binding either runs no code and can fail only for
// lack of memory, so the lookup succeeds and the bound method need not be made.
bool binds_plain_method(PyObject* object, PyObject* name)
{
    PyTypeObject* type = Py_TYPE(object);
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset != 0 ||
        PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
        return false;
    }
    PyObject* attribute = _PyType_Lookup(type, name);  // borrowed; sets no error
    if (!attribute) {
        return false;
    }
    if (Py_IS_TYPE(attribute, &PyFunction_Type)) {
        return true;
    }
    // A method descriptor refuses to bind to an instance of another class.
    return Py_IS_TYPE(attribute, &PyMethodDescr_Type) && PyObject_TypeCheck(object, PyDescr_TYPE(attribute));
}

}  // namespace

std::expected<PropertyState, PyErr> PropertyState::from_callback(Ref callback)
{
    LockEnsured lock;
    if (!PyCallable_Check(callback.get())) {
        return Unexpected(type_error("callback must be callable with signature: fn(x[], T)"));
    }
    return PropertyState(std::move(callback), nullptr);
}

PropertyState PropertyState::from_native(NativeModelFunction function) noexcept
{
    return PropertyState(Ref(), function);
}

std::expected<double, PyErr> PropertyState::evaluate(PyObject* array, double temperature) const
{
    if (!native_function_ && !callback_) {
        return Unexpected(PyErr::new_err(PyExc_RuntimeError, "No callback available"));
    }
    LockEnsured lock;
    if (!is_composition_array(array)) {
        return Unexpected(not_a_composition_array());
    }
    if (native_function_) {
        if (PyType_HasFeature(Py_TYPE(array), Py_TPFLAGS_UNICODE_SUBCLASS)) {
            return Unexpected(type_error("Can't extract `str` to `Vec`"));
        }
        auto composition = extract_sequence(array);
        if (!composition) {
            return forward_error(composition);
        }
        return native_function_(composition->data(), composition->size(), temperature);
    }
    auto result = call1(callback_.get(), array, temperature);
    if (!result) {
        return forward_error(result);
    }
    return extract_double(result->get());
}

bool has_array_attribute(PyObject* array)
{
    // Only the presence of the attribute counts; any failure to look it up is
    // a missing attribute.
    auto name = array_attribute.get_or_try_init([]() -> std::expected<Ref, PyErr> {
        Ref interned = Ref::steal(PyUnicode_InternFromString("__array__"));
        if (!interned) {
            return Unexpected(PyErr::fetch());
        }
        return interned;
    });
    if (!name) {
        return false;
    }
    if (binds_plain_method(array, *name)) {
        return true;
    }
    if (Ref attribute = Ref::steal(PyObject_GetAttr(array, *name))) {
        return true;
    }
    PyErr_Clear();
    return false;
}

PyErr not_a_composition_array()
{
    return type_error("array must be a list or numpy array");
}

std::expected<CallArguments, PyErr> parse_call(const FunctionDescription& description, LazyType& type,
                                               PyObject* self, PyObject* args, PyObject* kwargs)
{
    PyObject* slots[2] = {};
    if (auto parsed = extract_arguments_tuple_dict(description, args, kwargs, slots); !parsed) {
        return forward_error(parsed);
    }
    if (auto instance = cast(self, type.get()); !instance) {
        return forward_error(instance);
    }
    auto temperature = extract_double(slots[1]);
    if (!temperature) {
        return Unexpected(argument_extraction_error("temperature", std::move(temperature.error())));
    }
    return CallArguments{slots[0], *temperature};
}

namespace {

constexpr std::string_view construct_parameters[] = {"callback"};
constexpr std::string_view call_parameters[] = {"array", "temperature"};

template <const FunctionDescription& Description>
PyObject* property_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs)
{
    return trampoline([&]() -> std::expected<Ref, PyErr> {
        PyObject* slots[1] = {};
        if (auto parsed = extract_arguments_tuple_dict(Description, args, kwargs, slots); !parsed) {
            return forward_error(parsed);
        }
        auto state = PropertyState::from_callback(Ref::borrow(slots[0]));
        if (!state) {
            return forward_error(state);
        }
        return create_instance(subtype, std::move(*state));
    });
}

template <const FunctionDescription& Description, LazyType& (*Type)()>
PyObject* property_call(PyObject* self, PyObject* args, PyObject* kwargs)
{
    return trampoline([&]() -> std::expected<Ref, PyErr> {
        auto call = parse_call(Description, Type(), self, args, kwargs);
        if (!call) {
            return forward_error(call);
        }
        auto value = Instance<PropertyState>::of(self).evaluate(call->array, call->temperature);
        if (!value) {
            return forward_error(value);
        }
        return make_float(*value);
    });
}

constexpr FunctionDescription activation_energy_new{
    .cls_name = "ActivationEnergy",
    .func_name = "__new__",
    .positional_parameter_names = construct_parameters,
    .required_positional_parameters = 1,
};
constexpr FunctionDescription activation_energy_call{
    .cls_name = "ActivationEnergy",
    .func_name = "__call__",
    .positional_parameter_names = call_parameters,
    .required_positional_parameters = 2,
};
constexpr FunctionDescription pre_exponential_factor_new{
    .cls_name = "PreExponentialFactor",
    .func_name = "__new__",
    .positional_parameter_names = construct_parameters,
    .required_positional_parameters = 1,
};
constexpr FunctionDescription pre_exponential_factor_call{
    .cls_name = "PreExponentialFactor",
    .func_name = "__call__",
    .positional_parameter_names = call_parameters,
    .required_positional_parameters = 2,
};

PyType_Slot activation_energy_slots[] = {
    {Py_tp_doc, const_cast<char*>("ActivationEnergy(callback)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(property_new<activation_energy_new>)},
    {Py_tp_call, reinterpret_cast<void*>(property_call<activation_energy_call, activation_energy_type>)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_entry<PropertyState>)},
    {0, nullptr},
};
PyType_Slot pre_exponential_factor_slots[] = {
    {Py_tp_doc, const_cast<char*>("PreExponentialFactor(callback)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(property_new<pre_exponential_factor_new>)},
    {Py_tp_call, reinterpret_cast<void*>(property_call<pre_exponential_factor_call, pre_exponential_factor_type>)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_entry<PropertyState>)},
    {0, nullptr},
};

PyType_Spec activation_energy_shape = {
    "builtins.ActivationEnergy", sizeof(Instance<PropertyState>), 0, Py_TPFLAGS_DEFAULT, activation_energy_slots};
PyType_Spec pre_exponential_factor_shape = {
    "builtins.PreExponentialFactor", sizeof(Instance<PropertyState>), 0, Py_TPFLAGS_DEFAULT,
    pre_exponential_factor_slots};

LazyType activation_energy{"ActivationEnergy", &activation_energy_shape};
LazyType pre_exponential_factor{"PreExponentialFactor", &pre_exponential_factor_shape};

}  // namespace

LazyType& activation_energy_type()
{
    return activation_energy;
}

LazyType& pre_exponential_factor_type()
{
    return pre_exponential_factor;
}

}  // namespace talvenor
