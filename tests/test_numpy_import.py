"""The one-time import of NumPy's array API table: laziness, failure reporting and version checks.

Every test runs in a child interpreter, since the table is imported once per process.
"""

import textwrap

import pytest

from subprocess_helpers import BLOCK_NUMPY, INTERNAL_ERROR_PREFIX, run_child_report

ALL_NAMES = [
    "_bayless_abrahamson_2018_eas",
    "_bayless_abrahamson_2018_frequencies",
    "_campbell_bozorgnia_2014_frequencies",
    "_campbell_bozorgnia_2014",
]


def assert_internal_error(result, *fragments):
    assert result["kind"] == "base_exception", result
    assert result["type"] == "InternalError"
    assert result["qualname"] == "InternalError"
    assert result["module"] == "_utils"
    assert result["direct_base_exception"]
    assert result["args_are_one_str"]
    assert result["message"].startswith(INTERNAL_ERROR_PREFIX), result["message"]
    for fragment in fragments:
        assert fragment in result["message"]


def assert_ba18_grid(result):
    assert result["kind"] == "ok", result
    assert result["type"] == "numpy.ndarray"
    assert len(result["values"]) == 301
    assert result["values"][0] == 0.1 and result["values"][-1] == 100.0


def test_import_defers_numpy_to_first_call():
    observed = run_child_report("""
        import _utils
        after_import = "numpy" in sys.modules
        grid = outcome(_utils._campbell_bozorgnia_2014_frequencies)
        report(after_import=after_import, after_call="numpy" in sys.modules, grid=grid)
    """)
    assert observed["after_import"] is False
    assert observed["grid"]["kind"] == "ok", observed["grid"]
    assert observed["after_call"] is True


@pytest.mark.parametrize(
    "name, args",
    [
        ("_bayless_abrahamson_2018_frequencies", ()),
        ("_campbell_bozorgnia_2014_frequencies", ()),
        ("_campbell_bozorgnia_2014", ([760.0], [760.0], [0.1])),
        ("_bayless_abrahamson_2018_eas", ([760.0], [760.0], [0.1])),
    ],
)
def test_without_numpy(name, args):
    observed = run_child_report(BLOCK_NUMPY + f"""
import _utils

def internal_error_classes():
    return [c for c in BaseException.__subclasses__()
            if c.__module__ == "_utils" and c.__name__ == "InternalError"]

imported = dict(
    all=_utils.__all__,
    doc=_utils.__doc__,
    numpy_loaded="numpy" in sys.modules,
    classes_before=len(internal_error_classes()),
)
first = outcome(_utils.{name}, *{args!r})
second = outcome(_utils.{name}, *{args!r})
other_grid = outcome(_utils._campbell_bozorgnia_2014_frequencies)
exposed = [n for n in dir(_utils) if "InternalError" in n]
BLOCKER.active = False
after_unblocking = outcome(_utils._bayless_abrahamson_2018_frequencies)
report(imported=imported, first=first, second=second, other_grid=other_grid,
       classes_after=len(internal_error_classes()), exposed=exposed,
       after_unblocking=after_unblocking)
""")
    imported = observed["imported"]
    assert imported["all"] == ALL_NAMES
    assert imported["doc"] == ""
    assert imported["numpy_loaded"] is False
    # The exception class does not exist before it is first needed.
    assert imported["classes_before"] == 0

    first = observed["first"]
    assert_internal_error(first, "numpy", "ModuleNotFoundError")
    # The cause's type and text alone: no traceback, and no guesses of the traceback formatter,
    # which differ from run to run.
    assert first["message"] == INTERNAL_ERROR_PREFIX + "ModuleNotFoundError: No module named 'numpy'"
    doc = first["doc"]
    assert isinstance(doc, str) and "BaseException" in doc
    # The failed import is retried on every call, with the one exception class.
    for later in (observed["second"], observed["other_grid"]):
        assert_internal_error(later, "No module named 'numpy'")
        assert later["class_id"] == first["class_id"]
    assert observed["classes_after"] == 1
    assert observed["exposed"] == []

    assert_ba18_grid(observed["after_unblocking"])


# ---- NumPy packages that stand in for the real one ----------------------------------------


def make_fake_numpy(root, *, major, core=True, underscore_core=True):
    """A `numpy` package under root whose NumpyVersion reports `major` (numpy.lib.MAJOR).

    numpy.core.multiarray._ARRAY_API is an int, numpy._core.multiarray._ARRAY_API a float, so
    the refusal message tells which of the two was read.
    """
    package = root / "numpy"
    (package / "lib").mkdir(parents=True)
    (package / "__init__.py").write_text('__version__ = "9.8.7"\n')
    (package / "lib" / "__init__.py").write_text(textwrap.dedent(f"""
        MAJOR = {major!r}
        seen_versions = []

        class NumpyVersion:
            def __init__(self, vstring):
                seen_versions.append(vstring)
                self.major = MAJOR
    """))
    for present, sub, value in ((core, "core", "7"), (underscore_core, "_core", "7.5")):
        if present:
            (package / sub).mkdir()
            (package / sub / "__init__.py").write_text("")
            (package / sub / "multiarray.py").write_text(f"_ARRAY_API = {value}\n")


