"""Every failure reaches Python as the documented exception with the documented message."""
import pytest

from tarnwell import Tarnwell

from conftest import KEY, vec


def err(excinfo):
    return excinfo.value.args[0]


@pytest.mark.parametrize(
    "key,message",
    [
        ("abc", "encryption key must be 64 hex characters (32 bytes), got 3"),
        ("0" * 63, "encryption key must be 64 hex characters (32 bytes), got 63"),
        ("0" * 65, "encryption key must be 64 hex characters (32 bytes), got 65"),
        ("0" * 10 + "zz" + "0" * 52, "invalid hex at position 10: invalid digit found in string"),
    ],
)
def test_bad_keys_everywhere(tmp_path, key, message):
    with pytest.raises(ValueError) as e:
        Tarnwell(encryption_key=key)
    assert err(e) == message
    db = Tarnwell(data_dir=str(tmp_path / "d"))
    db.create_collection("c", 2)
    with pytest.raises(ValueError) as e:
        db.save("c", encryption_key=key)
    assert err(e) == message
    with pytest.raises(ValueError) as e:
        db.load("c", encryption_key=key)
    assert err(e) == message


def test_key_is_parsed_before_any_file_is_touched(tmp_path):
    target = tmp_path / "never"
    with pytest.raises(ValueError):
        Tarnwell(data_dir=str(target), encryption_key="nope")
    assert not target.exists()


def test_constructor_file_errors(tmp_path):
    regular = tmp_path / "file"
    regular.write_text("x")
    with pytest.raises(RuntimeError) as e:
        Tarnwell(data_dir=str(regular))
    assert err(e).startswith(f"failed to load snapshots from '{regular}': ")
    with pytest.raises(RuntimeError) as e:
        Tarnwell(data_dir=str(regular / "below"))
    assert err(e).startswith("failed to open WAL: ")
    # A failed open leaves nothing behind and does not touch the file in the way.
    assert [p.name for p in tmp_path.iterdir()] == ["file"]
    assert regular.read_text() == "x"


def test_unknown_metric_is_case_sensitive(db):
    with pytest.raises(ValueError) as e:
        db.create_collection("c", 4, distance_metric="Cosine")
    assert err(e) == "unknown distance metric: 'Cosine' (use 'cosine', 'euclidean', or 'dot_product')"


def test_duplicate_collection(db):
    db.create_collection("a", 4)
    with pytest.raises(ValueError) as e:
        db.create_collection("a", 8)
    assert err(e) == "Collection 'a' already exists"
    assert db.collection_info("a").dimension == 4


@pytest.mark.parametrize(
    "call",
    [
        lambda db: db.collection_info("nope"),
        lambda db: db.insert("nope", "t", [1.0]),
        lambda db: db.batch_insert("nope", []),
        lambda db: db.get("nope", "00000000-0000-0000-0000-000000000000"),
        lambda db: db.delete("nope", "00000000-0000-0000-0000-000000000000"),
        lambda db: db.save("nope", path="/tmp"),
        lambda db: db.search("nope", query_text="x"),
        lambda db: db.search("nope"),  # looked up before the query check
        lambda db: db.rebuild("nope"),
    ],
)
def test_missing_collection(db, call):
    with pytest.raises(KeyError) as e:
        call(db)
    assert err(e) == "collection 'nope' not found"


@pytest.mark.parametrize("value", [None, [1], {"x": 1}, b"x", 1j])
def test_bad_metadata_values(coll, value):
    with pytest.raises(ValueError) as e:
        coll.insert("c", "t", vec(0), metadata={"a": value})
    assert err(e) == "metadata values must be bool, int, float, or str"
    assert e.value.__notes__ == [f"metadata key 'a' holds {type(value).__name__}"]
    with pytest.raises(ValueError):
        coll.batch_insert("c", [{"text": "t", "embedding": vec(0), "metadata": {"a": value}}])
    assert coll.collection_info("c").document_count == 0


