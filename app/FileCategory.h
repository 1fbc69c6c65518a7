// The six file categories of the window: their names, icons and order, the
// icons of file types, and the small texts derived from sizes and counts.
#pragma once

#include <QString>
#include <string>

#include "engine/Types.h"

enum FILE_CATEGORY : int {
  CATEGORY_PHOTO = 0,
  CATEGORY_MUSIC = 1,
  CATEGORY_DOCUMENT = 2,
  CATEGORY_VIDEO = 3,
  CATEGORY_ARCHIVE = 4,
  CATEGORY_OTHER = 5,
  CATEGORY_COUNT = 6,
};

// The lists an extension is looked up in, in lookup order.
enum EXT_LIST : int {
  EXT_LIST_PHOTO = 0,
  EXT_LIST_MUSIC = 1,
  EXT_LIST_DOCUMENT = 2,
  EXT_LIST_VIDEO = 3,
  EXT_LIST_ARCHIVE = 4,
  EXT_LIST_ARCHIVE2 = 5,
  EXT_LIST_NONE = -1,
};

// Which list an extension's icon comes from: the first list holding the
// needle "*.<ext>" (lower case) as a plain substring; an extension that
// begins with "." is its own needle. Needles shorter than 3 characters match
// nothing. Grouping and folders use the shared engine/Categories.h.
EXT_LIST ClassifyExtension(const std::string& ext);
FILE_CATEGORY GetFileCategory(const std::string& ext);

// "photo", "audio", "video", "document", "archive" or "others" for a file name.
const char* GetDirTypeByFileName(const char* pFileName);
// The resource path of the icon for an extension.
QString GetExtendNameIcon(const QString& ext);
// The search pattern of the checked categories, in category order.
std::wstring BuildSearchPattern(const bool bChecked[CATEGORY_COUNT]);
// "No files selected" / "1 file selected (2.0 KB)" / "3 files selected (1.5 MB)".
QString SelectionLabelText(u64 u64Bytes, u64 nFiles);
// Sizes as people read them: "0 bytes", "1 byte", "512 bytes", "2.0 KB", "1.5 GB".
QString HumanSize(u64 u64Bytes);
// "45 s", "3 min 05 s", "2 h 10 min".
QString HumanDuration(i64 nSeconds);

// One set of category names everywhere, matching the recovery folders
// photo/, audio/, video/, document/, archive/, others/.
const char* CategoryTitle(int nKind);
const char* CategoryIcon(int nKind);
// The order the categories are shown in: photos, audio, videos, documents,
// archives, other files.
extern const int kCategoryDisplayOrder[CATEGORY_COUNT];
// A node's name field as text, never reading past its 256 bytes.
std::string NodeName(const _FILE_NODE_& node);
// The lower-case extension of a node's name, "unKnow" without one.
std::string NodeExtensionKey(const _FILE_NODE_& node);
