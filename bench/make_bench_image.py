#!/usr/bin/python3
"""Benchmark images for the deep scan, made with real encoders.

    make_bench_image.py OUTDIR [raw] [modern] [fat32] [ntfs] [dense] [sparse]

OUTDIR/media/      unique media files (JPEG, PNG, GIF, BMP, PDF, ZIP, DOCX,
                   MP3 with ID3, WAV, AVI, MP4), made once and kept
OUTDIR/raw.img     1 GiB, no file system: every media file at a sector
                   boundary (its last sector zero-padded, as a file system
                   writes it) among random noise and a few zero runs
OUTDIR/modern/     unique files of today's phones, cameras and tools (HEIC,
                   AVIF, mp41 MP4, M4A, WebP, WebM, MKV, FLAC, Ogg, Opus,
                   MP3 without tags, SQLite, text, CSV, HTML, JSON, EPUB,
                   ODT; DNG and CR3 written byte by byte by the test-image
                   builder's helpers), made once and kept
OUTDIR/modern.img  512 MiB, no file system: the modern files placed as in
                   raw.img
OUTDIR/fat32.img   1 GiB FAT32 (mtools only, never mounted), mostly full of
                   media files of which most are deleted
OUTDIR/ntfs.img    1 GiB NTFS (mkntfs + ntfs-3g as root) with 10,000 files,
                   a third of them deleted
OUTDIR/dense.img   512 MiB of one tiny JPEG (ImageMagick) in every sector:
                   1,048,576 finds, for the memory a huge result set takes
OUTDIR/sparse.img  2 TiB sparse file (truncate) with 24 media files spread
                   over it: almost all of it holes

Each image gets IMAGE.planted: one line per file that should come back,
"sha256 size sector ext" (sector -1 when the file system decides). An image
that exists with its list is not made again.
"""
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "mkimages"))
import modern as mkmodern  # noqa: E402  the test-image builder's camera-raw writers

CONVERT = "/usr/bin/convert"
FFMPEG = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"]
GIB = 1 << 30
SECTOR = 512


def run(*cmd, **kw):
    subprocess.run(list(cmd), check=True, stdout=subprocess.DEVNULL, **kw)


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


# ---- Media: one recipe per kind, each call with its own seed makes a unique file ----

def make_jpg(out, seed, rnd):
    w, h = rnd.choice([(640, 480), (1024, 768), (1600, 1200), (2048, 1536)])
    src = rnd.choice(["plasma:fractal", "xc:gray +noise Random -blur 0x1", "gradient:red-blue +noise Gaussian"])
    run(CONVERT, "-size", f"{w}x{h}", "-seed", str(seed), *src.split(), "-quality", str(rnd.randint(70, 95)),
        "-strip", out)


def make_png(out, seed, rnd):
    w, h = rnd.choice([(320, 240), (640, 480), (800, 600)])
    run(CONVERT, "-size", f"{w}x{h}", "-seed", str(seed), "plasma:", "-colors", str(rnd.randint(16, 200)),
        "-strip", "-define", "png:exclude-chunks=date,time", out)


def make_gif(out, seed, rnd):
    w, h = rnd.choice([(200, 150), (400, 300), (640, 480)])
    run(CONVERT, "-size", f"{w}x{h}", "-seed", str(seed), "plasma:", "-colors", "64", out)


def make_bmp(out, seed, rnd):
    w, h = rnd.choice([(160, 120), (320, 240), (640, 480)])
    run(CONVERT, "-size", f"{w}x{h}", "-seed", str(seed), "plasma:", "-type", "TrueColor", f"BMP3:{out}")


def make_pdf(out, seed, rnd):
    with tempfile.TemporaryDirectory() as tmp:
        ps = os.path.join(tmp, "in.ps")
        lines = ["%!PS", "/Helvetica findfont 11 scalefont setfont"]
        for page in range(rnd.randint(1, 6)):
            y = 760
            for _ in range(rnd.randint(20, 60)):
                words = " ".join("%x" % rnd.getrandbits(32) for _ in range(8))
                lines.append(f"50 {y} moveto ({seed} {page} {words}) show")
                y -= 12
            lines.append("showpage")
        open(ps, "w").write("\n".join(lines) + "\n")
        run("gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite", f"-sOutputFile={out}", ps)


