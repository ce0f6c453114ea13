#!/usr/bin/env python3
"""Checks a PE image's delay imports: every slot of every delay-import
address table must point into an executable section of the image, as the
thunk that loads the DLL on the first call does. A zero or stray slot is a
crash at the first call through it. Prints the delay-loaded DLLs with their
slot counts and each wrong slot, and exits 1 when a slot is wrong or no
delay import is found.

mingw-w64's ld leaves the delay-import data directory empty, so the
descriptors are found by their shape: attributes 1 (RVAs), a DLL name that
ends in .dll, and import address and name tables inside the image."""
import struct
import sys


def sections_of(image):
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    count, optional_size = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    wide = magic == 0x20B
    base = struct.unpack_from("<Q" if wide else "<I", image, optional + (24 if wide else 28))[0]
    size = struct.unpack_from("<I", image, optional + 56)[0]
    sections = []
    for i in range(count):
        at = optional + optional_size + 40 * i
        name = image[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
        vsize, rva, raw_size, raw = struct.unpack_from("<IIII", image, at + 8)
        flags = struct.unpack_from("<I", image, at + 36)[0]
        sections.append((name, rva, max(vsize, raw_size), raw, raw_size, flags))
    return wide, base, size, sections


def reader(image, sections):
    def read(rva, length):
        for _, start, vsize, raw, raw_size, _ in sections:
            if start <= rva and rva + length <= start + vsize:
                offset = rva - start
                if offset + length > raw_size:
                    return bytes(length)  # beyond the raw data: zero-filled
                return image[raw + offset:raw + offset + length]
        return None
    return read


def string_at(read, rva):
    text = b""
    while len(text) < 260:
        c = read(rva + len(text), 1)
        if c is None or c == b"\0":
            return text if c == b"\0" else None
        text += c
    return None


def check(path):
    image = open(path, "rb").read()
    wide, base, size, sections = sections_of(image)
    read = reader(image, sections)
    pointer = 8 if wide else 4
    unpack = "<Q" if wide else "<I"
    executable = [(rva, rva + vsize, name) for name, rva, vsize, _, _, flags in sections if flags & 0x20000000]
    problems, found = [], []
    for name, start, vsize, raw, raw_size, _ in sections:
        for offset in range(0, min(vsize, raw_size) - 31, 4):
            attrs, dll, hmod, iat, names, _, _, _ = struct.unpack_from("<8I", image, raw + offset)
            if attrs != 1 or not (0 < dll < size and 0 < hmod < size and 0 < iat < size and 0 < names < size):
                continue
            dll_name = string_at(read, dll)
            if not dll_name or not dll_name.lower().endswith(b".dll"):
                continue
            slots = 0
            while True:
                entry, slot = read(names + slots * pointer, pointer), read(iat + slots * pointer, pointer)
                if entry is None or slot is None:
                    problems.append(f"{dll_name.decode()}: table {slots} runs out of the image")
                    break
                if struct.unpack(unpack, entry)[0] == 0:
                    break
                value = struct.unpack(unpack, slot)[0]
                target = value - base
                into = [section for lo, hi, section in executable if lo <= target < hi]
                if not into:
                    problems.append(f"{dll_name.decode()}: slot at {base + iat + slots * pointer:#x} holds {value:#x},"
                                    " not an address of the image's code")
                slots += 1
            if slots == 0:
                problems.append(f"{dll_name.decode()}: no slot")
            found.append(f"{dll_name.decode()} ({slots} slots)")
    if not found:
        problems.append("no delay-import descriptor found")
    print(f"  delay imports: {', '.join(found) or 'none'}")
    for problem in problems:
        print(f"  bad delay import: {problem}")
    return not problems


if __name__ == "__main__":
    sys.exit(0 if all([check(path) for path in sys.argv[1:]]) else 1)
