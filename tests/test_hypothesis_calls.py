"""Generated calls of the two amplification functions.

Hypothesis builds arbitrary mixes of positional and keyword arguments (unknown, repeated,
missing and non-string names; names passed through Python call syntax or straight through the
vectorcall protocol) and arbitrary objects and arrays (dtypes, 0-3 dimensions, byte orders,
negative and zero strides, structured fields, read-only arrays, subclasses, lengths that
differ). A small model of the binding and acceptance rules below says what each call must do:
return the matrix of the reference transcription, or raise exactly the exception the first
broken rule gives. The inputs must be unchanged afterwards.
"""

import array
import ctypes

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import _utils
import reference_models as ref
from call_messages import PARAMETERS, message, missing, refused, refused_note
MODELS = {
    "_campbell_bozorgnia_2014": (22, ref.cb14_row),
    "_bayless_abrahamson_2018_eas": (301, ref.ba18_row),
}
FLOAT64 = np.dtype(np.float64)


# ---- the rules ---------------------------------------------------------------------------


class Raises:
    def __init__(self, type_, message, notes=None):
        self.type, self.message, self.notes = type_, message, notes

    def __repr__(self):
        return f"Raises({self.type.__name__}, {self.message!r}, {self.notes!r})"


class Returns:
    def __init__(self, arguments):
        self.arguments = arguments


def str_or_raises(name):
    """str(name), or the exception that str() raises (the binder renders names with it)."""
    try:
        return str(name)
    except Exception as exc:  # noqa: BLE001 - whatever str() raises is what the call raises
        return Raises(type(exc), str(exc))


def parameter_index(name):
    """The parameter a keyword name fills: compared as UTF-8 bytes; non-strings fill none."""
    if not isinstance(name, str):
        return -1
    try:
        encoded = str.encode(name, "utf-8")
    except UnicodeEncodeError:
        return -1
    return next((i for i, p in enumerate(PARAMETERS) if encoded == p.encode()), -1)


def type_error(kind, function, name):
    """The binder's message of `kind` naming the keyword `name`, as str() renders it."""
    rendered = str_or_raises(name)
    if isinstance(rendered, Raises):
        return rendered
    return Raises(TypeError, message(kind, function=function, name=rendered))


def true_ndim_and_dtype(obj):
    """What the array object itself holds, whatever its Python-level attributes claim."""
    return np.ndarray.ndim.__get__(obj), np.ndarray.dtype.__get__(obj)


def accepted(obj):
    if not issubclass(type(obj), np.ndarray):
        return False
    ndim, dtype = true_ndim_and_dtype(obj)
    return ndim == 1 and dtype == FLOAT64


def interpreter_outcome(function, keyword_dicts):
    """What CPython's own call machinery raises before the function runs, for f(*p, **d1, **d2...)."""
    merged = {}
    for d in keyword_dicts:
        for key in d:
            if key in merged:
                rendered = str_or_raises(key)
                if isinstance(rendered, Raises):
                    return rendered
                return Raises(TypeError, f"_utils.{function}() got multiple values for keyword argument '{rendered}'")
            merged[key] = d[key]
    if not all(isinstance(key, str) for key in merged):
        return Raises(TypeError, "keywords must be strings")
    return None


def expected_outcome(function, positional, keywords):
    """The rules of the call path, in their order; keywords as the function receives them."""
    if len(positional) > 3:
        return Raises(TypeError, message("too many", function=function, given=len(positional)))
    bound = dict(enumerate(positional))
    for name, value in keywords:
        index = parameter_index(name)
        if index < 0:
            return type_error("unexpected keyword", function, name)
        if index in bound:
            return type_error("given twice", function, name)
        bound[index] = value
    absent = [p for i, p in enumerate(PARAMETERS) if i not in bound]
    if absent:
        return Raises(TypeError, missing(function, absent))
    arguments = [bound[i] for i in range(3)]
    for parameter, obj in zip(PARAMETERS, arguments):
        if not accepted(obj):
            return Raises(TypeError, refused(obj), [refused_note(parameter)])
    if len({len(np.ndarray.view(a, np.ndarray)) for a in arguments}) != 1:
        return Raises(ValueError, message("lengths differ"))
    return Returns(arguments)


# ---- making the call ---------------------------------------------------------------------

_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]


def call_raw(function, positional, keywords):
    """PyObject_Vectorcall with the keyword names exactly as given (repeats, non-strings)."""
    values = (ctypes.py_object * max(1, len(positional) + len(keywords)))(
        *positional, *(v for _, v in keywords))
    kwnames = tuple(name for name, _ in keywords) or None
    return _vectorcall(function, ctypes.addressof(values), len(positional),
                       None if kwnames is None else id(kwnames))


