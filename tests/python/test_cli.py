"""The `tarnwell` command on real data directories: what it reports, that info, verify and export
change nothing, that damage is named by file and offset, and that a directory in use is refused."""
import json
import os
import struct
import subprocess
import sys

import pytest

from tarnwell import Tarnwell
from tarnwell.cli import main

from conftest import KEY, OTHER_KEY, vec
from test_recovery import opened, records


def run(capsys, *argv):
    """(exit status, stdout, stderr) of one command run in this process."""
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def state(d):
    """Every entry of `d` with its bytes and times: what a read-only command must not change."""
    out = {}
    for name in sorted(os.listdir(d)):
        st = os.stat(os.path.join(d, name))
        with open(os.path.join(d, name), "rb") as f:
            out[name] = (f.read(), st.st_mode, st.st_mtime_ns, st.st_ctime_ns)
    return out


def filled(d, key=None, n=6, raw=False):
    """A directory with a snapshot of `n` documents and two changes pending in the log."""
    db = Tarnwell(data_dir=str(d), encryption_key=key)
    db.create_collection("docs", 8, store_raw_vectors=raw)
    ids = [db.insert("docs", f"doc {i}", vec(i), {"i": i}) for i in range(n)]
    db.compact()
    db.delete("docs", ids[0])
    db.insert("docs", "late", vec(99))
    return db, ids


