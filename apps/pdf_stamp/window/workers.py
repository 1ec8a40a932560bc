"""The worker processes that write the window's output.

Saving a large PDF holds the interpreter for the whole save; in another process
it does not stop the window. The workers are started by spawning (no copy of the
window's threads and toolkit connection) and end with the window's process even
when it is killed, rather than waiting for work that never comes: they watch a
handle the window holds (batch.WorkerPool), which works on Windows too, and the
file in hand loses its temporary folder on the way out.
"""

import multiprocessing
import os

from ..batch import WorkerPool


def pool(workers=None):
    """A process pool of `workers` (default: the cores, at most four)."""
    return WorkerPool(workers or max(1, min(os.cpu_count() or 1, 4)),
                      multiprocessing.get_context("spawn"))
