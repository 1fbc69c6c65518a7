// The registry: every carvable format's rows in detection order, the quick
// per-sector rejection built from the formats' signatures, and detection
// itself.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "carve/FileTypeJudge.h"
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"
#include "carve/meta/MetaCommon.h"

using namespace carvefmt;
using namespace carve_detail;

// One row per extension: its type and the format that recognises and
// measures it. Order matters: detection tries rows top-down, and lookups by
// type or extension take the first row that fits.
const CFileTypeJudge::EXTEND_NAME_ROW CFileTypeJudge::szExtendNameAndType[EXTEND_NAME_ROW_COUNT] = {
    {"mpeg", TYPE_MPEG, &kMpeg},                // 0
    {"mpg", TYPE_MPEG, &kMpeg},
    {"vob", TYPE_MPEG, &kMpeg},
    {"mp4", TYPE_MP4, &kMp4},
    {"rmvb", TYPE_RMVB, &kRealMedia},
    {"rm", TYPE_RMVB, &kRealMedia},             // 5
    {"wmv", TYPE_WMV, &kAsf},
    {"asf", TYPE_WMV, &kAsf},
    {"wma", TYPE_WMV, &kAsf},
    {"swf", TYPE_SWF, &kSwf},
    {"avi", TYPE_AVI, &kAvi},                   // 10
    {"flv", TYPE_FLV, &kFlv},
    {"3gp", TYPE_3GP, &k3gp},
    {"webm", TYPE_WEBM, &kWebm},               // before mkv: the same header, told by its DocType
    {"mkv", TYPE_MKV, &kMatroska},
    {"ts", TYPE_TS, &kMpegTs},
    {"mts", TYPE_MTS, &kMts},                   // 15
    {"mxf", TYPE_MXF, &kMxf},
    {"mp3", TYPE_MP3, &kMp3},
    {"mid", TYPE_MID, &kMidi},
    {"ape", TYPE_APE, &kApe},
    {"wav", TYPE_WAV, &kWav},                   // 20
    {"mov", TYPE_MOV, &kMov},
    {"mp2", TYPE_MP2, &kMp2},
    {"mmf", TYPE_MMF, &kMmf},
    {"fla", TYPE_FLA, &kFla},
    {"gif", TYPE_GIF, &kGif},                   // 25
    {"bmp", TYPE_BMP, &kBmp},
    {"dib", TYPE_BMP, &kBmp},
    {"jpg", TYPE_JPG, &kJpeg},
    {"jpeg", TYPE_JPG, &kJpeg},
    {"jpe", TYPE_JPG, &kJpeg},                  // 30
    {"jfif", TYPE_JPG, &kJpeg},
    {"png", TYPE_PNG, &kPng},
    {"psd", TYPE_PSD, &kPsd},
    {"dng", TYPE_DNG, &kTiffRaw},              // before tif: camera raws are TIFF files too
    {"nef", TYPE_NEF, &kTiffRaw},
    {"arw", TYPE_ARW, &kTiffRaw},
    {"cr2", TYPE_CR2, &kTiffRaw},
    {"pef", TYPE_PEF, &kTiffRaw},
    {"srw", TYPE_SRW, &kTiffRaw},
    {"orf", TYPE_ORF, &kTiffRaw},
    {"rw2", TYPE_RW2, &kTiffRaw},
    {"tif", TYPE_TIF, &kTiff},
    {"tiff", TYPE_TIF, &kTiff},                 // 35
    {"ico", TYPE_ICO, &kIco},
    {"doc", TYPE_DOC, &kCompound},
    {"dot", TYPE_DOC, &kCompound},
    {"wps", TYPE_DOC, &kCompound},
    {"wpt", TYPE_DOC, &kCompound},              // 40
    {"xls", TYPE_XLS, &kCompound},
    {"xlt", TYPE_XLS, &kCompound},
    {"xla", TYPE_XLS, &kCompound},
    {"et", TYPE_XLS, &kCompound},
    {"ett", TYPE_XLS, &kCompound},              // 45
    {"ppt", TYPE_PPT, &kCompound},
    {"pot", TYPE_PPT, &kCompound},
    {"pps", TYPE_PPT, &kCompound},
    {"dps", TYPE_PPT, &kCompound},
    {"dpt", TYPE_PPT, &kCompound},              // 50
    {"ole", TYPE_OLE, &kCompound},
    {"docx", TYPE_DOCX, &kOoxml},
    {"docm", TYPE_DOCX, &kOoxml},
    {"dotm", TYPE_DOCX, &kOoxml},
    {"dotx", TYPE_DOCX, &kOoxml},               // 55
    {"xlsx", TYPE_XLSX, &kOoxml},
    {"xlsb", TYPE_XLSX, &kOoxml},
    {"xlsm", TYPE_XLSX, &kOoxml},
    {"xlsx", TYPE_XLSX, &kOoxml},
    {"xlam", TYPE_XLSX, &kOoxml},               // 60
    {"xltx", TYPE_XLSX, &kOoxml},
    {"xltm", TYPE_XLSX, &kOoxml},
    {"pptx", TYPE_PPTX, &kOoxml},
    {"pptm", TYPE_PPTX, &kOoxml},
    {"potx", TYPE_PPTX, &kOoxml},               // 65
    {"potm", TYPE_PPTX, &kOoxml},
    {"ppsx", TYPE_PPTX, &kOoxml},
    {"ppsm", TYPE_PPTX, &kOoxml},
    {"mso07", TYPE_MSO07, &kOoxml},
    {"pdf", TYPE_PDF, &kPdf},                   // 70
    {"gz", TYPE_GZ, &kGzip},
    {"gzip", TYPE_GZ, &kGzip},
    {"7z", TYPE_7Z, &k7z},
    {"epub", TYPE_EPUB, &kZipPackage},         // before zip: packages told by their first entry
    {"odt", TYPE_ODT, &kZipPackage},
    {"ods", TYPE_ODS, &kZipPackage},
    {"jar", TYPE_JAR, &kZipPackage},
    {"apk", TYPE_APK, &kZipPackage},
    {"zip", TYPE_ZIP, &kZip},
    {"rar", TYPE_RAR, &kRar},                   // 75
    {"cab", TYPE_CAB, &kCab},
    {"exe", TYPE_EXE, &kPe},
    {"dll", TYPE_DLL, &kPe},
    {"sys", TYPE_SYS, &kPe},
    {"gho", TYPE_GHO, &kGho},                   // 80
    {"db", TYPE_DB, &kSqlite},
    {"dbx", TYPE_DBX, &kDbx},
    {"pst", TYPE_PST, &kPst},
    {"fla", TYPE_FLA, &kFla},
    {"ttf", TYPE_TTF, &kTtf},                   // 85
    {"ico", TYPE_ICO, &kIco},
    // ---- Rows added after the first 87: formats and starts they missed ----
    {"m4a", TYPE_M4A, &kIsoBrands},
    {"m4v", TYPE_M4V, &kIsoBrands},
    {"3g2", TYPE_3G2, &kIsoBrands},
    {"heic", TYPE_HEIC, &kIsoBrands},
    {"heif", TYPE_HEIF, &kIsoBrands},
    {"avif", TYPE_AVIF, &kIsoBrands},
    {"cr3", TYPE_CR3, &kIsoBrands},
    {"mp4", TYPE_MP4, &kIsoBrands},            // named and measured by the mp4 row above
    {"3gp", TYPE_3GP, &kIsoBrands},
    {"mov", TYPE_MOV, &kIsoBrands},
    {"jpg", TYPE_JPG, &kJpegOtherStart},
    {"bmp", TYPE_BMP, &kBmpOtherHeader},
    {"webp", TYPE_WEBP, &kWebp},
    {"flac", TYPE_FLAC, &kFlac},
    {"ogg", TYPE_OGG, &kOgg},
    {"opus", TYPE_OPUS, &kOgg},
    {"amr", TYPE_AMR, &kAmr},
    {"raf", TYPE_RAF, &kRaf},
    // Starts without magic bytes: asked last, and no boundary for other files.
    {"mp3", TYPE_MP3, &kMpegFrames},           // named by the mp3 row above; its rule follows the frames
    {"aac", TYPE_AAC, &kAdts},
    {"txt", TYPE_TXT, &kText},
    {"csv", TYPE_CSV, &kText},
    {"html", TYPE_HTML, &kText},
    {"xml", TYPE_XML, &kText},
    {"json", TYPE_JSON, &kText},
    {nullptr, TYPE_NONE, nullptr},                 // sentinel
};

