"""The timeline layouts of every test volume against The Sleuth Kit.

The body file of a whole-volume listing must hold the lines that
fls -r -m / prints for every allocated entry, named data stream and
$FILE_NAME (entry number, name, size of files and streams, the four times),
mactime must read it without complaint, and the log2timeline CSV must parse
with 17 fields a line and carry every time of the body file. Both layouts
list the rows -csv lists for the same options, and hold nothing else.
"""
import csv
import datetime
import io
import os
import subprocess
import tempfile
import unittest

from brelvik_e2e import IS_WINDOWS_BUILD, fixture, need_tool, run
from test_listing_vs_tsk import VOLUMES

FN = " ($FILE_NAME)"
# fls turns a FILETIME of 0 on $MFT into this (the subtraction of the 1970
# offset wraps); a reader that knows 0 means "no time" writes 0.
FLS_WRAPPED_ZERO = 3373865674


def body_fields(line):
    """(name, entry, type, size, [atime, mtime, ctime, crtime]) of a body-file
    line; the name is what stands between the MD5 and the last nine fields,
    so a '|' left in it (fls leaves them) stays in the name."""
    f = line.split("|")
    name = "|".join(f[1:-9])
    inode, size = f[-9], int(f[-5])
    parts = inode.split("-")  # fls's virtual entries carry no attribute
    entry, attr_type = int(parts[0]), int(parts[1]) if len(parts) > 1 else 0
    times = [int(t) for t in f[-4:]]
    return name, entry, attr_type, size, f[-8], times


def fls_body(image, sector):
    """The lines of fls -m that a listing of allocated entries must match,
    keyed by name, and the names fls shows with an unknown name type (they
    may or may not be in a directory index)."""
    out = subprocess.run(["fls", "-f", "ntfs", "-r", "-m", "/", "-o", str(sector), image],
                         stdout=subprocess.PIPE, check=True).stdout.decode("utf-8", "replace")
    sure, maybe = {}, {}
    for line in out.splitlines():
        name, entry, attr_type, size, mode, times = body_fields(line)
        if name.endswith(" (deleted)") or name.endswith(" (realloc)") or name.startswith("/$OrphanFiles"):
            continue
        leaf = name.rsplit("/", 1)[-1]
        if leaf.startswith(".:"):  # a folder's own streams repeated inside it
            continue
        if ":" in leaf and attr_type != 128:  # index streams: rows only with -indx
            continue
        times = [0 if t == FLS_WRAPPED_ZERO else t for t in times]
        # Our rule for '|' in names.
        key = name.replace("|", ";")
        (maybe if mode.startswith("-/") else sure)[key] = (entry, attr_type, size, times)
    return sure, maybe


def our_body(image, sector, extra=()):
    r = run(["\\", "-image", image, "-offset", hex(sector * 512), "-level", "-2", "-bodyfile", "-quiet"]
            + list(extra), timeout=600)
    if r.rc != 0:
        raise AssertionError("listing failed: %s" % r.err)
    return r


def kind_of(name):
    if name.endswith(FN):
        return "fn"
    return "stream" if ":" in name.rsplit("/", 1)[-1] else "entry"


def folder_of(name):
    base = name[:-len(FN)] if name.endswith(FN) else name
    return base.rsplit("/", 1)[0].lower()


