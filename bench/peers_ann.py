"""Approximate nearest-neighbour engines behind one small interface, for run_peers.py.

Every engine is built single-threaded with M 16 and ef_construction 200 and searched with k 10.
``search_one`` is what an application serving one request at a time calls; ``search_batch``
(peers only: Tarnwell has no batch search) is each library's best case, all queries in one call
on one thread. Ids come back as row numbers of the base set.
"""
import os
import struct
import tempfile
import uuid
import zlib

import numpy as np

M = 16
EF_CONSTRUCTION = 200
K = 10
# A distinctive ef_search written at creation, so that the snapshot's copy of the configuration
# can be found and rewritten for each ef of the sweep (the API fixes ef_search at creation).
EF_SENTINEL = 987_654_321


def normalized(x):
    return x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-30)


class Engine:
    label = ""
    peer = True  # has a batch search

    def build(self, base):
        raise NotImplementedError

    def set_ef(self, ef):
        raise NotImplementedError

    def search_one(self, q):
        raise NotImplementedError

    def ids_of(self, result):
        """Row ids from whatever search_one returned (outside the timed loop)."""
        return result

    def search_batch(self, queries):
        return None

    def estimate_bytes(self):
        return None

    def close(self):
        pass


class HnswlibEngine(Engine):
    label = "hnswlib"

    def __init__(self, dim, metric):
        import hnswlib

        self.index = hnswlib.Index(
            space={"cosine": "cosine", "euclidean": "l2", "dot_product": "ip"}[metric], dim=dim
        )

    def build(self, base):
        self.index.init_index(len(base), ef_construction=EF_CONSTRUCTION, M=M, random_seed=42)
        self.index.set_num_threads(1)
        self.index.add_items(base, np.arange(len(base)), num_threads=1)

    def set_ef(self, ef):
        self.index.set_ef(ef)

    def search_one(self, q):
        return self.index.knn_query(q[None], k=K, num_threads=1)[0][0]

    def search_batch(self, queries):
        return self.index.knn_query(queries, k=K, num_threads=1)[0]


class FaissEngine(Engine):
    def __init__(self, dim, metric, sq8):
        import faiss

        faiss.omp_set_num_threads(1)
        self.faiss = faiss
        self.metric = metric
        self.label = "faiss-hnsw-sq8" if sq8 else "faiss-hnsw-flat"
        # Cosine is the inner product of normalised vectors (queries are normalised up front).
        fm = faiss.METRIC_L2 if metric == "euclidean" else faiss.METRIC_INNER_PRODUCT
        if sq8:
            self.index = faiss.IndexHNSWSQ(dim, faiss.ScalarQuantizer.QT_8bit, M, fm)
        else:
            self.index = faiss.IndexHNSWFlat(dim, M, fm)
        self.index.hnsw.efConstruction = EF_CONSTRUCTION
        self.sq8 = sq8

    def prepare_queries(self, queries):
        return normalized(queries) if self.metric == "cosine" else queries

    def build(self, base):
        if self.metric == "cosine":
            base = normalized(base)
        base = np.ascontiguousarray(base, dtype=np.float32)
        if self.sq8:
            self.index.train(base)
        self.index.add(base)

    def set_ef(self, ef):
        self.index.hnsw.efSearch = ef

    def search_one(self, q):
        return self.index.search(q[None], K)[1][0]

    def search_batch(self, queries):
        return self.index.search(queries, K)[1]


class UsearchEngine(Engine):
    def __init__(self, dim, metric, dtype):
        from usearch.index import Index

        self.label = f"usearch-{dtype}"
        self.index = Index(
            ndim=dim,
            metric={"cosine": "cos", "euclidean": "l2sq", "dot_product": "ip"}[metric],
            dtype=dtype,
            connectivity=M,
            expansion_add=EF_CONSTRUCTION,
            expansion_search=64,
        )

    def build(self, base):
        self.index.add(np.arange(len(base)), base, threads=1)

    def set_ef(self, ef):
        self.index.expansion_search = ef

    def search_one(self, q):
        return self.index.search(q, K, threads=1).keys

    def search_batch(self, queries):
        return self.index.search(queries, K, threads=1).keys

    def estimate_bytes(self):
        return int(self.index.memory_usage)


