"""A first tour of Tarnwell: a persistent database, documents with metadata, the four kinds of
search, a restart that recovers from the write-ahead log, and a compaction.

Run:  python examples/quickstart.py
"""
import math
import shutil
import tempfile
import zlib

from tarnwell import Tarnwell

DOCS = [
    ("The cat sat on the warm windowsill all afternoon.", {"animal": "cat", "year": 2021}),
    ("A dog chased the ball across the wet park.", {"animal": "dog", "year": 2022}),
    ("Cats and dogs can share a home peacefully.", {"animal": "both", "year": 2023}),
    ("The parrot repeated every word it heard.", {"animal": "bird", "year": 2020}),
    ("Il gatto dorme sul divano.", {"animal": "cat", "year": 2024, "lang": "it"}),
]


def embed(text, dim=16):
    """A toy embedding: letter-trigram hashing, normalised. Use a real model in practice."""
    v = [0.0] * dim
    t = text.lower()
    for i in range(len(t) - 2):
        v[zlib.crc32(t[i : i + 3].encode()) % dim] += 1.0
    n = math.sqrt(sum(x * x for x in v)) or 1.0
    return [x / n for x in v]


def show(title, hits):
    print(f"\n{title}")
    for h in hits:
        print(f"  {h.score:8.4f}  {h.text}")


def main():
    data_dir = tempfile.mkdtemp(prefix="tarnwell-quickstart-")
    try:
        db = Tarnwell(data_dir=data_dir)
        db.create_collection("pets", dimension=16, distance_metric="cosine")
        ids = db.batch_insert(
            "pets", [{"text": t, "embedding": embed(t), "metadata": m} for t, m in DOCS]
        )
        print(db, db.collection_info("pets"))

        q = "a cat sleeping"
        show("vector search:", db.search("pets", query_embedding=embed(q), k=3))
        show("keyword search:", db.search("pets", query_text="cat dog", k=3))
        show("hybrid search:", db.search("pets", query_embedding=embed(q), query_text="cat", k=3))
        recent = {"must": [{"field": "year", "op": "gte", "value": 2022}],
                  "must_not": [{"field": "animal", "op": "eq", "value": "dog"}]}
        show("filtered search (year >= 2022, no dogs):",
             db.search("pets", query_embedding=embed(q), k=3, filter=recent))

        # Every change above is in the write-ahead log: a new handle recovers it.
        db.delete("pets", ids[3])
        del db
        db = Tarnwell(data_dir=data_dir)
        print("\nafter restart:", db.collection_info("pets"))
        print("document:", db.get("pets", ids[0]))

        # Compact writes snapshots and empties the log; rebuild reclaims deleted nodes.
        print("rebuilt with", db.rebuild("pets"), "live documents")
        db.compact()
        print("after compact:", db.collection_info("pets"))
    finally:
        shutil.rmtree(data_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
