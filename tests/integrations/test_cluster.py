"""ShardedTarnwell on a local two-CPU Ray cluster: a sharded collection answers as one collection
holding the same documents, and a shard killed mid-ingest comes back with every acknowledged
document."""

import random
import uuid
from concurrent.futures import ThreadPoolExecutor

import pytest

ray = pytest.importorskip("ray", reason="Ray is not installed (pip install 'tarnwell[cluster]')")

from tarnwell import Tarnwell  # noqa: E402
from tarnwell.cluster import ShardedTarnwell, ShardUnavailableError  # noqa: E402

DIM = 8
WORDS = [f"w{i}" for i in range(40)]


@pytest.fixture(scope="module", autouse=True)
def local_cluster():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield
    ray.shutdown()


def documents(rng, n, first=0):
    return [
        {
            "id": str(uuid.UUID(int=rng.getrandbits(128), version=4)),
            "text": " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 12))),
            "embedding": [rng.gauss(0.0, 1.0) for _ in range(DIM)],
            "metadata": {"n": first + i, "tag": rng.choice(["a", "b", "c"])},
        }
        for i in range(n)
    ]


def by_score(hits):
    """Scores in order, and the ids of each score (the order among equal scores is the only
    thing a sharded collection may rank differently)."""
    groups = {}
    for h in hits:
        groups.setdefault(h.score, set()).add(h.id)
    return [h.score for h in hits], groups


@pytest.fixture(scope="module")
def pair():
    rng = random.Random(17)
    sharded, single = ShardedTarnwell(3), Tarnwell()
    docs = documents(rng, 400)
    for db in (sharded, single):
        db.create_collection("c", DIM)
        assert db.batch_insert("c", docs) == [d["id"] for d in docs]
    yield sharded, single, rng
    sharded.close()


def test_sharded_collection_answers_as_one_collection(pair):
    sharded, single, rng = pair
    assert sharded.collection_info("c").document_count == 400
    assert sharded.list_collections() == ["c"]
    some = sharded.batch_insert("c", [])  # empty batches behave as on one collection
    assert some == single.batch_insert("c", [])
    every = {"must": [{"field": "n", "op": "gte", "value": 0}]}
    tagged = {"must": [{"field": "tag", "op": "eq", "value": "b"}]}

    for query in ["w1", "w3 w7 w7", "w0 w5 w9 w12 w39", "w2 nothing"]:
        for flt in (None, tagged):
            # Every hit (no cut at k): identical scores, to the bit, and identical rankings.
            got = sharded.search("c", query_text=query, k=1000, filter=flt)
            want = single.search("c", query_text=query, k=1000, filter=flt)
            assert by_score(got) == by_score(want), query
            top = sharded.search("c", query_text=query, k=7, filter=flt)
            assert [h.score for h in top] == [h.score for h in want[:7]]

    for _ in range(5):
        q = [rng.gauss(0.0, 1.0) for _ in range(DIM)]
        # Filtered searches over few matches rank every match: exhaustive on both sides.
        for flt in (every, tagged):
            got = sharded.search("c", q, k=10, filter=flt)
            want = single.search("c", q, k=10, filter=flt)
            assert [(h.id, h.score) for h in got] == [(h.id, h.score) for h in want]
        hybrid = sharded.search("c", q, "w1 w2", k=10, fusion_method="linear", min_similarity=0.2)
        assert hybrid and all(h.score >= 0.2 for h in hybrid)

    # Batches of queries: one set of BM25 figures covers every query of the batch.
    texts = ["w1", "w3 w7 w7", "w2 nothing"]
    got = sharded.search("c", query_text=texts, k=1000, filter=tagged)
    assert [by_score(g) for g in got] == [
        by_score(w) for w in single.search("c", query_text=texts, k=1000, filter=tagged)
    ]
    rows = [[rng.gauss(0.0, 1.0) for _ in range(DIM)] for _ in texts]
    scored = lambda lists: [[(h.id, h.score) for h in hits] for hits in lists]  # noqa: E731
    assert scored(sharded.search("c", rows, k=5, filter=every)) == scored(
        single.search("c", rows, k=5, filter=every)
    )
    assert [len(h) for h in sharded.search("c", rows, texts, k=4)] == [4, 4, 4]

    doc = single.get("c", want[0].id)
    assert sharded.get("c", doc["id"].upper()) == doc  # any spelling of a UUID routes alike
    assert sharded.get("c", uuid.UUID(doc["id"])) == doc
    ids = [h.id for h in want[:6]][::-1] + [str(uuid.uuid4())]
    assert sharded.get_many("c", ids) == single.get_many("c", ids)
    for db in (sharded, single):
        assert db.delete_many("c", ids[:3]) == 3 and not db.delete("c", ids[0])
    assert sharded.count("c", tagged) == single.count("c", tagged)
    assert sharded.count("c") == single.count("c")


