// Plain text (and CSV, HTML, XML, JSON, source code): a run of well-formed
// UTF-8 text from a sector start to the first NUL or other byte that is no
// text. It has no magic bytes, so it is asked last and is no boundary for
// other files. Named by what it starts with.
#include <cctype>
#include <cstring>

#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {

const CARVE_SIGNATURE kSignatures[] = {CARVE_SIGNATURE{0, 16, nullptr, SIG_TEXT}};
const u64 kTextMax = kMax256M;
const size_t kMinText = 16;

// The start of a UTF-8 sequence that the end of the buffer cuts off.
bool CutSequence(const u8* p, size_t n, size_t at) {
  if (at >= n || n - at >= 4 || p[at] < 0xC2 || p[at] > 0xF4) return false;
  const size_t len = p[at] < 0xE0 ? 2 : p[at] < 0xF0 ? 3 : 4;
  if (n - at >= len) return false;
  for (size_t k = at + 1; k < n; ++k)
    if ((p[k] & 0xC0) != 0x80) return false;
  return true;
}

// Text to n (a sequence the sector's end cuts counted in), or text then
// zeros to n (a short file's last sector); 0 otherwise.
size_t TextLength(const u8* p, size_t n) {
  const size_t text = TextPrefixLength(p, n, n);
  if (CutSequence(p, n, text)) return n;
  for (size_t i = text; i < n; ++i)
    if (p[i] != 0) return 0;
  return text;
}

bool StartsNoCase(const u8* p, size_t n, size_t at, const char* s) {
  const size_t len = std::strlen(s);
  if (at + len > n) return false;
  for (size_t i = 0; i < len; ++i)
    if (std::tolower(p[at + i]) != s[i]) return false;
  return true;
}

int Sniff(const u8* p, size_t n) {
  size_t at = n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF ? 3 : 0;  // byte-order mark
  while (at < n && (p[at] == ' ' || p[at] == '\t' || p[at] == '\r' || p[at] == '\n')) ++at;
  if (StartsNoCase(p, n, at, "<?xml")) return TYPE_XML;
  if (StartsNoCase(p, n, at, "<!doctype html") || StartsNoCase(p, n, at, "<html")) return TYPE_HTML;
  if (at < n && (p[at] == '{' || p[at] == '[')) {
    size_t k = at + 1;
    while (k < n && (p[k] == ' ' || p[k] == '\t' || p[k] == '\r' || p[k] == '\n')) ++k;
    if (k < n && (p[k] == '"' || p[k] == '{' || p[k] == '[' || p[k] == '}' || p[k] == ']')) return TYPE_JSON;
  }
  // Comma-separated lines: the first two lines with the same number of commas (at least one).
  size_t commas[2] = {0, 0}, line = 0, i = at;
  for (; i < n && line < 2; ++i) {
    if (p[i] == ',') ++commas[line];
    if (p[i] == '\n') ++line;
  }
  if (line == 2 && commas[0] >= 1 && commas[0] == commas[1]) return TYPE_CSV;
  return TYPE_TXT;
}

// Where text that stops at a byte other than NUL (binary data follows, not
// the zeros a file system leaves after a file) most likely ended. Noise
// right after a file reads as text for a byte or two now and then, and
// rarely for four or more (about two fifths of random bytes are text), so
// one to three bytes after the last line feed are taken for noise, unless
// they only close something (`}`, `]`, `)`, `>`, `;`), as a last line
// without a line feed often does. A last line of up to three other
// characters without a line feed, right before binary data, is lost.
size_t TrimNoiseTail(const u8* p, size_t text) {
  const size_t kMaxTail = 3;
  size_t lf = text;
  for (size_t k = 1; k <= kMaxTail + 1 && k <= text; ++k)
    if (p[text - k] == '\n') {
      lf = text - k + 1;
      break;
    }
  if (lf == text) return text;
  for (size_t i = lf; i < text; ++i)
    if (!std::strchr("}])>;", p[i])) return lf;
  return text;
}

// Follows the text through the read-ahead: the file ends at the first byte
// that is not text (a NUL of the last sector's padding, or binary data).
struct TextWalk {
  bool done = false;
  u64 end = 0;
  u8 partial[4];
  size_t nPartial = 0;  // bytes of a UTF-8 sequence cut by the step's end
};
bool TextMarker(CARVE_CONTEXT&, const StepView& v, void* state, u64& size) {
  TextWalk* w = static_cast<TextWalk*>(state);
  size_t from = 0;
  if (w->nPartial != 0) {  // finish a sequence split between two steps
    u8 seq[8];
    std::memcpy(seq, w->partial, w->nPartial);
    const size_t more = v.owned < 4 ? v.owned : 4;
    std::memcpy(seq + w->nPartial, v.p, more);
    const size_t len = TextPrefixLength(seq, w->nPartial + more, w->nPartial);
    if (len < w->nPartial) {
      size = v.before - w->nPartial;
      return true;
    }
    from = len - w->nPartial;
    w->nPartial = 0;
  }
  const size_t text = from + TextPrefixLength(v.p + from, v.owned - from, v.owned - from);
  if (text == v.owned) return false;
  // A sequence cut by the end of this step (and the file goes on).
  if (v.owned - text < 4 && v.owned == v.n && !v.boundary && v.p[text] >= 0xC2 && v.p[text] <= 0xF4) {
    bool cont = true;
    for (size_t k = text + 1; k < v.owned; ++k) cont = cont && (v.p[k] & 0xC0) == 0x80;
    if (cont) {
      w->nPartial = v.owned - text;
      std::memcpy(w->partial, v.p + text, w->nPartial);
      return false;
    }
  }
  size = v.before + (v.p[text] != 0 ? TrimNoiseTail(v.p, text) : text);
  return true;
}

}  // namespace

int IsTextType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(kMinText)) return TYPE_NONE;
  const size_t text = TextLength(b.p, b.n);
  if (text < kMinText) return TYPE_NONE;
  // Some letters or digits: a sector of spaces or punctuation is no file.
  size_t alnum = 0;
  for (size_t i = 0; i < text && alnum < 8; ++i) alnum += std::isalnum(b.p[i]) ? 1 : 0;
  return alnum >= 8 ? Sniff(b.p, text) : static_cast<int>(TYPE_NONE);
}

u64 GetTextFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  const u64 one = ctx.OneSector();
  const size_t first = b.n < one ? b.n : static_cast<size_t>(one);
  const size_t text = TextPrefixLength(b.p, first, first);
  if (text < first && !CutSequence(b.p, first, text))  // ends in its first sector
    return b.p[text] != 0 ? TrimNoiseTail(b.p, text) : text;
  TextWalk w;
  if (text < first) {  // the first sector ends inside a UTF-8 sequence: the walk finishes it
    w.nPartial = first - text;
    std::memcpy(w.partial, b.p + text, w.nPartial);
  }
  const u64 size = ForwardScan(ctx, kTextMax, END_ANY, TextMarker, &w);
  return size;
}

const CARVE_FORMAT kText = {"text", kSignatures, SignatureCount(kSignatures), IsTextType, GetTextFileBytesSize,
                            kTextMax, FORMAT_WEAK, nullptr, nullptr};

}  // namespace carvefmt
