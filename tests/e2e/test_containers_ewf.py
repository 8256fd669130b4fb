"""EWF (E01) images behind -image: sets written by ewfacquire list exactly as
the raw images they were made from, in every layout; damaged sets list
what they can and name each unreadable chunk once."""
import filecmp
import os
import re
import shutil
import struct
import subprocess
import unittest
import zlib

from brelvik_e2e import fixture, need_tool, run
from test_containers import ContainerCase

# The committed sets (tests/fixtures/README.md): first segment, the raw
# image it holds, the -offset of its NTFS volume.
SETS = (("main_e6_best.E01", "main.img", None), ("main_e5_none.E01", "main.img", None),
        ("main_ftk_empty.E01", "main.img", None), ("mbr_e6_fast.E01", "mbr.img", "0x4500000"),
        ("gpt4k_e6_best.E01", "gpt4k.img", "0x100000"), ("mftfrag_ftk_best.E01", "mftfrag.img", None))
DAMAGE = re.compile(r"^(.+): chunk (\d+) \(disk offset (0x[0-9a-f]+)\) unreadable \((.+)\), read as zeros$", re.M)
MORE = re.compile(r"^\.\.\. and (\d+) more unreadable chunks or blocks, read as zeros$", re.M)


def sections(path):
    """The bytes of one segment and its sections as (type, offset)."""
    with open(path, "rb") as f:
        data = f.read()
    off, out = 13, []
    while off + 76 <= len(data):
        kind = data[off:off + 16].rstrip(b"\0").decode()
        out.append((kind, off))
        nxt = struct.unpack_from("<Q", data, off + 16)[0]
        if nxt == off or kind in ("next", "done"):
            break
        off = nxt
    return data, out


def chunks(path):
    """Start offset and compressed flag of each chunk of the segment's tables."""
    data, secs = sections(path)
    out = []
    for kind, off in secs:
        if kind == "table":
            count, base = struct.unpack_from("<I4xQ", data, off + 76)
            for e in struct.unpack_from("<%dI" % count, data, off + 100):
                out.append((base + (e & 0x7FFFFFFF), e >> 31))
    return out


def patch(path, at, new):
    with open(path, "r+b") as f:
        f.seek(at)
        f.write(new)


def set_identifier(path, guid):
    """Writes `guid` into the volume and data sections of a segment, their
    checksums made to match (ewfacquire leaves the identifier zero)."""
    data, secs = sections(path)
    for kind, off in secs:
        if kind in ("volume", "data"):
            body = bytearray(data[off + 76:off + 76 + 1048])
            body[64:80] = guid
            patch(path, off + 76, bytes(body) + struct.pack("<I", zlib.adler32(bytes(body))))


def listing(image, *args):
    return run(["\\", "-image", image, "-level", "-2", "-filepath_only"] + list(args))


