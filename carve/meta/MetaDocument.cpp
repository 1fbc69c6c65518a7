// Documents: OOXML (docProps/core.xml) and ODF (meta.xml) packages, whose
// properties are one small deflated XML entry found through the ZIP central
// directory at the file's end; PDF's document information dictionary, found
// through the trailer's /Info reference.
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "carve/meta/MetaCommon.h"
#include "engine/ByteOrder.h"
#include "engine/TextUtil.h"

using namespace carvemeta;

namespace {

constexpr u32 kMaxCentralEntries = 4096;
constexpr u32 kMaxPackedXml = 65536;  // a properties entry is a few hundred bytes
constexpr size_t kMaxXml = 65536;
constexpr size_t kTail = 4096;        // PDF: the trailer is in the last few hundred bytes

// Text between <tag ...> and the next '<', with the five named entities and
// numeric references decoded.
std::string XmlElement(const std::string& xml, const char* tag) {
  const std::string open = std::string("<") + tag;
  size_t at = 0;
  while ((at = xml.find(open, at)) != std::string::npos) {
    const char next = at + open.size() < xml.size() ? xml[at + open.size()] : 0;
    at += open.size();
    if (next == '>' || next == ' ' || next == '\t' || next == '\n' || next == '\r') break;
  }
  if (at == std::string::npos) return std::string();
  const size_t gt = xml.find('>', at);
  if (gt == std::string::npos || xml[gt - 1] == '/') return std::string();
  const size_t lt = xml.find('<', gt + 1);
  if (lt == std::string::npos) return std::string();
  std::string out;
  for (size_t i = gt + 1; i < lt; ++i) {
    if (xml[i] != '&') {
      out.push_back(xml[i]);
      continue;
    }
    const size_t semi = xml.find(';', i);
    if (semi == std::string::npos || semi > lt || semi - i > 10) {
      out.push_back('&');
      continue;
    }
    const std::string ent = xml.substr(i + 1, semi - i - 1);
    unsigned long code = 0;
    if (ent == "amp") code = '&';
    else if (ent == "lt") code = '<';
    else if (ent == "gt") code = '>';
    else if (ent == "quot") code = '"';
    else if (ent == "apos") code = '\'';
    else if (ent.size() > 1 && ent[0] == '#')
      code = ent[1] == 'x' ? std::strtoul(ent.c_str() + 2, nullptr, 16) : std::strtoul(ent.c_str() + 1, nullptr, 10);
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
    const wchar_t w[2] = {static_cast<wchar_t>(code), 0};
    out += WideToUtf8(w);
    i = semi;
  }
  return out;
}

// One ZIP entry by name, inflated (at most kMaxXml bytes).
bool ZipEntry(CMetaSource& src, const char* name, std::string& out) {
  const u64 size = src.Size();
  if (size < 22) return false;
  static thread_local u8 tail[CMetaSource::WINDOW];
  const size_t tailLen = size < sizeof(tail) ? static_cast<size_t>(size) : sizeof(tail);
  const u64 tailAt = size - tailLen;
  if (src.ReadUpTo(tailAt, tail, tailLen) != tailLen) return false;
  size_t eocd = static_cast<size_t>(-1);
  for (size_t i = tailLen - 22 + 1; i-- > 0;)
    if (tail[i] == 'P' && std::memcmp(tail + i, "PK\x05\x06", 4) == 0) {
      eocd = i;
      break;
    }
  if (eocd == static_cast<size_t>(-1)) return false;
  const u32 entries = GetU16LE(tail, tailLen, eocd + 10);
  u64 at = GetU32LE(tail, tailLen, eocd + 16);
  const size_t nameLen = std::strlen(name);
  for (u32 k = 0; k < entries && k < kMaxCentralEntries; ++k) {
    u8 c[46];
    char entryName[64];
    if (!src.Read(at, c, 46) || std::memcmp(c, "PK\x01\x02", 4) != 0) return false;
    const u16 n = GetU16LE(c, 46, 28), extra = GetU16LE(c, 46, 30), comment = GetU16LE(c, 46, 32);
    if (n == nameLen && src.Read(at + 46, entryName, n) && std::memcmp(entryName, name, n) == 0) {
      const u16 method = GetU16LE(c, 46, 10);
      const u32 packed = GetU32LE(c, 46, 20), local = GetU32LE(c, 46, 42);
      u8 l[30];
      if (packed > kMaxPackedXml || (method != 0 && method != 8) || !src.Read(local, l, 30) ||
          std::memcmp(l, "PK\x03\x04", 4) != 0)
        return false;
      const u64 data = static_cast<u64>(local) + 30 + GetU16LE(l, 30, 26) + GetU16LE(l, 30, 28);
      std::string in(packed, '\0');
      if (src.ReadUpTo(data, &in[0], packed) != packed) return false;
      if (method == 0) {
        out = in.substr(0, kMaxXml);
        return true;
      }
      out.assign(kMaxXml, '\0');
      z_stream z;
      std::memset(&z, 0, sizeof(z));
      if (inflateInit2(&z, -15) != Z_OK) return false;
      z.next_in = reinterpret_cast<Bytef*>(&in[0]);
      z.avail_in = packed;
      z.next_out = reinterpret_cast<Bytef*>(&out[0]);
      z.avail_out = static_cast<uInt>(kMaxXml);
      const int r = inflate(&z, Z_FINISH);
      out.resize(z.total_out);
      inflateEnd(&z);
      // Capped or cut short, what arrived is still read.
      return r == Z_STREAM_END || r == Z_BUF_ERROR || r == Z_OK;
    }
    at += 46 + static_cast<u64>(n) + extra + comment;
  }
  return false;
}

void SetXml(char* pField, size_t nField, const std::string& value) { SetText(pField, nField, value.data(), value.size()); }

// A PDF string at p: (literal with escapes) or <hex>, UTF-16BE when it starts with a BOM.
std::string PdfString(const char* p, const char* end) {
  std::string raw;
  while (p < end && (*p == ' ' || *p == '\r' || *p == '\n')) ++p;
  if (p < end && *p == '(') {
    int depth = 1;
    for (++p; p < end && raw.size() < 1024; ++p) {
      char c = *p;
      if (c == '\\' && p + 1 < end) {
        c = *++p;
        if (c >= '0' && c <= '7') {
          int v = 0, k = 0;
          while (k < 3 && p < end && *p >= '0' && *p <= '7') v = v * 8 + (*p++ - '0'), ++k;
          --p;
          c = static_cast<char>(v);
        } else if (c == 'n') c = '\n';
        else if (c == 'r') c = '\r';
        else if (c == 't') c = '\t';
        raw.push_back(c);
        continue;
      }
      if (c == '(') ++depth;
      if (c == ')' && --depth == 0) break;
      raw.push_back(c);
    }
  } else if (p < end && *p == '<') {
    int hi = -1;
    for (++p; p < end && *p != '>' && raw.size() < 1024; ++p) {
      const char c = *p;
      const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (v < 0) continue;
      if (hi < 0) hi = v;
      else raw.push_back(static_cast<char>(hi * 16 + v)), hi = -1;
    }
  }
  if (raw.size() >= 2 && static_cast<u8>(raw[0]) == 0xFE && static_cast<u8>(raw[1]) == 0xFF) {
    char field[512] = {0};
    SetTextUtf16(field, sizeof(field), reinterpret_cast<const u8*>(raw.data()) + 2, raw.size() - 2, true);
    return field;
  }
  return Latin1ToUtf8(raw.data(), raw.size());  // PDFDocEncoding is Latin-1 in its printable range
}

// The value of /Key in a dictionary's text.
bool PdfEntry(const std::string& dict, const char* key, std::string& out) {
  size_t at = 0;
  const std::string k = std::string("/") + key;
  while ((at = dict.find(k, at)) != std::string::npos) {
    at += k.size();
    const char next = at < dict.size() ? dict[at] : 0;
    if (next == '(' || next == '<' || next == ' ' || next == '\r' || next == '\n') break;
  }
  if (at == std::string::npos) return false;
  out = PdfString(dict.data() + at, dict.data() + dict.size());
  return true;
}

}  // namespace

