"""Search modes, filters, thresholds and fusion as seen from Python."""
import math

import numpy as np
import pytest

from tarnwell import Tarnwell


@pytest.fixture
def animals():
    db = Tarnwell()
    db.create_collection("a", 3, distance_metric="euclidean", store_raw_vectors=True)
    docs = [
        ("the cat sat on the mat", [0.0, 0.0, 0.0], {"kind": "cat", "age": 3, "weight": 4.5}),
        ("a dog chased the cat around the big yard", [1.0, 0.0, 0.0], {"kind": "dog", "age": 5}),
        ("the dog slept", [2.0, 0.0, 0.0], {"kind": "dog", "age": 9, "weight": 20.0}),
        ("birds sing at dawn", [3.0, 0.0, 0.0], {"kind": "bird", "age": 1}),
    ]
    ids = [db.insert("a", t, e, metadata=m) for t, e, m in docs]
    return db, ids


def texts(hits):
    return [h.text for h in hits]


def test_vector_mode_scores_are_one_minus_distance(animals):
    db, ids = animals
    hits = db.search("a", query_embedding=[0.0, 0.0, 0.0], k=3)
    assert texts(hits) == ["the cat sat on the mat", "a dog chased the cat around the big yard", "the dog slept"]
    assert [h.score for h in hits] == [1.0, 0.0, -3.0]


def test_metric_scores():
    db = Tarnwell()
    db.create_collection("d", 2, distance_metric="dot_product", store_raw_vectors=True)
    db.insert("d", "x", [3.0, 4.0])
    assert db.search("d", query_embedding=[1.0, 2.0])[0].score == 12.0
    db.create_collection("c", 2, store_raw_vectors=True)
    db.insert("c", "x", [3.0, 4.0])
    assert db.search("c", query_embedding=[6.0, 8.0])[0].score == pytest.approx(1.0)
    assert db.search("c", query_embedding=[0.0, 0.0])[0].score == 0.0


def test_keyword_mode_returns_raw_bm25_ignores_threshold_and_applies_filter(animals):
    db, _ = animals
    hits = db.search("a", query_text="dog", min_similarity=1000.0)
    assert sorted(texts(hits)) == ["a dog chased the cat around the big yard", "the dog slept"]
    assert all(h.score > 0 for h in hits)
    nothing = {"must": [{"field": "kind", "op": "eq", "value": "fish"}]}
    assert db.search("a", query_text="dog", filter=nothing) == []
    # The best k among matching documents, not the matching part of the best k.
    cats = {"must": [{"field": "kind", "op": "eq", "value": "cat"}]}
    assert texts(db.search("a", query_text="the cat dog", k=1, filter=cats)) == [
        "the cat sat on the mat"]
    assert db.search("a", query_text="the a of") == []  # stop words and single letters only


def test_filtered_vector_search(animals):
    db, _ = animals
    dogs = {"must": [{"field": "kind", "op": "eq", "value": "dog"}]}
    assert texts(db.search("a", query_embedding=[0.0, 0.0, 0.0], filter=dogs)) == [
        "a dog chased the cat around the big yard",
        "the dog slept",
    ]
    not_old = {"must_not": [{"field": "age", "op": "gte", "value": 5}]}
    assert texts(db.search("a", query_embedding=[3.0, 0, 0], filter=not_old)) == [
        "birds sing at dawn",
        "the cat sat on the mat",
    ]
    heavy = {"must": [{"field": "weight", "op": "gt", "value": 10}]}
    assert texts(db.search("a", query_embedding=[0.0, 0, 0], filter=heavy)) == ["the dog slept"]
    either = {"must": [{"field": "kind", "op": "in", "values": ["bird", "cat"]}]}
    assert len(db.search("a", query_embedding=[0.0, 0, 0], filter=either)) == 2
    # A must_not on a field the document lacks never excludes it.
    light = {"must_not": [{"field": "weight", "op": "ne", "value": 4.5}]}
    assert sorted(texts(db.search("a", query_embedding=[0.0, 0, 0], filter=light))) == [
        "a dog chased the cat around the big yard",
        "birds sing at dawn",
        "the cat sat on the mat",
    ]


