"""Random method sequences with random arguments, checked against a plain reference model: every
call must succeed or raise exactly what the model predicts, a refused call must change nothing,
lookups and searches must agree with the model, and (for a persistent handle) reopening,
checkpoints, exports and loads must keep everything."""
import math
import os
import shutil
import tempfile
import uuid

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from tarnwell import Tarnwell

NAMES = ["a", "b", "ünï", "x.y"]
BAD_NAMES = ["", ".", "..", "a/b", "a\x00b", "n" * 248]
METRICS = ["cosine", "euclidean", "dot_product"]
BAD_ID = "not-a-uuid"

finite = st.floats(-1e3, 1e3, width=32)
component = st.one_of(finite, finite, finite, st.sampled_from([0.0, -0.0, 1e38, math.inf, math.nan]))
meta_value = st.one_of(st.booleans(), st.integers(-2**63, 2**63 - 1),
                       st.floats(allow_nan=True), st.text(max_size=8))
metadata = st.builds(
    lambda extra, n: {**extra, **({} if n is None else {"n": n})},
    st.dictionaries(st.text(max_size=4).filter(lambda k: k != "n"), meta_value, max_size=3),
    st.one_of(st.none(), st.integers(0, 3)))
texts = st.text(max_size=30) | st.sampled_from(["the cat", "dog and cat", "ΟΔΟΣ οδός", "chat"])
queries = st.sampled_from(["cat", "dog", "οδός", "the", "zebra", "ΟΔΟΣ"])


def all_finite(values):
    """Embeddings must hold finite numbers."""
    return all(math.isfinite(x) for x in values)


def same_value(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) ==
                                                     math.copysign(1, b))
    return a == b


def same_metadata(a, b):
    return a.keys() == b.keys() and all(same_value(a[k], b[k]) for k in a)


def outcome(call):
    try:
        return call(), None
    except (TypeError, ValueError, KeyError, OverflowError, RuntimeError) as e:
        return None, type(e)


class Coll:
    def __init__(self, dim):
        self.dim = dim
        self.docs = {}  # id -> (text, metadata)
        self.retired = []


