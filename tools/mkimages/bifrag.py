"""Images of JPEGs stored in two pieces, with no file system.

bifrag.img: ImageMagick JPEGs (one with a restart marker every MCU row, one
larger than the pass decodes at once) split at sector and cluster
boundaries, a gap of noise, zeros or another whole JPEG between the pieces,
and a whole one as a control. Each manifest entry's note is
"split <first piece sectors> <second piece's first sector>", "whole" or
"in-gap". splices.img: the first part of one JPEG, a gap, then the second
part of another of the same size and quality, each splice's note "splice";
none is one picture.
"""
import os
import random

from lib import run, sha256_bytes, Entry, write_manifest, SECTOR


def make_jpegs(tmp, r, count):
    os.makedirs(tmp, exist_ok=True)
    out = []
    for i in range(count):
        w, h = r.choice([(160, 120), (240, 180), (320, 200)])
        path = os.path.join(tmp, "pic%02d.jpg" % i)
        args = ["convert", "-seed", str(1000 + i), "-size", "%dx%d" % (w, h), "plasma:fractal",
                "-quality", str(r.choice([70, 85, 92]))]
        if i == 1:
            args += ["-define", "jpeg:restart-interval=1"]
        run(*args, path)
        out.append(open(path, "rb").read())
    big = os.path.join(tmp, "big.jpg")
    run("convert", "-seed", "77", "-size", "900x700", "plasma:fractal", "-quality", "95", big)
    out.append(open(big, "rb").read())
    return out


def pad(data):
    return data + b"\0" * (-len(data) % SECTOR)


def build(out, tmp):
    r = random.Random(4242)
    pics = make_jpegs(tmp, r, 10)
    blob = bytearray(r.randbytes(32 * SECTOR))
    entries = []

    def align(cluster):
        blob.extend(r.randbytes(-len(blob) % cluster))

    def gap_bytes(kind, nsec):
        if kind == "zeros":
            return b"\0" * (nsec * SECTOR)
        return r.randbytes(nsec * SECTOR)

    cases = [  # (picture, cluster bytes, gap kind)
        (0, SECTOR, "noise"), (1, SECTOR, "noise"), (2, 4096, "zeros"), (3, 4096, "jpeg"),
        (4, 2048, "noise"), (5, SECTOR, "jpeg"), (1, 4096, "zeros"), (8, 8192, "noise"),
        (10, 4096, "noise"),
    ]
    for pic, cluster, kind in cases:
        data = pics[pic]
        align(cluster)
        first = len(blob) // SECTOR
        # The cut: a cluster boundary inside the entropy-coded data (past the headers).
        clusters = len(data) // cluster
        cut = cluster * r.randrange(max(1, clusters // 3), max(2, clusters))
        if cut >= len(data) or cut < 1024:
            cut = cluster * max(1, clusters // 2)
        # A picture of one cluster or less has no second piece.
        assert 1024 <= cut < len(data), (pic, cluster, len(data))
        blob.extend(data[:cut])
        if kind == "jpeg":
            inner = pics[7 if pic == 3 else 8]
            align(SECTOR)
            entries.append(Entry("deleted", "/", "inner%d.jpg" % first, len(inner), sha256_bytes(inner),
                                 len(blob) // SECTOR, "jpg", "", "in-gap"))
            blob.extend(pad(inner))
            align(cluster)
        else:
            blob.extend(gap_bytes(kind, (cluster // SECTOR) * (1 + r.randrange(6))))
        second = len(blob) // SECTOR
        blob.extend(data[cut:])
        align(SECTOR)
        entries.append(Entry("deleted", "/", "split%d.jpg" % first, len(data), sha256_bytes(data), first, "jpg", "",
                             "split %d %d" % (cut // SECTOR, second)))
        blob.extend(b"\0" * (2 * SECTOR))
        blob.extend(r.randbytes(8 * SECTOR))
    control = pics[9]
    align(SECTOR)
    entries.append(Entry("deleted", "/", "whole.jpg", len(control), sha256_bytes(control), len(blob) // SECTOR, "jpg",
                         "", "whole"))
    blob.extend(pad(control))
    blob.extend(r.randbytes(32 * SECTOR))
    with open(os.path.join(out, "bifrag.img"), "wb") as f:
        f.write(blob)
    write_manifest(os.path.join(out, "bifrag.img.manifest"),
                   {"image": "bifrag.img", "fs": "none", "volumeStartSector": 0, "noiseSeed": 4242}, entries)

    # Splices: the head of one picture, a gap, the tail of another. The
    # pictures share size and quality (so their tables and MCU grid): such
    # a splice decodes cleanly, and only its pixels show the join.
    pics = []
    for i in range(6):
        path = os.path.join(tmp, "twin%d.jpg" % i)
        run("convert", "-seed", str(2000 + i), "-size", "240x180", "plasma:fractal", "-quality", "85", path)
        pics.append(open(path, "rb").read())
    blob = bytearray(r.randbytes(16 * SECTOR))
    entries = []
    for k in range(24):
        a, b = r.sample(range(len(pics)), 2)
        head, tail = pics[a], pics[b]
        cut_a = SECTOR * r.randrange(3, max(4, len(head) // SECTOR - 1))
        cut_b = SECTOR * r.randrange(3, max(4, len(tail) // SECTOR - 1))
        first = len(blob) // SECTOR
        blob.extend(head[:cut_a])
        blob.extend(gap_bytes("zeros" if k % 3 == 0 else "noise", 1 + r.randrange(8)))
        blob.extend(pad(tail[cut_b:]))
        entries.append(Entry("deleted", "/", "splice%d.jpg" % first, cut_a, sha256_bytes(head[:cut_a]), first, "jpg",
                             "", "splice"))
        blob.extend(r.randbytes((4 + r.randrange(8)) * SECTOR))
    with open(os.path.join(out, "splices.img"), "wb") as f:
        f.write(blob)
    write_manifest(os.path.join(out, "splices.img.manifest"),
                   {"image": "splices.img", "fs": "none", "volumeStartSector": 0, "noiseSeed": 4242}, entries)
