# A worker left behind when the window is killed also keeps its output open: the run times out.
import os
import subprocess
import sys
import time

WINDOW = """
import os
from pdf_stamp.window import workers
pool = workers.pool(1)
print(pool.submit(os.getpid).result(), flush=True)
os.kill(os.getpid(), 9)  # no shutdown, no exit handlers: as if the window crashed
"""


def running(pid):  # a zombie left for an init that does not reap counts as ended
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def test_workers_end_when_the_window_is_killed():
    window = subprocess.run([sys.executable, "-c", WINDOW], capture_output=True, text=True, timeout=30)
    assert window.returncode == -9, window.stderr
    worker = int(window.stdout)
    assert worker != os.getpid()
    deadline = time.monotonic() + 20
    while running(worker) and time.monotonic() < deadline:
        time.sleep(0.2)
    assert not running(worker)
