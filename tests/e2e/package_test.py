#!/usr/bin/env python3
"""Builds the package of a build with cpack and checks what it holds.

    package_test.py deb BUILD_DIR    the Debian package, listed by dpkg-deb -c
    package_test.py zip BUILD_DIR    the Windows zip
"""

import glob
import os
import subprocess
import sys
import zipfile

DOC = "./usr/share/doc/wave-effect/"
EXPECTED = {
    "deb": ["./usr/bin/wave_effect", "./usr/bin/wave_effect_plot",
            "./usr/share/man/man1/wave_effect.1.gz", "./usr/share/man/man1/wave_effect_plot.1.gz",
            DOC + "README.md", DOC + "changelog.Debian.gz", DOC + "docs/design.md",
            DOC + "docs/waves-r.png"],
    "zip": ["wave_effect.exe", "README.md", "docs/design.md", "docs/waves-r.png"],
}


def main():
    kind, build = sys.argv[1:3]
    for old in glob.glob(os.path.join(build, "*." + kind)):
        os.remove(old)
    subprocess.run(["cpack", "-G", kind.upper()], cwd=build, check=True,
                   stdout=subprocess.DEVNULL)
    (package,) = glob.glob(os.path.join(build, "*." + kind))
    if kind == "deb":
        listing = subprocess.run(["dpkg-deb", "-c", package], check=True, capture_output=True,
                                 text=True).stdout
        held = [line.split()[5] for line in listing.splitlines()]
        control = subprocess.run(["dpkg-deb", "-f", package, "Package", "Recommends"],
                                 check=True, capture_output=True, text=True).stdout
        assert "Package: wave-effect" in control and "gnuplot" in control, control
    else:
        with zipfile.ZipFile(package) as archive:
            held = [name.split("/", 1)[1] for name in archive.namelist()]
    missing = [path for path in EXPECTED[kind] if path not in held]
    if missing:
        print("%s: missing %s; it holds %s" % (package, missing, held))
        print("%s package: 0 passed, 1 failed" % kind)
        return 1
    print("%s: %d entries, every expected one among them" % (os.path.basename(package), len(held)))
    print("%s package: 1 passed, 0 failed" % kind)
    return 0


if __name__ == "__main__":
    sys.exit(main())
