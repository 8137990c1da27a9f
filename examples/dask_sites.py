"""Amplification factors for many sites on several processes with Dask.

The sites are split into chunks along their one axis; each chunk is an independent call of a
_utils function (the functions pickle by reference), and the chunks' rows are stacked again.

    python examples/dask_sites.py --sites 2000000 --chunk 100000 --workers 4 --output factors.npz
"""

import argparse

import dask
import dask.array as da
import numpy as np

import _utils

MODELS = {
    "cb14": (_utils._campbell_bozorgnia_2014, 22),
    "ba18": (_utils._bayless_abrahamson_2018_eas, 301),
}


def random_sites(n, seed):
    rng = np.random.default_rng(seed)
    return rng.uniform(150, 1500, n), rng.uniform(150, 1500, n), rng.uniform(0, 1.5, n)


def amplify_in_chunks(function, columns, vs30, vs30_sim, pga):
    """A lazy (n, columns) Dask array: one call of `function` per chunk of sites."""
    return da.map_blocks(function, vs30, vs30_sim, pga, new_axis=1,
                         chunks=(vs30.chunks[0], (columns,)), dtype=np.float64)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sites", type=int, default=200_000)
    parser.add_argument("--chunk", type=int, default=20_000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--output", default="factors.npz")
    args = parser.parse_args()

    inputs = random_sites(args.sites, args.seed)
    vs30, vs30_sim, pga = (da.from_array(column, chunks=args.chunk) for column in inputs)
    lazy = {name: amplify_in_chunks(function, columns, vs30, vs30_sim, pga)
            for name, (function, columns) in MODELS.items()}
    with dask.config.set(scheduler="processes", num_workers=args.workers):
        results = dict(zip(lazy, dask.compute(*lazy.values())))
    np.savez(args.output, vs30=inputs[0], vs30_sim=inputs[1], pga=inputs[2], **results)
    shapes = ", ".join(f"{name} {value.shape}" for name, value in results.items())
    print(f"{args.sites} sites in chunks of {args.chunk} on {args.workers} processes: {shapes} -> {args.output}")


if __name__ == "__main__":
    main()