def test_empty_filter_uses_filtered_path_with_same_results(animals):
    db, _ = animals
    q = [1.2, 0.1, 0.0]
    assert texts(db.search("a", query_embedding=q, filter={})) == texts(
        db.search("a", query_embedding=q)
    )


def test_min_similarity_is_inclusive(animals):
    db, _ = animals
    hits = db.search("a", query_embedding=[0.0, 0.0, 0.0], min_similarity=0.0)
    assert [h.score for h in hits] == [1.0, 0.0]
    assert db.search("a", query_embedding=[0.0, 0.0, 0.0], min_similarity=1.5) == []


def test_hybrid_rrf_and_linear(animals):
    db, _ = animals
    hits = db.search("a", query_embedding=[0.0, 0.0, 0.0], query_text="cat", k=2)
    # "the cat sat" is first in both lists: 1/61 + 1/61.
    assert hits[0].text == "the cat sat on the mat"
    assert hits[0].score == pytest.approx(2 / 61, rel=1e-6)
    assert db.search("a", query_embedding=[0.0] * 3, query_text="cat", min_similarity=0.5) == []
    lin = db.search(
        "a", query_embedding=[0.0] * 3, query_text="dawn", k=4, fusion_method="linear", alpha=1.0
    )
    # alpha 1.0: keyword-only hits score 0, vector hits keep their normalised vector score.
    assert lin[0].text == "the cat sat on the mat" and lin[0].score == pytest.approx(1.0)
    # Names in any letter case; anything else is refused rather than silently RRF.
    upper = db.search(
        "a", query_embedding=[0.0] * 3, query_text="dawn", k=4, fusion_method="LINEAR", alpha=1.0
    )
    assert [h.score for h in upper] == [h.score for h in lin]
    with pytest.raises(ValueError, match="fusion_method must be 'rrf' or 'linear'"):
        db.search("a", query_embedding=[0.0] * 3, query_text="cat", fusion_method="lin")


def test_filtered_hybrid_drops_keyword_hits_before_fusion(animals):
    db, _ = animals
    birds = {"must": [{"field": "kind", "op": "eq", "value": "bird"}]}
    hits = db.search("a", query_embedding=[3.0, 0, 0], query_text="cat dog", filter=birds)
    assert texts(hits) == ["birds sing at dawn"]
    assert hits[0].score == pytest.approx(1 / 61, rel=1e-6)


@pytest.mark.parametrize("mode", ["vector", "keyword", "hybrid"])
def test_k_zero_and_huge_k(animals, mode):
    db, _ = animals
    q = {"vector": {"query_embedding": [0.0] * 3}, "keyword": {"query_text": "dog"},
         "hybrid": {"query_embedding": [0.0] * 3, "query_text": "dog"}}[mode]
    assert db.search("a", k=0, **q) == []
    assert len(db.search("a", k=10**12, **q)) <= 4


def test_deleted_documents_never_returned(animals):
    db, ids = animals
    db.delete("a", ids[0])
    assert "the cat sat on the mat" not in texts(db.search("a", query_embedding=[0.0] * 3))
    assert "the cat sat on the mat" not in texts(db.search("a", query_text="cat"))


def test_results_survive_later_changes(animals):
    db, ids = animals
    [hit] = db.search("a", query_embedding=[0.0] * 3, k=1)
    db.delete("a", ids[0])
    db.delete_collection("a")
    assert hit.text == "the cat sat on the mat" and hit.metadata["kind"] == "cat"


def test_recall_on_random_data():
    rng = np.random.default_rng(7)
    data = rng.normal(size=(3000, 32)).astype(np.float32)
    db = Tarnwell()
    db.create_collection("r", 32)
    ids = db.batch_insert("r", [{"text": "", "embedding": v} for v in data])
    queries = rng.normal(size=(50, 32)).astype(np.float32)
    normed = data / np.linalg.norm(data, axis=1, keepdims=True)
    found = 0
    for q in queries:
        truth = set(np.argsort(-normed @ (q / np.linalg.norm(q)))[:10])
        got = {ids.index(h.id) for h in db.search("r", query_embedding=q, k=10)}
        found += len(truth & got)
    assert found / 500 >= 0.9


