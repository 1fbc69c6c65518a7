#include "app/Preview.h"

#include <poppler-qt6.h>

#include <QBuffer>
#include <QImageReader>
#include <QStringDecoder>
#include <algorithm>
#include <memory>

#include "app/FileCategory.h"
#include "engine/ByteOrder.h"
#include "engine/Categories.h"
#include "engine/TextUtil.h"

namespace {

// Whole pictures and documents up to this size are read for a preview.
constexpr u64 kWholeFileCap = 64ull << 20;
constexpr u64 kTextBytes = 64 * 1024;
constexpr u64 kMediaBytes = 256 * 1024;
constexpr int kJpegSearchBytes = 1 << 20;

bool IsRawExtension(const std::string& ext) {
  static const char* const kRaw[] = {"nef", "nrw", "crw", "cr2", "sr2", "arw", "srf", "k25", "kdc", "dcr", "raf",
                                     "mef", "mos", "x3f", "orf", "erf", "pef", "mrw", "dng", "raw", "cr3", "rw2"};
  for (const char* r : kRaw)
    if (ext == r) return true;
  return false;
}

const uint8_t* U8(const QByteArray& b) { return reinterpret_cast<const uint8_t*>(b.constData()); }

QString SizeText(u64 bytes) { return HumanSize(bytes); }

QString DurationText(double seconds) {
  if (!(seconds > 0) || seconds > 1e7) return QString();
  long s = static_cast<long>(seconds + 0.5);
  if (s < 60) return QStringLiteral("%1 s").arg(s);
  if (s < 3600) return QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60);
  return QStringLiteral("%1 h %2 min").arg(s / 3600).arg((s % 3600) / 60);
}

