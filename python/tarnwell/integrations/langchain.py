"""LangChain vector store over one Tarnwell collection.

`TarnwellVectorStore` implements langchain_core's `VectorStore`: texts are embedded with the
given `Embeddings` and stored in a collection of a `Tarnwell` handle (created on first write with
the embedding's dimension), searched by vector, by keywords (BM25) or both. Ids, metadata and
filters are translated by `_records` and `_filters`. Adding an id that exists replaces it.
"""

from __future__ import annotations

import math
import threading
import uuid
from collections.abc import Callable, Collection, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, ClassVar

try:
    from langchain_core.documents import Document
    from langchain_core.embeddings import Embeddings
    from langchain_core.runnables.config import run_in_executor
    from langchain_core.vectorstores import VectorStore, VectorStoreRetriever
    from langchain_core.vectorstores.utils import maximal_marginal_relevance
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "tarnwell.integrations.langchain needs langchain-core: pip install 'tarnwell[langchain]'"
    ) from exc

from typing_extensions import Self

from tarnwell import SearchResult, Tarnwell
from tarnwell.integrations._filters import translate_filter
from tarnwell.integrations._records import (
    check_text,
    from_stored,
    stored_metadata,
    to_tarnwell_id,
)

if TYPE_CHECKING:
    from langchain_core.callbacks import (
        AsyncCallbackManagerForRetrieverRun,
        CallbackManagerForRetrieverRun,
    )

    from tarnwell import BatchDocument, DocumentDict, Filter

__all__ = ["TarnwellRetriever", "TarnwellVectorStore"]

DISTANCE_METRICS = ("cosine", "euclidean", "dot_product")
# Search types beyond LangChain's own ("similarity", "similarity_score_threshold", "mmr").
TEXT_SEARCH_TYPES = ("keyword", "hybrid")

# Replacing a document is a delete and an insert; two writers replacing one id at once would
# make the later insert fail after its deletes. Writes through these stores take turns.
_WRITE_LOCK = threading.Lock()


