"""Crash recovery under SIGKILL: a child applies a random mix of collection and document changes,
checkpoints, exports, loads and rebuilds on a persistent handle and reports every operation
before and after the call; the parent kills it at a random moment (or just after a chosen kind of
operation started), reopens the directory and checks it against the model of the acknowledged
operations. The one operation in flight may or may not be there; nothing else may differ."""
import json
import os
import random
import select
import signal
import stat
import subprocess
import sys
import time

import pytest

from conftest import KEY, OTHER_KEY
from model import Model, apply, candidates, mismatch
from tarnwell import Tarnwell

WORKLOAD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "workload.py")
TARGET_KINDS = ["save", "save_to", "compact", "load", "insert", "batch", "delete", "create",
                "delete_coll", "rebuild", "upsert", "update", "delete_many", "delete_where"]


class Cycle:
    """One child run: what it acknowledged and the operation it had in flight."""

    def __init__(self):
        self.acked = []  # (op, outcome)
        self.pending = None
        self.broken = None
        self.begun = {}

    def feed(self, line):
        tag, _, payload = line.partition(" ")
        value = json.loads(payload)
        if tag == "B":
            self.pending = value
            self.begun[value["op"]] = self.begun.get(value["op"], 0) + 1
        elif tag == "A":
            self.acked.append((self.pending, value))
            self.pending = None
        elif tag == "X":
            self.broken = value
        return tag


def check_modes(data_dir):
    mode = stat.S_IMODE(os.stat(data_dir).st_mode)
    for name in os.listdir(data_dir):
        st = os.lstat(os.path.join(data_dir, name))
        if stat.S_ISREG(st.st_mode) and stat.S_IMODE(st.st_mode) & 0o077:
            raise AssertionError(f"{name} has mode {oct(stat.S_IMODE(st.st_mode))}")
    return mode


@pytest.mark.slow
@pytest.mark.parametrize("key", [None, KEY], ids=["plain", "encrypted"])
def test_acknowledged_changes_survive_sigkill(tmp_path, kill_cycles, crash_seed, key):
    data_dir = str(tmp_path / "data")
    export_dirs = [str(tmp_path / "export-a"), str(tmp_path / "export-b" / "deeper")]
    rnd = random.Random(crash_seed * 1000003 + (key is not None))
    model = Model()
    in_flight_seen = {}
    for n in range(kill_cycles):
        seed = crash_seed * 100000 + n
        cfg = {"data_dir": data_dir, "key": key, "seed": seed, "token_base": seed,
               "model": model.to_json(), "export_dirs": export_dirs, "keys": [KEY, OTHER_KEY]}
        cycle = Cycle()
        err = run_cycle(str(tmp_path / "cycle.json"), cfg, rnd, cycle)
        assert cycle.broken is None, f"seed {seed}: the child saw {cycle.broken}\n{err}"
        for op, outcome in cycle.acked:
            if outcome["e"] is None:
                apply(model, op, outcome["r"])
        db = Tarnwell(data_dir=data_dir, encryption_key=key)
        try:
            options = candidates(db, model, cycle.pending)
            problems = []
            for i, m in enumerate(options):
                p = mismatch(db, m, deep=True, rnd=rnd)
                if p is None:
                    model = m
                    outcome = "applied" if i == 1 else "absent"
                    break
                problems.append(p)
            else:
                pending = cycle.pending and cycle.pending["op"]
                raise AssertionError(f"seed {seed} (in flight: {pending}): " + " / ".join(problems)
                                     + "\n" + err[-2000:])
        finally:
            del db
        if cycle.pending:
            k = f"{cycle.pending['op']} {outcome}"
            in_flight_seen[k] = in_flight_seen.get(k, 0) + 1
        check_modes(data_dir)
    print(f"\n{kill_cycles} kill cycles ({'encrypted' if key else 'plain'}), in flight at the kill:"
          f" {dict(sorted(in_flight_seen.items()))}, final documents: {model.doc_count()}")


def run_cycle(cfg_path, cfg, rnd, cycle):
    """Runs one child and kills it, either after a random time or just after an operation of a
    chosen kind has begun; returns its stderr. `cycle` receives every complete report line."""
    r, w = os.pipe()
    with open(cfg_path, "w") as f:
        json.dump(dict(cfg, report_fd=w), f)
    child = subprocess.Popen([sys.executable, WORKLOAD, "crash", cfg_path], pass_fds=(w,),
                             stderr=subprocess.PIPE)
    os.close(w)
    target = None
    if rnd.random() < 0.5:
        target, nth = rnd.choice(TARGET_KINDS), rnd.randint(1, 3)
    buf = b""
    deadline = None
    start = time.monotonic()
    try:
        while True:
            now = time.monotonic()
            if deadline is None and now - start > 60:
                raise AssertionError("the child did not start within 60 s")
            if deadline is not None and now >= deadline:
                break
            rd, _, _ = select.select([r], [], [], 0.5 if deadline is None else deadline - now)
            if not rd:
                continue
            chunk = os.read(r, 65536)
            if not chunk:
                break  # the child ended by itself (it reports why)
            buf += chunk
            *lines, buf = buf.split(b"\n")
            hit = False
            for line in lines:
                tag = cycle.feed(line.decode())
                if tag == "R":
                    deadline = time.monotonic() + (rnd.uniform(0.0, 0.4) if target is None else 2.0)
                elif (tag == "B" and target is not None and cycle.pending["op"] == target
                      and cycle.begun[target] == nth):
                    hit = True
            if hit:
                # Inside the operation, by a random margin.
                time.sleep(rnd.choice([0.0, 0.0005, 0.002, 0.01]))
                break
    finally:
        child.send_signal(signal.SIGKILL)
        _, err = child.communicate()
        while chunk := os.read(r, 65536):
            buf += chunk
        os.close(r)
    # A partial last line was cut by the kill: its operation stays in flight.
    for line in buf.split(b"\n")[:-1]:
        cycle.feed(line.decode())
    return err.decode(errors="replace")


def test_the_directory_lock_outlives_no_writer(tmp_path):
    # A live writer in another process keeps a second handle out; once it is killed (no chance
    # to clean up) the directory opens at once, with what the writer acknowledged.
    data_dir = str(tmp_path / "data")
    script = ("import sys; from tarnwell import Tarnwell; db = Tarnwell(data_dir=sys.argv[1]); "
              "db.create_collection('c', 2); db.insert('c', 't', [1.0, 2.0]); "
              "print('ready', flush=True); sys.stdin.read()")
    child = subprocess.Popen([sys.executable, "-c", script, data_dir], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        with pytest.raises(RuntimeError, match="^failed to open WAL: .*in use by another handle"):
            Tarnwell(data_dir=data_dir)
    finally:
        child.send_signal(signal.SIGKILL)
        child.communicate()
    db = Tarnwell(data_dir=data_dir)
    assert db.collection_info("c").document_count == 1
