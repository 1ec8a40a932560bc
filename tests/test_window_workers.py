# Workers left behind when their host is killed keep stamping and hold its output open (a
# reader of `pdf-stamp --json` never ends): they must leave, and take their temporary folder.
import os
import subprocess
import sys

import pytest

from stamping import make_pdf, make_stamp
from test_cli import COMMAND as pdf_stamp_command

WINDOW = """
import os, sys, time
from pdf_stamp import stamping
from pdf_stamp.job import StampJob
from pdf_stamp.window import workers
pool = workers.pool(1)
pool.submit(stamping.stamp_file, StampJob(image="stamp.png", anchor="top", pages="all"), "doc0.pdf")
while not any(n.startswith(".pdf-stamp-") for n in os.listdir()):
    time.sleep(0.01)
print("busy", flush=True)
os.kill(os.getpid(), 9)  # no shutdown, no exit handlers: as if the window crashed
"""
COMMAND = [pdf_stamp_command, ".", "stamp.png", "--anchor", "top", "--pages", "all", "--jobs", "2", "--json"]


@pytest.mark.parametrize("host", [[sys.executable, "-c", WINDOW], COMMAND], ids=["window", "command"])
def test_workers_leave_with_their_killed_host(tmp_path, host):
    for n in range(6):
        make_pdf(tmp_path / f"doc{n}.pdf", 150)
    make_stamp(tmp_path / "stamp.png")
    with subprocess.Popen(host, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          text=True) as parent:
        assert parent.stdout.readline()  # a worker is stamping
        parent.kill()
        try:
            parent.communicate(timeout=30)  # every worker let go of the output
        except subprocess.TimeoutExpired:
            pytest.fail("a worker outlived its host")
    assert not [n for n in os.listdir(tmp_path) if n.startswith(".pdf-stamp-")]