class DatabaseMachine(RuleBasedStateMachine):
    """An ephemeral handle against the model."""

    def __init__(self):
        super().__init__()
        self.colls = {}
        self.db = self.open()

    def open(self):
        return Tarnwell()

    def expect(self, exc, call):
        got, err = outcome(call)
        assert err is exc, f"expected {exc and exc.__name__}, got {err and err.__name__}"
        return got

    # ---- collections ----

    @rule(name=st.sampled_from(NAMES + BAD_NAMES), dim=st.integers(0, 5),
          m=st.none() | st.integers(0, 6), efc=st.none() | st.integers(0, 40),
          efs=st.none() | st.integers(0, 40), metric=st.none() | st.sampled_from(METRICS + ["Cosine"]),
          raw=st.none() | st.booleans())
    def create_collection(self, name, dim, m, efc, efs, metric, raw):
        bad = (metric == "Cosine" or name in BAD_NAMES or dim == 0 or (m is not None and m < 2)
               or efc == 0 or name in self.colls)
        self.expect(ValueError if bad else None, lambda: self.db.create_collection(
            name, dim, m=m, ef_construction=efc, ef_search=efs, distance_metric=metric,
            store_raw_vectors=raw))
        if not bad:
            self.colls[name] = Coll(dim)

    @rule(name=st.sampled_from(NAMES))
    def delete_collection(self, name):
        assert self.expect(None, lambda: self.db.delete_collection(name)) is (name in self.colls)
        self.colls.pop(name, None)

    @rule(name=st.sampled_from(NAMES))
    def collection_info(self, name):
        info = self.expect(None if name in self.colls else KeyError,
                           lambda: self.db.collection_info(name))
        if info is not None:
            assert (info.name, info.dimension, info.document_count) == (
                name, self.colls[name].dim, len(self.colls[name].docs))

    # ---- documents ----

    def pick_id(self, data, c, allow_none=True):
        choices = ["fresh", "bad"] + (["none"] if allow_none else [])
        if c and c.docs:
            choices.append("live")
        if c and c.retired:
            choices.append("retired")
        kind = data.draw(st.sampled_from(choices))
        if kind == "none":
            return None
        if kind == "bad":
            return BAD_ID
        if kind == "live":
            return data.draw(st.sampled_from(sorted(c.docs)))
        if kind == "retired":
            return data.draw(st.sampled_from(c.retired))
        u = str(uuid.UUID(int=data.draw(st.integers(0, 2**128 - 1)), version=4))
        return data.draw(st.sampled_from([u, u.upper(), "{" + u + "}", u.replace("-", "")]))

    @staticmethod
    def canonical(doc_id):
        return str(uuid.UUID(doc_id))

    def embedding(self, data, dim):
        n = data.draw(st.sampled_from([dim, dim, dim, dim + 1, max(dim - 1, 0)]))
        return data.draw(st.lists(component, min_size=n, max_size=n))

    @rule(name=st.sampled_from(NAMES), text=texts, meta=metadata, data=st.data())
    def insert(self, name, text, meta, data):
        c = self.colls.get(name)
        doc_id = self.pick_id(data, c)
        emb = self.embedding(data, c.dim if c else 3)
        if c is None:
            exc = KeyError
        elif doc_id == BAD_ID or len(emb) != c.dim or not all_finite(emb):
            exc = ValueError
        elif doc_id is not None and self.canonical(doc_id) in c.docs:
            exc = ValueError
        else:
            exc = None
        got = self.expect(exc, lambda: self.db.insert(name, text, emb, metadata=meta, id=doc_id))
        if got is None:
            return
        assert doc_id is None or got == self.canonical(doc_id)
        c.docs[got] = (text, meta)
        if got in c.retired:
            c.retired.remove(got)

    @rule(name=st.sampled_from(NAMES), data=st.data(), size=st.integers(0, 4))
    def batch_insert(self, name, data, size):
        c = self.colls.get(name)
        docs, bad, seen = [], False, set()
        for _ in range(size):
            doc = {"text": data.draw(texts), "embedding": self.embedding(data, c.dim if c else 3),
                   "metadata": data.draw(metadata)}
            doc_id = self.pick_id(data, c)
            if doc_id is not None:
                doc["id"] = doc_id
            flaw = data.draw(st.sampled_from([None] * 8 + ["text", "embedding"]))
            if flaw:
                del doc[flaw]
            docs.append(doc)
            canon = None if doc_id in (None, BAD_ID) else self.canonical(doc_id)
            emb = doc.get("embedding", [])
            bad |= (flaw is not None or doc_id == BAD_ID or (c and len(emb) != c.dim) or
                    not all_finite(emb) or canon in seen or (c is not None and canon in c.docs))
            if canon:
                seen.add(canon)
        exc = KeyError if c is None else (ValueError if bad else None)
        got = self.expect(exc, lambda: self.db.batch_insert(name, docs))
        if got is None:
            return
        assert len(got) == len(docs)
        for doc_id, doc in zip(got, docs):
            if "id" in doc:
                assert doc_id == self.canonical(doc["id"])
            c.docs[doc_id] = (doc["text"], doc["metadata"])
            if doc_id in c.retired:
                c.retired.remove(doc_id)

    @rule(name=st.sampled_from(NAMES), data=st.data())
    def get(self, name, data):
        c = self.colls.get(name)
        doc_id = self.pick_id(data, c, allow_none=False)
        if c is None:
            exc = KeyError
        elif doc_id == BAD_ID:
            exc = ValueError
        else:
            exc = None if self.canonical(doc_id) in c.docs else KeyError
        got = self.expect(exc, lambda: self.db.get(name, doc_id))
        if got is not None:
            text, meta = c.docs[self.canonical(doc_id)]
            assert got["id"] == self.canonical(doc_id) and got["text"] == text
            assert same_metadata(got["metadata"], meta)

    @rule(name=st.sampled_from(NAMES), data=st.data())
    def delete(self, name, data):
        c = self.colls.get(name)
        doc_id = self.pick_id(data, c, allow_none=False)
        exc = KeyError if c is None else (ValueError if doc_id == BAD_ID else None)
        got = self.expect(exc, lambda: self.db.delete(name, doc_id))
        if exc is None:
            canon = self.canonical(doc_id)
            assert got is (canon in c.docs)
            if c.docs.pop(canon, None) is not None:
                c.retired.append(canon)

    @rule(name=st.sampled_from(NAMES))
    def rebuild(self, name):
        c = self.colls.get(name)
        got = self.expect(None if c else KeyError, lambda: self.db.rebuild(name))
        if c:
            assert got == len(c.docs)

    # ---- search ----

    @rule(name=st.sampled_from(NAMES), data=st.data(), k=st.sampled_from([1, 3, 10, 10**12]),
          mode=st.sampled_from(["vector", "text", "hybrid", "none"]),
          fusion=st.sampled_from(["rrf", "linear"]), alpha=st.floats(0, 1),
          min_sim=st.none() | st.floats(-2, 2), n=st.none() | st.integers(0, 3))
    def search(self, name, data, k, mode, fusion, alpha, min_sim, n):
        c = self.colls.get(name)
        emb = self.embedding(data, c.dim if c else 3) if mode in ("vector", "hybrid") else None
        text = data.draw(queries) if mode in ("text", "hybrid") else None
        flt = None if n is None else {"must": [{"field": "n", "op": "eq", "value": n}]}
        if c is None:
            exc = KeyError
        elif mode == "none" or (emb is not None and (len(emb) != c.dim or not all_finite(emb))):
            exc = ValueError
        else:
            exc = None
        hits = self.expect(exc, lambda: self.db.search(
            name, query_embedding=emb, query_text=text, k=k, min_similarity=min_sim, alpha=alpha,
            fusion_method=fusion, filter=flt))
        if hits is None:
            return
        ids = [h.id for h in hits]
        assert len(ids) == len(set(ids)) and len(ids) <= min(k, len(c.docs))
        for h in hits:
            assert h.id in c.docs, "a search returned a document that is not live"
            text_, meta = c.docs[h.id]
            assert h.text == text_ and same_metadata(h.metadata, meta)
            if n is not None:
                assert meta.get("n") == n and type(meta.get("n")) is int
            if min_sim is not None:
                # A NaN score (cosine of components near the float range) is kept, as documented.
                assert h.score >= min_sim or math.isnan(h.score)
        scores = [h.score for h in hits]
        if not any(math.isnan(s) for s in scores):
            assert scores == sorted(scores, reverse=True)

    # ---- calls that conversion must refuse, leaving everything unchanged ----

    @rule(which=st.integers(0, 9))
    def wrong_types(self, which):
        name = next(iter(self.colls), "a")
        dim = self.colls[name].dim if self.colls else 1
        calls = [
            (TypeError, lambda: self.db.insert(name, b"bytes", [1.0])),
            (TypeError, lambda: self.db.insert(name, "t", "1.0")),
            (TypeError, lambda: self.db.insert(name, "t", [1.0, "x"])),
            (TypeError, lambda: self.db.insert(name, "t", [1.0], metadata=[("k", 1)])),
            (TypeError, lambda: self.db.batch_insert(name, ({"text": "t", "embedding": [1.0]},))),
            # Elements are parsed after the collection is looked up.
            (TypeError if self.colls else KeyError,
             lambda: self.db.batch_insert(name, [{"text": "t", "embedding": [1.0] * dim,
                                                  "metadata": None}])),
            (OverflowError, lambda: self.db.create_collection("z", -1)),
            (TypeError, lambda: self.db.search(name, query_text="x", k="3")),
            (TypeError, lambda: self.db.delete_collection(None)),
            (TypeError, lambda: self.db.get(name, 5)),
        ]
        exc, call = calls[which]
        self.expect(exc, call)

    # ---- the model, checked after every step ----

    @invariant()
    def same_collections(self):
        assert sorted(self.db.list_collections()) == sorted(self.colls)
        for name, c in self.colls.items():
            assert self.db.collection_info(name).document_count == len(c.docs)

    def check_everything(self):
        self.same_collections()
        for name, c in self.colls.items():
            assert self.db.collection_info(name).dimension == c.dim
            for doc_id, (text, meta) in c.docs.items():
                got = self.db.get(name, doc_id)
                assert got["text"] == text and same_metadata(got["metadata"], meta)
            for doc_id in c.retired:
                if doc_id not in c.docs:
                    with pytest.raises(KeyError):
                        self.db.get(name, doc_id)


