"""Sharded collections on Ray: the ``Tarnwell`` API over several shards, one Ray actor each.

``ShardedTarnwell`` takes the methods of ``Tarnwell`` with the same arguments, results and
errors (all but scan, documents and insert_columns, not yet sharded), so a program switches by
changing its constructor::

    from tarnwell.cluster import ShardedTarnwell
    db = ShardedTarnwell(4, data_dir="/data/tw")   # shards under /data/tw/shard-0 ... shard-3

Routing. A document lives on the shard chosen by a hash of its UUID. Ids are assigned here,
before routing, when the caller gives none, so ``get`` and ``delete`` touch one shard.

Searches merge exactly. Vector search merges every shard's best k by score. Keyword search
first sums the shards' BM25 figures for the query (document count, total length, each term's
document frequency) and has every shard score with the sums, so the scores and the ranking are
those of one collection holding all the documents. Hybrid search merges both lists that way and
fuses them here with the fusion the core runs (``Tarnwell.fuse_rankings``). Filters run on the
shards. Documents of equal score are ordered by shard, then by the shard's own order.

Writes across shards. ``batch_insert`` sends each shard its part in parallel; each part is
stored all or nothing, but the parts are independent: when one fails after others were stored,
the error raised is that shard's, with ``assigned_ids`` (the id of every document, in order,
generated ones included) and ``committed_ids`` (those stored) attached. Retrying the same batch
with those ids is safe: a part whose documents are all already stored with the same text and
metadata counts as done (so a second identical ``batch_insert`` succeeds where one collection
would refuse the repeated ids).

Faults. Persistent shards are restarted by Ray when their process dies and reopen their
directory, replaying the log, so no acknowledged write is lost; they must be restarted where
that directory is (a node's own disk, or shared storage). Reads, and the parts of
``batch_insert`` and ``ingest`` (safe to send again, as above), wait for a restarting shard and
are sent again, up to ``retry_timeout_s``. Other writes that meet a dead or restarting shard
raise ``ShardUnavailableError``: they may or may not have been applied. In-memory shards (no
data_dir) are not restarted, since they would come back empty: their calls fail with
``ShardUnavailableError`` once they die.

Requires Ray: ``pip install "tarnwell[cluster]"``.
"""

from __future__ import annotations

import hashlib
import math
import os
import time
import uuid
import warnings
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

try:
    import ray
    from ray.exceptions import RayActorError
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError('tarnwell.cluster needs Ray: pip install "tarnwell[cluster]"') from e

from _tarnwell import CollectionInfo as _CoreInfo
from _tarnwell import SearchResult as _CoreResult
from _tarnwell import Tarnwell

fuse_rankings = Tarnwell.fuse_rankings

__all__ = ["ShardedTarnwell", "ShardUnavailableError", "SearchResult", "CollectionInfo"]

# Errors raised while an actor is dead or restarting (the second exists in newer Ray only).
_ACTOR_ERRORS: Tuple[type, ...] = (RayActorError,) + tuple(
    e for e in (getattr(ray.exceptions, "ActorUnavailableError", None),) if e is not None
)


class ShardUnavailableError(RuntimeError):
    """A shard's actor died or stayed unreachable during a call."""


class SearchResult:
    """A single search result with document ID, text, score, and metadata."""

    __slots__ = ("id", "text", "score", "metadata")

    def __init__(self, id: str, text: str, score: float, metadata: Dict[str, Any]):
        self.id, self.text, self.score, self.metadata = id, text, score, metadata

    def __repr__(self) -> str:
        preview = self.text if len(self.text) <= 50 else self.text[:50] + "..."
        return f"SearchResult(id='{self.id}', text='{preview}', score={self.score:.4f})"


class CollectionInfo:
    """Information about a collection, summed over its shards."""

    __slots__ = ("name", "dimension", "document_count", "estimated_memory_bytes")

    def __init__(self, name: str, dimension: int, document_count: int, memory: int):
        self.name, self.dimension = name, dimension
        self.document_count, self.estimated_memory_bytes = document_count, memory

    def __repr__(self) -> str:
        return (
            f"CollectionInfo(name='{self.name}', dimension={self.dimension}, "
            f"documents={self.document_count}, memory={self.estimated_memory_bytes})"
        )


