#include "Output.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <map>

#include "Progress.h"
#include "engine/Status.h"

namespace {

bool g_bStdoutClosed = false;

// The length of the valid UTF-8 sequence at p (at most n bytes), 0 when broken.
size_t Utf8Length(const unsigned char* p, size_t n) {
  unsigned char c = p[0];
  size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (len == 0 || len > n) return 0;
  for (size_t i = 1; i < len; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0;
  if (len == 2 && c < 0xC2) return 0;  // overlong
  return len;
}

// Walks text by UTF-8 sequences; each is kept, or replaced when fn says so.
template <typename Fn>
std::string MapUtf8(const std::string& text, Fn fn) {
  std::string out;
  out.reserve(text.size());
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    size_t len = Utf8Length(p + i, n - i);
    if (len == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD for a broken byte
      ++i;
      continue;
    }
    fn(out, p + i, len);
    i += len;
  }
  return out;
}

}  // namespace

bool Out(const char* pFormat, ...) {
  if (g_bStdoutClosed) return false;
  // A progress line on the same terminal is taken away first.
  static const bool kTerminal = isatty(1) != 0;
  if (kTerminal) ClearProgressLine();
  va_list args;
  va_start(args, pFormat);
  vfprintf(stdout, pFormat, args);
  va_end(args);
  if (ferror(stdout)) g_bStdoutClosed = true;
  return !g_bStdoutClosed;
}

bool OutOpen() { return !g_bStdoutClosed; }

std::string Printable(const std::string& text) {
  return MapUtf8(text, [](std::string& out, const unsigned char* p, size_t len) {
    bool control = (len == 1 && (p[0] < 0x20 || p[0] == 0x7F)) || (len == 2 && p[0] == 0xC2 && p[1] < 0xA0);
    if (control)
      out += '?';
    else
      out.append(reinterpret_cast<const char*>(p), len);
  });
}

std::string JsonString(const std::string& text) {
  return "\"" + MapUtf8(text, [](std::string& out, const unsigned char* p, size_t len) {
           if (len == 1 && (p[0] == '"' || p[0] == '\\')) {
             out += '\\';
             out += static_cast<char>(p[0]);
           } else if (len == 1 && p[0] < 0x20) {
             char buf[8];
             snprintf(buf, sizeof(buf), "\\u%04x", p[0]);
             out += buf;
           } else {
             out.append(reinterpret_cast<const char*>(p), len);
           }
         }) + "\"";
}

std::string HumanSize(u64 u64Bytes) {
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB"};
  if (u64Bytes < 1024) return std::to_string(u64Bytes) + " B";
  double v = static_cast<double>(u64Bytes) / 1024.0;
  int unit = 0;
  while (v >= 1024.0 && unit < 4) {
    v /= 1024.0;
    ++unit;
  }
  char buf[32];
  snprintf(buf, sizeof(buf), v < 10 ? "%.1f %s" : "%.0f %s", v, kUnits[unit]);
  return buf;
}

std::string Duration(u64 u64Seconds) {
  char buf[32];
  u64 h = u64Seconds / 3600, m = u64Seconds / 60 % 60, s = u64Seconds % 60;
  if (h)
    snprintf(buf, sizeof(buf), "%llu:%02llu:%02llu", static_cast<unsigned long long>(h),
             static_cast<unsigned long long>(m), static_cast<unsigned long long>(s));
  else
    snprintf(buf, sizeof(buf), "%llu:%02llu", static_cast<unsigned long long>(m), static_cast<unsigned long long>(s));
  return buf;
}

std::string LocalDateTime(i64 tSeconds) {
  if (tSeconds <= 0) return "-";
  time_t t = static_cast<time_t>(tSeconds);
  struct tm tm;
  if (!localtime_r(&t, &tm)) return "-";
  char buf[32];
  strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M", &tm);
  return buf;
}

std::string LocalDate(i64 tSeconds) { return LocalDateTime(tSeconds).substr(0, 10); }

