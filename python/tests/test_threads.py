"""Python threads trace at once: the interpreter's lock is released while the
detector runs, and runs side by side give the results of runs one after the
other. (How much faster two threads are is measured by
bench/python_bench.py, not asserted here.)"""
import sys
import threading

import numpy as np

import lintrace
from conftest import PHOTOS


def mosaic(photo, tiles):
    """A larger photograph: the four photographs cropped to a common size, tiled."""
    images = [photo(name)[1][:300, :450] for name in PHOTOS]
    rows = [np.hstack([images[(r + c) % 4] for c in range(tiles)]) for r in range(tiles)]
    return np.vstack(rows)


def test_the_lock_is_released_while_the_detector_runs(photo):
    image = mosaic(photo, 6)  # 4.9 megapixels, a good part of a second on one thread
    inside = [False]
    seen_inside = []
    failures = []

    def work():
        try:
            inside[0] = True
            lintrace.trace(image, sigma=1.0, threads=1)
            inside[0] = False
        except BaseException as failure:  # reported by the main thread
            failures.append(failure)

    # The interpreter never takes the lock from a thread that holds it on
    # its own: only a release inside trace() lets this thread run while the
    # worker is between its two assignments.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        worker = threading.Thread(target=work)
        worker.start()
        while worker.is_alive():
            seen_inside.append(inside[0])
            worker.join(0.001)
    finally:
        sys.setswitchinterval(interval)
    assert not failures
    assert any(seen_inside)


def test_threads_at_once_give_the_results_of_runs_one_after_the_other(photo):
    image = mosaic(photo, 3)
    jobs = [(image, {"sigma": 1.0, "threads": 1}), (image[::-1], {"sigma": 2.0, "subpixel": True, "threads": 1}),
            (image.T, {"sigma": 1.0, "low": 3, "high": 6, "threads": 2}), (image, {"sigma": 1.5, "subpixel": True})]
    one_after_the_other = []
    for a, settings in jobs:
        edges = lintrace.trace(a, **settings)
        one_after_the_other.append((edges.to_list(), lintrace.paint(edges)))
    results = [None] * len(jobs) * 3
    start = threading.Barrier(len(results))

    def work(k):
        a, settings = jobs[k % len(jobs)]
        start.wait()
        edges = lintrace.trace(a, **settings)
        results[k] = (edges.to_list(), lintrace.paint(edges))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(results))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k, (text, drawing) in enumerate(results):
        expected_text, expected_drawing = one_after_the_other[k % len(jobs)]
        assert text == expected_text and np.array_equal(drawing, expected_drawing)
