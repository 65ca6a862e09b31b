// Paths of the call boundary that Python code cannot reach: faults while a
// fault is raised, faults during deallocation, type objects that cannot be
// created, and the parser's positional-only and keyword-only parameters.
// Embeds the interpreter; exits non-zero when a check fails.
#include "boundary.hpp"
#include "checks.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>

using namespace talvenor;
using checks::check;

namespace {

// The current exception's type name and str(), clearing it.
std::pair<std::string, std::string> take_raised()
{
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (!exception) {
        return {"<none>", ""};
    }
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(exception.get())));
    return {utf8_lossy(name.get()), text_of(exception.get())};
}

// Runs Python source in __main__.
void run(const char* source)
{
    if (PyRun_SimpleString(source) != 0) {
        check(false, std::string("python snippet\n") + source);
    }
}

// Every allocation of the interpreter fails from now on.
void* no_malloc(void*, std::size_t) { return nullptr; }
void* no_calloc(void*, std::size_t, std::size_t) { return nullptr; }
void* no_realloc(void*, void*, std::size_t) { return nullptr; }
void no_free(void*, void*) {}

void fail_every_allocation()
{
    PyMemAllocatorEx failing = {nullptr, no_malloc, no_calloc, no_realloc, no_free};
    PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &failing);
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &failing);
}

