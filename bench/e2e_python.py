"""End-to-end figures through the Python API: insert throughput (ephemeral; persistent with
single inserts and with batches of 1,000) and search latency / QPS per mode.

    python bench/e2e_python.py [--n 20000] [--queries 300] [--out bench/results/e2e_python.md]

Uses the cached WordNet/MiniLM set when present (see datasets.py), otherwise a synthetic set with
generated texts.
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

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
import datasets  # noqa: E402

from tarnwell import Tarnwell  # noqa: E402

WORDS = "river stone light cat dog music table winter garden paper engine cloud silver".split()


def load(n):
    try:
        texts, vectors = datasets.wordnet_minilm(limit=n)
        return texts, vectors, "WordNet glosses, MiniLM 384-d"
    except (SystemExit, ImportError, FileNotFoundError):
        rnd = random.Random(0)
        vectors = datasets.clustered(n, 128, seed=0)
        texts = [" ".join(rnd.choice(WORDS) for _ in range(8)) for _ in range(n)]
        return texts, vectors, "synthetic clustered 128-d"


def machine():
    model = "unknown"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores, Python {platform.python_version()}"


def docs(texts, vectors, start, end):
    return [
        {"text": texts[i], "embedding": vectors[i], "metadata": {"bucket": i % 10, "n": i}}
        for i in range(start, end)
    ]


def time_inserts(db, texts, vectors, n, batch):
    t0 = time.perf_counter()
    if batch == 1:
        for i in range(n):
            db.insert("b", texts[i], vectors[i], metadata={"bucket": i % 10, "n": i})
    else:
        for s in range(0, n, batch):
            db.batch_insert("b", docs(texts, vectors, s, min(n, s + batch)))
    return n / (time.perf_counter() - t0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=20000)
    ap.add_argument("--single", type=int, default=500, help="documents for the logged single-insert run")
    ap.add_argument("--queries", type=int, default=300)
    ap.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "results", "e2e_python.md"))
    args = ap.parse_args()
    texts, vectors, source = load(args.n + args.queries)
    qvecs, qtexts = vectors[args.n :], texts[args.n :]
    dim = vectors.shape[1]
    rows = []

    db = Tarnwell()
    db.create_collection("b", dim)
    rows.append(("insert, ephemeral, batches of 1,000", f"{time_inserts(db, texts, vectors, args.n, 1000):,.0f} docs/s"))
    tmp = tempfile.mkdtemp(prefix="tw-e2e-")
    try:
        p = Tarnwell(data_dir=os.path.join(tmp, "single"))
        p.create_collection("b", dim)
        rows.append(("insert, persistent, single (one fsync each)", f"{time_inserts(p, texts, vectors, args.single, 1):,.0f} docs/s"))
        del p
        p = Tarnwell(data_dir=os.path.join(tmp, "batch"))
        p.create_collection("b", dim)
        rows.append(("insert, persistent, batches of 1,000", f"{time_inserts(p, texts, vectors, args.n, 1000):,.0f} docs/s"))
        del p
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    flt = {"must": [{"field": "bucket", "op": "eq", "value": 3}]}  # 10 % of the documents
    modes = {
        "vector": lambda i: db.search("b", query_embedding=qvecs[i], k=10),
        "vector, filtered (10 %)": lambda i: db.search("b", query_embedding=qvecs[i], k=10, filter=flt),
        "keyword": lambda i: db.search("b", query_text=qtexts[i], k=10),
        "hybrid, rrf": lambda i: db.search("b", query_embedding=qvecs[i], query_text=qtexts[i], k=10),
        "hybrid, linear": lambda i: db.search("b", query_embedding=qvecs[i], query_text=qtexts[i], k=10, fusion_method="linear"),
        "hybrid, rrf, filtered (10 %)": lambda i: db.search("b", query_embedding=qvecs[i], query_text=qtexts[i], k=10, filter=flt),
    }
    search_rows = []
    for name, run in modes.items():
        lat = []
        for i in range(args.queries):
            t0 = time.perf_counter()
            run(i)
            lat.append(time.perf_counter() - t0)
        lat.sort()
        search_rows.append((name, statistics.mean(lat) * 1e6, lat[len(lat) // 2] * 1e6,
                            lat[int(len(lat) * 0.99) - 1] * 1e6, len(lat) / sum(lat)))

    lines = [
        "# End-to-end figures through the Python API",
        "",
        f"- date: {datetime.date.today().isoformat()}",
        f"- machine: {machine()} (shared and noisy: compare ratios, not absolute times)",
        f"- data: {source}, {args.n:,} documents, {args.queries} queries, k = 10, defaults (M 16, ef_construction 200, ef_search 50, cosine)",
        f"- command: `python bench/e2e_python.py --n {args.n} --queries {args.queries}`",
        "",
        "| insert | throughput |",
        "|---|---|",
        *[f"| {a} | {b} |" for a, b in rows],
        "",
        "| search mode | mean µs | p50 µs | p99 µs | QPS (1 thread) |",
        "|---|---|---|---|---|",
        *[f"| {n} | {m:,.0f} | {p50:,.0f} | {p99:,.0f} | {q:,.0f} |" for n, m, p50, p99, q in search_rows],
        "",
    ]
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        f.write("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
