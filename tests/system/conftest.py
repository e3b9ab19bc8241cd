import os
import shutil
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402


def pytest_addoption(parser):
    parser.addoption("--sim", default=None, help="path of the imgloader-sim binary")


@pytest.fixture(scope="session")
def sim_path(request):
    path = request.config.getoption("--sim")
    return Path(path).resolve() if path and os.path.isfile(path) else None


@pytest.fixture(scope="session")
def template(tmp_path_factory, sim_path):
    # Without --sim a stand-in takes the loader's place; tests that need the loader skip.
    base = tmp_path_factory.mktemp("sandbox")
    if sim_path is None:
        (base / "no-loader").write_text("#!/bin/sh\necho 'no imgloader-sim given (--sim)'\nexit 127\n")
        (base / "no-loader").chmod(0o755)
    yield harness.sandbox.build_template(str(sim_path or base / "no-loader"), base / "template")
    shutil.rmtree(base / "template", ignore_errors=True)


@pytest.fixture
def loader(board, sim_path):
    if sim_path is None:
        pytest.skip("needs --sim")
    board.config("time_scale 0.01")
    return board


@pytest.fixture
def board(template, request):
    b = harness.Board(template)
    try:
        yield b
    finally:
        b.finish()
        if b.console():
            print("----- board console -----\n" + b.console())
        crashes = b.crashes()
        b.close()
        if crashes and not (b.crash_expected or request.node.get_closest_marker("expect_crash")):
            pytest.fail(f"console shows a crash: {', '.join(crashes)}", pytrace=False)
