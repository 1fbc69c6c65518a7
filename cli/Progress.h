// Stopping and progress: Ctrl-C and SIGTERM ask the work to stop (a scan
// stays recorded and resumable), and one status line on standard error
// shows how far it got.
#pragma once

#include <deque>
#include <string>

#include "scan/ScanSession.h"

// The first SIGINT or SIGTERM asks the work to stop; a second one ends the
// program at once. SIGPIPE is ignored: a closed pipe is a failed write.
void InstallSignalHandlers();
// 0, or the signal that asked to stop.
int StopSignal();
// 130 after SIGINT, 143 after SIGTERM.
int StoppedExitCode();

// One status line on standard error. On a terminal it is redrawn in place at
// most five times a second and erased cleanly; elsewhere it is a new line
// every few seconds.
class CProgressLine {
 public:
  explicit CProgressLine(bool bEnabled);
  ~CProgressLine();
  CProgressLine(const CProgressLine&) = delete;
  CProgressLine& operator=(const CProgressLine&) = delete;

  bool Terminal() const { return m_bTerminal; }
  // Whether a line shown now would be printed (bForce: always, when enabled).
  bool Due(bool bForce) const;
  void Show(const std::string& text);
  // Erases the line on a terminal (before other output, and at the end).
  void Clear();

 private:
  bool m_bEnabled;
  bool m_bTerminal;
  bool m_bShown;
  u64 m_u64LastMs;
};

// Erases the progress line in use, if any.
void ClearProgressLine();
// Milliseconds of a monotonic clock.
u64 NowMs();

// The scan's line: percent (never backwards), bytes read of the pass, MB/s,
// elapsed time, an estimate from a moving average of this run's rate, and
// the number found.
class CScanProgressView {
 public:
  explicit CScanProgressView(CProgressLine& line);
  void Update(const SCAN_PROGRESS& p);
  void Finish();

 private:
  struct SAMPLE {
    u64 u64Ms;
    u64 u64Sectors;
  };
  std::string Text(const SCAN_PROGRESS& p, u64 u64Now) const;
  double Rate() const;  // bytes per second of the pass, 0 while unknown

  CProgressLine& m_line;
  u64 m_u64StartMs;
  int m_nPercent;
  SCAN_PROGRESS::PHASE m_ePhase;
  std::deque<SAMPLE> m_samples;
  SCAN_PROGRESS m_last;
};

// The recovery's line: files done of all, bytes written, elapsed time.
class CSaveProgressView {
 public:
  explicit CSaveProgressView(CProgressLine& line);
  void Update(size_t nDone, size_t nTotal, const SAVE_OUTCOME* pOutcome);

 private:
  CProgressLine& m_line;
  u64 m_u64StartMs;
  u64 m_u64Bytes;
};
