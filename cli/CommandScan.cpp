// torvane scan TARGET: scans a disk, partition or image and records the scan
// (its id is printed); with --recover DEST it also saves what the filters
// choose, as `torvane recover` would.
#include <signal.h>

#include <cstdlib>

#include "Commands.h"
#include "Output.h"
#include "Progress.h"
#include "engine/DiskMap.h"
#include "engine/Status.h"

const std::vector<OPTION_SPEC>& ScanOptions() {
  static const std::vector<OPTION_SPEC> kOptions = JoinOptions(
      {
          {"partition", 'p', "K", "scan partition K of the disk (as 'torvane disks' numbers them)"},
          {"resume", 0, nullptr, "continue the recorded, unfinished scan of the same range"},
          {"recover", 'r', "DEST", "then save the chosen results into folder DEST"},
          {"flat", 0, nullptr, "with --recover: DEST/<category>/<name>, without the original folders"},
          {"group-by", 0, "date", "with --recover: photos and videos into DEST/<category>/<year>/<year>-<month>/"},
          {"report", 'o', "FILE", "write the scan's results (and what was saved) as JSON to FILE"},
          {"quiet", 'q', nullptr, "no progress line and no line per saved file"},
          {"json", 0, nullptr, "print the results and the summary as JSON on standard output"},
          {"help", 'h', nullptr, "show this help"},
      },
      FilterOptions());
  return kOptions;
}

namespace {

// Tests stop a scan at a chosen point: after this many reports of the
// deep pass the process sends itself a signal (SIGINT, or the number in
// TORVANE_INTERRUPT_SIGNAL).
struct TEST_INTERRUPT {
  long nAfter = 0;
  long nSeen = 0;
  int nSignal = SIGINT;
};

}  // namespace

