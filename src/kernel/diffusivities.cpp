#include "kernel/diffusivities.hpp"

#include "diffusion/models.hpp"

namespace talvenor::kernel {

namespace {

bool acceptable(double value) noexcept
{
    return value >= 0.0 && value < inf;
}

}  // namespace

double slycke(std::size_t element, double y_carbon, double y_nitrogen, double temperature)
{
    const double x[2] = {y_carbon, y_nitrogen};
    if (element == 0) {
        return models::arrhenius(models::carbon_pre_exponential(x, 2, temperature),
                                 models::carbon_activation_energy(x, 2, temperature), temperature);
    }
    return models::arrhenius(models::nitrogen_pre_exponential(x, 2, temperature),
                             models::nitrogen_activation_energy(x, 2, temperature), temperature);
}

Outcome<double> Diffusivities::evaluate(std::size_t element, double y_carbon, double y_nitrogen,
                                        double temperature) const
{
    const Source& source = sources_[element];
    if (source.constant) {
        return *source.constant;
    }
    PyObject* callable = source.callable.get();
    if (!callable) {
        return slycke(element, y_carbon, y_nitrogen, temperature);
    }
    Ref composition = Ref::steal(PyList_New(2));
    if (!composition) {
        return stop(Stop::Kind::python);
    }
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* entry = PyFloat_FromDouble(i == 0 ? y_carbon : y_nitrogen);
        if (!entry) {
            return stop(Stop::Kind::python);
        }
        PyList_SET_ITEM(composition.get(), i, entry);
    }
    Ref kelvin = Ref::steal(PyFloat_FromDouble(temperature));
    if (!kelvin) {
        return stop(Stop::Kind::python);
    }
    PyObject* arguments[] = {composition.get(), kelvin.get()};
    Ref value = Ref::steal(PyObject_Vectorcall(callable, arguments, 2, nullptr));
    if (!value) {
        return stop(Stop::Kind::python);
    }
    PyObject* result = value.get();
    const bool real = PyFloat_Check(result) || PyLong_Check(result) ||
                      (!PyComplex_Check(result) && Py_TYPE(result)->tp_as_number &&
                       Py_TYPE(result)->tp_as_number->nb_float && !PyUnicode_Check(result));
    if (!real) {
        auto stopped = stop(Stop::Kind::not_real, {y_carbon, y_nitrogen, temperature}, element);
        stopped.error().object = std::move(value);
        return stopped;
    }
    const double number = PyFloat_AsDouble(result);
    if (number == -1.0 && PyErr_Occurred()) {
        return stop(Stop::Kind::python);
    }
    return number;
}

Outcome<double> Diffusivities::at(std::size_t element, double y_carbon, double y_nitrogen, double temperature,
                                  Singularity singular) const
{
    auto value = evaluate(element, y_carbon, y_nitrogen, temperature);
    if (value && !acceptable(*value)) {
        const double reach = singular.reach(y_carbon, y_nitrogen);
        if (singular.weight > 0.0 && reach >= 1.0) {
            return stop(Stop::Kind::reach, {reach, y_carbon, y_nitrogen});
        }
        return stop(Stop::Kind::diffusivity, {*value, y_carbon, y_nitrogen, temperature}, element);
    }
    return value;
}

Outcome<void> Diffusivities::at_faces(std::size_t element, std::span<const double> y_carbon,
                                      std::span<const double> y_nitrogen, double temperature, Singularity singular,
                                      std::span<double> out) const
{
    for (std::size_t j = 0; j < out.size(); ++j) {
        auto value = at(element, y_carbon[j], y_nitrogen[j], temperature, singular);
        if (!value) {
            return std::unexpected(std::move(value.error()));
        }
        out[j] = *value;
    }
    return {};
}

}  // namespace talvenor::kernel
