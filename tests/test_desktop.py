"""The desktop window as a person sees it: started under Xvfb with a PDF and a
stamp image, photographed, and checked in the picture for the page preview,
the stamp at its place on it and the stamp's thumbnail; then its output
button is pressed and its close request answered, with the X server's own
input events (there is no window manager)."""

import ctypes
import importlib.util
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import fitz
import pytest
from PIL import Image, ImageChops, ImageGrab

APP = Path(__file__).resolve().parent.parent / "apps" / "desktop" / "main.py"

PAGE_COLOUR = (30, 160, 90)
STAMP_COLOUR = (255, 0, 255)
BUTTON_COLOUR = (54, 97, 142)  # flet's default primary colour
PREVIEW_PX = 500  # the longer side of the page preview
TOLERANCE_PX = 2  # edges are anti-aliased and fit into whole pixels


def require_desktop():
    if shutil.which("Xvfb") is None:
        pytest.skip("Xvfb is not installed (`make desktop-deps` installs it when run as root)")
    assert importlib.util.find_spec("flet_desktop"), "flet's desktop client is missing: run `make desktop-deps`"


@pytest.fixture
def display():
    """A fresh Xvfb server; yields its DISPLAY name."""
    require_desktop()
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
        pass_fds=(write_end,),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    os.close(write_end)
    with os.fdopen(read_end) as ready:
        number = ready.readline().strip()  # written once the server accepts clients
    try:
        assert number, "Xvfb did not start"
        yield f":{number}"
    finally:
        server.terminate()
        server.wait(timeout=10)


class XClientMessage(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
        ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
        ("format", ctypes.c_int), ("data", ctypes.c_long * 5),
    ]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessage), ("pad", ctypes.c_long * 24)]