def _random_text(rnd, n):
    return "".join(rnd.choice("abcdefghijklmnopqrstuvwxyz  \n") for _ in range(n))


def make_zip(out, seed, rnd):
    with tempfile.TemporaryDirectory() as tmp:
        names = []
        for i in range(rnd.randint(2, 8)):
            name = f"part{seed}_{i}." + rnd.choice(["txt", "bin"])
            with open(os.path.join(tmp, name), "wb") as f:
                f.write(_random_text(rnd, rnd.randint(1000, 60000)).encode() if name.endswith("txt")
                        else rnd.randbytes(rnd.randint(1000, 200000)))
            names.append(name)
        run("zip", "-q", "-X", os.path.abspath(out), *names, cwd=tmp)


def make_docx(out, seed, rnd):
    ct = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
          '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
          '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
          '<Default Extension="xml" ContentType="application/xml"/>'
          '<Override PartName="/word/document.xml" ContentType="application/vnd.openxmlformats-officedocument.'
          'wordprocessingml.document.main+xml"/></Types>')
    rels = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
            '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/'
            'officeDocument" Target="word/document.xml"/></Relationships>')
    paras = "".join(f"<w:p><w:r><w:t>{_random_text(rnd, 400).strip()}</w:t></w:r></w:p>"
                    for _ in range(rnd.randint(20, 200)))
    doc = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
           '<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main">'
           f'<w:body>{paras}</w:body></w:document>')
    with tempfile.TemporaryDirectory() as tmp:
        os.makedirs(os.path.join(tmp, "_rels"))
        os.makedirs(os.path.join(tmp, "word"))
        open(os.path.join(tmp, "[Content_Types].xml"), "w").write(ct)
        open(os.path.join(tmp, "_rels", ".rels"), "w").write(rels)
        open(os.path.join(tmp, "word", "document.xml"), "w").write(doc)
        # The content-types part first, as word processors write it.
        run("zip", "-q", "-X", os.path.abspath(out), "[Content_Types].xml", "_rels/.rels", "word/document.xml",
            cwd=tmp)


def make_mp3(out, seed, rnd):
    d = rnd.randint(5, 40)
    run(*FFMPEG, "-f", "lavfi", "-i", f"sine=frequency={rnd.randint(200, 2000)}:duration={d}",
        "-metadata", f"title=Bench tune {seed}", "-metadata", "artist=Torvane bench", "-id3v2_version", "3",
        "-c:a", "libmp3lame", "-b:a", rnd.choice(["128k", "192k", "256k"]), out)


def make_wav(out, seed, rnd):
    d = rnd.randint(2, 12)
    run(*FFMPEG, "-f", "lavfi", "-i", f"sine=frequency={rnd.randint(200, 2000)}:duration={d}",
        "-fflags", "+bitexact", "-c:a", "pcm_s16le", "-ar", "44100", out)


def make_avi(out, seed, rnd):
    d = rnd.randint(2, 8)
    run(*FFMPEG, "-f", "lavfi", "-i", f"testsrc=size=640x480:rate=25:duration={d}", "-f", "lavfi",
        "-i", f"sine=frequency={200 + seed % 1000}:duration={d}", "-c:v", "mpeg4", "-q:v", str(rnd.randint(2, 6)),
        "-c:a", "pcm_s16le", "-metadata", f"title=bench {seed}", out)


def make_mp4(out, seed, rnd):
    d = rnd.randint(2, 8)
    run(*FFMPEG, "-f", "lavfi", "-i", f"testsrc2=size=640x480:rate=25:duration={d}", "-c:v", "libx264",
        "-preset", "ultrafast", "-crf", str(rnd.randint(18, 30)), "-pix_fmt", "yuv420p",
        "-metadata", f"title=bench {seed}", out)


RECIPES = [("jpg", make_jpg, 120), ("png", make_png, 40), ("gif", make_gif, 25), ("bmp", make_bmp, 25),
           ("pdf", make_pdf, 30), ("zip", make_zip, 25), ("docx", make_docx, 25), ("mp3", make_mp3, 30),
           ("wav", make_wav, 15), ("avi", make_avi, 15), ("mp4", make_mp4, 20)]


