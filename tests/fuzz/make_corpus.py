#!/usr/bin/env python3
"""Builds the committed seed corpus of the fuzz targets from test images.

Usage: make_corpus.py TESTDATA_DIR OUT_DIR [FIXTURE_DIR]

TESTDATA_DIR is an unpacked shared test-image folder (build/testdata);
FIXTURE_DIR, when given, the unpacked fixture images (build/fixtures).
Volume-level seeds hold only what the NTFS engine reads of a volume: the
boot sector, the first MFT records and the index blocks and attribute
lists they point at, as chunks over zeros (the layout of fuzz_input.hpp),
so that they stay a few tens of KiB. Record-, attribute-, runlist- and
index-level seeds are those structures cut out whole. Existing files are
overwritten; nothing else in OUT_DIR is removed.
"""
import os
import struct
import subprocess
import sys
import tempfile

MAX_IMAGE = 8 << 20          # fuzz::max_image_bytes
PARAM = 0xFFFFFFFF           # fuzz::param_chunk_offset
ENTRIES = 64                 # fuzz::max_fuzz_entries
MAX_INDEX_CLUSTERS = 64      # per directory, to keep seeds small


def chunks(offset, data):
    """Chunks covering the non-zero parts of `data` placed at `offset`."""
    out = b""
    i, n = 0, len(data)
    while i < n:
        while i < n and data[i] == 0:
            i += 1
        if i >= n:
            break
        j = i
        zeros = 0
        while j < n and zeros < 32 and j - i < 0xFFFF:
            zeros = zeros + 1 if data[j] == 0 else 0
            j += 1
        end = j - zeros
        if offset + i < MAX_IMAGE:
            piece = data[i:end]
            out += struct.pack("<IH", offset + i, len(piece)) + piece
        i = j
    return out


def param(text):
    b = text.encode("utf-8")
    return struct.pack("<IH", PARAM, len(b)) + b


def fixup(rec):
    rec = bytearray(rec)
    usa, cnt = struct.unpack_from("<HH", rec, 4)
    for i in range(1, cnt):
        t = i * 512 - 2
        if t + 2 <= len(rec) and usa + 2 * i + 2 <= len(rec):
            rec[t:t + 2] = rec[usa + 2 * i:usa + 2 * i + 2]
    return bytes(rec)


def runs(attr):
    """(lcn, length) pairs of a non-resident attribute; lcn None when sparse."""
    out = []
    pos = struct.unpack_from("<H", attr, 32)[0]
    lcn = 0
    while pos < len(attr) and attr[pos]:
        h = attr[pos]
        l, f = h & 15, h >> 4
        if pos + 1 + l + f > len(attr):
            break
        length = int.from_bytes(attr[pos + 1:pos + 1 + l], "little")
        if f:
            lcn += int.from_bytes(attr[pos + 1 + l:pos + 1 + l + f], "little", signed=True)
            out.append((lcn, length))
        else:
            out.append((None, length))
        pos += 1 + l + f
    return out


def attributes(rec):
    off = struct.unpack_from("<H", rec, 20)[0]
    while off + 8 <= len(rec):
        t, ln = struct.unpack_from("<II", rec, off)
        if t == 0xFFFFFFFF or ln == 0 or off + ln > len(rec):
            break
        yield t, rec[off:off + ln]
        off += ln


def resident_value(a):
    vl, vo = struct.unpack_from("<IH", a, 16)
    return a[vo:vo + vl]


def attr_name(a):
    nl, no = a[9], struct.unpack_from("<H", a, 10)[0]
    return a[no:no + 2 * nl].decode("utf-16-le", "replace")


