"""Python threads against one handle.

The long calls run without the interpreter lock, so other threads keep running meanwhile; and
threads inserting, deleting, searching, rebuilding and checkpointing at once never lose or
corrupt a document, in memory or across a restart.
"""
import queue
import random
import threading
import time
import uuid

import pytest

from tarnwell import Tarnwell

DIM = 16


def embedding(doc_id):
    rnd = random.Random(doc_id)
    return [rnd.uniform(-1.0, 1.0) for _ in range(DIM)]


def text_of(doc_id):
    return f"document {doc_id[:8]} about topic{int(doc_id[:2], 16) % 7}"


def metadata_of(doc_id):
    return {"n": int(doc_id[:4], 16) % 100, "tag": doc_id[-4:]}


def run_all(targets):
    """Runs the functions on threads; re-raises the first failure of any of them."""
    errors = []

    def guard(fn):
        try:
            fn()
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=guard, args=(fn,)) for fn in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def check_hit(hit, all_ids):
    assert hit.id in all_ids
    assert hit.text == text_of(hit.id)
    assert hit.metadata == metadata_of(hit.id)


def expect_contents(db, live, deleted):
    assert db.collection_info("c").document_count == len(live)
    for doc_id in live:
        assert db.get("c", doc_id) == {"id": doc_id, "text": text_of(doc_id),
                                       "metadata": metadata_of(doc_id)}
    for doc_id in deleted:
        with pytest.raises(KeyError):
            db.get("c", doc_id)


def test_concurrent_inserts_deletes_searches_and_checkpoints_lose_nothing(tmp_path):
    data_dir = str(tmp_path / "data")
    db = Tarnwell(data_dir=data_dir)
    db.create_collection("c", DIM, m=8, ef_construction=40)
    inserters = 3
    planned = [[str(uuid.uuid4()) for _ in range(150)] for _ in range(inserters)]
    all_ids = {i for ids in planned for i in ids}
    confirmed = queue.Queue()
    deleted = []
    done = threading.Event()

    def inserter(ids):
        def run():
            i = 0
            while i < len(ids):
                if i % 4 == 0:  # every fourth step a batch of five
                    chunk = ids[i:i + 5]
                    got = db.batch_insert("c", [{"id": d, "text": text_of(d),
                                                 "embedding": embedding(d),
                                                 "metadata": metadata_of(d)} for d in chunk])
                    assert got == chunk
                else:
                    chunk = ids[i:i + 1]
                    assert db.insert("c", text_of(chunk[0]), embedding(chunk[0]),
                                     metadata=metadata_of(chunk[0]), id=chunk[0]) == chunk[0]
                for d in chunk:
                    confirmed.put(d)
                i += len(chunk)
        return run

    def deleter():
        seen = 0
        while not (done.is_set() and confirmed.empty()):
            try:
                d = confirmed.get(timeout=0.05)
            except queue.Empty:
                continue
            seen += 1
            if seen % 3 == 0:
                assert db.delete("c", d) is True
                deleted.append(d)

    def searcher():
        rnd = random.Random(5)
        f = {"must": [{"field": "n", "op": "lt", "value": 50}]}
        while not done.is_set():
            q = [rnd.uniform(-1.0, 1.0) for _ in range(DIM)]
            hits = db.search("c", query_embedding=q, k=10)
            assert [h.score for h in hits] == sorted((h.score for h in hits), reverse=True)
            for h in hits:
                check_hit(h, all_ids)
            for h in db.search("c", query_embedding=q, k=10, filter=f):
                check_hit(h, all_ids)
                assert h.metadata["n"] < 50
            for h in db.search("c", query_embedding=q, query_text="topic3 document", k=5):
                check_hit(h, all_ids)

    def checkpointer():
        rounds = 0
        while not done.is_set() or rounds < 2:
            db.save("c")
            db.compact()
            if rounds == 1:
                db.rebuild("c")
            assert db.total_memory_bytes() > 0
            db.collection_info("c")
            rounds += 1
            time.sleep(0.01)

    workers = [inserter(ids) for ids in planned]

    def insert_all():
        run_all(workers)
        done.set()

    run_all([insert_all, deleter, searcher, searcher, checkpointer])

    live = all_ids - set(deleted)
    assert len(deleted) == len(all_ids) // 3
    expect_contents(db, live, deleted)
    del db
    reopened = Tarnwell(data_dir=data_dir)
    expect_contents(reopened, live, deleted)
    for doc_id in random.Random(1).sample(sorted(live), 20):
        hits = reopened.search("c", query_embedding=embedding(doc_id), k=3)
        assert doc_id in [h.id for h in hits]