QImage Fit(const QImage& image, QSize fit) {
  if (image.isNull() || !fit.isValid()) return image;
  if (image.width() <= fit.width() && image.height() <= fit.height()) return image;
  return image.scaled(fit, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

QImage ReadImage(const QByteArray& bytes, QSize fit, QString* pFormat, QSize* pFull) {
  QBuffer buffer;
  buffer.setData(bytes);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer);
  reader.setAutoTransform(true);
  QSize size = reader.size();
  if (pFull) *pFull = size;
  if (pFormat) *pFormat = QString::fromLatin1(reader.format()).toUpper();
  // Large pictures are decoded straight to the size shown, where the format allows.
  if (size.isValid() && fit.isValid() && (size.width() > fit.width() || size.height() > fit.height()))
    reader.setScaledSize(size.scaled(fit, Qt::KeepAspectRatio));
  return Fit(reader.read(), fit);
}

// ---- playing times from headers

double WavSeconds(const QByteArray& b) {
  const uint8_t* p = U8(b);
  size_t n = static_cast<size_t>(b.size());
  if (!BytesEqual(p, n, 0, "RIFF", 4) || !BytesEqual(p, n, 8, "WAVE", 4)) return 0;
  u32 byteRate = 0, dataSize = 0;
  size_t off = 12;
  for (int i = 0; i < 64 && off + 8 <= n; ++i) {
    u32 len = GetU32LE(p, n, off + 4);
    if (BytesEqual(p, n, off, "fmt ", 4)) byteRate = GetU32LE(p, n, off + 16);
    if (BytesEqual(p, n, off, "data", 4)) {
      dataSize = len;
      break;
    }
    off += 8 + static_cast<size_t>(len) + (len & 1);
  }
  return byteRate ? static_cast<double>(dataSize) / byteRate : 0;
}

double AviSeconds(const QByteArray& b) {
  const uint8_t* p = U8(b);
  size_t n = static_cast<size_t>(b.size());
  if (!BytesEqual(p, n, 0, "RIFF", 4) || !BytesEqual(p, n, 8, "AVI ", 4)) return 0;
  int at = b.indexOf("avih");
  if (at < 0 || at > 4096) return 0;
  size_t data = static_cast<size_t>(at) + 8;
  u32 usPerFrame = GetU32LE(p, n, data), frames = GetU32LE(p, n, data + 16);
  return static_cast<double>(usPerFrame) * frames / 1e6;
}

// Top-level boxes, then moov's mvhd: its time scale and duration.
double IsoSeconds(const QByteArray& b) {
  const uint8_t* p = U8(b);
  size_t n = static_cast<size_t>(b.size());
  auto findBox = [&](size_t from, size_t end, const char* type, size_t& content, size_t& contentEnd) {
    size_t off = from;
    for (int i = 0; i < 256 && off + 8 <= end; ++i) {
      u64 size = GetU32BE(p, n, off);
      size_t header = 8;
      if (size == 1) {
        size = GetU64BE(p, n, off + 8);
        header = 16;
      } else if (size == 0) {
        size = end - off;
      }
      if (size < header) return false;
      if (BytesEqual(p, n, off + 4, type, 4)) {
        content = off + header;
        contentEnd = size > end - off ? end : off + static_cast<size_t>(size);
        return true;
      }
      if (size > end - off) return false;
      off += static_cast<size_t>(size);
    }
    return false;
  };
  size_t moov = 0, moovEnd = 0, mvhd = 0, mvhdEnd = 0;
  if (!findBox(0, n, "moov", moov, moovEnd) || !findBox(moov, moovEnd, "mvhd", mvhd, mvhdEnd)) return 0;
  u8 version = GetU8(p, n, mvhd);
  u32 scale = GetU32BE(p, n, version == 1 ? mvhd + 20 : mvhd + 12);
  u64 duration = version == 1 ? GetU64BE(p, n, mvhd + 24) : GetU32BE(p, n, mvhd + 16);
  return scale ? static_cast<double>(duration) / scale : 0;
}

double FlacSeconds(const QByteArray& b) {
  const uint8_t* p = U8(b);
  size_t n = static_cast<size_t>(b.size());
  if (!BytesEqual(p, n, 0, "fLaC", 4) || (GetU8(p, n, 4) & 0x7F) != 0) return 0;
  // STREAMINFO from byte 8: sample rate (20 bits) at bit 80, total samples (36 bits) at bit 108.
  u64 v = GetU64BE(p, n, 18);
  u32 rate = static_cast<u32>(v >> 44);
  u64 samples = v & 0xFFFFFFFFFull;
  return rate ? static_cast<double>(samples) / rate : 0;
}

double Mp3Seconds(const QByteArray& b, u64 fileSize) {
  const uint8_t* p = U8(b);
  size_t n = static_cast<size_t>(b.size());
  size_t off = 0;
  if (BytesEqual(p, n, 0, "ID3", 3) && n >= 10) {
    // Four 7-bit bytes: the tag's size after its header.
    off = 10 + ((static_cast<size_t>(p[6] & 0x7F) << 21) | (static_cast<size_t>(p[7] & 0x7F) << 14) |
                (static_cast<size_t>(p[8] & 0x7F) << 7) | (p[9] & 0x7F));
  }
  for (size_t end = std::min(n, off + 65536); off + 4 <= end; ++off)
    if (p[off] == 0xFF && (p[off + 1] & 0xE0) == 0xE0) break;
  if (off + 4 > n) return 0;
  u8 h1 = p[off + 1], h2 = p[off + 2], h3 = p[off + 3];
  int version = (h1 >> 3) & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
  int layer = (h1 >> 1) & 3;    // 1: layer III
  int bitrateIndex = h2 >> 4, rateIndex = (h2 >> 2) & 3;
  if (version == 1 || layer != 1 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return 0;
  static const int kRates[3] = {44100, 48000, 32000};
  static const int kBitrates1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
  static const int kBitrates2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
  int sampleRate = kRates[rateIndex] >> (version == 3 ? 0 : (version == 2 ? 1 : 2));
  int kbps = version == 3 ? kBitrates1[bitrateIndex] : kBitrates2[bitrateIndex];
  int samplesPerFrame = version == 3 ? 1152 : 576;
  // A Xing or Info header after the side information counts the frames.
  bool mono = (h3 >> 6) == 3;
  size_t side = version == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17);
  size_t xing = off + 4 + side;
  if (BytesEqual(p, n, xing, "Xing", 4) || BytesEqual(p, n, xing, "Info", 4)) {
    u32 flags = GetU32BE(p, n, xing + 4);
    if (flags & 1) return static_cast<double>(GetU32BE(p, n, xing + 8)) * samplesPerFrame / sampleRate;
  }
  return fileSize > off ? static_cast<double>(fileSize - off) * 8.0 / (kbps * 1000.0) : 0;
}

}  // namespace

