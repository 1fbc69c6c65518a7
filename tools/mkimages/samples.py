"""Sample files of real formats, made by real encoders (or written here where no
Debian tool writes the format), small and repeatable."""
import os
import shutil
import struct
import zipfile

from lib import run, fix_time, sha256_file, ftype_of, Entry, write_manifest, FIXED_TIME

CONVERT = "/usr/bin/convert"
FFMPEG = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"]
BITEXACT = ["-fflags", "+bitexact", "-flags", "+bitexact", "-map_metadata", "-1"]
ZDATE = (2020, 1, 1, 0, 0, 0)


def _im(out, *args):
    # -strip and no date chunks keep ImageMagick's output the same on each run.
    run(CONVERT, *args, "-strip", "-define", "png:exclude-chunks=date,time", out)


def _exif_segment():
    """APP1 Exif with a few IFD0 tags (Make, Model, DateTime), little-endian TIFF."""
    entries = [(0x010F, b"Torvane\0"), (0x0110, b"TestCam 1\0"), (0x0132, b"2020:01:01 00:00:00\0")]
    ifd_off = 8
    data_off = ifd_off + 2 + 12 * len(entries) + 4
    ifd = struct.pack("<H", len(entries))
    blob = b""
    for tag, val in entries:
        if len(val) <= 4:
            ifd += struct.pack("<HHI", tag, 2, len(val)) + val.ljust(4, b"\0")
        else:
            ifd += struct.pack("<HHII", tag, 2, len(val), data_off + len(blob))
            blob += val + (b"\0" if len(val) % 2 else b"")
    ifd += struct.pack("<I", 0)
    tiff = b"II*\0" + struct.pack("<I", ifd_off) + ifd + blob
    payload = b"Exif\0\0" + tiff
    return b"\xff\xe1" + struct.pack(">H", len(payload) + 2) + payload


def _make_exif_jpeg(src, out):
    data = open(src, "rb").read()
    assert data[:2] == b"\xff\xd8"
    # Drop the JFIF APP0 if any: camera files start with APP1 Exif.
    rest = data[2:]
    if rest[:2] == b"\xff\xe0":
        seglen = struct.unpack(">H", rest[2:4])[0]
        rest = rest[2 + seglen:]
    open(out, "wb").write(b"\xff\xd8" + _exif_segment() + rest)


def _ooxml(out, kind):
    ct_defaults = ('<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
                   '<Default Extension="xml" ContentType="application/xml"/>')
    rels = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
            '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="%s"/>'
            '<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties" Target="docProps/core.xml"/>'
            '</Relationships>')
    core = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<cp:coreProperties xmlns:cp="http://schemas.openxmlformats.org/package/2006/metadata/core-properties" '
            'xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:dcterms="http://purl.org/dc/terms/" '
            'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"><dc:title>Torvane sample</dc:title>'
            '<dc:creator>Torvane tests</dc:creator>'
            '<dcterms:created xsi:type="dcterms:W3CDTF">2020-01-01T00:00:00Z</dcterms:created></cp:coreProperties>')
    core_ct = '<Override PartName="/docProps/core.xml" ContentType="application/vnd.openxmlformats-package.core-properties+xml"/>'
    parts = []
    if kind == "docx":
        body = "".join('<w:p><w:r><w:t>Paragraph %d of the Torvane sample document.</w:t></w:r></w:p>' % i for i in range(40))
        parts.append(("word/document.xml",
                      '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                      '<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"><w:body>%s</w:body></w:document>' % body,
                      "application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"))
        main = "word/document.xml"
        inner_rels = []
    elif kind == "xlsx":
        rows = "".join('<row r="%d"><c r="A%d"><v>%d</v></c><c r="B%d"><v>%d</v></c></row>' % (i, i, i, i, i * i) for i in range(1, 60))
        parts.append(("xl/workbook.xml",
                      '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                      '<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" '
                      'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">'
                      '<sheets><sheet name="Sheet1" sheetId="1" r:id="rId1"/></sheets></workbook>',
                      "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"))
        parts.append(("xl/worksheets/sheet1.xml",
                      '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                      '<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>%s</sheetData></worksheet>' % rows,
                      "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"))
        main = "xl/workbook.xml"
        inner_rels = [("xl/_rels/workbook.xml.rels",
                       '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                       '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
                       '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="worksheets/sheet1.xml"/>'
                       '</Relationships>')]
    else:
        ns = ('xmlns:a="http://schemas.openxmlformats.org/drawingml/2006/main" '
              'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships" '
              'xmlns:p="http://schemas.openxmlformats.org/presentationml/2006/main"')
        parts.append(("ppt/presentation.xml",
                      '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                      '<p:presentation %s><p:sldIdLst><p:sldId id="256" r:id="rId1"/></p:sldIdLst>'
                      '<p:sldSz cx="9144000" cy="6858000"/><p:notesSz cx="6858000" cy="9144000"/></p:presentation>' % ns,
                      "application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml"))
        parts.append(("ppt/slides/slide1.xml",
                      '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                      '<p:sld %s><p:cSld><p:spTree><p:nvGrpSpPr><p:cNvPr id="1" name=""/><p:cNvGrpSpPr/><p:nvPr/></p:nvGrpSpPr>'
                      '<p:grpSpPr/><p:sp><p:nvSpPr><p:cNvPr id="2" name="Title"/><p:cNvSpPr/><p:nvPr/></p:nvSpPr><p:spPr/>'
                      '<p:txBody><a:bodyPr/><a:p><a:r><a:t>Torvane sample slide</a:t></a:r></a:p></p:txBody></p:sp>'
                      '</p:spTree></p:cSld></p:sld>' % ns,
                      "application/vnd.openxmlformats-officedocument.presentationml.slide+xml"))
        main = "ppt/presentation.xml"
        inner_rels = [("ppt/_rels/presentation.xml.rels",
                       '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                       '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
                       '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/slide" Target="slides/slide1.xml"/>'
                       '</Relationships>')]
    overrides = "".join('<Override PartName="/%s" ContentType="%s"/>' % (n, ct) for n, _, ct in parts)
    ct = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
          '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">%s%s%s</Types>'
          % (ct_defaults, overrides, core_ct))
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        def add(name, text):
            zi = zipfile.ZipInfo(name, ZDATE)
            zi.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(zi, text)
        add("[Content_Types].xml", ct)
        add("_rels/.rels", rels % main)
        add("docProps/core.xml", core)
        for n, text, _ in parts:
            add(n, text)
        for n, text in inner_rels:
            add(n, text)


