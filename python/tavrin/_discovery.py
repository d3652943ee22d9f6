"""Finding and loading the plug-in libraries."""

import ctypes
import errno
import os
import threading

from . import _table

SUFFIX = ".dll" if os.name == "nt" else ".so"


class PluginNotFoundError(OSError):
    """No folder searched holds the plug-in's library."""


def search_dirs():
    """Where a plug-in is looked for, in order: beside this package, the
    folder named by TAVRIN_PLUGIN_DIR, the bin folder of the checkout's build."""
    dirs = [os.path.dirname(os.path.abspath(__file__))]
    env = os.environ.get("TAVRIN_PLUGIN_DIR")
    if env:
        dirs.append(os.path.abspath(env))
    build = _table.checkout_build_dir()
    if build:
        dirs.append(os.path.join(build, "bin"))
    return dirs


def library_path(plugin):
    """The first existing file of `plugin`'s library along search_dirs()."""
    name = plugin.library + SUFFIX
    tried = []
    for d in search_dirs():
        path = os.path.join(d, name)
        if os.path.isfile(path):
            return path
        tried.append(path)
    raise PluginNotFoundError(
        errno.ENOENT,
        "the %s plug-in (%s) is not built or not found; searched: %s; set "
        "TAVRIN_PLUGIN_DIR to the folder that holds it" % (plugin.effect, name, ", ".join(tried)))


_lock = threading.Lock()
_loaded = {}  # (path, export) -> ctypes function; libraries stay loaded for the process


def export(plugin):
    """The plug-in's export as a ctypes function taking two UTF-16 buffers."""
    path = library_path(plugin)
    key = (path, plugin.export)
    with _lock:
        fn = _loaded.get(key)
        if fn is None:
            fn = load_export(path, plugin.export)
            _loaded[key] = fn
    return fn


def load_export(path, name):
    """Loads `path` and looks up `name`; OSError naming both when either fails.
    Shared with the child process of a captured call."""
    try:
        lib = ctypes.CDLL(path, mode=getattr(os, "RTLD_LOCAL", 0) | getattr(os, "RTLD_NOW", 0))
        fn = getattr(lib, name)
    except (OSError, AttributeError) as e:
        raise OSError("cannot load %s from %s: %s" % (name, path, e)) from None
    # char* buffers: ctypes' wchar_t is 32 bits here, the contract is UTF-16.
    fn.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    fn.restype = ctypes.c_int32
    return fn
