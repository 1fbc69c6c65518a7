// Camera videos (MP4, MOV, 3GP) whose movie box survived but whose media
// data was stored in two pieces. The movie's sample tables say where every
// sample lies in the file; each sample's first bytes are checked where the
// tables put them (H.264 / H.265 NAL units by their length prefixes and
// headers, AAC frames by their first element). The first sample that fails
// under a contiguous reading marks the break; the rest is looked for past a
// gap of whole clusters, and the movie box itself when it follows the media
// data (the order recorders write).
#pragma once

#include <vector>

#include "carve/Bifragment.h"
#include "engine/DiskReader.h"
#include "engine/Types.h"

// Reads file bytes (the checker's view of one or two pieces, or a trial
// mapping of the search); false when any of them cannot be read.
class IMp4Source {
 public:
  virtual ~IMp4Source() = default;
  virtual bool Read(u64 u64Offset, u8* pOut, size_t nLen) = 0;
};

// Where a sample walk stands: the chunk (in file order), the sample in it,
// and the offset of the next NAL unit inside that sample.
struct MP4_WALK_STATE {
  size_t nChunk = 0;
  u32 nSample = 0;     // index inside the chunk
  u64 u64SampleAt = 0; // file offset of that sample
  u64 u64Next = 0;     // file offset of the next check inside it
};

struct MP4_WALK {
  enum STOP { DONE, FAILED, LIMIT };
  STOP nStop = DONE;
  MP4_WALK_STATE at;         // FAILED: the check that failed; LIMIT: where to go on
  u64 u64FailAt = 0;         // FAILED: its file offset
  MP4_WALK_STATE lastStrong; // the last NAL unit that checked (before a failure)
  u64 u64LastStrongAt = 0;
  bool bSawStrong = false;
  u64 u64Checks = 0;         // checks that passed
};

// The sample tables of one movie box, read from its bytes.
class CMp4Movie {
 public:
  // The payload of a movie box (bytes after its header). False when it
  // holds no track with samples, or its tables do not hold together.
  bool Parse(const u8* p, size_t n);
  // Whether at least one track's samples can be checked.
  bool HasCheckedTrack() const;
  // The end of the last chunk (a file offset).
  u64 DataEnd() const { return m_u64DataEnd; }
  size_t ChunkCount() const { return m_chunks.size(); }

  // Walks samples from `st` in file order through src, checking each one's
  // first bytes (NAL units: every one inside the sample, their lengths
  // tiling it). bDeep also reads every NAL unit's payload for byte runs an
  // encoder never writes there (00 00 00-02) and AAC frames for a sector's
  // worth of zeros. Stops at the first failure, after nMaxChecks passed
  // checks (0: none), or when a check lies at or past u64StopAt.
  void Walk(IMp4Source& src, MP4_WALK_STATE st, u64 nMaxChecks, u64 u64StopAt, bool bDeep, MP4_WALK& out) const;
  // The state at the movie's first sample.
  MP4_WALK_STATE Begin() const;

 private:
  enum KIND : u8 { KIND_OTHER, KIND_AVC, KIND_HEVC, KIND_AAC };
  struct TRACK {
    KIND nKind = KIND_OTHER;
    u8 nNalBytes = 4;    // length-prefix width of NAL units
    u8 nChannels = 0;    // AAC channel configuration
    u32 nConstSize = 0;  // every sample's size when not 0
    u32 nSamples = 0;
    size_t nSizesAt = 0; // offset of the size table in the movie bytes
    u8 nSizeBits = 32;   // its entry width (compact tables: 4, 8, 16)
  };
  struct CHUNK {
    u64 u64Offset;
    u32 nTrack;
    u32 nFirstSample;
    u32 nSamples;
  };
  bool ParseTrack(const u8* p, size_t base, size_t from, size_t to);
  u32 SampleSize(const TRACK& t, u32 k) const;
  // One sample's checks from u64Next; false on a failed check (failAt set).
  bool CheckSample(IMp4Source& src, const TRACK& t, u64 u64Sample, u64 u64End, u64& u64Next, bool bDeep,
                   u64& u64FailAt, u64& u64Checks, MP4_WALK_STATE& lastStrong, u64& u64LastStrongAt,
                   bool& bSawStrong, const MP4_WALK_STATE& here) const;

  const u8* m_p = nullptr;  // the movie bytes (owned by the caller while walks run)
  size_t m_n = 0;
  std::vector<TRACK> m_tracks;
  std::vector<CHUNK> m_chunks;  // sorted by offset
  u64 m_u64DataEnd = 0;
};

class CMp4Rebuild {
 public:
  // Whether files of nType (EXTEND_NAME_TYPE) are rebuilt from their sample tables.
  static bool Supports(int nType);
  // Rebuilds the file of nType carved at u64StartSector (u64CarvedSize bytes,
  // a bound when its length had no end). True with the pieces when the file
  // put together from them checks whole (every sample of every track in
  // place); bCutCertain false when more than one cut between the two
  // samples around the break fits the data, so the bytes there are a guess
  // (out.nIntegrity then unverified, else verified).
  static bool Reassemble(CDiskReader* pReader, int nBytesPerSector, u64 u64StartSector, u64 u64CarvedSize,
                         int nType, const std::vector<BIFRAG_RANGE>& claimed, const BIFRAG_LIMITS& limits,
                         BIFRAG_PIECES& out, bool& bCutCertain);
};