class CommittedSets(ContainerCase):
    def test_sets_hold_their_raw_images(self):
        need_tool("ewfverify", "ewfexport")
        for ewf, raw, _ in SETS:
            with self.subTest(set=ewf):
                subprocess.run(["ewfverify", "-q", fixture(ewf)], check=True, stdout=subprocess.DEVNULL)
                out = os.path.join(self.dir, "export")
                subprocess.run(["ewfexport", "-u", "-q", "-f", "raw", "-t", out, fixture(ewf)], check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                self.assertTrue(filecmp.cmp(out + ".raw", fixture(raw), shallow=False))
                os.remove(out + ".raw")

    def test_sets_list_as_their_raw_images(self):
        for ewf, raw, offset in SETS:
            with self.subTest(set=ewf):
                self.assert_lists_like(fixture(ewf), fixture(raw), extra=("-offset", offset) if offset else ())

    def test_offsets_suggested_entries_resolved_any_segment_named(self):
        for ewf, raw, offset in SETS:
            if offset:
                ours, theirs = run(["\\", "-image", fixture(ewf)]), run(["\\", "-image", fixture(raw)])
                self.assertEqual((ours.rc, ours.err), (255, theirs.err))
                self.assertIn("use option [-offset %s]" % offset, ours.err)
        for ewf, raw, extra in (("main_e5_none.E01", "main.img", ["-mft", "70"]),
                                ("mbr_e6_fast.E01", "mbr.img", ["-offset", "0x4500000", "-mft", "68"]),
                                ("mftfrag_ftk_best.E01", "mftfrag.img", ["-mft", "5000"]),
                                ("main_e5_none.E13", "main.img", ["\\", "-level", "-2", "-filepath_only"])):
            with self.subTest(set=ewf, args=extra):
                ours, theirs = run(["-image", fixture(ewf)] + extra), run(["-image", fixture(raw)] + extra)
                self.assertEqual(ours.rc, 0, ours.err)
                self.assertEqual(ours.out.splitlines()[3:], theirs.out.splitlines()[3:])
                self.assertEqual(ours.err, theirs.err)


class WrittenNow(ContainerCase):
    """Sets acquired by the test: every layout ewfacquire writes, names past
    .e99, a medium that is no whole number of chunks."""

    def acquire(self, raw, name, *options):
        need_tool("ewfacquire")
        target = os.path.join(self.dir, name)
        subprocess.run(["ewfacquire", "-u", "-q", "-t", target] + list(options) + [raw], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return [os.path.join(self.dir, n) for n in sorted(os.listdir(self.dir)) if n.startswith(name + ".")]

    def assert_paths_like(self, image, raw):
        ours, theirs = listing(image), listing(raw)
        self.assertEqual(ours.rc, 0, ours.err)
        self.assertEqual((ours.out.splitlines()[3:], ours.err), (theirs.out.splitlines()[3:], theirs.err))

    def test_every_format_compression_and_chunk_size(self):
        main = fixture("main.img")
        for form in (("ewf", "fast"), ("smart", "best"), ("encase2", "fast"), ("encase3", "none"),
                     ("encase4", "empty-block"), ("encase7", "best"), ("linen5", "fast"), ("linen6", "best"),
                     ("linen7", "none"), ("ewfx", "fast"), ("encase6", "best", "-b", "2048"),
                     ("ftk", "none", "-b", "32")):
            with self.subTest(form=form):
                name = "_".join(form).replace("-", "")
                first = self.acquire(main, name, "-f", form[0], "-c", form[1], *form[2:])[0]
                self.assert_paths_like(first, main)

    def test_chunks_so_large_the_cache_holds_four(self):
        # 4 MiB chunks: the chunk cache keeps its least of four, one of them
        # lent at most and one decoded ahead, while the listing's reads of
        # a fragmented MFT and a 10,000-entry folder jump between chunks.
        frag = fixture("mftfrag.img")
        self.assert_paths_like(self.acquire(frag, "large", "-f", "encase6", "-c", "best", "-b", "8192")[0], frag)

    def test_more_than_99_segments(self):
        padded = os.path.join(self.dir, "padded.raw")
        shutil.copyfile(fixture("main.img"), padded)
        os.truncate(padded, 115 << 20)
        names = self.acquire(padded, "many", "-f", "ewf", "-c", "fast", "-S", "1MiB")
        self.assertIn(os.path.join(self.dir, "many.eaa"), names)
        self.assert_paths_like(names[0], fixture("main.img"))

    def test_media_of_no_whole_number_of_chunks(self):
        cut = os.path.join(self.dir, "cut.raw")
        with open(fixture("main.img"), "rb") as f, open(cut, "wb") as g:
            g.write(f.read()[:-100])
        for compression in ("none", "best"):
            with self.subTest(compression=compression):
                self.assert_paths_like(self.acquire(cut, "cut_" + compression, "-c", compression)[0], cut)


class DamagedSets(ContainerCase):
    def copy(self, first):
        stem = first.rsplit(".", 1)[0]
        for n in os.listdir(os.path.dirname(fixture(first))):
            if n.startswith(stem + "."):
                shutil.copy(fixture(n), self.dir)
        return os.path.join(self.dir, first)

    def damage_of(self, r):
        self.assertEqual(r.rc, 0, r.err)
        self.assertNotIn("Traceback", r.err)
        return [(os.path.basename(m[0]), int(m[1]), m[3]) for m in DAMAGE.findall(r.err)]

    def test_bad_chunks_read_as_zeros_the_listing_goes_on(self):
        stored = self.copy("main_e5_none.E01")
        patch(stored, chunks(stored)[5][0] + 100, b"XXXX")
        deflated = self.copy("main_e6_best.E01")
        table = chunks(deflated)
        patch(deflated, table[6][0] - 4, b"XXXX")  # the Adler-32 closing chunk 5's zlib stream
        patch(deflated, table[7][0], b"\0\0")        # the zlib header of chunk 7
        data, secs = sections(deflated)
        for kind, off in secs:                      # chunk 8 past the end, in both tables
            if kind in ("table", "table2"):
                patch(deflated, off + 100 + 4 * 8, struct.pack("<I", 0x7FFFFFF0))
        for image, expected in ((stored, [("main_e5_none.E01", 5, "Adler-32 checksum mismatch")]),
                                (deflated, [("main_e6_best.E01", 5, "Adler-32 checksum mismatch"),
                                            ("main_e6_best.E01", 7, "bad deflate stream"),
                                            ("main_e6_best.E01", 8, "table entry points past the end of the file")])):
            with self.subTest(image=image):
                r = listing(image)
                self.assertEqual(sorted(self.damage_of(r)), expected)  # once each, the volume opened twice
                # Records of the chunks around are listed.
                self.assertIn("\\many\\entry_1600.txt\n", r.out)
                self.assertIn("\\docs\\reports\\large.log\n", r.out)

    def test_sectors_the_imager_could_not_read_are_said(self):
        # An "error2" section, as an imager writes for a failing disk, put
        # before the "done" section of the last segment: each stretch it
        # lists gets a line, as ewfinfo reads them, and the listing of the
        # sectors (the zeros the imager wrote) is unchanged.
        image = self.copy("main_e6_best.E01")
        sound = listing(image)
        data, secs = sections(image)
        kind, done = secs[-1]
        self.assertEqual(kind, "done")

        def descriptor(kind, nxt, size):
            d = bytearray(76)
            d[:len(kind)] = kind.encode()
            struct.pack_into("<QQ", d, 16, nxt, size)
            struct.pack_into("<I", d, 72, zlib.adler32(bytes(d[:72])))
            return bytes(d)

        def with_errors(stretches, spoil=False):
            head = bytearray(520)
            struct.pack_into("<I", head, 0, len(stretches))
            struct.pack_into("<I", head, 516, zlib.adler32(bytes(head[:516])) ^ (1 if spoil else 0))
            entries = b"".join(struct.pack("<II", first, n) for first, n in stretches)
            body = bytes(head) + entries + struct.pack("<I", zlib.adler32(entries))
            section = descriptor("error2", done + 76 + len(body), 76 + len(body)) + body
            with open(image, "wb") as f:
                f.write(data[:done] + section + descriptor("done", done + len(section), 0) + data[done + 76:])

        with_errors([(64, 64), (1000, 8), (49000, 152)])
        info = subprocess.run(["ewfinfo", image], capture_output=True, text=True).stdout
        oracle = [(int(a), int(b)) for a, b in re.findall(r"at sector\(s\): (\d+) - (\d+) number", info)]
        self.assertEqual(oracle, [(64, 127), (1000, 1007), (49000, 49151)])
        r = listing(image)
        self.assertEqual(r.rc, 0, r.err)
        self.assertEqual(r.out, sound.out)
        said = [(int(a), int(b), int(o, 16)) for a, b, o in re.findall(
            r"^.*main_e6_best\.E01: sectors (\d+) to (\d+) \(disk offset (0x[0-9a-f]+)\) could not be read "
            r"when the image was made, and hold zeros$", r.err, re.M)]
        self.assertEqual(said, [(a, b, a * 512) for a, b in oracle])

        with_errors([(64, 64)], spoil=True)
        r = listing(image)
        self.assertEqual(r.out, sound.out)
        self.assertIn("main_e6_best.E01: its list of the sectors that could not be read when the image was made "
                      "(error2 section) is damaged\n", r.err)

    def test_missing_truncated_and_foreign_segments(self):
        first = self.copy("main_e5_none.E01")
        second = os.path.join(self.dir, "main_e5_none.E02")
        kept = second + ".kept"
        os.rename(second, kept)
        r = listing(first)
        found = self.damage_of(r)
        self.assertEqual(len(found), 20)
        self.assertEqual({(f, why) for f, _, why in found}, {("main_e5_none.E02", "segment missing")})
        self.assertTrue(all(31 <= c < 62 for _, c, _ in found), found)  # E02's chunks only
        self.assertRegex(r.err, MORE)
        self.assertIn("\\docs\\readme.txt\n", r.out)  # the root's index lies in E04, placed from the end

        shutil.copyfile(kept, second)
        os.truncate(second, os.path.getsize(second) // 2)
        self.assertEqual({(f, why) for f, _, why in self.damage_of(listing(first))},
                         {("main_e5_none.E02", "segment file cut short")})

        # A segment of another acquisition (another set identifier) in
        # place of E04, which holds the root's index, is not read.
        os.replace(kept, second)
        set_identifier(first, b"A" * 16)
        set_identifier(os.path.join(self.dir, "main_e5_none.E04"), b"B" * 16)
        found = self.damage_of(listing(first))
        self.assertIn(("main_e5_none.E04", 96, "segment of another image (its set identifier differs)"), found)

    def test_segments_renamed_out_of_order_are_read_by_their_headers(self):
        # E02 and E03 swapped by name: ewfverify takes each segment's
        # number from its file header, and so does the listing.
        first = self.copy("main_e5_none.E01")
        raw = listing(fixture("main.img"))
        second, third = (os.path.join(self.dir, "main_e5_none.E0%d" % n) for n in (2, 3))
        os.rename(second, second + ".tmp")
        os.rename(third, second)
        os.rename(second + ".tmp", third)
        verify = subprocess.run(["ewfverify", "-q", first], capture_output=True, text=True)
        self.assertIn("SUCCESS", verify.stdout + verify.stderr)
        r = listing(first)
        self.assertEqual((r.rc, r.out.splitlines()[3:], r.err), (0, raw.out.splitlines()[3:], ""))

        # A header damaged into a number no segment has leaves its
        # segment where its name puts it, reported, the others in place.
        os.replace(third, second + ".tmp")
        os.replace(second, third)
        os.replace(second + ".tmp", second)
        patch(second, 9, struct.pack("<H", 40))
        r = listing(first)
        found = self.damage_of(r)
        self.assertEqual({(f, why) for f, _, why in found},
                         {("main_e5_none.E02", "its file header names segment 40")})
        self.assertTrue(all(31 <= c < 62 for _, c, _ in found), found)  # E02's chunks only
        self.assertIn("\\docs\\readme.txt\n", r.out)

    def test_damaged_descriptors_and_volume_sections(self):
        first = self.copy("main_e5_none.E01")
        raw = listing(fixture("main.img"))
        data, secs = sections(first)
        volume = dict(secs)["volume"]
        patch(first, volume + 76 + 8, b"\xff")  # its checksum fails: E02's data section stands in
        third = os.path.join(self.dir, "main_e5_none.E03")
        patch(third, dict(sections(third)[1])["table"] + 40, b"\1")
        r = listing(first)
        self.assertEqual((r.rc, r.out.splitlines()[3:], r.err), (0, raw.out.splitlines()[3:], ""))

        single = self.copy("main_e6_best.E01")
        for kind, off in sections(single)[1]:
            if kind in ("volume", "data"):
                patch(single, off + 76 + 8, b"\xff")
        r = listing(single)
        self.assertEqual(r.rc, 255)
        self.assertIn("main_e6_best.E01: EWF image without a readable volume section", r.err)


if __name__ == "__main__":
    unittest.main()
