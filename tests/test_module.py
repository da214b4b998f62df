"""The module object itself: its attributes, functions, init-once rule,
internal-failure exception and exported symbols."""
import importlib
import inspect
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import zorv_fast


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


def test_all_lists_both_functions_in_order():
    assert zorv_fast.__all__ == ["sim", "sim_batch"]
    assert type(zorv_fast.__all__) is list


def test_module_docstring_is_one_sentence():
    doc = zorv_fast.__doc__
    assert doc and doc.endswith(".") and "\n" not in doc


@pytest.mark.parametrize("name, parameter, doc", [
    ("sim", "plan", "Simulates a plan and returns the distance traveled."),
    ("sim_batch", "plans",
     "Simulates multiple plans in batches and returns the distances traveled."),
])
def test_function_facts(name, parameter, doc):
    function = getattr(zorv_fast, name)
    assert function.__doc__ == doc
    assert function.__text_signature__ == f"({parameter})"
    assert function.__name__ == name
    assert function.__module__ == "zorv_fast"
    assert function.__self__ is zorv_fast
    params = list(inspect.signature(function).parameters.values())
    assert [p.name for p in params] == [parameter]
    assert params[0].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert params[0].default is inspect.Parameter.empty


def test_panic_exception_is_not_a_module_attribute():
    assert not hasattr(zorv_fast, "PanicException")
    assert not any("anic" in name for name in dir(zorv_fast))


def test_second_initialisation_fails_and_first_module_still_works():
    result = run_python("""
        import sys
        import zorv_fast
        first = zorv_fast
        del sys.modules["zorv_fast"]
        try:
            import zorv_fast
        except ImportError as error:
            print("ImportError:", error)
        print(first.sim([0.0] * 40))
        print(first.sim_batch([[0.0] * 40]))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ImportError: PyO3 modules may only be initialized once per interpreter process",
        "1.9828948004369278",
        "[1.9828948004369278]",
    ]


@pytest.mark.parametrize("module, init", [("zorv_fast", "PyInit_zorv_fast"),
                                          ("zorv._cmaes", "PyInit__cmaes")])
def test_shared_object_exports_only_the_init_function(module, init):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    path = importlib.import_module(module).__file__
    assert os.path.exists(path)
    out = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True,
                         text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == [init]


# The core, the worker pool, the choice of path, the call boundary and the
# internal-failure exception are in one shared library that the three
# modules load, once per process.
NATIVE_MODULES = ("zorv_fast", "zorv._trace", "zorv._cmaes")


def module_file(module):
    return importlib.import_module(module).__file__


def loaded_core_libraries():
    """The files of the core library mapped into this process, once the
    three modules are loaded."""
    for module in NATIVE_MODULES:
        importlib.import_module(module)
    with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
        return {line.split()[-1] for line in maps if "/libzorv_core" in line}


def dynamic_symbols(path, which):
    """The names of the dynamic symbols of `path` that nm lists with `which`
    (--defined-only or --undefined-only)."""
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", which, path], capture_output=True, text=True,
                         check=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


def demangled(names):
    filt = shutil.which("c++filt")
    if filt is None:
        pytest.skip("c++filt is not installed")
    out = subprocess.run([filt], input="\n".join(names), capture_output=True, text=True,
                         check=True).stdout
    return dict(zip(names, out.splitlines()))


def test_every_module_takes_the_core_from_one_library():
    [library] = loaded_core_libraries()
    exported = dynamic_symbols(library, "--defined-only")
    for module in NATIVE_MODULES:
        assert dynamic_symbols(module_file(module), "--undefined-only") & exported, module


def test_the_core_library_exports_only_what_the_modules_call():
    [library] = loaded_core_libraries()
    exported = demangled(sorted(dynamic_symbols(library, "--defined-only")))
    called = set().union(*(dynamic_symbols(module_file(module), "--undefined-only")
                           for module in NATIVE_MODULES))
    assert all(text.startswith(("zorv::", "typeinfo for zorv::", "vtable for zorv::"))
               for text in exported.values()), exported
    # The exception's destructors are reached through its vtable; every other
    # name is one that a module calls, so nothing of the core's insides shows.
    assert {text for name, text in exported.items()
            if name not in called and not text.startswith("zorv::InternalFailure::")} == set()
    assert "zorv::sim::_sim(std::array<double, 40ul>&)" in exported.values()


@pytest.mark.parametrize("text", [
    b"pyo3_runtime.PanicException",                      # the internal-failure class
    b"The global thread pool has not been initialized",  # the worker pool
    b"ZORV_FAST_NO_SIMD",  # the choice of path, which reads the switches for all
    b"ZORV_FAST_LIBRARY_ATAN2",
])
def test_process_wide_parts_are_in_the_core_library_only(text):
    [library] = loaded_core_libraries()
    with open(library, "rb") as file:
        assert text in file.read()
    for module in NATIVE_MODULES:
        with open(module_file(module), "rb") as file:
            assert text not in file.read(), module


@pytest.fixture(scope="module")
def another_builds_library(tmp_path_factory):
    """The core library of a copy of the installation, given another build's
    identity."""
    from installation_support import copy_of_installation, core_library, of_another_build
    library = core_library(copy_of_installation(tmp_path_factory.mktemp("another_build")))
    of_another_build(library)
    return library


def import_in_a_process(modules, env):
    code = f"import {', '.join(modules)}; from zorv import _trace; print(_trace.core_library)"
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=120)


@pytest.mark.parametrize("module", NATIVE_MODULES)
@pytest.mark.parametrize("how", ["its own folder", "LD_PRELOAD"])
def test_a_core_library_of_another_build_is_refused_in_one_line(another_builds_library, module,
                                                                how):
    # The copy's modules load the copy's library, and this installation's
    # the one preloaded in its place: each module's init names the library.
    from installation_support import REINSTALL, environment
    if how == "LD_PRELOAD":
        env = environment(LD_PRELOAD=str(another_builds_library))
    else:
        env = environment(another_builds_library.parents[1])
    result = import_in_a_process([module], env)
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == (
        f"ImportError: {module} cannot use the core library {another_builds_library}: it is "
        f"from another build of zorv_fast; {REINSTALL}")


def test_ld_library_path_does_not_take_the_modules_own_library_from_them(another_builds_library):
    from installation_support import environment
    [own] = loaded_core_libraries()
    result = import_in_a_process(NATIVE_MODULES,
                                 environment(LD_LIBRARY_PATH=str(another_builds_library.parent)))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [own]
