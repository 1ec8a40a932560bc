import builtins
import contextlib
import ctypes
import inspect
import io
import subprocess
import sys
import traceback
import types
import weakref

import pytest

import pdf_module
from conftest import Field, ImageControl, module_entry, run_python

FUNCTIONS = ["mm_to_pt", "select_image", "select_pdf", "format_mm_value", "update_image_size",
             "update_image_sizeb", "scale_image_to_pdf", "generate_resized_base64_image",
             "update_image_position", "on_page_number_change", "select_directory",
             "get_unique_filename", "show_dialog", "confirm_exit", "process_pdf"]


def test_namespace_and_functions_after_import():
    import base64, fitz, flet, os  # noqa: E401
    from PIL import Image
    values = {n: v for n, v in vars(pdf_module).items() if not n.startswith("__")}
    assert list(values) == ["fitz", "Image", "os", "io", "ft", "base64", "state", "pdf_page_width_pt",
                            "pdf_page_height_pt", "original_width", "original_height", *FUNCTIONS]
    assert list(values.values())[:6] + [repr(v) for v in list(values.values())[7:11]] == [
        fitz, Image, os, io, flet, base64] + ["0"] * 4
    assert (pdf_module.__test__, pdf_module.__doc__, pdf_module.__builtins__) == ({}, None, builtins)
    functions = [values[n] for n in FUNCTIONS]   # weak references and signatures work as on builtins
    assert {(f.__name__, f.__qualname__, f.__module__, type(f), hasattr(f, "__text_signature__"),
             weakref.ref(f)() is f) for f in functions} == {
        (n, n, "pdf_module", type(pdf_module.mm_to_pt), False, True) for n in FUNCTIONS}
    assert (str(inspect.signature(values["format_mm_value"])), str(inspect.signature(
        values["get_unique_filename"])), values["format_mm_value"].__doc__) == (
        "(val: 'float') -> 'str'", "(directory, base_name)", None)


def test_a_daemon_thread_inside_a_function_at_exit_ends_cleanly(tmp_path):
    code = STATE_SETUP + f"""
import threading, time, pdf_module
def spin():
    while True:   # asks the file system, so the GIL changes hands inside the call
        pdf_module.get_unique_filename({str(tmp_path)!r}, "x.pdf")
threading.Thread(target=spin, daemon=True).start()
time.sleep(0.2)
"""
    assert [run_python(code, check=False).returncode for _ in range(5)] == [0] * 5


