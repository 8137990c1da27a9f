"""Binding and acceptance of the arguments of the amplification functions, and their errors."""

import array
import sys

import numpy as np
import pytest

from call_helpers import AMPLIFIERS, amplifier, assert_same_bits, marked_values, raw_bytes, sites
from call_messages import PARAMETERS, message, missing, refused_note

pytestmark = pytest.mark.parametrize("name, F", AMPLIFIERS)


class SiteArray(np.ndarray):
    """An ndarray subclass, as user code might pass."""


def raises_exactly(exc_type, message, call, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        call(*args, **kwargs)
    e = info.value
    assert type(e) is exc_type
    assert str(e) == message
    assert e.__cause__ is None
    return e


def binding_error(f, message, *args, **kwargs):
    e = raises_exactly(TypeError, message, f, *args, **kwargs)
    assert getattr(e, "__notes__", None) is None


def refusal(f, parameter, message, *args, **kwargs):
    e = raises_exactly(TypeError, message, f, *args, **kwargs)
    assert e.__notes__ == [refused_note(parameter)]


# ---- binding -----------------------------------------------------------------------------


def test_positional_and_keyword_mixes_give_equal_results(name, F):
    f = amplifier(name)
    a, b, c = sites(6)
    expected = f(a, b, c)
    assert expected.shape == (6, F)
    calls = [
        lambda: f(a, b, pga_py=c),
        lambda: f(a, vs30_sim_py=b, pga_py=c),
        lambda: f(a, pga_py=c, vs30_sim_py=b),
        lambda: f(vs30_py=a, vs30_sim_py=b, pga_py=c),
        lambda: f(pga_py=c, vs30_py=a, vs30_sim_py=b),
        lambda: f(vs30_sim_py=b, pga_py=c, vs30_py=a),
        lambda: f(*(a, b), **{"pga_py": c}),
    ]
    for call in calls:
        assert_same_bits(call(), expected)
    # The inputs are not interchangeable, so a slot mix-up would have shown above.
    assert not np.array_equal(f(b, a, c), expected)
    assert not np.array_equal(f(a, b, b / 1000.0), expected)


@pytest.mark.parametrize("extra", [1, 2, 5])
def test_too_many_positional_arguments(name, F, extra):
    f = amplifier(name)
    a, b, c = sites(3)
    given = 3 + extra
    expected = message("too many", function=name, given=given)
    args = (a, b, c) + (a,) * extra
    binding_error(f, expected, *args)
    # Reported before any keyword is looked at, and before any argument is examined.
    binding_error(f, expected, *args, vs30_py=a)
    binding_error(f, expected, *args, bogus=a)
    binding_error(f, expected, *((None,) * given))


@pytest.mark.parametrize(
    "keyword",
    ["vs30", "VS30_PY", "vs30_py_", "", "pga_py\x00", "vs30_pé", "\udcff"],
)
def test_unexpected_keyword(name, F, keyword):
    f = amplifier(name)
    a, b, c = sites(3)
    expected = message("unexpected keyword", function=name, name=keyword)
    binding_error(f, expected, a, b, c, **{keyword: a})
    # Reported before the missing arguments, and before any argument is examined.
    binding_error(f, expected, **{keyword: a})
    binding_error(f, expected, None, **{keyword: None})
    binding_error(f, expected, None, None, None, **{keyword: None})


def test_keywords_are_checked_in_call_order(name, F):
    f = amplifier(name)
    a, b, c = sites(3)
    binding_error(f, message("unexpected keyword", function=name, name="bogus"), a, bogus=c, vs30_py=b)
    binding_error(f, message("given twice", function=name, name="vs30_py"), a, vs30_py=b, bogus=c)
    binding_error(f, message("unexpected keyword", function=name, name="first"), first=a, second=b)


@pytest.mark.parametrize(
    "npos, keyword",
    [
        (1, "vs30_py"),
        (2, "vs30_py"),
        (2, "vs30_sim_py"),
        (3, "vs30_py"),
        (3, "vs30_sim_py"),
        (3, "pga_py"),
    ],
)
def test_argument_given_twice(name, F, npos, keyword):
    f = amplifier(name)
    values = sites(3)
    expected = message("given twice", function=name, name=keyword)
    # With fewer than three positional values this is still "multiple values", not "missing".
    binding_error(f, expected, *values[:npos], **{keyword: values[0]})
    binding_error(f, expected, *((None,) * npos), **{keyword: None})


@pytest.mark.parametrize(
    "npos, keywords, absent",
    [
        (0, (), ("vs30_py", "vs30_sim_py", "pga_py")),
        (1, (), ("vs30_sim_py", "pga_py")),
        (2, (), ("pga_py",)),
        (0, ("pga_py",), ("vs30_py", "vs30_sim_py")),
        (0, ("vs30_sim_py",), ("vs30_py", "pga_py")),
        (0, ("vs30_py", "pga_py"), ("vs30_sim_py",)),
        (1, ("pga_py",), ("vs30_sim_py",)),
    ],
)
def test_missing_arguments(name, F, npos, keywords, absent):
    f = amplifier(name)
    values = dict(zip(PARAMETERS, sites(3)))
    args = [values[p] for p in PARAMETERS[:npos]]
    kwargs = {k: values[k] for k in keywords}
    binding_error(f, missing(name, absent), *args, **kwargs)
    # Missing arguments are reported before the given ones are examined.
    binding_error(f, missing(name, absent), *([None] * npos), **dict.fromkeys(keywords, [1.0]))


# ---- acceptance --------------------------------------------------------------------------

NOT_ARRAY = message("refused", type="ndarray")
NOT_LIST = message("refused", type="list")
NOT_NONE = message("refused None")

V3 = [300.0, 400.0, 500.0]

REFUSED = [
    pytest.param(lambda: V3, NOT_LIST, id="list"),
    pytest.param(lambda: None, NOT_NONE, id="None"),
    pytest.param(lambda: 1.0, message("refused", type="float"), id="float"),
    pytest.param(lambda: np.float64(1.0), message("refused", type="float64"), id="np.float64"),
    pytest.param(lambda: array.array("d", V3), message("refused", type="array"), id="array.array"),
    pytest.param(lambda: np.array(V3, np.float32), NOT_ARRAY, id="float32"),
    pytest.param(lambda: np.array(V3, np.int64), NOT_ARRAY, id="int64"),
    pytest.param(lambda: np.array(V3, np.complex128), NOT_ARRAY, id="complex128"),
    pytest.param(lambda: np.array(300.0), NOT_ARRAY, id="0-D"),
    pytest.param(lambda: np.array([V3]), NOT_ARRAY, id="2-D"),
    pytest.param(lambda: np.array(V3, ">f8"), NOT_ARRAY, id="big-endian-f8"),
    pytest.param(
        lambda: np.array([V3]).view(SiteArray), message("refused", type="SiteArray"), id="2-D-subclass"
    ),
]


@pytest.mark.parametrize("make, message", REFUSED)
@pytest.mark.parametrize("position", range(3))
def test_refused_argument(name, F, make, message, position):
    f = amplifier(name)
    values = list(sites(3))
    values[position] = make()
    parameter = PARAMETERS[position]
    refusal(f, parameter, message, *values)
    refusal(f, parameter, message, **dict(zip(PARAMETERS, values)))
    # A later call with good arguments is unaffected.
    assert f(*sites(3)).shape == (3, F)


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda v: v.view(SiteArray), id="subclass"),
        pytest.param(lambda v: v.view(np.dtype(np.float64, metadata={"unit": "m/s"})), id="dtype-with-metadata"),
        pytest.param(lambda v: v.astype("=f8"), id="native-order-spelled-out"),
    ],
)
def test_accepted_variants(name, F, make):
    f = amplifier(name)
    values = sites(4)
    expected = f(*values)
    for position in range(3):
        args = list(values)
        args[position] = make(args[position].copy())
        result = f(*args)
        assert type(result) is np.ndarray
        assert_same_bits(result, expected)


