"""Listings of the main fixture in every format, compared with reviewed goldens.

Run with --update to write the goldens again; review every change by hand
before committing it.
"""
import os
import re
import sys
import tempfile
import unittest
from xml.etree import ElementTree

from brelvik_e2e import fixture, run, strip_header

GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "golden")
UPDATE = "--update" in sys.argv

# name -> arguments after the image; "XML" stands for an XML file name.
CASES = {
    "table_root_objid": ["\\", "-objid"],
    "table_docs_level2": ["\\docs", "-level", "2"],
    "table_streams_indx": ["\\streams", "-indx", "-level", "1"],
    "table_times_templates": ["\\times", "-dateformat", "mm/dd/yyyy", "-timeformat", "hh:mm:ss.xxxxxxx"],
    "table_reparse": ["C:\\reparse"],
    "table_stream_start": ["\\streams\\with_ads.txt:bigstream"],
    "table_file_start": ["\\docs\\readme.txt"],
    "table_mft_links": ["-mft", "81"],
    "paths_docs_recursive": ["\\docs", "-level", "-2", "-filepath_only"],
    "paths_reparse": ["\\reparse", "-filepath_only"],
    "csv_names": ["\\names", "-csv"],
    "csv_root_alldates_objid": ["\\", "-csv", "-alldates", "-objid"],
    "csv_names_alldates_paired": ["\\names", "-csv", "-alldates", "-pair_datetime"],
    "csv_streams_layout": ["\\streams", "-csv", "-split_pathfile", "-pair_datetime", "-base10", "-level", "1"],
    "csv_times_tab": ["\\times", "-csv", "-csv_separator", "tab", "-no_whitespace"],
    "csv_names_pipe": ["\\names", "-csv", "-csv_separator", "|"],
    "xml_streams_alldates": ["\\streams", "-xml", "XML", "-alldates", "-level", "1"],
    "xml_names_base10": ["\\names", "-xml", "XML", "-base10"],
}

HEAD_TIME = re.compile(r' date="[^"]*" time="[^"]*">')
HEAD_IMAGE = re.compile(r' umounted_image="[^"]*"')


def listing(args):
    image = fixture("main.img")
    with tempfile.TemporaryDirectory() as tmp:
        xml = os.path.join(tmp, "out.xml")
        full = [a if a != "XML" else xml for a in args]
        r = run([full[0]] + ["-image", image] + full[1:] if not full[0].startswith("-")
                else ["-image", image] + full)
        if r.rc != 0:
            raise AssertionError("exit %d: %s" % (r.rc, r.err))
        text = r.out if "-filepath_only" in args else strip_header(r.out)
        if "XML" in args:
            with open(xml, "rb") as f:
                doc = f.read().decode("utf-8").replace("\r\n", "\n")
            body = strip_header(doc)
            ElementTree.fromstring(body.encode("utf-8"))  # well-formed once the header is skipped
            text = HEAD_IMAGE.sub(' umounted_image="IMG"', HEAD_TIME.sub(' date="D" time="T">', body))
        return text


class Goldens(unittest.TestCase):
    pass


def make_case(name, args):
    def test(self):
        got = listing(args)
        path = os.path.join(GOLDEN, name + ".txt")
        if UPDATE:
            with open(path, "w", encoding="utf-8", newline="\n") as f:
                f.write(got)
            return
        with open(path, encoding="utf-8", newline="\n") as f:
            self.assertEqual(got, f.read())
    return test


for _name, _args in CASES.items():
    setattr(Goldens, "test_" + _name, make_case(_name, _args))

if __name__ == "__main__":
    unittest.main(argv=[a for a in sys.argv if a != "--update"])
