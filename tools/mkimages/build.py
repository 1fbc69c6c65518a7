"""Builds every test image into OUTDIR (see README.md)."""
import os
import shutil
import sys
import time
import traceback
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bifrag    # noqa: E402
import disks      # noqa: E402
import exfatimg   # noqa: E402
import fatimg     # noqa: E402
import meta       # noqa: E402
import modern     # noqa: E402
import mp4frag    # noqa: E402
import ntfsimg    # noqa: E402
import pieces     # noqa: E402
import others     # noqa: E402
import samples    # noqa: E402
from lib import write_manifest  # noqa: E402


def main(out):
    tmp = os.path.join(out, ".work")
    os.makedirs(tmp, exist_ok=True)
    sdir = os.path.join(out, "samples")
    t0 = time.time()
    samples.make_samples(sdir, os.path.join(tmp, "samples"))
    S = lambda n: os.path.join(sdir, n)  # noqa: E731

    def fat(name, bits, kib, spc, many, extras):
        def job():
            v = fatimg.FatVolume(os.path.join(out, name), bits, kib, spc, os.path.join(tmp, name))
            fatimg.populate_standard(v, S, many=many, extras=extras)
            info = {"image": name, "fs": "fat%d" % bits, "volumeStartSector": 0, "clusterBytes": v.cluster_bytes}
            info.update(v.info())
            write_manifest(os.path.join(out, name + ".manifest"), info, v.files())
        return job

    def ntfs():
        v = ntfsimg.NtfsVolume(os.path.join(out, "ntfs.img"), 32 * 1024 * 1024, os.path.join(tmp, "ntfs"))
        ntfsimg.populate_standard(v, S, others.rnd)
        info = {"image": "ntfs.img", "fs": "ntfs", "volumeStartSector": 0, "clusterBytes": 4096}
        info.update(v.info())
        write_manifest(os.path.join(out, "ntfs.img.manifest"), info, v.files())

    def ext4_for_disk(img, size, t, base, part, mkfs=("-t", "ext4", "-b", "1024")):
        return others.build_ext(img, size, t, base, part, S, mkfs)

    jobs = {
        "fat12": fat("fat12.img", 12, 2048, 4, 120, False),
        "fat16": fat("fat16.img", 16, 24 * 1024, 4, 300, True),
        "fat32": fat("fat32.img", 32, 40 * 1024, 1, 300, True),
        "ntfs": ntfs,
        "ext4": lambda: others.build_ext4_image(out, os.path.join(tmp, "ext4"), S),
        "large-clusters": lambda: others.build_large_clusters(out, os.path.join(tmp, "large"), S),
        "ext-variants": lambda: others.build_ext_variants(out, os.path.join(tmp, "extv"), S),
        "mbr": lambda: disks.build_mbr(out, os.path.join(tmp, "mbr"), S, ext4_for_disk),
        "mbr-loop": lambda: disks.build_mbr_loop(out, os.path.join(tmp, "loop"), S),
        "gpt": lambda: disks.build_gpt(out, os.path.join(tmp, "gpt"), S, ext4_for_disk),
        "gpt4k": lambda: disks.build_gpt4k(out, os.path.join(tmp, "gpt4k"), S, ext4_for_disk),
        "apple": lambda: disks.build_apple(out, os.path.join(tmp, "apple"), S),
        "carve": lambda: others.build_carve(out, sdir),
        "bifrag": lambda: bifrag.build(out, os.path.join(tmp, "bifrag")),
        "mp4frag": lambda: mp4frag.build(out, os.path.join(tmp, "mp4frag")),
        "mp4fat": lambda: mp4frag.build_fat(out, os.path.join(tmp, "mp4fat")),
        "pieces": lambda: pieces.build(out, os.path.join(tmp, "pieces")),
        "ntfs-over-fat": lambda: others.build_ntfs_over_fat(out, os.path.join(tmp, "nof"), S),
        "fat-over-ntfs": lambda: others.build_fat_over_ntfs(out, os.path.join(tmp, "fon"), S),
        "demo": lambda: others.build_demo(out, os.path.join(tmp, "demo"), S),
        "exfat": lambda: exfatimg.build_main(out, os.path.join(tmp, "exfat"), S),
        "exfat-sizes": lambda: exfatimg.build_cluster_sizes(out, os.path.join(tmp, "exfat-sizes"), S),
        "exfat-reformat": lambda: exfatimg.build_reformat(out, os.path.join(tmp, "exfat-reformat"), S),
        "modern": lambda: modern.make_modern(os.path.join(out, "modern"), os.path.join(tmp, "modern")),
        "meta": lambda: meta.make_meta_image(out, os.path.join(tmp, "meta")),
    }
    failed = []

    def timed(name):
        t = time.time()
        try:
            jobs[name]()
            print("  %-14s %5.1fs" % (name, time.time() - t), flush=True)
        except Exception:
            failed.append(name)
            print("FAILED %s:\n%s" % (name, traceback.format_exc()), flush=True)

    with ThreadPoolExecutor(max_workers=3) as pool:
        list(pool.map(timed, list(jobs)))
    ntfsimg._unmount_all()
    exfatimg._cleanup()
    shutil.rmtree(tmp, ignore_errors=True)
    print("test images built in %.1fs" % (time.time() - t0))
    return 1 if failed else 0


if __name__ == "__main__":
    import signal
    # A stop request still runs the atexit hook that unmounts NTFS volumes.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(main(os.path.abspath(sys.argv[1])))
