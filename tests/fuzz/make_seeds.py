#!/usr/bin/python3
"""Seeds for the fuzz targets, cut from the test images.

    make_seeds.py IMAGES_DIR OUT_DIR [TORVANE_CLI]

IMAGES_DIR is the test-image builder's output (tools/mkimages/build-all.sh);
OUT_DIR/<target>/ gets the seeds. With the command-line program given, a
scan of fat16.img supplies result-store relation text and a scan-log "config".
A FAT16 volume in the quick FAT target's own geometry is made with mkfs.fat
and mtools when they are installed.
"""
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

SECTOR = 512


def read_at(path, offset, size):
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(size)


def put(out, target, data, tag):
    d = os.path.join(out, target)
    os.makedirs(d, exist_ok=True)
    name = "%s-%s" % (tag, hashlib.sha1(data).hexdigest()[:12])
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def sparse(records):
    """The volume targets' input: [u32 sector][512 bytes] per sector."""
    out = bytearray()
    for sector, data in records:
        data = data[:SECTOR].ljust(SECTOR, b"\0")
        if data.strip(b"\0"):
            out += struct.pack("<I", sector) + data
    return bytes(out)


def manifest_info(images, name):
    info = {}
    path = os.path.join(images, name + ".manifest")
    if not os.path.exists(path):
        return info
    with open(path, encoding="utf-8") as f:
        for line in f:
            parts = line.rstrip("\n").split("\t")
            if parts[0] == "info" and len(parts) >= 3:
                info[parts[1]] = parts[2]
    return info


def manifest_notes(images, name):
    notes = []
    path = os.path.join(images, name + ".manifest")
    if not os.path.exists(path):
        return notes
    with open(path, encoding="utf-8") as f:
        for line in f:
            parts = line.rstrip("\n").split("\t")
            if parts[0] == "file" and len(parts) >= 10:
                notes.append(parts[9])
    return notes


def boot_seeds(images, out):
    for img in ("fat12.img", "fat16.img", "fat32.img", "ntfs.img", "ext4.img", "mbr.img", "gpt.img",
                "apple.img", "demo.img"):
        p = os.path.join(images, img)
        if os.path.exists(p):
            put(out, "boot_sector", read_at(p, 0, 16384 if img == "ext4.img" else SECTOR), img)
    # The partitions' own boot sectors.
    for img in ("mbr.img", "gpt.img"):
        p = os.path.join(images, img)
        if not os.path.exists(p):
            continue
        with open(os.path.join(images, img + ".manifest"), encoding="utf-8") as f:
            for line in f:
                parts = line.rstrip("\n").split("\t")
                if parts[0] == "part" and parts[-1] in ("fat12", "fat16", "fat32", "ntfs"):
                    put(out, "boot_sector", read_at(p, int(parts[2]) * SECTOR, SECTOR), img + "-p" + parts[1])


def partition_seeds(images, out):
    for img in ("mbr.img", "gpt.img", "apple.img", "mbr-loop.img"):
        p = os.path.join(images, img)
        if not os.path.exists(p):
            continue
        size = os.path.getsize(p) // SECTOR
        recs = [(s, read_at(p, s * SECTOR, SECTOR)) for s in range(0, 64)]
        # Extended boot records and the backup GPT at the end.
        with open(os.path.join(images, img + ".manifest"), encoding="utf-8") as f:
            for line in f:
                parts = line.rstrip("\n").split("\t")
                if parts[0] == "part":
                    first = int(parts[2])
                    for s in (first - 1, first):
                        if 64 <= s < size:
                            recs.append((s, read_at(p, s * SECTOR, SECTOR)))
        for key, value in manifest_info(images, img).items():
            if key.startswith("ebr"):
                for s in value.replace(",", ";").split(";"):
                    if s.strip().isdigit():
                        recs.append((int(s), read_at(p, int(s) * SECTOR, SECTOR)))
        recs += [(s, read_at(p, s * SECTOR, SECTOR)) for s in range(max(64, size - 33), size)]
        put(out, "partition_table", sparse(recs), img)


def ntfs_geometry(path, start=0):
    boot = read_at(path, start * SECTOR, SECTOR)
    spc = boot[0x0D]
    mft = struct.unpack_from("<Q", boot, 0x30)[0]
    return spc, start + mft * spc


