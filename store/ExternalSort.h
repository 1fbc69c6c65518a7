// Sorting more records than memory should hold: records gather in a bounded
// buffer, each full buffer is sorted and written to an unnamed temporary file
// as a run, and the runs are merged back in order with one small read buffer
// each. Many runs are first merged in groups, so the buffers stay bounded
// however many records come. Records are a key compared byte by byte
// (memcmp, shorter first on a common prefix) and a payload carried along;
// records with equal keys come back in the order they were added.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/Types.h"

class CExternalSort {
 public:
  // dir: where the temporary files live (they have no name and vanish with
  // the object). nRunBytes: the buffer's size; nRunRecords, when not 0, also
  // caps the records per run (tests make many runs from a few records).
  CExternalSort(const std::string& dir, size_t nRunBytes, size_t nRunRecords = 0);
  ~CExternalSort();
  CExternalSort(const CExternalSort&) = delete;
  CExternalSort& operator=(const CExternalSort&) = delete;

  // 0 or the status of writing a full buffer out.
  int Add(const std::string& key, const std::string& payload);
  u64 Count() const { return m_u64Count; }
  // Hands every record to visit in key order; visit answers false to stop.
  // Once only. 0 or a status.
  typedef std::function<bool(const std::string& key, const std::string& payload)> VISIT;
  int Merge(const VISIT& visit);

  // How many records a run holds, from the environment's
  // TORVANE_SORT_RUN_RECORDS (tests), else 0 for no cap.
  static size_t RunRecordsFromEnvironment();

 private:
  struct RUN {
    u64 u64Offset;
    u64 u64Bytes;
  };
  struct RECORD {
    std::string key, payload;
    u64 u64Seq;
  };
  int FlushRun();
  // Merges runs [first, last) of m_runs from fdIn, to visit or as one new run appended to fdOut.
  int MergeRuns(int fdIn, size_t nFirst, size_t nLast, const VISIT* pVisit, int fdOut, RUN* pOut);

  std::string m_strDir;
  size_t m_nRunBytes, m_nRunRecords;
  std::vector<RECORD> m_buffer;
  size_t m_nBufferBytes = 0;
  u64 m_u64Count = 0;
  int m_nFd = -1;
  u64 m_u64FileBytes = 0;
  std::vector<RUN> m_runs;
};

// An unnamed temporary file in dir (O_TMPFILE, else a named one removed at
// once), opened for reading and writing; -1 with errno set.
int OpenUnnamedTempFile(const std::string& dir);
