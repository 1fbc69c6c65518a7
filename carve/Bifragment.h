// Files stored in two pieces. A carved file that fails its check is often
// its first piece run on into whatever followed it on the disk: another
// file, zeros, old data. The search finds where the file's own data stops,
// then looks past a gap of whole clusters for the sector where it goes on.
// A pair is verified only when the reassembled file walks exactly from its
// first byte to its last, the join shows no seam, no other continuation
// does the same and the decoder agrees; a pair short of that is kept and
// said to be unverified, or partial when it decodes only so far. JPEGs,
// PNGs and ZIP archives (with the packages carved as ZIP) are searched; the
// shared skeleton is in TwoPieces.h.
#pragma once

#include <vector>

#include "engine/DiskReader.h"
#include "engine/Types.h"

// Sectors another found file holds: never part of a gap's continuation.
struct BIFRAG_RANGE {
  u64 u64FirstSector;
  u64 u64SectorCount;
};

// What the volume's file system says is in use now. A file written into a
// hole of free clusters runs on past a file that stood in its way; when that
// file still stands, it marks the gap.
class IInUseMap {
 public:
  virtual ~IInUseMap() = default;
  // Whether every one of the sectors belongs to a live file (false when not known).
  virtual bool AllInUse(u64 u64FirstSector, u64 u64SectorCount) const = 0;
};

// How far one file's search may go.
struct BIFRAG_LIMITS {
  u64 u64MaxGapBytes = 4ull * 1024 * 1024;
  // The volume's cluster size when known; 0 tries every sector boundary
  // (which covers every power-of-two cluster from 512 B to 64 KiB).
  u32 nClusterBytes = 0;
  // Ends of the first piece tried, going back from where the data breaks.
  int nMaxFirstPieceEnds = 16;
  // Walks and decodes of candidate pairs, and the processor time for one file.
  int nMaxDecodes = 48;
  int nMillis = 1500;
  // Null: nothing known of the volume's use.
  const IInUseMap* pInUse = nullptr;
};

struct BIFRAG_PIECES {
  u64 u64FirstPieceBytes = 0;   // whole sectors from the file's first sector
  u64 u64SecondPieceSector = 0; // absolute sector where the rest starts
  u64 u64Size = 0;              // the reassembled file's length
  u8 nIntegrity = 0;            // INTEGRITY_VERIFIED, _UNVERIFIED or _PARTIAL
};

class CBifragment {
 public:
  // Whether files of nType (EXTEND_NAME_TYPE) are searched for a second piece.
  static bool Supports(int nType);
  // Searches the continuation of the file of nType carved at u64StartSector
  // with u64CarvedSize bytes. bOnlyOnVisibleBreak: the file's check was put
  // off, so only a break its bytes show without decoding starts a search.
  // True with the pieces and their verdict when a continuation was found.
  static bool Reassemble(CDiskReader* pReader, int nBytesPerSector, u64 u64StartSector, u64 u64CarvedSize, int nType,
                         bool bOnlyOnVisibleBreak, const std::vector<BIFRAG_RANGE>& claimed,
                         const BIFRAG_LIMITS& limits, BIFRAG_PIECES& out);
};
