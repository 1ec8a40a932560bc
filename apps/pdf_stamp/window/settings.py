"""The window's per-user settings: the last values, and named presets.

Two JSON files in the user's configuration folder: settings.json holds
`{"version": 2, "current": {...}}`, presets.json `{"version": 2, "presets":
{"承認印 右上": {...}, ...}}`, so a damaged settings file costs no preset. Each
set of values holds a list of marks, the one chosen and the output folder
(DEFAULTS); each mark maps the names of MARK_DEFAULTS to field texts (and the
anchor, opacity, tilt, seal texts and white-to-transparent switch). A set
written before marks came (version 1: one mark's names at the top) is read as
a list of that one mark. A file is replaced atomically on
every save; where the path is a symbolic link, the file it points to is
replaced and the link stays. A file that cannot be read or parsed is set aside
under another name, a value that cannot be used is dropped, each with a
message, and the window starts: nothing in these files can stop it.
An older settings.json that still holds the presets hands them over to
presets.json on the next save.
"""

import json
import math
import os
import tempfile
from pathlib import Path

import platformdirs

from pdf_stamp.i18n import _
from pdf_stamp.placement import ANCHORS
from pdf_stamp.sealdraw import STYLES

APP_NAME = "pdf-stamp"
VERSION = 2
KINDS = ("image", "date_seal", "name_seal")

# One mark's remembered values, and what a new mark starts with.
MARK_DEFAULTS = {
    "kind": "image",
    "image": "",
    "width": "",
    "height": "",
    "x": "0",
    "y": "0",
    "anchor": None,
    "margin": "10",
    "pages": "1",
    "every": "",
    "opacity": 1.0,
    "white_to_transparent": False,
    "rotate": 0,
    "seal_top": "",
    "seal_bottom": "",
    "seal_date": "",  # YYYY-MM-DD; empty: the day of the output
    "seal_style": "western",
    "seal_name": "",
}
# A whole set: the marks, stamped in this order, and the one the fields edit.
DEFAULTS = {"marks": [MARK_DEFAULTS], "chosen": 0, "out_dir": ""}
NUMBER_TEXTS = ("width", "height", "x", "y", "margin")  # "" or a finite number of mm


def label(name):
    """The field's name as the window shows it."""
    return {"image": _("Image file"), "width": _("Width (mm)"), "height": _("Height (mm)"),
            "x": "X (mm)", "y": "Y (mm)", "anchor": _("Anchor"), "margin": _("Margin (mm)"),
            "pages": _("Pages to stamp"), "every": _("Every N pages"), "out_dir": _("Output folder"),
            "opacity": _("Opacity"), "white_to_transparent": _("Make white transparent"),
            "rotate": _("Tilt (°)"), "kind": _("Kind of mark"), "seal_top": _("Top text"),
            "seal_bottom": _("Bottom text"), "seal_date": _("Date"), "seal_style": _("Date style"),
            "seal_name": _("Name"), "marks": _("Marks")}.get(name, name)


def default_path():
    """settings.json in the user's configuration folder (XDG_CONFIG_HOME on Linux)."""
    return platformdirs.user_config_path(APP_NAME) / "settings.json"


def writable_text(text):
    """Whether `text` can be written as UTF-8 (a lone surrogate cannot)."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def usable(name, value):
    """Whether `value` can stand for the mark's setting `name`."""
    default = MARK_DEFAULTS[name]
    if name == "anchor":
        return value is None or value in ANCHORS
    if name == "opacity":
        return (isinstance(value, (int, float)) and not isinstance(value, bool)
                and math.isfinite(value) and 0 <= value <= 1)
    if name == "rotate":
        return type(value) is int and -180 <= value <= 180
    if name == "kind":
        return value in KINDS
    if name == "seal_style":
        return value in STYLES
    if type(value) is not type(default):
        return False
    if isinstance(value, str):
        if not writable_text(value):
            return False
        if name in NUMBER_TEXTS and value.strip():
            try:
                return math.isfinite(float(value))
            except ValueError:
                return False
    return True


def clean_mark(values, dropped):
    """The known, usable values of one mark; defaults for the rest. The names
    of stored values that could not be used are added to `dropped`."""
    values = values if isinstance(values, dict) else {}
    clean = dict(MARK_DEFAULTS)
    for name in MARK_DEFAULTS:
        if name not in values:
            continue
        if usable(name, values[name]):
            clean[name] = float(values[name]) if name == "opacity" else values[name]
        else:
            dropped.append(label(name))
    return clean


def clean_values(values, dropped=None):
    """A whole set of `values` with each mark cleaned (a set of the first
    version, one mark's names at the top, becomes a list of that mark). The
    names of stored values that could not be used are added to `dropped`."""
    values = values if isinstance(values, dict) else {}
    dropped = [] if dropped is None else dropped
    marks = values.get("marks", [values])
    if not isinstance(marks, list) or not marks:
        dropped.append(label("marks"))
        marks = [{}]
    out_dir = values.get("out_dir", "")
    if not (isinstance(out_dir, str) and writable_text(out_dir)):
        dropped.append(label("out_dir"))
        out_dir = ""
    chosen = values.get("chosen", 0)
    if type(chosen) is not int or not 0 <= chosen < len(marks):
        chosen = 0  # which mark was chosen is not worth a message
    return {"marks": [clean_mark(mark, dropped) for mark in marks], "chosen": chosen, "out_dir": out_dir}


