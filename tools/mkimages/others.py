"""ext4, the carving image, the deep-scan images and the demo volume."""
import os
import random
import re
import shutil

import fatimg
import ntfsimg
from lib import run, sha256_file, sha256_bytes, fix_time, ftype_of, Entry, read_at, write_manifest, SECTOR


def rnd(seed, n):
    return random.Random(seed).randbytes(n)


# The ext volumes: live files, and files deleted afterwards with debugfs (its
# "rm" frees the blocks and clears the name, as the kernel does, but leaves the
# inode's block map, so sleuthkit's icat can still read a deleted file: the
# manifests are checked with it).
EXT_LIVE = [("home/user/Pictures/photo.jpg", "photo.jpg"), ("home/user/Pictures/exif.jpg", "photo_exif.jpg"),
            ("home/user/Documents/report.pdf", "document.pdf"), ("home/user/Documents/notes.txt", "notes.txt"),
            ("readme.txt", "small.txt")]
EXT_DELETED = [("home/user/Pictures/holiday.jpg", "large.jpg"), ("home/user/Pictures/scan.png", "image.png"),
               ("home/user/Documents/old report.pdf", "document.pdf"), ("home/user/backup.zip", "archive.zip")]
EXT_ENV = ["env", "E2FSPROGS_FAKE_TIME=1577836800"]


def _ext_extents(img, rel):
    """The file's data as (first block, blocks) in file order, from debugfs's
    stat: "(0-11):549-560, (IND):561, (12-13):562-563" or "(0-13):1234-1247"."""
    out = run(*EXT_ENV, "debugfs", "-R", "stat \"/%s\"" % rel, img)
    text = out.split("BLOCKS:" if "BLOCKS:" in out else "EXTENTS:", 1)[1]
    extents = []
    for a, b, c, d in re.findall(r"\((\d+)(?:-(\d+))?\):(\d+)(?:-(\d+))?", text):
        extents.append((int(c), int(d or c) - int(c) + 1))
    return extents


def _ext_inode(img, rel):
    out = run(*EXT_ENV, "debugfs", "-R", "stat \"/%s\"" % rel, img)
    return int(re.search(r"Inode:\s+(\d+)", out).group(1))


