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
