"""LangChain's own acceptance suite for vector stores, run against TarnwellVectorStore."""

import pytest

pytest.importorskip("langchain_core", reason="langchain-core is not installed")
pytest.importorskip("langchain_tests", reason="langchain-tests is not installed")

from langchain_tests.integration_tests import VectorStoreIntegrationTests  # noqa: E402

from tarnwell.integrations.langchain import TarnwellVectorStore  # noqa: E402


class TestTarnwellVectorStore(VectorStoreIntegrationTests):
    # The suite's coroutine tests need an event loop: pytest-asyncio runs in its default
    # (strict) mode here, where only marked tests get one. The mark is a no-op on the suite's
    # plain tests, which pytest-asyncio would otherwise point out once each.
    pytestmark = [
        pytest.mark.asyncio,
        pytest.mark.filterwarnings("ignore:The test <Function .*asyncio:pytest.PytestWarning"),
    ]

    @pytest.fixture
    def vectorstore(self) -> TarnwellVectorStore:
        # A fresh ephemeral handle per test: empty, and gone with the test.
        return TarnwellVectorStore(self.get_embeddings())