def make_media(outdir, recipes=None, folder="media"):
    recipes = recipes or RECIPES
    media = os.path.join(outdir, folder)
    done = os.path.join(media, ".complete")
    if os.path.exists(done):
        return sorted(os.path.join(media, n) for n in os.listdir(media) if not n.startswith("."))
    os.makedirs(media, exist_ok=True)
    jobs = []
    for ext, fn, count in recipes:
        for i in range(count):
            seed = 1000 * (recipes.index((ext, fn, count)) + 1) + i
            jobs.append((os.path.join(media, f"{ext}{i:03d}.{ext}"), fn, seed))

    def one(job):
        path, fn, seed = job
        if not os.path.exists(path):
            fn(path + ".part." + path.rsplit(".", 1)[1], seed, random.Random(seed))
            os.rename(path + ".part." + path.rsplit(".", 1)[1], path)
        return path

    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        paths = list(pool.map(one, jobs))
    open(done, "w").close()
    return sorted(paths)


# ---- Modern media: today's formats, each call with its own seed makes a unique file ----

BITEXACT = ["-fflags", "+bitexact", "-flags", "+bitexact", "-map_metadata", "-1"]


def _picture(tmp, seed, rnd, size=None):
    w, h = size or rnd.choice([(320, 240), (640, 480), (800, 600)])
    src = os.path.join(tmp, "src.png")
    run(CONVERT, "-size", f"{w}x{h}", "-seed", str(seed), "plasma:", "-strip", src)
    return src


def _tone(tmp, seed, rnd, d):
    wav = os.path.join(tmp, "tone.wav")
    run(*FFMPEG, "-f", "lavfi", "-i", f"sine=frequency={rnd.randint(200, 2000)}:sample_rate=44100:duration={d}",
        *BITEXACT, "-ac", "2", wav)
    return wav


def make_heic(out, seed, rnd):
    with tempfile.TemporaryDirectory() as tmp:
        run("heif-enc", "-q", str(rnd.randint(40, 80)), _picture(tmp, seed, rnd), "-o", out)


def make_avif(out, seed, rnd):
    with tempfile.TemporaryDirectory() as tmp:
        run(*FFMPEG, "-i", _picture(tmp, seed, rnd, (320, 240)), *BITEXACT, "-c:v", "libaom-av1",
            "-still-picture", "1", "-cpu-used", "8", "-f", "avif", out)


def make_webp(out, seed, rnd):
    with tempfile.TemporaryDirectory() as tmp:
        run("cwebp", "-quiet", "-q", str(rnd.randint(50, 90)), _picture(tmp, seed, rnd), "-o", out)


def make_mp41(out, seed, rnd):
    d = rnd.randint(2, 6)
    run(*FFMPEG, "-f", "lavfi", "-i", f"testsrc2=size=640x480:rate=25:duration={d}", "-f", "lavfi",
        "-i", f"sine=frequency={200 + seed % 1000}:duration={d}", *BITEXACT, "-shortest", "-c:v", "libx264",
        "-preset", "ultrafast", "-crf", str(rnd.randint(20, 30)), "-pix_fmt", "yuv420p", "-c:a", "aac",
        "-brand", "mp41", "-f", "mp4", out)


def make_m4a(out, seed, rnd):
    run(*FFMPEG, "-f", "lavfi", "-i", f"sine=frequency={rnd.randint(200, 2000)}:duration={rnd.randint(5, 30)}",
        *BITEXACT, "-c:a", "aac", "-b:a", "96k", "-f", "ipod", out)


def make_webm(out, seed, rnd):
    d = rnd.randint(2, 5)
    run(*FFMPEG, "-f", "lavfi", "-i", f"testsrc=size=320x240:rate=25:duration={d}", "-f", "lavfi",
        "-i", f"sine=frequency={200 + seed % 1000}:duration={d}", *BITEXACT, "-shortest", "-c:v", "libvpx",
        "-b:v", "500k", "-c:a", "libopus", "-f", "webm", out)


def make_mkv(out, seed, rnd):
    d = rnd.randint(2, 6)
    run(*FFMPEG, "-f", "lavfi", "-i", f"testsrc2=size=640x480:rate=25:duration={d}", *BITEXACT, "-c:v", "libx264",
        "-preset", "ultrafast", "-crf", str(rnd.randint(20, 30)), "-f", "matroska", out)