class TarnwellVectorStore(VectorStore):
    """A LangChain vector store kept in one collection of a Tarnwell handle.

    Args:
        embedding: Embeds documents and queries.
        client: The Tarnwell handle; a new ephemeral (in-memory) one when None.
        collection_name: The collection; created on the first write when absent, with the
            dimension of the first embedding.
        distance_metric: "cosine", "euclidean" or "dot_product", for a collection this store
            creates (an existing collection keeps its own).
    """

    def __init__(
        self,
        embedding: Embeddings,
        *,
        client: Tarnwell | None = None,
        collection_name: str = "langchain",
        distance_metric: str = "cosine",
    ) -> None:
        if distance_metric not in DISTANCE_METRICS:
            raise ValueError(
                f"distance_metric must be one of {', '.join(DISTANCE_METRICS)}, "
                f"not {distance_metric!r}"
            )
        self._embedding = embedding
        self._client = client if client is not None else Tarnwell()
        self._collection = collection_name
        self._metric = distance_metric

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def client(self) -> Tarnwell:
        return self._client

    @property
    def collection_name(self) -> str:
        return self._collection

    @classmethod
    def from_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        client: Tarnwell | None = None,
        collection_name: str = "langchain",
        distance_metric: str = "cosine",
        **kwargs: Any,
    ) -> Self:
        """A store over `client`'s collection `collection_name`, with `texts` added."""
        _refuse_unknown("from_texts", kwargs)
        store = cls(
            embedding,
            client=client,
            collection_name=collection_name,
            distance_metric=distance_metric,
        )
        store.add_texts(texts, metadatas, ids=ids)
        return store

    # Writes

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        """Embeds and stores `texts`; an id that is already stored is replaced.

        Ids missing or empty get a new UUID. Returns the ids, in the order of `texts`.
        """
        _refuse_unknown("add_texts", kwargs)
        texts = list(texts)
        if metadatas is not None and len(metadatas) != len(texts):
            raise ValueError(f"got {len(metadatas)} metadatas for {len(texts)} texts")
        if ids is not None and len(ids) != len(texts):
            raise ValueError(f"got {len(ids)} ids for {len(texts)} texts")
        # LangChain passes None (or "") for a document without an id.
        given: list[str | None] = list(ids) if ids else [None] * len(texts)
        lc_ids = [str(uuid.uuid4()) if lc_id is None or lc_id == "" else lc_id for lc_id in given]
        # Everything that can be refused is checked before the embedding model is called.
        tarnwell_ids = [to_tarnwell_id(lc_id) for lc_id in lc_ids]
        stored = [
            stored_metadata(lc_id, metadatas[i] if metadatas else None)
            for i, lc_id in enumerate(lc_ids)
        ]
        for i, text in enumerate(texts):
            if not isinstance(text, str):
                raise TypeError(f"texts must be str, not {type(text).__name__} (text {i})")
            check_text(text, f"text {i}")
        if not texts:
            return []
        vectors = self._embed_documents(texts)
        width = len(vectors[0])
        rows: dict[str, BatchDocument] = {}
        for tarnwell_id, text, vector, metadata in zip(tarnwell_ids, texts, vectors, stored):
            _check_vector(vector, width)
            # A repeated id keeps its last text, as a second call would.
            rows[tarnwell_id] = {
                "id": tarnwell_id,
                "text": text,
                "embedding": vector,
                "metadata": metadata,
            }
        with _WRITE_LOCK:
            dimension = self._ensure_collection(width)
            if dimension != width:
                raise ValueError(
                    f"embedding dimension mismatch: collection '{self._collection}' holds "
                    f"{dimension}, the embedding model returned {width}"
                )
            self._upsert(list(rows.values()))
        return lc_ids

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool | None:
        """Deletes the documents with these ids; ids that are not stored are ignored.

        Deleting everything (`ids=None`) is refused: call `delete_collection()` for that.
        """
        _refuse_unknown("delete", kwargs)
        if ids is None:
            raise ValueError("delete needs the ids to remove (delete_collection() removes all)")
        if isinstance(ids, str):
            raise TypeError("ids must be a list of str, not a str")
        tarnwell_ids = [to_tarnwell_id(lc_id) for lc_id in ids]
        if self._collection_info() is not None:
            with _WRITE_LOCK:
                self._delete_many(tarnwell_ids)
        return True

    def delete_collection(self) -> bool:
        """Drops the whole collection; whether it existed. The next write creates it again."""
        with _WRITE_LOCK:
            return self._client.delete_collection(self._collection)

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        """The stored documents with these ids, in the order asked; unknown ids are skipped."""
        wanted = list(dict.fromkeys(ids))
        tarnwell_ids = [to_tarnwell_id(lc_id) for lc_id in wanted]
        found = self._get_many(tarnwell_ids)
        documents = []
        for lc_id, tarnwell_id in zip(wanted, tarnwell_ids):
            row = found.get(tarnwell_id)
            if row is not None:
                document = self._document(tarnwell_id, row["text"], row["metadata"])
                # The UUID a string id is filed under does not name that document.
                if document.id == lc_id:
                    documents.append(document)
        return documents

    # Vector search

    def similarity_search(
        self,
        query: str,
        k: int = 4,
        filter: Mapping[str, Any] | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        """The `k` documents nearest to `query`'s embedding that pass `filter`."""
        _refuse_unknown("similarity_search", kwargs)
        return [doc for doc, _ in self.similarity_search_with_score(query, k, filter)]

    def similarity_search_with_score(
        self,
        query: str,
        k: int = 4,
        filter: Mapping[str, Any] | None = None,
        **kwargs: Any,
    ) -> list[tuple[Document, float]]:
        """As `similarity_search`, each with Tarnwell's score (1 - distance; higher is nearer)."""
        _refuse_unknown("similarity_search_with_score", kwargs)
        embedding = self._embedding.embed_query(query)
        return self.similarity_search_with_score_by_vector(embedding, k, filter)

    def similarity_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        filter: Mapping[str, Any] | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        """The `k` documents nearest to `embedding` that pass `filter`."""
        _refuse_unknown("similarity_search_by_vector", kwargs)
        return [doc for doc, _ in self.similarity_search_with_score_by_vector(embedding, k, filter)]

    def similarity_search_with_score_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        filter: Mapping[str, Any] | None = None,
    ) -> list[tuple[Document, float]]:
        """As `similarity_search_by_vector`, each with Tarnwell's score."""
        return self._scored(self._vector_hits(embedding, k, filter))

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        return _RELEVANCE[self._metric]

    def max_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Mapping[str, Any] | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        """`k` documents among the `fetch_k` nearest that pass `filter`, chosen for diversity."""
        _refuse_unknown("max_marginal_relevance_search", kwargs)
        return self.max_marginal_relevance_search_by_vector(
            self._embedding.embed_query(query), k, fetch_k, lambda_mult, filter
        )

    def max_marginal_relevance_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Mapping[str, Any] | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        """As `max_marginal_relevance_search`, from a query embedding."""
        _refuse_unknown("max_marginal_relevance_search_by_vector", kwargs)
        import numpy as np

        hits = self._vector_hits(embedding, fetch_k, filter)
        if not hits:
            return []
        chosen = maximal_marginal_relevance(
            np.asarray(embedding, dtype=np.float32),
            self._candidate_embeddings(hits),
            lambda_mult=lambda_mult,
            k=k,
        )
        return [self._result_document(hits[i]) for i in chosen]

    # Keyword and hybrid search

    def keyword_search(
        self, query: str, k: int = 4, filter: Mapping[str, Any] | None = None
    ) -> list[Document]:
        """The `k` documents that best match `query`'s words (BM25) and pass `filter`."""
        return [doc for doc, _ in self.keyword_search_with_score(query, k, filter)]

    def keyword_search_with_score(
        self, query: str, k: int = 4, filter: Mapping[str, Any] | None = None
    ) -> list[tuple[Document, float]]:
        """As `keyword_search`, each with its BM25 score."""
        alternatives = translate_filter(filter)
        return self._scored(_merge(alternatives, k, lambda f: self._keyword_hits(query, k, f)))

    def hybrid_search(
        self,
        query: str,
        k: int = 4,
        filter: Mapping[str, Any] | None = None,
        *,
        alpha: float = 0.7,
        fusion_method: str = "rrf",
    ) -> list[Document]:
        """The best `k` by fused vector and keyword rank ("rrf", or "linear" weighted by alpha)."""
        return [
            doc
            for doc, _ in self.hybrid_search_with_score(
                query, k, filter, alpha=alpha, fusion_method=fusion_method
            )
        ]

    def hybrid_search_with_score(
        self,
        query: str,
        k: int = 4,
        filter: Mapping[str, Any] | None = None,
        *,
        alpha: float = 0.7,
        fusion_method: str = "rrf",
    ) -> list[tuple[Document, float]]:
        """As `hybrid_search`, each with its fused score."""
        alternatives = translate_filter(filter)
        if alternatives is not None and len(alternatives) > 1:
            raise ValueError(
                "hybrid search takes a filter that is one conjunction (fused scores of separate "
                "searches do not compare); an $or across fields or a $not of several conditions "
                "is not one"
            )
        if alternatives == []:
            return []
        hits = self._search(
            query_embedding=self._embedding.embed_query(query),
            query_text=query,
            k=k,
            alpha=alpha,
            fusion_method=fusion_method,
            filter=alternatives[0] if alternatives else None,
        )
        return self._scored(hits)

    def search(self, query: str, search_type: str, **kwargs: Any) -> list[Document]:
        """As LangChain's `search`, with the search types "keyword" and "hybrid" besides."""
        if search_type == "keyword":
            return self.keyword_search(query, **kwargs)
        if search_type == "hybrid":
            return self.hybrid_search(query, **kwargs)
        return super().search(query, search_type, **kwargs)

    async def asearch(self, query: str, search_type: str, **kwargs: Any) -> list[Document]:
        if search_type in TEXT_SEARCH_TYPES:
            return await run_in_executor(None, self.search, query, search_type, **kwargs)
        return await super().asearch(query, search_type, **kwargs)

    def as_retriever(self, **kwargs: Any) -> TarnwellRetriever:
        """A retriever over this store; `search_type` may also be "keyword" or "hybrid"."""
        tags = kwargs.pop("tags", None) or [*self._get_retriever_tags()]
        return TarnwellRetriever(vectorstore=self, tags=tags, **kwargs)

    # Calls into the handle

    def _collection_info(self) -> Any:
        try:
            return self._client.collection_info(self._collection)
        except KeyError:
            return None

    def _ensure_collection(self, dimension: int) -> int:
        """The collection's dimension, creating it with `dimension` if it does not exist."""
        info = self._collection_info()
        if info is not None:
            return int(info.dimension)
        self._client.create_collection(
            self._collection,
            dimension,
            distance_metric=self._metric,  # type: ignore[arg-type]
        )
        return dimension

    def _search(self, **kwargs: Any) -> list[SearchResult]:
        try:
            return self._client.search(self._collection, **kwargs)
        except KeyError:
            if self._collection_info() is None:
                return []  # nothing was ever added
            raise

    def _vector_hits(
        self, embedding: Sequence[float], k: int, filter: Mapping[str, Any] | None
    ) -> list[SearchResult]:
        alternatives = translate_filter(filter)
        return _merge(
            alternatives, k, lambda f: self._search(query_embedding=embedding, k=k, filter=f)
        )

    def _keyword_hits(self, query: str, k: int, filter: Filter | None) -> list[SearchResult]:
        if filter is None:
            return self._search(query_text=query, k=k)
        # The core ignores a filter in keyword-only search, so rank every keyword hit and keep
        # those that a filtered vector search admits: asked for as many hits as the collection
        # holds, it returns every matching document. Replace by one filtered keyword search
        # once the core honours the filter there.
        info = self._collection_info()
        if info is None or info.document_count == 0:
            return []
        everything = int(info.document_count)
        probe = [1.0] + [0.0] * (int(info.dimension) - 1)
        admitted = {
            hit.id for hit in self._search(query_embedding=probe, k=everything, filter=filter)
        }
        hits = self._search(query_text=query, k=everything)
        return [hit for hit in hits if hit.id in admitted][:k]

    def _upsert(self, rows: list[BatchDocument]) -> None:
        """Stores `rows`, replacing live documents with the same ids.

        A delete and then an insert until the core has an upsert: each is logged on its own, so
        a crash between them loses the replaced documents' old versions. Rows are checked before
        (ids, texts, metadata, vector length and values), so the insert can fail only on I/O or
        memory (or a batch past the log's 4 GiB record limit).
        """
        self._delete_many([row["id"] for row in rows])
        self._client.batch_insert(self._collection, rows)

    def _delete_many(self, tarnwell_ids: list[str]) -> None:
        for tarnwell_id in tarnwell_ids:
            self._client.delete(self._collection, tarnwell_id)

    def _get_many(self, tarnwell_ids: list[str]) -> dict[str, DocumentDict]:
        found = {}
        for tarnwell_id in tarnwell_ids:
            try:
                found[tarnwell_id] = self._client.get(self._collection, tarnwell_id)
            except KeyError:
                pass
        return found

    def _candidate_embeddings(self, hits: list[SearchResult]) -> list[list[float]]:
        # Searches return no vectors, so the candidates' texts are embedded again: the same
        # model over the same text gives the vectors that were stored, at full precision.
        return self._embed_documents([hit.text for hit in hits])

    def _embed_documents(self, texts: list[str]) -> list[list[float]]:
        vectors = self._embedding.embed_documents(texts)
        if len(vectors) != len(texts):
            raise ValueError(
                f"the embedding model returned {len(vectors)} vectors for {len(texts)} texts"
            )
        return [list(map(float, vector)) for vector in vectors]

    # Results

    def _document(self, tarnwell_id: str, text: str, metadata: Mapping[str, Any]) -> Document:
        lc_id, lc_metadata = from_stored(tarnwell_id, metadata)
        return Document(id=lc_id, page_content=text, metadata=lc_metadata)

    def _result_document(self, hit: SearchResult) -> Document:
        return self._document(hit.id, hit.text, hit.metadata)

    def _scored(self, hits: list[SearchResult]) -> list[tuple[Document, float]]:
        return [(self._result_document(hit), hit.score) for hit in hits]


