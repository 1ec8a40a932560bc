# The handlers use host objects in Python's order (callee, then arguments left to right):
# each runs against logging probes beside its statements written in Python.
import builtins
import inspect
import sys
import types

import pytest

import pdf_module
from test_units import reference_scale

HOST_NAMES = ["fitz", "Image", "io", "base64", "ft", "state", "update_image_size"]


class Probe:  # logs each use; larger-than tests are true, smaller-than tests false

    def __init__(self, log, name):
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_name", name)

    def _use(self, what, result=None, value=None):
        self._log.append(what.format(self._name))
        return Probe(self._log, result or what.format(self._name)) if value is None else value

    def __getattr__(self, name):
        if name.startswith("_"):   # the runtime's own probing (__spec__, __path__, ...)
            raise AttributeError(name)
        return self._use("{}." + name)

    def __setattr__(self, name, value): self._use("{}." + name + "=")
    def __call__(self, *args, **kwargs): return self._use("{}(" + ", ".join(kwargs) + ")")
    def __getitem__(self, key): return self._use(f"{{}}[{key!r}]")
    def __bool__(self): return self._use("bool({})", value=True)
    def __int__(self): return self._use("int({})", value=1)
    def __float__(self): return self._use("float({})", value=1.0)
    def __round__(self, ndigits=None): return self._use(f"round({{}}, {ndigits})", value=1.0)
    def __format__(self, spec): return self._use(f"format({{}}, {spec!r})", value="-")
    def __enter__(self): return self._use("{}.__enter__()", "img")
    def __exit__(self, *exc_info): return self._use("{}.__exit__()", value=False)

    def __iter__(self):   # unpacks as a pair
        return self._use("iter({})", value=iter([Probe(self._log, "first"), Probe(self._log, "second")]))

    def _operator(op, value=None):
        return lambda self, other: self._use(f"{{}} {op} {getattr(other, '_name', other)}", f"({op})", value)

    __add__ = __radd__ = _operator("+")
    __sub__ = __rsub__ = _operator("-")
    __mul__ = __rmul__ = _operator("*")
    __truediv__ = __rtruediv__ = _operator("/")
    __gt__, __ge__ = _operator(">", True), _operator(">=", True)
    __lt__, __le__ = _operator("<", False), _operator("<=", False)


fitz = Image = io = base64 = ft = state = update_image_size = None


def select_image(e, image_path, image_width, image_height, image_preview,
                 set_original_ratio_callback, x_position, y_position):
    if not e.files:
        return
    image_path.value = e.files[0].path
    image_path.update()
    from PIL import Image
    with Image.open(image_path.value) as img:
        width_px, height_px = img.size
        dpi = img.info.get("dpi", (72, 72))[0]
        state.image_dpi = dpi
        width_mm = round(width_px / dpi * 25.4, 2)
        height_mm = round(height_px / dpi * 25.4, 2)
        aspect_ratio = width_mm / height_mm
    set_original_ratio_callback(aspect_ratio)
    image_width.value = str(width_mm)
    image_height.value = str(height_mm)
    image_width.update()
    image_height.update()
    image_preview.src = image_path.value
    image_preview.left = 0
    image_preview.top = 0
    update_image_size(None, True, image_width, image_height, image_preview, x_position,
                      y_position, image_path)


def generate_resized_base64_image(image_path, width, height):
    with Image.open(image_path) as img:
        resized = img.resize((int(width), int(height)))
        buffered = io.BytesIO()
        resized.save(buffered, format="PNG")
        return base64.b64encode(buffered.getvalue()).decode("utf-8")


def on_page_number_change(e, pdf_path, page_number_input, pdf_preview, image_path, image_preview,
                          image_width, image_height, x_position, y_position,
                          set_pdf_scale_callback, get_pdf_scale_callback,
                          set_original_ratio_callback):
    if not pdf_path.value:
        return print("[INFO] PDFが指定されていません。")
    page_number = int(page_number_input.value)
    try:
        doc = fitz.open(pdf_path.value)
        page = doc.load_page(max(0, min(page_number - 1, doc.page_count - 1)))
        pix = page.get_pixmap(dpi=150)
        img_data = pix.tobytes("png")
        encoded_img = base64.b64encode(img_data).decode("utf-8")
        page_width_pt, page_height_pt = page.rect.width, page.rect.height
        scale_x = pix.width / page_width_pt
        scale_y = pix.height / page_height_pt
        state.pdf_scale_ratio = min(scale_x, scale_y)
        height_term = 500 / (page_height_pt * state.pdf_scale_ratio)   # before the width term
        state.shrink_scale = min(500 / (page_width_pt * state.pdf_scale_ratio), height_term)
        display_width = int(pix.width * state.shrink_scale)
        display_height = int(pix.height * state.shrink_scale)
        pdf_preview.src_base64 = encoded_img
        pdf_preview.width = display_width
        pdf_preview.height = display_height
        pdf_preview.left = 0
        pdf_preview.top = 0
        pdf_preview.fit = ft.ImageFit.CONTAIN
        pdf_preview.update()
        state.pdf_width_pt = page_width_pt
        state.pdf_height_pt = page_height_pt
        set_pdf_scale_callback(state.pdf_scale_ratio, page_width_pt, page_height_pt,
                               state.shrink_scale)
        print(f"[ページ変更] PDF page {page_number} loaded.")
        print(f"     size: {page_width_pt:.2f}pt × {page_height_pt:.2f}pt")
        print(f"     scale: {state.pdf_scale_ratio:.4f}, shrink: {state.shrink_scale:.4f}")
        if image_path.value:
            update_image_size(None, True, image_width, image_height, image_preview, x_position,
                              y_position, image_path)
    except Exception as ex:
        print(f"[ERROR] ページ変更エラー: {ex}")


def show_dialog(page, message):
    dlg = ft.AlertDialog(title=ft.Text(message))
    page.dialog = dlg
    page.open(page.dialog)
    page.update()


def confirm_exit(page):
    dlg = ft.AlertDialog(
        title=ft.Text("アプリを終了しますか？"),
        actions=[ft.TextButton("はい", on_click=print), ft.TextButton("いいえ", on_click=print)],
    )
    page.dialog = dlg
    page.open(page.dialog)
    page.update()


@pytest.mark.parametrize("name, reference", [
    (f.__name__, f) for f in (select_image, generate_resized_base64_image, on_page_number_change,
                              show_dialog, confirm_exit)
] + [("scale_image_to_pdf", reference_scale)])
def test_host_objects_are_used_in_pythons_order(monkeypatch, capsys, name, reference):
    def run(as_python):
        log = []
        probes = {host_name: Probe(log, host_name) for host_name in HOST_NAMES}
        monkeypatch.setitem(sys.modules, "PIL", Probe(log, "PIL"))   # for `from PIL import Image`
        for host_name, probe in probes.items():
            monkeypatch.setattr(pdf_module, host_name, probe)
        function = (types.FunctionType(reference.__code__, {**probes, "__builtins__": builtins})
                    if as_python else getattr(pdf_module, name))
        function(*(Probe(log, p) for p in inspect.signature(reference).parameters))
        return log, capsys.readouterr().out

    expected = run(as_python=True)
    assert run(as_python=False) == expected
