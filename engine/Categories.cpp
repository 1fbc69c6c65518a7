#include "engine/Categories.h"

#include <cstring>


const char* const g_szPhotoExtList =
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|*.cr2|*.sr2|"
    "*.arw|*.srf|*.divu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|*.mos|*.x3f|*.orf|*.erf|"
    "*.indd|*.pef|*.psp|*.mrw|*.dng|*.raw|*.pct|*.tga|*.thm|*.heic|*.heif|*.avif|*.webp|*.cr3|*.rw2|"
    "*.srw|";
const char* const g_szMusicExtList =
    "*.mp3|*.wav|*.ape|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|*.acd|*.amr|"
    "*.at3|*.caf|*.dss|*.m4r|*.nra|*.snd|*.flac|*.opus|*.aac|*.m4b|";
const char* const g_szDocumentExtList =
    "*.doc|*.xls|*.ppt|*.odt|*.ods|*.pdf|*.docx|*.xlsx|*.pptx|*.ole|*.txt|*.xml|*.chm|*.htm|*.html|"
    "*.pst|*.dbx|*.wps|*.dps|*.et|*.one|*.mpp|*.mdb|*.accdb|*.epub|*.csv|*.json|*.db|";
const char* const g_szVideoExtList =
    "*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.m4v|*.3gp|*.dv|*.3g2|*.m4b|"
    "*.mkv|*.mts|*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|*.hdmov|*.mod|*.mxf|*.lrv|"
    "*.webm|*.ts|*.mpg|";
const char* const g_szArchiveExtList =
    "*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso|*.exe|*.apk|";

namespace category {

const char* const kArchiveList2 =
    "*.pdf|*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt|*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|*.ppsm|*.odp|"
    "*.xls|*.xlsx|*.xlsm|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|*.msg|*.zip|*.rar|*.gzip|*.tar|"
    "*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";
const char* const kOtherList = "*.other";

namespace {
const char* const kNames[COUNT] = {"photo", "music", "document", "video", "archive", "other"};
}

const char* Name(Kind k) { return k >= 0 && k < COUNT ? kNames[k] : "other"; }

bool IsPictureExtension(const std::string& ext) {
  if (ext.empty() || ext.size() > 8) return false;
  // The extension comes from a name on a damaged disk and becomes part of a
  // path: letters and digits only, matched against whole list entries.
  std::string needle = "*.";
  for (char c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
    needle.push_back(c);
  }
  std::string list = std::string("|") + g_szPhotoExtList + "|";
  return list.find("|" + needle + "|") != std::string::npos;
}

Kind OfExtension(const std::string& ext) {
  std::string needle = "*.";
  for (char c : ext) needle.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
  if (needle.size() < 3) return OTHER;
  const char* lists[6] = {g_szPhotoExtList, g_szMusicExtList, g_szDocumentExtList,
                          g_szVideoExtList, g_szArchiveExtList, kArchiveList2};
  const Kind kinds[6] = {PHOTO, MUSIC, DOCUMENT, VIDEO, ARCHIVE, ARCHIVE};
  // Whole entries only: "*.avi" must not match inside "*.avif|".
  for (int i = 0; i < 6; ++i)
    for (const char* at = strstr(lists[i], needle.c_str()); at; at = strstr(at + 1, needle.c_str())) {
      char next = at[needle.size()];
      if (next == '|' || next == '\0' || next == ';') return kinds[i];
    }
  return OTHER;
}

const char* FolderOfFileName(const char* pName) {
  const char* dot = pName ? strrchr(pName, '.') : nullptr;
  switch (dot ? OfExtension(dot + 1) : OTHER) {
    case PHOTO: return "photo";
    case MUSIC: return "audio";
    case VIDEO: return "video";
    case DOCUMENT: return "document";
    case ARCHIVE: return "archive";
    default: return "others";
  }
}

std::string SearchPattern(const bool bChosen[COUNT]) {
  std::string p;
  if (bChosen[PHOTO]) p += g_szPhotoExtList;
  if (bChosen[MUSIC]) p += g_szMusicExtList;
  if (bChosen[DOCUMENT]) p += g_szDocumentExtList;
  if (bChosen[VIDEO]) p += g_szVideoExtList;
  if (bChosen[ARCHIVE]) {
    p += g_szArchiveExtList;
    p += kArchiveList2;
  }
  if (bChosen[OTHER]) p += kOtherList;
  return p;
}

bool ParseList(const std::string& text, bool bChosen[COUNT]) {
  for (int i = 0; i < COUNT; ++i) bChosen[i] = false;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    std::string word = text.substr(pos, comma - pos);
    pos = comma + 1;
    if (word.empty()) continue;
    bool known = false;
    for (int i = 0; i < COUNT; ++i)
      if (word == kNames[i] || (i == OTHER && word == "others") || (i == MUSIC && word == "audio")) {
        bChosen[i] = true;
        known = true;
      }
    if (!known) return false;
  }
  return true;
}

}  // namespace category
