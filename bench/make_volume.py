#!/usr/bin/env python3
"""Builds, once, an NTFS image holding a given number of files in a
realistic tree, for the speed and memory measurements of bench/run.sh.

    bench/make_volume.py 200000            # prints the image's path
    bench/make_volume.py 20000 --dir /var/tmp/brelvik-bench

The image is made with mkntfs on a sparse file and filled through an
ntfs-3g mount (root and FUSE needed), then cached next to a marker file
that records how it was made: a second call with the same size and seed
prints the cached path at once. Images are large; keep them outside the
repository.

The tree: folders of 10 to 10,000 entries (most small, a few very large),
nested under each other at random; file names of every common shape,
some long (120 to 250 characters) and some non-ASCII; about 2% of the
files carry an alternate data stream, 1% have a second hard link in
another folder, 5% have a DOS 8.3 name, about 10% small (resident)
content and 1% content of a few clusters. Everything is drawn from a
seeded generator, so one size and seed always make the same tree.
"""

import argparse
import json
import math
import os
import random
import shutil
import subprocess
import sys
import time

# Folder sizes in entries: (share of folders, smallest, largest), drawn
# log-uniformly within each band.
FOLDER_BANDS = [(0.80, 10, 100), (0.17, 100, 1000), (0.03, 1000, 10000)]
# Shares of files with extras.
ADS_SHARE = 0.02
LINK_SHARE = 0.01
DOS_NAME_SHARE = 0.05
SMALL_DATA_SHARE = 0.10
LARGE_DATA_SHARE = 0.01
LONG_NAME_SHARE = 0.05
# Folders nest at most this deep below the root.
MAX_DEPTH = 12
# Image size: room for the MFT (1 KiB a record), the indexes and the data.
BYTES_PER_FILE = 6 * 1024
BASE_BYTES = 512 * 1024 * 1024
# Timestamps between 2005 and 2025.
TIME_LOW, TIME_HIGH = 1104537600, 1735689600
# A marker's layout version: bump when the tree's recipe changes.
RECIPE = 2

WORDS = ("report invoice photo scan backup draft final notes budget summary "
         "meeting minutes contract letter resume project plan design memo "
         "data export log archive setup readme license config cache thumb "
         "holiday family work school tax receipt statement order").split()
EXTENSIONS = ("txt docx xlsx pdf jpg png mp3 mp4 zip dll exe log ini xml json "
              "html css js py cpp h dat bin tmp lnk").split()
NON_ASCII = ["résumé", "Übersicht", "отчёт", "файл", "資料", "写真", "naïve café", "Ελληνικά", "日本語テキスト"]


def folder_size(rng):
    u = rng.random()
    for share, low, high in FOLDER_BANDS:
        if u < share:
            break
        u -= share
    return int(round(math.exp(rng.uniform(math.log(low), math.log(high)))))


def file_name(rng, index):
    """A unique name inside its folder: the index keeps it unique."""
    r = rng.random()
    ext = rng.choice(EXTENSIONS)
    if r < LONG_NAME_SHARE:
        words = []
        while sum(len(w) + 1 for w in words) < rng.randint(120, 240):
            words.append(rng.choice(WORDS))
        return ("_".join(words))[:240] + "_%d.%s" % (index, ext)
    r -= LONG_NAME_SHARE
    if r < 0.03:
        return "%s %d.%s" % (rng.choice(NON_ASCII), index, ext)
    if r < 0.30:
        return "IMG_%06d.%s" % (index, ext.upper())
    if r < 0.60:
        return "%s_%d.%s" % (rng.choice(WORDS), index, ext)
    return "%s %s (%d).%s" % (rng.choice(WORDS).capitalize(), rng.choice(WORDS), index, ext)


def folder_name(rng, index):
    r = rng.random()
    if r < 0.05:
        return "%s %d" % (rng.choice(NON_ASCII), index)
    if r < 0.10:
        return "_".join(rng.choice(WORDS) for _ in range(rng.randint(8, 20))) + "_%d" % index
    return "%s %s %d" % (rng.choice(WORDS).capitalize(), rng.choice(WORDS), index)


def plan_tree(files, seed):
    """Folders as (parent index, name, file count); folder 0 is the root."""
    rng = random.Random(seed)
    folders = [(-1, "", 0, 0)]  # parent, name, files, depth
    left = files
    while left > 0:
        n = min(folder_size(rng), left)
        # Parents are picked among the folders made so far; the root takes
        # a share of its own so the top level stays broad.
        parent = 0 if rng.random() < 0.05 else rng.randrange(len(folders))
        if folders[parent][3] >= MAX_DEPTH:
            parent = 0
        folders.append((parent, folder_name(rng, len(folders)), n, folders[parent][3] + 1))
        left -= n
    return folders


