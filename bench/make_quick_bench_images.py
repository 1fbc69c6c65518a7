#!/usr/bin/python3
"""Benchmark images for the quick passes at a million records.

    make_quick_bench_images.py OUTDIR [ntfs] [fat32]     (both when none is named)

OUTDIR/ntfs-1m.img   4 GiB NTFS made by mkntfs, its MFT then grown by this
                     script to 1,000,000 more records: 1,000 folders (in use)
                     under the root and 999,000 deleted files spread over
                     them (16 resident bytes each). Record 0's $DATA runlist
                     gets one more run for the new records; nothing else of
                     the volume is touched, so it is a crafted volume, fit for
                     timing the MFT walk and nothing more.
OUTDIR/fat32-1m.img  2 GiB FAT32 made by mkfs.fat (4 KiB clusters), with 1,000
                     folders in the root written by this script, each holding
                     1,000 deleted 8.3 entries (1,000,000 directory entries
                     below the root; each entry's first cluster is left free).

Each image gets IMAGE.count: "records folders deleted". An image that exists
with its count file is not made again. Making both takes a minute or two.
"""
import os
import struct
import subprocess
import sys

FOLDERS = 1000
NTFS_RECORDS = 1000000
FAT_PER_FOLDER = 1000
EXTS = ["jpg", "pdf", "doc", "txt", "mp3", "png", "zip", "xls"]
FILETIME_2020 = (1577836800 + 11644473600) * 10000000


