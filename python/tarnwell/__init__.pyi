import os
import uuid
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, Dict, List, Literal, Optional, SupportsFloat, Tuple, TypedDict, Union, overload

from typing_extensions import NotRequired

MetadataValue = Union[bool, int, float, str]
FilterValue = Union[None, bool, int, float, str]

class FilterCondition(TypedDict, total=False):
    field: str
    op: Literal["eq", "ne", "gt", "lt", "gte", "lte", "in"]
    value: FilterValue
    values: List[FilterValue]

class Filter(TypedDict, total=False):
    must: List[FilterCondition]
    must_not: List[FilterCondition]

DocumentId = Union[str, uuid.UUID]
Embedding = Sequence[SupportsFloat]
# Several embeddings: a 2-D float32/float64 array (one row each) or a sequence of vectors.
Embeddings = Union[Sequence[Embedding], Any]
StrPath = Union[str, "os.PathLike[str]", "os.PathLike[bytes]"]

class BatchDocument(TypedDict, total=False):
    text: str
    embedding: Embedding
    metadata: Dict[str, MetadataValue]
    id: DocumentId

class Bm25Statistics(TypedDict):
    document_count: int
    total_length: int
    document_frequencies: Dict[str, int]

class DocumentDict(TypedDict):
    id: str
    text: str
    metadata: Dict[str, MetadataValue]
    embedding: NotRequired[List[float]]  # with include_embedding=True

class RecoveryWarning(RuntimeWarning):
    """Opening a data directory passed something over: a snapshot file it could not read (left
    untouched, never overwritten) or damaged log records (the log was copied aside first)."""

class SearchResult:
    """A single search result with document ID, text, score, and metadata."""

    @property
    def id(self) -> str: ...
    @property
    def text(self) -> str: ...
    @property
    def score(self) -> float: ...
    @property
    def metadata(self) -> Dict[str, MetadataValue]: ...

class CollectionInfo:
    """Information about a collection."""

    @property
    def name(self) -> str: ...
    @property
    def dimension(self) -> int: ...
    @property
    def document_count(self) -> int: ...
    @property
    def estimated_memory_bytes(self) -> int: ...

# A callable receiving (done, total), True for a terminal bar (tqdm), or None/False.
Progress = Union[None, bool, Callable[[int, int], object]]

