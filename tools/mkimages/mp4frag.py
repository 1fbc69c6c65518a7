"""Images of camera videos stored in two pieces, with no file system.

mp4frag.img: ffmpeg videos (libx264, one libx265, with AAC), the movie box
first (-movflags +faststart) or after the media data (ffmpeg's default, the
order cameras write), each cut at a cluster boundary of 4 KiB clusters
inside its media data (one just before its movie box), a gap of zeros,
noise or another video's media data between the pieces; two whole videos as
controls. Each entry's note is "split <first piece sectors> <second piece's
first sector> <moov-first|moov-last>" or "whole <layout>".
mp4splices.img: the first piece of one video, a gap, then the second piece
of another made with the same settings (both of the same layout; heads and
tails from different recordings), each splice's note "splice <layout>";
none is one video.
"""
import os
import random
import struct

from lib import run, sha256_bytes, Entry, write_manifest, SECTOR

CLUSTER = 4096


def make_video(tmp, name, seed, codec="libx264", seconds=2):
    """One recording with the movie box last (as cameras write it) and the
    same file remuxed with it first; (last, first)."""
    last = os.path.join(tmp, name + "l.mp4")
    first = os.path.join(tmp, name + "f.mp4")
    r = random.Random(seed)
    src = r.choice(["testsrc2", "smptehdbars", "rgbtestsrc"])
    args = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y",
            "-f", "lavfi", "-i", "%s=size=320x240:rate=25" % src,
            "-f", "lavfi", "-i", "sine=frequency=%d:sample_rate=44100" % r.randrange(200, 2000),
            "-t", str(seconds), "-vf", "noise=alls=%d:allf=t" % r.randrange(4, 14),
            "-c:v", codec, "-preset", "veryfast", "-crf", "23", "-pix_fmt", "yuv420p", "-c:a", "aac", "-ac", "2", "-b:a", "96k"]
    if codec == "libx265":
        args += ["-x265-params", "log-level=error", "-tag:v", "hvc1"]
    run(*args, last)
    run("ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", last, "-c", "copy",
        "-movflags", "+faststart", first)
    return open(last, "rb").read(), open(first, "rb").read()


def boxes(data):
    """Top-level boxes: (type, offset, size)."""
    out, pos = [], 0
    while pos + 8 <= len(data):
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if size == 1:
            size = struct.unpack(">Q", data[pos + 8:pos + 16])[0]
        out.append((kind.decode("latin-1"), pos, size))
        pos += size
    return out


def mdat_range(data):
    for kind, pos, size in boxes(data):
        if kind == "mdat":
            return pos + 8, pos + size
    raise ValueError("no mdat")


class Blob:
    def __init__(self, r, lead):
        self.r = r
        self.b = bytearray(r.randbytes(lead))

    def align(self, unit):
        self.b.extend(self.r.randbytes(-len(self.b) % unit))

    def sector(self):
        return len(self.b) // SECTOR


def gap_bytes(r, kind, clusters, filler):
    n = clusters * CLUSTER
    if kind == "zeros":
        return b"\0" * n
    if kind == "video":  # media data of another recording
        start = r.randrange(0, max(1, len(filler) - n))
        chunk = filler[start:start + n]
        return chunk + r.randbytes(n - len(chunk))
    return r.randbytes(n)


