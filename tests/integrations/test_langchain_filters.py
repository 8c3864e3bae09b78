"""LangChain-style filters against the core: the translated alternatives, searched and merged,
select exactly the documents the formula selects (MongoDB semantics: $ne and $nin match a
document that lacks the field). Needs no LangChain, like `import tarnwell` itself."""

import random
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarnwell import Tarnwell
from tarnwell.integrations._filters import MAX_ALTERNATIVES, translate_filter

MISSING = object()
FIELD_VALUES = {
    "a": [MISSING, 0, 1, 2, 3, "2", True, 1.5],
    "b": [MISSING, "x", "y"],
    "c": [MISSING, 0.5, 1.5, 2, 2.0],
}
RANGE_OPS = {"$gt": float.__gt__, "$gte": float.__ge__, "$lt": float.__lt__, "$lte": float.__le__}


def _documents():
    rnd = random.Random(7)
    docs = []
    for _ in range(80):
        metadata = {}
        for field, choices in FIELD_VALUES.items():
            value = rnd.choice(choices)
            if value is not MISSING:
                metadata[field] = value
        docs.append((metadata, [rnd.uniform(-1, 1) for _ in range(4)]))
    return docs


DOCS = _documents()
_DB = []


def _db():
    if not _DB:
        db = Tarnwell()
        db.create_collection("c", 4)
        ids = db.batch_insert("c", [{"text": "t", "embedding": e, "metadata": m} for m, e in DOCS])
        _DB.append((db, ids))
    return _DB[0]


def _same(stored, value):
    if isinstance(stored, bool) or isinstance(value, bool):
        return type(stored) is bool and type(value) is bool and stored == value
    if isinstance(stored, str) or isinstance(value, str):
        return type(stored) is str and type(value) is str and stored == value
    return stored == value


def _holds(metadata, formula):
    for key, clauses in formula.items():
        if key == "$and":
            ok = all(_holds(metadata, f) for f in clauses)
        elif key == "$or":
            ok = any(_holds(metadata, f) for f in clauses)
        elif key == "$not":
            ok = not _holds(metadata, clauses)
        else:
            ok = all(_field_holds(metadata, key, op, v) for op, v in _operators(clauses))
        if not ok:
            return False
    return True


def _operators(clauses):
    return clauses.items() if isinstance(clauses, dict) else [("$eq", clauses)]


def _field_holds(metadata, field, op, operand):
    present = field in metadata
    stored = metadata.get(field)
    if op == "$eq":
        return present and _same(stored, operand)
    if op == "$ne":
        return not (present and _same(stored, operand))
    if op == "$in":
        return present and any(_same(stored, v) for v in operand)
    if op == "$nin":
        return not (present and any(_same(stored, v) for v in operand))
    numeric = present and not isinstance(stored, (bool, str))
    return numeric and RANGE_OPS[op](float(stored), float(operand))


scalars = st.sampled_from([0, 1, 2, 3, "2", "x", "y", True, False, 1.5, 2.0])
numbers = st.sampled_from([0, 1, 1.5, 2, 2.5, 3])
fields = st.sampled_from(sorted(FIELD_VALUES))
conditions = st.one_of(
    st.builds(lambda f, v: {f: v}, fields, scalars),
    st.builds(lambda f, op, v: {f: {op: v}}, fields, st.sampled_from(["$eq", "$ne"]), scalars),
    st.builds(lambda f, op, v: {f: {op: v}}, fields, st.sampled_from(sorted(RANGE_OPS)), numbers),
    st.builds(
        lambda f, op, vs: {f: {op: vs}},
        fields,
        st.sampled_from(["$in", "$nin"]),
        st.lists(scalars, max_size=3),
    ),
    st.builds(lambda lo, hi: {"c": {"$gte": lo, "$lt": hi}}, numbers, numbers),
)
formulas = st.recursive(
    conditions,
    lambda inner: st.one_of(
        st.builds(lambda fs: {"$and": fs}, st.lists(inner, max_size=3)),
        st.builds(lambda fs: {"$or": fs}, st.lists(inner, max_size=3)),
        st.builds(lambda f: {"$not": f}, inner),
        st.builds(lambda f, g: {**f, "$or": [g]}, inner, inner),
    ),
    max_leaves=6,
)


@settings(max_examples=400, deadline=None)
@given(formulas)
def test_alternatives_select_what_the_formula_selects(formula):
    db, ids = _db()
    try:
        alternatives = translate_filter(formula)
    except ValueError as exc:
        assert "alternatives" in str(exc)
        return
    expected = {i for i, (metadata, _) in zip(ids, DOCS) if _holds(metadata, formula)}
    found = set()
    for alternative in [None] if alternatives is None else alternatives:
        hits = db.search("c", query_embedding=[1, 0, 0, 0], k=len(DOCS), filter=alternative)
        found |= {hit.id for hit in hits}
    assert found == expected


@pytest.mark.parametrize(
    "bad, error, message",
    [
        ({"a": {"$like": "x%"}}, ValueError, "unknown filter operator '\\$like'"),
        ({"a": {"$gt": "2024"}}, ValueError, "compares numbers"),
        ({"a": None}, ValueError, "must be bool, int \\(64-bit\\), float or str"),
        ({"a": {"$eq": 2**64}}, ValueError, "must be bool, int \\(64-bit\\)"),
        ({"a": {"$in": "xy"}}, TypeError, "takes a list"),
        ({"$or": ["a"]}, TypeError, "a filter must be a dict"),
        (
            {"$and": [{"$or": [{"a": i}, {"b": str(i)}]} for i in range(5)]},
            ValueError,
            f"more than {MAX_ALTERNATIVES} alternatives",
        ),
    ],
)
def test_filters_that_mean_nothing_here_are_refused(bad, error, message):
    with pytest.raises(error, match=message):
        translate_filter(bad)


def test_importing_tarnwell_imports_no_langchain():
    code = (
        "import sys, tarnwell, tarnwell.integrations, tarnwell.integrations._filters\n"
        "assert not [m for m in sys.modules if m.startswith('langchain')], sys.modules"
    )
    subprocess.run([sys.executable, "-c", code], check=True)