def shard_of(doc_id: Any, num_shards: int) -> int:
    """The shard a document id routes to: a hash of its 16 bytes, so any spelling of one UUID
    routes alike. Text that is not a UUID routes to shard 0, whose core refuses it."""
    try:
        raw = doc_id.bytes if isinstance(doc_id, uuid.UUID) else uuid.UUID(doc_id).bytes
    except (TypeError, ValueError, AttributeError):
        return 0
    return int.from_bytes(hashlib.blake2b(raw, digest_size=8).digest(), "little") % num_shards


def _portable(value: Any) -> Any:
    """Results of the core, as plain values that can leave the actor's process."""
    if isinstance(value, list):
        return [_portable(v) for v in value]
    if isinstance(value, _CoreResult):
        return (value.id, value.text, value.score, value.metadata)
    if isinstance(value, _CoreInfo):
        return (value.name, value.dimension, value.document_count, value.estimated_memory_bytes)
    return value


class _Shard:
    """One shard: a Tarnwell handle in an actor's process. Every call returns (ok, value) with the
    handle's own exception as the value on failure, so the caller raises exactly what one
    handle would."""

    def __init__(self, data_dir: Optional[str], encryption_key: Optional[str]):
        self._db: Optional[Tarnwell] = None
        self._open_error: Optional[BaseException] = None
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                self._db = Tarnwell(data_dir, encryption_key)
            except Exception as e:  # handed to the caller by opened()
                self._open_error = e
        self._warnings = [(str(w.message), w.category) for w in caught]

    def opened(self):
        return self._open_error, self._warnings

    def call(self, method: str, args: tuple, kwargs: dict):
        try:
            return True, _portable(getattr(self._db, method)(*args, **kwargs))
        except Exception as e:
            return False, e

    def insert_part(self, collection: str, documents: List[dict]):
        """batch_insert of this shard's part; a part already stored as given counts as done."""
        try:
            return True, self._db.batch_insert(collection, documents)
        except ValueError as e:
            stored = "already exists" in str(e) and self._stored_as_given(collection, documents)
            return (True, stored) if stored else (False, e)
        except Exception as e:
            return False, e

    def _stored_as_given(self, collection: str, documents: List[dict]) -> Optional[List[str]]:
        """The ids of the documents when every one is stored with the same text and metadata."""
        ids = []
        for d in documents:
            try:
                stored = self._db.get(collection, d["id"])
            except KeyError:
                return None
            if stored["text"] != d.get("text") or stored["metadata"] != (d.get("metadata") or {}):
                return None
            ids.append(stored["id"])
        return ids

    def hybrid_parts(self, collection: str, query: tuple, stats: Optional[dict]):
        """The vector list and the keyword list of a hybrid search, each this shard's best k. The
        two calls check every argument: a vector search ignores alpha and fusion_method, a
        keyword search min_similarity."""
        embedding, text, k, min_similarity, alpha, fusion, flt = query
        try:
            vec = self._db.search(collection, embedding, None, k, None, alpha, fusion, flt)
            kw = self._db.search(collection, None, text, k, min_similarity, filter=flt,
                                 bm25_statistics=stats)
            return True, (_portable(vec), _portable(kw))
        except Exception as e:
            return False, e

    def close(self):
        self._db = None  # the handle's destructor closes its files


def _unwrap(outcome):
    ok, value = outcome
    if not ok:
        raise value
    return value


def _merge(parts: Iterable[List[tuple]], k: int) -> List[tuple]:
    """The best k of per-shard lists by score; equal scores keep shard order (stable sort)."""
    merged = [hit for part in parts for hit in part]
    merged.sort(key=lambda hit: -hit[2] if hit[2] == hit[2] else math.inf)  # NaN ranks last
    return merged[:k]


def _results(hits: List[tuple]) -> List[SearchResult]:
    return [SearchResult(*hit) for hit in hits]