class Volume:
    def __init__(self, path, offset=0):
        self.f = open(path, "rb")
        self.offset = offset
        b = self.read(0, 512)
        self.boot = b
        bps, spc = struct.unpack_from("<HB", b, 11)
        self.cluster = bps * spc
        mft_lcn = struct.unpack_from("<Q", b, 48)[0]
        cpr = struct.unpack_from("<b", b, 64)[0]
        self.record = (1 << -cpr) if cpr < 0 else cpr * self.cluster
        self.mft = mft_lcn * self.cluster
        r0 = fixup(self.read(self.mft, self.record))
        self.mft_runs = []
        for t, a in attributes(r0):
            if t == 0x80 and a[8]:
                self.mft_runs = runs(a)

    def read(self, pos, n):
        self.f.seek(self.offset + pos)
        return self.f.read(n).ljust(n, b"\0")

    def entry_pos(self, e):
        p = e * self.record
        vcn, r = divmod(p, self.cluster)
        passed = 0
        for lcn, ln in self.mft_runs:
            if vcn < passed + ln:
                return None if lcn is None else (lcn + vcn - passed) * self.cluster + r
            passed += ln
        return None

    def raw_record(self, e):
        p = self.entry_pos(e)
        return (p, self.read(p, self.record)) if p is not None else (None, None)

    def records(self, count=ENTRIES, entries=None):
        for e in (range(count) if entries is None else entries):
            p, raw = self.raw_record(e)
            if raw and raw[:4] == b"FILE":
                yield e, p, raw

    def cluster_runs(self, attr, limit):
        out = []
        for lcn, ln in runs(attr):
            if lcn is None:
                continue
            for i in range(ln):
                if len(out) >= limit:
                    return out
                out.append(lcn + i)
        return out

    def image_seed(self, count=ENTRIES, entries=None, index_clusters=MAX_INDEX_CLUSTERS):
        """The boot sector, the first records (or the given ones) and what
        they point at."""
        out = chunks(0, self.boot)
        for e, p, raw in self.records(count, entries):
            out += chunks(p, raw)
            for t, a in attributes(fixup(raw)):
                if a[8] and (t == 0x20 or (t == 0xA0 and attr_name(a) == "$I30")):
                    for c in self.cluster_runs(a, index_clusters):
                        out += chunks(c * self.cluster, self.read(c * self.cluster, self.cluster))
        return out

    def root_dirs(self, count=ENTRIES):
        """Names of directories directly below the root."""
        names = []
        for e, p, raw in self.records(count):
            rec = fixup(raw)
            if not struct.unpack_from("<H", rec, 22)[0] & 2 or e < 16:
                continue
            for t, a in attributes(rec):
                if t == 0x30 and not a[8]:
                    v = resident_value(a)
                    if struct.unpack_from("<Q", v, 0)[0] & 0xFFFFFFFFFFFF == 5 and v[0x41] != 2:
                        names.append(v[66:66 + 2 * v[64]].decode("utf-16-le", "replace"))
        return names


