#include "boundary.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace talvenor {

namespace {

PyErr type_error(std::string message)
{
    return PyErr::new_err(PyExc_TypeError, std::move(message));
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
template <class Names>
std::string quoted_list(const Names& names)
{
    std::string joined;
    const std::size_t count = std::size(names);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            joined += count > 2 ? ", " : " ";
            if (i + 1 == count) {
                joined += "and ";
            }
        }
        joined += format("'{}'", names[i]);
    }
    return joined;
}

PyErr too_many_positional(const FunctionDescription& description, std::size_t given)
{
    const std::size_t most = description.positional_parameter_names.size();
    const std::size_t least = description.required_positional_parameters;
    const char* verb = given == 1 ? "was" : "were";
    if (least == most) {
        return type_error(format("{} takes {} positional arguments but {} {} given",
                                      description.full_name(), most, given, verb));
    }
    return type_error(format("{} takes from {} to {} positional arguments but {} {} given",
                                  description.full_name(), least, most, given, verb));
}

PyErr unexpected_keyword(const FunctionDescription& description, PyObject* key)
{
    return type_error(
        format("{} got an unexpected keyword argument '{}'", description.full_name(), text_of(key)));
}

PyErr multiple_values(const FunctionDescription& description, std::string_view name)
{
    return type_error(format("{} got multiple values for argument '{}'", description.full_name(), name));
}

PyErr missing_arguments(const FunctionDescription& description, std::string_view kind,
                        const std::vector<std::string_view>& names)
{
    return type_error(format("{} missing {} required {} {}: {}", description.full_name(), names.size(),
                                  kind, names.size() == 1 ? "argument" : "arguments", quoted_list(names)));
}

// Reserving is only a hint: a length reported by __len__ is not trusted with
// an allocation of that size.
constexpr std::size_t max_reserved_entries = 1024;

OnceCell sequence_abc;

PyTypeObject* sequence_type()
{
    auto type = sequence_abc.get_or_try_init([]() -> std::expected<Ref, PyErr> {
        Ref name = make_str("collections.abc");
        Ref module = Ref::steal(PyImport_Import(name.get()));
        Ref sequence = module ? Ref::steal(PyObject_GetAttrString(module.get(), "Sequence")) : Ref();
        if (!sequence) {
            return Unexpected(PyErr::fetch());
        }
        return sequence;
    });
    if (!type) {
        fault("failed to import collections.abc.Sequence: " + text_of(type.error().value()));
    }
    return reinterpret_cast<PyTypeObject*>(*type);
}

}  // namespace

std::string FunctionDescription::full_name() const
{
    if (cls_name.empty()) {
        return format("{}()", func_name);
    }
    return format("{}.{}()", cls_name, func_name);
}

