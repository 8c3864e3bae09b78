"""Changes in place and operations over many documents: upsert, update, get_many, count, scan,
documents(), delete_many, delete_where, insert_columns and batch queries; their results, their
errors, and that a reopened handle (log replay and snapshot) holds what they did."""

import pathlib
import uuid

import numpy as np
import pytest

from tarnwell import Tarnwell

DIM = 8


def rows(n, seed=0):
    return np.random.default_rng(seed).standard_normal((n, DIM)).astype(np.float32)


def eq(field, value):
    return {"must": [{"field": field, "op": "eq", "value": value}]}


def state(db, name="c"):
    return [(d["id"], d["text"], d["metadata"]) for d in db.scan(name)]


def fill(path):
    db = Tarnwell(data_dir=path)
    db.create_collection("c", DIM, store_raw_vectors=True)
    ids = db.insert_columns(
        "c",
        [f"doc {i} word{i % 3}" for i in range(30)],
        rows(30),
        [{"b": np.int64(i % 5), "t": f"t{i % 2}"} for i in range(30)],
    )
    return db, ids, path


@pytest.fixture
def filled(tmp_path):
    return fill(tmp_path / "d")


def test_changes_survive_reopen_from_log_and_from_snapshot(tmp_path):
    db, ids, path = fill(tmp_path / "d")
    db.update("c", ids[0], metadata={"b": 99})
    db.update("c", ids[1], text="renamed zebra")
    db.update("c", uuid.UUID(ids[2]), embedding=rows(1, 7)[0])
    assert db.upsert("c", "fresh", rows(1, 8)[0], id=ids[3]) == ids[3]
    new_id = db.upsert("c", "brand new", rows(1, 9)[0], metadata={"b": 1})
    assert db.delete_many("c", [ids[4], ids[4], ids[5], str(uuid.uuid4())]) == 2
    assert db.delete_where("c", eq("b", 2)) == 6
    expected = state(db)
    assert len(expected) == 30 + 1 - 2 - 6
    del db
    db = Tarnwell(data_dir=path)  # replays the log
    assert state(db) == expected
    assert db.get("c", new_id)["text"] == "brand new"
    db.compact()
    del db
    assert state(Tarnwell(data_dir=path)) == expected


def test_update_keeps_every_index_in_step(filled):
    db, ids, _ = filled
    before = db.count("c", eq("b", 0))
    db.update("c", ids[0], metadata={"b": 42, "new": "x"})
    assert db.count("c", eq("b", 0)) == before - 1
    assert [h.id for h in db.search("c", query_text="doc", filter=eq("b", 42), k=5)] == [ids[0]]
    db.update("c", ids[1], text="zebra crossing")
    assert [h.id for h in db.search("c", query_text="zebra")] == [ids[1]]
    assert all(h.id != ids[1] for h in db.search("c", query_text="word1", k=30))
    q = rows(1, 123)[0]
    db.update("c", ids[2], embedding=q)
    assert db.search("c", query_embedding=q, k=1)[0].id == ids[2]
    assert db.get("c", ids[2], include_embedding=True)["embedding"] == pytest.approx(q.tolist())
    # Only what is given changes.
    assert db.get("c", ids[2])["text"] == "doc 2 word2"
    db.update("c", ids[3])
    with pytest.raises(KeyError, match="not found"):
        db.update("c", str(uuid.uuid4()), text="x")
    with pytest.raises(ValueError, match="dimension mismatch"):
        db.update("c", ids[3], embedding=[1.0])
    assert db.count("c") == 30


def test_reads(filled):
    db, ids, _ = filled
    got = db.get_many("c", [ids[5], str(uuid.uuid4()), uuid.UUID(ids[1])])
    assert [d["id"] for d in got] == [ids[5], ids[1]]
    emb = db.get_many("c", [ids[0]], include_embedding=True)[0]["embedding"]
    assert emb == pytest.approx(rows(30)[0].tolist())  # the raw copy: exact
    assert db.count("c") == 30 and db.count("c", eq("t", "t1")) == 15
    # Pages in insertion order, resumable after the last id seen.
    page1 = db.scan("c", limit=12)
    page2 = db.scan("c", limit=100, after=page1[-1]["id"])
    assert [d["id"] for d in page1 + page2] == ids
    assert db.scan("c", eq("t", "t0"), ids_only=True) == ids[0::2]
    assert [d["id"] for d in db.documents("c", batch_size=7)] == ids
    assert [d["id"] for d in db.documents("c", eq("b", 3), batch_size=2)] == ids[3::5]
    with pytest.raises(KeyError):
        db.scan("c", after=str(uuid.uuid4()))
    # Changes during an iteration neither end it nor skip documents it has not reached.
    it = db.documents("c", batch_size=4)
    seen = [next(it)["id"] for _ in range(4)]
    db.upsert("c", "moved", rows(1)[0], id=seen[-1])
    db.delete("c", ids[5])
    rest = [d["id"] for d in it]
    assert rest == [i for i in ids[4:] if i != ids[5]] + [seen[-1]]
    it = db.documents("c", batch_size=4)
    seen = [next(it)["id"] for _ in range(4)]
    db.rebuild("c")  # renumbers: the iteration resumes after the last document it handed out
    assert [d["id"] for d in it] == [d["id"] for d in db.scan("c")][4:]


