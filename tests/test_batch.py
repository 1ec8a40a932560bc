import contextlib
import multiprocessing
import os
import re
import subprocess
import sys

import fitz
import pytest

from test_process_pdf import REFUSE_LINKS
from pdf_stamp import host, stamping
from pdf_stamp.batch import collect_sources, run_batch
from pdf_stamp.job import StampJob
from pdf_stamp.naming import claim, is_marked, mark, plan_names
from pdf_stamp.safety import check
from pdf_stamp.exceptions import NeedsPassword, SignedDocument
from stamping import make_document, make_seal, make_stamp, render, sign, stamp, stamped_pages


PAGES = ((595, 842, 0), (842, 595, 0), (595, 842, 90), (420, 595, 270))


def touch(folder, *names):
    for name in names:
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(b"")


@pytest.mark.parametrize("suffix, recursive, sources, skipped", [
    ("_stamped", True, ["A.PDF", "b.pdf", "photo_stamped_copy.pdf", "sub/c.pdf", "un_stamped.pdf",
                        "x[signed].pdf"], ["A_stamped.pdf", "a_stamped_1.PDF", "old-seal.pdf", "sub/c_stamped.pdf"]),
    ("[signed]", False, ["A.PDF", "A_stamped.pdf", "a_stamped_1.PDF", "b.pdf",
                         "photo_stamped_copy.pdf", "un_stamped.pdf"], ["old-seal.pdf", "x[signed].pdf"]),
])
def test_collect_sources(tmp_path, suffix, recursive, sources, skipped):
    touch(tmp_path, "b.pdf", "A.PDF", "A_stamped.pdf", "a_stamped_1.PDF", "un_stamped.pdf", "x[signed].pdf",
          "photo_stamped_copy.pdf", "notes.txt", ".pdf-stamp-x/output.pdf", "sub/c.pdf", "sub/c_stamped.pdf",
          "sub/.hidden/d.pdf")
    os.mkfifo(tmp_path / "x.pdf")  # a FIFO is neither opened nor taken, but names a source
    mark(make_document(tmp_path / "old-seal.pdf"))  # a result of a run with another suffix
    found = collect_sources([tmp_path], recursive, suffix)
    assert [[os.path.relpath(p, tmp_path) for p in paths] for paths in found] == [sources, skipped]
    assert collect_sources(["z_stamped.pdf", "y.pdf"]) == (["z_stamped.pdf", "y.pdf"], [])


@pytest.mark.parametrize("taken, sources, suffix, expected", [
    ([], ["in/a.pdf", "in/b.PDF", "in/c"], "_stamped",
     ["a_stamped.pdf", "b_stamped.pdf", "c_stamped.pdf"]),
    (["a_stamped_1.pdf"], ["a.pdf", "x/a.pdf", "y/a.Pdf"], "_stamped",
     ["a_stamped.pdf", "a_stamped_2.pdf", "a_stamped_3.pdf"]),  # earlier inputs take names too
    (["link:a-seal.pdf"], ["a.pdf"], "-seal", ["a-seal_1.pdf"]),  # a dangling link is taken
    ([], ["a.pdf"], "", ["a_1.pdf"]),  # the source itself is taken
])
def test_plan_names(tmp_path, taken, sources, suffix, expected):
    touch(tmp_path, "a.pdf")
    for name in taken:
        if name.startswith("link:"):
            os.symlink(tmp_path / "nowhere", tmp_path / name[5:])
        else:
            touch(tmp_path, name)
    assert plan_names(sources, str(tmp_path), suffix) == [str(tmp_path / e) for e in expected]


def test_names_taken_and_a_planted_link(tmp_path, private_temp):
    (tmp_path / "in").mkdir()
    touch(tmp_path, "out/b_stamped.pdf")
    sources = [make_document(tmp_path / "in" / n, ((300, 300, 0),) * 2) for n in ("a.pdf", "b.pdf")]
    victim = tmp_path / "victim.pdf"
    victim.write_bytes(b"keep me")
    os.symlink(victim, tmp_path / "out" / "a_stamped.pdf")
    job = StampJob(image=make_stamp(tmp_path / "s.png"), x="1", y="1", width="20", height="20",
                   pages="last", out_dir=str(tmp_path / "out"))
    results = run_batch(job, sources, jobs=1)
    assert [os.path.basename(r.result) for r in results] == ["a_stamped_1.pdf", "b_stamped_1.pdf"]
    assert (victim.read_bytes(), (tmp_path / "out" / "b_stamped.pdf").read_bytes()) == (b"keep me", b"")
    assert sorted(os.listdir(tmp_path / "out")) == [  # no temporary folder left
        "a_stamped.pdf", "a_stamped_1.pdf", "b_stamped.pdf", "b_stamped_1.pdf"]
    # A name taken between planning and claiming: the next free one is used.
    os.symlink(victim, tmp_path / "out" / "a_stamped_2.pdf")
    assert claim(results[0].result, str(tmp_path / "out" / "a_stamped_2.pdf")) \
        == str(tmp_path / "out" / "a_stamped_3.pdf")
    assert victim.read_bytes() == b"keep me"


