#!/usr/bin/env python3
"""tools/plot_waves after a short run: a valid PNG of the expected size.

    plot_test.py WAVE_EFFECT MAKE_DEMO_WAVE PLOT_WAVES [--emulator COMMAND ...]

Exits 77 (skipped) where gnuplot is not installed.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib


def main():
    program, generator, plot = sys.argv[1:4]
    emulator = sys.argv[sys.argv.index("--emulator") + 1:] if "--emulator" in sys.argv else []
    if shutil.which("gnuplot") is None:
        print("gnuplot is not installed: skipped")
        return 77
    directory = tempfile.mkdtemp(prefix="wave_effect_plot_")
    try:
        subprocess.run(emulator + [generator, os.path.join(directory, "tec.wav"), "1"], check=True)
        subprocess.run(emulator + [program], cwd=directory, input=b"r\n", check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run([sys.executable, plot], cwd=directory, check=True)
        with open(os.path.join(directory, "waves.png"), "rb") as f:
            png = f.read()
    finally:
        shutil.rmtree(directory)
    assert png[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG signature"
    length, kind = struct.unpack(">I4s", png[8:16])
    assert kind == b"IHDR" and length == 13, "no IHDR chunk first"
    width, height = struct.unpack(">II", png[16:24])
    assert (width, height) == (1000, 640), "size %dx%d" % (width, height)
    crc = struct.unpack(">I", png[29:33])[0]
    assert crc == zlib.crc32(png[12:29]), "IHDR checksum"
    assert png.rstrip(b"\0").endswith(b"IEND\xaeB`\x82"), "no IEND chunk last"
    print("waves.png: %dx%d, %d bytes" % (width, height, len(png)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
