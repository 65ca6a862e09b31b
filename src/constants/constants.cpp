// Module `constants`: thirteen physical and mathematical constants, each as a
// float attribute and as a function returning the same stored double.
#include "module.hpp"

#include <array>

namespace talvenor {

namespace {

constexpr double PI = 3.141592653589793;
constexpr double AVOGADRO = 6.02214076e+23;
constexpr double BOLTZMANN = 1.380649e-23;
constexpr double ELECTRON_CHARGE = 1.602176634e-19;
constexpr double FARADAY = 96485.33212;
constexpr double GAS_CONSTANT = 8.31446261815324;
constexpr double GRAVITY = 9.80665;
constexpr double PLANCK = 6.62607015e-34;
constexpr double SPEED_OF_LIGHT = 299792458.0;
constexpr double STEFAN_BOLTZMANN = 5.670374419e-08;
constexpr double T_REFERENCE = 298.15;
constexpr double T_NORMAL = 273.15;
constexpr double P_NORMAL = 101325.0;

template <double Value>
std::expected<Ref, PyErr> constant()
{
    return make_float(Value);
}

template <double Value>
constexpr PyMethodDef constant_function(const char* name, const char* doc)
{
    return {name, noargs_entry<constant<Value>>, METH_NOARGS | METH_STATIC, doc};
}

PyMethodDef functions[] = {
    constant_function<PI>("pi", "pi()\n--\n\nMathematical constant \u03c0 (pi).\n\nFunctional alias for constants.PI."),
    constant_function<AVOGADRO>("avogadro", "avogadro()\n--\n\nAvogadro's number [1/mol].\n\n"
                                            "Functional alias for constants.AVOGADRO."),
    constant_function<BOLTZMANN>("boltzmann", "boltzmann()\n--\n\nBoltzmann constant [J/K].\n\n"
                                              "Functional alias for constants.BOLTZMANN."),
    constant_function<ELECTRON_CHARGE>("electron_charge", "electron_charge()\n--\n\nElementary charge [C].\n\n"
                                                          "Functional alias for constants.ELECTRON_CHARGE."),
    constant_function<FARADAY>("faraday", "faraday()\n--\n\nFaraday constant [C/mol].\n\n"
                                          "Functional alias for constants.FARADAY."),
    constant_function<GAS_CONSTANT>("gas_constant", "gas_constant()\n--\n\nUniversal gas constant [J/(mol\u00b7K)].\n\n"
                                                    "Functional alias for constants.GAS_CONSTANT."),
    constant_function<GRAVITY>("gravity", "gravity()\n--\n\nConventional gravitational acceleration on Earth "
                                          "[m/s\u00b2].\n\nFunctional alias for constants.GRAVITY."),
    constant_function<PLANCK>("planck", "planck()\n--\n\nPlanck constant [J\u00b7s].\n\n"
                                        "Functional alias for constants.PLANCK."),
    constant_function<SPEED_OF_LIGHT>("speed_of_light", "speed_of_light()\n--\n\nSpeed of light in vacuum [m/s].\n\n"
                                                        "Functional alias for constants.SPEED_OF_LIGHT."),
    constant_function<STEFAN_BOLTZMANN>("stefan_boltzmann",
                                        "stefan_boltzmann()\n--\n\nStefan-Boltzmann constant [W/(m\u00b2\u00b7K\u2074)].\n\n"
                                        "Functional alias for constants.STEFAN_BOLTZMANN."),
    constant_function<T_REFERENCE>("t_reference", "t_reference()\n--\n\nThermodynamic reference temperature [K].\n\n"
                                                  "Functional alias for constants.T_REFERENCE."),
    constant_function<T_NORMAL>("t_normal", "t_normal()\n--\n\nNormal state reference temperature [K].\n\n"
                                            "Functional alias for constants.T_NORMAL."),
    constant_function<P_NORMAL>("p_normal", "p_normal()\n--\n\nNormal state reference pressure [Pa].\n\n"
                                            "Functional alias for constants.P_NORMAL."),
};

struct Attribute {
    const char* name;
    double value;
};

constexpr std::array<Attribute, 13> attributes = {{
    {"PI", PI},
    {"AVOGADRO", AVOGADRO},
    {"BOLTZMANN", BOLTZMANN},
    {"ELECTRON_CHARGE", ELECTRON_CHARGE},
    {"FARADAY", FARADAY},
    {"GAS_CONSTANT", GAS_CONSTANT},
    {"GRAVITY", GRAVITY},
    {"PLANCK", PLANCK},
    {"SPEED_OF_LIGHT", SPEED_OF_LIGHT},
    {"STEFAN_BOLTZMANN", STEFAN_BOLTZMANN},
    {"T_REFERENCE", T_REFERENCE},
    {"T_NORMAL", T_NORMAL},
    {"P_NORMAL", P_NORMAL},
}};

}  // namespace

std::expected<void, PyErr> add_constants(PyObject* module)
{
    for (PyMethodDef& function : functions) {
        if (auto added = add_function(module, &function); !added) {
            return added;
        }
    }
    for (const Attribute& attribute : attributes) {
        if (auto added = add(module, attribute.name, make_float(attribute.value).get()); !added) {
            return added;
        }
    }
    return {};
}

}  // namespace talvenor
