"""Files as today's phones, cameras and tools write them, for the carver: made
by real encoders where Debian has one, written byte by byte here where it has
none. Each manifest entry's type is the extension the carver names it with."""
import os
import struct
import zipfile

from lib import run, fix_time, sha256_file, Entry, write_manifest

CONVERT = "/usr/bin/convert"
FFMPEG = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-threads", "1"]
BITEXACT = ["-fflags", "+bitexact", "-flags", "+bitexact", "-map_metadata", "-1"]
VIDEO = ["-f", "lavfi", "-i", "testsrc=size=176x144:rate=15:duration=1"]
TONE = ["-f", "lavfi", "-i", "sine=frequency=523:sample_rate=44100:duration=2"]
ZDATE = (2020, 1, 1, 0, 0, 0)


def _zip(out, entries):
    """entries: (name, bytes, stored) in order; the first is often a stored mimetype."""
    with zipfile.ZipFile(out, "w") as z:
        for name, data, stored in entries:
            zi = zipfile.ZipInfo(name, ZDATE)
            zi.compress_type = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED
            z.writestr(zi, data)


def _pe(out):
    """A 64-bit program image: headers, two sections, a certificate table at the end."""
    sections = [(b".text", 0x1000, 0x400, 0x600), (b".data", 0x2000, 0x200, 0xA00)]
    cert_at, cert_len = 0xC00, 0x108
    dos = bytearray(0x80)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 0x80)
    coff = struct.pack("<4sHHIIIHH", b"PE\0\0", 0x8664, len(sections), 0x5E0B0000, 0, 0, 240, 0x0022)
    opt = bytearray(240)
    struct.pack_into("<HBB", opt, 0, 0x20B, 14, 0)
    struct.pack_into("<I", opt, 16, 0x1000)        # entry point
    struct.pack_into("<Q", opt, 24, 0x140000000)   # image base
    struct.pack_into("<II", opt, 32, 0x1000, 0x200)
    struct.pack_into("<I", opt, 56, 0x3000)        # size of image
    struct.pack_into("<I", opt, 60, 0x400)         # size of headers
    struct.pack_into("<H", opt, 68, 3)             # console subsystem
    struct.pack_into("<I", opt, 108, 16)           # data directories
    struct.pack_into("<II", opt, 112 + 4 * 8, cert_at, cert_len)
    table = b""
    for name, va, size, at in sections:
        table += struct.pack("<8sIIIIIIHHI", name, size, va, size, at, 0, 0, 0, 0, 0x60000020)
    head = bytes(dos) + coff + bytes(opt) + table
    img = bytearray(head.ljust(0x400, b"\0"))
    for k, (name, va, size, at) in enumerate(sections):
        img = img.ljust(at, b"\0") + bytes((k * 37 + i * 13) & 0xFF for i in range(size))
    img = img.ljust(cert_at, b"\0") + struct.pack("<IHH", cert_len, 0x200, 2) + bytes(range(cert_len - 8))
    open(out, "wb").write(bytes(img))


def _jpeg_without_app0(src, out):
    """An encoder's picture with its JFIF segment taken out: DQT comes first, as
    some cameras and stripped files have it."""
    data = open(src, "rb").read()
    assert data[:4] == b"\xff\xd8\xff\xe0"
    seglen = struct.unpack(">H", data[4:6])[0]
    open(out, "wb").write(b"\xff\xd8" + data[4 + seglen:])


def _amr(out):
    """Narrow-band AMR at 12.2 kbit/s (frame type 7, 31 speech bytes): no
    Debian encoder writes it; the frame bytes are a fixed pattern."""
    frames = b"".join(bytes([0x3C]) + bytes(((i * 7 + k * 29) & 0xFF) for k in range(31)) for i in range(150))
    open(out, "wb").write(b"#!AMR\n" + frames)


