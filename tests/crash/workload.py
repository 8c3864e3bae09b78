"""The child process of the crash and fault tests.

    python workload.py crash CONFIG.json   applies random operations forever, reporting each on the
                                           report pipe before ("B op") and after ("A outcome") the
                                           call, until the parent kills it
    python workload.py fault CONFIG.json   runs under the fault shim: applies random operations,
                                           making chosen file-system calls fail, and checks after
                                           each failure that memory is unchanged and that a reopen
                                           loses no acknowledged change; prints its statistics

A line "X reason" on the pipe (crash) or a non-zero exit (both) reports a broken expectation.
"""
import ctypes
import errno
import gc
import json
import os
import random
import sys
import traceback
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from model import (Generator, Model, apply, candidates, expected, mismatch,  # noqa: E402
                   normalise_save_to, result_of, run)
from tarnwell import RecoveryWarning, Tarnwell  # noqa: E402

warnings.simplefilter("ignore", RecoveryWarning)

MUTATIONS = ("create", "delete_coll", "insert", "batch", "delete", "upsert", "update",
             "delete_many", "delete_where")


def check_outcome(model, op, exp, res, err):
    """None when the call behaved as the model says, else the reason."""
    if exp[0] == "ok" and err is not None:
        return f"{op['op']} raised {err}, expected success"
    if exp[0] == "err" and err != exp[1]:
        return f"{op['op']} gave {err or 'success'}, expected {exp[1]}"
    if err is None:
        want = result_of(model, op)
        if want is not None and res != want:
            return f"{op['op']} returned {res!r}, expected {want!r}"
        if op["op"] == "search":
            docs = model.colls[op["coll"]]["docs"]
            if len(res) > op["k"] or any(i not in docs or docs[i][0] != t for i, t in res):
                return "search returned a document that is not live"
    return None


# ---- crash mode ----


def crash_main(cfg):
    out = cfg["report_fd"]

    def report(tag, payload):
        data = (tag + " " + json.dumps(payload) + "\n").encode()
        while data:
            data = data[os.write(out, data):]

    key = cfg["key"]
    # Automatic checkpoints at a bound small enough that kills land in them, or the default.
    bound = random.Random(cfg["seed"]).choice([None, 4096, 65536])

    def open_db():
        return Tarnwell(data_dir=cfg["data_dir"], encryption_key=key, checkpoint_bytes=bound)

    db = open_db()
    model = Model.from_json(cfg["model"])
    gen = Generator(cfg["seed"], cfg["token_base"], cfg["export_dirs"], [None] + cfg["keys"],
                    extra={"close": 2})
    report("R", None)
    while True:
        op = normalise_save_to(gen.next(model), key)
        exp = expected(model, op)
        report("B", op)
        try:
            res, err = run(db, op, key), None
        except Exception as e:  # noqa: BLE001 - the type is the outcome being checked
            res, err = None, type(e).__name__
        problem = check_outcome(model, op, exp, res, err)
        if problem:
            report("X", problem)
            os._exit(3)
        if op["op"] == "close":
            db = open_db()
        report("A", {"r": res if op["op"] in ("insert", "batch") else None, "e": err})
        if err is None:
            apply(model, op, res)


# ---- fault mode ----


class Shim:
    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        self.lib.faultshim_arm.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_long,
                                           ctypes.c_long, ctypes.c_long]
        self.lib.faultshim_hits.argtypes = [ctypes.c_char_p]
        self.lib.faultshim_hits.restype = ctypes.c_long
        self.lib.faultshim_set_prefix.argtypes = [ctypes.c_char_p]
        self.lib.faultshim_exposed_mode.restype = ctypes.c_uint

    def prefix(self, path):
        self.lib.faultshim_set_prefix(path.encode())

    def arm(self, op, err, skip=0, count=1, partial=0):
        if self.lib.faultshim_arm(op.encode(), err, skip, count, partial) != 0:
            raise ValueError(op)

    def disarm(self):
        self.lib.faultshim_disarm_all()

    def hits(self, op):
        return self.lib.faultshim_hits(op.encode())

    def exposed_mode(self):
        return self.lib.faultshim_exposed_mode()


# Which calls to make fail for each kind of operation, and with which errors.
FAULTS_FOR = {
    "mutation": ["write", "write", "fsync", "write+ftruncate", "fsync+ftruncate"],
    "checkpoint": ["write", "fsync", "dirsync", "rename", "create", "close", "unlink", "trunc",
                   "mkdir"],
    "open": ["opendir", "read", "create", "open", "ftruncate", "mkdir", "dirsync", "write",
             "fsync", "rename"],
}
ERRNOS = [errno.ENOSPC, errno.EIO]