class TarnwellRetriever(VectorStoreRetriever):
    """LangChain's vector store retriever, with the search types "keyword" and "hybrid"."""

    allowed_search_types: ClassVar[Collection[str]] = (
        *VectorStoreRetriever.allowed_search_types,
        *TEXT_SEARCH_TYPES,
    )

    def _get_relevant_documents(
        self, query: str, *, run_manager: CallbackManagerForRetrieverRun, **kwargs: Any
    ) -> list[Document]:
        if self.search_type in TEXT_SEARCH_TYPES:
            return self.vectorstore.search(query, self.search_type, **(self.search_kwargs | kwargs))
        return super()._get_relevant_documents(query, run_manager=run_manager, **kwargs)

    async def _aget_relevant_documents(
        self, query: str, *, run_manager: AsyncCallbackManagerForRetrieverRun, **kwargs: Any
    ) -> list[Document]:
        if self.search_type in TEXT_SEARCH_TYPES:
            return await self.vectorstore.asearch(
                query, self.search_type, **(self.search_kwargs | kwargs)
            )
        return await super()._aget_relevant_documents(query, run_manager=run_manager, **kwargs)


def _merge(
    alternatives: list[Filter] | None, k: int, search: Callable[[Filter | None], list[SearchResult]]
) -> list[SearchResult]:
    """The best `k` hits of one search per filter alternative (None: one unfiltered search)."""
    if alternatives is None:
        return search(None)
    if len(alternatives) == 1:
        return search(alternatives[0])
    best: dict[str, SearchResult] = {}
    for alternative in alternatives:
        for hit in search(alternative):
            best.setdefault(hit.id, hit)
    return sorted(best.values(), key=lambda hit: hit.score, reverse=True)[:k]


def _check_vector(vector: list[float], dimension: int) -> None:
    if len(vector) != dimension:
        raise ValueError(f"embedding dimension mismatch: expected {dimension}, got {len(vector)}")
    if not all(map(math.isfinite, vector)):
        raise ValueError("the embedding model returned a non-finite value")


def _refuse_unknown(method: str, kwargs: Mapping[str, Any]) -> None:
    # A misspelled option ("filters") must not quietly return unfiltered results.
    if kwargs:
        raise TypeError(f"{method}() got unexpected keyword arguments: {', '.join(sorted(kwargs))}")


def _clamp(value: float) -> float:
    return min(1.0, max(0.0, value))


# Relevance in [0, 1] from a Tarnwell score, per metric. Scores are 1 - distance: the cosine
# similarity, 1 - squared Euclidean distance, 1 + inner product. As LangChain's own functions,
# the Euclidean and inner-product ones assume unit-length embeddings.
_RELEVANCE: dict[str, Callable[[float], float]] = {
    "cosine": _clamp,
    "euclidean": lambda score: _clamp(1.0 - math.sqrt(max(0.0, 1.0 - score)) / math.sqrt(2.0)),
    "dot_product": lambda score: _clamp(score - 1.0),
}