class X:
    """What a person does to a window without a window manager: ask it to
    close (the message a title bar's close button sends) and press keys."""

    CLIENT_MESSAGE = 33

    def __init__(self, display):
        self.lib = lib = ctypes.CDLL("libX11.so.6")
        self.xtest = ctypes.CDLL("libXtst.so.6")
        lib.XOpenDisplay.restype = ctypes.c_void_p
        lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        lib.XDefaultRootWindow.restype = ctypes.c_ulong
        lib.XInternAtom.restype = ctypes.c_ulong
        lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        lib.XStringToKeysym.restype = ctypes.c_ulong
        lib.XStringToKeysym.argtypes = [ctypes.c_char_p]
        lib.XKeysymToKeycode.restype = ctypes.c_ubyte
        lib.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        for name in ("XDefaultRootWindow", "XFlush", "XFree", "XCloseDisplay"):
            getattr(lib, name).argtypes = [ctypes.c_void_p]
        lib.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_void_p] * 4
        lib.XGetGeometry.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_void_p] * 7
        lib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
        self.xtest.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
        self.xtest.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_ulong]
        self.xtest.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
        self.display = lib.XOpenDisplay(display.encode())
        assert self.display, f"cannot open display {display}"

    def main_window(self):
        """The largest top-level window: the application's (GTK's helper windows are tiny)."""
        lib, ulong, uint, int_ = self.lib, ctypes.c_ulong, ctypes.c_uint, ctypes.c_int
        root, parent, children, count = ulong(), ulong(), ctypes.POINTER(ulong)(), uint()
        lib.XQueryTree(self.display, lib.XDefaultRootWindow(self.display),
                       ctypes.byref(root), ctypes.byref(parent), ctypes.byref(children), ctypes.byref(count))
        sizes = {}
        for window in children[: count.value]:
            geometry = [ulong(), int_(), int_(), uint(), uint(), uint(), uint()]
            lib.XGetGeometry(self.display, window, *map(ctypes.byref, geometry))
            sizes[window] = geometry[3].value * geometry[4].value
        lib.XFree(children)
        return max(sizes, key=sizes.get)

    def ask_to_close(self):
        window = self.main_window()
        event = XEvent()
        event.xclient.type = self.CLIENT_MESSAGE
        event.xclient.window = window
        event.xclient.message_type = self.lib.XInternAtom(self.display, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.data[0] = self.lib.XInternAtom(self.display, b"WM_DELETE_WINDOW", 0)
        self.lib.XSendEvent(self.display, window, 0, 0, ctypes.byref(event))
        self.lib.XFlush(self.display)

    def press(self, *keys):
        for key in keys:
            code = self.lib.XKeysymToKeycode(self.display, self.lib.XStringToKeysym(key.encode()))
            self.xtest.XTestFakeKeyEvent(self.display, code, 1, 0)
            self.xtest.XTestFakeKeyEvent(self.display, code, 0, 0)
            self.lib.XFlush(self.display)
            time.sleep(0.3)

    def click(self, x, y):
        self.xtest.XTestFakeMotionEvent(self.display, -1, x, y, 0)
        self.lib.XFlush(self.display)
        time.sleep(0.3)
        for pressed in (1, 0):
            self.xtest.XTestFakeButtonEvent(self.display, 1, pressed, 0)
            self.lib.XFlush(self.display)
            time.sleep(0.1)

    def close(self):
        self.lib.XCloseDisplay(self.display)


# Under the sanitizer run the sanitizer runtime is preloaded into Python;
# the flet client (a Flutter program) hangs with it, so there the program is
# started through a launcher that drops it from what the client inherits.
LAUNCHER = (
    "import os, runpy, sys; os.environ.pop('LD_PRELOAD'); del sys.argv[0]; "
    "sys.path.insert(0, os.path.dirname(sys.argv[0])); runpy.run_path(sys.argv[0], run_name='__main__')"
)


def program(*args):
    if "LD_PRELOAD" in os.environ:
        return [sys.executable, "-c", LAUNCHER, str(APP), *args]
    return [sys.executable, str(APP), *args]


class Window:
    """The application started as a program, in its own process group (the
    flet client runs as a child of the Python process)."""

    def __init__(self, display, cwd, *args):
        self.display = display
        self.log = cwd / "window.log"
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(
                program(*args),
                cwd=cwd,
                env=dict(os.environ, DISPLAY=display),
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
                start_new_session=True,
            )

    def screenshot(self):
        return ImageGrab.grab(xdisplay=self.display).convert("RGB")

    def wait_until(self, shown, timeout=120):
        """Screenshots until `shown(picture)` holds twice in a row, so the
        window has settled; returns the last picture."""
        deadline = time.monotonic() + timeout
        settled = False
        while time.monotonic() < deadline:
            assert self.process.poll() is None, f"the window ended early:\n{self.log.read_text()}"
            picture = self.screenshot()
            if shown(picture):
                if settled:
                    return picture
                settled = True
            else:
                settled = False
            time.sleep(0.5)
        picture.save(self.log.with_suffix(".png"))
        raise AssertionError(f"the window did not show what was expected:\n{self.log.read_text()}")

    def wait_for_exit(self, timeout=30):
        return self.process.wait(timeout=timeout)

    def close(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait(timeout=10)


@pytest.fixture
def start_window(display, tmp_path):
    windows = []

    def start(*args):
        windows.append(Window(display, tmp_path, *args))
        return windows[-1]

    yield start
    for window in windows:
        window.close()


def colour_mask(picture, colour, tolerance=8):
    """A mask (255 where the pixel is within `tolerance` of `colour` in every band)."""
    bands = [
        band.point(lambda v, c=c: 255 if abs(v - c) <= tolerance else 0)
        for band, c in zip(picture.split(), colour)
    ]
    return ImageChops.multiply(ImageChops.multiply(bands[0], bands[1]), bands[2])


def coverage(mask, box):
    """The share of the pixels in `box` that the mask holds, inset by the tolerance."""
    left, top, right, bottom = box
    inner = (left + TOLERANCE_PX, top + TOLERANCE_PX, right - TOLERANCE_PX, bottom - TOLERANCE_PX)
    area = (inner[2] - inner[0]) * (inner[3] - inner[1])
    return mask.crop(inner).histogram()[255] / area


def page_and_stamp(picture):
    """The boxes of the page preview and of the stamp inside it, or None."""
    page_box = colour_mask(picture, PAGE_COLOUR).getbbox()
    if page_box is None:
        return None
    stamp_box = colour_mask(picture, STAMP_COLOUR).crop(page_box).getbbox()
    if stamp_box is None:
        return None
    return page_box, tuple(v + page_box[i % 2] for i, v in enumerate(stamp_box))


def output_button(picture):
    """The centre of the filled output button: the only wide patch of the
    theme's primary colour (the other buttons carry it in small icons only)."""
    mask = colour_mask(picture, BUTTON_COLOUR, tolerance=4)
    width, height = mask.size
    rows = [y for y in range(height) if mask.crop((0, y, width, y + 1)).histogram()[255] >= 50]
    assert rows, "no output button in the window"
    left, _, right, _ = mask.crop((0, rows[0], width, rows[-1] + 1)).getbbox()
    return (left + right) // 2, (rows[0] + rows[-1]) // 2


def dimmed(picture):
    """True while a dialog's barrier covers the page preview."""
    return colour_mask(picture, PAGE_COLOUR).getbbox() is None


def make_pdf(path, width_pt, height_pt):
    doc = fitz.open()
    page = doc.new_page(width=width_pt, height=height_pt)
    page.draw_rect(page.rect, color=None, fill=[c / 255 for c in PAGE_COLOUR])
    doc.save(path)
    doc.close()


def make_stamp(path, width_px, height_px, dpi):
    Image.new("RGB", (width_px, height_px), STAMP_COLOUR).save(path, dpi=(dpi, dpi))


def preview_px(mm, page_size_pt):
    """Millimetres on the page as pixels of the page preview."""
    return mm / 25.4 * 72 * min(PREVIEW_PX / page_size_pt[0], PREVIEW_PX / page_size_pt[1])


@pytest.mark.parametrize(
    "page_pt, stamp_px, dpi, x_mm, y_mm",
    [
        ((400, 250), (100, 50), 72, 20, 10),  # landscape: enlarged to 500 px wide
        ((300, 600), (120, 120), 144, 50, 120),  # portrait: reduced to 500 px high
        ((612, 792), (300, 60), 72, 0, 0),  # Letter, stamp in the top-left corner
    ],
)
def test_window_shows_the_page_with_the_stamp_at_its_position(start_window, tmp_path, page_pt, stamp_px, dpi, x_mm, y_mm):
    make_pdf(tmp_path / "page.pdf", *page_pt)
    make_stamp(tmp_path / "stamp.png", *stamp_px, dpi)
    window = start_window(
        "--pdf", str(tmp_path / "page.pdf"), "--image", str(tmp_path / "stamp.png"),
        "--x", str(x_mm), "--y", str(y_mm),
    )
    picture = window.wait_until(lambda p: page_and_stamp(p) is not None)
    page_box, stamp_box = page_and_stamp(picture)
    picture.save(tmp_path / "window.png")

    expected_page = [preview_px(v * 25.4 / 72, page_pt) for v in page_pt]
    assert page_box[2] - page_box[0] == pytest.approx(expected_page[0], abs=TOLERANCE_PX)
    assert page_box[3] - page_box[1] == pytest.approx(expected_page[1], abs=TOLERANCE_PX)

    stamp_mm = [v / dpi * 25.4 for v in stamp_px]
    left = page_box[0] + preview_px(x_mm, page_pt)
    top = page_box[1] + preview_px(y_mm, page_pt)
    expected_stamp = (
        left, top, left + preview_px(stamp_mm[0], page_pt), top + preview_px(stamp_mm[1], page_pt)
    )
    assert stamp_box == pytest.approx(expected_stamp, abs=TOLERANCE_PX)

    # The stamp is drawn solid over the page, and the page is all page colour
    # around it.
    page_or_stamp = ImageChops.lighter(colour_mask(picture, PAGE_COLOUR), colour_mask(picture, STAMP_COLOUR))
    assert coverage(colour_mask(picture, STAMP_COLOUR), stamp_box) > 0.98
    assert coverage(page_or_stamp, page_box) > 0.98

    # Beside the stamp image's path: a thumbnail of it, inside a 48-pixel box.
    outside = colour_mask(picture, STAMP_COLOUR)
    outside.paste(0, page_box)
    thumbnail = outside.getbbox()
    assert thumbnail is not None
    assert max(thumbnail[2] - thumbnail[0], thumbnail[3] - thumbnail[1]) == pytest.approx(48, abs=TOLERANCE_PX)

    x = X(window.display)
    try:
        # "PDF出力" stamps the page and saves output.pdf in the working folder;
        # the report dialog dims the window until Escape dismisses it.
        x.click(*output_button(picture))
        window.wait_until(dimmed)
        with fitz.open(tmp_path / "output.pdf") as doc:
            (stamped,) = doc[0].get_image_info()
        expected_pt = [mm / 25.4 * 72 for mm in (x_mm, y_mm)]
        expected_pt += [expected_pt[0] + stamp_px[0] / dpi * 72, expected_pt[1] + stamp_px[1] / dpi * 72]
        assert stamped["bbox"] == pytest.approx(expected_pt, abs=0.5)
        x.press("Escape")
        window.wait_until(lambda p: page_and_stamp(p) is not None)

        # Closing asks first: the confirmation dialog dims the window; its
        # second button "いいえ" keeps the window, its first button "はい" ends it.
        x.ask_to_close()
        window.wait_until(dimmed)
        x.press("Tab", "Tab", "Return")
        window.wait_until(lambda p: page_and_stamp(p) is not None)
        x.ask_to_close()
        window.wait_until(dimmed)
        x.press("Tab", "Return")
    finally:
        x.close()
    assert window.wait_for_exit() == 0
