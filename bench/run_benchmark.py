#!/usr/bin/env python3
"""End-to-end benchmark of wave_effect: whole runs on long recordings.

    bench/run_benchmark.py [--runs N] [--minutes M ...] [--null-dumps]
                           [--keep DIR] [--longest KEY]

Builds nothing itself: it expects the release build (tools/run_tests.sh or
`cmake --preset release && cmake --build --preset release`). For each length
it makes a recording with make_demo_wave and runs wave_effect on it for each
key (x: no effect, d with gain 4 and level 0.5, r, v). Every figure is given
as fastest/median of the runs: the targets are set on the fastest, the
median shows how much the machine moved.

Each key's table row gives its wall time, its ratios to two floors and to
key d, and its peak resident memory (measured in a run of its own, started
by bench/peak_memory rather than by this interpreter, whose memory a child
of its own would count as its peak; runs that are timed are started the
cheap way, vfork and exec). The floors are what writing the run's
output files costs at all, with cat:

  over  the same bytes written over existing files of the same size, as a
        plain program overwrites its own outputs (cat FILE > COPY);
  new   the same bytes written into new files (the copies are removed, then
        comes the sync, then cat FILE > NEW): writing them at all, with
        nothing of an earlier run's to free.

Key d does the same I/O as r and v with trivial arithmetic, so the ratio to
d is what each effect's computation costs beyond the I/O that any run pays.

--null-dumps runs everything a second time with wave-before.csv and
wave-after.csv linked to /dev/null in the run directory (wave_effect writes
through a device link without emptying it): that is the computation and the
sound file alone, and the floors are then those of ex8_2.wav alone.

Where ffmpeg is installed, an ffmpeg row follows on every length of 10
minutes or less: its aecho filter with the same 100 echoes (delays 50 k ms,
decays 0.5^k, k = 1..100) over the same tec.wav, and the ratio of its time
to ours for r with the dumps on /dev/null (so it needs --null-dumps).

Then the straightforward transcription of the program (bench/straightforward,
built with WAVE_EFFECT_BENCH) runs every key on a 1-minute recording beside
wave_effect, dumps in files for both, and the speed-up over it is printed
with whether the two wrote the same ex8_2.wav and dumps ("identical") or
not ("differs": something to look into).

Within each key, runs of the program alternate with runs of the floors (or
of the transcription), so that both see the same machine, and every timed
run starts after a sync: a run of sixty minutes leaves over 3 GB for the
kernel to write out, and the next run would otherwise be slowed by that
writeback, whichever it is. The growth from the shortest to the longest
length is printed for each key and for its floors, which on a machine whose
disk cannot keep up grow faster than the length too.

--longest KEY adds one run of KEY (alone, unless --minutes is given too) on
the longest recording a WAV file can describe, 2,147,483,600 samples (13.5
hours). It writes about 45 GB and needs about 65 GB free, so it is for
running by hand, never in CI. Its floor is that of new files, measured a
file at a time, each copy removed before the next is made.
"""

import argparse
import filecmp
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
STRAIGHTFORWARD = os.path.join(ROOT, "build/release/bench/straightforward")
PEAK_MEMORY = os.path.join(ROOT, "build/release/bench/peak_memory")
KEYS = [("x", b"x\n"), ("d", b"d\n4\n0.5\n"), ("r", b"r\n"), ("v", b"v\n")]
SOUND = "ex8_2.wav"
DUMPS = ["wave-before.csv", "wave-after.csv"]
OUTPUTS = [SOUND] + DUMPS
FFMPEG_LONGEST_MINUTES = 10  # aecho with 100 taps takes long on an hour
STRAIGHTFORWARD_MINUTES = 1  # its reverb takes seconds a minute
TARGETS_FFMPEG = "target >= 12"
TARGETS_STRAIGHTFORWARD = "targets: every key >= 25, r >= 50"


