"""Damaged and crafted volumes: each run ends within a few seconds with the
listing of what could be read (exit 0) or a message (exit 255)."""
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

from brelvik_e2e import fixture, need_tool, run, strip_header, testdata
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ntfs_records import NtfsImage, attributes, data_runs, fixup  # noqa: E402

# A damaged volume must be listed, or refused, well within this.
TIME_LIMIT = 30


class XpVolume(NtfsImage):
    """The bare 6 MB Windows XP volume: 1 KiB clusters and records, its MFT
    in one run."""

    def __init__(self):
        super().__init__(testdata(os.path.join("7-undel-ntfs", "7-ntfs-undel.dd")))

    def index_clusters(self, entry):
        rec, off, ln = self.attribute(entry, 0xA0)
        pos = off + struct.unpack_from("<H", rec, off + 32)[0]
        h = rec[pos]
        length = int.from_bytes(rec[pos + 1:pos + 1 + (h & 15)], "little")
        lcn = int.from_bytes(rec[pos + 1 + (h & 15):pos + 1 + (h & 15) + (h >> 4)], "little", signed=True)
        return lcn, length


ROOT_INDEX_GAP = "\\: index blocks could not be read, the entries in them are not listed"


class DamagedImages(unittest.TestCase):
    def setUp(self):
        self.vol = XpVolume()
        self.dir = tempfile.mkdtemp(prefix="brelvik-damaged-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def list(self, data, *args):
        path = os.path.join(self.dir, "v.img")
        with open(path, "wb") as f:
            f.write(data)
        r = run(["\\", "-image", path] + list(args), timeout=TIME_LIMIT)
        self.assertIn(r.rc, (0, 255), r.err)
        if r.rc == 255:
            self.assertTrue(r.err.strip(), "a refusal says why")
        return r

    def test_truncated_images(self):
        size = len(self.vol.data)
        mft = self.vol.mft
        for cut in (100, 512, 4096, mft, mft + 512, mft + 5 * 1024, mft + 6 * 1024, mft + 16 * 1024,
                    size // 2, size - 4096):
            with self.subTest(cut=cut):
                r = self.list(bytes(self.vol.data[:cut]), "-recurse")
                if cut <= mft:
                    self.assertEqual(r.rc, 255)
                    self.assertIn("couldn't", r.err)
                if cut >= mft + 16 * 1024:
                    # The root's record is there: its own row is listed.
                    self.assertEqual(r.rc, 0, r.err)
                    self.assertRegex(r.out, r"dir  \\\n")
                if mft + 16 * 1024 <= cut <= size // 2:
                    # Its index blocks are not: the listing says it lacks them.
                    self.assertIn(ROOT_INDEX_GAP, r.err)
                if cut == size - 4096:
                    self.assertEqual(r.err, "")

    def test_cut_mft_names_no_live_file_as_deleted(self):
        # mftfrag.img's MFT lies in fragments up to its last quarter: cut
        # there, the records of thousands of files in \files are gone. With
        # -deleted the copies of their names in the index are not listed as
        # names whose record now holds another file (fls lists no deleted
        # name in \files of the whole image; the records were not read):
        # each such entry is said to be missing instead.
        need_tool("fls")
        whole = fixture("mftfrag.img")
        deleted = subprocess.run(["fls", "-r", "-p", "-d", whole], capture_output=True, text=True, check=True)
        self.assertNotIn("files/", deleted.stdout)
        path = os.path.join(self.dir, "cut.img")
        with open(whole, "rb") as src, open(path, "wb") as f:
            f.write(src.read(9000 * 4096))
        plain = run(["\\files", "-image", path, "-csv"], timeout=TIME_LIMIT)
        r = run(["\\files", "-image", path, "-csv", "-deleted"], timeout=TIME_LIMIT)
        self.assertEqual((plain.rc, r.rc), (0, 0), r.err)
        rows = strip_header(r.out).splitlines()
        self.assertEqual([row for row in rows if row.endswith((",realloc", ",true"))], [])
        self.assertEqual(rows[1:], strip_header(plain.out).splitlines()[1:])
        self.assertIn("\\files\\: entry 6172 named in its index could not be read, not listed", r.err)
        self.assertRegex(r.err, r"and \d+ more entries or indexes that could not be read")

    def test_attribute_list_and_extension_records_past_the_end_are_said(self):
        # Entry 27 of ntfs3_attrlist.raw has 100 names, 94 of them in its
        # extension records 28-38, which its attribute list (at cluster
        # 4609) names. Cut after record 27 the list is gone; with the MFT's
        # run split so that records 28 on lie past the end, the records are.
        # Either way only the base record's 6 names are listed, and lines
        # say what is missing.
        whole = testdata("ntfs3_attrlist.raw")
        with open(whole, "rb") as f:
            data = bytearray(f.read())
        self.assertEqual(len(strip_header(run(["-image", whole, "-mft", "27", "-csv"]).out).splitlines()), 101)
        mft = 4 * 4096
        path = os.path.join(self.dir, "v.img")
        with open(path, "wb") as f:
            f.write(data[:mft + 28 * 1024])
        r = run(["-image", path, "-mft", "27", "-csv"], timeout=TIME_LIMIT)
        self.assertEqual(len(strip_header(r.out).splitlines()), 7)
        self.assertIn("MFT entry 27: its attribute list could not be read whole, the attributes it names past there "
                      "are not listed\n", r.err)
        # $MFT's run (288 clusters at 4) becomes 7 at 4 (entries 0-27) and
        # 25 at 9000, past the end of the 8192-cluster volume.
        runlist = mft + 0x100 + 64
        self.assertEqual(bytes(data[runlist:runlist + 8]), bytes.fromhex("1220010400000000"))
        data[runlist:runlist + 8] = bytes.fromhex("1107042119242300")
        with open(path, "wb") as f:
            f.write(data)
        r = run(["-image", path, "-mft", "27", "-csv"], timeout=TIME_LIMIT)
        self.assertEqual(len(strip_header(r.out).splitlines()), 7)
        for ext in range(28, 39):
            self.assertIn("MFT entry 27: its extension record %d could not be read, the attributes it holds are "
                          "not listed\n" % ext, r.err)

    def test_zeroed_mft(self):
        v = self.vol
        v.data[v.mft:v.mft + 64 * v.record] = bytes(64 * v.record)
        r = self.list(bytes(v.data))
        self.assertEqual(r.rc, 255)
        # $MFTMirr still locates the MFT, whose records are gone.
        self.assertIn("couldn't read MFT entry 0x5", r.err)

    def test_zeroed_root_index(self):
        v = self.vol
        lcn, length = v.index_clusters(5)
        at = lcn * v.cluster
        v.data[at:at + length * v.cluster] = bytes(length * v.cluster)
        r = self.list(bytes(v.data), "-recurse")
        self.assertEqual(r.rc, 0, r.err)
        self.assertNotIn("$MFT", r.out)
        self.assertEqual(r.err, ROOT_INDEX_GAP + "\n")

    def test_zeroed_child_record(self):
        v = self.vol
        at = v.record_at(27)
        v.data[at:at + v.record] = bytes(v.record)
        r = self.list(bytes(v.data), "-recurse")
        self.assertEqual(r.rc, 0, r.err)
        self.assertNotIn("System Volume Information", r.out)
        self.assertIn("$MFT", r.out)
        self.assertEqual(r.err, "\\: entry 27 named in its index could not be read, not listed\n")

    def test_child_record_without_standard_information(self):
        def hide_si(rec):
            off = next(o for t, o, ln in attributes(rec) if t == 0x10)
            struct.pack_into("<I", rec, off, 0x11)

        self.vol.edit_record(27, hide_si)
        r = self.list(bytes(self.vol.data), "-recurse")
        self.assertEqual(r.rc, 0, r.err)
        self.assertNotIn("System Volume Information", r.out)
        self.assertEqual(r.err, "\\: entry 27 named in its index has no readable $STANDARD_INFORMATION, not listed\n")

    def test_zeroed_root_record(self):
        v = self.vol
        at = v.record_at(5)
        v.data[at:at + v.record] = bytes(v.record)
        r = self.list(bytes(v.data), "-recurse")
        self.assertEqual(r.rc, 255)
        self.assertIn("couldn't", r.err)

    def test_directory_whose_index_names_its_ancestor_and_itself(self):
        # $Extend (entry 11) keeps its children in its index root: point
        # them at the root and at $Extend itself.
        v = self.vol

        def point_children(rec):
            off = next(o for t, o, ln in attributes(rec) if t == 0x90)
            value = off + struct.unpack_from("<H", rec, off + 20)[0]
            node = value + 16
            e = node + struct.unpack_from("<I", rec, node)[0]
            refs = [5, 11, 5]
            k = 0
            while struct.unpack_from("<H", rec, e + 12)[0] & 2 == 0:
                struct.pack_into("<Q", rec, e, refs[k % len(refs)] | (1 << 48))
                k += 1
                e += struct.unpack_from("<H", rec, e + 8)[0]
            self.assertGreater(k, 1)

        v.edit_record(11, point_children)
        r = self.list(bytes(v.data), "-level", "50")
        self.assertEqual(r.rc, 0, r.err)
        self.assertIn("$Extend", r.out)

    def test_runlist_pointing_past_the_volume(self):
        v = self.vol

        def far_runs(rec):
            off = next(o for t, o, ln in attributes(rec) if t == 0xA0)
            pos = off + struct.unpack_from("<H", rec, off + 32)[0]
            # One run of 2^32-1 clusters at cluster 2^40.
            rec[pos:pos + 11] = bytes([0x64]) + (0xFFFFFFFF).to_bytes(4, "little") + (1 << 40).to_bytes(6, "little")
            rec[pos + 11] = 0

        v.edit_record(5, far_runs)
        r = self.list(bytes(v.data), "-recurse")
        self.assertEqual(r.rc, 0, r.err)
        self.assertRegex(r.out, r"dir  \\\n")
        self.assertNotIn("$MFT", r.out)


class DamagedLargeFolder(unittest.TestCase):
    """big/ (entry 64) of bigdir.img: 2700 files, its index bitmap in an
    extension record."""

    def setUp(self):
        self.vol = NtfsImage(fixture("bigdir.img"))
        self.dir = tempfile.mkdtemp(prefix="brelvik-damaged-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def list(self):
        path = os.path.join(self.dir, "v.img")
        with open(path, "wb") as f:
            f.write(self.vol.data)
        r = run(["\\big", "-image", path], timeout=TIME_LIMIT)
        self.assertEqual(r.rc, 0, r.err)
        return r

    def test_zeroed_index_block_in_use(self):
        v = self.vol
        rec, off, ln = v.attribute(64, 0xA0)
        pos = off + struct.unpack_from("<H", rec, off + 32)[0]
        h = rec[pos]
        lcn = int.from_bytes(rec[pos + 1 + (h & 15):pos + 1 + (h & 15) + (h >> 4)], "little", signed=True)
        whole = self.list()
        at = lcn * v.cluster
        v.data[at:at + 4096] = bytes(4096)
        r = self.list()
        self.assertLess(len(r.out), len(whole.out))
        self.assertEqual(r.err, "\\big\\: index blocks could not be read, the entries in them are not listed\n")

    def test_blocks_after_an_unreadable_one_are_read(self):
        # The third of the index allocation's runs (one block) is moved
        # past the end of the image: only that block's names are lost, and
        # the blocks of the runs after it are read.
        v = self.vol
        whole = self.list()
        rec, off, ln = v.attribute(64, 0xA0)
        pos = off + struct.unpack_from("<H", rec, off + 32)[0]
        runs = data_runs(rec, pos)
        m = 2
        lcn, length = runs[m]
        self.assertEqual(length * v.cluster, 4096)
        self.assertGreater(len(runs), m + 10)
        split = list(runs)
        split[m] = (len(v.data) // v.cluster + 1000, length)

        def pairs(runs):
            out, prev = bytearray(), 0
            for at, n in runs:
                d = at - prev
                nl = (n.bit_length() + 8) // 8
                dl = (d.bit_length() + 8) // 8
                out += bytes([dl << 4 | nl]) + n.to_bytes(nl, "little") + d.to_bytes(dl, "little", signed=True)
                prev = at
            return out + b"\0"

        old_end = pos
        while rec[old_end]:
            old_end += 1 + (rec[old_end] & 15) + (rec[old_end] >> 4)
        new_runs = pairs(split)
        grow = max(0, (pos - off + len(new_runs) + 7) // 8 * 8 - ln)

        def split_runs(r):
            used = struct.unpack_from("<I", r, 24)[0]
            self.assertLessEqual(used + grow, v.record)
            r[off + ln + grow:used + grow] = r[off + ln:used]
            r[pos:off + ln + grow] = new_runs + bytes(off + ln + grow - pos - len(new_runs))
            struct.pack_into("<I", r, off + 4, ln + grow)
            struct.pack_into("<I", r, 24, used + grow)

        # The names the moved block held, as the original image has them.
        at = lcn * v.cluster
        block = fixup(v.data[at:at + 4096])
        self.assertEqual(block[:4], b"INDX")
        e = 24 + struct.unpack_from("<I", block, 24)[0]
        lost = set()
        while True:
            size, key, flags = struct.unpack_from("<HHH", block, e + 8)
            if flags & 2:
                break
            n, space = block[e + 16 + 64], block[e + 16 + 65]
            if space != 2:
                lost.add(block[e + 16 + 66:e + 16 + 66 + 2 * n].decode("utf-16-le"))
            e += size
        self.assertTrue(lost)

        v.edit_record(64, split_runs)
        r = self.list()
        kept = [line for line in whole.out.splitlines() if not any(name in line for name in lost)]
        self.assertEqual(r.out.splitlines()[3:], kept[3:])
        self.assertEqual(r.err, "\\big\\: index blocks could not be read, the entries in them are not listed\n")

    def test_many_unreadable_records_are_counted(self):
        v = self.vol
        for entry in range(100, 130):
            at = v.record_at(entry)
            v.data[at:at + v.record] = bytes(v.record)
        lines = self.list().err.splitlines()
        self.assertEqual(len(lines), 21, lines)
        self.assertEqual(lines[0], "\\big\\: entry 100 named in its index could not be read, not listed")
        self.assertEqual(lines[-1], "... and 10 more entries or indexes that could not be read, not listed")


if __name__ == "__main__":
    unittest.main()


class MftRunlistCutShort(unittest.TestCase):
    """mftfrag.img keeps the MFT's later runs in extension record 15, named
    by record 0's attribute list; here record 0's own runlist is cut after
    its first runs, so that no run maps the clusters before that piece."""

    KEPT_RUNS = 3

    def setUp(self):
        self.vol = NtfsImage(fixture("mftfrag.img"))
        self.dir = tempfile.mkdtemp(prefix="brelvik-damaged-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def cut_runlist(self):
        """Cuts record 0's runlist; the first entry of the piece after the gap."""
        found = {}

        def cut(rec):
            off = next(o for t, o, ln in attributes(rec) if t == 0x80 and rec[o + 8])
            found["piece"] = struct.unpack_from("<Q", rec, off + 24)[0] + 1
            pos = off + struct.unpack_from("<H", rec, off + 32)[0]
            vcn = 0
            for _ in range(self.KEPT_RUNS):
                h = rec[pos]
                vcn += int.from_bytes(rec[pos + 1:pos + 1 + (h & 15)], "little")
                pos += 1 + (h & 15) + (h >> 4)
            self.assertNotEqual(rec[pos], 0)
            rec[pos] = 0
            struct.pack_into("<Q", rec, off + 24, vcn - 1)
            found["gap"] = vcn

        self.vol.edit_record(0, cut)
        self.assertLess(found["gap"], found["piece"])
        path = os.path.join(self.dir, "v.img")
        with open(path, "wb") as f:
            f.write(self.vol.data)
        return path, found["piece"] * self.vol.cluster // self.vol.record

    def test_entries_after_the_gap_show_their_own_names(self):
        need_tool("ffind")
        path, first = self.cut_runlist()
        for entry in (first, first + 360, first + 3000):
            with self.subTest(entry=entry):
                named = subprocess.run(["ffind", "-f", "ntfs", path, str(entry)], stdout=subprocess.PIPE,
                                       check=True).stdout.decode().strip()
                self.assertTrue(named.startswith("/files/f"), named)
                r = run(["-image", path, "-mft", str(entry)], timeout=TIME_LIMIT)
                self.assertEqual(r.rc, 0, r.err)
                rows = strip_header(r.out).strip().splitlines()
                self.assertTrue(rows[-1].endswith("  " + named.replace("/", "\\")), rows)
                self.assertRegex(rows[-1], r"\s%d\s" % entry)


def fls_paths(image):
    """The allocated paths fls lists under the root, as a/b."""
    need_tool("fls")
    p = subprocess.run(["fls", "-f", "ntfs", "-r", "-p", image], stdout=subprocess.PIPE, check=True)
    return {line.split("\t", 1)[1] for line in p.stdout.decode("utf-8", "replace").splitlines()
            if "\t" in line and "*" not in line.split("\t", 1)[0]}


class DamagedMftRecordZero(unittest.TestCase):
    """Record 0 locates the MFT; $MFTMirr keeps a copy of it."""

    def setUp(self):
        self.sound = fixture("main.img")
        self.dir = tempfile.mkdtemp(prefix="brelvik-damaged-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def paths(self, image):
        r = run(["\\", "-image", image, "-level", "-2", "-filepath_only"], timeout=TIME_LIMIT)
        return {line.strip("\\").replace("\\", "/") for line in r.out.splitlines() if line != "\\"}, r

    def test_mft_is_found_through_the_mirror_when_record_zero_is_damaged(self):
        vol = NtfsImage(self.sound)
        mirror = struct.unpack_from("<Q", vol.data, 56)[0] * vol.cluster
        listed, r = self.paths(self.sound)
        self.assertEqual(r.rc, 0, r.err)
        # What fls lists and the listing does not on the sound volume (index
        # streams, orphans): on the damaged ones only $MFT, whose own record
        # cannot be read, is missing besides.
        missed = fls_paths(self.sound) - listed

        def bad_signature(data, at):
            data[at:at + 4] = b"BAAD"

        def fixups_out_of_place(data, at):
            data[at + 4:at + 6] = b"\xff\xff"

        def zeroed(data, at):
            data[at:at + vol.record] = bytes(vol.record)

        for damage in (bad_signature, fixups_out_of_place, zeroed):
            with self.subTest(damage=damage.__name__):
                data = bytearray(vol.data)
                damage(data, vol.mft)
                image = os.path.join(self.dir, damage.__name__ + ".img")
                with open(image, "wb") as f:
                    f.write(data)
                listed, r = self.paths(image)
                self.assertEqual(r.rc, 0, r.err)
                self.assertIn("MFT record 0 is damaged, the MFT is located through its copy in $MFTMirr\n", r.err)
                # fls refuses some of these; the rest of the volume is as it was.
                self.assertEqual(fls_paths(self.sound) - listed, missed | {"$MFT"})
                # With the copy damaged too, nothing locates the MFT.
                damage(data, mirror)
                with open(image, "wb") as f:
                    f.write(data)
                r = run(["\\", "-image", image], timeout=TIME_LIMIT)
                self.assertEqual(r.rc, 255)
                self.assertIn("couldn't open volume", r.err)
