"""Whole disks: MBR with logical partitions, GPT, Apple partition map, and an MBR
whose chain of extended boot records loops."""
import json
import os
import struct
import subprocess
import uuid
import zlib

import fatimg
import ntfsimg
from lib import run, write_at, read_at, write_manifest, SECTOR, ENV


def _place(disk, vol_img, start):
    run("dd", "if=" + vol_img, "of=" + disk, "bs=1M", "oflag=seek_bytes", "seek=%d" % (start * SECTOR),
        "conv=notrunc,sparse", "status=none")


def _sfdisk_parts(disk):
    d = json.loads(run("sfdisk", "-J", disk))["partitiontable"]
    out = []
    for p in d.get("partitions", []):
        idx = int(p["node"][len(disk):].lstrip("p"))
        out.append({"index": idx, "first": p["start"], "last": p["start"] + p["size"] - 1,
                    "type": ("0x%02x" % int(p["type"], 16)) if d["label"] == "dos" else p["type"],
                    "name": p.get("name", ""), "fs": ""})
    return d, out


def _small_fat(v, S, tag, with_deleted=True):
    v.put_many("/DCIM", [("IMG_%s1.JPG" % tag, S("photo.jpg")), ("IMG_%s2.JPG" % tag, S("photo_exif.jpg"))])
    v.put_many("/Docs", [("report %s.pdf" % tag, S("document.pdf")), ("notes %s.txt" % tag, S("notes.txt")),
                         ("letter %s.docx" % tag, S("document.docx"))])
    if with_deleted:
        v.put_many("/DCIM", [("IMG_%s3.JPG" % tag, S("large.jpg")), ("IMG_%s4.JPG" % tag, S("photo_exif.jpg"))])
        v.put_many("/Docs", [("old budget %s.xlsx" % tag, S("sheet.xlsx")), ("draft %s.pdf" % tag, S("document.pdf")),
                             ("memo %s.doc" % tag, S("document.doc"))])
        v.delete("/DCIM/IMG_%s3.JPG" % tag, "/DCIM/IMG_%s4.JPG" % tag, "/Docs/old budget %s.xlsx" % tag,
                 "/Docs/draft %s.pdf" % tag, "/Docs/memo %s.doc" % tag)


def _small_ntfs(v, S):
    v.put("/", "readme.txt", S("small.txt"), "resident")
    v.put("/Pictures", "holiday.jpg", S("photo.jpg"))
    v.put("/Pictures", "deleted holiday.jpg", S("photo_exif.jpg"))
    v.put("/Pictures", "deleted scan.png", S("image.png"))
    v.put("/Docs", "contract.pdf", S("document.pdf"))
    v.put("/Docs", "deleted contract.docx", S("document.docx"))
    v.put("/Docs", "deleted table.xlsx", S("sheet.xlsx"))
    v.finish(["/Pictures/deleted holiday.jpg", "/Pictures/deleted scan.png", "/Docs/deleted contract.docx",
              "/Docs/deleted table.xlsx"])


def _write(out, name, info, files, parts):
    write_manifest(os.path.join(out, name + ".manifest"), info, files, parts)
    # One manifest per partition too, for tests that look at one volume.
    for p in parts:
        pf = [f for f in files if f.partition == p["index"]]
        if p["fs"] and p["fs"] != "extended":
            write_manifest(os.path.join(out, "%s.p%d.manifest" % (name, p["index"])),
                           {"image": name, "fs": p["fs"], "volumeStartSector": p["first"],
                            "clusterBytes": p.get("cluster", 0), "partition": p["index"]}, pf)