def write_json(path, data):
    """Writes `data` atomically: a temporary file in the same folder, flushed to
    disk, then renamed over the old one (the link's target for a link)."""
    target = Path(os.path.realpath(path))
    target.parent.mkdir(parents=True, exist_ok=True)
    fd, temp = tempfile.mkstemp(dir=target.parent, prefix=f".{target.stem}-", suffix=".tmp")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as file:
            json.dump(data, file, ensure_ascii=False, indent=1, sort_keys=True)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temp, target)
    except BaseException:
        os.unlink(temp)
        raise


class Settings:
    """The current values and the presets, tied to their two files."""

    def __init__(self, path=None):
        self.path = Path(path) if path is not None else default_path()
        self.presets_path = self.path.with_name("presets.json")
        self.current = dict(DEFAULTS)
        self.presets = {}  # replaced, never changed in place: readers on other threads
        self.notices = []  # messages for the user about what had to be set aside
        self.hand_over = False  # presets read from an older settings.json

    @property
    def notice(self):
        return "\n".join(self.notices) or None

    @classmethod
    def load(cls, path=None):
        """The settings in `path` and the presets beside it; defaults for what is
        missing, damaged or unusable (see `notices`)."""
        settings = cls(path)
        data = settings.read(settings.path)
        dropped = []
        settings.current = clean_values(data.get("current"), dropped)
        if dropped:
            settings.notices.append(_("Settings that could not be used were reset: {names}").format(
                names=", ".join(dict.fromkeys(dropped))))
        stored = settings.read(settings.presets_path)
        if "presets" not in stored and isinstance(data.get("presets"), dict):
            stored, settings.hand_over = data, True
        settings.presets = settings.clean_presets(stored.get("presets"))
        return settings

    def read(self, path):
        """The JSON object in `path`, {} when there is none or it was set aside."""
        try:
            data = json.loads(path.read_text(encoding="utf-8"))
            if not isinstance(data, dict):
                raise ValueError(_("not a JSON object"))
            return data
        except FileNotFoundError:
            return {}
        except (OSError, ValueError, RecursionError) as ex:  # too deeply nested: RecursionError
            self.notices.append(self.set_aside(path, ex))
            return {}

    def clean_presets(self, presets):
        clean = {}
        for name, values in (presets if isinstance(presets, dict) else {}).items():
            dropped = []
            if isinstance(name, str) and name.strip() and writable_text(name):
                clean[name] = clean_values(values, dropped)
            else:
                dropped.append(_("the name"))
            if dropped:
                self.notices.append(_("Preset \"{name}\": values that could not be used were reset: {names}").format(
                    name=name if writable_text(str(name)) else ascii(name), names=", ".join(dict.fromkeys(dropped))))
        return clean

    def set_aside(self, path, reason):
        """Renames the unreadable file to the first free `<name>.damaged[-N].json`
        and returns the message that says so."""
        for n in range(1000):
            aside = path.with_name(f"{path.stem}.damaged{f'-{n}' if n else ''}.json")
            if not aside.exists():
                break
        reason = str(reason) or type(reason).__name__
        try:
            os.rename(path, aside)
        except OSError as ex:
            return _("Could not read the settings file {path} ({reason}) nor move it aside ({error}). "
                     "Starting with the default settings.").format(path=path, reason=reason, error=ex)
        return _("Could not read the settings file {path} ({reason}). It was kept as {aside}; "
                 "starting with the default settings.").format(path=path, reason=reason, aside=aside.name)

    def save(self):
        """Writes settings.json (and presets.json first when taking presets over
        from an older settings.json). Raises OSError."""
        if self.hand_over:
            self.save_presets()
            self.hand_over = False
        write_json(self.path, {"version": VERSION, "current": self.current})

    def save_presets(self):
        write_json(self.presets_path, {"version": VERSION, "presets": self.presets})

    def remember(self, values):
        """Takes `values` (a full or partial set) as the current values and saves."""
        self.current = clean_values({**self.current, **values})
        self.save()

    def names(self):
        """The presets' names in sorted order."""
        return sorted(self.presets)

    def save_preset(self, name, values):
        """Stores `values` under `name` (blanks around it dropped), replacing a preset
        of that name, and saves. Returns the name used."""
        name = name.strip()
        if not name or not writable_text(name):
            raise ValueError(_("Enter a name for the preset"))
        self.presets = {**self.presets, name: clean_values(values)}
        self.save_presets()
        return name

    def preset(self, name):
        """A copy of the preset's values (KeyError for an unknown name)."""
        return clean_values(self.presets[name])

    def delete_preset(self, name):
        """Removes the preset and saves (KeyError for an unknown name)."""
        self.presets[name]  # noqa: B018  KeyError for an unknown name
        self.presets = {n: v for n, v in self.presets.items() if n != name}
        self.save_presets()
