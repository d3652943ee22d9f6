"""Paths as the plug-ins take them: NUL-terminated UTF-16.

The plug-ins turn UTF-16 back into UTF-8 to open a file, so a name that is
not valid UTF-8 (a bytes path, or a str holding the surrogate escapes
os.fsdecode makes of such bytes) cannot be handed over as text. For those,
the input is opened here and passed as /proc/self/fd/N, and the output is
written under a private name in its folder (reached through /proc/self/fd as
well) and renamed into place once the plug-in wrote it.
"""

import errno
import os
import secrets


def utf16(text):
    return (text + "\0").encode("utf-16-le")


def _as_text(path):
    """The path as str when it is valid UTF-8 text, else its bytes."""
    path = os.fspath(path)
    if isinstance(path, bytes):
        if b"\0" in path:
            raise ValueError("embedded NUL in path %r" % path)
        try:
            return path.decode("utf-8")
        except UnicodeDecodeError:
            return path
    if "\0" in path:
        raise ValueError("embedded NUL in path %r" % path)
    try:
        path.encode("utf-8")
        return path
    except UnicodeEncodeError:
        return os.fsencode(path)


class PluginArgs:
    """The two arguments of one call, and what must happen after it.

    Use as a context manager: `input` and `output` are the UTF-16 buffers,
    `fds` the descriptors a child process must inherit, commit() is called
    once the plug-in reported the output written."""

    def __init__(self, src, dst):
        self.fds = []
        self._dir_fd = None
        self._private = None   # private output name inside _dir_fd
        self._final = None     # the real output name inside _dir_fd
        src = _as_text(src)
        dst = _as_text(dst)
        self.src, self.dst = src, dst
        try:
            if isinstance(src, bytes):
                fd = os.open(src, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
                self.fds.append(fd)
                self.input = utf16("/proc/self/fd/%d" % fd)
            else:
                self.input = utf16(src)
            if isinstance(dst, bytes):
                folder, name = os.path.split(dst)
                self._dir_fd = os.open(folder or b".", os.O_RDONLY | os.O_DIRECTORY |
                                       getattr(os, "O_CLOEXEC", 0))
                self.fds.append(self._dir_fd)
                self._private = ".tavrin-%s.bmp" % secrets.token_hex(8)
                self._final = name
                self.output = utf16("/proc/self/fd/%d/%s" % (self._dir_fd, self._private))
            else:
                self.output = utf16(dst)
        except BaseException:
            self.close()
            raise

    def commit(self):
        if self._private is not None:
            os.replace(self._private, self._final, src_dir_fd=self._dir_fd,
                       dst_dir_fd=self._dir_fd)
            self._private = None

    def close(self):
        if self._private is not None:
            try:
                os.unlink(self._private, dir_fd=self._dir_fd)
            except FileNotFoundError:
                pass
            self._private = None
        for fd in self.fds:
            os.close(fd)
        self.fds = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def check_input(path):
    """Raises the OSError that opening `path` for reading gives, if any."""
    os.close(os.open(path, os.O_RDONLY))
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)


def explain_output_failure(path):
    """After a failed call: raises an OSError when the output's folder is
    missing or the output cannot be written; returns when the cause lies
    elsewhere (the picture itself)."""
    folder = os.path.dirname(path) or (b"." if isinstance(path, bytes) else ".")
    if not os.path.isdir(folder):
        raise FileNotFoundError(errno.ENOENT, "the output's folder does not exist", path)
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if os.path.exists(path):
        writable = os.access(path, os.W_OK)
    else:
        writable = os.access(folder, os.W_OK | os.X_OK)
    if not writable:
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
