"""Shows the module's unit and naming functions at work."""

import os
import sys
import tempfile
import types

sys.modules.setdefault("state", types.ModuleType("state"))
import pdf_module  # noqa: E402

print("10 mm =", pdf_module.mm_to_pt(10), "pt")
print("format_mm_value(12.345) =", pdf_module.format_mm_value(12.345))
print("scale_image_to_pdf(300, 100, 210, 297) =", pdf_module.scale_image_to_pdf(300, 100, 210, 297))
with tempfile.TemporaryDirectory() as folder:
    open(os.path.join(folder, "output.pdf"), "wb").close()
    print("next free name:", pdf_module.get_unique_filename(folder, "output.pdf"))
