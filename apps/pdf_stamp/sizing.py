"""The stamp's size in mm, computed as the module's image selection and size
fields compute it, so that the command line and the window agree to the last
digit."""

import dataclasses
import math
import os

from PIL import Image

from . import host
from .exceptions import BadValue
from .i18n import _

DEFAULT_DPI = 72


@dataclasses.dataclass(frozen=True)
class StampSize:
    width_mm: float
    height_mm: float
    ratio: float  # width_mm / height_mm, as the window's size fields use it
    dpi: float
    width_px: int
    height_px: int

    @property
    def pixel_ratio(self):
        """The proportions process_pdf keeps when it fits the image into a box."""
        return self.width_px / self.height_px


def natural_size(image_path):
    """The size select_image writes into the size fields: pixels divided by
    the recorded horizontal resolution (72 dpi when none), times 25.4,
    rounded to 2 decimals. Raises BadValue for a recorded resolution that
    gives no size (0, negative, not finite)."""
    with Image.open(image_path) as img:
        width_px, height_px = img.size
        dpi = img.info.get("dpi", (DEFAULT_DPI, DEFAULT_DPI))[0]
    if not (isinstance(dpi, (int, float)) and math.isfinite(dpi) and dpi > 0):
        raise BadValue(_("{name} records a resolution of {dpi} dpi, from which no size follows: "
                         "give the stamp's width and height").format(
                             name=os.path.basename(image_path), dpi=dpi))
    width_mm = round(width_px / dpi * 25.4, 2)
    height_mm = round(height_px / dpi * 25.4, 2)
    return StampSize(width_mm, height_mm, width_mm / height_mm, dpi, width_px, height_px)


def pixel_ratio(image_path):
    """Width / height in pixels: the proportions process_pdf keeps."""
    with Image.open(image_path) as img:
        width_px, height_px = img.size
    return width_px / height_px


def complete_size(image_path, width=None, height=None):
    """The width and height field texts: the natural size when neither is
    given, the other side from the natural ratio through format_mm_value
    when one is (as the window's size fields do), both as given otherwise.
    Raises ValueError for a side that is not a number."""
    if width is not None and height is not None:
        return str(width), str(height)
    size = natural_size(image_path)
    if width is None and height is None:
        return str(size.width_mm), str(size.height_mm)
    format_mm_value = host.load_module().format_mm_value
    if width is not None:
        return str(width), format_mm_value(float(width) / size.ratio)
    return format_mm_value(float(height) * size.ratio), str(height)