def make_flac(out, seed, rnd):
    with tempfile.TemporaryDirectory() as tmp:
        run("flac", "--silent", "-f", "-o", out, _tone(tmp, seed, rnd, rnd.randint(3, 15)))


def make_ogg(out, seed, rnd):
    with tempfile.TemporaryDirectory() as tmp:
        run("oggenc", "--quiet", "-s", str(seed), "-o", out, _tone(tmp, seed, rnd, rnd.randint(5, 30)))


def make_opus(out, seed, rnd):
    with tempfile.TemporaryDirectory() as tmp:
        run("opusenc", "--quiet", "--serial", str(seed), _tone(tmp, seed, rnd, rnd.randint(5, 30)), out)


def make_mp3_untagged(out, seed, rnd):
    run(*FFMPEG, "-f", "lavfi", "-i", f"sine=frequency={rnd.randint(200, 2000)}:duration={rnd.randint(5, 30)}",
        *BITEXACT, "-c:a", "libmp3lame", "-b:a", rnd.choice(["128k", "192k"]), "-write_id3v2", "0",
        "-write_xing", "1", "-f", "mp3", out)


def make_sqlite(out, seed, rnd):
    rows = rnd.randint(200, 3000)
    run("sqlite3", out, "PRAGMA page_size=4096; CREATE TABLE notes(id INTEGER PRIMARY KEY, body TEXT);"
        f"WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM c WHERE i<{rows}) "
        f"INSERT INTO notes(body) SELECT 'note {seed} '||i||' '||printf('%080d', i * {seed}) FROM c;")


def _lines(rnd, n):
    return [_random_text(rnd, rnd.randint(20, 90)).replace("\n", " ").strip() for _ in range(n)]


def make_txt(out, seed, rnd):
    open(out, "w").write("".join(f"{seed} {line}\n" for line in _lines(rnd, rnd.randint(50, 600))))


def make_csv(out, seed, rnd):
    open(out, "w").write("id,name,value\n" + "".join(f"{i},item {seed}-{i},{rnd.randint(0, 99999)}\n"
                                                       for i in range(rnd.randint(100, 3000))))


def make_html(out, seed, rnd):
    open(out, "w").write(f"<!DOCTYPE html>\n<html><head><title>Bench {seed}</title></head><body>\n" +
                         "".join(f"<p>{line}</p>\n" for line in _lines(rnd, rnd.randint(50, 500))) +
                         "</body></html>\n")


def make_json(out, seed, rnd):
    items = ",\n".join(f'    {{"id": {i}, "name": "item {seed}-{i}", "on": {str(rnd.random() < 0.5).lower()}}}'
                       for i in range(rnd.randint(50, 1500)))
    open(out, "w").write("{\n  \"items\": [\n" + items + "\n  ]\n}\n")


def _package(out, mimetype, parts):
    """A ZIP with its mimetype stored first, as EPUB and OpenDocument require."""
    with tempfile.TemporaryDirectory() as tmp:
        open(os.path.join(tmp, "mimetype"), "w").write(mimetype)
        for name, text in parts:
            os.makedirs(os.path.dirname(os.path.join(tmp, name)) or tmp, exist_ok=True)
            open(os.path.join(tmp, name), "w").write(text)
        run("zip", "-q", "-X", "-0", os.path.abspath(out), "mimetype", cwd=tmp)
        run("zip", "-q", "-X", "-r", os.path.abspath(out), *[n for n, _ in parts], cwd=tmp)


def make_epub(out, seed, rnd):
    chapters = [(f"OEBPS/chapter{i}.xhtml", "<?xml version='1.0'?><html xmlns='http://www.w3.org/1999/xhtml'><body>" +
                 "".join(f"<p>{line}</p>" for line in _lines(rnd, rnd.randint(50, 300))) + "</body></html>")
                for i in range(rnd.randint(2, 6))]
    _package(out, "application/epub+zip", [("META-INF/container.xml", "<?xml version='1.0'?><container/>")] + chapters)


def make_odt(out, seed, rnd):
    body = "".join(f"<text:p>{line}</text:p>" for line in _lines(rnd, rnd.randint(100, 800)))
    _package(out, "application/vnd.oasis.opendocument.text",
             [("content.xml", f"<office:document-content><office:body>{body}</office:body></office:document-content>"),
              ("META-INF/manifest.xml", "<manifest/>")])


