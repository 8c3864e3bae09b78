"""Python values in and out: metadata, filter operands, ids, embeddings."""
import ctypes
import math
import os
import threading

import numpy as np
import pytest

from conftest import vec


@pytest.mark.parametrize(
    "value",
    [True, False, 1, -1, 0, 2**63 - 1, -(2**63), 1.0, -0.0, 1e300, "", "héllo ✓", float("inf")],
)
def test_metadata_round_trips_with_types(coll, value):
    doc_id = coll.insert("c", "t", vec(0), metadata={"a": value})
    got = coll.get("c", doc_id)["metadata"]["a"]
    assert type(got) is type(value) and got == value


def test_metadata_nan_and_subclasses(coll):
    class MyInt(int):
        pass

    class MyFloat(float):
        pass

    class MyStr(str):
        pass

    class MyDict(dict):
        pass

    doc_id = coll.insert(
        "c", "t", vec(0), metadata=MyDict(n=float("nan"), i=MyInt(5), f=MyFloat(2.5), s=MyStr("x"))
    )
    md = coll.get("c", doc_id)["metadata"]
    assert math.isnan(md["n"])
    assert (md["i"], type(md["i"])) == (5, int)
    assert (md["f"], type(md["f"])) == (2.5, float)
    assert (md["s"], type(md["s"])) == ("x", str)


def test_metadata_bool_is_not_int(coll):
    doc_id = coll.insert("c", "t", vec(0), metadata={"b": True, "i": 1})
    md = coll.get("c", doc_id)["metadata"]
    assert md["b"] is True and type(md["i"]) is int


def test_metadata_key_must_be_str(coll):
    with pytest.raises(TypeError):
        coll.insert("c", "t", vec(0), metadata={1: "x"})


def test_empty_and_absent_metadata(coll):
    a = coll.insert("c", "t", vec(0), metadata={})
    b = coll.insert("c", "t", vec(1), metadata=None)
    assert coll.get("c", a)["metadata"] == {} == coll.get("c", b)["metadata"]


def test_get_returns_keys_in_order(coll):
    doc_id = coll.insert("c", "hello", vec(0), metadata={"k": "v"})
    got = coll.get("c", doc_id)
    assert list(got) == ["id", "text", "metadata"]
    assert got == {"id": doc_id, "text": "hello", "metadata": {"k": "v"}}


UUID = "67e55044-10b1-426f-9247-bb680e5fe0c8"


@pytest.mark.parametrize(
    "form",
    [
        UUID,
        UUID.upper(),
        UUID.replace("-", ""),
        "{" + UUID + "}",
        "urn:uuid:" + UUID,
        "{" + UUID.upper() + "}",
    ],
)
def test_uuid_text_forms(coll, form):
    assert coll.insert("c", "t", vec(0), id=form) == UUID
    assert coll.get("c", form)["id"] == UUID
    assert coll.delete("c", form) is True


@pytest.mark.parametrize(
    "text,message",
    [
        ("abc", "invalid length: expected length 32 for simple format, found 3"),
        ("67e55044-10b1-426f-9247", "invalid group count: expected 5, found 4"),
        (
            "67e5504-410b1-426f-9247-bb680e5fe0c8",
            "invalid group length in group 0: expected 8, found 7",
        ),
    ],
)
def test_uuid_parse_messages(coll, text, message):
    with pytest.raises(ValueError) as e:
        coll.get("c", text)
    assert e.value.args[0] == "invalid UUID: " + message


def test_uuid_invalid_character_message(coll):
    with pytest.raises(ValueError) as e:
        coll.get("c", "67e55044-10b1-426f-9247-bb680e5fe0cg")
    assert e.value.args[0].startswith(
        "invalid UUID: invalid character: expected an optional prefix of `urn:uuid:` "
        "followed by [0-9a-fA-F-], found `g` at "
    )


def test_generated_ids_are_v4(coll):
    ids = {coll.insert("c", "t", vec(i)) for i in range(20)}
    assert len(ids) == 20
    for i in ids:
        assert i == i.lower() and i[14] == "4" and i[19] in "89ab"


@pytest.mark.parametrize(
    "make",
    [
        lambda v: v,
        lambda v: tuple(v),
        lambda v: np.array(v, dtype=np.float32),
        lambda v: np.array(v, dtype=np.float64),
        lambda v: np.array(v + v, dtype=np.float32)[::2],  # strided
        lambda v: np.array(v, dtype=np.int64),  # not a float buffer: converted item by item
        lambda v: [np.float32(x) for x in v],
        lambda v: memoryview(np.array(v, dtype=np.float32)),
    ],
)
def test_embedding_forms(make):
    from tarnwell import Tarnwell

    db = Tarnwell()
    db.create_collection("c", 4, distance_metric="euclidean", store_raw_vectors=True)
    values = [1.0, 2.0, 3.0, 4.0]
    doc_id = db.insert("c", "t", make(values))
    [hit] = db.search("c", query_embedding=make(values), k=1)
    assert hit.id == doc_id and hit.score == pytest.approx(1.0)