u64 PreviewBytesWanted(const std::string& name, u64 u64FileSize) {
  std::string ext = LowerExtension(name);
  u64 want = kTextBytes;
  if (IsRawExtension(ext)) want = kJpegSearchBytes;
  else if (category::IsPictureExtension(ext) || ext == "pdf" || ext == "webp") want = kWholeFileCap;
  else if (!MediaDescription(QByteArray(), ext, 0).isEmpty()) want = kMediaBytes;
  return std::min(want, u64FileSize);
}

bool LooksLikeText(const QByteArray& bytes) {
  if (bytes.isEmpty()) return true;
  int bad = 0;
  for (char c : bytes) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u == 0) return false;
    if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r' && u != '\f') || u == 0x7F) ++bad;
  }
  return bad * 50 < bytes.size();
}

QString DecodeText(const QByteArray& bytes) {
  QByteArray b = bytes;
  // A character the read cut in two at the end is dropped, not shown broken.
  int lead = b.size() - 1, back = 0;
  while (lead >= 0 && back < 3 && (static_cast<unsigned char>(b[lead]) & 0xC0) == 0x80) {
    --lead;
    ++back;
  }
  if (lead >= 0) {
    unsigned char c = static_cast<unsigned char>(b[lead]);
    int need = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (need > back) b.truncate(lead);
  }
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = utf8.decode(b);
  if (utf8.hasError()) text = QString::fromLatin1(bytes);
  if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
  for (QChar& ch : text) {
    ushort u = ch.unicode();
    if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r') || u == 0x7F) ch = QChar(0xFFFD);
  }
  return text;
}

QString HexDump(const QByteArray& bytes, int nMaxBytes) {
  QString out;
  int n = std::min<int>(static_cast<int>(bytes.size()), nMaxBytes);
  for (int line = 0; line < n; line += 16) {
    QString hex, text;
    for (int i = line; i < line + 16; ++i) {
      if (i < n) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        hex += QStringLiteral("%1 ").arg(c, 2, 16, QLatin1Char('0'));
        text += (c >= 0x20 && c < 0x7F) ? QChar(c) : QChar('.');
      } else {
        hex += QStringLiteral("   ");
      }
    }
    out += QStringLiteral("%1  %2 %3\n").arg(line, 8, 16, QLatin1Char('0')).arg(hex, text);
  }
  return out;
}

