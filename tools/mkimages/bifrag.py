"""Images of JPEGs stored in pieces, with no file system.

bifrag.img: pictures made with cjpeg (4:2:0, 4:2:2 and 4:4:4 sampling,
optimised tables, restart markers, one larger than the pass decodes at once)
split at random sector and cluster boundaries inside their coded data, with a
random gap of noise, zeros or another whole JPEG between the pieces; one
picture stored in three pieces; a whole one as a control. Each manifest
entry's note is "split <first piece sectors> <second piece's first sector>",
"three <first piece sectors> <second piece's first sector> <second piece
sectors>", "whole" or "in-gap".

splices.img: 100 joins of the head of one picture and the tail of another at
random sector or cluster offsets, with a gap between them. Heads and tails
come from two pools of different pictures, so no join is a real picture; half
the joins take the tail of a picture made with the same size, quality,
sampling and restart interval as the head's (the same tables and MCU grid).
Each entry is the head alone, its note "splice". PNG and ZIP splices
follow the JPEG ones (pieces.py).
"""
import os
import random

import pieces
from pieces import align, pad
from lib import run, sha256_bytes, Entry, write_manifest, SECTOR


def make_jpeg(tmp, name, seed, size, quality, sample="2x2", restart=False, optimize=False):
    ppm = os.path.join(tmp, name + ".ppm")
    out = os.path.join(tmp, name + ".jpg")
    run("convert", "-seed", str(seed), "-size", "%dx%d" % size, "plasma:fractal", ppm)
    args = ["cjpeg", "-quality", str(quality), "-sample", sample]
    if restart:
        args += ["-restart", "1"]  # a restart marker after every MCU row
    if optimize:
        args += ["-optimize"]
    run(*args, "-outfile", out, ppm)
    os.remove(ppm)
    return open(out, "rb").read()


def scan_start(data):
    """The offset of the first scan's coded data (just past its SOS segment)."""
    i = data.index(b"\xff\xda")
    return i + 2 + (data[i + 2] << 8 | data[i + 3])