// Runs `child` in a forked process; returns its termination status and what
// it wrote to standard error.
std::pair<int, std::string> in_child(const std::function<void()>& child)
{
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) {
        return {-1, ""};
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_ends[1], STDERR_FILENO);
        close(pipe_ends[0]);
        child();
        _exit(0);
    }
    close(pipe_ends[1]);
    std::string output;
    char buffer[512];
    ssize_t count;
    while ((count = read(pipe_ends[0], buffer, sizeof buffer)) > 0) {
        output.append(buffer, static_cast<std::size_t>(count));
    }
    close(pipe_ends[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {status, output};
}

void test_fault_becomes_panic_exception()
{
    PyObject* result = trampoline([]() -> std::expected<Ref, PyErr> { fault("broken invariant"); });
    check(result == nullptr, "a faulting body returns null");
    auto [type, message] = take_raised();
    check(type == "PanicException", "a fault is raised as PanicException, got " + type);
    check(message == "broken invariant", "the fault keeps its message, got " + message);

    trampoline([]() -> std::expected<Ref, PyErr> { throw Fault{}; });
    auto [generic_type, generic] = take_raised();
    check(generic_type == "PanicException" && !generic.empty(), "a fault without text gets the generic text");

    const int status = trampoline([]() -> std::expected<void, PyErr> { throw std::runtime_error("from the library"); });
    check(status == -1, "a faulting execution step returns -1");
    auto [std_type, std_message] = take_raised();
    check(std_type == "PanicException" && std_message == "from the library",
          "a standard exception keeps its what() text, got " + std_message);
}

void test_error_record_is_raised()
{
    PyObject* result = trampoline(
        []() -> std::expected<Ref, PyErr> { return Unexpected(PyErr::new_err(PyExc_ValueError, "bad value")); });
    check(result == nullptr, "an error record returns null");
    auto [type, message] = take_raised();
    check(type == "ValueError" && message == "bad value", "the record is raised as it stands");
    check(lock_depth == 0, "the lock depth is back to zero after an entry");
}

void test_fault_while_raising_aborts()
{
    // The PanicException class does not exist yet in the child and cannot be
    // created there: the fault that raising a fault meets ends the process.
    auto [status, output] = in_child([] {
        fail_every_allocation();
        trampoline([]() -> std::expected<Ref, PyErr> { fault("first fault"); });
    });
    check(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT, "a fault while raising a fault aborts");
    check(output.find("uncaught panic at ffi boundary") != std::string::npos,
          "the abort is reported on standard error, got: " + output);
}

void test_dealloc_fault_is_unraisable()
{
    run("import sys\n"
        "seen = []\n"
        "sys.unraisablehook = lambda u: seen.append((type(u.exc_value).__name__, str(u.exc_value)))\n");
    trampoline_unraisable([] { fault("fault while releasing"); });
    check(!PyErr_Occurred(), "deallocation never leaves an exception set");
    run("assert seen == [('PanicException', 'fault while releasing')], seen\n"
        "seen.clear()\n");
}

PyType_Slot broken_slots[] = {{9999, nullptr}, {0, nullptr}};
PyType_Spec broken_shape = {"builtins.Broken", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, broken_slots};

void test_type_object_failure_paths()
{
    LazyType broken{"Broken", &broken_shape};
    auto created = broken.get_fallible();
    check(!created, "a broken type cannot be created");
    if (!created) {
        std::move(created.error()).restore();
        Ref exception = Ref::steal(PyErr_GetRaisedException());
        check(text_of(exception.get()) == "An error occurred while initializing class Broken",
              "the fallible path wraps the error in a RuntimeError");
        Ref cause = Ref::steal(PyException_GetCause(exception.get()));
        check(cause && Py_TYPE(exception.get()) == reinterpret_cast<PyTypeObject*>(PyExc_RuntimeError),
              "the RuntimeError has the first error as its cause");
    }

    PyObject* result = trampoline([&]() -> std::expected<Ref, PyErr> {
        broken.get();
        return Ref::borrow(Py_None);
    });
    check(result == nullptr, "the infallible path fails the entry");
    auto [type, message] = take_raised();
    check(type == "PanicException" && message == "failed to create type object for `Broken`",
          "the infallible path faults, got " + message);
    run("assert seen == [('RuntimeError', 'An error occurred while initializing class Broken')], seen\n"
        "seen.clear()\n");
    check(!broken.get_fallible(), "a failed creation is tried again and fails again");
    PyErr_Clear();
}

constexpr std::string_view parameters[] = {"a", "b", "c"};
constexpr KeywordOnlyParameter keyword_only[] = {{"k", true}, {"m", true}, {"n", false}};
constexpr FunctionDescription description{
    .cls_name = "",
    .func_name = "f",
    .positional_parameter_names = parameters,
    .positional_only_parameters = 2,
    .required_positional_parameters = 2,
    .keyword_only_parameters = keyword_only,
};

void test_positional_only_and_keyword_only_parameters()
{
    Ref main_module = Ref::borrow(PyImport_AddModule("__main__"));
    PyObject* globals = PyModule_GetDict(main_module.get());
    auto in_main = [&](const char* args, const char* kwargs) {
        Ref a = Ref::steal(PyRun_String(args, Py_eval_input, globals, globals));
        Ref k = Ref::steal(PyRun_String(kwargs, Py_eval_input, globals, globals));
        PyObject* slots[6] = {};
        auto parsed = extract_arguments_tuple_dict(description, a.get(), k.get() == Py_None ? nullptr : k.get(), slots);
        if (parsed) {
            return std::string();
        }
        std::move(parsed.error()).restore();
        return take_raised().second;
    };
    check(in_main("(1, 2)", "{'k': 1, 'm': 2}").empty(), "all required parameters given");
    check(in_main("(1, 2)", "{'a': 1, 'b': 2, 'k': 1, 'm': 2}") ==
              "f() got some positional-only arguments passed as keyword arguments: 'a' and 'b'",
          "positional-only parameters given by keyword are listed in order");
    check(in_main("(1, 2)", "{'m': 1}") == "f() missing 1 required keyword argument: 'k'",
          "a missing keyword-only parameter is named");
    check(in_main("(1, 2)", "None") == "f() missing 2 required keyword arguments: 'k' and 'm'",
          "missing keyword-only parameters are listed");
    check(in_main("(1, 2)", "{'k': 1, 'm': 2, 'k2': 3}") == "f() got an unexpected keyword argument 'k2'",
          "an unknown keyword is reported");
    check(in_main("(1,)", "{'k': 1}") == "f() missing 1 required positional argument: 'b'",
          "missing positional parameters come before missing keyword-only ones");
    check(in_main("(1, 2, 3, 4)", "None") == "f() takes from 2 to 3 positional arguments but 4 were given",
          "too many positional arguments");
}

}  // namespace

int main()
{
    Py_Initialize();
    // First, while the PanicException class does not exist yet.
    test_fault_while_raising_aborts();
    test_fault_becomes_panic_exception();
    test_error_record_is_raised();
    test_dealloc_fault_is_unraisable();
    test_type_object_failure_paths();
    test_positional_only_and_keyword_only_parameters();
    Py_FinalizeEx();
    return checks::summary();
}