def timed_run(command, cwd, replies=b""):
    """Wall time of one child process, started the way subprocess starts
    one (vfork and exec): os.fork copies this interpreter's memory map, some
    4 ms a run, which a run on a minute's recording would count as its own."""
    start = time.perf_counter()
    child = subprocess.run(command, cwd=cwd, input=replies, stdout=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if child.returncode != 0:
        sys.exit("benchmark: %s failed in %s" % (" ".join(command), cwd))
    return elapsed


def peak_memory(command, cwd, replies=b""):
    """Peak resident memory (bytes) of one child process, started by the
    small bench/peak_memory: a child that this interpreter starts begins on
    a copy of the interpreter's memory, which would count as its own peak."""
    child = subprocess.run([PEAK_MEMORY] + command, cwd=cwd, input=replies,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if child.returncode != 0:
        sys.stderr.buffer.write(child.stderr)
        sys.exit("benchmark: %s failed in %s" % (" ".join(command), cwd))
    return int(child.stderr.splitlines()[-1])


def synced_run(command, cwd, replies=b""):
    """timed_run after the writeback of everything before it."""
    os.sync()
    return timed_run(command, cwd, replies)


# --- figures: every one is fastest/median ----------------------------------


def pair(times, digits=3):
    return "%.*f/%.*f" % (digits, min(times), digits, statistics.median(times))


def ratio(top, bottom):
    return "%.2f/%.2f" % (min(top) / min(bottom),
                          statistics.median(top) / statistics.median(bottom))


# --- floors ----------------------------------------------------------------


def copy_command(names, prefix):
    return " ; ".join("cat %s > %s%s" % (name, prefix, name) for name in names)


def remove_files(directory, names):
    for name in names:
        path = os.path.join(directory, name)
        if os.path.lexists(path):
            os.remove(path)


def floor_over(directory, names):
    """Writing `names` over copies of the same size that exist already."""
    return synced_run(["/bin/sh", "-c", copy_command(names, "copy-")], directory)


def floor_new(directory, names):
    """Writing `names` into new files: none of them exists before the sync."""
    remove_files(directory, ["new-" + name for name in names])
    return synced_run(["/bin/sh", "-c", copy_command(names, "new-")], directory)


# --- one length ------------------------------------------------------------


def make_recording(directory, minutes):
    tec = os.path.join(directory, "tec.wav")
    subprocess.run([GENERATOR, tec, str(minutes * 60)], check=True)
    return (os.path.getsize(tec) - 44) // 2


def link_dumps(directory, to_null):
    """The dumps as links to /dev/null, or as nothing (the run makes files)."""
    remove_files(directory, DUMPS)
    if to_null:
        for name in DUMPS:
            os.symlink(os.devnull, os.path.join(directory, name))


def check_dumps_linked(directory):
    for name in DUMPS:
        if not os.path.islink(os.path.join(directory, name)):
            sys.exit("benchmark: wave_effect replaced the link %s to /dev/null" % name)


def bench_key(directory, replies, written, runs):
    """Runs of the program and of both floors of the files it writes."""
    # Outputs of this key's size exist, and copies of them to write over.
    peak = peak_memory([PROGRAM], directory, replies)
    subprocess.run(["/bin/sh", "-c", copy_command(written, "copy-")], cwd=directory, check=True)
    result = {"run": [], "over": [], "new": [], "peak": peak}
    for _ in range(runs):
        result["run"].append(synced_run([PROGRAM], directory, replies))
        result["over"].append(floor_over(directory, written))
        result["new"].append(floor_new(directory, written))
    remove_files(directory, ["copy-" + name for name in written])
    remove_files(directory, ["new-" + name for name in written])
    return result


def print_mode(results, samples, to_null, runs):
    if to_null:
        print("  dumps linked to /dev/null; floors: %s alone" % SOUND)
    else:
        print("  dumps in files; floors: the three outputs")
    print("  each figure fastest/median of %d runs" % runs)
    print("  key  %13s  %13s  %13s  %13s  %13s  %13s  %8s  %12s" %
          ("run s", "over s", "new s", "x over", "x new", "x d", "peak MiB", "bytes/sample"))
    d = results["d"]["run"]
    for key, _ in KEYS:
        r = results[key]
        print("  %-3s  %13s  %13s  %13s  %13s  %13s  %13s  %8.1f  %12.2f" %
              (key, pair(r["run"]), pair(r["over"]), pair(r["new"]), ratio(r["run"], r["over"]),
               ratio(r["run"], r["new"]), ratio(r["run"], d), r["peak"] / 2**20,
               r["peak"] / samples))


def bench_mode(directory, samples, runs, to_null):
    link_dumps(directory, to_null)
    written = [SOUND] if to_null else OUTPUTS
    results = {key: bench_key(directory, replies, written, runs) for key, replies in KEYS}
    if to_null:
        check_dumps_linked(directory)
        remove_files(directory, DUMPS)
    print()
    print_mode(results, samples, to_null, runs)
    return results


def echo_filter():
    delays = "|".join(str(50 * k) for k in range(1, 101))
    decays = "|".join(repr(0.5**k) for k in range(1, 101))
    return "aecho=1:1:%s:%s" % (delays, decays)


def bench_ffmpeg(ffmpeg, directory, runs, our_reverb):
    """ffmpeg's aecho with our reverb's 100 echoes, against our r."""
    command = [ffmpeg, "-v", "error", "-y", "-i", "tec.wav", "-af", echo_filter(), "out.wav"]
    times = [synced_run(command, directory) for _ in range(runs)]
    os.remove(os.path.join(directory, "out.wav"))
    versus = ratio(times, our_reverb) if our_reverb else "(needs --null-dumps)"
    print("\n  ffmpeg aecho, 100 echoes: %s s, x our r with dumps on /dev/null: %s (%s)" %
          (pair(times), versus, TARGETS_FFMPEG))


def bench_length(minutes, runs, directory, null_dumps):
    samples = make_recording(directory, minutes)
    print("\n%d minutes at 44.1 kHz: %d samples, %d runs per key" % (minutes, samples, runs))
    results = {"files": bench_mode(directory, samples, runs, False)}
    if null_dumps:
        results["null"] = bench_mode(directory, samples, runs, True)
    ffmpeg = shutil.which("ffmpeg")
    if ffmpeg and minutes <= FFMPEG_LONGEST_MINUTES:
        our_reverb = results["null"]["r"]["run"] if null_dumps else None
        bench_ffmpeg(ffmpeg, directory, runs, our_reverb)
    return results


# --- the straightforward transcription -------------------------------------


def same_outputs(ours, theirs):
    return all(
        filecmp.cmp(os.path.join(ours, name), os.path.join(theirs, name), shallow=False)
        for name in OUTPUTS)


def bench_straightforward(runs, directory):
    """Every key by wave_effect and by the transcription, side by side."""
    ours, theirs = os.path.join(directory, "ours"), os.path.join(directory, "straightforward")
    os.makedirs(ours, exist_ok=True)
    os.makedirs(theirs, exist_ok=True)
    samples = make_recording(ours, STRAIGHTFORWARD_MINUTES)
    remove_files(theirs, ["tec.wav"])
    os.link(os.path.join(ours, "tec.wav"), os.path.join(theirs, "tec.wav"))
    print("\nthe straightforward transcription of the program, %d minute (%d samples), "
          "dumps in files" % (STRAIGHTFORWARD_MINUTES, samples))
    print("  each figure fastest/median of %d runs; %s" % (runs, TARGETS_STRAIGHTFORWARD))
    print("  key  %13s  %15s  %13s  %s" % ("ours s", "transcription s", "x faster", "outputs"))
    for key, replies in KEYS:
        our_times, their_times = [], []
        for _ in range(runs):
            our_times.append(synced_run([PROGRAM], ours, replies))
            their_times.append(synced_run([STRAIGHTFORWARD], theirs, replies))
        verdict = "identical" if same_outputs(ours, theirs) else "differs"
        print("  %-3s  %13s  %15s  %13s  %s" % (key, pair(our_times), pair(their_times),
                                                ratio(their_times, our_times), verdict))


# --- the longest recording -------------------------------------------------

LONGEST = 2147483600


def bench_longest(key, directory):
    replies = dict(KEYS)[key]
    tec = os.path.join(directory, "tec.wav")
    subprocess.run([GENERATOR, tec, repr(LONGEST / 44100)], check=True)
    samples = (os.path.getsize(tec) - 44) // 2
    assert samples == LONGEST, samples
    print("\nthe longest recording, %d samples at 44.1 kHz, key %s, one run" % (samples, key))
    os.sync()
    start = time.perf_counter()
    peak = peak_memory([PROGRAM], directory, replies)  # hours: the helper's start is nothing
    elapsed = time.perf_counter() - start
    os.remove(tec)  # room for the copies
    floor = 0.0
    for name in OUTPUTS:
        floor += floor_new(directory, [name])
        remove_files(directory, ["new-" + name])
    print("  key  time s  new s  x new  peak MiB  bytes/sample")
    print("  %-3s  %6.1f  %5.1f  %5.2f  %8.1f  %12.4f" %
          (key, elapsed, floor, elapsed / floor, peak / 2**20, peak / samples))


# --- growth with the length ------------------------------------------------


def print_growth(by_length):
    shortest, longest = min(by_length), max(by_length)
    print("\ngrowth from %d to %d minutes (x%d in length), of each key and of its floors,"
          " fastest/median:" % (shortest, longest, longest // shortest))
    for mode in by_length[shortest]:
        print("  dumps %s" % ("linked to /dev/null" if mode == "null" else "in files"))
        for key, _ in KEYS:
            short, long = by_length[shortest][mode][key], by_length[longest][mode][key]
            print("  %-3s  x%s  over x%s  new x%s" %
                  (key, ratio(long["run"], short["run"]), ratio(long["over"], short["over"]),
                   ratio(long["new"], short["new"])))


def in_directory(keep, name, work):
    """work(directory) in KEEP/NAME, or in a temporary directory removed after."""
    directory = os.path.join(keep, name) if keep else tempfile.mkdtemp(
        prefix="wave_effect_bench_", dir=ROOT)
    os.makedirs(directory, exist_ok=True)
    try:
        return work(directory)
    finally:
        if not keep:
            shutil.rmtree(directory)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--minutes", type=int, nargs="+",
                        help="lengths to run (10 and 60 unless only --longest is asked for)")
    parser.add_argument("--null-dumps", action="store_true",
                        help="also run with the dumps linked to /dev/null")
    parser.add_argument("--keep", help="work in this directory and leave the files there")
    parser.add_argument("--longest", choices=[key for key, _ in KEYS],
                        help="also run this key on the longest recording (by hand only)")
    args = parser.parse_args()
    for tool in (PROGRAM, GENERATOR, PEAK_MEMORY):
        if not os.access(tool, os.X_OK):
            sys.exit("benchmark: %s is not built" % tool)
    if args.minutes is None:
        args.minutes = [] if args.longest else [10, 60]
    by_length = {}
    for minutes in args.minutes:
        by_length[minutes] = in_directory(
            args.keep, "%d-minutes" % minutes,
            lambda directory: bench_length(minutes, args.runs, directory, args.null_dumps))
    if len(by_length) > 1:
        print_growth(by_length)
    if args.minutes:
        if os.access(STRAIGHTFORWARD, os.X_OK):
            in_directory(args.keep, "straightforward",
                         lambda directory: bench_straightforward(args.runs, directory))
        else:
            print("\n%s is not built (WAVE_EFFECT_BENCH is off): no comparison with it" %
                  STRAIGHTFORWARD)
    if args.longest:
        in_directory(None, "", lambda directory: bench_longest(args.longest, directory))


if __name__ == "__main__":
    main()
