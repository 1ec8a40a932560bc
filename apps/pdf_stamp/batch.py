"""Many files with the same settings: finding them, naming the results in
input order, and stamping them in worker processes."""

import concurrent.futures
import fnmatch
import multiprocessing
import os

from . import host
from .naming import DEFAULT_SUFFIX, plan_names
from .stamping import stamp_file


def _is_pdf(name, suffix):
    name = name.lower()
    return name.endswith(".pdf") and not (suffix and fnmatch.fnmatchcase(name, f"*{suffix.lower()}*.pdf"))


def collect_sources(paths, recursive=False, suffix=DEFAULT_SUFFIX):
    """The PDFs to stamp: files as given, and the PDFs in each folder (its
    subfolders too when `recursive`), sorted, skipping earlier results
    (NAME<suffix>*.pdf) and hidden folders such as the temporary ones."""
    sources = []
    for path in paths:
        if not os.path.isdir(path):
            sources.append(path)
            continue
        found = []
        for folder, subfolders, files in os.walk(path):
            subfolders[:] = [] if not recursive else sorted(
                d for d in subfolders if not d.startswith("."))
            found += [os.path.join(folder, f) for f in files if _is_pdf(f, suffix)]
        sources += sorted(found)
    return sources


def default_jobs():
    """The number of cores this process may use."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


def _start_worker():
    """Runs first in every worker process: its own `state`, the module loaded."""
    host.load_module()


def run_batch(job, sources, jobs=None, on_result=None, mp_context=None):
    """Stamps every source with `job`; results in input order. Names are
    planned here, in input order, so parallel runs never swap them. With more
    than one job the files go to that many worker processes (default: the
    number of cores); `on_result(result)` is called here as each finishes."""
    names = plan_names(sources, job.out_dir, job.suffix)
    jobs = 1 if job.signing else min(jobs or default_jobs(), len(sources))  # one loaded key
    results = [None] * len(sources)
    if jobs <= 1:
        host.load_module()
        for index, (source, name) in enumerate(zip(sources, names)):
            results[index] = stamp_file(job, source, name)
            if on_result:
                on_result(results[index])
        return results
    context = mp_context or multiprocessing.get_context()
    if context.get_start_method() == "fork":
        host.load_module()  # imported once here, inherited by every worker
    with concurrent.futures.ProcessPoolExecutor(jobs, mp_context=context,
                                                initializer=_start_worker) as pool:
        try:
            futures = {pool.submit(stamp_file, job, source, name): index
                       for index, (source, name) in enumerate(zip(sources, names))}
            for future in concurrent.futures.as_completed(futures):
                results[futures[future]] = future.result()
                if on_result:
                    on_result(results[futures[future]])
        except BaseException:
            pool.shutdown(wait=True, cancel_futures=True)
            raise
    return results