def test_embedding_read_back_without_raw_vectors_is_close():
    db = Tarnwell()
    db.create_collection("c", DIM)
    v = rows(1)[0]
    doc_id = db.insert("c", "t", v)
    back = np.array(db.get("c", doc_id, include_embedding=True)["embedding"])
    assert np.abs(back - v).max() <= (v.max() - v.min()) / 255 + 1e-6


def test_insert_columns_forms_and_errors():
    db = Tarnwell()
    db.create_collection("c", DIM)
    f64 = rows(3).astype(np.float64)
    strided = rows(6)[::2]
    given = [uuid.uuid4(), None, str(uuid.uuid4())]
    for embeddings in (f64, strided, rows(3).tolist()):
        ids = db.insert_columns("c", ["a", "b", "c"], embeddings, ids=given if embeddings is f64
                                else None)
        assert len(ids) == 3
    assert ids[0] != str(given[0])
    seen = []
    db.insert_columns("c", ["p"] * 300, rows(300), num_threads=2,
                      progress=lambda done, total: seen.append((done, total)))
    assert seen[-1] == (300, 300)
    assert db.get("c", given[0])["text"] == "a"
    bad = [
        (lambda: db.insert_columns("c", ["a"], rows(2)), ValueError, "1 texts but 2 embeddings"),
        (lambda: db.insert_columns("c", ["a", "b"], rows(2), [{}]), ValueError, "metadatas"),
        (lambda: db.insert_columns("c", ["a"], np.zeros((1, 3), np.float32)), ValueError,
         "dimension mismatch"),
        (lambda: db.insert_columns("c", ["a", "b"], rows(2), [{}, {"x": [1]}]), ValueError,
         "metadata values"),
        (lambda: db.insert_columns("c", ["a"], np.zeros((1, DIM), np.int32)), TypeError, "2-D"),
    ]
    count = db.count("c")
    for call, exc, text in bad:
        with pytest.raises(exc, match=text):
            call()
    assert db.count("c") == count
    with pytest.raises(ValueError) as e:
        db.insert_columns("c", ["a", "b"], rows(2), [{}, {"k": {}}])
    assert e.value.__notes__ == ["metadata key 'k' holds dict", "in row 1"]


def test_batch_queries_match_single_queries(filled):
    db, ids, _ = filled
    qs = rows(20, 5)
    texts = [f"word{i % 3}" for i in range(20)]
    flt = eq("t", "t1")

    def key(hits):
        return [(h.id, round(h.score, 5)) for h in hits]

    batch = db.search("c", query_embedding=qs, k=4, filter=flt)
    assert [key(b) for b in batch] == [
        key(db.search("c", query_embedding=q, k=4, filter=flt)) for q in qs]
    hybrid = db.search("c", query_embedding=list(qs), query_text=texts, k=3)
    assert [key(b) for b in hybrid] == [
        key(db.search("c", query_embedding=q, query_text=t, k=3)) for q, t in zip(qs, texts)]
    assert db.search("c", query_text=[]) == []
    with pytest.raises(ValueError, match="one entry per query"):
        db.search("c", query_embedding=qs[:2], query_text=texts[:3])
    with pytest.raises(ValueError, match="one entry per query"):
        db.search("c", query_embedding=qs[0], query_text=texts[:3])


def test_conversions(tmp_path):
    db = Tarnwell(data_dir=pathlib.Path(tmp_path))
    db.create_collection("c", DIM)
    doc = uuid.uuid4()
    meta = {"i": np.int32(3), "f": np.float32(0.5), "b": np.bool_(True), "u": np.uint64(7)}
    assert db.insert("c", "t", rows(1)[0], metadata=meta, id=doc) == str(doc)
    assert db.get("c", doc)["metadata"] == {"i": 3, "f": 0.5, "b": True, "u": 7}
    assert db.count("c", {"must": [{"field": "i", "op": "in", "values": [np.int64(3)]}]}) == 1
    db.save("c", path=tmp_path / "export")
    assert (tmp_path / "export" / "c.twl").exists()
    with pytest.raises(TypeError, match="str or uuid.UUID"):
        db.get("c", 12)
    with pytest.raises(ValueError, match=r"unknown filter key: 'section' \(expected"):
        db.count("c", {"section": "x"})
    with pytest.raises(ValueError, match="unknown key 'metadatas' in document 0 of the batch"):
        db.batch_insert("c", [{"text": "t", "embedding": rows(1)[0], "metadatas": {}}])
    with pytest.raises(TypeError) as e:
        db.delete_many("c", [str(doc), 5])
    assert e.value.__notes__ == ["in ids[1]"]
    with pytest.raises(TypeError, match="positional"):
        db.get("c", doc, True)


def test_document_store_example_runs(tmp_path, capsys):
    example = pathlib.Path(__file__).resolve().parents[2] / "examples" / "document_store.py"
    namespace = {"__name__": "example"}
    exec(compile(example.read_text(), str(example), "exec"), namespace)
    assert namespace["main"](tmp_path) == 1  # only the upserted package is left
    assert "'web server': nginx" in capsys.readouterr().out
