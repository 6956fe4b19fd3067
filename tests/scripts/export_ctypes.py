#!/usr/bin/env python3
"""Calls RAZEV_ExportSourceEntryW in libkeldrin.so through ctypes, as a program in
another language would, on small libraries that this script lays out byte by byte
(header, one bitmap block, the root node and the data blocks), so that the reader is
checked against a writer that is not Keldrin's own.

Usage: export_ctypes.py LIBKELDRIN_SO
"""
import ctypes
import os
import struct
import sys
import tempfile

BLOCK = 512
NODE_DATA = 3040
BLOCK_PAYLOAD = 502


def fold(name):
    return bytes(b + 32 if 0x41 <= b <= 0x5A else b for b in name)


def library(unicode, entries, comment=b""):
    """entries: list of (name str, data bytes, comment length in stored units, time)."""
    header_bytes = 1024 if unicode else 512
    bitmap_at = header_bytes
    root_at = bitmap_at + BLOCK
    next_block = (root_at + 6 * BLOCK) // BLOCK
    records = b""
    blocks = {}
    names = []
    for name, data, comment_units, time in entries:
        first = next_block * BLOCK
        chunks = [data[i:i + BLOCK_PAYLOAD] for i in range(0, len(data), BLOCK_PAYLOAD)] or [b""]
        for i, chunk in enumerate(chunks):
            link = (next_block + 1) * BLOCK if i + 1 < len(chunks) else 0
            blocks[next_block] = (b"DAT*" + struct.pack("<iH", link, len(chunk)) + chunk).ljust(BLOCK, b"\0")
            next_block += 1
        if unicode:
            stored = name.encode("utf-16-le") + b"\0\0"
            head = b"ENT*" + "0600".encode("utf-16-le")
            header_size = 28
        else:
            stored = name.encode("cp1252") + b"\0"
            head = b"ENT*0600"
            header_size = 24
        position = 32 + len(records) + header_size
        names.append((fold(stored), position))
        records += head + struct.pack("<iiiHH", first, len(data), time, comment_units, len(stored)) + stored
    first_pos = min(names)[1] if names else 0
    last_pos = max(names)[1] if names else 0
    node = b"NOD*" + struct.pack("<iiihHhH", 0, 0, 0, NODE_DATA - len(records), last_pos,
                                 len(entries), first_pos) + b"\0" * 8
    node += records.ljust(NODE_DATA, b"\0")

    if unicode:
        header = (b"HDR*" + "PowerBuilder\0\0".encode("utf-16-le") + "0600".encode("utf-16-le")
                  + struct.pack("<iH", 1000000000, 1) + comment.ljust(512, b"\0") + struct.pack("<ii", 0, 0))
    else:
        header = (b"HDR*PowerBuilder\0\0" + b"0600" + struct.pack("<iH", 1000000000, 0)
                  + comment.ljust(256, b"\0") + struct.pack("<ii", 0, 0))
    bits = bytearray(504)
    for block in range(next_block):
        bits[block // 8] |= 0x80 >> (block % 8)
    bitmap = b"FRE*" + struct.pack("<i", 0) + bytes(bits)
    image = header.ljust(header_bytes, b"\0") + bitmap + node
    assert len(image) == (root_at + 6 * BLOCK)
    for block in sorted(blocks):
        image += blocks[block]
    return image


class Reader:
    def __init__(self, path):
        self.dll = ctypes.CDLL(path)
        self.function = self.dll.RAZEV_ExportSourceEntryW
        self.function.restype = ctypes.c_int32
        self.function.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p),
                                  ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_int32)]

    def read(self, library_path, entry):
        source = ctypes.c_void_p(None)
        comment = ctypes.c_void_p(None)
        time = ctypes.c_int32(-7)
        result = self.function((library_path + "\0").encode("utf-16-le"), (entry + "\0").encode("utf-16-le"),
                               ctypes.byref(source), ctypes.byref(comment), ctypes.byref(time))
        return result, source.value, comment.value, time.value


def text_at(address):
    units = bytearray()
    while True:
        unit = ctypes.string_at(address + len(units), 2)
        if unit == b"\0\0":
            return units.decode("utf-16-le")
        units += unit


failures = []


def check(what, actual, expected):
    if actual != expected:
        failures.append("%s: got %r, expected %r" % (what, actual, expected))


def main():
    reader = Reader(sys.argv[1])
    with tempfile.TemporaryDirectory() as scratch:
        ansi_path = os.path.join(scratch, "ansi.pbl")
        big_body = "".join("row %04d caf\u00e9\r\n" % i for i in range(200))
        with open(ansi_path, "wb") as f:
            f.write(library(False, [
                ("d_emp.srd", "hi!".encode("cp1252") + "release 6;\r\n\u00e9".encode("cp1252"), 3, 900000001),
                ("d_big.srd", big_body.encode("cp1252"), 0, 900000002),
                ("d_small.srd", b"x", 0, 900000003),
            ], comment=b"Library comment"))
        unicode_path = os.path.join(scratch, "unicode.pbl")
        with open(unicode_path, "wb") as f:
            f.write(library(True, [
                ("d_uni.srd", "abc".encode("utf-16-le") + "\u3042 text".encode("utf-16-le"), 3, 900000004),
            ]))
        junk_path = os.path.join(scratch, "junk.pbl")
        with open(junk_path, "wb") as f:
            f.write(b"not a library" * 400)

        result, source, comment, time = reader.read(ansi_path, "D_EMP.SRD")
        check("ansi result", result, 1)
        if result == 1:
            check("ansi comment", text_at(comment), "hi!")
            check("ansi source", text_at(source), "release 6;\r\n\u00e9")
            check("ansi time", time, 900000001)

        result, big_source, _, _ = reader.read(ansi_path, "d_big.srd")
        check("big result", result, 1)
        if result == 1:
            check("big source", text_at(big_source), big_body)
        result, small_source, _, time = reader.read(ansi_path, "d_small.srd")
        check("small result", result, 1)
        if result == 1:
            check("small source", text_at(small_source), "x")
            check("small entry reuses the grown buffer", small_source, big_source)

        result, source, comment, time = reader.read(unicode_path, "d_uni.srd")
        check("unicode result", result, 1)
        if result == 1:
            check("unicode comment", text_at(comment), "abc")
            check("unicode source", text_at(source), "\u3042 text")
            check("unicode time", time, 900000004)

        check("missing entry", reader.read(ansi_path, "d_none.srd")[0::3], (0, -7))
        check("missing file", reader.read(os.path.join(scratch, "none.pbl"), "d_emp.srd")[0::3], (-2, -7))
        check("not a library", reader.read(junk_path, "d_emp.srd")[0::3], (-2, -7))

    for failure in failures:
        print("FAILED " + failure)
    print("export_ctypes: %d checks failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
