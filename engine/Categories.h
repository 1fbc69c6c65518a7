// The six categories a user picks from: which extensions belong where, the
// search pattern of the chosen categories, and the sub-folder a recovered
// file goes to. Shared by the command-line program and the windows.
#pragma once

#include <string>

// The category lists: literal wildcard texts shared by searching, grouping
// and previews.
extern const char* const g_szPhotoExtList;
extern const char* const g_szMusicExtList;
extern const char* const g_szDocumentExtList;
extern const char* const g_szVideoExtList;
extern const char* const g_szArchiveExtList;

namespace category {

enum Kind : int { PHOTO = 0, MUSIC = 1, DOCUMENT = 2, VIDEO = 3, ARCHIVE = 4, OTHER = 5, COUNT = 6 };

// The second archive list (office documents and archives) and the "other" marker.
extern const char* const kArchiveList2;
extern const char* const kOtherList;

// The category of an extension (without its dot): "*.<ext>" is looked up as a
// plain substring in the photo, music, document, video, archive and second
// archive lists in that order; needles shorter than 3 characters are Other.
Kind OfExtension(const std::string& ext);
// The recovery sub-folder of a file name: "photo", "audio", "video",
// "document", "archive" or "others".
const char* FolderOfFileName(const char* pName);
// The search pattern of the chosen categories, in category order; archives
// bring both archive lists, Other brings "*.other".
std::string SearchPattern(const bool bChosen[COUNT]);
// "photo,music,..." -> chosen flags; false on an unknown name.
bool ParseList(const std::string& text, bool bChosen[COUNT]);
const char* Name(Kind k);
// True when ext (lower case, no dot) is a whole entry of the photo list: the
// files a preview shows as a picture.
bool IsPictureExtension(const std::string& ext);

}  // namespace category
