#include "engine/TextUtil.h"

#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

static iconv_t sz2uni_handle = reinterpret_cast<iconv_t>(-1);
static iconv_t uni2sz_handle = reinterpret_cast<iconv_t>(-1);
static char g_language[256];

int inner_initUnicodeMap(const char* pCodeSet) {
  if (!pCodeSet) return -1;
  snprintf(g_language, sizeof(g_language), "%s", pCodeSet);
  if (sz2uni_handle != reinterpret_cast<iconv_t>(-1)) iconv_close(sz2uni_handle);
  if (uni2sz_handle != reinterpret_cast<iconv_t>(-1)) iconv_close(uni2sz_handle);
  uni2sz_handle = reinterpret_cast<iconv_t>(-1);
  sz2uni_handle = iconv_open("UTF-16LE", pCodeSet);
  if (sz2uni_handle == reinterpret_cast<iconv_t>(-1)) return -1;
  uni2sz_handle = iconv_open(pCodeSet, "UTF-16LE");
  if (uni2sz_handle == reinterpret_cast<iconv_t>(-1)) {
    iconv_close(sz2uni_handle);
    sz2uni_handle = reinterpret_cast<iconv_t>(-1);
    return -1;
  }
  return 0;
}

static void AppendUtf8(std::string& out, u32 cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes one UTF-8 sequence at s[i]; invalid bytes decode as U+FFFD, one byte each.
static u32 DecodeUtf8(const unsigned char* s, size_t n, size_t& i) {
  unsigned char c = s[i];
  if (c < 0x80) {
    ++i;
    return c;
  }
  int len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || i + len > n) {
    ++i;
    return 0xFFFD;
  }
  u32 cp = c & (0x7F >> len);
  for (int k = 1; k < len; ++k) {
    if ((s[i + k] & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (s[i + k] & 0x3F);
  }
  static const u32 kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return 0xFFFD;
  }
  i += len;
  return cp;
}

std::string WideToUtf8(const wchar_t* pSrc) {
  std::string out;
  if (!pSrc) return out;
  for (; *pSrc; ++pSrc) AppendUtf8(out, static_cast<u32>(*pSrc));
  return out;
}
std::string WideToUtf8(const std::wstring& s) { return WideToUtf8(s.c_str()); }

std::wstring Utf8ToWide(const char* pSrc) {
  std::wstring out;
  if (!pSrc) return out;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(pSrc);
  size_t n = strlen(pSrc);
  size_t i = 0;
  while (i < n) out.push_back(static_cast<wchar_t>(DecodeUtf8(s, n, i)));
  return out;
}
std::wstring Utf8ToWide(const std::string& s) { return Utf8ToWide(s.c_str()); }

std::string Utf16ToUtf8(const u16* pUnits, size_t nCount) {
  std::string out;
  if (!pUnits) return out;
  for (size_t i = 0; i < nCount; ++i) {
    u32 u = pUnits[i];
    if (u == 0) break;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < nCount && pUnits[i + 1] >= 0xDC00 && pUnits[i + 1] <= 0xDFFF) {
      u32 cp = 0x10000 + ((u - 0xD800) << 10) + (pUnits[i + 1] - 0xDC00);
      AppendUtf8(out, cp);
      ++i;
    } else {
      AppendUtf8(out, u);  // a lone surrogate becomes U+FFFD there
    }
  }
  return out;
}

std::string Utf16LEBytesToUtf8(const u8* pBytes, size_t nUnits) {
  std::vector<u16> units(nUnits);
  for (size_t i = 0; i < nUnits; ++i) units[i] = static_cast<u16>(pBytes[2 * i] | (pBytes[2 * i + 1] << 8));
  return Utf16ToUtf8(units.data(), units.size());
}

// Largest prefix of s of at most maxBytes that ends on a character boundary.
static size_t Utf8CutPoint(const std::string& s, size_t maxBytes) {
  if (s.size() <= maxBytes) return s.size();
  size_t cut = maxBytes;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

void CopyNameToField(char (&dst)[256], const std::string& name) {
  size_t n = Utf8CutPoint(name, 255);
  memcpy(dst, name.data(), n);
  memset(dst + n, 0, sizeof(dst) - n);
}

long inner_uni2str(char* pDst, const wchar_t* pSrc, long nDstLen, long nSrcLen) {
  if (!pDst || nDstLen <= 0) return 0;
  std::string s;
  if (pSrc) {
    for (long i = 0; (nSrcLen < 0 || i < nSrcLen) && pSrc[i]; ++i) AppendUtf8(s, static_cast<u32>(pSrc[i]));
  }
  size_t n = Utf8CutPoint(s, static_cast<size_t>(nDstLen - 1));
  memcpy(pDst, s.data(), n);
  pDst[n] = 0;
  return static_cast<long>(n);
}

long inner_str2uni(wchar_t* pDst, const char* pSrc, long nDstLen, long nSrcLen) {
  if (!pDst || nDstLen <= 0) return 0;
  long out = 0;
  if (pSrc) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(pSrc);
    size_t n = nSrcLen < 0 ? strlen(pSrc) : strnlen(pSrc, static_cast<size_t>(nSrcLen));
    size_t i = 0;
    while (i < n && out < nDstLen - 1) pDst[out++] = static_cast<wchar_t>(DecodeUtf8(s, n, i));
  }
  pDst[out] = 0;
  return out;
}

