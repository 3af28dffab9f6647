#!/usr/bin/env python3
"""The documents held to the tree and to the program, so that they cannot
drift: one row of CHECKS for each promise.

    docs_test.py WAVE_EFFECT MAKE_DEMO_WAVE [--sanitized] [--windows]
                 [--emulator COMMAND ...]

A dialogue example is the block that starts with the line "$ wave_effect"
(a fenced block in Markdown, .nf to .fi in a manual page) and runs to the
next "$ " line. A line with a colon is a prompt and the reply typed after
it; a line without one is printed as it stands.
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MARKDOWN = [os.path.join(ROOT, "README.md")] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))
MANUAL_PAGES = sorted(glob.glob(os.path.join(ROOT, "docs", "*.1")))
LINK = re.compile(r"\]\(([^)\s]+)\)")


class Skip(Exception):
    pass


def relative_links(path):
    """The targets of the links and pictures in a Markdown file that lead
    to files of the tree (not to a web page or a place in the same page)."""
    with open(path, encoding="utf-8") as f:
        targets = LINK.findall(f.read())
    return [t.split("#")[0] for t in targets if not re.match(r"[a-z]+:|#", t)]


def missing_links(top):
    """Each link of the Markdown files under `top` whose file is not there."""
    missing = []
    for path in [os.path.join(top, "README.md")] + glob.glob(os.path.join(top, "docs", "*.md")):
        for target in relative_links(path):
            if not os.path.exists(os.path.join(os.path.dirname(path), target)):
                missing.append("%s: %s" % (os.path.relpath(path, top), target))
    return missing


def markdown_example(path):
    with open(path, encoding="utf-8") as f:
        blocks = re.findall(r"^```[a-z]*\n(.*?)^```", f.read(), re.S | re.M)
    return example_lines([block.splitlines() for block in blocks], path)


def manual_page_example(path):
    with open(path, encoding="utf-8") as f:
        blocks = re.findall(r"^\.nf\n(.*?)^\.fi", f.read(), re.S | re.M)
    return example_lines([[line.replace("\\-", "-").replace("\\e", "\\")
                           for line in block.splitlines() if not line.startswith(".")]
                          for block in blocks], path)


def example_lines(blocks, path):
    for lines in blocks:
        if lines and lines[0] == "$ wave_effect":
            end = next((k for k in range(1, len(lines)) if lines[k].startswith("$ ")), len(lines))
            return lines[1:end]
    raise AssertionError("%s: no example that starts with \"$ wave_effect\"" % path)


def check_dialogue(example, program, generator, emulator, windows):
    """Runs the program on the demo sound with the example's replies and
    compares what it prints with the example's text."""
    printed, replies = "", []
    for line in example:
        if ":" in line:
            prompt, reply = line.rsplit(":", 1)
            printed += prompt + ":"
            replies.append(reply)
        else:
            printed += line + "\n"
    work = tempfile.mkdtemp(prefix="wave_effect_docs_")
    try:
        subprocess.run(emulator + [generator, os.path.join(work, "tec.wav")], check=True)
        done = subprocess.run(emulator + [program], cwd=work, capture_output=True, timeout=120,
                              input="".join(reply + "\n" for reply in replies).encode())
    finally:
        shutil.rmtree(work)
    stdout = done.stdout.decode()
    if windows:
        stdout = stdout.replace("\r\n", "\n")
    assert done.returncode == 0, done.stderr
    assert stdout == printed, "the program prints %r; the example shows %r" % (stdout, printed)


def check_manual_pages():
    if shutil.which("groff") is None:
        raise Skip("groff is not installed")
    for page in MANUAL_PAGES:
        done = subprocess.run(["groff", "-ww", "-man", "-Tutf8", page], capture_output=True)
        assert done.returncode == 0 and not done.stderr, "%s: %s" % (page, done.stderr.decode())


def main():
    program, generator = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    options = sys.argv[3:]
    emulator = options[options.index("--emulator") + 1:] if "--emulator" in options else []
    windows = "--windows" in options

    def dialogue(example):
        return lambda: check_dialogue(example(), program, generator, emulator, windows)

    def links():
        assert not missing_links(ROOT), "missing: %s" % missing_links(ROOT)

    checks = [
        ("every link and picture of README.md and docs/*.md is there", links),
        ("README.md's dialogue is the program's",
         dialogue(lambda: markdown_example(MARKDOWN[0]))),
        ("wave_effect.1's dialogue is the program's",
         dialogue(lambda: manual_page_example(os.path.join(ROOT, "docs", "wave_effect.1")))),
        ("the manual pages render without warnings", check_manual_pages),
    ]
    tally = {"passed": 0, "failed": 0, "skipped": 0}
    for name, check in checks:
        try:
            check()
            outcome = "passed"
        except Skip as reason:
            outcome, name = "skipped", "%s (%s)" % (name, reason)
        except AssertionError as failure:
            outcome, name = "failed", "%s: %s" % (name, failure)
        tally[outcome] += 1
        print("%s: %s" % (outcome, name))
    print("documents: %(passed)d passed, %(failed)d failed, %(skipped)d skipped" % tally)
    return 1 if tally["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
