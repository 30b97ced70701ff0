"""Benchmark of vedovx.dask on a LocalCluster against in-process vedovx, on the 12,800-slope case.

The system is the first case of arrays_bench.py: 39 m telescope, 0.28 central obscuration, 40 x 40
subapertures, four laser guide stars at 90 km on the corners of a +/-15" square, a 40 x 40 truth
sensor, a 41 x 41 mirror and the default profile. Its ReconMatrices are evaluated

1. in process: vedovx.recon_matrices(system, threads=T), T the worker processes times their threads;
2. through vedovx.dask.recon_matrices on a LocalCluster of worker processes (default 2 of 1
   thread), the blocks kept on the workers (persist), from the graph's submission to the last block;

each --repeat times (default 3), in turn, so that both see the same load on a shared machine. It
prints the throughput ratio (the in-process median time / the cluster's), the tasks, the bytes sent to the
workers (by the scheduler, and between workers), the graph's bytes from the client, the time to the
first block, and checks every array gathered back against the in-process one bit for bit. The
figures are of this one run.

    python3 bench/dask_bench.py [--nsubx 40] [--chunk 1600] [--workers 2] [--threads 1] [--repeat 3]
"""

from __future__ import annotations

import argparse
import pickle
import time
from statistics import median
from typing import Any

import numpy as np

FIELDS = ("c_meas_meas", "c_ts_meas", "d_meas_com", "d_ts_com", "p_meas")


def telescope(nsubx: int) -> Any:
    import vedov

    system = vedov.SystemGeom.new_empty()
    system.set_pupil(39.0, 0.28)
    system.set_dt(0.001, 0.002)
    system.add_cov_layer()
    stars = [(-15.0, -15.0), (-15.0, 15.0), (15.0, -15.0), (15.0, 15.0)]
    system.add_meas(39.0, nsubx, stars, 90000.0, [(0.0, 0.0)] * 4, [0.0] * 4, [0.0] * 4)
    system.add_ts(39.0, 40, [(0.0, 0.0)])
    system.add_com(39.0 / 40, 41, (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 1.0)
    return system


def scheduler_bytes(dask_scheduler: Any) -> int:
    """Bytes the scheduler has sent to its workers so far."""
    return sum(stream.byte_count for stream in dask_scheduler.stream_comms.values())


def received_from_workers(dask_worker: Any) -> int:
    """Bytes this worker has fetched from other workers."""
    return sum(entry["total"] for entry in dask_worker.transfer_incoming_log)


def spread(times: list[float]) -> str:
    return ", ".join(f"{t:.2f}" for t in times) + " s"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--nsubx", type=int, default=40)
    parser.add_argument("--chunk", type=int, default=1600, help="block edge (default 1600)")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--threads", type=int, default=1, help="threads per worker")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each way, in turn")
    args = parser.parse_args()

    import vedovx
    import vedovx.dask
    from dask.highlevelgraph import HighLevelGraph
    from distributed import Client, LocalCluster, futures_of, wait

    system = telescope(args.nsubx)
    frozen = vedovx.freeze(system)
    total_threads = args.workers * args.threads
    print(f"{frozen.counts.meas} slopes, {frozen.counts.ts} truth samples, {frozen.counts.com} "
          f"actuators; the frozen system: {len(frozen.document) / 1e6:.2f} MB")

    cluster_times: list[float] = []
    firsts: list[float] = []
    memory_times: list[float] = []
    with LocalCluster(n_workers=args.workers, threads_per_worker=args.threads, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        # Workers import vedovx once in their life, not per graph: done before the clock starts.
        client.run(__import__, "vedovx.dask")
        recon = vedovx.dask.recon_matrices(frozen, chunks=args.chunk, model="closed-form")
        arrays = [getattr(recon, name) for name in FIELDS]
        graph = dict(HighLevelGraph.merge(*[a.__dask_graph__() for a in arrays]))
        tasks = len(graph)
        graph_bytes = len(pickle.dumps(graph))
        # The two ways in turn, so that both see the same load; the ratio of their medians.
        for repeat in range(args.repeat):
            sent_before = client.run_on_scheduler(scheduler_bytes)
            received_before = sum(client.run(received_from_workers).values())
            start = time.perf_counter()
            persisted = client.persist(arrays)
            blocks = futures_of(persisted)
            while not any(block.done() for block in blocks):
                time.sleep(0.001)
            firsts.append(time.perf_counter() - start)
            wait(blocks)
            cluster_times.append(time.perf_counter() - start)
            if repeat == 0:
                sent = client.run_on_scheduler(scheduler_bytes) - sent_before
                between = sum(client.run(received_from_workers).values()) - received_before
                gathered = client.compute(persisted, sync=True)
            client.cancel(blocks)
            del persisted, blocks
            while any(client.has_what().values()):  # every block and the system released
                time.sleep(0.01)

            start = time.perf_counter()
            memory = vedovx.recon_matrices(system, threads=total_threads,
                                            model="closed-form")
            memory_times.append(time.perf_counter() - start)
            if repeat == 0:
                same = all(np.array_equal(np.asarray(array).view(np.uint64),
                                          getattr(memory, name).view(np.uint64))
                           for name, array in zip(FIELDS, gathered))
                del gathered

    memory_seconds, cluster_seconds = median(memory_times), median(cluster_times)
    elements = sum(getattr(memory, name).size for name in FIELDS)
    pairs = ", ".join(f"{m / c:.3f}" for m, c in zip(memory_times, cluster_times))
    print(f"\nReconMatrices, {elements / 1e6:.1f} M elements:")
    print(f"  in process, {total_threads} threads: median {memory_seconds:.2f} s of "
          f"{spread(memory_times)}")
    print(f"  LocalCluster, {args.workers} worker processes x {args.threads} thread(s), blocks of "
          f"{args.chunk}: median {cluster_seconds:.2f} s of {spread(cluster_times)} (blocks "
          f"kept on the workers)")
    print(f"  throughput: {memory_seconds / cluster_seconds:.3f}x the in-process one (the ratio of "
          f"the medians; of each pair: {pairs})")
    print(f"  tasks: {tasks} (one holds the frozen system); graph from the client: "
          f"{graph_bytes / 1e6:.2f} MB")
    print(f"  bytes sent to the workers: {sent / 1e6:.2f} MB by the scheduler, "
          f"{between / 1e6:.2f} MB between workers")
    print(f"  time to the first block: median {median(firsts):.2f} s of {spread(firsts)}")
    print(f"  every block equal to the in-process arrays bit for bit: {same}")


if __name__ == "__main__":
    main()
