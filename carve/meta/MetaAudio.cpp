// Song tags: ID3 (version 2 at the head of an MP3, version 1 in its last 128
// bytes) and Vorbis comments (FLAC's VORBIS_COMMENT block, the second packet
// of an Ogg Vorbis or Opus stream): title, artist, date.
#include <strings.h>

#include <cstring>
#include <string>

#include "carve/meta/MetaCommon.h"
#include "engine/ByteOrder.h"
#include "engine/TextUtil.h"

using namespace carvemeta;

namespace {

constexpr size_t kMaxText = 512;      // of one text field read
constexpr int kMaxFrames = 256;
constexpr size_t kMaxComments = 16384;  // bytes of a Vorbis comment packet looked at

// An ID3v2 text frame's value by its encoding byte.
void Id3Text(const u8* p, size_t n, char* pField, size_t nField, i64* pDate) {
  if (n < 2) return;
  const u8 enc = p[0];
  ++p, --n;
  std::string utf8;
  if (enc == 0) {
    utf8 = Latin1ToUtf8(reinterpret_cast<const char*>(p), n);
  } else if (enc == 3) {
    utf8.assign(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), n));
  } else if (enc == 1 || enc == 2) {
    bool big = enc == 2;
    if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) big = false, p += 2, n -= 2;
    else if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) big = true, p += 2, n -= 2;
    u16 units[kMaxText / 2];
    size_t count = n / 2 < kMaxText / 2 ? n / 2 : kMaxText / 2;
    for (size_t i = 0; i < count; ++i)
      units[i] = big ? static_cast<u16>(p[2 * i] << 8 | p[2 * i + 1]) : static_cast<u16>(p[2 * i + 1] << 8 | p[2 * i]);
    utf8 = Utf16ToUtf8(units, count);
  } else {
    return;
  }
  if (pDate) {
    if (!*pDate) *pDate = ParseDateText(utf8.data(), utf8.size());
  } else {
    SetText(pField, nField, utf8.data(), utf8.size());
  }
}

u32 SyncSafe(const u8* p) { return (p[0] & 0x7Fu) << 21 | (p[1] & 0x7Fu) << 14 | (p[2] & 0x7Fu) << 7 | (p[3] & 0x7Fu); }

void ReadId3v2(CMetaSource& src, CARVE_METADATA& out) {
  u8 h[10];
  if (!src.Read(0, h, 10) || std::memcmp(h, "ID3", 3) != 0 || h[3] < 2 || h[3] > 4) return;
  const int major = h[3];
  const u64 end = 10 + static_cast<u64>(SyncSafe(h + 6));
  u64 at = 10;
  if ((h[5] & 0x40) && major >= 3) {  // an extended header comes first
    u8 x[4];
    if (!src.Read(at, x, 4)) return;
    at += major == 4 ? SyncSafe(x) : 4 + static_cast<u64>(GetU32BE(x, 4, 0));
  }
  const size_t idLen = major == 2 ? 3 : 4, head = major == 2 ? 6 : 10;
  for (int k = 0; k < kMaxFrames && at + head <= end && at + head <= src.Size(); ++k) {
    u8 f[10];
    if (!src.Read(at, f, head) || f[0] == 0) return;  // padding
    u64 size = major == 2 ? (static_cast<u32>(f[3]) << 16 | f[4] << 8 | f[5])
                          : (major == 4 ? SyncSafe(f + 4) : GetU32BE(f, 10, 4));
    const u64 body = at + head;
    if (size > end - body) return;
    char id[5] = {0};
    std::memcpy(id, f, idLen);
    char* field = nullptr;
    size_t nField = 0;
    bool date = false;
    if (!std::strcmp(id, "TIT2") || !std::strcmp(id, "TT2")) field = out.szTitle, nField = sizeof(out.szTitle);
    if (!std::strcmp(id, "TPE1") || !std::strcmp(id, "TP1")) field = out.szArtist, nField = sizeof(out.szArtist);
    if (!std::strcmp(id, "TDRC") || !std::strcmp(id, "TYER") || !std::strcmp(id, "TYE")) date = true;
    if (field || date) {
      u8 text[kMaxText];
      const size_t n = static_cast<size_t>(size < kMaxText ? size : kMaxText);
      if (src.Read(body, text, n)) Id3Text(text, n, field, nField, date ? &out.nTakenTime : nullptr);
    }
    at = body + size;
  }
}

void ReadId3v1(CMetaSource& src, CARVE_METADATA& out) {
  u8 t[128];
  if (src.Size() < 128 + 10 || !src.Read(src.Size() - 128, t, 128) || std::memcmp(t, "TAG", 3) != 0) return;
  std::string title = Latin1ToUtf8(reinterpret_cast<const char*>(t + 3), 30);
  std::string artist = Latin1ToUtf8(reinterpret_cast<const char*>(t + 33), 30);
  SetText(out.szTitle, title.data(), title.size());
  SetText(out.szArtist, artist.data(), artist.size());
  if (!out.nTakenTime) out.nTakenTime = ParseDateText(reinterpret_cast<const char*>(t + 93), 4);
}