def write(out_dir, target, name, data):
    d = os.path.join(out_dir, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def volume_seeds(vol, label, out_dir):
    img = vol.image_seed()
    for t in ("volume", "entry", "directory"):
        write(out_dir, t, label, img)
    dirs = vol.root_dirs()
    write(out_dir, "paths", label, img + param("\\" + (dirs[0] if dirs else "$Extend")))
    write(out_dir, "listing", label, img + param("\\"))
    if dirs:
        write(out_dir, "listing", label + "-" + "dir", img + param("\\" + dirs[-1]))


def structure_seeds(vol, label, out_dir):
    """Records, non-resident attributes, index roots and INDX blocks."""
    seen_kinds = set()
    attrs = 0
    blocks = 0
    for e, p, raw in vol.records():
        rec = fixup(raw)
        kinds = tuple(sorted(set((t, a[8]) for t, a in attributes(rec))))
        if kinds not in seen_kinds:
            seen_kinds.add(kinds)
            write(out_dir, "attribute", "%s-%d" % (label, e), raw)
        for t, a in attributes(rec):
            if a[8] and attrs < 12:
                write(out_dir, "runlist", "%s-%d-%x" % (label, e, t), a)
                attrs += 1
            if t == 0x90 and not a[8] and attr_name(a) == "$I30":
                write(out_dir, "index_node", "%s-%d-root" % (label, e), resident_value(a))
            if t == 0xA0 and a[8] and blocks < 4:
                cl = vol.cluster_runs(a, 4096 // vol.cluster or 1)
                block = b"".join(vol.read(c * vol.cluster, vol.cluster) for c in cl)[:4096]
                if block[:4] == b"INDX":
                    write(out_dir, "index_node", "%s-%d-indx" % (label, e), block)
                    blocks += 1


def disk_seed(path, sector=512):
    """The partition tables of a disk and the first sector of each partition."""
    f = open(path, "rb")

    def rd(pos, n):
        f.seek(pos)
        return f.read(n).ljust(n, b"\0")

    out = chunks(0, rd(0, 34 * sector))
    mbr = rd(0, 512)
    starts = []
    ext_base = None
    for i in range(4):
        typ = mbr[446 + 16 * i + 4]
        start = struct.unpack_from("<I", mbr, 446 + 16 * i + 8)[0]
        if typ in (5, 0xF, 0x85):
            ext_base = start
        elif typ == 0xEE:
            lba, count, size = struct.unpack_from("<QII", rd(sector, sector), 72)
            ents = rd(lba * sector, count * size)
            out += chunks(lba * sector, ents)
            for k in range(count):
                first = struct.unpack_from("<Q", ents, k * size + 32)[0]
                if first:
                    starts.append(first)
        elif typ:
            starts.append(start)
    ebr = ext_base
    hops = 0
    while ebr is not None and hops < 16:
        rec = rd(ebr * sector, 512)
        out += chunks(ebr * sector, rec)
        hops += 1
        logical = struct.unpack_from("<I", rec, 446 + 8)[0]
        if rec[446 + 4]:
            starts.append(ebr + logical)
        nxt = struct.unpack_from("<I", rec, 446 + 16 + 8)[0]
        ebr = ext_base + nxt if rec[446 + 16 + 4] and nxt else None
    for s in starts:
        out += chunks(s * sector, rd(s * sector, sector))
    return out


def vmdk_seed(raw_bytes):
    with tempfile.TemporaryDirectory() as d:
        raw, vmdk = os.path.join(d, "disk.raw"), os.path.join(d, "disk.vmdk")
        with open(raw, "wb") as f:
            f.write(raw_bytes)
        subprocess.run(["qemu-img", "convert", "-q", "-f", "raw", "-O", "vmdk", raw, vmdk], check=True)
        with open(vmdk, "rb") as f:
            return f.read()


sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures"))
import make_differencing as gen  # noqa: E402


def param_bytes(data):
    return struct.pack("<IH", PARAM, len(data)) + data


def container_seeds(disk, out):
    """VHD and VHDX seeds of a small disk: qemu-img's fixed and dynamic
    files, the generator's 4096-byte-sector VHDX, and differencing files
    with their parent (named p.vhd / p.vhdx, as the targets write it) in
    the parameter chunk. All as chunks over zeros."""
    with tempfile.TemporaryDirectory() as d:
        base, changed = os.path.join(d, "base.img"), os.path.join(d, "changed.img")
        with open(base, "wb") as f:
            f.write(disk)
        edited = bytearray(disk)
        edited[4096 + 600:4096 + 640] = b"changed sector, in the child only".ljust(40, b".")
        with open(changed, "wb") as f:
            f.write(edited)

        def qemu(fmt, opts, name):
            p = os.path.join(d, name)
            subprocess.run(["qemu-img", "convert", "-q", "-f", "raw", "-O", fmt, "-o", opts, base, p], check=True)
            return p

        def file_chunks(path):
            # The file's last byte as a chunk of its own, so that the image
            # keeps the file's length (a block may end in zeros).
            with open(path, "rb") as f:
                data = f.read()
            tail = struct.pack("<IH", len(data) - 1, 1) + data[-1:] if len(data) <= MAX_IMAGE else b""
            return chunks(0, data) + tail

        def seed_of(path, parent=None):
            return file_chunks(path) + (param_bytes(file_chunks(parent)) if parent else b"")

        write(out, "vhd", "fixed", seed_of(qemu("vpc", "subformat=fixed,force_size=on", "f.vhd")))
        write(out, "vhd", "dynamic", seed_of(qemu("vpc", "subformat=dynamic,force_size=on", "d.vhd")))
        parent = qemu("vpc", "subformat=dynamic,force_size=on", "p.vhd")
        child = os.path.join(d, "c.vhd")
        gen.vhd_child(parent, base, changed, child, block_size=64 << 10)
        write(out, "vhd", "differencing", seed_of(child, parent))

        # qemu-img puts a small disk's blocks at 8 MiB, beyond the fuzz
        # image: its seed holds the structures only. The generator's files
        # keep their blocks below 8 MiB.
        write(out, "vhdx", "qemu", seed_of(qemu("vhdx", "subformat=dynamic,block_size=1M,log_size=1M", "q.vhdx")))
        for label, sector, kind in (("dynamic", 512, "dynamic"), ("fixed", 512, "fixed"),
                                    ("sector4096", 4096, "dynamic")):
            p = os.path.join(d, label + ".vhdx")
            gen.vhdx_of_raw(base, p, sector, kind)
            write(out, "vhdx", label, seed_of(p))
        parent = os.path.join(d, "p.vhdx")
        gen.vhdx_of_raw(base, parent, 512)
        child = os.path.join(d, "c.vhdx")
        gen.vhdx_child(parent, base, changed, child)
        write(out, "vhdx", "differencing", seed_of(child, parent))


# Joins the segments of one EWF seed (fuzz_ewf.cpp's segment_break).
EWF_SEGMENT_BREAK = b"\0EWF-NEXT-SEGMENT\0"


def ewf_seed(raw, *options):
    """The segments ewfacquire makes of the file `raw`, joined."""
    with tempfile.TemporaryDirectory() as d:
        subprocess.run(["ewfacquire", "-u", "-q", "-t", os.path.join(d, "seed")] + list(options) + [raw],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        parts = []
        for name in sorted(os.listdir(d)):
            with open(os.path.join(d, name), "rb") as f:
                parts.append(f.read())
        return EWF_SEGMENT_BREAK.join(parts)


def ewf_seeds(volume, out):
    """EWF sets of a small volume: the EnCase 6 layout with table base
    offsets, FTK Imager's without, stored and deflated chunks, SMART's
    chunks inside the table sections over three segments, 4096-byte
    sectors. Sizes are cut with -B where stored chunks would make the
    seed large."""
    for label, options in (("e6-best", ["-f", "encase6", "-c", "best"]),
                           ("ftk-none", ["-f", "ftk", "-c", "none", "-B", "65536"]),
                           ("e5-empty-block", ["-f", "encase5", "-c", "empty-block", "-b", "16", "-B", "131072"]),
                           ("smart-segments", ["-f", "smart", "-c", "fast", "-b", "16", "-S", "1MiB"]),
                           ("e6-4096", ["-f", "encase6", "-c", "fast", "-P", "4096", "-b", "16"])):
        write(out, "ewf", "mkntfs-" + label, ewf_seed(volume, *options))


def inflate_seeds(out):
    """Raw deflate streams of the kinds EWF chunks hold, each behind the
    byte that gives the room to decode into (fuzz_inflate.cpp)."""
    import random
    import zlib
    rng = random.Random(5)
    record = bytearray(1024)
    record[0:4] = b"FILE"
    for i in range(56, 400):
        record[i] = rng.randrange(256) if i % 7 else 0
    kinds = {"zeros": bytes(4096), "records": bytes(record) * 8,
             "text": b"".join(rng.choice([b"index ", b"record ", b"$MFT ", b"\r\n"]) for _ in range(900)),
             "noise": bytes(rng.randrange(256) for _ in range(3000)),
             "repeats": bytes((i % 5) + 65 for i in range(2000))}
    for name, raw in kinds.items():
        for level, strategy in ((0, zlib.Z_DEFAULT_STRATEGY), (1, zlib.Z_DEFAULT_STRATEGY),
                                (9, zlib.Z_DEFAULT_STRATEGY), (6, zlib.Z_FIXED), (6, zlib.Z_RLE)):
            c = zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy)
            stream = c.compress(raw) + c.flush()
            write(out, "inflate", "%s-%d-%d" % (name, level, strategy), bytes([min(255, -(-len(raw) // 192))]) + stream)
    # One zlib stream whole, header and checksum included.
    write(out, "inflate", "zlib-records", bytes([43]) + zlib.compress(bytes(record) * 8, 9))


def main():
    data, out = sys.argv[1], sys.argv[2]
    inflate_seeds(out)
    images = [("xp-undel", "7-undel-ntfs/7-ntfs-undel.dd", 0),
              ("ntfs3", "ntfs3.raw", 0),
              ("attrlist", "ntfs3_attrlist.raw", 0)]
    for label, rel, off in images:
        p = os.path.join(data, rel)
        if not os.path.exists(p):
            continue
        v = Volume(p, off)
        volume_seeds(v, label, out)
        structure_seeds(v, label, out)

    # A fresh volume from mkntfs: the smallest layout the tools make.
    with tempfile.TemporaryDirectory() as d:
        small = os.path.join(d, "small.img")
        with open(small, "wb") as f:
            f.truncate(2 << 20)
        if subprocess.run(["mkntfs", "-F", "-f", "-q", "-s", "512", "-c", "512", small],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
            v = Volume(small)
            volume_seeds(v, "mkntfs", out)
            structure_seeds(v, "mkntfs", out)
            # The same volume inside a VMDK extent: header, tables, grains.
            boot_and_mft = bytearray(2 << 20)
            for pos, size in ((0, 512), (v.mft, 64 * v.record)):
                boot_and_mft[pos:pos + size] = v.read(pos, size)
            write(out, "vmdk", "mkntfs", vmdk_seed(bytes(boot_and_mft)))
            # VHD and VHDX of the boot sector and the first MFT records.
            small_disk = bytearray(2 << 20)
            for pos, size in ((0, 512), (v.mft, 16 * v.record)):
                small_disk[pos:pos + size] = v.read(pos, size)
            container_seeds(bytes(small_disk), out)
            ewf_seeds(small, out)

    # The fixture of deleted entries: the system records, the large folder
    # (entry 64) with its first eight index blocks (four its bitmap marks
    # free, four in use with slack), the records its deleted names point at
    # and the deleted folder tree and orphan, listed with -deleted by the
    # target.
    if len(sys.argv) > 3:
        p = os.path.join(sys.argv[3], "deleted.img")
        if os.path.exists(p):
            v = Volume(p)
            img = v.image_seed(entries=list(range(75)) + list(range(565, 582)), index_clusters=8)
            write(out, "listing", "deleted", img + param("\\"))

    for label, rel in (("gpt", "gpt-512-3p.raw"), ("mbr-logical", "mbr-win-512.raw"),
                       ("mbr-ntfs", "10-ntfs-autodetect/10-ntfs-disk.dd"),
                       ("mbr-extended", "1-extend-part/ext-part-test-2.dd"),
                       ("bare-ntfs", "7-undel-ntfs/7-ntfs-undel.dd")):
        p = os.path.join(data, rel)
        if os.path.exists(p):
            write(out, "partitions", label, disk_seed(p))
    p = os.path.join(data, "gpt-512-3p.raw")
    if os.path.exists(p):
        with open(p, "rb") as f:
            write(out, "vmdk", "gpt", vmdk_seed(f.read()))


if __name__ == "__main__":
    main()
