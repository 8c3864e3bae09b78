"""The reference model for the crash and fault tests: the logical contents a database must have
(collections with their dimension and live documents, and the snapshot files exported to other
directories), the random operations the workload applies, the outcome each must have, and the
comparison of a live handle against the model.

Operations are plain JSON-able dicts so that a child process can report them on a pipe and the
parent can rebuild the same model from what was acknowledged.
"""
import copy
import math
import random
import uuid

NAMES = ["c0", "c1", "über café", "x.y", "名前", "-dash", "a.twl"]
MISSING_EXPORT = "never-saved"
METRICS = ["cosine", "euclidean", "dot_product"]
WORDS = ["alpha", "beta", "gamma", "delta", "río", "straße", "ŒUVRE", "mañana", "ΣΟΦΙΑ", "tree"]


class Model:
    def __init__(self):
        # name -> {"dim": int, "docs": {id: [text, metadata]}, "retired": [ids deleted]}
        self.colls = {}
        # "dir\x00name" -> {"dim", "docs", "key"}: the file "{name}.twl" saved into dir
        self.exports = {}

    def to_json(self):
        return {"colls": self.colls, "exports": self.exports}

    @classmethod
    def from_json(cls, data):
        m = cls()
        m.colls = data["colls"]
        m.exports = data["exports"]
        return m

    def copy(self):
        return Model.from_json(copy.deepcopy(self.to_json()))

    def doc_count(self):
        return sum(len(c["docs"]) for c in self.colls.values())


def export_key(directory, name):
    return directory + "\x00" + name


# ---- outcomes ----


def expected(model, op):
    """("ok", None) when the operation must succeed, ("err", type name) when it must raise."""
    kind = op["op"]
    colls = model.colls
    if kind == "create":
        return ("err", "ValueError") if op["name"] in colls else ("ok", None)
    if kind in ("delete_coll", "compact", "close"):
        return ("ok", None)
    if kind == "load":
        e = model.exports.get(export_key(op["dir"], op["name"]))
        # A plain file loads whatever key is offered; a sealed one needs its own.
        if e is None or (e["key"] is not None and e["key"] != op["key"]):
            return ("err", "RuntimeError")
        return ("ok", None)
    c = colls.get(op["coll"])
    if c is None:
        return ("err", "KeyError")
    if kind in ("insert", "upsert"):
        if len(op["emb"]) != c["dim"] or (kind == "insert" and op.get("id") in c["docs"]):
            return ("err", "ValueError")
    elif kind == "update":
        if op["emb"] is not None and len(op["emb"]) != c["dim"]:
            return ("err", "ValueError")
        if op["id"] not in c["docs"]:
            return ("err", "KeyError")
    elif kind == "batch":
        ids = [d["id"] for d in op["docs"] if d.get("id")]
        if (any(len(d["emb"]) != c["dim"] for d in op["docs"]) or len(set(ids)) != len(ids)
                or any(i in c["docs"] for i in ids)):
            return ("err", "ValueError")
    return ("ok", None)


def result_of(model, op):
    """The value an acknowledged operation returns, where the model can tell it in advance."""
    kind = op["op"]
    if kind == "delete_coll":
        return op["name"] in model.colls
    if kind == "delete":
        return op["id"] in model.colls[op["coll"]]["docs"]
    if kind == "rebuild":
        return len(model.colls[op["coll"]]["docs"])
    if kind in ("delete_many", "delete_where"):
        return len(_doomed(model.colls[op["coll"]], op))
    return None


def _doomed(c, op):
    """The live ids a delete_many or delete_where removes."""
    if op["op"] == "delete_many":
        return sorted(set(i for i in op["ids"] if i in c["docs"]))
    return sorted(i for i, (_, meta) in c["docs"].items()
                  if isinstance(meta.get(op["field"]), str) and meta[op["field"]] == op["value"])


