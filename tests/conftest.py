"""Shared fixtures: the shared object under its bare module names, and fresh interpreters."""

import importlib.machinery
import importlib.util
import os
import subprocess
import sys

import pytest

#: The five names the shared object answers to.
MODULE_NAMES = ("_talvenor", "constants", "diffusion", "slycke", "calphad")

#: For tests that count the blocks of Python's own allocator, which the
#: sanitizer and valgrind runs replace with malloc (tools/sanitize, tools/valgrind).
needs_python_allocator = pytest.mark.skipif(
    os.environ.get("TALVENOR_SANITIZED") == "1", reason="Python's allocator is replaced by malloc"
)


def extension_path():
    """Path of the installed shared object (imports talvenor only when asked)."""
    import talvenor._talvenor

    return talvenor._talvenor.__file__


def run_python(code, *, path=None, timeout=120):
    """Run ``code`` with ``python -P -c`` in a fresh interpreter of the running executable.

    ``path``, when given, is a directory put first on the child's ``sys.path``
    (through PYTHONPATH, so the code's line numbers are those of ``code``).
    The current directory is never on the child's path.  Returns the
    ``subprocess.CompletedProcess`` with ``stdout`` and ``stderr`` captured as
    text; the caller checks ``returncode`` itself.
    """
    env = dict(os.environ)
    if path is not None:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.fspath(path), env.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-P", "-c", code],
        capture_output=True,
        text=True,
        env=env,
        timeout=timeout,
    )


@pytest.fixture(scope="session")
def bare_modules_dir(tmp_path_factory):
    """A directory holding the shared object, symlinked under each of the five bare module names.

    The links point at the installed file, so loading through them in this
    process reuses the already mapped library and its process-wide objects.
    """
    directory = tmp_path_factory.mktemp("bare_modules")
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    for name in MODULE_NAMES:
        (directory / f"{name}{suffix}").symlink_to(extension_path())
    return directory


def load_extension(name, path=None):
    """Load the shared object (or the file at ``path``) as a new module ``name``, outside ``sys.modules``."""
    found = importlib.util.spec_from_file_location(name, path or extension_path())
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module
