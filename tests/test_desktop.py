import ctypes
import json
import os
import shutil
import subprocess
import sys
import time

import fitz
import pytest
from PIL import Image, ImageChops, ImageFilter, ImageGrab

from stamping import make_document

PAGE_COLOUR, STAMP_COLOUR = (30, 160, 90), (255, 0, 255)
TOL = 2  # pixels: edges are anti-aliased and fit into whole pixels
# flet's client hangs under a preloaded sanitizer runtime: it starts without it
LAUNCHER = """
import flet_desktop
locate = vars(flet_desktop)["__locate_and_unpack_flet_view"]
def without_preload(*args, **kwargs):
    args, env, pid_file = locate(*args, **kwargs)
    env.pop("LD_PRELOAD", None)
    return args, env, pid_file
vars(flet_desktop)["__locate_and_unpack_flet_view"] = without_preload
from pdf_stamp.window import app
app.main()
"""


@pytest.fixture
def launch(tmp_path):  # starts windows on a fresh X server
    if shutil.which("Xvfb") is None:
        pytest.skip("Xvfb is not installed (`make desktop-deps` installs it when run as root)")
    with subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1280x1024x24",
                           "-nolisten", "tcp"], stdout=subprocess.PIPE) as server:
        display = ":" + server.stdout.readline().decode().strip()  # once it accepts clients
        windows = []
        yield lambda *args: windows.append(Window(display, tmp_path, *args)) or windows[-1]
        for window in windows:
            window.close()
        server.kill()


def make_files(tmp_path, page=(400, 250), settings=None):  # page.pdf at 1 px: 1 pt, stamp.png
    Image.new("RGB", page, PAGE_COLOUR).save(tmp_path / "page.pdf", resolution=72)
    Image.new("RGB", (100, 50), STAMP_COLOUR).save(tmp_path / "stamp.png")  # 100 x 50 pt
    path = tmp_path / "config" / "pdf-stamp" / "settings.json"
    if settings is not None:
        path.parent.mkdir(parents=True)
        path.write_text(settings if isinstance(settings, str) else json.dumps(settings))
    return path


class Window:
    # The app's process, driven by XTest; X ids, atoms, keysyms fit ctypes' default int.

    def __init__(self, display, cwd, *args):
        self.x11, self.xtst = ctypes.CDLL("libX11.so.6"), ctypes.CDLL("libXtst.so.6")
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.x11.XKeysymToKeycode.restype = ctypes.c_ubyte
        self.dpy = ctypes.c_void_p(self.x11.XOpenDisplay(display.encode()))
        assert self.dpy.value, f"cannot open display {display}"
        self.name, self.log = display, cwd / "window.log"
        with open(self.log, "ab") as log:  # a restarted window adds to the same log
            self.process = subprocess.Popen(
                [sys.executable, "-c", LAUNCHER, *args], cwd=cwd, stdin=subprocess.DEVNULL,
                stdout=log, stderr=subprocess.STDOUT,
                env=dict(os.environ, DISPLAY=display, XDG_CONFIG_HOME=str(cwd / "config"), TMPDIR=str(cwd)))

    def shot(self):
        picture = ImageGrab.grab(xdisplay=self.name).convert("RGB")
        picture.save(self.log.with_suffix(".png"))  # the last one, for a failure
        return picture

    def wait_until(self, shown):  # until `shown(shot)` holds twice in a row: (shot, its value)
        deadline, streak = time.monotonic() + 120, 0
        while streak < 2:
            time.sleep(0.5)
            assert self.process.poll() is None and time.monotonic() < deadline, self.log.read_text()
            picture = self.shot()
            streak = streak + 1 if (found := shown(picture)) else 0
        return picture, found

    def ask_to_close(self):  # a title bar's WM_DELETE_WINDOW, to the window under the pointer
        out = [ctypes.c_ulong() for _ in range(7)]  # root, child, coordinates, mask
        root = self.x11.XDefaultRootWindow(self.dpy)
        self.x11.XQueryPointer(self.dpy, root, *map(ctypes.byref, out))
        protocols, delete = (self.x11.XInternAtom(self.dpy, name, 0)
                             for name in (b"WM_PROTOCOLS", b"WM_DELETE_WINDOW"))
        # XClientMessageEvent: type, serial, send_event, display, window, type, format, data
        event = (ctypes.c_long * 24)(33, 0, 0, 0, out[1].value, protocols, 32, delete)
        self.x11.XSendEvent(self.dpy, out[1], 0, 0, ctypes.byref(event))
        self.x11.XFlush(self.dpy)

    def press(self, *keys):  # key names, chords ("Alt_L+Right") or (x, y) to click; 300 ms apart
        for key in keys:
            if isinstance(key, tuple):
                self.move(key)
                events = [(self.xtst.XTestFakeButtonEvent, 1)]
            else:
                events = [(self.xtst.XTestFakeKeyEvent,
                           self.x11.XKeysymToKeycode(self.dpy, self.x11.XStringToKeysym(name.encode())))
                          for name in key.split("+")]
            for fake, code in events:
                fake(self.dpy, code, 1, 300)
            for fake, code in reversed(events):
                fake(self.dpy, code, 0, 0)
        self.x11.XFlush(self.dpy)

    def move(self, point, delay=0):
        self.xtst.XTestFakeMotionEvent(self.dpy, -1, *map(round, point), delay)
        self.x11.XFlush(self.dpy)

    def drag(self, start, distance, steps=20):  # press at `start`, move by `distance`, let go
        self.move(start)
        self.xtst.XTestFakeButtonEvent(self.dpy, 1, 1, 300)
        for step in range(1, steps + 1):
            self.move([s + d * step / steps for s, d in zip(start, distance)], 40)
        self.xtst.XTestFakeButtonEvent(self.dpy, 1, 0, 300)
        self.x11.XFlush(self.dpy)

    def close(self):
        self.x11.XCloseDisplay(self.dpy)
        self.process.kill()  # the flet client ends with the X server
        self.process.wait()

    def quit(self):  # closing asks first; "はい", the first button, ends the window
        self.ask_to_close()
        self.wait_until(lambda shot: not page_and_stamp(shot))
        self.press("Tab", "Return")
        assert self.process.wait(timeout=30) == 0