std::expected<void, PyErr> extract_arguments_tuple_dict(const FunctionDescription& description,
                                                        PyObject* args, PyObject* kwargs,
                                                        std::span<PyObject*> slots)
{
    const auto& positional = description.positional_parameter_names;
    const auto& keyword_only = description.keyword_only_parameters;
    const std::size_t given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));

    const std::size_t copied = std::min(given, positional.size());
    for (std::size_t i = 0; i < copied; ++i) {
        slots[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    }
    if (given > positional.size()) {
        return Unexpected(too_many_positional(description, given));
    }

    if (kwargs) {
        std::vector<std::string_view> positional_only_names;
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            Py_ssize_t length = 0;
            const char* data = PyUnicode_AsUTF8AndSize(key, &length);
            if (!data) {
                PyErr_Clear();
                return Unexpected(unexpected_keyword(description, key));
            }
            const std::string_view name(data, static_cast<std::size_t>(length));

            auto keyword = std::ranges::find(keyword_only, name, &KeywordOnlyParameter::name);
            if (keyword != keyword_only.end()) {
                PyObject*& slot = slots[positional.size() + static_cast<std::size_t>(keyword - keyword_only.begin())];
                if (slot) {
                    return Unexpected(multiple_values(description, name));
                }
                slot = value;
                continue;
            }
            auto match = std::ranges::find(positional, name);
            if (match == positional.end()) {
                return Unexpected(unexpected_keyword(description, key));
            }
            const std::size_t index = static_cast<std::size_t>(match - positional.begin());
            if (index < description.positional_only_parameters) {
                positional_only_names.push_back(name);
                continue;
            }
            if (slots[index]) {
                return Unexpected(multiple_values(description, name));
            }
            slots[index] = value;
        }
        if (!positional_only_names.empty()) {
            return Unexpected(type_error(
                format("{} got some positional-only arguments passed as keyword arguments: {}",
                            description.full_name(), quoted_list(positional_only_names))));
        }
    }

    const std::size_t required = description.required_positional_parameters;
    if (given < required) {
        std::vector<std::string_view> missing;
        for (std::size_t i = given; i < required; ++i) {
            if (!slots[i]) {
                missing.push_back(positional[i]);
            }
        }
        if (!missing.empty()) {
            return Unexpected(missing_arguments(description, "positional", missing));
        }
    }

    std::vector<std::string_view> missing_keywords;
    for (std::size_t i = 0; i < keyword_only.size(); ++i) {
        if (keyword_only[i].required && !slots[positional.size() + i]) {
            missing_keywords.push_back(keyword_only[i].name);
        }
    }
    if (!missing_keywords.empty()) {
        return Unexpected(missing_arguments(description, "keyword", missing_keywords));
    }
    return {};
}

PyErr argument_extraction_error(std::string_view name, PyErr error)
{
    PyObject* first = error.value();
    if (reinterpret_cast<PyObject*>(Py_TYPE(first)) != PyExc_TypeError) {
        return error;
    }
    Ref text = make_str(format("argument '{}': {}", name, text_of(first)));
    Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    if (!replacement) {
        return PyErr::fetch();
    }
    // Setting the cause also suppresses the context: the first TypeError is not shown.
    PyException_SetCause(replacement.get(), PyException_GetCause(first));
    return PyErr::from_value(std::move(replacement));
}

std::expected<double, PyErr> extract_double(PyObject* object)
{
    if (Py_IS_TYPE(object, &PyFloat_Type)) {
        return PyFloat_AS_DOUBLE(object);
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0) {
        if (std::optional<PyErr> error = PyErr::take()) {
            return Unexpected(std::move(*error));
        }
    }
    return value;
}

namespace {

std::expected<void, PyErr> append_converted(Composition& values, PyObject* item)
{
    auto value = extract_double(item);
    if (!value) {
        return forward_error(value);
    }
    values.push_back(*value);
    return {};
}

// numpy.ndarray once an instance has been met: a static type, which lives as
// long as the process.
std::atomic<PyTypeObject*> ndarray_type{nullptr};

// An exact numpy.ndarray, recognised without importing numpy: numpy defines
// it as a static type, and a subclass would be a heap type.
bool is_exact_ndarray(PyObject* object)
{
    PyTypeObject* type = Py_TYPE(object);
    if (type == ndarray_type.load(std::memory_order_relaxed)) {
        return true;
    }
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || std::strcmp(type->tp_name, "numpy.ndarray") != 0) {
        return false;
    }
    ndarray_type.store(type, std::memory_order_relaxed);
    return true;
}

// Buffer formats of a double in this machine's byte order.
bool is_native_double(const char* format)
{
    static_assert(std::numeric_limits<double>::is_iec559, "the standard-size formats are IEEE 754 doubles");
    constexpr std::string_view native[] = {"d", "@d", "=d", std::endian::native == std::endian::little ? "<d" : ">d"};
    return format && std::ranges::find(native, std::string_view(format)) != std::end(native);
}

