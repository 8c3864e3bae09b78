import os
import random

import pytest

from tarnwell import Tarnwell

KEY = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"
OTHER_KEY = "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100"


def pytest_addoption(parser):
    parser.addoption(
        "--crash-cycles",
        type=int,
        default=int(os.environ.get("TARNWELL_CRASH_CYCLES", "50")),
        help="kill-and-recover cycles for the slow crash tests",
    )


@pytest.fixture
def crash_cycles(request):
    return request.config.getoption("--crash-cycles")


def vec(seed, dim=8):
    rnd = random.Random(seed)
    return [rnd.uniform(-1.0, 1.0) for _ in range(dim)]


@pytest.fixture
def db():
    return Tarnwell()


@pytest.fixture
def data_dir(tmp_path):
    return str(tmp_path / "data")


@pytest.fixture
def coll(db):
    db.create_collection("c", 8)
    return db
