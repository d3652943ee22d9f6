"""pip install of the checkout's python/ folder into a fresh virtual environment."""

import os
import shutil
import subprocess
import sys

import pytest

from conftest import CHECKOUT

SCRIPT = """
import sys, tavrin
from PIL import Image
print(tavrin.__file__)
print(tavrin.library_path(tavrin._table.find("mustache")))
print(tavrin.apply("mustache", sys.argv[1], sys.argv[2]))
with Image.open(sys.argv[1]) as photo:
    print(tavrin.apply_image("mustache", photo).face_found)
"""


def test_pip_install_then_import_from_outside_the_checkout(portrait, command_output, tmp_path):
    for module in ("venv", "ensurepip", "wheel"):
        pytest.importorskip(module)
    # A copy, so that the in-tree build leaves the checkout clean.
    source = tmp_path / "python"
    shutil.copytree(os.path.join(CHECKOUT, "python"), source,
                    ignore=shutil.ignore_patterns("tests", "__pycache__", "build", "*.egg-info"))
    venv = tmp_path / "venv"
    # The system's packages give the offline build its wheel, and the test Pillow.
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "TAVRIN_PLUGIN_DIR", "PIP_FIND_LINKS")}
    env["TAVRIN_BUILD_DIR"] = os.environ.get("TAVRIN_BUILD_DIR") or os.path.join(CHECKOUT, "build")
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-build-isolation",
                    "--no-index", str(source)], env=env, cwd=tmp_path, check=True)

    del env["TAVRIN_BUILD_DIR"]
    out = tmp_path / "out.bmp"
    run = subprocess.run([python, "-c", SCRIPT, portrait, str(out)], env=env, cwd=tmp_path,
                         capture_output=True, text=True, check=True)
    package, library, status, face_found = run.stdout.splitlines()[:2] + run.stdout.splitlines()[-2:]
    site = str(venv / "lib")
    assert package.startswith(site) and library.startswith(site), run.stdout
    assert status == "999" and face_found == "True"
    with open(out, "rb") as f:
        assert f.read() == command_output["mustache"]