def patch_ef_search(snapshot, ef):
    """A plain snapshot (body, "TCR1", CRC-32 big-endian) with ef_search rewritten."""
    body = bytearray(snapshot[:-8])
    assert snapshot[-8:-4] == b"TCR1", "not a plain snapshot"
    head = struct.pack("<QQQ", M, 2 * M, EF_CONSTRUCTION)
    at = body.find(head + struct.pack("<Q", EF_SENTINEL))
    assert at >= 0 and body.find(head + struct.pack("<Q", EF_SENTINEL), at + 1) < 0
    body[at + 24 : at + 32] = struct.pack("<Q", ef)
    return bytes(body) + b"TCR1" + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


class TarnwellEngine(Engine):
    """A collection of vectors with empty texts and no metadata, like the peers' indexes.

    The sweep saves the built collection once and loads, for each ef, a copy of the snapshot
    whose ef_search is rewritten: the collection searched is the one a user creates with that
    ef_search, through the public API only.
    """

    peer = False

    def __init__(self, dim, metric, raw):
        from tarnwell import Tarnwell

        self.label = "tarnwell-raw" if raw else "tarnwell"
        self.db = Tarnwell()
        self.dim, self.metric, self.raw = dim, metric, raw
        self.name = "v"
        self.dir = tempfile.mkdtemp(prefix="tw-peers-")
        self.loads = []  # (bytes, seconds) per load of the sweep
        self.save_seconds = None

    def build(self, base):
        self.db.create_collection(
            self.name, self.dim, m=M, ef_construction=EF_CONSTRUCTION, ef_search=EF_SENTINEL,
            distance_metric=self.metric, store_raw_vectors=self.raw,
        )
        # Columns, as a user holding a matrix inserts them, under ids derived from the row
        # numbers: the harness keeps nothing per vector of its own while memory is measured.
        empty = [""] * 1000
        for start in range(0, len(base), 1000):
            stop = min(start + 1000, len(base))
            self.db.insert_columns(self.name, empty[: stop - start], base[start:stop],
                                   ids=[row_id(i) for i in range(start, stop)], num_threads=1)

    def estimate_bytes(self):
        return self.db.total_memory_bytes()

    def after_measuring_memory(self):
        import time

        t = time.perf_counter()
        self.db.save(self.name, path=self.dir)
        self.save_seconds = time.perf_counter() - t
        with open(os.path.join(self.dir, self.name + ".twl"), "rb") as f:
            self.snapshot = f.read()
        self.db.delete_collection(self.name)
        self.name = None

    def set_ef(self, ef):
        import time

        if self.name is not None:
            self.db.delete_collection(self.name)
        # The same name as stored in the file: a load under another name would also register
        # an empty collection under the stored one.
        self.name = "v"
        path = os.path.join(self.dir, self.name + ".twl")
        with open(path, "wb") as f:
            f.write(patch_ef_search(self.snapshot, ef))
        t = time.perf_counter()
        self.db.load(self.name, path=self.dir)
        self.loads.append((len(self.snapshot), time.perf_counter() - t))
        os.unlink(path)

    def search_one(self, q):
        return self.db.search(self.name, query_embedding=q, k=K)

    def ids_of(self, result):
        return [row_of(r.id) for r in result]

    def close(self):
        import shutil

        shutil.rmtree(self.dir, ignore_errors=True)


def row_id(row):
    """The document id the harness gives row `row`."""
    return str(uuid.UUID(int=row))


def row_of(doc_id):
    return uuid.UUID(doc_id).int


ENGINES = [
    "tarnwell", "tarnwell-raw", "hnswlib", "faiss-hnsw-flat", "faiss-hnsw-sq8", "usearch-f32",
    "usearch-i8",
]


def make(name, dim, metric):
    if name in ("tarnwell", "tarnwell-raw"):
        return TarnwellEngine(dim, metric, raw=name == "tarnwell-raw")
    if name == "hnswlib":
        return HnswlibEngine(dim, metric)
    if name.startswith("faiss"):
        return FaissEngine(dim, metric, sq8=name.endswith("sq8"))
    if name.startswith("usearch"):
        return UsearchEngine(dim, metric, name.split("-")[1])
    raise SystemExit(f"unknown engine {name}")
