// The call boundary between the interpreter and talvenor's native code:
// owned references, error records, internal faults, entry traps, process-wide
// once-cells, argument parsing and value conversion.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <expected>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace talvenor {

// An owned (strong) reference. The only place where reference counts change.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    static Ref borrow(PyObject* object) noexcept
    {
        Py_XINCREF(object);
        return Ref(object);
    }
    Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref other) noexcept
    {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// An internal fault: a failure of talvenor's own code. Thrown as a C++
// exception, caught only by the entry traps, raised there as PanicException.
struct Fault {
    std::optional<std::string> message;
};
[[noreturn]] void fault(std::string message);

// An error record: deferred (no Python object yet) or materialised.
class PyErr {
public:
    // Deferred record of a static exception class with a message.
    static PyErr new_err(PyObject* type, std::string message);
    // Deferred TypeError "'T' object is not an instance of 'target'", formatted when raised.
    static PyErr cast_error(PyObject* object, PyTypeObject* target);
    // Deferred PanicException carrying a fault's message.
    static PyErr panic(std::string message);
    // A materialised record around an exception object.
    static PyErr from_value(Ref exception) noexcept;

    // The pending exception, if any. A PanicException coming back from Python
    // code is not returned: it resumes as an internal fault.
    static std::optional<PyErr> take();
    // The pending exception, or the SystemError of failed_to_fetch().
    static PyErr fetch();

    // Sets the record as the current exception.
    void restore() &&;
    // The exception object (materialising a deferred record).
    Ref into_value() &&;
    PyObject* value();

private:
    struct Message {
        PyObject* type;  // one of the interpreter's static exception classes
        std::string text;
    };
    struct NotAnInstance {
        Ref object;
        Ref target;
    };
    struct Panic {
        std::string text;
    };
    using State = std::variant<Message, NotAnInstance, Panic, Ref>;
    explicit PyErr(State state) noexcept : state_(std::move(state)) {}
    State state_;
};

PyErr failed_to_fetch();

using Unexpected = std::unexpected<PyErr>;

template <class T>
Unexpected forward_error(std::expected<T, PyErr>& result)
{
    return Unexpected(std::move(result.error()));
}

// ---------------------------------------------------------------------------
// The interpreter lock.

// Scopes on this thread known to hold the interpreter's lock.
extern constinit thread_local int lock_depth [[gnu::tls_model("initial-exec")]];

// Raises the lock depth for the duration of an entry.
class LockDepthScope {
public:
    LockDepthScope() noexcept { ++lock_depth; }
    ~LockDepthScope() { --lock_depth; }
    LockDepthScope(const LockDepthScope&) = delete;
    LockDepthScope& operator=(const LockDepthScope&) = delete;
};

// Makes sure this thread holds the interpreter lock for the scope.
class LockEnsured {
public:
    // Inline: every native evaluation passes through here with the lock held.
    LockEnsured() noexcept
    {
        if (lock_depth <= 0) {
            state_ = PyGILState_Ensure();
        }
        ++lock_depth;
    }
    ~LockEnsured()
    {
        --lock_depth;
        if (state_) {
            PyGILState_Release(*state_);
        }
    }
    LockEnsured(const LockEnsured&) = delete;
    LockEnsured& operator=(const LockEnsured&) = delete;

private:
    std::optional<PyGILState_STATE> state_;
};

// Gives up the interpreter lock for the scope, so that other threads run
// meanwhile; nothing on this thread counts as holding it until it is retaken.
class LockReleased {
public:
    LockReleased() noexcept : depth_(std::exchange(lock_depth, 0)), state_(PyEval_SaveThread()) {}
    ~LockReleased()
    {
        PyEval_RestoreThread(state_);
        lock_depth = depth_;
    }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

    // Holds the lock again inside the released scope.
    class Retaken {
    public:
        explicit Retaken(LockReleased& released) noexcept : released_(released)
        {
            PyEval_RestoreThread(released_.state_);
            lock_depth = released_.depth_;
        }
        ~Retaken()
        {
            lock_depth = 0;
            released_.state_ = PyEval_SaveThread();
        }
        Retaken(const Retaken&) = delete;
        Retaken& operator=(const Retaken&) = delete;

    private:
        LockReleased& released_;
    };

private:
    int depth_;
    PyThreadState* state_;
};

// A process-wide object, created once on first need and kept for the life of
// the process. A thread that must wait for the creation, or perform it, first
// gives up the interpreter lock, so that it never waits while holding the lock
// that the creating thread needs. A failed creation leaves the cell empty.
class OnceCell {
public:
    PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // Inline up to the creation: every call's instance test and every
    // __array__ test look a cell up.
    template <class Init>
    std::expected<PyObject*, PyErr> get_or_try_init(Init&& init)
    {
        if (PyObject* value = get()) {
            return value;
        }
        return create(std::forward<Init>(init));
    }

private:
    template <class Init>
    [[gnu::noinline]] std::expected<PyObject*, PyErr> create(Init&& init);
    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
};

template <class Init>
std::expected<PyObject*, PyErr> OnceCell::create(Init&& init)
{
    std::optional<PyErr> error;
    {
        LockReleased released;
        std::lock_guard guard(mutex_);
        if (!get()) {
            LockReleased::Retaken held(released);
            std::expected<Ref, PyErr> made = init();
            if (made) {
                value_.store(made->release(), std::memory_order_release);
            } else {
                error.emplace(std::move(made.error()));
            }
        }
    }
    if (error) {
        return Unexpected(std::move(*error));
    }
    return get();
}

// ---------------------------------------------------------------------------
// Message text.

namespace detail {
inline std::string to_text(std::string_view text) { return std::string(text); }
inline std::string to_text(std::size_t number) { return std::to_string(number); }
}  // namespace detail

// Replaces each "{}" of `pattern` with the next argument.
template <class... Args>
std::string format(std::string_view pattern, const Args&... args)
{
    const std::string parts[] = {detail::to_text(args)...};
    std::string text;
    std::size_t next = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern.substr(i, 2) == "{}" && next < sizeof...(Args)) {
            text += parts[next++];
            ++i;
        } else {
            text += pattern[i];
        }
    }
    return text;
}