def run(*cmd):
    subprocess.run(list(cmd), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# ---- NTFS ----

def attr_resident(atype, content, name_units=0):
    """A resident attribute: 0x18-byte header, content 8-aligned."""
    length = (0x18 + len(content) + 7) & ~7
    head = struct.pack("<IIBBHHHIHBB", atype, length, 0, name_units, 0x18, 0, 0, len(content), 0x18, 0, 0)
    return (head + content).ljust(length, b"\0")


def file_name_content(parent, name, size):
    units = name.encode("utf-16-le")
    return (struct.pack("<QQQQQQQII", parent | (1 << 48), FILETIME_2020, FILETIME_2020, FILETIME_2020,
                        FILETIME_2020, (size + 7) & ~7, size, 0, 0)
            + bytes([len(name), 1]) + units)


def make_record(number, flags, attrs):
    """A 1024-byte FILE record with its update sequence applied (number 1):
    attributes stay below byte 510, so both sectors end in zeros the array keeps."""
    body = b"".join(attrs) + b"\xff\xff\xff\xff"
    used = 0x38 + len(body)
    assert used <= 508, "a record must end before the first sector's last word"
    head = struct.pack("<4sHHQHHHHIIQHHI", b"FILE", 0x30, 3, 0, 1, 1, 0x38, flags, (used + 7) & ~7, 1024, 0,
                       len(attrs), 0, number)
    head += struct.pack("<HHH", 1, 0, 0)  # update sequence number, then the two sectors' saved words
    rec = bytearray((head.ljust(0x38, b"\0") + body).ljust(1024, b"\0"))
    rec[510:512] = b"\x01\x00"
    rec[1022:1024] = b"\x01\x00"
    return bytes(rec)


def decode_runs(data, pos):
    runs, lcn = [], 0
    while pos < len(data) and data[pos] != 0:
        h = data[pos]
        nl, no = h & 15, h >> 4
        length = int.from_bytes(data[pos + 1:pos + 1 + nl], "little")
        off = int.from_bytes(data[pos + 1 + nl:pos + 1 + nl + no], "little", signed=True)
        lcn += off
        runs.append((lcn, length))
        pos += 1 + nl + no
    return runs


def encode_runs(runs):
    out, prev = bytearray(), 0
    for lcn, length in runs:
        lb = length.to_bytes((length.bit_length() + 8) // 8, "little")
        delta = lcn - prev
        ob = delta.to_bytes(max(1, (delta.bit_length() + 8) // 8), "little", signed=True)
        out += bytes([len(ob) << 4 | len(lb)]) + lb + ob
        prev = lcn
    return bytes(out + b"\0")


def fixup_read(rec):
    rec = bytearray(rec)
    usa = struct.unpack_from("<H", rec, 4)[0]
    for i in range(1, 3):
        rec[i * 512 - 2:i * 512] = rec[usa + 2 * i:usa + 2 * i + 2]
    return rec


def fixup_write(rec):
    rec = bytearray(rec)
    usa = struct.unpack_from("<H", rec, 4)[0]
    usn = rec[usa:usa + 2]
    for i in range(1, 3):
        rec[usa + 2 * i:usa + 2 * i + 2] = rec[i * 512 - 2:i * 512]
        rec[i * 512 - 2:i * 512] = usn
    return bytes(rec)


def make_ntfs(outdir):
    img = os.path.join(outdir, "ntfs-1m.img")
    if os.path.exists(img) and os.path.exists(img + ".count"):
        return
    with open(img, "wb") as f:
        f.truncate(4 << 30)
    run("mkntfs", "-F", "-Q", "-q", "-c", "4096", "-s", "512", img)
    with open(img, "r+b") as f:
        boot = f.read(512)
        bps, spc = struct.unpack_from("<HB", boot, 0x0B)
        cluster = bps * spc
        mft_lcn = struct.unpack_from("<Q", boot, 0x30)[0]
        assert struct.unpack_from("<b", boot, 0x40)[0] == -10, "1 KiB records expected"
        f.seek(mft_lcn * cluster)
        rec0 = fixup_read(f.read(1024))
        # Record 0's attributes, $DATA rebuilt with one more run.
        pos = struct.unpack_from("<H", rec0, 0x14)[0]
        attrs = []
        new_first = None
        while struct.unpack_from("<I", rec0, pos)[0] != 0xFFFFFFFF:
            atype, alen = struct.unpack_from("<II", rec0, pos)
            a = bytes(rec0[pos:pos + alen])
            if atype == 0x80:
                run_off = struct.unpack_from("<H", a, 0x20)[0]
                runs = decode_runs(a, run_off)
                alloc = struct.unpack_from("<Q", a, 0x28)[0]
                new_first = alloc // 1024
                # The new records in the volume's last quarter, far from mkntfs's own files.
                start = (3 << 30) // cluster
                count = NTFS_RECORDS * 1024 // cluster
                runs.append((start, count))
                total = alloc + count * cluster
                rl = encode_runs(runs)
                head = bytearray(a[:0x40])
                struct.pack_into("<Q", head, 0x18, total // cluster - 1)
                struct.pack_into("<QQQ", head, 0x28, total, total, total)
                struct.pack_into("<H", head, 0x20, 0x40)
                body = bytes(head) + rl
                body = body.ljust((len(body) + 7) & ~7, b"\0")
                b = bytearray(body)
                struct.pack_into("<I", b, 4, len(b))
                a = bytes(b)
            attrs.append(a)
            pos += alen
        first = struct.unpack_from("<H", rec0, 0x14)[0]
        new0 = bytearray(rec0[:first]) + b"".join(attrs) + b"\xff\xff\xff\xff"
        assert len(new0) <= 1016, "record 0 grew past its size"
        struct.pack_into("<I", new0, 0x18, (len(new0) + 7) & ~7)
        new0 = bytes(new0.ljust(1024, b"\0"))
        f.seek(mft_lcn * cluster)
        f.write(fixup_write(new0))
        # The new records: folders first, then the deleted files among them.
        f.seek(start * cluster)
        data = attr_resident(0x80, b"torvane bench \0\0")
        std = attr_resident(0x10, struct.pack("<QQQQI", FILETIME_2020, FILETIME_2020, FILETIME_2020,
                                              FILETIME_2020, 0x20).ljust(48, b"\0"))
        chunk = []
        for i in range(NTFS_RECORDS):
            number = new_first + i
            if i < FOLDERS:
                name = "folder%04d" % i
                rec = make_record(number, 3, [std, attr_resident(0x30, file_name_content(5, name, 0))])
            else:
                name = "file%07d.%s" % (i, EXTS[i % len(EXTS)])
                parent = new_first + i % FOLDERS
                rec = make_record(number, 0, [std, attr_resident(0x30, file_name_content(parent, name, 16)), data])
            chunk.append(rec)
            if len(chunk) == 4096:
                f.write(b"".join(chunk))
                chunk = []
        f.write(b"".join(chunk))
    with open(img + ".count", "w") as c:
        c.write("%d %d %d\n" % (NTFS_RECORDS, FOLDERS, NTFS_RECORDS - FOLDERS))


# ---- FAT32 ----

def dir_entry(name83, attr, cluster, size):
    return struct.pack("<11sBBBHHHHHHHI", name83, attr, 0, 0, 0, 0x5021, 0x5021, cluster >> 16, 0, 0x5021,
                       cluster & 0xFFFF, size)


def make_fat32(outdir):
    img = os.path.join(outdir, "fat32-1m.img")
    if os.path.exists(img) and os.path.exists(img + ".count"):
        return
    with open(img, "wb") as f:
        f.truncate(2 << 30)
    run("mkfs.fat", "-F", "32", "-s", "8", "-n", "BENCH", img)
    with open(img, "r+b") as f:
        boot = f.read(512)
        bps, spc, reserved, nfats = struct.unpack_from("<HBHB", boot, 0x0B)
        fat_sectors = struct.unpack_from("<I", boot, 0x24)[0]
        root = struct.unpack_from("<I", boot, 0x2C)[0]
        cluster = bps * spc
        data_start = (reserved + nfats * fat_sectors) * bps
        fat_at = reserved * bps

        def cluster_offset(c):
            return data_start + (c - 2) * cluster

        per_cluster = cluster // 32
        folder_clusters = (FAT_PER_FOLDER + 2 + per_cluster - 1) // per_cluster
        root_clusters = (FOLDERS + 1 + per_cluster - 1) // per_cluster
        # Clusters from 3 on are free on a fresh volume: the root's chain
        # grows there, then each folder's chain; file data would start past them.
        nxt = 3
        fat = {}
        root_chain = [root] + list(range(nxt, nxt + root_clusters - 1))
        nxt += root_clusters - 1
        folders = []
        for _ in range(FOLDERS):
            folders.append(list(range(nxt, nxt + folder_clusters)))
            nxt += folder_clusters
        for chain in [root_chain] + folders:
            for a, b in zip(chain, chain[1:]):
                fat[a] = b
            fat[chain[-1]] = 0x0FFFFFFF
        free_from = nxt

        def write_chain(chain, payload):
            payload = payload.ljust(len(chain) * cluster, b"\0")
            for k, c in enumerate(chain):
                f.seek(cluster_offset(c))
                f.write(payload[k * cluster:(k + 1) * cluster])

        # Root: the volume label mkfs.fat wrote, then the folders.
        f.seek(cluster_offset(root))
        label = f.read(32)
        entries = [label] + [dir_entry(b"DIR%05d   " % i, 0x10, folders[i][0], 0) for i in range(FOLDERS)]
        write_chain(root_chain, b"".join(entries))
        for i, chain in enumerate(folders):
            own = [dir_entry(b".          ", 0x10, chain[0], 0), dir_entry(b"..         ", 0x10, 0, 0)]
            for j in range(FAT_PER_FOLDER):
                ext = EXTS[j % len(EXTS)].upper().encode()
                name = b"\xe5" + (b"%07d" % (i * FAT_PER_FOLDER + j))[:7] + ext
                own.append(dir_entry(name, 0x20, free_from + (i * FAT_PER_FOLDER + j) % 100000, 1000))
            write_chain(chain, b"".join(own))
        for copy in range(nfats):
            base = fat_at + copy * fat_sectors * bps
            for c, v in fat.items():
                f.seek(base + 4 * c)
                f.write(struct.pack("<I", v))
    with open(img + ".count", "w") as c:
        c.write("%d %d %d\n" % (FOLDERS * FAT_PER_FOLDER, FOLDERS, FOLDERS * FAT_PER_FOLDER))


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    kinds = sys.argv[2:] or ["ntfs", "fat32"]
    for kind in kinds:
        {"ntfs": make_ntfs, "fat32": make_fat32}[kind](out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