def test_invalid_uuid_everywhere(coll):
    bad = "not-a-uuid"
    for call in (
        lambda: coll.insert("c", "t", vec(0), id=bad),
        lambda: coll.batch_insert("c", [{"text": "t", "embedding": vec(0), "id": bad}]),
        lambda: coll.get("c", bad),
        lambda: coll.delete("c", bad),
    ):
        with pytest.raises(ValueError) as e:
            call()
        assert err(e).startswith("invalid UUID: ")


@pytest.mark.parametrize(
    "doc,exc,message",
    [
        ({"embedding": [0.0] * 8}, ValueError, "document missing 'text'"),
        ({"text": "t"}, ValueError, "document missing 'embedding'"),
        ({"text": 3, "embedding": [0.0] * 8}, TypeError, None),
        ({"text": "t", "embedding": [0.0] * 8, "metadata": None}, TypeError, None),
        ({"text": "t", "embedding": [0.0] * 8, "metadata": [1]}, TypeError, None),
        ({"text": "t", "embedding": [0.0] * 8, "id": None}, TypeError, None),
        ({"text": "t", "embedding": "abc"}, TypeError, None),
        (["text"], TypeError, None),
    ],
)
def test_batch_parse_errors_leave_nothing_behind(tmp_path, doc, exc, message):
    db = Tarnwell(data_dir=str(tmp_path / "d"))
    db.create_collection("c", 8)
    good = [{"text": "one", "embedding": vec(1)}, {"text": "two", "embedding": vec(2)}]
    size_before = (tmp_path / "d" / "wal.bin").stat().st_size
    with pytest.raises(exc) as e:
        db.batch_insert("c", good + [doc])
    if message:
        assert err(e) == message
    assert db.collection_info("c").document_count == 0
    assert (tmp_path / "d" / "wal.bin").stat().st_size == size_before


def test_document_not_found_reports_the_id_as_passed(coll):
    upper = "0123456789ABCDEF0123456789ABCDEF"
    with pytest.raises(KeyError) as e:
        coll.get("c", upper)
    assert err(e) == f"document '{upper}' not found"


def test_no_path_without_data_dir(coll):
    for call in (lambda: coll.save("c"), lambda: coll.load("c")):
        with pytest.raises(ValueError) as e:
            call()
        assert err(e) == "no path specified and Tarnwell was created without data_dir"
    with pytest.raises(ValueError) as e:
        coll.compact()
    assert err(e) == "compact requires data_dir to be set"


def test_load_errors(tmp_path):
    db = Tarnwell()
    with pytest.raises(RuntimeError) as e:
        db.load("missing", path=str(tmp_path))
    assert err(e).startswith("failed to load 'missing': ")
    # An encrypted snapshot loaded without a key names the file.
    db.create_collection("c", 2)
    db.save("c", path=str(tmp_path), encryption_key=KEY)
    with pytest.raises(RuntimeError) as e:
        db.load("c", path=str(tmp_path))
    path = tmp_path / "c.twl"
    assert err(e) == (
        f"failed to load 'c': snapshot \"{path}\" is encrypted but no encryption key was provided"
    )


def test_search_argument_errors(coll):
    with pytest.raises(ValueError) as e:
        coll.search("c")
    assert err(e) == "at least one of query_embedding or query_text is required"
    with pytest.raises(TypeError):
        coll.search("c", query_text="x", filter=[])
    with pytest.raises(TypeError):
        coll.search("c", query_text="x", filter={"must": None})
    with pytest.raises(TypeError):
        coll.search("c", query_text="x", k=None)
    with pytest.raises(TypeError):
        coll.search("c", query_text="x", alpha=None)
    with pytest.raises(TypeError):
        coll.search("c", query_text="x", fusion_method=None)
    with pytest.raises(OverflowError):
        coll.search("c", query_text="x", k=-1)
    with pytest.raises(TypeError):
        coll.search("c", query_embedding="abc")


