"""FAT12/16/32 volumes written with mtools (the kernel here has no vfat driver)."""
import os
import random
import re
import struct

from lib import run, sha256_file, fix_time, ftype_of, Entry, read_at, write_at, SECTOR


class FatVolume:
    """A FAT volume in its own image file. `base_sector` is where the volume will
    sit on a whole disk, so recorded sectors are absolute on that disk. Sectors
    in the manifest are 512 bytes, also on a volume of larger sectors (-S)."""

    def __init__(self, img, bits, size_kib, spc, tmp, base_sector=0, serial="1234ABCD", label="TORVANE",
                 partition=-1, extra_mkfs=()):
        self.img, self.bits, self.tmp, self.base = img, bits, tmp, base_sector
        self.partition = partition
        self.entries = {}   # path -> Entry
        os.makedirs(tmp, exist_ok=True)
        if os.path.exists(img):
            os.remove(img)
        bps = int(extra_mkfs[list(extra_mkfs).index("-S") + 1]) if "-S" in extra_mkfs else SECTOR
        args = ["mkfs.fat", "-C", "-F", bits, "-s", spc, "-i", serial]
        if base_sector:
            args += ["-h", base_sector * SECTOR // bps]  # hidden sectors count the volume's own sectors
        run(*args, *extra_mkfs, img, size_kib)
        run("mlabel", "-i", img, "::" + label)
        self._geometry()
        self.dirs = {"/"}
        self._n = 0

    def _geometry(self):
        bs = read_at(self.img, 0, 512)
        bps, spc, rsvd, nfats, rootents, tot16, _, fatsz16 = struct.unpack_from("<HBHBHHBH", bs, 11)
        fatsz = fatsz16 or struct.unpack_from("<I", bs, 36)[0]
        # Kept in 512-byte sectors whatever the volume's sector size.
        scale = bps // SECTOR
        self.bps = bps
        self.spc = spc * scale
        self.cluster_bytes = spc * bps
        self.reserved = rsvd * scale
        self.fat_sectors = fatsz * scale
        self.nfats = nfats
        self.root_sectors = (rootents * 32 + bps - 1) // bps * scale
        self.data_start = self.reserved + nfats * self.fat_sectors + self.root_sectors
        self.root_cluster = struct.unpack_from("<I", bs, 44)[0] if self.bits == 32 else 0

    def sector_of_cluster(self, c):
        return self.base + self.data_start + (c - 2) * self.spc

    def info(self):
        return {"fatBits": self.bits, "bytesPerSector": self.bps, "sectorsPerCluster": self.spc,
                "reservedSectors": self.reserved,
                "fatSectors": self.fat_sectors, "numFats": self.nfats, "rootDirSectors": self.root_sectors,
                "dataStartSector": self.base + self.data_start, "rootCluster": self.root_cluster,
                "volumeLabel": "TORVANE"}

    def mkdir(self, path):
        parts = [p for p in path.split("/") if p]
        cur = ""
        for p in parts:
            cur += "/" + p
            if cur not in self.dirs:
                run("mmd", "-i", self.img, "::" + cur)
                self.dirs.add(cur)

    def _stage(self, data):
        self._n += 1
        p = os.path.join(self.tmp, "stage%05d" % self._n)
        with open(p, "wb") as f:
            f.write(data)
        fix_time(p)
        return p

    def put_many(self, folder, items, note=""):
        """items: list of (name, source path or bytes). One mcopy call per item, one
        mshowfat call for all of them afterwards."""
        self.mkdir(folder)
        paths = []
        for name, src in items:
            if isinstance(src, (bytes, bytearray)):
                sample = ""
                src = self._stage(src)
            else:
                sample = "samples/" + os.path.basename(src) if "/samples/" in src else ""
                fix_time(src)
            path = (folder.rstrip("/") + "/" + name)
            run("mcopy", "-m", "-o", "-i", self.img, src, "::" + path)
            e = Entry("live", folder if folder else "/", name, os.path.getsize(src), sha256_file(src), -1,
                      ftype_of(name), sample, note, 0, self.partition)
            self.entries[path] = e
            paths.append(path)
        self._locate(paths)
        return [self.entries[p] for p in paths]

    def put(self, folder, name, src, note=""):
        return self.put_many(folder, [(name, src)], note)[0]

    def _locate(self, paths):
        if not paths:
            return
        out = run("mshowfat", "-i", self.img, *["::" + p for p in paths])
        lines = [l for l in out.splitlines() if l.strip()]
        assert len(lines) == len(paths), out
        for p, line in zip(paths, lines):
            runs = re.findall(r"<(\d+)(?:-(\d+))?>", line)
            e = self.entries[p]
            if not runs:
                e.first_sector, e.fragments = -1, 0   # empty file: no cluster
                continue
            e.first_sector = self.sector_of_cluster(int(runs[0][0]))
            e.fragments = len(runs)
            e.clusters = [(int(a), int(b or a)) for a, b in runs]

    def delete(self, *paths):
        run("mdel", "-i", self.img, *["::" + p for p in paths])
        for p in paths:
            self.entries[p].state = "deleted"

    def deltree(self, folder):
        run("mdeltree", "-i", self.img, "::" + folder)
        for p, e in self.entries.items():
            if p.startswith(folder + "/"):
                e.state = "deleted"
                e.note = (e.note + ";" if e.note else "") + "in-deleted-folder"

    def no_fsinfo_hint(self):
        """mtools follows FAT32's next-free hint and would never fill holes."""
        if self.bits == 32:
            write_at(self.img, 512 + 0x1EC, b"\xff\xff\xff\xff")

    def files(self):
        return list(self.entries.values())


def rand_bytes(seed, n):
    return random.Random(seed).randbytes(n)


def populate_standard(v, S, many=300, frag=True, extras=True):
    """The common layout of the FAT test volumes. S(name) is a sample's path."""
    v.put("/", "README.TXT", S("small.txt"), "short-name-only")
    v.put("/", "KEEP.DOC", S("document.doc"), "short-name-only")
    v.put_many("/DCIM/100TORVN", [("IMG_0001.JPG", S("photo.jpg")), ("IMG_0002.JPG", S("photo_exif.jpg")),
                                  ("IMG_0003.PNG", S("image.png") if extras else S("image.gif")),
                                  ("IMG_0004.JPG", S("photo_exif.jpg"))])
    v.put_many("/Documents", [("Quarterly Report 2020 (final).pdf", S("document.pdf")),
                              ("Фото_été.jpg", S("photo.jpg")), ("日本語.txt", S("notes.txt")),
                              ("letter to the bank.docx", S("document.docx")),
                              ("Budget.xlsx", S("sheet.xlsx"))])
    v.put("/Documents/Old", "Slides from the meeting.pptx", S("slides.pptx"))
    v.put("/Documents/Deep/Nested/Folder/Path", "deep notes.txt", S("notes.txt"))
    v.put_many("/Music", [("tone.mp3", S("tone_id3v2.mp3")), ("tune.mid", S("tune.mid"))])
    v.put_many("/Trash Folder", [("first note.txt", S("notes.txt")), ("camera.jpg", S("photo_exif.jpg"))])
    v.put_many("/Trash Folder/Sub Folder", [("report copy.pdf", S("document.pdf")), ("OLD.DOC", S("document.doc"))])
    v.put("/", "empty.txt", b"", "empty")
    # A folder with far more entries than one cluster of directory holds.
    v.put_many("/Many Files", [("entry number %03d.txt" % i,
                                ("Entry %03d of the many-files folder.\n" % i).encode() * (1 + i % 7))
                               for i in range(many)])
    frag_names = []
    if frag:
        # Fill files, every other one deleted, leave holes that the next files must
        # be split across: one stays live, one is deleted.
        v.no_fsinfo_hint()
        # Holes sized so the live file spans about five of the twelve and the
        # deleted one takes the rest and runs on past them.
        asize = os.path.getsize(S("photo_exif.jpg"))
        hole = max(2, -(-asize // (5 * v.cluster_bytes))) * v.cluster_bytes
        fills = v.put_many("/Frag/fill", [("fill_%02d.bin" % i, rand_bytes(1000 + i, hole)) for i in range(24)], "fill")
        v.delete(*["/Frag/fill/" + f.name for f in fills[1::2]])
        for f in fills[1::2]:
            f.note = "overwritten"
        v.no_fsinfo_hint()
        a = v.put("/Frag", "fragmented live.jpg", S("photo_exif.jpg"), "fragmented")
        v.no_fsinfo_hint()
        b = v.put("/Frag", "fragmented deleted.jpg", S("large.jpg") if extras else S("photo.jpg"), "fragmented")
        assert a.fragments > 1 and b.fragments > 1, (a.fragments, b.fragments)
        frag_names.append("/Frag/fragmented deleted.jpg")
    # Deletions come last, so nothing overwrites what was deleted.
    v.delete("/DCIM/100TORVN/IMG_0003.PNG", "/DCIM/100TORVN/IMG_0004.JPG",
             "/Documents/letter to the bank.docx", "/Documents/Old/Slides from the meeting.pptx",
             "/Music/tune.mid", "/KEEP.DOC", *frag_names)
    v.deltree("/Trash Folder")
    v.delete(*["/Many Files/entry number %03d.txt" % i for i in range(0, many, 3)])