def test_info_verify_and_export_report_and_change_nothing(tmp_path, capsys):
    d = tmp_path / "d"
    db, _ = filled(d)
    del db
    os.chmod(d / "wal.bin", 0o644)  # as an older or copied-in log may be: a handle narrows it
    before = state(d)

    status, out, _ = run(capsys, "info", d)
    assert status == 0
    row = out.splitlines()[2].split()
    assert row[:5] == ["docs", "6", "8", "cosine", "docs.twl"] and row[-1] == "2"  # pending
    status, out, _ = run(capsys, "info", d, "--json")
    report = json.loads(out)
    assert report["ok"] and report["snapshots"][0]["document_count"] == 6
    assert report["log"]["records_by_kind"] == {"delete": 1, "insert": 1}
    status, out, _ = run(capsys, "verify", d)
    assert status == 0 and "ok       docs.twl" in out and "ok       wal.bin" in out
    status, out, _ = run(capsys, "export", d, "docs")
    assert status == 0 and [json.loads(line)["text"] for line in out.splitlines()] == [
        f"doc {i}" for i in range(1, 6)] + ["late"]
    # The module entry point, as a user runs it.
    proc = subprocess.run([sys.executable, "-m", "tarnwell", "verify", str(d)],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert state(d) == before


def test_verify_names_each_damaged_file_and_offset(tmp_path, capsys):
    d = tmp_path / "d"
    db = Tarnwell(data_dir=str(d))
    db.create_collection("c", 8)
    for i in range(20):
        db.insert("c", f"doc {i}", vec(i))
    del db
    wal = d / "wal.bin"
    at, n = records(wal)[6]
    raw = bytearray(wal.read_bytes())
    raw[at + 8 + n // 2] ^= 0x04
    wal.write_bytes(bytes(raw) + b"\x00\x00\x01\x00junk")  # and a torn tail
    (d / "other.twl").write_bytes(b"not a snapshot")
    before = state(d)

    status, out, _ = run(capsys, "verify", d)
    assert status == 1
    assert f"FAILED   wal.bin: offset {at}: {8 + n} damaged bytes" in out
    assert f"offset {len(raw)}: 8 bytes at the end hold a record cut short" in out
    assert "FAILED   other.twl:" in out and "2 files checked, 2 with problems" in out
    status, _, err = run(capsys, "export", d, "other")
    assert status == 2 and "collection 'other' not found; snapshot file" in err
    assert state(d) == before

    # Opening the directory keeps the damaged log as a copy, which verify goes on naming until
    # the user deals with it; a checkpoint after a skipped snapshot keeps the log it cuts.
    db, warned = opened(d)
    assert len(warned) == 2
    db.compact()
    del db
    names = os.listdir(d)
    damaged = next(f for f in names if f.startswith("wal.bin.damaged-"))
    kept = next(f for f in names if f.startswith("wal.bin.kept-"))
    status, out, _ = run(capsys, "verify", d)
    assert status == 1
    assert f"FAILED   {damaged}: offset {at}: {8 + n} damaged bytes" in out
    assert f"ok       {kept}" in out and "ok       wal.bin" in out and "ok       c.twl" in out


def test_a_directory_in_use_is_refused_by_every_command(tmp_path, capsys):
    d = tmp_path / "d"
    db, _ = filled(d)
    jsonl = tmp_path / "in.jsonl"
    jsonl.write_text(json.dumps({"text": "t", "embedding": vec(1)}) + "\n")
    before = state(d)
    for argv in (["info", d], ["verify", d], ["compact", d], ["export", d, "docs"],
                 ["import", d, "docs", jsonl]):
        status, out, err = run(capsys, *argv)
        assert status == 2 and out == "", argv
        assert err.startswith("tarnwell: error: ") and err.count("\n") == 1, argv
        assert f"data directory '{d}' is in use by another handle" in err, argv
    assert state(d) == before
    del db
    assert run(capsys, "verify", d)[0] == 0


def test_encrypted_directory_needs_its_key(tmp_path, capsys, monkeypatch):
    d = tmp_path / "d"
    db, _ = filled(d, key=KEY)
    del db
    status, out, _ = run(capsys, "verify", d)
    assert status == 1 and "no encryption key was provided" in out and "TARNWELL_KEY" in out
    assert run(capsys, "verify", d, "--key", OTHER_KEY)[0] == 1
    status, out, err = run(capsys, "export", d, "docs")
    assert status == 2 and out == "" and "no encryption key" in err
    monkeypatch.setenv("TARNWELL_KEY", KEY)
    assert run(capsys, "verify", d)[0] == 0
    status, out, _ = run(capsys, "export", d, "docs")
    assert status == 0 and len(out.splitlines()) == 6


def test_export_then_import_round_trips(tmp_path, capsys, monkeypatch):
    src = tmp_path / "src"
    db = Tarnwell(data_dir=str(src))
    db.create_collection("docs", 8, store_raw_vectors=True)
    meta = {"s": "é ☃", "i": -3, "f": 0.1, "b": True}
    ids = [db.insert("docs", f"text {i} ✓", vec(i), dict(meta, n=i)) for i in range(7)]
    db.delete("docs", ids[3])
    del db
    out_file = tmp_path / "docs.jsonl"
    assert run(capsys, "export", src, "docs", "-o", out_file)[0] == 0
    lines = [json.loads(line) for line in out_file.read_text(encoding="utf-8").splitlines()]
    assert [r["id"] for r in lines] == ids[:3] + ids[4:]
    assert lines[0] == {"id": ids[0], "text": "text 0 ✓", "metadata": dict(meta, n=0),
                        "embedding": lines[0]["embedding"]}
    # Full-precision vectors come back exactly, written as short decimals.
    as_f32 = lambda v: struct.unpack("8f", struct.pack("8f", *v))  # noqa: E731
    assert as_f32(lines[1]["embedding"]) == as_f32(vec(1))
    assert lines[1]["embedding"] == [float(f"{x:.9g}") for x in lines[1]["embedding"]]

    # Batched into a new directory; the progress bar is skipped without tqdm.
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True, raising=False)
    dst = tmp_path / "dst"
    status, _, err = run(capsys, "import", dst, "copy", out_file, "--batch-size", "4",
                         "--store-raw-vectors")
    assert status == 0 and "imported 6 documents" in err
    assert run(capsys, "export", dst, "copy", "-o", tmp_path / "again.jsonl")[0] == 0
    assert (tmp_path / "again.jsonl").read_text(encoding="utf-8") == out_file.read_text(
        encoding="utf-8")

    # Bad input names its line; whole batches before it stay imported.
    bad = tmp_path / "bad.jsonl"
    good = [json.dumps({"text": f"n{i}", "embedding": vec(i)}) for i in range(5)]
    bad.write_text("\n".join(good + ['{"text": "x", "embedding": [1, 2]}']) + "\n")
    status, _, err = run(capsys, "import", dst, "more", bad, "--batch-size", "4")
    assert status == 2 and "lines 5-6: embedding dimension mismatch" in err
    assert "4 documents were imported" in err
    for text, why in (("[1]", "expected a JSON object"), ('{"text": 1}', "'text' must be"),
                      ('{"text": "", "embedding": [], "x": 0}', "unknown field 'x'"), ("{", "")):
        bad.write_text(text + "\n")
        status, _, err = run(capsys, "import", dst, "more", bad)
        assert status == 2 and f"line 1: {why}" in err
    db = Tarnwell(data_dir=str(dst))
    assert db.collection_info("more").document_count == 4


def test_compact_empties_the_log_and_rebuild_reclaims(tmp_path, capsys):
    d = tmp_path / "d"
    db, _ = filled(d)
    del db
    status, out, _ = run(capsys, "compact", d, "--rebuild")
    assert status == 0 and "compacted 1 collections" in out
    assert os.path.getsize(d / "wal.bin") == 0
    report = json.loads(run(capsys, "info", d, "--json")[1])
    snap = report["snapshots"][0]
    assert (snap["document_count"], snap["node_count"], snap["deleted_nodes"]) == (6, 6, 0)
    assert run(capsys, "compact", tmp_path / "absent")[0] == 2
    assert not (tmp_path / "absent").exists()