def cut_in_scan(r, data, step):
    """A multiple of step inside the coded data, the EOI always after it."""
    lo = -(-(scan_start(data) + 64) // step)
    hi = (len(data) - 2) // step
    assert lo <= hi, (len(data), step)
    return step * r.randint(lo, hi)


def build_splits(out, tmp, r):
    pics = [
        make_jpeg(tmp, "p0", 1000, (240, 180), 85),
        make_jpeg(tmp, "p1", 1001, (320, 240), 90, restart=True),
        make_jpeg(tmp, "p2", 1002, (320, 240), 80, sample="1x1"),
        make_jpeg(tmp, "p3", 1003, (240, 180), 92, sample="2x1"),
        make_jpeg(tmp, "p4", 1004, (320, 240), 85, optimize=True),
        make_jpeg(tmp, "p5", 1005, (160, 120), 75),
        make_jpeg(tmp, "p6", 1006, (480, 360), 85, restart=True),
        # Larger than the pass decodes at once.
        make_jpeg(tmp, "big", 1077, (900, 700), 95),
    ]
    inner = [make_jpeg(tmp, "in%d" % i, 1100 + i, (200, 150), 80) for i in range(4)]
    three = make_jpeg(tmp, "three", 1200, (480, 360), 88)
    blob = bytearray(r.randbytes(32 * SECTOR))
    entries = []

    cases = [  # (picture, cluster bytes, gap kind)
        (0, 512, "noise"), (1, 512, "noise"), (2, 4096, "zeros"), (3, 4096, "jpeg"), (4, 2048, "noise"),
        (5, 512, "jpeg"), (1, 4096, "zeros"), (6, 8192, "noise"), (7, 4096, "noise"), (2, 1024, "noise"),
        (4, 512, "zeros"), (6, 4096, "jpeg"),
    ]
    used_inner = 0
    for pic, cluster, kind in cases:
        data = pics[pic]
        align(blob, r, cluster)
        first = len(blob) // SECTOR
        cut = cut_in_scan(r, data, cluster)
        gap = (None, None)
        if kind == "jpeg":
            gap = (inner[used_inner % len(inner)], "inner%d.jpg" % first)
            used_inner += 1
        pieces.plant_split(blob, entries, r, data, "jpg", cut, cluster, kind, *gap)
        blob.extend(b"\0" * (2 * SECTOR))
        blob.extend(r.randbytes(8 * SECTOR))

    # Three pieces: the search reaches as far as the second piece goes.
    align(blob, r, 4096)
    first = len(blob) // SECTOR
    start = scan_start(three)
    cut1 = 4096 * (-(-(start + 64) // 4096) + 2)
    cut2 = cut1 + 4096 * 4
    assert cut2 + 4096 < len(three), len(three)
    blob.extend(three[:cut1])
    blob.extend(r.randbytes(4096 * 3))
    second = len(blob) // SECTOR
    blob.extend(three[cut1:cut2])
    blob.extend(b"\0" * 4096 * 2)
    blob.extend(pad(three[cut2:]))
    entries.append(Entry("deleted", "/", "three%d.jpg" % first, len(three), sha256_bytes(three), first, "jpg", "",
                         "three %d %d %d" % (cut1 // SECTOR, second, (cut2 - cut1) // SECTOR)))
    blob.extend(r.randbytes(8 * SECTOR))

    control = inner[-1]
    align(blob, r, SECTOR)
    entries.append(Entry("deleted", "/", "whole.jpg", len(control), sha256_bytes(control), len(blob) // SECTOR, "jpg",
                         "", "whole"))
    blob.extend(pad(control))
    blob.extend(r.randbytes(32 * SECTOR))
    with open(os.path.join(out, "bifrag.img"), "wb") as f:
        f.write(blob)
    write_manifest(os.path.join(out, "bifrag.img.manifest"),
                   {"image": "bifrag.img", "fs": "none", "volumeStartSector": 0, "noiseSeed": 4242}, entries)


def build_splices(out, tmp, r):
    # Twelve kinds of picture; of each, one picture for the heads' pool and
    # one for the tails'.
    sizes = [(160, 120), (240, 180), (320, 240), (480, 360)]
    kinds = []
    for k in range(12):
        kinds.append(dict(size=sizes[k % 4], quality=(70, 85, 92)[k % 3], sample=("2x2", "2x1", "1x1")[(k // 4) % 3],
                          restart=k % 4 == 1, optimize=k % 5 == 2))
    heads = [make_jpeg(tmp, "h%d" % k, 3000 + k, **kinds[k]) for k in range(len(kinds))]
    tails = [make_jpeg(tmp, "t%d" % k, 4000 + k, **kinds[k]) for k in range(len(kinds))]
    blob = bytearray(r.randbytes(16 * SECTOR))
    entries = []
    for n in range(100):
        a = r.randrange(len(heads))
        b = a if n % 2 == 0 else r.randrange(len(tails))
        head, tail = heads[a], tails[b]
        step = r.choice([SECTOR, SECTOR, 2048, 4096])
        while step > SECTOR and min(len(head), len(tail)) < 3 * step:  # a small picture is cut at sectors
            step //= 2
        blob.extend(r.randbytes(-len(blob) % step))
        cut_a = cut_in_scan(r, head, step)
        cut_b = cut_in_scan(r, tail, step)
        first = len(blob) // SECTOR
        blob.extend(head[:cut_a])
        gap = step * (1 + r.randrange(4))
        blob.extend(b"\0" * gap if n % 3 == 0 else r.randbytes(gap))
        blob.extend(pad(tail[cut_b:]))
        entries.append(Entry("deleted", "/", "splice%d.jpg" % first, cut_a, sha256_bytes(head[:cut_a]), first, "jpg",
                             "", "splice"))
        blob.extend(r.randbytes((4 + r.randrange(8)) * SECTOR))
    pieces.splices(os.path.join(tmp, "pieces-splices"), r, blob, entries)
    with open(os.path.join(out, "splices.img"), "wb") as f:
        f.write(blob)
    write_manifest(os.path.join(out, "splices.img.manifest"),
                   {"image": "splices.img", "fs": "none", "volumeStartSector": 0, "noiseSeed": 4242}, entries)


def build(out, tmp):
    os.makedirs(tmp, exist_ok=True)
    r = random.Random(4242)
    build_splits(out, tmp, r)
    build_splices(out, tmp, r)
