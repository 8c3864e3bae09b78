"""The ``tarnwell`` command: looks after a data directory from the shell.

``info`` and ``verify`` read the directory without changing a byte of it, and ``export`` reads it
into memory the same way; ``compact`` and ``import`` open it as a handle does. Every command takes
the directory's lock, so none touches a directory that a running handle holds.

Exit status: 0 on success, 1 when ``verify`` finds something that does not verify, 2 on any
error (bad arguments, a directory in use, a wrong key, bad input).
"""

import argparse
import io
import json
import os
import sys
import tempfile
import warnings

import _tarnwell

EXIT_OK, EXIT_DAMAGED, EXIT_ERROR = 0, 1, 2
KEY_VARIABLE = "TARNWELL_KEY"
KEY_HINT = f"pass --key or set {KEY_VARIABLE}"


class CommandError(Exception):
    """A failure reported as one line on standard error, with exit status 2."""


def _size(n):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024


def _inspect(args):
    return _tarnwell._inspect_data_dir(args.dir, encryption_key=args.key)


def _logs(report):
    return ([report["log"]] if report["log"] else []) + report["log_copies"]


# ---- info ----


def _info_lines(report):
    snapshots = report["snapshots"]
    log = report["log"]
    pending = log["records_by_collection"] if log and not log["error"] else {}
    yield f"data directory {report['path']}"
    rows = [("collection", "documents", "dimension", "metric", "file", "size", "pending")]
    for s in snapshots:
        if s["error"] is None:
            rows.append((s["name"], str(s["document_count"]), str(s["dimension"]), s["metric"],
                         s["file"], _size(s["bytes"]), str(pending.get(s["name"], 0))))
    stored = {s["name"] for s in snapshots if s["error"] is None}
    for name in sorted(set(pending) - stored):
        rows.append((name, "-", "-", "-", "(log only)", "-", str(pending[name])))
    if len(rows) == 1:
        yield "no collections"
    else:
        widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
        for r in rows:
            yield "  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip()
    for log in _logs(report):
        if log["error"]:
            yield f"log {log['file']}: {_size(log['bytes'])}, unreadable: {log['error']}"
        else:
            state = "verifies" if log["ok"] else "damaged (see tarnwell verify)"
            records = log["records"]
            yield (f"log {log['file']}: {_size(log['bytes'])}, {records} "
                   f"record{'' if records == 1 else 's'}, {state}")
    for s in snapshots:
        if s["error"] is not None:
            yield f"snapshot {s['file']}: {_size(s['bytes'])}, unreadable: {s['error']}"


def cmd_info(args):
    report = _inspect(args)
    if args.json:
        print(json.dumps(report, indent=2))
    else:
        for line in _info_lines(report):
            print(line)
    return EXIT_OK


# ---- verify ----


def _log_problems(log):
    if log["error"]:
        yield log["error"]
        return
    for begin, end in log["damaged"]:
        yield f"offset {begin}: {end - begin} damaged bytes (records after them verify)"
    for offset in log["undecodable"]:
        yield f"offset {offset}: a record that passes its checksum but does not decode"
    if log["tail"]:
        begin, end = log["tail"]
        what = "a record cut short" if log["tail_torn"] else "no record that verifies"
        yield f"offset {begin}: {end - begin} bytes at the end hold {what}"


def cmd_verify(args):
    report = _inspect(args)
    damaged = 0
    files = [(s["file"], [s["error"]] if s["error"] else []) for s in report["snapshots"]]
    files += [(log["file"], list(_log_problems(log))) for log in _logs(report)]
    for name, problems in files:
        if not problems:
            print(f"ok       {name}")
            continue
        damaged += 1
        for problem in problems:
            print(f"FAILED   {name}: {problem}")
    encrypted = any(s["container"] == "encrypted" for s in report["snapshots"]) or any(
        "no encryption key" in (log["error"] or "") for log in _logs(report))
    if damaged and args.key is None and encrypted:
        print(f"(encrypted files need the key: {KEY_HINT})")
    print(f"{len(files)} files checked, {damaged} with problems")
    return EXIT_DAMAGED if damaged else EXIT_OK


# ---- compact, import: through a handle ----


