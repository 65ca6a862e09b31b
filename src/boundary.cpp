#include "boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace talvenor {

constinit thread_local int lock_depth = 0;

namespace {

constexpr const char* generic_fault_text = "internal fault in talvenor's native code";

constexpr const char* panic_exception_doc =
    "\n"
    "The exception raised when talvenor's native code called from Python meets an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

OnceCell panic_exception;

// The type name of an object for a message; on failure the error is dropped.
std::string qualified_name(PyTypeObject* type)
{
    Ref name = Ref::steal(PyType_GetQualName(type));
    if (!name) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return utf8_lossy(name.get());
}

// Raises `exception` with a str value made from `text`; if the str cannot be
// made, the interpreter's error (MemoryError) stays set in its place.
void raise_with_text(PyObject* exception, const std::string& text)
{
    Ref value = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (value) {
        PyErr_SetObject(exception, value.get());
    }
}

std::string initialization_error_text(std::string_view class_name)
{
    return format("An error occurred while initializing class {}", class_name);
}

}  // namespace

void fault(std::string message)
{
    throw Fault{std::move(message)};
}

// ---------------------------------------------------------------------------
// PyErr

PyErr PyErr::new_err(PyObject* type, std::string message)
{
    return PyErr(Message{type, std::move(message)});
}

PyErr PyErr::cast_error(PyObject* object, PyTypeObject* target)
{
    return PyErr(NotAnInstance{Ref::borrow(object), Ref::borrow(reinterpret_cast<PyObject*>(target))});
}

PyErr PyErr::panic(std::string message)
{
    return PyErr(Panic{std::move(message)});
}

PyErr PyErr::from_value(Ref exception) noexcept
{
    return PyErr(std::move(exception));
}

std::optional<PyErr> PyErr::take()
{
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (!exception) {
        return std::nullopt;
    }
    if (reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) != panic_exception_type()) {
        return PyErr(std::move(exception));
    }
    // A fault of ours that came back through Python code: keep it travelling.
    std::string message;
    if (Ref text = Ref::steal(PyObject_Str(exception.get()))) {
        message = utf8_lossy(text.get());
    } else {
        PyErr_Clear();
        message = "Unwrapped panic from Python code";
    }
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
               "Python stack trace below:\n",
               stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    throw Fault{std::move(message)};
}

PyErr PyErr::fetch()
{
    if (std::optional<PyErr> error = take()) {
        return std::move(*error);
    }
    return failed_to_fetch();
}

