// torvane scans: the recorded scans; torvane formats: what carving finds.
#include "Commands.h"
#include "Output.h"

int RunScansCommand(int argc, char** argv) {
  CArgs args;
  int parsed = ParseCommandLine("scans", argc, argv, args);
  if (parsed >= 0) return parsed;
  if (!args.Positional().empty()) {
    Error("scans", "takes no arguments");
    return CLI_EXIT_USAGE;
  }
  std::vector<RECORDED_SCAN> scans = CScanSession::RecordedScans();
  if (scans.empty()) {
    fprintf(stderr, "No scan is recorded yet: 'torvane scan TARGET' makes one.\n");
    return CLI_EXIT_OK;
  }
  std::vector<std::vector<std::string>> rows = {{"ID", "DATE", "STATE", "RANGE", "TARGET"}};
  for (const RECORDED_SCAN& s : scans) {
    std::string state = s.bComplete ? "complete" : "stopped";
    if (!s.bComplete && s.nPercent >= 0) state += " " + std::to_string(s.nPercent) + "%";
    std::string range;
    if (s.nPartition > 0)
      range = "partition " + std::to_string(s.nPartition);
    else if (s.strRangeName == "whole disk")
      range = s.strRangeName;
    else
      range = "sectors " + std::to_string(s.u64FirstSector) + ".." +
              std::to_string(s.u64FirstSector + s.u64SectorCount - 1);
    rows.push_back({std::to_string(s.nId), LocalDateTime(s.tWhen), state, range,
                    s.strTarget.empty() ? "disk " + std::to_string(s.nDiskNo) : Printable(s.strTarget)});
  }
  PrintTable(rows, {0});
  fflush(stdout);
  return CLI_EXIT_OK;
}

int RunFormatsCommand(int argc, char** argv) {
  CArgs args;
  int parsed = ParseCommandLine("formats", argc, argv, args);
  if (parsed >= 0) return parsed;
  if (!args.Positional().empty()) {
    Error("formats", "takes no arguments");
    return CLI_EXIT_USAGE;
  }
  std::vector<std::vector<std::string>> rows = {{"EXTENSION", "CATEGORY"}};
  for (const FORMAT_INFO& f : CScanSession::CarvableFormats()) rows.push_back({f.strExt, category::Name(f.eKind)});
  PrintTable(rows, {});
  fflush(stdout);
  return CLI_EXIT_OK;
}