def _ole2(out, stream_name, stream):
    """A compound file (version 3, 512-byte sectors) holding one stream of at least
    4096 bytes, so it lives in regular sectors and needs no mini stream."""
    assert len(stream) >= 4096
    ss = 512
    nstream = (len(stream) + ss - 1) // ss
    # Sector layout: 0 = FAT, 1 = directory, 2.. = the stream.
    fat = [0xFFFFFFFD, 0xFFFFFFFE]
    for i in range(nstream):
        fat.append(2 + i + 1 if i + 1 < nstream else 0xFFFFFFFE)
    assert len(fat) <= 128
    fat += [0xFFFFFFFF] * (128 - len(fat))
    header = bytearray(512)
    header[0:8] = bytes.fromhex("D0CF11E0A1B11AE1")
    struct.pack_into("<HHHHH", header, 24, 0x3E, 3, 0xFFFE, 9, 6)
    struct.pack_into("<I", header, 44, 1)            # FAT sectors
    struct.pack_into("<I", header, 48, 1)            # first directory sector
    struct.pack_into("<I", header, 56, 4096)         # mini stream cutoff
    struct.pack_into("<I", header, 60, 0xFFFFFFFE)   # first mini FAT sector
    struct.pack_into("<I", header, 68, 0xFFFFFFFE)   # first DIFAT sector
    struct.pack_into("<I", header, 76, 0)            # DIFAT[0] = FAT at sector 0
    for i in range(1, 109):
        struct.pack_into("<I", header, 76 + 4 * i, 0xFFFFFFFF)

    def dirent(name, etype, child, start, size):
        e = bytearray(128)
        n = (name + "\0").encode("utf-16-le")
        e[0:len(n)] = n
        struct.pack_into("<HBB", e, 64, len(n), etype, 1)  # name length, type, black
        struct.pack_into("<III", e, 68, 0xFFFFFFFF, 0xFFFFFFFF, child)
        struct.pack_into("<II", e, 116, start, size)
        return bytes(e)
    directory = dirent("Root Entry", 5, 1, 0xFFFFFFFE, 0) + dirent(stream_name, 2, 0xFFFFFFFF, 2, len(stream))
    empty = bytearray(128)
    struct.pack_into("<III", empty, 68, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF)
    directory += bytes(empty) * 2
    body = struct.pack("<128I", *fat) + directory + stream.ljust(nstream * ss, b"\0")
    open(out, "wb").write(bytes(header) + body)