@pytest.mark.parametrize("raw", [False, True])
def test_constant_vectors_score_like_any_other(raw):
    """A stored vector whose components are all equal reconstructs to that value."""
    db = Tarnwell()
    db.create_collection("c", 4, store_raw_vectors=raw)
    db.create_collection("one", 1, store_raw_vectors=raw)
    ones = db.insert("c", "ones", [1, 1, 1, 1])
    db.insert("c", "other", [1, -1, 0.5, 0])
    [hit, _] = db.search("c", query_embedding=[1, 1, 1, 1], k=2)
    assert hit.id == ones and hit.score == pytest.approx(1.0, abs=1e-6)
    [hit, _] = db.search("c", query_embedding=[2, 2, 2, 2.0001], k=2)
    assert hit.id == ones and hit.score == pytest.approx(1.0, abs=1e-4)
    pos, neg = db.insert("one", "pos", [3.0]), db.insert("one", "neg", [-2.0])
    hits = db.search("one", query_embedding=[0.5], k=2)
    assert [(h.id, round(h.score, 5)) for h in hits] == [(pos, 1.0), (neg, -1.0)]


def test_bm25_scores_do_not_drift_with_token_less_churn():
    db = Tarnwell()
    db.create_collection("c", 2)
    db.insert("c", "the quick brown fox", [1, 0])
    db.insert("c", "a lazy dog", [0, 1])
    before = db.search("c", query_text="fox", k=1)[0].score
    for _ in range(3):
        ids = db.batch_insert("c", [{"text": "!!", "embedding": [1, 1]} for _ in range(300)])
        for i in ids:
            db.delete("c", i)
    assert db.search("c", query_text="fox", k=1)[0].score == before


def test_bm25_statistics_and_fuse_rankings_rebuild_a_search_from_parts(animals):
    """What a collection split in parts relies on: its own figures change nothing, other
    figures rescore, and the exposed fusion is the hybrid search's own."""
    db, ids = animals
    own = db.bm25_statistics("a", "Cat dawn the cat")
    assert set(own["document_frequencies"]) == {"cat", "dawn"}  # stop words are no terms
    assert own["document_frequencies"]["cat"] == 2 and own["document_count"] == 4
    plain = db.search("a", query_text="cat dawn")
    assert [(h.id, h.score) for h in db.search("a", query_text="cat dawn", bm25_statistics=own)] \
        == [(h.id, h.score) for h in plain]
    bigger = dict(own, document_count=400, total_length=own["total_length"] * 100)
    assert db.search("a", query_text="cat dawn", bm25_statistics=bigger)[0].score > plain[0].score
    for bad, error in [
        (dict(own, document_frequencies={"cat": 2}), ValueError),  # "dawn" missing
        (dict(own, document_frequencies={"cat": 5, "dawn": 1}), ValueError),  # df > count
        ({"document_count": 4}, ValueError),
        ([], TypeError),
    ]:
        with pytest.raises(error):
            db.search("a", query_text="cat dawn", bm25_statistics=bad)
    with pytest.raises(TypeError, match="positional"):
        db.search("a", None, "cat", 10, None, 0.7, "rrf", None, own)

    # Numbered by insertion, as the collection numbers them, so even ties break alike.
    number = {doc_id: n for n, doc_id in enumerate(ids)}
    q = [0.5, 0.0, 0.0]
    vector = [(number[h.id], h.score) for h in db.search("a", q, k=3)]
    keyword = [(number[h.id], h.score) for h in db.search("a", query_text="cat dog", k=3)]
    for fusion, alpha in [("rrf", 0.7), ("linear", 0.3)]:
        hybrid = db.search("a", q, "cat dog", k=3, fusion_method=fusion, alpha=alpha)
        assert Tarnwell.fuse_rankings(vector, keyword, 3, fusion, alpha) == [
            (number[h.id], h.score) for h in hybrid
        ]
    with pytest.raises(ValueError):
        Tarnwell.fuse_rankings(vector, keyword, 3, "borda")
