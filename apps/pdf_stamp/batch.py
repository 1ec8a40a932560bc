"""Many files with the same settings: finding them, naming the results in
input order, and stamping them in worker processes.

A run stops cleanly on SIGINT or SIGTERM: no file is started after it, a
file in hand is finished but takes no name (its temporary folder goes with
it), and every file that did take a name is reported. Workers watch their
parent through the handle multiprocessing gives them (a pipe the parent
holds open on POSIX, the parent's process handle on Windows) and leave,
cleaning up, when it is gone.
"""

import _thread
import concurrent.futures
import multiprocessing
import multiprocessing.connection
import os
import signal
import sys
import threading
import types

from .i18n import _
from .job import FileResult
from .naming import DEFAULT_SUFFIX, Interrupted, Stop, is_marked, plan_names, result_source

SIGNALS = (signal.SIGINT, signal.SIGTERM)


def collect_sources(paths, recursive=False, suffix=DEFAULT_SUFFIX):
    """(sources, skipped): files as given, and the PDFs in each folder (its
    subfolders too when `recursive`, hidden ones never), sorted. A folder's
    earlier results are skipped: files carrying the result mark, and
    NAME<suffix>.pdf or NAME<suffix>_N.pdf beside their source NAME.pdf.
    Anything in a folder that is not a regular file is left alone."""
    sources, skipped = [], []
    for path in paths:
        if not os.path.isdir(path):
            sources.append(path)
            continue
        found = []
        for folder, subfolders, files in os.walk(path):
            subfolders[:] = [] if not recursive else sorted(
                d for d in subfolders if not d.startswith("."))
            names = {f.lower() for f in files}
            for name in files:
                file = os.path.join(folder, name)
                if name.lower().endswith(".pdf") and os.path.isfile(file):
                    source = result_source(name, suffix)
                    found.append((file, bool(source and source.lower() in names) or is_marked(file)))
        for file, earlier in sorted(found):
            (skipped if earlier else sources).append(file)
    return sources, skipped


