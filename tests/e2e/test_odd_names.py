"""Stream names and link targets whose UTF-16 is not well formed, as a
damaged record or a tool outside Windows can leave them: every unit is kept
and an unpaired surrogate is shown as U+FFFD, as in the entries' names."""
import os
import shutil
import struct
import sys
import tempfile
import unittest

from brelvik_e2e import fixture, run, strip_header

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ntfs_records import NtfsImage, attributes  # noqa: E402

FFFD = "\ufffd"


def set_unit(rec, at, unit):
    struct.pack_into("<H", rec, at, unit)


class OddStreamNamesAndTargets(unittest.TestCase):
    def setUp(self):
        self.vol = NtfsImage(fixture("main.img"))
        self.dir = tempfile.mkdtemp(prefix="brelvik-odd-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def listing(self, folder, *args):
        path = os.path.join(self.dir, "v.img")
        with open(path, "wb") as f:
            f.write(self.vol.data)
        r = run([folder, "-image", path] + list(args))
        self.assertEqual(r.rc, 0, r.err)
        return strip_header(r.out)

    def test_stream_names_keep_every_unit(self):
        # Entry 76, \streams\with_ads.txt: "Zone.Identifier" gets a high
        # surrogate without its partner as its first unit, "bigstream" a low
        # one alone in place of its "s".
        def odd_names(rec):
            for t, off, ln in attributes(rec):
                if t != 0x80 or rec[off + 9] == 0:
                    continue
                name_at = off + struct.unpack_from("<H", rec, off + 10)[0]
                name = rec[name_at:name_at + 2 * rec[off + 9]].decode("utf-16-le")
                if name == "Zone.Identifier":
                    set_unit(rec, name_at, 0xD800)
                elif name == "bigstream":
                    set_unit(rec, name_at + 6, 0xDC00)

        self.vol.edit_record(76, odd_names)
        out = self.listing("\\streams")
        rows = [line for line in out.splitlines() if "    76 " in line]
        # Neither stream passes for the file's unnamed data, and neither
        # loses its name.
        self.assertEqual(len(rows), 3, out)
        self.assertIn("\\streams\\with_ads.txt\n", out)
        self.assertIn("ads  \\streams\\with_ads.txt:%sone.Identifier\n" % FFFD, out)
        self.assertIn("ads  \\streams\\with_ads.txt:big%stream\n" % FFFD, out)
        csv = self.listing("\\streams", "-csv")
        self.assertIn("\\streams\\with_ads.txt:%sone.Identifier," % FFFD, csv)
        self.assertIn("\\streams\\with_ads.txt:big%stream," % FFFD, csv)

    def test_link_targets_keep_every_unit(self):
        # Entry 1733, \reparse\symlink_rel, pointing at "..\docs": the "o"
        # of both its substitute and its print name becomes a lone low
        # surrogate.
        target = "..\\docs".encode("utf-16-le")

        def odd_target(rec):
            at = rec.find(target)
            self.assertNotEqual(at, -1)
            while at != -1:
                set_unit(rec, at + 8, 0xDC00)
                at = rec.find(target, at + 1)

        self.vol.edit_record(1733, odd_target)
        odd = "..\\d%scs" % FFFD
        self.assertIn("\\reparse\\symlink_rel\\ -> %s\n" % odd, self.listing("\\reparse"))
        xml = os.path.join(self.dir, "out.xml")
        self.listing("\\reparse", "-xml", xml)
        with open(xml, encoding="utf-8") as f:
            self.assertIn("<sym_link>%s</sym_link>" % odd, f.read())


if __name__ == "__main__":
    unittest.main()
