// torvane list [SCAN] and torvane recover [SCAN] DEST: the results of a
// recorded scan, listed or saved, without scanning again.
#include "Commands.h"
#include "Output.h"
#include "Progress.h"

const std::vector<OPTION_SPEC>& ListOptions() {
  static const std::vector<OPTION_SPEC> kOptions = JoinOptions(
      {
          {"json", 0, nullptr, "print the results as JSON instead of a table"},
          {"help", 'h', nullptr, "show this help"},
      },
      FilterOptions());
  return kOptions;
}

const std::vector<OPTION_SPEC>& RecoverOptions() {
  static const std::vector<OPTION_SPEC> kOptions = JoinOptions(
      {
          {"flat", 0, nullptr, "DEST/<category>/<name>, without the original folders"},
          {"group-by", 0, "date", "photos and videos into DEST/<category>/<year>/<year>-<month>/"},
          {"report", 'o', "FILE", "write the results and what became of each as JSON to FILE"},
          {"quiet", 'q', nullptr, "no progress line and no line per saved file"},
          {"json", 0, nullptr, "print the results and the summary as JSON on standard output"},
          {"help", 'h', nullptr, "show this help"},
      },
      FilterOptions());
  return kOptions;
}

namespace {

// Opens the scan, lists its results and picks those the filters match.
int LoadChosen(const char* cmd, const CArgs& args, const std::string& which, CScanSession& session,
               std::vector<RESULT_ITEM>& chosen, size_t& nFound) {
  RESULT_FILTER filter;
  std::string error;
  if (!ParseFilter(args, filter, error)) {
    Error(cmd, "%s", error.c_str());
    return CLI_EXIT_USAGE;
  }
  int code = OpenNamedScan(cmd, session, which);
  if (code != CLI_EXIT_OK) return code;
  std::vector<RESULT_ITEM> all;
  session.Results(all);
  nFound = all.size();
  for (RESULT_ITEM& r : all)
    if (MatchesFilter(filter, r)) chosen.push_back(std::move(r));
  return -1;
}

}  // namespace

int RunListCommand(int argc, char** argv) {
  const char* cmd = "list";
  CArgs args;
  int parsed = ParseCommandLine(cmd, argc, argv, args);
  if (parsed >= 0) return parsed;
  if (args.Positional().size() > 1) {
    Error(cmd, "one scan at a time (see 'torvane help list')");
    return CLI_EXIT_USAGE;
  }
  CScanSession session;
  std::vector<RESULT_ITEM> chosen;
  size_t found = 0;
  int code = LoadChosen(cmd, args, args.Positional().empty() ? "" : args.Positional()[0], session, chosen, found);
  if (code >= 0) return code;
  if (args.Has("json")) {
    RUN_OUTPUT output;
    output.bJson = true;
    return ReportListing(cmd, session, chosen, found, output);
  }
  const SCAN_TARGET& t = session.Target();
  fprintf(stderr, "Scan %u of %s (%s): %zu of its %zu results\n", session.ScanId(), Printable(t.strPath).c_str(),
          Printable(t.strRangeName).c_str(), chosen.size(), found);
  PrintResults(chosen);
  fflush(stdout);
  return CLI_EXIT_OK;
}

int RunRecoverCommand(int argc, char** argv) {
  const char* cmd = "recover";
  CArgs args;
  int parsed = ParseCommandLine(cmd, argc, argv, args);
  if (parsed >= 0) return parsed;
  const std::vector<std::string>& pos = args.Positional();
  if (pos.empty() || pos.size() > 2) {
    Error(cmd, pos.empty() ? "into which folder? (see 'torvane help recover')" : "too many arguments: [SCAN] DEST");
    return CLI_EXIT_USAGE;
  }
  if (args.Has("group-by") && args.Get("group-by") != "date") {
    Error(cmd, "--group-by takes 'date'");
    return CLI_EXIT_USAGE;
  }
  RUN_OUTPUT output;
  output.bQuiet = args.Has("quiet");
  output.bJson = args.Has("json");
  output.strReport = args.Get("report");
  const std::string dest = pos.back();
  CScanSession session;
  std::vector<RESULT_ITEM> chosen;
  size_t found = 0;
  int code = LoadChosen(cmd, args, pos.size() == 2 ? pos[0] : "", session, chosen, found);
  if (code >= 0) return code;
  int status = session.PrepareDestination(dest);
  if (status != 0) {
    Error(cmd, "cannot recover into '%s': %s", Printable(dest).c_str(), StatusText(status).c_str());
    return CLI_EXIT_FAILED;
  }
  if (!output.strReport.empty() && CheckReport(cmd, session, output.strReport) != CLI_EXIT_OK) return CLI_EXIT_FAILED;
  if (chosen.empty()) fprintf(stderr, "No result of scan %u matches the filters.\n", session.ScanId());
  return SaveChosen(cmd, session, chosen, found, dest, args.Has("flat"), args.Has("group-by"), output);
}