NO_LINKS = REFUSE_LINKS + """
from pdf_stamp.batch import run_batch
from pdf_stamp.job import StampJob
source, image, out = sys.argv[1:]
job = StampJob(image=image, x="1", y="1", width="20", pages="1,2", out_dir=out)
print(*(r.result or r.error for r in run_batch(job, [source, source], jobs=1)), sep="\\n")
"""


def test_without_hard_links_results_are_copied_into_new_files(tmp_path):
    (tmp_path / "out").mkdir()
    os.symlink(tmp_path / "planted.pdf", tmp_path / "out" / "in_stamped.pdf")
    args = [make_document(tmp_path / "in.pdf", PAGES), make_stamp(tmp_path / "s.png"), tmp_path / "out"]
    child = subprocess.run([sys.executable, "-c", NO_LINKS, *args], cwd=tmp_path,
                           capture_output=True, text=True, timeout=120)
    if child.returncode == 77:
        pytest.skip("this kernel or machine cannot make link() fail for one process")
    names = [str(tmp_path / "out" / n) for n in ("in_stamped_1.pdf", "in_stamped_2.pdf")]
    assert child.stdout.splitlines() == names, child.stderr
    assert sorted(os.listdir(tmp_path / "out")) == ["in_stamped.pdf", "in_stamped_1.pdf", "in_stamped_2.pdf"]
    assert not os.path.lexists(tmp_path / "planted.pdf")  # the planted link was not written through
    assert all(set(stamped_pages(n)) == {1, 2} and is_marked(n) for n in names)


def up_to_second_id(path):  # the /ID's second half is new with every save (so is the result mark)
    data = open(path, "rb").read()
    first = re.compile(rb"<[0-9A-Fa-f]*>|\((?:\\.|[^\\)])*\)", re.S)
    return data[:first.match(data, data.index(b"/ID[") + 4).end()]


def test_parallel_run_under_spawn_equals_a_serial_one(tmp_path, private_temp):
    sources = [make_document(tmp_path / f"doc{n}.pdf", PAGES[:n + 1]) for n in range(4)]
    results = {}
    for jobs in (1, 2):
        out = tmp_path / f"jobs{jobs}"
        out.mkdir()
        job = StampJob(image=make_stamp(tmp_path / "s.png"), anchor="bottom-right", margin=12,
                       width="25", pages="odd,last", out_dir=str(out))
        seen = []
        results[jobs] = run_batch(job, sources, jobs=jobs, on_result=seen.append,
                                  mp_context=multiprocessing.get_context("spawn"))
        assert sorted(r.source for r in seen) == sources
    for serial, parallel in zip(results[1], results[2]):
        assert serial.ok and parallel.ok and serial.pages_stamped == parallel.pages_stamped
        assert os.path.basename(serial.result) == os.path.basename(parallel.result)
        assert up_to_second_id(serial.result) == up_to_second_id(parallel.result)