def _word_stream():
    # A FIB starts the WordDocument stream: wIdent 0xA5EC, nFib 0xC1 (Word 97).
    fib = struct.pack("<HH", 0xA5EC, 0x00C1) + b"\0" * 28
    text = ("Torvane sample Word document. " * 200).encode("ascii")
    return (fib + text).ljust(8192, b"\0")[:8192]


def _midi(out):
    track = b""
    for i, note in enumerate([60, 62, 64, 65, 67, 69, 71, 72]):
        track += bytes([0x00, 0x90, note, 0x60]) + bytes([0x60, 0x80, note, 0x40])
    track += b"\x00\xff\x2f\x00"
    data = b"MThd" + struct.pack(">IHHH", 6, 0, 1, 96) + b"MTrk" + struct.pack(">I", len(track)) + track
    open(out, "wb").write(data)


def _pdf_gs(out, tmp, pages=2):
    ps = os.path.join(tmp, "doc.ps")
    body = ["%!PS", "/DejaVuSans findfont 18 scalefont setfont"]
    for p in range(pages):
        body.append("72 720 moveto (Torvane sample PDF, page %d) show" % (p + 1))
        for i in range(20):
            body.append("72 %d moveto (Line %d of the sample text.) show" % (680 - i * 24, i))
        body.append("showpage")
    open(ps, "w").write("\n".join(body) + "\n")
    run("gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite", "-dOmitInfoDate", "-dOmitID", "-dOmitXMP",
        "-sFONTPATH=/usr/share/fonts/truetype/dejavu", "-o", out, ps)


