"""-mft ENTRY lists that entry: the path climbed from it is shown, never
looked up by name again, for names apart from another only by case, names
holding a ':' or a '\\' (as ntfs-3g writes them) and links followed on the
way would lead the lookup to another entry. Entry numbers and paths are
checked against fls."""
import os
import shutil
import subprocess
import tempfile
import unittest

from brelvik_e2e import IS_WINDOWS_BUILD, fixture, need_tool, run


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
