"""Shared helpers of the test-image builder: running tools, hashing, manifests."""
import hashlib
import os
import subprocess

SECTOR = 512
FIXED_TIME = 1577836800  # 2020-01-01 00:00:00 UTC, so images come out the same each time
ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", LC_ALL="C.UTF-8", TZ="UTC",
           SOURCE_DATE_EPOCH=str(FIXED_TIME))


def run(*args, cwd=None, inp=None, check=True, capture=True):
    """Run a tool; a failure stops the build with the tool's own message."""
    r = subprocess.run([str(a) for a in args], cwd=cwd, input=inp, env=ENV,
                       stdout=subprocess.PIPE if capture else None,
                       stderr=subprocess.PIPE if capture else None)
    if check and r.returncode != 0:
        raise RuntimeError("command failed (%d): %s\n%s\n%s" % (
            r.returncode, " ".join(map(str, args)),
            (r.stdout or b"").decode(errors="replace")[-2000:],
            (r.stderr or b"").decode(errors="replace")[-2000:]))
    return (r.stdout or b"").decode("utf-8", errors="replace")


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def sha256_bytes(data):
    return hashlib.sha256(data).hexdigest()


def fix_time(path):
    os.utime(path, (FIXED_TIME, FIXED_TIME))


def read_at(path, offset, size):
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(size)


def write_at(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def make_sparse(path, size):
    with open(path, "wb") as f:
        f.truncate(size)


class Entry:
    """One file of a manifest."""

    def __init__(self, state, folder, name, size, sha256, first_sector=-1,
                 ftype="", sample="", note="", fragments=0, partition=-1):
        self.state = state
        self.folder = folder
        self.name = name
        self.size = size
        self.sha256 = sha256
        self.first_sector = first_sector
        self.type = ftype
        self.sample = sample
        self.note = note
        self.fragments = fragments
        self.partition = partition

    @property
    def path(self):
        return (self.folder.rstrip("/") + "/" + self.name) if self.folder != "/" else "/" + self.name


def ftype_of(name):
    base = os.path.basename(name)
    return base.rsplit(".", 1)[1].lower() if "." in base else ""


def clean(s):
    s = str(s)
    if "\t" in s or "\n" in s:
        raise ValueError("tab or newline in manifest field: %r" % s)
    return s


def write_manifest(path, info, files=(), partitions=()):
    """Lines of tab-separated fields; the first field says what the line is."""
    lines = ["# torvane test image manifest v1"]
    for k, v in info.items():
        lines.append("info\t%s\t%s" % (clean(k), clean(v)))
    lines.append("# file\tstate\tfolder\tname\tsize\tsha256\tfirstSector\ttype\tsamplePath\tnote\tfragments\tpartition")
    for e in files:
        lines.append("\t".join(clean(x) for x in (
            "file", e.state, e.folder, e.name, e.size, e.sha256, e.first_sector,
            e.type, e.sample, e.note, e.fragments, e.partition)))
    if partitions:
        lines.append("# part\tindex\tfirstSector\tlastSector\ttype\tname\tfs")
        for p in partitions:
            lines.append("\t".join(clean(x) for x in (
                "part", p["index"], p["first"], p["last"], p["type"], p["name"], p["fs"])))
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
