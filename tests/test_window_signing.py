import types

import pytest

from pdf_stamp.job import StampJob
from pdf_stamp.window.signing_panel import SigningPanel
from stamping import make_document, make_seal
from test_signing import pki  # noqa: F401  (the fixture)


@pytest.fixture
def panel(tmp_path, page):
    make_document(tmp_path / "a.pdf")
    told, shown = [], []
    page.overlay = []
    ctx = types.SimpleNamespace(page=page, tell=told.append, pdf_password=None,
                                sources=lambda: [str(tmp_path / "a.pdf")])
    job = lambda: StampJob(image=make_seal(tmp_path / "seal.png"), anchor="bottom-right",
                           width="20", pages="1", out_dir=str(tmp_path))
    made = SigningPanel(ctx, job, shown.append)
    made.new_id_picker = types.SimpleNamespace(save_file=lambda **kw: told.append("save as"))
    return made, told, shown


def test_sign_from_the_window(panel, page, pki, tmp_path, monkeypatch):  # noqa: F811
    monkeypatch.setenv("PDF_STAMP_CONFIG_DIR", str(tmp_path / "config"))
    made, told, shown = panel
    made.on_sign(None)
    made.ask_id_password(pki["ids"]["担当"])
    dialog = page.log[-1][1]  # the password typed, then OK
    dialog.content.controls[0].value = "wrong"
    dialog.actions[-1].on_click(None)
    made.on_new_id_values(["山田", "", "pw-1", "pw-2"])
    assert told == ["【ERROR】先にデジタルIDを選択してください",
                    "【ERROR】デジタルID 担当.p12 のパスワードが違います",
                    "【ERROR】名前と、2回同じパスワードを入力してください"]
    made.on_new_id_values(["山田", "", "pw-1", "pw-1"])
    made.on_new_id_path(types.SimpleNamespace(path=str(tmp_path / "mine")))
    assert (tmp_path / "mine.p12").exists() and (tmp_path / "mine.pem").exists()
    assert made.holder.value == "署名者: 山田"
    made.on_sign(None)
    (result,) = shown[0]
    assert result.ok, result.error
    made.show_signatures(result.result)
    (line,) = [c.value for c in made.signature_list.controls]
    assert line.startswith("✓ 山田") and line.endswith("署名後の変更: なし")
