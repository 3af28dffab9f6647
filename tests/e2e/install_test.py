#!/usr/bin/env python3
"""The installed program: `cmake --install` into a scratch prefix, the files
where they belong, and a run of the installed program on a short sound.

    install_test.py CMAKE BUILD_DIR [--windows] [--emulator COMMAND ...]
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile

from docs_test import missing_links


def wave_file(samples, rate=8000):
    data = struct.pack("<%dh" % len(samples), *samples)
    fmt = struct.pack("<HHIIHH", 1, 1, rate, 2 * rate, 2, 16)
    return (b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVE" + b"fmt " +
            struct.pack("<I", 16) + fmt + b"data" + struct.pack("<I", len(data)) + data)


def main():
    cmake, build = sys.argv[1:3]
    options = sys.argv[3:]
    emulator = options[options.index("--emulator") + 1:] if "--emulator" in options else []
    windows = "--windows" in options
    prefix = tempfile.mkdtemp(prefix="wave_effect_install_")
    try:
        subprocess.run([cmake, "--install", build, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        if windows:
            expected = ["README.md", "docs/testing.md", "wave_effect.exe"]
            program = os.path.join(prefix, "wave_effect.exe")
        else:
            expected = ["bin/wave_effect", "bin/wave_effect_plot",
                        "share/doc/wave-effect/README.md",
                        "share/doc/wave-effect/changelog.Debian.gz",
                        "share/doc/wave-effect/docs/testing.md",
                        "share/doc/wave-effect/docs/waves-r.png",
                        "share/man/man1/wave_effect.1.gz",
                        "share/man/man1/wave_effect_plot.1.gz"]
            program = os.path.join(prefix, "bin", "wave_effect")
        installed = sorted(os.path.relpath(os.path.join(top, name), prefix)
                           for top, _, names in os.walk(prefix) for name in names)
        missing = [path for path in expected if path not in installed]
        assert not missing, "not installed: %s (installed: %s)" % (missing, installed)
        if not windows:
            assert os.access(os.path.join(prefix, "bin", "wave_effect_plot"), os.X_OK)
        # The README's links lead where it is installed too.
        docs = prefix if windows else os.path.join(prefix, "share", "doc", "wave-effect")
        assert not missing_links(docs), "installed, but missing: %s" % missing_links(docs)

        work = os.path.join(prefix, "work")
        os.mkdir(work)
        with open(os.path.join(work, "tec.wav"), "wb") as f:
            f.write(wave_file([16384, -16384, 0]))
        done = subprocess.run(emulator + [program], cwd=work, input=b"d 2 0.5\n",
                              capture_output=True, timeout=120)
        line_end = "\r\n" if windows else "\n"
        assert done.returncode == 0, done.stderr
        assert done.stdout.decode() == "3" + line_end + "effect<d,v>:gain:level:", done.stdout
        with open(os.path.join(work, "wave-after.csv"), "rb") as f:
            after = f.read().decode()
        assert after == line_end.join(["0.500000", "-0.500000", "0.000000", ""]), after
        print("installed into %s: %d files, and the installed program runs" % (
            prefix, len(installed)))
        return 0
    finally:
        shutil.rmtree(prefix)


if __name__ == "__main__":
    sys.exit(main())
