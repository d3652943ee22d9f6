"""One plug-in call in a child process, its console lines captured.

Redirecting file descriptors 1 and 2 inside the caller's process would
swallow every other thread's output too, so each captured call runs in a
fresh interpreter whose standard output and error are one pipe (the plug-ins
flush standard output before writing an error, so the order of lines is
kept). A crashing plug-in ends only the child. The status travels on a pipe
of its own, apart from the console.
"""

import ctypes
import os
import subprocess
import sys

_PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_BOOTSTRAP = ("import sys; sys.path.insert(0, sys.argv[1]); "
              "from tavrin._call import main; sys.exit(main(sys.argv[2:]))")


def run_captured(library, export, args):
    """Calls `export` of `library` with the buffers of a PluginArgs in a child.
    Returns (status, lines); OSError when the child could not call or died."""
    if not sys.executable:
        raise OSError("cannot start a child interpreter: sys.executable is unknown")
    read_fd, write_fd = os.pipe()
    try:
        command = [sys.executable, "-I", "-S", "-c", _BOOTSTRAP, _PACKAGE_PARENT, library,
                   export, args.input.hex(), args.output.hex(), str(write_fd)]
        with subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT,
                              pass_fds=tuple(args.fds) + (write_fd,)) as child:
            os.close(write_fd)
            write_fd = None
            console, _ = child.communicate()
        with os.fdopen(read_fd, "rb") as status_pipe:
            read_fd = None
            reply = status_pipe.read().decode("utf-8", "replace")
    finally:
        for fd in (read_fd, write_fd):
            if fd is not None:
                os.close(fd)
    lines = console.decode("utf-8", "replace").split("\n")
    lines = tuple(line.rstrip("\r") for line in (lines[:-1] if lines[-1] == "" else lines))
    if child.returncode < 0:
        raise OSError("the %s call died of signal %d; its output: %s"
                      % (export, -child.returncode, " | ".join(lines) or "(none)"))
    if reply.startswith("status "):
        return int(reply.split()[1]), lines
    raise OSError(reply.partition(" ")[2] if reply.startswith("error ") else
                  "the %s call ended without a status (exit %d); its output: %s"
                  % (export, child.returncode, " | ".join(lines) or "(none)"))


def main(argv):
    """The child's side: load, call, flush the plug-in's output, report."""
    from tavrin._discovery import load_export

    library, export, src, dst, status_fd = argv
    status_fd = int(status_fd)
    try:
        fn = load_export(library, export)
    except OSError as e:
        os.write(status_fd, ("error %s" % e).encode("utf-8", "replace"))
        return 2
    status = fn(bytes.fromhex(src), bytes.fromhex(dst))
    ctypes.CDLL(None).fflush(None)
    os.write(status_fd, b"status %d" % status)
    return 0
