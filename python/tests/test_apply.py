"""tavrin.apply: the export on files, against the tavrin command."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading

import pytest

import tavrin


def private_names_out(lines):
    """The lines without the name of each call's private folder."""
    return [re.sub(r"tavrin-[^/]+/", "PRIVATE/", line) for line in lines]


def read(path):
    with open(path, "rb") as f:
        return f.read()


@pytest.mark.parametrize("effect", tavrin.EFFECTS)
def test_apply_writes_what_the_command_writes(effect, portrait, command_output, tmp_path, capfd):
    out = tmp_path / "out.bmp"
    assert tavrin.apply(effect, portrait, str(out)) == 999
    assert read(out) == command_output[effect]
    # In this process the plug-in's lines go to the console as it prints them.
    console = capfd.readouterr().out
    face_line = dict((p.effect, p.face_line) for p in tavrin._table.PLUGINS)[effect]
    assert face_line in console

    in_place = tmp_path / "in-place.bmp"
    shutil.copy(portrait, in_place)
    assert tavrin.apply(effect, in_place, in_place) == 999
    assert read(in_place) == command_output[effect]


def test_any_path_reaches_the_plugin(portrait, command_output, tmp_path):
    expected = command_output["hat"]
    folder = tmp_path / "Ünïcødé ✓ 日本語 😀"
    folder.mkdir()
    src = folder / "portrait é.bmp"
    shutil.copy(portrait, src)
    assert tavrin.apply("hat", src, folder / "out ü.bmp") == 999           # PathLike
    assert read(folder / "out ü.bmp") == expected
    assert tavrin.apply("hat", os.fsencode(src), os.fsencode(folder / "b.bmp")) == 999
    assert read(folder / "b.bmp") == expected

    # Names that are not UTF-8 cannot be spelled in UTF-16: bytes, and the
    # str os.fsdecode makes of them.
    odd = tmp_path / os.fsdecode(b"odd \xff\xfe")
    odd.mkdir()
    odd_src = os.path.join(os.fsencode(odd), b"in \xe9.bmp")
    shutil.copy(portrait, odd_src)
    assert tavrin.apply("hat", odd_src, os.path.join(os.fsencode(odd), b"out \xe9.bmp")) == 999
    assert tavrin.apply("hat", os.fsdecode(odd_src), str(odd / "out2.bmp")) == 999
    assert tavrin.apply("hat", odd_src, odd_src) == 999
    assert sorted(os.listdir(os.fsencode(odd))) == [b"in \xe9.bmp", b"out \xe9.bmp", b"out2.bmp"]
    for name in os.listdir(os.fsencode(odd)):
        assert read(os.path.join(os.fsencode(odd), name)) == expected


def test_errors_name_their_cause(portrait, tmp_path):
    with pytest.raises(ValueError, match="sunglasses, mustache, hat, beard"):
        tavrin.apply("glasses", portrait, str(tmp_path / "o.bmp"))
    with pytest.raises(FileNotFoundError) as missing:
        tavrin.apply("hat", str(tmp_path / "missing.bmp"), str(tmp_path / "o.bmp"))
    assert missing.value.filename == str(tmp_path / "missing.bmp")
    with pytest.raises(IsADirectoryError):
        tavrin.apply("hat", str(tmp_path), str(tmp_path / "o.bmp"))
    with pytest.raises(FileNotFoundError) as no_folder:
        tavrin.apply("hat", portrait, str(tmp_path / "no" / "o.bmp"))
    assert no_folder.value.filename == str(tmp_path / "no" / "o.bmp")
    with pytest.raises(IsADirectoryError):
        tavrin.apply("hat", portrait, str(tmp_path))
    with pytest.raises(ValueError, match="NUL"):
        tavrin.apply("hat", portrait + "\0x", str(tmp_path / "o.bmp"))

    # A readable file that is no picture the plug-in takes: its status, not an error.
    text = tmp_path / "notes.bmp"
    text.write_text("not a bitmap")
    for effect in tavrin.EFFECTS:
        assert tavrin.apply(effect, text, tmp_path / "o.bmp") == 1


