"""The recursive walk on folder trees written record by record into a copy
of mftfrag.img: chains of nested folders deeper than the walk descends,
and with paths longer than a message line usually holds. What the walk
leaves out must be said on standard error; the folders it lists are
checked against fls."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

from brelvik_e2e import fixture, need_tool, run

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ntfs_records import NtfsImage, unfix  # noqa: E402

# Records of mftfrag.img that the chains take over (files of its own tree,
# no longer reached from the chain's head). The head's $FILE_NAME names the
# root as its folder.
FIRST = 1000
ROOT_REF = 5 | 5 << 48
SEQ = 7
TIME = 0x01D5_0000_0000_0000
# The walk descends at most this many folders below where it starts.
DEPTH_CAP = 4096


def ref(entry):
    return entry | SEQ << 48


def file_name_value(parent_ref, name, directory):
    units = name.encode("utf-16-le")
    flags = 0x10000000 if directory else 0x20
    return (struct.pack("<QQQQQQQII", parent_ref, TIME, TIME, TIME, TIME, 0, 0, flags, 0) +
            struct.pack("<BB", len(name), 1) + units)


def resident(kind, attr_id, value, name="", indexed=False):
    name_bytes = name.encode("utf-16-le")
    value_at = (24 + len(name_bytes) + 7) & ~7
    length = (value_at + len(value) + 7) & ~7
    head = struct.pack("<IIBBHHHIHBB", kind, length, 0, len(name), 24, 0, attr_id, len(value), value_at,
                       1 if indexed else 0, 0)
    body = head + name_bytes
    body += bytes(value_at - len(body)) + value
    return body + bytes(length - len(body))


def index_root(children):
    """A resident $I30 root listing `children`: (file reference, $FILE_NAME value)."""
    entries = b""
    for child_ref, fn in children:
        length = (16 + len(fn) + 7) & ~7
        entry = struct.pack("<QHHHH", child_ref, length, len(fn), 0, 0) + fn
        entries += entry + bytes(length - len(entry))
    entries += struct.pack("<QHHHH", 0, 16, 0, 2, 0)
    header = struct.pack("<IIIB3x", 16, 16 + len(entries), 16 + len(entries), 0)
    return struct.pack("<IIIB3x", 0x30, 1, 4096, 1) + header + entries


def record(entry, size, attrs, directory):
    rec = bytearray(size)
    usa_count = size // 512 + 1
    first = (0x30 + 2 * usa_count + 7) & ~7
    body = b"".join(attrs) + struct.pack("<II", 0xFFFFFFFF, 0)
    struct.pack_into("<4sHHQHHHHIIQHHI", rec, 0, b"FILE", 0x30, usa_count, 0, SEQ, 1, first,
                     3 if directory else 1, first + len(body), size, 0, len(attrs), 0, entry)
    struct.pack_into("<H", rec, 0x30, 1)
    rec[first:first + len(body)] = body
    return rec


def standard_information(directory):
    return resident(0x10, 0, struct.pack("<QQQQII", TIME, TIME, TIME, TIME, 0x10 if directory else 0x20, 0) +
                    bytes(32))


class FolderChain(unittest.TestCase):
    def setUp(self):
        self.vol = NtfsImage(fixture("mftfrag.img"))
        self.dir = tempfile.mkdtemp(prefix="brelvik-walk-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def put(self, entry, rec):
        at = self.vol.record_at(entry)
        self.vol.data[at:at + self.vol.record] = unfix(rec)

    def chain(self, depth, name, bottom):
        """Folders FIRST .. FIRST+depth-1, each holding the next, all named
        `name`; the last holds `bottom` (file reference, $FILE_NAME value)
        when given. Returns the image's path."""
        for i in range(depth):
            entry = FIRST + i
            parent = ROOT_REF if i == 0 else ref(entry - 1)
            if i + 1 < depth:
                children = [(ref(entry + 1), file_name_value(ref(entry), name, True))]
            else:
                children = [bottom] if bottom else []
            attrs = [standard_information(True), resident(0x30, 1, file_name_value(parent, name, True), indexed=True),
                     resident(0x90, 2, index_root(children), name="$I30")]
            self.put(entry, record(entry, self.vol.record, attrs, True))
        path = os.path.join(self.dir, "v.img")
        with open(path, "wb") as f:
            f.write(self.vol.data)
        return path

    def leaf(self, entry, parent_entry, name):
        """A file record with one empty resident $DATA; its index entry."""
        fn = file_name_value(ref(parent_entry), name, False)
        attrs = [standard_information(False), resident(0x30, 1, fn, indexed=True), resident(0x80, 2, b"")]
        self.put(entry, record(entry, self.vol.record, attrs, False))
        return ref(entry), fn

    def listing(self, image):
        r = run(["-image", image, "-mft", str(FIRST), "-level", "-2", "-filepath_only", "-quiet"], timeout=300)
        self.assertEqual(r.rc, 0, r.err[:2000])
        return r

    def folder(self, entry, names, children):
        """A folder record with $FILE_NAME `names` (parent reference,
        name) whose index holds `children` (entry, name)."""
        attrs = [standard_information(True)]
        for i, (parent, name) in enumerate(names):
            attrs.append(resident(0x30, 1 + i, file_name_value(parent, name, True), indexed=True))
        index = [(ref(c), file_name_value(ref(entry), name, True)) for c, name in children]
        attrs.append(resident(0x90, 1 + len(names), index_root(index), name="$I30"))
        self.put(entry, record(entry, self.vol.record, attrs, True))

    def test_folder_named_again_below_itself(self):
        # a holds b, b holds c, and c holds a again under a second name of
        # a's: "loop", whose $FILE_NAME names c as its folder.
        a, b, c = FIRST, FIRST + 1, FIRST + 2
        self.folder(a, [(ROOT_REF, "a"), (ref(c), "loop")], [(b, "b")])
        self.folder(b, [(ref(a), "b")], [(c, "c")])
        self.folder(c, [(ref(b), "c")], [(a, "loop")])
        image = os.path.join(self.dir, "v.img")
        with open(image, "wb") as f:
            f.write(self.vol.data)
        need_tool("fls", "istat")
        shown = subprocess.run(["fls", "-f", "ntfs", image, str(c)], stdout=subprocess.PIPE,
                               check=True).stdout.decode()
        self.assertIn("d/d %d-144-" % a, shown)
        self.assertIn(":\tloop", shown)
        self.assertIn("Parent MFT Entry: %d" % c, subprocess.run(["istat", "-f", "ntfs", image, str(a)],
                                                                 stdout=subprocess.PIPE, check=True).stdout.decode())
        r = self.listing(image)
        self.assertEqual(r.out, "\\a\\\n\\a\\b\\\n\\a\\b\\c\\\n\\a\\b\\c\\loop\\\n")
        self.assertIn("\\a\\b\\c\\loop\\: folder entry %d is listed already at another place, "
                      "its entries are not listed again\n" % a, r.err)
        rows = run(["-image", image, "-mft", str(a), "-level", "-2", "-csv", "-base10", "-quiet"])
        loop = [x for x in rows.out.splitlines() if x.startswith("dir,\\a\\b\\c\\loop\\,")]
        self.assertEqual(len(loop), 1, rows.out)
        self.assertEqual(loop[0].split(",")[5:7], [str(a), str(SEQ)])

    def test_deeper_than_the_walk_descends(self):
        depth = DEPTH_CAP + 4
        bottom = self.leaf(FIRST + depth, FIRST + depth - 1, "leaf.txt")
        image = self.chain(depth, "d", bottom)
        need_tool("fls")
        # fls reads every folder of the chain as holding the next, and the
        # last as holding the file.
        for entry in (FIRST, FIRST + DEPTH_CAP, FIRST + depth - 1):
            shown = subprocess.run(["fls", "-f", "ntfs", image, str(entry)], stdout=subprocess.PIPE,
                                   check=True).stdout.decode()
            below = "%d-128-2:\tleaf.txt" if entry == FIRST + depth - 1 else "%d-144-2:\td"
            self.assertIn(below % (entry + 1), shown)
        r = self.listing(image)
        rows = [x for x in r.out.splitlines() if x]
        deepest = max(x.count("\\d") for x in rows)
        # The head is listed, then DEPTH_CAP levels of folders below it;
        # the folders the last of them holds are rows of it only.
        self.assertEqual(deepest, DEPTH_CAP + 2)
        self.assertIn("\\d" * (DEPTH_CAP + 2) + "\\\n", r.out)
        self.assertNotIn("leaf.txt", r.out)
        stopped = "\\d" * (DEPTH_CAP + 1) + "\\"
        self.assertTrue("\n" + stopped + ": subfolders nested deeper than 4096 levels, not listed\n" in "\n" + r.err,
                        "no line names the folder the walk stopped at: %r" % r.err[-300:])

    def test_gap_under_a_long_path_is_reported(self):
        # 1,400 folders named "dd": the deepest folder's path is 4,200
        # characters long. Its index names a record that is not a FILE
        # record; the line saying so names that folder in full.
        depth = 1400
        child = FIRST + depth
        fn = file_name_value(ref(child - 1), "lost.txt", False)
        self.put(child, bytearray(self.vol.record))
        image_path = self.chain(depth, "dd", (ref(child), fn))
        r = self.listing(image_path)
        self.assertTrue("\\dd" * depth + "\\: entry %d named in its index" % child in r.err,
                        "no line names the unlisted entry: %r" % r.err[-300:])
        self.assertIn("dd\\dd\\\n", r.out)


