"""Crash recovery: a child inserts and reports every acknowledged id; it is killed with SIGKILL at
a random moment; every acknowledged document must be there after reopening."""
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from tarnwell import Tarnwell

from conftest import KEY

CHILD = textwrap.dedent(
    """
    import os, random, sys
    from tarnwell import Tarnwell
    data_dir, key, seed = sys.argv[1], sys.argv[2] or None, int(sys.argv[3])
    rnd = random.Random(seed)
    db = Tarnwell(data_dir=data_dir, encryption_key=key)
    if "c" not in db.list_collections():
        db.create_collection("c", 4)
    out = os.fdopen(1, "w", buffering=1)
    out.write("ready\\n")
    i = 0
    while True:
        i += 1
        r = rnd.random()
        if r < 0.6:
            doc = db.insert("c", f"doc {seed} {i}", [rnd.random() for _ in range(4)])
            out.write(f"ins {doc}\\n")
        elif r < 0.8:
            ids = db.batch_insert("c", [{"text": f"b {seed} {i} {j}",
                                         "embedding": [rnd.random() for _ in range(4)]}
                                        for j in range(rnd.randint(1, 5))])
            out.write("ins " + " ".join(ids) + "\\n")
        elif r < 0.9:
            db.save("c")
            out.write("saved\\n")
        else:
            db.compact()
            out.write("compacted\\n")
    """
)


@pytest.mark.slow
@pytest.mark.parametrize("key", [None, KEY])
def test_acknowledged_inserts_survive_sigkill(tmp_path, crash_cycles, key):
    data_dir = str(tmp_path / "d")
    rnd = random.Random(1234)
    acknowledged = set()
    cycles = max(1, crash_cycles)
    for cycle in range(cycles):
        child = subprocess.Popen(
            [sys.executable, "-c", CHILD, data_dir, key or "", str(cycle)],
            stdout=subprocess.PIPE,
            text=True,
        )
        assert child.stdout.readline().strip() == "ready"
        time.sleep(rnd.uniform(0.0, 0.15))
        child.send_signal(signal.SIGKILL)
        out, _ = child.communicate()
        for line in out.splitlines():
            # A line is complete only if it ended with a newline before the kill.
            if line.startswith("ins "):
                acknowledged.update(line.split()[1:])
        # Partial last line: drop it (its insert may or may not be there).
        if out and not out.endswith("\n"):
            last = out.splitlines()[-1]
            if last.startswith("ins "):
                acknowledged.difference_update(last.split()[1:])
        db = Tarnwell(data_dir=data_dir, encryption_key=key)
        missing = [d for d in acknowledged if not _exists(db, d)]
        assert not missing, f"cycle {cycle}: {len(missing)} acknowledged documents lost"
        del db


def _exists(db, doc):
    try:
        db.get("c", doc)
        return True
    except KeyError:
        return False
