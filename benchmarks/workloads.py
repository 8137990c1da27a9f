"""The models under test, one for each model of vs30amp.MODELS, and the site sets they are measured on."""

from dataclasses import dataclass

import numpy as np

import _utils
import numpy_models
import vs30amp


@dataclass(frozen=True)
class Model:
    label: str
    module: object     # the module's function
    numpy: object      # the NumPy formulation, or None for a model without one
    columns: int
    sizes: tuple       # numbers of sites measured; the last is the one the targets refer to


def sizes(columns):
    """The numbers of sites measured: up to 100,000 for a short grid, 20,000 for a long one (a
    call of the largest n then makes a result of a few tens of MiB)."""
    return (1, 10, 100, 1_000, 10_000, 100_000 if columns <= 32 else 20_000)


def benchmarked(name, model):
    """`model` as the benchmark measures it: `_utils`' function where it has the model, the
    package's native kernel otherwise; its NumPy formulation is the function of
    benchmarks/numpy_models.py named after it."""
    module = getattr(_utils, model.utils[0]) if model.utils is not None else model.kernel
    columns = model.frequencies.size
    return Model(name.upper(), module, getattr(numpy_models, name, None), columns, sizes(columns))


MODELS = {name: benchmarked(name, model) for name, model in vs30amp.MODELS.items()}

# Site classes: a handful of Vs30 values (m/s) that site and simulation velocities are drawn from.
SITE_CLASSES = np.array([180.0, 270.0, 360.0, 490.0, 760.0, 1100.0, 1500.0])
# The one simulation Vs30 of the "same simulation Vs30" workload.
SHARED_SIMULATION_VS30 = 500.0

WORKLOADS = {
    "random": "Vs30 and simulation Vs30 uniform in 150-1500 m/s, PGA uniform in 0-1.5 g",
    "same_sim": f"as random, but one simulation Vs30 ({SHARED_SIMULATION_VS30:g} m/s) for every site",
    "site_classes": f"Vs30 and simulation Vs30 drawn from {len(SITE_CLASSES)} class values, PGA as random",
    "stiff": "Vs30 uniform in 1000-1500 m/s, simulation Vs30 and PGA as random",
}


def sites(workload, n, seed):
    """(vs30, vs30_sim, pga) of n sites, each a contiguous float64 array."""
    rng = np.random.default_rng(seed)
    vs30 = rng.uniform(150.0, 1500.0, n)
    vs30_sim = rng.uniform(150.0, 1500.0, n)
    pga = rng.uniform(0.0, 1.5, n)
    if workload == "same_sim":
        vs30_sim = np.full(n, SHARED_SIMULATION_VS30)
    elif workload == "site_classes":
        vs30 = rng.choice(SITE_CLASSES, n)
        vs30_sim = rng.choice(SITE_CLASSES, n)
    elif workload == "stiff":
        vs30 = rng.uniform(1000.0, 1500.0, n)
    elif workload != "random":
        raise ValueError(workload)
    return vs30, vs30_sim, pga