def _fuse(vector_parts, keyword_parts, k, min_similarity, alpha, fusion_method):
    """One hybrid result from the shards' lists: each side merged, then fused by the core's
    fusion over numbers standing for the documents."""
    vector = _merge(vector_parts, k)
    keyword = _merge(keyword_parts, k)
    hits: Dict[str, tuple] = {}
    for hit in vector + keyword:
        hits.setdefault(hit[0], hit)
    ids = list(hits)
    number = {doc_id: n for n, doc_id in enumerate(ids)}
    fused = fuse_rankings([(number[h[0]], h[2]) for h in vector],
                          [(number[h[0]], h[2]) for h in keyword], k, fusion_method, alpha)
    out = []
    for n, score in fused:
        if min_similarity is not None and score < min_similarity:
            continue
        doc_id, text, _, metadata = hits[ids[n]]
        out.append(SearchResult(doc_id, text, score, metadata))
    return out


def _is_rows(o: Any) -> bool:
    """Whether search takes this query_embedding as several queries: a 2-D buffer, or a
    non-empty list or tuple whose first item is a list, a tuple or a 1-D buffer."""
    if o is None:
        return False
    try:
        return memoryview(o).ndim == 2
    except TypeError:
        pass
    if not isinstance(o, (list, tuple)) or not o:
        return False
    if isinstance(o[0], (list, tuple)):
        return True
    try:
        return memoryview(o[0]).ndim == 1
    except TypeError:
        return False


def _add_ids(documents: Sequence[Any]) -> Optional[List[dict]]:
    """The batch with an id on every document that has none, or None when the batch is not a
    list of dicts (the core then reports what is wrong with it)."""
    if not isinstance(documents, list) or not all(isinstance(d, dict) for d in documents):
        return None
    return [d if "id" in d else {**d, "id": str(uuid.uuid4())} for d in documents]


def _insert_routed(shards: list, collection: str, documents: List[dict],
                   retry_timeout_s: float) -> List[str]:
    """Sends every shard its part of a batch whose documents all carry ids, in parallel; returns
    the ids in order, or raises as the module docstring says. A part whose shard dies is sent
    again once the shard is back (up to retry_timeout_s): if it was stored before the death, the
    shard recognises it."""
    n = len(shards)
    parts: Dict[int, List[dict]] = {}
    for d in documents:
        parts.setdefault(shard_of(d["id"], n), []).append(d)
    stored: Dict[int, List[str]] = {}
    failure: Optional[BaseException] = None
    deadline = time.monotonic() + retry_timeout_s
    pending = dict(parts)
    while pending:
        refs = {s: shards[s].insert_part.remote(collection, part) for s, part in pending.items()}
        pending = {}
        for s, ref in refs.items():
            try:
                ok, value = ray.get(ref)
            except _ACTOR_ERRORS as e:
                if time.monotonic() < deadline:
                    pending[s] = parts[s]
                    continue
                ok, value = False, ShardUnavailableError(
                    f"shard {s} stopped during batch_insert; its part may or may not be stored "
                    "(retrying the same batch with the same ids is safe)"
                )
                value.__cause__ = e
            if ok:
                stored[s] = value
            elif failure is None:
                failure = value
        if pending:
            time.sleep(0.1)  # the shard is restarting: its log replay takes a while
    if failure is None:
        position = {}
        for s, ids in stored.items():
            for d, stored_id in zip(parts[s], ids):
                position[id(d)] = stored_id
        return [position[id(d)] for d in documents]
    if stored:
        failure.assigned_ids = [d["id"] for d in documents]
        failure.committed_ids = [i for ids in stored.values() for i in ids]
        if hasattr(failure, "add_note"):
            failure.add_note(
                f"{len(failure.committed_ids)} of {len(documents)} documents were stored on "
                "other shards; retry the batch with the ids in assigned_ids"
            )
    raise failure