def populate(mnt, files, seed):
    rng = random.Random(seed + 1)
    folders = plan_tree(files, seed)
    paths = [mnt]
    made_files = []
    counts = {"folders": len(folders) - 1, "files": 0, "streams": 0, "links": 0, "dos_names": 0}
    for i, (parent, name, n, _depth) in enumerate(folders):
        if i:
            path = os.path.join(paths[parent], name)
            os.mkdir(path)
            paths.append(path)
        else:
            path = mnt
        for k in range(n):
            fname = file_name(rng, counts["files"])
            fpath = os.path.join(path, fname)
            fd = os.open(fpath, os.O_CREAT | os.O_WRONLY, 0o644)
            r = rng.random()
            if r < LARGE_DATA_SHARE:
                os.write(fd, os.urandom(rng.randint(4096, 16384)))
            elif r < LARGE_DATA_SHARE + SMALL_DATA_SHARE:
                os.write(fd, b"x" * rng.randint(1, 600))
            os.close(fd)
            counts["files"] += 1
            if rng.random() < ADS_SHARE:
                with open(fpath + ":Zone.Identifier", "wb") as s:
                    s.write(b"[ZoneTransfer]\r\nZoneId=3\r\n")
                counts["streams"] += 1
            if rng.random() < DOS_NAME_SHARE and len(fname) > 12:
                try:
                    os.setxattr(fpath, "system.ntfs_dos_name", b"F%06X.DAT" % (counts["files"] & 0xFFFFFF))
                    counts["dos_names"] += 1
                except OSError:
                    pass
            t = rng.randint(TIME_LOW, TIME_HIGH)
            os.utime(fpath, (t, t))
            made_files.append(fpath)
            if rng.random() < LINK_SHARE and len(paths) > 1:
                other = rng.choice(paths)
                try:
                    os.link(fpath, os.path.join(other, "link %d %s" % (counts["links"], fname[:100])))
                    counts["links"] += 1
                except OSError:
                    pass
    return counts


def wait_mounted(mnt, proc, seconds=20):
    end = time.time() + seconds
    while time.time() < end:
        if os.path.ismount(mnt):
            return True
        if proc.poll() is not None:
            return False
        time.sleep(0.05)
    return False


def build(image, files, seed):
    for tool in ("mkntfs", "ntfs-3g"):
        if not shutil.which(tool):
            sys.exit("make_volume: %s is missing (Debian package ntfs-3g)" % tool)
    size = BASE_BYTES + files * BYTES_PER_FILE
    tmp = image + ".part"
    mnt = image + ".mnt"
    if os.path.exists(tmp):
        os.remove(tmp)
    with open(tmp, "wb") as f:
        f.truncate(size)
    subprocess.run(["mkntfs", "-F", "-Q", "-q", "-c", "4096", "-L", "bench", tmp], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.makedirs(mnt, exist_ok=True)
    proc = subprocess.Popen(["ntfs-3g", "-o", "no_detach,big_writes,noatime,streams_interface=windows", tmp, mnt],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait_mounted(mnt, proc):
        proc.kill()
        sys.exit("make_volume: the ntfs-3g mount did not come up")
    start = time.time()
    try:
        counts = populate(mnt, files, seed)
    finally:
        subprocess.run(["umount", mnt], check=False)
        # ntfs-3g writes its last changes while it exits.
        proc.wait()
    counts["seconds"] = round(time.time() - start, 1)
    os.rmdir(mnt)
    os.replace(tmp, image)
    return counts


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("files", type=int, help="number of files to create")
    ap.add_argument("--dir", default=os.environ.get("BRELVIK_BENCH_DIR", "/var/tmp/brelvik-bench"),
                    help="where images are cached (default /var/tmp/brelvik-bench)")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    if args.files < 1:
        sys.exit("make_volume: the file count must be positive")
    os.makedirs(args.dir, exist_ok=True)
    image = os.path.join(args.dir, "vol-%d-s%d.img" % (args.files, args.seed))
    marker = image + ".json"
    if os.path.exists(image) and os.path.exists(marker):
        with open(marker) as f:
            if json.load(f).get("recipe") == RECIPE:
                print(image)
                return
    counts = build(image, args.files, args.seed)
    counts["recipe"] = RECIPE
    with open(marker, "w") as f:
        json.dump(counts, f)
    print("make_volume: %d files, %d folders, %d streams, %d links, %d DOS names in %.1f s" % (
        counts["files"], counts["folders"], counts["streams"], counts["links"], counts["dos_names"],
        counts["seconds"]), file=sys.stderr)
    print(image)


if __name__ == "__main__":
    main()
