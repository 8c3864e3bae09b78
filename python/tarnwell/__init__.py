"""Tarnwell: an in-process vector database with HNSW and BM25 indexing.

The classes live in the compiled extension module ``_tarnwell``; this package re-exports them
with type information (see ``__init__.pyi``).
"""

from _tarnwell import CollectionInfo, RecoveryWarning, SearchResult, Tarnwell

__all__ = ["Tarnwell", "SearchResult", "CollectionInfo", "RecoveryWarning"]
