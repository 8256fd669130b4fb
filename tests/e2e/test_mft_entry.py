"""-mft ENTRY lists that entry: the path climbed from it is shown, never
looked up by name again, for names apart from another only by case, names
holding a ':' or a '\\' (as ntfs-3g writes them) and links followed on the
way would lead the lookup to another entry. Entry numbers and paths are
checked against fls."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

from brelvik_e2e import IS_WINDOWS_BUILD, fixture, need_tool, run

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ntfs_records import NtfsImage, attributes  # noqa: E402


def fls_paths(image, raw=False):
    """Entry number -> the paths fls gives it, with '\\' separators (with
    `raw`, as fls shows them: '/' between names and a leading '/')."""
    out = subprocess.run(["fls", "-r", "-p", image], capture_output=True, text=True, check=True).stdout
    paths = {}
    for line in out.splitlines():
        kind, _, rest = line.partition(" ")
        if rest.startswith("* "):
            continue
        ref, _, path = rest.partition(":\t")
        shown = "/" + path if raw else "\\" + path.replace("/", "\\")
        paths.setdefault(int(ref.split("-")[0]), []).append(shown)
    return paths


def rows_of(out):
    return [l for l in out.splitlines()[4:] if len(l) > 40 and l[4] == "-" and l[7] == "-"]


def first_row(out):
    """(entry number, shown path) of the listing's first row."""
    rows = rows_of(out)
    if not rows:
        return None, None
    fields = rows[0].split()
    name = rows[0][rows[0].index(" \\") + 1:] if " \\" in rows[0] else fields[-1]
    return int(fields[2]), name.split(" -> ")[0].rstrip("\\")


class MftEntryOfFixture(unittest.TestCase):
    def test_each_entry_lists_itself_under_the_path_fls_gives_it(self):
        need_tool("fls")
        image = fixture("main.img")
        paths = fls_paths(image)
        # 99 and 100: Case.txt and case.txt of one folder; 1731-1733
        # junction and symbolic links to folders, 1735 one to a file; and
        # plain folders and files beside them.
        for entry in (99, 100, 98, 1728, 1729, 1731, 1732, 1733, 1734, 1735, 81):
            with self.subTest(entry=entry):
                r = run(["-image", image, "-mft", str(entry)])
                self.assertEqual(r.rc, 0, r.err)
                number, shown = first_row(r.out)
                self.assertEqual(number, entry, r.out)
                self.assertIn(shown, paths[entry], r.out)

    def test_each_hard_link_is_listed_under_its_own_name(self):
        # 81 has three names, two of them in \links: each path -mft climbs
        # lists the name it climbed from, not the folder's first name twice;
        # a path naming the second link lists that link.
        need_tool("fls")
        image = fixture("main.img")
        links = sorted(fls_paths(image)[81])
        self.assertEqual(len(links), 3)
        r = run(["-image", image, "-mft", "81"])
        self.assertEqual(r.rc, 0, r.err)
        shown = sorted(row[row.index(" \\") + 1:] for row in rows_of(r.out))
        self.assertEqual(shown, links, r.out)
        for path in links + ["\\LINKS\\SAME_DIR_LINK.TXT"]:
            with self.subTest(path=path):
                r = run([path, "-image", image, "-csv", "-base10"])
                self.assertEqual(r.rc, 0, r.err)
                rows = [l.split(",") for l in r.out.splitlines()[5:]]
                self.assertEqual([(f[1].rsplit("\\", 1)[1].lower(), f[5]) for f in rows],
                                 [(path.rsplit("\\", 1)[1].lower(), "81")], r.out)

    def test_an_entry_whose_parents_run_in_a_circle_has_no_path(self):
        # \reparse\target (1729) is made a child of its own grandchild
        # found.txt (1734), \reparse\target\deeper (1730) a child of itself:
        # no way up from any of the three reaches the root, and the run says
        # so instead of listing nothing as a success.
        vol = NtfsImage(fixture("main.img"))

        def parent_of(parent):
            def change(rec):
                for kind, off, _ in attributes(rec):
                    if kind == 0x30:
                        value = off + struct.unpack_from("<H", rec, off + 20)[0]
                        struct.pack_into("<Q", rec, value, parent | (1 << 48))
            return change

        vol.edit_record(1729, parent_of(1734))
        vol.edit_record(1730, parent_of(1730))
        with tempfile.TemporaryDirectory(prefix="brelvik-mft-") as d:
            image = os.path.join(d, "v.img")
            with open(image, "wb") as f:
                f.write(vol.data)
            for entry in (1729, 1730, 1734):
                with self.subTest(entry=entry):
                    r = run(["-image", image, "-mft", str(entry)], timeout=60)
                    self.assertEqual(r.rc, 255, r.out)
                    self.assertIn("couldn't resolve MFT entry to filepath", r.err)
            # The folder above them keeps its path.
            r = run(["-image", image, "-mft", "1728"])
            self.assertEqual((r.rc, first_row(r.out)), (0, (1728, "\\reparse")), r.out)

    def test_a_value_holding_no_number_names_no_entry(self):
        # Neither may stand for entry 0, $MFT.
        for value in ("abc", ""):
            with self.subTest(value=value):
                r = run(["-image", fixture("main.img"), "-mft", value])
                self.assertEqual(r.rc, 255, r.out)
                self.assertNotIn("$MFT", r.out)
                self.assertIn("invalid MFT entry", r.err)