@pytest.mark.parametrize(
    "call",
    [
        lambda db: db.search("c"),
        lambda db: db.search("c", [0.0] * DIM, "w1", alpha=2.0),
        lambda db: db.search("c", [0.0] * (DIM + 1), "w1"),
        lambda db: db.search("missing", query_text="w1"),
        lambda db: db.get("c", "not a uuid"),
        lambda db: db.batch_insert("c", [{"text": "x"}]),
        lambda db: db.batch_insert("c", "not a list"),
        lambda db: db.create_collection("c", DIM),
    ],
)
def test_errors_are_those_of_one_collection(pair, call):
    sharded, single, _ = pair
    with pytest.raises(Exception) as want:
        call(single)
    with pytest.raises(type(want.value)) as got:
        call(sharded)
    assert str(got.value) == str(want.value)


def test_failed_batch_is_safe_to_retry(pair):
    sharded, _, rng = pair
    batch = documents(rng, 30)
    for d in batch:
        del d["id"]
    batch[-1]["embedding"] = [1.0] * (DIM - 1)
    with pytest.raises(ValueError) as failed:
        sharded.batch_insert("c", batch)
    assigned, committed = failed.value.assigned_ids, failed.value.committed_ids
    assert 0 < len(committed) < len(batch) and set(committed) < set(assigned)
    batch[-1]["embedding"] = [1.0] * DIM
    retry = [dict(d, id=i) for d, i in zip(batch, assigned)]
    before = sharded.collection_info("c").document_count
    assert sharded.batch_insert("c", retry) == assigned
    assert sharded.batch_insert("c", retry) == assigned  # a repeated retry changes nothing
    assert sharded.collection_info("c").document_count == before + len(batch) - len(committed)


def test_killed_shard_keeps_every_acknowledged_document(tmp_path):
    seed = random.randrange(1 << 30)
    rng = random.Random(seed)
    db = ShardedTarnwell(2, data_dir=str(tmp_path))
    db.create_collection("c", DIM)
    acknowledged = {}
    with ThreadPoolExecutor(1) as pool:
        for batch_no in range(8):
            batch = documents(rng, 40, first=40 * batch_no)
            pending = pool.submit(db.batch_insert, "c", batch)
            if batch_no == 3:
                # While the batch is on its way: it may be stored before the death, fail in
                # flight, or wait for the restart; none may lose an acknowledged document.
                ray.kill(db.shard_actors[1], no_restart=False)
            for _ in range(5):
                try:
                    pending.result()
                    break
                except ShardUnavailableError:  # not acknowledged: the same batch again
                    db.count("c")  # a read waits until the restarted shard answers
                    pending = pool.submit(db.batch_insert, "c", batch)
            else:
                pytest.fail(f"batch {batch_no} never went through (seed {seed})")
            acknowledged.update((d["id"], d) for d in batch)

    assert db.collection_info("c").document_count == len(acknowledged), f"seed {seed}"
    for doc_id, d in acknowledged.items():
        got = db.get("c", doc_id)
        assert (got["text"], got["metadata"]) == (d["text"], d["metadata"]), f"seed {seed}"
    db.close()


def test_ingest_from_a_ray_dataset(tmp_path):
    data = pytest.importorskip("ray.data", reason="Ray Data is not installed (ray[data])")
    rng = random.Random(5)
    rows = documents(rng, 120)
    ds = data.from_items(
        [{"id": d["id"], "text": d["text"], "embedding": d["embedding"], **d["metadata"]}
         for d in rows]
    )
    db = ShardedTarnwell(2)
    db.create_collection("c", DIM)
    assert db.ingest(ds, "c", metadata_columns=["n", "tag"], id_column="id", batch_size=50) == 120
    assert db.collection_info("c").document_count == 120
    got = db.get("c", rows[7]["id"])
    assert (got["text"], got["metadata"]) == (rows[7]["text"], rows[7]["metadata"])
    db.close()
