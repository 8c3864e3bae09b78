"""How a LangChain document is kept in a Tarnwell collection: its id and its metadata.

Ids: LangChain ids are arbitrary strings, Tarnwell's are UUIDs. A canonical UUID string (lower
case, hyphenated) is used unchanged; any other string becomes its UUIDv5 in ID_NAMESPACE and is
kept under the metadata key "_lc_id", so it reads back exactly. Metadata: bool, int (64-bit),
float and str values are stored as Tarnwell metadata (filterable); any other JSON value (None,
lists, dicts, larger ints) is kept JSON-encoded under "_lc_json" and restored on the way out.
"""

from __future__ import annotations

import json
import numbers
import uuid
from collections.abc import Mapping
from typing import Any

# Fixed for good: every stored id that is not itself a UUID was derived from it.
ID_NAMESPACE = uuid.UUID("5d0b6f2e-8c1a-4f3e-9b57-2a61c4e7d903")
ID_KEY = "_lc_id"
JSON_KEY = "_lc_json"
RESERVED_KEYS = frozenset((ID_KEY, JSON_KEY))

Scalar = bool | int | float | str
_INT64 = range(-(2**63), 2**63)


def to_tarnwell_id(lc_id: str) -> str:
    """The UUID under which the document with LangChain id `lc_id` is stored."""
    if not isinstance(lc_id, str):
        raise TypeError(f"document ids must be str, not {type(lc_id).__name__}")
    return lc_id if _is_canonical_uuid(lc_id) else str(uuid.uuid5(ID_NAMESPACE, lc_id))


def _is_canonical_uuid(text: str) -> bool:
    try:
        return str(uuid.UUID(text)) == text
    except ValueError:
        return False


def check_text(text: str, what: str) -> None:
    """Refuses a string that has no UTF-8 form (a lone surrogate), as the core would."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as exc:
        raise ValueError(
            f"{what} is not valid Unicode text ({exc.reason} at {exc.start})"
        ) from None


def as_scalar(value: object) -> Scalar | None:
    """`value` as a metadata value Tarnwell holds, or None when it holds no such value.

    NumPy-style numbers become plain int or float.
    """
    if isinstance(value, (bool, str, float)):
        return value
    if isinstance(value, numbers.Integral):
        as_int = int(value)
        return as_int if as_int in _INT64 else None
    if isinstance(value, numbers.Real):
        return float(value)
    return None


def stored_metadata(lc_id: str, metadata: Mapping[str, Any] | None) -> dict[str, Scalar]:
    """The Tarnwell metadata for a document with LangChain id `lc_id` and `metadata`."""
    stored: dict[str, Scalar] = {}
    extra: dict[str, Any] = {}
    for key, value in (metadata or {}).items():
        if not isinstance(key, str):
            raise TypeError(f"metadata keys must be str, not {type(key).__name__}")
        if key in RESERVED_KEYS:
            raise ValueError(f"metadata key '{key}' is reserved by the Tarnwell vector store")
        check_text(key, "a metadata key")
        scalar = as_scalar(value)
        if scalar is None:
            extra[key] = value
        else:
            if isinstance(scalar, str):
                check_text(scalar, f"metadata value '{key}'")
            stored[key] = scalar
    if extra:
        try:
            stored[JSON_KEY] = json.dumps(extra)
        except (TypeError, ValueError) as exc:
            raise TypeError(f"metadata cannot be stored: {exc}") from None
    if to_tarnwell_id(lc_id) != lc_id:
        check_text(lc_id, "a document id")
        stored[ID_KEY] = lc_id
    return stored


def from_stored(tarnwell_id: str, stored: Mapping[str, Any]) -> tuple[str, dict[str, Any]]:
    """The LangChain id and metadata of the document stored as `tarnwell_id` with `stored`."""
    lc_id = stored.get(ID_KEY, tarnwell_id)
    metadata = {key: value for key, value in stored.items() if key not in RESERVED_KEYS}
    encoded = stored.get(JSON_KEY)
    if encoded is not None:
        # A value this module did not write stays visible as it is rather than being lost.
        try:
            extra = json.loads(encoded) if isinstance(encoded, str) else None
        except ValueError:
            extra = None
        if isinstance(extra, dict):
            metadata.update(extra)
        else:
            metadata[JSON_KEY] = encoded
    return str(lc_id), metadata
