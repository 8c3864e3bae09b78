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
# Timing a pause is at the mercy of the scheduler on a busy machine. CPU time is not: a thread
# waiting for the interpreter lock sleeps, so if the long call kept the lock, the other thread
# would gather next to no CPU time while it runs; released, the scheduler shares the cores
# between the two threads alike, however loaded the machine is.

MIN_CALL_CPU = 0.1  # seconds: long enough that a kept lock would show


def cpu_times_during(call, step):
    """Runs `call` on a thread while this thread repeats `step`; returns (CPU time of the call's
    thread, CPU time of this thread meanwhile)."""
    finished = threading.Event()
    span = {}

    def run():
        start = time.thread_time()
        try:
            call()
        finally:
            span["cpu"] = time.thread_time() - start
            finished.set()

    t = threading.Thread(target=run)
    start = time.thread_time()
    t.start()
    while not finished.is_set():
        step()
    mine = time.thread_time() - start
    t.join()
    return span["cpu"], mine


def python_step():
    sum(range(200))


def assert_overlapped(call_cpu, other_cpu):
    assert call_cpu > MIN_CALL_CPU, "the call is too short to tell"
    # Released, the other thread's share is about equal to the call's; kept, about zero.
    assert other_cpu > call_cpu / 4


def keyword_heavy(db):
    # Every document holds the same twenty words; a query repeating them scores every posting
    # of every word once per repetition: one long native call.
    words = " ".join(f"word{i}" for i in range(20))
    db.create_collection("k", 2)
    db.batch_insert("k", [{"text": words, "embedding": [float(i), 1.0]} for i in range(4000)])
    query = " ".join([words] * 600)
    return lambda: db.search("k", query_text=query, k=5)


def big_batch(db):
    db.create_collection("b", 48, ef_construction=200)
    rnd = random.Random(3)
    docs = [{"text": "x", "embedding": [rnd.gauss(0, 1) for _ in range(48)]} for _ in range(1200)]
    return lambda: db.batch_insert("b", docs)


def rebuild(db):
    big_batch(db)()
    return lambda: db.rebuild("b")


@pytest.mark.parametrize("make_call", [keyword_heavy, big_batch, rebuild],
                         ids=["search", "batch_insert", "rebuild"])
def test_long_calls_let_other_threads_run(make_call):
    db = Tarnwell()
    call = make_call(db)
    assert_overlapped(*cpu_times_during(call, python_step))


def test_long_checkpoints_let_other_threads_run(tmp_path):
    db = Tarnwell(data_dir=str(tmp_path / "data"))
    db.create_collection("s", 8)
    rnd = random.Random(4)
    big = "lorem ipsum " * 2000  # 24 KB per document: a snapshot of about 100 MB
    for start in range(0, 4000, 500):
        db.batch_insert("s", [{"text": big, "embedding": [rnd.random() for _ in range(8)]}
                              for _ in range(500)])
    for call in (lambda: db.save("s"), db.compact):
        db.insert("s", "one more", [0.5] * 8)  # something to checkpoint
        call_cpu, other_cpu = cpu_times_during(call, python_step)
        # Much of a checkpoint is waiting for the disk, which takes no CPU time at all.
        assert call_cpu > MIN_CALL_CPU / 4, "the call is too short to tell"
        assert other_cpu > call_cpu / 4


def test_two_searching_threads_overlap():
    db = Tarnwell()
    long_search = keyword_heavy(db)
    searches = []

    def short_search():
        searches.append(db.search("k", query_embedding=[1.0, 1.0], k=1))

    call_cpu, other_cpu = cpu_times_during(long_search, short_search)
    assert_overlapped(call_cpu, other_cpu)
    assert len(searches) >= 2 and all(len(s) == 1 for s in searches)
