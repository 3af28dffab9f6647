#!/usr/bin/env python3
"""End-to-end runs of wave_effect in a scratch directory, replies piped in.

    run_test.py WAVE_EFFECT MAKE_DEMO_WAVE [--sanitized] [--windows]
                [--emulator COMMAND ...]

A cross build's programs run through its emulator (wine, qemu), named by
everything after --emulator. Built for Windows, the program's text (the
dumps, stdout and stderr) ends its lines with CR LF; the rows that have no
meaning there (resource limits, signals, /dev/full) are skipped.
"""

import hashlib
import os
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

PROGRAM = None
GENERATOR = None
EMULATOR = []
SANITIZED = False
WINDOWS = False


def command(program, *args):
    return EMULATOR + [program] + list(args)


def text(lines):
    """What the program writes for `lines`, with the platform's line ends."""
    return lines.replace("\n", "\r\n") if WINDOWS else lines


def wave_file(samples, rate=8000, channels=1, bits=16, data_size=None):
    data = struct.pack("<%dh" % len(samples), *samples)
    size = len(data) if data_size is None else data_size
    fmt = struct.pack("<HHIIHH", 1, channels, rate, rate * channels * bits // 8,
                      channels * bits // 8, bits)
    return (b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVE" + b"fmt " +
            struct.pack("<I", 16) + fmt + b"data" + struct.pack("<I", size) + data)


def wave_samples(content):
    count = (len(content) - 44) // 2
    return list(struct.unpack("<%dh" % count, content[44:44 + 2 * count]))


EARLIER_OUTPUT = b"an earlier ex8_2.wav that a failed run must keep"


class Run:
    """One run of the program in a fresh directory."""

    def __init__(self, tec=None, replies="", setup=None, limits=None, env=None, closed=()):
        self.dir = tempfile.mkdtemp(prefix="wave_effect_e2e_")
        if tec is not None:
            with open(self.path("tec.wav"), "wb") as f:
                f.write(tec)
        if setup:
            setup(self)

        def preexec():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            for limit, value in (limits or {}).items():
                resource.setrlimit(limit, (value, value))
            for stream in closed:
                os.close(stream)

        done = subprocess.run(command(PROGRAM), cwd=self.dir, input=replies.encode(),
                              capture_output=True, timeout=120, preexec_fn=preexec,
                              env=env)
        self.status = done.returncode
        self.stdout = done.stdout.decode()
        # Messages are compared as written on Linux; on Windows each line
        # must end with CR LF first.
        stderr = done.stderr.decode()
        if WINDOWS:
            assert stderr.count("\n") == stderr.count("\r\n"), repr(stderr)
            stderr = stderr.replace("\r\n", "\n")
        self.stderr = stderr

    def path(self, name):
        return os.path.join(self.dir, name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def lines(self, name):
        return self.read(name).decode().splitlines()

    def files(self):
        return sorted(os.listdir(self.dir))

    def close(self):
        shutil.rmtree(self.dir)


class Dialogue(unittest.TestCase):
    def run_program(self, *args, **kwargs):
        run = Run(*args, **kwargs)
        self.addCleanup(run.close)
        return run

    def test_unmatched_key_leaves_the_output_silent(self):
        run = self.run_program(wave_file([-32768, 16384, 1, 0, -1, 32767], rate=11025), "x\n")
        self.assertEqual((run.status, run.stdout, run.stderr), (0, text("6\neffect<d,v>:"), ""))
        self.assertEqual(run.read("wave-before.csv").decode(), text(
            "-1.000000\n0.500000\n0.000031\n0.000000\n-0.000031\n0.999969\n"))
        self.assertEqual(run.lines("wave-after.csv"), ["0.000000"] * 6)
        out = run.read("ex8_2.wav")
        self.assertEqual(out[:44], wave_file([0] * 6, rate=11025)[:44])
        self.assertEqual(wave_samples(out), [0] * 6)
        self.assertEqual(run.files(), ["ex8_2.wav", "tec.wav", "wave-after.csv", "wave-before.csv"])

    def test_each_reply_chooses_as_described(self):
        samples = [1000, -2000, 3000, -4000]
        cases = [
            ("r\n", samples),               # not on the prompt, accepted all the same
            ("r\r\n", samples),             # a Windows line end
            ("  r  \n", samples),
            ("D\n", [0] * 4),               # keys are case-sensitive
            ("rr\n", [0] * 4),
            ("abcdefghijk\n", [0] * 4),     # 11 characters
            ("abcdefghijkl\n", [0] * 4),    # 12
            ("x" * 100 + "\n", [0] * 4),
            ("d 2 0.5\n", samples),         # replies on one line
            ("d\n-1\n1\n", [-s for s in samples]),
        ]
        for replies, expected in cases:
            with self.subTest(replies=replies):
                # The reverb copies a sound shorter than its echo spacing.
                run = self.run_program(wave_file(samples), replies)
                self.assertEqual((run.status, run.stderr), (0, ""))
                self.assertEqual(wave_samples(run.read("ex8_2.wav")), expected)

    def test_every_layout_of_the_same_samples_gives_the_same_files(self):
        samples = [(n * 7919) % 65536 - 32768 for n in range(20000)]
        for replies in ("r\n", "v\n"):
            expected = program_output(wave_file(samples), replies)
            for name, tec in other_layouts(samples).items():
                with self.subTest(name, replies=replies):
                    self.assertEqual(program_output(tec, replies), expected)

    def test_distortion_asks_its_settings_even_for_an_empty_sound(self):
        run = self.run_program(wave_file([]), "d\n1\n1\n")
        self.assertEqual((run.status, run.stdout), (0, text("0\neffect<d,v>:gain:level:")))
        self.assertEqual(run.read("wave-before.csv"), b"")
        self.assertEqual(run.read("wave-after.csv"), b"")
        self.assertEqual(len(run.read("ex8_2.wav")), 44)

    def test_refused_number_is_asked_again(self):
        run = self.run_program(wave_file([8192]), "d\nnan\ninf 3\n1e39\n2\n0.5\n")
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stdout, text("1\neffect<d,v>:gain:gain:gain:gain:level:"))
        self.assertEqual(run.stderr.count("is not a finite number; try again\n"), 3)
        self.assertEqual(run.lines("wave-after.csv"), ["0.250000"])

    def test_each_prompt_is_visible_before_its_reply_is_read(self):
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        with open(os.path.join(tmp, "tec.wav"), "wb") as f:
            f.write(wave_file([1, 2, 3]))
        child = subprocess.Popen(command(PROGRAM), cwd=tmp, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            for expected, reply in ((text("3\neffect<d,v>:"), b"d\n"), ("gain:", b"1\n"),
                                    ("level:", b"1\n")):
                self.assertEqual(read_prompt(child, expected), expected)
                child.stdin.write(reply)
                child.stdin.flush()
            child.stdin.close()
            self.assertEqual(child.wait(timeout=30), 0)
            self.assertEqual(child.stdout.read(), b"")
        finally:
            child.kill()
            child.wait()
            child.stdout.close()
            child.stderr.close()

    def test_declared_size_past_the_end_is_read_as_far_as_it_goes(self):
        run = self.run_program(wave_file([5, 6, 7], data_size=0xFFFFFFFF), "x\n")
        self.assertEqual((run.status, run.stdout), (0, text("3\neffect<d,v>:")))
        self.assertEqual(run.stderr, "wave_effect: tec.wav: the \"data\" chunk declares "
                         "4294967295 bytes but only 6 are present; reading those\n")

    def test_every_effect_on_the_demo_sound(self):
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        demo = os.path.join(tmp, "tec.wav")
        subprocess.run(command(GENERATOR, demo), check=True)
        with open(demo, "rb") as f:
            tec = f.read()
        count = (len(tec) - 44) // 2
        outputs = set()
        for replies in ("d\n4\n0.5\n", "r\n", "v\n"):
            with self.subTest(replies=replies):
                run = self.run_program(tec, replies)
                self.assertEqual((run.status, run.stderr), (0, ""))
                self.assertEqual(len(run.lines("wave-before.csv")), count)
                self.assertEqual(len(run.lines("wave-after.csv")), count)
                out = run.read("ex8_2.wav")
                self.assertEqual(out[:44], tec[:44])
                self.assertNotEqual(out, tec)
                outputs.add(out)
        self.assertEqual(len(outputs), 3)


def keep_earlier_output(run):
    with open(run.path("ex8_2.wav"), "wb") as f:
        f.write(EARLIER_OUTPUT)


def directory_named(name):
    def setup(run):
        keep_earlier_output(run)
        if name == "ex8_2.wav":
            os.remove(run.path(name))
        os.mkdir(run.path(name))
    return setup


def fmt_chunk(tag=1, channels=1, rate=8000, bits=16, size=16):
    body = struct.pack("<HHIIHH", tag, channels, rate, rate * channels * bits // 8,
                       channels * bits // 8, bits)
    return b"fmt " + struct.pack("<I", size) + body[:size]


def riff(*chunks):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def ds64_chunk(data_size):
    return b"ds64" + struct.pack("<IQQQI", 28, 0, data_size, data_size // 2, 0)


def rf64_head(tag, data_size, *chunks):
    """An RF64 or BW64 file's chunks up to its samples, which "data" ends."""
    return (tag + struct.pack("<I", 0xFFFFFFFF) + b"WAVE" + ds64_chunk(data_size) +
            b"".join(chunks) + b"data" + struct.pack("<I", 0xFFFFFFFF))


def other_layouts(samples):
    """The layouts besides RIFF's that hold these samples at 8000 Hz."""
    data = struct.pack("<%dh" % len(samples), *samples)
    big = struct.pack(">%dh" % len(samples), *samples)
    return {
        "RIFX": b"RIFX" + struct.pack(">I4s4sIHHIIHH4sI", 36 + len(big), b"WAVE", b"fmt ", 16, 1,
                                      1, 8000, 16000, 2, 16, b"data", len(big)) + big,
        "data before fmt": riff(b"data" + struct.pack("<I", len(data)) + data, fmt_chunk()),
        "RF64": rf64_head(b"RF64", len(data), fmt_chunk()) + data,
        "BW64": rf64_head(b"BW64", len(data), fmt_chunk()) + data,
    }


def sparse_rf64(samples):
    """An RF64 tec.wav of `samples` silent samples that takes no room on the disk."""
    def setup(run):
        keep_earlier_output(run)
        with open(run.path("tec.wav"), "wb") as f:
            f.write(rf64_head(b"RF64", 2 * samples, fmt_chunk()))
            f.truncate(f.tell() + 2 * samples)
    return setup


def sparse_recording(samples):
    """A silent tec.wav of `samples` samples that takes no room on the disk,
    and dumps on the null device, so that only ex8_2.wav is written."""
    def setup(run):
        keep_earlier_output(run)
        with open(run.path("tec.wav"), "wb") as f:
            f.write(wave_file([])[:4] + struct.pack("<I", 36 + 2 * samples) +
                    wave_file([])[8:40] + struct.pack("<I", 2 * samples))
            f.truncate(44 + 2 * samples)
        for dump in ("wave-before.csv", "wave-after.csv"):
            os.symlink(os.devnull, run.path(dump))
    return setup


DATA = b"data" + struct.pack("<I", 4) + struct.pack("<2h", 100, -100)
UNTOUCHED, COMPLETE, DIRECTORY = "untouched", "complete", "directory"
SMALL_MEMORY = {resource.RLIMIT_AS: 256 << 20}  # a run must stay small
REFUSED = "tec.wav: "

# name, tec.wav, replies, setup, limits, status, stderr (exact, or a part of
# it after "~"), and what becomes of an earlier ex8_2.wav.
HOSTILE = [
    ("stereo", wave_file([1, 2], channels=2), "x\n", None, None, 1,
     REFUSED + "2 channels; only mono is supported", UNTOUCHED),
    ("8-bit", wave_file([1, 2], bits=8), "x\n", None, None, 1,
     REFUSED + "8 bits per sample; only 16-bit samples are supported", UNTOUCHED),
    ("24-bit", wave_file([1, 2, 3], bits=24), "x\n", None, None, 1,
     REFUSED + "24 bits per sample; only 16-bit samples are supported", UNTOUCHED),
    ("32-bit", wave_file([1, 2], bits=32), "x\n", None, None, 1,
     REFUSED + "32 bits per sample; only 16-bit samples are supported", UNTOUCHED),
    ("float", riff(fmt_chunk(tag=3, bits=32), DATA), "x\n", None, None, 1,
     REFUSED + "32-bit floating-point samples; only 16-bit PCM is supported", UNTOUCHED),
    ("compressed", riff(fmt_chunk(tag=2), DATA), "x\n", None, None, 1,
     REFUSED + "compressed format (format tag 0x0002); only 16-bit PCM is supported",
     UNTOUCHED),
    ("zero rate", riff(fmt_chunk(rate=0), DATA), "x\n", None, None, 1,
     REFUSED + "sample rate of 0 Hz; it must be from 1 to 2147483647 Hz", UNTOUCHED),
    ("no fmt chunk", riff(DATA), "x\n", None, None, 1,
     REFUSED + "no \"fmt \" chunk", UNTOUCHED),
    ("no data chunk", riff(fmt_chunk()), "x\n", None, None, 1,
     REFUSED + "no \"data\" chunk", UNTOUCHED),
    ("chunk running past the end", riff(fmt_chunk(), b"LIST" + struct.pack("<I", 99) + b"ab"),
     "x\n", None, None, 1, REFUSED + "no \"data\" chunk", UNTOUCHED),
    ("fmt chunk cut short", riff(fmt_chunk(size=12), DATA), "x\n", None, None, 1,
     REFUSED + "the \"fmt \" chunk is cut short", UNTOUCHED),
    ("not RIFF/WAVE", b"OggS" + bytes(40), "x\n", None, None, 1,
     REFUSED + "not a RIFF/WAVE file", UNTOUCHED),
    ("empty file", b"", "x\n", None, None, 1, REFUSED + "not a RIFF/WAVE file", UNTOUCHED),
    ("tec.wav missing", None, "x\n", None, None, 1,
     REFUSED + "cannot open: no such file or directory", UNTOUCHED),
    ("tec.wav a directory", None, "x\n", directory_named("tec.wav"), None, 1,
     REFUSED + "is a directory, not a WAV file", UNTOUCHED),
    ("data size 0xFFFFFFFF on a small file", wave_file([1, 2, 3], data_size=0xFFFFFFFF), "r\n",
     None, SMALL_MEMORY, 0, "~declares 4294967295 bytes but only 6 are present", COMPLETE),
    ("data size 2^31 - 2 on a small file", wave_file([1, 2, 3], data_size=2**31 - 2), "v\n",
     None, SMALL_MEMORY, 0, "~declares 2147483646 bytes but only 6 are present", COMPLETE),
    ("RF64 of 2^31 samples", None, "x\n", sparse_rf64(2**31), None, 1,
     REFUSED + "2147483648 samples; at most 2147483647 samples are supported", UNTOUCHED),
    # Its samples would take 1 GiB as doubles: the run holds a stretch at a time.
    ("2^26 samples in 256 MiB", None, "r\n", sparse_recording(1 << 26), SMALL_MEMORY, 0, "",
     COMPLETE),
    ("reply of 11 characters", wave_file([1, 2]), "a" * 11 + "\n", None, None, 0, "", COMPLETE),
    ("reply of 12 characters", wave_file([1, 2]), "a" * 12 + "\n", None, None, 0, "", COMPLETE),
    ("reply of 100 characters", wave_file([1, 2]), "d" * 100 + "\n", None, None, 0, "", COMPLETE),
    ("input ends before the key", wave_file([1]), "", None, None, 1,
     "standard input: ended before the effect key was read", UNTOUCHED),
    ("input ends before the gain", wave_file([1]), "d\n", None, None, 1,
     "standard input: ended before the gain was read", UNTOUCHED),
    ("input ends before the level", wave_file([1]), "d\n5\n", None, None, 1,
     "standard input: ended before the level was read", UNTOUCHED),
    ("nan as gain", wave_file([1]), "d\nnan\n2 1\n", None, None, 0,
     "gain: \"nan\" is not a finite number; try again", COMPLETE),
    ("inf as gain", wave_file([1]), "d\ninf\n2 1\n", None, None, 0,
     "gain: \"inf\" is not a finite number; try again", COMPLETE),
    ("1e39 as gain", wave_file([1]), "d\n1e39\n2 1\n", None, None, 0,
     "gain: \"1e39\" is not a finite number; try again", COMPLETE),
    ("nan as gain, then the end", wave_file([1]), "d\nnan\n", None, None, 1,
     "~standard input: ended before the gain was read", UNTOUCHED),
    ("file-size limit hit while dumping", wave_file(list(range(-20000, 20000))), "r\n", None,
     {resource.RLIMIT_FSIZE: 100000}, 1, "wave-before.csv: cannot write: file too large",
     UNTOUCHED),
    ("a directory named wave-before.csv", wave_file([1]), "x\n",
     directory_named("wave-before.csv"), None, 1,
     "wave-before.csv: cannot create: is a directory", UNTOUCHED),
    ("a directory named ex8_2.wav", wave_file([1]), "x\n", directory_named("ex8_2.wav"), None,
     1, "ex8_2.wav: cannot replace: is a directory", DIRECTORY),
]


class Failures(unittest.TestCase):
    """Hostile input: each case's status, message, and the earlier ex8_2.wav."""

    def test_hostile_input(self):
        for name, tec, replies, setup, limits, status, message, state in HOSTILE:
            if limits is SMALL_MEMORY and SANITIZED:
                continue  # the sanitizers reserve far more address space than that
            if limits and WINDOWS:
                continue  # Windows has no such limits
            if limits is SMALL_MEMORY and EMULATOR:
                continue  # the emulator's own address space would be limited
            with self.subTest(name):
                run = Run(tec, replies, setup or keep_earlier_output, limits)
                try:
                    self.assertEqual(run.status, status)
                    if message.startswith("~"):
                        self.assertIn(message[1:], run.stderr)
                        self.assertEqual(run.stderr.count("\n"), run.stderr.count("wave_effect: "))
                    elif message:
                        self.assertEqual(run.stderr, "wave_effect: " + message + "\n")
                    else:
                        self.assertEqual(run.stderr, "")
                    if state == DIRECTORY:
                        self.assertEqual(os.listdir(run.path("ex8_2.wav")), [])
                    elif state == UNTOUCHED:
                        self.assertEqual(run.read("ex8_2.wav"), EARLIER_OUTPUT)
                    else:
                        count = int(run.stdout.split("\n")[0].strip())
                        self.assertEqual(len(run.read("ex8_2.wav")), 44 + 2 * count)
                    self.assertEqual([f for f in run.files() if "partial" in f], [])
                finally:
                    run.close()

    def test_unwritable_standard_output_is_a_failure(self):
        if WINDOWS:
            self.skipTest("Windows has no /dev/full")
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        with open(os.path.join(tmp, "tec.wav"), "wb") as f:
            f.write(wave_file([1, 2, 3]))
        with open("/dev/full", "w") as full:
            done = subprocess.run(command(PROGRAM), cwd=tmp, input=b"r\n", stdout=full,
                                  stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr, b"wave_effect: standard output: cannot write: "
                         b"no space left on device\n")
        self.assertFalse(os.path.exists(os.path.join(tmp, "ex8_2.wav")))

    def test_interrupted_store_leaves_no_temporary_file(self):
        # A sound long enough that the run is still writing when it is stopped;
        # whenever the signal lands, ex8_2.wav is the earlier one or complete,
        # and each dump empty or whole.
        if WINDOWS:
            self.skipTest("a signal to the emulator is not an interrupt of the program")
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        subprocess.run(command(GENERATOR, os.path.join(tmp, "tec.wav"), "120"), check=True)
        with open(os.path.join(tmp, "ex8_2.wav"), "wb") as f:
            f.write(EARLIER_OUTPUT)
        child = subprocess.Popen(command(PROGRAM), cwd=tmp, stdin=subprocess.PIPE,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        child.stdin.write(b"x\n")
        child.stdin.close()
        deadline = 600
        while deadline > 0 and not any(f.startswith("ex8_2.wav.") and "partial" in f
                                       for f in os.listdir(tmp)):
            if child.poll() is not None:
                break
            deadline -= 1
            subprocess.run(["sleep", "0.01"])
        child.send_signal(signal.SIGINT)
        child.wait(timeout=30)
        self.assertEqual([f for f in os.listdir(tmp) if "partial" in f], [])
        with open(os.path.join(tmp, "ex8_2.wav"), "rb") as f:
            content = f.read()
        self.assertTrue(content == EARLIER_OUTPUT or len(content) == os.path.getsize(
            os.path.join(tmp, "tec.wav")))
        samples = (os.path.getsize(os.path.join(tmp, "tec.wav")) - 44) // 2
        for name in ("wave-before.csv", "wave-after.csv"):  # empty or whole
            with open(os.path.join(tmp, name), "rb") as f:
                self.assertIn(f.read().count(b"\n"), (0, samples), name)


def read_prompt(child, expected):
    """Reads the `expected` text from `child`'s stdout, as it comes."""
    got = b""
    while len(got) < len(expected):
        got += os.read(child.stdout.fileno(), len(expected) - len(got))
    return got.decode()


EMPTY_DIGEST = hashlib.sha256(b"").hexdigest()


def file_digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def partial_files(directory):
    return [f for f in os.listdir(directory) if "partial" in f]


OUTPUTS = ("ex8_2.wav", "wave-before.csv", "wave-after.csv")


def program_output(tec, replies):
    """The three files of a run on `tec` alone."""
    run = Run(tec, replies)
    try:
        assert run.status == 0, run.stderr
        return [run.read(name) for name in OUTPUTS]
    finally:
        run.close()


class Interference(unittest.TestCase):
    """What launchers, kills, full disks and other runs do to a run."""

    def scratch(self):
        tmp = tempfile.mkdtemp(prefix="wave_effect_e2e_")
        self.addCleanup(shutil.rmtree, tmp, True)
        return tmp

    def test_closed_standard_streams_take_no_files_place(self):
        # Short dumps, and a warning and a refused reply for stderr: text
        # written where a dump took a stream's place would outlast the dump.
        if WINDOWS:
            self.skipTest("Wine turns a closed descriptor into a handle that looks like a file")
        tec = wave_file([16384, -8192], data_size=0xFFFFFFFF)
        expected = program_output(tec, "d\n2\n1\n")
        for stream in (1, 2):
            with self.subTest(closed=stream):
                run = Run(tec, "d\nnan\n2\n1\n", closed=(stream,))
                try:
                    self.assertEqual(run.status, 0)
                    self.assertEqual([run.read(name) for name in OUTPUTS], expected)
                finally:
                    run.close()

    def test_killed_runs_leave_nothing_that_the_next_run_does_not_remove(self):
        # Nor a dump that is neither empty nor whole.
        tmp = self.scratch()
        subprocess.run(command(GENERATOR, os.path.join(tmp, "tec.wav"), "120"), check=True)
        expected_size = os.path.getsize(os.path.join(tmp, "tec.wav"))
        with open(os.path.join(tmp, "ex8_2.wav"), "wb") as f:
            f.write(EARLIER_OUTPUT)
        dumps_left = set()
        for delay in (0.0, 0.05, 0.2):
            child = subprocess.Popen(command(PROGRAM), cwd=tmp, stdin=subprocess.PIPE,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            child.stdin.write(b"x\n")
            child.stdin.close()
            deadline = time.monotonic() + 60
            while (not any(f.startswith("ex8_2.wav.") for f in partial_files(tmp)) and
                   child.poll() is None and time.monotonic() < deadline):
                time.sleep(0.005)
            time.sleep(delay)
            child.kill()
            child.wait(timeout=60)
            with open(os.path.join(tmp, "ex8_2.wav"), "rb") as f:
                content = f.read()
            self.assertTrue(content == EARLIER_OUTPUT or len(content) == expected_size)
            dumps_left |= {(name, file_digest(os.path.join(tmp, name)))
                           for name in ("wave-before.csv", "wave-after.csv")}
        done = subprocess.run(command(PROGRAM), cwd=tmp, input=b"x\n", capture_output=True,
                              timeout=120)
        self.assertEqual(done.returncode, 0)
        self.assertEqual(partial_files(tmp), [])
        self.assertEqual(os.path.getsize(os.path.join(tmp, "ex8_2.wav")), expected_size)
        if WINDOWS:
            return  # no two names can swap there: a dump is emptied and written in place
        for name, digest in dumps_left:
            self.assertIn(digest, (EMPTY_DIGEST, file_digest(os.path.join(tmp, name))), name)

    def test_a_second_run_in_the_same_directory_is_refused(self):
        tmp = self.scratch()
        tec = wave_file([(n * 37) % 2000 - 1000 for n in range(5000)])
        with open(os.path.join(tmp, "tec.wav"), "wb") as f:
            f.write(tec)
        first = subprocess.Popen(command(PROGRAM), cwd=tmp, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            # At its prompt, the first run holds the directory.
            read_prompt(first, text("5000\neffect<d,v>:"))
            second = subprocess.run(command(PROGRAM), cwd=tmp, input=b"x\n",
                                    capture_output=True, timeout=120)
            self.assertEqual(second.returncode, 1)
            self.assertEqual(second.stdout, b"")
            self.assertEqual(second.stderr.decode(), text(
                "wave_effect: another run of wave_effect is using this directory\n"))
            first.stdin.write(b"r\n")
            first.stdin.close()
            self.assertEqual(first.wait(timeout=120), 0)
        finally:
            first.kill()
            first.wait()
            first.stdout.close()
            first.stderr.close()
        written = []
        for name in OUTPUTS:
            with open(os.path.join(tmp, name), "rb") as f:
                written.append(f.read())
        self.assertEqual(written, program_output(tec, "r\n"))

    def test_dumps_on_the_null_device_hold_no_other_directory_up(self):
        if WINDOWS:
            self.skipTest("Windows has no links to its null device")
        tec = wave_file([1, 2, 3])
        directories = [self.scratch(), self.scratch()]
        for tmp in directories:
            with open(os.path.join(tmp, "tec.wav"), "wb") as f:
                f.write(tec)
            os.symlink("/dev/null", os.path.join(tmp, "wave-before.csv"))
        first = subprocess.Popen(command(PROGRAM), cwd=directories[0], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            read_prompt(first, text("3\neffect<d,v>:"))
            second = subprocess.run(command(PROGRAM), cwd=directories[1], input=b"x\n",
                                    capture_output=True, timeout=120)
            self.assertEqual((second.returncode, second.stderr), (0, b""))
        finally:
            first.kill()
            first.wait()
            first.stdout.close()
            first.stderr.close()

    def test_last_runs_dumps_stay_what_they_were(self):
        # A dump may change names with a new file only where nobody could
        # tell: its permission bits stay, other names and links lead to the
        # new text, and a dump that may not be written is refused.
        tec = wave_file([(n * 37) % 2000 - 1000 for n in range(3000)])
        expected = program_output(tec, "r\n")

        def setup(tmp):
            with open(os.path.join(tmp, "tec.wav"), "wb") as f:
                f.write(tec)
            for name in ("wave-before.csv", "real-after.csv", "ex8_2.wav"):
                with open(os.path.join(tmp, name), "w") as f:
                    f.write("last run\n" * 5000)
            os.chmod(os.path.join(tmp, "wave-before.csv"), 0o640)
            os.symlink("real-after.csv", os.path.join(tmp, "wave-after.csv"))
            os.link(os.path.join(tmp, "wave-before.csv"), os.path.join(tmp, "other-name.csv"))
            for name in ("wave-before.csv.4294967295.partial", "wave-after.csv.1.partial"):
                open(os.path.join(tmp, name), "w").close()

        tmp = self.scratch()
        setup(tmp)
        done = subprocess.run(command(PROGRAM), cwd=tmp, input=b"r\n", capture_output=True,
                              timeout=120)
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        for name, content in zip(OUTPUTS + ("other-name.csv", "real-after.csv"),
                                 expected + [expected[1], expected[2]]):
            with open(os.path.join(tmp, name), "rb") as f:
                self.assertEqual(f.read(), content, name)
        self.assertEqual(os.stat(os.path.join(tmp, "wave-before.csv")).st_mode & 0o777, 0o640)
        self.assertTrue(os.path.islink(os.path.join(tmp, "wave-after.csv")))
        self.assertEqual(partial_files(tmp), [])

        # Without the hard link, the dump is written over under another name and
        # takes its name back, bits and all, cut or grown where the new text
        # ends. (Windows cannot swap two names: it empties the file in place.)
        for earlier_lines in (5000, 1):
            tmp = self.scratch()
            setup(tmp)
            os.remove(os.path.join(tmp, "other-name.csv"))
            dump = os.path.join(tmp, "wave-before.csv")
            with open(dump, "w") as f:
                f.write("last run\n" * earlier_lines)
            earlier = os.stat(dump)
            done = subprocess.run(command(PROGRAM), cwd=tmp, input=b"r\n", capture_output=True,
                                  timeout=120)
            self.assertEqual(done.returncode, 0)
            with open(dump, "rb") as f:
                self.assertEqual(f.read(), expected[1])
            self.assertEqual(os.stat(dump).st_mode & 0o777, 0o640)
            self.assertEqual(os.stat(dump).st_ino, earlier.st_ino)
            self.assertEqual(partial_files(tmp), [])

        if os.geteuid() == 0 or WINDOWS:
            return  # root may write any file; the read-only row needs an ordinary user
        tmp = self.scratch()
        setup(tmp)
        os.chmod(os.path.join(tmp, "real-after.csv"), 0o444)
        done = subprocess.run(command(PROGRAM), cwd=tmp, input=b"r\n", capture_output=True,
                              timeout=120)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr.decode(), text(
            "wave_effect: wave-after.csv: cannot create: permission denied\n"))
        with open(os.path.join(tmp, "real-after.csv")) as f:
            self.assertEqual(f.read(), "last run\n" * 5000)

    def test_a_full_disk_fails_cleanly(self):
        tmp = self.scratch()
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", tmp],
                          capture_output=True).returncode != 0:
            self.skipTest("mounting a tmpfs is not allowed here")
        self.addCleanup(subprocess.run, ["umount", tmp])
        with open(os.path.join(tmp, "tec.wav"), "wb") as f:
            f.write(wave_file([(n * 37) % 2000 - 1000 for n in range(100000)]))
        with open(os.path.join(tmp, "ex8_2.wav"), "wb") as f:
            f.write(EARLIER_OUTPUT)
        done = subprocess.run(command(PROGRAM), cwd=tmp, input=b"r\n", capture_output=True,
                              timeout=120)
        self.assertEqual(done.returncode, 1)
        stderr = done.stderr.decode()
        self.assertTrue(stderr.startswith("wave_effect: "), stderr)
        self.assertTrue(stderr.endswith(text(": cannot write: no space left on device\n")), stderr)
        self.assertEqual(stderr.count("\n"), 1)
        with open(os.path.join(tmp, "ex8_2.wav"), "rb") as f:
            self.assertEqual(f.read(), EARLIER_OUTPUT)
        self.assertEqual(partial_files(tmp), [])


if __name__ == "__main__":
    PROGRAM, GENERATOR = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    options = sys.argv[3:]
    if "--emulator" in options:
        EMULATOR = options[options.index("--emulator") + 1:]
        options = options[:options.index("--emulator")]
    SANITIZED = "--sanitized" in options
    WINDOWS = "--windows" in options
    unittest.main(argv=sys.argv[:1], verbosity=2)
