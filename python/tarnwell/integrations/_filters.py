"""LangChain-style metadata filters translated to Tarnwell filter dicts.

A LangChain filter is a boolean formula: {"field": value}, {"field": {"$op": value}} with $eq,
$ne, $gt, $gte, $lt, $lte, $in, $nin, combined by "$and", "$or", "$not" (several keys in one dict
mean "and"). A Tarnwell filter is one conjunction: every "must" condition holds and no "must_not"
condition does. The formula is brought to disjunctive normal form, each alternative one Tarnwell
filter; a search runs once per alternative and merges the hits. This is exact because a Tarnwell
condition on a field a document lacks never holds, so moving it between "must" and "must_not"
negates it exactly. As in MongoDB, whose operators these are, $ne and $nin match documents that
lack the field.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from tarnwell.integrations._records import as_scalar

if TYPE_CHECKING:
    from tarnwell import Filter, FilterCondition

# A condition and whether it must hold (True) or must not (False).
Literal_ = tuple["FilterCondition", bool]
Conjunction = list[Literal_]
Alternatives = list[Conjunction]

# More alternatives than this means as many searches per query: refused instead.
MAX_ALTERNATIVES = 16

# LangChain operator -> (Tarnwell op, whether the condition must hold).
_FIELD_OPERATORS = {
    "$eq": ("eq", True),
    "$ne": ("eq", False),
    "$gt": ("gt", True),
    "$gte": ("gte", True),
    "$lt": ("lt", True),
    "$lte": ("lte", True),
    "$in": ("in", True),
    "$nin": ("in", False),
}


def translate_filter(filter: Mapping[str, Any] | None) -> list[Filter] | None:
    """The Tarnwell filters whose union selects what `filter` selects.

    None means no filter at all (every document); an empty list means no document. A dict that
    already has Tarnwell's own form ("must" / "must_not" lists) passes through unchanged.
    """
    if filter is None:
        return None
    if not isinstance(filter, Mapping):
        raise TypeError(f"filter must be a dict, not {type(filter).__name__}")
    if filter and all(
        key in ("must", "must_not") and isinstance(value, list) for key, value in filter.items()
    ):
        return [dict(filter)]  # type: ignore[list-item]
    alternatives = _normal_form(filter)
    if any(not conjunction for conjunction in alternatives):
        return None  # one alternative admits everything
    return [_to_filter(conjunction) for conjunction in alternatives]


def _to_filter(conjunction: Conjunction) -> Filter:
    result: Filter = {}
    must = [condition for condition, holds in conjunction if holds]
    must_not = [condition for condition, holds in conjunction if not holds]
    if must:
        result["must"] = must
    if must_not:
        result["must_not"] = must_not
    return result


def _normal_form(expr: object) -> Alternatives:
    if not isinstance(expr, Mapping):
        raise TypeError(f"a filter must be a dict, not {type(expr).__name__}")
    parts: list[Alternatives] = []
    for key, value in expr.items():
        if key == "$and":
            parts.append(_all_of([_normal_form(e) for e in _operands(key, value)]))
        elif key == "$or":
            parts.append(_any_of([_normal_form(e) for e in _operands(key, value)]))
        elif key == "$not":
            parts.append(_negation(_normal_form(value)))
        elif not isinstance(key, str):
            raise TypeError(f"filter field names must be str, not {type(key).__name__}")
        elif key.startswith("$"):
            raise ValueError(f"unknown filter operator '{key}'")
        else:
            parts.append([_field_conditions(key, value)])
    return _all_of(parts)


def _operands(op: str, value: object) -> list[object]:
    if not isinstance(value, (list, tuple)):
        raise TypeError(f"'{op}' takes a list of filters, not {type(value).__name__}")
    return list(value)


def _all_of(parts: list[Alternatives]) -> Alternatives:
    result: Alternatives = [[]]
    for part in parts:
        result = [left + right for left in result for right in part]
        _check_size(result)
    return result


def _any_of(parts: list[Alternatives]) -> Alternatives:
    result = [conjunction for part in parts for conjunction in part]
    _check_size(result)
    return _merge_one_field(result)


def _negation(alternatives: Alternatives) -> Alternatives:
    # not (a and b) or (c) == (not a or not b) and not c
    return _all_of([[[(c, not holds)] for c, holds in conj] for conj in alternatives])


def _merge_one_field(alternatives: Alternatives) -> Alternatives:
    """Folds `f == a or f == b or f in [c]` into one `f in [a, b, c]`, so it needs one search."""
    if len(alternatives) < 2 or any(len(conj) != 1 for conj in alternatives):
        return alternatives
    conditions = [conj[0][0] for conj in alternatives]
    fields = {c["field"] for c in conditions}
    if len(fields) != 1 or not all(
        holds and c["op"] in ("eq", "in") for conj in alternatives for c, holds in conj
    ):
        return alternatives
    values = [v for c in conditions for v in (c["values"] if c["op"] == "in" else [c["value"]])]
    return [[({"field": fields.pop(), "op": "in", "values": values}, True)]]


def _check_size(alternatives: Alternatives) -> None:
    if len(alternatives) > MAX_ALTERNATIVES:
        raise ValueError(
            f"filter expands to more than {MAX_ALTERNATIVES} alternatives "
            "(each one is a separate search); simplify its $or / $not"
        )


def _field_conditions(field: str, operators: object) -> Conjunction:
    if not isinstance(operators, Mapping):
        return [_condition(field, "$eq", operators)]
    if not operators:
        raise ValueError(f"filter on '{field}' has no operator")
    return [_condition(field, op, operand) for op, operand in operators.items()]


def _condition(field: str, op: str, operand: object) -> Literal_:
    if op not in _FIELD_OPERATORS:
        raise ValueError(
            f"unknown filter operator '{op}' on '{field}' "
            f"(supported: {', '.join(_FIELD_OPERATORS)})"
        )
    tarnwell_op, holds = _FIELD_OPERATORS[op]
    condition: FilterCondition = {"field": field, "op": tarnwell_op}  # type: ignore[typeddict-item]
    if tarnwell_op == "in":
        if not isinstance(operand, (list, tuple, set, frozenset)):
            raise TypeError(f"'{op}' on '{field}' takes a list, not {type(operand).__name__}")
        condition["values"] = [_operand(field, op, v) for v in operand]
    else:
        value = _operand(field, op, operand)
        if tarnwell_op != "eq" and isinstance(value, (bool, str)):
            raise ValueError(f"'{op}' on '{field}' compares numbers, not {type(value).__name__}")
        condition["value"] = value
    return condition, holds


def _operand(field: str, op: str, value: object) -> bool | int | float | str:
    scalar = as_scalar(value)
    if scalar is None:
        raise ValueError(
            f"filter value for '{field}' ({op}) must be bool, int (64-bit), float or str, "
            f"not {type(value).__name__}"
        )
    return scalar