// ---- The quick rejection, generated from the signatures ----

namespace {

typedef CFileTypeJudge J;

void SetBit(u64* words, u32 index) { words[index >> 6] |= 1ull << (index & 63); }

// Every format the table names, once, in table order.
template <typename F>
void ForEachFormat(F f) {
  const CARVE_FORMAT* seen[J::EXTEND_NAME_ROW_COUNT];
  int nSeen = 0;
  for (const J::EXTEND_NAME_ROW& r : J::szExtendNameAndType) {
    if (!r.pFormat) break;  // sentinel
    bool dup = false;
    for (int k = 0; k < nSeen; ++k) dup = dup || seen[k] == r.pFormat;
    if (dup) continue;
    seen[nSeen++] = r.pFormat;
    f(*r.pFormat);
  }
}

}  // namespace

struct QuickTableBuilder {
  static J::QUICK_TABLES Build() {
    J::QUICK_TABLES q;
    std::memset(&q, 0, sizeof(q));
    // Every row but the last names a format; the last is the sentinel.
    for (int row = 0; row < J::EXTEND_NAME_ROW_COUNT; ++row) {
      const bool last = row == J::EXTEND_NAME_ROW_COUNT - 1;
      if ((J::szExtendNameAndType[row].pFormat == nullptr) != last) {
        std::fprintf(stderr, "carve registry: row %d %s\n", row, last ? "should be the sentinel" : "is empty");
        std::abort();
      }
    }
    ForEachFormat([&](const CARVE_FORMAT& f) {
      if (f.nSignatures == 0) {
        std::fprintf(stderr, "carve format %s declares no signature\n", f.szName);
        std::abort();  // the quick rejection could never let it through
      }
      for (int k = 0; k < f.nSignatures; ++k) {
        const CARVE_SIGNATURE& s = f.pSignatures[k];
        if (s.nKind == SIG_TEXT) {
          if (s.nOffset != 0 || s.nLen != J::TEXT_WINDOW) std::abort();  // the inline test reads that many
          q.nTextLen = q.nTextLen == 0 || s.nLen < q.nTextLen ? s.nLen : q.nTextLen;
          continue;
        }
        if (s.nOffset > 0) {
          AddProbe(q, s);
          continue;
        }
        const u8 b0 = static_cast<u8>(s.pBytes[0]);
        q.bFirstByte[b0] = true;
        // A one-byte signature allows every second byte; a longer one its own.
        const u32 b1First = s.nLen >= 2 ? static_cast<u8>(s.pBytes[1]) : 0;
        const u32 b1End = s.nLen >= 2 ? b1First + 1 : 256;
        for (u32 b1 = b1First; b1 < b1End; ++b1) {
          const u32 pair = b0 * 256u + b1;
          SetBit(q.u64Pair, pair);
          if (s.nLen <= 2) {
            SetBit(q.u64PairShort, pair);
            continue;
          }
          SetBit(q.u64Triple, J::Hash3(b0, b1, static_cast<u8>(s.pBytes[2])));
        }
      }
    });
    if (q.nTextLen != 0) {
      for (int c = 0; c < 256; ++c) q.nTextClass[c] = TextByteClass(static_cast<u8>(c));
      for (u32 b0 = 0; b0 < 256; ++b0)
        for (u32 b1 = 0; b1 < 256; ++b1) {
          const bool lead = b0 >= 0xC2 && b0 <= 0xF4, cont = b1 >= 0x80 && b1 <= 0xBF;
          const bool ascii0 = q.nTextClass[b0] == 1, text1 = q.nTextClass[b1] == 1 || (b1 >= 0xC2 && b1 <= 0xF4);
          if ((ascii0 && text1) || (lead && cont)) SetBit(q.u64TextPair, b0 * 256 + b1);
        }
    }
    q.nWindow = 3 > q.nTextLen ? 3 : q.nTextLen;
    for (int k = 0; k < J::MAX_PROBES; ++k) {
      q.nProbeAt[k] = 0;
      q.nProbeByte[k] = 0x100;
      if (k >= q.nProbes) continue;
      const J::PROBE& p = q.probes[k];
      int telling = 0;
      while (telling + 1 < p.nLen && IsCommonByte(static_cast<u8>(p.pBytes[telling]))) ++telling;
      q.nProbeAt[k] = static_cast<u16>(p.nOffset + telling);
      q.nProbeByte[k] = static_cast<u8>(p.pBytes[telling]);
      if (p.nNeed > q.nWindow) q.nWindow = p.nNeed;
    }
    return q;
  }