def test_first_refused_argument_in_parameter_order_is_reported(name, F):
    f = amplifier(name)
    a, b, c = sites(3)
    refusal(f, "vs30_py", NOT_LIST, [1.0], b, None)
    refusal(f, "vs30_sim_py", NOT_NONE, a, None, [1.0])
    refusal(f, "vs30_py", message("refused", type="float"), 1.0, 2.0, 3.0)
    # Acceptance follows the parameter order, not the order of the call.
    refusal(f, "vs30_py", NOT_LIST, pga_py=None, vs30_sim_py=b, vs30_py=[1.0])
    refusal(f, "vs30_sim_py", NOT_ARRAY, pga_py=None, vs30_py=a, vs30_sim_py=np.ones(3, np.float32))


def test_refusal_comes_before_length_mismatch(name, F):
    f = amplifier(name)
    a, b, c = sites(3)
    refusal(f, "pga_py", NOT_NONE, a, b[:2], None)
    refusal(f, "vs30_py", NOT_ARRAY, np.ones(5, np.int64), b[:2], c)
    refusal(f, "vs30_sim_py", NOT_ARRAY, a[:1], np.ones((3, 1)), c[:2])


def test_missing_comes_before_refusal(name, F):
    f = amplifier(name)
    binding_error(f, missing(name, ["pga_py"]), None, vs30_sim_py=[1.0])
    binding_error(f, missing(name, ["vs30_sim_py", "pga_py"]), [1.0])


@pytest.mark.parametrize("lengths", [(3, 3, 2), (3, 2, 3), (2, 3, 3), (0, 3, 3), (3, 3, 0), (1, 0, 1)])
def test_length_mismatch(name, F, lengths):
    f = amplifier(name)
    values = [v[:k] for v, k in zip(sites(3), lengths)]
    e = raises_exactly(ValueError, message("lengths differ"), f, *values)
    assert getattr(e, "__notes__", None) is None


@pytest.mark.parametrize(
    "build",
    [
        pytest.param(lambda a, b, c: (a, b, c[:-1]), id="length-mismatch"),
        pytest.param(lambda a, b, c: (a, b, [1.0]), id="refused-pga"),
        pytest.param(lambda a, b, c: (a, b[::-1].astype(np.float32), c), id="refused-vs30-sim"),
        pytest.param(lambda a, b, c: (a, b, c, a), id="too-many"),
        pytest.param(lambda a, b, c: (a, b), id="missing"),
    ],
)
def test_inputs_unchanged_and_released_after_failure(name, F, build):
    f = amplifier(name)
    # Strided views over larger buffers, so writes into the gaps are caught too.
    a = marked_values(16, 1)[::2]
    b = marked_values(16, 2)[::-2]
    c = marked_values(8, 3)
    before = [raw_bytes(x) for x in (a, b, c)]
    counts = [sys.getrefcount(x) for x in (a, b, c)]
    for _ in range(50):
        with pytest.raises((TypeError, ValueError)):
            f(*build(a, b, c))
    assert [raw_bytes(x) for x in (a, b, c)] == before
    # The accepted inputs are held only for the duration of the call.
    assert [sys.getrefcount(x) for x in (a, b, c)] == counts