def test_embedding_refusals(coll):
    for bad in ("abcdefgh", b"abcdefgh", 3.0, {"a": 1}, np.zeros((2, 4), dtype=np.float32)):
        with pytest.raises(TypeError):
            coll.insert("c", "t", bad)


def test_embedding_items_must_be_numbers(coll):
    with pytest.raises(TypeError):
        coll.insert("c", "t", [0.0] * 7 + ["x"])


def test_filter_values_follow_python_types(coll):
    coll.insert("c", "t", vec(0), metadata={"i": 3, "f": 1.0, "b": True, "s": "3"})

    def hits(cond):
        return len(coll.search("c", query_embedding=vec(0), filter={"must": [cond]}))

    assert hits({"field": "i", "op": "eq", "value": 3.0}) == 1  # int equals float
    assert hits({"field": "s", "op": "eq", "value": 3}) == 0  # string never equals number
    assert hits({"field": "b", "op": "eq", "value": 1}) == 0  # bool never equals int
    assert hits({"field": "f", "op": "eq", "value": True}) == 0
    assert hits({"field": "i", "op": "gt", "value": float("nan")}) == 0  # NaN becomes null
    assert hits({"field": "i", "op": "ne", "value": None}) == 1  # null equals nothing
    assert hits({"field": "i", "op": "gte", "value": -5}) == 1  # negative int operand


@pytest.mark.parametrize(
    "make",
    [
        lambda v: (ctypes.c_float * len(v))(*v),  # no strides in its buffer
        lambda v: (ctypes.c_double * len(v))(*v),
        lambda v: (ctypes.c_int * len(v))(*(int(x) for x in v)),  # not floats: item by item
        lambda v: np.array(v[::-1], dtype=np.float32)[::-1],  # negative stride
        lambda v: np.frombuffer(b"\0" + np.array(v, np.float32).tobytes(), np.float32,
                                offset=1),  # misaligned
        lambda v: np.array(v, dtype=">f4"),  # other byte order
    ],
)
def test_any_buffer_is_read_safely(make):
    """Buffers of every layout are read correctly, never dereferenced blindly."""
    from tarnwell import Tarnwell

    db = Tarnwell()
    db.create_collection("c", 4, distance_metric="euclidean", store_raw_vectors=True)
    values = [1.0, 2.0, 3.0, 4.0]
    db.insert("c", "t", make(values))
    db.batch_insert("c", [{"text": "u", "embedding": make(values)}])
    hits = db.search("c", query_embedding=make(values), k=2)
    assert [h.score for h in hits] == [pytest.approx(1.0)] * 2


def test_an_array_changed_during_insert_is_logged_as_indexed(tmp_path):
    """The values that reach the log are the values indexed, whatever another thread writes to
    the array meanwhile (seeded; a thread flips the array while the main thread inserts)."""
    from tarnwell import Tarnwell

    seed = 7
    rng = np.random.default_rng(seed)
    d = str(tmp_path / "d")
    db = Tarnwell(data_dir=d)
    db.create_collection("c", 64, distance_metric="euclidean", store_raw_vectors=True)
    arr = rng.standard_normal(64).astype(np.float32)
    stop = threading.Event()

    def flip():
        while not stop.is_set():
            np.negative(arr, out=arr)

    t = threading.Thread(target=flip)
    t.start()
    try:
        ids = [db.insert("c", f"d{i}", arr) for i in range(300)]
    finally:
        stop.set()
        t.join()
    queries = [rng.standard_normal(64).astype(np.float32) for _ in range(5)]
    before = [[(h.id, h.score) for h in db.search("c", query_embedding=q, k=300)]
              for q in queries]
    del db
    db = Tarnwell(data_dir=d)
    after = [[(h.id, h.score) for h in db.search("c", query_embedding=q, k=300)]
             for q in queries]
    assert sorted(ids) == sorted(i for i, _ in after[0])
    assert before == after, f"seed {seed}"


@pytest.mark.parametrize("arg", ["data_dir", "encryption_key"])
def test_nul_in_a_path_or_key_is_refused(tmp_path, arg):
    from tarnwell import Tarnwell

    kwargs = {"data_dir": str(tmp_path / "d\x00junk")} if arg == "data_dir" else {
        "encryption_key": "0" * 32 + "\x00" + "0" * 31}
    with pytest.raises(ValueError, match=f"embedded null character in {arg}"):
        Tarnwell(**kwargs)
    assert os.listdir(tmp_path) == []
    db = Tarnwell()
    db.create_collection("c", 2)
    with pytest.raises(ValueError, match="embedded null character in path"):
        db.save("c", path=str(tmp_path / "f\x00"))
    with pytest.raises(ValueError, match="embedded null character in path"):
        db.load("x", path=str(tmp_path / "f\x00"))
    with pytest.raises(ValueError, match="embedded null character in encryption_key"):
        db.save("c", path=str(tmp_path), encryption_key="\x00")
