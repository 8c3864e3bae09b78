"""What opening a data directory does with what it cannot read, and writes that cannot complete:
nothing acknowledged is destroyed without a copy, and the user is told."""
import os
import struct
import subprocess
import sys
import textwrap
import warnings

import pytest

from tarnwell import RecoveryWarning, Tarnwell

from conftest import KEY, OTHER_KEY, vec

MOVE_AWAY = "could not be read at start-up; move it away or open with its key"


def opened(d, key=None):
    """A handle on `d`, with the RecoveryWarnings it emitted."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        db = Tarnwell(data_dir=str(d), encryption_key=key)
    return db, [str(w.message) for w in caught if issubclass(w.category, RecoveryWarning)]


def fill(d, key=None, n=5, name="docs"):
    db = Tarnwell(data_dir=str(d), encryption_key=key)
    db.create_collection(name, 8)
    ids = [db.insert(name, f"doc {i}", vec(i)) for i in range(n)]
    db.compact()
    return db, ids


@pytest.mark.parametrize("damage", ["wrong key", "no key", "flipped byte"])
def test_an_unreadable_snapshot_is_reported_and_never_overwritten(tmp_path, damage):
    d = tmp_path / "d"
    db, ids = fill(d, key=None if damage == "flipped byte" else KEY)
    del db  # the log is empty: it opens under any key
    snap = d / "docs.twl"
    if damage == "flipped byte":
        raw = bytearray(snap.read_bytes())
        raw[40] ^= 1
        snap.write_bytes(bytes(raw))
    before = snap.read_bytes()
    key = {"wrong key": OTHER_KEY, "no key": None, "flipped byte": None}[damage]

    db, warned = opened(d, key)
    assert len(warned) == 1 and str(snap) in warned[0]
    assert db.list_collections() == []
    db.create_collection("other", 8)
    # Every way of writing that file is refused until the user moves it away.
    with pytest.raises(RuntimeError, match=f"snapshot file 'docs.twl' {MOVE_AWAY}"):
        db.create_collection("docs", 8)
    with pytest.raises(RuntimeError, match=MOVE_AWAY):
        db.load("docs", encryption_key=KEY)
    db.insert("other", "x", vec(9))
    db.compact()  # checkpoints that do not touch the file go on
    db.delete_collection("other")
    db.compact()
    del db
    assert snap.read_bytes() == before
    for f in os.listdir(d):  # the log emptied by those checkpoints was kept first
        assert f in ("docs.twl", "wal.bin", "LOCK") or f.startswith("wal.bin.kept-"), f
    assert not (d / "other.twl").exists()  # deleted, and its file removed

    # With the right key (or the damage undone) everything is back.
    if damage != "flipped byte":
        db, warned = opened(d, KEY)
        assert warned == []
        assert sorted(db.get("docs", i)["text"] for i in ids) == [f"doc {i}" for i in range(5)]


def test_a_snapshot_skipped_at_start_up_keeps_its_logged_records(tmp_path):
    """The records of a collection whose snapshot was skipped survive the next checkpoint."""
    d = tmp_path / "d"
    db, ids = fill(d, key=KEY)
    db.create_collection("other", 8)
    late = db.insert("docs", "logged after the checkpoint", vec(7))
    del db
    # Replace the key-sealed snapshot by one sealed with another key: the log stays readable.
    twin = Tarnwell(data_dir=str(tmp_path / "twin"), encryption_key=OTHER_KEY)
    twin.create_collection("docs", 8)
    twin.compact()
    del twin
    sealed_elsewhere = (tmp_path / "twin" / "docs.twl").read_bytes()
    original = (d / "docs.twl").read_bytes()
    (d / "docs.twl").write_bytes(sealed_elsewhere)

    db, warned = opened(d, KEY)
    assert len(warned) == 1
    db.insert("other", "y", vec(8))
    db.compact()
    kept = [f for f in os.listdir(d) if f.startswith("wal.bin.kept-")]
    assert len(kept) == 1
    db.compact()  # only the first checkpoint copies
    assert len([f for f in os.listdir(d) if f.startswith("wal.bin.kept-")]) == 1
    del db

    # Put the original snapshot back and replay the kept log: nothing was lost.
    (d / "docs.twl").write_bytes(original)
    os.replace(d / kept[0], d / "wal.bin")
    db, warned = opened(d, KEY)
    assert warned == []
    assert db.get("docs", late)["text"] == "logged after the checkpoint"
    assert db.collection_info("docs").document_count == 6


def records(path):
    """(offset, length) of every record of a plain log."""
    raw = path.read_bytes()
    out, at = [], 0
    while at + 8 <= len(raw):
        (n,) = struct.unpack(">I", raw[at:at + 4])
        out.append((at, n))
        at += 8 + n
    return out


@pytest.mark.parametrize("where", ["payload", "length", "crc"])
def test_damage_in_the_middle_of_the_log_loses_only_that_record(tmp_path, where):
    d = tmp_path / "d"
    db = Tarnwell(data_dir=str(d))
    db.create_collection("c", 8)
    ids = [db.insert("c", f"doc {i}", vec(i)) for i in range(100)]
    del db
    wal = d / "wal.bin"
    at, n = records(wal)[6]  # the sixth insert
    raw = bytearray(wal.read_bytes())
    raw[{"payload": at + 8 + n // 2, "length": at + 2, "crc": at + 5}[where]] ^= 0x04
    wal.write_bytes(bytes(raw))
    damaged = bytes(raw)

    db, warned = opened(d)
    assert len(warned) == 1 and "bytes of damaged records" in warned[0]
    assert db.collection_info("c").document_count == 99
    with pytest.raises(KeyError):
        db.get("c", ids[5])
    copies = [f for f in os.listdir(d) if f.startswith("wal.bin.damaged-")]
    assert len(copies) == 1 and (d / copies[0]).read_bytes() == damaged
    db.insert("c", "after", vec(200))
    del db
    # The log was repaired: the next start is clean and keeps everything.
    db, warned = opened(d)
    assert warned == []
    assert db.collection_info("c").document_count == 100


def test_a_torn_tail_is_cut_silently(tmp_path):
    d = tmp_path / "d"
    db = Tarnwell(data_dir=str(d))
    db.create_collection("c", 8)
    for i in range(3):
        db.insert("c", f"doc {i}", vec(i))
    del db
    wal = d / "wal.bin"
    wal.write_bytes(wal.read_bytes()[:-5] + b"\0" * 64)
    db, warned = opened(d)
    assert warned == [] and db.collection_info("c").document_count == 2
    assert not [f for f in os.listdir(d) if f.startswith("wal.bin.")]


OOM_CHILD = textwrap.dedent("""
    import random, resource, sys
    from tarnwell import Tarnwell
    seed, data_dir, size = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    rnd = random.Random(seed)
    dim = 64
    db = Tarnwell(data_dir=data_dir)
    db.create_collection("c", dim)
    acked = set()
    for i in range(1500):
        acked.add(db.insert("c", f"doc {i} words", [rnd.uniform(-1, 1) for _ in range(dim)]))
    vecs = [[rnd.uniform(-1, 1) for _ in range(dim)] for _ in range(20000)]
    texts = [("more text words %d " % i) * rnd.randint(1, 40) for i in range(20000)]
    batches = [[{"text": texts[j], "embedding": vecs[j]} for j in range(i, i + size)]
               for i in range(0, 16000 - size, size)]
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * 4096
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (used + (rnd.randint(2, 10) << 20), hard))
    failures = 0
    for i in range(4000):
        try:
            if i % 2:
                acked.update(db.batch_insert("c", batches[i // 2 % len(batches)], num_threads=2))
            else:
                acked.add(db.insert("c", texts[i // 2 + 16000], vecs[i // 2 + 16000]))
        except MemoryError:
            failures += 1
            if failures == 3:
                break
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    acked.add(db.insert("c", "after", vecs[0]))
    assert db.collection_info("c").document_count == len(acked)
    assert len(db.search("c", query_embedding=vecs[1], query_text="more words", k=20)) == 20
    assert db.rebuild("c") == len(acked)
    del db
    db = Tarnwell(data_dir=data_dir)
    assert db.collection_info("c").document_count == len(acked)
    assert all(db.get("c", i) for i in list(acked)[:50])
    assert failures == 3, failures
""")


# Batches of 8 go in on the calling thread, batches of 200 on two threads.
@pytest.mark.parametrize("seed,size", [(s, 200 if s % 5 >= 3 else 8) for s in range(
    int(os.environ.get("TARNWELL_OOM_SEEDS", "5")))])
def test_running_out_of_memory_changes_nothing(tmp_path, seed, size):
    """Inserts and batches that fail with MemoryError leave memory and the log as they were."""
    out = subprocess.run([sys.executable, "-c", OOM_CHILD, str(seed), str(tmp_path / "d"),
                          str(size)],
                         capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, f"seed {seed}: {out.stderr[-2000:]}"


FORK_CHILD = textwrap.dedent("""
    import os, sys, threading
    from tarnwell import Tarnwell
    db = Tarnwell(data_dir=sys.argv[1])
    db.create_collection("c", 4)
    db.insert("c", "parent", [1, 2, 3, 4])
    stop = threading.Event()
    def writer():
        i = 0
        while not stop.is_set():
            db.batch_insert("c", [{"text": f"w{i}-{j}", "embedding": [i, j, 1, 2]}
                                  for j in range(20)])
            i += 1
    t = threading.Thread(target=writer)
    t.start()
    for _ in range(20):
        pid = os.fork()
        if pid == 0:
            # Reads work, writes are refused, and no lock is left held.
            code = 0
            try:
                n = db.collection_info("c").document_count
                db.search("c", query_embedding=[1, 2, 3, 4], k=3)
                try:
                    db.insert("c", "child", [1, 1, 1, 1])
                    code = 3
                except RuntimeError as e:
                    if "open a new handle in this process" not in str(e):
                        code = 4
                try:
                    db.compact()
                    code = 5
                except RuntimeError:
                    pass
            except BaseException:
                code = 6
            os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0, status
    stop.set()
    t.join()
    n = db.collection_info("c").document_count
    db.compact()
    del db
    assert Tarnwell(data_dir=sys.argv[1]).collection_info("c").document_count == n
    print("ok")
""")


def test_a_forked_child_reads_but_never_writes_through_the_parents_handle(tmp_path):
    out = subprocess.run([sys.executable, "-c", FORK_CHILD, str(tmp_path / "d")],
                         capture_output=True, text=True, timeout=600)
    assert out.returncode == 0 and "ok" in out.stdout, out.stderr[-2000:]