@pytest.mark.parametrize(
    "flt,exc,message",
    [
        ({"must": [{"op": "eq", "value": 1}]}, ValueError, "filter condition missing 'field'"),
        ({"must": [{"field": "a", "value": 1}]}, ValueError, "filter condition missing 'op'"),
        ({"must": [{"field": "a", "op": "EQ"}]}, ValueError, "unknown filter operator: 'EQ'"),
        ({"must": [{"field": "a", "op": "=="}]}, ValueError, "unknown filter operator: '=='"),
        (
            {"must": [{"field": "a", "op": "eq", "value": [1]}]},
            ValueError,
            "filter values must be None, bool, int, float, or str",
        ),
        (
            {"must_not": [{"field": "a", "op": "in", "values": [b"x"]}]},
            ValueError,
            "filter values must be None, bool, int, float, or str",
        ),
        ({"must": [{"field": "a", "op": "in", "values": (1, 2)}]}, TypeError, None),
        ({"must": ({"field": "a", "op": "eq"},)}, TypeError, None),
        ({"must": [["field", "a"]]}, TypeError, None),
        ({"must": [{"field": 1, "op": "eq"}]}, TypeError, None),
        ({"must": [{"field": "a", "op": "eq", "value": 2**63}]}, OverflowError, None),
    ],
)
def test_filter_parse_errors(coll, flt, exc, message):
    # Keyword mode does not apply the filter, but still refuses a malformed one.
    with pytest.raises(exc) as e:
        coll.search("c", query_text="anything", filter=flt)
    if message:
        assert err(e) == message


def test_wrong_argument_types_name_the_argument(coll, tmp_path):
    cases = [
        (lambda: coll.create_collection(1, 4), "name"),
        (lambda: coll.create_collection("x", "4"), "dimension"),
        (lambda: coll.create_collection("x", 4, m=1.5), "m"),
        (lambda: coll.create_collection("x", 4, store_raw_vectors=1), "store_raw_vectors"),
        (lambda: coll.insert("c", "t", vec(0), metadata=[("a", 1)]), "metadata"),
        (lambda: coll.insert("c", b"t", vec(0)), "text"),
        (lambda: coll.insert("c", "t", "0.1 0.2"), "embedding"),
        (lambda: coll.batch_insert("c", ({"text": "t"},)), "documents"),
        (lambda: Tarnwell(data_dir=1), "data_dir"),
        (lambda: Tarnwell(encryption_key=b"00" * 32), "encryption_key"),
        (lambda: coll.save("c", path=1), "path"),
        (lambda: coll.search("c", query_text="x", k=1.0), "k"),
        (lambda: coll.search("c", query_text="x", min_similarity="0.5"), "min_similarity"),
    ]
    for call, name in cases:
        with pytest.raises(TypeError) as e:
            call()
        assert f"'{name}'" in str(e.value), (name, str(e.value))


def test_overflowing_ints(coll):
    with pytest.raises(OverflowError):
        coll.create_collection("x", 2**64)
    with pytest.raises(OverflowError):
        coll.create_collection("x", -1)
    with pytest.raises(OverflowError):
        coll.insert("c", "t", vec(0), metadata={"a": 2**63})
    coll.insert("c", "t", vec(0), metadata={"a": -(2**63)})


@pytest.mark.parametrize(
    "kwargs",
    [
        {"dimension": 0},
        {"dimension": 4, "m": 0},
        {"dimension": 4, "m": 1},
        {"dimension": 4, "ef_construction": 0},
    ],
)
def test_degenerate_configurations_are_refused(tmp_path, kwargs):
    db = Tarnwell(data_dir=str(tmp_path / "d"))
    with pytest.raises(ValueError):
        db.create_collection("c", **kwargs)
    assert db.list_collections() == []
    assert (tmp_path / "d" / "wal.bin").stat().st_size == 0


