"""Amplification factors (and amplified records) for many sites on a Dask cluster.

vs30amp.distributed splits the sites into chunks; each chunk is one in-process call on a worker,
so the results equal one direct call bit for bit. Without --scheduler the example starts a local
cluster (a scheduler and --workers processes on 127.0.0.1); with it, it uses a running one.

    python examples/dask_sites.py --sites 2000000 --chunk 100000 --workers 4 --output factors.npz
    python examples/dask_sites.py --scheduler tcp://scheduler-host:8786 --records 5000 --output factors.npz
"""

import argparse

import dask.array as da
import numpy as np
from dask.distributed import Client, LocalCluster

import vs30amp.distributed as vd


def random_sites(n, seed):
    rng = np.random.default_rng(seed)
    return rng.uniform(150, 1500, n), rng.uniform(150, 1500, n), rng.uniform(0, 1.5, n)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sites", type=int, default=200_000)
    parser.add_argument("--chunk", type=int, default=20_000, help="sites per chunk")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster")
    parser.add_argument("--scheduler", help="address of a running scheduler (default: a local cluster)")
    parser.add_argument("--records", type=int, default=0, help="also amplify random records at the first sites")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--output", default="factors.npz")
    args = parser.parse_args()

    inputs = random_sites(args.sites, args.seed)
    vs30, vs30_sim, pga = (da.from_array(column, chunks=args.chunk) for column in inputs)
    lazy = {name: vd.amplification(vs30, vs30_sim, pga, model=name) for name in ("cb14", "ba18")}
    if args.records:
        acc = da.random.default_rng(args.seed).standard_normal((args.records, 4000), chunks=(100, 4000)) * 0.05
        lazy["acc"] = acc
        lazy["amplified"] = vd.amplify_waveforms(acc, 0.005, vs30[:args.records], vs30_sim[:args.records],
                                                     fmax=25.0)  # the simulation's maximum frequency

    if args.scheduler:
        cluster, client = None, Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, host="127.0.0.1", dashboard_address=None)
        client = Client(cluster)
    try:
        results = dict(zip(lazy, client.compute(list(lazy.values()), sync=True)))
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    np.savez(args.output, vs30=inputs[0], vs30_sim=inputs[1], pga=inputs[2], **results)
    shapes = ", ".join(f"{name} {value.shape}" for name, value in results.items())
    print(f"{args.sites} sites in chunks of {args.chunk}: {shapes} -> {args.output}")


if __name__ == "__main__":
    main()