def apply(model, op, result):
    """Applies a successful operation; `result` is what the call returned (the ids of inserts)."""
    kind = op["op"]
    if kind == "create":
        model.colls[op["name"]] = {"dim": op["dim"], "docs": {}, "retired": []}
    elif kind == "delete_coll":
        model.colls.pop(op["name"], None)
    elif kind == "insert":
        _put(model.colls[op["coll"]], result, op)
    elif kind == "batch":
        for doc_id, d in zip(result, op["docs"]):
            _put(model.colls[op["coll"]], doc_id, d)
    elif kind == "upsert":
        _put(model.colls[op["coll"]], op["id"], op)
    elif kind == "update":
        doc = model.colls[op["coll"]]["docs"][op["id"]]
        if op["text"] is not None:
            doc[0] = op["text"]
        if op["meta"] is not None:
            doc[1] = op["meta"]
    elif kind in ("delete", "delete_many", "delete_where"):
        c = model.colls[op["coll"]]
        for doc_id in [op["id"]] if kind == "delete" else _doomed(c, op):
            if c["docs"].pop(doc_id, None) is not None:
                c["retired"].append(doc_id)
        del c["retired"][:-20]
    elif kind == "save_to":
        c = model.colls[op["coll"]]
        model.exports[export_key(op["dir"], op["coll"])] = {
            "dim": c["dim"], "docs": copy.deepcopy(c["docs"]), "key": op["key"]}
    elif kind == "load":
        e = model.exports[export_key(op["dir"], op["name"])]
        model.colls[op["name"]] = {"dim": e["dim"], "docs": copy.deepcopy(e["docs"]),
                                   "retired": []}


def _put(c, doc_id, d):
    c["docs"][doc_id] = [d["text"], d["meta"]]
    if doc_id in c["retired"]:
        c["retired"].remove(doc_id)


# ---- generation ----


