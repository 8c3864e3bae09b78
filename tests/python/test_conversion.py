"""Python values in and out: metadata, filter operands, ids, embeddings."""
import math

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