class _IngestBatch:
    """map_batches function of ShardedTarnwell.ingest: one batch of rows into the shards."""

    def __init__(self, shards, collection, text_column, embedding_column, metadata_columns,
                 id_column, retry_timeout_s):
        self.shards, self.collection, self.retry_timeout_s = shards, collection, retry_timeout_s
        self.columns = (text_column, embedding_column, metadata_columns, id_column)

    def __call__(self, batch: Dict[str, Any]) -> Dict[str, Any]:
        import numpy as np

        text_col, emb_col, meta_cols, id_col = self.columns
        texts = list(batch[text_col])
        # A 2-D array for fixed-size vectors, an array of arrays or lists otherwise.
        embeddings = [np.ascontiguousarray(e, dtype=np.float32) for e in batch[emb_col]]
        metas = {c: batch[c].tolist() for c in meta_cols}
        ids = [str(i) for i in batch[id_col]] if id_col else None
        documents = []
        for i, text in enumerate(texts):
            d = {"text": str(text), "embedding": embeddings[i]}
            if meta_cols:
                d["metadata"] = {c: metas[c][i] for c in meta_cols}
            d["id"] = ids[i] if ids else str(uuid.uuid4())
            documents.append(d)
        _insert_routed(self.shards, self.collection, documents, self.retry_timeout_s)
        return {"inserted": np.array([len(documents)])}


def _no_task_retries() -> Dict[str, Any]:
    return {"max_retries": 0}


