"""Persistent handles: logging, restarts, snapshots, checkpoints, encryption."""
import os
import stat
import subprocess
import sys
import textwrap

import pytest

from tarnwell import RecoveryWarning, Tarnwell

from conftest import KEY, OTHER_KEY, vec


def reopen(d, key=None):
    return Tarnwell(data_dir=d, encryption_key=key)


def test_ephemeral_handle_creates_no_file(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    db = Tarnwell()
    db.create_collection("c", 2)
    db.insert("c", "t", [1.0, 2.0])
    assert os.listdir(tmp_path) == []


def test_new_data_dir_gets_an_empty_private_log(tmp_path):
    d = tmp_path / "a" / "b"
    Tarnwell(data_dir=str(d))
    wal = d / "wal.bin"
    assert wal.stat().st_size == 0
    assert stat.S_IMODE(wal.stat().st_mode) == 0o600


def test_everything_survives_a_restart_through_the_log(data_dir):
    db = reopen(data_dir)
    db.create_collection("c", 8, m=8, ef_search=20, distance_metric="dot_product")
    a = db.insert("c", "alpha text", vec(1), metadata={"n": 1})
    ids = db.batch_insert("c", [{"text": f"b{i}", "embedding": vec(10 + i)} for i in range(5)])
    db.delete("c", ids[0])
    db.create_collection("gone", 2)
    db.delete_collection("gone")
    del db
    for _ in range(2):  # replaying the same log twice yields the same state
        db = reopen(data_dir)
        assert db.list_collections() == ["c"]
        assert db.get("c", a) == {"id": a, "text": "alpha text", "metadata": {"n": 1}}
        assert db.collection_info("c").document_count == 5
        with pytest.raises(KeyError):
            db.get("c", ids[0])
        del db


def test_duplicate_create_keeps_the_first(data_dir):
    db = reopen(data_dir)
    db.create_collection("c", 4)
    with pytest.raises(ValueError):
        db.create_collection("c", 8)
    db.insert("c", "t", [1.0, 2.0, 3.0, 4.0])
    del db
    db = reopen(data_dir)
    assert db.collection_info("c").dimension == 4
    assert db.collection_info("c").document_count == 1


def test_save_truncates_the_log_but_keeps_other_collections(data_dir):
    db = reopen(data_dir)
    db.create_collection("a", 8)
    db.create_collection("b", 8)
    db.insert("a", "in a", vec(1))
    kept = db.insert("b", "in b", vec(2))
    db.save("a")
    assert os.path.getsize(os.path.join(data_dir, "wal.bin")) == 0
    del db
    db = reopen(data_dir)
    assert db.get("b", kept)["text"] == "in b"


def test_save_to_another_path_keeps_data_dir_durable(data_dir, tmp_path):
    db = reopen(data_dir)
    db.create_collection("a", 8)
    doc = db.insert("a", "x", vec(1))
    db.save("a", path=str(tmp_path / "elsewhere"))
    assert (tmp_path / "elsewhere" / "a.twl").exists()
    del db
    db = reopen(data_dir)
    assert db.get("a", doc)["text"] == "x"


def test_deleted_collections_stay_deleted_after_checkpoints(data_dir):
    db = reopen(data_dir)
    db.create_collection("a", 8)
    db.insert("a", "x", vec(1))
    db.compact()
    assert os.path.exists(os.path.join(data_dir, "a.twl"))
    db.delete_collection("a")
    db.compact()
    del db
    db = reopen(data_dir)
    assert db.list_collections() == []


def test_snapshot_files_and_modes(data_dir):
    db = reopen(data_dir)
    db.create_collection("c", 8)
    db.insert("c", "x", vec(1))
    db.compact()
    assert stat.S_IMODE(os.stat(data_dir).st_mode) == 0o700
    assert stat.S_IMODE(os.stat(os.path.join(data_dir, "c.twl")).st_mode) == 0o600
    assert not os.path.exists(os.path.join(data_dir, "c.twl.tmp"))


def test_only_twl_files_are_loaded_and_bad_ones_skipped(data_dir):
    db = reopen(data_dir)
    db.create_collection("x", 2)
    db.compact()
    del db
    body = open(os.path.join(data_dir, "x.twl"), "rb").read()
    for name in ("x.twl.tmp", ".twl", "x.TWL", "x.twl.bak"):
        with open(os.path.join(data_dir, name), "wb") as f:
            f.write(body)
    with open(os.path.join(data_dir, "broken.twl"), "wb") as f:
        f.write(b"garbage")
    with pytest.warns(RecoveryWarning, match="broken.twl"):
        db = reopen(data_dir)
    assert db.list_collections() == ["x"]


def test_load_registers_under_the_given_name(tmp_path):
    db = Tarnwell()
    db.create_collection("orig", 8)
    doc = db.insert("orig", "x", vec(1))
    db.save("orig", path=str(tmp_path))
    os.rename(tmp_path / "orig.twl", tmp_path / "copy.twl")
    other = Tarnwell()
    other.load("copy", path=str(tmp_path))
    assert other.list_collections() == ["copy"]  # nothing under the stored name
    assert other.get("copy", doc)["text"] == "x"
    assert other.collection_info("copy").name == "copy"
    # A copy loads beside the original it was made from.
    db.insert("orig", "y", vec(2))
    db.load("copy", path=str(tmp_path))
    assert sorted(db.list_collections()) == ["copy", "orig"]
    assert (db.collection_info("orig").document_count,
            db.collection_info("copy").document_count) == (2, 1)


def test_failed_load_changes_nothing(tmp_path):
    db = Tarnwell()
    db.create_collection("c", 8)
    doc = db.insert("c", "x", vec(1))
    (tmp_path / "c.twl").write_bytes(b"not a snapshot at all")
    with pytest.raises(RuntimeError):
        db.load("c", path=str(tmp_path))
    assert db.get("c", doc)["text"] == "x"


def test_load_is_a_checkpoint(data_dir, tmp_path):
    src = Tarnwell()
    src.create_collection("c", 8)
    first = src.insert("c", "loaded", vec(1))
    src.save("c", path=str(tmp_path / "src"))
    db = reopen(data_dir)
    db.create_collection("c", 8)
    db.insert("c", "overwritten", vec(2))
    db.load("c", path=str(tmp_path / "src"))
    later = db.insert("c", "after load", vec(3))
    del db
    db = reopen(data_dir)
    assert db.get("c", first)["text"] == "loaded"
    assert db.get("c", later)["text"] == "after load"
    assert db.collection_info("c").document_count == 2


def test_encrypted_handle(data_dir):
    db = reopen(data_dir, KEY)
    db.create_collection("c", 8)
    doc = db.insert("c", "secret words", vec(1))
    raw = open(os.path.join(data_dir, "wal.bin"), "rb").read()
    assert b"secret" not in raw
    del db
    db = reopen(data_dir, KEY.upper())  # the same key in other letter case
    assert db.get("c", doc)["text"] == "secret words"
    db.save("c")
    assert b"secret" not in open(os.path.join(data_dir, "c.twl"), "rb").read()
    db.load("c", encryption_key=KEY)
    with pytest.raises(RuntimeError) as e:
        db.load("c")  # load never uses the handle's key
    assert "is encrypted but no encryption key was provided" in e.value.args[0]
    del db
    # A handle with another key skips the snapshot silently...
    with pytest.warns(RecoveryWarning, match="c.twl"):
        assert reopen(data_dir, OTHER_KEY).list_collections() == []


@pytest.mark.parametrize("key", [None, OTHER_KEY])
def test_log_encrypted_with_another_key_refuses_to_open(data_dir, key):
    db = reopen(data_dir, KEY)
    db.create_collection("c", 8)
    del db
    before = open(os.path.join(data_dir, "wal.bin"), "rb").read()
    with pytest.raises(RuntimeError) as e:
        reopen(data_dir, key)
    assert e.value.args[0].startswith("WAL replay failed: ")
    assert open(os.path.join(data_dir, "wal.bin"), "rb").read() == before
    assert reopen(data_dir, KEY).list_collections() == ["c"]


def test_torn_log_tail_is_cut_before_new_appends(data_dir):
    db = reopen(data_dir)
    db.create_collection("c", 8)
    a = db.insert("c", "kept", vec(1))
    del db
    wal = os.path.join(data_dir, "wal.bin")
    with open(wal, "ab") as f:
        f.write(b"\x00\x00\x01\x00\xde\xad")  # a torn header of a record that never finished
    db = reopen(data_dir)
    b = db.insert("c", "after the tear", vec(2))
    del db
    db = reopen(data_dir)
    assert db.get("c", a)["text"] == "kept"
    assert db.get("c", b)["text"] == "after the tear"


def test_one_writer_per_directory(data_dir):
    first = reopen(data_dir)
    with pytest.raises(RuntimeError) as e:
        reopen(data_dir)
    assert e.value.args[0].startswith("failed to open WAL: ")
    code = f"from tarnwell import Tarnwell; Tarnwell(data_dir={data_dir!r})"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode != 0 and "failed to open WAL" in out.stderr
    del first
    reopen(data_dir)


def test_child_process_writes_parent_reads(data_dir):
    code = textwrap.dedent(
        f"""
        from tarnwell import Tarnwell
        db = Tarnwell(data_dir={data_dir!r})
        db.create_collection("c", 2)
        print(db.insert("c", "from the child", [0.5, 0.5], metadata={{"pid": 1}}))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    doc = out.stdout.strip()
    db = reopen(data_dir)
    assert db.get("c", doc) == {"id": doc, "text": "from the child", "metadata": {"pid": 1}}
