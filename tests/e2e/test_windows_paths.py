"""The Windows build under wine: image files named as a Windows user types
them.

Skipped unless BRELVIK_RUNNER names wine. Windows looks file names up
without regard to case and takes the \\\\?\\ form of a drive path; a run
given such a name must list the same volume as a run given the file's own
name.
"""
import glob
import os
import shutil
import tempfile
import unittest

import brelvik_e2e as e2e

UNDER_WINE = any("wine" in os.path.basename(r) for r in e2e.RUNNER) and e2e.IS_WINDOWS_BUILD


def wine_path(host_path):
    """The drive form of a host path: wine maps the host root as drive Z:."""
    return "Z:" + os.path.abspath(host_path).replace("/", "\\")


def split_pieces(src, folder, stem, pieces):
    """Cuts `src` into `pieces` files stem000, stem001, ... in `folder`."""
    with open(src, "rb") as f:
        data = f.read()
    size = -(-len(data) // pieces)
    for i in range(pieces):
        with open(os.path.join(folder, "%s%03d" % (stem, i)), "wb") as out:
            out.write(data[i * size:(i + 1) * size])


@unittest.skipUnless(UNDER_WINE, "needs the Windows build run under wine")
class windows_image_names_test(unittest.TestCase):
    expected = None

    def setUp(self):
        self.image = e2e.sample_image()
        self.tmp = tempfile.mkdtemp(prefix="brelvik_winpaths_")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        # The listing of the volume by its own name, made once for all tests.
        if windows_image_names_test.expected is None:
            whole = e2e.run(["\\", "-image", self.image, "-level", "-2"])
            self.assertEqual(whole.rc, 0, whole.err)
            windows_image_names_test.expected = e2e.strip_header(whole.out)
        self.expected = windows_image_names_test.expected

    def check_same_listing(self, image):
        r = e2e.run(["\\", "-image", image, "-level", "-2"])
        self.assertEqual(r.rc, 0, r.err)
        self.assertEqual(r.err.strip(), "")
        self.assertEqual(e2e.strip_header(r.out), self.expected)

    def test_split_pieces_named_in_another_case(self):
        # The pieces are disk.000..disk.002; the user types DISK.000, which
        # Windows opens, and its siblings must be found as well: with the
        # first piece alone the volume is cut short.
        split_pieces(self.image, self.tmp, "disk.", 3)
        self.check_same_listing(os.path.join(self.tmp, "DISK.000"))
        self.check_same_listing(os.path.join(self.tmp, "Disk.001"))
        # Windows ignores case in letters past ASCII too.
        split_pieces(self.image, self.tmp, "\u00c4rger.", 2)
        self.check_same_listing(os.path.join(self.tmp, "\u00e4rger.000"))

    def test_segments_named_in_another_case(self):
        # The E01 set's segments are linked under a name with a capital
        # umlaut; the user types it in small letters.
        segments = sorted(glob.glob(os.path.join(e2e.FIXTURES, "main_e5_none.E[0-9][0-9]")))
        if not segments:
            self.skipTest("fixture main_e5_none.E01 not available")
        for seg in segments:
            os.symlink(seg, os.path.join(self.tmp, "\u00c4rger" + seg[-4:]))
        self.check_same_listing(os.path.join(self.tmp, "\u00e4rger.E01"))
        self.check_same_listing(os.path.join(self.tmp, "\u00e4RGER.e01"))

    def test_long_path_prefix(self):
        # The \\?\ form is how a path past 260 characters is written on
        # Windows; it names a file, not a device.
        self.check_same_listing("\\\\?\\" + wine_path(self.image))
        deep = os.path.join(self.tmp, *(["d" * 100] * 3))
        os.makedirs(deep)
        shutil.copyfile(self.image, os.path.join(deep, "vol.img"))
        self.check_same_listing("\\\\?\\" + wine_path(os.path.join(deep, "vol.img")))
        self.check_same_listing(os.path.join(deep, "vol.img"))

    def test_long_path_prefix_container(self):
        # An E01 set named in the \\?\ form has its later segments found
        # beside the first, as with the plain name.
        first = os.path.join(e2e.FIXTURES, "main_e5_none.E01")
        if not os.path.exists(first):
            self.skipTest("fixture main_e5_none.E01 not available")
        self.check_same_listing("\\\\?\\" + wine_path(first))


if __name__ == "__main__":
    unittest.main()
