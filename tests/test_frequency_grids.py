"""The two frequency-grid functions: values, array properties and independence of results."""

import numpy as np
import pytest

import _utils
from published_grids import BA18_FREQUENCIES, CB14_FREQUENCIES

GRIDS = [
    pytest.param(_utils._campbell_bozorgnia_2014_frequencies, CB14_FREQUENCIES, id="cb14"),
    pytest.param(_utils._bayless_abrahamson_2018_frequencies, BA18_FREQUENCIES, id="ba18"),
]


@pytest.mark.parametrize("grid, expected", GRIDS)
def test_values(grid, expected):
    values = grid()
    assert values.shape == (len(expected),)
    # Exact equality, element by element: the grids are the listed doubles.
    assert values.tolist() == expected


@pytest.mark.parametrize("grid, expected", GRIDS)
def test_array_properties(grid, expected):
    values = grid()
    assert type(values) is np.ndarray
    assert values.dtype == np.dtype(np.float64) and values.dtype.isnative
    assert values.ndim == 1 and values.strides == (8,)
    assert values.flags.owndata and values.base is None
    assert values.flags.writeable and values.flags.c_contiguous and values.flags.aligned


@pytest.mark.parametrize("grid, expected", GRIDS)
def test_each_call_returns_an_independent_array(grid, expected):
    first, second = grid(), grid()
    assert first is not second
    assert not np.shares_memory(first, second)
    first[:] = -1.0
    first[0] = np.nan
    assert second.tolist() == expected
    assert grid().tolist() == expected


@pytest.mark.parametrize("grid, expected", GRIDS)
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((None,), {}), ((), {"x": 1})])
def test_arguments_are_refused(grid, expected, args, kwargs):
    with pytest.raises(TypeError, match="takes no (keyword )?arguments"):
        grid(*args, **kwargs)
