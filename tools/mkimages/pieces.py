"""Images of PNGs and ZIP archives stored in pieces, with no file system.

pieces.img: PNGs made with ImageMagick (RGB, grey, with alpha, 16-bit,
interlaced) and archives made with zip (deflated entries, stored ones, a mix,
a DOCX-like package), each split at a random sector or cluster boundary
with a random gap of noise, zeros or a whole PNG between the pieces; one of
each whole as a control. Notes as in bifrag.img: "split <first
piece sectors> <second piece's first sector>", "whole" or "in-gap".

The splices (the head of one file, a gap, the tail of another of the same
kind) go into splices.img after the JPEG ones (bifrag.build_splices calls
splices() here); each note "splice".
"""
import os
import random

from lib import run, sha256_bytes, Entry, write_manifest, SECTOR, FIXED_TIME


def make_png(tmp, name, seed, size, kind):
    out = os.path.join(tmp, name + ".png")
    args = ["convert", "-seed", str(seed), "-size", "%dx%d" % size, "plasma:fractal"]
    if kind == "grey":
        args += ["-colorspace", "Gray"]
    elif kind == "alpha":
        args += ["-alpha", "set", "-channel", "A", "-evaluate", "set", "70%", "+channel"]
    elif kind == "deep":
        args += ["-depth", "16"]
    elif kind == "interlaced":
        args += ["-interlace", "PNG"]
    run(*args, out)
    return open(out, "rb").read()


def words(r, n):
    vocab = ["torvane", "sector", "cluster", "archive", "picture", "gap", "piece", "record", "entry", "data",
             "deleted", "carve", "volume", "header", "chunk", "table", "stream", "block", "offset", "length"]
    return " ".join(r.choice(vocab) for _ in range(n)).encode()


def make_zip(tmp, name, r, kind):
    """An archive of a few files; kind picks stored, deflated, a mix or a
    DOCX-like package."""
    d = os.path.join(tmp, name)
    os.makedirs(d, exist_ok=True)
    out = os.path.join(tmp, name + ".zip")
    if kind == "docx":
        parts = {
            "[Content_Types].xml": b'<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/'
                                   b'content-types"><Override PartName="/word/document.xml" ContentType="application/'
                                   b'vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/></Types>',
            "_rels/.rels": b'<?xml version="1.0"?><Relationships/>',
            "word/document.xml": b"<w:document><w:body><w:p><w:r><w:t>" + words(r, 9000) +
                                 b"</w:t></w:r></w:p></w:body></w:document>",
            "word/media/image1.bin": r.randbytes(9000),
        }
    else:
        parts = {"notes.txt": words(r, 6000 + r.randrange(4000)), "random.bin": r.randbytes(7000 + r.randrange(6000)),
                 "more/readme.txt": words(r, 3000), "more/small.txt": words(r, 40)}
    names = list(parts)
    for n in names:
        os.makedirs(os.path.dirname(os.path.join(d, n)) or d, exist_ok=True)
        with open(os.path.join(d, n), "wb") as f:
            f.write(parts[n])
        os.utime(os.path.join(d, n), (FIXED_TIME, FIXED_TIME))
    if os.path.exists(out):
        os.remove(out)
    flags = ["-X", "-q"]
    if kind == "stored":
        flags.append("-0")
    elif kind == "mixed":
        flags += ["-n", ".bin"]  # store the .bin files, deflate the rest
    run("zip", *flags, out, *names, cwd=d)
    return open(out, "rb").read()


def pad(data):
    return data + b"\0" * (-len(data) % SECTOR)


def align(blob, r, n):
    """Noise up to the next multiple of n bytes."""
    blob.extend(r.randbytes(-len(blob) % n))


