import os
import shutil
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

KEY = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"
OTHER_KEY = "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100"


def pytest_addoption(parser):
    # The defaults keep CI short; `make crash-long` runs the full counts.
    parser.addoption("--kill-cycles", type=int,
                     default=int(os.environ.get("TARNWELL_KILL_CYCLES", "30")),
                     help="SIGKILL-and-recover cycles per crash test")
    parser.addoption("--fault-steps", type=int,
                     default=int(os.environ.get("TARNWELL_FAULT_STEPS", "300")),
                     help="operations per fault-injection run")
    parser.addoption("--crash-seed", type=int,
                     default=int(os.environ.get("TARNWELL_CRASH_SEED", "1")),
                     help="first seed of the crash and fault runs")


@pytest.fixture
def kill_cycles(request):
    return request.config.getoption("--kill-cycles")


@pytest.fixture
def fault_steps(request):
    return request.config.getoption("--fault-steps")


@pytest.fixture
def crash_seed(request):
    return request.config.getoption("--crash-seed")


@pytest.fixture(scope="session")
def faultshim(tmp_path_factory):
    cc = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler for the fault shim")
    out = tmp_path_factory.mktemp("shim") / "faultshim.so"
    src = os.path.join(os.path.dirname(os.path.abspath(__file__)), "faultshim.c")
    subprocess.run([cc, "-shared", "-fPIC", "-O2", "-Wall", "-Wextra", "-Werror", "-o", str(out),
                    src, "-ldl", "-lpthread"], check=True)
    return str(out)
