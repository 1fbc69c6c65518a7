// What every two-piece search shares: sector reads through one window, the
// sectors other files hold, the time and work budget of one file, the loop
// over the continuations that follow one first piece past a gap of whole
// clusters, and the verdict on what was found. A format supplies how its
// data is seen to go on across a seam (TryPair) and how a file of its own
// stored whole in the gap is told (WholeFileSectors).
#pragma once

#include <memory>
#include <vector>

#include "carve/Bifragment.h"
#include "carve/CarveContext.h"
#include "carve/CarveFormat.h"

namespace bifrag_detail {

// Bytes read from the disk per step of a walk.
constexpr u64 kStepBytes = 64 * 1024;
// Bytes past the seam a continuation must check cleanly before a file
// whose end was not found is kept as reassembled up to where it fails.
constexpr u64 kMinPartialSpan = 4096;
// Bytes of candidate continuations walked for one file, all candidates together.
constexpr u64 kMaxWalkBytes = 256ull * 1024 * 1024;

// Sector reads through one 64 KiB window: a read inside the window is
// served from it.
class CSectorSource {
 public:
  CSectorSource(CDiskReader* pReader, int ss);
  // Sectors from `sector` on (at most to the window's end); null at the
  // range's end or on failure. The pointer is good until the next call.
  const u8* Read(u64 sector, u64& bytes);
  // n bytes at an absolute disk byte; false when any cannot be read.
  bool Bytes(u64 u64DiskByte, u8* pOut, size_t n);

 private:
  CDiskReader* m_pReader;
  u64 m_ss;
  std::unique_ptr<u8[]> m_buf;
  const u8* m_data = nullptr;  // the window: m_buf, or where the pass holds the sectors
  u64 m_first = 0;  // the window's first sector
  u64 m_count = 0;  // sectors in it (0: empty)
};

bool Claimed(const std::vector<BIFRAG_RANGE>& claimed, u64 sector);

// How one pairing of a first piece and a candidate second piece went.
enum PAIR_OUTCOME {
  PAIR_NONE,     // does not go on there
  PAIR_FULL,     // goes on cleanly to the file's end (end: the reassembled length)
  PAIR_UNSURE,   // reaches the end, but short of what a verified join needs
  PAIR_PARTIAL,  // goes on cleanly well past the seam, then fails (end: as far as it goes)
};

class CPieceSearch {
 public:
  CPieceSearch(CDiskReader* pReader, int ss, u64 start, int type, const std::vector<BIFRAG_RANGE>& claimed,
               const BIFRAG_LIMITS& limits);
  virtual ~CPieceSearch() = default;
  CPieceSearch(const CPieceSearch&) = delete;
  CPieceSearch& operator=(const CPieceSearch&) = delete;

 protected:
  struct FOUND {
    u64 u64FirstPieceBytes = 0;
    u64 u64SecondPieceSector = 0;
    u64 u64Size = 0;  // 0: none
  };

  // Sectors of a file of the searched format stored whole from `sector` on
  // (head: the bytes read there, n of them); 0 when none starts there.
  virtual u64 WholeFileSectors(u64 sector, const u8* pHead, u64 n) = 0;
  // Whether the file goes on from its first firstBytes into the sectors
  // from `sector` on; end as PAIR_OUTCOME says.
  virtual PAIR_OUTCOME TryPair(u64 firstBytes, u64 sector, u64& end) = 0;

  // Candidates for one first piece, at cluster steps past it up to the
  // largest gap; -1 when the search is over (out of budget, or two
  // continuations both go on to the end).
  int TrySecondPieces(u64 firstBytes);
  // The verdict: verified only for the one continuation that goes on to
  // the end when the whole reassembled file passes its format's check.
  bool Decide(BIFRAG_PIECES& out);

  bool OutOfBudget() const;
  // The format's checker on a context (counted against the budget).
  CARVE_VERDICT Decode(CARVE_CONTEXT& ctx, u64 size);
  CARVE_CONTEXT PiecesContext(u64 firstBytes, u64 sector) const;
  // The first piece's ends are tried at this step from the file's start.
  u64 Step() const { return m_limits.nClusterBytes >= m_ss ? m_limits.nClusterBytes : m_ss; }
  // n bytes at file offset off of the file put together from the first
  // firstBytes and the sectors from `sector` on.
  bool PairBytes(u64 firstBytes, u64 sector, u64 off, u8* pOut, size_t n);

  CDiskReader* m_pReader;
  u64 m_ss;
  u64 m_start;
  int m_type;
  std::vector<BIFRAG_RANGE> m_claimed;
  BIFRAG_LIMITS m_limits;
  CSectorSource m_src;
  u64 m_t0;  // the thread's processor time in ms when the search began
  int m_decodes = 0;
  u64 m_walked = 0;
  FOUND m_full;     // the first continuation that goes on whole
  int m_nFull = 0;
  FOUND m_unsure;   // goes on whole, short of a verified join
  FOUND m_partial;  // the nearest that goes on cleanly well past the seam
};

// The searches of the formats besides JPEG (PngPieces.cpp, ZipPieces.cpp).
bool SearchPng(CDiskReader* pReader, int ss, u64 start, u64 carved, int type, const std::vector<BIFRAG_RANGE>& claimed,
               const BIFRAG_LIMITS& limits, BIFRAG_PIECES& out);
bool SearchZip(CDiskReader* pReader, int ss, u64 start, u64 carved, int type, const std::vector<BIFRAG_RANGE>& claimed,
               const BIFRAG_LIMITS& limits, BIFRAG_PIECES& out);

}  // namespace bifrag_detail
