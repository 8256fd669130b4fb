"""The Windows build under wine: the help runs of brelvik.exe.

Skipped unless BRELVIK_RUNNER names wine. The usage text goes to standard
error and the process ends with 0; the line looked for is the usage text's
"Usage:" line once the sources carry it, else the program name.
"""
import os
import pathlib
import unittest

import brelvik_e2e as e2e


def help_marker():
    cli = pathlib.Path(e2e.SOURCE or ".") / "cli"
    for p in list(cli.glob("*.cpp")) + list(cli.glob("*.hpp")):
        if '"Usage:' in p.read_text(encoding="utf-8", errors="replace"):
            return "Usage:"
    return "brelvik"


@unittest.skipUnless(any("wine" in os.path.basename(r) for r in e2e.RUNNER) and e2e.IS_WINDOWS_BUILD,
                     "needs the Windows build run under wine")
class windows_help_test(unittest.TestCase):
    def check_help(self, args):
        r = e2e.run(args)
        marker = help_marker()
        self.assertEqual(r.rc, 0, r.err)
        self.assertIn(marker, r.err)
        self.assertNotIn(marker, r.out)

    def test_dash_h(self):
        self.check_help(["-h"])

    def test_slash_question(self):
        self.check_help(["/?"])

    def test_no_arguments(self):
        self.check_help([])

    def test_utf16_argument_survives(self):
        # A non-ASCII argument travels through wmain's UTF-16 vector and the
        # program's converter; the help run must not stumble on it.
        self.check_help(["-h", "caf\u00e9 \u4e2d"])


if __name__ == "__main__":
    unittest.main()