class PersistentMachine(DatabaseMachine):
    """A persistent handle (plain or sealed), with checkpoints, exports, loads and reopens."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="tarnwell-model-")
        self.key = None
        self.exports = {}  # name -> (dim, docs) saved into self.dir/export
        super().__init__()

    def open(self):
        return Tarnwell(data_dir=self.dir + "/data", encryption_key=self.key)

    @initialize(sealed=st.booleans())
    def choose_key(self, sealed):
        if sealed:
            self.key = "0f" * 32
            self.db = None
            shutil.rmtree(self.dir + "/data", ignore_errors=True)
            self.db = self.open()

    @rule()
    def reopen(self):
        self.db = None
        self.db = self.open()
        self.check_everything()

    @rule(name=st.sampled_from(NAMES))
    def save(self, name):
        self.expect(None if name in self.colls else KeyError, lambda: self.db.save(name))

    @rule()
    def compact(self):
        self.expect(None, lambda: self.db.compact())

    @rule(name=st.sampled_from(NAMES))
    def export(self, name):
        c = self.colls.get(name)
        self.expect(None if c else KeyError,
                    lambda: self.db.save(name, path=self.dir + "/export", encryption_key=self.key))
        if c:
            self.exports[name] = (c.dim, dict(c.docs))

    @precondition(lambda self: self.exports)
    @rule(data=st.data())
    def load(self, data):
        name = data.draw(st.sampled_from(sorted(self.exports)))
        self.expect(None, lambda: self.db.load(name, path=self.dir + "/export",
                                               encryption_key=self.key))
        dim, docs = self.exports[name]
        self.colls[name] = Coll(dim)
        self.colls[name].docs = dict(docs)

    def teardown(self):
        try:
            if self.db is not None:
                self.reopen()
        finally:
            self.db = None
            shutil.rmtree(self.dir, ignore_errors=True)


# TARNWELL_MODEL_EXAMPLES raises the number of sequences for a long run.
SETTINGS = settings(max_examples=int(os.environ.get("TARNWELL_MODEL_EXAMPLES", "60")),
                    stateful_step_count=40, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

TestEphemeral = DatabaseMachine.TestCase
TestEphemeral.settings = SETTINGS
TestPersistent = PersistentMachine.TestCase
TestPersistent.settings = SETTINGS
