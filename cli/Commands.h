// The commands of the torvane program. Each one takes the arguments after
// its name and returns the process exit status.
#pragma once

#include <cstdio>

enum : int {
  CLI_EXIT_OK = 0,
  CLI_EXIT_FAILED = 1,  // a target could not be read
  CLI_EXIT_USAGE = 2,   // bad command line
};

struct CLI_COMMAND {
  const char* pName;
  const char* pArgs;     // argument synopsis for the usage text
  const char* pSummary;  // one line for the usage text
  int (*pRun)(int argc, char** argv);
};

// The table lives in main.cpp; a new command is one row there plus its
// Command*.cpp file.
int RunDisksCommand(int argc, char** argv);
int RunScanCommand(int argc, char** argv);

void PrintUsage(FILE* pOut);