  // Bytes that fill whole sectors (zeros, erased flash, spaces): a poor
  // first test of a signature.
  static bool IsCommonByte(u8 b) { return b == 0x00 || b == 0xFF || b == 0x20; }

  // Signatures past byte 0 are tested whole; the same bytes at the same
  // offset are tested once.
  static void AddProbe(J::QUICK_TABLES& q, const CARVE_SIGNATURE& s) {
    for (int k = 0; k < q.nProbes; ++k)
      if (q.probes[k].nOffset == s.nOffset && q.probes[k].nLen == s.nLen &&
          std::memcmp(q.probes[k].pBytes, s.pBytes, s.nLen) == 0)
        return;
    if (q.nProbes == J::MAX_PROBES) {
      std::fprintf(stderr, "carve formats declare more than %d signatures past byte 0\n", J::MAX_PROBES);
      std::abort();
    }
    J::PROBE& p = q.probes[q.nProbes++];
    p.nOffset = s.nOffset;
    p.nLen = s.nLen;
    p.nNeed = s.nOffset + s.nLen;
    p.pBytes = s.pBytes;
  }
};

// Built before main() from the constant descriptors (nothing asks the
// carver anything during static initialisation).
CFileTypeJudge::QUICK_TABLES CFileTypeJudge::s_quick = QuickTableBuilder::Build();

