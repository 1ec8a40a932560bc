"""Values the window and pdf_module share between events.

pdf_module imports this module by the name `state` and reads and writes its
attributes; the window's callbacks below store what the module hands back.
The starting values let every handler run before a PDF or a stamp image has
been chosen: an A4 page shown at the preview's 500-pixel bound, and a square
stamp image at 72 dpi.
"""

PREVIEW_PX = 500

image_dpi = 72
original_ratio = 1.0
pdf_width_pt = 595.28
pdf_height_pt = 841.89
pdf_scale_ratio = 1.0
shrink_scale = PREVIEW_PX / pdf_height_pt


def set_original_ratio(aspect_ratio):
    """Stores the stamp image's width / height (called by select_image)."""
    global original_ratio
    original_ratio = aspect_ratio


def set_pdf_scale(scale_ratio, page_width_pt, page_height_pt, shrink):
    """Stores the preview page's scale factors and size in points (called by
    select_pdf and on_page_number_change)."""
    global pdf_scale_ratio, pdf_width_pt, pdf_height_pt, shrink_scale
    pdf_scale_ratio = scale_ratio
    pdf_width_pt = page_width_pt
    pdf_height_pt = page_height_pt
    shrink_scale = shrink


def get_pdf_scale():
    """The preview's rendered pixels per point and its shrink factor."""
    return pdf_scale_ratio, shrink_scale