@pytest.mark.parametrize("name", ["", ".", "..", "a/b", "a\0b", "x" * 248])
def test_names_that_cannot_be_file_names_are_refused(tmp_path, name):
    db = Tarnwell(data_dir=str(tmp_path / "d"))
    with pytest.raises(ValueError):
        db.create_collection(name, 4)
    assert (tmp_path / "d" / "wal.bin").stat().st_size == 0
    db.create_collection("x" * 247, 4)  # the longest name that still fits "{}.twl.tmp"


def test_embedding_dimension_mismatch(coll, tmp_path):
    for call in (
        lambda: coll.insert("c", "t", [1.0, 2.0]),
        lambda: coll.batch_insert("c", [{"text": "t", "embedding": [1.0] * 9}]),
        lambda: coll.search("c", query_embedding=[1.0] * 7),
    ):
        with pytest.raises(ValueError) as e:
            call()
        assert err(e).startswith("embedding dimension mismatch: expected 8, got ")


def test_live_ids_are_not_inserted_twice(coll):
    doc_id = coll.insert("c", "first", vec(1))
    with pytest.raises(ValueError) as e:
        coll.insert("c", "second", vec(2), id=doc_id.upper())
    assert err(e) == f"document '{doc_id}' already exists"
    with pytest.raises(ValueError):
        coll.batch_insert("c", [{"text": "x", "embedding": vec(3), "id": doc_id}])
    other = "11111111-2222-4333-8444-555555555555"
    with pytest.raises(ValueError):
        coll.batch_insert(
            "c",
            [
                {"text": "x", "embedding": vec(3), "id": other},
                {"text": "y", "embedding": vec(4), "id": other.replace("-", "")},
            ],
        )
    assert coll.get("c", doc_id)["text"] == "first"
    assert coll.collection_info("c").document_count == 1


def test_unexpected_arguments(db):
    with pytest.raises(TypeError):
        db.list_collections(1)
    with pytest.raises(TypeError):
        db.create_collection("c")
    with pytest.raises(TypeError):
        db.create_collection("c", 4, bogus=1)
    with pytest.raises(TypeError):
        db.create_collection("c", 4, name="d")


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf"), 1e39])
def test_non_finite_embeddings_are_refused_before_logging(tmp_path, bad):
    d = str(tmp_path / "d")
    db = Tarnwell(data_dir=d)
    db.create_collection("c", 4)
    emb = [0.5, bad, 0.5, 0.5]
    message = "embedding contains a non-finite value at index 1"
    for call in (lambda: db.insert("c", "t", emb),
                 lambda: db.batch_insert("c", [{"text": "ok", "embedding": [1, 2, 3, 4]},
                                               {"text": "t", "embedding": emb}]),
                 lambda: db.search("c", query_embedding=emb),
                 lambda: db.search("c", query_embedding=emb, query_text="t")):
        with pytest.raises(ValueError) as e:
            call()
        assert err(e) == message
    del db
    assert Tarnwell(data_dir=d).collection_info("c").document_count == 0


@pytest.mark.parametrize("alpha", [float("nan"), -0.01, 1.01, 5])
def test_alpha_is_a_weight(coll, alpha):
    coll.insert("c", "cat", vec(1))
    with pytest.raises(ValueError) as e:
        coll.search("c", query_embedding=vec(1), query_text="cat", alpha=alpha,
                    fusion_method="linear")
    assert err(e) == "alpha must be between 0 and 1"
    for ok in (0, 1, 0.5):
        coll.search("c", query_embedding=vec(1), query_text="cat", alpha=ok, fusion_method="linear")


def test_file_errors_name_the_file(tmp_path):
    db = Tarnwell()
    db.create_collection("c", 2)
    with pytest.raises(RuntimeError) as e:
        db.save("c", path="")
    assert "''" in err(e)
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(RuntimeError) as e:
        db.save("c", path=str(blocker / "sub"))
    assert str(blocker) in err(e)
    with pytest.raises(RuntimeError) as e:
        db.load("c", path=str(tmp_path / "nowhere"))
    assert str(tmp_path / "nowhere" / "c.twl") in err(e)
