"""Folders of mounted NTFS volumes, listed from the mounts' raw sources.

A copy of the main fixture is mounted read-only with ntfs-3g twice: from the
image file itself and from a read-only loop device over it. Both live in a
folder whose name holds spaces, so the mount table escapes them. Every
listing of a mounted folder must match -image of the same source and folder
byte for byte, but for the run header's clock and command line. Mounting
needs root, FUSE and loop devices; where they are missing the tests skip
and say which.
"""
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from brelvik_e2e import IS_WINDOWS_BUILD, fixture, need_tool, run

NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
ROOT_NEEDED = ("[root is needed for examining live partitions]\n"
               "need to run again as root, for example with sudo...\n\n")
CLOCK = re.compile(r"^(run time: ).*$", re.M)
XML_CLOCK = re.compile(r' date="[^"]*" time="[^"]*">')


def sh(*args):
    p = subprocess.run(list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if p.returncode != 0:
        raise AssertionError("%s: %s" % (" ".join(args), p.stderr.strip()))
    return p.stdout.strip()


def unmount(path):
    """Unmounts, waiting out a FUSE daemon that is still busy; lazily at last."""
    for _ in range(50):
        if not os.path.ismount(path):
            return
        if subprocess.run(["umount", path], stderr=subprocess.DEVNULL).returncode == 0:
            return
        time.sleep(0.1)
    subprocess.run(["umount", "-l", path], stderr=subprocess.DEVNULL)


def detach(device):
    for _ in range(50):
        if subprocess.run(["losetup", "-d", device], stderr=subprocess.DEVNULL).returncode == 0:
            return
        time.sleep(0.1)


def without_header_command(text):
    """The output with the run header's clock and command line masked."""
    lines = text.split("\n")
    if len(lines) > 2 and lines[2].startswith('"'):
        lines[2] = "COMMAND"
    return XML_CLOCK.sub(' date="D" time="T">', CLOCK.sub(r"\1CLOCK", "\n".join(lines), count=1))


def can_mount():
    """Why mounts cannot be made here, or None."""
    if os.geteuid() != 0:
        return "mounting needs root"
    if not os.path.exists("/dev/fuse"):
        return "FUSE is not available (no /dev/fuse)"
    if not os.path.exists("/dev/loop-control"):
        return "loop devices are not available (no /dev/loop-control)"
    return None


class MountedBase(unittest.TestCase):
    """Skips the class where mounting cannot work; helpers for the rest."""

    @classmethod
    def setUpClass(cls):
        if IS_WINDOWS_BUILD:
            raise unittest.SkipTest("mounted volumes are read by the POSIX build")
        need_tool("ntfs-3g", "losetup", "mount", "umount", "setpriv")
        why = can_mount()
        if why:
            raise unittest.SkipTest(why)
        cls.dir = tempfile.mkdtemp(prefix="brelvik mounts ")
        cls.addClassCleanup(shutil.rmtree, cls.dir, True)
        os.chmod(cls.dir, 0o755)  # reachable by the user the rights tests drop to

    @classmethod
    def make_dir(cls, name):
        path = os.path.join(cls.dir, name)
        os.makedirs(path)
        return path

    @classmethod
    def mount(cls, args, point):
        """Mounts and registers the unmount; a FUSE failure skips the class."""
        p = subprocess.run(list(args) + [point], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if p.returncode != 0:
            if "fuse" in p.stderr.lower():
                raise unittest.SkipTest("FUSE mounts fail here: " + p.stderr.strip())
            raise AssertionError("%s: %s" % (" ".join(args), p.stderr.strip()))
        cls.addClassCleanup(unmount, point)

    @classmethod
    def loop_device(cls, image, options=()):
        p = subprocess.run(["losetup", "-f", "--show", "-r"] + list(options) + [image], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True)
        if p.returncode != 0:
            raise unittest.SkipTest("loop devices cannot be set up here: " + p.stderr.strip())
        device = p.stdout.strip()
        cls.addClassCleanup(detach, device)
        return device

    def listing(self, args, prefix=()):
        """Standard output of a run that must succeed, its header masked."""
        r = run(args, prefix=prefix)
        self.assertEqual(r.rc, 0, r.err)
        return without_header_command(r.out)

    def refused(self, args, prefix=()):
        """Standard error of a run that must stop with -1."""
        r = run(args, prefix=prefix)
        self.assertEqual(r.rc, 255, r.out + r.err)
        return r.err

    def assert_lists_as_image(self, path, image_args, extra=(), prefix=()):
        """`path` lists as -image does with `image_args` (the folder first),
        in every layout."""
        layouts = ([], ["-filepath_only"], ["-csv"], ["-csv", "-alldates"], ["XML"])
        with tempfile.TemporaryDirectory() as tmp:
            os.chmod(tmp, 0o777)
            for layout in layouts:
                with self.subTest(path=path, layout=layout):
                    outputs = []
                    for args in ([path], list(image_args)):
                        xml = os.path.join(tmp, "out.xml")
                        opts = ["-xml", xml] if layout == ["XML"] else layout
                        text = self.listing(args + list(extra) + opts, prefix)
                        if layout == ["XML"]:
                            with open(xml, encoding="utf-8") as f:
                                text += without_header_command(f.read())
                            os.remove(xml)
                        outputs.append(text)
                    self.assertEqual(outputs[0], outputs[1])
                    if not layout:
                        self.assertIn(image_args[0], outputs[0])


class MountedFolders(MountedBase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.image = os.path.join(cls.dir, "main image.img")
        shutil.copyfile(fixture("main.img"), cls.image)
        os.chmod(cls.image, 0o644)
        cls.by_file = cls.make_dir("by file")
        cls.mount(["ntfs-3g", "-o", "ro", cls.image], cls.by_file)
        cls.loop = cls.loop_device(cls.image)
        cls.by_loop = cls.make_dir("by loop")
        cls.mount(["ntfs-3g", "-o", "ro", cls.loop], cls.by_loop)
        # Mounts as (mount point, the source -image reads the same way).
        cls.mounts = ((cls.by_file, cls.image), (cls.by_loop, cls.loop))

    def test_folders_list_as_the_image_does(self):
        for point, source in self.mounts:
            for folder, extra in (("", []), ("docs", ["-level", "-2"]), ("names", []),
                                  ("streams", ["-indx", "-objid"])):
                self.assert_lists_as_image(os.path.join(point, folder).rstrip("/"),
                                           ["\\" + folder, "-image", source], extra)

    def test_paths_with_spaces_and_other_names(self):
        # The mount points and the image name hold spaces; so do these files.
        for point, source in self.mounts:
            for name in ("a & b.txt", "  two  spaces .txt", "каталог"):
                self.assert_lists_as_image(os.path.join(point, "names", name),
                                           ["\\names\\" + name, "-image", source])

    def test_relative_paths_and_symbolic_links(self):
        point, source = self.mounts[0]
        expected = self.listing(["\\docs\\reports", "-image", source, "-filepath_only"])
        reports = os.path.join(point, "docs", "reports")
        for cwd, path in ((reports, "."), (os.path.join(reports, "2023"), ".."),
                          (point, "docs/reports/"), (os.path.join(point, "docs"), "./reports")):
            with self.subTest(cwd=cwd, path=path):
                r = run([path, "-filepath_only"], cwd=cwd)
                self.assertEqual(r.rc, 0, r.err)
                self.assertEqual(r.out, expected)
        with tempfile.TemporaryDirectory() as tmp:
            link = os.path.join(tmp, "evidence link")
            os.symlink(os.path.join(point, "docs"), link)
            r = run([os.path.join(link, "reports"), "-filepath_only"])
            self.assertEqual(r.rc, 0, r.err)
            self.assertEqual(r.out, expected)

    def test_bind_mount_of_a_subfolder(self):
        point, source = self.mounts[1]
        bound = self.make_dir("bound reports")
        self.mount(["mount", "--bind", os.path.join(point, "docs", "reports")], bound)
        self.assert_lists_as_image(bound, ["\\docs\\reports", "-image", source])
        self.assert_lists_as_image(os.path.join(bound, "2023", "q4"),
                                   ["\\docs\\reports\\2023\\q4", "-image", source])

    def test_loop_device_read_through_its_backing_file(self):
        # Another user may not open the loop device but may read the image
        # behind it: the listing is that of the image file.
        point, _ = self.mounts[1]
        self.assert_lists_as_image(os.path.join(point, "docs"), ["\\docs", "-image", self.image], prefix=NOBODY)

    def test_without_read_access_root_is_needed(self):
        os.chmod(self.image, 0o600)
        try:
            for point, shown in ((self.by_file, self.image), (self.by_loop, self.loop)):
                with self.subTest(point=point):
                    err = self.refused([os.path.join(point, "docs")], prefix=NOBODY)
                    self.assertEqual(err, "no read access to %s, the source of the mount at %s...\n%s"
                                     % (shown, point, ROOT_NEEDED))
        finally:
            os.chmod(self.image, 0o644)


class OtherMounts(MountedBase):
    def test_tmpfs_is_refused_with_its_type(self):
        point = self.make_dir("scratch space")
        self.mount(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs"], point)
        os.makedirs(os.path.join(point, "sub dir"))
        err = self.refused([os.path.join(point, "sub dir")])
        self.assertEqual(err, "not an NTFS volume: the mount at %s has type tmpfs\n" % point)

    def test_kernel_ntfs3_driver(self):
        with open("/proc/filesystems") as f:
            if "ntfs3" not in f.read().split():
                self.skipTest("the kernel's ntfs3 driver is not available here")
        image = os.path.join(self.dir, "kernel.img")
        shutil.copyfile(fixture("main.img"), image)
        loop = self.loop_device(image)
        point = self.make_dir("ntfs3")
        self.mount(["mount", "-t", "ntfs3", "-o", "ro", loop], point)
        expected = self.listing(["\\docs", "-image", loop, "-level", "-2"])
        self.assertEqual(self.listing([os.path.join(point, "docs"), "-level", "-2"]), expected)

    def test_loop_device_with_an_offset(self):
        # A loop device over the second partition of a disk image: read as
        # the device by root, and through the image at the loop's offset by
        # a user who may not open the device.
        disk = os.path.join(self.dir, "disk.img")
        shutil.copyfile(fixture("mbr.img"), disk)
        os.chmod(disk, 0o644)
        loop = self.loop_device(disk, ["-o", str(0x1100000), "--sizelimit", str(0x1000000)])
        point = self.make_dir("partition 2")
        self.mount(["ntfs-3g", "-o", "ro", loop], point)
        self.assert_lists_as_image(os.path.join(point, "dir1"), ["\\dir1", "-image", loop], ["-level", "2"])
        self.assert_lists_as_image(os.path.join(point, "dir1"), ["\\dir1", "-image", disk, "-offset", "0x1100000"],
                                   ["-level", "2"], prefix=NOBODY)

    def test_fuse_mount_of_something_else(self):
        # A FUSE mount whose source holds no NTFS volume: ntfs-3g mounts the
        # fixture, then the copy under it is overwritten with zeros.
        image = os.path.join(self.dir, "wiped.img")
        shutil.copyfile(fixture("main.img"), image)
        point = self.make_dir("wiped")
        self.mount(["ntfs-3g", "-o", "ro", image], point)
        with open(image, "r+b") as f:
            f.write(bytes(512))
        err = self.refused([point])
        self.assertEqual(err, "not an NTFS volume: the mount at %s has type fuse and %s holds no NTFS boot sector\n"
                         % (point, image))


@unittest.skipIf(IS_WINDOWS_BUILD, "mounted volumes are read by the POSIX build")
class MissingPaths(unittest.TestCase):
    def test_path_that_does_not_exist(self):
        with tempfile.TemporaryDirectory() as tmp:
            for path, cwd in ((os.path.join(tmp, "no such", "dir"), None), ("no/such/dir", tmp), ("..x", tmp)):
                with self.subTest(path=path):
                    r = run([path], cwd=cwd)
                    self.assertEqual(r.rc, 255, r.err)
                    self.assertEqual(r.err, "couldn't resolve path %s\n" % path)


if __name__ == "__main__":
    unittest.main()