# --- the interpreter lock is released around long calls ------------------------------------
#
# Judged by what another thread can do while the call is halfway, never by how long anything
# takes. The call's thread reads its CPU clock just before and just after the call; this thread
# repeats a step and reads the call thread's CPU clock around each one. This thread runs Python,
# so it holds the interpreter lock at every reading: a step whose two readings both fall in the
# middle half of the call's CPU time ran while the call was halfway through its work (the calls
# here spend nearly all of it in the core) without the lock. A call that kept the lock, even one
# that let it go only briefly, would leave readings only near its start and end. A call too
# short for this thread to be scheduled meanwhile shows nothing either way, so its work doubles
# until a step lands halfway, up to a bound.

DOUBLINGS = 6  # the largest call does 2**(DOUBLINGS - 1) times the first one's work


def steps_alongside(call, step):
    """Runs `call` on a thread while this thread repeats `step`. Returns the call thread's CPU
    clock just before and just after the call, and its readings around each step (ns)."""
    clock_at = {}
    called = threading.Event()
    sampled = threading.Event()

    def run():
        try:
            own = time.pthread_getcpuclockid(threading.get_ident())
            clock_at["start"] = time.clock_gettime_ns(own)
            call()
            clock_at["end"] = time.clock_gettime_ns(own)
        except BaseException as e:  # noqa: BLE001 - re-raised below
            clock_at["error"] = e
        called.set()
        sampled.wait()  # the thread's clock is readable only while it lives

    t = threading.Thread(target=run)
    t.start()
    readings = []
    try:
        clock = time.pthread_getcpuclockid(t.ident)
        while not called.is_set():
            before = time.clock_gettime_ns(clock)
            step()
            readings.append((before, time.clock_gettime_ns(clock)))
    finally:
        sampled.set()
        t.join()
    if "error" in clock_at:
        raise clock_at["error"]
    return clock_at["start"], clock_at["end"], readings


def step_ran_halfway(call, step):
    """True when a whole step ran while the call was in the middle half of its CPU time."""
    start, end, readings = steps_alongside(call, step)
    low, high = start + (end - start) // 4, end - (end - start) // 4
    return any(low <= before and after <= high for before, after in readings)


def assert_runs_alongside(make_call, step):
    """make_call(scale) prepares a call doing `scale` times some base work."""
    for doubling in range(DOUBLINGS):
        if step_ran_halfway(make_call(2 ** doubling), step):
            return
    pytest.fail(f"no step of another thread ran while the call was halfway, even at "
                f"{2 ** (DOUBLINGS - 1)} times the work: the call holds the interpreter lock "
                f"while it works")


def python_step():
    sum(range(200))


def keyword_heavy(db):
    # Every document holds the same twenty words; a query repeating them scores every posting
    # of every word once per repetition: one long native call.
    words = " ".join(f"word{i}" for i in range(20))
    db.create_collection("k", 2)
    db.batch_insert("k", [{"text": words, "embedding": [float(i), 1.0]} for i in range(2000)])
    return lambda scale: lambda: db.search("k", query_text=" ".join([words] * 80 * scale), k=5)


def big_batch(db):
    rnd = random.Random(3)

    def make(scale):
        name = f"b{scale}"
        db.create_collection(name, 48, ef_construction=100)
        docs = [{"text": "x", "embedding": [rnd.gauss(0, 1) for _ in range(48)]}
                for _ in range(150 * scale)]
        return lambda: db.batch_insert(name, docs)
    return make


def rebuild(db):
    make_batch = big_batch(db)

    def make(scale):
        make_batch(scale)()
        return lambda: db.rebuild(f"b{scale}")
    return make


@pytest.mark.parametrize("make_calls", [keyword_heavy, big_batch, rebuild],
                         ids=["search", "batch_insert", "rebuild"])
def test_long_calls_let_other_threads_run(make_calls):
    assert_runs_alongside(make_calls(Tarnwell()), python_step)


def test_a_call_that_keeps_the_lock_is_caught():
    # sum() over a range runs in C without ever offering the lock: no step can land halfway,
    # however long it runs.
    assert not step_ran_halfway(lambda: sum(range(2_000_000)), python_step)


@pytest.mark.parametrize("checkpoint", ["save", "compact"])
def test_long_checkpoints_let_other_threads_run(tmp_path, checkpoint):
    db = Tarnwell(data_dir=str(tmp_path / "data"))
    rnd = random.Random(4)
    big = "lorem ipsum " * 2000  # 24 KB per document

    def make(scale):
        name = f"s{scale}"
        db.create_collection(name, 8)
        for _ in range(scale):
            db.batch_insert(name, [{"text": big, "embedding": [rnd.random() for _ in range(8)]}
                                   for _ in range(100)])
        return lambda: db.save(name) if checkpoint == "save" else db.compact()

    assert_runs_alongside(make, python_step)


def test_two_searching_threads_overlap():
    # A short search that starts and ends while the long one is halfway ran beside it: were
    # searches of one collection serialised, it would wait until the long one had finished.
    db = Tarnwell()
    long_searches = keyword_heavy(db)
    results = []

    def short_search():
        results.append(db.search("k", query_embedding=[1.0, 1.0], k=1))

    assert_runs_alongside(long_searches, short_search)
    assert results and all(len(r) == 1 for r in results)
