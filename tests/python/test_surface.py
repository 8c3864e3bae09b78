"""The module's public shape: classes, signatures, docstrings, representations."""
import inspect
import subprocess
import sys
import textwrap

import pytest

import _tarnwell
import tarnwell
from tarnwell import CollectionInfo, SearchResult, Tarnwell

from conftest import vec


def test_module_holds_exactly_the_three_classes_and_the_warning():
    public = sorted(n for n in dir(_tarnwell) if not n.startswith("_"))
    assert public == ["CollectionInfo", "RecoveryWarning", "SearchResult", "Tarnwell"]
    # Beside them only the private entry points of the `tarnwell` command.
    private = sorted(n for n in dir(_tarnwell) if n.startswith("_") and not n.startswith("__"))
    assert private == ["_export_documents", "_inspect_data_dir"]
    assert _tarnwell.__doc__ is None
    assert tarnwell.Tarnwell is _tarnwell.Tarnwell
    assert tarnwell.RecoveryWarning is _tarnwell.RecoveryWarning
    assert issubclass(tarnwell.RecoveryWarning, RuntimeWarning)


SIGNATURES = {
    "create_collection": "(name, dimension, m=None, ef_construction=None, ef_search=None, "
    "distance_metric=None, store_raw_vectors=None)",
    "delete_collection": "(name)",
    "list_collections": "()",
    "collection_info": "(name)",
    "insert": "(collection, text, embedding, metadata=None, id=None)",
    "batch_insert": "(collection, documents, *, num_threads=None, progress=None)",
    "get": "(collection, id, *, include_embedding=False)",
    "delete": "(collection, id)",
    "search": "(collection, query_embedding=None, query_text=None, k=10, min_similarity=None, "
    "alpha=0.7, fusion_method='rrf', filter=None, *, bm25_statistics=None)",
    "save": "(collection, path=None, encryption_key=None)",
    "load": "(name, path=None, encryption_key=None)",
    "compact": "()",
    "rebuild": "(collection, *, num_threads=None, progress=None)",
    "total_memory_bytes": "()",
    "upsert": "(collection, text, embedding, metadata=None, id=None)",
    "update": "(collection, id, text=None, metadata=None, embedding=None)",
    "get_many": "(collection, ids, *, include_embedding=False)",
    "count": "(collection, filter=None)",
    "scan": "(collection, filter=None, limit=None, after=None, *, ids_only=False, "
    "include_embedding=False)",
    "documents": "(collection, filter=None, *, batch_size=1000, include_embedding=False)",
    "delete_many": "(collection, ids)",
    "delete_where": "(collection, filter)",
    "insert_columns": "(collection, texts, embeddings, metadatas=None, ids=None, *, "
    "num_threads=None, progress=None)",
    "bm25_statistics": "(collection, query_text)",
    "close": "()",
}


@pytest.mark.parametrize("name,signature", SIGNATURES.items())
def test_method_signatures(name, signature):
    method = getattr(Tarnwell, name)
    expected = "(self, /)" if signature == "()" else signature.replace("(", "(self, /, ", 1)
    assert str(inspect.signature(method)) == expected
    assert method.__text_signature__.startswith("($self")


def test_class_signature_and_docstrings():
    assert str(inspect.signature(Tarnwell)) == (
        "(data_dir=None, encryption_key=None, *, checkpoint_bytes=None, progress=None)"
    )
    assert Tarnwell.__doc__.startswith("In-process vector database with HNSW and BM25 indexing.")
    # The keyword-only parameters are described after the original text, which stays as it was.
    assert (
        'db = Tarnwell(data_dir="./data")   # with WAL persistence and crash recovery\n\n'
        "checkpoint_bytes: "
    ) in Tarnwell.__doc__
    assert SearchResult.__doc__ == (
        "A single search result with document ID, text, score, and metadata."
    )
    assert CollectionInfo.__doc__ == "Information about a collection."
    assert Tarnwell.delete.__doc__ == "Delete a document by UUID. Returns True if it existed."
    assert Tarnwell.create_collection.__doc__.splitlines()[-2:] == [
        "    store_raw_vectors: If True, stores raw f32 vectors for exact reranking",
        "        (+0.7% recall, +59% RAM). Default False (compact mode).",
    ]
    assert '    distance_metric: "cosine", "euclidean", or "dot_product" (default "cosine").' in (
        Tarnwell.create_collection.__doc__
    )
    # The original text stays as it was; the keyword-only parameters are described after it.
    assert (
        'Each document dict should have keys: "text", "embedding", and optionally "metadata", '
        '"id".\n\nnum_threads: '
    ) in Tarnwell.batch_insert.__doc__


@pytest.mark.parametrize("cls", [SearchResult, CollectionInfo])
def test_result_classes_are_not_constructible(cls):
    with pytest.raises(TypeError):
        cls()


def test_reprs(db):
    assert repr(db) == "Tarnwell(collections=0)"
    db.create_collection("c", 2)
    db.create_collection("d", 2)
    assert repr(db) == "Tarnwell(collections=2)"
    info = db.collection_info("c")
    assert repr(info) == f"CollectionInfo(name='c', dimension=2, documents=0, memory=0)"


@pytest.mark.parametrize(
    "text,shown",
    [
        ("a" * 50, "a" * 50),
        ("a" * 51, "a" * 50 + "..."),
        ("a" * 49 + "é", "a" * 49 + "..."),  # é spans bytes 50-51: cut before it
        ("short", "short"),
    ],
)
def test_search_result_repr_preview(db, text, shown):
    db.create_collection("c", 2, distance_metric="euclidean", store_raw_vectors=True)
    doc_id = db.insert("c", text, [0.0, 0.0])
    [hit] = db.search("c", query_embedding=[0.0, 0.0], k=1)
    assert repr(hit) == f"SearchResult(id='{doc_id}', text='{shown}', score=1.0000)"


def test_search_result_properties_are_read_only_and_metadata_is_fresh(coll):
    coll.insert("c", "hello world", vec(1), metadata={"a": 1})
    [hit] = coll.search("c", query_embedding=vec(1), k=1)
    first, second = hit.metadata, hit.metadata
    assert first == second == {"a": 1} and first is not second
    first["a"] = 2
    assert hit.metadata == {"a": 1}
    with pytest.raises(AttributeError):
        hit.score = 3.0
    assert isinstance(hit.score, float)


def test_collection_info_counts_live_documents_only(coll):
    ids = [coll.insert("c", f"doc {i}", vec(i)) for i in range(3)]
    before = coll.collection_info("c").estimated_memory_bytes
    coll.delete("c", ids[0])
    info = coll.collection_info("c")
    assert (info.name, info.dimension, info.document_count) == ("c", 8, 2)
    # The tombstoned node still costs memory until a rebuild.
    assert info.estimated_memory_bytes > 0
    assert coll.rebuild("c") == 2
    assert coll.collection_info("c").estimated_memory_bytes < before


def test_second_interpreter_cannot_import():
    code = textwrap.dedent(
        """
        import _testcapi, _tarnwell
        rc = _testcapi.run_in_subinterp("import _tarnwell")
        print("RC", rc)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert "RC -1" in out.stdout, out.stdout + out.stderr
    assert "ImportError" in out.stderr
