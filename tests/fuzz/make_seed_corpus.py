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


def extensible(sub_format, bits=16, valid_bits=None):
    guid = struct.pack("<H", sub_format) + bytes.fromhex("000000001000800000aa00389b71")
    return fmt(0xFFFE, 1, 48000, bits, struct.pack("<HHI", 22, valid_bits or bits, 4) + guid)


def riff(*chunks):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def rifx(tag=1, bits=16):
    """A big-endian file of the same samples as DATA."""
    values = (-32768, -1, 0, 1, 16384, 32767)
    body = (b"WAVE" + b"fmt " + struct.pack(">IHHIIHH", 16, tag, 1, 8000, 16000, 2, bits) +
            b"data" + struct.pack(">I%dh" % len(values), 2 * len(values), *values))
    return b"RIFX" + struct.pack(">I", len(body)) + body


def ds64(data_size, table=(), cut_to=None):
    payload = struct.pack("<QQQI", 0, data_size, data_size // 2, len(table))
    payload += b"".join(tag + struct.pack("<Q", size) for tag, size in table)
    return chunk(b"ds64", payload[:cut_to])


def wide(tag, size, *chunks):
    """An RF64 or BW64 file whose own size is `size`."""
    return tag + struct.pack("<I", size) + riff(*chunks)[8:]


def unknown_size(chunk_bytes):
    return chunk_bytes[:4] + struct.pack("<I", 0xFFFFFFFF) + chunk_bytes[8:]


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
    "valid-bits-12": riff(extensible(1, valid_bits=12), DATA),
    "rifx": rifx(),
    "rifx-extensible": rifx(tag=0xFFFE),
    "rifx-eight-bit": rifx(bits=8),
    "odd-data-before-fmt": riff(chunk(b"data", samples(1, 2) + b"\x03"), fmt()),
    "no-fmt": riff(DATA),
    "rf64": wide(b"RF64", 0xFFFFFFFF, ds64(12), fmt(), unknown_size(DATA)),
    "bw64": wide(b"BW64", 0xFFFFFFFF, ds64(12), fmt(), unknown_size(DATA)),
    "rf64-real-sizes": wide(b"RF64", 76, ds64(2), fmt(), DATA),
    "rf64-data-before-fmt": wide(b"RF64", 0xFFFFFFFF, ds64(12), unknown_size(DATA), fmt()),
    "rf64-table": wide(b"RF64", 0xFFFFFFFF, ds64(12, [(b"JUNK", 4)]), fmt(),
                       unknown_size(chunk(b"JUNK", bytes(4))), unknown_size(DATA)),
    "rf64-not-in-table": wide(b"RF64", 0xFFFFFFFF, ds64(12, [(b"LIST", 4)]), fmt(),
                              unknown_size(chunk(b"JUNK", bytes(4))), unknown_size(DATA)),
    "ds64-missing": wide(b"RF64", 0xFFFFFFFF, fmt(), unknown_size(DATA)),
    "ds64-cut-short": wide(b"RF64", 0xFFFFFFFF, ds64(12, cut_to=27), fmt(), unknown_size(DATA)),
    "ds64-data-past-end": wide(b"RF64", 0xFFFFFFFF, ds64(1 << 33), fmt(), unknown_size(DATA)),
    "ds64-data-size-4-gib": wide(b"RF64", 0xFFFFFFFF, ds64(1 << 32), fmt(), unknown_size(DATA)),
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
