"""Ingest and reopen: batch_insert against hnswlib's add_items at 1 and 2 threads (same M and
ef_construction, wall and CPU time), recall@10 at ef 64 of each build, and how long opening a
data directory takes after close(), after a release without close, and after an abrupt exit
with the default automatic checkpoints, next to loading the same collection from its snapshot.

    python bench/ingest.py [N]      (default 20000 Debian MiniLM vectors; writes
                                     bench/results/ingest.md)
"""
import importlib.metadata
import os
import pathlib
import platform
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from datasets import debian_minilm, ground_truth, recall_at_k, split_queries  # noqa: E402

import hnswlib  # noqa: E402
from tarnwell import Tarnwell  # noqa: E402

M, EF_CONSTRUCTION, EF = 16, 200, 64
BATCH = 1000


def timed(fn):
    wall, cpu = time.perf_counter(), time.process_time()
    out = fn()
    return out, time.perf_counter() - wall, time.process_time() - cpu


def docs_of(texts, vectors):
    return [{"text": t, "embedding": v} for t, v in zip(texts, vectors)]


def tarnwell_build(docs, threads):
    db = Tarnwell()
    db.create_collection("c", docs[0]["embedding"].shape[0], m=M, ef_construction=EF_CONSTRUCTION,
                         ef_search=EF)

    def run():
        return [u for s in range(0, len(docs), 5000)
                for u in db.batch_insert("c", docs[s:s + 5000], num_threads=threads)]
    ids, wall, cpu = timed(run)
    return db, ids, wall, cpu


def hnswlib_build(base, threads):
    index = hnswlib.Index(space="cosine", dim=base.shape[1])
    index.init_index(max_elements=len(base), M=M, ef_construction=EF_CONSTRUCTION, random_seed=1)
    _, wall, cpu = timed(lambda: index.add_items(base, np.arange(len(base)), num_threads=threads))
    index.set_ef(EF)
    return index, wall, cpu


def tarnwell_recall(db, ids, queries, truth):
    pos = {u: i for i, u in enumerate(ids)}
    found = [[pos[r.id] for r in db.search("c", query_embedding=q, k=10)] for q in queries]
    return recall_at_k(np.array(found), truth)