bool CFileTypeJudge::ProbeMatches(const unsigned char* p, int nLen, int k) {
  const PROBE& pr = s_quick.probes[k];
  return nLen >= pr.nNeed && std::memcmp(p + pr.nOffset, pr.pBytes, pr.nLen) == 0;
}

bool CFileTypeJudge::MayStartShortBuffer(const unsigned char* p, int nLen) {
  if (!p || nLen <= 0) return false;
  const QUICK_TABLES& q = s_quick;
  const u32 b0 = p[0];
  if (nLen < 2) {
    if (q.bFirstByte[b0]) return true;
  } else {
    const u32 b1 = p[1], word = b0 * 4u + (b1 >> 6), bit = b1 & 63;
    if ((q.u64Pair[word] >> bit) & 1) {
      if (((q.u64PairShort[word] >> bit) & 1) || nLen < 3) return true;
      const u32 h = Hash3(b0, b1, p[2]);
      if ((q.u64Triple[h >> 6] >> (h & 63)) & 1) return true;
    }
  }
  for (int k = 0; k < q.nProbes; ++k)
    if (ProbeMatches(p, nLen, k)) return true;
  return q.nTextLen != 0 && q.nTextClass[b0] != 0 && MayStartText(p, nLen);
}

bool CFileTypeJudge::MayStartUtf8Text(const unsigned char* p, int nLen) {
  const size_t want = static_cast<size_t>(s_quick.nTextLen);
  return nLen > 0 && TextPrefixLength(p, static_cast<size_t>(nLen), want) >= want;
}

// ---- Detection ----

