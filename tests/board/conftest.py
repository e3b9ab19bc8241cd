import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import board  # noqa: E402

BUILD = board.REPO / "tools" / "board" / "build.sh"


def pytest_addoption(parser):
    parser.addoption("--loader", default=str(board.REPO / "build" / "ppc" / "imgloader"),
                     help="the PowerPC imgloader to boot (put into the initramfs unchanged)")
    parser.addoption("--sim", default=None, help="imgloader-sim, to compare the transcripts with")


def built(*args):
    return subprocess.run(["bash", str(BUILD), *args], check=True, capture_output=True, text=True).stdout.strip()


@pytest.fixture(scope="session")
def system(request):
    loader = request.config.getoption("--loader")
    if not os.path.isfile(loader):
        pytest.fail(f"no PowerPC loader at {loader}")
    return built("kernel"), built("initramfs", loader)


@pytest.fixture
def make_board(system, tmp_path, request):
    made = []

    def make():
        b = board.Board(*system, tmp_path / f"board{len(made)}")
        made.append(b)
        return b
    yield make
    for b in made:
        b.finish()
        if getattr(request.node, "rep_call", None) and request.node.rep_call.failed:
            print(b.console()[-20000:])


@pytest.hookimpl(hookwrapper=True, tryfirst=True)
def pytest_runtest_makereport(item, call):
    rep = (yield).get_result()
    setattr(item, "rep_" + rep.when, rep)


@pytest.fixture(scope="session")
def sim_template(request, tmp_path_factory):
    sim = request.config.getoption("--sim")
    out = sim and board.harness.sandbox.build_template(str(Path(sim).resolve()), tmp_path_factory.mktemp("sim") / "t")
    yield out
    if out:
        shutil.rmtree(out, ignore_errors=True)


@pytest.fixture
def record(request):
    reporter = request.config.pluginmanager.get_plugin("terminalreporter")

    def line(text):
        reporter.write_line(f"[{request.node.name}] {text}")
    return line