class _Tiff:
    """A little TIFF writer: IFDs of (tag, type, values) placed one after another,
    values that do not fit in 4 bytes and the image data after them."""

    SIZES = {1: 1, 2: 1, 3: 2, 4: 4, 7: 1, 13: 4}
    FMT = {1: "B", 2: "B", 3: "H", 4: "I", 7: "B", 13: "I"}

    def __init__(self, e, header=8):
        self.e = e  # "<" or ">"
        self.blob = bytearray(header)

    def reserve(self, n):
        at = len(self.blob)
        self.blob += bytes(n + (n & 1))
        return at

    def data(self, raw):
        at = len(self.blob)
        self.blob += raw + (b"\0" if len(raw) & 1 else b"")
        return at

    def ifd(self, entries, next_ifd=0, at=None):
        """entries: (tag, type, [values] or bytes); returns the IFD's offset."""
        size = 2 + 12 * len(entries) + 4
        if at is None:
            at = self.reserve(size)
        out = struct.pack(self.e + "H", len(entries))
        for tag, typ, vals in sorted(entries, key=lambda t: t[0]):
            if isinstance(vals, tuple):  # (offset, count): a value placed before
                out += struct.pack(self.e + "HHII", tag, typ, vals[1], vals[0])
                continue
            raw = vals if isinstance(vals, bytes) else b"".join(struct.pack(self.e + self.FMT[typ], v) for v in vals)
            count = len(raw) // self.SIZES[typ]
            if len(raw) <= 4:
                value = raw.ljust(4, b"\0")
            else:
                value = struct.pack(self.e + "I", self.data(raw))
            out += struct.pack(self.e + "HHI", tag, typ, count) + value
        out += struct.pack(self.e + "I", next_ifd)
        self.blob[at:at + size] = out
        return at

    def finish(self, first_ifd, head=None):
        mark = b"II" if self.e == "<" else b"MM"
        head = head if head else mark + struct.pack(self.e + "HI", 42, first_ifd)
        self.blob[0:len(head)] = head
        return bytes(self.blob)


def _raw(kind, seed=0):
    """A camera raw's structure as its maker lays it out: IFD0 with the camera
    and a preview strip, IFD1 with a JPEG thumbnail, a SubIFD with the raw
    strips (the file's last bytes), an Exif IFD with a maker note. The seed
    varies the raw strips' bytes."""
    t = _Tiff(">" if kind == "pef" else "<", 16 if kind == "cr2" else 8)
    make = {"dng": b"Torvane", "nef": b"NIKON CORPORATION", "arw": b"SONY", "cr2": b"Canon", "pef": b"PENTAX",
            "srw": b"SAMSUNG", "orf": b"OLYMPUS IMAGING CORP.", "rw2": b"Panasonic"}[kind]
    ifd0 = t.reserve(2 + 12 * 12 + 4)
    ifd1 = t.reserve(2 + 12 * 3 + 4)
    sub = t.reserve(2 + 12 * 6 + 4)
    exif = t.reserve(2 + 12 * 2 + 4)
    make_at = t.data(make + b"\0")  # the camera's name right after the IFDs, as makers write it
    thumb = t.data(b"\xff\xd8\xff\xdb" + bytes(300) + b"\xff\xd9")
    preview = [t.data(bytes((i * 3) & 0xFF for i in range(2000))) for _ in range(2)]
    raws = [t.data(bytes((i * 11 + k + seed) & 0xFF for i in range(3000))) for k in range(3)]
    e0 = [(0xFE, 4, [1]), (0x100, 4, [64]), (0x101, 4, [48]), (0x102, 3, [8, 8, 8]), (0x103, 3, [1]),
          (0x10F, 2, (make_at, len(make) + 1)), (0x110, 2, b"Model 1\0"), (0x111, 4, preview), (0x117, 4, [2000, 2000]),
          (0x14A, 4, [sub]), (0x8769, 4, [exif])]
    if kind == "dng":
        e0.append((0xC612, 1, bytes([1, 4, 0, 0])))
    t.ifd(e0, ifd1, ifd0)
    t.ifd([(0x103, 3, [6]), (0x201, 4, [thumb]), (0x202, 4, [306])], 0, ifd1)
    t.ifd([(0xFE, 4, [0]), (0x100, 4, [96]), (0x101, 4, [64]), (0x103, 3, [1]), (0x111, 4, raws),
           (0x117, 4, [3000, 3000, 3000])], 0, sub)
    t.ifd([(0x9003, 2, b"2020:01:01 00:00:00\0"), (0x927C, 7, b"Maker note " + bytes(range(200)))], 0, exif)
    head = None
    if kind == "cr2":  # "CR", version 2.0, and the raw IFD's offset at 12
        head = b"II" + struct.pack("<HI", 42, ifd0) + b"CR\x02\x00" + struct.pack("<I", sub)
    if kind == "orf":
        head = b"IIRO" + struct.pack("<I", ifd0)
    if kind == "rw2":
        head = b"IIU\0" + struct.pack("<I", ifd0)
    return t.finish(ifd0, head)


