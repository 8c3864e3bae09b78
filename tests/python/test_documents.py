"""Collections and documents: the bookkeeping a user relies on."""
import pytest

from tarnwell import Tarnwell

from conftest import vec


def test_collections_lifecycle(db):
    assert db.list_collections() == []
    db.create_collection("a", 4)
    db.create_collection("A", 4)  # names are case-sensitive
    assert sorted(db.list_collections()) == ["A", "a"]
    assert db.delete_collection("a") is True
    assert db.delete_collection("a") is False
    assert db.list_collections() == ["A"]
    assert db.total_memory_bytes() == 0


def test_total_memory_adds_up(db):
    db.create_collection("a", 4)
    db.create_collection("b", 4)
    db.insert("a", "some text", [1.0, 2.0, 3.0, 4.0])
    db.insert("b", "other text", [1.0, 2.0, 3.0, 4.0], metadata={"x": 1})
    total = sum(db.collection_info(n).estimated_memory_bytes for n in ("a", "b"))
    assert db.total_memory_bytes() == total > 0


def test_insert_get_delete(coll):
    doc_id = coll.insert("c", "hello", vec(1), metadata={"n": 1})
    assert coll.get("c", doc_id)["text"] == "hello"
    assert coll.delete("c", doc_id) is True
    assert coll.delete("c", doc_id) is False
    with pytest.raises(KeyError):
        coll.get("c", doc_id)


def test_batch_insert_returns_ids_in_order(coll):
    given = "67e55044-10b1-426f-9247-bb680e5fe0c8"
    ids = coll.batch_insert(
        "c",
        [
            {"text": "one", "embedding": vec(1)},
            {"text": "two", "embedding": vec(2), "id": given.upper(), "metadata": {"k": 2}},
            {"text": "three", "embedding": vec(3)},
        ],
    )
    assert len(ids) == 3 and ids[1] == given
    assert [coll.get("c", i)["text"] for i in ids] == ["one", "two", "three"]
    assert coll.batch_insert("c", []) == []


def test_deleted_id_can_be_inserted_again(tmp_path):
    d = str(tmp_path / "d")
    db = Tarnwell(data_dir=d)
    db.create_collection("c", 8)
    doc_id = db.insert("c", "first version", vec(1))
    db.insert("c", "neighbour", vec(2))
    assert db.delete("c", doc_id)
    assert db.insert("c", "second version", vec(3), id=doc_id) == doc_id
    assert db.get("c", doc_id)["text"] == "second version"
    hits = db.search("c", query_embedding=vec(3), k=5)
    assert [h.text for h in hits if h.id == doc_id] == ["second version"]
    # A snapshot taken now must load again, and the log must replay to the same state.
    db.save("c")
    db.insert("c", "after save", vec(4))
    db.delete("c", doc_id)
    db.insert("c", "third version", vec(5), id=doc_id)
    del db
    db = Tarnwell(data_dir=d)
    assert db.get("c", doc_id)["text"] == "third version"
    assert db.collection_info("c").document_count == 3
    db.compact()
    del db
    db = Tarnwell(data_dir=d)
    assert db.get("c", doc_id)["text"] == "third version"


def test_rebuild_keeps_membership(coll):
    ids = [coll.insert("c", f"text {i}", vec(i)) for i in range(30)]
    for i in ids[::3]:
        coll.delete("c", i)
    live = set(ids) - set(ids[::3])
    before = {h.id for h in coll.search("c", query_embedding=vec(1), k=30)}
    assert coll.rebuild("c") == len(live)
    after = {h.id for h in coll.search("c", query_embedding=vec(1), k=30)}
    assert before == after == live
    # Deleting a document that was live before the rebuild still works.
    victim = sorted(live)[0]
    assert coll.delete("c", victim) is True
    assert victim not in {h.id for h in coll.search("c", query_embedding=vec(1), k=30)}
    assert coll.rebuild("c") == len(live) - 1


def test_rebuild_of_empty_collection(coll):
    assert coll.rebuild("c") == 0
