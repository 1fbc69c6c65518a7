"""exFAT volumes: mkfs.exfat (exfatprogs), filled through exfat-fuse on a loop
device (it needs a block device). Ground truth comes from The Sleuth Kit, which
reads the volume on its own: before anything is deleted, tsk_loaddb lists every
path with where its clusters lie and tsk_recover must give back the bytes that
were written; afterwards tsk_loaddb must list every deleted file as deleted."""
import atexit
import os
import random
import shutil
import sqlite3
import subprocess
import threading
from contextlib import contextmanager

from lib import run, sha256_bytes, sha256_file, ftype_of, Entry, ENV, FIXED_TIME, read_at, write_at, SECTOR

_LOOPS = set()
_MOUNTS = set()
_LOOP_LOCK = threading.Lock()  # losetup -f picks a free device: one caller at a time


def _cleanup():
    for m in list(_MOUNTS):
        subprocess.run(["umount", m], stderr=subprocess.DEVNULL)
        _MOUNTS.discard(m)
    for d in list(_LOOPS):
        subprocess.run(["losetup", "-d", d], stderr=subprocess.DEVNULL)
        _LOOPS.discard(d)


atexit.register(_cleanup)


def rand_bytes(seed, n):
    return random.Random(seed).randbytes(n)


def boot_geometry(img):
    b = read_at(img, 0, 512)
    return {"fatOffset": int.from_bytes(b[80:84], "little"), "fatLength": int.from_bytes(b[84:88], "little"),
            "heapOffset": int.from_bytes(b[88:92], "little"), "clusterCount": int.from_bytes(b[92:96], "little"),
            "rootCluster": int.from_bytes(b[96:100], "little"),
            "sectorsPerCluster": 1 << b[109], "bytesPerSector": 1 << b[108]}