class Tarnwell:
    """In-process vector database with HNSW and BM25 indexing."""

    def __init__(
        self,
        data_dir: Optional[StrPath] = None,
        encryption_key: Optional[str] = None,
        *,
        checkpoint_bytes: Optional[int] = None,
        progress: Progress = None,
    ) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> "Tarnwell": ...
    def __exit__(self, exc_type: object, exc_value: object, traceback: object) -> bool: ...
    def create_collection(
        self,
        name: str,
        dimension: int,
        m: Optional[int] = None,
        ef_construction: Optional[int] = None,
        ef_search: Optional[int] = None,
        distance_metric: Optional[Literal["cosine", "euclidean", "dot_product"]] = None,
        store_raw_vectors: Optional[bool] = None,
    ) -> None: ...
    def delete_collection(self, name: str) -> bool: ...
    def list_collections(self) -> List[str]: ...
    def collection_info(self, name: str) -> CollectionInfo: ...
    def insert(
        self,
        collection: str,
        text: str,
        embedding: Embedding,
        metadata: Optional[Dict[str, MetadataValue]] = None,
        id: Optional[DocumentId] = None,
    ) -> str: ...
    def batch_insert(
        self,
        collection: str,
        documents: List[BatchDocument],
        *,
        num_threads: Optional[int] = None,
        progress: Progress = None,
    ) -> List[str]: ...
    def get(
        self, collection: str, id: DocumentId, *, include_embedding: bool = False
    ) -> DocumentDict: ...
    def delete(self, collection: str, id: DocumentId) -> bool: ...
    @overload
    def search(
        self,
        collection: str,
        query_embedding: Optional[Embedding] = None,
        query_text: Optional[str] = None,
        k: int = 10,
        min_similarity: Optional[SupportsFloat] = None,
        alpha: SupportsFloat = 0.7,
        fusion_method: str = "rrf",
        filter: Optional[Filter] = None,
        *,
        bm25_statistics: Optional[Bm25Statistics] = None,
    ) -> List[SearchResult]: ...
    @overload
    def search(
        self,
        collection: str,
        query_embedding: Optional[Embeddings] = None,
        query_text: Optional[List[str]] = None,
        k: int = 10,
        min_similarity: Optional[SupportsFloat] = None,
        alpha: SupportsFloat = 0.7,
        fusion_method: str = "rrf",
        filter: Optional[Filter] = None,
        *,
        bm25_statistics: Optional[Bm25Statistics] = None,
    ) -> List[List[SearchResult]]: ...
    def upsert(
        self,
        collection: str,
        text: str,
        embedding: Embedding,
        metadata: Optional[Dict[str, MetadataValue]] = None,
        id: Optional[DocumentId] = None,
    ) -> str: ...
    def update(
        self,
        collection: str,
        id: DocumentId,
        text: Optional[str] = None,
        metadata: Optional[Dict[str, MetadataValue]] = None,
        embedding: Optional[Embedding] = None,
    ) -> None: ...
    def get_many(
        self, collection: str, ids: Iterable[DocumentId], *, include_embedding: bool = False
    ) -> List[DocumentDict]: ...
    def count(self, collection: str, filter: Optional[Filter] = None) -> int: ...
    @overload
    def scan(
        self,
        collection: str,
        filter: Optional[Filter] = None,
        limit: Optional[int] = None,
        after: Optional[DocumentId] = None,
        *,
        ids_only: Literal[False] = False,
        include_embedding: bool = False,
    ) -> List[DocumentDict]: ...
    @overload
    def scan(
        self,
        collection: str,
        filter: Optional[Filter] = None,
        limit: Optional[int] = None,
        after: Optional[DocumentId] = None,
        *,
        ids_only: Literal[True],
        include_embedding: bool = False,
    ) -> List[str]: ...
    def documents(
        self,
        collection: str,
        filter: Optional[Filter] = None,
        *,
        batch_size: int = 1000,
        include_embedding: bool = False,
    ) -> Iterator[DocumentDict]: ...
    def delete_many(self, collection: str, ids: Iterable[DocumentId]) -> int: ...
    def delete_where(self, collection: str, filter: Filter) -> int: ...
    def insert_columns(
        self,
        collection: str,
        texts: Sequence[str],
        embeddings: Embeddings,
        metadatas: Optional[Sequence[Optional[Dict[str, MetadataValue]]]] = None,
        ids: Optional[Sequence[Optional[DocumentId]]] = None,
        *,
        num_threads: Optional[int] = None,
        progress: Progress = None,
    ) -> List[str]: ...
    def bm25_statistics(self, collection: str, query_text: str) -> Bm25Statistics: ...
    @staticmethod
    def fuse_rankings(
        vector_hits: Sequence[Tuple[int, SupportsFloat]],
        keyword_hits: Sequence[Tuple[int, SupportsFloat]],
        k: int,
        fusion_method: str = "rrf",
        alpha: SupportsFloat = 0.7,
    ) -> List[Tuple[int, float]]: ...
    def save(
        self,
        collection: str,
        path: Optional[StrPath] = None,
        encryption_key: Optional[str] = None,
    ) -> None: ...
    def load(
        self, name: str, path: Optional[StrPath] = None, encryption_key: Optional[str] = None
    ) -> None: ...
    def compact(self) -> None: ...
    def rebuild(
        self, collection: str, *, num_threads: Optional[int] = None, progress: Progress = None
    ) -> int: ...
    def total_memory_bytes(self) -> int: ...

__all__ = ["Tarnwell", "SearchResult", "CollectionInfo", "RecoveryWarning"]
