"""Shared helpers for the end-to-end tests of the built binary.

The binary comes from BRELVIK_BIN; BRELVIK_RUNNER (for example "wine")
is put in front of it so the same tests drive the Windows build. Exit codes
are normalised to the unsigned byte the shell sees (-1 reads as 255).
"""
import os
import re
import shlex
import subprocess
import unittest

BIN = os.environ.get("BRELVIK_BIN", "")
RUNNER = shlex.split(os.environ.get("BRELVIK_RUNNER", ""))
FIXTURES = os.environ.get("BRELVIK_FIXTURE_DIR", "")
TESTDATA = os.environ.get("BRELVIK_TESTDATA_DIR", "")
SOURCE = os.environ.get("BRELVIK_SOURCE_DIR", "")
IS_WINDOWS_BUILD = BIN.lower().endswith(".exe")
WINE_NOISE = re.compile(r"wine client error:\d+: [^\n]*\n?|^wine: [^\n]*\n?", re.M)


class Result:
    def __init__(self, rc, out, err):
        self.rc = rc & 0xFF
        self.out_bytes = out
        self.err_bytes = err
        # The Windows build writes its console streams in text mode: the
        # decoded texts have their CRLF line ends folded to LF.
        self.out = out.decode("utf-8", "replace")
        self.err = err.decode("utf-8", "replace")
        if IS_WINDOWS_BUILD:
            self.out = self.out.replace("\r\n", "\n")
            self.err = self.err.replace("\r\n", "\n")
        if RUNNER:
            # wine's own complaints under load are not the program's output.
            self.err = WINE_NOISE.sub("", self.err)


def run(args, env=None, cwd=None, timeout=120, prefix=()):
    """Runs the binary; `prefix` goes in front of it (e.g. a command that
    drops rights)."""
    full_env = dict(os.environ)
    if RUNNER:
        full_env.setdefault("WINEDEBUG", "-all")
    if env:
        full_env.update(env)
    p = subprocess.run(list(prefix) + RUNNER + [BIN] + list(args), stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, env=full_env, cwd=cwd,
                       timeout=timeout)
    return Result(p.returncode, p.stdout, p.stderr)


def fixture(name):
    """Path of an unpacked fixture image; skips the test when it is absent."""
    p = os.path.join(FIXTURES, name)
    if not os.path.exists(p):
        raise unittest.SkipTest("fixture %s not available" % name)
    return p


def testdata(name):
    """Path of an unpacked shared image; skips the test when it is absent."""
    p = os.path.join(TESTDATA, name)
    if not os.path.exists(p):
        raise unittest.SkipTest("shared image %s not available" % name)
    return p


def strip_header(text):
    """The listing without the three run-header lines and the blank line after them."""
    lines = text.splitlines(keepends=True)
    return "".join(lines[4:]) if len(lines) >= 4 else ""


def sample_image():
    """A small NTFS volume to list: the main fixture, else a shared image."""
    for p in (os.path.join(FIXTURES, "main.img"),
              os.path.join(TESTDATA, "7-undel-ntfs", "7-ntfs-undel.dd")):
        if os.path.exists(p):
            return p
    raise unittest.SkipTest("no NTFS image available")
