"""FILE-record helpers for tests that edit NTFS images: undoing and
redoing the update sequence around an edit, and walking attributes."""
import struct


def fixup(rec):
    rec = bytearray(rec)
    usa, cnt = struct.unpack_from("<HH", rec, 4)
    for i in range(1, cnt):
        rec[i * 512 - 2:i * 512] = rec[usa + 2 * i:usa + 2 * i + 2]
    return rec


def unfix(rec):
    """Puts the update sequence back at each stride's end after an edit."""
    rec = bytearray(rec)
    usa, cnt = struct.unpack_from("<HH", rec, 4)
    seq = rec[usa:usa + 2]
    for i in range(1, cnt):
        rec[usa + 2 * i:usa + 2 * i + 2] = rec[i * 512 - 2:i * 512]
        rec[i * 512 - 2:i * 512] = seq
    return rec


def attributes(rec):
    off = struct.unpack_from("<H", rec, 20)[0]
    while off + 8 <= len(rec):
        t, ln = struct.unpack_from("<II", rec, off)
        if t == 0xFFFFFFFF or ln == 0:
            return
        yield t, off, ln
        off += ln


class NtfsImage:
    """An NTFS volume image held in memory, its MFT found through record
    0's runlist so that records past a fragment are found too."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = bytearray(f.read())
        bps, spc = struct.unpack_from("<HB", self.data, 11)
        self.cluster = bps * spc
        size = struct.unpack_from("<b", self.data, 64)[0]
        self.record = 1 << -size if size < 0 else size * self.cluster
        self.mft = struct.unpack_from("<Q", self.data, 48)[0] * self.cluster
        rec = fixup(self.data[self.mft:self.mft + self.record])
        self.runs = []
        for t, off, ln in attributes(rec):
            if t == 0x80:
                self.runs = data_runs(rec, off + struct.unpack_from("<H", rec, off + 32)[0])
                break

    def record_at(self, entry):
        at = entry * self.record
        for lcn, length in self.runs:
            if at < length * self.cluster:
                return lcn * self.cluster + at
            at -= length * self.cluster
        raise AssertionError("entry %d lies past the MFT" % entry)

    def edit_record(self, entry, change):
        at = self.record_at(entry)
        rec = fixup(self.data[at:at + self.record])
        change(rec)
        self.data[at:at + self.record] = unfix(rec)

    def attribute(self, entry, kind):
        at = self.record_at(entry)
        rec = fixup(self.data[at:at + self.record])
        for t, off, ln in attributes(rec):
            if t == kind:
                return rec, off, ln
        raise AssertionError("entry %d has no attribute 0x%x" % (entry, kind))


def data_runs(rec, pos):
    """The (first cluster, length) runs of the runlist at `pos`."""
    runs, lcn = [], 0
    while pos < len(rec) and rec[pos]:
        h = rec[pos]
        nl, no = h & 15, h >> 4
        length = int.from_bytes(rec[pos + 1:pos + 1 + nl], "little")
        lcn += int.from_bytes(rec[pos + 1 + nl:pos + 1 + nl + no], "little", signed=True)
        runs.append((lcn, length))
        pos += 1 + nl + no
    return runs