def call_syntax(function, positional, keyword_dicts):
    d = keyword_dicts
    match len(d):
        case 0:
            return function(*positional)
        case 1:
            return function(*positional, **d[0])
        case 2:
            return function(*positional, **d[0], **d[1])
        case 3:
            return function(*positional, **d[0], **d[1], **d[2])
        case _:
            return function(*positional, **d[0], **d[1], **d[2], **d[3])


def split_into_dicts(keywords):
    """One dict per run of distinct keys: a repeated key starts the next ** argument."""
    dicts = [{}]
    for name, value in keywords:
        if name in dicts[-1]:
            dicts.append({})
        dicts[-1][name] = value
    return dicts if dicts[0] else []


# ---- inputs ------------------------------------------------------------------------------


class Subclass(np.ndarray):
    pass


class Disguised(np.ndarray):
    """Claims one float64 dimension whatever it holds, and pretends to be a list."""

    ndim = 1
    dtype = FLOAT64

    @property
    def __class__(self):
        return list


class Loud(str):
    def __str__(self):
        return "loud!"


class Mute(str):
    def __str__(self):
        raise LookupError("no str for this name")


class Odd:
    pass


Odd.__qualname__ = "Odd.ü name"

floats = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True)
# values in the models' working range, so that most results are ordinary numbers
site_values = st.one_of(floats, st.floats(100.0, 2000.0), st.floats(0.0, 2.0))


@st.composite
def float64_vector(draw, n):
    """An accepted argument: a 1-D float64 array of length n in one of many layouts."""
    layout = draw(st.sampled_from(
        ["contiguous", "reversed", "stepped", "broadcast", "field", "read-only", "foreign buffer",
         "subclass", "masked", "disguised", "metadata dtype"]))
    if layout == "broadcast":
        return np.broadcast_to(np.float64(draw(site_values)), (n,))
    values = np.array(draw(st.lists(site_values, min_size=n, max_size=n)), dtype=np.float64)
    if layout == "reversed":
        return values[::-1].copy()[::-1]
    if layout == "stepped":
        step = draw(st.sampled_from([2, 3, -2]))
        wide = np.zeros(max(1, n * abs(step)))
        view = wide[::step][:n]
        view[...] = values
        return view
    if layout == "field":
        packed = np.zeros(n, dtype=[("tag", "u1"), ("value", "f8"), ("rest", "i2")])
        packed["value"] = values
        return packed["value"]  # byte stride 11, elements unaligned
    if layout == "read-only":
        values.flags.writeable = False
    if layout == "foreign buffer" and n:
        return np.frombuffer(b"\x00" + values.tobytes(), dtype=np.float64, offset=1)
    if layout == "subclass":
        return values.view(Subclass)
    if layout == "masked":
        return np.ma.masked_array(values, mask=[i % 2 == 0 for i in range(n)])
    if layout == "disguised":
        return values.view(Disguised)
    if layout == "metadata dtype":
        return values.astype(np.dtype(np.float64, metadata={"unit": "m/s"}))
    return values


OTHER_DTYPES = ["f4", "f2", "g", ">f8", "i8", "u1", "?", "c16", "O", "U3", "S8", "M8[s]", "V8",
                [("value", "f8")], ("f8", (2,))]


@st.composite
def refused_array(draw, n):
    """A NumPy array that is not a 1-D float64 vector."""
    if draw(st.booleans()):
        dtype = np.dtype(draw(st.sampled_from(OTHER_DTYPES)))
        a = np.zeros(n, dtype=dtype)
        return a[::-1] if draw(st.booleans()) else a
    shape = draw(st.sampled_from([(), (n, 1), (1, n), (n, 2, 1), (0, 3), (2, 0, 1)]))
    a = np.full(shape, draw(site_values))
    return a.view(Subclass) if draw(st.booleans()) else a


def other_objects(n):
    """Objects that are no NumPy array (and one array subclass that is never 1-D)."""
    makers = [
        lambda: None, lambda: 1.0, lambda: 3, lambda: "vs30", lambda: b"", lambda: [500.0] * n,
        lambda: (500.0,) * n, lambda: np.float64(500.0), lambda: {"a": 1}, object, Odd,
        lambda: array.array("d", [500.0] * n), lambda: memoryview(array.array("d", [500.0] * n)),
        lambda: np.ndarray, lambda: FLOAT64, lambda: np.ones((1, n)).view(np.matrix),
    ]
    return st.sampled_from(makers).map(lambda make: make())


def argument(n):
    lengths = st.one_of(st.just(n), st.just(n), st.just(n), st.integers(0, 4))
    return st.one_of(
        lengths.flatmap(float64_vector),
        lengths.flatmap(float64_vector),
        lengths.flatmap(float64_vector),
        lengths.flatmap(refused_array),
        other_objects(n),
    )


STRING_MISNAMES = ["vs30", "VS30_PY", "vs30_py\x00", "pga_py ", " pga_py", "\udc80", "vs30_püy", "", "vs30_sim",
                   Loud("vs30"), Mute("pga")]
