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
        entries.append(Entry("live", "/", n, os.path.getsize(p), sha256_file(p), -1, kinds[n], "modern/" + n, "modern"))
    # Beside the folder, so the folder holds only the files.
    write_manifest(outdir.rstrip("/") + ".manifest",
                   {"image": "modern", "fs": "none", "volumeStartSector": 0, "clusterBytes": 0}, entries)
    return entries


if __name__ == "__main__":
    import sys
    for e in make_modern(sys.argv[1], sys.argv[2]):
        print(e.name, e.size, e.type)