def build_ext(img, size_bytes, tmp, base_sector, partition, S, mkfs=("-t", "ext4", "-b", "1024"), deleted=True):
    """An ext volume made by mke2fs -d, with EXT_DELETED removed by debugfs when asked."""
    src = os.path.join(tmp, "root")
    shutil.rmtree(src, ignore_errors=True)
    layout = EXT_LIVE + (EXT_DELETED if deleted else [])
    for rel, sample in layout:
        os.makedirs(os.path.join(src, os.path.dirname(rel)), exist_ok=True)
        shutil.copy(S(sample), os.path.join(src, rel))
    for root, dirs, fs in os.walk(src):
        for n in dirs + fs:
            fix_time(os.path.join(root, n))
    fix_time(src)
    if os.path.exists(img):
        os.remove(img)
    run(*EXT_ENV, "mke2fs", "-q", "-F", *mkfs, "-L", "torvane", "-U",
        "0d7b1c3e-5a2f-4e61-9c0a-1b2c3d4e5f60", "-E", "hash_seed=0d7b1c3e-5a2f-4e61-9c0a-1b2c3d4e5f61,root_owner=0:0",
        "-N", "64", "-d", src, img, "%dk" % (size_bytes // 1024))
    block_sectors = int(re.search(r"Block size:\s+(\d+)", run("dumpe2fs", "-h", img)).group(1)) // SECTOR
    files = []
    gone = {rel for rel, _ in EXT_DELETED} if deleted else set()
    for rel, sample in layout:
        extents = _ext_extents(img, rel)
        # Block-mapped files (ext2) have their indirect blocks between the data.
        frags = 1 + sum(1 for (a, n), (b, _) in zip(extents, extents[1:]) if b != a + n)
        note = "inode=%d" % _ext_inode(img, rel) if rel in gone else ""
        if rel in gone and mkfs[1] == "ext4" and frags != 1:
            # Carving brings back contiguous files only: the tests count on these.
            raise RuntimeError("%s: deleted %s is in %d pieces" % (img, rel, frags))
        folder = "/" + os.path.dirname(rel) if os.path.dirname(rel) else "/"
        files.append(Entry("deleted" if rel in gone else "live", folder, os.path.basename(rel),
                           os.path.getsize(S(sample)), sha256_file(S(sample)), base_sector + extents[0][0] * block_sectors,
                           ftype_of(rel), "samples/" + sample, note, frags, partition))
    if gone:
        cmds = os.path.join(tmp, "rm.cmds")
        with open(cmds, "w") as f:
            f.write("".join("rm \"/%s\"\n" % rel for rel in sorted(gone)))
        run(*EXT_ENV, "debugfs", "-w", "-f", cmds, img)
    return img, files


def build_ext4_image(out, tmp, S):
    img, files = build_ext(os.path.join(out, "ext4.img"), 4 * 1024 * 1024, tmp, 0, -1, S)
    write_manifest(os.path.join(out, "ext4.img.manifest"),
                   {"image": "ext4.img", "fs": "ext4", "volumeStartSector": 0, "clusterBytes": 1024}, files)


def build_ext_variants(out, tmp, S):
    """The allocation-map layouts: ext2 (32-byte descriptors, several groups) and
    ext4 with 4 KiB blocks, 64-bit descriptors, flex_bg, meta_bg and groups whose
    bitmaps were never written (BLOCK_UNINIT)."""
    for name, size, mkfs in (("ext2.img", 20, ("-t", "ext2", "-b", "1024")),
                             ("ext4-4k.img", 48, ("-t", "ext4", "-b", "4096", "-g", "2048",
                                                  "-O", "meta_bg,^resize_inode"))):
        img, files = build_ext(os.path.join(out, name), size * 1024 * 1024, os.path.join(tmp, name), 0, -1, S, mkfs)
        write_manifest(os.path.join(out, name + ".manifest"),
                       {"image": name, "fs": mkfs[1], "volumeStartSector": 0,
                        "clusterBytes": int(mkfs[mkfs.index("-b") + 1])}, files)


def build_large_clusters(out, tmp, S):
    """Clusters above 32 KiB, as the tools write them: NTFS with 64 KiB and
    2 MiB clusters (mkntfs -c), FAT16 with 64 KiB ones (mkfs.fat -s 128)."""
    for name, size, cluster, many in (("ntfs64k.img", 64, 65536, 60), ("ntfs2m.img", 512, 2 * 1024 * 1024, 12)):
        v = ntfsimg.NtfsVolume(os.path.join(out, name), size * 1024 * 1024, os.path.join(tmp, name), cluster=cluster)
        # Every file takes a whole cluster: few small files on the 2 MiB volume.
        ntfsimg.populate_standard(v, S, rnd, fragment=False, many=many)
        info = {"image": name, "fs": "ntfs", "volumeStartSector": 0, "clusterBytes": cluster}
        info.update(v.info())
        write_manifest(os.path.join(out, name + ".manifest"), info, v.files())
    v = fatimg.FatVolume(os.path.join(out, "fat64k.img"), 16, 300 * 1024, 128, os.path.join(tmp, "fat64k"))
    # One 64 KiB cluster holds every picture: nothing here can be fragmented.
    fatimg.populate_standard(v, S, many=300, frag=False)
    info = {"image": "fat64k.img", "fs": "fat16", "volumeStartSector": 0, "clusterBytes": v.cluster_bytes}
    info.update(v.info())
    write_manifest(os.path.join(out, "fat64k.img.manifest"), info, v.files())


def build_carve(out, samples_dir):
    """Samples at sector-aligned places among seeded noise and runs of zeros."""
    r = random.Random(20200101)
    names = sorted(n for n in os.listdir(samples_dir) if n != "manifest")
    blob = bytearray()
    entries = []

    def noise(nsec):
        blob.extend(r.randbytes(nsec * SECTOR))

    def zeros(nsec):
        blob.extend(b"\0" * (nsec * SECTOR))

    def place(data, name, note, sample):
        assert len(blob) % SECTOR == 0
        first = len(blob) // SECTOR
        blob.extend(data)
        if note == "clean-end" and len(blob) % SECTOR:
            blob.extend(b"\0" * (SECTOR - len(blob) % SECTOR))
        elif len(blob) % SECTOR:
            blob.extend(r.randbytes(SECTOR - len(blob) % SECTOR))
        entries.append(Entry("deleted", "/", name, len(data), sha256_bytes(data), first, ftype_of(name),
                             sample, note))

    noise(64)
    for i, n in enumerate(names):
        data = open(os.path.join(samples_dir, n), "rb").read()
        place(data, n, "clean-end", "samples/" + n)
        zeros(1 + r.randrange(4))
        noise(8 + r.randrange(56)) if i % 3 else zeros(16 + r.randrange(48))
    for n in ("photo.jpg", "document.pdf", "image.png", "archive.zip", "tone_plain.mp3"):
        data = open(os.path.join(samples_dir, n), "rb").read()
        place(data, n, "noise-after", "samples/" + n)
        noise(16 + r.randrange(32))
    data = open(os.path.join(samples_dir, "large.jpg"), "rb").read()
    half = data[:(len(data) // 2 // SECTOR) * SECTOR]
    place(half, "large.jpg", "truncated", "samples/large.jpg")
    noise(64)
    zeros(64)
    img = os.path.join(out, "carve.img")
    with open(img, "wb") as f:
        f.write(blob)
    write_manifest(os.path.join(out, "carve.img.manifest"),
                   {"image": "carve.img", "fs": "none", "volumeStartSector": 0, "clusterBytes": SECTOR,
                    "noiseSeed": 20200101}, entries)


def _still_there(img, e):
    if e.first_sector < 0:
        return False
    return sha256_bytes(read_at(img, e.first_sector * SECTOR, e.size)) == e.sha256


def _mft_record_sectors(img):
    """Maps an MFT record number to its sector, from $MFT's own runlist."""
    out = run("ntfsinfo", "-v", "-i", "0", img)
    sec = re.split(r"\n(?=Dumping attribute )", out)
    runs = []
    for s in sec:
        if s.startswith("Dumping attribute $DATA"):
            runs = [(int(v, 16), int(l, 16), int(n, 16)) for v, l, n in
                    re.findall(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s*$", s, re.M)]
    def where(rec):
        vcn_byte = rec * 1024
        for vcn, lcn, n in runs:
            if vcn * 4096 <= vcn_byte < (vcn + n) * 4096:
                return (lcn * 4096 + vcn_byte - vcn * 4096) // SECTOR
        return -1
    return where


def build_ntfs_over_fat(out, tmp, S):
    img = os.path.join(out, "ntfs-over-fat.img")
    v = ntfsimg.NtfsVolume(img, 40 * 1024 * 1024, tmp)
    # Many small files first, so the MFT grows past what the new FAT's tables cover.
    v.mount()
    os.makedirs(v.host("/Windows/System32"))
    for i in range(900):
        with open(v.host("/Windows/System32/lib%04d.dll" % i), "wb") as f:
            f.write(b"MZ" + b"\0" * 60)
    v.put("/Users/anna/Pictures", "summer.jpg", S("photo.jpg"))
    v.put("/Users/anna/Pictures", "camera.jpg", S("photo_exif.jpg"))
    v.put("/Users/anna/Pictures", "scan.png", S("image.png"))
    v.put("/Users/anna/Documents", "thesis.pdf", S("document.pdf"))
    v.put("/Users/anna/Documents", "letter.docx", S("document.docx"))
    v.put("/Users/anna/Documents", "budget.xlsx", S("sheet.xlsx"))
    v.put("/Users/anna/Documents", "todo.txt", b"Buy milk. Back up the photos.\n", "resident")
    v.put("/Users/anna/Music", "song.mp3", S("tone_id3v2.mp3"))
    v.finish(["/Users/anna/Pictures/scan.png", "/Users/anna/Documents/letter.docx"])
    where = _mft_record_sectors(img)
    for e in v.files():
        rec = int(re.search(r"mft=(\d+)", e.note).group(1))
        e.mft_sector = where(rec)
        e.mft_bytes = read_at(img, e.mft_sector * SECTOR, 1024)
    run("mkfs.fat", "-F", "32", "-s", "1", "-i", "0FA70FA7", img)
    run("mlabel", "-i", img, "::NEWFAT")
    files = []
    for e in v.files():
        tags = ["old-fs", "old-" + e.state]
        same_rec = read_at(img, e.mft_sector * SECTOR, 1024) == e.mft_bytes
        tags.append("mft-sector=%d" % e.mft_sector)
        tags.append("record-intact" if same_rec else "record-overwritten")
        if e.first_sector >= 0:
            tags.append("data-intact" if _still_there(img, e) else "data-overwritten")
        e.note = ";".join(tags + [e.note])
        e.state = "deleted"
        files.append(e)
    write_manifest(os.path.join(out, "ntfs-over-fat.img.manifest"),
                   {"image": "ntfs-over-fat.img", "fs": "fat32", "oldFs": "ntfs", "volumeStartSector": 0,
                    "clusterBytes": 512, "oldClusterBytes": 4096,
                    "oldPadding": "/Windows/System32/lib0000.dll to lib0899.dll, 62 bytes each, resident, live"},
                   files)


def build_fat_over_ntfs(out, tmp, S):
    img = os.path.join(out, "fat-over-ntfs.img")
    v = fatimg.FatVolume(img, 32, 40 * 1024, 1, tmp, serial="0FA7F00D", label="OLDFAT")
    v.put_many("/Photos/2019", [("beach.jpg", S("photo.jpg")), ("family.jpg", S("photo_exif.jpg")),
                                ("panorama.jpg", S("large.jpg"))])
    v.put_many("/Photos/2020", [("snow.png", S("image.png")), ("cat.gif", S("image.gif"))])
    v.put_many("/Work", [("offer.pdf", S("document.pdf")), ("contract.docx", S("document.docx")),
                         ("numbers.xlsx", S("sheet.xlsx")), ("talk.pptx", S("slides.pptx")),
                         ("old.doc", S("document.doc"))])
    v.put_many("/Work/Archive", [("backup.zip", S("archive.zip")), ("notes.txt", S("notes.txt"))])
    v.put("/", "tone.mp3", S("tone_plain.mp3"))
    v.delete("/Work/talk.pptx")
    dirs = {}
    for d in ("/Photos", "/Photos/2019", "/Photos/2020", "/Work", "/Work/Archive"):
        m = re.search(r"<(\d+)", run("mshowfat", "-i", img, "::" + d))
        dirs[d] = v.sector_of_cluster(int(m.group(1)))
    dir_bytes = {d: read_at(img, s * SECTOR, SECTOR) for d, s in dirs.items()}
    run("mkntfs", "-F", "-f", "-q", "-c", "4096", "-L", "NEWNTFS", img)
    files = []
    for e in v.files():
        tags = ["old-fs", "old-" + e.state]
        if e.first_sector >= 0:
            tags.append("data-intact" if _still_there(img, e) else "data-overwritten")
        e.note = ";".join(tags + ([e.note] if e.note else []))
        e.state = "deleted"
        files.append(e)
    info = {"image": "fat-over-ntfs.img", "fs": "ntfs", "oldFs": "fat32", "volumeStartSector": 0,
            "clusterBytes": 4096, "oldClusterBytes": 512}
    info.update(("oldFat." + k, val) for k, val in v.info().items())
    for d, s in dirs.items():
        intact = read_at(img, s * SECTOR, SECTOR) == dir_bytes[d]
        info["oldDir." + d] = "%d;%s" % (s, "intact" if intact else "overwritten")
    write_manifest(os.path.join(out, "fat-over-ntfs.img.manifest"), info, files)


def build_demo(out, tmp, S):
    img = os.path.join(out, "demo.img")
    v = fatimg.FatVolume(img, 16, 16 * 1024, 4, tmp, serial="DE300001", label="DEMO")
    v.put_many("/Photos", [("Beach.jpg", S("photo.jpg")), ("Birthday.jpg", S("photo_exif.jpg")),
                           ("Mountains.jpg", S("large.jpg")), ("Screenshot.png", S("image.png"))])
    v.put_many("/Documents", [("Tax return 2019.pdf", S("document.pdf")), ("CV.docx", S("document.docx")),
                              ("Shopping list.txt", S("notes.txt")), ("Budget.xlsx", S("sheet.xlsx"))])
    v.put("/", "Read me.txt", S("small.txt"))
    v.delete("/Photos/Beach.jpg", "/Photos/Mountains.jpg", "/Photos/Screenshot.png",
             "/Documents/Tax return 2019.pdf", "/Documents/CV.docx", "/Documents/Shopping list.txt")
    info = {"image": "demo.img", "fs": "fat16", "volumeStartSector": 0, "clusterBytes": v.cluster_bytes}
    info.update(v.info())
    write_manifest(os.path.join(out, "demo.img.manifest"), info, v.files())
