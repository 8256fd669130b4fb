"""Folders of mounted NTFS volumes, listed from the mounts' raw sources.

Fixture copies are mounted read-only with ntfs-3g, from the image file and
from loop devices, below a folder whose name holds spaces. A mounted folder
must list as -image of the same source and folder does, byte for byte but
for the run header's clock and command line. Without root, FUSE or loop
devices the tests skip and say which is missing.
"""
import os
import re
import shutil
import stat
import struct
import subprocess
import tempfile
import time
import unittest

from brelvik_e2e import IS_WINDOWS_BUILD, fixture, need_tool, run

NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
CLOCK_AND_COMMAND = re.compile(r'^run time: [^\n]*\n"[^\n]*"$|( date="[^"]*" time="[^"]*")', re.M)
LAYOUTS = ([], ["-filepath_only"], ["-csv"], ["-csv", "-alldates"], ["-bodyfile"], ["-csvl2t"], ["-xml"])


def retry(*command):
    for _ in range(50):
        if subprocess.run(command, stderr=subprocess.DEVNULL).returncode == 0:
            return True
        time.sleep(0.1)  # a FUSE daemon still closing its files
    return False


def unmount(point):
    if os.path.ismount(point) and not retry("umount", point):
        subprocess.run(["umount", "-l", point])