class Generator:
    """Draws operations that are mostly valid for the current model, with a share of refused
    ones (taken names, live ids, wrong lengths, missing collections) and of id reuse."""

    def __init__(self, seed, token_base, export_dirs, keys, max_docs=600, extra=None):
        self.rnd = random.Random(seed)
        self.extra = extra or {}  # more kinds and their weights (close, in the crash runs)
        self.base = token_base
        self.seq = 0
        self.export_dirs = export_dirs
        self.keys = keys  # keys a save_to may use; None = the handle's own
        self.max_docs = max_docs

    def token(self):
        self.seq += 1
        return f"k{self.base}x{self.seq}"

    def text(self):
        r = self.rnd
        words = [r.choice(WORDS) for _ in range(r.randint(0, 4))]
        words.insert(r.randint(0, len(words)), self.token())
        return " ".join(words)

    def metadata(self):
        r = self.rnd
        meta = {}
        for i in range(r.randint(0, 3)):
            kind = r.randrange(5)
            if kind == 0:
                v = r.random() < 0.5
            elif kind == 1:
                v = r.choice([0, -1, 2**63 - 1, -(2**63), r.randint(-1000, 1000)])
            elif kind == 2:
                v = r.choice([0.5, -0.0, math.inf, 1e300, r.uniform(-1, 1)])
            elif kind == 3:
                v = r.choice(["", "é", "x" * 40, "名"])
            else:
                v = r.randint(0, 9)
            meta[r.choice(["n", "tag", "ключ", "k" + str(i)])] = v
        return meta

    def emb(self, dim):
        return [round(self.rnd.uniform(-1, 1), 4) for _ in range(dim)]

    def doc_id(self, c, allow_auto=True):
        r = self.rnd.random()
        if allow_auto and r < 0.3:
            return None
        if r < 0.4 and c and c["retired"]:
            return self.rnd.choice(c["retired"])
        if r < 0.45 and c and c["docs"]:
            return self.rnd.choice(list(c["docs"]))  # live: refused
        return str(uuid.UUID(int=self.rnd.getrandbits(128), version=4))

    def pick_coll(self, model):
        if model.colls and self.rnd.random() < 0.95:
            return self.rnd.choice(sorted(model.colls))
        return self.rnd.choice(NAMES)

    def next(self, model):
        r = self.rnd
        full = model.doc_count() > self.max_docs
        weights = {
            "insert": 8 if full else 30, "batch": 4 if full else 12, "delete": 40 if full else 15,
            "create": 6, "delete_coll": 5 if full else 3, "save": 6, "save_to": 4, "load": 3,
            "compact": 5, "rebuild": 3, "search": 4, "upsert": 4 if full else 8,
            "update": 8, "delete_many": 6 if full else 3, "delete_where": 3 if full else 1,
        }
        weights.update(self.extra)
        if not model.colls:
            weights["create"] = 60
        kind = r.choices(list(weights), list(weights.values()))[0]
        return getattr(self, "gen_" + kind)(model)

    def gen_create(self, model):
        r = self.rnd
        free = [n for n in NAMES if n not in model.colls]
        name = r.choice(free) if free and r.random() < 0.85 else r.choice(NAMES)
        return {"op": "create", "name": name, "dim": r.randint(2, 8),
                "m": r.choice([None, 2, 4, 8]), "ef_construction": r.choice([None, 8, 40]),
                "ef_search": r.choice([None, 10, 64]), "metric": r.choice([None] + METRICS),
                "raw": r.choice([None, False, True])}

    def gen_delete_coll(self, model):
        return {"op": "delete_coll", "name": self.pick_coll(model)}

    def gen_insert(self, model):
        name = self.pick_coll(model)
        c = model.colls.get(name)
        dim = c["dim"] if c else 4
        if self.rnd.random() < 0.03:
            dim += 1
        return {"op": "insert", "coll": name, "id": self.doc_id(c), "text": self.text(),
                "meta": self.metadata(), "emb": self.emb(dim)}

    def gen_batch(self, model):
        r = self.rnd
        name = self.pick_coll(model)
        c = model.colls.get(name)
        dim = c["dim"] if c else 4
        docs = []
        # Now and then one large enough to be inserted on several threads.
        size = 150 if r.random() < 0.05 else r.choice([0, 1, 2, 3, 5, 8, 20])
        for _ in range(size):
            doc_id = self.doc_id(c)
            if doc_id in (c["docs"] if c else {}) and r.random() < 0.7:
                doc_id = None  # keep refused batches rarer than refused single inserts
            docs.append({"id": doc_id, "text": self.text(), "meta": self.metadata(),
                         "emb": self.emb(dim + (1 if r.random() < 0.01 else 0))})
        if docs and r.random() < 0.02 and docs[0]["id"]:
            docs.append(dict(docs[0]))  # repeated within the batch: refused
        return {"op": "batch", "coll": name, "docs": docs}

    def gen_delete(self, model):
        name = self.pick_coll(model)
        c = model.colls.get(name)
        doc_id = self.doc_id(c, allow_auto=False)
        if c and c["docs"] and self.rnd.random() < 0.7:
            doc_id = self.rnd.choice(list(c["docs"]))
        return {"op": "delete", "coll": name, "id": doc_id}

    def gen_upsert(self, model):
        op = dict(self.gen_insert(model), op="upsert")
        c = model.colls.get(op["coll"])
        if c and c["docs"] and self.rnd.random() < 0.4:
            op["id"] = self.rnd.choice(list(c["docs"]))  # replaces a live document
        elif op["id"] is None:
            op["id"] = self.doc_id(None, allow_auto=False)
        return op

    def gen_update(self, model):
        r = self.rnd
        op = self.gen_delete(model)
        c = model.colls.get(op["coll"])
        dim = c["dim"] if c else 4
        fields = r.choice([("text",), ("meta",), ("text", "meta"), ("emb",), ("text", "emb")])
        return {"op": "update", "coll": op["coll"], "id": op["id"],
                "text": self.text() if "text" in fields else None,
                "meta": self.metadata() if "meta" in fields else None,
                "emb": self.emb(dim + (1 if r.random() < 0.02 else 0)) if "emb" in fields
                else None}

    def gen_delete_many(self, model):
        ops = [self.gen_delete(model) for _ in range(self.rnd.choice([0, 1, 3, 10]))]
        name = ops[0]["coll"] if ops else self.pick_coll(model)
        return {"op": "delete_many", "coll": name,
                "ids": [o["id"] for o in ops if o["coll"] == name]}

    def gen_delete_where(self, model):
        return {"op": "delete_where", "coll": self.pick_coll(model),
                "field": self.rnd.choice(["tag", "n", "k0"]),
                "value": self.rnd.choice(["", "é", "名"])}

    def gen_save(self, model):
        return {"op": "save", "coll": self.pick_coll(model)}

    def gen_save_to(self, model):
        return {"op": "save_to", "coll": self.pick_coll(model),
                "dir": self.rnd.choice(self.export_dirs), "key": self.rnd.choice(self.keys)}

    def gen_load(self, model):
        r = self.rnd
        if model.exports and r.random() < 0.9:
            k = r.choice(sorted(model.exports))
            directory, name = k.split("\x00")
            key = model.exports[k]["key"]
            if r.random() < 0.1:
                key = r.choice(self.keys)  # possibly the wrong key: refused
            return {"op": "load", "name": name, "dir": directory, "key": key}
        return {"op": "load", "name": MISSING_EXPORT, "dir": r.choice(self.export_dirs),
                "key": None}

    def gen_compact(self, model):
        return {"op": "compact"}

    def gen_close(self, model):
        return {"op": "close"}

    def gen_rebuild(self, model):
        return {"op": "rebuild", "coll": self.pick_coll(model)}

    def gen_search(self, model):
        name = self.pick_coll(model)
        c = model.colls.get(name)
        return {"op": "search", "coll": name, "emb": self.emb(c["dim"] if c else 4),
                "k": self.rnd.choice([1, 5, 50])}


