"""I/O fault injection: the crash workload runs in a child with a preloaded shim that makes chosen
writes, syncs, renames, truncations, opens, removals and directory operations fail with ENOSPC or
EIO. After every failure the child checks that the call raised RuntimeError with the documented
message, that memory is unchanged, and that reopening the directory loses no acknowledged change;
the last check also covers start-ups that meet a failing call."""
import json
import os
import subprocess
import sys

import pytest

from conftest import KEY, OTHER_KEY

WORKLOAD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "workload.py")


def run_faults(tmp_path, shim, seed, steps, key):
    root = tmp_path / "root"
    root.mkdir()
    cfg = {"data_dir": str(root / "data"), "key": key, "seed": seed, "token_base": seed,
           "export_dirs": [str(root / "export-a"), str(root / "export-b" / "deeper")],
           "keys": [KEY, OTHER_KEY], "shim": shim, "prefix": str(root), "steps": steps}
    cfg_path = tmp_path / "faults.json"
    cfg_path.write_text(json.dumps(cfg))
    env = dict(os.environ, LD_PRELOAD=shim)
    proc = subprocess.run([sys.executable, WORKLOAD, "fault", str(cfg_path)], env=env,
                          capture_output=True, text=True, timeout=3600)
    lines = proc.stdout.splitlines()
    failures = [line for line in lines if line.startswith("FAIL ")]
    assert proc.returncode == 0 and not failures, (
        f"seed {seed}: " + "\n".join(failures) + "\n" + proc.stderr[-3000:])
    stats = json.loads(next(line for line in lines if line.startswith("STATS "))[6:])
    return stats


@pytest.mark.slow
@pytest.mark.parametrize("key", [None, KEY], ids=["plain", "encrypted"])
def test_failed_calls_change_nothing_and_lose_nothing(tmp_path, faultshim, fault_steps, crash_seed,
                                                      key):
    stats = run_faults(tmp_path, faultshim, crash_seed * 2 + (key is not None), fault_steps, key)
    # The shim saw every write under the directory: none went to a file others could read.
    assert stats.pop("exposed_mode") == 0
    assert stats["failed_calls"] > 0
    print(f"\nfault injection ({'encrypted' if key else 'plain'}): {json.dumps(stats)}")
