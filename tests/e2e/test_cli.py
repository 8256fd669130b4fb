"""Command line of the built binary: help, run header, results file, timing."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from brelvik_e2e import BIN, IS_WINDOWS_BUILD, fixture, run, run_with_terminal_stderr, sample_image

CLEAR = "\x1b[2K\r    \r"
CONTROL = re.compile(rb"[\x00-\x09\x0b-\x1f\x7f]")


def header_lines(text):
    return text.splitlines()[:3]


class Help(unittest.TestCase):
    def test_usage_on_request_or_without_arguments(self):
        for args in ([], ["-h"], ["/?"], ["c:\\dir", "--help"], ["-HELP"]):
            with self.subTest(args=args):
                r = run(args)
                self.assertEqual(r.rc, 0)
                self.assertEqual(r.out, "")
                self.assertTrue(r.err.startswith("-" * 77 + "\n\n"))
                self.assertIn("  brelvik -?             = this help msg\n", r.err)
                self.assertTrue(r.err.endswith("use a pipe char for csv separator\n\n"))

    def test_question_mark_with_dash_is_not_help(self):
        # Taken for the path of a live volume, which then does not open.
        r = run(["-?"])
        self.assertNotIn("Usage:", r.err)


class Header(unittest.TestCase):
    def test_header_lines(self):
        r = run(["\\", "-image", sample_image(), "-dateformat", "yyyy mm dd"])
        self.assertEqual(r.rc, 0, r.err)
        banner, when, cmd = header_lines(r.out)
        self.assertIn("brelvik", banner)
        self.assertIn("1.45", banner)
        self.assertRegex(when, r": \d{4} \d\d \d\d \d\d:\d\d:\d\d\.\d{3}$")
        self.assertTrue(cmd.startswith('"') and cmd.endswith(" -dateformat 'yyyy mm dd'\""), cmd)
        self.assertEqual(r.out.splitlines()[3], "")

    def test_filepath_only_drops_header(self):
        r = run(["\\", "-image", sample_image(), "-filepath_only"])
        self.assertEqual(r.rc, 0, r.err)
        self.assertNotIn("brelvik", r.out)
        self.assertTrue(all(line.startswith("\\") for line in r.out.splitlines()), r.out)

    def test_xml_standing_last(self):
        r = run(["c:\\dir", "-xml"])
        self.assertEqual(r.rc, 255)
        lines = r.out.splitlines()
        self.assertIn("brelvik", lines[0])
        self.assertEqual(lines[3], "")
        self.assertEqual(lines[4], "Error: option requires an output file: -xml <output file>")

    def test_rejected_option_prints_header(self):
        r = run(["c:\\dir", "-sqlite", "db"])
        self.assertEqual(r.rc, 255)
        self.assertEqual(len(r.out.splitlines()), 4)
        self.assertIn("This option is not offered in this build\n", r.err)


class OptionValues(unittest.TestCase):
    def test_levels_below_minus_one_list_without_limit(self):
        # However low (the lowest 32-bit value, a value that saturates to
        # it, its hexadecimal form), a depth below -1 lists what -2 lists.
        whole = run(["\\", "-image", sample_image(), "-level", "-2", "-filepath_only"])
        self.assertEqual(whole.rc, 0, whole.err)
        for value in ("-3", "-2147483648", "-99999999999", "0x80000000"):
            with self.subTest(value=value):
                r = run(["\\", "-image", sample_image(), "-level", value, "-filepath_only"])
                self.assertEqual(r.rc, 0, r.err)
                self.assertNotIn("runtime error", r.err)
                self.assertEqual(r.out, whole.out)

    def test_every_csv_separator_splits_each_row_into_the_header_fields(self):
        # The names folder holds a quote, a ',', a '|', an 'é' and more:
        # none of them may add a field, whichever separator is chosen.
        for option, sep in ((";", ";"), ('"', '"'), ("é", "é"), ("tab", "\t"), ("|", "|"),
                            (",", ","), ("<->", "<->")):
            with self.subTest(separator=option):
                r = run(["\\names", "-image", sample_image(), "-csv", "-csv_separator", option])
                self.assertEqual(r.rc, 0, r.err)
                header, *rows = r.out.splitlines()[4:]
                self.assertEqual(header.count(sep), 16, header)
                self.assertGreater(len(rows), 10)
                # A row ends in a separator after its last field.
                self.assertEqual([l for l in rows if l.count(sep) != 17], [])

    def test_offset_entry_or_results_file_missing_at_the_end_fails_the_run(self):
        # None may fall back to the volume found, its root folder or the
        # console.
        for option, message in (("-offset", "invalid volume offset specified: \n"),
                                ("-mft", "invalid MFT entry specified: \n"),
                                ("-out", "option requires an output file: -out <output file>\n"),
                                ("-outfile", "option requires an output file: -outfile <output file>\n")):
            with self.subTest(option=option):
                r = run(["\\", "-image", sample_image(), option])
                self.assertEqual(r.rc, 255)
                self.assertIn(message, r.err)
                self.assertEqual(len(r.out.splitlines()), 4)

    def test_all_dates_after_multiline_keep_a_separator(self):
        # -alldates turns on the CSV; -multiline leaves it no separator of
        # its own, so it is written as -csv writes it.
        csv = run(["\\names", "-image", sample_image(), "-csv", "-alldates"])
        r = run(["\\names", "-image", sample_image(), "-multiline", "-alldates"])
        self.assertEqual(r.rc, 0, r.err)
        self.assertEqual(r.out.splitlines()[4:], csv.out.splitlines()[4:])

    def test_empty_csv_separator_keeps_the_layouts_own(self):
        plain = run(["\\names", "-image", sample_image(), "-csv"])
        r = run(["\\names", "-image", sample_image(), "-csv", "-csv_separator", ""])
        self.assertEqual(r.rc, 0, r.err)
        self.assertIn("invalid csv separator: empty, ignoring\n", r.err)
        self.assertEqual(r.out.splitlines()[4:], plain.out.splitlines()[4:])


class Files(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="brelvik_e2e_")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_results_file_in_missing_folder(self):
        path = os.path.join(self.dir, "missing", "out.txt")
        r = run(["x", "-out", path])
        self.assertEqual(r.rc, 255)
        # The Windows build writes host paths with backslashes.
        shown = path.replace("/", "\\") if IS_WINDOWS_BUILD else path
        self.assertIn("prob opening file %s for output, aborting\n" % shown, r.err)
        self.assertEqual(len(r.out.splitlines()), 4)
        # An XML file that cannot be made ends the run the same way, before
        # any of the listing goes anywhere else.
        r = run(["\\", "-image", sample_image(), "-xml", path])
        self.assertEqual(r.rc, 255)
        self.assertIn("prob opening file %s for output, aborting\n" % path, r.err)
        self.assertNotIn("<?xml", r.out)
        self.assertFalse(os.path.exists(os.path.dirname(path)))

    def test_messages_with_long_names_are_written_whole(self):
        # A start path or a results file of thousands of characters: the
        # run fails and says why, the name in full.
        long_path = "\\" + "\\".join(["d" * 200] * 30)
        r = run([long_path, "-image", sample_image()])
        self.assertEqual(r.rc, 255)
        self.assertEqual(r.err, "couldn't resolve path %s\n" % long_path)
        path = os.path.join(self.dir, "missing", *(["f" * 200] * 25))
        r = run(["x", "-out", path])
        self.assertEqual(r.rc, 255)
        shown = path.replace("/", "\\") if IS_WINDOWS_BUILD else path
        self.assertIn("prob opening file %s for output, aborting\n" % shown, r.err)

    def test_results_file_gets_header(self):
        path = os.path.join(self.dir, "out.txt")
        with open(path, "w") as f:
            f.write("old text that must go away " * 10)
        os.chmod(path, 0o444)
        r = run(["\\", "-image", sample_image(), "-out", path])
        self.assertEqual(r.rc, 0, r.err)
        self.assertEqual(r.out, "")
        with open(path, "rb") as f:
            data = f.read()
        newline = b"\r\n" if IS_WINDOWS_BUILD else b"\n"
        lines = data.split(newline)
        self.assertIn(b"brelvik", lines[0])
        self.assertEqual(lines[3], b"")
        self.assertIn(b"last modified [UTC]", lines[4])
        self.assertEqual(lines[-1], b"")
        self.assertNotIn(b"old text", data)

    def test_profile_and_diagnostics_log(self):
        log = os.path.join(self.dir, "diag.log")
        r = run(["\\", "-image", sample_image(), "-profile", "-diags", log])
        self.assertEqual(r.rc, 0, r.err)
        self.assertRegex(r.err, r"->\d+\.\d+ secs\n$")
        with open(log, "rb") as f:
            text = f.read().decode()
        first, rest = text.split("\n", 1)
        self.assertTrue(first.rstrip("\r").startswith("->"))
        self.assertTrue(first.rstrip("\r").endswith(" -profile -diags " + log))
        self.assertRegex(rest, r"->\d+\.\d+ secs$")

    def test_outputs_never_overwrite_a_file_being_read(self):
        # A results file, log or XML file named after the image (or another
        # segment, piece or VMDK file of it) would destroy the evidence:
        # the run refuses before it opens anything for writing.
        def copy(name, as_name=None):
            dest = os.path.join(self.dir, as_name or name)
            shutil.copyfile(fixture(name), dest)
            return dest
        image = copy("main.img", "evidence.img")
        for name in ("main_e5_none.E%02d" % k for k in range(1, 26)):
            copy(name)
        subprocess.run(["split", "-b", str(4 * 1024 * 1024), "-d", "-a", "3", "--numeric-suffixes=1",
                        fixture("main.img"), os.path.join(self.dir, "disk.")], check=True)
        for name in ("base.vmdk", "child.vmdk", "vdisk.vhd", "vdisk_child.vhd", "vdisk.vhdx", "vdisk_child.vhdx"):
            copy(name)
        beside = lambda name: os.path.join(self.dir, name)
        e01, e05 = (os.path.join(self.dir, "main_e5_none.E%02d" % k) for k in (1, 5))
        piece = os.path.join(self.dir, "disk.003")
        cases = [
            (["-image", image, "-out", image], image),
            (["-image", image, "-xml", os.path.join(self.dir, ".", "evidence.img")], image),
            (["-image", image, "-diags", image], image),
            (["-image", e01, "-out", e05], e05),
            (["-image", os.path.join(self.dir, "disk.001"), "-xml", piece], piece),
            (["-vmdk", os.path.join(self.dir, "child.vmdk"), "-outfile", os.path.join(self.dir, "child.vmdk")],
             os.path.join(self.dir, "child.vmdk")),
            # Parents the reader finds beside a differencing disk or snapshot.
            (["-image", beside("vdisk_child.vhd"), "-out", beside("vdisk.vhd")], beside("vdisk.vhd")),
            (["-image", beside("vdisk_child.vhdx"), "-diags", beside("vdisk.vhdx")], beside("vdisk.vhdx")),
            (["-image", beside("child.vmdk"), "-out", beside("base.vmdk")], beside("base.vmdk")),
        ]
        for args, victim in cases:
            with self.subTest(args=args):
                with open(victim, "rb") as f:
                    before = f.read()
                r = run(["\\"] + args)
                self.assertEqual(r.rc, 255)
                self.assertIn("it is a file of the image being read, aborting\n", r.err)
                with open(victim, "rb") as f:
                    self.assertEqual(f.read(), before)
        # Another file beside the image is written as before.
        out = os.path.join(self.dir, "evidence.txt")
        self.assertEqual(run(["\\", "-image", e01, "-out", out]).rc, 0)
        self.assertGreater(os.path.getsize(out), 1000)

    @unittest.skipIf(IS_WINDOWS_BUILD or not os.path.exists("/dev/full"), "needs /dev/full and symbolic links")
    def test_results_file_named_by_a_link_stays_a_link(self):
        # The probe of the results file takes away a plain file only: the
        # link stays, and the listing reaches the file it points to.
        target = os.path.join(self.dir, "target.txt")
        link = os.path.join(self.dir, "link.txt")
        with open(target, "w") as f:
            f.write("old")
        os.symlink(target, link)
        r = run(["\\", "-image", sample_image(), "-out", link])
        self.assertEqual(r.rc, 0, r.err)
        self.assertTrue(os.path.islink(link))
        with open(target, "rb") as f:
            self.assertIn(b"last modified [UTC]", f.read())

    @unittest.skipIf(IS_WINDOWS_BUILD or not os.path.exists("/dev/full"), "needs /dev/full and symbolic links")
    def test_output_that_cannot_be_written_fails_the_run(self):
        # A full disk leaves the listing incomplete: the run says so and
        # ends with -1, whichever stream the listing went to.
        full_link = os.path.join(self.dir, "full")
        os.symlink("/dev/full", full_link)
        for layout in ([], ["-csv"], ["-bodyfile"], ["-csvl2t"], ["-filepath_only"]):
            with self.subTest(layout=layout), open("/dev/full", "wb") as full:
                p = subprocess.run([BIN, "\\", "-image", sample_image(), "-level", "-2"] + layout,
                                   stdout=full, stderr=subprocess.PIPE, timeout=120)
                self.assertEqual(p.returncode & 0xFF, 255)
                self.assertEqual(p.stderr.decode().splitlines()[-1], "prob writing the output, the listing is incomplete")
        r = run(["\\", "-image", sample_image(), "-out", full_link])
        self.assertEqual(r.rc, 255)
        self.assertIn("prob writing the output, the listing is incomplete\n", r.err)
        self.assertTrue(os.path.islink(full_link))
        r = run(["\\", "-image", sample_image(), "-xml", "/dev/full"])
        self.assertEqual(r.rc, 255)
        self.assertIn("prob writing xml file: /dev/full, the listing is incomplete\n", r.err)
        # The same listing written where there is room ends with 0.
        self.assertEqual(run(["\\", "-image", sample_image(), "-xml", os.devnull]).rc, 0)

    def test_vmdk_that_does_not_open(self):
        r = run(["x", "-vmdk", "a.vmdk|b.vmdk"])
        self.assertEqual(r.rc, 255)
        self.assertIn("a.vmdk can't be opened\n", r.err)


class StandardError(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="brelvik_e2e_")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_redirected_error_log_holds_no_control_bytes(self):
        log = os.path.join(self.dir, "err.txt")
        with open(log, "wb") as f:
            r = run(["\\", "-image", os.path.join(self.dir, "missing.img")], stderr=f)
        self.assertEqual(r.rc, 255)
        with open(log, "rb") as f:
            data = f.read()
        if IS_WINDOWS_BUILD:
            data = data.replace(b"\r\n", b"\n")
        self.assertTrue(data.strip(), "the failure is reported")
        self.assertIsNone(CONTROL.search(data), repr(data))

    def test_progress_line_cleared_only_on_a_terminal_and_unless_quiet(self):
        image = sample_image()
        piped = run(["\\", "-image", image, "-level", "-2"])
        self.assertEqual(piped.rc, 0, piped.err)
        self.assertNotIn("\x1b", piped.err)
        rc, err = run_with_terminal_stderr(["\\", "-image", image])
        self.assertEqual(rc, 0, err)
        if IS_WINDOWS_BUILD and CLEAR.encode() not in err:
            self.skipTest("wine gives this pseudo-terminal no console")
        self.assertTrue(err.endswith(CLEAR.encode()), repr(err))
        rc, quiet = run_with_terminal_stderr(["\\", "-image", image, "-quiet"])
        self.assertEqual(rc, 0, quiet)
        self.assertNotIn(CLEAR.encode(), quiet)


if __name__ == "__main__":
    unittest.main()
