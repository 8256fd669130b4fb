"""-deleted against The Sleuth Kit and against the listing without it.

Every deleted name that `fls -r -p -d` lists (outside $OrphanFiles, and
there too where the orphan kept its name) must appear with the same entry
number in the same folder under the same name, marked deleted; the rows
of records in use must be those of the listing without -deleted; -mft of
a deleted entry must list it where the listing shows it. On the fixture of
deleted entries (deleted.img, see tests/fixtures/README.md) the names
recovered from index slack whose records were reused are checked too.
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

from brelvik_e2e import FIXTURES, TESTDATA, need_tool, run
from test_timeline_vs_tsk import FN, fields

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ntfs_records import attributes, fixup, unfix  # noqa: E402

VOLUMES = [os.path.join(FIXTURES, n) for n in ("deleted.img", "main.img")] + [
    os.path.join(TESTDATA, p) for p in ("7-undel-ntfs/7-ntfs-undel.dd", "ntfs3.raw")]

# Where the text table puts the label before the name (after the time,
# entry, sequence and size columns), and how -deleted marks it.
LABEL = slice(54, 61)
MARKED = {"       ": " *     ", "  dir  ": " *dir  ", "  ads  ": " *ads  ", " indx  ": "*indx  "}


def present(path):
    if not os.path.exists(path):
        raise unittest.SkipTest("%s not available" % path)
    return path


def fls_deleted(image):
    """(entry, path) of every deleted name fls lists, and the number it
    gives $OrphanFiles."""
    out = subprocess.run(["fls", "-f", "ntfs", "-r", "-p", "-d", image], stdout=subprocess.PIPE,
                         check=True).stdout.decode("utf-8", "replace")
    names = []
    for line in out.splitlines():
        head, _, path = line.partition("\t")
        addr = head.split()[-1].rstrip(":")
        entry = int(re.match(r"\d+", addr).group())
        # fls makes up names for orphans that lost theirs.
        if re.fullmatch(r"\$OrphanFiles/OrphanFile-\d+", path):
            continue
        names.append((entry, "\\" + path.replace("/", "\\")))
    full = subprocess.run(["fls", "-f", "ntfs", "-p", image], stdout=subprocess.PIPE,
                          check=True).stdout.decode("utf-8", "replace")
    orphans = re.search(r"^V/V (\d+):\t\$OrphanFiles$", full, re.M)
    return names, int(orphans.group(1)) if orphans else None


def listing(image, *extra):
    """The lines of a recursive listing of the whole volume, the run
    header left out (the timeline layouts write it to standard error)."""
    r = run(["\\", "-image", image, "-level", "-2", "-quiet"] + list(extra), timeout=600)
    if r.rc != 0:
        raise AssertionError("listing failed: %s" % r.err)
    lines = r.out.splitlines()
    return lines if "-bodyfile" in extra else lines[4:]


def csv_rows(image, *extra):
    """The CSV rows as (fields, line): fields split at the commas the test
    names never hold."""
    lines = listing(image, "-csv", *extra)
    assert lines[0].startswith("type,"), lines[0]
    return lines[0], [(line.split(","), line) for line in lines[1:]]


class DeletedAgainstTheSleuthKit(unittest.TestCase):
    def test_every_deleted_name_fls_lists_is_marked_in_its_folder(self):
        need_tool("fls")
        for image in VOLUMES:
            with self.subTest(image=os.path.basename(image)):
                present(image)
                names, orphan_entry = fls_deleted(image)
                head, rows = csv_rows(image, "-deleted")
                self.assertTrue(head.endswith(",time discrepancy,deleted"))
                ours = {}
                for f, _ in rows:
                    ours.setdefault((int(f[5], 16), f[1].rstrip("\\")), set()).add(f[-1])
                for entry, path in names:
                    marks = ours.get((entry, path), set())
                    self.assertTrue(marks & {"true", "realloc"}, "%d %s: %s" % (entry, path, marks))
                # The orphan folder has the number fls gives it.
                virtual = [f for f, _ in rows if f[-1] == "virtual"]
                self.assertEqual([f[1] for f in virtual], ["\\$OrphanFiles\\"])
                self.assertEqual(int(virtual[0][5], 16), orphan_entry)

    def test_body_file_lines_of_deleted_names_are_those_of_fls(self):
        need_tool("fls")
        compared = 0
        for image in VOLUMES:
            with self.subTest(image=os.path.basename(image)):
                present(image)
                out = subprocess.run(["fls", "-f", "ntfs", "-r", "-m", "/", image], stdout=subprocess.PIPE,
                                     check=True).stdout.decode("utf-8", "replace")
                theirs = [fields(l) for l in out.splitlines()]
                theirs = [f for f in theirs if f[0].endswith(" (deleted)") and not f[0].startswith("/$OrphanFiles")]
                compared += len(theirs)
                ours = {}
                for line in listing(image, "-deleted", "-bodyfile"):
                    name, entry, attr_type, size, mode, times = fields(line)
                    ours[name.replace("\\", "/")] = (entry, attr_type, size, times)
                for name, entry, attr_type, size, mode, times in theirs:
                    self.assertIn(name, ours)
                    # fls gives every name of an entry the size of one.
                    want = (entry, attr_type, times) if name.endswith(FN + " (deleted)") else \
                        (entry, attr_type, size, times)
                    got = ours[name]
                    self.assertEqual(got[:2] + got[3:] if len(want) == 3 else got, want, name)
        self.assertGreater(compared, 100)

    def test_rows_of_records_in_use_are_those_without_deleted(self):
        for image in VOLUMES:
            with self.subTest(image=os.path.basename(image)):
                present(image)
                _, plain = csv_rows(image)
                _, marked = csv_rows(image, "-deleted")
                in_use = lambda rows: [line for f, line in rows if int(f[7], 16) & 1]
                self.assertEqual(in_use(marked), in_use(plain))
                # In the text table every row stays as it was; a record no
                # longer in use that the index walk meets gains the marker.
                text = listing(image, "-deleted")
                kept = iter(text)
                for line in listing(image)[2:]:
                    want = {line, line[:LABEL.start] + MARKED.get(line[LABEL], "") + line[LABEL.stop:]}
                    self.assertTrue(any(l in want for l in kept), line)

    def test_mft_of_a_deleted_entry_lists_it_where_it_last_stood(self):
        need_tool("fls")
        for image in VOLUMES[:3]:
            with self.subTest(image=os.path.basename(image)):
                present(image)
                names, _ = fls_deleted(image)
                for entry, path in names[:12]:
                    if ":" in path:  # fls lists a stream by itself
                        continue
                    r = run(["-image", image, "-mft", str(entry), "-deleted", "-quiet"])
                    self.assertEqual(r.rc, 0, r.err)
                    self.assertIn("[Note: this MFT entry is not in use", r.err)
                    rows = [l for l in r.out.splitlines()[4:] if re.match(r".{23} +%d +\d+ " % entry, l)]
                    self.assertTrue(rows, r.out)
                    self.assertEqual(rows[0][LABEL.start + 1], "*", rows[0])
                    self.assertEqual(rows[0][LABEL.stop:].rstrip("\\"), path)


class DeletedFixture(unittest.TestCase):
    """deleted.img: facts fls does not check (it lists no slack name whose
    record was reused)."""

    def setUp(self):
        self.image = present(os.path.join(FIXTURES, "deleted.img"))

    def test_reused_records_show_the_names_slack_kept(self):
        text = listing(self.image, "-deleted")
        realloc = {l[LABEL.stop:]: l for l in text if l.endswith(" (realloc)")}
        for e in range(1, 5):
            line = realloc["\\big\\zz_reuse_%d.txt (realloc)" % e]
            # The entry and sequence number the index entry held, and the
            # size its $FILE_NAME copy kept.
            self.assertRegex(line, r"^2024-01-17 21:20:00\.000 +%d +1 +8  \*     " % (65 + e))
        self.assertRegex(realloc["\\big\\orphan_parent\\ (realloc)"], r" +65 +1 +\*dir  ")
        self.assertIn("\\big\\yy_" + "l" * 200 + ".txt (realloc)", realloc)
        # The reused records' own files are live rows, once each.
        for e in range(1, 9):
            self.assertEqual(sum(l.endswith("\\big\\new_%d.txt" % e) and "  *" not in l for l in text), 1)
        # A renamed file's old name is the live entry: not repeated.
        self.assertFalse([l for l in text if "doc_0102_" in l])
        # The deleted folder tree is descended, each folder listed once.
        self.assertEqual(sum(l.endswith(" *dir  \\big\\gone_dir\\") for l in text), 1)
        self.assertIn("\\big\\gone_dir\\nested\\deep.txt", [l[LABEL.stop:] for l in text])
        self.assertIn("\\$OrphanFiles\\orphan.txt", [l[LABEL.stop:] for l in text])

    def test_free_index_blocks_give_no_live_rows(self):
        # Deleting most of \big freed index blocks that still hold the
        # entries they had. ntfs-3g, which wrote the volume, lists the folder
        # without them (fls does list them, as allocated names); without
        # -deleted none of them is a row, with it they are deleted ones.
        need_tool("ntfsls")
        p = subprocess.run(["ntfsls", "-p", "/big", self.image], stdout=subprocess.PIPE, check=True)
        theirs = {n for n in p.stdout.decode("utf-8", "replace").splitlines() if n not in ("", ".", "..")}
        r = run(["\\big", "-image", self.image, "-filepath_only"])
        self.assertEqual(r.rc, 0, r.err)
        ours = {l[len("\\big\\"):].split(":")[0].rstrip("\\") for l in r.out.splitlines()
                if l.startswith("\\big\\") and l != "\\big\\"}
        self.assertEqual(ours, theirs)
        deleted = listing(self.image, "-deleted")
        for name in ("doc_0012_xxxx.txt", "doc_0052_xxxx.txt"):
            self.assertNotIn(name, theirs)
            rows = [l for l in deleted if l.endswith("\\big\\" + name)]
            self.assertEqual(len(rows), 1, rows)
            self.assertEqual(rows[0][LABEL.start + 1], "*", rows[0])

    def test_every_layout_marks_the_rows(self):
        paths = listing(self.image, "-deleted", "-filepath_only")
        self.assertIn("\\big\\gone_dir\\inner_2.txt (deleted)", paths)
        self.assertIn("\\big\\gone_dir\\inner_1.txt:meta (deleted)", paths)
        self.assertIn("\\big\\zz_reuse_1.txt (deleted-realloc)", paths)
        self.assertIn("\\$OrphanFiles\\", paths)
        # The CSV column comes after the object ID's, when there is one.
        head, rows = csv_rows(self.image, "-deleted", "-objid")
        self.assertTrue(head.endswith(",time discrepancy,object ID,deleted"))
        marks = {f[1]: f[-3:] for f, _ in rows}
        self.assertEqual(marks["\\big\\gone_dir\\inner_2.txt"], ["", "", "true"])
        self.assertEqual(marks["\\keep\\alive.txt"], ["", "", ""])
        out = os.path.join(os.environ.get("TMPDIR", "/tmp"), "brelvik-deleted-%d.xml" % os.getpid())
        try:
            r = run(["\\big", "-image", self.image, "-deleted", "-quiet", "-xml", out])
            self.assertEqual(r.rc, 0, r.err)
            with open(out, encoding="utf-8") as f:
                doc = f.read()
        finally:
            if os.path.exists(out):
                os.remove(out)
        self.assertRegex(doc, r"<filename>zz_reuse_1\.txt</filename>.*<deleted>realloc</deleted></data_entry>")
        self.assertRegex(doc, r"<directory>\\big\\gone_dir\\</directory>\n.*<deleted>true</deleted></data_entry>")
        self.assertRegex(doc, r"<filename>new_1\.txt</filename>.*<deleted/></data_entry>")

    def edited_copy(self, changes, blocks=None):
        """A copy of the fixture whose FILE records `changes` (entry ->
        function of the record, fixups undone) edits, and every INDX block
        `blocks` does (a function of the block, fixups undone)."""
        with open(self.image, "rb") as f:
            data = bytearray(f.read())
        for at in range(0, len(data), 4096) if blocks else ():
            if data[at:at + 4] == b"INDX":
                block = fixup(data[at:at + 4096])
                blocks(block)
                data[at:at + 4096] = unfix(block)
        bps, spc = struct.unpack_from("<HB", data, 11)
        mft = struct.unpack_from("<Q", data, 48)[0] * bps * spc
        for entry, change in changes.items():
            at = mft + entry * 1024
            rec = fixup(data[at:at + 1024])
            change(rec)
            data[at:at + 1024] = unfix(rec)
        folder = tempfile.mkdtemp(prefix="brelvik-deleted-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        path = os.path.join(folder, "deleted.img")
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_a_file_moved_then_deleted_is_listed_once_where_it_last_stood(self):
        # doc_0012 (82) and doc_0014 (84) left names in the index of big/;
        # their records are made to name keep/ (580, sequence 1), as a
        # move before the deletion leaves them. The old names are the same
        # file (the record's sequence number is the names' one more), not
        # names of a reused record.
        def move_to_keep(rec):
            for t, off, ln in attributes(rec):
                if t == 0x30:
                    struct.pack_into("<Q", rec, off + struct.unpack_from("<H", rec, off + 20)[0], 580 | 1 << 48)
        image = self.edited_copy({82: move_to_keep, 84: move_to_keep})
        text = listing(image, "-deleted")
        for entry, name in ((82, "doc_0012_xxxx.txt"), (84, "doc_0014_" + "x" * 18 + ".txt")):
            rows = [l for l in text if re.match(r".{23} +%d +\d+ " % entry, l)]
            self.assertEqual([l[LABEL.start:] for l in rows], [" *     \\keep\\" + name], rows)

    def test_slack_names_of_an_earlier_folder_in_the_record_are_not_its_own(self):
        # As when a new folder takes the record and the index clusters of a
        # deleted one: the keys of zz_reuse_1 (66, a reused record) and of
        # doc_0014 (84, deleted) in the slack of big/ (64, sequence 1) name
        # big/ with sequence 7, and so does the $FILE_NAME of 84.
        old = struct.pack("<Q", 64 | 1 << 48)

        def earlier_parent(block):
            for p in range(0x40, 4096 - 82, 8):
                if struct.unpack_from("<Q", block, p)[0] & 0xFFFFFFFFFFFF in (66, 84) and block[p + 16:p + 24] == old:
                    struct.pack_into("<Q", block, p + 16, 64 | 7 << 48)

        def earlier_name(rec):
            for t, off, ln in attributes(rec):
                if t == 0x30:
                    struct.pack_into("<Q", rec, off + struct.unpack_from("<H", rec, off + 20)[0], 64 | 7 << 48)
        text = listing(self.edited_copy({84: earlier_name}, earlier_parent), "-deleted")
        self.assertFalse([l for l in text if "zz_reuse_1" in l])
        # The deleted record is an orphan, listed there only.
        self.assertEqual([l[LABEL.stop:] for l in text if "doc_0014_" in l],
                         ["\\$OrphanFiles\\doc_0014_" + "x" * 18 + ".txt"])

    def test_without_deleted_nothing_changes_and_one_folder_has_no_orphans(self):
        plain = listing(self.image)
        self.assertFalse([l for l in plain if " *" in l[LABEL] or "$OrphanFiles" in l])
        head, _ = csv_rows(self.image)
        self.assertTrue(head.endswith(",time discrepancy"))
        # Listed alone, a folder shows its deleted children as rows; the
        # orphans belong to a walk from the root.
        r = run(["\\big", "-image", self.image, "-deleted", "-quiet"])
        rows = r.out.splitlines()[6:]
        self.assertIn(" *dir  \\big\\gone_dir\\", [l[LABEL.start:] for l in rows])
        self.assertFalse([l for l in rows if "gone_dir\\inner" in l or "$OrphanFiles" in l])
        self.assertEqual(run(["-image", self.image, "-mft", "571", "-quiet"]).rc, 255)


if __name__ == "__main__":
    unittest.main()
