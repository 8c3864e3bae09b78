"""Python threads on one handle: the extension releases the interpreter lock around core work, so
inserts, deletes, searches, saves, compactions and rebuilds really overlap. Nothing may crash or
deadlock, every search sees only live or just-deleted documents, and after the threads end (and
after a reopen) the collection holds exactly the inserted documents minus the deleted ones."""
import os
import random
import threading
import uuid

import pytest

from conftest import KEY
from tarnwell import Tarnwell

DIM = 6


def vec(rnd):
    return [rnd.uniform(-1, 1) for _ in range(DIM)]


@pytest.mark.slow
@pytest.mark.parametrize("key", [None, KEY], ids=["plain", "encrypted"])
def test_threads_on_one_collection_lose_nothing(tmp_path, key):
    data_dir = str(tmp_path / "data")
    db = Tarnwell(data_dir=data_dir, encryption_key=key)
    db.create_collection("c", DIM, m=4, ef_construction=20)
    inserted, deleted, errors = {}, set(), []
    texts = {}  # every id a writer is inserting or has inserted
    lock = threading.Lock()
    stop = threading.Event()

    def writer(seed):
        rnd = random.Random(seed)
        try:
            for i in range(150):
                if rnd.random() < 0.7:
                    ids = [str(uuid.UUID(int=rnd.getrandbits(128), version=4))
                           for _ in range(rnd.randint(1, 4))]
                    docs = [{"text": f"w{seed} n{i} {j}", "embedding": vec(rnd), "id": d}
                            for j, d in enumerate(ids)]
                    with lock:  # searches may see them as soon as the call starts
                        texts.update({d: doc["text"] for d, doc in zip(ids, docs)})
                    got = db.batch_insert("c", docs) if len(docs) > 1 else [
                        db.insert("c", docs[0]["text"], docs[0]["embedding"], id=ids[0])]
                    assert got == ids
                    with lock:
                        inserted.update({d: doc["text"] for d, doc in zip(ids, docs)})
                else:
                    with lock:
                        mine = [d for d in inserted if d not in deleted]
                    if mine:
                        d = rnd.choice(mine)
                        with lock:
                            deleted.add(d)
                        db.delete("c", d)
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    def reader(seed):
        rnd = random.Random(seed)
        try:
            while not stop.is_set():
                hits = db.search("c", query_embedding=vec(rnd), query_text="n1", k=20)
                with lock:
                    known = dict(texts)
                for h in hits:
                    assert h.id in known and h.text == known[h.id]
        except Exception as e:  # noqa: BLE001
            errors.append(e)

    def checkpointer():
        # Every kind of checkpoint in turn, each at least once however soon the writers end.
        actions = [lambda: db.save("c"), db.compact, lambda: db.rebuild("c"),
                   lambda: db.save("c", path=str(tmp_path / "copy"))]
        try:
            n = 0
            while n < len(actions) or not stop.is_set():
                actions[n % len(actions)]()
                n += 1
        except Exception as e:  # noqa: BLE001
            errors.append(e)

    writers = [threading.Thread(target=writer, args=(s,)) for s in range(3)]
    others = [threading.Thread(target=reader, args=(10,)), threading.Thread(target=checkpointer)]
    for t in writers + others:
        t.start()
    for t in writers:
        t.join(timeout=300)
    stop.set()
    for t in others:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in writers + others), "a thread is stuck"
    assert not errors, errors

    live = {d: t for d, t in inserted.items() if d not in deleted}

    def check(handle):
        assert handle.collection_info("c").document_count == len(live)
        for d, text in live.items():
            assert handle.get("c", d)["text"] == text
        for d in deleted:
            with pytest.raises(KeyError):
                handle.get("c", d)

    check(db)
    del db
    check(Tarnwell(data_dir=data_dir, encryption_key=key))
    assert os.path.exists(tmp_path / "copy" / "c.twl")