def _cr3(jpeg, seed=0):
    """Canon's CR3: an ISO box tree of brand "crx ", the camera's uuid box in
    moov, a preview JPEG and the raw data; the seed varies the raw data."""
    box = lambda kind, body: struct.pack(">I", 8 + len(body)) + kind + body  # noqa: E731
    return (box(b"ftyp", b"crx \0\0\0\x01crx isom") +
            box(b"moov", box(b"uuid", bytes(16) + box(b"CNCV", b"CanonCR3_001/00.09.00/00.00.00")) +
                box(b"mvhd", bytes(100))) +
            box(b"uuid", bytes(16) + box(b"PRVW", jpeg)) +
            box(b"mdat", bytes((i * 7 + seed) & 0xFF for i in range(9000))))


def make_modern(outdir, tmp):
    os.makedirs(outdir, exist_ok=True)
    os.makedirs(tmp, exist_ok=True)
    S = lambda n: os.path.join(outdir, n)  # noqa: E731
    T = lambda n: os.path.join(tmp, n)  # noqa: E731
    kinds = {}

    def made(name, ext):
        kinds[name] = ext

    # ISO base media brands.
    run(*FFMPEG, *VIDEO, *TONE, *BITEXACT, "-shortest", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac",
        "-brand", "mp41", "-f", "mp4", S("camera.mp4"))
    made("camera.mp4", "mp4")
    run(*FFMPEG, *TONE, *BITEXACT, "-c:a", "aac", "-b:a", "64k", "-f", "ipod", S("tone.m4a"))
    made("tone.m4a", "m4a")
    run(*FFMPEG, *VIDEO, *BITEXACT, "-c:v", "libx264", "-preset", "ultrafast", "-f", "ipod", S("clip.m4v"))
    made("clip.m4v", "m4v")
    run(*FFMPEG, *VIDEO, "-f", "lavfi", "-i", "sine=frequency=660:sample_rate=8000:duration=1", *BITEXACT,
        "-c:v", "h263", "-c:a", "aac", "-ac", "1", "-b:a", "12k", "-f", "3g2", S("clip.3g2"))
    made("clip.3g2", "3g2")
    _im_src = T("plasma.png")
    run(CONVERT, "-size", "96x64", "-seed", "4", "plasma:green-orange", "-strip", _im_src)
    run("heif-enc", "-q", "60", _im_src, "-o", S("photo.heic"))
    made("photo.heic", "heic")
    run(*FFMPEG, "-i", _im_src, *BITEXACT, "-c:v", "libaom-av1", "-still-picture", "1", "-cpu-used", "8",
        "-f", "avif", S("photo.avif"))
    made("photo.avif", "avif")

    # Pictures.
    run("cwebp", "-quiet", "-q", "70", _im_src, "-o", S("photo.webp"))
    made("photo.webp", "webp")
    run(CONVERT, "-size", "64x48", "gradient:red-blue", "-strip", S("v5.bmp"))
    made("v5.bmp", "bmp")
    run(CONVERT, "-size", "80x60", "-seed", "6", "plasma:", "-quality", "80", "-strip", T("jfif.jpg"))
    _jpeg_without_app0(T("jfif.jpg"), S("dqt-first.jpg"))
    made("dqt-first.jpg", "jpg")

    # Audio.
    run(*FFMPEG, *TONE, *BITEXACT, "-ac", "2", T("tone.wav"))
    run("flac", "--silent", "-f", "--no-seektable", "-o", S("tone.flac"), T("tone.wav"))
    made("tone.flac", "flac")
    run("oggenc", "--quiet", "-s", "7", "-o", S("tone.ogg"), T("tone.wav"))
    made("tone.ogg", "ogg")
    run("opusenc", "--quiet", "--serial", "7", T("tone.wav"), S("tone.opus"))
    made("tone.opus", "opus")
    run(*FFMPEG, *TONE, *BITEXACT, "-c:a", "libmp3lame", "-b:a", "96k", "-id3v2_version", "0", "-write_xing", "1", "-f", "mp3",
        S("untagged.mp3"))
    made("untagged.mp3", "mp3")
    run(*FFMPEG, *TONE, *BITEXACT, "-c:a", "aac", "-b:a", "64k", "-f", "adts", S("tone.aac"))
    made("tone.aac", "aac")
    _amr(S("voice.amr"))
    made("voice.amr", "amr")

    # Text.
    open(S("diary.txt"), "w", encoding="utf-8").write(
        "".join("Day %03d: walked to the lake. Погода хорошая. 今日は晴れ. ✓\n" % i for i in range(90)))
    made("diary.txt", "txt")
    open(S("contacts.csv"), "w").write("name,phone,city\n" + "".join("Person %d,+44 20 7946 %04d,London\n" % (i, i)
                                                                    for i in range(200)))
    made("contacts.csv", "csv")
    open(S("page.html"), "w").write("<!DOCTYPE html>\n<html><head><title>Torvane</title></head><body>\n" +
                                    "".join("<p>Paragraph %d of the page.</p>\n" % i for i in range(150)) +
                                    "</body></html>\n")
    made("page.html", "html")
    open(S("feed.xml"), "w").write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<feed>\n" +
                                   "".join("  <entry id=\"%d\"><title>Entry %d</title></entry>\n" % (i, i)
                                           for i in range(120)) + "</feed>\n")
    made("feed.xml", "xml")
    open(S("settings.json"), "w").write("{\n  \"items\": [\n" + ",\n".join(
        "    {\"id\": %d, \"name\": \"item %d\", \"on\": true}" % (i, i) for i in range(150)) + "\n  ]\n}\n")
    made("settings.json", "json")
    open(S("main.c"), "w").write("#include <stdio.h>\n\n" + "".join(
        "static int f%d(int x) { return x * %d + 1; }\n" % (i, i) for i in range(120)) +
        "int main(void) { printf(\"%d\\n\", f1(2)); return 0; }\n")
    made("main.c", "txt")

    # Camera raws (no Debian tool writes them): the TIFF structures their
    # makers use, with the tags that name them; Fujifilm's RAF; Canon's CR3.
    for kind in ("dng", "nef", "arw", "cr2", "pef", "srw", "orf", "rw2"):
        open(S("camera." + kind), "wb").write(_raw(kind))
        made("camera." + kind, kind)
    run(CONVERT, "-size", "64x48", "gradient:cyan-black", "-compress", "lzw", "-strip", S("scan.tif"))
    made("scan.tif", "tif")
    jpeg = open(S("dqt-first.jpg"), "rb").read()
    raf = bytearray(b"FUJIFILMCCD-RAW 0201FF383501" + bytes(0x100 - 28))
    raf[0x3C:0x44] = b"X-T30\0\0\0"
    cfa_header, cfa = bytes(range(64)) * 2, bytes((i * 5) & 0xFF for i in range(6000))
    jpeg_at = 0x100
    header_at = jpeg_at + len(jpeg)
    cfa_at = header_at + len(cfa_header)
    struct.pack_into(">IIIIII", raf, 0x54, jpeg_at, len(jpeg), header_at, len(cfa_header), cfa_at, len(cfa))
    open(S("camera.raf"), "wb").write(bytes(raf) + jpeg + cfa_header + cfa)
    made("camera.raf", "raf")
    open(S("camera.cr3"), "wb").write(_cr3(jpeg))
    made("camera.cr3", "cr3")

    # Video in Matroska: WebM, and a live recording whose sizes are unknown.
    run(*FFMPEG, *VIDEO, *TONE, *BITEXACT, "-shortest", "-c:v", "libvpx", "-b:v", "200k", "-c:a", "libopus",
        "-f", "webm", S("clip.webm"))
    made("clip.webm", "webm")
    run(*FFMPEG, *VIDEO, *BITEXACT, "-c:v", "libx264", "-preset", "ultrafast", "-f", "matroska", "-live", "1",
        S("live.mkv"))
    made("live.mkv", "mkv")

    # Packages built on ZIP.
    xhtml = b"<?xml version='1.0'?><html xmlns='http://www.w3.org/1999/xhtml'><body><p>Chapter</p></body></html>"
    _zip(S("book.epub"), [("mimetype", b"application/epub+zip", True),
                          ("META-INF/container.xml", b"<?xml version='1.0'?><container/>", False),
                          ("OEBPS/chapter1.xhtml", xhtml * 20, False)])
    made("book.epub", "epub")
    _zip(S("letter.odt"), [("mimetype", b"application/vnd.oasis.opendocument.text", True),
                           ("content.xml", b"<office:document-content>" + b"text " * 400 + b"</office:document-content>", False),
                           ("META-INF/manifest.xml", b"<manifest/>", False)])
    made("letter.odt", "odt")
    _zip(S("table.ods"), [("mimetype", b"application/vnd.oasis.opendocument.spreadsheet", True),
                          ("content.xml", b"<office:document-content>" + b"1;2;3 " * 300 + b"</office:document-content>", False)])
    made("table.ods", "ods")
    _zip(S("tool.jar"), [("META-INF/", b"", True), ("META-INF/MANIFEST.MF", b"Manifest-Version: 1.0\r\n\r\n", False),
                         ("org/example/Main.class", bytes(range(256)) * 8, False)])
    made("tool.jar", "jar")
    _zip(S("app.apk"), [("AndroidManifest.xml", bytes(range(256)) * 4, False),
                        ("classes.dex", b"dex\n035\0" + bytes(range(256)) * 12, False),
                        ("resources.arsc", bytes(range(255, -1, -1)) * 6, True)])
    made("app.apk", "apk")

    # A program image and a database.
    _pe(S("tool.exe"))
    made("tool.exe", "exe")
    db = S("notes.db")
    if os.path.exists(db):
        os.remove(db)
    run("sqlite3", db, "PRAGMA page_size=4096; CREATE TABLE notes(id INTEGER PRIMARY KEY, body TEXT);"
        "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM c WHERE i<300) "
        "INSERT INTO notes(body) SELECT 'note '||i||' '||hex(randomblob(0))||printf('%080d', i) FROM c;")
    made("notes.db", "db")

    entries = []
    for n in sorted(kinds):
        p = S(n)
        fix_time(p)
        note = "modern;text" if kinds[n] in ("txt", "csv", "html", "xml", "json") else "modern"
        entries.append(Entry("live", "/", n, os.path.getsize(p), sha256_file(p), -1, kinds[n], "modern/" + n, note))
    # Beside the folder, so the folder holds only the files.
    write_manifest(outdir.rstrip("/") + ".manifest",
                   {"image": "modern", "fs": "none", "volumeStartSector": 0, "clusterBytes": 0}, entries)
    return entries


if __name__ == "__main__":
    import sys
    for e in make_modern(sys.argv[1], sys.argv[2]):
        print(e.name, e.size, e.type)
