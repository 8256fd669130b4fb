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
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ntfs_records import attributes, fixup, unfix  # noqa: E402

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


def attr(kind, value, ident, name=""):
    """A resident attribute."""
    nm = name.encode("utf-16-le")
    head = 24 + len(nm)
    voff = (head + 7) & ~7
    total = (voff + len(value) + 7) & ~7
    a = bytearray(total)
    struct.pack_into("<IIBBHHHIHBB", a, 0, kind, total, 0, len(name), 24 if name else 0, 0, ident,
                     len(value), voff, 0, 0)
    a[24:24 + len(nm)] = nm
    a[voff:voff + len(value)] = value
    return bytes(a)


def file_name(parent, name):
    nm = name.encode("utf-16-le")
    v = bytearray(66 + len(nm))
    struct.pack_into("<Q", v, 0, parent | (1 << 48))
    v[64], v[65] = len(name), 1
    v[66:] = nm
    return bytes(v)


def index_root(children):
    """An $I30 root whose entries carry only references (no keys)."""
    entries = b"".join(struct.pack("<QHHHH", c | (1 << 48), 16, 0, 0, 0) for c in children)
    entries += struct.pack("<QHHHH", 0, 16, 0, 2, 0)
    node = struct.pack("<IIIB3x", 16, 16 + len(entries), 16 + len(entries), 0) + entries
    return struct.pack("<IIIB3x", 0x30, 1, 4096, 4) + node


def directory_record(number, names, children):
    """A FILE record in use, flagged a directory: $STANDARD_INFORMATION, one
    $FILE_NAME per (parent, name) and an index root naming `children`."""
    body = attr(0x10, bytes(72), 0)
    for k, (parent, name) in enumerate(names):
        body += attr(0x30, file_name(parent, name), 1 + k)
    body += attr(0x90, index_root(children), 20, "$I30") + b"\xff\xff\xff\xff"
    rec = bytearray(1024)
    rec[0:4] = b"FILE"
    struct.pack_into("<HHQHHHHII", rec, 4, 48, 3, 0, 1, len(names), 56, 3, 56 + len(body) + 4, 1024)
    struct.pack_into("<QHHI", rec, 32, 0, 21, 0, number)
    assert 56 + len(body) <= 1024 - 8, len(body)
    rec[56:56 + len(body)] = body
    struct.pack_into("<H", rec, 48, 1)  # update sequence number
    return unfix(rec)


def grow_mft(x, records):
    """Gives the MFT one run of `records` clusters (1 KiB each) in place."""
    def one_run(rec):
        off = next(o for t, o, ln in attributes(rec) if t == 0x80)
        pos = off + struct.unpack_from("<H", rec, off + 32)[0]
        lcn = x.mft // x.cluster
        rec[pos:pos + 6] = bytes([0x22]) + records.to_bytes(2, "little") + lcn.to_bytes(2, "little") + bytes(1)
    x.edit(0, one_run)


# Layers of directories, each naming every directory of the next: a walk
# that does not remember where it has been takes width^depth steps.
WIDTH, DEPTH, FIRST = 6, 10, 30


def layer(i):
    return [FIRST + WIDTH * i + j for j in range(WIDTH)]


def layered_directories_listing():
    """The root lists layer 0; every layer lists the next. Each directory
    has one name in each directory of the layer above."""
    x = Xp("listing")
    grow_mft(x, FIRST + WIDTH * DEPTH + 1)
    put = lambda n, rec: x.image.__setitem__(slice(x.mft + n * 1024, x.mft + n * 1024 + 1024), rec)
    put(5, directory_record(5, [(5, ".")], layer(0)))
    for i in range(DEPTH):
        parents = [5] if i == 0 else layer(i - 1)
        children = layer(i + 1) if i + 1 < DEPTH else []
        for j, n in enumerate(layer(i)):
            put(n, directory_record(n, [(p, "d%d" % j) for p in parents], children))
    x.write("listing", "layered-directories", b"\\")


def layered_parents_paths():
    """Every entry of a layer has a name in each entry of the layer above,
    and the top layer's parent is no record: no path reaches the root."""
    x = Xp("paths")
    grow_mft(x, FIRST + WIDTH * DEPTH + 1)
    put = lambda n, rec: x.image.__setitem__(slice(x.mft + n * 1024, x.mft + n * 1024 + 1024), rec)
    for i in range(DEPTH):
        parents = layer(i + 1) if i + 1 < DEPTH else [4000]
        for j, n in enumerate(layer(i)):
            put(n, directory_record(n, [(p, "p%d" % j) for p in parents], []))
    x.write("paths", "layered-parents")


# A chain of entries nearly as deep as the largest fuzz image holds.
CHAIN = 6000


def deep_chain(target, depth=3000):
    """The root lists entry FIRST, which lists FIRST+1, and so on down (the
    listing writes every level's full path: its cost grows as depth^2 by
    design, so half the depth keeps the replay short)."""
    x = Xp(target)
    grow_mft(x, FIRST + depth + 1)
    x.image.extend(bytes(max(0, x.mft + (FIRST + depth + 1) * 1024 - len(x.image))))
    put = lambda n, rec: x.image.__setitem__(slice(x.mft + n * 1024, x.mft + n * 1024 + 1024), rec)
    put(5, directory_record(5, [(5, ".")], [FIRST]))
    for k in range(depth):
        n = FIRST + k
        put(n, directory_record(n, [(5 if k == 0 else n - 1, "d")], [n + 1] if k + 1 < depth else []))
    return x


def deep_chain_listing():
    deep_chain("listing").write("listing", "deep-chain", b"\\")


def deep_chain_paths():
    """Entry FIRST is the deepest: each entry's parent is the next one."""
    x = Xp("paths")
    grow_mft(x, FIRST + CHAIN + 1)
    x.image.extend(bytes(max(0, x.mft + (FIRST + CHAIN + 1) * 1024 - len(x.image))))
    put = lambda n, rec: x.image.__setitem__(slice(x.mft + n * 1024, x.mft + n * 1024 + 1024), rec)
    for k in range(CHAIN):
        n = FIRST + k
        put(n, directory_record(n, [(n + 1 if k + 1 < CHAIN else 5, "d")], []))
    x.write("paths", "deep-chain")


def main():
    huge_index_allocation()
    layered_directories_listing()
    layered_parents_paths()
    deep_chain_listing()
    deep_chain_paths()


if __name__ == "__main__":
    main()
