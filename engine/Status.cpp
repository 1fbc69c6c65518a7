#include "engine/Status.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "engine/Types.h"

const char* IntegrityName(int nIntegrity) {
  switch (nIntegrity) {
    case INTEGRITY_VERIFIED: return "verified";
    case INTEGRITY_PARTIAL: return "partial";
    case INTEGRITY_BROKEN: return "broken";
    default: return "unverified";
  }
}

std::string StatusText(int nStatus) {
  switch (nStatus) {
    case STATUS_SUCCESS: return "done";
    case STATUS_OUT_OF_MEMORY: return "out of memory";
    case STATUS_CLUSTER_TOO_BIG: return "its cluster size is larger than any real volume uses";
    case STATUS_SHORT_READ: return "the disk gave fewer sectors than asked (unreadable, or past its end)";
    case STATUS_INVALID_PARAMETER: return "its records are damaged or point outside the disk";
    case STATUS_PARTIAL_SAVE: return "saved in part: some of its data could not be read";
    case STATUS_DEST_ON_TARGET:
      return "it lies on the disk being scanned, and writing there would overwrite the files being recovered";
    case STATUS_UNSAFE_PATH: return "a link or a folder of another user stands in the way";
    case STATUS_NOT_SUPPORTED: return "this kind of result cannot be saved that way";
    case STATUS_SINK_FULL: return "done";
    case STATUS_NOT_A_DISK: return "it is neither a disk nor a disk image file";
    case STATUS_DAMAGED_RECORD: return "its record is damaged";
    case STATUS_EMPTY_TARGET: return "it is empty or its size cannot be read";
    case STATUS_SKIPPED_SAME: return "already saved with the same content";
    case RECOVERY_CANCELLED: return "stopped by the user";
    default: break;
  }
  if (nStatus > 0 && nStatus < 4096) {
    char buf[128];
    // GNU strerror_r returns the text, which may not be buf.
    const char* text = strerror_r(nStatus, buf, sizeof(buf));
    std::string s = text ? text : "";
    if (!s.empty() && s.compare(0, 7, "Unknown") != 0) {
      if (s.size() > 1 && !std::isupper(static_cast<unsigned char>(s[1])))
        s[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(s[0])));
      return s;
    }
  }
  char buf[48];
  std::snprintf(buf, sizeof(buf), "unexpected error %d", nStatus);
  return buf;
}