QByteArray FindEmbeddedJpeg(const QByteArray& bytes) {
  const int limit = std::min<int>(static_cast<int>(bytes.size()), kJpegSearchBytes);
  const char* p = bytes.constData();
  QByteArray best;
  int from = 0;
  // Each start of image (FF D8 FF) to the last end-of-image mark (FF D9)
  // before the next start, or to the end of the bytes read.
  for (int tries = 0; tries < 64; ++tries) {
    int soi = -1;
    for (int i = from; i + 2 < limit; ++i)
      if (static_cast<unsigned char>(p[i]) == 0xFF && static_cast<unsigned char>(p[i + 1]) == 0xD8 &&
          static_cast<unsigned char>(p[i + 2]) == 0xFF) {
        soi = i;
        break;
      }
    if (soi < 0) break;
    int eoi = -1;
    for (int i = soi + 2; i + 1 < limit; ++i) {
      if (static_cast<unsigned char>(p[i]) != 0xFF) continue;
      unsigned char m = static_cast<unsigned char>(p[i + 1]);
      if (m == 0xD9) eoi = i + 2;
      if (m == 0xD8 && i + 2 < limit && static_cast<unsigned char>(p[i + 2]) == 0xFF) break;
    }
    if (eoi < 0) eoi = limit;
    QByteArray candidate = bytes.mid(soi, eoi - soi);
    if (candidate.size() > best.size()) {
      QBuffer buffer(&candidate);
      buffer.open(QIODevice::ReadOnly);
      QImageReader reader(&buffer, "jpeg");
      if (reader.canRead() && reader.size().isValid()) best = candidate;
    }
    from = soi + 3;
  }
  return best;
}

QString MediaDescription(const QByteArray& bytes, const std::string& ext, u64 u64FileSize) {
  struct TYPE_NAME {
    const char* ext;
    const char* name;
  };
  static const TYPE_NAME kTypes[] = {
      {"mp3", "MP3 audio"},   {"wav", "WAV audio"},      {"flac", "FLAC audio"},      {"ogg", "Ogg audio"},
      {"m4a", "MPEG-4 audio"}, {"aiff", "AIFF audio"},   {"wma", "Windows Media audio"}, {"amr", "AMR audio"},
      {"mid", "MIDI music"},  {"midi", "MIDI music"},    {"au", "Sun audio"},         {"ape", "Monkey's Audio"},
      {"mp4", "MPEG-4 video"}, {"m4v", "MPEG-4 video"},  {"mov", "QuickTime video"},  {"3gp", "3GPP video"},
      {"3g2", "3GPP2 video"}, {"avi", "AVI video"},      {"mkv", "Matroska video"},   {"webm", "WebM video"},
      {"wmv", "Windows Media video"}, {"asf", "Windows Media video"}, {"flv", "Flash video"},
      {"mpeg", "MPEG video"}, {"mpg", "MPEG video"},     {"vob", "DVD video"},        {"mts", "AVCHD video"},
      {"rm", "RealMedia"},    {"rmvb", "RealMedia video"}};
  QString type;
  for (const TYPE_NAME& t : kTypes)
    if (ext == t.ext) type = QString::fromLatin1(t.name);
  if (type.isEmpty()) return QString();
  if (bytes.isEmpty()) return type;
  double seconds = 0;
  if (ext == "wav") seconds = WavSeconds(bytes);
  else if (ext == "avi") seconds = AviSeconds(bytes);
  else if (ext == "mp3") seconds = Mp3Seconds(bytes, u64FileSize);
  else if (ext == "flac") seconds = FlacSeconds(bytes);
  else if (ext == "mp4" || ext == "m4v" || ext == "mov" || ext == "3gp" || ext == "3g2" || ext == "m4a")
    seconds = IsoSeconds(bytes);
  QString text = type;
  QString duration = DurationText(seconds);
  if (!duration.isEmpty()) text += QStringLiteral(", ") + duration;
  return text;
}

