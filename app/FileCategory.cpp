#include "app/FileCategory.h"

#include <cstring>

#include "engine/Categories.h"
#include "engine/TextUtil.h"
#include "store/ScanResultFileManager.h"

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

QString SelectionLabelText(u64 u64Bytes, int nFiles) {
  QString size = QString::fromStdString(GetFileSizeString(static_cast<i64>(u64Bytes)));
  return nFiles < 2 ? QStringLiteral("Select %1 in %2 file").arg(size).arg(nFiles)
                    : QStringLiteral("Select %1 in %2 files").arg(size).arg(nFiles);
}

QString WinHexBufData(const unsigned char* pBuf, int nLen) {
  QByteArray text;
  if (!pBuf || nLen <= 0) return QString();
  text.reserve(nLen + (nLen / 256 + 1) * 2);
  for (int i = 0; i < nLen; ++i) {
    unsigned char c = pBuf[i];
    // Zero and other control bytes would garble the view; tabs and line
    // breaks of text files are kept.
    if (c == 0 || (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) c = '.';
    text.append(static_cast<char>(c));
    if ((i + 1) % 256 == 0 || i + 1 == nLen) text.append("\r\n");
  }
  return QString::fromUtf8(text);
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