# ---- running an operation on a handle ----


def run(db, op, handle_key):
    """Calls the handle for `op`. `handle_key` is the key the handle was opened with; an op key
    of None means "the handle's own" for saves and "no key" for loads of plain files."""
    kind = op["op"]
    if kind == "create":
        return db.create_collection(op["name"], op["dim"], m=op["m"],
                                    ef_construction=op["ef_construction"],
                                    ef_search=op["ef_search"], distance_metric=op["metric"],
                                    store_raw_vectors=op["raw"])
    if kind == "delete_coll":
        return db.delete_collection(op["name"])
    if kind == "insert":
        return db.insert(op["coll"], op["text"], op["emb"], metadata=op["meta"], id=op["id"])
    if kind == "batch":
        docs = []
        for d in op["docs"]:
            doc = {"text": d["text"], "embedding": d["emb"], "metadata": d["meta"]}
            if d["id"]:
                doc["id"] = d["id"]
            docs.append(doc)
        return db.batch_insert(op["coll"], docs)
    if kind == "delete":
        return db.delete(op["coll"], op["id"])
    if kind == "upsert":
        return db.upsert(op["coll"], op["text"], op["emb"], metadata=op["meta"], id=op["id"])
    if kind == "update":
        return db.update(op["coll"], op["id"], text=op["text"], metadata=op["meta"],
                         embedding=op["emb"])
    if kind == "delete_many":
        return db.delete_many(op["coll"], op["ids"])
    if kind == "delete_where":
        return db.delete_where(op["coll"], {"must": [
            {"field": op["field"], "op": "eq", "value": op["value"]}]})
    if kind == "save":
        return db.save(op["coll"])
    if kind == "save_to":
        return db.save(op["coll"], path=op["dir"], encryption_key=op["key"])
    if kind == "load":
        return db.load(op["name"], path=op["dir"], encryption_key=op["key"])
    if kind == "compact":
        return db.compact()
    if kind == "close":
        return db.close()  # the caller opens the directory again
    if kind == "rebuild":
        return db.rebuild(op["coll"])
    if kind == "search":
        return [(r.id, r.text) for r in db.search(op["coll"], query_embedding=op["emb"],
                                                   k=op["k"])]
    raise AssertionError(f"unknown operation {kind}")


def normalise_save_to(op, handle_key):
    """A save_to without a key is sealed with the handle's key: record the key the file needs."""
    if op["op"] == "save_to" and op["key"] is None:
        op = dict(op, key=handle_key)
    return op