// A Vorbis comment list: vendor, count, then "KEY=value" fields, little-endian lengths.
void VorbisComments(const u8* p, size_t n, CARVE_METADATA& out) {
  size_t at = 0;
  u32 vendor = 0, count = 0;
  if (!ReadU32LE(p, n, at, vendor) || vendor > n - 4) return;
  at = 4 + vendor;
  if (!ReadU32LE(p, n, at, count)) return;
  at += 4;
  for (u32 k = 0; k < count && k < 1024; ++k) {
    u32 len = 0;
    if (!ReadU32LE(p, n, at, len)) return;
    at += 4;
    const size_t have = len < n - at ? len : n - at;  // the last field may be cut by the cap
    const char* f = reinterpret_cast<const char*>(p + at);
    const char* eq = static_cast<const char*>(std::memchr(f, '=', have < 32 ? have : 32));
    if (eq) {
      const size_t keyLen = static_cast<size_t>(eq - f), valueLen = have - keyLen - 1;
      auto key = [&](const char* k) { return keyLen == std::strlen(k) && strncasecmp(f, k, keyLen) == 0; };
      if (key("TITLE")) SetText(out.szTitle, eq + 1, valueLen);
      if (key("ARTIST")) SetText(out.szArtist, eq + 1, valueLen);
      if (key("DATE") && !out.nTakenTime) out.nTakenTime = ParseDateText(eq + 1, valueLen);
    }
    if (len > n - at) return;
    at += len;
  }
}

void ReadFlac(CMetaSource& src, CARVE_METADATA& out) {
  u64 at = 4;
  for (int k = 0; k < 64 && at + 4 <= src.Size(); ++k) {
    u8 h[4];
    if (!src.Read(at, h, 4)) return;
    const u32 len = static_cast<u32>(h[1]) << 16 | h[2] << 8 | h[3];
    const int type = h[0] & 0x7F;
    if (type == 0 && len >= 18) {  // STREAMINFO: 20-bit rate, total samples
      u8 s[18];
      if (src.Read(at + 4, s, 18)) {
        const u32 rate = static_cast<u32>(s[10]) << 12 | s[11] << 4 | s[12] >> 4;
        const u64 samples = static_cast<u64>(s[13] & 0x0F) << 32 | GetU32BE(s, 18, 14);
        if (rate) out.u64DurationMs = samples * 1000 / rate;
      }
    }
    if (type == 4) {
      static thread_local u8 buf[kMaxComments];
      const size_t n = len < kMaxComments ? len : kMaxComments;
      const size_t got = src.ReadUpTo(at + 4, buf, n);
      VorbisComments(buf, got, out);
      return;
    }
    if (h[0] & 0x80) return;  // the last block
    at += 4 + static_cast<u64>(len);
  }
}

// The second packet of the first Ogg stream, gathered across pages.
void ReadOgg(CMetaSource& src, CARVE_METADATA& out) {
  static thread_local u8 packet[kMaxComments];
  size_t used = 0;
  int packetNo = 0;
  u64 at = 0;
  for (int page = 0; page < 32 && at + 27 <= src.Size(); ++page) {
    u8 h[27 + 255];
    if (!src.Read(at, h, 27) || std::memcmp(h, "OggS", 4) != 0) return;
    const int segs = h[26];
    if (!src.Read(at + 27, h + 27, static_cast<size_t>(segs))) return;
    u64 data = at + 27 + static_cast<u64>(segs);
    for (int s = 0; s < segs; ++s) {
      const u8 lace = h[27 + s];
      if (packetNo == 1 && lace && used < kMaxComments) {
        const size_t take = lace < kMaxComments - used ? lace : kMaxComments - used;
        if (!src.Read(data, packet + used, take)) return;
        used += take;
      }
      data += lace;
      if (lace < 255 && ++packetNo == 2) goto done;
    }
    at = data;
  }
done:
  if (used >= 7 && std::memcmp(packet, "\x03vorbis", 7) == 0) VorbisComments(packet + 7, used - 7, out);
  else if (used >= 8 && std::memcmp(packet, "OpusTags", 8) == 0) VorbisComments(packet + 8, used - 8, out);
}

}  // namespace

bool ReadId3Metadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out) {
  CMetaSource src(ctx, u64Size);
  ReadId3v2(src, out);
  ReadId3v1(src, out);  // fills only what version 2 left empty
  return HasAny(out);
}

bool ReadVorbisMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out) {
  CMetaSource src(ctx, u64Size);
  u8 magic[4];
  if (!src.Read(0, magic, 4)) return false;
  if (std::memcmp(magic, "fLaC", 4) == 0) ReadFlac(src, out);
  else if (std::memcmp(magic, "OggS", 4) == 0) ReadOgg(src, out);
  return HasAny(out);
}
