"""close(), the context manager and automatic checkpoints: how long opening can take is bounded."""
import os
import subprocess
import sys
import textwrap

import pytest

from tarnwell import Tarnwell

from conftest import vec


def wal_size(d):
    return os.path.getsize(os.path.join(d, "wal.bin"))


def fill(db, n, start=0, dim=8):
    return db.batch_insert(
        "c", [{"text": f"doc {i}", "embedding": vec(i, dim)} for i in range(start, start + n)]
    )


def test_close_checkpoints_releases_and_refuses_later_calls(data_dir):
    with Tarnwell(data_dir) as db:
        db.create_collection("c", 8)
        ids = fill(db, 20)
        db.delete("c", ids[0])
        assert wal_size(data_dir) > 0
    # The log is empty and the lock free: a second handle opens at once, from the snapshot.
    assert wal_size(data_dir) == 0
    again = Tarnwell(data_dir)
    assert again.collection_info("c").document_count == 19
    for call in (lambda: db.list_collections(), lambda: db.insert("c", "t", vec(1)),
                 lambda: db.search("c", query_embedding=vec(1)), lambda: db.__enter__()):
        with pytest.raises(RuntimeError, match="handle is closed"):
            call()
    db.close()  # idempotent
    assert repr(db) == "Tarnwell(closed)"


def test_close_without_changes_writes_nothing_and_ephemeral_handles_close(data_dir):
    Tarnwell(data_dir).close()
    assert sorted(os.listdir(data_dir)) == ["LOCK", "wal.bin"]
    db = Tarnwell()
    db.create_collection("c", 8)
    with db:
        pass
    with pytest.raises(RuntimeError, match="handle is closed"):
        db.collection_info("c")


def test_exception_in_with_block_propagates_and_still_closes(data_dir):
    with pytest.raises(KeyError):
        with Tarnwell(data_dir) as db:
            db.create_collection("c", 8)
            db.get("c", "00000000-0000-4000-8000-000000000000")
    assert wal_size(data_dir) == 0
    assert Tarnwell(data_dir).list_collections() == ["c"]


def test_release_without_close_keeps_the_log(data_dir):
    db = Tarnwell(data_dir)
    db.create_collection("c", 8)
    fill(db, 5)
    del db
    assert wal_size(data_dir) > 0
    assert not any(f.endswith(".twl") for f in os.listdir(data_dir))


@pytest.mark.parametrize("bound", [4096, 0])
def test_automatic_checkpoint_at_the_given_bound(data_dir, bound):
    db = Tarnwell(data_dir, checkpoint_bytes=bound)
    db.create_collection("c", 8)
    largest = 0
    for k in range(30):
        fill(db, 5, start=5 * k)
        largest = max(largest, wal_size(data_dir))
    if bound:
        # Each change that crosses the bound is followed by a checkpoint.
        assert largest < bound
        assert os.path.exists(os.path.join(data_dir, "c.twl"))
    else:
        assert largest == wal_size(data_dir) > 4096
    del db
    assert Tarnwell(data_dir).collection_info("c").document_count == 150


def test_default_bound_leaves_a_small_log_alone(data_dir):
    # Below the 8 MiB floor no change is followed by a checkpoint.
    db = Tarnwell(data_dir)
    db.create_collection("c", 8)
    for k in range(20):
        fill(db, 10, start=10 * k)
    assert wal_size(data_dir) > 10_000
    assert not os.path.exists(os.path.join(data_dir, "c.twl"))


def test_checkpoint_bytes_and_progress_arguments_are_checked(data_dir):
    with pytest.raises(TypeError):
        Tarnwell(data_dir, None, 5)  # keyword-only
    with pytest.raises(OverflowError):
        Tarnwell(data_dir, checkpoint_bytes=-1)
    with pytest.raises(TypeError):
        Tarnwell(data_dir, progress="yes")


def test_replay_reports_progress(data_dir):
    db = Tarnwell(data_dir)
    db.create_collection("c", 8)
    for k in range(3):
        fill(db, 4, start=4 * k)
    del db
    seen = []
    Tarnwell(data_dir, progress=lambda done, total: seen.append((done, total)))
    assert seen[-1] == (4, 4) and all(t == 4 for _, t in seen)


def test_progress_true_without_a_terminal_draws_nothing(data_dir, capsys):
    pytest.importorskip("tqdm")
    Tarnwell(data_dir, progress=True)
    assert capsys.readouterr().out == ""


def test_progress_true_without_tqdm_says_what_is_missing(data_dir):
    code = textwrap.dedent(f"""
        import sys
        sys.modules["tqdm"] = None
        from tarnwell import Tarnwell
        try:
            Tarnwell({data_dir!r}, progress=True)
        except ImportError as e:
            print(e)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout
    assert "pip install tqdm" in out


@pytest.mark.parametrize("threads", [1, 2, None])
def test_batch_insert_and_rebuild_on_threads_report_progress(threads):
    db = Tarnwell()
    db.create_collection("c", 8)
    seen = []
    ids = db.batch_insert("c", [{"text": f"d{i}", "embedding": vec(i)} for i in range(300)],
                          num_threads=threads, progress=lambda d, t: seen.append((d, t)))
    assert seen[-1] == (300, 300) and len(set(ids)) == 300
    hits = db.search("c", query_embedding=vec(7), k=1)
    assert hits[0].id == ids[7]
    db.delete("c", ids[0])
    seen.clear()
    assert db.rebuild("c", num_threads=threads, progress=lambda d, t: seen.append((d, t))) == 299
    assert seen[-1] == (299, 299)
    assert db.search("c", query_embedding=vec(9), k=1)[0].id == ids[9]


def test_batch_options_are_keyword_only_and_checked():
    db = Tarnwell()
    db.create_collection("c", 8)
    docs = [{"text": "t", "embedding": vec(1)}]
    with pytest.raises(TypeError, match="positional"):
        db.batch_insert("c", docs, 2)
    with pytest.raises(ValueError, match="num_threads must be at least 1"):
        db.batch_insert("c", docs, num_threads=0)
    with pytest.raises(TypeError):
        db.rebuild("c", progress=3)
    assert db.collection_info("c").document_count == 0


def test_a_raising_progress_callable_stops_reporting_not_the_work(monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reported.append(u.exc_type))
    db = Tarnwell()
    db.create_collection("c", 8)
    calls = []

    def bad(done, total):
        calls.append(done)
        raise ZeroDivisionError

    db.batch_insert("c", [{"text": "t", "embedding": vec(i)} for i in range(200)], progress=bad)
    assert len(calls) == 1 and db.collection_info("c").document_count == 200
    assert reported == [ZeroDivisionError]


def test_replay_of_a_large_logged_batch_restores_it(data_dir):
    db = Tarnwell(data_dir)
    db.create_collection("c", 8)
    ids = fill(db, 400)
    del db
    db = Tarnwell(data_dir)
    assert db.collection_info("c").document_count == 400
    assert db.search("c", query_embedding=vec(123), k=1)[0].id == ids[123]
