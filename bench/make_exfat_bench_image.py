#!/usr/bin/python3
"""Benchmark image for the quick exFAT scan.

    make_exfat_bench_image.py OUTDIR

OUTDIR/exfat-50k.img   1 GiB exFAT, 4 KiB clusters (mkfs.exfat), filled through
                       exfat-fuse on a loop device (as root): 100 folders of
                       500 files (50,000 entries; every tenth file holds 100
                       bytes, the others are empty), then every fifth file
                       deleted.
OUTDIR/exfat-50k.img.count  "folders files deleted"

An image that exists with its count file is not made again. Takes about a
minute: every file goes through the FUSE driver.
"""
import os
import subprocess
import sys
import tempfile

FOLDERS, PER_FOLDER = 100, 500


def run(*cmd):
    return subprocess.run(list(cmd), check=True, stdout=subprocess.PIPE).stdout.decode().strip()


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    img = os.path.join(out, "exfat-50k.img")
    count = img + ".count"
    if os.path.exists(img) and os.path.exists(count):
        print("%s is there" % img)
        return 0
    with open(img, "wb") as f:
        f.truncate(1 << 30)
    run("mkfs.exfat", "-c", "4096", "-L", "BENCH", img)
    mnt = tempfile.mkdtemp(prefix="torvane-exfat-bench-")
    loop = run("losetup", "-f", "--show", img)
    deleted = 0
    try:
        subprocess.run(["mount.exfat-fuse", loop, mnt], check=True)
        try:
            for d in range(FOLDERS):
                folder = os.path.join(mnt, "folder %03d" % d)
                os.mkdir(folder)
                for i in range(PER_FOLDER):
                    with open(os.path.join(folder, "file number %05d.txt" % i), "wb") as f:
                        if i % 10 == 0:
                            f.write(b"%05d " % i * 16 + b"\n" * 4)
                for i in range(0, PER_FOLDER, 5):
                    os.remove(os.path.join(folder, "file number %05d.txt" % i))
                    deleted += 1
        finally:
            subprocess.run(["umount", mnt], check=True)
    finally:
        subprocess.run(["losetup", "-d", loop], check=True)
        os.rmdir(mnt)
    with open(count, "w") as f:
        f.write("%d %d %d\n" % (FOLDERS, FOLDERS * PER_FOLDER, deleted))
    print("made %s" % img)
    return 0


if __name__ == "__main__":
    sys.exit(main())
