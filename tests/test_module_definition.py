"""What the interpreter sees of the module: its functions, both entry points, the execution
step, the exported symbols and the refusal to load in a second interpreter."""

import ctypes
import importlib
import importlib.util
import inspect
import shutil
import subprocess
import sys
import types

import pytest

import _utils
from subprocess_helpers import run_child_report

ALL_NAMES = [
    "_bayless_abrahamson_2018_eas",
    "_bayless_abrahamson_2018_frequencies",
    "_campbell_bozorgnia_2014_frequencies",
    "_campbell_bozorgnia_2014",
]

SIGNATURES = {
    "_bayless_abrahamson_2018_eas": "(vs30_py, vs30_sim_py, pga_py)",
    "_bayless_abrahamson_2018_frequencies": "()",
    "_campbell_bozorgnia_2014_frequencies": "()",
    "_campbell_bozorgnia_2014": "(vs30_py, vs30_sim_py, pga_py)",
}

# PYTHON_API_VERSION of CPython 3.15 (patchlevel.h).
PYTHON_API_VERSION = 1013


def assert_module_shape(module, name="_utils"):
    assert module.__name__ == name
    assert type(module.__all__) is list
    assert module.__all__ == ALL_NAMES
    assert module.__doc__ == ""
    public = sorted(n for n in vars(module) if not n.startswith("__"))
    assert public == sorted(ALL_NAMES)
    for fname, signature in SIGNATURES.items():
        function = getattr(module, fname)
        assert type(function) is types.BuiltinFunctionType
        assert function.__name__ == fname
        assert function.__text_signature__ == signature
        assert function.__module__ == name
    grid = module._campbell_bozorgnia_2014_frequencies()
    assert grid.shape == (22,) and grid[0] == 0.1 and grid[-1] == 1000.0


def test_module_shape():
    assert_module_shape(_utils)


@pytest.mark.parametrize("name, signature", list(SIGNATURES.items()))
def test_function_attributes(name, signature):
    function = getattr(_utils, name)
    assert function.__qualname__ == name
    assert function.__doc__ is None
    assert function.__self__ is None
    parameters = inspect.signature(function).parameters
    assert str(inspect.signature(function)) == signature
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters.values())
    assert all(p.default is inspect.Parameter.empty for p in parameters.values())


# ---- the execution step on module objects made from the import spec ----------------------


def fresh_module():
    spec = importlib.util.find_spec("_utils")
    return spec, importlib.util.module_from_spec(spec)


def test_exec_refuses_a_non_list_all():
    spec, module = fresh_module()
    module.__all__ = ("existing",)
    with pytest.raises(TypeError) as excinfo:
        spec.loader.exec_module(module)
    assert str(excinfo.value) == "'tuple' object is not an instance of 'list'"
    assert module.__all__ == ("existing",)


class ListSubclass(list):
    pass


@pytest.mark.parametrize("existing", [[], ["existing", "names"], ListSubclass(["existing"])])
def test_exec_appends_to_an_existing_all(existing):
    spec, module = fresh_module()
    original = list(existing)
    module.__all__ = existing
    spec.loader.exec_module(module)
    assert module.__all__ is existing
    assert existing == original + ALL_NAMES
    first_binding = module._campbell_bozorgnia_2014
    # Nothing checks for names already present: running the execution step again (the import
    # system would not) appends them again and rebinds the functions.
    module_exec = ctypes.pythonapi.PyModule_Exec
    module_exec.argtypes = [ctypes.py_object]
    module_exec.restype = ctypes.c_int
    assert module_exec(module) == 0
    assert existing == original + ALL_NAMES + ALL_NAMES
    assert module._campbell_bozorgnia_2014 is not first_binding
    for name in ALL_NAMES:
        assert getattr(module, name).__module__ == "_utils"


def test_exec_passes_on_a_failing_all_lookup():
    class Module(types.ModuleType):
        @property
        def __all__(self):
            raise LookupError("no list here")

    spec, module = fresh_module()
    module.__class__ = Module
    with pytest.raises(LookupError, match="no list here"):
        spec.loader.exec_module(module)