def vectorcall(function, *args, kwnames):   # as C code calls: keyword names passed as they are
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype, call.argtypes = ctypes.py_object, [
        ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    return call(function, (ctypes.py_object * len(args))(*args), len(args) - len(kwnames), kwnames)


@pytest.mark.parametrize("call, message", [
    (lambda: pdf_module.show_dialog(1, 2, 3), "show_dialog() takes exactly 2 positional arguments (3 given)"),
    (lambda: pdf_module.scale_image_to_pdf(1, image_height_mm=2, pdf_height_mm=3, x=4), "scale_image_to_pdf() takes exactly 4 positional arguments (2 given)"),
    (lambda: pdf_module.mm_to_pt(1, mm=2), "mm_to_pt() got multiple values for keyword argument 'mm'"),
    (lambda: pdf_module.get_unique_filename("d", base_name="b", zz=1, directory="d"), "get_unique_filename() got an unexpected keyword argument 'zz'"),
    (lambda: pdf_module.get_unique_filename("d", base_name="b", directory="d", zz=1), "get_unique_filename() got multiple values for keyword argument 'directory'"),
    (lambda: pdf_module.format_mm_value("2.5"), "must be real number, not str"),
    (lambda: vectorcall(pdf_module.mm_to_pt, 1.0, 2.0, kwnames=(7,)), "mm_to_pt() keywords must be strings"),
    (lambda: pdf_module.mm_to_pt(mm=25.4), 72.0),
    (lambda: pdf_module.scale_image_to_pdf(100, pdf_height_mm=297, image_height_mm=50, pdf_width_mm=210), (100, 50)),
])
def test_binding(call, message):   # the TypeError's text, or the result when bound
    with pytest.raises(TypeError) if isinstance(message, str) else contextlib.nullcontext() as excinfo:
        assert call() == message
    if isinstance(message, str):
        name = message.split("(")[0]
        assert (str(excinfo.value), module_entry(excinfo)[0]) == (
            message, f"pdf_module.{name if name in FUNCTIONS else 'format_mm_value'}")


def test_inner_handlers_are_module_functions(page):
    pdf_module.confirm_exit(page)
    yes, no = (button.on_click for button in page.dialog.actions)
    assert (yes.__name__, yes.__qualname__, yes.__module__, yes.__doc__, no.__qualname__, type(yes)) == (
        "on_yes", "confirm_exit.<locals>.on_yes", "pdf_module", None, "confirm_exit.<locals>.on_no",
        type(pdf_module.confirm_exit))
    with pytest.raises(TypeError, match=r"^on_no\(\) takes exactly 1 positional argument \(2 given\)$") as excinfo:
        no(1, 2)
    assert module_entry(excinfo) == ("pdf_module.confirm_exit.on_no", 360)


@pytest.mark.parametrize("through_python", [True, False])   # or only the module's guard stops it
def test_deep_recursion_through_the_namespace_is_an_error_not_a_crash(monkeypatch, page,
                                                                     through_python):
    text = (lambda value: pdf_module.confirm_exit(page)) if through_python else pdf_module.confirm_exit
    monkeypatch.setattr(pdf_module, "ft", types.SimpleNamespace(AlertDialog=None, Text=text))
    with pytest.raises(RecursionError):
        pdf_module.confirm_exit(page)


STATE_SETUP = "import sys, types; sys.modules['state'] = types.ModuleType('state')\n"

def test_import_prints_nothing_and_warns_only_off_3_12():
    on_3_12 = sys.version_info[:2] == (3, 12)
    result = run_python(STATE_SETUP + "import pdf_module", env={"PYTHONWARNINGS": "error"}, check=on_3_12)
    assert (result.stdout, result.stderr.splitlines()[-1:]) == ("", [] if on_3_12 else [
        "RuntimeWarning: compile time Python version 3.12 of module 'pdf_module' does not match "
        "runtime version %d.%d" % sys.version_info[:2]])


def test_a_second_module_object_a_second_import_and_a_second_interpreter(tmp_path):
    out = tmp_path / "sub.txt"
    legacy = ("import _xxsubinterpreters as interpreters\n"
              "interp = interpreters.create(isolated=False)" if sys.version_info < (3, 13) else
              "import _interpreters as interpreters\ninterp = interpreters.create('legacy')")
    result = run_python(STATE_SETUP + f"""
import importlib.util
spec = importlib.util.find_spec("pdf_module")
m1, m2 = importlib.util.module_from_spec(spec), importlib.util.module_from_spec(spec)
spec.loader.exec_module(m1)
spec.loader.exec_module(m1)
try:
    spec.loader.exec_module(m2)
except RuntimeError as exc:
    print(exc)
import pdf_module
m1.fitz = "rebound"
del sys.modules["pdf_module"]
import pdf_module
{legacy}
interpreters.run_string(interp, '''
try:
    import pdf_module
except ImportError as exc:
    open({str(out)!r}, "w").write(str(exc))
''')
interpreters.destroy(interp)
print(pdf_module is m1, pdf_module.fitz, pdf_module.mm_to_pt(25.4))   # the first still works
""")
    assert result.stdout.splitlines() + [out.read_text()] == [
        "Module 'pdf_module' has already been imported. Re-initialisation is not supported.",
        "True rebound 72.0",
        "Interpreter change detected - this module can only be loaded into one interpreter per process."]


def test_only_the_init_function_is_exported():
    symbols = subprocess.run(["nm", "-D", "--defined-only", pdf_module.__file__], capture_output=True,
                             text=True)
    if symbols.returncode != 0:
        pytest.skip("nm is not available")
    assert {line.split()[-1] for line in symbols.stdout.splitlines() if " T " in line} == {"PyInit_pdf_module"}


def test_host_module_attributes_resolve_as_in_python(monkeypatch, state):
    computed = type("Computed", (types.ModuleType,), {"shrink_scale": property(lambda self: 0.5)})("state")
    computed.__getattr__ = lambda name: 2.0 if name == "pdf_scale_ratio" else None
    monkeypatch.setattr(pdf_module, "state", computed)
    preview = ImageControl()
    with contextlib.redirect_stdout(io.StringIO()) as out:
        pdf_module.update_image_position(Field("25.4"), Field(""), preview, Field("s.png"))
    assert (preview.left, preview.top, "表示: 1.0000px/pt" in out.getvalue()) == (72.0, 0.0, True)


@pytest.mark.parametrize("broken", ["print", "range", "ValueError", "round", "state", "Image"])
def test_a_retry_after_a_failed_import_is_as_good_as_a_first_import(tmp_path, broken):
    result = run_python(f"""
import builtins, sys, traceback, types
import fitz
write = sys.stdout.write
doc = fitz.open(); doc.new_page(); doc.save({str(tmp_path / "one.pdf")!r})
if {broken!r} != "state":
    sys.modules["state"] = types.ModuleType("state")
if {broken!r} == "Image":
    sys.modules["PIL"] = types.ModuleType("PIL")   # a PIL without Image, nor PIL.Image in the registry
elif {broken!r} != "state":
    saved = getattr(builtins, {broken!r})
    delattr(builtins, {broken!r})
try:
    import pdf_module
except Exception as exc:
    error = exc
if {broken!r} == "state":
    sys.modules["state"] = types.ModuleType("state")
elif {broken!r} == "Image":   # from now on only the registry has it
    del sys.modules["PIL"]
    import PIL.Image
    sys.modules["PIL"] = types.ModuleType("PIL")
else:
    setattr(builtins, {broken!r}, saved)   # before the traceback module needs it
line = [e.lineno for e in traceback.extract_tb(error.__traceback__) if e.filename == "pdf_module.py"]
write(f"{{type(error).__name__}}: {{error}} {{line[-1:]}} {{'pdf_module' in sys.modules}}\\n")
real_round = builtins.round
builtins.round = lambda x, n: ("R", real_round(x, n))
import pdf_module
builtins.round = real_round
write(f"{{pdf_module.state is sys.modules['state'] and pdf_module.Image is sys.modules['PIL.Image']}}\\n")

Field = lambda value: types.SimpleNamespace(value=value, update=lambda: None)
pdf_module.update_image_position(Field(""), Field(""), None, Field(""))           # print
pdf_module.update_image_position(Field("abc"), Field(""), None, Field("s.png"))   # except ValueError
pdf_module.show_dialog = lambda page, message: print("dialog:", message.split(":")[0])
pdf_module.process_pdf({str(tmp_path / "one.pdf")!r}, "missing.png", "", "1", "1", "5", "5",
                       "", "1", None)                                             # range
print(pdf_module.format_mm_value(12.345), pdf_module.scale_image_to_pdf(100, 50, 210, 297))  # round
""")
    first = {"state": "ModuleNotFoundError: No module named 'state' [7] False",
             "Image": "ImportError: cannot import name Image [2] False"}.get(
        broken, f"NameError: name '{broken}' is not defined [1] False")
    lines = result.stdout.splitlines()
    assert lines[:4] + lines[5:] == [first, "True", "[INFO] Imageが指定されていません。",
                                     "[ERROR] 数値変換失敗（xまたはy入力が不正）",
                                     "dialog: 【ERROR】ページ 1 への画像挿入に失敗",
                                     "('R', 12.35) (('R', 100), ('R', 50))"]   # even whole numbers
    assert lines[4].startswith("DEBUG: Inserting image at Rect(") and lines[4].endswith(" on page 1")


@pytest.mark.parametrize("setup, cleanup", [
    ("sys.modules['builtins'] = types.ModuleType('builtins')", "sys.modules['builtins'] = real"),
    ("del sys.modules['builtins']", "assert 'builtins' not in sys.modules; sys.modules['builtins'] = real"),
])
def test_the_builtins_are_the_interpreters_own_whatever_sys_modules_holds(setup, cleanup):
    result = run_python(STATE_SETUP + f"""
import builtins as real, gc
import fitz, flet, PIL.Image     # the libraries import from builtins themselves
{setup}
import pdf_module
{cleanup}
pdf_module.__builtins__ = None
gc.collect()
real.os = pdf_module.os
del pdf_module.os          # now found among the builtins
print(pdf_module.get_unique_filename("folder", "x.pdf"), pdf_module.format_mm_value(2.5))
pdf_module.__builtins__ = real
""")
    assert result.stdout.split() == ["folder/x.pdf", "2.5"]


def test_freeing_a_long_chain_of_inner_handlers_does_not_overflow_the_stack():
    result = run_python(STATE_SETUP + """
import pdf_module
made = []

def refuse(**controls):
    raise LookupError    # both handlers exist by now
pdf_module.ft = types.SimpleNamespace(Text=lambda value: value, AlertDialog=refuse,
                                      TextButton=lambda text, on_click: made.append(on_click))
handler = None
for _ in range(300_000):
    try:
        pdf_module.confirm_exit(handler)
    except LookupError:
        pass
    handler = made[0]
    made.clear()
del handler
print("freed")
""")
    assert result.stdout == "freed\n"


def test_a_handler_in_a_generator_leaves_its_handled_exception_alone(capsys):
    def steps():
        yield
        pdf_module.update_image_position(Field("abc"), Field(""), None, Field("s.png"))
        yield
        yield sys.exception()
        try:
            raise KeyError("new")
        except KeyError as exc:
            yield exc.__context__

    g = steps()
    next(g)
    try:
        raise RuntimeError("the caller's")
    except RuntimeError:
        next(g)   # the handler runs in the generator, resumed from this block
    assert (next(g), next(g)) == (None, None)
    assert capsys.readouterr().out == "[ERROR] 数値変換失敗（xまたはy入力が不正）\n"


def test_a_failure_without_an_exception_set_becomes_a_system_error():
    class Slot(ctypes.Structure):
        _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]

    class Spec(ctypes.Structure):
        _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int),
                    ("itemsize", ctypes.c_int), ("flags", ctypes.c_uint),
                    ("slots", ctypes.POINTER(Slot))]

    Py_nb_multiply = 29
    fails_silently = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.py_object)(
        lambda a, b: None)
    slots = (Slot * 2)(Slot(Py_nb_multiply, ctypes.cast(fails_silently, ctypes.c_void_p)))
    from_spec = ctypes.pythonapi.PyType_FromSpec
    from_spec.restype, from_spec.argtypes = ctypes.py_object, [ctypes.POINTER(Spec)]
    SilentProduct = from_spec(ctypes.byref(Spec(b"test.SilentProduct", 0, 0, 0, slots)))
    SilentProduct.keep_alive = fails_silently
    with pytest.raises(SystemError, match="^pdf_module.mm_to_pt: a failure was reported without "
                                          "an exception set$") as excinfo:
        pdf_module.mm_to_pt(SilentProduct())
    assert module_entry(excinfo) == ("pdf_module.mm_to_pt", 18)


