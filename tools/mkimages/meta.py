"""Files that say what they are, for naming carved files from their own
metadata: pictures dated and signed by exiftool, video and songs tagged by
ffmpeg and the Xiph encoders, an OOXML document with its core properties, a
ghostscript PDF with a title; files whose metadata is hostile; a small
picture lying inside a larger one. All placed on a no-file-system image,
each manifest entry named as the carver is expected to name it."""
import calendar
import json
import os
import random
import struct
import zipfile

from lib import run, sha256_bytes, Entry, write_manifest, SECTOR

CONVERT = "/usr/bin/convert"
FFMPEG = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-threads", "1"]
VIDEO = ["-f", "lavfi", "-i", "testsrc=size=176x144:rate=15:duration=1"]
TONE = ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=2"]
EXIFTOOL = ["exiftool", "-q", "-q", "-overwrite_original"]


def utc(y, mo, d, h=0, mi=0, s=0):
    return calendar.timegm((y, mo, d, h, mi, s))


def exif_check(path, tag, want):
    """The independent reader agrees with what was written."""
    got = json.loads(run("exiftool", "-j", "-" + tag, path))[0].get(tag)
    if str(got) != str(want):
        raise RuntimeError("%s: exiftool reads %s = %r, not %r" % (path, tag, got, want))


def _docx(out, title, creator, created):
    core = ("<?xml version='1.0' encoding='UTF-8' standalone='yes'?>\n"
            "<cp:coreProperties xmlns:cp='http://schemas.openxmlformats.org/package/2006/metadata/core-properties' "
            "xmlns:dc='http://purl.org/dc/elements/1.1/' xmlns:dcterms='http://purl.org/dc/terms/' "
            "xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance'>"
            "<dc:title>%s</dc:title><dc:creator>%s</dc:creator>"
            "<dcterms:created xsi:type='dcterms:W3CDTF'>%s</dcterms:created></cp:coreProperties>" % (title, creator, created))
    types = ("<?xml version='1.0' encoding='UTF-8'?><Types xmlns='http://schemas.openxmlformats.org/package/2006/content-types'>"
             "<Override PartName='/word/document.xml' ContentType='application/vnd.openxmlformats-officedocument."
             "wordprocessingml.document.main+xml'/></Types>")
    body = "<w:document><w:body>" + "<w:p><w:r><w:t>Figures for the quarter.</w:t></w:r></w:p>" * 80 + "</w:body></w:document>"
    with zipfile.ZipFile(out, "w") as z:
        for name, data in (("[Content_Types].xml", types), ("_rels/.rels", "<Relationships/>"),
                           ("word/document.xml", body), ("docProps/core.xml", core)):
            zi = zipfile.ZipInfo(name, (2024, 3, 1, 9, 0, 0))
            zi.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(zi, data)


def _id3_frame(fid, text_bytes, enc=3):
    body = bytes([enc]) + text_bytes
    return fid + struct.pack(">I", len(body)) + b"\0\0" + body


def _hostile_mp3(frames, out):
    """MPEG frames from ffmpeg under an ID3v2.3 tag of our own whose title is
    400 characters long with "../", control characters and bytes that are
    not UTF-8, whose artist climbs folders, whose year is 9999."""
    title = ("../" * 3 + "A\x01\x1b[31mB" + "\xff\xfe\xc0\x80").encode("latin-1") + ("Very long title " * 30).encode()
    frames_tag = (_id3_frame(b"TIT2", title) + _id3_frame(b"TPE1", b"../../etc/passwd\\..\\x:*?") +
                  _id3_frame(b"TYER", b"9999", 0))
    size = len(frames_tag)
    syncsafe = bytes([(size >> 21) & 0x7F, (size >> 14) & 0x7F, (size >> 7) & 0x7F, size & 0x7F])
    open(out, "wb").write(b"ID3\x03\x00\x00" + syncsafe + frames_tag + frames)


