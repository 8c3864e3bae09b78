"""TarnwellVectorStore beyond LangChain's suite: ids, metadata, replacement, keyword and hybrid
search, MMR, relevance scores and persistence."""

import gc
import importlib.util
import uuid

import pytest

pytest.importorskip("langchain_core", reason="langchain-core is not installed")

from langchain_core.documents import Document  # noqa: E402
from langchain_core.embeddings import DeterministicFakeEmbedding, Embeddings  # noqa: E402

from tarnwell import Tarnwell  # noqa: E402
from tarnwell.integrations.langchain import TarnwellVectorStore  # noqa: E402

FILED_UNDER_1 = "a5c27469-cdb8-5180-b6e8-9a7869f5feda"  # the UUID of the id "1", for good


class CountingEmbedding(Embeddings):
    """Deterministic vectors (equal texts embed equally) and a count of the texts embedded."""

    def __init__(self, size=8):
        self.inner = DeterministicFakeEmbedding(size=size)
        self.embedded = 0

    def embed_documents(self, texts):
        self.embedded += len(texts)
        return self.inner.embed_documents(texts)

    def embed_query(self, text):
        return self.inner.embed_query(text)


@pytest.fixture
def store():
    return TarnwellVectorStore(CountingEmbedding())


def texts_of(documents):
    return [d.page_content for d in documents]


def test_string_ids_round_trip_and_map_to_fixed_uuids(store):
    upper = "A0B1C2D3-E4F5-4A6B-8C7D-9E0F1A2B3C4D"
    ids = ["1", "doc/ä", "x" * 300, upper, upper.lower()]
    assert store.add_texts([f"text {i}" for i in range(5)], ids=ids) == ids
    assert [d.id for d in store.get_by_ids(ids)] == ids  # the two spellings are two documents
    assert {d.id for d in store.similarity_search("text", k=10)} == set(ids)
    assert store.client.get("langchain", FILED_UNDER_1)["text"] == "text 0"
    assert store.client.get("langchain", upper.lower())["metadata"] == {}  # a UUID as itself
    assert store.get_by_ids([FILED_UNDER_1]) == []  # that UUID does not name "1"
    generated = store.add_texts(["no id", "empty id"], ids=[None, ""])
    assert all(str(uuid.UUID(i)) == i for i in generated)


def test_metadata_round_trip_and_replacement(store):
    kept = {
        "none": None,
        "tags": ["a"],
        "nested": {"k": [1, 2.5]},
        "big": 2**70,
        "n": 3,
        "ok": True,
    }
    store.add_texts(["t", "u"], [kept, {"old": 1}], ids=["m", "r"])
    assert store.get_by_ids(["m"]) == [Document(id="m", page_content="t", metadata=kept)]
    assert [d.id for d in store.similarity_search("t", filter={"n": 3, "ok": True})] == ["m"]
    # Replacing drops the old metadata; within one call the last text of an id wins.
    assert store.add_texts(["v", "w"], [{"new": 1}, {"new": 2}], ids=["r", "r"]) == ["r", "r"]
    assert store.client.collection_info("langchain").document_count == 2
    assert store.get_by_ids(["r"]) == [Document(id="r", page_content="w", metadata={"new": 2})]


@pytest.mark.parametrize(
    "metadata, error, message",
    [
        ({"_lc_id": "x"}, ValueError, "reserved"),
        ({1: "x"}, TypeError, "keys must be str"),
        ({"when": object()}, TypeError, "cannot be stored"),
        ({"s": "\ud800"}, ValueError, "not valid Unicode"),  # the core could not encode it
    ],
)
def test_refused_input_changes_nothing_and_embeds_nothing(store, metadata, error, message):
    store.add_texts(["old"], [{"v": 1}], ids=["a"])
    embedded = store.embeddings.embedded
    with pytest.raises(error, match=message):
        store.add_texts(["new", "other"], [{"v": 2}, metadata], ids=["a", "b"])
    assert store.embeddings.embedded == embedded
    assert store.get_by_ids(["a", "b"]) == [Document(id="a", page_content="old", metadata={"v": 1})]


def test_a_collection_of_another_dimension_is_refused_before_deleting():
    db = Tarnwell()
    TarnwellVectorStore(CountingEmbedding(size=8), client=db).add_texts(["keep"], ids=["a"])
    other = TarnwellVectorStore(CountingEmbedding(size=4), client=db)
    with pytest.raises(ValueError, match="holds 8, the embedding model returned 4"):
        other.add_texts(["replace"], ids=["a"])
    assert texts_of(other.get_by_ids(["a"])) == ["keep"]


def test_delete_and_unknown_options(store):
    with pytest.raises(ValueError, match="delete_collection"):
        store.delete()
    assert store.delete(["never added"]) is True
    store.add_texts(["a", "b"], ids=["a", "b"])
    store.delete(["a", "missing"])
    assert [d.id for d in store.get_by_ids(["a", "b"])] == ["b"]
    with pytest.raises(TypeError, match="unexpected keyword arguments: filters"):
        store.similarity_search("a", filters={"x": 1})
    assert store.delete_collection() is True
    assert store.similarity_search("b") == []
    store.add_texts(["c"], ids=["c"])  # the next write creates the collection again
    assert texts_of(store.similarity_search("c")) == ["c"]