def mask(picture, colour, tolerance=8):  # 255 where every band is within `tolerance`
    off = ImageChops.difference(picture, Image.new("RGB", picture.size, colour))
    return off.point(lambda v: 255 * (v > tolerance)).convert("L").point(lambda v: 255 * (v == 0))


def page_and_stamp(picture):  # the page preview's box and the stamp's box on it, or None
    page_box = mask(picture, PAGE_COLOUR).getbbox()
    stamp_box = page_box and mask(picture, STAMP_COLOUR).crop(page_box).getbbox()
    return stamp_box and (page_box, stamp_box)


def output_button(picture):  # the filled button's centre: only it is a solid area of its colour
    left, top, right, bottom = mask(picture, (54, 97, 142), tolerance=4).filter(ImageFilter.MinFilter(9)).getbbox()
    return (left + right) // 2, (top + bottom) // 2


def current(tmp_path):  # the chosen mark's values the window keeps for its next start
    path = tmp_path / "config" / "pdf-stamp" / "settings.json"
    kept = json.loads(path.read_text(encoding="utf-8"))["current"] if path.exists() else None
    return kept["marks"][kept["chosen"]] if kept else {}


def behind_dialog(picture, colour):  # the colour only as a dialog's barrier dims it
    return not mask(picture, colour).getbbox() and mask(picture, tuple(round(c * 0.457) for c in colour)).getbbox()


def stamp_pt(x_mm, y_mm, size_pt):  # the stamp's box in points, from the fields' millimetres
    x, y = (float(mm) / 25.4 * 72 for mm in (x_mm, y_mm))
    return [x, y, x + size_pt[0], y + size_pt[1]]


