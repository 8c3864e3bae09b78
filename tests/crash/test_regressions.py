"""Faults found by the crash, fault-injection and review work, one test each. Scripts that could
crash the interpreter or need the fault shim run in a child process."""
import os
import stat
import subprocess
import sys
import textwrap

import pytest

from conftest import KEY
from tarnwell import Tarnwell

HERE = os.path.dirname(os.path.abspath(__file__))


def run_child(script, shim=None, timeout=60):
    env = dict(os.environ)
    if shim:
        env["LD_PRELOAD"] = shim
    code = f"import sys; sys.path.insert(0, {HERE!r})\n" + textwrap.dedent(script)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=timeout)


def modes(path):
    return stat.S_IMODE(os.stat(path).st_mode)


# ---- embeddings whose conversion runs Python code ----


@pytest.mark.parametrize("call", [
    "db.insert('c', 't', emb)",
    "db.batch_insert('c', [{'text': 't', 'embedding': emb}])",
    "db.search('c', query_embedding=emb)",
])
def test_an_embedding_list_changed_by_its_own_items_is_refused_not_read_after_free(call):
    # __float__ empties the list and reuses its freed item array: reading the array afterwards
    # used to crash the interpreter.
    proc = run_child(f"""
        from tarnwell import Tarnwell
        db = Tarnwell()
        db.create_collection("c", 4)
        keep = []
        class Shrinks:
            def __float__(self):
                emb.clear()
                keep.append(bytearray(b"A" * (8 * 2004)))
                return 1.0
        for _ in range(5):
            emb = [Shrinks(), 1.0, 2.0, 3.0] + [0.5] * 2000
            try:
                {call}
            except ValueError as e:
                assert "embedding dimension mismatch" in str(e), e
            else:
                raise AssertionError("accepted")
        print("ok")
    """)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr


# ---- file and directory permissions ----


def test_no_byte_is_written_to_a_file_others_could_open(tmp_path, faultshim):
    # The temporary snapshot used to be created 0644 and narrowed after the write: a reader that
    # opened it meanwhile kept reading the data. The shim records the mode of every file written.
    root = tmp_path / "root"
    proc = run_child(f"""
        import os
        from workload import Shim
        from tarnwell import Tarnwell
        os.umask(0o022)
        shim = Shim({faultshim!r})
        shim.prefix({str(root)!r})
        for key in (None, {KEY!r}):
            d = os.path.join({str(root)!r}, "data" if key is None else "sealed")
            db = Tarnwell(data_dir=d, encryption_key=key)
            db.create_collection("c", 3)
            db.insert("c", "text", [1.0, 2.0, 3.0])
            db.save("c")
            db.save("c", path=os.path.join({str(root)!r}, "out"))
            db.insert("c", "more", [1.0, 0.0, 3.0])
            db.compact()
            del db
        print(shim.exposed_mode())
    """, shim=faultshim)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "0"


def test_directories_made_for_data_are_private_and_existing_ones_keep_their_mode(tmp_path):
    data_dir = tmp_path / "new" / "data"
    db = Tarnwell(data_dir=str(data_dir))
    assert modes(data_dir) == 0o700
    db.create_collection("c", 2)
    db.insert("c", "t", [1.0, 2.0])

    made = tmp_path / "made" / "deeper"
    db.save("c", path=str(made))
    assert modes(made) == 0o700

    # A shared directory keeps its sticky bit and its mode: saving into it used to chmod it 0700.
    shared = tmp_path / "shared"
    shared.mkdir()
    os.chmod(shared, 0o1777)
    db.save("c", path=str(shared))
    assert stat.S_IMODE(os.stat(shared).st_mode) == 0o1777
    assert modes(shared / "c.twl") == 0o600

    existing = tmp_path / "existing"
    existing.mkdir()
    os.chmod(existing, 0o750)
    db.save("c", path=str(existing))
    assert modes(existing) == 0o750


def test_a_symlink_at_the_log_name_is_never_followed(tmp_path):
    victim = tmp_path / "victim"
    victim.write_text("precious")
    data_dir = tmp_path / "data"
    data_dir.mkdir()
    os.symlink(victim, data_dir / "wal.bin")
    with pytest.raises(RuntimeError, match="^failed to open WAL: "):
        Tarnwell(data_dir=str(data_dir))
    assert victim.read_text() == "precious"

    # Swapped in while the handle is open: the checkpoint's truncation refuses it too.
    os.unlink(data_dir / "wal.bin")
    db = Tarnwell(data_dir=str(data_dir))
    db.create_collection("c", 2)
    os.unlink(data_dir / "wal.bin")
    os.symlink(victim, data_dir / "wal.bin")
    with pytest.raises(RuntimeError, match="^WAL truncate failed: "):
        db.compact()
    assert victim.read_text() == "precious"


@pytest.mark.parametrize("planted", ["wal.bin", "LOCK"])
def test_a_fifo_at_a_log_file_name_is_refused_not_waited_on(tmp_path, planted):
    # Opening a FIFO planted at the log's or the lock's name used to block the start-up for good;
    # swapped in under an open handle, it blocked the checkpoint's truncation.
    data_dir = tmp_path / "data"
    data_dir.mkdir()
    os.mkfifo(data_dir / planted)
    proc = run_child(f"""
        import os
        from tarnwell import Tarnwell
        d = {str(data_dir)!r}
        try:
            Tarnwell(data_dir=d)
        except RuntimeError as e:
            assert str(e).startswith("failed to open WAL: "), e
        else:
            raise AssertionError("opened")
        os.unlink(os.path.join(d, {planted!r}))
        db = Tarnwell(data_dir=d)
        db.create_collection("c", 2)
        if {planted!r} == "wal.bin":
            os.unlink(os.path.join(d, "wal.bin"))
            os.mkfifo(os.path.join(d, "wal.bin"))
            try:
                db.compact()
            except RuntimeError as e:
                assert str(e).startswith("WAL truncate failed: "), e
            else:
                raise AssertionError("truncated a FIFO")
        print("ok")
    """, timeout=30)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr


def test_log_files_readable_by_others_are_narrowed_at_the_start(tmp_path):
    # A log copied in (or written by an older build) kept its wide mode for every later record.
    data_dir = tmp_path / "data"
    db = Tarnwell(data_dir=str(data_dir), encryption_key=None)
    db.create_collection("c", 2)
    db.insert("c", "t", [1.0, 2.0])
    del db
    for name in ("wal.bin", "LOCK"):
        os.chmod(data_dir / name, 0o644)
    db = Tarnwell(data_dir=str(data_dir))
    assert db.collection_info("c").document_count == 1
    assert modes(data_dir / "wal.bin") == 0o600
    assert modes(data_dir / "LOCK") == 0o600


# ---- snapshot files at start-up ----


def test_fifos_devices_and_directories_named_like_snapshots_are_skipped(tmp_path):
    data_dir = tmp_path / "data"
    db = Tarnwell(data_dir=str(data_dir))
    db.create_collection("c", 2)
    db.insert("c", "t", [1.0, 2.0])
    db.compact()
    del db
    os.mkfifo(data_dir / "fifo.twl")  # opening it for reading used to block forever
    os.symlink("/dev/zero", data_dir / "zero.twl")  # reading it never ends
    os.mkdir(data_dir / "dir.twl")
    proc = run_child(f"""
        from tarnwell import Tarnwell
        db = Tarnwell(data_dir={str(data_dir)!r})
        print(sorted(db.list_collections()), db.collection_info("c").document_count)
    """, timeout=30)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "['c'] 1"


def test_a_snapshot_that_cannot_be_read_fails_the_start_up(tmp_path, faultshim):
    # Skipping it used to open a database without that collection: its logged changes were
    # dropped by replay and lost at the next checkpoint, and a new collection of the same name
    # overwrote its file. A damaged file is still skipped.
    data_dir = tmp_path / "data"
    proc = run_child(f"""
        import errno
        from workload import Shim
        from tarnwell import Tarnwell
        d = {str(data_dir)!r}
        shim = Shim({faultshim!r})
        shim.prefix(d)
        db = Tarnwell(data_dir=d)
        db.create_collection("c", 2)
        db.insert("c", "a", [1.0, 2.0])
        db.compact()
        db.insert("c", "b", [2.0, 1.0])  # only in the log
        del db
        shim.arm("read", errno.EIO)  # the first read under d: the snapshot
        try:
            Tarnwell(data_dir=d)
        except RuntimeError as e:
            assert str(e).startswith("failed to load snapshots from '" + d + "': c.twl: "), e
        else:
            raise AssertionError("opened without c")
        shim.disarm()
        db = Tarnwell(data_dir=d)
        print(db.collection_info("c").document_count)
    """, shim=faultshim)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "2"


# ---- a load whose file reached data_dir before a later step failed ----


def test_a_failed_load_leaves_data_dir_holding_what_memory_holds(tmp_path, faultshim):
    # The directory sync after renaming the loaded snapshot into data_dir failed: memory kept the
    # old collection, but the next start loaded the new file and lost the old documents.
    root = tmp_path / "root"
    proc = run_child(f"""
        import errno, os
        from workload import Shim
        from tarnwell import Tarnwell
        root = {str(root)!r}
        d, out = os.path.join(root, "data"), os.path.join(root, "out")
        shim = Shim({faultshim!r})
        shim.prefix(root)
        db = Tarnwell(data_dir=d)
        db.create_collection("c", 2)
        db.batch_insert("c", [{{"text": str(i), "embedding": [1.0, i]}} for i in range(3)])
        db.save("c", path=out)
        db.batch_insert("c", [{{"text": str(i), "embedding": [1.0, i]}} for i in range(3, 5)])
        db.compact()
        shim.arm("dirsync", errno.EIO)
        try:
            db.load("c", path=out)
        except RuntimeError as e:
            assert str(e).startswith("save 'c' failed: "), e
        else:
            raise AssertionError("load succeeded")
        shim.disarm()
        assert shim.hits("dirsync") == 1
        print(db.collection_info("c").document_count)
        del db
        print(Tarnwell(data_dir=d).collection_info("c").document_count)
    """, shim=faultshim)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["5", "5"]


# ---- keys ----


def test_a_snapshot_in_data_dir_is_sealed_with_the_handle_key_only(tmp_path):
    # Saved into data_dir under another key, a collection was skipped at the next start once the
    # log was cut, and a new collection of the same name then overwrote its file.
    other = "11" * 32
    for key in (None, KEY):
        data_dir = str(tmp_path / f"data-{key is None}")
        db = Tarnwell(data_dir=data_dir, encryption_key=key)
        db.create_collection("c", 2)
        db.insert("c", "t", [1.0, 2.0])
        with pytest.raises(ValueError, match="handle's own encryption key"):
            db.save("c", encryption_key=other)
        with pytest.raises(ValueError, match="handle's own encryption key"):
            db.save("c", path=data_dir + "/.", encryption_key=other)
        if key:
            db.save("c", encryption_key=key.upper())  # the same key, spelt otherwise
        db.save("c", path=str(tmp_path / "elsewhere"), encryption_key=other)
        del db
        db = Tarnwell(data_dir=data_dir, encryption_key=key)
        assert db.collection_info("c").document_count == 1
        del db