class TimelineAgainstTsk(unittest.TestCase):
    def setUp(self):
        need_tool("fls", "mactime")

    def volumes(self):
        found = [(i, s) for i, s in VOLUMES if os.path.exists(i)]
        if not found:
            self.skipTest("no test volumes")
        return found

    def test_body_file_against_fls_and_mactime(self):
        for image, sector in self.volumes():
            with self.subTest(image=os.path.basename(image), sector=sector):
                r = our_body(image, sector)
                self.assertEqual(r.out.count("brelvik ver"), 0, "the run header is not in the body file")
                self.assertIn("brelvik ver", r.err, "the run header goes to standard error")
                self.check_against_fls(image, sector, r.out)
                self.check_mactime(r.out)

    def check_against_fls(self, image, sector, body):
        sure, maybe = fls_body(image, sector)
        ours = {}
        for line in body.splitlines():
            self.assertEqual(len(line.split("|")), 11, line)
            name, entry, attr_type, size, mode, times = body_fields(line)
            self.assertEqual(line.split("|")[0], "0")
            self.assertEqual(mode, "d/drwxrwxrwx" if mode.startswith("d") else "r/rrwxrwxrwx")
            ours[name.replace("\\", "/")] = (entry, attr_type, size, times)

        # Hard links: fls prints an entry under each of its names in a folder;
        # the listing has one row per entry and folder, under one of them.
        sure_entries = {(v[0], folder_of(n)) for n, v in sure.items() if kind_of(n) == "entry"}
        our_entries = {(v[0], folder_of(n)) for n, v in ours.items() if kind_of(n) == "entry"}
        self.assertFalse(sure_entries - our_entries, "entries fls lists and the body file lacks")
        fls_fn_entries = {v[0] for n, v in list(sure.items()) + list(maybe.items()) if kind_of(n) == "fn"}

        for name, (entry, attr_type, size, times) in sorted(ours.items()):
            kind = kind_of(name)
            theirs = sure.get(name) or maybe.get(name)
            if theirs is None:
                if entry == 5 and name in ("/", "/" + FN):
                    continue  # fls does not list the root itself
                if kind == "entry" and attr_type == 16:
                    continue  # a file without unnamed data: fls prints no line for it
                if kind == "fn" and entry not in fls_fn_entries:
                    continue  # fls prints no $FILE_NAME line for this entry at all
                self.fail("%s (entry %d) is not in fls -m" % (name, entry))
            # fls names the extension record that holds a $FILE_NAME (and
            # then knows no name type for it); the line belongs to the base entry.
            if not (kind == "fn" and name in maybe):
                self.assertEqual(entry, theirs[0], name)
            self.assertEqual(times, theirs[3], name)
            if kind != "fn":  # fls gives a $FILE_NAME line the size of the entry's first name
                self.assertEqual(attr_type, theirs[1], name)
                self.assertEqual(size, theirs[2], name)
        for name, (entry, attr_type, size, times) in sure.items():
            if kind_of(name) != "entry":
                self.assertIn(name, ours, "%s line fls prints for entry %d" % (kind_of(name), entry))

    def check_mactime(self, body):
        with tempfile.NamedTemporaryFile("w", encoding="utf-8", suffix=".body", delete=False) as f:
            f.write(body)
        try:
            p = subprocess.run(["mactime", "-b", f.name, "-z", "UTC", "-d"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
        finally:
            os.unlink(f.name)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(p.stderr, b"", "mactime complains")
        rows = list(csv.reader(io.StringIO(p.stdout.decode("utf-8", "replace"))))
        self.assertEqual(rows[0][:2], ["Date", "Size"])
        # mactime makes one line of each distinct time of a body line, and
        # leaves out a line whose times are all 0.
        expected = sum(len(set(t)) for t in (body_fields(line)[5] for line in body.splitlines()) if any(t))
        self.assertEqual(len(rows) - 1, expected)

    def test_l2t_csv_carries_every_time_of_the_body_file(self):
        for image, sector in self.volumes():
            with self.subTest(image=os.path.basename(image), sector=sector):
                body = our_body(image, sector).out
                r = run(["\\", "-image", image, "-offset", hex(sector * 512), "-level", "-2", "-csvl2t",
                         "-alldates", "-quiet"], timeout=600)
                self.assertEqual(r.rc, 0, r.err)
                self.check_l2t(body, r.out)

    def check_l2t(self, body, l2t):
        rows = list(csv.reader(io.StringIO(l2t)))
        self.assertEqual(",".join(rows[0]), "date,time,timezone,MACB,source,sourcetype,type,user,host,short,"
                                            "desc,version,filename,inode,notes,format,extra")
        got = {}
        for row in rows[1:]:
            self.assertEqual(len(row), 17, row)
            date, time_, zone, macb, source, sourcetype = row[:6]
            self.assertEqual((zone, source), ("UTC", "FILE"))
            key = (int(row[13]), row[12].replace("|", ";"), sourcetype)
            got.setdefault(key, set()).add((date + " " + time_, macb))
        want = {}
        for line in body.splitlines():
            name, entry, attr_type, size, mode, times = body_fields(line)
            attribute = "$FILE_NAME" if name.endswith(FN) else "$STANDARD_INFORMATION"
            path = name[:-len(FN)] if name.endswith(FN) else name
            letters = {}
            for letter, t in zip("AMCB", times):  # body order: atime, mtime, ctime, crtime
                if t:
                    letters.setdefault(t, set()).add(letter)
            if letters:  # an entry without any time has no event to show
                want[(entry, path, attribute)] = {
                    (datetime.datetime.fromtimestamp(t, datetime.timezone.utc).strftime("%m/%d/%Y %H:%M:%S"),
                     "".join(c if c in shown else "." for c in "MACB"))
                    for t, shown in letters.items()}
        missing = [k for k in want if k not in got]
        self.assertFalse(missing[:5], "body-file rows without l2t lines")
        for k, shown in want.items():
            self.assertEqual(got.get(k), shown, k)


class TimelineRows(unittest.TestCase):
    """The rows of the timeline layouts are those of -csv, and their results
    hold only their own lines."""

    def csv_rows(self, args):
        # A TAB separator leaves names as they are.
        r = run(args + ["-csv", "-csv_separator", "tab", "-base10", "-quiet"])
        self.assertEqual(r.rc, 0, r.err)
        rows = []
        for line in r.out.splitlines()[5:]:
            f = line.split("\t")
            path = f[1]
            if len(path) > 1 and path.endswith("\\"):
                path = path[:-1]
            rows.append((int(f[5]), path.replace("|", ";")))
        return sorted(rows)

    def body_rows(self, args):
        r = run(args + ["-bodyfile", "-quiet"])
        self.assertEqual(r.rc, 0, r.err)
        rows = [body_fields(line) for line in r.out.splitlines()]
        return sorted((entry, name) for name, entry, *_ in rows if not name.endswith(FN))

    def test_same_rows_as_csv(self):
        image = fixture("main.img")
        for args in (["\\", "-level", "-2"], ["\\docs", "-level", "1"], ["\\links"], ["-mft", "81"],
                     ["\\", "-level", "-2", "-filter", "*.txt|*:zone.identifier"],
                     ["\\times", "-cmd_start_time", "2000/01/01"],
                     ["\\streams\\with_ads.txt:Zone.Identifier"], ["\\", "-level", "-2", "-indx"]):
            with self.subTest(args=args):
                args = args + ["-image", image]
                csv_rows = self.csv_rows(args)
                self.assertTrue(csv_rows)
                self.assertEqual(self.body_rows(args), csv_rows)

    def test_results_file_holds_only_the_layout(self):
        image = fixture("main.img")
        with tempfile.TemporaryDirectory() as folder:
            for layout, first in (("-bodyfile", b"0|\\docs|64-144-"), ("-csvl2t", b"date,time,timezone,MACB,")):
                with self.subTest(layout=layout):
                    path = os.path.join(folder, layout[1:] + ".txt")
                    r = run(["\\docs", "-image", image, layout, "-out", path])
                    self.assertEqual(r.rc, 0, r.err)
                    self.assertEqual(r.out, "")
                    self.assertIn("brelvik ver", r.err)
                    with open(path, "rb") as f:
                        data = f.read()
                    newline = b"\r\n" if IS_WINDOWS_BUILD else b"\n"
                    lines = data.split(newline)
                    self.assertEqual(lines[-1], b"")
                    self.assertNotIn(b"\n", b"".join(lines))
                    self.assertNotIn(b"brelvik ver", data)
                    self.assertTrue(lines[0].startswith(first), lines[0])
                    self.assertGreater(len(lines), 5)

    def test_no_items_leaves_the_results_empty(self):
        r = run(["\\docs\\empty.txt", "-image", fixture("main.img"), "-bodyfile", "-filter", "*.none"])
        self.assertEqual(r.rc, 0, r.err)
        self.assertEqual(r.out, "")
        self.assertIn("no items", r.err)


if __name__ == "__main__":
    unittest.main()
