"""The layers of talvenor.process: every import points down, and none goes round a circle.

Read from the sources with ``ast``, so that imports under ``TYPE_CHECKING``
and inside functions count as well as those a run makes.
"""

import ast
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[1] / "python" / "talvenor" / "process"

# Bottom to top; a module belongs to the first layer whose prefix its name has.
LAYERS = [
    ("units", "_validate", "_search", "standards"),
    ("model",),
    ("schedule",),
    ("solvers",),
    ("results",),
    ("simulation",),
    ("metallurgy",),
    ("requirements",),
    ("verdicts",),
    ("variation",),
    ("recipe",),
    ("pipeline",),
    ("design", "studies"),
    ("io",),
    ("present",),
    ("cli", "__main__"),
    ("__init__",),
]

# The conveniences kept on Result, which call the layers above when called.
UPWARD_CALLS = {("results", "metallurgy.hardening"), ("results", "verdicts"), ("results", "present.plot")}


def modules():
    """Module name (relative to the package, "a.b") to its source path."""
    found = {}
    for path in PACKAGE.rglob("*.py"):
        parts = path.relative_to(PACKAGE).with_suffix("").parts
        found[".".join(parts[:-1] if parts[-1] == "__init__" and len(parts) > 1 else parts)] = path
    return found


MODULES = modules()


def layer(name):
    return next(number for number, prefixes in enumerate(LAYERS)
                if any(name == prefix or name.startswith(prefix + ".") for prefix in prefixes))


def imports(name, path):
    """The package's modules that ``name`` imports: (target, at module level or under TYPE_CHECKING)."""
    package = [] if name == "__init__" else name.split(".") if path.name == "__init__.py" else name.split(".")[:-1]
    tree = ast.parse(path.read_text(encoding="utf-8"))
    functions = {node for function in ast.walk(tree) if isinstance(function, (ast.FunctionDef, ast.AsyncFunctionDef))
                 for node in ast.walk(function) if node is not function}
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.level:
            base = package[:len(package) - node.level + 1] if node.level > 1 else package
            if node.level > len(package) + 1:
                continue  # beyond the package: talvenor's own modules
            target = ".".join([*base, *(node.module.split(".") if node.module else [])])
            for alias in node.names:
                submodule = f"{target}.{alias.name}" if target else alias.name
                yield (submodule if submodule in MODULES else target or "__init__"), node not in functions
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            named = [node.module] if isinstance(node, ast.ImportFrom) else [alias.name for alias in node.names]
            for module in named:
                if module and module.startswith("talvenor.process"):
                    yield module.removeprefix("talvenor.process").lstrip(".") or "__init__", node not in functions


EDGES = {(name, target, top) for name, path in MODULES.items() for target, top in imports(name, path)}


def test_every_module_has_a_layer():
    assert {name: layer(name) for name in MODULES}


@pytest.mark.parametrize("name, target, top", sorted(EDGES))
def test_imports_point_down(name, target, top):
    assert target in MODULES, f"{name} imports {target}, which is not a module of the package"
    if top:
        assert layer(target) <= layer(name), f"{name} imports {target}, a layer above it"
    else:
        assert layer(target) <= layer(name) or (name, target) in UPWARD_CALLS, \
            f"{name} imports {target}, a layer above it, within a function"


def test_no_import_goes_round_a_circle():
    graph = {}
    for name, target, top in EDGES:
        if top and target != name:
            graph.setdefault(name, set()).add(target)
    done, path = set(), []

    def visit(name):
        if name in path:
            pytest.fail(" -> ".join([*path[path.index(name):], name]))
        if name not in done:
            path.append(name)
            for target in sorted(graph.get(name, ())):
                visit(target)
            path.pop()
            done.add(name)

    for name in sorted(MODULES):
        visit(name)


def test_the_imports_are_found():
    # Were the parsing blind, every test above would pass on any package.
    assert ("results", "schedule.stage", True) in EDGES
    assert ("results", "metallurgy.hardening", False) in EDGES
    assert ("solvers.run", "solvers.grid", True) in EDGES
