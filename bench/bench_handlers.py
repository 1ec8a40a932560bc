"""The preview and stamp-image handlers measured side by side with what they
stand for:

- select_pdf and on_page_number_change on a content-heavy page against the
  bare sequence of PyMuPDF and Base64 calls that they make (the handlers'
  own work should vanish beside rendering: time ratio at most 1.05);
- update_image_size and update_image_position per call against the same
  handlers written in plain Python (at least 2x the calls per second).

Standard output goes to the null device for both sides."""

import base64
import io
import os
import statistics
import sys
import tempfile
import time
import timeit
import types

sys.modules.setdefault("state", types.ModuleType("state"))
import fitz  # noqa: E402

import pdf_module  # noqa: E402
import state  # noqa: E402


class Field:
    def __init__(self, value=""):
        self.value = value

    def update(self):
        pass


class ImageControl:
    def __init__(self):
        self.src = self.src_base64 = self.width = self.height = None
        self.left = self.top = self.fit = None

    def update(self):
        pass


# --- the size and position handlers in plain Python ----------------------------------

def format_mm_value(val: float) -> str:
    val = float(val)
    return str(int(val)) if val == int(val) else str(round(val, 2))


def update_image_position(x_input, y_input, image_preview, image_path):
    if not image_path.value:
        print("[INFO] Imageが指定されていません。")
        return
    try:
        x_mm = float(x_input.value) if x_input.value else 0.0
        y_mm = float(y_input.value) if y_input.value else 0.0
        dpi = 72
        x_pt = x_mm / 25.4 * dpi
        y_pt = y_mm / 25.4 * dpi
        x_px = x_pt * state.pdf_scale_ratio * state.shrink_scale
        y_px = y_pt * state.pdf_scale_ratio * state.shrink_scale
        image_preview.left = x_px
        image_preview.top = y_px
        image_preview.update()
        print(f"[位置更新] X: {x_mm}mm → {x_px:.2f}px, Y: {y_mm}mm → {y_px:.2f}px")
        print(f"     スケール: {state.pdf_scale_ratio:.4f} × 縮小率: {state.shrink_scale:.4f}"
              f" → 表示: {state.pdf_scale_ratio * state.shrink_scale:.4f}px/pt")
    except ValueError:
        print("[ERROR] 数値変換失敗（xまたはy入力が不正）")


def update_image_size(e, is_width, image_width, image_height, image_preview, x_position,
                      y_position, image_path):
    try:
        if is_width and image_width.value:
            width_mm = float(image_width.value)
            height_mm = width_mm / state.original_ratio
            image_height.value = format_mm_value(height_mm)
        elif not is_width and image_height.value:
            height_mm = float(image_height.value)
            width_mm = height_mm * state.original_ratio
            image_width.value = format_mm_value(width_mm)
        else:
            return
        width_pt = float(image_width.value) / 25.4 * 72
        height_pt = float(image_height.value) / 25.4 * 72
        width_px = width_pt * state.pdf_scale_ratio * state.shrink_scale
        height_px = height_pt * state.pdf_scale_ratio * state.shrink_scale
        image_preview.width = width_px
        image_preview.height = height_px
        image_preview.update()
        image_width.update()
        image_height.update()
        print(f"[Image寸法更新] {width_mm:.2f}mm x {height_mm:.2f}mm (DPI: {state.image_dpi})"
              f" → プレビュー: {width_px:.2f}px x {height_px:.2f}px")
        print(f"     PDF縮尺: {state.pdf_scale_ratio:.4f}, 縮小率: {state.shrink_scale:.4f}"
              f" → 1ptあたり: {state.pdf_scale_ratio * state.shrink_scale:.4f}px")
        if x_position.value or y_position.value:
            update_image_position(x_position, y_position, image_preview, image_path)
            print("[Info] 座標の調整")
    except Exception as ex:
        print(f"[ERROR] update_image_size: {ex}")


# --- the bare PyMuPDF and Base64 sequence of the preview handlers -----------------------

def bare_preview(path, number, **render):
    doc = fitz.open(path)
    page = doc.load_page(max(0, min(number - 1, doc.page_count - 1)))
    pix = page.get_pixmap(**render)
    encoded = base64.b64encode(pix.tobytes("png")).decode("utf-8")
    return encoded, page.rect.width, page.rect.height, pix.width, pix.height


