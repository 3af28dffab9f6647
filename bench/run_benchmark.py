#!/usr/bin/env python3
"""End-to-end benchmark of wave_effect: whole runs on long recordings.

    bench/run_benchmark.py [--runs N] [--minutes M ...] [--keep DIR]
                           [--longest KEY]

Builds nothing itself: it expects the release build (tools/run_tests.sh or
`cmake --preset release && cmake --build --preset release`). For each length
it makes a recording with make_demo_wave, runs wave_effect on it for each key
(x: no effect, d with gain 4 and level 0.5, r, v), and prints each key's
median wall time, its ratio to the floor and its peak resident memory.

The floor is what writing the run's three output files costs at all: the
same bytes written over existing files of the same size, as the program
overwrites its own outputs (cat FILE > COPY, each of the three). Each key's
runs alternate with floor runs on that key's outputs, and the ratio is of the
two medians.

Every timed run, of the program or of the floor, starts after a sync: a run
of sixty minutes leaves over 3 GB for the kernel to write out, and the next
run would otherwise be slowed by that writeback, whichever it is. The growth
from the shortest to the longest length is printed for each key and for its
floor, which on a machine whose disk cannot keep up grows faster than the
length too.

--longest KEY adds one run of KEY (alone, unless --minutes is given too) on the longest recording a WAV file can
describe, 2,147,483,600 samples (13.5 hours). It writes about 45 GB and
needs about 65 GB free, so it is for running by hand, never in CI. Its floor
is measured a file at a time, each copy removed before the next is made.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROGRAM = os.path.join(ROOT, "build/release/src/driver/wave_effect")
GENERATOR = os.path.join(ROOT, "build/release/tools/make_demo_wave")
KEYS = [("x", b"x\n"), ("d", b"d\n4\n0.5\n"), ("r", b"r\n"), ("v", b"v\n")]
OUTPUTS = ["ex8_2.wav", "wave-before.csv", "wave-after.csv"]


def timed_run(command, cwd, replies=b""):
    """Wall time and peak resident memory (bytes) of one child process."""
    read_end, write_end = os.pipe()
    start = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        os.chdir(cwd)
        os.dup2(read_end, 0)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(write_end)
        os.execv(command[0], command)
    os.close(read_end)
    os.write(write_end, replies)
    os.close(write_end)
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("benchmark: %s failed in %s" % (" ".join(command), cwd))
    return elapsed, usage.ru_maxrss * 1024


def floor_command():
    return " ; ".join("cat %s > copy-%s" % (name, name) for name in OUTPUTS)


def bench_length(minutes, runs, directory):
    tec = os.path.join(directory, "tec.wav")
    subprocess.run([GENERATOR, tec, str(minutes * 60)], check=True)
    samples = (os.path.getsize(tec) - 44) // 2
    print("\n%d minutes at 44.1 kHz: %d samples, %d runs per key" % (minutes, samples, runs))
    print("  key  median s  floor s  x floor  peak MiB  bytes/sample")
    results = {}
    for key, replies in KEYS:
        # Outputs of this key's size exist, and copies of them to overwrite.
        timed_run([PROGRAM], directory, replies)
        subprocess.run(["sh", "-c", floor_command()], cwd=directory, check=True)
        # Runs and floors alternate, so that both see the same machine.
        measured, floors = [], []
        for _ in range(runs):
            os.sync()
            measured.append(timed_run([PROGRAM], directory, replies))
            os.sync()
            floors.append(timed_run(["/bin/sh", "-c", floor_command()], directory)[0])
        median = statistics.median(t for t, _ in measured)
        floor = statistics.median(floors)
        peak = max(m for _, m in measured)
        results[key] = (median, floor)
        print("  %-3s  %8.3f  %7.3f  %7.2f  %8.1f  %12.2f" %
              (key, median, floor, median / floor, peak / 2**20, peak / samples))
    for name in OUTPUTS:
        os.remove(os.path.join(directory, "copy-" + name))
    return results


LONGEST = 2147483600


def bench_longest(key, directory):
    replies = dict(KEYS)[key]
    tec = os.path.join(directory, "tec.wav")
    subprocess.run([GENERATOR, tec, repr(LONGEST / 44100)], check=True)
    samples = (os.path.getsize(tec) - 44) // 2
    assert samples == LONGEST, samples
    print("\nthe longest recording, %d samples at 44.1 kHz, key %s, one run" % (samples, key))
    os.sync()
    elapsed, peak = timed_run([PROGRAM], directory, replies)
    os.remove(tec)  # room for the copies
    floor = 0.0
    for name in OUTPUTS:
        os.sync()
        floor += timed_run(["/bin/sh", "-c", "cat %s > copy-%s" % (name, name)], directory)[0]
        os.remove(os.path.join(directory, "copy-" + name))
    print("  key  time s  floor s  x floor  peak MiB  bytes/sample")
    print("  %-3s  %6.1f  %7.1f  %7.2f  %8.1f  %12.4f" %
          (key, elapsed, floor, elapsed / floor, peak / 2**20, peak / samples))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--minutes", type=int, nargs="+",
                        help="lengths to run (10 and 60 unless only --longest is asked for)")
    parser.add_argument("--keep", help="work in this directory and leave the files there")
    parser.add_argument("--longest", choices=[key for key, _ in KEYS],
                        help="also run this key on the longest recording (by hand only)")
    args = parser.parse_args()
    for tool in (PROGRAM, GENERATOR):
        if not os.access(tool, os.X_OK):
            sys.exit("benchmark: %s is not built" % tool)
    if args.minutes is None:
        args.minutes = [] if args.longest else [10, 60]
    by_length = {}
    for minutes in args.minutes:
        directory = args.keep or tempfile.mkdtemp(prefix="wave_effect_bench_", dir=ROOT)
        os.makedirs(directory, exist_ok=True)
        try:
            by_length[minutes] = bench_length(minutes, args.runs, directory)
        finally:
            if not args.keep:
                shutil.rmtree(directory)
    if args.longest:
        directory = tempfile.mkdtemp(prefix="wave_effect_bench_", dir=ROOT)
        try:
            bench_longest(args.longest, directory)
        finally:
            shutil.rmtree(directory)
    if len(by_length) > 1:
        shortest, longest = min(by_length), max(by_length)
        print("\ngrowth from %d to %d minutes (x%d in length), of each key and of its floor:" %
              (shortest, longest, longest // shortest))
        for key, _ in KEYS:
            (run_long, floor_long), (run_short, floor_short) = (by_length[longest][key],
                                                                by_length[shortest][key])
            print("  %-3s  x%.2f  floor x%.2f" % (key, run_long / run_short, floor_long / floor_short))


if __name__ == "__main__":
    main()
