"""The model constants that data/model_constants.csv stores as computed doubles.

The kernels, the plain transcription and the reference all read these literal doubles, so a
wrong digit in one would pass every agreement test; here each is recomputed from the published
values it is derived from."""

import math

import pytest

import reference_models as ref

K = ref.CONSTANTS
PGA_ROW = -1  # CB14's PGA is its last row

DERIVED = {
    "CB14_MINUS_LN_NL_AMPLITUDE": lambda: -math.log(K["CB14_NL_AMPLITUDE"]),
    "CB14_PGA_LINEAR_SLOPE": lambda: ref.CB14_C11[PGA_ROW] + ref.CB14_K2[PGA_ROW] * K["CB14_NL_EXPONENT"],
    "CB14_ROCK_SITE_TERM": lambda: K["CB14_PGA_LINEAR_SLOPE"] * math.log(K["CB14_ROCK_VS30"] / ref.CB14_K1[PGA_ROW]),
    "BA18_NL_REFERENCE_OFFSET": lambda: K["BA18_REFERENCE_VS30"] - K["BA18_NL_VS30_SHIFT"],
    "BA18_PGA_REFERENCE_FACTOR": lambda: math.pow(K["BA18_REFERENCE_VS30"] / K["BA18_LINEAR_VS30_LIMIT"],
                                                  ref.BA18_VS30_EXPONENT[ref.BA18_PGA_ROW]),
    "BA18_KAPPA_DIVISOR": lambda: math.exp(3.5),
    "BA18_PUBLISHED_PGA_REFERENCE_FACTOR": lambda: math.pow(K["BA18_PUBLISHED_INTENSITY_VS30"] / K["BA18_LINEAR_VS30_LIMIT"],
                                                            ref.BA18_VS30_EXPONENT[ref.BA18_PGA_ROW]),
    "BA18_PUBLISHED_DECAY_ANCHOR_HZ": lambda: ref.BA18_FREQUENCIES[ref.BA18_LAST_POWER_LAW_ROW],
}


@pytest.mark.parametrize("name", sorted(DERIVED))
def test_stored_double_is_its_derivation(name):
    assert K[name] == DERIVED[name]()


def test_every_computed_constant_has_a_derivation_here():
    computed = {name for name, how in ref.DERIVATIONS.items() if not how.startswith(("published", "chosen"))}
    assert computed == set(DERIVED)


def test_rows_the_kernels_name():
    # The PGA conversion uses the 5.011872 Hz exponent; the decay rows freeze the last exponent
    # below 24 Hz, where the table's exponents end.
    assert ref.BA18_FREQUENCIES[ref.BA18_PGA_ROW] == 5.011872
    last = ref.BA18_LAST_POWER_LAW_ROW
    assert ref.BA18_FREQUENCIES[last] < K["BA18_DECAY_ANCHOR_HZ"] < ref.BA18_FREQUENCIES[last + 1]
    assert not math.isnan(ref.BA18_VS30_EXPONENT[last]) and math.isnan(ref.BA18_VS30_EXPONENT[last + 1])