FAKE_NUMPY_CHILD = """
sys.path.insert(0, {root!r})
import _utils

def loaded():
    return sorted(n for n in sys.modules if n.endswith("multiarray"))

first = outcome(_utils._bayless_abrahamson_2018_frequencies)
observed = dict(first=first, loaded=loaded(),
                versions=list(sys.modules["numpy.lib"].seen_versions),
                numpy_file=sys.modules["numpy"].__file__)
"""

INT_REFUSED = "'int' object is not an instance of 'PyCapsule'"
FLOAT_REFUSED = "'float' object is not an instance of 'PyCapsule'"


@pytest.mark.parametrize(
    "major, module, message",
    [
        (0, "numpy.core.multiarray", INT_REFUSED),
        (1, "numpy.core.multiarray", INT_REFUSED),
        (2, "numpy._core.multiarray", FLOAT_REFUSED),
        (3, "numpy._core.multiarray", FLOAT_REFUSED),
        (255, "numpy._core.multiarray", FLOAT_REFUSED),
    ],
)
def test_numpy_version_selects_core_package(tmp_path, major, module, message):
    make_fake_numpy(tmp_path, major=major)
    observed = run_child_report(FAKE_NUMPY_CHILD.format(root=str(tmp_path)) + "report(**observed)")
    assert observed["numpy_file"].startswith(str(tmp_path))
    assert observed["versions"] == ["9.8.7"]
    assert observed["loaded"] == [module]
    assert_internal_error(observed["first"], "TypeError", message)


# After a first call: the fake NumPy now reports major version 2, and the grid is asked for again.
CALL_AGAIN_AS_NUMPY_2 = """
sys.modules["numpy.lib"].MAJOR = 2
observed["second"] = outcome(_utils._bayless_abrahamson_2018_frequencies)
observed["versions_after"] = list(sys.modules["numpy.lib"].seen_versions)
observed["loaded_after"] = loaded()
report(**observed)
"""


@pytest.mark.parametrize(
    "major, error",
    [(256, "OverflowError"), (-1, "OverflowError"), ("2", "TypeError"), (2.0, "TypeError")],
)
def test_unusable_numpy_version_is_retried(tmp_path, major, error):
    make_fake_numpy(tmp_path, major=major)
    observed = run_child_report(FAKE_NUMPY_CHILD.format(root=str(tmp_path)) + CALL_AGAIN_AS_NUMPY_2)
    assert_internal_error(observed["first"], error)
    assert observed["loaded"] == []
    # Nothing was kept from the failed attempt: the second one reads the version again.
    assert observed["versions_after"] == ["9.8.7", "9.8.7"]
    assert_internal_error(observed["second"], FLOAT_REFUSED)
    assert observed["loaded_after"] == ["numpy._core.multiarray"]


def test_core_package_name_is_kept_after_a_later_failure(tmp_path):
    make_fake_numpy(tmp_path, major=1)
    observed = run_child_report(FAKE_NUMPY_CHILD.format(root=str(tmp_path)) + CALL_AGAIN_AS_NUMPY_2)
    assert_internal_error(observed["first"], INT_REFUSED)
    assert_internal_error(observed["second"], INT_REFUSED)
    assert observed["versions_after"] == ["9.8.7"]
    assert observed["loaded_after"] == ["numpy.core.multiarray"]


def test_missing_core_package_names_the_module(tmp_path):
    make_fake_numpy(tmp_path, major=2, underscore_core=False)
    observed = run_child_report(FAKE_NUMPY_CHILD.format(root=str(tmp_path)) + "report(**observed)")
    assert_internal_error(observed["first"], "ModuleNotFoundError", "numpy._core")


# ---- the array API table of the real NumPy, replaced from ctypes ---------------------------