namespace {

// For each first byte, the table rows whose format may accept it, in table order.
struct ROW_INDEX {
  u8 nCount[256];
  u8 nRows[256][J::EXTEND_NAME_ROW_COUNT];
  ROW_INDEX() {
    static_assert(J::EXTEND_NAME_ROW_COUNT <= 256, "row numbers are kept in bytes");
    std::memset(nCount, 0, sizeof(nCount));
    // Each format's first bytes once (a format may declare thousands of signatures).
    const CARVE_FORMAT* formats[J::EXTEND_NAME_ROW_COUNT];
    bool may[J::EXTEND_NAME_ROW_COUNT][256];
    int nFormats = 0;
    for (int row = 0; row < J::EXTEND_NAME_ROW_COUNT; ++row) {
      const CARVE_FORMAT* f = J::szExtendNameAndType[row].pFormat;
      if (!f) break;  // sentinel
      int k = 0;
      while (k < nFormats && formats[k] != f) ++k;
      if (k == nFormats) {
        formats[nFormats++] = f;
        for (int b = 0; b < 256; ++b) may[k][b] = false;
        for (int i = 0; i < f->nSignatures; ++i) {
          const CARVE_SIGNATURE& s = f->pSignatures[i];
          if (s.nOffset == 0 && s.nKind == SIG_BYTES) {
            may[k][static_cast<u8>(s.pBytes[0])] = true;
            continue;
          }
          for (int b = 0; b < 256; ++b)  // past byte 0 any first byte may start it; text starts with text
            if (s.nOffset > 0 || TextByteClass(static_cast<u8>(b)) != 0) may[k][b] = true;
        }
      }
      for (int b = 0; b < 256; ++b)
        if (may[k][b]) nRows[b][nCount[b]++] = static_cast<u8>(row);
    }
  }
};
const ROW_INDEX& RowIndex() {
  static const ROW_INDEX index;
  return index;
}

const int kFirstDocRow = J::FindRowByType(TYPE_DOC);

// Rows are asked in the order given (ascending table rows).
int DetectRows(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen, int* pRow, const u8* pRows, int nRows) {
  CARVE_DETECTOR lastDetector = nullptr;
  int lastResult = TYPE_NONE;
  for (int k = 0; k < nRows; ++k) {
    const int row = pRows ? pRows[k] : k;
    const J::EXTEND_NAME_ROW& r = J::szExtendNameAndType[row];
    if (!r.pFormat) break;  // sentinel
    const CARVE_DETECTOR detector = r.pFormat->pDetector;
    // Compound files are documents first: asking the classifier before the
    // Flash-authoring row keeps Word, Excel and PowerPoint files from being
    // named, filed and measured as ".fla".
    if (r.pFormat == &kFla && row < kFirstDocRow) {
      int office = IsOffice2003Type(ctx, pBuf, nLen);
      if (office != TYPE_NONE) {
        if (pRow) *pRow = J::FindRowByType(office);
        return office;
      }
    }
    // A detector shared by several rows is asked once: its answer cannot
    // change between those rows.
    int result = detector == lastDetector ? lastResult : detector(ctx, pBuf, nLen);
    lastDetector = detector;
    lastResult = result;
    if (result != TYPE_NONE) {
      if (pRow) *pRow = row;
      return result;
    }
  }
  if (pRow) *pRow = J::EXTEND_NAME_ROW_COUNT - 1;
  return TYPE_NONE;
}

}  // namespace

int CFileTypeJudge::DetectFileTypeAllRows(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen, int* pRow) {
  return DetectRows(ctx, pBuf, nLen, pRow, nullptr, EXTEND_NAME_ROW_COUNT);
}

int CFileTypeJudge::DetectFileType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen, int* pRow) {
  // Almost every sector a deep scan offers starts nothing: turn those away
  // after a byte or three instead of asking every row.
  if (!MayStartFile(pBuf, nLen)) {
    if (pRow) *pRow = EXTEND_NAME_ROW_COUNT - 1;
    return TYPE_NONE;
  }
  const ROW_INDEX& index = RowIndex();
  const u8 b0 = pBuf[0];
  return DetectRows(ctx, pBuf, nLen, pRow, index.nRows[b0], index.nCount[b0]);
}

// ---- Metadata readers ----

namespace {

// Each row's reader, filled once from the descriptors and carve/meta's table.
struct META_SLOTS {
  CARVE_METADATA_READER pReader[J::EXTEND_NAME_ROW_COUNT];
  META_SLOTS() {
    for (int row = 0; row < J::EXTEND_NAME_ROW_COUNT; ++row) {
      const CARVE_FORMAT* f = J::szExtendNameAndType[row].pFormat;
      pReader[row] = !f ? nullptr : f->pMetadata ? f->pMetadata : MetadataReaderForFormat(f->szName);
    }
  }
};
const META_SLOTS& MetaSlots() {
  static const META_SLOTS slots;
  return slots;
}

}  // namespace

CARVE_METADATA_READER CFileTypeJudge::MetadataReaderOfRow(int nRow) {
  return nRow < 0 || nRow >= EXTEND_NAME_ROW_COUNT ? nullptr : MetaSlots().pReader[nRow];
}

bool CFileTypeJudge::ReadMetadata(int nType, CDiskReader* pReader, int nBytesPerSector, u64 u64Sector, u64 u64Size,
                                  CARVE_METADATA& out) {
  std::memset(&out, 0, sizeof(out));
  const CARVE_METADATA_READER reader = MetadataReaderOfRow(FindRowByType(nType));
  if (!reader || u64Size == 0 || !CARVE_CONTEXT::IsUsableSectorSize(nBytesPerSector)) return false;
  CARVE_CONTEXT ctx = MakeContext(pReader, nBytesPerSector, u64Sector);
  return reader(ctx, u64Size, out);
}
