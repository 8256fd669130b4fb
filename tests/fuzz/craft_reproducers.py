#!/usr/bin/env python3
"""Writes the hand-made reproducers of faults found by reading the code
rather than by the fuzzer, into crashes/<target>/crafted-<name>.

Usage: craft_reproducers.py

Each starts from the committed seed of the Windows XP volume (corpus/
<target>/xp-undel), edits the image it encodes and writes it back in the
same chunk layout, so that the replay test runs it like any reproducer.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
PARAM = 0xFFFFFFFF


def decode(data):
    image, param, pos = bytearray(), None, 0
    while pos + 6 <= len(data):
        at, ln = struct.unpack_from("<IH", data, pos)
        b = data[pos + 6:pos + 6 + ln]
        pos += 6 + ln
        if at == PARAM:
            param = b
            continue
        if len(image) < at + len(b):
            image.extend(bytes(at + len(b) - len(image)))
        image[at:at + len(b)] = b
    return image, param


def encode(image, param=None):
    out = b""
    i, n = 0, len(image)
    while i < n:
        while i < n and image[i] == 0:
            i += 1
        if i >= n:
            break
        j, zeros = i, 0
        while j < n and zeros < 32 and j - i < 0xFFFF:
            zeros = zeros + 1 if image[j] == 0 else 0
            j += 1
        out += struct.pack("<IH", i, j - zeros - i) + bytes(image[i:j - zeros])
        i = j
    if param is not None:
        out += struct.pack("<IH", PARAM, len(param)) + param
    return out


def fixup(rec):
    rec = bytearray(rec)
    usa, cnt = struct.unpack_from("<HH", rec, 4)
    for i in range(1, cnt):
        rec[i * 512 - 2:i * 512] = rec[usa + 2 * i:usa + 2 * i + 2]
    return rec


def unfix(rec):
    rec = bytearray(rec)
    usa, cnt = struct.unpack_from("<HH", rec, 4)
    for i in range(1, cnt):
        rec[usa + 2 * i:usa + 2 * i + 2] = rec[i * 512 - 2:i * 512]
        rec[i * 512 - 2:i * 512] = rec[usa:usa + 2]
    return rec


def attributes(rec):
    off = struct.unpack_from("<H", rec, 20)[0]
    while off + 8 <= len(rec):
        t, ln = struct.unpack_from("<II", rec, off)
        if t == 0xFFFFFFFF or ln == 0:
            return
        yield t, off, ln
        off += ln


class Xp:
    """The XP volume's seed: 1 KiB clusters and records, MFT at 2 MiB."""

    def __init__(self, target):
        with open(os.path.join(HERE, "corpus", target, "xp-undel"), "rb") as f:
            self.image, self.param = decode(f.read())
        self.cluster = 1024
        self.mft = struct.unpack_from("<Q", self.image, 48)[0] * self.cluster

    def edit(self, entry, change):
        at = self.mft + entry * 1024
        rec = fixup(self.image[at:at + 1024])
        change(rec)
        self.image[at:at + 1024] = unfix(rec)

    def copy_record(self, src, dst):
        a, b = self.mft + src * 1024, self.mft + dst * 1024
        self.image[b:b + 1024] = self.image[a:a + 1024]

    def write(self, target, name, param=None):
        d = os.path.join(HERE, "crashes", target)
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "crafted-" + name), "wb") as f:
            f.write(encode(self.image, param if param is not None else self.param))


def first_attr(rec, kind):
    return next(o for t, o, ln in attributes(rec) if t == kind)


def huge_index_allocation():
    """The root's index allocation claims 2^32-1 clusters and the boot
    sector 2^60 sectors: the index reader sized its buffer by those."""
    x = Xp("directory")

    def claim(rec):
        off = first_attr(rec, 0xA0)
        pos = off + struct.unpack_from("<H", rec, off + 32)[0]
        rec[pos:pos + 7] = bytes([0x14]) + (0xFFFFFFFF).to_bytes(4, "little") + bytes([1, 0])

    x.edit(5, claim)
    struct.pack_into("<Q", x.image, 40, 1 << 60)
    x.write("directory", "huge-index-allocation")


def main():
    huge_index_allocation()


if __name__ == "__main__":
    main()
