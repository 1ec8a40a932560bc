# The page-number handler, which uses the most host objects, uses them in Python's order (callee,
# then arguments left to right), as recorded from logging probes: every use, and what it prints.
import inspect

import pdf_module

HOST_NAMES = ["fitz", "base64", "ft", "state", "update_image_size"]


class Probe:  # logs each use; smaller-than tests are false

    def __init__(self, log, name):
        vars(self).update(_log=log, _name=name)   # not logged

    def _use(self, what, result=None, value=None):
        self._log.append(what.format(self._name))
        return Probe(self._log, result or what.format(self._name)) if value is None else value

    def __getattr__(self, name):
        if name.startswith("_"):   # the runtime's own probing (__spec__, __path__, ...)
            raise AttributeError(name)
        return self._use("{}." + name)

    def __setattr__(self, name, value): self._use("{}." + name + "=")
    def __call__(self, *args, **kwargs): return self._use("{}(" + ", ".join(kwargs) + ")")
    def __bool__(self): return self._use("bool({})", value=True)
    def __int__(self): return self._use("int({})", value=1)
    def __format__(self, spec): return self._use(f"format({{}}, {spec!r})", value="-")

    def _operator(op, value=None):
        return lambda self, other: self._use(f"{{}} {op} {getattr(other, '_name', other)}", f"({op})", value)

    __sub__ = __rsub__ = _operator("-")
    __mul__ = __rmul__ = _operator("*")
    __truediv__ = __rtruediv__ = _operator("/")
    __lt__ = _operator("<", False)


RECORDED = (
    'pdf_path.value; bool(pdf_path.value); page_number_input.value; '
    'int(page_number_input.value); fitz.open; pdf_path.value; fitz.open(); '
    'fitz.open().load_page; fitz.open().page_count; fitz.open().page_count - 1; (-) < 0; '
    'page; page.get_pixmap; pix; pix.tobytes; pix.tobytes(); base64.b64encode; '
    'base64.b64encode(); base64.b64encode().decode; base64.b64encode().decode(); page.rect; '
    'page.rect.width; page.rect; page.rect.height; pix.width; pix.width / page.rect.width; '
    'pix.height; pix.height / page.rect.height; (/) < (/); state.pdf_scale_ratio=; '
    'state.pdf_scale_ratio; page.rect.height * state.pdf_scale_ratio; (*) / 500; '
    'state.pdf_scale_ratio; page.rect.width * state.pdf_scale_ratio; (*) / 500; (/) < (/); '
    'state.shrink_scale=; pix.width; state.shrink_scale; pix.width * state.shrink_scale; '
    'int((*)); pix.height; state.shrink_scale; pix.height * state.shrink_scale; int((*)); '
    'pdf_preview.src_base64=; pdf_preview.width=; pdf_preview.height=; pdf_preview.left=; '
    'pdf_preview.top=; ft.ImageFit; ft.ImageFit.CONTAIN; pdf_preview.fit=; '
    'pdf_preview.update; pdf_preview.update(); state.pdf_width_pt=; state.pdf_height_pt=; '
    'state.pdf_scale_ratio; state.shrink_scale; set_pdf_scale_callback(); '
    "format(page.rect.width, '.2f'); format(page.rect.height, '.2f'); "
    "state.pdf_scale_ratio; format(state.pdf_scale_ratio, '.4f'); state.shrink_scale; "
    "format(state.shrink_scale, '.4f'); image_path.value; bool(image_path.value); "
    'update_image_size()')
PRINTED = "[ページ変更] PDF page 1 loaded.\n     size: -pt × -pt\n     scale: -, shrink: -\n"


def test_host_objects_are_used_in_pythons_order(monkeypatch, capsys):
    log = []
    for host_name in HOST_NAMES:
        monkeypatch.setattr(pdf_module, host_name, Probe(log, host_name))
    function = pdf_module.on_page_number_change
    function(*(Probe(log, p) for p in inspect.signature(function).parameters))
    used = "; ".join(log).replace("fitz.open().load_page().get_pixmap(dpi)", "pix")
    assert (used.replace("fitz.open().load_page()", "page"), capsys.readouterr().out) == (RECORDED, PRINTED)