PREVIEW_RESULT DecodePreview(const QByteArray& bytes, const std::string& name, u64 u64FileSize, QSize fit) {
  PREVIEW_RESULT out;
  const std::string ext = LowerExtension(name);
  const QString size = SizeText(u64FileSize);
  if (u64FileSize == 0 || bytes.isEmpty()) {
    out.eKind = PREVIEW_RESULT::INFO;
    out.strInfo = u64FileSize == 0 ? QStringLiteral("An empty file (0 bytes).")
                                   : QStringLiteral("Nothing could be read of this file.");
    return out;
  }
  if (IsRawExtension(ext)) {
    QByteArray jpeg = FindEmbeddedJpeg(bytes);
    QSize full;
    QImage image = jpeg.isEmpty() ? QImage() : ReadImage(jpeg, fit, nullptr, &full);
    if (!image.isNull()) {
      out.eKind = PREVIEW_RESULT::PICTURE;
      out.image = image;
      out.strInfo = QStringLiteral("Camera RAW file (%1): its embedded %2 \u00d7 %3 JPEG preview")
                        .arg(size)
                        .arg(full.width())
                        .arg(full.height());
      return out;
    }
  }
  if (ext == "pdf") {
    std::unique_ptr<Poppler::Document> doc = Poppler::Document::loadFromData(bytes);
    if (!doc) {
      out.eKind = PREVIEW_RESULT::INFO;
      out.strInfo = bytes.size() < static_cast<int>(u64FileSize)
                        ? QStringLiteral("PDF document (%1): too large to preview.").arg(size)
                        : QStringLiteral("PDF document (%1) that cannot be opened: it may be damaged.").arg(size);
      return out;
    }
    if (doc->isLocked()) {
      out.eKind = PREVIEW_RESULT::INFO;
      out.strInfo = QStringLiteral("PDF document (%1), protected by a password.").arg(size);
      return out;
    }
    std::unique_ptr<Poppler::Page> page = doc->numPages() > 0 ? doc->page(0) : nullptr;
    if (page) {
      doc->setRenderHint(Poppler::Document::Antialiasing);
      doc->setRenderHint(Poppler::Document::TextAntialiasing);
      QSizeF pts = page->pageSizeF();
      double scale = 1.0;
      if (pts.width() > 0 && pts.height() > 0 && fit.isValid())
        scale = std::min(fit.width() / pts.width(), fit.height() / pts.height());
      scale = std::max(0.05, std::min(scale, 4.0));
      QImage image = page->renderToImage(72.0 * scale, 72.0 * scale);
      if (!image.isNull()) {
        out.eKind = PREVIEW_RESULT::PICTURE;
        out.image = Fit(image, fit);
        out.bPage = true;
        out.strInfo = QStringLiteral("PDF document (%1), page 1 of %2").arg(size).arg(doc->numPages());
        return out;
      }
    }
    out.eKind = PREVIEW_RESULT::INFO;
    out.strInfo = QStringLiteral("PDF document (%1) whose first page cannot be drawn.").arg(size);
    return out;
  }
  QString format;
  QSize full;
  QImage image = ReadImage(bytes, fit, &format, &full);
  if (!image.isNull()) {
    out.eKind = PREVIEW_RESULT::PICTURE;
    out.image = image;
    out.strInfo = QStringLiteral("%1 picture, %2 \u00d7 %3, %4").arg(format).arg(full.width()).arg(full.height()).arg(size);
    return out;
  }
  QString media = MediaDescription(bytes, ext, u64FileSize);
  if (!media.isEmpty()) {
    out.eKind = PREVIEW_RESULT::INFO;
    out.strInfo = QStringLiteral("%1, %2").arg(media, size);
    return out;
  }
  if (category::IsPictureExtension(ext)) {
    out.eKind = PREVIEW_RESULT::INFO;
    out.strInfo = QStringLiteral("This picture (%1) cannot be shown: it may be damaged or of a kind without a "
                                 "viewer here.").arg(size);
    return out;
  }
  out.eKind = PREVIEW_RESULT::TEXT;
  if (LooksLikeText(bytes)) {
    out.strText = DecodeText(bytes);
    out.strInfo = bytes.size() < static_cast<int>(std::min<u64>(u64FileSize, 1ull << 30))
                      ? QStringLiteral("Text, %1 (the beginning is shown)").arg(size)
                      : QStringLiteral("Text, %1").arg(size);
  } else {
    out.bMonospace = true;
    out.strText = HexDump(bytes, 4096);
    out.strInfo = QStringLiteral("No viewer for this type (%1): its first bytes are shown.").arg(size);
  }
  return out;
}
