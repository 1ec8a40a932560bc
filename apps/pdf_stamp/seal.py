"""Seal preparation: a copy of the stamp image made see-through, so that a
seal printed over text leaves the text readable, and tilted when asked."""

import math
import os
import stat

from PIL import Image, ImageChops

from .i18n import _

DEFAULT_TOLERANCE = 32  # how far below pure white (per channel, of 255) still counts as white


def image_problem(path):
    """Why the stamp image at `path` cannot be used, or None. Anything that is
    not a regular file (a folder, a FIFO, a device) is refused unopened."""
    unreadable = _("the image cannot be read: {path}: {error}")
    try:
        mode = os.stat(path).st_mode
    except OSError as error:
        return unreadable.format(path=path, error=error.strerror or error)
    if not stat.S_ISREG(mode):
        return _("the image is not a regular file: {path}").format(path=path)
    try:
        with Image.open(path):
            pass
    except Exception as error:
        return unreadable.format(path=path, error=error)
    return None


def prepare_seal(image_path, out_path, opacity=1.0, white_to_transparent=False,
                 tolerance=DEFAULT_TOLERANCE, rotate=0):
    """Writes a PNG of the image with its alpha scaled by `opacity` and, when
    asked, near-white pixels made transparent and the image turned `rotate`
    degrees counter-clockwise inside its bounding box (transparent corners);
    keeps the recorded resolution, so the natural size is that of the box.
    Returns `out_path`."""
    if not 0 <= opacity <= 1:
        raise ValueError(f"opacity must lie in 0 to 1, not {opacity}")
    check_rotation(rotate)
    with Image.open(image_path) as source:
        dpi = source.info.get("dpi")
        image = source.convert("RGBA")
    red, green, blue, alpha = image.split()
    if white_to_transparent:
        floor = 255 - tolerance
        white = [band.point(lambda v: 255 if v >= floor else 0) for band in (red, green, blue)]
        alpha = ImageChops.subtract(alpha, ImageChops.darker(ImageChops.darker(*white[:2]), white[2]))
    if opacity < 1:
        alpha = alpha.point(lambda a: round(a * opacity))
    image.putalpha(alpha)
    if rotate:
        image = image.rotate(rotate, resample=Image.Resampling.BICUBIC, expand=True)
    image.save(out_path, format="PNG", **({"dpi": dpi} if dpi else {}))
    return out_path


def check_rotation(degrees):
    """Raises ValueError unless `degrees` is a number in -180..180."""
    if not (isinstance(degrees, (int, float)) and -180 <= degrees <= 180):
        raise ValueError(f"the tilt must lie in -180 to 180 degrees, not {degrees!r}")


def turned_box(width, height, rotate):
    """The width and height texts (mm) of the box that holds an image of
    `width` x `height` turned by `rotate` degrees; unchanged when upright."""
    if not rotate or abs(rotate) == 180:
        return width, height
    if abs(rotate) == 90:
        return height, width
    w, h, turn = float(width), float(height), math.radians(rotate)
    cos, sin = abs(math.cos(turn)), abs(math.sin(turn))
    return f"{w * cos + h * sin:.4f}", f"{w * sin + h * cos:.4f}"


def prepare_mark(mark, folder, name):
    """(source, image) of a mark, both in or beside the private `folder`:
    the picture it stamps (its image file, or its generated seal drawn at the
    mark's size: its width, else its height, else the seal's usual size),
    and that picture prepared for stamping (the source itself when nothing
    is to be changed). `name` keeps the files of several marks apart."""
    source = mark.image
    if mark.seal is not None:
        from . import sealdraw

        size = mark.width if mark.width is not None else mark.height
        source = sealdraw.render(mark.seal, os.path.join(folder, f"{name}-seal.png"),
                                 None if size is None else float(size))
    if mark.opacity >= 1 and not mark.white_to_transparent and not mark.rotate:
        return source, source
    return source, prepare_seal(source, os.path.join(folder, f"{name}.png"), mark.opacity,
                                mark.white_to_transparent, mark.tolerance, mark.rotate)