int RunScanCommand(int argc, char** argv) {
  const char* cmd = "scan";
  CArgs args;
  int parsed = ParseCommandLine(cmd, argc, argv, args);
  if (parsed >= 0) return parsed;
  RESULT_FILTER filter;
  std::string error;
  if (!ParseFilter(args, filter, error)) {
    Error(cmd, "%s", error.c_str());
    return CLI_EXIT_USAGE;
  }
  if (args.Positional().size() != 1) {
    Error(cmd, args.Positional().empty() ? "which disk or image? (see 'torvane help scan')"
                                         : "only one disk or image at a time");
    return CLI_EXIT_USAGE;
  }
  int partition = 0;
  if (args.Has("partition")) {
    std::string k = args.Get("partition");
    partition = k.size() <= 4 && !k.empty() && k.find_first_not_of("0123456789") == std::string::npos ? atoi(k.c_str()) : 0;
    if (partition < 1) {
      Error(cmd, "--partition takes a partition number from 1");
      return CLI_EXIT_USAGE;
    }
  }
  if (args.Has("flat") && !args.Has("recover")) {
    Error(cmd, "--flat goes with --recover");
    return CLI_EXIT_USAGE;
  }
  if (args.Has("group-by") && (args.Get("group-by") != "date" || !args.Has("recover"))) {
    Error(cmd, "--group-by takes 'date' and goes with --recover");
    return CLI_EXIT_USAGE;
  }
  RUN_OUTPUT output;
  output.bQuiet = args.Has("quiet");
  output.bJson = args.Has("json");
  output.strReport = args.Get("report");
  const std::string target = args.Positional()[0];
  const std::string dest = args.Get("recover");

  CScanSession session;
  int status = session.OpenTarget(target);
  if (status != 0) {
    Error(cmd, "cannot open '%s': %s", Printable(target).c_str(), StatusText(status).c_str());
    return CLI_EXIT_FAILED;
  }
  if (partition > 0 && session.SelectPartition(partition) != 0) {
    Error(cmd, "'%s' has no partition %d (it has %zu; see 'torvane disks %s')", Printable(target).c_str(), partition,
          session.Partitions().size(), Printable(target).c_str());
    return CLI_EXIT_FAILED;
  }
  // Everything that could fail afterwards is checked before the scan starts.
  if (args.Has("recover")) {
    status = session.PrepareDestination(dest);
    if (status != 0) {
      Error(cmd, "cannot recover into '%s': %s", Printable(dest).c_str(), StatusText(status).c_str());
      return CLI_EXIT_FAILED;
    }
  }
  if (!output.strReport.empty() && CheckReport(cmd, session, output.strReport) != CLI_EXIT_OK) return CLI_EXIT_FAILED;
  status = session.CheckSupportFolder();
  if (status != 0) {
    Error(cmd, "cannot keep the scan's record in '%s': %s", Printable(GetSupportDir()).c_str(), StatusText(status).c_str());
    return CLI_EXIT_FAILED;
  }

  const SCAN_TARGET& t = session.Target();
  bool resume = args.Has("resume");
  if (!resume)
    for (const RECORDED_SCAN& r : CScanSession::RecordedScans())
      if (!r.bComplete && r.strTarget == t.strPath && r.u64FirstSector == t.u64FirstSector &&
          r.u64SectorCount == t.u64SectorCount)
        fprintf(stderr, "Starting afresh: the unfinished scan %u of this range is replaced (--resume continues it).\n",
                r.nId);
  fprintf(stderr, "Scanning %s (%s, sectors %llu..%llu)\n", Printable(t.strPath).c_str(),
          Printable(t.strRangeName).c_str(), static_cast<unsigned long long>(t.u64FirstSector),
          static_cast<unsigned long long>(t.u64FirstSector + t.u64SectorCount - 1));

  TEST_INTERRUPT interrupt;
  if (const char* n = getenv("TORVANE_INTERRUPT_AFTER_CHUNKS")) interrupt.nAfter = atol(n);
  if (const char* s = getenv("TORVANE_INTERRUPT_SIGNAL")) interrupt.nSignal = atoi(s);
  {
    CProgressLine line(!output.bQuiet);
    CScanProgressView view(line);
    CScanSession::SCAN_OBSERVER observer = [&](const SCAN_PROGRESS& p) {
      if (p.ePhase == SCAN_PROGRESS::PHASE_DEEP && ++interrupt.nSeen == interrupt.nAfter) raise(interrupt.nSignal);
      view.Update(p);
      return StopSignal() == 0;
    };
    status = session.Scan(resume, observer);
    if (status == 0) view.Finish();
  }
  if (session.WasResumed())
    fprintf(stderr, "Resumed the recorded scan of this range.\n");
  else if (resume)
    fprintf(stderr, "Scanned afresh: %s.\n", session.ResumeRefusal().empty() ? "no scan of this range was recorded"
                                                                             : session.ResumeRefusal().c_str());
  if (session.UnreadableSectors() > 0)
    fprintf(stderr, "%llu sectors could not be read; what lay there is missing from the results.\n",
            static_cast<unsigned long long>(session.UnreadableSectors()));
  if (session.QuickPassStatus() != 0)
    fprintf(stderr, "The file system could not be read (%s); the deep scan ran anyway.\n",
            StatusText(session.QuickPassStatus()).c_str());
  u32 id = session.ScanId();
  if (status == RECOVERY_CANCELLED || StopSignal() != 0) {
    if (id)
      fprintf(stderr,
              "Scan %u stopped. 'torvane scan %s --resume' continues it; 'torvane list %u' shows what it found "
              "so far.\n",
              id, Printable(target).c_str(), id);
    else
      fprintf(stderr, "Scan stopped before anything was recorded.\n");
    return StoppedExitCode();
  }
  if (status != 0) {
    Error(cmd, "the scan of '%s' failed: %s", Printable(target).c_str(), StatusText(status).c_str());
    return CLI_EXIT_FAILED;
  }

  std::vector<RESULT_ITEM> all, chosen;
  session.Results(all);
  size_t deleted = 0;
  for (const RESULT_ITEM& r : all) {
    deleted += r.IsDeleted();
    if (MatchesFilter(filter, r)) chosen.push_back(r);
  }
  fprintf(stderr, "Scan %u recorded: %zu found (%zu deleted or lost, %zu live); 'torvane list %u' lists them.\n", id,
          all.size(), deleted, all.size() - deleted, id);
  if (args.Has("recover")) return SaveChosen(cmd, session, chosen, all.size(), dest, args.Has("flat"), args.Has("group-by"), output);
  return ReportListing(cmd, session, chosen, all.size(), output);
}
