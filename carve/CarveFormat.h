// One carvable format as data: the bytes it starts with, the detector that
// recognises it, the rule that measures it, and the places for an integrity
// checker and a metadata reader. Each format declares its descriptor in its
// own file under carve/formats/; the registry lists them in detection order
// and builds the quick per-sector rejection from their signatures.
#pragma once

#include "carve/CarveContext.h"
#include "engine/Types.h"

// A detector tests a buffer that starts at a sector boundary and returns a
// type number (EXTEND_NAME_TYPE) or TYPE_NONE. It answers a type only when one
// of its format's signatures is there: the quick rejection relies on it.
typedef int (*CARVE_DETECTOR)(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
// A length rule returns the length in bytes of the file starting at
// ctx.u64StartSector, whose first sector is pBuf; 0 when it has nothing to
// measure. It sets ctx.bLengthIsCap when it found no end.
typedef u64 (*CARVE_SIZE_RULE)(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);

// What an integrity check says of a measured file.
enum CARVE_VERDICT : int {
  VERDICT_UNKNOWN = 0,
  VERDICT_WHOLE = 1,    // structure complete and consistent
  VERDICT_PARTIAL = 2,  // a whole start, the end missing (cut or capped)
  VERDICT_DAMAGED = 3,  // structure broken inside
};
// Checks the u64Size bytes from ctx.u64StartSector.
typedef CARVE_VERDICT (*CARVE_CHECKER)(CARVE_CONTEXT& ctx, u64 u64Size);

// What a file says about itself (unknown fields stay zero / empty). Text is
// cleaned UTF-8 (CleanMetadataText), NUL-terminated.
struct CARVE_METADATA {
  i64 nTakenTime;        // captured / created, seconds since 1970 (as recorded, read as UTC), 0 unknown
  char szTitle[128];
  char szArtist[64];     // artist of a song, author of a document
  char szMake[32];       // the camera's maker
  char szModel[64];
  u32 nWidth;
  u32 nHeight;
  u64 u64DurationMs;
};
// Reads the metadata of the u64Size bytes from ctx.u64StartSector; false when none.
typedef bool (*CARVE_METADATA_READER)(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out);

enum SIGNATURE_KIND : u8 {
  SIG_BYTES = 0,  // nLen bytes of pBytes at nOffset
  SIG_TEXT = 1,   // nLen bytes from nOffset that are all text (printable ASCII, tab, line ends, UTF-8)
};

struct CARVE_SIGNATURE {
  u16 nOffset;
  u8 nLen;
  const char* pBytes;  // nullptr for SIG_TEXT
  u8 nKind;
};

enum FORMAT_FLAGS : u32 {
  // Measured from its header: the pass looks inside again, so a file stored
  // in it is still found.
  FORMAT_SKIP_ONE = 1u << 0,
  // Starts without magic bytes (text, a run of audio frames): its start is
  // no boundary for another file's end test, so one inside another file
  // does not cut that file short.
  FORMAT_WEAK = 1u << 1,
};

struct CARVE_FORMAT {
  const char* szName;
  const CARVE_SIGNATURE* pSignatures;  // the detector accepts only where one of these is
  int nSignatures;
  CARVE_DETECTOR pDetector;
  CARVE_SIZE_RULE pSizeRule;  // nullptr: recognised, never carved
  u64 u64MaxSize;             // no length the rule gives is larger (plus one sector)
  u32 nFlags;
  CARVE_CHECKER pChecker;           // nullptr until written
  CARVE_METADATA_READER pMetadata;  // nullptr until written
};

template <int N>
constexpr int SignatureCount(const CARVE_SIGNATURE (&)[N]) {
  return N;
}

// A signature of the bytes of a string literal (embedded NULs counted) at an offset.
#define CARVE_SIG(offset, literal) \
  CARVE_SIGNATURE { static_cast<u16>(offset), static_cast<u8>(sizeof(literal) - 1), literal, SIG_BYTES }