def content_heavy_pdf(folder):
    """An A4 page with a few thousand filled shapes, lines and text runs."""
    path = os.path.join(folder, "heavy.pdf")
    doc = fitz.open()
    page = doc.new_page(width=595.28, height=841.89)
    shape = page.new_shape()
    for i in range(3000):
        x, y = (i * 37) % 560, (i * 53) % 800
        shape.draw_rect(fitz.Rect(x, y, x + 25, y + 18))
        shape.finish(color=(i % 7 / 7, 0.2, 0.5), fill=((i % 5) / 5, (i % 3) / 3, 0.4), width=0.4)
        shape.draw_line((x, y), (x + 30, y + 30))
        shape.finish(color=(0, 0, 0), width=0.3)
    shape.commit()
    for row in range(60):
        page.insert_text((20, 20 + row * 13.5), "Lorem ipsum dolor sit amet " * 4, fontsize=9)
    doc.save(path)
    return path


def interleaved(first, second, rounds):
    """Median seconds per call of each, run alternately so that both see
    the same machine state."""
    times = ([], [])
    for _ in range(rounds):
        for fn, out in ((first, times[0]), (second, times[1])):
            start = time.perf_counter()
            fn()
            out.append(time.perf_counter() - start)
    return statistics.median(times[0]), statistics.median(times[1])


def per_call(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=7)) / number


def main():
    sys.stdout.flush()
    report, sys.stdout = sys.stdout, open(os.devnull, "w", encoding="utf-8")
    rows = []
    try:
        folder = tempfile.mkdtemp()
        heavy = content_heavy_pdf(folder)
        pdf_path, page_number = Field(heavy), Field("1")
        preview, no_stamp = ImageControl(), Field("")
        controls = (Field(), Field(), ImageControl(), Field(), Field())
        event = types.SimpleNamespace(files=[types.SimpleNamespace(path=heavy)])

        def on_scale(ratio, width_pt, height_pt, shrink):
            pass

        def select():
            pdf_module.select_pdf(event, pdf_path, page_number, preview, on_scale, no_stamp,
                                  *controls)

        def change():
            pdf_module.on_page_number_change(None, pdf_path, page_number, preview, no_stamp,
                                             controls[2], controls[0], controls[1], controls[3],
                                             controls[4], on_scale, None, None)

        ours, bare = interleaved(select, lambda: bare_preview(heavy, 1), 30)
        rows.append(("select_pdf", "time", ours, bare, ours / bare, "<=", 1.05))
        ours, bare = interleaved(change, lambda: bare_preview(heavy, 1, dpi=150), 15)
        rows.append(("on_page_number_change", "time", ours, bare, ours / bare, "<=", 1.05))

        state.original_ratio, state.image_dpi = 1.5, 96
        state.pdf_scale_ratio, state.shrink_scale = 2.0833333333333335, 0.303030303030303
        width, height, stamp = Field("45"), Field(""), ImageControl()
        x, y, image_path = Field(""), Field(""), Field("stamp.png")
        ours = per_call(lambda: pdf_module.update_image_size(None, True, width, height, stamp, x,
                                                             y, image_path), 20000)
        plain = per_call(lambda: update_image_size(None, True, width, height, stamp, x, y,
                                                   image_path), 20000)
        rows.append(("update_image_size", "rate", ours, plain, plain / ours, ">=", 2.0))
        x.value, y.value = "20", "30.5"
        ours = per_call(lambda: pdf_module.update_image_position(x, y, stamp, image_path), 20000)
        plain = per_call(lambda: update_image_position(x, y, stamp, image_path), 20000)
        rows.append(("update_image_position", "rate", ours, plain, plain / ours, ">=", 2.0))
    finally:
        sys.stdout.close()
        sys.stdout = report

    print(f"{'handler':<24}{'module':>14}{'reference':>14}{'ratio':>8}{'target':>9}")
    for name, unit, ours, other, ratio, sense, bound in rows:
        if unit == "time":
            figures = f"{ours * 1e3:>11.2f} ms{other * 1e3:>11.2f} ms"
        else:
            figures = f"{1 / ours:>12,.0f}/s{1 / other:>12,.0f}/s"
        met = ratio <= bound if sense == "<=" else ratio >= bound
        print(f"{name:<24}{figures}{ratio:>8.3f}{sense + ' ' + str(bound):>9} "
              f"{'ok' if met else 'MISSED'}")
    print("preview handlers: time per call against the bare PyMuPDF/Base64 sequence "
          "(ratio = module time / bare time);")
    print("size and position: calls per second against plain Python "
          "(ratio = module rate / Python rate)")


if __name__ == "__main__":
    main()