def test_keyword_search_with_a_filter_ranks_among_matching_documents(store):
    # The one matching document scores lowest on the words, below k others.
    store.add_texts(
        ["cat cat cat"] * 5 + ["a cat among many dog words", "dog"],
        [{"kind": "many"}] * 5 + [{"kind": "one"}] * 2,
    )
    hits = store.keyword_search_with_score("cat", k=1, filter={"kind": "one"})
    assert [d.page_content for d, _ in hits] == ["a cat among many dog words"]
    either = store.keyword_search("cat", k=10, filter={"$or": [{"kind": "one"}, {"x": 1}]})
    assert texts_of(either) == ["a cat among many dog words"]


def test_hybrid_search_and_search_types(store):
    store.add_texts(["red apple", "green apple", "blue sky"], [{"c": "r"}, {"c": "g"}, {"c": "b"}])
    linear = store.hybrid_search(
        "apple", k=3, filter={"c": {"$in": ["g", "b"]}}, alpha=0.0, fusion_method="linear"
    )
    assert texts_of(linear)[0] == "green apple"
    native = {"must_not": [{"field": "c", "op": "eq", "value": "g"}]}  # Tarnwell's own form
    assert set(texts_of(store.hybrid_search("apple", k=3, filter=native))) == {
        "red apple",
        "blue sky",
    }
    # One search must serve a hybrid query: alternatives on one field fold, others cannot.
    folded = store.hybrid_search("apple", k=3, filter={"$or": [{"c": "r"}, {"c": "g"}]})
    assert set(texts_of(folded)) == {"red apple", "green apple"}
    with pytest.raises(ValueError, match="one conjunction"):
        store.hybrid_search("apple", filter={"$or": [{"c": "r"}, {"d": 1}]})
    assert texts_of(store.search("sky", "keyword")) == ["blue sky"]
    for search_type in ("keyword", "hybrid", "mmr", "similarity"):
        retriever = store.as_retriever(search_type=search_type, search_kwargs={"k": 1})
        assert len(retriever.invoke("apple")) == 1
    with pytest.raises(ValueError, match="not allowed"):
        store.as_retriever(search_type="fuzzy")


@pytest.mark.skipif(not importlib.util.find_spec("pytest_asyncio"), reason="needs pytest-asyncio")
@pytest.mark.asyncio
async def test_text_search_types_run_asynchronously(store):
    await store.aadd_texts(["blue sky", "green field"])
    retriever = store.as_retriever(search_type="keyword")
    assert texts_of(await retriever.ainvoke("sky")) == ["blue sky"]
    assert len(await store.asearch("field", "hybrid", k=1)) == 1


def test_mmr_prefers_a_different_document_to_a_copy(store):
    store.add_texts(["same", "same", "same", "other"])
    picked = store.max_marginal_relevance_search("same", k=2, fetch_k=4, lambda_mult=0.25)
    assert sorted(texts_of(picked)) == ["other", "same"]


@pytest.mark.parametrize("metric", ["cosine", "euclidean", "dot_product"])
def test_relevance_scores_are_in_unit_range(metric):
    store = TarnwellVectorStore(CountingEmbedding(), distance_metric=metric)
    store.add_texts([f"t{i}" for i in range(8)])
    scores = [s for _, s in store.similarity_search_with_relevance_scores("t3", k=8)]
    assert scores[0] == pytest.approx(1.0, abs=0.01)
    assert all(0.0 <= s <= 1.0 for s in scores) and scores == sorted(scores, reverse=True)
    retriever = store.as_retriever(
        search_type="similarity_score_threshold", search_kwargs={"score_threshold": 0.99}
    )
    assert texts_of(retriever.invoke("t3")) == ["t3"]


def test_documents_survive_reopening_a_persistent_handle(tmp_path):
    embedding = CountingEmbedding()
    docs = [
        Document(id="first", page_content="alpha beta", metadata={"n": 1, "tags": ["x"]}),
        Document(id="second", page_content="gamma", metadata={"n": 2}),
    ]
    store = TarnwellVectorStore.from_documents(
        docs, embedding, client=Tarnwell(data_dir=str(tmp_path)), collection_name="kb"
    )
    store.add_texts(["alpha beta again"], [{"n": 3}], ids=["first"])  # a replacement, logged
    del store
    gc.collect()  # releases the data directory's lock

    client = Tarnwell(data_dir=str(tmp_path))
    reopened = TarnwellVectorStore(embedding, client=client, collection_name="kb")
    expected = [
        Document(id="first", page_content="alpha beta again", metadata={"n": 3}),
        Document(id="second", page_content="gamma", metadata={"n": 2}),
    ]
    assert reopened.get_by_ids(["first", "second"]) == expected
    assert reopened.similarity_search("gamma", k=1, filter={"n": {"$gte": 2}}) == expected[1:]
    assert reopened.keyword_search("again") == expected[:1]