// ---------------------------------------------------------------------------
// Results, instances and instance tests.

// The interpreter failed to create a result object: report its error through
// the unraisable hook and fault with "PyObject pointer is null".
[[noreturn]] void null_result();

Ref make_float(double value);
Ref make_str(std::string_view text);

// UTF-8 text of a str; lone surrogates become U+FFFD.
std::string utf8_lossy(PyObject* str);
// str() of an object for use inside a message.
std::string text_of(PyObject* object);

// A new, empty instance of one of talvenor's classes, from object's tp_new.
std::expected<Ref, PyErr> new_instance(PyTypeObject* type);

// The object if it is an instance of `target`, else the deferred TypeError.
inline std::expected<PyObject*, PyErr> cast(PyObject* object, PyTypeObject* target)
{
    if (Py_TYPE(object) == target || PyType_IsSubtype(Py_TYPE(object), target)) {
        return object;
    }
    return Unexpected(PyErr::cast_error(object, target));
}

PyErr wrap_in_runtime_error(PyErr cause, std::string message);
[[noreturn]] void type_object_init_failed(PyErr error, std::string_view class_name);

// A class's type object, created on first need from its slot table.
class LazyType {
public:
    constexpr LazyType(const char* name, PyType_Spec* shape) noexcept : name_(name), shape_(shape) {}

    const char* name() const noexcept { return name_; }
    // Failure is a RuntimeError naming the class, caused by the first error.
    std::expected<PyTypeObject*, PyErr> get_fallible();
    // Failure reports that RuntimeError as unraisable and faults. Inline for
    // the instance check at the start of every call.
    PyTypeObject* get()
    {
        auto type = create();
        if (!type) {
            type_object_init_failed(std::move(type.error()), name_);
        }
        return *type;
    }

private:
    std::expected<PyTypeObject*, PyErr> create()
    {
        auto type = cell_.get_or_try_init([this]() -> std::expected<Ref, PyErr> {
            Ref created = Ref::steal(PyType_FromSpec(shape_));
            if (!created) {
                return Unexpected(PyErr::fetch());
            }
            return created;
        });
        if (!type) {
            return forward_error(type);
        }
        return reinterpret_cast<PyTypeObject*>(*type);
    }

    const char* name_;
    PyType_Spec* shape_;
    OnceCell cell_;
};

// ---------------------------------------------------------------------------
// Entry traps.

// The PanicException class, created on first need.
PyObject* panic_exception_type();
// The record that the fault currently being handled becomes.
PyErr panic_from_current_exception();
[[noreturn]] void abort_at_ffi_boundary() noexcept;