def test_permission_errors(portrait):
    # Permission bits do not bind root: as root, the calls run as nobody.
    as_root = hasattr(os, "geteuid") and os.geteuid() == 0
    folder = tempfile.mkdtemp()
    try:
        os.chmod(folder, 0o755)
        locked = os.path.join(folder, "locked.bmp")
        shutil.copy(portrait, locked)
        os.chmod(locked, 0)
        readonly = os.path.join(folder, "ro")
        os.mkdir(readonly, 0o555)
        script = ("import sys, tavrin\n"
                  "for src, dst in (sys.argv[1:3], sys.argv[3:5]):\n"
                  "    try:\n"
                  "        print(tavrin.apply('hat', src, dst))\n"
                  "    except OSError as e:\n"
                  "        print(type(e).__name__, e.filename == dst or e.filename == src)\n")
        env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(tavrin.__file__)))
        run = subprocess.run(
            [sys.executable, "-c", script, locked, os.path.join(folder, "o.bmp"),
             shutil.copy(portrait, os.path.join(folder, "open.bmp")), os.path.join(readonly, "o.bmp")],
            env=env, cwd=folder, capture_output=True, text=True, user=65534 if as_root else None)
        if as_root and "No module named" in run.stderr:
            pytest.skip("the package is not readable for nobody")
        # (the plug-in's own lines come in between)
        assert run.stdout.count("PermissionError True") == 2, run
    finally:
        shutil.rmtree(folder)


def test_four_threads_give_the_single_threaded_results(portrait, command_output, tmp_path):
    pytest.importorskip("PIL")
    from PIL import Image

    with Image.open(portrait) as f:
        picture = f.convert("RGB")
    alone = {e: tavrin.apply_image(e, picture) for e in tavrin.EFFECTS}
    failures = []

    def work(worker):
        try:
            for round_ in range(2):
                for effect in tavrin.EFFECTS:
                    out = tmp_path / ("%d-%d-%s.bmp" % (worker, round_, effect))
                    assert tavrin.apply(effect, portrait, out) == 999
                    assert read(out) == command_output[effect]
                    got = tavrin.apply_image(effect, picture)
                    assert got.image.tobytes() == alone[effect].image.tobytes()
                    assert private_names_out(got.lines) == private_names_out(alone[effect].lines)
                    assert got.face_found == alone[effect].face_found
        except BaseException as e:  # handed to the main thread
            failures.append(e)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures


def test_a_missing_plugin_names_every_folder_searched(portrait, tmp_path):
    # A copy of the package without its libraries, outside any checkout.
    package = tmp_path / "site" / "tavrin"
    shutil.copytree(os.path.dirname(tavrin.__file__), package,
                    ignore=shutil.ignore_patterns("*.so", "*.dll", "__pycache__"))
    empty = tmp_path / "empty"
    empty.mkdir()
    script = ("import sys, tavrin\n"
              "print('imported:', *sorted({'PIL', 'numpy'} & set(sys.modules)))\n"
              "try:\n"
              "    tavrin.apply('beard', sys.argv[1], sys.argv[2])\n"
              "except tavrin.PluginNotFoundError as e:\n"
              "    print(e)\n")
    env = dict(os.environ, PYTHONPATH=str(tmp_path / "site"), TAVRIN_PLUGIN_DIR=str(empty))
    shown = subprocess.run([sys.executable, "-c", script, portrait, str(tmp_path / "o.bmp")],
                           env=env, cwd=tmp_path, capture_output=True, text=True, check=True).stdout
    assert "beard" in shown and "TavrinBMPFaceBeard" in shown
    assert str(package / "TavrinBMPFaceBeard") in shown
    assert str(empty / "TavrinBMPFaceBeard") in shown
    assert "TAVRIN_PLUGIN_DIR" in shown
    assert shown.startswith("imported:\n")  # Pillow and NumPy only when a function needs them

    # The same copy finds the libraries through TAVRIN_PLUGIN_DIR.
    env["TAVRIN_PLUGIN_DIR"] = os.path.dirname(tavrin.library_path(tavrin._table.find("beard")))
    done = subprocess.run([sys.executable, "-c", script, portrait, str(tmp_path / "o.bmp")],
                          env=env, cwd=tmp_path, capture_output=True, text=True, check=True)
    assert "Beard applied." in done.stdout and "searched" not in done.stdout
