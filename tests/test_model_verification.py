"""Every model of vs30amp.MODELS against the independent figures its entry names.

A model's entry lists its verification: files under tests/data, each with its provenance in its
header, and the check that compares the model with them (CHECKS below). A model registered
without one fails here; a new model whose figures come in one of these forms adds nothing here.
"""

import csv
import dataclasses
import math
import re
from pathlib import Path

import numpy as np
import pytest

import vs30amp
import vs30amp.cli

DATA = Path(__file__).resolve().parent / "data"
REPO = DATA.parent.parent
INPUTS = ("vs30", "vs30_sim", "pga")


def read_table(name):
    """(comment lines, header, rows of strings) of a CSV under tests/data or data/."""
    with open(DATA / name if (DATA / name).exists() else REPO / "data" / name, newline="") as stream:
        lines = stream.read().splitlines()
    comments = [line for line in lines if line.startswith("#")]
    header, *rows = csv.reader(line for line in lines if not line.startswith("#"))
    return comments, header, rows


def factors(model, verification, sites, y_ref=None):
    """The model's factors of `sites` (a mapping of input name to values) under the figures'
    convention and epsilon, through the public function; an input the model does not take is NaN."""
    n = len(next(iter(sites.values())))
    vs30, vs30_sim, pga = (np.asarray(sites.get(name, np.full(n, math.nan)), dtype=np.float64) for name in INPUTS)
    return vs30amp.amplification(vs30, vs30_sim, pga, model.name, ranges="ignore",
                                 convention=verification.convention, epsilon=verification.epsilon,
                                 y_ref=y_ref).factors


def grid_columns(model, names):
    """The model's grid columns of figures named by period (s, three decimals), or all of them
    in order."""
    periods = {f"{1.0 / f:.3f}": j for j, f in enumerate(model.frequencies)}
    if all(name in periods for name in names):
        return [periods[name] for name in names]
    assert len(names) == model.frequencies.size, names
    return list(range(len(names)))


def check_ln_factors(model, verification):
    """A table of sites (columns named as the inputs) and their ln factors on the model's grid,
    at every grid point in order or at the periods (s) the columns name."""
    _, header, rows = read_table(verification.file)
    given = [column for column in header if column in INPUTS]
    table = np.array(rows, dtype=np.float64)
    theirs = table[:, len(given):]
    columns = grid_columns(model, header[len(given):])
    ours = np.log(factors(model, verification, {name: table[:, i] for i, name in enumerate(given)}))[:, columns]
    difference = np.abs(ours - theirs)
    worst = np.unravel_index(np.argmax(difference), difference.shape)
    assert difference[worst] <= verification.tolerance, (table[worst[0], :len(given)], worst[1], difference[worst])


def print_error(values):
    """Half a unit in the last printed digit (7 significant), relative, for each value."""
    values = np.asarray(values)
    return 0.5e-6 / (values / 10.0 ** np.floor(np.log10(values)))


def check_site_ratios(model, verification):
    """Ground motions of one scenario (the columns before site_vs30) at two sites: PGA, then PSA
    by period (s). Every term but the site term is the same at both, so ln Y(a) - ln Y(b) is
    ln factor(a) - ln factor(b) for any one simulation: its site term cancels, and the PGA its
    nonlinear term sees, which the figures do not print, is fitted to the PGA column; the
    periods test."""
    _, header, rows = read_table(verification.file)
    site = header.index("site_vs30")
    first = header.index("pga")
    columns = [int(np.argmax(model.frequencies))] + grid_columns(model, header[first + 1:])
    scenarios = {}
    for row in rows:
        scenarios.setdefault(tuple(row[:site]), {})[float(row[site])] = np.array(row[first:], dtype=np.float64)
    assert scenarios and all(len(pair) == 2 for pair in scenarios.values())
    for scenario, pair in scenarios.items():
        (soft, soft_y), (stiff, stiff_y) = sorted(pair.items())
        observed = np.log(soft_y) - np.log(stiff_y)

        def predicted(rock_pga):
            both = factors(model, verification, {"vs30": [soft, stiff], "vs30_sim": [stiff, stiff],
                                                 "pga": [rock_pga] * 2})[:, columns]
            return np.log(both[0]) - np.log(both[1])

        low, high = 1e-4, 3.0  # the softer site's relative amplification falls as the rock PGA grows
        for _ in range(200):
            middle = math.sqrt(low * high)
            low, high = (middle, high) if predicted(middle)[0] > observed[0] else (low, middle)
        error = print_error(soft_y) + print_error(stiff_y)
        tolerance = verification.tolerance * (error + 2.0 * error[0])  # the cells' printing and the fitted PGA's
        miss = np.abs(predicted(low) - observed)[1:] / tolerance[1:]
        assert np.all(miss <= 1.0), (scenario, miss)