@pytest.mark.parametrize("seal, text_shows, ring_green", [
    ({}, False, (0, 10)),  # the white background hides the text
    ({"white_to_transparent": True}, True, (0, 10)),
    ({"opacity": 0.5}, True, (110, 145)),  # the ring mixed half with the white page
    ({"opacity": 0.5, "white_to_transparent": True, "tolerance": 0}, True, (110, 145)),
])
def test_seal_preparation_shows_in_the_rendering(tmp_path, private_temp, seal, text_shows, ring_green):
    # the rendered pixels under a white-backed seal over text
    source = make_document(tmp_path / "in.pdf", text="WWWWWWWWWWWWWWWWWWWWWWW")
    job = StampJob(image=make_seal(tmp_path / "seal.png"), anchor="centre", width="40", pages="1",
                   out_dir=str(tmp_path), **seal)
    result = stamping.stamp_file(job, source)
    with fitz.open(result.result) as doc:
        (box,) = [i["bbox"] for i in doc[0].get_image_info()]
        pixels = list(render(doc[0]).crop(tuple(round(v) for v in box)).get_flattened_data())
    text = sum(max(p) < 160 for p in pixels)  # black text, alone or under half a seal
    assert (text > 50) == text_shows, text
    reds = sorted(p[1] for p in pixels if p[0] - p[1] > 60)
    assert ring_green[0] <= reds[len(reds) // 2] <= ring_green[1], reds[len(reds) // 2]
    assert list(tmp_path.glob("*.png")) == [tmp_path / "seal.png"]


@pytest.fixture(scope="module")
def unsafe(tmp_path_factory):
    folder = tmp_path_factory.mktemp("unsafe")
    plain = make_document(folder / "plain.pdf")
    owner = dict(encryption=fitz.PDF_ENCRYPT_AES_256, owner_pw="owner", user_pw="",
                 permissions=fitz.PDF_PERM_PRINT)
    return {
        "empty signature field": sign(plain, folder / "field.pdf", signed=False),
        "signed": sign(plain, folder / "signed.pdf"),
        "owner password": make_document(folder / "owner.pdf", **owner),
        "user password": make_document(folder / "user.pdf", **dict(owner, user_pw="user")),
    }


@pytest.mark.parametrize("name, refused, allowed, words, stamp_refused", [
    ("empty signature field", None, None, None, (None, None)),
    ("signed", SignedDocument, None, "署名は検証できなくなります", ("署名は検証できなくなります", None)),
    # Protection is kept; a document whose permissions forbid changes needs its owner password.
    ("owner password", None, None, None, ("変更が禁止されています",) * 2),
    ("user password", NeedsPassword, NeedsPassword, "パスワードが必要", ("開くにはパスワードが必要",) * 2),
])
def test_safety_check(unsafe, tmp_path, private_temp, name, refused, allowed, words, stamp_refused):
    source = unsafe[name]
    for allow, error, stamp_error in ((False, refused, stamp_refused[0]), (True, allowed, stamp_refused[1])):
        with pytest.raises(error, match=words) if error else contextlib.nullcontext():
            check(source, allow_rewrite=allow)
        result = stamp(tmp_path, source, pages="1", allow_rewrite=allow)
        assert result.ok == (not stamp_error) and (not stamp_error or stamp_error in result.error)
        if result.ok:
            with fitz.open(source) as before, fitz.open(result.result) as doc:
                assert (doc.needs_pass, doc.metadata["encryption"]) == (0, before.metadata["encryption"])
            os.remove(result.result)
    assert sorted(os.listdir(tmp_path)) == ["s.png"]


class LosingModule:  # its save loses the last page
    def __init__(self, real):
        self.real = real

    def __getattr__(self, name):
        return getattr(self.real, name)

    def process_pdf(self, *args):
        self.real.process_pdf(*args)
        (written,) = [os.path.join(args[2], n) for n in os.listdir(args[2])]
        with fitz.open(written) as doc:
            doc.delete_page(-1)
            doc.saveIncr()


def test_verification_failure_leaves_no_file(tmp_path, private_temp, monkeypatch):
    real = host.load_module()
    monkeypatch.setattr(stamping.host, "load_module", lambda: LosingModule(real))
    source = make_document(tmp_path / "in.pdf", PAGES, bookmarks=True)
    result = stamp(tmp_path, source, pages="1")
    assert (result.result, result.error[:35]) == (None, "【ERROR】出力の検証に失敗しました: ページ数が 4 から 3 に")
    assert sorted(os.listdir(tmp_path)) == ["in.pdf", "s.png"]
    monkeypatch.undo()  # the real save keeps pages, bookmarks and annotations
    assert stamp(tmp_path, source, pages="1").pages_stamped == [1]


def test_a_stop_that_cuts_into_the_cleanup_still_removes_the_private_folder(tmp_path, monkeypatch):
    # a worker whose parent is killed is stopped wherever it is, also inside the removal
    real, calls = stamping.shutil.rmtree, []

    def cut_short(path, **options):
        calls.append(path)
        if len(calls) == 1:
            raise KeyboardInterrupt
        real(path, **options)
    monkeypatch.setattr(stamping.shutil, "rmtree", cut_short)
    with pytest.raises(KeyboardInterrupt):
        stamp(tmp_path, make_document(tmp_path / "in.pdf", PAGES), pages="1")
    assert sorted(os.listdir(tmp_path)) == ["in.pdf", "in_stamped.pdf", "s.png"]