class LevelAndOffsetValues(unittest.TestCase):
    """A -level or -offset value that is no depth or place stops the run
    with a message, instead of standing for another one."""

    def listing(self, *args):
        return run(["\\", "-image", fixture("main.img"), "-filepath_only", "-quiet"] + list(args))

    def test_values_that_name_nothing_are_refused(self):
        for args, message in ((["-level", "abc"], "invalid level specified: abc\n"),
                              (["-level", "2x"], "invalid level specified: 2x\n"),
                              (["-level", "-1"], "invalid level specified: -1\n"),
                              (["-recurse", "deep"], "invalid level specified: deep\n"),
                              (["-offset", "abc"], "invalid volume offset specified: abc\n")):
            with self.subTest(args=args):
                r = self.listing(*args)
                self.assertEqual(r.rc, 255, r.out[:500])
                self.assertIn(message, r.err)
                self.assertEqual(r.out, "")

    def test_depths_that_are_numbers(self):
        need_tool("fls")
        whole = subprocess.run(["fls", "-f", "ntfs", "-r", "-p", fixture("main.img")], stdout=subprocess.PIPE,
                               check=True).stdout.decode("utf-8", "replace")
        deepest = max(line.split("\t", 1)[1].count("/") for line in whole.splitlines() if "\t" in line)
        full = self.listing("-level", "-2")
        self.assertEqual(full.rc, 0, full.err)
        rows = full.out.splitlines()
        self.assertEqual(max(x.rstrip("\\").count("\\") for x in rows), deepest + 1)
        for args in (["-level", "2147483647"], ["-level", "-3"], ["-level", str(deepest)]):
            with self.subTest(args=args):
                r = self.listing(*args)
                self.assertEqual(r.rc, 0, r.err)
                self.assertEqual(r.out, full.out)
        one_short = self.listing("-level", str(deepest - 1))
        self.assertLess(len(one_short.out.splitlines()), len(rows))
        self.assertEqual(self.listing("-level", "0").out, self.listing().out)


if __name__ == "__main__":
    unittest.main()