def _open_handle(args, create=False):
    if not create and not os.path.isdir(args.dir):
        raise CommandError(f"data directory '{args.dir}' does not exist")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", _tarnwell.RecoveryWarning)
        db = _tarnwell.Tarnwell(args.dir, encryption_key=args.key)
    for w in caught:
        print(f"tarnwell: warning: {w.message}", file=sys.stderr)
    return db


def _log_bytes(path):
    try:
        return os.stat(os.path.join(path, "wal.bin")).st_size
    except FileNotFoundError:
        return 0


def cmd_compact(args):
    db = _open_handle(args)
    before = _log_bytes(args.dir)
    names = db.list_collections()
    if args.rebuild:
        for name in names:
            db.rebuild(name)
    db.compact()
    print(f"compacted {len(names)} collections; log {_size(before)} -> "
          f"{_size(_log_bytes(args.dir))}")
    return EXIT_OK


def _progress(total):
    """A progress bar over bytes read, when standard error is a terminal and tqdm is installed."""
    if not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="B", unit_scale=True, file=sys.stderr)


FIELDS = {"id", "text", "metadata", "embedding"}


def _document(line_no, raw):
    try:
        record = json.loads(raw)
    except (UnicodeDecodeError, ValueError) as e:
        raise CommandError(f"line {line_no}: not a JSON document: {e}") from None
    if not isinstance(record, dict):
        raise CommandError(f"line {line_no}: expected a JSON object")
    unknown = sorted(set(record) - FIELDS)
    if unknown:
        raise CommandError(f"line {line_no}: unknown field '{unknown[0]}' "
                           f"(expected {', '.join(sorted(FIELDS))})")
    if not isinstance(record.get("text"), str):
        raise CommandError(f"line {line_no}: 'text' must be a string")
    if not isinstance(record.get("embedding"), list):
        raise CommandError(f"line {line_no}: 'embedding' must be a list of numbers")
    if record.get("metadata") is None:
        record.pop("metadata", None)
    if record.get("id") is None:
        record.pop("id", None)
    return record


def _records(stream):
    """(line number, document, bytes consumed) for every non-blank line."""
    for line_no, raw in enumerate(stream, 1):
        if raw.strip():
            yield line_no, _document(line_no, raw), len(raw)


def _import_batches(db, args, records, bar):
    imported, batch, batch_bytes, first_line = 0, [], 0, 0
    exists = args.collection in db.list_collections()

    def flush(last_line):
        nonlocal imported, batch, batch_bytes
        imported += _insert(db, args, batch, first_line, last_line, imported)
        if bar is not None:
            bar.update(batch_bytes)
        batch, batch_bytes = [], 0

    line_no = 0
    for line_no, doc, nbytes in records:
        if not exists:
            # Created by the first document, with its dimension.
            db.create_collection(args.collection, len(doc["embedding"]),
                                 distance_metric=args.metric,
                                 store_raw_vectors=args.store_raw_vectors or None)
            exists = True
        if not batch:
            first_line = line_no
        batch.append(doc)
        batch_bytes += nbytes
        if len(batch) >= args.batch_size:
            flush(line_no)
    if batch:
        flush(line_no)
    return imported


def _insert(db, args, batch, first, last, imported):
    try:
        db.batch_insert(args.collection, batch)
    except (ValueError, TypeError, KeyError, RuntimeError) as e:
        raise CommandError(f"lines {first}-{last}: {e}; {imported} documents were imported "
                           "before them") from None
    return len(batch)


def cmd_import(args):
    if args.batch_size < 1:
        raise CommandError("--batch-size must be at least 1")
    stdin = args.file == "-"
    try:
        stream = sys.stdin.buffer if stdin else open(args.file, "rb")
    except OSError as e:
        raise CommandError(f"cannot read '{args.file}': {e.strerror}") from None
    with stream:
        db = _open_handle(args, create=True)
        bar = _progress(None if stdin else os.fstat(stream.fileno()).st_size)
        try:
            imported = _import_batches(db, args, _records(stream), bar)
        finally:
            if bar is not None:
                bar.close()
    print(f"imported {imported} documents into '{args.collection}'", file=sys.stderr)
    return EXIT_OK


