"""Shared fixtures: the built-in portrait, the tavrin command's own results."""

import os
import subprocess

import pytest

import tavrin

CHECKOUT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def host_program():
    path = os.environ.get("TAVRIN_HOST_PROGRAM") or os.path.join(CHECKOUT, "build", "bin", "tavrin")
    if not os.path.isfile(path):
        pytest.skip("the tavrin program is not built (%s)" % path)
    return path


def run_command(effect, src, dst):
    """The tavrin command on one file; its exit status."""
    return subprocess.run([host_program(), effect, src, dst], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode


@pytest.fixture(scope="session")
def portrait(tmp_path_factory):
    folder = tmp_path_factory.mktemp("demo")
    subprocess.run([host_program(), "demo", str(folder)], check=True, stdout=subprocess.DEVNULL)
    return str(folder / "portrait.bmp")


@pytest.fixture(scope="session")
def command_output(portrait, tmp_path_factory):
    """effect -> the bytes the tavrin command writes for the portrait."""
    folder = tmp_path_factory.mktemp("command")
    result = {}
    for effect in tavrin.EFFECTS:
        out = str(folder / (effect + ".bmp"))
        assert run_command(effect, portrait, out) == 0
        with open(out, "rb") as f:
            result[effect] = f.read()
    return result