def test_drag_nudge_anchor_and_restart(launch, tmp_path):  # 1.25 preview pixels per point
    make_files(tmp_path)
    window = launch("--pdf", "page.pdf", "--image", "stamp.png", "--x", "20", "--y", "10")
    picture, (page_box, stamp_box) = window.wait_until(page_and_stamp)
    assert stamp_box == pytest.approx([v * 1.25 for v in stamp_pt(20, 10, (100, 50))], abs=TOL)

    # A drag that starts on the stamp moves it; on release X and Y get one decimal.
    centre = (page_box[0] + (stamp_box[0] + stamp_box[2]) / 2, page_box[1] + (stamp_box[1] + stamp_box[3]) / 2)
    window.drag(centre, (100, 60))
    _, (_, dragged) = window.wait_until(
        lambda shot: (found := page_and_stamp(shot)) and found[1] != stamp_box
        and current(tmp_path).get("x", "20") != "20" and found)
    x_mm, y_mm = current(tmp_path)["x"], current(tmp_path)["y"]
    assert [len(x_mm.split(".")[1]), len(y_mm.split(".")[1])] == [1, 1]
    moved_px = [(float(x_mm) - 20) / 25.4 * 72 * 1.25, (float(y_mm) - 10) / 25.4 * 72 * 1.25]
    assert moved_px == pytest.approx([100, 60], abs=8)  # the pointer's way, less the slop and a late step
    assert dragged == pytest.approx([v * 1.25 for v in stamp_pt(x_mm, y_mm, (100, 50))], abs=TOL)

    # Alt+arrow moves it by 0.5 mm, Alt+Shift+arrow by 5 mm.
    window.press("Alt_L+Right", "Alt_L+Shift_L+Down")
    window.wait_until(lambda shot: current(tmp_path)["y"] != y_mm and page_and_stamp(shot))
    assert [current(tmp_path)["x"], current(tmp_path)["y"]] == [f"{float(x_mm) + 0.5:.1f}", f"{float(y_mm) + 5:.1f}"]
    x_mm, y_mm = current(tmp_path)["x"], current(tmp_path)["y"]

    # The written stamp sits where the fields say.
    picture, (page_box, stamp_box) = window.wait_until(page_and_stamp)
    assert stamp_box == pytest.approx([v * 1.25 for v in stamp_pt(x_mm, y_mm, (100, 50))], abs=TOL)
    window.press(output_button(picture))
    window.wait_until(lambda shot: not page_and_stamp(shot))
    _, stamped = fitz.open(tmp_path / "page_stamped.pdf")[0].get_image_info()
    assert list(stamped["bbox"]) == pytest.approx(stamp_pt(x_mm, y_mm, (100, 50)), abs=0.01)
    window.press("Escape")

    # The bottom-right cell of the anchor grid puts it 10 mm (35.4 px) from those edges.
    picture, _ = window.wait_until(page_and_stamp)
    grid = mask(picture, (120, 144, 156), tolerance=2).getbbox()  # the cells' borders
    corner = [500 - 10 / 25.4 * 72 * 1.25, 312.5 - 10 / 25.4 * 72 * 1.25]  # of the 400 x 250 page
    window.press((grid[2] - 11, grid[3] - 11))
    _, (_, anchored) = window.wait_until(
        lambda shot: (found := page_and_stamp(shot)) and found[1][2:] == pytest.approx(corner, abs=TOL) and found)
    assert current(tmp_path)["anchor"] == "bottom-right"

    # Closed and opened again with the PDF alone: the image and its place come back.
    window.quit()
    window = launch("--pdf", "page.pdf")
    _, (_, restored) = window.wait_until(page_and_stamp)
    assert restored == pytest.approx(anchored, abs=TOL)
    window.quit()


def test_a_damaged_settings_file_several_pdfs_and_a_locked_one(launch, tmp_path):
    settings = make_files(tmp_path, page=(300, 600), settings='{"current": {"x": "1"')  # cut short
    (tmp_path / "c.pdf").write_bytes(b"%PDF-1.7\nbroken\n")
    window = launch("--pdf", "page.pdf", "c.pdf", "--image", "stamp.png", "--x", "0", "--y", "0")

    # The damaged file is set aside, said so in a dialog, and the window starts with defaults.
    window.wait_until(lambda shot: behind_dialog(shot, PAGE_COLOUR))
    assert (settings.parent / "settings.damaged.json").read_text() == '{"current": {"x": "1"'
    assert "settings.damaged.json として残し" in window.log.read_text()
    window.press("Escape")

    # The portrait page is reduced to 500 px high.
    picture, (page_box, stamp_box) = window.wait_until(page_and_stamp)
    assert [*picture.crop(page_box).size, *stamp_box] == pytest.approx([250, 500, 0, 0, 250 / 3, 125 / 3], abs=TOL)

    # "PDF出力" saves page_stamped.pdf in the working folder, not the broken c.pdf; its report
    # dims the window.
    window.press(output_button(picture))
    window.wait_until(lambda shot: not page_and_stamp(shot))  # a dialog's barrier covers it
    page, stamped = fitz.open(tmp_path / "page_stamped.pdf")[0].get_image_info()
    assert [*page["bbox"], *stamped["bbox"]] == pytest.approx([0, 0, 300, 600, 0, 0, 100, 50], abs=0.5)
    assert not (tmp_path / "c_stamped.pdf").exists()
    window.press("Escape")
    window.wait_until(page_and_stamp)

    # One that needs a password, typed into the path field: the safety check says so as soon as
    # it is chosen, and the previous page goes.
    make_document(tmp_path / "locked.pdf", encryption=fitz.PDF_ENCRYPT_AES_256, user_pw="u", owner_pw="o")
    window.press((150, page_box[1] + 50), "Control_L+a", *"locked", "period", *"pdf", "Return")
    window.wait_until(lambda shot: "locked.pdf はパスワードで保護されています" in window.log.read_text()
                      and not page_and_stamp(shot))  # a dialog's barrier covers it
    window.press("Escape")
    window.wait_until(  # where the page was, the empty preview's grey alone
        lambda shot: mask(shot.crop(page_box), (238, 238, 238)).getbbox() == (0, 0, 250, 500))