class ExfatVolume:
    def __init__(self, img, size_bytes, cluster, tmp, label="TORVANE", fresh=True, sector=SECTOR):
        self.img, self.tmp, self.cluster, self.label, self.sector = img, tmp, cluster, label, sector
        self.entries = {}   # path -> Entry, in the order written
        self.dirs = {"/"}
        os.makedirs(tmp, exist_ok=True)
        if not os.path.exists("/dev/fuse"):
            raise RuntimeError("/dev/fuse is missing: exfat-fuse cannot mount, so no exFAT image can be made here")
        if fresh:
            if os.path.exists(img):
                os.remove(img)
            with open(img, "wb") as f:
                f.truncate(size_bytes)
        if sector == SECTOR:
            run("mkfs.exfat", "-c", cluster, "-L", label, img)
        else:
            # mkfs.exfat takes the sector size of the device it formats.
            with self._loop() as loop:
                run("mkfs.exfat", "-c", cluster, "-L", label, loop)
        self.geo = boot_geometry(img)
        self.mnt = os.path.join(tmp, "mnt")
        os.makedirs(self.mnt, exist_ok=True)
        self.loop = None

    # Mounting: attach, mount, and undo both whatever happens in between.
    @contextmanager
    def _loop(self):
        with _LOOP_LOCK:
            loop = run("losetup", "-f", "--show", "--sector-size", self.sector, self.img).strip()
            _LOOPS.add(loop)
        try:
            yield loop
        finally:
            run("losetup", "-d", loop)
            _LOOPS.discard(loop)

    @contextmanager
    def mounted(self):
        with self._loop() as loop:
            r = subprocess.run(["mount.exfat-fuse", "-o", "uid=0,gid=0", loop, self.mnt], env=ENV,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if r.returncode != 0:
                raise RuntimeError("exfat-fuse could not mount %s (%s)" % (self.img, r.stderr.decode(errors="replace")))
            _MOUNTS.add(self.mnt)
            try:
                yield
            finally:
                run("umount", self.mnt)
                _MOUNTS.discard(self.mnt)

    def host(self, path):
        return os.path.join(self.mnt, path.lstrip("/"))

    # Writing (inside `with v.mounted()`) ---------------------------------------
    def mkdir(self, folder):
        os.makedirs(self.host(folder), exist_ok=True)
        cur = ""
        for p in [p for p in folder.split("/") if p]:
            cur += "/" + p
            self.dirs.add(cur)

    def _entry(self, folder, name, data, sample, note):
        path = (folder.rstrip("/") + "/" + name) if folder != "/" else "/" + name
        e = Entry("live", folder, name, len(data), sha256_bytes(data), -1, ftype_of(name), sample, note, 0, -1)
        self.entries[path] = e
        return path, e

    def put(self, folder, name, src, note=""):
        self.mkdir(folder)
        if isinstance(src, (bytes, bytearray)):
            data, sample = bytes(src), ""
        else:
            data = open(src, "rb").read()
            sample = "samples/" + os.path.basename(src)
        path, e = self._entry(folder, name, data, sample, note)
        with open(self.host(path), "wb") as f:
            f.write(data)
        os.utime(self.host(path), (FIXED_TIME, FIXED_TIME))
        return e

    def put_many(self, folder, items, note=""):
        return [self.put(folder, n, s, note) for n, s in items]

    def put_interleaved(self, folder, a, b, note="fragmented"):
        """Two files written a cluster at a time in turn, each write flushed,
        so their clusters alternate on the disk."""
        self.mkdir(folder)
        files = []
        for name, data in (a, b):
            path, e = self._entry(folder, name, data, "", note)
            files.append((open(self.host(path), "wb"), data, path, e))
        step = self.cluster
        longest = max(len(d) for _, d, _, _ in files)
        for off in range(0, longest, step):
            for f, data, _, _ in files:
                if off < len(data):
                    f.write(data[off:off + step])
                    f.flush()
                    os.fsync(f.fileno())
        for f, _, path, _ in files:
            f.close()
            os.utime(self.host(path), (FIXED_TIME, FIXED_TIME))
        return [e for _, _, _, e in files]

    def delete(self, *paths):
        for p in paths:
            os.remove(self.host(p))
            self.entries[p].state = "deleted"

    def deltree(self, folder):
        shutil.rmtree(self.host(folder))
        for p, e in self.entries.items():
            if p.startswith(folder + "/"):
                e.state = "deleted"
                if "in-deleted-folder" not in e.note:
                    e.note = (e.note + ";in-deleted-folder").strip(";")

    # Ground truth through The Sleuth Kit (unmounted) ----------------------------
    def _load(self):
        """tsk_loaddb's view of the volume: path -> (is folder, allocated, extents)."""
        db = os.path.join(self.tmp, "tsk.db")
        if os.path.exists(db):
            os.remove(db)
        run("tsk_loaddb", "-d", db, self.img)
        con = sqlite3.connect(db)
        try:
            layout = {}
            for oid, start, length in con.execute(
                    "SELECT obj_id, byte_start, byte_len FROM tsk_file_layout ORDER BY obj_id, sequence"):
                layout.setdefault(oid, []).append((start, length))
            # tsk_loaddb files a file's extents under its slack object (type
            # 7, "<name>-slack") when the file has slack: take them from there.
            slack = {}
            for oid, parent, name in con.execute(
                    "SELECT obj_id, parent_path, name FROM tsk_files WHERE type = 7"):
                if parent is not None and name and name.endswith("-slack"):
                    slack[parent + name[:-len("-slack")]] = oid
            out = {}
            # type 0: a file system's own file (not slack, not derived).
            for oid, meta_type, flags, parent, name in con.execute(
                    "SELECT obj_id, meta_type, dir_flags, parent_path, name FROM tsk_files WHERE type = 0"):
                if not name or name in (".", "..") or name.startswith("$") or parent is None:
                    continue
                path = parent + name
                extents = layout.get(oid) or layout.get(slack.get(path), [])
                out[path] = (meta_type == 2, flags == 1, extents)
        finally:
            con.close()
        os.remove(db)
        return out

    def locate(self):
        """Reads back every file written so far: path, content and place."""
        listing = self._load()
        rec = os.path.join(self.tmp, "recovered")
        shutil.rmtree(rec, ignore_errors=True)
        run("tsk_recover", "-a", "-f", "exfat", self.img, rec)
        for path, e in self.entries.items():
            if e.state != "live":
                continue
            if path not in listing or listing[path][0] or not listing[path][1]:
                raise RuntimeError("The Sleuth Kit does not list %s as a live file of %s" % (path, self.img))
            got = os.path.join(rec, path.lstrip("/"))
            # tsk_recover makes no file for an empty one.
            if e.size and (not os.path.isfile(got) or sha256_file(got) != e.sha256):
                raise RuntimeError("tsk_recover gives other bytes for %s of %s" % (path, self.img))
            extents, sectors = listing[path][2], []
            for start, length in extents:
                sectors.append((start // SECTOR, length // SECTOR))
            e.first_sector = sectors[0][0] if e.size and sectors else -1
            frags = sum(1 for i, (s, _) in enumerate(sectors) if i == 0 or s != sectors[i - 1][0] + sectors[i - 1][1])
            e.fragments = frags if sectors else 1
            if frags > 1 and "fragmented" not in e.note:
                e.note = (e.note + ";fragmented").strip(";")
        shutil.rmtree(rec, ignore_errors=True)
        for d in self.dirs - {"/"}:
            if d not in listing or not listing[d][0]:
                raise RuntimeError("The Sleuth Kit does not list folder %s of %s" % (d, self.img))
        return listing

    def check_deleted(self):
        """Every file deleted must be listed as deleted, under its own path."""
        listing = self._load()
        for path, e in self.entries.items():
            if e.state == "deleted" and (path not in listing or listing[path][1]):
                raise RuntimeError("The Sleuth Kit does not list %s of %s as deleted" % (path, self.img))

    def info(self):
        g = self.geo
        scale = g["bytesPerSector"] // SECTOR
        return {"heapStartSector": g["heapOffset"] * scale, "sectorsPerCluster": g["sectorsPerCluster"] * scale,
                "clusterCount": g["clusterCount"], "rootCluster": g["rootCluster"],
                "fatStartSector": g["fatOffset"] * scale, "volumeLabel": self.label}

    def files(self):
        return list(self.entries.values())


def populate_standard(v, S):
    """The main layout: names of every kind, one-cluster and many-cluster
    files, fragmented files, a big folder, deletions and a deleted tree."""
    with v.mounted():
        v.put("/", "README.txt", S("small.txt"))
        v.put("/", "empty.txt", b"", "empty")
        v.put("/", "empty deleted.txt", b"", "empty")
        v.put_many("/DCIM/100TORVN", [("IMG_0001.JPG", S("photo.jpg")), ("IMG_0002.JPG", S("photo_exif.jpg")),
                                      ("IMG_0003.PNG", S("image.png")), ("IMG_0004.JPG", S("large.jpg"))])
        v.put_many("/Documents", [("Quarterly Report 2020 (final).pdf", S("document.pdf")),
                                  ("Фото_été.jpg", S("photo.jpg")), ("日本語の報告書.txt", S("notes.txt")),
                                  ("letter to the bank.docx", S("document.docx")),
                                  ("Слайды совещания.pptx", S("slides.pptx")),
                                  # The longest name there is: 255 characters.
                                  ("L" * 251 + ".txt", S("notes.txt")),
                                  ("Очень длинное имя файла " * 5 + ".txt", S("small.txt"))])
        v.put("/Documents/Deep/Nested/Folder/Path", "deep notes.txt", S("notes.txt"))
        v.put("/Documents/Deep/Nested/Folder/Path", "deep deleted.pdf", S("document.pdf"))
        v.put_many("/Big", [("large random.bin", rand_bytes(1, 3 * 1024 * 1024 + 123)),
                            ("big deleted.bin", rand_bytes(2, 1024 * 1024 + 7))])
        v.put_many("/Trash Folder", [("first note.txt", S("notes.txt")), ("camera.jpg", S("photo_exif.jpg"))])
        v.put_many("/Trash Folder/Sub Folder", [("report copy.pdf", S("document.pdf")), ("tone.mp3", S("tone_id3v2.mp3"))])
        # Far more entries than one cluster of folder holds: the folder grows
        # between the files' clusters and keeps a FAT chain.
        v.put_many("/Many Files", [("entry number %03d.txt" % i,
                                    ("Entry %03d of the many-files folder.\n" % i).encode() * (1 + i % 7))
                                   for i in range(150)])
        # Two pairs of files whose clusters alternate. Of the first pair only
        # one is deleted: the live one holds the clusters in between. Both of
        # the second pair are deleted: their clusters are all free.
        big = 6 * v.cluster + 100
        v.put_interleaved("/Frag", ("frag live A.bin", rand_bytes(3, big)), ("frag deleted B.bin", rand_bytes(4, big)))
        v.put_interleaved("/Frag", ("frag deleted C.bin", rand_bytes(5, big)), ("frag deleted D.bin", rand_bytes(6, big)))
    v.locate()
    for p in ("/Frag/frag deleted B.bin",):
        v.entries[p].note += ";beside-live"
    for p in ("/Frag/frag deleted C.bin", "/Frag/frag deleted D.bin"):
        v.entries[p].note += ";beside-deleted"
    # Deletions come last, so nothing overwrites what was deleted.
    with v.mounted():
        v.delete("/empty deleted.txt", "/DCIM/100TORVN/IMG_0003.PNG", "/DCIM/100TORVN/IMG_0004.JPG",
                 "/Documents/letter to the bank.docx", "/Documents/Слайды совещания.pptx",
                 "/Documents/Deep/Nested/Folder/Path/deep deleted.pdf", "/Big/big deleted.bin",
                 "/Frag/frag deleted B.bin", "/Frag/frag deleted C.bin", "/Frag/frag deleted D.bin")
        v.delete(*["/Many Files/entry number %03d.txt" % i for i in range(0, 150, 3)])
        v.deltree("/Trash Folder")
    v.check_deleted()


def populate_small(v, S):
    """The layout of the cluster-size variants: few files, since every file
    takes at least a cluster."""
    with v.mounted():
        v.put("/", "README.txt", S("small.txt"))
        v.put_many("/Photos/2020", [("kept.jpg", S("photo.jpg")), ("gone.jpg", S("photo_exif.jpg"))])
        v.put_many("/Документы", [("отчёт.pdf", S("document.pdf")), ("報告.txt", S("notes.txt"))])
        v.put("/Big", "many clusters.bin", rand_bytes(7, 3 * v.cluster + 99))
        v.put_many("/Trash Folder", [("first note.txt", S("notes.txt")), ("camera.jpg", S("large.jpg"))])
        v.put("/Trash Folder/Sub Folder", "report copy.pdf", S("document.pdf"))
        v.put_interleaved("/Frag", ("frag deleted C.bin", rand_bytes(8, 2 * v.cluster + 5)),
                          ("frag deleted D.bin", rand_bytes(9, 2 * v.cluster + 5)))
    v.locate()
    for p in ("/Frag/frag deleted C.bin", "/Frag/frag deleted D.bin"):
        v.entries[p].note += ";beside-deleted"
    with v.mounted():
        v.delete("/Photos/2020/gone.jpg", "/Документы/報告.txt", "/Big/many clusters.bin",
                 "/Frag/frag deleted C.bin", "/Frag/frag deleted D.bin")
        v.deltree("/Trash Folder")
    v.check_deleted()


def populate_old(v, S):
    """The volume that is formatted over: a filler first, so the old folders lie
    past the clusters the new volume's own metadata takes."""
    with v.mounted():
        v.put("/", "filler.bin", rand_bytes(10, 256 * 1024))
        v.put_many("/Photos/2019", [("beach.jpg", S("photo.jpg")), ("party.jpg", S("photo_exif.jpg"))])
        v.put_many("/Photos/2020", [("snow.jpg", S("large.jpg")), ("notes.txt", S("notes.txt"))])
        v.put_many("/Projects/Alpha", [("plan.pdf", S("document.pdf")), ("budget.xlsx", S("sheet.xlsx"))])
        v.put_many("/Projects/Beta", [("Слайды.pptx", S("slides.pptx")), ("readme.txt", S("small.txt"))])
        v.put_many("/Projects/Beta/Deeper", [("music.mp3", S("tone_id3v2.mp3"))])
    return v.locate()


def _manifest(out, name, v, extra=None, files=None):
    from lib import write_manifest
    info = {"image": name, "fs": "exfat", "volumeStartSector": 0, "clusterBytes": v.cluster}
    info.update(v.info())
    info.update(extra or {})
    write_manifest(os.path.join(out, name + ".manifest"), info, v.files() if files is None else files)


def build_main(out, tmp, S):
    """exfat.img (4 KiB clusters) and exfat-noboot.img, the same volume with
    its main boot sector zeroed: the backup boot region must serve."""
    v = ExfatVolume(os.path.join(out, "exfat.img"), 32 << 20, 4096, tmp)
    populate_standard(v, S)
    _manifest(out, "exfat.img", v)
    shutil.copyfile(v.img, os.path.join(out, "exfat-noboot.img"))
    write_at(os.path.join(out, "exfat-noboot.img"), 0, bytes(SECTOR))
    _manifest(out, "exfat-noboot.img", v, {"mainBootZeroed": 1})


def build_cluster_sizes(out, tmp, S):
    """exfat-64k.img and exfat-1m.img: large clusters; exfat-4kn.img: 4096-byte
    sectors (formatted on a loop device with that sector size)."""
    for name, size, cluster, sector in (("exfat-64k.img", 24 << 20, 64 << 10, SECTOR),
                                        ("exfat-1m.img", 48 << 20, 1 << 20, SECTOR),
                                        ("exfat-4kn.img", 16 << 20, 4096, 4096)):
        w = ExfatVolume(os.path.join(out, name), size, cluster, os.path.join(tmp, name), sector=sector)
        populate_small(w, S)
        _manifest(out, name, w)


def build_reformat(out, tmp, S):
    """exfat-reformat.img: an old volume with 4 KiB clusters, formatted again
    with 32 KiB clusters. The new volume's metadata overwrites the old root
    folder, so the old top folders lose their names; what lies below them
    keeps its own. The old files are listed as deleted with tags old-fs and
    data-intact/data-overwritten (checked after the format); info
    oldDir.<folder> = <cluster>;<first sector> of each old folder, and
    old.heapStartSector / old.sectorsPerCluster the old geometry."""
    img = os.path.join(out, "exfat-reformat.img")
    old = ExfatVolume(img, 32 << 20, 4096, os.path.join(tmp, "old"))
    listing = populate_old(old, S)
    old_info = old.info()
    extra = {"old.heapStartSector": old_info["heapStartSector"], "old.sectorsPerCluster": old_info["sectorsPerCluster"]}
    for d in sorted(old.dirs - {"/"}):
        first = listing[d][2][0][0] // SECTOR
        cluster = (first - old_info["heapStartSector"]) // old_info["sectorsPerCluster"] + 2
        extra["oldDir." + d] = "%d;%d" % (cluster, first)
    new = ExfatVolume(img, 0, 32768, os.path.join(tmp, "new"), label="NEWCARD", fresh=False)
    for e in old.files():
        e.state = "deleted"
        intact = e.size == 0 or (e.first_sector >= 0 and e.fragments == 1 and
                                 sha256_bytes(read_at(img, e.first_sector * SECTOR, e.size)) == e.sha256)
        e.note = (e.note + ";old-fs;" + ("data-intact" if intact else "data-overwritten")).strip(";")
    # The geometry keys describe the volume there now; old.* the one before.
    _manifest(out, "exfat-reformat.img", new, extra, old.files())
