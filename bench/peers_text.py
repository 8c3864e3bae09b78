"""Keyword peers for run_peers.py: bm25s and rank_bm25, fed exactly the tokens Tarnwell indexes.

``tokens`` reproduces Tarnwell's tokenizer for ASCII text (lower-case, maximal runs of letters
and digits, at least two bytes, no stop word); run_peers.py checks that the texts are ASCII.
bm25s's "lucene" variant scores tf / (tf + k1 (1 - b + b dl/avgdl)) times the same idf, i.e.
Tarnwell's BM25 without the constant factor k1 + 1 = 2.2 (rankings are identical), so the
cross-check compares Tarnwell's scores with 2.2 times bm25s's.
"""
import importlib.util
import os
import re
import time

import numpy as np

# bm25s's fast backend compiles its scoring and top-k with numba; without numba it falls back
# to NumPy, whose partial sort over every document is some 30 times slower on large corpora.
# Like every engine here it runs on one thread.
os.environ.setdefault("NUMBA_NUM_THREADS", "1")
BM25S_BACKEND = "numba" if importlib.util.find_spec("numba") else "numpy"

K1, B = 1.2, 0.75
STOP_WORDS = frozenset(
    "a an and are as at be but by for if in into is it no not of on or such that the their then "
    "there these they this to was will with il lo la le li gli un uno una di da del dello della "
    "dei degli delle che per non si con su ha sono come ma anche se io ci".split()
)
_WORD = re.compile(r"[a-z0-9]+")


def tokens(text):
    return [t for t in _WORD.findall(text.lower()) if len(t) >= 2 and t not in STOP_WORDS]


def bm25s_index(corpus_tokens):
    import bm25s

    r = bm25s.BM25(k1=K1, b=B, method="lucene", backend=BM25S_BACKEND)
    t = time.perf_counter()
    r.index(corpus_tokens, show_progress=False)
    elapsed = time.perf_counter() - t
    bm25s_search(r, corpus_tokens[:3], 10)  # compiles the numba functions outside any timing
    return r, elapsed


def bm25s_search(r, query_tokens, k):
    """(doc ids, scores) of each query; queries with no known token get empty arrays."""
    docs, scores = r.retrieve(query_tokens, k=k, show_progress=False, n_threads=0,
                              backend_selection=BM25S_BACKEND)
    return docs, scores


def rank_bm25_index(corpus_tokens):
    from rank_bm25 import BM25Okapi

    t = time.perf_counter()
    r = BM25Okapi(corpus_tokens, k1=K1, b=B)
    return r, time.perf_counter() - t


def rank_bm25_top(r, query, k):
    scores = r.get_scores(query)
    top = np.argpartition(-scores, k)[:k]
    return top[np.argsort(-scores[top])]
