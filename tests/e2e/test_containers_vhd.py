"""VHD and VHDX disks behind -image: every listing equals the raw disk's
byte for byte (the run header aside), qemu-img reads the fixtures back as
their raw disks, differencing files read as the disk they stand for, and
damaged files are listed or refused without a crash or a hang, with one
line per unreadable block."""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

from brelvik_e2e import SOURCE, fixture, need_tool, run

sys.path.insert(0, os.path.join(SOURCE, "tests", "fixtures"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
import make_differencing as gen  # noqa: E402
from ntfs_records import attributes, fixup  # noqa: E402

# A damaged file must be listed, or refused, well within this.
TIME_LIMIT = 60

# Container fixture, the raw disk it stands for, the volume offset its
# partition detection suggests (None for a bare volume) and an MFT entry
# of that volume with more than one name or deep in its tree.
CONTAINERS = [
    ("main_fixed.vhd", "main.img", None, "81"),
    ("main_dynamic.vhd", "main.img", None, "81"),
    ("mbr_dynamic.vhd", "mbr.img", "0x4500000", "68"),
    ("vdisk.vhd", "vdisk.img", "0x100000", "110"),
    ("vdisk_child.vhd", "vdisk_changed.img", "0x100000", "112"),
    ("main_fixed.vhdx", "main.img", None, "81"),
    ("main_dynamic.vhdx", "main.img", None, "81"),
    ("mbr_dynamic.vhdx", "mbr.img", "0x4500000", "68"),
    ("gpt4k_dynamic.vhdx", "gpt4k.img", "0x100000", "68"),
    ("gpt4k_fixed.vhdx", "gpt4k.img", "0x100000", "68"),
    ("vdisk.vhdx", "vdisk.img", "0x100000", "110"),
    ("vdisk_child.vhdx", "vdisk_changed.img", "0x100000", "112"),
]

DAMAGE_LINE = re.compile(r"^(.*): (block \d+|bytes from 0x[0-9a-f]+) unreadable \((.*)\), read as zeros$")


def body(result):
    """Standard output without the run header (three lines and a blank)."""
    return result.out_bytes.split(b"\n", 4)[4] if result.out_bytes.count(b"\n") >= 4 else b""


def xml_body(data):
    """An XML file without the run header and the root element's image
    path, date and time."""
    data = data.split(b"\n", 4)[4]
    return re.sub(rb'umounted_image="[^"]*"|date="[^"]*"|time="[^"]*"', b"", data)


def damage_lines(err):
    return [m.groups() for m in map(DAMAGE_LINE.match, err.splitlines()) if m]


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Workdir(unittest.TestCase):
    """A scratch folder per test for edited copies of the fixtures."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="brelvik-vhd-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def copy(self, name, as_name=None, folder=None):
        d = os.path.join(self.tmp, folder) if folder else self.tmp
        os.makedirs(d, exist_ok=True)
        p = os.path.join(d, as_name or name)
        shutil.copyfile(fixture(name), p)
        return p

    def path(self, *parts):
        p = os.path.join(self.tmp, *parts)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        return p

    def brelvik(self, args):
        return run(args, timeout=TIME_LIMIT)


class SameListingAsRaw(Workdir):
    """Each container lists exactly as its raw disk, in every writer."""

    raw_cache = {}

    def variants(self, offset, entry):
        where = ["-offset", offset] if offset else []
        return [["\\"] + where + ["-level", "-2"],
                ["\\"] + where + ["-level", "-2", "-filepath_only"],
                ["\\"] + where + ["-level", "-2", "-csv", "-alldates"],
                ["\\"] + where + ["-level", "-2", "-xml", "XML"],
                where + ["-mft", entry]]

    def listing(self, image, args):
        xml = os.path.join(self.tmp, "out.xml")
        full = ["-image", image] + [xml if a == "XML" else a for a in args]
        r = self.brelvik(full)
        self.assertEqual(r.rc, 0, "%s: %s" % (full, r.err))
        self.assertEqual(damage_lines(r.err), [], r.err)
        if "XML" in args:
            return xml_body(read(xml))
        return body(r)

    def raw_listing(self, raw, args):
        key = (raw, tuple(args))
        if key not in self.raw_cache:
            self.raw_cache[key] = self.listing(fixture(raw), args)
        return self.raw_cache[key]

    def test_every_writer_lists_each_container_as_its_raw_disk(self):
        for name, raw, offset, entry in CONTAINERS:
            for args in self.variants(offset, entry):
                with self.subTest(container=name, args=" ".join(args)):
                    ours = self.listing(fixture(name), args)
                    self.assertGreater(len(ours), 100)
                    self.assertEqual(ours, self.raw_listing(raw, args))

    def test_partition_detection_suggests_the_raw_disks_offset(self):
        for name, raw, offset, _ in CONTAINERS:
            if not offset:
                continue
            with self.subTest(container=name):
                ours, theirs = self.brelvik(["\\", "-image", fixture(name)]), run(["\\", "-image", fixture(raw)])
                self.assertEqual((ours.rc, ours.err), (theirs.rc, theirs.err))
                self.assertIn("use option [-offset %s]" % offset, ours.err)

    def test_a_footer_one_byte_short_is_read(self):
        # The oldest writers left the footer of a fixed disk 511 bytes long.
        short = self.copy("main_fixed.vhd")
        with open(short, "r+b") as f:
            f.truncate(os.path.getsize(short) - 1)
        args = ["\\", "-level", "-2", "-filepath_only"]
        self.assertEqual(self.listing(short, args), self.raw_listing("main.img", args))

    def test_a_chain_of_two_differencing_files(self):
        # A grandchild with no change of its own reads as its parent.
        child = self.copy("vdisk_child.vhd")
        self.copy("vdisk.vhd")
        grandchild = self.path("grandchild.vhd")
        gen.vhd_child(child, fixture("vdisk_changed.img"), fixture("vdisk_changed.img"), grandchild)
        args = ["\\", "-offset", "0x100000", "-level", "-2", "-csv"]
        self.assertEqual(self.listing(grandchild, args), self.raw_listing("vdisk_changed.img", args))


class QemuReadsTheFixtures(Workdir):
    """qemu-img, an independent reader, sees each fixture as its raw disk."""

    def convert(self, image, fmt):
        need_tool("qemu-img")
        out = self.path("out.raw")
        subprocess.run(["qemu-img", "convert", "-q", "-f", fmt, "-O", "raw", image, out], check=True)
        return read(out)

    def test_qemu_written_files(self):
        for name, raw, _, _ in CONTAINERS:
            if name.startswith(("gpt4k", "vdisk_child")):
                continue
            with self.subTest(container=name):
                fmt = "vhdx" if name.endswith(".vhdx") else "vpc"
                self.assertEqual(self.convert(fixture(name), fmt), read(fixture(raw)))

    def test_generated_4096_byte_sector_files_hold_the_disk(self):
        # qemu-img refuses VHDX with 4096-byte logical sectors. With 1 MiB
        # blocks and a 32 MiB disk, the table has no sector-bitmap entry
        # among the payload entries at either sector size, so the same file
        # with its sector size item set to 512 is a valid file qemu-img
        # reads: it must hold gpt4k.img.
        for name in ("gpt4k_dynamic.vhdx", "gpt4k_fixed.vhdx"):
            with self.subTest(container=name):
                copy = self.copy(name)
                item = vhdx_metadata_item(copy, gen.LOGICAL_SECTOR)
                with open(copy, "r+b") as f:
                    f.seek(item)
                    self.assertEqual(struct.unpack("<I", f.read(4))[0], 4096)
                    f.seek(item)
                    f.write(struct.pack("<I", 512))
                self.assertEqual(self.convert(copy, "vhdx"), read(fixture("gpt4k.img")))

    def check_child_sectors(self, own):
        """`own` is the child's own data as qemu-img reads it, without its
        parent: every sector that vdisk_changed.img changed is there, and
        every other one is either the changed disk's or zeros."""
        base, changed = read(fixture("vdisk.img")), read(fixture("vdisk_changed.img"))
        self.assertEqual(len(own), len(changed))
        zeros = bytes(512)
        changed_sectors = 0
        for at in range(0, len(changed), 512):
            s = own[at:at + 512]
            if base[at:at + 512] != changed[at:at + 512]:
                changed_sectors += 1
                self.assertEqual(s, changed[at:at + 512], "sector %d" % (at // 512))
            else:
                self.assertIn(s, (zeros, changed[at:at + 512]), "sector %d" % (at // 512))
        self.assertGreater(changed_sectors, 100)

    def test_differencing_vhd_holds_every_changed_sector(self):
        # qemu-img reads a differencing VHD without its parent (its own
        # blocks, the rest zeros).
        self.check_child_sectors(self.convert(fixture("vdisk_child.vhd"), "vpc"))

    def test_differencing_vhdx_holds_every_changed_sector(self):
        # qemu-img refuses differencing VHDX. With the has-parent flag
        # cleared, the parent locator dropped from the metadata table and
        # its partially present blocks marked fully present (the generator
        # leaves the sectors it does not hold as zeros), the child is a
        # dynamic file qemu-img reads.
        copy = self.copy("vdisk_child.vhdx")
        meta, _ = vhdx_region(copy, gen.METADATA_REGION)
        with open(copy, "r+b") as f:
            f.seek(meta)
            table = f.read(64 << 10)
            count = struct.unpack_from("<H", table, 10)[0]
            last = 32 + 32 * (count - 1)
            self.assertEqual(table[last:last + 16], gen.PARENT_LOCATOR)
            f.seek(meta + 10)
            f.write(struct.pack("<H", count - 1))
            params = vhdx_metadata_item(copy, gen.FILE_PARAMETERS)
            f.seek(params + 4)
            flags = struct.unpack("<I", f.read(4))[0]
            self.assertEqual(flags & 2, 2)
            f.seek(params + 4)
            f.write(struct.pack("<I", flags & ~2))
            bat, length = vhdx_region(copy, gen.BAT_REGION)
            f.seek(bat)
            table = bytearray(f.read(length))
            partial = 0
            for i in range(0, len(table), 8):
                e = struct.unpack_from("<Q", table, i)[0]
                if e & 7 == gen.PARTIALLY_PRESENT:
                    partial += 1
                    struct.pack_into("<Q", table, i, (e & ~7) | gen.FULLY_PRESENT)
            self.assertGreater(partial, 0)
            f.seek(bat)
            f.write(table)
        self.check_child_sectors(self.convert(copy, "vhdx"))


def vhdx_region(path, kind):
    with open(path, "rb") as f:
        f.seek(gen.REGIONS_AT[0])
        t = f.read(64 << 10)
    for i in range(struct.unpack_from("<I", t, 8)[0]):
        e = 16 + 32 * i
        if t[e:e + 16] == kind:
            return struct.unpack_from("<QI", t, e + 16)
    raise AssertionError("no region %s" % gen.guid_text(kind))


def vhdx_metadata_item(path, kind):
    """File offset of a metadata item."""
    meta, _ = vhdx_region(path, gen.METADATA_REGION)
    with open(path, "rb") as f:
        f.seek(meta)
        m = f.read(64 << 10)
    for i in range(struct.unpack_from("<H", m, 10)[0]):
        e = 32 + 32 * i
        if m[e:e + 16] == kind:
            return meta + struct.unpack_from("<I", m, e + 16)[0]
    raise AssertionError("no metadata item %s" % gen.guid_text(kind))


def many_index_offset():
    """Disk offset of the first index block of main.img's many/ (entry
    108): read only when that folder is listed, and nothing else the
    listing needs lies near it."""
    img = read(fixture("main.img"))
    mft = 4 * 4096
    rec = fixup(img[mft + 108 * 1024:mft + 109 * 1024])
    for t, off, _ in attributes(rec):
        if t == 0xA0:
            pos = off + struct.unpack_from("<H", rec, off + 32)[0]
            h = rec[pos]
            lcn = int.from_bytes(rec[pos + 1 + (h & 15):pos + 1 + (h & 15) + (h >> 4)], "little", signed=True)
            return lcn * 4096
    raise AssertionError("many/ has no index allocation")


class Damage(Workdir):
    """Damaged files: no crash, no hang; one line per unreadable block
    naming the file and the block; exit 0 when the listing could be made."""

    def list_all(self, image):
        return self.brelvik(["\\", "-image", image, "-level", "-2", "-filepath_only"])

    def assert_listed_without_many(self, r):
        self.assertEqual(r.rc, 0, r.err)
        self.assertIn("\\docs\\readme.txt", r.out)
        self.assertIn("\\many\\", r.out)
        self.assertNotIn("\\many\\entry_1600.txt", r.out)

    def vhd_table(self, path):
        """(file offset of the block allocation table, its entries)."""
        with open(path, "rb") as f:
            h = f.read(1536)[512:]
            at, count = struct.unpack_from(">QxxxxI", h, 16)[0], struct.unpack_from(">I", h, 28)[0]
            f.seek(at)
            return at, list(struct.unpack(">%dI" % count, f.read(4 * count)))

    def test_vhd_table_entry_past_the_end(self):
        image = self.copy("main_dynamic.vhd")
        block = many_index_offset() // (2 << 20)
        at, _ = self.vhd_table(image)
        with open(image, "r+b") as f:
            f.seek(at + 4 * block)
            f.write(struct.pack(">I", 0x7FFFFFF0))
        r = self.list_all(image)
        self.assert_listed_without_many(r)
        self.assertEqual(damage_lines(r.err), [(image, "block %d" % block,
                                                "block allocation table entry points past the end of the file")])

    def test_vhd_truncated(self):
        image = self.copy("main_dynamic.vhd")
        block = many_index_offset() // (2 << 20)
        _, table = self.vhd_table(image)
        # Blocks are stored in disk order: cutting the file inside this one
        # loses it and every later one, and the footer at the end.
        with open(image, "r+b") as f:
            f.truncate(table[block] * 512 + 4096)
        r = self.list_all(image)
        self.assert_listed_without_many(r)
        lines = damage_lines(r.err)
        self.assertIn((image, "block %d" % block, "block allocation table entry points past the end of the file"), lines)
        self.assertEqual(len(lines), len(set(lines)))
        self.assertTrue(all(int(b.split()[1]) >= block for _, b, _ in lines), lines)

    def test_vhd_bad_checksums(self):
        image = self.copy("main_dynamic.vhd")
        size = os.path.getsize(image)
        with open(image, "r+b") as f:
            f.seek(size - 512 + 100)
            f.write(b"\1")
        r = self.list_all(image)
        self.assertEqual(r.rc, 0, r.err)
        self.assertIn("%s: VHD footer checksum wrong in the footer at the end; the copy at the start is used\n" % image,
                      r.err)
        with open(image, "r+b") as f:
            f.seek(512 + 900)
            f.write(b"\1")
        r = self.list_all(image)
        self.assertEqual((r.rc, body(r)), (255, b""))
        self.assertIn("%s: VHD dynamic header checksum wrong\n" % image, r.err)

    def vhdx_header_edit(self, image, index, change):
        with open(image, "r+b") as f:
            f.seek(gen.HEADERS_AT[index])
            h = bytearray(f.read(4096))
            change(h)
            f.seek(gen.HEADERS_AT[index])
            f.write(h)

    def test_vhdx_one_header_damaged_the_other_used(self):
        raw = body(run(["\\", "-image", fixture("main.img"), "-level", "-2", "-filepath_only"]))
        for index in (0, 1):
            with self.subTest(header=index + 1):
                image = self.copy("main_dynamic.vhdx")
                self.vhdx_header_edit(image, index, lambda h: h.__setitem__(4, h[4] ^ 0xFF))
                r = self.list_all(image)
                self.assertEqual(r.rc, 0, r.err)
                self.assertEqual(body(r), raw)
                self.assertIn("%s: VHDX header %d damaged (checksum wrong); header %d used\n"
                              % (image, index + 1, 2 - index), r.err)

    def test_vhdx_both_headers_damaged(self):
        image = self.copy("main_dynamic.vhdx")
        for index in (0, 1):
            self.vhdx_header_edit(image, index, lambda h: h.__setitem__(200, 1))
        r = self.list_all(image)
        self.assertEqual((r.rc, body(r)), (255, b""))
        self.assertIn("%s: both VHDX headers damaged (1: checksum wrong; 2: checksum wrong)\n" % image, r.err)

    def test_vhdx_first_region_table_damaged(self):
        image = self.copy("main_dynamic.vhdx")
        with open(image, "r+b") as f:
            f.seek(gen.REGIONS_AT[0] + 40)
            f.write(b"\xff")
        r = self.list_all(image)
        self.assertEqual(r.rc, 0, r.err)
        self.assertIn("%s: VHDX region table 1 damaged (checksum wrong); region table 2 used\n" % image, r.err)

    def test_vhdx_log_not_empty_is_noted(self):
        image = self.copy("main_dynamic.vhdx")

        def set_log(h):
            h[48:64] = b"\x42" * 16
            h[4:8] = b"\0\0\0\0"
            struct.pack_into("<I", h, 4, gen.crc32c(h))
        for index in (0, 1):
            self.vhdx_header_edit(image, index, set_log)
        r = self.list_all(image)
        self.assertEqual(r.rc, 0, r.err)
        self.assertEqual(body(r), body(run(["\\", "-image", fixture("main.img"), "-level", "-2", "-filepath_only"])))
        self.assertEqual(r.err.count("the VHDX log is not empty"), 1, r.err)
        self.assertIn("%s: the VHDX log is not empty and was not replayed; the file is read as it stands\n" % image,
                      r.err)

    def test_vhdx_table_entry_past_the_end_and_truncated(self):
        block = many_index_offset() >> 20
        image = self.copy("main_dynamic.vhdx")
        bat, _ = vhdx_region(image, gen.BAT_REGION)
        with open(image, "r+b") as f:
            f.seek(bat + 8 * block)  # no bitmap entry comes before block 4096
            entry = struct.unpack("<Q", f.read(8))[0]
            self.assertEqual(entry & 7, gen.FULLY_PRESENT)
            f.seek(bat + 8 * block)
            f.write(struct.pack("<Q", (0x3FFFF << 20) | gen.FULLY_PRESENT))
        r = self.list_all(image)
        self.assert_listed_without_many(r)
        self.assertEqual(damage_lines(r.err), [(image, "block %d" % block,
                                                "block allocation table entry points past the end of the file")])

        image = self.copy("main_dynamic.vhdx", "cut.vhdx")
        with open(image, "r+b") as f:
            f.truncate((entry >> 20 << 20) + 4096)
        r = self.list_all(image)
        self.assert_listed_without_many(r)
        self.assertIn((image, "block %d" % block, "block allocation table entry points past the end of the file"),
                      damage_lines(r.err))

    def test_many_damaged_blocks_show_twenty_lines_then_a_count(self):
        # main.img in a dynamic VHD of 64 KiB blocks, with the table entries
        # of blocks 3 to 25 pointing past the end: they hold the MFT records
        # of the files in many/ (entries 176 to 1663), read when that folder
        # is listed; nothing else the listing needs is in them.
        raw = read(fixture("main.img"))
        block = 64 << 10
        bitmap = b"\xff" * gen.vhd_bitmap_bytes(block)
        blocks = {b: (bitmap, raw[b * block:(b + 1) * block]) for b in range(len(raw) // block)
                  if raw[b * block:(b + 1) * block].strip(b"\0")}
        image = self.path("small_blocks.vhd")
        gen.write_vhd(image, len(raw), block, blocks)
        at, table = self.vhd_table(image)
        with open(image, "r+b") as f:
            for b in range(3, 26):
                self.assertNotEqual(table[b], gen.VHD_UNUSED)
                f.seek(at + 4 * b)
                f.write(struct.pack(">I", 0x7FFFFFF0))
        r = self.list_all(image)
        self.assertEqual(r.rc, 0, r.err)
        self.assertIn("\\frag\\frag_a.bin", r.out)
        lines = damage_lines(r.err)
        self.assertEqual(lines, [(image, "block %d" % b, "block allocation table entry points past the end of the file")
                                 for b in range(3, 23)])
        self.assertIn("... and 3 more unreadable chunks or blocks, read as zeros\n", r.err)


class Parents(Workdir):
    """How a differencing file finds its parent, and what happens when it
    cannot."""

    CHILDREN = (("vhd", gen.vhd_child), ("vhdx", gen.vhdx_child))

    def make_child(self, ext, make, child, **locators):
        make(fixture("vdisk." + ext), fixture("vdisk.img"), fixture("vdisk_changed.img"), child, **locators)

    def changed_listing(self):
        return body(run(["\\", "-image", fixture("vdisk_changed.img"), "-offset", "0x100000", "-level", "-2"]))

    def listing(self, image):
        return self.brelvik(["\\", "-image", image, "-offset", "0x100000", "-level", "-2"])

    def test_parent_found_by_relative_path_then_by_name(self):
        expected = self.changed_listing()
        for ext, make in self.CHILDREN:
            cases = {
                # A relative path into a subfolder, and one out of it.
                "sub": (".\\parents\\vdisk." + ext, "parents"),
                "up": ("..\\vdisk." + ext, None),
                # Neither locator names a file here: the name beside the child.
                "name": ("..\\elsewhere\\vdisk." + ext, "kids"),
            }
            for case, (relative, parent_folder) in cases.items():
                with self.subTest(format=ext, case=case):
                    folder = os.path.join(self.tmp, ext, case)
                    child = os.path.join(folder, "" if case == "sub" else "kids", "child." + ext)
                    where = os.path.join(folder, parent_folder) if parent_folder else folder
                    os.makedirs(os.path.dirname(child), exist_ok=True)
                    os.makedirs(where, exist_ok=True)
                    shutil.copyfile(fixture("vdisk." + ext), os.path.join(where, "vdisk." + ext))
                    self.make_child(ext, make, child, relative=relative, absolute="C:\\nowhere\\vdisk." + ext)
                    r = self.listing(child)
                    self.assertEqual(r.rc, 0, r.err)
                    self.assertEqual(body(r), expected)
                    self.assertEqual(r.err.strip(), "")

    def test_parent_missing(self):
        for ext, _ in self.CHILDREN:
            with self.subTest(format=ext):
                child = self.copy("vdisk_child." + ext, folder=ext)
                r = self.listing(child)
                self.assertEqual((r.rc, r.out.count("\n")), (255, 4), r.err)
                self.assertIn("%s: parent disk not found (" % child, r.err)
                self.assertIn("vdisk.%s not found" % ext, r.err)
                self.assertIn("); what it holds reads as zeros\n", r.err)
                self.assertIn((child, "block 0", "held by the parent disk, which was not found"),
                              damage_lines(r.err))

    def test_parent_of_another_disk_is_refused(self):
        for ext, other in (("vhd", "main_dynamic.vhd"), ("vhdx", "main_dynamic.vhdx")):
            with self.subTest(format=ext):
                child = self.copy("vdisk_child." + ext, folder=ext)
                self.copy(other, "vdisk." + ext, folder=ext)
                r = self.listing(child)
                self.assertEqual(r.rc, 255, r.err)
                self.assertRegex(r.err, re.escape(child) + r": parent disk not found \(.*vdisk\.%s is another disk "
                                 r"\(id [0-9a-f-]+, expected [0-9a-f-]+\)" % ext)

    def test_parent_loop(self):
        # a's parent is b and b's parent is a.
        size = 4 << 20
        uid_a, uid_b = b"\xaa" * 16, b"\xbb" * 16
        a, b = self.path("loop", "a.vhd"), self.path("loop", "b.vhd")
        gen.write_vhd(a, size, 2 << 20, {}, gen.VHD_DIFFERENCING, uid=uid_a, parent_uid=uid_b,
                      locators=[(gen.W2RU, ".\\b.vhd")])
        gen.write_vhd(b, size, 2 << 20, {}, gen.VHD_DIFFERENCING, uid=uid_b, parent_uid=uid_a,
                      locators=[(gen.W2RU, ".\\a.vhd")])
        vx_a, vx_b = self.path("loop", "a.vhdx"), self.path("loop", "b.vhdx")
        for me, other in ((vx_a, "b.vhdx"), (vx_b, "a.vhdx")):
            linkage = "{%s}" % gen.guid_text(gen.seeded(other + "/data", 16))
            gen.write_vhdx(me, size, 1 << 20, 512, {}, has_parent=True, seed=os.path.basename(me),
                           locator=gen.parent_locator([("parent_linkage", linkage), ("relative_path", other)]))
        for top, other in ((a, b), (vx_a, vx_b)):
            with self.subTest(file=os.path.basename(top)):
                r = self.brelvik(["\\", "-image", top])
                self.assertEqual(r.rc, 255)
                self.assertIn("%s: parent disk not found (%s is already in the chain (a loop))" % (other, top), r.err)

    def test_chain_deeper_than_the_bound(self):
        size, files = 1 << 20, 66
        names = [self.path("deep", "d%02d.vhd" % i) for i in range(files)]
        uid = [bytes([i]) * 16 for i in range(files)]
        for i, n in enumerate(names):
            last = i == files - 1
            gen.write_vhd(n, size, 1 << 20, {}, gen.VHD_DYNAMIC if last else gen.VHD_DIFFERENCING, uid=uid[i],
                          parent_uid=b"\0" * 16 if last else uid[i + 1],
                          locators=[] if last else [(gen.W2RU, ".\\d%02d.vhd" % (i + 1))])
        r = self.brelvik(["\\", "-image", names[0]])
        self.assertEqual(r.rc, 255)
        self.assertIn("%s: chain of parent disks longer than 64 files; %s's parent not opened, what it holds reads "
                      "as zeros\n" % (names[0], names[64]), r.err)


if __name__ == "__main__":
    unittest.main()