def candidates(db, model, op):
    """The models a reopened database may equal when `op` was in flight (or failed in a way that
    leaves its record possibly in the log): without it, and with it for operations that change
    anything. Ids drawn by the handle are found again by the documents' unique keywords."""
    without = model.copy()
    if op is None:
        return [without]
    if op["op"] == "save_to":
        # The exported file may be the old or the new one: neither may be relied on any more.
        without.exports.pop(op["dir"] + "\x00" + op["coll"], None)
        return [without]
    if expected(model, op)[0] != "ok" or op["op"] in ("save", "compact", "rebuild", "search", "close"):
        return [without]
    with_op = without.copy()
    if op["op"] in ("insert", "batch"):
        docs = [op] if op["op"] == "insert" else op["docs"]
        ids = []
        for d, token in zip(docs, tokens_of(op)):
            if d["id"]:
                ids.append(d["id"])
                continue
            found = find_by_token(db, op["coll"], token, d["text"])
            if len(found) != 1:
                return [without]
            ids.append(found[0])
        apply(with_op, op, ids[0] if op["op"] == "insert" else ids)
    else:
        apply(with_op, op, None)
    return [without, with_op]


# ---- comparing a handle with the model ----


def same_value(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    if isinstance(a, float) and a == 0.0:
        return math.copysign(1, a) == math.copysign(1, b)
    return a == b


def same_metadata(a, b):
    return a.keys() == b.keys() and all(same_value(a[k], b[k]) for k in a)


def mismatch(db, model, deep=False, rnd=None):
    """None when the handle holds exactly the model's collections and live documents (dimension,
    count, every id with its text and metadata), else a description of the first difference.
    `deep` also checks that searches only return live documents and find each sampled document
    by its unique keyword."""
    names = set(db.list_collections())
    if names != set(model.colls):
        return f"collections {sorted(names)} != model {sorted(model.colls)}"
    for name, c in sorted(model.colls.items()):
        info = db.collection_info(name)
        if info.dimension != c["dim"]:
            return f"{name!r}: dimension {info.dimension} != {c['dim']}"
        if info.document_count != len(c["docs"]):
            return f"{name!r}: {info.document_count} documents != model {len(c['docs'])}"
        for doc_id, (text, meta) in c["docs"].items():
            try:
                got = db.get(name, doc_id)
            except KeyError:
                return f"{name!r}: document {doc_id} missing"
            if got["text"] != text or not same_metadata(got["metadata"], meta):
                return f"{name!r}: document {doc_id} is {got!r}, model {text!r} {meta!r}"
        for doc_id in c["retired"]:
            if doc_id not in c["docs"] and _exists(db, name, doc_id):
                return f"{name!r}: deleted document {doc_id} is back"
        if deep:
            problem = _search_mismatch(db, name, c, rnd or random.Random(0))
            if problem:
                return problem
    return None


def _exists(db, name, doc_id):
    try:
        db.get(name, doc_id)
        return True
    except KeyError:
        return False


def _search_mismatch(db, name, c, rnd):
    docs = c["docs"]
    q = [rnd.uniform(-1, 1) for _ in range(c["dim"])]
    hits = db.search(name, query_embedding=q, k=len(docs) + 3)
    if len(hits) > len(docs) or any(h.id not in docs for h in hits):
        return f"{name!r}: vector search returned a document that is not live"
    if len({h.id for h in hits}) != len(hits):
        return f"{name!r}: vector search returned a document twice"
    for doc_id in rnd.sample(sorted(docs), min(5, len(docs))):
        token = next(w for w in docs[doc_id][0].split() if w.startswith("k"))
        found = [h.id for h in db.search(name, query_text=token, k=3)]
        if found != [doc_id]:
            return f"{name!r}: keyword {token} found {found}, expected [{doc_id}]"
    return None


def tokens_of(op):
    """The unique keyword of each document an insert or batch carries."""
    docs = [op] if op["op"] == "insert" else op.get("docs", [])
    return [next(w for w in d["text"].split() if w.startswith("k")) for d in docs]


def find_by_token(db, coll, token, text):
    """Ids of the live documents of `coll` carrying `token` with exactly `text`."""
    try:
        hits = db.search(coll, query_text=token, k=3)
    except KeyError:
        return []
    return [h.id for h in hits if h.text == text]