def make_dng(out, seed, rnd):
    open(out, "wb").write(mkmodern._raw("dng", seed))


def make_cr3(out, seed, rnd):
    with tempfile.TemporaryDirectory() as tmp:
        jpg = os.path.join(tmp, "preview.jpg")
        run(CONVERT, _picture(tmp, seed, rnd, (160, 120)), "-quality", "80", "-strip", jpg)
        open(out, "wb").write(mkmodern._cr3(open(jpg, "rb").read(), seed))


MODERN_RECIPES = [("heic", make_heic, 12), ("avif", make_avif, 8), ("webp", make_webp, 15), ("mp4", make_mp41, 8),
                  ("m4a", make_m4a, 8), ("webm", make_webm, 6), ("mkv", make_mkv, 6), ("flac", make_flac, 8),
                  ("ogg", make_ogg, 8), ("opus", make_opus, 8), ("mp3", make_mp3_untagged, 8),
                  ("db", make_sqlite, 6), ("txt", make_txt, 6), ("csv", make_csv, 5), ("html", make_html, 5),
                  ("json", make_json, 5), ("epub", make_epub, 5), ("odt", make_odt, 5), ("dng", make_dng, 4),
                  ("cr3", make_cr3, 4)]


def write_planted(path, rows):
    with open(path + ".tmp", "w") as f:
        for digest, size, sector, ext in rows:
            f.write(f"{digest} {size} {sector} {ext}\n")
    os.rename(path + ".tmp", path)


# ---- raw.img: media among noise ----

