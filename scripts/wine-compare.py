#!/usr/bin/python3
"""Runs the Windows build under Wine and compares it with the Linux build.

usage: wine-compare.py WINDOWS_BUILD LINUX_BUILD

First the version record of every DLL is read from the built file. Then
tavrin.exe applies each plug-in to a set of pictures under Wine, and the Linux
tavrin does the same; exit status, standard output, standard error and every
file left behind must match byte for byte. The only differences allowed are
the ones Windows itself makes: "\\n" written as "\\r\\n" (the C runtime's text
mode), and paths printed in the ANSI code page instead of UTF-8.

A path goes to a plug-in as UTF-16 and the plug-in narrows it to the ANSI code
page (1252 here). A character that page holds (é) works; one it lacks (日本)
or holds only as a look-alike (ā, best fit "a") becomes "?", which no Windows
file name may contain, so the plug-in must fail as it does on Linux for a file
that cannot be opened: status 1, its own line, no output, no other file
touched. So for such a path the Linux run gets the narrowed name, "??.bmp",
which does not exist (an input) or is a folder (an output).

Wine missing or not starting is reported in one line and is not a failure.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

import pe_version
import wine_pictures

CODE_PAGE = "cp1252"  # Wine's ANSI code page for an en-US locale
RUN_SECONDS = 60
BOOT_SECONDS = 300


@dataclass
class Case:
    name: str
    what: str
    picture: str                 # file of the pictures folder given as the input
    input: str                   # "{dir}" stands for the run's own folder
    output: str = "out.bmp"
    decoys: dict = field(default_factory=dict)  # more files beside it: path -> picture
    # The exit status each plug-in must give, "*" for the rest: keeps a case
    # from comparing two equal failures where a picture was meant to work.
    expect: dict = field(default_factory=lambda: {"*": 0})

    def expected_status(self, command):
        return self.expect.get(command, self.expect["*"])


FAILS = {"*": 1}


CASES = [
    Case("portrait", "the built-in portrait (tavrin demo)", "portrait.bmp", "portrait.bmp"),
    Case("photo", "a photo-like face, shaded, grainy, odd width", "photo.bmp", "photo.bmp"),
    Case("no-face", "a landscape", "landscape.bmp", "landscape.bmp"),
    Case("top-down", "the portrait stored top row first", "top-down.bmp", "top-down.bmp"),
    Case("32-bit", "the portrait with alpha (only the hat reads it)", "32-bit.bmp", "32-bit.bmp",
         expect={"hat": 0, "*": 1}),
    Case("cut-short", "the portrait cut in the pixels", "cut-short.bmp", "cut-short.bmp",
         expect=FAILS),
    Case("not-a-bmp", "text named .bmp", "not-a-bmp.bmp", "not-a-bmp.bmp", expect=FAILS),
    Case("rooted", "paths from the root, /...: no '/option' on Windows",
         "portrait.bmp", "{dir}/portrait.bmp", "{dir}/out.bmp"),
    Case("e-acute", "é in folder, input and output: code page 1252 holds it",
         "portrait.bmp", "café/portrait é.bmp", "café/résultat é.bmp"),
    Case("cjk-input", "日本 in the input's folder: outside the code page",
         "portrait.bmp", "日本/portrait.bmp", expect=FAILS),
    Case("cjk-output", "日本 as the output: outside the code page",
         "portrait.bmp", "portrait.bmp", "日本.bmp", expect=FAILS),
    Case("best-fit-input", "ā, whose best fit is a; a.bmp is there and must stay unread",
         "portrait.bmp", "ā.bmp", decoys={"a.bmp": "landscape.bmp"}, expect=FAILS),
    Case("best-fit-output", "ō, whose best fit is o; o.bmp is there and must stay as it is",
         "portrait.bmp", "portrait.bmp", "ō.bmp", decoys={"o.bmp": "landscape.bmp"}, expect=FAILS),
]


def narrowed(path):
    """The path as a plug-in on Windows sees it: the code page's characters,
    '?' for any other."""
    return path.encode(CODE_PAGE, errors="replace").decode(CODE_PAGE)


def snapshot(folder):
    """Every file under `folder`: relative path -> bytes (folders left out)."""
    return {p.relative_to(folder).as_posix(): p.read_bytes()
            for p in sorted(folder.rglob("*")) if p.is_file()}


@dataclass
class Run:
    status: int
    stdout: bytes
    stderr: bytes
    files: dict


def run(command, cwd, env=None, timeout=RUN_SECONDS):
    """(exit status, stdout, stderr). Into files, not pipes: Wine's own helper
    processes inherit the streams and keep a pipe open for seconds after the
    program has ended."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            status = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=err, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return None, b"", b"(timed out)"
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read()