def make_meta_image(out, tmp):
    os.makedirs(tmp, exist_ok=True)
    T = lambda n: os.path.join(tmp, n)  # noqa: E731
    files = []  # (file, expected name with {S} for the first sector, tags)

    run(CONVERT, "-size", "320x240", "-seed", "11", "plasma:", "-quality", "85", T("photo.jpg"))
    run(*EXIFTOOL, "-DateTimeOriginal=2024:06:14 10:22:31", "-Make=Canon", "-Model=Canon EOS R6", T("photo.jpg"))
    exif_check(T("photo.jpg"), "Model", "Canon EOS R6")
    files.append(("photo.jpg", "2024-06-14 10.22.31 Canon EOS R6 ({S}).jpg",
                  "mtime=%d;dim=320x240" % utc(2024, 6, 14, 10, 22, 31)))

    run(CONVERT, "-size", "300x200", "gradient:navy-gold", "-compress", "none", T("scan.tif"))
    run(*EXIFTOOL, "-DateTimeOriginal=2023:01:02 03:04:05", "-Make=Epson", "-Model=Perfection V600", T("scan.tif"))
    exif_check(T("scan.tif"), "DateTimeOriginal", "2023:01:02 03:04:05")
    files.append(("scan.tif", "2023-01-02 03.04.05 Epson Perfection V600 ({S}).tif",
                  "mtime=%d;dim=300x200" % utc(2023, 1, 2, 3, 4, 5)))

    run(CONVERT, "-size", "120x90", "-seed", "12", "plasma:", "-strip", T("plain.jpg"))
    files.append(("plain.jpg", "{S}.jpg", "dim=120x90"))

    run(*FFMPEG, *VIDEO, "-c:v", "libx264", "-preset", "ultrafast", "-metadata", "creation_time=2022-05-06T07:08:09Z",
        "-f", "mp4", T("clip.mp4"))
    exif_check(T("clip.mp4"), "CreateDate", "2022:05:06 07:08:09")
    files.append(("clip.mp4", "2022-05-06 07.08.09 ({S}).mp4", "mtime=%d;dim=176x144" % utc(2022, 5, 6, 7, 8, 9)))

    run(*FFMPEG, *VIDEO, "-c:v", "libvpx", "-b:v", "100k", "-metadata", "creation_time=2017-07-08T09:10:11Z",
        "-metadata", "title=Garden walk", "-f", "matroska", T("walk.mkv"))
    files.append(("walk.mkv", "2017-07-08 09.10.11 ({S}).mkv", "mtime=%d;dim=176x144" % utc(2017, 7, 8, 9, 10, 11)))

    run(*FFMPEG, *TONE, "-c:a", "libmp3lame", "-b:a", "64k", "-id3v2_version", "3", "-metadata", "title=Morning Tune",
        "-metadata", "artist=The Torvane Band", "-metadata", "date=2021", "-write_xing", "0", "-f", "mp3", T("song.mp3"))
    exif_check(T("song.mp3"), "Title", "Morning Tune")
    files.append(("song.mp3", "The Torvane Band - Morning Tune ({S}).mp3", "mtime=%d" % utc(2021, 1, 1)))

    run(*FFMPEG, *TONE, "-ac", "2", T("tone.wav"))
    run("flac", "--silent", "-f", "-T", "TITLE=Flac Song", "-T", "ARTIST=Lossless Four", "-T", "DATE=2020-02-03",
        "-o", T("song.flac"), T("tone.wav"))
    files.append(("song.flac", "Lossless Four - Flac Song ({S}).flac", "mtime=%d" % utc(2020, 2, 3)))
    run("oggenc", "--quiet", "-t", "Evening Tune", "-a", "Vorbis Trio", "-d", "2018-04-05", "-o", T("song.ogg"),
        T("tone.wav"))
    files.append(("song.ogg", "Vorbis Trio - Evening Tune ({S}).ogg", "mtime=%d" % utc(2018, 4, 5)))
    run("opusenc", "--quiet", "--title", "Night Song", "--artist", "Opus Players", "--date", "2019-03-04",
        T("tone.wav"), T("song.opus"))
    files.append(("song.opus", "Opus Players - Night Song ({S}).opus", "mtime=%d" % utc(2019, 3, 4)))

    _docx(T("report.docx"), "Quarterly Report", "Torvane Tests", "2024-03-01T09:00:00Z")
    files.append(("report.docx", "Quarterly Report ({S}).docx", "mtime=%d" % utc(2024, 3, 1, 9)))

    open(T("notes.ps"), "w").write(
        "%!PS\n[ /Title (Field Notes) /Author (A. Writer) /CreationDate (D:20190807060504Z) /DOCINFO pdfmark\n"
        "/Helvetica findfont 20 scalefont setfont 72 700 moveto (Field notes, page one) show showpage\n")
    run("gs", "-q", "-dNOPAUSE", "-dBATCH", "-sDEVICE=pdfwrite", "-sOutputFile=" + T("notes.pdf"), T("notes.ps"))
    exif_check(T("notes.pdf"), "Title", "Field Notes")
    files.append(("notes.pdf", "Field Notes ({S}).pdf", "mtime=%d" % utc(2019, 8, 7, 6, 5, 4)))

    # Hostile metadata: a safe name inside the destination, no time from it.
    run(*FFMPEG, *TONE, "-c:a", "libmp3lame", "-b:a", "64k", "-id3v2_version", "0", "-write_xing", "0",
        "-fflags", "+bitexact", "-map_metadata", "-1", "-f", "mp3", T("frames.mp3"))
    _hostile_mp3(open(T("frames.mp3"), "rb").read(), T("hostile.mp3"))
    files.append(("hostile.mp3", "", "hostile"))
    run(CONVERT, "-size", "200x150", "-seed", "13", "plasma:", "-strip", T("hostile.jpg"))
    run(*EXIFTOOL, "-DateTimeOriginal=0000:00:00 00:00:00", "-Make=../..", "-Model=Evil\x01Cam/\\..", T("hostile.jpg"))
    files.append(("hostile.jpg", "", "hostile;dim=200x150"))

    # A 64x64 picture stored inside a larger one's pixel rows, at a sector
    # boundary: a thumbnail the deep pass finds on its own.
    run(CONVERT, "-size", "512x400", "gradient:gray-white", "bmp3:" + T("big.bmp"))
    run(CONVERT, "-size", "64x64", "-seed", "14", "plasma:", "-strip", T("tiny.png"))
    big = bytearray(open(T("big.bmp"), "rb").read())
    tiny = open(T("tiny.png"), "rb").read()
    big[8 * SECTOR:8 * SECTOR + len(tiny)] = tiny
    pad = (-len(tiny)) % SECTOR  # the rest of its last sector zeros, as a stored file's slack
    big[8 * SECTOR + len(tiny):8 * SECTOR + len(tiny) + pad] = bytes(pad)
    open(T("big.bmp"), "wb").write(bytes(big))
    files.append(("big.bmp", "{S}.bmp", "dim=512x400;holds=tiny.png"))

    r = random.Random(20240614)
    blob = bytearray(r.randbytes(32 * SECTOR))
    entries = []
    for name, expected, tags in files:
        data = open(T(name), "rb").read()
        first = len(blob) // SECTOR
        blob.extend(data)
        blob.extend(b"\0" * ((-len(blob)) % SECTOR))
        ext = name.rsplit(".", 1)[1]
        entries.append(Entry("deleted", "/", expected.replace("{S}", str(first)) if expected else name, len(data),
                             sha256_bytes(data), first, ext, "", tags))
        if name == "big.bmp":
            entries.append(Entry("deleted", "/", "%d.png" % (first + 8), len(tiny), sha256_bytes(tiny), first + 8, "png",
                                 "", "dim=64x64;thumb"))
        blob.extend(b"\0" * (SECTOR * (2 + r.randrange(6))))
    blob.extend(b"\0" * (64 * SECTOR))
    with open(os.path.join(out, "meta.img"), "wb") as f:
        f.write(blob)
    write_manifest(os.path.join(out, "meta.img.manifest"),
                   {"image": "meta.img", "fs": "none", "volumeStartSector": 0, "clusterBytes": SECTOR}, entries)
    return entries


if __name__ == "__main__":
    import sys
    for e in make_meta_image(sys.argv[1], sys.argv[2]):
        print(e.first_sector, e.name, e.size, e.note)
