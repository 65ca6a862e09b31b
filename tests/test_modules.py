"""The module tree: the five modules under their package and bare names, and the exported symbols."""

import importlib
import importlib.machinery
import json
import shutil
import subprocess
import textwrap

import pytest

import talvenor
import talvenor._talvenor
from conftest import MODULE_NAMES, extension_path, load_extension, run_python

CONSTANT_NAMES = [
    "pi", "avogadro", "boltzmann", "electron_charge", "faraday", "gas_constant", "gravity",
    "planck", "speed_of_light", "stefan_boltzmann", "t_reference", "t_normal", "p_normal",
]
EXPECTED_ALL = {
    "_talvenor": ["version", "constants", "__version__"],
    "constants": CONSTANT_NAMES + [n.upper() for n in CONSTANT_NAMES],
    "diffusion": ["PreExponentialFactor", "ActivationEnergy", "ArrheniusModifiedDiffusivity"],
    "slycke": ["create_carbon_diffusivity", "create_nitrogen_diffusivity"],
    "calphad": None,
}
MODULE_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


@pytest.fixture(params=["talvenor.", ""], ids=["package", "bare"])
def module_of(request, bare_modules_dir):
    """A getter of a module by bare name: imported from the package, or loaded under the bare name."""
    def get(name):
        if request.param:
            return importlib.import_module(request.param + name)
        return load_extension(name, bare_modules_dir / (name + importlib.machinery.EXTENSION_SUFFIXES[0]))

    get.prefix = request.param
    return get


@pytest.mark.parametrize("name", MODULE_NAMES)
def test_all_order_doc_and_name(module_of, name):
    module = module_of(name)
    assert module.__name__ == module_of.prefix + name
    assert module.__doc__ == ""
    names = getattr(module, "__all__", None)
    assert names == EXPECTED_ALL[name] and type(names) is type(EXPECTED_ALL[name])


def test_calphad_holds_nothing(module_of):
    assert set(vars(module_of("calphad"))) == MODULE_ATTRIBUTES


def test_top_level_contents(module_of):
    top = module_of("_talvenor")
    for name in ("diffusion", "slycke", "calphad"):
        assert not hasattr(top, name)
    assert top.__version__ == "1.0.0" and type(top.__version__) is str
    first, second = top.version(), top.version()
    assert first == second == "1.0.0" and type(first) is str and first is not second
    version = top.version
    assert (version.__name__, version.__text_signature__, version.__doc__) == (
        "version", "()", "Version of talvenor.")
    assert (version.__self__, version.__module__) == (None, top.__name__)


def test_functions_report_their_module(module_of):
    constants, slycke = module_of("constants"), module_of("slycke")
    for name in CONSTANT_NAMES:
        assert getattr(constants, name).__module__ == constants.__name__
    for name in EXPECTED_ALL["slycke"]:
        factory = getattr(slycke, name)
        assert (factory.__module__, factory.__self__) == (slycke.__name__, None)
        assert (factory.__text_signature__, factory.__doc__) == ("()", None)


def test_constants_submodule_is_one_object_per_process(module_of):
    submodule = module_of("_talvenor").constants
    assert submodule is talvenor._talvenor.constants
    assert submodule.__name__ == "constants"
    assert submodule.pi.__module__ == "constants"
    assert submodule is not talvenor.constants
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("talvenor._talvenor.constants")


def test_reimport_keeps_the_constants_object():
    result = run_python(textwrap.dedent("""
        import importlib, sys
        import talvenor._talvenor as first
        del sys.modules["talvenor._talvenor"]
        second = importlib.import_module("talvenor._talvenor")
        assert second is not first
        assert second.constants is first.constants
        print("ok")
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


def test_bare_imports_in_fresh_process(bare_modules_dir):
    result = run_python(textwrap.dedent("""
        import json
        import _talvenor, constants, diffusion, slycke, calphad
        out = {m.__name__: getattr(m, "__all__", None)
               for m in (_talvenor, constants, diffusion, slycke, calphad)}
        try:
            import _talvenor.constants
        except ModuleNotFoundError as e:
            out["dotted"] = str(e)
        out["version_module"] = _talvenor.version.__module__
        print(json.dumps(out))
    """), path=bare_modules_dir)
    assert result.returncode == 0, result.stderr
    facts = json.loads(result.stdout)
    assert facts.pop("version_module") == "_talvenor"
    assert "not a package" in facts.pop("dotted")
    assert facts == EXPECTED_ALL


@pytest.mark.parametrize("function", [talvenor._talvenor.version, talvenor.slycke.create_carbon_diffusivity,
                                      talvenor.slycke.create_nitrogen_diffusivity], ids=lambda f: f.__name__)
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((None, None), {})])
def test_no_argument_functions_reject_arguments(function, args, kwargs):
    with pytest.raises(TypeError, match=rf"{function.__name__}\(\) takes no (keyword )?arguments"):
        function(*args, **kwargs)


def test_exports_only_the_five_entry_points():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not available")
    listing = subprocess.run([nm, "-D", "--defined-only", extension_path()],
                             capture_output=True, text=True, check=True).stdout
    symbols = {line.split()[-1].split("@")[0] for line in listing.splitlines() if line.strip()}
    assert symbols == {f"PyInit_{name}" for name in MODULE_NAMES}


def test_class_objects_shared_across_diffusion_modules():
    bare = load_extension("diffusion")
    assert bare is not talvenor.diffusion and bare.__name__ == "diffusion"
    for name in EXPECTED_ALL["diffusion"]:
        cls = getattr(bare, name)
        assert cls is getattr(talvenor.diffusion, name)
        assert (cls.__module__, cls.__qualname__) == ("builtins", name)


def test_factory_type_without_diffusion_imported(bare_modules_dir):
    result = run_python(textwrap.dedent("""
        import sys
        import slycke
        assert "diffusion" not in sys.modules
        results = [slycke.create_carbon_diffusivity(), slycke.create_nitrogen_diffusivity()]
        kinds = {f"{type(r).__module__}.{type(r).__qualname__}" for r in results}
        import diffusion
        print(sorted(kinds), all(type(r) is diffusion.ArrheniusModifiedDiffusivity for r in results))
    """), path=bare_modules_dir)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "['builtins.ArrheniusModifiedDiffusivity'] True\n"


def test_subinterpreter_import_is_refused():
    pytest.importorskip("_testcapi")
    result = run_python(textwrap.dedent("""
        import _testcapi
        import talvenor._talvenor as top
        status = _testcapi.run_in_subinterp("import talvenor._talvenor")
        print(status, top.version(), top.constants.pi())
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout == "-1 1.0.0 3.141592653589793\n"
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: PyO3 modules do not yet support subinterpreters, see ")
    assert len(last) > len("ImportError: PyO3 modules do not yet support subinterpreters, see ")