def build_mbr(out, tmp, S, ext4_builder):
    disk = os.path.join(out, "mbr.img")
    MiB = 2048
    with open(disk, "wb") as f:
        f.truncate(56 * 1024 * 1024)
    # p7, the last logical partition, holds ext4 with deleted files.
    script = ("label: dos\nlabel-id: 0x7a3e51c0\nunit: sectors\n"
              "start=2048, size=%d, type=6\n"
              "start=%d, size=%d, type=7\n"
              "start=%d, size=%d, type=5\n"
              "start=%d, size=%d, type=1\n"
              "start=%d, size=%d, type=6\n"
              "start=%d, size=%d, type=83\n") % (
        10 * MiB, 12 * MiB, 12 * MiB,
        24 * MiB, 32 * MiB - 1,
        24 * MiB + 2048, 2 * MiB,
        27 * MiB + 2048, 12 * MiB - 4096,
        40 * MiB + 2048, 8 * MiB)
    run("sfdisk", "--no-reread", "--no-tell-kernel", "-q", disk, inp=script.encode())
    _, parts = _sfdisk_parts(disk)
    by = {p["index"]: p for p in parts}
    files = []
    # p1 FAT16 with deleted photos and documents.
    for idx, bits, spc, tag in ((1, 16, 4, "A"), (5, 12, 4, "C"), (6, 16, 2, "D")):
        p = by[idx]
        n = p["last"] - p["first"] + 1
        v = fatimg.FatVolume(os.path.join(tmp, "p%d.img" % idx), bits, n // 2, spc, os.path.join(tmp, "p%d" % idx),
                             base_sector=p["first"], partition=idx)
        _small_fat(v, S, tag, with_deleted=(idx != 5))
        if idx == 5:
            v.put("/", "logical.txt", S("small.txt"))
        _place(disk, v.img, p["first"])
        p["fs"] = "fat%d" % bits
        p["cluster"] = v.cluster_bytes
        files += v.files()
        os.remove(v.img)
    p = by[2]
    v = ntfsimg.NtfsVolume(os.path.join(tmp, "p2.img"), (p["last"] - p["first"] + 1) * SECTOR, os.path.join(tmp, "p2"),
                           base_sector=p["first"], partition=2)
    _small_ntfs(v, S)
    _place(disk, v.img, p["first"])
    os.remove(v.img)
    p["fs"], p["cluster"] = "ntfs", 4096
    files += v.files()
    p = by[7]
    img, efiles = ext4_builder(os.path.join(tmp, "p7.img"), (p["last"] - p["first"] + 1) * SECTOR,
                               os.path.join(tmp, "p7"), p["first"], 7, ("-t", "ext4", "-b", "4096"))
    _place(disk, img, p["first"])
    os.remove(img)
    p["fs"], p["cluster"] = "ext4", 4096
    files += efiles
    by[3]["fs"] = "extended"
    _write(out, "mbr.img", {"image": "mbr.img", "fs": "mbr", "volumeStartSector": 0, "clusterBytes": 0,
                            "diskSectors": os.path.getsize(disk) // SECTOR}, files, parts)


def build_mbr_loop(out, tmp, S):
    disk = os.path.join(out, "mbr-loop.img")
    with open(disk, "wb") as f:
        f.truncate(8 * 1024 * 1024)
    script = ("label: dos\nlabel-id: 0x0badc0de\nunit: sectors\n"
              "start=2048, size=4096, type=1\n"
              "start=6144, size=10240, type=5\n"
              "start=8192, size=2048, type=1\n"
              "start=12288, size=2048, type=1\n")
    run("sfdisk", "--no-reread", "--no-tell-kernel", "-q", disk, inp=script.encode())
    _, parts = _sfdisk_parts(disk)
    by = {p["index"]: p for p in parts}
    files = []
    for idx in (1, 5, 6):
        p = by[idx]
        v = fatimg.FatVolume(os.path.join(tmp, "l%d.img" % idx), 12, (p["last"] - p["first"] + 1) // 2, 4,
                             os.path.join(tmp, "l%d" % idx), base_sector=p["first"], partition=idx)
        v.put("/", "part%d.txt" % idx, ("partition %d of the looping disk\n" % idx).encode())
        _place(disk, v.img, p["first"])
        os.remove(v.img)
        p["fs"], p["cluster"] = "fat12", v.cluster_bytes
        files += v.files()
    by[2]["fs"] = "extended"
    # The second EBR's link now points back at the first EBR (relative start 0).
    ext = by[2]["first"]
    ebr1 = read_at(disk, ext * SECTOR, SECTOR)
    link_rel = struct.unpack_from("<I", ebr1, 446 + 16 + 8)[0]
    ebr2 = ext + link_rel
    entry = bytearray(16)
    entry[4] = 0x05
    struct.pack_into("<II", entry, 8, 0, 4096)
    write_at(disk, ebr2 * SECTOR + 446 + 16, bytes(entry))
    _write(out, "mbr-loop.img", {"image": "mbr-loop.img", "fs": "mbr", "volumeStartSector": 0, "clusterBytes": 0,
                                 "loop": "EBR at sector %d links back to the EBR at sector %d" % (ebr2, ext),
                                 "ebrSectors": "%d,%d" % (ext, ebr2)}, files, parts)


def build_gpt(out, tmp, S, ext4_builder):
    disk = os.path.join(out, "gpt.img")
    with open(disk, "wb") as f:
        f.truncate(50 * 1024 * 1024)
    run("sgdisk", "-U", "5B1D3C2A-0000-4000-8000-000000000001",
        "-n", "1:2048:+2M", "-t", "1:EF00", "-c", "1:EFI System", "-u", "1:5B1D3C2A-0000-4000-8000-0000000000A1",
        "-n", "2:0:+40M", "-t", "2:0700", "-c", "2:Torvane Data", "-u", "2:5B1D3C2A-0000-4000-8000-0000000000A2",
        "-n", "3:0:+4M", "-t", "3:8300", "-c", "3:Linux Root", "-u", "3:5B1D3C2A-0000-4000-8000-0000000000A3",
        disk)
    _, parts = _sfdisk_parts(disk)
    by = {p["index"]: p for p in parts}
    files = []
    p = by[1]
    v = fatimg.FatVolume(os.path.join(tmp, "g1.img"), 12, (p["last"] - p["first"] + 1) // 2, 1,
                         os.path.join(tmp, "g1"), base_sector=p["first"], partition=1, label="EFI")
    v.put("/EFI/BOOT", "README.TXT", S("small.txt"), "short-name-only")
    _place(disk, v.img, p["first"])
    os.remove(v.img)
    p["fs"], p["cluster"] = "fat12", v.cluster_bytes
    files += v.files()
    p = by[2]
    v = fatimg.FatVolume(os.path.join(tmp, "g2.img"), 32, (p["last"] - p["first"] + 1) // 2, 1,
                         os.path.join(tmp, "g2"), base_sector=p["first"], partition=2)
    _small_fat(v, S, "G")
    v.put_many("/Music", [("tone.mp3", S("tone_id3v1.mp3")), ("clip.avi", S("clip.avi"))])
    _place(disk, v.img, p["first"])
    os.remove(v.img)
    p["fs"], p["cluster"] = "fat32", v.cluster_bytes
    files += v.files()
    p = by[3]
    img, efiles = ext4_builder(os.path.join(tmp, "g3.img"), (p["last"] - p["first"] + 1) * SECTOR,
                               os.path.join(tmp, "g3"), p["first"], 3)
    _place(disk, img, p["first"])
    os.remove(img)
    p["fs"], p["cluster"] = "ext4", 1024
    files += efiles
    _write(out, "gpt.img", {"image": "gpt.img", "fs": "gpt", "volumeStartSector": 0, "clusterBytes": 0,
                            "diskGuid": "5B1D3C2A-0000-4000-8000-000000000001"}, files, parts)


def build_apple(out, tmp, S):
    disk = os.path.join(out, "apple.img")
    with open(disk, "wb") as f:
        f.truncate(16 * 1024 * 1024)
    run("parted", "-s", disk, "mklabel", "mac", "mkpart", "'Macintosh HD'", "hfs+", "1MiB", "9MiB",
        "mkpart", "Shared", "fat32", "9MiB", "15MiB")
    # Read the map back from the disk itself (parted's machine output has no types).
    parts = []
    count = struct.unpack_from(">I", read_at(disk, SECTOR, SECTOR), 4)[0]
    for i in range(1, count + 1):
        e = read_at(disk, i * SECTOR, SECTOR)
        assert e[:2] == b"PM"
        start, n = struct.unpack_from(">II", e, 8)
        name = e[16:48].split(b"\0")[0].decode("ascii")
        ptype = e[48:80].split(b"\0")[0].decode("ascii")
        parts.append({"index": i, "first": start, "last": start + n - 1, "type": ptype, "name": name, "fs": ""})
    files = []
    for p in parts:
        if p["name"] == "Shared":
            v = fatimg.FatVolume(os.path.join(tmp, "a.img"), 16, (p["last"] - p["first"] + 1) // 2, 2,
                                 os.path.join(tmp, "a"), base_sector=p["first"], partition=p["index"])
            _small_fat(v, S, "M")
            _place(disk, v.img, p["first"])
            os.remove(v.img)
            p["fs"], p["cluster"] = "fat16", v.cluster_bytes
            files += v.files()
    _write(out, "apple.img", {"image": "apple.img", "fs": "apm", "volumeStartSector": 0, "clusterBytes": 0,
                              "blockSize": 512}, files, parts)


# A GPT disk of 4 KiB logical sectors: partition 1 FAT16 with 4 KiB sectors, 2 ext4.
GPT4K_DISK_GUID = "5B1D3C2A-0000-4000-8000-000000004096"
GPT4K_PARTS = [  # index, first LBA, last LBA (4 KiB), type GUID, name, sgdisk type code
    (1, 256, 256 + 8192 - 1, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "4K Data", "0700"),
    (2, 8448, 8448 + 2048 - 1, "0FC63DAF-8483-4772-8E79-3D69D8477DE4", "4K Linux", "8300"),
]


def _gpt4k_with_sgdisk(disk):
    """sgdisk on a loop device of 4 KiB sectors; False when no such device can be had."""
    r = subprocess.run(["losetup", "-f", "--show", "-b", "4096", disk], stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, env=ENV)
    if r.returncode != 0:
        return False
    dev = r.stdout.decode().strip()
    try:
        if run("blockdev", "--getss", dev).strip() != "4096":
            return False
        args = ["sgdisk", "-U", GPT4K_DISK_GUID]
        for i, first, last, _, name, code in GPT4K_PARTS:
            args += ["-n", "%d:%d:%d" % (i, first, last), "-t", "%d:%s" % (i, code), "-c", "%d:%s" % (i, name),
                     "-u", "%d:5B1D3C2A-0000-4000-8000-00000000400%d" % (i, i)]
        run(*args, dev)
        return True
    finally:
        run("losetup", "-d", dev)


def _gpt4k_by_hand(disk):
    """The same tables written here: protective MBR, header and 128 entries at
    LBA 1 and 2, their backups at the end."""
    ss, n_entries, entry_size = 4096, 128, 128
    lbas = os.path.getsize(disk) // ss
    entries = bytearray(n_entries * entry_size)
    for i, first, last, tguid, name, _ in GPT4K_PARTS:
        e = (uuid.UUID(tguid).bytes_le + uuid.UUID("5B1D3C2A-0000-4000-8000-00000000400%d" % i).bytes_le +
             struct.pack("<QQQ", first, last, 0) + name.encode("utf-16-le").ljust(72, b"\0"))
        entries[(i - 1) * entry_size:i * entry_size] = e
    array_lbas = len(entries) // ss

    def header(my, alt, array_lba):
        h = bytearray(struct.pack("<8sIIIIQQQQ16sQIII", b"EFI PART", 0x10000, 92, 0, 0, my, alt, 2 + array_lbas,
                                  lbas - 2 - array_lbas, uuid.UUID(GPT4K_DISK_GUID).bytes_le, array_lba,
                                  n_entries, entry_size, zlib.crc32(entries)))
        struct.pack_into("<I", h, 16, zlib.crc32(h))
        return bytes(h)

    mbr = bytearray(512)
    mbr[446 + 4] = 0xEE
    struct.pack_into("<II", mbr, 446 + 8, 1, min(lbas - 1, 0xFFFFFFFF))
    mbr[510:512] = b"\x55\xaa"
    write_at(disk, 0, bytes(mbr))
    write_at(disk, ss, header(1, lbas - 1, 2))
    write_at(disk, 2 * ss, bytes(entries))
    write_at(disk, (lbas - 1 - array_lbas) * ss, bytes(entries))
    write_at(disk, (lbas - 1) * ss, header(lbas - 1, 1, lbas - 1 - array_lbas))


def build_gpt4k(out, tmp, S, ext4_builder):
    disk = os.path.join(out, "gpt4k.img")
    with open(disk, "wb") as f:
        f.truncate(48 * 1024 * 1024)
    made_by = "sgdisk" if _gpt4k_with_sgdisk(disk) else "script"
    if made_by == "script":
        _gpt4k_by_hand(disk)
    parts = [{"index": i, "first": first * 8, "last": (last + 1) * 8 - 1, "type": tguid, "name": name, "fs": ""}
             for i, first, last, tguid, name, _ in GPT4K_PARTS]
    by = {p["index"]: p for p in parts}
    files = []
    p = by[1]
    v = fatimg.FatVolume(os.path.join(tmp, "k1.img"), 16, (p["last"] - p["first"] + 1) // 2, 1,
                         os.path.join(tmp, "k1"), base_sector=p["first"], partition=1, extra_mkfs=("-S", "4096"))
    _small_fat(v, S, "K")
    _place(disk, v.img, p["first"])
    os.remove(v.img)
    p["fs"], p["cluster"] = "fat16", v.cluster_bytes
    files += v.files()
    p = by[2]
    img, efiles = ext4_builder(os.path.join(tmp, "k2.img"), (p["last"] - p["first"] + 1) * SECTOR,
                               os.path.join(tmp, "k2"), p["first"], 2, ("-t", "ext4", "-b", "4096"))
    _place(disk, img, p["first"])
    os.remove(img)
    p["fs"], p["cluster"] = "ext4", 4096
    files += efiles
    _write(out, "gpt4k.img", {"image": "gpt4k.img", "fs": "gpt", "volumeStartSector": 0, "clusterBytes": 0,
                              "logicalSectorSize": 4096, "tablesBy": made_by, "diskGuid": GPT4K_DISK_GUID},
           files, parts)
