import json
import os

import pytest

from pdf_stamp.window import settings as settings_module
from pdf_stamp.window.settings import DEFAULTS, Settings


@pytest.fixture
def path(tmp_path):
    return tmp_path / "config" / "pdf-stamp" / "settings.json"


def test_default_path_is_in_the_user_configuration_folder(monkeypatch, tmp_path):
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path))
    assert settings_module.default_path() == tmp_path / "pdf-stamp" / "settings.json"


def test_a_first_start_has_the_defaults_and_writes_nothing(path):
    loaded = Settings.load(path)
    assert (loaded.current, loaded.presets, loaded.notice) == (DEFAULTS, {}, None)
    assert not path.parent.exists()


def test_values_and_presets_survive_a_restart(path):
    first = Settings.load(path)
    first.remember({"image": "/seals/承認.png", "x": "150.5", "anchor": "bottom-right", "opacity": 0.6})
    first.remember({"width": "20"})  # a partial set keeps the rest
    assert first.save_preset("  承認印 右上 ", {**first.current, "margin": "15"}) == "承認印 右上"
    first.save_preset("署名", DEFAULTS)
    first.delete_preset("署名")

    again = Settings.load(path)
    assert again.current == {**DEFAULTS, "image": "/seals/承認.png", "x": "150.5", "width": "20",
                             "anchor": "bottom-right", "opacity": 0.6}
    assert again.names() == ["承認印 右上"]
    assert again.preset("承認印 右上") == {**again.current, "margin": "15"}
    assert "承認印" in path.read_text(encoding="utf-8")  # readable by a person, not escaped
    assert sorted(os.listdir(path.parent)) == ["settings.json"]  # no temporary file left


def test_a_preset_needs_a_known_name(path):
    loaded = Settings.load(path)
    for name in ("", "   "):
        with pytest.raises(ValueError, match="プリセット名"):
            loaded.save_preset(name, DEFAULTS)
    for action in (loaded.preset, loaded.delete_preset):
        with pytest.raises(KeyError):
            action("ない")


@pytest.mark.parametrize("stored, expected", [
    ({"x": 12, "anchor": "middle", "opacity": 1.5, "pages": None}, {}),  # wrong types: defaults
    ({"anchor": None, "opacity": 0, "white_to_transparent": True, "every": "3"},
     {"opacity": 0.0, "white_to_transparent": True, "every": "3"}),
    ({"opacity": True, "unknown": "dropped"}, {}),  # a bool is no opacity
    ("not an object", {}),
])
def test_values_of_the_wrong_type_fall_back_one_by_one(path, stored, expected):
    path.parent.mkdir(parents=True)
    path.write_text(json.dumps({"current": stored, "presets": {"p": stored, "": stored, "  ": {}}}))
    loaded = Settings.load(path)
    assert (loaded.current, loaded.notice) == ({**DEFAULTS, **expected}, None)
    assert loaded.presets == {"p": {**DEFAULTS, **expected}}


@pytest.mark.parametrize("content", [
    b"{\"current\": {\"x\": \"1\"",  # cut short
    b"[1, 2]",  # JSON, but not an object
    b"\xff\xfe garbage",  # not UTF-8
    b"",
], ids=["truncated", "array", "binary", "empty"])
def test_a_damaged_file_is_set_aside_and_the_defaults_are_used(path, content):
    path.parent.mkdir(parents=True)
    path.write_bytes(content)
    (path.parent / "settings.damaged.json").write_bytes(b"an older one")
    loaded = Settings.load(path)
    assert loaded.current == DEFAULTS
    assert "settings.damaged-1.json" in loaded.notice and "既定の設定で起動します" in loaded.notice
    assert (path.parent / "settings.damaged-1.json").read_bytes() == content
    assert (path.parent / "settings.damaged.json").read_bytes() == b"an older one"
    loaded.remember({"x": "5"})  # the next save starts a fresh file
    assert Settings.load(path).current["x"] == "5"


def refuse(*args):
    raise PermissionError("denied")


def test_an_unreadable_file_that_cannot_be_moved_still_starts(path, monkeypatch):
    path.mkdir(parents=True)  # a folder where the file should be: reading fails
    monkeypatch.setattr(os, "rename", refuse)
    loaded = Settings.load(path)
    assert loaded.current == DEFAULTS and "別名にも移せませんでした (denied)" in loaded.notice


def test_a_failed_save_keeps_the_old_file_and_leaves_no_temporary_file(path, monkeypatch):
    Settings.load(path).remember({"x": "1"})
    before = path.read_bytes()

    monkeypatch.setattr(os, "replace", refuse)
    with pytest.raises(PermissionError, match="denied"):
        Settings.load(path).remember({"x": "2"})
    assert (path.read_bytes(), os.listdir(path.parent)) == (before, ["settings.json"])
