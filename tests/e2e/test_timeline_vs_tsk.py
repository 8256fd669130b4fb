"""The timeline layouts of every test volume against The Sleuth Kit.

The body file of a whole-volume listing must hold the lines fls -r -m /
prints for every allocated entry, named data stream and $FILE_NAME (entry,
name, size of files and streams, the four times), mactime must read it
without complaint, and the log2timeline CSV must parse with 17 fields a line
and carry every time of the body file. Both list the rows of -csv.
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
# fls's reading of a FILETIME of 0 on $MFT: the subtraction of 1970 wraps.
FLS_WRAPPED_ZERO = 3373865674


def fields(line):
    """(name, entry, attribute type, size, mode, [atime, mtime, ctime, crtime]);
    a '|' that fls leaves in a name stays in it, as ';' (our rule)."""
    f = line.split("|")
    inode = f[-9].split("-") + ["0"]  # fls's virtual entries name no attribute
    return ("|".join(f[1:-9]).replace("|", ";"), int(inode[0]), int(inode[1]), int(f[-5]), f[-8],
            [int(t) for t in f[-4:]])


def kind(name):
    return "fn" if name.endswith(FN) else "stream" if ":" in name.rsplit("/", 1)[-1] else "entry"


def listing(image, sector, *args):
    r = run(["\\", "-image", image, "-offset", hex(sector * 512), "-level", "-2", "-quiet"] + list(args), timeout=600)
    if r.rc != 0:
        raise AssertionError("listing failed: %s" % r.err)
    return r


def fls_lines(image, sector):
    """fls -m lines by name, those of a known name type apart from the others."""
    out = subprocess.run(["fls", "-f", "ntfs", "-r", "-m", "/", "-o", str(sector), image],
                         stdout=subprocess.PIPE, check=True).stdout.decode("utf-8", "replace")
    sure, maybe = {}, {}
    for line in out.splitlines():
        name, entry, attr_type, size, mode, times = fields(line)
        leaf = name.rsplit("/", 1)[-1]
        # Deleted names, a folder's streams repeated inside it, index streams.
        if name.endswith((" (deleted)", " (realloc)")) or name.startswith("/$OrphanFiles") or \
                leaf.startswith(".:") or (":" in leaf and attr_type != 128):
            continue
        times = [0 if t == FLS_WRAPPED_ZERO else t for t in times]
        (maybe if mode.startswith("-/") else sure)[name] = (entry, attr_type, size, times)
    return sure, maybe


class TimelineAgainstTsk(unittest.TestCase):
    def test_every_volume(self):
        need_tool("fls", "mactime")
        volumes = [(i, s) for i, s in VOLUMES if os.path.exists(i)]
        if not volumes:
            self.skipTest("no test volumes")
        for image, sector in volumes:
            with self.subTest(image=os.path.basename(image), sector=sector):
                r = listing(image, sector, "-bodyfile")
                self.assertIn("brelvik ver", r.err, "the run header goes to standard error")
                self.check_fls(image, sector, r.out)
                self.check_mactime(r.out)
                self.check_l2t(r.out, listing(image, sector, "-csvl2t", "-alldates").out)

    def check_fls(self, image, sector, body):
        sure, maybe = fls_lines(image, sector)
        ours = {}
        for line in body.splitlines():
            self.assertEqual(line.count("|"), 10, line)
            name, entry, attr_type, size, mode, times = fields(line)
            self.assertIn(mode, ("d/drwxrwxrwx", "r/rrwxrwxrwx"))
            ours[name.replace("\\", "/")] = (entry, attr_type, size, times)
        # fls has a line per hard link; the listing one per entry and folder.
        folders = lambda lines: {(v[0], n.rsplit("/", 1)[0]) for n, v in lines.items() if kind(n) == "entry"}
        self.assertFalse(folders(sure) - folders(ours), "entries fls lists and the body file lacks")
        self.assertFalse({n for n in sure if kind(n) != "entry"} - set(ours), "streams or names the body file lacks")
        named = {v[0] for n, v in list(sure.items()) + list(maybe.items()) if kind(n) == "fn"}
        for name, (entry, attr_type, size, times) in ours.items():
            theirs = sure.get(name) or maybe.get(name)
            if theirs is None:
                # fls leaves out the root, files without unnamed data and the
                # names of an entry that has an attribute list.
                self.assertTrue(entry == 5 or (kind(name) == "entry" and attr_type == 16) or
                                (kind(name) == "fn" and entry not in named), "%s is not in fls -m" % name)
                continue
            self.assertEqual(times, theirs[3], name)
            if kind(name) != "fn":  # fls gives every name of an entry the size of one
                self.assertEqual((entry, attr_type, size), theirs[:3], name)
            elif name in sure:  # else fls names the extension record holding it
                self.assertEqual(entry, theirs[0], name)

    def check_mactime(self, body):
        with tempfile.NamedTemporaryFile("w", encoding="utf-8", suffix=".body", delete=False) as f:
            f.write(body)
        try:
            p = subprocess.run(["mactime", "-b", f.name, "-z", "UTC", "-d"], capture_output=True)
        finally:
            os.unlink(f.name)
        self.assertEqual((p.returncode, p.stderr), (0, b""), "mactime complains")
        # One line per distinct time of a body line; lines of only 0 left out.
        times = [fields(line)[5] for line in body.splitlines()]
        self.assertEqual(len(p.stdout.splitlines()) - 1, sum(len(set(t)) for t in times if any(t)))

    def check_l2t(self, body, l2t):
        rows = list(csv.reader(io.StringIO(l2t)))
        self.assertEqual(rows[0], "date,time,timezone,MACB,source,sourcetype,type,user,host,short,desc,version,"
                                  "filename,inode,notes,format,extra".split(","))
        got = {}
        for row in rows[1:]:
            self.assertEqual(len(row), 17, row)
            self.assertEqual((row[2], row[4]), ("UTC", "FILE"))
            got.setdefault((int(row[13]), row[12].replace("|", ";"), row[5]), set()).add((row[0] + " " + row[1], row[3]))
        for line in body.splitlines():
            name, entry, attr_type, size, mode, times = fields(line)
            letters = {}
            for letter, t in zip("AMCB", times):
                if t:  # a time of 0 makes no event
                    letters.setdefault(t, set()).add(letter)
            events = {(datetime.datetime.fromtimestamp(t, datetime.timezone.utc).strftime("%m/%d/%Y %H:%M:%S"),
                       "".join(c if c in shown else "." for c in "MACB")) for t, shown in letters.items()}
            key = (entry, name[:-len(FN)], "$FILE_NAME") if kind(name) == "fn" else \
                (entry, name, "$STANDARD_INFORMATION")
            self.assertEqual(got.get(key, set()), events, key)


class TimelineRows(unittest.TestCase):
    def rows(self, args, layout):
        r = run(args + layout + ["-quiet"])
        self.assertEqual(r.rc, 0, r.err)
        if layout[0] == "-bodyfile":
            lines = [fields(line) for line in r.out.splitlines()]
            return sorted((f[1], f[0]) for f in lines if not f[0].endswith(FN))
        found = [line.split("\t") for line in r.out.splitlines()[5:]]
        return sorted((int(f[5]), f[1][:-1] if len(f[1]) > 1 and f[1].endswith("\\") else f[1]) for f in found)

    def test_same_rows_as_csv(self):
        image = fixture("main.img")
        for args in (["\\", "-level", "-2", "-indx"], ["\\docs", "-level", "1"], ["-mft", "81"],
                     ["\\", "-level", "-2", "-filter", "*.txt|*:zone.identifier"],
                     ["\\times", "-cmd_start_time", "2000/01/01"], ["\\streams\\with_ads.txt:Zone.Identifier"]):
            with self.subTest(args=args):
                csv_rows = self.rows(args + ["-image", image], ["-csv", "-csv_separator", "tab", "-base10"])
                self.assertTrue(csv_rows)
                # CSV writes the listed entry's own streams after its folder
                # line alone: nothing for a file listed by its path, the
                # stream name only for the root. A body line names the path.
                start = args[0].rsplit(":", 1)[0]
                full = lambda p: p if p.startswith("\\") else start + p if p.startswith(":") else "\\:" + p
                self.assertEqual(self.rows(args + ["-image", image], ["-bodyfile"]),
                                 sorted((e, full(p).replace("|", ";")) for e, p in csv_rows))

    def test_results_file_holds_only_the_layout(self):
        with tempfile.TemporaryDirectory() as folder:
            for layout, first in (("-bodyfile", b"0|\\docs|64-144-"), ("-csvl2t", b"date,time,timezone,MACB,")):
                path = os.path.join(folder, "out.txt")
                r = run(["\\docs", "-image", fixture("main.img"), layout, "-out", path])
                self.assertEqual((r.rc, r.out), (0, ""), r.err)
                with open(path, "rb") as f:
                    lines = f.read().split(b"\r\n" if IS_WINDOWS_BUILD else b"\n")
                self.assertTrue(lines[0].startswith(first), lines[0])
                self.assertEqual((len(lines) > 5, lines[-1]), (True, b""))
                self.assertFalse([l for l in lines if b"\n" in l or b"\r" in l or b"brelvik ver" in l])


if __name__ == "__main__":
    unittest.main()