# ---- export ----


def _export_to(out, args):
    def write(doc_id, text, metadata, embedding):
        record = {"id": doc_id, "text": text, "metadata": metadata, "embedding": embedding}
        out.write(json.dumps(record, ensure_ascii=False))
        out.write("\n")

    return _tarnwell._export_documents(args.dir, args.collection, write, encryption_key=args.key)


def cmd_export(args):
    if args.output in (None, "-"):
        # JSON Lines is UTF-8 whatever the locale says.
        out = io.TextIOWrapper(sys.stdout.buffer, encoding="utf-8", newline="\n")
        try:
            skipped = _export_to(out, args)
            out.flush()
        finally:
            out.detach()
    else:
        # Written beside the destination and renamed over it once complete: a failed export
        # leaves no partial file behind.
        target = os.path.abspath(args.output)
        fd, tmp = tempfile.mkstemp(dir=os.path.dirname(target), prefix=".tarnwell-export-")
        if args.key is None:
            # As open() would create it; what an encrypted directory held stays private (0600).
            mask = os.umask(0)
            os.umask(mask)
            os.fchmod(fd, 0o666 & ~mask)
        try:
            with os.fdopen(fd, "w", encoding="utf-8", newline="\n") as out:
                skipped = _export_to(out, args)
            os.replace(tmp, target)
        except BaseException:
            os.unlink(tmp)
            raise
    for line in skipped:
        print(f"tarnwell: warning: {line}", file=sys.stderr)
    return EXIT_OK


# ---- entry point ----


def _parser():
    p = argparse.ArgumentParser(prog="tarnwell",
                                description="Inspect and maintain a Tarnwell data directory.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("dir", metavar="DIR", help="the data directory")
    common.add_argument("--key", default=None, metavar="HEX",
                        help=f"the 64-hex-digit encryption key (default: ${KEY_VARIABLE}; the "
                        "variable keeps the key out of the process list)")

    def command(name, fn, help):
        c = sub.add_parser(name, parents=[common], help=help, description=help)
        c.set_defaults(fn=fn)
        return c

    c = command("info", cmd_info, "Show collections, document counts and files; writes nothing.")
    c.add_argument("--json", action="store_true", help="print the full report as JSON")
    command("verify", cmd_verify, "Read and check every snapshot and log record; writes nothing. "
            "Exit status 1 when anything does not verify.")
    c = command("compact", cmd_compact, "Write every collection's snapshot and empty the log.")
    c.add_argument("--rebuild", action="store_true",
                   help="rebuild each collection first, reclaiming deleted documents' space")
    c = command("export", cmd_export, "Write a collection as JSON Lines (id, text, metadata, "
                "embedding); writes nothing in DIR.")
    c.add_argument("collection", metavar="COLLECTION")
    c.add_argument("-o", "--output", metavar="FILE", help="write here instead of standard output")
    c = command("import", cmd_import, "Insert documents from a JSON Lines file, in batches; "
                "creates the collection (and DIR) when absent.")
    c.add_argument("collection", metavar="COLLECTION")
    c.add_argument("file", metavar="FILE", help="JSON Lines, or - for standard input")
    c.add_argument("--batch-size", type=int, default=1000, metavar="N")
    c.add_argument("--metric", choices=["cosine", "euclidean", "dot_product"], default=None,
                   help="distance metric of a collection created by the import")
    c.add_argument("--store-raw-vectors", action="store_true",
                   help="keep full-precision vectors in a collection created by the import")
    return p


def main(argv=None):
    args = _parser().parse_args(argv)
    if args.key is None:
        args.key = os.environ.get(KEY_VARIABLE) or None
    try:
        return args.fn(args)
    except CommandError as e:
        print(f"tarnwell: error: {e}", file=sys.stderr)
    except BrokenPipeError:
        # The reader went away (`tarnwell export ... | head`): not an error of ours. Standard
        # output is pointed at /dev/null so that the interpreter's final flush stays quiet.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK
    except (RuntimeError, ValueError, KeyError, OSError) as e:
        message = e.args[0] if isinstance(e, KeyError) and e.args else e
        print(f"tarnwell: error: {message}", file=sys.stderr)
    return EXIT_ERROR
