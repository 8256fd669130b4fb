#!/usr/bin/env python3
"""Builds, once, an NTFS image holding a given number of files in a
tree of a chosen shape, for the speed and memory measurements of
bench/run.sh.

    bench/make_volume.py 200000            # prints the image's path
    bench/make_volume.py 20000 --dir /var/tmp/brelvik-bench
    bench/make_volume.py 200000 --shape uniform --folder-size 100
    bench/make_volume.py 200000 --shape grid --grid 40x50x100

The image is made with mkntfs on a sparse file and filled through an
ntfs-3g mount (root and FUSE needed), then cached next to a marker file
that records how it was made: a second call with the same size and seed
prints the cached path at once. Images are large; keep them outside the
repository. The image's name says its size, shape and seed:
vol-200000-s1.img (mixed), vol-200000-uniform100-s1.img,
vol-200000-grid40x50x100-s1.img.

The mixed tree (the default): folders of 10 to 10,000 entries (most small, a few very large),
nested under each other at random; file names of every common shape,
some long (120 to 250 characters) and some non-ASCII; about 2% of the
files carry an alternate data stream, 1% have a second hard link in
another folder, 5% have a DOS 8.3 name, about 10% small (resident)
content and 1% content of a few clusters.

The uniform tree (--shape uniform --folder-size K): a balanced tree in
which every folder holds exactly K entries, the leaf folders K files and
the folders above them K subfolders; only the last folder of each level
(and the root) may hold fewer, so that the files add up to N. Names are
the mixed tree's shapes; the files are empty and carry no streams, links
or DOS names, so that the folder size is the only thing that varies.

The grid tree (--shape grid --grid AxBxC): A folders in the root, B
subfolders in each, C files in each subfolder. N is normally A*B*C; for
another N, C becomes N/(A*B) rounded up, the last subfolders partial, and
the image's name gives the C used. Every name is 20 to 40 characters of
random words, unique within its folder; the files are empty, with random
timestamps.

Everything is drawn from a seeded generator, so one size, shape and seed
always make the same tree.
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


def uniform_plan(files, k):
    """Folders as (parent index, level) for a balanced tree of K entries a
    folder: level 0 holds the leaves, the highest level sits in the root
    (folder 0). Returned top level first, so parents precede children."""
    counts = [-(-files // k)]
    while counts[-1] > k:
        counts.append(-(-counts[-1] // k))
    folders = [(-1, len(counts))]
    first = {len(counts): 0}  # index of the first folder of each level
    for level in range(len(counts) - 1, -1, -1):
        first[level] = len(folders)
        for j in range(counts[level]):
            parent = 0 if level == len(counts) - 1 else first[level + 1] + j // k
            folders.append((parent, level))
    return folders


def grid_name(rng, taken, ext=None):
    """A name of 20 to 40 characters of words, not yet in TAKEN (a set of
    lower-case names, as NTFS compares names case-insensitively)."""
    while True:
        target = rng.randint(20, 40)
        tail = "." + ext if ext else ""
        words = []
        while len("_".join(words)) + len(tail) < target:
            words.append(rng.choice(WORDS) if rng.random() < 0.7 else rng.choice(WORDS).capitalize())
        name = "_".join(words)[:target - len(tail)].rstrip("_") + tail
        if len(name) >= 20 and name.lower() not in taken:
            taken.add(name.lower())
            return name


def make_file(path, t):
    os.close(os.open(path, os.O_CREAT | os.O_WRONLY, 0o644))
    os.utime(path, (t, t))


def populate_uniform(mnt, files, k, seed):
    rng = random.Random(seed + 1)
    plan = uniform_plan(files, k)
    paths = [mnt]
    made = 0
    for i, (parent, level) in enumerate(plan):
        if i:
            path = os.path.join(paths[parent], folder_name(rng, i))
            os.mkdir(path)
            paths.append(path)
        if level == 0:
            for _ in range(min(k, files - made)):
                make_file(os.path.join(paths[i], file_name(rng, made)), rng.randint(TIME_LOW, TIME_HIGH))
                made += 1
    return {"folders": len(plan) - 1, "files": made, "streams": 0, "links": 0, "dos_names": 0}


def populate_grid(mnt, files, grid, seed):
    a, b, c = grid
    rng = random.Random(seed + 1)
    made = folders = 0
    top_names = set()
    for _ in range(a):
        top = os.path.join(mnt, grid_name(rng, top_names))
        os.mkdir(top)
        folders += 1
        sub_names = set()
        for _ in range(b):
            sub = os.path.join(top, grid_name(rng, sub_names))
            os.mkdir(sub)
            folders += 1
            names = set()
            for _ in range(min(c, files - made)):
                make_file(os.path.join(sub, grid_name(rng, names, rng.choice(EXTENSIONS))),
                          rng.randint(TIME_LOW, TIME_HIGH))
                made += 1
    return {"folders": folders, "files": made, "streams": 0, "links": 0, "dos_names": 0}


def wait_mounted(mnt, proc, seconds=20):
    end = time.time() + seconds
    while time.time() < end:
        if os.path.ismount(mnt):
            return True
        if proc.poll() is not None:
            return False
        time.sleep(0.05)
    return False


def build(image, files, seed, fill, folders):
    for tool in ("mkntfs", "ntfs-3g"):
        if not shutil.which(tool):
            sys.exit("make_volume: %s is missing (Debian package ntfs-3g)" % tool)
    # Folders take an MFT record and an index each, as files take a record.
    size = BASE_BYTES + (files + folders) * BYTES_PER_FILE
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
        counts = fill(mnt)
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
    ap.add_argument("--shape", choices=("mixed", "uniform", "grid"), default="mixed",
                    help="the tree's shape (default mixed)")
    ap.add_argument("--folder-size", type=int, default=100,
                    help="entries in every folder of the uniform tree (default 100)")
    ap.add_argument("--grid", default="40x50x100",
                    help="AxBxC: top folders, subfolders in each, files in each (default 40x50x100)")
    args = ap.parse_args()
    if args.files < 1:
        sys.exit("make_volume: the file count must be positive")
    n = args.files
    if args.shape == "mixed":
        tag = ""
        fill = lambda mnt: populate(mnt, n, args.seed)
        folders = 0  # the mixed recipe's size, unchanged for its cached images
    elif args.shape == "uniform":
        k = args.folder_size
        if k < 2:
            sys.exit("make_volume: the folder size must be at least 2")
        tag = "-uniform%d" % k
        fill = lambda mnt: populate_uniform(mnt, n, k, args.seed)
        folders = len(uniform_plan(n, k))
    else:
        try:
            a, b, c = (int(x) for x in args.grid.lower().split("x"))
        except ValueError:
            sys.exit("make_volume: --grid takes AxBxC, e.g. 40x50x100")
        if min(a, b, c) < 1:
            sys.exit("make_volume: the grid's counts must be positive")
        if a * b * c != n:
            c = -(-n // (a * b))
        tag = "-grid%dx%dx%d" % (a, b, c)
        fill = lambda mnt: populate_grid(mnt, n, (a, b, c), args.seed)
        folders = a + a * b
    os.makedirs(args.dir, exist_ok=True)
    image = os.path.join(args.dir, "vol-%d%s-s%d.img" % (n, tag, args.seed))
    marker = image + ".json"
    if os.path.exists(image) and os.path.exists(marker):
        with open(marker) as f:
            if json.load(f).get("recipe") == RECIPE:
                print(image)
                return
    counts = build(image, n, args.seed, fill, folders)
    counts["recipe"] = RECIPE
    counts["shape"] = tag[1:] or "mixed"
    with open(marker, "w") as f:
        json.dump(counts, f)
    print("make_volume: %d files, %d folders, %d streams, %d links, %d DOS names in %.1f s" % (
        counts["files"], counts["folders"], counts["streams"], counts["links"], counts["dos_names"],
        counts["seconds"]), file=sys.stderr)
    print(image)


if __name__ == "__main__":
    main()