# The messages a failure may carry, per operation.
MESSAGES = {
    "create": ("WAL write failed: ",),
    "delete_coll": ("WAL write failed: ",),
    "insert": ("WAL write failed: ",),
    "batch": ("WAL write failed: ",),
    "delete": ("WAL write failed: ",),
    "upsert": ("WAL write failed: ",),
    "update": ("WAL write failed: ",),
    "delete_many": ("WAL write failed: ",),
    "delete_where": ("WAL write failed: ",),
    "compact": ("save '", "WAL truncate failed: ", "failed to remove the snapshot of '",
                "failed to sync '", "failed to keep a copy of the log: "),
    "save": None,  # the snapshot writer's own text, or the checkpoint's
    "save_to": None,
    "load": None,
    "open": ("failed to load snapshots from '", "failed to open WAL: ", "WAL replay failed: "),
}


class FaultRun:
    def __init__(self, cfg):
        self.cfg = cfg
        self.key = cfg["key"]
        self.shim = Shim(cfg["shim"])
        self.shim.prefix(cfg["prefix"])
        self.rnd = random.Random(cfg["seed"] * 7919 + 1)
        self.model = Model()
        self.gen = Generator(cfg["seed"], cfg["token_base"], cfg["export_dirs"],
                             [None] + cfg["keys"], max_docs=250)
        self.armed = {}  # call → errno it is armed to fail with
        self.stats = {"operations": 0, "faults": {}, "failed_calls": 0, "absorbed": 0,
                      "reopens": 0, "open_faults": 0}
        self.db = self.open()

    def open(self):
        return Tarnwell(data_dir=self.cfg["data_dir"], encryption_key=self.key)

    def reopen(self, why, op=None):
        """Reopens the directory and checks it holds the model, or, when `op` may have reached the
        log although it failed, the model with `op` applied; adopts the one it holds."""
        self.db = None
        gc.collect()
        self.db = self.open()
        self.stats["reopens"] += 1
        self.reopen_check(why, op)

    def reopen_check(self, why, op):
        problems = []
        for m in candidates(self.db, self.model, op):
            p = mismatch(self.db, m, deep=True, rnd=self.rnd)
            if p is None:
                self.model = m
                return
            problems.append(p)
        fail(f"after reopening ({why}): " + " / ".join(problems))

    def total_hits(self):
        return {op: self.shim.hits(op) for op in
                ("write", "fsync", "dirsync", "ftruncate", "rename", "unlink", "mkdir", "create",
                 "trunc", "open", "read", "opendir", "close")}

    def count(self, before, after):
        """Adds the calls made to fail since `before` to the statistics, per call and errno."""
        hit = False
        for op, n in after.items():
            if n > before[op]:
                key = f"{op}/{errno.errorcode.get(self.armed.get(op), '?')}"
                self.stats["faults"][key] = self.stats["faults"].get(key, 0) + n - before[op]
                hit = True
        return hit

    def arm(self, plan, err):
        skip = self.rnd.choice([0, 0, 0, 1, 2, 5])
        self.armed = {}
        for part in plan.split("+"):
            if part == "write":
                self.shim.arm("write", err, skip=skip,
                              partial=self.rnd.choice([0, 0, 3, 8, 20, 1 << 20]))
            elif part == "ftruncate":
                self.shim.arm("ftruncate", errno.EIO, count=-1)
            else:
                self.shim.arm(part, err, skip=skip)
            self.armed[part] = errno.EIO if part == "ftruncate" else err

    def step(self):
        op = normalise_save_to(self.gen.next(self.model), self.key)
        kind = op["op"]
        exp = expected(self.model, op)
        group = "mutation" if kind in MUTATIONS else (
            "checkpoint" if kind in ("save", "save_to", "load", "compact") else None)
        plan = None
        if group and self.rnd.random() < 0.6:
            plan = self.rnd.choice(FAULTS_FOR[group])
            self.arm(plan, self.rnd.choice(ERRNOS))
        before = self.total_hits()
        try:
            res, err, msg = run(self.db, op, self.key), None, ""
        except Exception as e:  # noqa: BLE001
            res, err, msg = None, type(e).__name__, str(e)
        self.shim.disarm()
        self.stats["operations"] += 1
        after = self.total_hits()
        triggered = self.count(before, after)
        if not triggered:
            problem = check_outcome(self.model, op, exp, res, err)
            if problem:
                fail(f"{problem} ({msg})")
            if err is None:
                apply(self.model, op, res)
            return
        if err is None or err == exp[1]:
            # The fault hit a call whose failure the operation may tolerate; what it reported
            # must hold in memory and after a reopen.
            problem = check_outcome(self.model, op, exp, res, err)
            if problem:
                fail(f"{problem} with {plan} failing ({msg})")
            self.stats["absorbed"] += 1
            if err is None:
                apply(self.model, op, res)
            self.verify_memory(f"{kind} that succeeded with {plan} failing")
            self.reopen(f"{kind} that succeeded with {plan} failing")
            return
        if err != "RuntimeError":
            fail(f"{kind} with {plan} failing raised {err}: {msg}")
        self.stats["failed_calls"] += 1
        if kind == "save_to":
            # The file may have been replaced before a later step (the directory sync) failed.
            self.model.exports.pop(op["dir"] + "\x00" + op["coll"], None)
        prefixes = MESSAGES[kind]
        if prefixes and not msg.startswith(prefixes):
            fail(f"{kind} with {plan} failing: unexpected message {msg!r}")
        # A failed call changes nothing in memory.
        self.verify_memory(f"failed {kind} ({plan}: {msg})")
        maybe_logged = None
        if "ftruncate" in plan and kind in MUTATIONS and exp[0] == "ok":
            # The record could not be cut off again: the writer refuses further appends, and
            # the record may or may not be read back.
            self.check_refuses_appends()
            maybe_logged = op
            if self.rnd.random() < 0.5:
                # The torn record must also survive a start-up whose cut-back fails.
                self.open_with_fault("ftruncate", maybe_logged)
                return
        self.reopen(f"failed {kind} ({plan}: {msg})", maybe_logged)

    def check_refuses_appends(self):
        if not self.model.colls:
            return
        name = sorted(self.model.colls)[0]
        try:
            self.db.delete(name, "00000000-0000-4000-8000-000000000000")
        except RuntimeError as e:
            if not str(e).startswith("WAL write failed: "):
                fail(f"refused append after a failed cut-back said {e!r}")
            self.verify_memory("append refused after a failed cut-back")
            return
        fail("the log accepted an append behind a record it could not cut off")

    def verify_memory(self, why):
        p = mismatch(self.db, self.model)
        if p:
            fail(f"memory changed after {why}: {p}")

    def damage(self):
        """Makes start-up pass something over without losing an acknowledged change: junk bytes
        between two records of the log (passed over after the log is copied aside, then dropped),
        or a snapshot file it cannot read (left alone, and the log kept by the next checkpoint).
        """
        data_dir = self.cfg["data_dir"]
        wal = os.path.join(data_dir, "wal.bin")
        if self.rnd.random() < 0.5 and os.path.exists(wal):
            raw = open(wal, "rb").read()
            ends, at = [], 0
            while at + 8 <= len(raw):
                at += 8 + int.from_bytes(raw[at:at + 4], "big")
                if at <= len(raw):
                    ends.append(at)
            if len(ends) >= 2:
                cut = self.rnd.choice(ends[:-1])
                junk = bytes(self.rnd.randrange(256) for _ in range(self.rnd.randint(1, 64)))
                with open(wal, "wb") as f:
                    f.write(raw[:cut] + junk + raw[cut:])
                self.stats["damaged_logs"] = self.stats.get("damaged_logs", 0) + 1
        elif os.path.isdir(data_dir):
            fd = os.open(os.path.join(data_dir, "unreadable.twl"),
                         os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
            with os.fdopen(fd, "wb") as f:
                f.write(bytes(self.rnd.randrange(256) for _ in range(100)))
            self.stats["unreadable_files"] = self.stats.get("unreadable_files", 0) + 1

    def open_with_fault(self, plan=None, maybe_logged=None):
        """Reopens with `plan` (or a random start-up call) failing: the start-up either fails with
        its documented error, after which a clean reopen must hold the model, or opens complete.
        `maybe_logged` is an operation whose record may or may not be in the log."""
        plan = plan or self.rnd.choice(FAULTS_FOR["open"])
        self.db = None
        gc.collect()
        if maybe_logged is None and self.rnd.random() < 0.4:
            self.damage()
        self.arm(plan, self.rnd.choice(ERRNOS))
        before = self.total_hits()
        try:
            db, err, msg = self.open(), None, ""
        except Exception as e:  # noqa: BLE001
            db, err, msg = None, type(e).__name__, str(e)
        self.shim.disarm()
        triggered = self.count(before, self.total_hits())
        self.stats["open_faults"] += triggered
        if err is None:
            # Opened in spite of the fault: it must be complete.
            self.db = db
            self.reopen_check(f"a start-up with {plan} failing", maybe_logged)
            return
        if err != "RuntimeError" or not msg.startswith(MESSAGES["open"]):
            fail(f"start-up with {plan} failing raised {err}: {msg}")
        self.reopen(f"start-up with {plan} failing", maybe_logged)

    def main(self):
        for _ in range(self.cfg["steps"]):
            if self.rnd.random() < 0.06:
                self.open_with_fault()
            else:
                self.step()
        self.reopen("the end of the run")
        self.stats["exposed_mode"] = self.shim.exposed_mode()
        print("STATS " + json.dumps(self.stats), flush=True)


def fail(reason):
    print("FAIL " + reason, flush=True)
    sys.stdout.flush()
    os._exit(3)


def main():
    mode, cfg_path = sys.argv[1], sys.argv[2]
    with open(cfg_path) as f:
        cfg = json.load(f)
    try:
        if mode == "crash":
            crash_main(cfg)
        else:
            FaultRun(cfg).main()
    except Exception:  # noqa: BLE001
        fail(traceback.format_exc())


if __name__ == "__main__":
    main()
