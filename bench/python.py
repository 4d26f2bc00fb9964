#!/usr/bin/python3
"""Throughput of the Python module: ptseg.spans() on the benchmark text as
str, on one thread and on two at once.

    bench/python.py ISO_FILE UTF8_FILE PTSEG_SECONDS

ISO_FILE is the benchmark text in ISO-8859-1, UTF8_FILE the same text in
UTF-8 (read and decoded to str once, outside the timing) and PTSEG_SECONDS
ptseg's median time on ISO_FILE, measured by the caller in the same run
(bench/run).  ptsplit, when built (PTSEG_PTSPLIT, default
bench/out/build/ptsplit), is timed here on UTF8_FILE with its output
discarded.  Prints, for each row, the median seconds of RUNS runs (default
5), MB/s (1 MB = 10^6 bytes of ISO_FILE, the same text for all) and the
ratios against the baselines, with the targets: one thread at least 0.5x
ptsplit's throughput; two threads, each on its own copy of the text, at
least 1.6x one thread's throughput on two or more cores.  The module must be
importable (bench/run puts it on PYTHONPATH).
"""
import os
import statistics
import subprocess
import sys
import threading
import time

import ptseg

HERE = os.path.dirname(os.path.abspath(__file__))


def median_seconds(runs, work):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def in_threads(texts):
    """Segments each text on a thread of its own, all started together."""
    barrier = threading.Barrier(len(texts))
    counts = [None] * len(texts)

    def run(i):
        barrier.wait()
        counts[i] = len(ptseg.spans(texts[i]))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(texts))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if len(set(counts)) != 1:
        sys.exit('the threads found different sentence counts: %s' % counts)


def run_program(program, path):
    with open(path, 'rb') as source, open(os.devnull, 'wb') as sink:
        subprocess.run([program], stdin=source, stdout=sink, stderr=subprocess.DEVNULL,
                       check=True)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    iso_file, utf8_file, ptseg_seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    runs = int(os.environ.get('RUNS', '5'))
    size = os.path.getsize(iso_file)
    with open(utf8_file, 'rb') as f:
        text = f.read().decode('utf-8')
    # A copy of its own for the second thread ("".join would give back the
    # same object).
    other = (text + '.')[:-1]
    assert other is not text and other == text

    ptsplit = os.environ.get('PTSEG_PTSPLIT', os.path.join(HERE, 'out', 'build', 'ptsplit'))
    ptsplit_seconds = None
    if os.access(ptsplit, os.X_OK):
        ptsplit_seconds = median_seconds(runs, lambda: run_program(ptsplit, utf8_file))

    one = median_seconds(runs, lambda: ptseg.spans(text))
    two = median_seconds(runs, lambda: in_threads([text, other]))
    cores = len(os.sched_getaffinity(0))

    print('Python module (%s): ptseg.spans() on the text as str, %d characters, '
          'median of %d runs' % (ptseg.__file__, len(text), runs))
    print('%-22s %9s %9s %11s %13s  %s' % ('', 'median s', 'MB/s', 'this/ptseg', 'this/ptsplit',
                                         'target'))

    def row(name, seconds, amount, target):
        speed = amount / seconds
        vs_ptsplit = ('%12.2fx' % (speed / (size / ptsplit_seconds))
                      if ptsplit_seconds else '%13s' % '-')
        print('%-22s %9.3f %9.1f %10.2fx %s  %s' % (
            name, seconds, speed / 1e6, speed / (size / ptseg_seconds), vs_ptsplit, target))

    if ptsplit_seconds:
        ratio = ptsplit_seconds / one
        target = '>= 0.5x ptsplit: %s' % ('ok' if ratio >= 0.5 else 'MISSED')
    else:
        target = 'skipped: no ptsplit at %s' % ptsplit
    row('spans(str), 1 thread', one, size, target)
    scaling = 2 * one / two
    if cores >= 2:
        target = '>= 1.6x 1 thread: %.2fx %s' % (scaling, 'ok' if scaling >= 1.6 else 'MISSED')
    else:
        target = '%.2fx 1 thread (skipped: the target needs 2 cores, %d here)' % (scaling, cores)
    row('spans(str), 2 threads', two, 2 * size, target)
    print('(MB/s counts the ISO-8859-1 bytes of the text; two threads segment it twice. '
          'ptseg: %.3f s%s)' % (ptseg_seconds,
                                ', ptsplit: %.3f s' % ptsplit_seconds if ptsplit_seconds else ''))


if __name__ == '__main__':
    main()
