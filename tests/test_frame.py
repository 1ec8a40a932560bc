"""The module as a whole: initialisation, its namespace, the function objects,
argument binding and traceback entries."""

import builtins
import contextlib
import ctypes
import io
import sys
import types
import pytest

import pdf_module
from conftest import Field, ImageControl, module_entry, run_python

# name, parameters, first line, docstring
FUNCTIONS = [
    ("mm_to_pt", "mm", 17, None),
    ("select_image", "e image_path image_width image_height image_preview "
     "set_original_ratio_callback x_position y_position", 20,
     "画像を選択してプレビューに反映し、サイズとアスペクト比を取得"),
    ("select_pdf", "e pdf_path page_number_input pdf_preview set_pdf_scale_callback image_path "
     "image_width image_height image_preview x_position y_position", 59, None),
    ("format_mm_value", "val", 123, None),
    ("update_image_size", "e is_width image_width image_height image_preview x_position "
     "y_position image_path", 126, None),
    ("update_image_sizeb", "e is_height image_width image_height image_preview", 171, None),
    ("scale_image_to_pdf", "image_width_mm image_height_mm pdf_width_mm pdf_height_mm", 207,
     "画像の縦横比を保ちながらPDFに合わせてスケーリング"),
    ("generate_resized_base64_image", "image_path width height", 220,
     "画像を指定サイズにリサイズしてBase64エンコード"),
    ("update_image_position", "x_input y_input image_preview image_path", 229, None),
    ("on_page_number_change", "e pdf_path page_number_input pdf_preview image_path image_preview "
     "image_width image_height x_position y_position set_pdf_scale_callback "
     "get_pdf_scale_callback set_original_ratio_callback", 255, None),
    ("select_directory", "e save_field", 330, "directoryを選択したとき、パスを入力欄にセット"),
    ("get_unique_filename", "directory base_name", 336, "既存の output.pdf がある場合、連番をつけて保存"),
    ("show_dialog", "page message", 346, "エラーダイアログを表示する共通関数"),
    ("confirm_exit", "page", 353, "アプリ終了の確認ダイアログを表示"),
    ("process_pdf", "pdf_path image_path save_path x_mm y_mm width_mm height_mm target_pages "
     "page_interval page", 376, "指定したPDFに画像を挿入し保存する"),
]
BY_NAME = {name: line for name, _, line, _ in FUNCTIONS}


def test_namespace_after_import():
    names = [n for n in vars(pdf_module) if not n.startswith("__")]
    assert names == ["fitz", "Image", "os", "io", "ft", "base64", "state",
                     "pdf_page_width_pt", "pdf_page_height_pt", "original_width",
                     "original_height"] + [f[0] for f in FUNCTIONS]
    for name in ("pdf_page_width_pt", "pdf_page_height_pt", "original_width", "original_height"):
        assert type(getattr(pdf_module, name)) is int and getattr(pdf_module, name) == 0
    import base64, io, os  # noqa: E401
    import fitz, flet  # noqa: E401
    from PIL import Image
    assert (pdf_module.fitz, pdf_module.Image, pdf_module.os, pdf_module.io, pdf_module.ft,
            pdf_module.base64) == (fitz, Image, os, io, flet, base64)
    assert "PIL" not in vars(pdf_module) and "flet" not in vars(pdf_module)
    assert pdf_module.__test__ == {} and pdf_module.__doc__ is None
    assert pdf_module.__builtins__ is builtins


@pytest.mark.parametrize("name, params, line, doc", FUNCTIONS)
def test_function_attributes(name, params, line, doc):
    f = getattr(pdf_module, name)
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == (name, name, "pdf_module", doc)
    assert type(f) is type(pdf_module.mm_to_pt)
    expected = {"val": "float", "return": "str"} if name == "format_mm_value" else {}
    assert f.__annotations__ == expected


