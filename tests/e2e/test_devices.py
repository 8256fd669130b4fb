"""Live volumes, physical drives and shadow copies through device stand-ins.

On POSIX the device names the Windows build opens are looked up in the
folder BRELVIK_DEVICE_DIR names, so fixture images stand in for volume C:,
PhysicalDrive0 and HarddiskVolumeShadowCopy3.
"""
import os
import shutil
import tempfile
import unittest

from brelvik_e2e import IS_WINDOWS_BUILD, fixture, run, strip_header


@unittest.skipIf(IS_WINDOWS_BUILD, "device stand-ins are a POSIX feature")
class Devices(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="brelvik_dev_")
        os.chmod(self.dir, 0o755)  # readable by the user the rights test drops to
        image = os.path.abspath(fixture("main.img"))
        for name in ("C:", "PhysicalDrive0", "HarddiskVolumeShadowCopy3"):
            os.symlink(image, os.path.join(self.dir, name))
        self.env = {"BRELVIK_DEVICE_DIR": self.dir}
        self.image_listing = strip_header(run(["\\docs", "-image", image]).out)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def listing(self, args):
        r = run(args, env=self.env)
        self.assertEqual(r.rc, 0, r.err)
        return strip_header(r.out)

    def test_sources_list_as_the_image_does(self):
        if os.geteuid() != 0:
            self.skipTest("needs root, as reading a device does")
        self.assertEqual(self.listing(["C:\\docs"]).replace("C:\\docs", "\\docs"), self.image_listing)
        self.assertEqual(self.listing(["\\docs", "-drivenum", "0"]), self.image_listing)
        self.assertEqual(self.listing(["C:\\docs", "-vss", "3"]), self.image_listing)
        root = self.listing(["c"])
        self.assertIn("dir  c:\\\n", root)
        self.assertIn("c:\\docs\\\n", root)

    def test_short_path_that_is_not_a_letter(self):
        r = run(["1"], env=self.env)
        self.assertEqual(r.rc, 255)
        self.assertIn("invalid volume specified\n", r.err)

    def test_without_rights(self):
        if os.geteuid() != 0 or not shutil.which("setpriv"):
            self.skipTest("needs root to drop to another user")
        live = ["command prompt not running w/ admin privileges...\n",
                "[which is needed for examining live partitions]\n",
                "need to restart cmd prompt using \"Run As Administrator\" option...\n\n"]
        vss = ["This option requires admin privileges...\n",
               "need to restart cmd prompt using \"Run As Administrator\" option...\n\n"]
        nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
        for args, words in ((["C:\\docs"], live), (["\\docs", "-drivenum", "0"], live),
                            (["C:\\docs", "-vss", "3"], vss)):
            with self.subTest(args=args):
                r = run(args, env=self.env, prefix=nobody)
                self.assertEqual(r.rc, 255, r.err)
                self.assertEqual(r.err, "".join(words))


if __name__ == "__main__":
    unittest.main()
