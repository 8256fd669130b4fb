"""Folder indexes damaged inside their nodes, on copies of main.img and
c512.img: the entries before the damage are listed, and the entries the
damage hides are said to be missing on standard error, never passed over
as a whole listing. The Sleuth Kit's fls shows what the damage hides."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

from brelvik_e2e import fixture, need_tool, run

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ntfs_records import NtfsImage, attributes, data_runs, fixup, unfix  # noqa: E402

TIME_LIMIT = 60
DOCS = 64  # \docs of main.img: four children in its index root
FOLDER300 = 67  # \folder300 of c512.img: 300 files in INDX blocks of 8 clusters, all in use


def node_entries(node, header):
    """(offset, reference, length) of each entry of the node whose header
    is at `header`, up to the end entry."""
    first = struct.unpack_from("<I", node, header)[0]
    at, out = header + first, []
    while True:
        ref, length, _key, flags = struct.unpack_from("<QHHH", node, at)
        out.append((at, ref & 0xFFFFFFFFFFFF, length))
        if flags & 2:
            return out
        at += length


def fls_names(image, entry):
    need_tool("fls")
    p = subprocess.run(["fls", "-f", "ntfs", image, str(entry)], stdout=subprocess.PIPE, check=True)
    return {line.split("\t", 1)[1] for line in p.stdout.decode("utf-8", "replace").splitlines()
            if "\t" in line and "*" not in line.split("\t", 1)[0]}


class DamagedIndexNodes(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="brelvik-index-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def save(self, vol):
        path = os.path.join(self.dir, "v.img")
        with open(path, "wb") as f:
            f.write(vol.data)
        return path

    def names(self, image, folder):
        r = run([folder, "-image", image, "-filepath_only"], timeout=TIME_LIMIT)
        self.assertEqual(r.rc, 0, r.err)
        prefix = folder + "\\"
        return {line[len(prefix):] for line in r.out.splitlines() if line.startswith(prefix) and
                line != prefix}, r.err

    def check(self, vol, folder, entry, message):
        image = self.save(vol)
        listed, err = self.names(image, folder)
        # fls reads past the damage: what it lists and the listing lacks is
        # what the message stands for.
        hidden = fls_names(image, entry) - listed
        self.assertTrue(hidden, "the damage hides no entry")
        self.assertEqual(err, message + "\n")
        return listed

    def test_damaged_entries_of_an_index_root(self):
        base = NtfsImage(fixture("main.img"))
        listed, err = self.names(self.save(base), "\\docs")
        self.assertEqual(listed, {"empty.txt", "notes.txt", "readme.txt", "reports\\"})
        self.assertEqual(err, "")

        def damage(change):
            vol = NtfsImage(fixture("main.img"))

            def edit(rec):
                off = next(o for t, o, ln in attributes(rec) if t == 0x90)
                node = off + struct.unpack_from("<H", rec, off + 20)[0] + 16
                change(rec, node, node_entries(rec, node))

            vol.edit_record(DOCS, edit)
            return vol

        cases = {
            # The second entry's length field zeroed, or over any entry's.
            "entry length 0": lambda rec, node, es: struct.pack_into("<H", rec, es[1][0] + 8, 0),
            "entry length 1000": lambda rec, node, es: struct.pack_into("<H", rec, es[1][0] + 8, 1000),
            # Its file reference zeroed: only an end entry has none.
            "reference 0": lambda rec, node, es: struct.pack_into("<Q", rec, es[1][0], 0),
            # The first entry flagged as the end, the bytes in use beyond it.
            "end flag on the first entry": lambda rec, node, es: struct.pack_into("<H", rec, es[0][0] + 12, 2),
            # Bytes in use that end inside the first entry.
            "bytes in use 40": lambda rec, node, es: struct.pack_into("<I", rec, node + 4, 40),
        }
        for what, change in cases.items():
            with self.subTest(what):
                listed = self.check(damage(change), "\\docs", DOCS,
                                    "\\docs\\: index entries are damaged, the entries after them are not listed")
                self.assertLess(len(listed), 4)

    def test_index_root_whose_block_size_is_zero(self):
        # The root's entries are all of \\docs: the size of index blocks it
        # has none of plays no part in reading them.
        vol = NtfsImage(fixture("main.img"))

        def zero_block_size(rec):
            off = next(o for t, o, ln in attributes(rec) if t == 0x90)
            struct.pack_into("<I", rec, off + struct.unpack_from("<H", rec, off + 20)[0] + 8, 0)

        vol.edit_record(DOCS, zero_block_size)
        image = self.save(vol)
        listed, err = self.names(image, "\\docs")
        self.assertEqual(err, "")
        self.assertEqual(listed, {"empty.txt", "notes.txt", "readme.txt", "reports\\"})
        self.assertEqual({n + "\\" if n == "reports" else n for n in fls_names(image, DOCS)}, listed)

    def test_damaged_entries_of_an_index_block_in_use(self):
        base = NtfsImage(fixture("c512.img"))
        whole, err = self.names(self.save(base), "\\folder300")
        self.assertEqual(err, "")
        rec, off, ln = base.attribute(FOLDER300, 0xA0)
        lcn = data_runs(rec, off + struct.unpack_from("<H", rec, off + 32)[0])[0][0]
        at = lcn * base.cluster  # the first INDX block, in use

        def damage(change):
            vol = NtfsImage(fixture("c512.img"))
            block = fixup(vol.data[at:at + 4096])
            self.assertEqual(bytes(block[:4]), b"INDX")
            change(block, node_entries(block, 24))
            vol.data[at:at + 4096] = unfix(block)
            return vol

        cases = {
            "entry length 0": lambda b, es: struct.pack_into("<H", b, es[2][0] + 8, 0),
            "key longer than its entry": lambda b, es: struct.pack_into("<H", b, es[2][0] + 10, es[2][2] + 8),
            "reference 0": lambda b, es: struct.pack_into("<Q", b, es[2][0], 0),
            # Bytes in use that end inside the third entry.
            "bytes in use short": lambda b, es: struct.pack_into("<I", b, 24 + 4, es[2][0] + 8 - 24),
            "entries offset 0": lambda b, es: struct.pack_into("<I", b, 24, 0),
        }
        for what, change in cases.items():
            with self.subTest(what):
                listed = self.check(damage(change), "\\folder300", FOLDER300,
                                    "\\folder300\\: index entries are damaged, the entries after them are not listed")
                self.assertLess(len(listed), len(whole))
                self.assertLessEqual(listed, whole)

    def test_zeroed_index_bitmap_hides_no_block(self):
        # Blocks the bitmap marks free give no live entries; a bitmap that
        # marks none in use while the root leads to blocks is damaged, and
        # the blocks are read as before.
        base = NtfsImage(fixture("c512.img"))
        whole, _ = self.names(self.save(base), "\\folder300")

        def zero_bitmap(rec):
            off = next(o for t, o, ln in attributes(rec) if t == 0xB0)
            value = off + struct.unpack_from("<H", rec, off + 20)[0]
            size = struct.unpack_from("<I", rec, off + 16)[0]
            rec[value:value + size] = bytes(size)

        base.edit_record(FOLDER300, zero_bitmap)
        listed, err = self.names(self.save(base), "\\folder300")
        self.assertEqual(err, "")
        self.assertEqual(listed, whole)
        self.assertEqual(listed, fls_names(self.save(base), FOLDER300))

    def test_index_bitmap_damaged_in_part_hides_no_block(self):
        # A bitmap bit of a block in use cleared: the tree still leads to
        # the block from the root, so its entries are listed, as fls lists
        # them. Sub-node pointers count clusters of 512 bytes and 4 KiB, and
        # 512-byte units where a cluster (64 KiB) holds several blocks.
        for name, folder, entry in (("c512.img", "\\folder300", FOLDER300), ("c64k.img", "\\folder300", 67),
                                    ("main.img", "\\many", 108)):
            base = NtfsImage(fixture(name))
            whole, _ = self.names(self.save(base), folder)
            rec, off, ln = base.attribute(entry, 0xB0)
            value = off + struct.unpack_from("<H", rec, off + 20)[0]
            bits = bytes(rec[value:value + struct.unpack_from("<I", rec, off + 16)[0]])
            used = [i for i in range(8 * len(bits)) if bits[i // 8] >> (i % 8) & 1]
            self.assertGreater(len(used), 2)
            for block in sorted({used[0], used[len(used) // 2], used[-1]}):
                with self.subTest(image=name, block=block):
                    vol = NtfsImage(fixture(name))

                    def clear_bit(rec):
                        off = next(o for t, o, ln in attributes(rec) if t == 0xB0)
                        at = off + struct.unpack_from("<H", rec, off + 20)[0] + block // 8
                        rec[at] &= ~(1 << (block % 8)) & 0xFF

                    vol.edit_record(entry, clear_bit)
                    image = self.save(vol)
                    listed, err = self.names(image, folder)
                    self.assertEqual(err, "")
                    self.assertEqual(listed, whole)
                    self.assertEqual({n.rstrip("\\") for n in listed}, fls_names(image, entry))

    def test_index_blocks_the_root_leads_to_that_give_nothing(self):
        # \folder300's root leads to its INDX blocks. An allocation that
        # says it holds no bytes, or that no longer bears the index's name,
        # gives no block: the root's own entries are listed, and the loss
        # of the rest is said.
        def damage(change):
            vol = NtfsImage(fixture("c512.img"))

            def edit(rec):
                off = next(o for t, o, ln in attributes(rec) if t == 0xA0)
                change(rec, off)

            vol.edit_record(FOLDER300, edit)
            return vol

        def rename(rec, off):
            name = off + struct.unpack_from("<H", rec, off + 10)[0]
            self.assertEqual(bytes(rec[name:name + 8]).decode("utf-16-le"), "$I30")
            struct.pack_into("<H", rec, name + 6, ord("9"))

        cases = {
            "initialized size 0": lambda rec, off: struct.pack_into("<Q", rec, off + 56, 0),
            "renamed": rename,
        }
        for what, change in cases.items():
            with self.subTest(what):
                listed = self.check(damage(change), "\\folder300", FOLDER300,
                                    "\\folder300\\: index blocks could not be read, the entries in them are not listed")
                self.assertLess(len(listed), 300)


if __name__ == "__main__":
    unittest.main()
