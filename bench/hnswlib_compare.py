"""The peer run for bench/hnsw_bench.cc: hnswlib on the same vectors, one thread, the same
M (16) and ef_construction (200), recall@10 against exact truth for each ef_search. Reports
wall and process CPU time (the bench's CPU column is the comparable figure on a shared host).

    build/bench/hnsw_bench --tw_n=100000 --tw_dump=/tmp/tw   # writes the data, then benches
    python3 bench/hnswlib_compare.py /tmp/tw 128
"""
import sys
import time

import hnswlib
import numpy as np


def main():
    prefix, dim = sys.argv[1], int(sys.argv[2])
    data = np.fromfile(prefix + ".data.f32", dtype=np.float32).reshape(-1, dim)
    queries = np.fromfile(prefix + ".queries.f32", dtype=np.float32).reshape(-1, dim)
    for space, name in (("l2", "euclidean"), ("cosine", "cosine")):
        if space == "l2":
            d = (queries**2).sum(1)[:, None] - 2 * queries @ data.T + (data**2).sum(1)[None]
        else:
            dn = data / np.linalg.norm(data, axis=1, keepdims=True)
            qn = queries / np.linalg.norm(queries, axis=1, keepdims=True)
            d = -qn @ dn.T
        truth = np.argsort(d, axis=1)[:, :10]
        index = hnswlib.Index(space=space, dim=dim)
        index.init_index(len(data), ef_construction=200, M=16, random_seed=42)
        index.set_num_threads(1)
        t, c = time.perf_counter(), time.process_time()
        index.add_items(data)
        build, build_cpu = time.perf_counter() - t, time.process_time() - c
        print(f"hnswlib Build/{name}: {build * 1000:.0f} ms wall, {build_cpu * 1000:.0f} ms CPU, "
              f"{len(data) / build_cpu:.0f} inserts/s (CPU)")
        for ef in (10, 20, 50, 100, 200):
            index.set_ef(ef)
            # One batch call on one thread: no Python overhead per query.
            t, c = time.perf_counter(), time.process_time()
            labels, _ = index.knn_query(queries, k=10, num_threads=1)
            elapsed, cpu = time.perf_counter() - t, time.process_time() - c
            recall = np.mean([len(set(a) & set(b)) / 10 for a, b in zip(labels, truth)])
            print(f"hnswlib Search/{name}/ef{ef}: {elapsed / len(queries) * 1e6:.1f} us wall, "
                  f"{cpu / len(queries) * 1e6:.1f} us CPU per query, recall@10={recall:.4f}")


if __name__ == "__main__":
    main()
