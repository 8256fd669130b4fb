"""A volume that starts past 4 GiB inside a partitioned disk image.

Positioned reads and sizes must carry 64 bits on every build (the Windows
build reads through its own seek-and-read calls): the partition scan names
the offset that mmls gives, and the volume read there lists as the same
volume read from its own file. The disk is a sparse file, so it costs only
the volume's own bytes.
"""
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

import brelvik_e2e as e2e

SECTOR = 512
# Past 4 GiB by a little more than a 32-bit offset could wrap to.
START_SECTOR = (4 * 1024 ** 3 + 17 * 1024 ** 2) // SECTOR


def write_disk(path, volume):
    """An MBR disk with one NTFS partition (type 7) holding `volume`."""
    with open(volume, "rb") as f:
        data = f.read()
    count = len(data) // SECTOR
    with open(path, "wb") as out:
        out.truncate((START_SECTOR + count + 2048) * SECTOR)
        mbr = bytearray(SECTOR)
        mbr[446:462] = struct.pack("<B3sB3sII", 0, b"\0\0\0", 7, b"\0\0\0", START_SECTOR, count)
        mbr[510:512] = b"\x55\xaa"
        out.write(mbr)
        out.seek(START_SECTOR * SECTOR)
        out.write(data)


class volume_past_4gib_test(unittest.TestCase):
    def setUp(self):
        self.volume = e2e.sample_image()
        self.tmp = tempfile.mkdtemp(prefix="brelvik_large_")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.disk = os.path.join(self.tmp, "disk.dd")
        write_disk(self.disk, self.volume)

    def test_partition_offset_matches_mmls(self):
        e2e.need_tool("mmls")
        mm = subprocess.run(["mmls", self.disk], stdout=subprocess.PIPE, text=True, check=True).stdout
        starts = [int(m.group(1)) for m in re.finditer(r"^\d+:\s+\d+:\d+\s+(\d+)\s+\d+\s+\d+\s+NTFS", mm, re.M)]
        self.assertEqual(starts, [START_SECTOR])
        r = e2e.run(["\\", "-image", self.disk])
        self.assertIn("-offset 0x%x" % (START_SECTOR * SECTOR), r.out + r.err)

    def test_listing_matches_the_volume_file(self):
        whole = e2e.run(["\\", "-image", self.volume, "-level", "-2"])
        self.assertEqual(whole.rc, 0, whole.err)
        r = e2e.run(["\\", "-image", self.disk, "-offset", "0x%x" % (START_SECTOR * SECTOR), "-level", "-2"])
        self.assertEqual(r.rc, 0, r.err)
        self.assertEqual(r.err.strip(), "")
        self.assertEqual(e2e.strip_header(r.out), e2e.strip_header(whole.out))


if __name__ == "__main__":
    unittest.main()
