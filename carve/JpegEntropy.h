// An exact walk over the entropy-coded data of a sequential Huffman JPEG,
// with the picture's own tables. The decoder forgives what a joined file
// shows (an AC run past the block's end, a DC out of range, padding that is
// not ones, a restart interval that is short or long); this walk does not,
// and it keeps each block's DC so the join can be looked at.
#pragma once

#include <vector>

#include "carve/CarveContext.h"
#include "engine/Types.h"

// Pictures with more pixels than this are not walked (the decoder's own cap
// in the integrity check is no lower).
constexpr u64 kJpegWalkMaxPixels = 120000000;

enum JPEG_WALK_OUTCOME : int {
  JPEG_WALK_WHOLE = 0,        // every MCU decoded exactly, the scan ended on its padding, then EOI
  JPEG_WALK_BAD = 1,          // something no encoder writes, at u64BadAt
  JPEG_WALK_SHORT = 2,        // the data ran out (a marker or the end) before the MCUs did
  JPEG_WALK_UNSUPPORTED = 3,  // progressive, arithmetic, several scans, not 8-bit: not walked
};

struct JPEG_WALK {
  int nOutcome = JPEG_WALK_UNSUPPORTED;
  u64 u64BadAt = 0;     // BAD / SHORT: file offset near where it went wrong
  u64 u64End = 0;       // WHOLE: just past EOI
  u64 u64ScanStart = 0; // first byte of the entropy-coded data
  u32 nMcus = 0;        // MCUs the frame holds
  u32 nMcusDone = 0;    // MCUs decoded without fault
  u32 nRestartInterval = 0;
  // The MCU being decoded when the walk took the first byte at or past the
  // seam offset it was given (UINT32_MAX: not reached, or no seam).
  u32 nSeamMcu = UINT32_MAX;
  // How far the DC of the blocks either side of the seam departs from the
  // DC of neighbouring blocks near it: the mean difference across the seam
  // over the mean difference beside it (plus two sample levels), the worst
  // component; 0 without a seam.
  double dSeamScore = 0;
  int nSeamPairs = 0;  // block pairs across the seam the score is made of
};

class CJpegEntropy {
 public:
  // Walks the u64Size bytes the context describes (one or two pieces).
  // u64Seam: the file offset where the second piece starts (0: none).
  static JPEG_WALK Walk(CARVE_CONTEXT& ctx, u64 u64Size, u64 u64Seam);
};