@unittest.skipIf(IS_WINDOWS_BUILD, "mounted volumes are read by the POSIX build")
class MountedVolumes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        need_tool("ntfs-3g", "losetup", "mount", "umount", "setpriv")
        if os.geteuid() != 0:
            raise unittest.SkipTest("mounting needs root")
        for path, what in (("/dev/fuse", "FUSE"), ("/dev/loop-control", "loop devices")):
            if not os.path.exists(path):
                raise unittest.SkipTest("%s not available here (no %s)" % (what, path))
        cls.dir = tempfile.mkdtemp(prefix="brelvik mounts ")
        cls.images = {}  # mount point -> image, of the volumes made here
        cls.addClassCleanup(shutil.rmtree, cls.dir, True)
        os.chmod(cls.dir, 0o755)  # reachable by the user the rights tests drop to
        cls.image = cls.copy("main.img", "main image.img")
        cls.loop = cls.loop_device(cls.image)
        cls.mounts = ((cls.mount("ntfs-3g", "-o", "ro", cls.image), cls.image),
                      (cls.mount("ntfs-3g", "-o", "ro", cls.loop), cls.loop))

    @classmethod
    def copy(cls, name, as_name):
        path = os.path.join(cls.dir, as_name)
        shutil.copyfile(fixture(name), path)
        os.chmod(path, 0o644)
        return path

    @classmethod
    def mount(cls, *args):
        """Mounts on a new folder and returns it; unmounts it at the end."""
        point = tempfile.mkdtemp(prefix="mount point ", dir=cls.dir)
        p = subprocess.run(list(args) + [point], stderr=subprocess.PIPE, text=True)
        if p.returncode != 0 and "fuse" in p.stderr.lower():
            raise unittest.SkipTest("FUSE mounts fail here: " + p.stderr.strip())
        assert p.returncode == 0, p.stderr
        cls.addClassCleanup(unmount, point)
        return point

    @classmethod
    def loop_device(cls, image, *options):
        p = subprocess.run(["losetup", "-f", "--show", "-r", *options, image], capture_output=True, text=True)
        if p.returncode != 0:
            raise unittest.SkipTest("loop devices cannot be set up here: " + p.stderr.strip())
        cls.addClassCleanup(retry, "losetup", "-d", p.stdout.strip())
        return p.stdout.strip()

    def output(self, args, prefix=(), cwd=None):
        """What a run that must succeed writes, the XML file of a closing
        "-xml" included, without the clock and the command line."""
        with tempfile.TemporaryDirectory() as tmp:
            os.chmod(tmp, 0o777)
            xml = os.path.join(tmp, "out.xml")
            r = run(args + [xml] if args[-1] == "-xml" else args, prefix=prefix, cwd=cwd)
            self.assertEqual(r.rc, 0, r.err)
            if args[-1] == "-xml":
                with open(xml, encoding="utf-8") as f:
                    r.out += f.read()
        return CLOCK_AND_COMMAND.sub("", r.out)

    def assert_lists_as_image(self, path, folder, source, extra=(), prefix=()):
        """`path` lists as -image of `source` (a list: the file and its
        options) lists `folder`, in every layout."""
        for layout in LAYOUTS:
            with self.subTest(path=path, layout=layout):
                live = self.output([path, *extra, *layout], prefix)
                self.assertEqual(live, self.output([folder, "-image", *source, *extra, *layout], prefix))
                if not layout:
                    self.assertIn(folder, live)  # the listing is not empty on both sides

    def test_folders_list_as_the_image_does(self):
        # The mount points and the image's name hold spaces; so do some names.
        for point, source in self.mounts:
            for folder, extra in (("", []), ("docs", ["-level", "-2"]), ("names/a & b.txt", []),
                                  ("names/каталог", []), ("streams", ["-indx", "-objid"])):
                volume_path = "\\" + folder.replace("/", "\\")
                self.assert_lists_as_image(os.path.join(point, folder).rstrip("/"), volume_path, [source], extra)

    def test_relative_paths_and_symbolic_links(self):
        point = self.mounts[0][0]
        expected = self.output(["\\docs\\reports", "-image", self.image, "-filepath_only"])
        link = os.path.join(self.dir, "link to docs")
        os.symlink(os.path.join(point, "docs"), link)
        for cwd, path in ((os.path.join(point, "docs", "reports"), "."), (point, "docs/reports/2023/.."),
                          (self.dir, os.path.join(os.path.basename(link), "reports"))):
            with self.subTest(cwd=cwd, path=path):
                self.assertEqual(self.output([path, "-filepath_only"], cwd=cwd), expected)

    def test_bind_mount_of_a_subfolder(self):
        bound = self.mount("mount", "--bind", os.path.join(self.mounts[1][0], "docs", "reports"))
        self.assert_lists_as_image(bound, "\\docs\\reports", [self.loop])
        self.assert_lists_as_image(os.path.join(bound, "2023"), "\\docs\\reports\\2023", [self.loop])

    def test_a_mount_covered_by_a_later_one_gives_way(self):
        # docs bound over names, then the volume bound over its own mount
        # point: names shows the volume's names again.
        point = self.mount("ntfs-3g", "-o", "ro", self.image)
        names = os.path.join(point, "names")
        subprocess.run(["mount", "--bind", os.path.join(point, "docs"), names], check=True)
        self.addCleanup(unmount, names)
        subprocess.run(["mount", "--bind", point, point], check=True)
        self.addCleanup(unmount, point)
        self.assert_lists_as_image(names, "\\names", [self.image])

    def test_loop_device_with_an_offset_or_its_backing_file(self):
        # A loop over the second partition of a disk image is read as the
        # device by root, and through the image at the loop's offset by a
        # user who may not open the device.
        disk = self.copy("mbr.img", "disk.img")
        loop = self.loop_device(disk, "-o", str(0x1100000), "--sizelimit", str(0x1000000))
        point = self.mount("ntfs-3g", "-o", "ro", loop)
        self.assert_lists_as_image(os.path.join(point, "dir1"), "\\dir1", [loop], ["-level", "2"])
        self.assert_lists_as_image(os.path.join(point, "dir1"), "\\dir1", [disk, "-offset", "0x1100000"],
                                   ["-level", "2"], prefix=NOBODY)

    def made_volume(self, names, more=None, size=8 << 20, mkntfs_options=()):
        """A new volume of `size` bytes holding a folder for each of `names`,
        each with one file "in <last name>", and what `more` (given the mount
        point) makes, made through ntfs-3g and mounted again read-only;
        returns the mount point."""
        need_tool("mkntfs")
        image = tempfile.mkstemp(prefix="made ", suffix=".img", dir=self.dir)[1]
        os.truncate(image, size)
        subprocess.run(["mkntfs", "-F", "-q", "-Q", *mkntfs_options, image], check=True, capture_output=True)
        point = self.mount("ntfs-3g", image)
        for name in names:
            os.mkdir(os.path.join(point, name))
            open(os.path.join(point, name, "in " + os.path.basename(name)), "w").close()
        if more:
            more(point)
        unmount(point)
        subprocess.run(["ntfs-3g", "-o", "ro", image, point], check=True)
        self.images[point] = image
        return point

    def listed(self, path):
        return [line for line in self.output([path, "-filepath_only"]).splitlines() if line.startswith("\\")]

    def test_names_apart_only_by_case_or_a_colon_list_their_own_folder(self):
        # ntfs-3g keeps names that Windows would take for one name, or for
        # a folder and its stream: each host path lists its own folder.
        point = self.made_volume(["a", "A", "x", "x:y", "d", "d/x:y"])
        for name in ("a", "A", "x", "x:y", "d/x:y"):
            with self.subTest(name=name):
                folder = name.replace("/", "\\")
                self.assertEqual(self.listed(os.path.join(point, name)),
                                 ["\\%s\\" % folder, "\\%s\\in %s" % (folder, os.path.basename(name))])

    def test_a_name_lists_the_entry_of_its_own_folder(self):
        # a.txt of P is also b.txt of Q; P's own b.txt is another file.
        def links(point):
            with open(os.path.join(point, "P", "a.txt"), "w") as f:
                f.write("a")
            os.link(os.path.join(point, "P", "a.txt"), os.path.join(point, "Q", "b.txt"))
            with open(os.path.join(point, "P", "b.txt"), "w") as f:
                f.write("bb")
        point = self.made_volume(["P", "Q"], links)
        for folder, name in (("P", "b.txt"), ("Q", "b.txt"), ("P", "a.txt")):
            with self.subTest(folder=folder, name=name):
                self.assertEqual(self.listed(os.path.join(point, folder, name)), ["\\%s\\%s" % (folder, name)])

    def test_attribute_list_in_a_cluster_larger_than_the_list_may_be(self):
        # With 1 MiB clusters the non-resident attribute list of a file of
        # 40 streams lies in one cluster far larger than any list; it names
        # the file's $FILE_NAME and streams in extension records.
        def streams(point):
            path = os.path.join(point, "s.txt")
            with open(path, "w") as f:
                f.write("x")
            for i in range(1, 41):
                os.setxattr(path, "user.stream_%d" % i, b"v%d" % i)
        point = self.made_volume([], streams, 40 << 20, ["-c", str(1 << 20)])
        rows = [line for line in self.listed(point) if line.startswith("\\s.txt")]
        self.assertEqual(sorted(rows), sorted(["\\s.txt"] + ["\\s.txt:stream_%d" % i for i in range(1, 41)]))

    def test_link_targets_kept_in_clusters(self):
        # Links to paths of 900 characters take 3.6 KB of reparse data, more
        # than a record holds: ntfs-3g keeps it in a cluster. The junction
        # leads to a folder at the end of such a path, which a path through
        # the junction lists.
        folders = ["%s%03d" % (c * 170, i) for i, c in enumerate("abcde")]
        target = "C:\\" + "\\".join(folders)

        def reparse_data(tag, flags_word):
            names = ("\\??\\" + target).encode("utf-16-le") + target.encode("utf-16-le")
            sub_len = len(names) - 2 * len(target)
            data = struct.pack("<HHHH", 0, sub_len, sub_len, 2 * len(target)) + flags_word + names
            return struct.pack("<IHH", tag, len(data), 0) + data

        def links(point):
            deep = os.path.join(point, *folders)
            os.makedirs(deep)
            open(os.path.join(deep, "inside.txt"), "w").close()
            path = os.path.join(point, "long link")
            open(path, "w").close()
            os.setxattr(path, "system.ntfs_reparse_data", reparse_data(0xA000000C, struct.pack("<I", 0)))
            os.mkdir(os.path.join(point, "jn"))
            os.setxattr(os.path.join(point, "jn"), "system.ntfs_reparse_data", reparse_data(0xA0000003, b""))
        point = self.made_volume([], links)
        need_tool("istat", "ifind")
        image = self.images[point]
        for name in ("long link", "jn"):
            with self.subTest(name=name):
                entry = subprocess.run(["ifind", "-n", "/" + name, image], stdout=subprocess.PIPE, text=True,
                                       check=True).stdout.strip()
                shown = subprocess.run(["istat", image, entry], stdout=subprocess.PIPE, text=True, check=True).stdout
                self.assertRegex(shown, r"\$REPARSE_POINT \(192-\d+\)\s+Name: N/A\s+Non-Resident")
                rows = [line for line in self.output([point]).splitlines()
                        if re.search(r"\\%s\\? -> " % name, line) and line.endswith(" -> " + target)]
                self.assertEqual(len(rows), 1, self.output([point]))
        through = run(["\\jn", "-image", image, "-filepath_only"])
        self.assertEqual(through.rc, 0, through.err)
        self.assertIn("\\jn\\inside.txt", through.out.splitlines())

    def test_a_name_holding_a_backslash_is_refused(self):
        # The name "b\c" would read as the folder c in b.
        point = self.made_volume(["b", "b/c", "b\\c"])
        r = run(["."], cwd=os.path.join(point, "b\\c"))
        self.assertEqual((r.rc, r.err), (255, "couldn't resolve path .: a name in %s holds a backslash\n"
                                         % os.path.join(point, "b\\c")))

    def test_a_source_that_names_another_device_now_is_refused(self):
        # Mounted from a device file that then names another device, as a
        # disk name given to the next disk does: that disk is not read.
        node = os.path.join(self.dir, "evidence disk")
        os.mknod(node, 0o600 | stat.S_IFBLK, os.stat(self.loop).st_rdev)
        point = self.mount("ntfs-3g", "-o", "ro", node)
        os.remove(node)
        other = self.loop_device(self.copy("streams.img", "other.img"))
        os.mknod(node, 0o600 | stat.S_IFBLK, os.stat(other).st_rdev)
        mounted = os.stat(self.loop).st_rdev
        r = run([point])
        self.assertEqual((r.rc, r.err), (255, "couldn't read the mount at %s raw: its source %s is no longer the "
                                         "device mounted there (%d:%d)\n"
                                         % (point, node, os.major(mounted), os.minor(mounted))))

    def test_a_source_file_of_another_size_is_refused(self):
        # ntfs-3g names the mount's source by the file name cut at a comma;
        # the file of the cut name holds another volume.
        image = self.copy("main.img", "evidence,copy.img")
        other = self.copy("streams.img", "evidence")
        point = self.mount("ntfs-3g", "-o", "ro", image)
        def decoded(field):
            return re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), field)
        with open("/proc/self/mountinfo") as f:
            fields = [line.split(" ") for line in f]
        source = [decoded(e[e.index("-") + 2]) for e in fields if decoded(e[4]) == point]
        if source != [other]:
            self.skipTest("this ntfs-3g names its source %s" % source)
        r = run([os.path.join(point, "docs")])
        self.assertEqual((r.rc, r.err), (255, "couldn't read the mount at %s raw: its source %s holds a volume of "
                                         "another size than the one mounted there\n" % (point, other)))

    def test_without_read_access_root_is_needed(self):
        os.chmod(self.image, 0o600)
        self.addCleanup(os.chmod, self.image, 0o644)
        for point, source in self.mounts:
            r = run([os.path.join(point, "docs")], prefix=NOBODY)
            self.assertEqual((r.rc, r.err), (255, "no read access to %s, the source of the mount at %s...\n"
                                             "[root is needed for examining live partitions]\n"
                                             "need to run again as root, for example with sudo...\n\n"
                                             % (source, point)))

    def test_other_file_systems_are_refused_with_their_type(self):
        point = self.mount("mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs")
        os.makedirs(os.path.join(point, "sub dir"))
        r = run([os.path.join(point, "sub dir")])
        self.assertEqual((r.rc, r.err), (255, "not an NTFS volume: the mount at %s has type tmpfs\n" % point))


@unittest.skipIf(IS_WINDOWS_BUILD, "mounted volumes are read by the POSIX build")
class MissingPaths(unittest.TestCase):
    def test_path_that_does_not_exist(self):
        with tempfile.TemporaryDirectory() as tmp:
            for path in (os.path.join(tmp, "no such", "dir"), "no/such/dir", "..x"):
                r = run([path], cwd=tmp)
                self.assertEqual((r.rc, r.err), (255, "couldn't resolve path %s\n" % path))


if __name__ == "__main__":
    unittest.main()
