"""The worker processes that write the window's output.

Saving a large PDF holds the interpreter for the whole save; in another process
it does not stop the window. The workers are started by spawning (no copy of the
window's threads and toolkit connection) and end with the window's process even
when it is killed, rather than waiting for work that never comes.
"""

import concurrent.futures
import multiprocessing
import os
import threading
import time


def leave_with(parent):
    """Worker initializer: ends the worker once `parent` (the window's process)
    is gone and the worker has been handed to another parent."""
    def watch():
        while os.getppid() == parent:
            time.sleep(1)
        os._exit(0)

    threading.Thread(target=watch, name="leave-with-parent", daemon=True).start()


def pool(workers=None):
    """A process pool of `workers` (default: the cores, at most four)."""
    return concurrent.futures.ProcessPoolExecutor(
        max_workers=workers or max(1, min(os.cpu_count() or 1, 4)),
        mp_context=multiprocessing.get_context("spawn"),
        initializer=leave_with, initargs=(os.getpid(),))
