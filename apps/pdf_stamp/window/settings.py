"""The window's per-user settings file: the last values and named presets.

One JSON file in the user's configuration folder:
`{"version": 1, "current": {...}, "presets": {"承認印 右上": {...}, ...}}`, where
each set of values maps the names of DEFAULTS to field texts (and the anchor,
opacity and white-to-transparent switch). The file is replaced atomically on
every save. A file that cannot be read or parsed is set aside under another name
and the window starts with the defaults, so a damaged file never stops it.
"""

import json
import os
import tempfile
from pathlib import Path

import platformdirs

from pdf_stamp.placement import ANCHORS

APP_NAME = "pdf-stamp"
VERSION = 1

# The remembered values and what a new user starts with.
DEFAULTS = {
    "image": "",
    "width": "",
    "height": "",
    "x": "0",
    "y": "0",
    "anchor": None,
    "margin": "10",
    "pages": "1",
    "every": "",
    "out_dir": "",
    "opacity": 1.0,
    "white_to_transparent": False,
}


def default_path():
    """settings.json in the user's configuration folder (XDG_CONFIG_HOME on Linux)."""
    return platformdirs.user_config_path(APP_NAME) / "settings.json"


def clean_values(values):
    """The known values of `values` that have the right type; defaults for the rest.
    A value of the wrong type (an edited file, an older version) is not worth
    refusing the whole file for."""
    values = values if isinstance(values, dict) else {}
    clean = dict(DEFAULTS)
    for name, default in DEFAULTS.items():
        value = values.get(name, default)
        if name == "anchor":
            ok = value is None or value in ANCHORS
        elif name == "opacity":
            ok = isinstance(value, (int, float)) and not isinstance(value, bool) and 0 <= value <= 1
            value = float(value) if ok else value
        else:
            ok = type(value) is type(default)
        if ok:
            clean[name] = value
    return clean


class Settings:
    """The current values and the presets, tied to one file."""

    def __init__(self, path=None):
        self.path = Path(path) if path is not None else default_path()
        self.current = dict(DEFAULTS)
        self.presets = {}
        self.notice = None  # a message for the user when the file had to be set aside

    @classmethod
    def load(cls, path=None):
        """The settings in `path`; the defaults when there is no file, and when the
        file is damaged or unreadable, after setting it aside (see `notice`)."""
        settings = cls(path)
        try:
            data = json.loads(settings.path.read_text(encoding="utf-8"))
            if not isinstance(data, dict):
                raise ValueError("JSONのオブジェクトではありません")
        except FileNotFoundError:
            return settings
        except (OSError, ValueError) as ex:  # UnicodeDecodeError and JSONDecodeError are ValueErrors
            settings.notice = settings.set_aside(ex)
            return settings
        settings.current = clean_values(data.get("current"))
        presets = data.get("presets")
        if isinstance(presets, dict):
            settings.presets = {name: clean_values(values) for name, values in presets.items()
                                if isinstance(name, str) and name.strip()}
        return settings

    def set_aside(self, reason):
        """Renames the unreadable file to the first free `<name>.damaged[-N].json`
        and returns the message that says so."""
        for n in range(1000):
            aside = self.path.with_name(f"{self.path.stem}.damaged{f'-{n}' if n else ''}.json")
            if not aside.exists():
                break
        try:
            os.rename(self.path, aside)
        except OSError as ex:
            return (f"設定ファイル {self.path} を読み込めませんでした ({reason})。"
                    f"別名にも移せませんでした ({ex})。既定の設定で起動します。")
        return (f"設定ファイル {self.path} を読み込めませんでした ({reason})。"
                f"{aside.name} として残し、既定の設定で起動します。")

    def save(self):
        """Writes the file atomically: a temporary file in the same folder,
        flushed to disk, then renamed over the old one. Raises OSError."""
        self.path.parent.mkdir(parents=True, exist_ok=True)
        data = {"version": VERSION, "current": self.current, "presets": self.presets}
        fd, temp = tempfile.mkstemp(dir=self.path.parent, prefix=f".{self.path.stem}-", suffix=".tmp")
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as file:
                json.dump(data, file, ensure_ascii=False, indent=1, sort_keys=True)
                file.flush()
                os.fsync(file.fileno())
            os.replace(temp, self.path)
        except BaseException:
            os.unlink(temp)
            raise

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
        if not name:
            raise ValueError("プリセット名を入力してください")
        self.presets[name] = clean_values(values)
        self.save()
        return name

    def preset(self, name):
        """A copy of the preset's values (KeyError for an unknown name)."""
        return dict(self.presets[name])

    def delete_preset(self, name):
        """Removes the preset and saves (KeyError for an unknown name)."""
        del self.presets[name]
        self.save()
