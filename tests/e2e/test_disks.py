"""Partitioned disks and VMDK chains, end to end."""
import os
import shutil
import subprocess
import tempfile
import unittest

from brelvik_e2e import fixture, need_tool, run, strip_header

def messages(r):
    assert "\x1b" not in r.err, repr(r.err)
    return r.err


def paths(args):
    r = run(["\\"] + args + ["-level", "-2", "-filepath_only"])
    assert r.rc == 0, r.err
    return r.out


class Partitions(unittest.TestCase):
    def test_partitioned_disk_without_offset_names_the_last_ntfs_partition(self):
        r = run(["\\", "-image", fixture("mbr.img")])
        self.assertEqual(r.rc, 255)
        self.assertEqual(messages(r), "\n"
                         "volume offset [ 0x100000 ] : fat16\n"
                         "volume offset [ 0x1100000 ] : ntfs or exfat\n"
                         "volume offset [ 0x2100000 ] : exten\n"
                         "volume offset [ 0x2200000 ] : fat32\n"
                         "volume offset [ 0x4500000 ] : ntfs or exfat\n"
                         "\n"
                         "use option [-offset 0x4500000]\n\n")
        listed = run(["\\", "-image", fixture("mbr.img"), "-offset", "0x4500000"])
        self.assertEqual(listed.rc, 0, listed.err)
        self.assertIn("dir  \\\n", strip_header(listed.out))

    def test_offset_messages(self):
        mbr, cut = fixture("mbr.img"), fixture("cut.img")
        r = run(["\\", "-image", mbr, "-offset", "0x9900000"])
        self.assertEqual((r.rc, messages(r)), (255, "volume offset 0x9900000 is not within image bounds\n\n"))
        r = run(["\\", "-image", mbr, "-offset", "0x2200000"])
        self.assertEqual(r.rc, 255)
        self.assertTrue(messages(r).startswith(
            "volume offset selected 0x2200000 is not a NTFS partition, but [fat32]\n\n"), r.err)
        r = run(["\\", "-image", cut, "-offset", "0x100000"])
        self.assertEqual((r.rc, messages(r)), (255, "volume offset 0x100000 is a NTFS partition, "
                                                    "however image size does not encapsulate entire volume\n\n"))
        r = run(["\\", "-image", cut, "-offset", "0x100000", "-ignore_image_size"])
        self.assertEqual(r.rc, 0, r.err)
        self.assertIn("\\partition.txt", r.out)

    def test_gpt_and_4096_byte_sector_disks(self):
        for name, offset in (("gpt.img", "0x900000"), ("gpt4k.img", "0x100000"), ("mbr4k.img", "0x100000"),
                             ("gpt4k_sig4094.img", "0x100000"), ("mbr4k_sig4094.img", "0x100000")):
            with self.subTest(disk=name):
                r = run(["\\", "-image", fixture(name)])
                self.assertEqual(r.rc, 255)
                self.assertTrue(messages(r).endswith("use option [-offset %s]\n\n" % offset), r.err)
                listed = run(["\\", "-image", fixture(name), "-offset", offset])
                self.assertEqual(listed.rc, 0, listed.err)
                self.assertIn("dir  \\\n", listed.out)

    def test_partitions_beside_and_inside_extended_ones(self):
        # Tables as sfdisk writes them: the extended partition in the first
        # slot with an NTFS primary after it, and a Linux extended partition
        # (0x85) holding two logical NTFS volumes. Every NTFS volume is where
        # mmls puts it, and the last one lists as fls lists it.
        need_tool("sfdisk", "mkntfs", "mmls", "fls")
        work = tempfile.mkdtemp(prefix="brelvik-disk-")
        self.addCleanup(shutil.rmtree, work, True)
        vol = os.path.join(work, "vol.img")
        with open(vol, "wb") as f:
            f.truncate(16 << 20)
        subprocess.run(["mkntfs", "-q", "-F", "-f", vol], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        with open(vol, "rb") as f:
            volume = f.read()
        tables = {
            "primary after extended": (b"start=2048, size=38912, type=5\nstart=43008, size=32768, type=7\n"
                                       b"start=4096, size=32768, type=7\n", [4096, 43008]),
            "linux extended": (b"start=2048, size=79872, type=85\nstart=4096, size=32768, type=7\n"
                               b"start=40960, size=32768, type=7\n", [4096, 40960]),
        }
        for what, (table, starts) in tables.items():
            with self.subTest(what):
                disk = os.path.join(work, "disk.img")
                with open(disk, "wb") as f:
                    f.truncate(40 << 20)
                subprocess.run(["sfdisk", "-q", disk], input=b"label: dos\n" + table, check=True)
                with open(disk, "r+b") as f:
                    for sector in starts:
                        f.seek(sector * 512)
                        f.write(volume)
                mm = subprocess.run(["mmls", disk], stdout=subprocess.PIPE, check=True).stdout.decode()
                self.assertEqual([int(line.split()[2]) for line in mm.splitlines() if "NTFS" in line], starts)
                r = run(["\\", "-image", disk])
                self.assertEqual(r.rc, 255)
                for sector in starts:
                    self.assertIn("volume offset [ %#x ] : ntfs or exfat\n" % (sector * 512), messages(r))
                self.assertIn("use option [-offset %#x]" % (starts[-1] * 512), r.err)
                listed = run(["\\", "-image", disk, "-offset", "%#x" % (starts[-1] * 512), "-filepath_only"])
                self.assertEqual(listed.rc, 0, listed.err)
                fls = subprocess.run(["fls", "-o", str(starts[-1]), disk], stdout=subprocess.PIPE,
                                     check=True).stdout.decode()
                names = {line.split("\t", 1)[1].split(":")[0] for line in fls.splitlines() if "\t" in line}
                shown = {line[1:].rstrip("\\").split(":")[0] for line in listed.out.splitlines()
                         if line.startswith("\\") and line != "\\"}
                self.assertEqual(names - {"$OrphanFiles"}, shown)

class Vmdk(unittest.TestCase):
    def test_base_alone_lists_like_the_raw_disk(self):
        self.assertEqual(paths(["-vmdk", fixture("base.vmdk")]),
                         paths(["-image", fixture("vdisk.img"), "-offset", "0x100000"]))

    def test_base_and_snapshot_list_like_the_changed_disk(self):
        chain = fixture("base.vmdk") + " | " + fixture("child.vmdk")
        ours = run(["\\", "-vmdk", chain, "-level", "-2", "-csv"])
        raw = run(["\\", "-image", fixture("vdisk_changed.img"), "-offset", "0x100000", "-level", "-2", "-csv"])
        self.assertEqual(ours.rc, 0, ours.err)
        self.assertEqual(strip_header(ours.out), strip_header(raw.out))
        self.assertIn("\\added\\new.txt", ours.out)
        self.assertNotIn("\\keep\\removed.txt", ours.out)

    def test_offset_that_names_no_ntfs_volume_is_refused(self):
        # As with -image: an offset given but not accepted ends the run with
        # the partition report, rather than listing another volume.
        expected = "\nvolume offset [ 0x100000 ] : ntfs or exfat\n\nuse option [-offset 0x100000]\n\n"
        for offset in ("0x200000", "0x1000"):
            with self.subTest(offset=offset):
                r = run(["\\", "-vmdk", fixture("base.vmdk"), "-offset", offset])
                self.assertEqual((r.rc, r.out.count("$MFT")), (255, 0), r.err)
                self.assertEqual(messages(r), expected)
                r = run(["\\", "-image", fixture("base.vmdk"), "-offset", offset])
                self.assertEqual((r.rc, messages(r)), (255, expected))
        r = run(["\\", "-vmdk", fixture("base.vmdk"), "-offset", "0x100000"])
        self.assertEqual(r.rc, 0, r.err)
        self.assertIn("dir  \\\n", r.out)

    def test_snapshot_without_its_base(self):
        child = fixture("child.vmdk")
        r = run(["\\", "-vmdk", child])
        self.assertEqual(r.rc, 255)
        text = messages(r)
        self.assertIn("=> vmdk file: %s\n depends on parent vmdk " % child, text)
        self.assertIn("Child VMDK points to a parent VMDK that doesn't exist, aborting\n", text)
        self.assertIn('suggested array:-vmdk "', text)
        self.assertTrue(text.rstrip("\n").endswith('base.vmdk"'), text)


class ListingOutcome(unittest.TestCase):
    def test_failures_are_reported_and_fail_the_run(self):
        image = fixture("main.img")
        r = run(["C:\\nothere", "-image", image])
        self.assertEqual((r.rc, messages(r)), (255, "couldn't resolve path C:\\nothere\n"))
        # An offset into a bare volume that is not the volume's start.
        r = run(["\\", "-image", image, "-offset", "0x1000"])
        self.assertEqual((r.rc, messages(r)), (255, "\nvolume offset [ 0x0 ] : ntfs or exfat\n\n"
                                                    "use option [-offset 0x0]\n\n"))
        empty = run(["\\empty_dir", "-image", image])
        self.assertEqual(empty.rc, 0, empty.err)
        self.assertEqual(strip_header(empty.out).splitlines()[2:],
                         ["2024-01-17 21:20:00.000          68    1                dir  \\empty_dir\\"])


if __name__ == "__main__":
    unittest.main()