# Imports the real NumPy and makes fake API tables: copies of the real table's first 283 entries
# (all that the module uses) with entries 0 (ABI version), 210 (endianness) and 211 (feature
# version) answered by ctypes callbacks. Setting numpy._core.multiarray._ARRAY_API decides what
# the module finds on its first call.
FAKE_TABLE_CHILD = r"""
import ctypes
import numpy
import numpy._core.multiarray as multiarray

REAL_CAPSULE = multiarray._ARRAY_API
MISSING = object()

PyCapsule_New = ctypes.pythonapi.PyCapsule_New
PyCapsule_New.restype = ctypes.py_object
PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
PyCapsule_GetPointer = ctypes.pythonapi.PyCapsule_GetPointer
PyCapsule_GetPointer.restype = ctypes.c_void_p
PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

REAL_TABLE = ctypes.cast(PyCapsule_GetPointer(REAL_CAPSULE, None), ctypes.POINTER(ctypes.c_void_p))
KEEP_ALIVE = []


def fake_table(abi, endianness, feature):
    table = (ctypes.c_void_p * 400)()
    for i in range(283):
        table[i] = REAL_TABLE[i]
    callbacks = [
        (0, ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: abi)),
        (210, ctypes.CFUNCTYPE(ctypes.c_int)(lambda: endianness)),
        (211, ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: feature)),
    ]
    for index, callback in callbacks:
        table[index] = ctypes.cast(callback, ctypes.c_void_p).value
    KEEP_ALIVE.append((table, callbacks))
    return PyCapsule_New(ctypes.addressof(table), None, None)


def named_capsule():
    name = b"numpy._core._multiarray_umath._ARRAY_API"
    KEEP_ALIVE.append(name)
    return PyCapsule_New(PyCapsule_GetPointer(REAL_CAPSULE, None), name, None)


import _utils
"""

ABI_REFUSED = "module compiled against ABI version 0x2000000 but this version of numpy is 0x{:x}"
FEATURE_REFUSED = (
    "module was compiled against NumPy C-API version 0xc (NumPy 1.15) "
    "but the running NumPy has C-API version 0x{:x}"
)
ENDIAN_REFUSED = "module compiled as little endian, but detected different endianness at runtime"

REFUSED = [
    pytest.param("fake_table(0x2000001, 1, 0x13)", ["RuntimeError", ABI_REFUSED.format(0x2000001)],
                 id="abi-too-new"),
    pytest.param("fake_table(0xfffffffe, 1, 0x13)", [ABI_REFUSED.format(0xfffffffe)],
                 id="abi-unsigned"),
    pytest.param("fake_table(0x1000009, 1, 11)", ["RuntimeError", FEATURE_REFUSED.format(11)],
                 id="feature-too-old"),
    pytest.param("fake_table(0x2000000, 1, 0)", [FEATURE_REFUSED.format(0)], id="feature-zero"),
    pytest.param("fake_table(0x2000000, 2, 12)", ["RuntimeError", ENDIAN_REFUSED], id="big-endian"),
    pytest.param("fake_table(0x2000000, 0, 12)", [ENDIAN_REFUSED], id="unknown-endian"),
    # The checks run in order: ABI, then feature version, then byte order.
    pytest.param("fake_table(0x2000001, 2, 11)", [ABI_REFUSED.format(0x2000001)], id="abi-first"),
    pytest.param("fake_table(0x2000000, 2, 11)", [FEATURE_REFUSED.format(11)], id="feature-second"),
    pytest.param("named_capsule()", ["ValueError", "PyCapsule_GetPointer called with incorrect name"],
                 id="named-capsule"),
    pytest.param("3", ["TypeError", INT_REFUSED], id="int"),
    pytest.param("None", ["TypeError", "'None' is not an instance of 'PyCapsule'"], id="none"),
    pytest.param("MISSING", ["AttributeError", "_ARRAY_API"], id="missing"),
]


@pytest.mark.parametrize("bad_value, fragments", REFUSED)
def test_refused_array_api_then_recovery(bad_value, fragments):
    observed = run_child_report(FAKE_TABLE_CHILD + f"""
bad_value = {bad_value}
if bad_value is MISSING:
    del multiarray._ARRAY_API
else:
    multiarray._ARRAY_API = bad_value
refused = outcome(_utils._bayless_abrahamson_2018_frequencies)
multiarray._ARRAY_API = REAL_CAPSULE
recovered = outcome(_utils._bayless_abrahamson_2018_frequencies)
report(refused=refused, recovered=recovered)
""")
    assert_internal_error(observed["refused"], *fragments)
    # A refusal caches nothing: once the table is usable, the next call succeeds.
    assert_ba18_grid(observed["recovered"])


@pytest.mark.parametrize(
    "abi, feature",
    [(0x1000009, 12), (0x2000000, 12), (0x2000000, 0x7FFFFFFF)],
)
def test_accepted_array_api_is_kept(abi, feature):
    observed = run_child_report(FAKE_TABLE_CHILD + f"""
multiarray._ARRAY_API = fake_table({abi}, 1, {feature})
first = outcome(_utils._bayless_abrahamson_2018_frequencies)
# Once accepted, the table is never looked up again.
multiarray._ARRAY_API = 3
second = outcome(_utils._campbell_bozorgnia_2014_frequencies)
report(first=first, second=second)
""")
    assert_ba18_grid(observed["first"])
    assert observed["second"]["kind"] == "ok", observed["second"]
    assert len(observed["second"]["values"]) == 22
