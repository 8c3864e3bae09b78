from collections.abc import Callable, Sequence
from typing import Dict, List, Literal, Optional, SupportsFloat, TypedDict, Union

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

class BatchDocument(TypedDict, total=False):
    text: str
    embedding: Sequence[SupportsFloat]
    metadata: Dict[str, MetadataValue]
    id: str

class DocumentDict(TypedDict):
    id: str
    text: str
    metadata: Dict[str, MetadataValue]

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
        data_dir: Optional[str] = None,
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
        embedding: Sequence[SupportsFloat],
        metadata: Optional[Dict[str, MetadataValue]] = None,
        id: Optional[str] = None,
    ) -> str: ...
    def batch_insert(
        self,
        collection: str,
        documents: List[BatchDocument],
        *,
        num_threads: Optional[int] = None,
        progress: Progress = None,
    ) -> List[str]: ...
    def get(self, collection: str, id: str) -> DocumentDict: ...
    def delete(self, collection: str, id: str) -> bool: ...
    def search(
        self,
        collection: str,
        query_embedding: Optional[Sequence[SupportsFloat]] = None,
        query_text: Optional[str] = None,
        k: int = 10,
        min_similarity: Optional[SupportsFloat] = None,
        alpha: SupportsFloat = 0.7,
        fusion_method: str = "rrf",
        filter: Optional[Filter] = None,
    ) -> List[SearchResult]: ...
    def save(
        self, collection: str, path: Optional[str] = None, encryption_key: Optional[str] = None
    ) -> None: ...
    def load(
        self, name: str, path: Optional[str] = None, encryption_key: Optional[str] = None
    ) -> None: ...
    def compact(self) -> None: ...
    def rebuild(
        self, collection: str, *, num_threads: Optional[int] = None, progress: Progress = None
    ) -> int: ...
    def total_memory_bytes(self) -> int: ...

__all__ = ["Tarnwell", "SearchResult", "CollectionInfo", "RecoveryWarning"]
