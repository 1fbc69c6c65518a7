"""NTFS volumes: mkntfs, then ntfs-3g through FUSE to make folders and delete files
(ntfscp cannot delete). Positions come from ntfsinfo's runlists, read while the
files are still live."""
import atexit
import os
import re
import shutil
import subprocess

from lib import run, sha256_file, sha256_bytes, fix_time, ftype_of, Entry, FIXED_TIME

_MOUNTED = set()


def _unmount_all():
    for m in list(_MOUNTED):
        subprocess.run(["umount", m], stderr=subprocess.DEVNULL)
        _MOUNTED.discard(m)


atexit.register(_unmount_all)


class NtfsVolume:
    def __init__(self, img, size_bytes, tmp, base_sector=0, partition=-1, label="TORVANE", cluster=4096):
        self.img, self.tmp, self.base, self.partition = img, tmp, base_sector, partition
        self.cluster = cluster
        self.spc = cluster // 512
        self.entries = {}
        os.makedirs(tmp, exist_ok=True)
        if not os.path.exists("/dev/fuse"):
            raise RuntimeError("/dev/fuse is missing: ntfs-3g cannot mount, so no NTFS image can be made here")
        with open(img, "wb") as f:
            f.truncate(size_bytes)
        args = ["mkntfs", "-F", "-f", "-q", "-c", cluster, "-L", label]
        if base_sector:
            args += ["-p", base_sector, "-H", 255, "-S", 63]
        run(*args, img)
        self.mnt = os.path.join(tmp, "mnt")
        os.makedirs(self.mnt, exist_ok=True)
        self.mounted = False

    # Mounting -------------------------------------------------------------
    def mount(self):
        if not self.mounted:
            r = subprocess.run(["ntfs-3g", "-o", "streams_interface=windows", self.img, self.mnt],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if r.returncode != 0:
                raise RuntimeError("ntfs-3g could not mount %s through FUSE (%s); NTFS images need it"
                                   % (self.img, r.stderr.decode(errors="replace").strip()))
            _MOUNTED.add(self.mnt)
            self.mounted = True

    def unmount(self):
        if self.mounted:
            run("umount", self.mnt)
            _MOUNTED.discard(self.mnt)
            self.mounted = False

    def host(self, path):
        return os.path.join(self.mnt, path.lstrip("/"))

    # Writing ----------------------------------------------------------------
    def mkdir(self, folder):
        self.mount()
        os.makedirs(self.host(folder), exist_ok=True)

    def put(self, folder, name, src, note=""):
        self.mount()
        self.mkdir(folder)
        path = folder.rstrip("/") + "/" + name
        if isinstance(src, (bytes, bytearray)):
            data, sample = bytes(src), ""
        else:
            data = open(src, "rb").read()
            sample = "samples/" + os.path.basename(src) if "/samples/" in src else ""
        with open(self.host(path), "wb") as f:
            f.write(data)
        os.utime(self.host(path), (FIXED_TIME, FIXED_TIME))
        e = Entry("live", folder or "/", name, len(data), sha256_bytes(data), -1, ftype_of(name.split(":")[0]),
                  sample, note, 0, self.partition)
        self.entries[path] = e
        return e

    def put_stream(self, path, stream, data, note="ads"):
        """An alternate data stream on an existing file; listed as 'name:stream'."""
        self.mount()
        with open(self.host(path) + ":" + stream, "wb") as f:
            f.write(data)
        folder, name = path.rsplit("/", 1)
        e = Entry("live", folder or "/", name + ":" + stream, len(data), sha256_bytes(data), -1, "",
                  "", note, 0, self.partition)
        self.entries[path + ":" + stream] = e
        return e

    def free_bytes(self):
        self.mount()
        st = os.statvfs(self.mnt)
        return st.f_bavail * st.f_frsize

    def delete_now(self, *paths):
        """Delete while mounted, without locating (for fill files that get overwritten)."""
        self.mount()
        for p in paths:
            os.remove(self.host(p))
            self.entries[p].state = "deleted"

    # Locating and deleting ----------------------------------------------------
    def locate(self, paths):
        self.unmount()
        for p in paths:
            e = self.entries[p]
            base, _, stream = p.partition(":")
            out = run("ntfsinfo", "-v", "-F", base, self.img)
            rec = None
            cur_name, cur_is_data, resident, runs, found = None, False, None, [], None
            sections = re.split(r"\n(?=Dumping attribute )", out)
            for sec in sections:
                m = re.match(r"Dumping attribute \$(\w+) \(0x[0-9a-f]+\) from mft record (\d+)", sec)
                if not m:
                    continue
                if m.group(1) != "DATA":
                    rec = rec or int(m.group(2))
                    continue
                nm = re.search(r"Attribute name:\s+'([^']*)'", sec)
                name = nm.group(1) if nm else ""
                if name != stream:
                    continue
                rec = int(m.group(2))
                resident = re.search(r"Resident:\s+Yes", sec) is not None
                runs = [(int(v, 16), lcn, int(n, 16)) for v, lcn, n in
                        re.findall(r"^\s+0x([0-9a-f]+)\s+(0x[0-9a-f]+|<HOLE>|\S+)\s+0x([0-9a-f]+)\s*$", sec, re.M)]
                found = True
            if not found:
                raise RuntimeError("no $DATA %r in ntfsinfo of %s" % (stream, base))
            tags = ["mft=%d" % rec]
            if resident:
                e.first_sector, e.fragments = -1, 1
                if "resident" not in e.note:
                    tags.append("resident")
            else:
                real = [r for r in runs if r[1].startswith("0x")]
                e.first_sector = self.base + int(real[0][1], 16) * self.spc if real else -1
                # Count fragments as physically separate extents.
                frags, prev_end = 0, None
                for _, lcn, n in real:
                    l = int(lcn, 16)
                    if prev_end is None or l != prev_end:
                        frags += 1
                    prev_end = l + n
                e.fragments = frags
            e.note = ";".join([x for x in [e.note] if x] + tags)

    def finish(self, delete_paths=(), delete_folders=()):
        """Locate every listed file while live, then delete what must be deleted."""
        todo = [p for p, e in self.entries.items() if e.state == "live" and "fill" not in e.note]
        self.locate(todo)
        self.mount()
        for p in delete_paths:
            os.remove(self.host(p))
            # A file's streams go with it.
            for q, e in self.entries.items():
                if q == p or q.startswith(p + ":"):
                    e.state = "deleted"
        for folder in delete_folders:
            shutil.rmtree(self.host(folder))
            for p, e in self.entries.items():
                if p.startswith(folder + "/"):
                    e.state = "deleted"
                    e.note = "in-deleted-folder;" + e.note
        self.unmount()

    def info(self):
        out = run("ntfsinfo", "-m", self.img)
        def grab(key):
            m = re.search(key + r":\s+(\S+)", out)
            return m.group(1) if m else ""
        return {"clusterBytes": self.cluster, "mftRecordSize": grab("MFT Record Size"),
                "volumeSizeClusters": grab("Volume Size in Clusters"), "volumeLabel": "TORVANE"}

    def files(self):
        return list(self.entries.values())


def populate_standard(v, S, rnd, big_bytes=3 * 1024 * 1024, fragment=True, many=60):
    v.put("/", "README.txt", S("small.txt"), "resident")
    v.put("/", "tiny deleted.txt", b"A resident file that is deleted.\n" * 5, "resident")
    v.put("/Photos/Holiday 2020", "IMG_0001.JPG", S("photo.jpg"))
    v.put("/Photos/Holiday 2020", "IMG_0002.JPG", S("photo_exif.jpg"))
    v.put("/Photos/Holiday 2020", "IMG_0003.PNG", S("image.png"))
    v.put("/Photos", "Фото_été.jpg", S("photo.jpg"))
    v.put("/Documents", "日本語.txt", S("notes.txt"))
    v.put("/Documents", "Quarterly Report 2020 (final).pdf", S("document.pdf"))
    v.put("/Documents", "letter to the bank.docx", S("document.docx"))
    v.put("/Documents", "Budget.xlsx", S("sheet.xlsx"))
    v.put("/Documents/Old", "Slides from the meeting.pptx", S("slides.pptx"))
    v.put("/Documents/Old", "legacy.doc", S("document.doc"))
    v.put("/Documents", "with stream.txt", S("small.txt"))
    v.put_stream("/Documents/with stream.txt", "Zone.Identifier", b"[ZoneTransfer]\r\nZoneId=3\r\n")
    v.put_stream("/Documents/with stream.txt", "hidden notes", open(S("notes.txt"), "rb").read())
    # A deleted file with a resident and a non-resident stream.
    v.put("/Documents", "deleted with streams.txt", S("small.txt"))
    v.put_stream("/Documents/deleted with streams.txt", "note", b"A stream of a deleted file.\n")
    v.put_stream("/Documents/deleted with streams.txt", "photo", open(S("photo.jpg"), "rb").read())
    v.put("/Media", "clip.mp4", S("clip.mp4"))
    v.put("/Media", "tone.mp3", S("tone_id3v2.mp3"))
    v.put("/Big", "large random.bin", rnd(42, big_bytes), "large")
    v.put("/Trash Folder", "first note.txt", S("notes.txt"))
    v.put("/Trash Folder", "camera.jpg", S("photo_exif.jpg"))
    v.put("/Trash Folder/Sub Folder", "report copy.pdf", S("document.pdf"))
    v.put("/Trash Folder/Sub Folder", "tiny.txt", b"resident in a deleted folder\n", "resident")
    for i in range(many):
        v.put("/Many Files", "entry number %03d.txt" % i, ("Entry %03d of the folder.\n" % i).encode() * (40 + i))
    if fragment:
        # Fill the volume, free every other small file, then write files that can
        # only go into the holes.
        v.unmount()
        v.mount()
        hole = 2 * v.cluster
        nfill = 160
        free = v.free_bytes()
        filler = free - nfill * hole - 400 * 1024
        if filler > 0:
            v.put("/Frag", "filler.bin", b"\0" * filler, "filler")
        for i in range(nfill):
            v.put("/Frag/fill", "fill_%02d.bin" % i, rnd(2000 + i, hole), "fill")
        v.delete_now(*["/Frag/fill/fill_%02d.bin" % i for i in range(1, nfill, 2)])
        for i in range(1, nfill, 2):
            v.entries["/Frag/fill/fill_%02d.bin" % i].note = "fill;overwritten"
        v.unmount()
        v.mount()
        v.put("/Frag", "fragmented live.jpg", S("large.jpg"), "fragmented")
        v.put("/Frag", "fragmented deleted.bin", rnd(77, 300 * 1024), "fragmented")
    deletes = ["/tiny deleted.txt", "/Documents/deleted with streams.txt",
               "/Photos/Holiday 2020/IMG_0003.PNG", "/Documents/letter to the bank.docx",
               "/Documents/Old/Slides from the meeting.pptx", "/Media/tone.mp3"]
    deletes += ["/Many Files/entry number %03d.txt" % i for i in range(0, many, 3)]
    if fragment:
        deletes.append("/Frag/fragmented deleted.bin")
    v.finish(deletes, ["/Trash Folder"])