def reopen_figures(texts, vectors):
    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        d = os.path.join(tmp, "closed")
        with Tarnwell(d) as db:
            db.create_collection("c", vectors.shape[1], m=M, ef_construction=EF_CONSTRUCTION)
            for s in range(0, len(vectors), BATCH):
                db.batch_insert("c", docs_of(texts[s:s + BATCH], vectors[s:s + BATCH]))
        _, out["reopen after close()"], _ = timed(lambda: Tarnwell(d).close())
        _, out["load from its snapshot"], _ = timed(lambda: Tarnwell().load("c", path=d))

        # Released without close, automatic checkpoints off: the whole log is replayed.
        d2 = os.path.join(tmp, "released")
        db = Tarnwell(d2, checkpoint_bytes=0)
        db.create_collection("c", vectors.shape[1], m=M, ef_construction=EF_CONSTRUCTION)
        _, insert_wall, _ = timed(lambda: [db.batch_insert(
            "c", docs_of(texts[s:s + BATCH], vectors[s:s + BATCH]))
            for s in range(0, len(vectors), BATCH)])
        del db
        _, out["reopen after release, no checkpoint (full replay)"], _ = timed(
            lambda: Tarnwell(d2).close())
        out["inserting it took"] = insert_wall

        # An abrupt exit with the default bound: replay covers what followed the last checkpoint.
        d3 = os.path.join(tmp, "killed")
        np.save(os.path.join(tmp, "v.npy"), vectors)
        child = textwrap.dedent(f"""
            import os, time, numpy as np
            from tarnwell import Tarnwell
            v = np.load({os.path.join(tmp, 'v.npy')!r})
            db = Tarnwell({d3!r})
            db.create_collection("c", v.shape[1], m={M}, ef_construction={EF_CONSTRUCTION})
            since, last = 0.0, 0
            for s in range(0, len(v), {BATCH}):
                t = time.perf_counter()
                db.batch_insert("c", [{{"text": "t%d" % i, "embedding": v[i]}}
                                      for i in range(s, min(s + {BATCH}, len(v)))])
                size = os.path.getsize(os.path.join({d3!r}, "wal.bin"))
                since = time.perf_counter() - t + (since if size > last else 0.0)
                last = size
            print(since)
            os._exit(0)  # no close, no destructor: as after SIGKILL
        """)
        since = float(subprocess.run([sys.executable, "-c", child], capture_output=True,
                                     text=True, check=True).stdout)
        _, out["reopen after abrupt exit, default checkpoints"], _ = timed(
            lambda: Tarnwell(d3).close())
        out["inserting since its last checkpoint took"] = since
    return out


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    texts, vectors = debian_minilm(limit=n + 200)
    base, queries, idx = split_queries(vectors, 200)
    base_texts = [texts[i] for i in idx]
    truth = ground_truth(base, queries, 10, "cosine")
    docs = docs_of(base_texts, base)

    rows, recalls = [], {}
    for threads in (1, 2):
        db, ids, t_wall, t_cpu = tarnwell_build(docs, threads)
        recalls[("tarnwell", threads)] = tarnwell_recall(db, ids, queries, truth)
        del db
        index, h_wall, h_cpu = hnswlib_build(base, threads)
        labels, _ = index.knn_query(queries, k=10)
        recalls[("hnswlib", threads)] = recall_at_k(labels, truth)
        rows.append((threads, t_wall, t_cpu, h_wall, h_cpu))
    reopen = reopen_figures(base_texts, base)

    one = rows[0]
    lines = [
        "# Ingest and reopen",
        "",
        f"Machine: {platform.machine()}, {os.cpu_count()} cores shared with other work "
        f"(load average at start {os.getloadavg()[0]:.1f}); Python {platform.python_version()}, "
        f"hnswlib {importlib.metadata.version('hnswlib')}.",
        f"Command: `python bench/ingest.py {n}`. Data: {len(base)} Debian MiniLM vectors (384-d), "
        f"200 held-out queries; M={M}, ef_construction={EF_CONSTRUCTION}, recall@10 at ef {EF}.",
        "Wall time on a shared machine says little alone; CPU time (process, all threads) shows",
        "the work done, and wall/CPU together show how much of the second core was obtained.",
        "",
        "| threads | tarnwell wall s | tarnwell CPU s | hnswlib wall s | hnswlib CPU s | "
        "throughput vs hnswlib (wall) | CPU efficiency vs hnswlib | speed-up vs own 1 thread |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for threads, t_wall, t_cpu, h_wall, h_cpu in rows:
        lines.append(f"| {threads} | {t_wall:.2f} | {t_cpu:.2f} | {h_wall:.2f} | {h_cpu:.2f} | "
                     f"{h_wall / t_wall:.2f} | {h_cpu / t_cpu:.2f} | {one[1] / t_wall:.2f} |")
    lines += ["", "| build | recall@10 |", "|---|---|"]
    for (who, threads), r in recalls.items():
        lines.append(f"| {who}, {threads} thread{'s' if threads > 1 else ''} | {r:.4f} |")
    d = recalls[("tarnwell", 2)] - recalls[("tarnwell", 1)]
    lines += ["", f"Parallel minus single-thread recall (tarnwell): {d:+.4f}.", "",
              "| opening | seconds |", "|---|---|"]
    for k, v in reopen.items():
        lines.append(f"| {k} | {v:.3f} |")
    lines += ["", f"Reopen after close() / load from snapshot: "
              f"{reopen['reopen after close()'] / reopen['load from its snapshot']:.2f}.",
              f"Reopen after abrupt exit / inserting since the last checkpoint: "
              f"{reopen['reopen after abrupt exit, default checkpoints'] / max(reopen['inserting since its last checkpoint took'], 1e-9):.2f}."]
    text = "\n".join(lines) + "\n"
    pathlib.Path(os.path.dirname(os.path.abspath(__file__)), "results", "ingest.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
