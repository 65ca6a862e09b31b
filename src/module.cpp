// The five module definitions and their entry points, and the operations that
// fill a module when the interpreter runs its execution step.
#include "module.hpp"

#include <cstdint>

namespace talvenor {

namespace {

constexpr std::string_view version_text = TALVENOR_VERSION;

constexpr const char* subinterpreter_message =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

// A module definition, plus what making it into a submodule needs: the module
// made from it (once per process) and the one interpreter allowed to do so.
struct ModuleDefinition {
    constexpr ModuleDefinition(const char* name, PyModuleDef_Slot* slots) noexcept
        : def{
              .m_base = PyModuleDef_HEAD_INIT,
              .m_name = name,
              .m_doc = "",
              .m_size = 0,
              .m_methods = nullptr,
              .m_slots = slots,
              .m_traverse = nullptr,
              .m_clear = nullptr,
              .m_free = nullptr,
          }
    {
    }

    PyModuleDef def;
    std::atomic<std::int64_t> owner{-1};
    OnceCell made;
};

OnceCell namespace_type;

std::expected<void, PyErr> check_module(PyObject* module)
{
    if (!module) {
        return Unexpected(PyErr::fetch());
    }
    if (!PyModule_Check(module)) {
        return Unexpected(PyErr::cast_error(module, &PyModule_Type));
    }
    return {};
}

// The module made from `definition` for use as a submodule: created on the
// first call, the same object afterwards.
std::expected<Ref, PyErr> make_module(ModuleDefinition& definition)
{
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        return Unexpected(PyErr::fetch());
    }
    std::int64_t owner = -1;
    if (!definition.owner.compare_exchange_strong(owner, interpreter) && owner != interpreter) {
        return Unexpected(PyErr::new_err(PyExc_ImportError, subinterpreter_message));
    }

    auto simple_namespace = namespace_type.get_or_try_init([]() -> std::expected<Ref, PyErr> {
        Ref types = Ref::steal(PyImport_ImportModule("types"));
        Ref type = types ? Ref::steal(PyObject_GetAttrString(types.get(), "SimpleNamespace")) : Ref();
        if (!type) {
            return Unexpected(PyErr::fetch());
        }
        return type;
    });
    if (!simple_namespace) {
        return forward_error(simple_namespace);
    }
    Ref keywords = Ref::steal(PyDict_New());
    if (!keywords) {
        return Unexpected(PyErr::fetch());
    }
    Ref name = make_str(definition.def.m_name);
    if (PyDict_SetItemString(keywords.get(), "name", name.get()) < 0) {
        return Unexpected(PyErr::fetch());
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) {
        null_result();
    }
    Ref module_spec = Ref::steal(PyObject_Call(*simple_namespace, no_args.get(), keywords.get()));
    if (!module_spec) {
        return Unexpected(PyErr::fetch());
    }

    auto module = definition.made.get_or_try_init([&]() -> std::expected<Ref, PyErr> {
        Ref created = Ref::steal(PyModule_FromDefAndSpec2(&definition.def, module_spec.get(), PYTHON_API_VERSION));
        if (!created) {
            return Unexpected(PyErr::fetch());
        }
        if (auto checked = check_module(created.get()); !checked) {
            return forward_error(checked);
        }
        if (PyModule_ExecDef(created.get(), &definition.def) != 0) {
            return Unexpected(PyErr::fetch());
        }
        return created;
    });
    if (!module) {
        return forward_error(module);
    }
    return Ref::borrow(*module);
}

std::expected<Ref, PyErr> version()
{
    return make_str(format("{}", version_text));
}

PyMethodDef version_function = {"version", noargs_entry<version>, METH_NOARGS | METH_STATIC,
                                "version()\n--\n\nVersion of talvenor."};

// Each execution step checks its module, then adds its contents in order.
template <std::expected<void, PyErr> (*Fill)(PyObject*)>
int exec_entry(PyObject* module)
{
    return trampoline([module]() -> std::expected<void, PyErr> {
        if (auto checked = check_module(module); !checked) {
            return checked;
        }
        return Fill(module);
    });
}

std::expected<void, PyErr> fill_constants(PyObject* module)
{
    return add_constants(module);
}

std::expected<void, PyErr> fill_diffusion(PyObject* module)
{
    for (LazyType* type : {&pre_exponential_factor_type(), &activation_energy_type(),
                           &arrhenius_modified_diffusivity_type()}) {
        if (auto added = add_class(module, *type); !added) {
            return added;
        }
    }
    return {};
}

std::expected<void, PyErr> fill_slycke(PyObject* module)
{
    for (PyMethodDef& function : slycke_functions()) {
        if (auto added = add_function(module, &function); !added) {
            return added;
        }
    }
    return {};
}

std::expected<void, PyErr> fill_calphad(PyObject*)
{
    return {};
}

std::expected<void, PyErr> fill_talvenor(PyObject* module);

PyModuleDef_Slot talvenor_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_entry<fill_talvenor>)}, {0, nullptr}};
PyModuleDef_Slot constants_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_entry<fill_constants>)}, {0, nullptr}};
PyModuleDef_Slot diffusion_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_entry<fill_diffusion>)}, {0, nullptr}};
PyModuleDef_Slot slycke_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_entry<fill_slycke>)}, {0, nullptr}};
PyModuleDef_Slot calphad_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_entry<fill_calphad>)}, {0, nullptr}};