def make_raw(outdir, media, name="raw.img", size=GIB, seed=20240601):
    img = os.path.join(outdir, name)
    if os.path.exists(img) and os.path.exists(img + ".planted"):
        return
    rnd = random.Random(seed)
    order = list(media)
    rnd.shuffle(order)
    rows = []
    tmp = img + ".tmp"
    with open(tmp, "wb") as f:
        pos = 0
        for path in order:
            # A gap of noise (or, now and then, zeros) before each file.
            gap = rnd.randint(1, 4096) * SECTOR
            f.write(bytes(gap) if rnd.random() < 0.15 else os.urandom(gap))
            pos += gap
            data = open(path, "rb").read()
            if pos + len(data) + SECTOR > size:
                break
            padded = len(data) + (-len(data)) % SECTOR
            f.write(data + bytes(padded - len(data)))
            rows.append((hashlib.sha256(data).hexdigest(), len(data), pos // SECTOR, path.rsplit(".", 1)[1]))
            pos += padded
        while pos < size:
            n = min(1 << 24, size - pos)
            f.write(os.urandom(n))
            pos += n
    os.rename(tmp, img)
    write_planted(img + ".planted", rows)


# ---- fat32.img: a full volume, most files deleted (mtools only) ----

def make_fat32(outdir, media):
    img = os.path.join(outdir, "fat32.img")
    if os.path.exists(img) and os.path.exists(img + ".planted"):
        return
    tmp = img + ".tmp"
    if os.path.exists(tmp):
        os.remove(tmp)
    run("mkfs.fat", "-F", "32", "-s", "8", "-n", "BENCH", "-C", tmp, str(GIB // 1024))
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    rnd = random.Random(77)
    rows, deleted, used = [], [], 0
    budget = int(GIB * 0.9)
    round_no = 0
    while used < budget and round_no < 8:
        folder = f"::/DCIM{round_no:02d}"
        run("mmd", "-i", tmp, folder, env=env)
        for path in media:
            size = os.path.getsize(path)
            if used + size > budget:
                break
            name = f"{folder}/R{round_no}_{os.path.basename(path)}"
            run("mcopy", "-i", tmp, path, name, env=env)
            used += size + 4096
            if rnd.random() < 0.8:
                deleted.append(name)
                rows.append((sha256(path), size, -1, path.rsplit(".", 1)[1]))
        round_no += 1
    # Deleting last leaves every deleted file's clusters intact.
    for i in range(0, len(deleted), 200):
        run("mdel", "-i", tmp, *deleted[i:i + 200], env=env)
    os.rename(tmp, img)
    write_planted(img + ".planted", rows)


# ---- ntfs.img: 10,000 files, a third deleted (ntfs-3g mount, root only) ----

def make_ntfs(outdir, media):
    img = os.path.join(outdir, "ntfs.img")
    if os.path.exists(img) and os.path.exists(img + ".planted"):
        return
    tmp = img + ".tmp"
    with open(tmp, "wb") as f:
        f.truncate(GIB)
    run("mkntfs", "-F", "-Q", "-q", "-c", "4096", "-L", "BENCH", tmp)
    mnt = tempfile.mkdtemp(prefix="torvane-bench-ntfs.")
    rnd = random.Random(99)
    rows = []
    run("ntfs-3g", "-o", "loop", tmp, mnt)
    try:
        budget, used, n = int(GIB * 0.8), 0, 0
        small = [p for p in media if os.path.getsize(p) < (1 << 20)]
        victims = []
        while n < 10000:
            folder = os.path.join(mnt, f"dir{n // 500:02d}")
            os.makedirs(folder, exist_ok=True)
            if n % 10 == 0 and used < budget:
                src = small[(n // 10) % len(small)]
                data = open(src, "rb").read()
                name = os.path.join(folder, f"f{n:05d}_{os.path.basename(src)}")
            else:
                data = _random_text(rnd, rnd.randint(20, 3000)).encode()
                name = os.path.join(folder, f"f{n:05d}.txt")
            with open(name, "wb") as f:
                f.write(data)
            used += len(data) + 4096
            if n % 3 == 0:
                victims.append(name)
                rows.append((hashlib.sha256(data).hexdigest(), len(data), -1, name.rsplit(".", 1)[1]))
            n += 1
        for name in victims:
            os.remove(name)
    finally:
        run("umount", mnt)
        os.rmdir(mnt)
    os.rename(tmp, img)
    write_planted(img + ".planted", rows)


# ---- dense.img: a find in every sector ----

def make_dense(outdir, media):
    img = os.path.join(outdir, "dense.img")
    if os.path.exists(img) and os.path.exists(img + ".planted"):
        return
    with tempfile.TemporaryDirectory() as tmp:
        jpg = os.path.join(tmp, "tiny.jpg")
        run(CONVERT, "-size", "8x8", "-seed", "5", "plasma:", "-strip", "-quality", "50", jpg)
        data = open(jpg, "rb").read()
    assert len(data) <= SECTOR, "the tiny JPEG must fit one sector"
    sector = data + bytes(SECTOR - len(data))
    count = (512 << 20) // SECTOR
    tmpimg = img + ".tmp"
    with open(tmpimg, "wb") as f:
        block = sector * 2048
        for _ in range(count // 2048):
            f.write(block)
    os.rename(tmpimg, img)
    digest = hashlib.sha256(data).hexdigest()
    write_planted(img + ".planted", [(digest, len(data), i, "jpg") for i in range(count)])


# ---- sparse.img: 2 TiB, nearly all holes ----

def make_sparse(outdir, media):
    img = os.path.join(outdir, "sparse.img")
    if os.path.exists(img) and os.path.exists(img + ".planted"):
        return
    size = 2 << 40
    rnd = random.Random(4242)
    picks = rnd.sample(media, 24)
    rows = []
    tmp = img + ".tmp"
    with open(tmp, "wb") as f:
        f.truncate(size)
        for i, path in enumerate(picks):
            data = open(path, "rb").read()
            pos = (i * (size // 24) + rnd.randint(0, 1 << 20) * SECTOR) // SECTOR * SECTOR
            f.seek(pos)
            f.write(data)
            rows.append((hashlib.sha256(data).hexdigest(), len(data), pos // SECTOR, path.rsplit(".", 1)[1]))
    os.rename(tmp, img)
    write_planted(img + ".planted", rows)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    outdir = sys.argv[1]
    which = sys.argv[2:] or ["raw", "fat32"]
    os.makedirs(outdir, exist_ok=True)
    media = make_media(outdir) if set(which) - {"modern"} else []
    for kind in which:
        if kind == "modern":
            make_raw(outdir, make_media(outdir, MODERN_RECIPES, "modern"), "modern.img", GIB // 2, 20241208)
            continue
        {"raw": make_raw, "fat32": make_fat32, "ntfs": make_ntfs, "dense": make_dense,
         "sparse": make_sparse}[kind](outdir, media)


if __name__ == "__main__":
    main()
