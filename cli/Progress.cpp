#include "Progress.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "Output.h"

namespace {

volatile sig_atomic_t g_nStopSignal = 0;
CProgressLine* g_pActiveLine = nullptr;

// Terminal redraws at most this often; other outputs get a line this often.
constexpr u64 kTerminalMs = 200;
constexpr u64 kLogMs = 5000;
// The estimate looks back this far over the run's rate.
constexpr u64 kRateWindowMs = 10000;
constexpr u64 kMinRateSpanMs = 500;

void OnStop(int sig) {
  if (!g_nStopSignal) g_nStopSignal = sig;
}

int TerminalColumns() {
  struct winsize ws;
  if (ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 10) return ws.ws_col;
  return 80;
}

}  // namespace

void InstallSignalHandlers() {
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = OnStop;
  sa.sa_flags = SA_RESETHAND;  // a second signal takes the default action
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int StopSignal() { return g_nStopSignal; }
int StoppedExitCode() { return 128 + (g_nStopSignal ? g_nStopSignal : SIGINT); }

u64 NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<u64>(ts.tv_sec) * 1000 + static_cast<u64>(ts.tv_nsec) / 1000000;
}

CProgressLine::CProgressLine(bool bEnabled)
    : m_bEnabled(bEnabled), m_bTerminal(isatty(2) != 0), m_bShown(false), m_u64LastMs(NowMs()) {
  if (m_bEnabled) g_pActiveLine = this;
}

CProgressLine::~CProgressLine() {
  Clear();
  if (g_pActiveLine == this) g_pActiveLine = nullptr;
}

bool CProgressLine::Due(bool bForce) const {
  if (!m_bEnabled) return false;
  if (bForce) return true;
  return NowMs() - m_u64LastMs >= (m_bTerminal ? kTerminalMs : kLogMs);
}

void CProgressLine::Show(const std::string& text) {
  if (!m_bEnabled) return;
  m_u64LastMs = NowMs();
  if (m_bTerminal) {
    // Cut to the terminal's width: a wrapped line cannot be redrawn in place.
    std::string shown = text.substr(0, static_cast<size_t>(TerminalColumns() - 1));
    fprintf(stderr, "\r%s\x1b[K", shown.c_str());
    m_bShown = true;
  } else {
    fprintf(stderr, "%s\n", text.c_str());
  }
  fflush(stderr);
}

void CProgressLine::Clear() {
  if (m_bTerminal && m_bShown) {
    fputs("\r\x1b[K", stderr);
    fflush(stderr);
  }
  m_bShown = false;
}

void ClearProgressLine() {
  if (g_pActiveLine) g_pActiveLine->Clear();
}

CScanProgressView::CScanProgressView(CProgressLine& line)
    : m_line(line), m_u64StartMs(NowMs()), m_nPercent(0), m_ePhase(SCAN_PROGRESS::PHASE_QUICK) {}

double CScanProgressView::Rate() const {
  if (m_samples.size() < 2) return 0;
  const SAMPLE& a = m_samples.front();
  const SAMPLE& b = m_samples.back();
  if (b.u64Ms - a.u64Ms < kMinRateSpanMs || b.u64Sectors < a.u64Sectors) return 0;
  return static_cast<double>(b.u64Sectors - a.u64Sectors) * 512.0 * 1000.0 / static_cast<double>(b.u64Ms - a.u64Ms);
}

void CScanProgressView::Update(const SCAN_PROGRESS& p) {
  u64 now = NowMs();
  bool phaseChanged = p.ePhase != m_ePhase;
  m_ePhase = p.ePhase;
  if (p.nPercent > m_nPercent) m_nPercent = p.nPercent;
  m_last = p;
  if (p.ePhase == SCAN_PROGRESS::PHASE_DEEP) {
    // Samples of this run only: a resumed scan starts counting where it
    // resumed, so its estimate is there at once and right.
    if (m_samples.empty() || now - m_samples.back().u64Ms >= 100) m_samples.push_back({now, p.u64SectorsDone});
    while (m_samples.size() > 2 && now - m_samples.front().u64Ms > kRateWindowMs) m_samples.pop_front();
  }
  if (p.ePhase == SCAN_PROGRESS::PHASE_DONE) return;  // Finish() says it
  if (!m_line.Due(phaseChanged)) return;
  m_line.Show(Text(p, now));
}

void CScanProgressView::Finish() {
  if (!m_line.Terminal() && m_line.Due(true)) {
    SCAN_PROGRESS p = m_last;
    p.ePhase = SCAN_PROGRESS::PHASE_DONE;
    m_line.Show(Text(p, NowMs()));
  }
  m_line.Clear();
}

std::string CScanProgressView::Text(const SCAN_PROGRESS& p, u64 u64Now) const {
  char buf[256];
  std::string elapsed = Duration((u64Now - m_u64StartMs) / 1000);
  int percent = p.ePhase == SCAN_PROGRESS::PHASE_DONE ? 100 : m_nPercent;
  if (p.ePhase == SCAN_PROGRESS::PHASE_DONE) {
    snprintf(buf, sizeof(buf), "100%%  scan finished  elapsed %s  found %llu", elapsed.c_str(),
             static_cast<unsigned long long>(p.u64Found));
    return buf;
  }
  if (p.ePhase == SCAN_PROGRESS::PHASE_QUICK) {
    snprintf(buf, sizeof(buf), "%3d%%  reading file-system metadata  elapsed %s", percent, elapsed.c_str());
    return buf;
  }
  std::string where;
  if (m_line.Terminal())
    where = HumanSize(p.u64SectorsDone * 512) + " of " + HumanSize(p.u64SectorsTotal * 512);
  else
    where = "sectors " + std::to_string(p.u64SectorsDone) + "/" + std::to_string(p.u64SectorsTotal);
  double rate = Rate();
  std::string speed = rate > 0 ? HumanSize(static_cast<u64>(rate)) + "/s" : std::string("-- MB/s");
  std::string left = "--:--";
  if (rate > 0 && p.u64SectorsTotal >= p.u64SectorsDone)
    left = Duration(static_cast<u64>(static_cast<double>(p.u64SectorsTotal - p.u64SectorsDone) * 512.0 / rate));
  snprintf(buf, sizeof(buf), "%3d%%  %s  %s  elapsed %s  left %s  found %llu", percent, where.c_str(), speed.c_str(),
           elapsed.c_str(), left.c_str(), static_cast<unsigned long long>(p.u64Found));
  std::string text = buf;
  if (p.u64Unreadable) text += "  unreadable " + std::to_string(p.u64Unreadable);
  return text;
}

CSaveProgressView::CSaveProgressView(CProgressLine& line) : m_line(line), m_u64StartMs(NowMs()), m_u64Bytes(0) {}

void CSaveProgressView::Update(size_t nDone, size_t nTotal, const SAVE_OUTCOME* pOutcome) {
  if (pOutcome) m_u64Bytes += pOutcome->result.u64Written;
  if (!m_line.Due(false)) return;
  char buf[160];
  snprintf(buf, sizeof(buf), "saving %zu of %zu  %s written  elapsed %s", nDone, nTotal, HumanSize(m_u64Bytes).c_str(),
           Duration((NowMs() - m_u64StartMs) / 1000).c_str());
  m_line.Show(buf);
}
