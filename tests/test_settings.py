import json
import os
import threading

import pytest

from pdf_stamp.window.saving import Saver
from pdf_stamp.window.settings import DEFAULTS, MARK_DEFAULTS, Settings


@pytest.fixture
def path(tmp_path):
    return tmp_path / "config" / "pdf-stamp" / "settings.json"


def one(out_dir="", **mark):  # a set of one mark
    return {"marks": [{**MARK_DEFAULTS, **mark}], "chosen": 0, "out_dir": out_dir}


def write(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data if isinstance(data, bytes) else json.dumps(data).encode())


def test_values_and_presets_survive_a_restart(path):
    first = Settings.load(path)  # a first start: the defaults, and nothing written
    assert (first.current, first.presets, first.notice, path.parent.exists()) == (DEFAULTS, {}, None, False)
    first.remember(one(image="/seals/承認.png", x="150.5", anchor="bottom-right", opacity=0.6))
    first.remember({"out_dir": "出力"})  # a partial set keeps the rest
    marks = {"marks": [first.current["marks"][0], {**MARK_DEFAULTS, "kind": "date_seal", "rotate": -15}], "chosen": 1}
    assert first.save_preset("  承認印 右上 ", marks) == "承認印 右上"
    first.save_preset("署名", DEFAULTS)
    first.delete_preset("署名")

    again = Settings.load(path)
    assert again.current == one("出力", image="/seals/承認.png", x="150.5", anchor="bottom-right", opacity=0.6)
    assert (again.names(), again.preset("承認印 右上")) == (["承認印 右上"], {**marks, "out_dir": ""})
    assert sorted(os.listdir(path.parent)) == ["presets.json", "settings.json"]  # no temporary file left


@pytest.mark.parametrize("name", ["", "   ", "印\udc80"])  # a lone surrogate cannot be written
def test_a_preset_needs_a_usable_name(path, name):
    loaded = Settings.load(path)
    with pytest.raises(ValueError, match="プリセット名"):
        loaded.save_preset(name, DEFAULTS)


@pytest.mark.parametrize("stored, expected, reset", [
    ({"x": 12, "anchor": "middle", "opacity": 1.5, "pages": None}, {}, "X (mm), 配置, 挿入するページ, 不透明度"),
    ({"marks": [{"rotate": 181, "kind": "stamp"}, {"rotate": 1.5}], "chosen": 2}, {**DEFAULTS, "marks": [MARK_DEFAULTS] * 2},
     "印の種類, 傾き (°)"),
    ({"marks": [], "out_dir": 3}, {}, "印, 出力フォルダ"),
    ({"anchor": "bottom-right", "margin": "nan", "y": "-inf", "every": "3"},  # nan with an anchor
     {"anchor": "bottom-right", "every": "3"}, "Y (mm), 余白 (mm)"),
    ({"opacity": True, "image": "/印\udc80.png", "unknown": "dropped"}, {}, "画像ファイル, 不透明度"),
    ({"opacity": 0, "white_to_transparent": True}, {"opacity": 0.0, "white_to_transparent": True}, None),
    ("not an object", {}, None),
])
def test_unusable_values_are_reset_one_by_one_and_said(path, stored, expected, reset):
    write(path, {"current": stored})
    write(path.with_name("presets.json"), {"presets": {"p": stored, "": {}, "\udc80": {}}})
    loaded = Settings.load(path)
    expected = expected if "marks" in expected else one(**expected)
    assert loaded.current == expected and loaded.presets == {"p": expected}
    notices = [f"使えない設定を既定値に戻しました: {reset}", f"プリセット「p」: 使えない値を既定値に戻しました: {reset}"]
    assert loaded.notices == (notices if reset else []) + [
        "プリセット「」: 使えない値を既定値に戻しました: 名前", "プリセット「'\\udc80'」: 使えない値を既定値に戻しました: 名前"]
    loaded.save_preset("q", loaded.current)  # what was loaded can be saved again
    loaded.save()


@pytest.mark.parametrize("content", [
    b"{\"current\": {\"x\": \"1\"",  # cut short
    b"[1, 2]",  # JSON, but not an object
    b"\xff\xfe garbage",  # not UTF-8
    b"",
    b"[" * 100_000 + b"]" * 100_000,  # nested too deeply for the parser
], ids=["truncated", "array", "binary", "empty", "deep"])
def test_a_damaged_file_is_set_aside_and_keeps_no_preset_from_loading(path, content):
    write(path, content)
    write(path.with_name("presets.json"), {"presets": {"承認": {"x": "5"}}})
    (path.parent / "settings.damaged.json").write_bytes(b"an older one")
    loaded = Settings.load(path)
    assert loaded.current == DEFAULTS and loaded.names() == ["承認"]
    assert "settings.damaged-1.json" in loaded.notice and "既定の設定で起動します" in loaded.notice
    assert (path.parent / "settings.damaged-1.json").read_bytes() == content
    assert (path.parent / "settings.damaged.json").read_bytes() == b"an older one"
    loaded.remember(one(x="5"))  # the next save starts a fresh file
    assert Settings.load(path).current == one(x="5")


def test_presets_of_an_older_file_move_to_their_own_and_a_link_stays_a_link(path, tmp_path):
    target = tmp_path / "synced" / "settings.json"
    write(target, {"current": {"x": "3"}, "presets": {"承認": {"x": "5"}}})
    path.parent.mkdir(parents=True)
    path.symlink_to(target)
    loaded = Settings.load(path)
    assert loaded.names() == ["承認"] and loaded.current == one(x="3")
    loaded.remember(one(x="4"))
    assert path.is_symlink() and json.loads(target.read_text()) == {"version": 2, "current": one(x="4")}
    assert Settings.load(path).preset("承認") == one(x="5")


def refuse(*args):
    raise PermissionError("denied")


def test_a_failed_save_keeps_the_old_file_and_leaves_no_temporary_file(path, monkeypatch):
    Settings.load(path).remember(one(x="1"))
    before = path.read_bytes()

    monkeypatch.setattr(os, "replace", refuse)
    with pytest.raises(PermissionError, match="denied"):
        Settings.load(path).remember(one(x="2"))
    assert (path.read_bytes(), os.listdir(path.parent)) == (before, ["settings.json"])


def test_keystrokes_from_many_threads_are_saved_once_from_one_thread(path, monkeypatch):
    settings, saved, errors = Settings.load(path), [], []
    save = settings.save
    monkeypatch.setattr(settings, "save", lambda: saved.append(threading.current_thread().name) or save())
    saver = Saver(settings, errors.append, delay=0.3)
    typing = [threading.Thread(target=lambda n=n: [saver.remember(one(x=f"{n}.{k}")) for k in range(50)])
              for n in range(4)]
    for thread in typing:
        thread.start()
    for thread in typing:
        thread.join()
    saver.call(settings.save_preset, "承認", settings.current)
    saver.close()
    assert saved == ["settings-saver"] and errors == []
    assert Settings.load(path).current == settings.current == Settings.load(path).preset("承認")