int Unicode2Ansi(const wchar_t* pSrc, char* pDst, int nDstLen) {
  inner_uni2str(pDst, pSrc, nDstLen, -1);
  return 0;
}
std::string Unicode2Ansi(const wchar_t* pSrc) { return WideToUtf8(pSrc); }
int Ansi2Unicode(const char* pSrc, wchar_t* pDst, int nDstLen) {
  inner_str2uni(pDst, pSrc, nDstLen, -1);
  return 0;
}
std::wstring Ansi2Unicode(const char* pSrc) { return Utf8ToWide(pSrc); }

std::string MakeSafePathComponent(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (unsigned char c : name) {
    if (c == 0) break;
    if (c == '/' || c < 0x20 || c == 0x7F)
      out.push_back('_');
    else
      out.push_back(static_cast<char>(c));
  }
  if (out.empty() || out == "." || out == "..") out = std::string(out.size() + 1, '_');
  out.resize(Utf8CutPoint(out, 255));
  return out;
}

// Length of the valid UTF-8 sequence at p (at most n bytes), 0 when invalid
// (overlong forms, surrogates and values past U+10FFFF included).
static size_t Utf8SequenceLength(const unsigned char* p, size_t n, u32* pCode) {
  const unsigned char c = p[0];
  size_t len;
  u32 code, min;
  if (c < 0x80) {
    *pCode = c;
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    len = 2, code = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, code = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, code = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (len > n) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    code = code << 6 | (p[i] & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  *pCode = code;
  return len;
}

std::string CleanMetadataText(const char* p, size_t n, size_t nMaxBytes) {
  std::string out;
  if (!p) return out;
  const unsigned char* b = reinterpret_cast<const unsigned char*>(p);
  bool space = false;
  size_t i = 0;
  while (i < n && out.size() < nMaxBytes) {
    u32 code = 0;
    const size_t len = Utf8SequenceLength(b + i, n - i, &code);
    if (len == 0) {  // not UTF-8: dropped
      ++i;
      continue;
    }
    if (code == 0) break;  // a C string's end
    const bool blank = code == ' ' || code == '\t' || code == '\n' || code == '\r' || code == 0xA0;
    const bool control = code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x2028 || code == 0x2029 ||
                         (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069) ||
                         code == 0xFEFF;
    if (blank) {
      space = !out.empty();
    } else if (!control) {
      if (space) {
        if (out.size() + 1 + len > nMaxBytes) break;
        out.push_back(' ');
        space = false;
      }
      if (out.size() + len > nMaxBytes) break;
      out.append(p + i, len);
    }
    i += len;
  }
  return out;
}

std::string Latin1ToUtf8(const char* p, size_t n) {
  std::string out;
  if (!p) return out;
  for (size_t i = 0; i < n && p[i]; ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string SanitizeFileNameText(const std::string& text, size_t nMaxBytes) {
  std::string clean = CleanMetadataText(text.data(), text.size(), nMaxBytes);
  for (char& c : clean)
    if (strchr("/\\:*?\"<>|", c)) c = '_';
  size_t first = 0;
  while (first < clean.size() && (clean[first] == '.' || clean[first] == ' ')) ++first;
  clean.erase(0, first);
  while (!clean.empty() && (clean.back() == '.' || clean.back() == ' ')) clean.pop_back();
  return clean;
}

int GetExtendName(const char* pName, char* pExt) {
  if (!pName || !pExt) return STATUS_INVALID_PARAMETER;
  const char* dot = strrchr(pName, '.');
  if (!dot) return STATUS_INVALID_PARAMETER;
  strcpy(pExt, dot + 1);
  return 0;
}

void _splitpath(const char* pPath, char* pDrive, char* pDir, char* pFName, char* pExt) {
  if (pDrive) pDrive[0] = 0;
  if (pDir) pDir[0] = 0;
  if (pFName) pFName[0] = 0;
  if (pExt) pExt[0] = 0;
  if (!pPath) return;
  const char* slash = strrchr(pPath, '/');
  const char* rest = pPath;
  if (slash) {
    size_t n = static_cast<size_t>(slash - pPath) + 1;
    if (pDir) {
      memcpy(pDir, pPath, n);
      pDir[n] = 0;
    }
    rest = slash + 1;
  }
  const char* dot = strrchr(rest, '.');
  if (dot) {
    if (pExt) strcpy(pExt, dot);
    if (pFName) {
      memcpy(pFName, rest, static_cast<size_t>(dot - rest));
      pFName[dot - rest] = 0;
    }
  } else if (pFName) {
    strcpy(pFName, rest);
  }
}

// A name is taken when anything is there, a link to nowhere included: saving
// through such a link would create its target wherever it points.
static bool NameTaken(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string GetRealFileName(const std::string& path) {
  if (!NameTaken(path)) return path;
  std::vector<char> dir(path.size() + 1), base(path.size() + 1), ext(path.size() + 1);
  _splitpath(path.c_str(), nullptr, dir.data(), base.data(), ext.data());
  // Bounded so a folder that somehow answers "exists" for every name cannot hang us.
  for (int n = 1; n < 1000000; ++n) {
    std::string candidate = std::string(dir.data()) + base.data() + "(" + std::to_string(n) + ")" + ext.data();
    if (!NameTaken(candidate)) return candidate;
  }
  return path;
}

int GetRealFileName(const char* pPath, wchar_t* pOut, int nOutLen) {
  if (!pPath || !pOut || nOutLen <= 0) return STATUS_INVALID_PARAMETER;
  std::string name = GetRealFileName(std::string(pPath));
  inner_str2uni(pOut, name.c_str(), nOutLen, -1);
  return 0;
}

int GetPathDirIndex(const wchar_t* pPath, int& nCount) {
  nCount = 0;
  if (!pPath) return 0;
  size_t len = wcslen(pPath);
  if (len < 2) return 0;
  for (size_t i = 0; i + 1 < len; ++i)
    if (pPath[i] == L'/' || pPath[i] == L'\\') ++nCount;
  return 0;
}

void EraseStringTailBlankChar(char* pText, int nLen) {
  if (!pText) return;
  for (int i = nLen - 1; i >= 0 && pText[i] == ' '; --i) pText[i] = 0;
}

char* GetCharLowerA(char* pText) {
  if (!pText) return pText;
  for (char* p = pText; *p; ++p)
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p + 32);
  return pText;
}

int Convert2Lowercase(char* pText) {
  if (!pText) return 0;
  GetCharLowerA(pText);
  return static_cast<int>(strlen(pText));
}

wchar_t* GetCharLowerW(wchar_t* pText) {
  if (!pText) return pText;
  for (wchar_t* p = pText; *p; ++p)
    if (*p >= L'A' && *p <= L'Z') *p = static_cast<wchar_t>(*p + 32);
  return pText;
}

std::string GetFileSizeString(i64 nBytes) {
  char buf[64];
  double b = static_cast<double>(nBytes);
  if (nBytes >= (1LL << 40))
    snprintf(buf, sizeof(buf), "%.2f TB", b / static_cast<double>(1LL << 40));
  else if (nBytes >= (1LL << 30))
    snprintf(buf, sizeof(buf), "%.2f GB", b / static_cast<double>(1LL << 30));
  else if (nBytes >= (1LL << 20))
    snprintf(buf, sizeof(buf), "%.2f MB", b / static_cast<double>(1LL << 20));
  else if (nBytes < 1024)
    snprintf(buf, sizeof(buf), "%d Bytes", static_cast<int>(nBytes));
  else
    snprintf(buf, sizeof(buf), "%.2f KB", b / 1024.0);
  return buf;
}

void PinLocalTimeZone() {
  if (!getenv("TZ")) setenv("TZ", ":/etc/localtime", 0);
}

std::string GetTimeString(i64 nSeconds) {
  char buf[64];
  if (nSeconds >= 3600) {
    i64 h = nSeconds / 3600;
    i64 m = (nSeconds - h * 3600) / 60;
    snprintf(buf, sizeof(buf), "%d Hour %d Min", static_cast<int>(h), static_cast<int>(m));
  } else if (nSeconds < 60) {
    snprintf(buf, sizeof(buf), "%d Sec", static_cast<int>(nSeconds));
  } else {
    snprintf(buf, sizeof(buf), "%d Min %d Sec", static_cast<int>(nSeconds / 60), static_cast<int>(nSeconds % 60));
  }
  return buf;
}

std::string LowerExtension(const std::string& name) {
  size_t dot = name.find_last_of('.');
  if (dot == std::string::npos) return std::string();
  std::string ext = name.substr(dot + 1);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return ext;
}