// Runs an entry's body: a result (Ref for object entries, void for module
// execution) or an error record; an internal fault becomes PanicException. A
// fault while raising ends the process.
template <class Body>
auto trampoline(Body&& body) noexcept
{
    using Result = decltype(body());
    constexpr bool returns_object = std::is_same_v<Result, std::expected<Ref, PyErr>>;
    static_assert(returns_object || std::is_same_v<Result, std::expected<void, PyErr>>);
    using Output = std::conditional_t<returns_object, PyObject*, int>;
    try {
        LockDepthScope depth;
        std::optional<PyErr> error;
        try {
            Result result = body();
            if (result) {
                if constexpr (returns_object) {
                    return static_cast<Output>(result->release());
                } else {
                    return Output{0};
                }
            }
            error.emplace(std::move(result.error()));
        } catch (...) {
            error.emplace(panic_from_current_exception());
        }
        std::move(*error).restore();
        if constexpr (returns_object) {
            return static_cast<Output>(nullptr);
        } else {
            return Output{-1};
        }
    } catch (...) {
        abort_at_ffi_boundary();
    }
}

// Runs a body with no result (deallocation); a fault is reported through the
// unraisable hook and no exception is left set.
template <class Body>
void trampoline_unraisable(Body&& body) noexcept
{
    try {
        LockDepthScope depth;
        try {
            body();
        } catch (...) {
            panic_from_current_exception().restore();
            PyErr_WriteUnraisable(nullptr);
        }
    } catch (...) {
        abort_at_ffi_boundary();
    }
}

// Entry point of a module function without parameters.
template <std::expected<Ref, PyErr> (*Body)()>
PyObject* noargs_entry(PyObject*, PyObject*)
{
    return trampoline(Body);
}

// An instance of one of talvenor's classes: the object header followed by
// the C++ object `Contents`.
template <class Contents>
struct Instance {
    PyObject header;
    Contents contents;

    static Contents& of(PyObject* object) noexcept
    {
        return std::launder(reinterpret_cast<Instance*>(object))->contents;
    }
};

// A new instance of `type` holding `contents`; on failure the contents are
// released with it.
template <class Contents>
std::expected<Ref, PyErr> create_instance(PyTypeObject* type, Contents contents)
{
    auto instance = new_instance(type);
    if (!instance) {
        return forward_error(instance);
    }
    new (&reinterpret_cast<Instance<Contents>*>(instance->get())->contents) Contents(std::move(contents));
    return instance;
}

// Deallocation: release the contents, free the memory, then drop the
// reference to the heap type that the instance held.
template <class Contents>
void dealloc_entry(PyObject* self)
{
    trampoline_unraisable([self] {
        Instance<Contents>::of(self).~Contents();
        Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
        Py_TYPE(self)->tp_free(self);
    });
}

// ---------------------------------------------------------------------------
// Argument parsing.

struct KeywordOnlyParameter {
    std::string_view name;
    bool required;
};

struct FunctionDescription {
    std::string_view cls_name;  // empty for a module-level function
    std::string_view func_name;
    std::span<const std::string_view> positional_parameter_names;
    std::size_t positional_only_parameters = 0;
    std::size_t required_positional_parameters = 0;
    std::span<const KeywordOnlyParameter> keyword_only_parameters = {};

    std::string full_name() const;
};

// Matches the arguments to parameters: one borrowed slot per positional and
// then per keyword-only parameter; an empty slot is a parameter not given.
std::expected<void, PyErr> extract_arguments_tuple_dict(const FunctionDescription& description,
                                                        PyObject* args, PyObject* kwargs,
                                                        std::span<PyObject*> slots);

// The error for a named argument whose conversion failed.
PyErr argument_extraction_error(std::string_view name, PyErr error);

// ---------------------------------------------------------------------------
// Value conversion.

// The entries of a composition array. Short compositions stay inline, so
// converting one allocates nothing.
class Composition {
public:
    // User-provided so that a value-initialised Composition leaves the
    // inline entries unwritten.
    Composition() noexcept {}

    const double* data() const noexcept { return size_ > inline_.size() ? spilled_.data() : inline_.data(); }
    std::size_t size() const noexcept { return size_; }

    void reserve(std::size_t count)
    {
        if (count > inline_.size()) {
            spilled_.reserve(count);
        }
    }
    void push_back(double value)
    {
        if (size_ < inline_.size()) {
            inline_[size_++] = value;
            return;
        }
        if (size_ == inline_.size()) {
            spilled_.assign(inline_.begin(), inline_.end());
        }
        spilled_.push_back(value);
        ++size_;
    }

private:
    std::array<double, 8> inline_;
    std::vector<double> spilled_;
    std::size_t size_ = 0;
};

std::expected<double, PyErr> extract_double(PyObject* object);
std::expected<Composition, PyErr> extract_sequence(PyObject* object);

// callable(array, temperature) through vectorcall, with no argument tuple.
std::expected<Ref, PyErr> call1(PyObject* callable, PyObject* array, double temperature);

}  // namespace talvenor