def test_progress_during_a_large_save_and_a_see_through_seal(launch, tmp_path):
    doc = fitz.open()
    page = doc.new_page(width=400, height=250)
    page.draw_rect(page.rect, color=None, fill=[c / 255 for c in PAGE_COLOUR])
    while doc.page_count < 3000:  # doubled by copies: quick to make, slow to save
        doc.insert_pdf(fitz.open("pdf", doc.tobytes()), to_page=min(doc.page_count, 3000 - doc.page_count) - 1)
    doc.save(tmp_path / "big.pdf")
    make_files(tmp_path, settings={"version": 1, "current": {"opacity": 0.5, "pages": "all", "x": "20", "y": "10"}})
    window = launch("--pdf", "big.pdf", "--image", "stamp.png")

    half = tuple(round((p + s) / 2) for p, s in zip(PAGE_COLOUR, STAMP_COLOUR))
    picture, (page_box, seal_box) = window.wait_until(
        lambda shot: (box := mask(shot, PAGE_COLOUR).getbbox()) and (box, mask(shot.crop(box), half).getbbox()))
    assert seal_box == pytest.approx([v * 1.25 for v in stamp_pt(20, 10, (100, 50))], abs=TOL)

    # A click on the opacity slider's track (no drag) changes the preview; the output follows it.
    track = mask(picture.crop((0, 0, page_box[0], 1024)), (144, 164, 174), tolerance=10).getbbox()  # up to the knob
    window.press((track[0] + 4, (track[1] + track[3]) / 2))
    window.move((1270, 1000))
    inside = (page_box[0] + seal_box[0] + 4, page_box[1] + seal_box[1] + 4)
    picture, shown = window.wait_until(
        lambda shot: (colour := shot.getpixel(inside)) != shot.getpixel((inside[0] - 8, inside[1]))
        and max(abs(a - b) for a, b in zip(colour, half)) > 20 and colour)
    window.press(output_button(picture))
    ring = (245, 124, 0)
    picture, _ = window.wait_until(lambda shot: mask(shot, ring).getbbox())
    assert not mask(picture, (54, 97, 142), tolerance=4).filter(ImageFilter.MinFilter(9)).getbbox()  # disabled
    turns, deadline = [], time.monotonic() + 120
    while (turn := mask(window.shot(), ring)).getbbox() and time.monotonic() < deadline:
        turns.append(turn)  # until the save is done
    changes = sum(bool(ImageChops.difference(a, b).getbbox()) for a, b in zip(turns, turns[1:]))
    assert changes >= 2, f"the ring stood still: {changes} changes in {len(turns)} screenshots"
    window.wait_until(lambda shot: not mask(shot, ring).getbbox() and behind_dialog(shot, PAGE_COLOUR))
    result = fitz.open(tmp_path / "big_stamped.pdf")
    assert [len(result[n].get_image_info()) for n in (0, 999)] == [1, 1]
    x, y = (v + 2 for v in stamp_pt(20, 10, (100, 50))[:2])
    assert result[0].get_pixmap().pixel(round(x), round(y)) == pytest.approx(shown, abs=8)

    # Terminated during the next output, the window cleans up what it holds and says so.
    window.press("Escape")
    window.move((1270, 1000))  # off the button: no hover colour
    window.press(output_button(window.wait_until(lambda shot: mask(shot, PAGE_COLOUR).getbbox())[0]))
    window.wait_until(lambda shot: mask(shot, ring).getbbox())
    window.process.terminate()
    assert window.process.wait(timeout=60) == 143
    assert not list(tmp_path.glob("*pdf-stamp-*")), os.listdir(tmp_path)
