"""Adapters that let other libraries use Tarnwell as their store.

Each lives in its own module and imports its library only when that module is imported, so
`import tarnwell` never needs them: `from tarnwell.integrations.langchain import
TarnwellVectorStore` (extra `tarnwell[langchain]`).
"""

from typing import Any

_LANGCHAIN_NAMES = ("TarnwellVectorStore", "TarnwellRetriever")


def __getattr__(name: str) -> Any:
    if name in _LANGCHAIN_NAMES:
        from tarnwell.integrations import langchain

        return getattr(langchain, name)
    raise AttributeError(f"module 'tarnwell.integrations' has no attribute '{name}'")
