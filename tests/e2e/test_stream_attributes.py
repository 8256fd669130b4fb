"""Data streams of records edited on a copy of main.img: every $DATA
attribute istat shows gives one row, with its name and size, in the table,
the CSV and the XML."""
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

# \streams\with_ads.txt: resident unnamed $DATA (10 bytes), non-resident
# "bigstream" (10000 bytes in 12288) and resident "Zone.Identifier" (26).
WITH_ADS = 76


class StreamsOfEditedRecords(ImageCopyCase):
    def setUp(self):
        super().setUp()
        self.vol = NtfsImage(fixture("main.img"))

    def listing(self, *args):
        r = run(["\\streams", "-image", self.image(), "-base10"] + list(args))
        self.assertEqual(r.rc, 0, r.err)
        return r.out

    def istat_streams(self, entry):
        """The (name, size) of each $DATA istat shows, "" for the unnamed."""
        need_tool("istat")
        shown = subprocess.run(["istat", "-f", "ntfs", self.image(), str(entry)], stdout=subprocess.PIPE,
                               check=True).stdout.decode()
        found = re.findall(r"^Type: \$DATA \(128-\d+\)\s+Name: (.*?)\s+(?:Non-)?Resident.*?size: (\d+)", shown, re.M)
        return sorted(("" if n == "N/A" else n, int(s)) for n, s in found)

    def assert_rows(self, file_name, expected):
        """`expected`: the sorted (stream name, size) rows of the file."""
        def split(shown):
            name, _, stream = shown.partition(":")
            return name, stream

        table = strip_header(self.listing())
        rows = []
        for line in table.splitlines():
            m = re.match(r"^.{23}\s+%d\s+\d+\s+(\d+)\s+(?:ads\s+)?\\streams\\(.*)$" % WITH_ADS, line)
            if m:
                name, stream = split(m.group(2))
                self.assertEqual(name, file_name, line)
                rows.append((stream, int(m.group(1))))
        self.assertEqual(sorted(rows), expected, table)

        rows = []
        for r in csv.reader(io.StringIO(strip_header(self.listing("-csv")))):
            if len(r) > 5 and r[1].startswith("\\streams\\" + file_name):
                rows.append((split(r[1])[1], int(r[3])))
        self.assertEqual(sorted(rows), expected)

        out = os.path.join(self.dir, "out.xml")
        self.listing("-xml", out)
        with open(out, encoding="utf-8") as f:
            root = ET.fromstring(xml_body(f.read()))
        rows = [(split(e.findtext("filename"))[1], int(e.findtext("size"))) for e in root
                if e.findtext("filename", "").startswith(file_name)]
        self.assertEqual(sorted(rows), expected)

    def test_streams_sharing_an_attribute_id_are_each_listed(self):
        # "Zone.Identifier" takes the id of "bigstream": ids are numbered
        # apart in a record, so the record is damaged, yet both streams are
        # in it and istat shows both.
        def same_id(rec):
            data = [(off, ln) for t, off, ln in attributes(rec) if t == 0x80]
            self.assertEqual(len(data), 3)
            big_id = struct.unpack_from("<H", rec, data[1][0] + 14)[0]
            struct.pack_into("<H", rec, data[2][0] + 14, big_id)

        self.vol.edit_record(WITH_ADS, same_id)
        expected = [("", 10), ("Zone.Identifier", 26), ("bigstream", 10000)]
        self.assertEqual(self.istat_streams(WITH_ADS), expected)
        # The rows show the allocated size of a non-resident stream.
        self.assert_rows("with_ads.txt", [("", 10), ("Zone.Identifier", 26), ("bigstream", 12288)])

    def test_resident_stream_sharing_the_unnamed_streams_id_is_listed(self):
        def same_id(rec):
            data = [off for t, off, ln in attributes(rec) if t == 0x80]
            struct.pack_into("<H", rec, data[2] + 14, struct.unpack_from("<H", rec, data[0] + 14)[0])

        self.vol.edit_record(WITH_ADS, same_id)
        self.assertEqual(self.istat_streams(WITH_ADS), [("", 10), ("Zone.Identifier", 26), ("bigstream", 10000)])
        self.assert_rows("with_ads.txt", [("", 10), ("Zone.Identifier", 26), ("bigstream", 12288)])

    def test_unedited_streams(self):
        self.assertEqual(self.istat_streams(WITH_ADS), [("", 10), ("Zone.Identifier", 26), ("bigstream", 10000)])
        self.assert_rows("with_ads.txt", [("", 10), ("Zone.Identifier", 26), ("bigstream", 12288)])


if __name__ == "__main__":
    unittest.main()
