"""apply_image: a picture in memory through a plug-in and back.

The plug-ins take 24-bit BMP files, so the picture goes to RGB (flattened on
white where it has alpha), into a private BMP in a private folder, through
the plug-in in a child process, and back into the caller's kind and mode with
the original alpha reattached. Pillow is needed for both kinds (it writes and
reads the BMPs); NumPy only when the caller hands in an array.
"""

import os
import shutil
import sys
import tempfile
from typing import NamedTuple, Tuple

from . import _call, _discovery, _table
from ._paths import PluginArgs

_ALPHA_MODES = ("RGBA", "LA", "PA", "RGBa")
_WHITE = (255, 255, 255)


class Result(NamedTuple):
    image: object            # the new picture, of the kind and mode handed in
    face_found: bool         # the plug-in reported a face
    lines: Tuple[str, ...]   # the plug-in's console lines (standard output and error, in order)


def apply_image(effect, image):
    """Runs `effect` on a Pillow Image of any mode, or on a NumPy uint8 array
    of shape (H, W, 3) in RGB order, and returns a Result.

    Raises ValueError for an unknown effect, an array of another shape or
    type, or a mode Pillow cannot turn into RGB; TypeError for anything else
    than an image or an array; OSError when the plug-in fails or dies."""
    plugin = _table.find(effect)
    library = _discovery.library_path(plugin)
    numpy = sys.modules.get("numpy")
    if numpy is not None and isinstance(image, numpy.ndarray):
        rgb, restore = _from_array(numpy, image)
    else:
        rgb, restore = _from_pillow(image)
    out, lines = _run(plugin, library, rgb)
    face_found = any(line.lstrip().startswith(plugin.face_line) for line in lines)
    return Result(restore(out), face_found, lines)


def _from_array(numpy, array):
    from PIL import Image

    if array.dtype != numpy.uint8 or array.ndim != 3 or array.shape[2] != 3:
        raise ValueError("apply_image takes a uint8 array of shape (H, W, 3), not %s of shape %s"
                         % (array.dtype, array.shape))
    if array.shape[0] == 0 or array.shape[1] == 0:
        raise ValueError("apply_image takes a picture of at least 1 x 1 pixels")
    rgb = Image.fromarray(numpy.ascontiguousarray(array), "RGB")
    return rgb, lambda out: numpy.array(out, dtype=numpy.uint8)


def _from_pillow(image):
    from PIL import Image

    if not isinstance(image, Image.Image):
        raise TypeError("apply_image takes a Pillow Image or a NumPy uint8 array of shape "
                        "(H, W, 3), not %s" % type(image).__name__)
    if image.width == 0 or image.height == 0:
        raise ValueError("apply_image takes a picture of at least 1 x 1 pixels")
    mode = image.mode
    if mode == "RGB":
        return image, lambda out: out
    try:
        if mode in _ALPHA_MODES or (mode == "P" and "transparency" in image.info):
            rgba = image.convert("RGBA")
            alpha = rgba.getchannel("A")
            rgb = Image.alpha_composite(Image.new("RGBA", image.size, _WHITE), rgba).convert("RGB")
        else:
            alpha = None
            rgb = image.convert("RGB")
    except ValueError as e:
        raise ValueError("apply_image cannot take a picture of mode %s: %s" % (mode, e)) from None
    info = dict(image.info)
    return rgb, lambda out: _to_mode(out, mode, alpha, info)


def _to_mode(out, mode, alpha, info):
    """The plug-in's RGB picture in the caller's mode, with its alpha."""
    from PIL import Image

    if alpha is not None:
        out.putalpha(alpha)
        if mode == "RGBA":
            return out
        if mode == "P":
            return out.quantize(256, method=Image.Quantize.FASTOCTREE)
        return out.convert(mode)
    if mode == "P":
        return out.quantize(256)
    if mode == "1":
        return out.convert("1", dither=Image.Dither.NONE)
    try:
        result = out.convert(mode)
    except ValueError:  # the 16-bit grey modes are reached through 32-bit grey
        result = out.convert("I").convert(mode)
    if "transparency" in info:  # a colour key of an L or RGB picture
        result.info["transparency"] = info["transparency"]
    return result


def _run(plugin, library, rgb):
    """The plug-in on `rgb` through private BMPs; (picture, lines)."""
    from PIL import Image

    folder = tempfile.mkdtemp(prefix="tavrin-")  # 0700, removed on every path
    try:
        src = os.path.join(folder, "in.bmp")
        dst = os.path.join(folder, "out.bmp")
        rgb.save(src, format="BMP")
        with PluginArgs(src, dst) as args:
            status, lines = _call.run_captured(library, plugin.export, args)
            if status == 999:
                args.commit()
        if status != 999:
            raise OSError("the %s plug-in failed (status %d): %s"
                          % (plugin.effect, status, " | ".join(lines) or "no output"))
        with Image.open(dst, formats=["BMP"]) as written:
            if written.size != rgb.size:
                raise OSError("the %s plug-in wrote %d x %d pixels for a %d x %d picture"
                              % ((plugin.effect,) + written.size + rgb.size))
            out = written.convert("RGB")
        return out, lines
    finally:
        shutil.rmtree(folder, ignore_errors=True)