def build(out, tmp):
    os.makedirs(tmp, exist_ok=True)
    r = random.Random(5150)
    vids = {}
    for i in range(8):
        vids[(i, False)], vids[(i, True)] = make_video(tmp, "v%d" % i, 300 + i, "libx265" if i == 3 else "libx264")
    filler = make_video(tmp, "filler", 999)[0]
    filler = filler[slice(*mdat_range(filler))]

    blob = Blob(r, 32 * SECTOR)
    entries = []
    gaps = ["zeros", "noise", "video"]
    k = 0
    for i in range(8):
        for fast in (True, False):
            data = vids[(i, fast)]
            layout = "moov-first" if fast else "moov-last"
            m0, m1 = mdat_range(data)
            blob.align(CLUSTER)
            first = blob.sector()
            if not fast and i == 7:
                cut = (m1 // CLUSTER) * CLUSTER  # the movie box and the last bytes of media data move
            else:
                cut = CLUSTER * r.randrange(m0 // CLUSTER + 1, (m1 - 1) // CLUSTER)
            assert m0 < cut < len(data)
            blob.b.extend(data[:cut])
            blob.b.extend(gap_bytes(r, gaps[k % 3], 1 + r.randrange(40), filler))
            k += 1
            second = blob.sector()
            blob.b.extend(data[cut:])
            blob.align(SECTOR)
            entries.append(Entry("deleted", "/", "split%d.mp4" % first, len(data), sha256_bytes(data), first, "mp4",
                                 "", "split %d %d %s" % (cut // SECTOR, second, layout)))
            blob.b.extend(b"\0" * (2 * SECTOR))
            blob.b.extend(r.randbytes(8 * SECTOR))
    for fast in (True, False):
        data = vids[(0, fast)]
        blob.align(CLUSTER)
        entries.append(Entry("deleted", "/", "whole%d.mp4" % blob.sector(), len(data), sha256_bytes(data),
                             blob.sector(), "mp4", "", "whole " + ("moov-first" if fast else "moov-last")))
        blob.b.extend(data)
        blob.b.extend(r.randbytes(8 * SECTOR))
    blob.b.extend(r.randbytes(32 * SECTOR))
    with open(os.path.join(out, "mp4frag.img"), "wb") as f:
        f.write(blob.b)
    write_manifest(os.path.join(out, "mp4frag.img.manifest"),
                   {"image": "mp4frag.img", "fs": "none", "volumeStartSector": 0, "clusterBytes": CLUSTER,
                    "noiseSeed": 5150}, entries)

    # Splices: the head of one video, a gap, the tail of another of the same
    # settings and layout; the movie box of whichever piece holds one.
    blob = Blob(r, 16 * SECTOR)
    entries = []
    for n in range(16):
        fast = n % 2 == 0
        # Heads and tails from different recordings: a head's own tail is never on the image.
        a, b = r.choice([0, 1, 2]), r.choice([4, 5, 6, 7])
        head, tail = vids[(a, fast)], vids[(b, fast)]
        ha, hb = mdat_range(head), mdat_range(tail)
        cut_a = CLUSTER * r.randrange(ha[0] // CLUSTER + 1, (ha[1] - 1) // CLUSTER)
        cut_b = CLUSTER * r.randrange(hb[0] // CLUSTER + 1, (hb[1] - 1) // CLUSTER)
        blob.align(CLUSTER)
        first = blob.sector()
        blob.b.extend(head[:cut_a])
        blob.b.extend(gap_bytes(r, gaps[n % 3], 1 + r.randrange(20), filler))
        blob.b.extend(tail[cut_b:])
        blob.align(SECTOR)
        entries.append(Entry("deleted", "/", "splice%d.mp4" % first, cut_a, sha256_bytes(head[:cut_a]), first, "mp4",
                             "", "splice " + ("moov-first" if fast else "moov-last")))
        blob.b.extend(r.randbytes(8 * SECTOR))
    with open(os.path.join(out, "mp4splices.img"), "wb") as f:
        f.write(blob.b)
    write_manifest(os.path.join(out, "mp4splices.img.manifest"),
                   {"image": "mp4splices.img", "fs": "none", "volumeStartSector": 0, "clusterBytes": CLUSTER,
                    "noiseSeed": 5150}, entries)


def build_fat(out, tmp):
    """mp4fat.img: a FAT16 card with 4 KiB clusters where each camera video
    (movie box last) was written into the hole a deleted file left and ran on
    past a file kept after the hole: two pieces, a live file between them.
    The videos are then deleted (their cluster chains cleared), so only their
    first clusters are known. Notes: "split <first piece sectors> <second
    piece's first sector> moov-last"."""
    from fatimg import FatVolume
    os.makedirs(tmp, exist_ok=True)
    r = random.Random(4242)
    img = os.path.join(out, "mp4fat.img")
    v = FatVolume(img, 16, 32 * 1024, 8, os.path.join(tmp, "vol"))
    assert v.cluster_bytes == CLUSTER
    videos = []
    for i in range(6):
        data = make_video(tmp, "fat%d" % i, 700 + i)[0]
        m0, m1 = mdat_range(data)
        hole = r.randrange(m0 // CLUSTER + 2, (m1 - 1) // CLUSTER)
        a = v.put("/DCIM", "HOLE%d.BIN" % i, r.randbytes(hole * CLUSTER))
        v.put("/DCIM", "KEEP%d.BIN" % i, r.randbytes(CLUSTER * (1 + r.randrange(48))), "gap")
        v.delete("/DCIM/HOLE%d.BIN" % i)
        a.note = "overwritten"
        src = os.path.join(tmp, "MOV%04d.MP4" % i)
        with open(src, "wb") as f:
            f.write(data)
        v.no_fsinfo_hint()
        e = v.put("/DCIM", "MOV%04d.MP4" % i, src)
        assert e.fragments == 2 and e.clusters[0][1] - e.clusters[0][0] + 1 == hole, (e.clusters, hole)
        e.note = "split %d %d moov-last" % (hole * CLUSTER // SECTOR, v.sector_of_cluster(e.clusters[1][0]))
        videos.append("/DCIM/MOV%04d.MP4" % i)
    v.delete(*videos)
    write_manifest(img + ".manifest", dict(v.info(), image="mp4fat.img", fs="fat16", volumeStartSector=0,
                                           clusterBytes=CLUSTER), v.files())