std::string IsoDateTime(i64 tSeconds) {
  time_t t = static_cast<time_t>(tSeconds);
  struct tm tm;
  if (tSeconds <= 0 || !gmtime_r(&t, &tm)) return "";
  char buf[32];
  strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

namespace {
// Display width: UTF-8 continuation bytes take no column.
size_t DisplayWidth(const std::string& text) {
  size_t w = 0;
  for (unsigned char ch : text) w += (ch & 0xC0) != 0x80;
  return w;
}
}  // namespace

void CTable::Measure(const std::vector<std::string>& row) {
  for (size_t c = 0; c < row.size(); ++c) {
    if (m_width.size() <= c) m_width.resize(c + 1, 0);
    m_width[c] = std::max(m_width[c], DisplayWidth(row[c]));
  }
}

bool CTable::Print(const std::vector<std::string>& row) const {
  std::string line;
  for (size_t c = 0; c < row.size(); ++c) {
    const size_t w = DisplayWidth(row[c]), width = c < m_width.size() ? m_width[c] : 0;
    std::string pad(width > w ? width - w : 0, ' ');
    bool right = false;
    for (size_t r : m_rightAligned) right = right || r == c;
    if (c + 1 == row.size())
      line += right ? pad + row[c] : row[c];
    else
      line += (right ? pad + row[c] : row[c] + pad) + "  ";
  }
  return Out("%s\n", line.c_str());
}

void PrintTable(const std::vector<std::vector<std::string>>& rows, const std::vector<size_t>& rightAligned) {
  CTable table(rightAligned);
  for (const auto& row : rows) table.Measure(row);
  for (const auto& row : rows)
    if (!table.Print(row)) return;
}

std::string ResultPath(const RESULT_ITEM& item) {
  return item.IsCarved() ? item.strName : (item.strFolder.empty() ? "/" : item.strFolder) + item.strName;
}

const char* StateName(const RESULT_ITEM& item) { return item.IsDeleted() ? "deleted" : "live"; }

const std::vector<size_t> kResultRightAligned = {0, 3};

std::vector<std::string> ResultHeader() { return {"ID", "STATE", "PART", "SIZE", "MODIFIED", "INTEGRITY", "PATH"}; }

// The day only: the FAT engines keep no time of day.
std::vector<std::string> ResultRow(const RESULT_ITEM& r) {
  return {std::to_string(r.nId), StateName(r), r.nPartition ? std::to_string(r.nPartition) : "-",
          r.node.bIsDir ? "folder" : HumanSize(r.node.u64FileSize), LocalDate(NodeModifiedTime(r.node)),
          IntegrityName(r.node.nIntegrity), Printable(ResultPath(r))};
}

const char* OutcomeWord(int nStatus) {
  switch (nStatus) {
    case 0: return "saved";
    case STATUS_PARTIAL_SAVE: return "partial";
    case STATUS_SKIPPED_SAME: return "skipped";
    default: return "failed";
  }
}

namespace {

std::string ResultJson(const RESULT_ITEM& r, const SAVE_OUTCOME* pOutcome) {
  const _FILE_NODE_& n = r.node;
  std::string s = "{\"id\": " + std::to_string(r.nId) + ", \"name\": " + JsonString(r.strName) +
                  ", \"folder\": " + JsonString(r.strFolder) + ", \"size\": " + std::to_string(n.u64FileSize) +
                  ", \"state\": \"" + StateName(r) + "\", \"partition\": " + std::to_string(r.nPartition) +
                  ", \"engine\": \"" + CScanSession::EngineName(n.nEngineType) +
                  "\", \"firstSector\": " + std::to_string(r.u64FirstSector) +
                  ", \"health\": " + std::to_string(n.bHealth) + ", \"integrity\": \"" + IntegrityName(n.nIntegrity) +
                  "\"";
  if (n.bIsDir) s += ", \"isFolder\": true";
  SECTOR_RUN runs[2];
  const int nRuns = CScanSession::Pieces(r, runs);
  if (nRuns == 2) {
    // The disk's sectors, as firstSector; whole sectors each.
    s += ", \"pieces\": [";
    for (int i = 0; i < nRuns; ++i)
      s += std::string(i ? ", " : "") + "{\"firstSector\": " + std::to_string(runs[i].u64FirstSector) +
           ", \"sectors\": " + std::to_string((runs[i].u64Bytes + SECTOR_SIZE - 1) / SECTOR_SIZE) + "}";
    s += "]";
  }
  std::vector<std::string> flags = CScanSession::FlagNames(n.nResultFlags);
  if (!flags.empty()) {
    s += ", \"flags\": [";
    for (size_t i = 0; i < flags.size(); ++i) s += (i ? ", \"" : "\"") + flags[i] + "\"";
    s += "]";
  }
  std::string modified = IsoDateTime(NodeModifiedTime(n));
  if (!modified.empty()) s += ", \"modified\": \"" + modified + "\"";
  // What a carved file says about itself, where it says it.
  if (!r.strTitle.empty()) s += ", \"title\": " + JsonString(r.strTitle);
  if (!r.strArtist.empty()) s += ", \"artist\": " + JsonString(r.strArtist);
  if (!r.strCamera.empty()) s += ", \"camera\": " + JsonString(r.strCamera);
  const std::string captured = IsoDateTime(r.tCaptured);
  if (!captured.empty()) s += ", \"captured\": \"" + captured + "\"";
  if (r.nWidth && r.nHeight)
    s += ", \"width\": " + std::to_string(r.nWidth) + ", \"height\": " + std::to_string(r.nHeight);
  if (pOutcome) {
    s += ", \"savedPath\": " + JsonString(pOutcome->strPath) + ", \"status\": \"" + OutcomeWord(pOutcome->nStatus) +
         "\"";
    if (pOutcome->nStatus != 0) s += ", \"reason\": " + JsonString(StatusText(pOutcome->nStatus));
    if (!pOutcome->strSha256.empty()) s += ", \"sha256\": \"" + pOutcome->strSha256 + "\"";
    if (!pOutcome->result.unreadable.empty()) {
      s += ", \"unreadable\": [";
      for (size_t i = 0; i < pOutcome->result.unreadable.size(); ++i) {
        const BYTE_RANGE& b = pOutcome->result.unreadable[i];
        s += std::string(i ? ", " : "") + "{\"offset\": " + std::to_string(b.u64Offset) +
             ", \"length\": " + std::to_string(b.u64Length) + "}";
      }
      s += "]";
    }
  }
  return s + "}";
}

}  // namespace

std::string RunJsonHead(const RUN_DOCUMENT& doc) {
  std::string s = "{\n";
  if (doc.pTarget) {
    const SCAN_TARGET& t = *doc.pTarget;
    s += "\"scan\": {\"id\": " + std::to_string(doc.nScanId) + ", \"target\": " + JsonString(t.strPath) +
         ", \"range\": " + JsonString(t.strRangeName) + ", \"partition\": " + std::to_string(t.nPartition) +
         ", \"firstSector\": " + std::to_string(t.u64FirstSector) +
         ", \"sectorCount\": " + std::to_string(t.u64SectorCount) +
         ", \"complete\": " + (doc.bComplete ? "true" : "false") + ", \"found\": " + std::to_string(doc.nFound);
    u64 bad = 0;
    std::string ranges;
    for (const SECTOR_RANGE& r : doc.unreadable) {
      bad += r.u64Count;
      ranges += std::string(ranges.empty() ? "" : ", ") + "{\"firstSector\": " + std::to_string(r.u64First) +
                ", \"sectors\": " + std::to_string(r.u64Count) + "}";
    }
    s += ", \"unreadableSectors\": " + std::to_string(bad) + ", \"unreadable\": [" + ranges + "]},\n";
  }
  if (!doc.strDestination.empty()) s += "\"destination\": " + JsonString(doc.strDestination) + ",\n";
  return s + "\"results\": [\n";
}

std::string RunJsonResult(const RESULT_ITEM& r, const SAVE_OUTCOME* pOutcome, size_t nIndex) {
  return (nIndex ? ",\n  " : "  ") + ResultJson(r, pOutcome);
}

std::string RunJsonTail(size_t nListed, const SAVE_SUMMARY* pSummary) {
  std::string s = std::string(nListed ? "\n" : "") + "],\n\"summary\": {\"listed\": " + std::to_string(nListed);
  if (pSummary) {
    const SAVE_SUMMARY& m = *pSummary;
    s += ", \"saved\": " + std::to_string(m.nSaved) + ", \"partial\": " + std::to_string(m.nPartial) +
         ", \"failed\": " + std::to_string(m.nFailed) + ", \"skipped\": " + std::to_string(m.nSkipped);
  }
  return s + "}\n}\n";
}