def first_difference(name, want, got):
    """One line naming the first line that differs, or None."""
    if want == got:
        return None
    want_lines, got_lines = want.split(b"\n"), got.split(b"\n")
    for i in range(max(len(want_lines), len(got_lines))):
        w = want_lines[i] if i < len(want_lines) else b"(nothing)"
        g = got_lines[i] if i < len(got_lines) else b"(nothing)"
        if w != g:
            return f"{name} line {i + 1}: Linux {w!r}, Wine {g!r}"
    return f"{name} differs"


class Comparison:
    def __init__(self, windows, linux, work):
        self.windows_exe = (windows / "bin" / "tavrin.exe").resolve()
        self.linux_exe = (linux / "bin" / "tavrin").resolve()
        # The plug-ins as tavrin.exe calls them: the Linux tavrin's photo path
        # checks the files itself first, which the BMP-only build does not.
        self.linux_call = (linux / "bin" / "tavrin_plugin_call").resolve()
        self.work = work
        self.pictures = work / "pictures"
        self.env = None
        self.wine = None

    # --- Wine -------------------------------------------------------------

    def start_wine(self):
        """Finds and boots Wine; None when it runs, else why not."""
        # The 64-bit loader itself: the `wine` wrapper goes through start.exe,
        # which refuses programs whose path passes 260 characters.
        for candidate in ("wine64", "/usr/lib/wine/wine64", "/usr/lib64/wine/wine64", "wine"):
            self.wine = shutil.which(candidate)
            if self.wine:
                break
        else:
            return "Wine is not installed"
        prefix = self.work.parent / "wine-prefix"
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "WAYLAND_DISPLAY", "LANG", "LANGUAGE")}
        # C.UTF-8 is on every Debian machine: Wine reads the command line as
        # UTF-8 and takes en-US, code page 1252. A locale that is not
        # installed would make it strip every byte to ASCII.
        self.env.update(WINEPREFIX=str(prefix.resolve()), WINEDEBUG="-all", LC_ALL="C.UTF-8",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        if (prefix / "system.reg").exists():
            return None
        print(f"Making the Wine prefix {prefix} (once) ...", flush=True)
        started = time.monotonic()
        try:
            status, _, _ = run([self.wine, "wineboot", "-i"], self.work.parent, self.env, BOOT_SECONDS)
        except OSError as e:
            status = e.strerror
        if status != 0:
            shutil.rmtree(prefix, ignore_errors=True)
            return f"Wine would not start (wineboot: {'timed out' if status is None else status})"
        print(f"  made in {time.monotonic() - started:.0f} s")
        return None

    def stop_wine(self):
        server = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
        if self.env and os.path.exists(server):
            subprocess.run([server, "-w"], env=self.env, timeout=RUN_SECONDS,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)

    # --- pictures ---------------------------------------------------------

    def make_pictures(self):
        demo = self.work / "linux-demo"
        status, _, err = run([self.linux_exe, "demo", str(demo)], self.work)
        if status != 0:
            raise SystemExit(f"wine-compare: the Linux tavrin demo failed: {err.decode(errors='replace')}")
        portrait = (demo / "portrait.bmp").read_bytes()
        self.pictures.mkdir(parents=True)
        made = {
            "portrait.bmp": portrait,
            "photo.bmp": wine_pictures.photo_face(),
            "landscape.bmp": wine_pictures.landscape(),
            "top-down.bmp": wine_pictures.top_down(portrait),
            "32-bit.bmp": wine_pictures.with_alpha(portrait),
            "cut-short.bmp": wine_pictures.cut_short(portrait),
            "not-a-bmp.bmp": wine_pictures.NOT_A_PICTURE,
        }
        for name, data in made.items():
            (self.pictures / name).write_bytes(data)

    def place(self, folder, path, picture):
        target = folder / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes((self.pictures / picture).read_bytes())

    # --- one case -----------------------------------------------------------

    def run_linux(self, case, command, folder):
        folder.mkdir(parents=True)
        given = [narrowed(p.replace("{dir}", str(folder))) for p in (case.input, case.output)]
        if given[0] == case.input.replace("{dir}", str(folder)):
            self.place(folder, given[0], case.picture)
        if given[1] != case.output.replace("{dir}", str(folder)):
            (folder / given[1]).mkdir(parents=True)  # stands for a name Windows refuses
        for path, picture in case.decoys.items():
            self.place(folder, path, picture)
        status, out, err = run([self.linux_call, command, *given], folder)
        return Run(status, out, err, snapshot(folder))

    def run_windows(self, case, command, folder):
        folder.mkdir(parents=True)
        given = [p.replace("{dir}", str(folder)) for p in (case.input, case.output)]
        self.place(folder, given[0], case.picture)
        for path, picture in case.decoys.items():
            self.place(folder, path, picture)
        status, out, err = run([self.wine, str(self.windows_exe), command, *given], folder, self.env)
        return Run(status, out, err, snapshot(folder))

    def expected_on_windows(self, case, linux_run, linux_dir, windows_dir):
        """What the Linux run says Windows must do."""
        def console(text):
            text = text.replace(str(linux_dir).encode(), str(windows_dir).encode())
            for path in (case.input, case.output):
                shown = narrowed(path.replace("{dir}", str(windows_dir)))
                text = text.replace(shown.encode("utf-8"), shown.encode(CODE_PAGE))
            return text.replace(b"\n", b"\r\n")

        files = dict(linux_run.files)
        if narrowed(case.input) != case.input:
            # The input is there on Windows, under its real name, untouched.
            files[case.input] = (self.pictures / case.picture).read_bytes()
        return Run(linux_run.status, console(linux_run.stdout), console(linux_run.stderr), files)

    def compare(self, case, command):
        linux_dir = self.work / "linux" / case.name / command
        windows_dir = self.work / "windows" / case.name / command
        linux_run = self.run_linux(case, command, linux_dir)
        got = self.run_windows(case, command, windows_dir)
        want = self.expected_on_windows(case, linux_run, linux_dir, windows_dir)
        problems = []
        if linux_run.status != case.expected_status(command):
            problems.append(f"exit status on Linux {linux_run.status}, expected {case.expected_status(command)}")
        if got.status != want.status:
            problems.append(f"exit status: Linux {want.status}, Wine {got.status}")
        for name in ("stdout", "stderr"):
            problem = first_difference(name, getattr(want, name), getattr(got, name))
            if problem:
                problems.append(problem)
        for path in sorted(set(want.files) | set(got.files)):
            if path not in got.files:
                problems.append(f"{path}: written on Linux, missing under Wine")
            elif path not in want.files:
                problems.append(f"{path}: written under Wine only")
            elif got.files[path] != want.files[path]:
                problems.append(f"{path}: bytes differ")
        return linux_run.status, problems

    # --- the demo, and a program folder past 260 characters -------------------

    def compare_demo(self, name, exe):
        linux_dir = self.work / "linux" / name
        windows_dir = self.work / "windows" / name
        linux_dir.mkdir(parents=True)
        windows_dir.mkdir(parents=True)
        status, out, err = run([self.linux_exe, "demo", "out"], linux_dir)
        # The contact sheet needs the photo path, which the Windows build lacks.
        (linux_dir / "out" / "portrait-sheet.png").unlink(missing_ok=True)
        out = out.replace(b"Wrote out/portrait-sheet.png\n", b"")
        want = Run(status, out.replace(b"\n", b"\r\n"), err.replace(b"\n", b"\r\n"), snapshot(linux_dir))
        got = Run(*run([self.wine, str(exe), "demo", "out"], windows_dir, self.env), snapshot(windows_dir))
        problems = []
        if got.status != want.status:
            problems.append(f"exit status: Linux {want.status}, Wine {got.status}")
        for stream in ("stdout", "stderr"):
            problem = first_difference(stream, getattr(want, stream), getattr(got, stream))
            if problem:
                problems.append(problem)
        if got.files != want.files:
            problems.append(f"files differ: {sorted(set(want.files) ^ set(got.files)) or 'bytes'}")
        return status, problems

    def deep_copy(self):
        """tavrin.exe and the DLLs in a folder whose Windows path passes 260 characters."""
        folder = self.work / "deep"
        while len("Z:" + str(folder.resolve())) <= 300:
            folder = folder / ("a-folder-deep-enough-to-pass-the-old-260-character-limit")
        folder.mkdir(parents=True)
        for dll in self.windows_exe.parent.glob("*.dll"):
            shutil.copy2(dll, folder)
        shutil.copy2(self.windows_exe, folder)
        return folder / "tavrin.exe", len("Z:" + str(folder.resolve()))


def check_versions(windows, plugins):
    """(passed, failed), one line per DLL."""
    failures = 0
    for plugin in plugins:
        name = plugin["library"]
        dll = windows / "bin" / f"{name}.dll"
        want = {"FileVersion": "1.0.0.1", "ProductVersion": "1.0.0.1",
                "FileDescription": f"{name} DLL", "ProductName": f"{name} Dynamic Link Library",
                "fixed": {"FileVersion": (1, 0, 0, 1), "ProductVersion": (1, 0, 0, 1)}}
        try:
            record = pe_version.read_version(dll)
            wrong = [f"{k} {record.get(k)!r}, expected {v!r}" for k, v in want.items() if record.get(k) != v]
        except (OSError, pe_version.NotReadable) as e:
            wrong = [f"no readable version record: {e}"]
        if wrong:
            failures += 1
            print(f"  FAIL  {dll.name}: " + "; ".join(wrong))
        else:
            print(f"  ok    {dll.name}: {record['FileVersion']}, \"{record['FileDescription']}\", "
                  f"\"{record['ProductName']}\"")
    return len(plugins) - failures, failures


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__.splitlines()[2])
    windows, linux = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    plugins = json.loads((windows / "generated" / "plugins.json").read_text())
    commands = [p["command"] for p in plugins]

    print("Version records of the DLLs:")
    passed, failures = check_versions(windows, plugins)

    work = windows / "wine-compare"
    comparison = Comparison(windows, linux, work)
    why_not = comparison.start_wine()
    if why_not:
        print(f"{why_not}: the DLLs were not run under Wine.")
        return 1 if failures else 0

    started = time.monotonic()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    try:
        comparison.make_pictures()
        print(f"\nThe DLLs under Wine against the Linux build (exit status of each; "
              f"code page {CODE_PAGE[2:]}):")
        print(f"        {'case':16}" + "".join(f"{c:>11}" for c in commands))
        for case in CASES:
            results = [comparison.compare(case, command) for command in commands]
            bad = [(c, p) for c, (_, p) in zip(commands, results) if p]
            shown = " to ".join(p if narrowed(p) == p else f"{p} (seen as {narrowed(p)})"
                                for p in (case.input, case.output))
            print(f"  {'FAIL' if bad else 'ok':4}  {case.name:16}"
                  + "".join(f"{status:>11}" for status, _ in results) + f"   {case.what}")
            if case.input != case.picture or case.output != "out.bmp":
                print(f"{'':24}{shown.replace('{dir}', '<folder>')}")
            for command, problems in bad:
                for problem in problems:
                    print(f"{'':8}{command}: {problem}")
            passed += len(commands) - len(bad)
            failures += len(bad)

        exe, length = comparison.deep_copy()
        for name, program, what in (("demo", comparison.windows_exe, "tavrin demo"),
                                    ("deep-folder", exe, f"tavrin demo from a {length}-character folder")):
            status, problems = comparison.compare_demo(name, program)
            print(f"  {'FAIL' if problems else 'ok':4}  {name:16}{status:>11}   {what}")
            for problem in problems:
                print(f"{'':8}{problem}")
            passed += not problems
            failures += bool(problems)
    finally:
        comparison.stop_wine()
    print(f"Wine run took {time.monotonic() - started:.0f} s")
    print(f"wine: {passed} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
