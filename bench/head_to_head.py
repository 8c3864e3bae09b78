"""Tarnwell and hnswlib searched in turns, in one process, for a search-speed ratio that a busy
machine cannot skew.

    python bench/head_to_head.py --dataset minilm

run_peers.py measures each engine in its own process, one after another; on a shared machine
the load can change between the two, by more than the differences being measured. Here both
indexes are built (one thread each, M 16, ef_construction 200, the same data and queries as
run_peers.py) and, for each ef_search, the queries are run in chunks of 100, alternately by one
engine and the other, each chunk timed in CPU time of this thread. Writes
bench/results/head_to_head_<dataset>.md.
"""
import argparse
import datetime
import pathlib
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import datasets  # noqa: E402
import peers_ann  # noqa: E402
import run_peers  # noqa: E402

CHUNK = 100


def interleaved(engines, queries, rounds):
    """CPU seconds per engine over `rounds` passes of all queries, chunk by chunk in turns,
    and each engine's results of the last pass."""
    spent = [0.0] * len(engines)
    results = [None] * len(engines)
    for r in range(rounds):
        outs = [[] for _ in engines]
        for start in range(0, len(queries), CHUNK):
            chunk = queries[start : start + CHUNK]
            order = range(len(engines)) if (r + start // CHUNK) % 2 == 0 else \
                reversed(range(len(engines)))
            for i in order:
                e = engines[i]
                t = time.thread_time()
                outs[i].extend(e.search_one(q) for q in chunk)
                spent[i] += time.thread_time() - t
        results = outs
    return spent, results


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--dataset", choices=["minilm", "synthetic"], default="minilm")
    p.add_argument("--n", type=int, default=None)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--efs", default="10,16,24,32,48")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--out", default=str(HERE / "results"))
    args = p.parse_args()
    metric = "cosine" if args.dataset == "minilm" else "euclidean"
    if args.dataset == "minilm":
        _, vectors = datasets.wordnet_minilm()
        if args.n:
            vectors = vectors[: args.n + args.queries]
    else:
        vectors = datasets.clustered((args.n or 100000) + args.queries, args.dim, seed=0)
    perm = np.random.default_rng(1).permutation(len(vectors))  # run_peers.py's split
    queries = np.ascontiguousarray(vectors[perm[: args.queries]], dtype=np.float32)
    base = np.ascontiguousarray(vectors[perm[args.queries :]], dtype=np.float32)
    truth = datasets.ground_truth(base, queries, run_peers.K, metric)
    started = datetime.datetime.now(datetime.timezone.utc)

    engines = [peers_ann.make("tarnwell", base.shape[1], metric),
               peers_ann.make("hnswlib", base.shape[1], metric)]
    for e in engines:
        t = time.process_time()
        e.build(base)
        print(f"{e.label}: built in {time.process_time() - t:.1f} s CPU", flush=True)
    engines[0].after_measuring_memory()  # saves the snapshot the ef sweep reloads
    rows = list(queries)

    lines = [f"# Tarnwell and hnswlib in turns: {args.dataset}", "",
             f"- Date: {started:%Y-%m-%d %H:%M} UTC",
             f"- Machine: {run_peers.machine()}",
             f"- Command: `python bench/head_to_head.py {' '.join(sys.argv[1:])}`",
             f"- Data: {len(base):,} × {base.shape[1]}, {len(rows):,} queries, metric {metric}; "
             f"both M 16, ef_construction 200, one thread; {args.rounds} passes, chunks of "
             f"{CHUNK} queries alternating between the engines, CPU time of the one thread",
             "", "| ef_search | Tarnwell recall@10 | hnswlib recall@10 | Tarnwell QPS "
             "| hnswlib QPS | ratio |", "|---|---|---|---|---|---|"]
    sweeps = [[] for _ in engines]
    for ef in (int(x) for x in args.efs.split(",")):
        for e in engines:
            e.set_ef(ef)
        spent, results = interleaved(engines, rows, args.rounds)
        recalls = [run_peers.recall([e.ids_of(r) for r in res], truth)
                   for e, res in zip(engines, results)]
        qps = [args.rounds * len(rows) / s for s in spent]
        lines.append(f"| {ef} | {recalls[0]:.4f} | {recalls[1]:.4f} | {qps[0]:,.0f} "
                     f"| {qps[1]:,.0f} | {qps[0] / qps[1]:.2f}× |")
        print(lines[-1], flush=True)
        for sweep, r, q in zip(sweeps, recalls, qps):
            sweep.append({"recall": r, "qps_cpu": q})
    lines += ["", "At equal recall (QPS interpolated between the ef_search values around it):",
              "", "| recall@10 | Tarnwell QPS | hnswlib QPS | ratio |", "|---|---|---|---|"]
    for target in (0.90, 0.95, 0.98):
        mine, theirs = (run_peers.qps_at(sw, target) for sw in sweeps)
        ratio = f"{mine / theirs:.2f}×" if mine and theirs else "—"
        lines.append(f"| {target} | {run_peers.fmt(mine)} | {run_peers.fmt(theirs)} | {ratio} |")
    for e in engines:
        e.close()
    lines += ["", "Equal ef_search does not mean equal recall: compare rows of similar recall "
              "(Tarnwell reaches a given recall at a lower ef_search).", ""]
    out = pathlib.Path(args.out) / f"head_to_head_{args.dataset}.md"
    out.write_text("\n".join(lines))
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