PyErr failed_to_fetch()
{
    return PyErr::new_err(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void PyErr::restore() &&
{
    if (auto* message = std::get_if<Message>(&state_)) {
        raise_with_text(message->type, message->text);
    } else if (auto* cast = std::get_if<NotAnInstance>(&state_)) {
        PyObject* target = cast->target.get();
        std::string target_name = qualified_name(reinterpret_cast<PyTypeObject*>(target));
        std::string text =
            cast->object.get() == Py_None
                ? format("'None' is not an instance of '{}'", target_name)
                : format("'{}' object is not an instance of '{}'",
                              qualified_name(Py_TYPE(cast->object.get())), target_name);
        raise_with_text(PyExc_TypeError, text);
    } else if (auto* panic = std::get_if<Panic>(&state_)) {
        PyObject* type = panic_exception_type();
        Ref text = Ref::steal(
            PyUnicode_FromStringAndSize(panic->text.data(), static_cast<Py_ssize_t>(panic->text.size())));
        if (!text) {
            return;
        }
        Ref args = Ref::steal(PyTuple_Pack(1, text.get()));
        if (args) {
            PyErr_SetObject(type, args.get());
        }
    } else {
        PyErr_SetRaisedException(std::get<Ref>(state_).release());
    }
}

Ref PyErr::into_value() &&
{
    if (auto* value = std::get_if<Ref>(&state_)) {
        return std::move(*value);
    }
    std::move(*this).restore();
    return Ref::steal(PyErr_GetRaisedException());
}

PyObject* PyErr::value()
{
    if (!std::holds_alternative<Ref>(state_)) {
        state_ = std::move(*this).into_value();
    }
    return std::get<Ref>(state_).get();
}

// ---------------------------------------------------------------------------
// Faults

PyObject* panic_exception_type()
{
    auto type = panic_exception.get_or_try_init([]() -> std::expected<Ref, PyErr> {
        Ref created = Ref::steal(PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException",
                                                           panic_exception_doc, PyExc_BaseException,
                                                           nullptr));
        if (!created) {
            // Taking the error would look for this very class again.
            PyErr_Clear();
            fault("Failed to initialize new exception type.");
        }
        return created;
    });
    return *type;  // the initialiser never returns an error
}

PyErr panic_from_current_exception()
{
    try {
        throw;
    } catch (const Fault& caught) {
        return PyErr::panic(caught.message.value_or(generic_fault_text));
    } catch (const std::exception& caught) {
        return PyErr::panic(caught.what());
    } catch (...) {
        return PyErr::panic(generic_fault_text);
    }
}

void abort_at_ffi_boundary() noexcept
{
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

// ---------------------------------------------------------------------------
// Results and instances

void null_result()
{
    if (PyErr_Occurred()) {
        PyErr_WriteUnraisable(nullptr);
    }
    fault("PyObject pointer is null");
}

Ref make_float(double value)
{
    Ref result = Ref::steal(PyFloat_FromDouble(value));
    if (!result) {
        null_result();
    }
    return result;
}

Ref make_str(std::string_view text)
{
    Ref result = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!result) {
        null_result();
    }
    return result;
}

std::string utf8_lossy(PyObject* str)
{
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) {
        return std::string(data, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    // Lone surrogates: encode them as they stand, then decode with U+FFFD
    // for every invalid sequence.
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) {
        PyErr_Clear();
        return {};
    }
    Ref replaced = Ref::steal(
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
    const char* data = replaced ? PyUnicode_AsUTF8AndSize(replaced.get(), &size) : nullptr;
    if (!data) {
        PyErr_Clear();
        return {};
    }
    return std::string(data, static_cast<std::size_t>(size));
}

std::string text_of(PyObject* object)
{
    if (Ref text = Ref::steal(PyObject_Str(object))) {
        return utf8_lossy(text.get());
    }
    PyErr_WriteUnraisable(object);
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(object)));
    if (!type_name) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    return format("<unprintable {} object>", utf8_lossy(type_name.get()));
}

std::expected<Ref, PyErr> new_instance(PyTypeObject* type)
{
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) {
        null_result();
    }
    Ref instance = Ref::steal(PyBaseObject_Type.tp_new(type, no_args.get(), nullptr));
    if (!instance) {
        return Unexpected(PyErr::fetch());
    }
    return instance;
}

// ---------------------------------------------------------------------------
// Lazy type objects

PyErr wrap_in_runtime_error(PyErr cause, std::string message)
{
    Ref text = make_str(message);
    Ref error = Ref::steal(PyObject_CallOneArg(PyExc_RuntimeError, text.get()));
    if (!error) {
        return PyErr::fetch();
    }
    PyException_SetCause(error.get(), std::move(cause).into_value().release());
    return PyErr::from_value(std::move(error));
}

void type_object_init_failed(PyErr error, std::string_view class_name)
{
    wrap_in_runtime_error(std::move(error), initialization_error_text(class_name)).restore();
    PyErr_WriteUnraisable(nullptr);
    fault(format("failed to create type object for `{}`", class_name));
}

std::expected<PyTypeObject*, PyErr> LazyType::get_fallible()
{
    auto type = create();
    if (!type) {
        return Unexpected(wrap_in_runtime_error(std::move(type.error()), initialization_error_text(name_)));
    }
    return *type;
}

}  // namespace talvenor