def plant_split(blob, entries, r, data, ext, cut, cluster, kind, gap_file=None, gap_name=None):
    """data's first cut bytes where blob ends (a cluster boundary), then a gap of
    whole clusters (noise, zeros, or the whole file gap_file, listed as
    gap_name), then the rest; the manifest entry says where."""
    first = len(blob) // SECTOR
    blob.extend(data[:cut])
    if gap_file is not None:
        # A whole file in the gap: found on its own, passed over by the search.
        entries.append(Entry("deleted", "/", gap_name, len(gap_file), sha256_bytes(gap_file),
                             len(blob) // SECTOR, gap_name.rsplit(".", 1)[1], "", "in-gap"))
        blob.extend(pad(gap_file))
        align(blob, r, cluster)
    else:
        n = cluster * (1 + r.randrange(24))
        blob.extend(b"\0" * n if kind == "zeros" else r.randbytes(n))
    second = len(blob) // SECTOR
    blob.extend(data[cut:])
    align(blob, r, SECTOR)
    entries.append(Entry("deleted", "/", "split%d.%s" % (first, ext), len(data), sha256_bytes(data), first, ext, "",
                         "split %d %d" % (cut // SECTOR, second)))


def build(out, tmp):
    os.makedirs(tmp, exist_ok=True)
    r = random.Random(7070)
    pngs = [make_png(tmp, "p%d" % i, 2000 + i, size, kind) for i, (size, kind) in enumerate([
        ((240, 180), "rgb"), ((320, 240), "grey"), ((200, 160), "alpha"), ((180, 140), "deep"),
        ((300, 220), "interlaced"), ((400, 300), "rgb")])]
    zips = [make_zip(tmp, "z%d" % i, r, kind) for i, kind in enumerate(
        ["deflated", "stored", "mixed", "docx", "mixed", "deflated"])]
    small_png = make_png(tmp, "inner", 2100, (64, 48), "rgb")
    blob = bytearray(r.randbytes(32 * SECTOR))
    entries = []

    cases = []  # (data, extension, cluster bytes, gap kind)
    gaps = ["noise", "zeros", "file"]
    for i, data in enumerate(pngs):
        cases.append((data, "png", [512, 4096, 2048, 512, 1024, 4096][i], gaps[i % 3]))
    for i, data in enumerate(zips):
        cases.append((data, "docx" if i == 3 else "zip", [4096, 512, 1024, 4096, 2048, 512][i], gaps[(i + 1) % 3]))
    for data, ext, cluster, kind in cases:
        align(blob, r, cluster)
        first = len(blob) // SECTOR
        cut = cluster * r.randrange(1, (len(data) - 1) // cluster + 1)
        assert 0 < cut < len(data), (len(data), cluster)
        # A PNG in an archive's gap too: the ZIP length rule takes the last
        # end record within its read-ahead, which would be the split
        # archive's own, so a whole archive there is cut wrongly.
        gap = (small_png, "inner%d.png" % (first + cut // SECTOR)) if kind == "file" else (None, None)
        plant_split(blob, entries, r, data, ext, cut, cluster, kind, *gap)
        blob.extend(b"\0" * (2 * SECTOR))
        blob.extend(r.randbytes(8 * SECTOR))
    for data, ext in ((pngs[0], "png"), (zips[0], "zip")):
        align(blob, r, SECTOR)
        entries.append(Entry("deleted", "/", "whole%d.%s" % (len(blob) // SECTOR, ext), len(data), sha256_bytes(data),
                             len(blob) // SECTOR, ext, "", "whole"))
        blob.extend(pad(data))
        blob.extend(r.randbytes(8 * SECTOR))
    blob.extend(r.randbytes(32 * SECTOR))
    with open(os.path.join(out, "pieces.img"), "wb") as f:
        f.write(blob)
    write_manifest(os.path.join(out, "pieces.img.manifest"),
                   {"image": "pieces.img", "fs": "none", "volumeStartSector": 0, "noiseSeed": 7070}, entries)


def splices(tmp, r, blob, entries):
    """Twenty PNG and twenty ZIP joins of the head of one file and the tail
    of another of the same kind, appended to blob."""
    os.makedirs(tmp, exist_ok=True)
    kinds = ["rgb", "grey", "alpha", "interlaced"]
    heads = [make_png(tmp, "sh%d" % k, 5000 + k, (200, 150), kinds[k % 4]) for k in range(4)]
    tails = [make_png(tmp, "st%d" % k, 6000 + k, (200, 150), kinds[k % 4]) for k in range(4)]
    zkinds = ["deflated", "stored", "mixed", "docx"]
    zheads = [make_zip(tmp, "zh%d" % k, random.Random(50 + k), zkinds[k]) for k in range(4)]
    ztails = [make_zip(tmp, "zt%d" % k, random.Random(60 + k), zkinds[k]) for k in range(4)]
    for n in range(40):
        png = n < 20
        a = r.randrange(4)
        head, tail = (heads[a], tails[a]) if png else (zheads[a], ztails[a])
        ext = "png" if png else ("docx" if zkinds[a] == "docx" else "zip")
        step = r.choice([SECTOR, SECTOR, 2048, 4096])
        blob.extend(r.randbytes(-len(blob) % step))
        cut_a = step * r.randrange(1, (len(head) - 1) // step + 1)
        cut_b = step * r.randrange(1, (len(tail) - 1) // step + 1)
        first = len(blob) // SECTOR
        blob.extend(head[:cut_a])
        gap = step * (1 + r.randrange(4))
        blob.extend(b"\0" * gap if n % 3 == 0 else r.randbytes(gap))
        blob.extend(pad(tail[cut_b:]))
        entries.append(Entry("deleted", "/", "splice%d.%s" % (first, ext), cut_a, sha256_bytes(head[:cut_a]), first,
                             ext, "", "splice"))
        blob.extend(r.randbytes((4 + r.randrange(8)) * SECTOR))