@unittest.skipIf(IS_WINDOWS_BUILD, "ntfs-3g makes the volume")
class MftEntryOfHostNames(unittest.TestCase):
    """Names Windows would take for one name, for a drive or for a stream,
    or that hold a separator, each folder with one file."""

    NAMES = ["A", "a", "x", "x:y", "b", "b/c", "b\\c", "d", "d/x:y"]

    @classmethod
    def setUpClass(cls):
        need_tool("mkntfs", "ntfs-3g", "umount", "fls")
        if os.geteuid() != 0 or not os.path.exists("/dev/fuse"):
            raise unittest.SkipTest("making the volume needs root and FUSE")
        cls.dir = tempfile.mkdtemp(prefix="brelvik-mft-")
        cls.addClassCleanup(shutil.rmtree, cls.dir, True)
        cls.image = os.path.join(cls.dir, "v.img")
        with open(cls.image, "wb") as f:
            f.truncate(8 << 20)
        subprocess.run(["mkntfs", "-F", "-q", "-Q", cls.image], check=True, capture_output=True)
        point = os.path.join(cls.dir, "m")
        os.mkdir(point)
        subprocess.run(["ntfs-3g", cls.image, point], check=True)
        try:
            for name in cls.NAMES:
                os.mkdir(os.path.join(point, name))
                with open(os.path.join(point, name, "in"), "w") as f:
                    f.write(name)
        finally:
            subprocess.run(["umount", point], check=True)
        cls.raw = fls_paths(cls.image, raw=True)

    def test_folders_and_files_list_their_own_entry(self):
        # fls shows a name's own '\\' and the separator '/' apart.
        by_path = {p: e for e, ps in self.raw.items() for p in ps}
        for name in self.NAMES:
            folder, inner = by_path["/" + name], by_path["/" + name + "/in"]
            shown = "\\" + name.replace("/", "\\")
            for entry, want in ((folder, shown), (inner, shown + "\\in")):
                with self.subTest(name=name, entry=entry):
                    r = run(["-image", self.image, "-mft", str(entry)])
                    self.assertEqual(r.rc, 0, r.err)
                    self.assertEqual(first_row(r.out), (entry, want), r.out)
                    numbers = [int(l.split()[2]) for l in rows_of(r.out)]
                    # A folder shows its file among its children, a file
                    # itself alone.
                    if entry == folder:
                        self.assertIn(inner, numbers, r.out)
                    else:
                        self.assertEqual(numbers, [inner], r.out)

if __name__ == "__main__":
    unittest.main()
