#include "app/FileCategory.h"

#include <QLocale>
#include <cstring>

#include "engine/Categories.h"
#include "engine/TextUtil.h"

namespace {

const char* ListText(int list) {
  switch (list) {
    case EXT_LIST_PHOTO: return g_szPhotoExtList;
    case EXT_LIST_MUSIC: return g_szMusicExtList;
    case EXT_LIST_DOCUMENT: return g_szDocumentExtList;
    case EXT_LIST_VIDEO: return g_szVideoExtList;
    case EXT_LIST_ARCHIVE: return g_szArchiveExtList;
    case EXT_LIST_ARCHIVE2: return category::kArchiveList2;
    default: return "";
  }
}

std::string Lower(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

// Icon table: key and resource path; "jpeg" and "tiff" share their sister's icon.
struct FILE_TYPE_ICON {
  const char* pKey;
  const char* pPath;
};
#define ICON(k) {#k, ":/image/FileIcon/" #k ".png"}
const FILE_TYPE_ICON szFileTypeStr[] = {
    {"7z", ":/image/FileIcon/7z.png"}, ICON(accdb), ICON(ace), ICON(acid), ICON(aiff), ICON(asf), ICON(at3),
    ICON(au), ICON(avi), ICON(bmp), ICON(cab), ICON(chm), ICON(divx), ICON(doc), ICON(dss), ICON(dv),
    ICON(epson), ICON(exe), ICON(gif), ICON(gzip), ICON(html), ICON(ico), ICON(indd), ICON(jar), ICON(jpg),
    {"jpeg", ":/image/FileIcon/jpg.png"}, ICON(mamiya), ICON(mid), ICON(minolta), ICON(mov), ICON(mp3),
    ICON(mp4), ICON(mpeg), ICON(music), ICON(ods), ICON(ogg), ICON(one), ICON(other), ICON(pdf), ICON(png),
    ICON(ppt), ICON(psd), ICON(psp), ICON(rar), ICON(real), ICON(rmvb), ICON(rps), ICON(thm), ICON(tif),
    {"tiff", ":/image/FileIcon/tif.png"}, ICON(tod), ICON(txt), ICON(vob), ICON(wma), ICON(wmv), ICON(wps),
    ICON(xls), ICON(xml), ICON(zip), ICON(audio_default), ICON(default), ICON(image), ICON(office_default),
    ICON(photo_default), ICON(video_default), {nullptr, nullptr}};
#undef ICON

}  // namespace

EXT_LIST ClassifyExtension(const std::string& ext) {
  std::string lower = Lower(ext);
  std::string needle = (!lower.empty() && lower[0] == '.') ? lower : "*." + lower;
  if (needle.size() < 3) return EXT_LIST_NONE;
  for (int list = EXT_LIST_PHOTO; list <= EXT_LIST_ARCHIVE2; ++list)
    if (strstr(ListText(list), needle.c_str())) return static_cast<EXT_LIST>(list);
  return EXT_LIST_NONE;
}

FILE_CATEGORY GetFileCategory(const std::string& ext) {
  return static_cast<FILE_CATEGORY>(category::OfExtension(ext));
}

const char* GetDirTypeByFileName(const char* pFileName) { return category::FolderOfFileName(pFileName); }

QString GetExtendNameIcon(const QString& ext) {
  std::string e = ext.toStdString();
  QString icon;
  switch (ClassifyExtension(e)) {
    case EXT_LIST_PHOTO: icon = QStringLiteral(":/image/FileIcon/image.png"); break;
    case EXT_LIST_MUSIC: icon = QStringLiteral(":/image/FileIcon/audio_default.png"); break;
    case EXT_LIST_DOCUMENT: icon = QStringLiteral(":/image/FileIcon/office_default.png"); break;
    case EXT_LIST_VIDEO: icon = QStringLiteral(":/image/FileIcon/video_default.png"); break;
    case EXT_LIST_ARCHIVE: icon = QStringLiteral(":/image/FileIcon/zip.png"); break;
    case EXT_LIST_ARCHIVE2: icon = QStringLiteral(":/image/FileIcon/office_default.png"); break;
    default: icon = QStringLiteral(":/image/FileIcon/other.png"); break;
  }
  std::string key = Lower(e);
  if (!key.empty() && key[0] == '.') key.erase(0, 1);
  for (const FILE_TYPE_ICON* p = szFileTypeStr; p->pKey; ++p)
    if (key == p->pKey) return QString::fromLatin1(p->pPath);
  return icon;
}

std::wstring BuildSearchPattern(const bool bChecked[CATEGORY_COUNT]) {
  return Utf8ToWide(category::SearchPattern(bChecked));
}

QString HumanSize(u64 u64Bytes) {
  if (u64Bytes == 1) return QStringLiteral("1 byte");
  if (u64Bytes < 1024) return QStringLiteral("%1 bytes").arg(u64Bytes);
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB"};
  double v = static_cast<double>(u64Bytes) / 1024.0;
  int unit = 0;
  while (v >= 1024.0 && unit < 4) {
    v /= 1024.0;
    ++unit;
  }
  return QStringLiteral("%1 %2").arg(v, 0, 'f', v < 10 ? 1 : 0).arg(QLatin1String(kUnits[unit]));
}

QString HumanDuration(i64 nSeconds) {
  if (nSeconds < 0) nSeconds = 0;
  if (nSeconds < 60) return QStringLiteral("%1 s").arg(nSeconds);
  if (nSeconds < 3600) return QStringLiteral("%1 min %2 s").arg(nSeconds / 60).arg(nSeconds % 60, 2, 10, QLatin1Char('0'));
  return QStringLiteral("%1 h %2 min").arg(nSeconds / 3600).arg((nSeconds % 3600) / 60, 2, 10, QLatin1Char('0'));
}

QString SelectionLabelText(u64 u64Bytes, u64 nFiles) {
  if (nFiles == 0) return QStringLiteral("No files selected");
  return nFiles == 1 ? QStringLiteral("1 file selected (%1)").arg(HumanSize(u64Bytes))
                     : QStringLiteral("%1 files selected (%2)").arg(QLocale().toString(static_cast<qulonglong>(nFiles)),
                                                                     HumanSize(u64Bytes));
}

const int kCategoryDisplayOrder[CATEGORY_COUNT] = {CATEGORY_PHOTO,    CATEGORY_MUSIC,   CATEGORY_VIDEO,
                                                   CATEGORY_DOCUMENT, CATEGORY_ARCHIVE, CATEGORY_OTHER};

const char* CategoryTitle(int nKind) {
  switch (nKind) {
    case CATEGORY_PHOTO: return "Photos";
    case CATEGORY_MUSIC: return "Audio";
    case CATEGORY_VIDEO: return "Videos";
    case CATEGORY_DOCUMENT: return "Documents";
    case CATEGORY_ARCHIVE: return "Archives";
    default: return "Other files";
  }
}

const char* CategoryIcon(int nKind) {
  switch (nKind) {
    case CATEGORY_PHOTO: return ":/image/cat_photo.png";
    case CATEGORY_MUSIC: return ":/image/cat_audio.png";
    case CATEGORY_VIDEO: return ":/image/cat_video.png";
    case CATEGORY_DOCUMENT: return ":/image/cat_document.png";
    case CATEGORY_ARCHIVE: return ":/image/cat_archive.png";
    default: return ":/image/cat_other.png";
  }
}

std::string NodeName(const _FILE_NODE_& node) {
  return std::string(node.szFileName, strnlen(node.szFileName, sizeof(node.szFileName)));
}

std::string NodeExtensionKey(const _FILE_NODE_& node) {
  std::string name = NodeName(node);
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot + 1 >= name.size()) return "unKnow";
  return Lower(name.substr(dot + 1));
}
