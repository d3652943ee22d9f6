"""Tavrin's photo effects for Python: the plug-ins over ctypes.

    apply(effect, src, dst) -> int        the export on two BMP files: 999 written, 1 failed
    apply_image(effect, image) -> Result  a Pillow image or a NumPy (H, W, 3) uint8 array
    EFFECTS                               the effect names

apply() calls the plug-in in this process, so its lines reach the console as
it prints them (as with the tavrin command). apply_image() runs each call in
a child process to capture the lines per call; a plug-in that crashes there
becomes an OSError instead of ending the caller. Both are safe to call from
several threads at once.
"""

import ctypes
import sys

from ._discovery import PluginNotFoundError, library_path, search_dirs
from ._image import Result, apply_image
from ._paths import PluginArgs, check_input, explain_output_failure
from ._table import EFFECTS
from . import _discovery, _table

__all__ = ["apply", "apply_image", "Result", "EFFECTS", "PluginNotFoundError",
           "library_path", "search_dirs"]

STATUS_WRITTEN = 999

_libc = ctypes.CDLL(None)


def apply(effect, src, dst):
    """Runs `effect` on the BMP at `src`, writing `dst` (the two may be the
    same file); str, bytes or os.PathLike paths, any name.

    Returns the plug-in's status: 999 when the output was written (with or
    without a face found), 1 when the plug-in rejected the picture (its lines
    on the console say why). Raises ValueError for an unknown effect,
    FileNotFoundError / PermissionError / OSError when the input cannot be
    read or the output cannot be written, PluginNotFoundError when the
    plug-in's library is not found."""
    plugin = _table.find(effect)
    fn = _discovery.export(plugin)
    with PluginArgs(src, dst) as args:
        if isinstance(args.src, str):
            check_input(args.src)
        # Keeps the caller's buffered lines before the plug-in's.
        for stream in (sys.stdout, sys.stderr):
            if stream is not None:
                stream.flush()
        status = fn(args.input, args.output)
        _libc.fflush(None)
        if status == STATUS_WRITTEN:
            args.commit()
        else:
            explain_output_failure(args.dst)
    return status