def ntfs_seeds(images, out):
    p = os.path.join(images, "ntfs.img")
    if not os.path.exists(p):
        return
    spc, mft = ntfs_geometry(p)
    # Single records: the system files and the files the manifest marks.
    wanted = {0, 1, 5, 6, 11}
    for note in manifest_notes(images, "ntfs.img"):
        for tag in note.split(";"):
            if tag.startswith("mft="):
                wanted.add(int(tag[4:]))
    for no in sorted(wanted)[:40]:
        rec = read_at(p, (mft + 2 * no) * SECTOR, 1024)
        if rec[:4] == b"FILE":
            put(out, "ntfs_record", rec, "ntfs-rec%d" % no)
    # A run of records, so the deep engine sees folders and their children.
    put(out, "ntfs_record", read_at(p, mft * SECTOR, 16 * 1024), "ntfs-first16")
    put(out, "ntfs_record", read_at(p, (mft + 2 * 64) * SECTOR, 16 * 1024), "ntfs-user16")
    # Stray records of the NTFS volume a FAT32 format covered.
    q = os.path.join(images, "ntfs-over-fat.img")
    if os.path.exists(q):
        n = 0
        for note in manifest_notes(images, "ntfs-over-fat.img"):
            for tag in note.split(";"):
                if tag.startswith("mft-sector=") and n < 6:
                    rec = read_at(q, int(tag[11:]) * SECTOR, 1024)
                    if rec[:4] == b"FILE":
                        put(out, "ntfs_record", rec, "ntfs-over-fat")
                        n += 1
    # The quick engine's small volume: the boot sector and the first MFT records.
    recs = [(0, read_at(p, 0, SECTOR))]
    recs += [(mft + s, read_at(p, (mft + s) * SECTOR, SECTOR)) for s in list(range(0, 2 * 16)) +
             list(range(2 * 64, 2 * 128))]
    put(out, "ntfs_volume", sparse(recs), "ntfs-mft-users")
    recs = [(0, read_at(p, 0, SECTOR))]
    recs += [(mft + s, read_at(p, (mft + s) * SECTOR, SECTOR)) for s in range(0, 2 * 16)]
    put(out, "ntfs_volume", sparse(recs), "ntfs-mft16")


