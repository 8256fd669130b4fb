"""Images in containers named by -image: split raw pieces and VMDK files
list exactly as the disk they stand for; refused formats are named."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from brelvik_e2e import fixture, run, strip_header

LOGDATA = re.compile(rb"<logdata [^>]*>")
LAYOUTS = ([], ["-filepath_only"], ["-csv"], ["-csv", "-alldates", "-objid"])


_raw_runs = {}


def run_raw(args):
    """Runs a listing of a raw image once per test process: many containers
    are compared with the same raw listing (each run costs seconds under
    wine)."""
    key = tuple(args)
    if key not in _raw_runs:
        _raw_runs[key] = run(list(args))
    return _raw_runs[key]


class ContainerCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="brelvik_containers_")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def assert_lists_like(self, image, raw, where=("\\", "-level", "-2"), extra=()):
        """The container lists as the raw disk in every layout (the run
        header's command line aside)."""
        for layout in LAYOUTS:
            with self.subTest(layout=layout):
                ours = run(list(where) + ["-image", image] + list(extra) + layout)
                theirs = run_raw(list(where) + ["-image", raw] + list(extra) + layout)
                self.assertEqual(ours.rc, 0, ours.err)
                self.assertEqual(theirs.rc, 0, theirs.err)
                self.assertEqual(strip_header(ours.out), strip_header(theirs.out))
                self.assertGreater(len(ours.out.splitlines()), 10)
        xml_ours, xml_raw = os.path.join(self.dir, "a.xml"), os.path.join(self.dir, "b.xml")
        for out, img in ((xml_ours, image), (xml_raw, raw)):
            r = run(list(where) + ["-image", img] + list(extra) + ["-xml", out])
            self.assertEqual(r.rc, 0, r.err)
        with open(xml_ours, "rb") as a, open(xml_raw, "rb") as b:
            # The XML head names the image and the time of the run.
            ours, theirs = (LOGDATA.sub(b"<logdata>", f.read().split(b"\n", 4)[-1]) for f in (a, b))
            self.assertEqual(ours, theirs)


class SplitRaw(ContainerCase):
    def split(self, image, size, *flags):
        subprocess.run(["split", "-b", str(size)] + list(flags) + [image, os.path.join(self.dir, "disk.")],
                       check=True)

    def test_pieces_list_as_the_volume(self):
        self.split(fixture("main.img"), 5 * 1024 * 1024 + 512, "-d", "-a", "3", "--numeric-suffixes=1")
        self.assertTrue(os.path.exists(os.path.join(self.dir, "disk.005")))
        self.assert_lists_like(os.path.join(self.dir, "disk.003"), fixture("main.img"))
        r = run(["-image", os.path.join(self.dir, "disk.001"), "-mft", "70"])
        self.assertEqual(r.rc, 0, r.err)
        self.assertIn("\\docs\\reports\\2023\\q4\\data.csv", r.out)

    def test_partitioned_disk_counted_from_zero(self):
        self.split(fixture("mbr.img"), 3000000, "-d", "-a", "3")
        first = os.path.join(self.dir, "disk.000")
        r = run(["\\", "-image", first])
        self.assertEqual(r.rc, 255)
        self.assertIn("use option [-offset 0x4500000]\n", r.err)
        self.assert_lists_like(first, fixture("mbr.img"), extra=("-offset", "0x4500000"))

    def test_missing_piece_is_named(self):
        self.split(fixture("main.img"), 4 * 1024 * 1024, "-d", "-a", "3", "--numeric-suffixes=1")
        os.remove(os.path.join(self.dir, "disk.004"))
        r = run(["\\", "-image", os.path.join(self.dir, "disk.001")])
        self.assertEqual(r.rc, 255)
        self.assertIn("split image piece missing: ", r.err)
        self.assertIn("disk.004", r.err)
        self.assertNotIn("Traceback", r.err)


class VmdkThroughImage(ContainerCase):
    def test_sparse_extent_and_snapshot(self):
        self.assert_lists_like(fixture("base.vmdk"), fixture("vdisk.img"), extra=("-offset", "0x100000"))
        # The snapshot finds its base beside it.
        self.assert_lists_like(fixture("child.vmdk"), fixture("vdisk_changed.img"), extra=("-offset", "0x100000"))
        r = run(["\\", "-image", fixture("base.vmdk")])
        self.assertEqual(r.rc, 255)
        self.assertIn("use option [-offset 0x100000]\n", r.err)


class RefusedFormats(ContainerCase):
    def test_ewf2_and_logical_evidence_are_named(self):
        for name, head, word in (("case.Ex01", b"EVF2\r\n\x81\x00", "EWF2 (Ex01)"),
                                 ("case.L01", b"LVF\x09\x0d\x0a\xff\x00\x01\x01\x00\x00\x00", "(L01)")):
            path = os.path.join(self.dir, name)
            with open(path, "wb") as f:
                f.write(head + bytes(4096))
            with self.subTest(name=name):
                r = run(["\\", "-image", path])
                self.assertEqual(r.rc, 255)
                self.assertIn(word, r.err)


if __name__ == "__main__":
    unittest.main()