def check_rock_ln_factors(model, verification):
    """Pairs of rows of a site (vs30, vs30_sim, any optional inputs such as z1 and z1_sim, then
    "y_ref" or "ln_factor"): the model's input per period on the rock, then the ln factors it
    gives, by period (s); an empty figure is not compared."""
    _, header, rows = read_table(verification.file)
    first = header.index("row")
    columns = grid_columns(model, header[first + 1:])
    inputs, figures = rows[0::2], rows[1::2]
    assert [row[first] for row in inputs] == ["y_ref"] * len(inputs) and [row[:first] for row in inputs] == [
        row[:first] for row in figures]
    y_ref = np.full((len(inputs), model.frequencies.size), math.nan)
    y_ref[:, columns] = np.array([row[first + 1:] for row in inputs], dtype=np.float64)
    theirs = np.array([[float(cell) if cell else math.nan for cell in row[first + 1:]] for row in figures])
    sites = np.array([row[:first] for row in inputs], dtype=np.float64)
    optional = {name: sites[:, i] for i, name in enumerate(header[2:first], start=2)}
    ours = np.log(vs30amp.amplification(sites[:, 0], sites[:, 1], None, model.name, ranges="ignore",
                                        convention=verification.convention, y_ref=y_ref,
                                        **optional).factors)[:, columns]
    difference = np.where(np.isnan(theirs), 0.0, np.abs(ours - theirs))
    assert np.isfinite(ours).all() and np.count_nonzero(~np.isnan(theirs)) > theirs.size * 0.8
    worst = np.unravel_index(np.argmax(difference), difference.shape)
    assert difference[worst] <= verification.tolerance, (sites[worst[0]], worst[1], difference[worst])


CHECKS = {"ln_factors": check_ln_factors, "site_ratios": check_site_ratios, "rock_ln_factors": check_rock_ln_factors}

CASES = [pytest.param(model, verification, id=f"{name}-{Path(verification.file).stem}")
         for name, model in vs30amp.MODELS.items() for verification in model.verification]


@pytest.mark.parametrize("name", list(vs30amp.MODELS))
def test_every_model_is_verified_against_independent_figures(name):
    model = vs30amp.MODELS[name]
    assert model.verification, f"{name} has no verification against independent published figures"
    for verification in model.verification:
        comments, _, rows = read_table(verification.file)
        provenance = " ".join(" ".join(line.lstrip("#").split()) for line in comments)
        assert rows and verification.source in provenance, verification  # said in the file's own header
        assert verification.check in CHECKS
        model.kernel_for(verification.convention)


@pytest.mark.parametrize("model, verification", CASES)
def test_model_matches_independent_figures(model, verification):
    CHECKS[verification.check](model, verification)


@pytest.mark.parametrize("name", list(vs30amp.MODELS))
def test_coefficient_table_has_the_declared_columns_one_row_per_grid_point(name):
    model = vs30amp.MODELS[name]
    _, header, rows = read_table(model.coefficients[0])
    assert set(model.coefficients[1:]) <= set(header) and len(rows) == model.frequencies.size


@pytest.mark.parametrize("text", [vs30amp.__doc__, vs30amp.amplification.__doc__, vs30amp._models.MODEL_HELP,
                                  (REPO / "docs" / "index.md").read_text()],
                         ids=["package", "amplification", "command", "home-page"])
def test_every_model_is_named_where_the_models_are_listed(text):
    assert [name for name in vs30amp.MODELS if f'"{name}"' not in text and f"{name} (" not in text] == []


def test_every_model_has_its_section_on_the_models_page():
    headings = re.findall(r"^## (.+)$", (REPO / "docs" / "models.md").read_text(), re.MULTILINE)
    assert [model.label for model in vs30amp.MODELS.values() if model.label not in headings] == []


@pytest.fixture(params=[True, False], ids=["takes-pga", "linear"])
def takes_pga(request, monkeypatch):
    """cb14 as registered, or registered as a model that takes no PGA, as a linear one is."""
    if not request.param:
        model = vs30amp.MODELS["cb14"]
        linear = dataclasses.replace(model, inputs=tuple(given for given in model.inputs if given.name != "pga"))
        monkeypatch.setitem(vs30amp._models.MODELS, "cb14", linear)
    return request.param


def test_a_pga_is_checked_and_demanded_only_of_a_model_that_takes_it(takes_pga, tmp_path, capsys):
    # Sites stiffer than every velocity threshold: the factors do not depend on the PGA.
    sites = ([1200.0, 1300.0], 1100.0, [math.nan, 50.0])
    if takes_pga:
        with pytest.raises(ValueError, match="pga: site 0 has nan g"):
            vs30amp.amplification(*sites, "cb14", ranges="raise")
    else:
        assert np.isfinite(vs30amp.amplification(*sites, "cb14", ranges="raise").factors).all()
    (tmp_path / "sites.csv").write_text("site,vs30\nA,1200\n")
    status = vs30amp.cli.main(["factors", str(tmp_path / "sites.csv"), "--model", "cb14", "--vs30-sim", "1100",
                               "-o", str(tmp_path / "out.csv")])
    assert (status, "missing column 'pga'" in capsys.readouterr().err) == ((2, True) if takes_pga else (0, False))


def test_models_are_named_and_sized_only_in_their_entries():
    """No code outside _models.py chooses by a model's name or writes its grid's size: a new
    model would pass through such a place unseen."""
    names = "|".join(vs30amp.MODELS)
    sizes = "|".join(str(model.frequencies.size) for model in vs30amp.MODELS.values())
    choice = re.compile(rf"""[=!]=\s*["']({names})["']|["']({names})["']\s*[=!]=""", re.IGNORECASE)
    size = re.compile(rf"(?<![\w*.])({sizes})(\)|,\s*\)|\s+(frequencies|periods|centres|columns))")
    package = REPO / "python" / "vs30amp"
    found = [f"{path.relative_to(package)}:{number}: {line.strip()}" for path in sorted(package.rglob("*.py"))
             if path.name != "_models.py" for number, line in enumerate(path.read_text().splitlines(), 1)
             if choice.search(line) or size.search(line)]
    assert found == []