bool ReadOfficeZipMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out) {
  CMetaSource src(ctx, u64Size);
  std::string xml;
  if (ZipEntry(src, "docProps/core.xml", xml)) {
    SetXml(out.szTitle, sizeof(out.szTitle), XmlElement(xml, "dc:title"));
    SetXml(out.szArtist, sizeof(out.szArtist), XmlElement(xml, "dc:creator"));
    const std::string created = XmlElement(xml, "dcterms:created");
    out.nTakenTime = ParseDateText(created.data(), created.size());
  } else if (ZipEntry(src, "meta.xml", xml)) {
    SetXml(out.szTitle, sizeof(out.szTitle), XmlElement(xml, "dc:title"));
    SetXml(out.szArtist, sizeof(out.szArtist), XmlElement(xml, "meta:initial-creator"));
    const std::string created = XmlElement(xml, "meta:creation-date");
    out.nTakenTime = ParseDateText(created.data(), created.size());
  }
  return HasAny(out);
}

bool ReadPdfMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out) {
  CMetaSource src(ctx, u64Size);
  std::string tail(kTail, '\0');
  const size_t tailLen = u64Size < kTail ? static_cast<size_t>(u64Size) : kTail;
  tail.resize(src.ReadUpTo(u64Size - tailLen, &tail[0], tailLen));
  // "/Info N G R" in the trailer (or in a cross-reference stream's dictionary).
  const size_t info = tail.rfind("/Info");
  if (info == std::string::npos) return false;
  const long obj = std::strtol(tail.c_str() + info + 5, nullptr, 10);
  if (obj <= 0 || obj > 10000000) return false;
  char head[32];
  const int headLen = std::snprintf(head, sizeof(head), "%ld 0 obj", obj);
  // The object's offset from a classic xref table; else it is looked for in
  // the file's last and first windows.
  std::string dict;
  const size_t sx = tail.rfind("startxref");
  const u64 xref = sx == std::string::npos ? 0 : std::strtoull(tail.c_str() + sx + 9, nullptr, 10);
  char line[40] = {0};
  if (xref > 0 && xref < u64Size && src.Read(xref, line, 4) && std::memcmp(line, "xref", 4) == 0) {
    // xref, then subsections "first count" of 20-byte entries.
    char sub[64] = {0};
    u64 at = xref + 4;
    for (int k = 0; k < 64; ++k) {
      const size_t got = src.ReadUpTo(at, sub, sizeof(sub) - 1);
      sub[got] = 0;
      char* p = sub;
      while (*p == '\r' || *p == '\n' || *p == ' ') ++p;
      char* e1 = nullptr;
      char* e2 = nullptr;
      const long first = std::strtol(p, &e1, 10);
      const long count = std::strtol(e1, &e2, 10);
      if (e1 == p || e2 == e1 || first < 0 || count <= 0) break;
      while (*e2 == ' ' || *e2 == '\r' || *e2 == '\n') ++e2;
      const u64 entries = at + static_cast<u64>(e2 - sub);
      if (obj >= first && obj < first + count) {
        if (src.Read(entries + 20ull * static_cast<u64>(obj - first), line, 20)) {
          const u64 off = std::strtoull(line, nullptr, 10);
          std::string body(2048, '\0');
          body.resize(src.ReadUpTo(off, &body[0], body.size()));
          if (body.compare(0, static_cast<size_t>(headLen), head) == 0) dict = body;
        }
        break;
      }
      at = entries + 20ull * static_cast<u64>(count);
    }
  }
  if (dict.empty()) {
    for (int pass = 0; pass < 2 && dict.empty(); ++pass) {
      const u64 from = pass == 0 ? (u64Size > CMetaSource::WINDOW ? u64Size - CMetaSource::WINDOW : 0) : 0;
      std::string win(CMetaSource::WINDOW, '\0');
      win.resize(src.ReadUpTo(from, &win[0], win.size()));
      size_t at = 0;
      while ((at = win.find(head, at)) != std::string::npos) {
        if (at == 0 || win[at - 1] == '\n' || win[at - 1] == '\r' || win[at - 1] == ' ') {
          dict = win.substr(at, 2048);
          break;
        }
        at += static_cast<size_t>(headLen);
      }
    }
  }
  const size_t end = dict.find(">>");
  if (dict.empty()) return false;
  if (end != std::string::npos) dict.resize(end + 2);
  std::string v;
  if (PdfEntry(dict, "Title", v)) SetText(out.szTitle, v.data(), v.size());
  if (PdfEntry(dict, "Author", v)) SetText(out.szArtist, v.data(), v.size());
  if (PdfEntry(dict, "CreationDate", v)) {
    // D:YYYYMMDDHHmmSS, the rest optional.
    const char* d = v.c_str();
    if (v.compare(0, 2, "D:") == 0) d += 2;
    int f[6] = {0, 1, 1, 0, 0, 0};
    const int w[6] = {4, 2, 2, 2, 2, 2};
    const char* p = d;
    for (int k = 0; k < 6; ++k) {
      int val = 0, digits = 0;
      while (digits < w[k] && *p >= '0' && *p <= '9') val = val * 10 + (*p++ - '0'), ++digits;
      if (digits != w[k]) break;
      f[k] = val;
    }
    out.nTakenTime = CivilToUnix(f[0], f[1], f[2], f[3], f[4], f[5]);
  }
  return HasAny(out);
}
