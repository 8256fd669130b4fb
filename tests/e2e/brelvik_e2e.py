"""Shared helpers for the end-to-end tests of the built binary.

The binary comes from BRELVIK_BIN; BRELVIK_RUNNER (for example "wine")
is put in front of it so the same tests drive the Windows build. Exit codes
are normalised to the unsigned byte the shell sees (-1 reads as 255).
"""
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

BIN = os.environ.get("BRELVIK_BIN", "")
RUNNER = shlex.split(os.environ.get("BRELVIK_RUNNER", ""))
FIXTURES = os.environ.get("BRELVIK_FIXTURE_DIR", "")
TESTDATA = os.environ.get("BRELVIK_TESTDATA_DIR", "")
SOURCE = os.environ.get("BRELVIK_SOURCE_DIR", "")
IS_WINDOWS_BUILD = BIN.lower().endswith(".exe")
# Set by scripts/test.sh: an outside tool that is missing fails the test
# instead of skipping it.
REQUIRE_TOOLS = os.environ.get("BRELVIK_REQUIRE_TOOLS") == "1"
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


def run(args, env=None, cwd=None, timeout=120, prefix=(), stderr=subprocess.PIPE):
    """Runs the binary; `prefix` goes in front of it (e.g. a command that
    drops rights); `stderr` may name an open file to write to instead."""
    full_env = dict(os.environ)
    if RUNNER:
        full_env.setdefault("WINEDEBUG", "-all")
    if env:
        full_env.update(env)
    for attempt in range(3):
        p = subprocess.run(list(prefix) + RUNNER + [BIN] + list(args), stdout=subprocess.PIPE,
                           stderr=stderr, env=full_env, cwd=cwd,
                           timeout=timeout)
        result = Result(p.returncode, p.stdout, p.stderr or b"")
        # The program exits only with 0 or 255. Exit 1 with nothing but
        # wine's own noise on standard error is wine failing to start or
        # run it on a loaded machine: run it again rather than fail.
        if not (RUNNER and result.rc == 1 and stderr is subprocess.PIPE and not result.err.strip()):
            break
    return result


def run_with_terminal_stderr(args, timeout=120):
    """Runs the binary with a pseudo-terminal as standard error and returns
    what it wrote there as bytes, plus the exit code."""
    import pty
    full_env = dict(os.environ)
    if RUNNER:
        full_env.setdefault("WINEDEBUG", "-all")
    master, slave = pty.openpty()
    try:
        p = subprocess.Popen(RUNNER + [BIN] + list(args), stdout=subprocess.DEVNULL,
                             stderr=slave, stdin=subprocess.DEVNULL, env=full_env)
        os.close(slave)
        slave = -1
        chunks = []
        while True:
            try:
                b = os.read(master, 65536)
            except OSError:  # the other side closed
                break
            if not b:
                break
            chunks.append(b)
        rc = p.wait(timeout=timeout)
    finally:
        if slave >= 0:
            os.close(slave)
        os.close(master)
    return rc & 0xFF, b"".join(chunks)


def need_tool(*names):
    """Skips the test unless every named command is on PATH; fails it
    instead when the run requires every tool."""
    for name in names:
        if not shutil.which(name):
            if REQUIRE_TOOLS:
                raise AssertionError("%s is not installed (scripts/setup.sh installs it)" % name)
            raise unittest.SkipTest("%s is not installed" % name)


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


def xml_body(text):
    """The XML document a results file holds after the run header."""
    return text[text.index("<?xml"):]


class ImageCopyCase(unittest.TestCase):
    """A test on a copy of a fixture image held in memory: the subclass's
    setUp puts it in self.vol (an object with a `data` bytearray) after
    calling this one's; image() writes it out afresh to a scratch folder
    (self.dir) that is removed after the test."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="brelvik-copy-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def image(self):
        path = os.path.join(self.dir, "v.img")
        with open(path, "wb") as f:
            f.write(self.vol.data)
        return path
