// The commands of the torvane program and what they share. Each command
// takes the arguments after its name and returns the process exit status.
// They parse, display and call the scan session; the recovery work is the
// session's.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "Args.h"
#include "scan/ScanSession.h"

enum : int {
  CLI_EXIT_OK = 0,
  CLI_EXIT_FAILED = 1,  // a target, scan, file or report could not be read or written
  CLI_EXIT_USAGE = 2,   // bad command line
};

struct CLI_COMMAND {
  const char* pName;
  const char* pArgs;      // argument synopsis
  const char* pSummary;   // one line for the command list
  const char* pDetails;   // more for the command's own help ("" when none)
  const std::vector<OPTION_SPEC>& (*pOptions)();
  int (*pRun)(int argc, char** argv);
};

// The table lives in main.cpp; a new command is one row there plus its
// Command*.cpp file.
const CLI_COMMAND* FindCommand(const std::string& name);
void PrintCommandHelp(FILE* pOut, const CLI_COMMAND& c);
void PrintUsage(FILE* pOut);

int RunScanCommand(int argc, char** argv);
int RunListCommand(int argc, char** argv);
int RunRecoverCommand(int argc, char** argv);
int RunDisksCommand(int argc, char** argv);
int RunScansCommand(int argc, char** argv);
int RunFormatsCommand(int argc, char** argv);
int RunImageCommand(int argc, char** argv);

// Each command's options (functions, so tables in other files are ready).
const std::vector<OPTION_SPEC>& ScanOptions();
const std::vector<OPTION_SPEC>& ListOptions();
const std::vector<OPTION_SPEC>& RecoverOptions();
const std::vector<OPTION_SPEC>& PlainOptions();  // --help only
const std::vector<OPTION_SPEC>& ImageOptions();

// Parses a command's line; prints the problem and its usage on failure.
// Returns -1 to go on, else the exit status (0 after --help).
int ParseCommandLine(const char* pCommand, int argc, char** argv, CArgs& args);
// "torvane COMMAND: message" on standard error.
void Error(const char* pCommand, const char* pFormat, ...) __attribute__((format(printf, 2, 3)));

// The filter options shared by scan, list and recover ("--types photo" ...).
const std::vector<OPTION_SPEC>& FilterOptions();
// a + b, for a command's table built from shared ones.
std::vector<OPTION_SPEC> JoinOptions(const std::vector<OPTION_SPEC>& a, const std::vector<OPTION_SPEC>& b);
// False with a message when a filter's value is wrong.
bool ParseFilter(const CArgs& args, RESULT_FILTER& filter, std::string& error);

// The recorded scan a command names: a target's path (its latest scan), a
// scan id, or "" for the latest scan of all. Prints why on failure and
// returns the exit status, 0 when the session holds the scan.
int OpenNamedScan(const char* pCommand, CScanSession& session, const std::string& which);

// What --quiet and --json ask of a run's output.
struct RUN_OUTPUT {
  bool bQuiet = false;
  bool bJson = false;
  std::string strReport;  // --report FILE, "" for none
};

// Saves the chosen results into dest with a line per file, a summary and
// the report; returns the exit status. bGroupByDate: photos and videos into
// <category>/<year>/<year>-<month>/.
int SaveChosen(const char* pCommand, CScanSession& session, const std::vector<RESULT_ITEM>& chosen,
               size_t nFound, const std::string& dest, bool bFlat, bool bGroupByDate, const RUN_OUTPUT& output);
// Writes the report (when asked for) and the JSON on standard output (with
// --json) of a run that saved nothing; returns the exit status.
int ReportListing(const char* pCommand, CScanSession& session, const std::vector<RESULT_ITEM>& items,
                  size_t nFound, const RUN_OUTPUT& output);
// The report path, refused before any work when it cannot be written.
int CheckReport(const char* pCommand, const CScanSession& session, const std::string& path);