constinit ModuleDefinition talvenor_module{"_talvenor", talvenor_slots};
constinit ModuleDefinition constants_module{"constants", constants_slots};
constinit ModuleDefinition diffusion_module{"diffusion", diffusion_slots};
constinit ModuleDefinition slycke_module{"slycke", slycke_slots};
constinit ModuleDefinition calphad_module{"calphad", calphad_slots};

std::expected<void, PyErr> fill_talvenor(PyObject* module)
{
    if (auto added = add_function(module, &version_function); !added) {
        return added;
    }
    auto constants = make_module(constants_module);
    if (!constants) {
        return forward_error(constants);
    }
    if (auto added = add_submodule(module, constants->get()); !added) {
        return added;
    }
    return add(module, "__version__", make_str(version_text).get());
}

}  // namespace

// ---------------------------------------------------------------------------
// Module-building operations

std::expected<void, PyErr> add(PyObject* module, std::string_view name, PyObject* value)
{
    return add(module, make_str(name).get(), value);
}

std::expected<void, PyErr> add(PyObject* module, PyObject* name, PyObject* value)
{
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (all && !PyList_Check(all.get())) {
        return Unexpected(PyErr::cast_error(all.get(), &PyList_Type));
    }
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return Unexpected(PyErr::fetch());
        }
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all) {
            null_result();
        }
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return Unexpected(PyErr::fetch());
        }
    }
    if (PyList_Append(all.get(), name) < 0) {
        fault("could not append __name__ to __all__: " + text_of(PyErr::fetch().value()));
    }
    if (PyObject_SetAttr(module, name, value) < 0) {
        return Unexpected(PyErr::fetch());
    }
    return {};
}

std::expected<void, PyErr> add_function(PyObject* module, PyMethodDef* definition)
{
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) {
        return Unexpected(PyErr::fetch());
    }
    Ref function = Ref::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
    if (!function) {
        return Unexpected(PyErr::fetch());
    }
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) {
        return Unexpected(PyErr::fetch());
    }
    if (!PyUnicode_Check(name.get())) {
        return Unexpected(PyErr::cast_error(name.get(), &PyUnicode_Type));
    }
    return add(module, name.get(), function.get());
}

std::expected<void, PyErr> add_class(PyObject* module, LazyType& type)
{
    auto created = type.get_fallible();
    if (!created) {
        return forward_error(created);
    }
    return add(module, type.name(), reinterpret_cast<PyObject*>(*created));
}

std::expected<void, PyErr> add_submodule(PyObject* parent, PyObject* child)
{
    Ref name = Ref::steal(PyModule_GetNameObject(child));
    if (!name) {
        return Unexpected(PyErr::fetch());
    }
    const std::string full_name = utf8_lossy(name.get());
    const std::size_t dot = full_name.rfind('.');
    return add(parent, dot == std::string::npos ? full_name : full_name.substr(dot + 1), child);
}

}  // namespace talvenor

PyMODINIT_FUNC PyInit__talvenor()
{
    return PyModuleDef_Init(&talvenor::talvenor_module.def);
}

PyMODINIT_FUNC PyInit_constants()
{
    return PyModuleDef_Init(&talvenor::constants_module.def);
}

PyMODINIT_FUNC PyInit_diffusion()
{
    return PyModuleDef_Init(&talvenor::diffusion_module.def);
}

PyMODINIT_FUNC PyInit_slycke()
{
    return PyModuleDef_Init(&talvenor::slycke_module.def);
}

PyMODINIT_FUNC PyInit_calphad()
{
    return PyModuleDef_Init(&talvenor::calphad_module.def);
}
