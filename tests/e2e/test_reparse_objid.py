"""Link targets and object IDs read from records edited on a copy of
main.img, checked against istat and against the CSV and XML parsers."""
import csv
import io
import os
import re
import struct
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ET

from brelvik_e2e import ImageCopyCase, fixture, need_tool, run, strip_header, xml_body

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ntfs_records import NtfsImage, attributes  # noqa: E402

# \reparse\file_link.txt: a symbolic link to C:\docs\notes.txt whose
# reparse point has attribute id 4.
FILE_LINK = 1735
GUID_BYTES = bytes(range(0xA0, 0xB0))


class LinkWithObjectId(ImageCopyCase):
    def setUp(self):
        super().setUp()
        self.vol = NtfsImage(fixture("main.img"))

    def listing(self, *args):
        r = run(["\\reparse", "-image", self.image()] + list(args))
        self.assertEqual(r.rc, 0, r.err)
        return r.out

    def test_object_id_added_after_the_reparse_point(self):
        # The record's resident $SECURITY_DESCRIPTOR (id 1, between
        # $FILE_NAME and $DATA) becomes a 16-byte $OBJECT_ID with id 5, as
        # when an object ID is given to a link that already exists: the
        # reparse point's id is the lower one.
        def add_object_id(rec):
            for t, off, ln in attributes(rec):
                if t == 0x50:
                    self.assertEqual(rec[off + 8], 0)
                    voff = struct.unpack_from("<H", rec, off + 20)[0]
                    self.assertGreaterEqual(ln, voff + 16)
                    struct.pack_into("<I", rec, off, 0x40)
                    struct.pack_into("<H", rec, off + 14, 5)
                    struct.pack_into("<I", rec, off + 16, 16)
                    rec[off + voff:off + voff + 16] = GUID_BYTES
                    return
            self.fail("no $SECURITY_DESCRIPTOR in entry %d" % FILE_LINK)

        self.vol.edit_record(FILE_LINK, add_object_id)
        need_tool("istat")
        shown = subprocess.run(["istat", "-f", "ntfs", self.image(), str(FILE_LINK)], stdout=subprocess.PIPE,
                               check=True).stdout.decode()
        m = re.search(r"Object Id: ([0-9a-f-]{36})", shown)
        self.assertTrue(m, shown)
        guid = m.group(1)
        self.assertRegex(shown, r"\$REPARSE_POINT \(192-4\)")

        table = strip_header(self.listing("-objid"))
        self.assertIn("\\reparse\\file_link.txt -> C:\\docs\\notes.txt  [objid %s]\n" % guid, table)

        rows = list(csv.reader(io.StringIO(strip_header(self.listing("-csv", "-objid")))))
        header = rows[0]
        row = [r for r in rows if len(r) > 1 and r[1] == "\\reparse\\file_link.txt"]
        self.assertEqual(len(row), 1, rows)
        self.assertEqual(row[0][header.index("symbolic link")], "C:\\docs\\notes.txt")
        self.assertEqual(row[0][header.index("object ID")], guid)

        out = os.path.join(self.dir, "out.xml")
        self.listing("-xml", out)
        with open(out, encoding="utf-8") as f:
            root = ET.fromstring(xml_body(f.read()))
        entries = [e for e in root if e.findtext("filename") == "file_link.txt"]
        self.assertEqual(len(entries), 1)
        self.assertEqual(entries[0].findtext("sym_link"), "C:\\docs\\notes.txt")
        self.assertEqual(entries[0].findtext("object_id"), guid)


if __name__ == "__main__":
    unittest.main()
