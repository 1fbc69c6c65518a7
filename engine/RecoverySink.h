// Where an engine delivers a found file's bytes, first byte first. Engines
// only copy; creating, naming, counting and cleaning up are the writer's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/Status.h"

class IRecoverySink {
 public:
  virtual ~IRecoverySink() = default;
  // The next bytes of the file. 0 to go on; anything else stops the copy and
  // the engine returns it as it is.
  virtual int Write(const unsigned char* p, size_t n) = 0;
  // Zeros that are the file's content (a sparse run).
  virtual int WriteZeros(uint64_t n) = 0;
  // n bytes the disk could not give: written as zeros and remembered.
  virtual int WriteUnreadable(uint64_t n) = 0;
  // How many more bytes the sink takes; an engine stops when it reaches 0
  // (a preview wants the start of a file only).
  virtual uint64_t Wanted() const { return UINT64_MAX; }
};