def test_cleared_functions_still_print_and_refuse_to_run_even_on_their_short_paths():
    result = run_python(STATE_SETUP + """
import ctypes, pdf_module
get_slot = ctypes.pythonapi.PyType_GetSlot
get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(pdf_module.mm_to_pt), 51))
for f, args in [(pdf_module.mm_to_pt, (10.0,)), (pdf_module.format_mm_value, (12.5,)),
                (pdf_module.scale_image_to_pdf, (1, 1, 2, 2)), (pdf_module.confirm_exit, (None,))]:
    clear(f)
    try:
        f(*args)
    except RuntimeError as exc:
        print(exc, repr(f).startswith(f"<function {f.__name__} at 0x"))
""")
    assert result.stdout.splitlines() == [
        f"{name}() cannot run: the function was cleared True"
        for name in ("mm_to_pt", "format_mm_value", "scale_image_to_pdf", "confirm_exit")]


@pytest.mark.parametrize("call", [lambda f: f(12.345), lambda f: f(val=12.345)],
                         ids=["positional", "keyword"])
def test_a_failed_allocation_is_reported_at_the_statement(call):
    testcapi = pytest.importorskip("_testcapi")
    with pytest.raises(MemoryError) as excinfo:
        try:
            testcapi.set_nomemory(0, 1)  # the next allocation fails: the result text
            call(pdf_module.format_mm_value)
        finally:
            testcapi.remove_mem_hooks()
    entries = [e for e in traceback.extract_tb(excinfo.tb) if e.filename == "pdf_module.py"]
    assert [(e.name, e.lineno) for e in entries] == [("pdf_module.format_mm_value", 124)]


def test_with_binds_enter_and_exit_as_pythons_with_does(monkeypatch):
    exits = []
    picture = types.SimpleNamespace(resize=lambda size: picture if size != (0, 0) else int("empty"),
                                    save=lambda stream, format: stream.write(b"png"))

    class Opened:   # descriptors of their own kinds: bound as `with` binds them
        __enter__ = classmethod(lambda cls: picture)
        __exit__ = staticmethod(lambda *exc_info: exits.append(exc_info[0]))

    monkeypatch.setattr(pdf_module, "Image", types.SimpleNamespace(open=lambda path: Opened()))
    assert pdf_module.generate_resized_base64_image("x.png", 2, 3) == "cG5n"
    with pytest.raises(ValueError, match="'empty'"):
        pdf_module.generate_resized_base64_image("x.png", 0, 0)
    assert exits == [None, ValueError]