class ShardedTarnwell:
    """A Tarnwell database split over ``num_shards`` Ray actors (see the module docstring).

    Args:
        num_shards: Number of shards, one actor each.
        data_dir: Persistent shards under ``{data_dir}/shard-{i}`` (on the disk of the node each
            actor runs on); None for in-memory shards.
        encryption_key: As for Tarnwell; it travels to the actors with their arguments.
        address: Ray cluster to connect to, when Ray is not initialised yet (as ``ray.init``:
            None connects to a running cluster or starts a local one).
        max_restarts: Restarts of a dead persistent shard (-1: unlimited). In-memory shards are
            never restarted.
        actor_options: Extra ``ray.remote`` options for the shard actors (``num_cpus``,
            ``resources``, ``scheduling_strategy``...). By default an actor runs up to 4 calls at
            a time (searches run in parallel; writes are serialised by the shard).
        retry_timeout_s: How long reads and batch writes keep waiting for a restarting
            persistent shard.
    """

    def __init__(
        self,
        num_shards: int,
        data_dir: Optional[str] = None,
        encryption_key: Optional[str] = None,
        *,
        address: Optional[str] = None,
        max_restarts: int = -1,
        actor_options: Optional[Dict[str, Any]] = None,
        retry_timeout_s: float = 60.0,
    ):
        if not isinstance(num_shards, int) or isinstance(num_shards, bool) or num_shards < 1:
            raise ValueError("num_shards must be a positive int")
        if not ray.is_initialized():
            ray.init(address=address)
        self.num_shards = num_shards
        self._retry_timeout_s = retry_timeout_s
        options = {"max_concurrency": 4, **(actor_options or {})}
        options["max_restarts"] = max_restarts if data_dir is not None else 0
        self._restarts = options["max_restarts"] != 0
        self._write_retry_s = retry_timeout_s if self._restarts else 0.0
        options["max_task_retries"] = 0  # writes run at most once; reads are re-sent here
        actor = ray.remote(_Shard).options(**options)
        base = None if data_dir is None else os.path.abspath(os.fspath(data_dir))
        self._shards = [
            actor.remote(None if base is None else os.path.join(base, f"shard-{i}"), encryption_key)
            for i in range(num_shards)
        ]
        opened = ray.get([s.opened.remote() for s in self._shards])
        for message, category in {w for _, ws in opened for w in ws}:
            warnings.warn(message, category, stacklevel=2)
        for error, _ in opened:
            if error is not None:
                self._kill()
                raise error

    # -- plumbing -----------------------------------------------------------------------------

    @property
    def shard_actors(self) -> list:
        """The shards' actor handles, in shard order."""
        return list(self._shards)

    def _kill(self):
        for s in self._shards:
            ray.kill(s, no_restart=True)
        self._shards = []

    def _gather(self, submit, shards: Sequence[int], what: str, read: bool) -> list:
        """Outcomes of submit(shard number, actor) on the given shards, in order. Reads are sent again while a
        shard restarts, up to retry_timeout_s; writes are not."""
        if not self._shards:
            raise ShardUnavailableError("this ShardedTarnwell is closed")
        deadline = time.monotonic() + self._retry_timeout_s
        while True:
            refs = [submit(s, self._shards[s]) for s in shards]
            try:
                return ray.get(refs)
            except _ACTOR_ERRORS as e:
                if read and self._restarts and time.monotonic() < deadline:
                    time.sleep(0.1)  # the shard is restarting: its log replay takes a while
                    continue
                raise ShardUnavailableError(
                    f"a shard stopped during {what}"
                    + ("" if read else "; the change may or may not have been applied")
                ) from e

    def _call(self, shards: Sequence[int], method: str, *args, read: bool = False, **kwargs):
        outcomes = self._gather(lambda _, a: a.call.remote(method, args, kwargs), shards, method,
                                read)
        return [_unwrap(o) for o in outcomes]

    def _all(self, method: str, *args, read: bool = False, **kwargs) -> list:
        return self._call(range(self.num_shards), method, *args, read=read, **kwargs)

    def _first_then_rest(self, method: str, *args) -> list:
        """Runs on shard 0 first, so that arguments every shard would refuse change nothing."""
        first = self._call([0], method, *args)
        return first + self._call(range(1, self.num_shards), method, *args)

    # -- collections --------------------------------------------------------------------------

    def create_collection(self, name, dimension, m=None, ef_construction=None, ef_search=None,
                          distance_metric=None, store_raw_vectors=None) -> None:
        """Create a new collection on every shard (see Tarnwell.create_collection)."""
        self._first_then_rest("create_collection", name, dimension, m, ef_construction,
                              ef_search, distance_metric, store_raw_vectors)

    def delete_collection(self, name) -> bool:
        """Delete a collection by name from every shard. Returns True if it existed."""
        return any(self._first_then_rest("delete_collection", name))

    def list_collections(self) -> List[str]:
        """List all collection names."""
        names: Dict[str, None] = {}
        for part in self._all("list_collections", read=True):
            names.update(dict.fromkeys(part))
        return list(names)

    def collection_info(self, name) -> CollectionInfo:
        """Get information about a collection: counts and memory summed over the shards."""
        parts = self._all("collection_info", name, read=True)
        return CollectionInfo(parts[0][0], parts[0][1], sum(p[2] for p in parts),
                              sum(p[3] for p in parts))

    def total_memory_bytes(self) -> int:
        """Estimate total memory usage across all shards (bytes)."""
        return sum(self._all("total_memory_bytes", read=True))

    # -- documents ----------------------------------------------------------------------------

    def insert(self, collection, text, embedding, metadata=None, id=None) -> str:
        """Insert a single document on the shard its id routes to. Returns its UUID."""
        if id is None:
            id = str(uuid.uuid4())
        shard = shard_of(id, self.num_shards)
        return self._call([shard], "insert", collection, text, embedding, metadata, id)[0]

    def batch_insert(self, collection, documents) -> List[str]:
        """Insert multiple documents, each shard's part in parallel and all or nothing (see the
        module docstring for a failure between shards). Returns their UUIDs in order."""
        routed = _add_ids(documents)
        if not routed:  # malformed or empty: shard 0 answers as one collection would
            return self._call([0], "batch_insert", collection, documents)[0]
        if not self._shards:
            raise ShardUnavailableError("this ShardedTarnwell is closed")
        return _insert_routed(self._shards, collection, routed, self._write_retry_s)

    def upsert(self, collection, text, embedding, metadata=None, id=None) -> str:
        """Insert a document, or replace the document with the same id, on its shard."""
        if id is None:
            id = str(uuid.uuid4())
        shard = shard_of(id, self.num_shards)
        return self._call([shard], "upsert", collection, text, embedding, metadata, id)[0]

    def update(self, collection, id, text=None, metadata=None, embedding=None) -> None:
        """Change what is given of a document (text, metadata, embedding) on its shard."""
        return self._call([shard_of(id, self.num_shards)], "update", collection, id, text,
                          metadata, embedding)[0]

    def get(self, collection, id, *, include_embedding=False) -> Dict[str, Any]:
        """Get a document by UUID. Returns a dict with 'id', 'text', 'metadata'."""
        return self._call([shard_of(id, self.num_shards)], "get", collection, id, read=True,
                          include_embedding=include_embedding)[0]

    def delete(self, collection, id) -> bool:
        """Delete a document by UUID. Returns True if it existed."""
        return self._call([shard_of(id, self.num_shards)], "delete", collection, id)[0]

    def _by_shard(self, ids) -> Optional[Dict[int, list]]:
        """The ids of each shard, or None when `ids` is not a list or tuple."""
        if not isinstance(ids, (list, tuple)):
            return None
        parts: Dict[int, list] = {}
        for i in ids:
            parts.setdefault(shard_of(i, self.num_shards), []).append(i)
        return parts

    def get_many(self, collection, ids, *, include_embedding=False) -> List[Dict[str, Any]]:
        """Get several documents by id, in the order of ids; ids with no document are left out."""
        parts = self._by_shard(ids)
        if not parts:
            return self._call([0], "get_many", collection, ids, read=True,
                              include_embedding=include_embedding)[0]
        shards = list(parts)
        found = self._gather(
            lambda s, a: a.call.remote("get_many", (collection, parts[s]),
                                       {"include_embedding": include_embedding}),
            shards, "get_many", read=True)
        by_id = {d["id"]: d for o in found for d in _unwrap(o)}
        key = lambda i: str(i if isinstance(i, uuid.UUID) else uuid.UUID(i))  # noqa: E731
        return [by_id[key(i)] for i in ids if key(i) in by_id]

    def delete_many(self, collection, ids) -> int:
        """Delete the documents with these ids, each shard's in one logged change (shards
        change independently). Returns how many existed."""
        parts = self._by_shard(ids)
        if not parts:
            return self._call([0], "delete_many", collection, ids)[0]
        shards = list(parts)
        done = self._gather(
            lambda s, a: a.call.remote("delete_many", (collection, parts[s]), {}), shards,
            "delete_many", read=False)
        return sum(_unwrap(o) for o in done)

    def delete_where(self, collection, filter) -> int:
        """Delete every document passing a filter on every shard. Returns how many."""
        return sum(self._first_then_rest("delete_where", collection, filter))

    def count(self, collection, filter=None) -> int:
        """Number of documents, or of those passing a filter, summed over the shards."""
        return sum(self._all("count", collection, filter, read=True))

    # -- search -------------------------------------------------------------------------------

    def bm25_statistics(self, collection, query_text) -> Dict[str, Any]:
        """BM25 figures of the whole sharded collection for a keyword query (summed)."""
        total = {"document_count": 0, "total_length": 0, "document_frequencies": {}}
        for part in self._all("bm25_statistics", collection, query_text, read=True):
            total["document_count"] += part["document_count"]
            total["total_length"] += part["total_length"]
            freqs = total["document_frequencies"]
            for term, df in part["document_frequencies"].items():
                freqs[term] = freqs.get(term, 0) + df
        return total

    def search(self, collection, query_embedding=None, query_text=None, k=10,
               min_similarity=None, alpha=0.7, fusion_method="rrf", filter=None
               ) -> List[SearchResult]:
        """Search a collection on every shard and merge exactly (see Tarnwell.search)."""
        shards = range(self.num_shards)
        text_batch = isinstance(query_text, (list, tuple))
        texts = list(query_text) if text_batch else [query_text]
        stats = None
        if query_text is not None and all(isinstance(t, str) for t in texts) and (
            isinstance(k, int) and k > 0
        ):
            # One set of figures serves every query of a batch: it covers all their terms.
            stats = self.bm25_statistics(collection, " ".join(texts))
        args = (collection, query_embedding, query_text, k, min_similarity, alpha,
                fusion_method, filter)
        vector_batch = _is_rows(query_embedding)
        hybrid = query_embedding is not None and query_text is not None and stats is not None
        if hybrid and vector_batch == text_batch and (
            not text_batch or len(texts) == len(query_embedding)
        ):
            return self._hybrid(collection, args[1:], stats, text_batch)
        parts = self._call(shards, "search", *args, read=True, bm25_statistics=stats)
        if vector_batch or text_batch:
            return [_results(_merge(per_query, k)) for per_query in zip(*parts)]
        return _results(_merge(parts, k))

    def _hybrid(self, collection, query: tuple, stats: dict, batch: bool):
        """Hybrid search: each shard's vector and keyword lists, merged, then fused here."""
        k, min_similarity, alpha, fusion_method = query[2:6]
        outcomes = self._gather(lambda _, a: a.hybrid_parts.remote(collection, query, stats),
                                range(self.num_shards), "search", read=True)
        parts = [_unwrap(o) for o in outcomes]
        if not batch:
            return _fuse([p[0] for p in parts], [p[1] for p in parts], k, min_similarity, alpha,
                         fusion_method)
        return [
            _fuse(vector, keyword, k, min_similarity, alpha, fusion_method)
            for vector, keyword in zip(zip(*(p[0] for p in parts)), zip(*(p[1] for p in parts)))
        ]

    # -- persistence --------------------------------------------------------------------------

    def _per_shard_paths(self, path) -> List[Optional[str]]:
        if path is None:
            return [None] * self.num_shards
        base = os.path.abspath(os.fspath(path))
        return [os.path.join(base, f"shard-{i}") for i in range(self.num_shards)]

    def _on_each_path(self, method: str, name, path, encryption_key) -> None:
        paths = self._per_shard_paths(path)
        outcomes = self._gather(
            lambda s, a: a.call.remote(method, (name, paths[s], encryption_key), {}),
            range(self.num_shards), method, read=False)
        for o in outcomes:
            _unwrap(o)

    def save(self, collection, path=None, encryption_key=None) -> None:
        """Save a collection snapshot on every shard (a custom path gets shard-{i} below it)."""
        self._on_each_path("save", collection, path, encryption_key)

    def load(self, name, path=None, encryption_key=None) -> None:
        """Load a collection snapshot on every shard (from shard-{i} below a custom path)."""
        self._on_each_path("load", name, path, encryption_key)

    def compact(self) -> None:
        """Save all collections to disk and truncate the log, on every shard."""
        self._all("compact")

    def rebuild(self, collection) -> int:
        """Rebuild the indexes on every shard. Returns the number of live documents."""
        return sum(self._all("rebuild", collection))

    def close(self) -> None:
        """Close every shard's handle and stop the actors. Idempotent."""
        if not self._shards:
            return
        try:
            ray.get([s.close.remote() for s in self._shards])
        except _ACTOR_ERRORS:
            pass  # a dead shard has nothing left to close
        self._kill()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- bulk ingest --------------------------------------------------------------------------

    def ingest(self, dataset, collection, *, text_column="text", embedding_column="embedding",
               metadata_columns: Sequence[str] = (), id_column: Optional[str] = None,
               batch_size: int = 1024, concurrency: Optional[int] = None) -> int:
        """Insert every row of a Ray Dataset, with ``map_batches`` across the cluster. Returns
        the number of documents inserted.

        Each batch is split by shard and stored as batch_insert stores it. With ``id_column``,
        a batch that fails midway is retried by Ray Data, safely; without it, ids are generated
        per row and failed batches are not retried (a retry would store documents twice).
        """
        if not self._shards:
            raise ShardUnavailableError("this ShardedTarnwell is closed")
        fn = _IngestBatch(self._shards, collection, text_column, embedding_column,
                          list(metadata_columns), id_column, self._write_retry_s)
        counts = dataset.map_batches(
            fn, batch_size=batch_size, batch_format="numpy", concurrency=concurrency,
            ray_remote_args_fn=None if id_column else _no_task_retries)
        return int(sum(int(row["inserted"]) for row in counts.iter_rows()))
