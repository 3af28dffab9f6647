#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus: the WAV layouts the reader's tests use.

    tests/fuzz/make_seed_corpus.py [DIRECTORY]   (default: tests/fuzz/corpus)
"""

import os
import struct
import sys


def chunk(tag, payload):
    return tag + struct.pack("<I", len(payload)) + payload + (b"\0" if len(payload) % 2 else b"")


def fmt(tag=1, channels=1, rate=8000, bits=16, extra=b""):
    return chunk(b"fmt ", struct.pack("<HHIIHH", tag, channels, rate, rate * channels * bits // 8,
                                      channels * bits // 8, bits) + extra)


def extensible(sub_format, bits=16):
    guid = struct.pack("<H", sub_format) + bytes.fromhex("000000001000800000aa00389b71")
    return fmt(0xFFFE, 1, 48000, bits, struct.pack("<HHI", 22, bits, 4) + guid)


def riff(*chunks):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def samples(*values):
    return struct.pack("<%dh" % len(values), *values)


DATA = chunk(b"data", samples(-32768, -1, 0, 1, 16384, 32767))

LAYOUTS = {
    "canonical": riff(fmt(), DATA),
    "empty-data": riff(fmt(), chunk(b"data", b"")),
    "odd-data-size": riff(fmt(), chunk(b"data", samples(1, 2) + b"\x03")),
    "list-before-data": riff(fmt(), chunk(b"LIST", b"INFOISFT\x04\0\0\0x\0\0\0"), DATA),
    "odd-chunk-with-pad": riff(fmt(), chunk(b"JUNK", b"odd"), DATA),
    "junk-before-fmt": riff(chunk(b"JUNK", bytes(28)), fmt(), DATA),
    "fmt-18-bytes": riff(fmt(extra=b"\0\0"), DATA),
    "extensible-pcm": riff(extensible(1), DATA),
    "extensible-float": riff(extensible(3, 32), DATA),
    "stereo": riff(fmt(channels=2), DATA),
    "eight-bit": riff(fmt(bits=8), DATA),
    "float": riff(fmt(tag=3, bits=32), DATA),
    "compressed": riff(fmt(tag=0x55), DATA),
    "zero-rate": riff(fmt(rate=0), DATA),
    "data-before-fmt": riff(DATA, fmt()),
    "no-data": riff(fmt()),
    "chunk-past-end": riff(fmt(), b"LIST" + struct.pack("<I", 64) + bytes(4)),
    "fmt-cut-short": riff(chunk(b"fmt ", bytes(14)), DATA),
    "not-riff": b"RIFY" + bytes(4) + b"WAVE",
    "cut-inside-samples": riff(fmt(), DATA)[:-3],
    "data-size-unknown": riff(fmt(), b"data" + struct.pack("<I", 0xFFFFFFFF) + samples(5, 6, 7)),
}


def main():
    directory = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(directory, exist_ok=True)
    for name, content in LAYOUTS.items():
        with open(os.path.join(directory, name + ".wav"), "wb") as f:
            f.write(content)


if __name__ == "__main__":
    main()
