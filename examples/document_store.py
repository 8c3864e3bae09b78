"""A small document store on Tarnwell: package descriptions with section, priority and size,
kept in a data directory. Every everyday operation is one call.

Run: python examples/document_store.py [DATA_DIR]
"""

import hashlib
import pathlib
import sys
import tempfile
import uuid

import numpy as np

from tarnwell import Tarnwell

DIM = 64


def embed(texts):
    """Stands in for a sentence encoder: a bag of hashed words, normalised (rows of float32)."""
    out = np.zeros((len(texts), DIM), np.float32)
    for row, text in enumerate(texts):
        for word in text.lower().split():
            out[row, int(hashlib.blake2b(word.encode(), digest_size=2).hexdigest(), 16) % DIM] += 1
    return out / np.maximum(np.linalg.norm(out, axis=1, keepdims=True), 1e-9)


PACKAGES = [
    ("curl", "command line tool for transferring data with URL syntax", "web", "optional", 520),
    ("nginx", "small, powerful, scalable web and reverse proxy server", "httpd", "optional", 1200),
    ("gzip", "GNU compression utilities", "utils", "required", 310),
    ("rsync", "fast, versatile, remote and local file copying tool", "net", "optional", 840),
    ("vim", "Vi IMproved - enhanced vi editor", "editors", "optional", 3800),
    ("bash", "GNU Bourne Again SHell", "shells", "required", 7100),
    ("wget", "retrieves files from the web", "web", "standard", 980),
    ("zstd", "fast lossless compression algorithm command line tool", "utils", "optional", 450),
]


def main(data_dir):
    with_dir = pathlib.Path(data_dir)
    db = Tarnwell(data_dir=with_dir)
    if "packages" not in db.list_collections():
        db.create_collection("packages", DIM)

    # Insert from columns (a 2-D array and a list of dicts; NumPy scalars are fine).
    texts = [f"{name}: {desc}" for name, desc, *_ in PACKAGES]
    metadatas = [{"section": s, "priority": p, "size": np.int64(kb)} for _, _, s, p, kb in PACKAGES]
    ids = db.insert_columns("packages", texts, embed(texts), metadatas)

    # Change one metadata field (atomic; the embedding stays inside the database).
    db.update("packages", ids[0], metadata={**metadatas[0], "priority": "standard"})

    # Upsert: replace a document by id, or insert it.
    db.upsert("packages", "curl: transfer data with URLs", embed(["curl transfer URLs"])[0],
              metadata={"section": "web", "priority": "standard", "size": 530}, id=ids[0])
    db.upsert("packages", "jq: JSON processor", embed(["jq JSON"])[0], id=uuid.uuid4())

    # Get the embedding back, and many documents at once.
    curl = db.get("packages", ids[0], include_embedding=True)
    many = db.get_many("packages", ids[:3])

    # Page through ids in a stable order.
    first_page = db.scan("packages", limit=3, ids_only=True)
    next_page = db.scan("packages", limit=3, after=first_page[-1], ids_only=True)

    # Count and delete by filter.
    small = {"must": [{"field": "size", "op": "lt", "value": 500}]}
    n_small = db.count("packages", small)
    removed = db.delete_where("packages", small)

    # Several queries at once.
    queries = ["compression tool", "web server", "text editor"]
    results = db.search("packages", query_embedding=embed(queries), query_text=queries, k=2)

    print(f"{db.count('packages')} packages; curl embedding of {len(curl['embedding'])} values")
    print(f"got {len(many)} by id; pages {len(first_page)} + {len(next_page)} ids")
    print(f"{n_small} small packages counted, {removed} removed")
    for q, hits in zip(queries, results):
        print(f"{q!r}: " + ", ".join(h.text.split(":")[0] for h in hits))
    db.delete_many("packages", ids)
    return db.count("packages")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory() as d:
            main(d)