def default_jobs():
    """The number of cores this process may use."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


def worker_context():
    """How --jobs workers start. On Linux, forked from this process when it
    has one thread and has not loaded PyMuPDF, as the command's process is
    when it hands files out: the quickest start, and a safe one, as no other
    thread can hold a lock the copies would inherit and there is no MuPDF
    state (context, documents, caches) to copy; each worker loads PyMuPDF and
    pdf_module itself. Otherwise forked from a server that loaded them once
    and never opened a document, which has neither hazard. Elsewhere spawned,
    the only way Windows has."""
    if sys.platform.startswith("linux"):
        if threading.active_count() == 1 and not {"fitz", "pymupdf", "pdf_module"} & set(sys.modules):
            return multiprocessing.get_context("fork")
        context = multiprocessing.get_context("forkserver")
        context.set_forkserver_preload(["pdf_stamp.preload"])
        return context
    return multiprocessing.get_context("spawn")


class Results(list):
    """The FileResult of each source in input order (None for a file the run
    did not take); `signal` is the signal that stopped the run, or 0."""

    signal = 0


def run_batch(job, sources, jobs=None, on_result=None, mp_context=None):
    """Stamps every source with `job`; Results in input order. Names are
    planned here, in input order, so parallel runs never swap them. With more
    than one job the files go to that many worker processes (default: the
    number of cores); `on_result(result)` is called here as each finishes."""
    names = plan_names(sources, job.out_dir, job.suffix)
    jobs = 1 if job.signing else min(jobs or default_jobs(), len(sources))  # one loaded key
    results = Results([None] * len(sources))
    context = mp_context or worker_context()
    stop = context.RawValue("i", 0) if jobs > 1 else types.SimpleNamespace(value=0)
    earlier, Stop.shared = Stop.shared, stop
    try:
        with _StopOnSignals(stop):
            tasks = list(enumerate(zip(sources, names)))
            if jobs <= 1:
                for index, (source, name) in tasks:
                    if stop.value:
                        break
                    _finished(results, index, stamp_file(job, source, name), on_result)
            else:
                with WorkerPool(jobs, context, stop) as pool:
                    futures = {pool.submit(stamp_file, job, source, name): index
                               for index, (source, name) in tasks}
                    _collect(futures, sources, stop, results, on_result)
    finally:
        Stop.shared = earlier
    results.signal = stop.value
    return results


def stamp_file(job, source, name):
    """stamping.stamp_file, imported where it runs: a process that only hands
    out files to workers never loads PyMuPDF."""
    from .stamping import stamp_file

    return stamp_file(job, source, name)


def _finished(results, index, result, on_result):
    if result is not None:
        results[index] = result
        if on_result:
            on_result(result)


def _collect(futures, sources, stop, results, on_result):
    """Takes the workers' results as they come; once stopped, cancels what no
    worker took and waits for the files in hand."""
    pending = set(futures)
    while pending:
        done, pending = concurrent.futures.wait(
            pending, timeout=0.2, return_when=concurrent.futures.FIRST_COMPLETED)
        for future in done:
            index = futures[future]
            if future.cancelled():
                continue
            try:
                result = future.result()
            except Interrupted:  # stopped before a worker took it
                result = None
            except BaseException as error:  # the worker itself ended
                result = FileResult(source=sources[index], error=_(
                    "The worker process ended unexpectedly: {error}").format(
                        error=f"{type(error).__name__}: {error}"))
            _finished(results, index, result, on_result)
        if stop.value:
            for future in pending:
                future.cancel()


class _StopOnSignals:
    """While a run lasts (in the main thread), SIGINT and SIGTERM stop it
    instead of ending the process."""

    def __init__(self, stop):
        self.stop, self.previous = stop, {}

    def handle(self, signum, frame):
        if not self.stop.value:
            self.stop.value = signum

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            self.previous = {s: signal.signal(s, self.handle) for s in SIGNALS}

    def __exit__(self, *exc):
        for signum, handler in self.previous.items():
            signal.signal(signum, handler)


class WorkerPool(concurrent.futures.ProcessPoolExecutor):
    """Worker processes that share the run's stop value (so a signal to any
    of them stops the run) and end when their parent is gone."""

    def __init__(self, workers, context, stop=None):
        stop = context.RawValue("i", 0) if stop is None else stop
        super().__init__(workers, mp_context=context, initializer=_start_worker,
                         initargs=(stop,))

    def submit(self, fn, /, *args, **kwargs):
        """Runs fn(*args, **kwargs) in a worker; the future raises Interrupted
        when the run was stopped before a worker took it."""
        return super().submit(_task, fn, *args, **kwargs)


class _Worker:
    lock = threading.Lock()
    idle = threading.Event()
    orphaned = False


def _start_worker(stop):
    """Runs first in every worker process."""
    from . import host

    Stop.shared = stop
    _Worker.idle.set()
    for signum in SIGNALS:
        signal.signal(signum, _on_signal)
    parent = multiprocessing.parent_process()
    if parent is not None:
        threading.Thread(target=_leave_with, args=(parent.sentinel,), name="leave-with-parent",
                         daemon=True).start()
    host.load_module(headless=True)  # a worker shows no window


def _on_signal(signum, frame):
    if not Stop.shared.value:
        Stop.shared.value = signum
    if _Worker.orphaned:
        raise KeyboardInterrupt  # cut the file in hand short; its folder goes as this unwinds


def _leave_with(parent_sentinel):
    """Waits for the parent's end; then the file in hand is cut short (its
    temporary folder removed) and the worker exits."""
    multiprocessing.connection.wait([parent_sentinel])
    with _Worker.lock:
        _Worker.orphaned = True
        Stop.shared.value = Stop.shared.value or signal.SIGTERM
        busy = not _Worker.idle.is_set()
    if busy:
        _thread.interrupt_main(signal.SIGINT)
        _Worker.idle.wait(timeout=60)
    os._exit(0)


def _task(fn, *args, **kwargs):
    with _Worker.lock:
        if Stop.signal() or _Worker.orphaned:
            raise Interrupted()
        _Worker.idle.clear()
    try:
        return fn(*args, **kwargs)
    finally:
        _Worker.idle.set()