// An object's memory as strided records, released on every path. An object
// that does not export it leaves no error behind.
class BufferView {
public:
    explicit BufferView(PyObject* object) noexcept
        : exported_(PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) == 0)
    {
        if (!exported_) {
            PyErr_Clear();
        }
    }
    ~BufferView()
    {
        if (exported_) {
            PyBuffer_Release(&view_);
        }
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    explicit operator bool() const noexcept { return exported_; }
    const Py_buffer* operator->() const noexcept { return &view_; }

private:
    Py_buffer view_;  // filled in place: an exporter may point into it
    bool exported_;
};

// The entries of a one-dimensional array of native doubles, read from its
// memory. False, with nothing read, for any other layout.
bool read_native_doubles(Composition& values, PyObject* array)
{
    BufferView buffer(array);
    if (!buffer || buffer->ndim != 1 || buffer->itemsize != sizeof(double) || !is_native_double(buffer->format)) {
        return false;
    }
    const auto* memory = static_cast<const char*>(buffer->buf);
    const Py_ssize_t count = buffer->shape[0];
    const Py_ssize_t stride = buffer->strides[0];
    values.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        double value;
        std::memcpy(&value, memory + i * stride, sizeof value);  // an entry may be unaligned
        values.push_back(value);
    }
    return true;
}

std::expected<void, PyErr> convert_entries(Composition& values, PyObject* object)
{
    if (PyList_CheckExact(object)) {
        // What iterating the list would do, without the iterator: the size is
        // read again at every step and each item is held while it converts,
        // since a conversion may run code that changes the list.
        values.reserve(std::min(static_cast<std::size_t>(PyList_GET_SIZE(object)), max_reserved_entries));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
            PyObject* item = PyList_GET_ITEM(object, i);
            if (Py_IS_TYPE(item, &PyFloat_Type)) {
                values.push_back(PyFloat_AS_DOUBLE(item));  // reading it runs no code
                continue;
            }
            Ref held = Ref::borrow(item);
            if (auto appended = append_converted(values, held.get()); !appended) {
                return forward_error(appended);
            }
        }
        return {};
    }
    // Iterating an exact ndarray of native doubles yields numpy.float64
    // scalars, float subclasses holding these very doubles; reading the
    // array's memory gives the same doubles without making the scalars.
    if (is_exact_ndarray(object) && read_native_doubles(values, object)) {
        return {};
    }

    if (PySequence_Check(object) == 0) {
        return Unexpected(PyErr::cast_error(object, sequence_type()));
    }
    Py_ssize_t length = PyObject_Size(object);
    if (length < 0) {
        PyErr_Clear();
        length = 0;
    }
    values.reserve(std::min(static_cast<std::size_t>(length), max_reserved_entries));

    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) {
        return Unexpected(PyErr::fetch());
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (auto appended = append_converted(values, item.get()); !appended) {
            return forward_error(appended);
        }
    }
    if (std::optional<PyErr> error = PyErr::take()) {
        return Unexpected(std::move(*error));
    }
    return {};
}

}  // namespace

std::expected<Composition, PyErr> extract_sequence(PyObject* object)
{
    // The entries go straight into the result: copying a short composition
    // out of a local costs more than converting it.
    std::expected<Composition, PyErr> result;
    if (auto converted = convert_entries(*result, object); !converted) {
        result = Unexpected(std::move(converted.error()));
    }
    return result;
}

std::expected<Ref, PyErr> call1(PyObject* callable, PyObject* array, double temperature)
{
    Ref temperature_object = make_float(temperature);
    // One writable slot in front of the arguments, as PY_VECTORCALL_ARGUMENTS_OFFSET allows.
    PyObject* arguments[] = {nullptr, array, temperature_object.get()};
    Ref result = Ref::steal(
        PyObject_Vectorcall(callable, arguments + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result) {
        return Unexpected(PyErr::fetch());
    }
    return result;
}

}  // namespace talvenor