@pytest.mark.parametrize("name, params, line, doc", FUNCTIONS)
def test_positional_count_and_parameter_names(name, params, line, doc):
    f, names = getattr(pdf_module, name), params.split()
    n = len(names)
    plural = "" if n == 1 else "s"
    # every parameter but the last by keyword: the count given is the last one's position
    calls = [((), {}, 0), (tuple(range(n + 1)), {}, n + 1),
             ((), {p: None for p in names[:-1]}, n - 1)]
    for args, kwargs, given in calls:
        with pytest.raises(TypeError) as excinfo:
            f(*args, **kwargs)
        assert str(excinfo.value) == (
            f"{name}() takes exactly {n} positional argument{plural} ({given} given)")
        assert module_entry(excinfo) == (f"pdf_module.{name}", line)


@pytest.mark.parametrize("call, message", [
    # positional count beyond N with keywords present: P is the count
    (lambda: pdf_module.mm_to_pt(1, 2, mm=3), "mm_to_pt() takes exactly 1 positional argument (2 given)"),
    # the first missing parameter's position is the count
    (lambda: pdf_module.update_image_size(1, 2, image_height=3), "update_image_size() takes exactly 8 positional arguments (2 given)"),
    (lambda: pdf_module.scale_image_to_pdf(1, image_height_mm=2, pdf_height_mm=3, x=4), "scale_image_to_pdf() takes exactly 4 positional arguments (2 given)"),
    (lambda: pdf_module.mm_to_pt(1, mm=2), "mm_to_pt() got multiple values for keyword argument 'mm'"),
    (lambda: pdf_module.mm_to_pt(1, x=2), "mm_to_pt() got an unexpected keyword argument 'x'"),
    # leftover keywords are examined in the order passed
    (lambda: pdf_module.get_unique_filename("d", base_name="b", zz=1, directory="d"), "get_unique_filename() got an unexpected keyword argument 'zz'"),
    (lambda: pdf_module.get_unique_filename("d", base_name="b", directory="d", zz=1), "get_unique_filename() got multiple values for keyword argument 'directory'"),
    (lambda: pdf_module.format_mm_value("2.5"), "must be real number, not str"),
    (lambda: pdf_module.format_mm_value(val=None), "must be real number, not NoneType"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message
    name = str(excinfo.value).split("(")[0]
    if name not in BY_NAME:  # the float conversion message names no function
        name = "format_mm_value"
    assert module_entry(excinfo) == (f"pdf_module.{name}", BY_NAME[name])


@pytest.mark.parametrize("call, expected", [
    (lambda: pdf_module.mm_to_pt(mm=25.4), 72.0),
    (lambda: pdf_module.scale_image_to_pdf(100, pdf_height_mm=297, image_height_mm=50, pdf_width_mm=210), (100, 50)),
    (lambda: pdf_module.format_mm_value(val=2), "2"),
    (lambda: pdf_module.format_mm_value(True), "1"),
])
def test_keyword_binding_succeeds(call, expected):
    assert call() == expected


def test_non_string_keyword_from_a_direct_vectorcall():
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                           ctypes.py_object]
    argv = (ctypes.py_object * 2)(1.0, 2.0)
    with pytest.raises(TypeError, match=r"^mm_to_pt\(\) keywords must be strings$"):
        vectorcall(pdf_module.mm_to_pt, argv, 1, (7,))
    # a non-string keyword is never taken for a missing parameter
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(0 given\)"):
        vectorcall(pdf_module.mm_to_pt, argv, 0, (7,))


def test_names_are_looked_up_at_each_use(monkeypatch):
    taken = {"x.pdf", "x.pdf_1.pdf"}
    fake_os = types.SimpleNamespace(path=types.SimpleNamespace(
        join=lambda directory, name: name, exists=taken.__contains__))
    monkeypatch.setattr(pdf_module, "os", fake_os)
    assert pdf_module.get_unique_filename("dir", "x.pdf") == "x.pdf_2.pdf"
    monkeypatch.delattr(pdf_module, "os")
    with pytest.raises(NameError, match="^name 'os' is not defined$") as excinfo:
        pdf_module.get_unique_filename("dir", "x.pdf")
    assert module_entry(excinfo) == ("pdf_module.get_unique_filename", 338)
    monkeypatch.setattr(builtins, "os", fake_os, raising=False)  # then the builtins are asked
    assert pdf_module.get_unique_filename("dir", "x.pdf") == "x.pdf_2.pdf"


def test_round_is_the_builtin_taken_at_import(monkeypatch):
    monkeypatch.setattr(builtins, "round", lambda *a: 999)
    assert pdf_module.format_mm_value(12.345) == "12.35"
    assert pdf_module.scale_image_to_pdf(1.234, 1, 5, 5) == (1.23, 1)


def test_replacing_a_module_function_takes_effect_on_the_next_call(monkeypatch, page):
    shown = []
    monkeypatch.setattr(pdf_module, "show_dialog", lambda page, message: shown.append(message))
    pdf_module.process_pdf("", "", "", 0, 0, 1, 1, "1", "", page)
    assert shown == ["【ERROR】PDFと画像の両方を指定してください"]


def test_inner_handlers_are_module_functions(page):
    pdf_module.confirm_exit(page)
    yes, no = (button.on_click for button in page.dialog.actions)
    assert (yes.__name__, yes.__qualname__, yes.__module__, yes.__doc__) == (
        "on_yes", "confirm_exit.<locals>.on_yes", "pdf_module", None)
    assert (no.__name__, no.__qualname__) == ("on_no", "confirm_exit.<locals>.on_no")
    assert type(yes) is type(pdf_module.confirm_exit)
    with pytest.raises(TypeError, match=r"^on_no\(\) takes exactly 1 positional argument \(2 given\)$") as excinfo:
        no(1, 2)
    assert module_entry(excinfo) == ("pdf_module.confirm_exit.on_no", 360)
    del page.window
    with pytest.raises(AttributeError) as excinfo:
        yes(None)
    assert module_entry(excinfo) == ("pdf_module.confirm_exit.on_yes", 358)


def test_deep_recursion_through_the_namespace_is_an_error_not_a_crash(monkeypatch, page):
    class Toolkit:
        @staticmethod
        def Text(value):
            pdf_module.confirm_exit(page)

    monkeypatch.setattr(pdf_module, "ft", Toolkit)
    with pytest.raises(RecursionError):
        pdf_module.confirm_exit(page)


# --- initialisation, each in a fresh interpreter ------------------------------

STATE_SETUP = "import sys, types; sys.modules['state'] = types.ModuleType('state')\n"


# The module is made for 3.12; any other interpreter gets one warning at import.
VERSION_WARNING = ("compile time Python version 3.12 of module 'pdf_module' does not match "
                   "runtime version %d.%d" % sys.version_info[:2])


def test_import_prints_nothing_and_warns_only_off_3_12():
    result = run_python(STATE_SETUP + "import pdf_module", env={"PYTHONWARNINGS": "error"},
                        check=sys.version_info[:2] == (3, 12))
    if sys.version_info[:2] == (3, 12):
        assert (result.stdout, result.stderr) == ("", "")
    else:   # as an error, the warning fails the import
        assert result.stdout == ""
        assert result.stderr.splitlines()[-1] == f"RuntimeWarning: {VERSION_WARNING}"
    result = run_python(STATE_SETUP + """
import warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import pdf_module
print([(w.category.__name__, str(w.message)) for w in caught])
""")
    assert result.stdout.strip() == repr(
        [] if sys.version_info[:2] == (3, 12) else [("RuntimeWarning", VERSION_WARNING)])


def test_import_without_state_fails_at_line_7_and_a_retry_succeeds():
    result = run_python("""
        import sys, traceback, types
        try:
            import pdf_module
        except ModuleNotFoundError as exc:
            entry = [e for e in traceback.extract_tb(exc.__traceback__) if e.filename == "pdf_module.py"][-1]
            print(type(exc).__name__, exc, entry.name, entry.lineno, "pdf_module" in sys.modules)
        sys.modules["state"] = types.ModuleType("state")
        import pdf_module
        print(pdf_module.mm_to_pt(25.4), pdf_module.state is sys.modules["state"])
    """)
    assert result.stdout.splitlines() == [
        "ModuleNotFoundError No module named 'state' init pdf_module 7 False",
        "72.0 True",
    ]


@pytest.mark.parametrize("pil_init, expected", [
    # a PIL without Image fails at line 2 with the plain name
    ("", "ImportError cannot import name Image 2"),
    # the registry entry stands in for a missing attribute
    ("import sys, types\nsys.modules['PIL.Image'] = types.ModuleType('PIL.Image')\n", "ok PIL.Image"),
])
def test_from_pil_import_image(tmp_path, pil_init, expected):
    (tmp_path / "PIL").mkdir()
    (tmp_path / "PIL" / "__init__.py").write_text(pil_init)
    result = run_python(STATE_SETUP + """
import traceback
try:
    import pdf_module
    print("ok", pdf_module.Image.__name__)
except ImportError as exc:
    entry = [e for e in traceback.extract_tb(exc.__traceback__) if e.filename == "pdf_module.py"][-1]
    print(type(exc).__name__, exc, entry.lineno)
""", env={"PYTHONPATH": str(tmp_path)})
    assert result.stdout.strip() == expected


def test_second_import_returns_the_same_module_without_running_it_again():
    result = run_python(STATE_SETUP + """
import pdf_module
first = pdf_module
first.fitz = "rebound"
import pdf_module
del sys.modules["pdf_module"]
import pdf_module
print(pdf_module is first, pdf_module.fitz, pdf_module.mm_to_pt(25.4))
""")
    assert result.stdout.strip() == "True rebound 72.0"


def test_exec_on_a_second_module_object_is_refused():
    result = run_python(STATE_SETUP + """
import importlib.util
spec = importlib.util.find_spec("pdf_module")
m1 = importlib.util.module_from_spec(spec)
m2 = importlib.util.module_from_spec(spec)
spec.loader.exec_module(m1)
spec.loader.exec_module(m1)
try:
    spec.loader.exec_module(m2)
except RuntimeError as exc:
    print(m1 is not m2, exc)
""")
    assert result.stdout.strip() == (
        "True Module 'pdf_module' has already been imported. Re-initialisation is not supported.")


def test_second_interpreter_is_refused_while_the_first_keeps_working(tmp_path):
    out = tmp_path / "sub.txt"
    # the module's own guard is reached from a legacy (shared-GIL) interpreter only
    legacy = ("import _xxsubinterpreters as interpreters\n"
              "interp = interpreters.create(isolated=False)" if sys.version_info < (3, 13) else
              "import _interpreters as interpreters\ninterp = interpreters.create('legacy')")
    result = run_python(STATE_SETUP + f"""
import pdf_module
{legacy}
interpreters.run_string(interp, '''
try:
    import pdf_module
    result = "imported"
except ImportError as exc:
    result = type(exc).__name__ + ": " + str(exc)
open({str(out)!r}, "w").write(result)
''')
interpreters.destroy(interp)
print(pdf_module.mm_to_pt(25.4))
""")
    assert out.read_text() == ("ImportError: Interpreter change detected - this module can only "
                               "be loaded into one interpreter per process.")
    assert result.stdout.strip() == "72.0"


def test_only_the_init_function_is_exported():
    import subprocess
    path = pdf_module.__file__
    symbols = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True)
    if symbols.returncode != 0:
        pytest.skip("nm is not available")
    exported = {line.split()[-1] for line in symbols.stdout.splitlines() if " T " in line}
    assert exported == {"PyInit_pdf_module"}


def test_host_module_attributes_resolve_as_in_python(monkeypatch, state):
    """`state` may compute attributes: a module __getattr__, or a module
    subclass with properties, is honoured like any other lookup."""
    class Computed(types.ModuleType):
        @property
        def shrink_scale(self):
            return 0.5

    computed = Computed("state")
    computed.__getattr__ = lambda name: 2.0 if name == "pdf_scale_ratio" else None
    monkeypatch.setattr(pdf_module, "state", computed)
    preview = ImageControl()
    with contextlib.redirect_stdout(io.StringIO()) as out:
        pdf_module.update_image_position(Field("25.4"), Field(""), preview, Field("s.png"))
    assert (preview.left, preview.top) == (72.0, 0.0)
    assert "表示: 1.0000px/pt" in out.getvalue()
