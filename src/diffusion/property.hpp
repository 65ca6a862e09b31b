// Composition-dependent material properties: a Python callback or a native
// model function, evaluated at a composition array and a temperature.
#pragma once

#include "boundary.hpp"

namespace talvenor {

// A built-in model: composition entries in the caller's order, temperature in
// kelvin. Its only failure is an internal fault.
using NativeModelFunction = double (*)(const double* composition, std::size_t count, double temperature);

class PropertyState {
public:
    // Fails with TypeError when `callback` is not callable.
    static std::expected<PropertyState, PyErr> from_callback(Ref callback);
    static PropertyState from_native(NativeModelFunction function) noexcept;

    // The native function has precedence over the callback.
    std::expected<double, PyErr> evaluate(PyObject* array, double temperature) const;

private:
    PropertyState(Ref callback, NativeModelFunction function) noexcept
        : callback_(std::move(callback)), native_function_(function)
    {
    }

    Ref callback_;
    NativeModelFunction native_function_ = nullptr;
};

bool has_array_attribute(PyObject* array);

// A list (or list subclass), or anything with an attribute __array__.
inline bool is_composition_array(PyObject* array)
{
    return PyType_HasFeature(Py_TYPE(array), Py_TPFLAGS_LIST_SUBCLASS) || has_array_attribute(array);
}
PyErr not_a_composition_array();

struct CallArguments {
    PyObject* array;
    double temperature;
};

// The common start of every __call__: parse, check the instance, convert the
// temperature.
std::expected<CallArguments, PyErr> parse_call(const FunctionDescription& description, LazyType& type,
                                               PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace talvenor
