"""Sharded collections on a local Ray cluster: ingest throughput and query throughput for 1, 2
and 4 shards, with one in-process Tarnwell holding the same documents measured in the same run.

    python bench/cluster_bench.py [--n 20000] [--dim 128] [--queries 200] [--clients 8]
                                  [--out bench/results/cluster.md]

Figures per shard count: batch_insert throughput (batches of 1,000, persistent shards), ingest()
throughput from a Ray Dataset, single-client latency and multi-client QPS for vector, keyword and
hybrid search, the Ray round trip of a trivial call, and the memory estimate per shard.
"""
import argparse
import datetime
import os
import platform
import random
import shutil
import statistics
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
import datasets  # noqa: E402

import ray  # noqa: E402

from tarnwell import Tarnwell  # noqa: E402
from tarnwell.cluster import ShardedTarnwell  # noqa: E402

WORDS = [f"t{i}" for i in range(2000)]
BATCH = 1000


def machine():
    model = "unknown CPU"
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    return f"{model}, {os.cpu_count()} cores, Python {platform.python_version()}, Ray {ray.__version__}"


def corpus(n, dim):
    rnd = random.Random(0)
    vectors = datasets.clustered(n, dim, seed=0).astype(np.float32)
    # Zipf-like word choice, so that keyword queries meet both frequent and rare terms.
    weights = [1.0 / (i + 1) for i in range(len(WORDS))]
    texts = [" ".join(rnd.choices(WORDS, weights, k=rnd.randint(5, 20))) for _ in range(n)]
    return texts, vectors


def documents(texts, vectors, lo, hi):
    return [{"text": texts[i], "embedding": vectors[i]} for i in range(lo, hi)]


def timed_ingest(db, texts, vectors):
    start = time.perf_counter()
    for lo in range(0, len(texts), BATCH):
        db.batch_insert("c", documents(texts, vectors, lo, min(lo + BATCH, len(texts))))
    return len(texts) / (time.perf_counter() - start)


def timed_dataset_ingest(db, texts, vectors):
    ds = ray.data.from_items(
        [{"text": t, "embedding": v} for t, v in zip(texts, vectors)]
    ).materialize()
    db.create_collection("d", vectors.shape[1])
    start = time.perf_counter()
    n = db.ingest(ds, "d", batch_size=BATCH)
    return n / (time.perf_counter() - start)


def queries(texts, vectors, count):
    rnd = random.Random(1)
    out = []
    for _ in range(count):
        q = vectors[rnd.randrange(len(vectors))] + np.float32(0.01)
        words = " ".join(rnd.sample(texts[rnd.randrange(len(texts))].split(), 2))
        out.append((q, words))
    return out


MODES = {
    "vector": lambda db, q: db.search("c", q[0], k=10),
    "keyword": lambda db, q: db.search("c", query_text=q[1], k=10),
    "hybrid": lambda db, q: db.search("c", q[0], q[1], k=10),
}


def search_figures(db, qs, clients):
    out = {}
    for mode, run in MODES.items():
        for q in qs[:10]:
            run(db, q)  # warm-up
        lat = []
        for q in qs:
            t = time.perf_counter()
            run(db, q)
            lat.append(time.perf_counter() - t)
        start = time.perf_counter()
        with ThreadPoolExecutor(clients) as pool:
            list(pool.map(lambda q: run(db, q), qs * 2))
        qps = 2 * len(qs) / (time.perf_counter() - start)
        out[mode] = (statistics.median(lat) * 1e3, qps)
    return out


def round_trip_ms(db, repeat=200):
    db.list_collections()
    t = time.perf_counter()
    for _ in range(repeat):
        db.list_collections()
    return (time.perf_counter() - t) / repeat * 1e3


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=20000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--clients", type=int, default=8)
    ap.add_argument("--shards", default="1,2,4")
    ap.add_argument("--out", default="bench/results/cluster.md")
    args = ap.parse_args()

    texts, vectors = corpus(args.n, args.dim)
    qs = queries(texts, vectors, args.queries)
    ray.init(include_dashboard=False, log_to_driver=False)
    rows = []
    load_before = os.getloadavg()[0]

    work = tempfile.mkdtemp(prefix="tw-cluster-bench-")
    try:
        single = Tarnwell(os.path.join(work, "single"))
        single.create_collection("c", args.dim)
        ingest = timed_ingest(single, texts, vectors)
        mem = single.collection_info("c").estimated_memory_bytes
        rows.append(("in-process", ingest, None, search_figures(single, qs, args.clients), 0.0,
                     mem))
        del single
        for n in [int(s) for s in args.shards.split(",")]:
            db = ShardedTarnwell(n, data_dir=os.path.join(work, f"shards-{n}"))
            db.create_collection("c", args.dim)
            ingest = timed_ingest(db, texts, vectors)
            dataset = timed_dataset_ingest(db, texts, vectors)
            mem = db.collection_info("c").estimated_memory_bytes / n
            rows.append((f"{n} shard{'s' if n > 1 else ''}", ingest, dataset,
                         search_figures(db, qs, args.clients), round_trip_ms(db), mem))
            db.close()
            print(rows[-1], flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    lines = [
        "# Sharded collections on Ray",
        "",
        f"- date: {datetime.date.today()}",
        f"- machine: {machine()}",
        f"- command: `python bench/cluster_bench.py --n {args.n} --dim {args.dim} "
        f"--queries {args.queries} --clients {args.clients}`",
        f"- data: {args.n} synthetic clustered {args.dim}-d vectors, texts of 5-20 words drawn "
        f"Zipf-like from {len(WORDS)} terms; persistent shards (log on), batches of {BATCH}; "
        "queries k=10, two-word keyword queries",
        "- peer: one in-process Tarnwell with the same documents, same run",
        f"- load average (1 min) at start and end: {load_before:.1f}, {os.getloadavg()[0]:.1f} "
        f"on {os.cpu_count()} cores; on a shared machine compare rows as ratios",
        "- latency: median of single-client calls; QPS: "
        f"{args.clients} client threads in the calling process",
        "",
        "| setup | batch_insert docs/s | ingest() docs/s | vector p50 ms | vector QPS "
        "| keyword p50 ms | keyword QPS | hybrid p50 ms | hybrid QPS | round trip ms "
        "| memory per shard MB |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for name, ingest, dataset, s, rt, mem in rows:
        cells = [name, f"{ingest:,.0f}", "-" if dataset is None else f"{dataset:,.0f}"]
        for mode in MODES:
            cells += [f"{s[mode][0]:.2f}", f"{s[mode][1]:,.0f}"]
        cells += [f"{rt:.2f}" if rt else "-", f"{mem / 1e6:.1f}"]
        lines.append("| " + " | ".join(cells) + " |")
    lines.append("")
    with open(args.out, "w") as f:
        f.write("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