def make_samples(outdir, tmp):
    """Writes the samples; returns (entries, missing) where missing maps a format to why."""
    os.makedirs(outdir, exist_ok=True)
    os.makedirs(tmp, exist_ok=True)
    missing = {}
    S = lambda n: os.path.join(outdir, n)
    T = lambda n: os.path.join(tmp, n)

    # Images.
    _im(S("photo.jpg"), "-size", "320x240", "-seed", "7", "plasma:red-blue", "-quality", "85", "-interlace", "none")
    _im(T("exif_src.jpg"), "-size", "400x300", "-seed", "11", "plasma:green-yellow", "-quality", "88", "-interlace", "none")
    _make_exif_jpeg(T("exif_src.jpg"), S("photo_exif.jpg"))
    _im(S("large.jpg"), "-size", "640x480", "-seed", "3", "plasma:orange-purple", "-quality", "97", "-interlace", "none")
    _im(S("image.png"), "-size", "200x150", "-seed", "5", "plasma:white-navy")
    _im(S("image.gif"), "-size", "160x120", "-seed", "9", "plasma:", "-colors", "64")
    _im("BMP3:" + S("image.bmp"), "-size", "120x90", "gradient:cyan-magenta")
    _im(S("image.tif"), "-size", "160x120", "gradient:red-green", "-compress", "lzw")
    _im(S("image.psd"), "-size", "128x96", "gradient:blue-yellow")
    _im(S("icon.ico"), "-size", "32x32", "gradient:red-blue")

    # Documents.
    _pdf_gs(S("document.pdf"), tmp)
    _ooxml(S("document.docx"), "docx")
    _ooxml(S("sheet.xlsx"), "xlsx")
    _ooxml(S("slides.pptx"), "pptx")
    _ole2(S("document.doc"), "WordDocument", _word_stream())
    text = "".join("Line %04d: Torvane recovers lost files. Ünïcödé текст 日本語\n" % i for i in range(120))
    open(S("notes.txt"), "w", encoding="utf-8").write(text)
    open(S("small.txt"), "w").write("A small text file that fits in one sector.\n")

    # Archives; inputs get fixed times so the archives do not change between runs.
    src = T("arch")
    os.makedirs(src, exist_ok=True)
    for n in ("notes.txt", "photo.jpg"):
        shutil.copy(S(n), os.path.join(src, n))
        fix_time(os.path.join(src, n))
    run("zip", "-q", "-X", "-9", S("archive.zip"), "notes.txt", "photo.jpg", cwd=src)
    run("7z", "a", "-bd", "-bso0", "-mx=5", "-mtm=off", "-mtc=off", "-mta=off", S("archive.7z"), "notes.txt", "photo.jpg", cwd=src)
    run("gzip", "-n", "-9", "-k", "-f", os.path.join(src, "notes.txt"))
    shutil.move(os.path.join(src, "notes.txt.gz"), S("notes.txt.gz"))
    if shutil.which("rar"):
        run("rar", "a", "-idq", S("archive.rar"), "notes.txt", cwd=src)
    else:
        missing["rar"] = "no RAR writer in Debian main (rar is non-free)"
    for n in ("notes.txt", "small.txt"):
        shutil.copy(S(n), T(n))
        fix_time(T(n))
    run("gcab", "-c", "-n", S("archive.cab"), T("notes.txt"), T("small.txt"))

    # Audio.
    run("sox", "-R", "-n", "-r", "22050", "-c", "1", "-b", "16", S("tone.wav"), "synth", "1.5", "sine", "440")
    run("lame", "--quiet", "-b", "64", S("tone.wav"), S("tone_plain.mp3"))
    run("lame", "--quiet", "-b", "64", "--id3v2-only", "--tt", "Torvane Tone", "--ta", "Torvane", "--ty", "2020",
        S("tone.wav"), S("tone_id3v2.mp3"))
    run("lame", "--quiet", "-b", "64", "--id3v1-only", "--tt", "Torvane Tone", "--ta", "Torvane", "--ty", "2020",
        S("tone.wav"), S("tone_id3v1.mp3"))
    _midi(S("tune.mid"))

    # Video from lavfi sources.
    src_v = ["-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=1", "-f", "lavfi",
             "-i", "sine=frequency=660:sample_rate=22050:duration=1"]
    vids = [
        ("clip.avi", ["-c:v", "mpeg4", "-q:v", "8", "-c:a", "pcm_s16le"]),
        ("clip.mp4", ["-c:v", "mpeg4", "-q:v", "8", "-c:a", "aac", "-b:a", "32k"]),
        ("clip.mov", ["-c:v", "mpeg4", "-q:v", "8", "-c:a", "aac", "-b:a", "32k"]),
        ("clip.mkv", ["-c:v", "mpeg4", "-q:v", "8", "-c:a", "mp2", "-b:a", "64k"]),
        ("clip.flv", ["-c:v", "flv1", "-q:v", "8", "-c:a", "adpcm_swf", "-ar", "22050"]),
        ("clip.mpg", ["-c:v", "mpeg1video", "-q:v", "8", "-c:a", "mp2", "-b:a", "64k", "-f", "mpeg"]),
        ("clip.ts", ["-c:v", "mpeg2video", "-q:v", "8", "-c:a", "mp2", "-b:a", "64k", "-f", "mpegts"]),
        ("clip.wmv", ["-c:v", "wmv2", "-q:v", "8", "-c:a", "wmav2", "-b:a", "32k", "-f", "asf"]),
    ]
    for name, args in vids:
        run(*FFMPEG, *src_v, *BITEXACT, *args, S(name))
    run(*FFMPEG, "-f", "lavfi", "-i", "testsrc=size=176x144:rate=15:duration=1", "-f", "lavfi",
        "-i", "sine=frequency=660:sample_rate=8000:duration=1", *BITEXACT,
        "-c:v", "h263", "-q:v", "8", "-c:a", "aac", "-ac", "1", "-b:a", "12k", "-f", "3gp", S("clip.3gp"))

    # Other formats.
    db = S("data.sqlite")
    if os.path.exists(db):
        os.remove(db)
    run("sqlite3", db, "CREATE TABLE photos(id INTEGER PRIMARY KEY, name TEXT, size INTEGER);"
        "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM c WHERE i<200) "
        "INSERT INTO photos(name,size) SELECT 'IMG_'||printf('%04d',i)||'.JPG', i*1234 FROM c;")
    shutil.copy("/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf", S("font.ttf"))

    entries = []
    for n in sorted(os.listdir(outdir)):
        p = S(n)
        if n == "manifest" or not os.path.isfile(p):
            continue
        fix_time(p)
        entries.append(Entry("live", "/", n, os.path.getsize(p), sha256_file(p), -1, ftype_of(n), "samples/" + n, "sample"))
    info = {"image": "samples", "fs": "none", "volumeStartSector": 0, "clusterBytes": 0}
    for k, v in missing.items():
        info["missing." + k] = v
    write_manifest(S("manifest"), info, entries)
    return entries, missing


if __name__ == "__main__":
    import sys
    e, m = make_samples(sys.argv[1], sys.argv[2])
    for x in e:
        print(x.name, x.size)
    print(m)