OTHER_MISNAMES = [1, None, b"pga_py", 2.5]


def wrong_name(raw):
    """A keyword name that fills no parameter; Python call syntax passes only strings on."""
    return st.sampled_from(STRING_MISNAMES + (OTHER_MISNAMES if raw else [1]))


def spelled(name):
    """A parameter name as a str or a str subclass (which names the same parameter)."""
    return st.sampled_from([name, name, Loud(name), Mute(name), type("Sub", (str,), {})(name)])


@st.composite
def calls(draw):
    """(function name, style, positional values, [(keyword name, value)])."""
    function = draw(st.sampled_from(sorted(MODELS)))
    style = draw(st.sampled_from(["syntax", "raw"]))
    n = draw(st.integers(0, 4))
    values = [draw(argument(n)) for _ in PARAMETERS]
    # A correct call first: some leading parameters by position, the rest by keyword in any order.
    by_position = draw(st.integers(0, 3))
    positional = values[:by_position]
    keywords = [(draw(spelled(PARAMETERS[i])), values[i]) for i in range(by_position, 3)]
    keywords = draw(st.permutations(keywords))
    # Then a few mistakes of any kind.
    for mistake in draw(st.lists(st.sampled_from(
            ["extra positional", "drop keyword", "drop positional", "repeat", "unknown", "reorder"]),
            max_size=2)):
        if mistake == "extra positional":
            positional.append(draw(argument(n)))
        elif mistake == "drop keyword" and keywords:
            keywords.pop(draw(st.integers(0, len(keywords) - 1)))
        elif mistake == "drop positional" and positional:
            positional.pop()
        elif mistake == "repeat":
            name = draw(spelled(draw(st.sampled_from(PARAMETERS))))
            keywords.insert(draw(st.integers(0, len(keywords))), (name, draw(argument(n))))
        elif mistake == "unknown":
            keywords.insert(draw(st.integers(0, len(keywords))), (draw(wrong_name(style == "raw")), values[0]))
        elif mistake == "reorder":
            keywords = draw(st.permutations(keywords))
    return function, style, positional, keywords


# ---- the checks --------------------------------------------------------------------------


def root_buffer(a):
    while isinstance(a, np.ndarray) and a.base is not None:
        a = a.base
    return a.tobytes() if isinstance(a, np.ndarray) else bytes(memoryview(a))


def snapshot(obj):
    if isinstance(obj, np.ndarray):
        plain = np.ndarray.view(obj, np.ndarray)
        return ("array", root_buffer(obj), plain.shape, plain.strides, plain.dtype, plain.flags.writeable,
                plain.__array_interface__["data"][0])
    if isinstance(obj, list):
        return ("list", list(obj))
    return ("other", id(obj))


def assert_same_doubles(got, expected):
    expected = np.array(expected, dtype=np.float64).reshape(got.shape)
    nan = np.isnan(expected)
    assert (np.isnan(got) == nan).all()
    assert (got.view(np.uint64)[~nan] == expected.view(np.uint64)[~nan]).all()


def check_result(function, result, arguments):
    columns, row_of = MODELS[function]
    values = [np.ndarray.view(a, np.ndarray).tolist() for a in arguments]
    assert type(result) is np.ndarray and result.dtype == FLOAT64
    assert result.shape == (len(values[0]), columns)
    assert result.flags.c_contiguous and result.flags.writeable and not result.flags.owndata
    assert type(result.base).__name__ == "PySliceContainer"
    assert_same_doubles(result, [row_of(*site) for site in zip(*values)])


@settings(max_examples=400, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(call=calls())
def test_generated_call(call):
    function_name, style, positional, keywords = call
    function = getattr(_utils, function_name)
    inputs = positional + [v for _, v in keywords]
    before = [snapshot(v) for v in inputs]

    if style == "raw":
        expected = expected_outcome(function_name, positional, keywords)
        invoke = lambda: call_raw(function, positional, keywords)  # noqa: E731
    else:
        dicts = split_into_dicts(keywords)
        expected = interpreter_outcome(function_name, dicts)
        if expected is None:
            merged = [item for d in dicts for item in d.items()]
            expected = expected_outcome(function_name, positional, merged)
        invoke = lambda: call_syntax(function, positional, dicts)  # noqa: E731

    event(f"{style}: {expected.type.__name__ if isinstance(expected, Raises) else 'result'}")
    if isinstance(expected, Raises):
        with pytest.raises(BaseException) as info:
            invoke()
        error = info.value
        assert (type(error), str(error)) == (expected.type, expected.message)
        assert getattr(error, "__notes__", None) == expected.notes
        assert error.__cause__ is None
    else:
        check_result(function_name, invoke(), expected.arguments)

    assert [snapshot(v) for v in inputs] == before