def test_exec_creates_all_when_absent():
    spec, module = fresh_module()
    assert not hasattr(module, "__all__")
    spec.loader.exec_module(module)
    assert_module_shape(module)
    assert module._bayless_abrahamson_2018_frequencies is not _utils._bayless_abrahamson_2018_frequencies


def test_reimport_gives_a_new_working_module(monkeypatch):
    monkeypatch.delitem(sys.modules, "_utils")
    again = importlib.import_module("_utils")
    assert again is not _utils
    assert again.__all__ is not _utils.__all__
    assert_module_shape(again)
    assert_module_shape(_utils)


def test_init_hook_builds_the_same_module():
    library = ctypes.PyDLL(_utils.__file__)
    init = library.PyInit__utils
    init.argtypes = []
    init.restype = ctypes.py_object
    definition = init()
    assert type(definition).__name__ == "moduledef"

    from_def = ctypes.pythonapi.PyModule_FromDefAndSpec2
    from_def.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_int]
    from_def.restype = ctypes.py_object
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes = [ctypes.py_object, ctypes.py_object]
    exec_def.restype = ctypes.c_int

    module = from_def(definition, importlib.util.find_spec("_utils"), PYTHON_API_VERSION)
    assert type(module) is types.ModuleType
    assert not hasattr(module, "__all__")
    assert exec_def(module, definition) == 0
    assert module is not _utils
    assert_module_shape(module)


def test_exports_exactly_the_two_entry_points():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", _utils.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = sorted(line.split()[-1] for line in listing.splitlines() if line.strip())
    assert symbols == ["PyInit__utils", "PyModExport__utils"]


# ---- other interpreters -------------------------------------------------------------------

SUBINTERPRETER_CHILD = """
import _interpreters
try:
    from concurrent import interpreters
except ImportError:
    report(unavailable=True)
    raise SystemExit(0)

IMPORT = "import sys\\nsys.path[:0] = " + repr({path!r}) + "\\nimport _utils"
LEFT_BEHIND = "import sys\\nassert '_utils' not in sys.modules, 'left in sys.modules'"
STEPS = (IMPORT, LEFT_BEHIND, IMPORT)

def failure(info):
    return None if info is None else [info.type.__name__, info.msg]

def isolated():
    interp = interpreters.create()
    results = []
    for code in STEPS:
        try:
            interp.exec(code)
        except interpreters.ExecutionFailed as exc:
            results.append(failure(exc.excinfo))
        else:
            results.append(None)
    interp.close()
    return results

def low_level(config):
    iid = _interpreters.create(config)
    try:
        return [failure(_interpreters.exec(iid, code)) for code in STEPS]
    finally:
        _interpreters.destroy(iid)

if {main_first!r}:
    import _utils
observed = dict(
    isolated=isolated(),
    isolated_shared_gil=low_level(_interpreters.new_config("isolated", gil="shared")),
    legacy=low_level("legacy"),
)
import _utils
observed["main_all"] = _utils.__all__
observed["main_grid"] = outcome(_utils._campbell_bozorgnia_2014_frequencies)
report(**observed)
"""

OURS = ["ImportError", "_utils can only be imported in the main interpreter"]
# An interpreter with its own GIL refuses the module before it runs: the module does not declare
# support for a per-interpreter GIL.
INTERPRETERS_REFUSAL = ["ImportError", "module _utils does not support loading in subinterpreters"]


@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "sub-first"])
def test_second_interpreter_is_refused(main_first):
    observed = run_child_report(
        SUBINTERPRETER_CHILD.format(path=sys.path, main_first=main_first)
    )
    if observed.get("unavailable"):
        pytest.skip("concurrent.interpreters is not available")
    for kind in ("isolated_shared_gil", "legacy"):
        assert observed[kind] == [OURS, None, OURS], kind
    first, left_behind, again = observed["isolated"]
    assert first in (OURS, INTERPRETERS_REFUSAL)
    assert left_behind is None and again == first
    assert observed["main_all"] == ALL_NAMES
    assert observed["main_grid"]["kind"] == "ok", observed["main_grid"]
    assert len(observed["main_grid"]["values"]) == 22
