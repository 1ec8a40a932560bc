"""Seal preparation: a copy of the stamp image made see-through, so that a
seal printed over text leaves the text readable."""

import contextlib
import os
import shutil
import tempfile

from PIL import Image, ImageChops

DEFAULT_TOLERANCE = 32  # how far below pure white (per channel, of 255) still counts as white


def prepare_seal(image_path, out_path, opacity=1.0, white_to_transparent=False,
                 tolerance=DEFAULT_TOLERANCE):
    """Writes a PNG of the image with its alpha scaled by `opacity` and, when
    asked, near-white pixels made transparent; keeps the recorded resolution
    (so the natural size is unchanged). Returns `out_path`."""
    if not 0 <= opacity <= 1:
        raise ValueError(f"opacity must lie in 0 to 1, not {opacity}")
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
    image.save(out_path, format="PNG", **({"dpi": dpi} if dpi else {}))
    return out_path


@contextlib.contextmanager
def prepared_seal(image_path, opacity=1.0, white_to_transparent=False,
                  tolerance=DEFAULT_TOLERANCE):
    """Yields the image to stamp: the source itself when nothing is to be
    prepared, otherwise a prepared PNG in a private temporary folder that is
    removed afterwards."""
    if opacity >= 1 and not white_to_transparent:
        yield image_path
        return
    folder = tempfile.mkdtemp(prefix="pdf-stamp-seal-")
    try:
        yield prepare_seal(image_path, os.path.join(folder, "seal.png"), opacity,
                           white_to_transparent, tolerance)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