def ext_seeds(images, out):
    """The ext map's metadata: superblock, descriptor blocks and block bitmaps,
    at the places dumpe2fs names."""
    for name in ("ext4-4k.img", "ext2.img"):
        p = os.path.join(images, name)
        if not os.path.exists(p):
            continue
        text = subprocess.run(["dumpe2fs", p], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              env=dict(os.environ, PATH="/usr/sbin:/sbin:" + os.environ.get("PATH", ""))).stdout.decode()
        bs = int(re.search(r"Block size:\s+(\d+)", text).group(1))
        blocks = {0, 1}
        for a, b in re.findall(r"Group descriptors? at (\d+)(?:-(\d+))?", text):
            blocks.update(range(int(a), int(b or a) + 1))
        blocks.update(int(b) for b in re.findall(r"Block bitmap at (\d+)", text))
        recs = []
        for blk in sorted(blocks):
            for k in range(bs // SECTOR):
                sec = blk * bs // SECTOR + k
                data = read_at(p, sec * SECTOR, SECTOR)
                if data.strip(b"\0"):
                    recs.append((sec, data))
        put(out, "ext_volume", sparse(recs[:256]), "ext4-map" if "ext4" in name else "ext2-map")


def is_dot_sector(data):
    return data[:11] == b".          " and data[32:43] == b"..         "


def fat_deep_seeds(images, out):
    # Whole volume starts: the deep engine works out the geometry from the
    # folder starts it meets, counted from sector 0 of its input.
    for img in ("fat12.img", "fat16.img"):
        p = os.path.join(images, img)
        if os.path.exists(p):
            put(out, "fat_deep", read_at(p, 0, 128 * 1024), img.replace(".img", "-head"))
    for img, limit in (("fat32.img", 6), ("fat16.img", 4), ("fat12.img", 2), ("fat-over-ntfs.img", 4)):
        p = os.path.join(images, img)
        if not os.path.exists(p):
            continue
        size = os.path.getsize(p)
        n = 0
        with open(p, "rb") as f:
            s = 0
            while s * SECTOR < size and n < limit:
                f.seek(s * SECTOR)
                data = f.read(SECTOR)
                if is_dot_sector(data):
                    f.seek(s * SECTOR)
                    put(out, "fat_deep", f.read(16 * SECTOR), "%s-s%d" % (img, s))
                    n += 1
                    s += 64
                else:
                    s += 1


def fat_dir_seeds(images, out):
    # The root folder and FAT of fat16.img (its geometry differs from the
    # target's, which is fine: the entries are real).
    p = os.path.join(images, "fat16.img")
    if os.path.exists(p):
        info = manifest_info(images, "fat16.img")
        reserved = int(info.get("reservedSectors", "1"))
        data_start = int(info.get("dataStartSector", "0"))
        root = data_start - int(info.get("rootDirSectors", "32"))
        put(out, "fat_dir", read_at(p, root * SECTOR, 2048) + read_at(p, reserved * SECTOR, 2048), "fat16-root")
    # A volume in the target's own geometry, so folders chain through the FAT.
    if not shutil.which("mkfs.fat") or not shutil.which("mcopy"):
        return
    tmp = tempfile.mkdtemp(prefix="torvane-seeds-")
    try:
        img = os.path.join(tmp, "v.img")
        subprocess.run(["mkfs.fat", "-C", "-F", "16", "-s", "1", "-R", "1", "-f", "1", "-r", "512", "-S", "512",
                        "-n", "SEEDS", img, "4096"], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        env = dict(os.environ, MTOOLS_SKIP_CHECK="1")

        def m(*args):
            subprocess.run(list(args), check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        src = os.path.join(tmp, "src")
        os.makedirs(src)
        for i, (name, size) in enumerate((("photo one.jpg", 1500), ("README.TXT", 300), ("Документ.docx", 2600),
                                          ("tiny.txt", 10), ("video clip.mp4", 4000))):
            with open(os.path.join(src, "f%d" % i), "wb") as f:
                f.write(bytes((i * 7 + k) & 0xFF for k in range(size)))
        m("mmd", "-i", img, "::/DCIM", "::/DCIM/Deep Folder", "::/Gone")
        m("mcopy", "-i", img, os.path.join(src, "f0"), "::/photo one.jpg")
        m("mcopy", "-i", img, os.path.join(src, "f1"), "::/README.TXT")
        m("mcopy", "-i", img, os.path.join(src, "f2"), "::/DCIM/Документ.docx")
        m("mcopy", "-i", img, os.path.join(src, "f3"), "::/DCIM/Deep Folder/tiny.txt")
        m("mcopy", "-i", img, os.path.join(src, "f4"), "::/Gone/video clip.mp4")
        m("mdel", "-i", img, "::/photo one.jpg")
        m("mdel", "-i", img, "::/DCIM/Документ.docx")
        m("mdeltree", "-i", img, "::/Gone")
        root = (1 + 32) * SECTOR
        seed = read_at(img, root, 2048) + read_at(img, SECTOR, 2048) + read_at(img, (1 + 32 + 32) * SECTOR, 40 * 1024)
        put(out, "fat_dir", seed, "mkfs-template")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def exfat_dir_seeds(images, out):
    # The root folder, the FAT and the first clusters of the exFAT images
    # with 4 KiB clusters, laid out as the quick exFAT target reads its input
    # (its geometry puts the root in cluster 5 and the heap on from there,
    # as mkfs.exfat does).
    for name in ("exfat.img",):
        p = os.path.join(images, name)
        if not os.path.exists(p):
            continue
        info = manifest_info(images, name)
        heap, spc = int(info["heapStartSector"]), int(info["sectorsPerCluster"])
        root, fat = int(info["rootCluster"]), int(info["fatStartSector"])
        if spc != 8 or root != 5:
            continue
        cluster = lambda c: (heap + (c - 2) * spc) * SECTOR  # noqa: E731
        seed = read_at(p, cluster(5), 4096) + read_at(p, fat * SECTOR, 2048) + read_at(p, cluster(6), 58 * 1024)
        put(out, "exfat_dir", seed, "exfat-root-" + name.split(".")[0])


def carve_seeds(images, out):
    d = os.path.join(images, "samples")
    if not os.path.isdir(d):
        return
    for name in sorted(os.listdir(d)):
        if name == "manifest":
            continue
        put(out, "carve", read_at(os.path.join(d, name), 0, 16384), name)


def mp4_seeds(images, out):
    """Small ISO media files whole: the movie box and the samples it maps."""
    for sub in ("samples", "modern"):
        d = os.path.join(images, sub)
        if not os.path.isdir(d):
            continue
        for name in sorted(os.listdir(d)):
            if name.rsplit(".", 1)[-1] in ("mp4", "mov", "3gp", "3g2", "m4v", "m4a"):
                data = read_at(os.path.join(d, name), 0, 65536)
                if len(data) < 65536:
                    put(out, "mp4_movie", data, sub + "-" + name)


def store_seeds(images, out, cli):
    p = os.path.join(images, "fat16.img")
    if not cli or not os.path.exists(cli) or not os.path.exists(p):
        return
    tmp = tempfile.mkdtemp(prefix="torvane-seeds-")
    try:
        env = dict(os.environ, TORVANE_SUPPORT_DIR=os.path.join(tmp, "support"))
        subprocess.run([cli, "scan", p], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=300)
        logdir = os.path.join(tmp, "support", "ScanLog")
        for dirpath, _, files in os.walk(logdir):
            for f in files:
                full = os.path.join(dirpath, f)
                if f.endswith("_Relation"):
                    put(out, "relation", read_at(full, 0, 16384), "relation")
                elif f == "config":
                    put(out, "config", read_at(full, 0, 8 + 592 * 8), "config")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def main():
    if len(sys.argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    images, out = sys.argv[1], sys.argv[2]
    cli = sys.argv[3] if len(sys.argv) > 3 else ""
    os.makedirs(out, exist_ok=True)
    boot_seeds(images, out)
    partition_seeds(images, out)
    ntfs_seeds(images, out)
    ext_seeds(images, out)
    fat_deep_seeds(images, out)
    fat_dir_seeds(images, out)
    exfat_dir_seeds(images, out)
    carve_seeds(images, out)
    mp4_seeds(images, out)
    store_seeds(images, out, cli)
    for t in sorted(os.listdir(out)):
        print("%-16s %d seeds" % (t, len(os.listdir(os.path.join(out, t)))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
