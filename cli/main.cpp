// torvane: the command-line face of the recovery engine.
#include <cstdio>
#include <cstring>

#include "Commands.h"

namespace {

const CLI_COMMAND g_Commands[] = {
    {"disks", "[IMAGE...]",
     "list every disk and its partitions; IMAGE files are added as disks of their own", RunDisksCommand},
    {"scan", "TARGET [--partition K] [--types LIST] [--recover DIR] [--report FILE] [--resume]",
     "deep-scan a disk or image, list what can be recovered, optionally save it", RunScanCommand},
};

bool IsHelp(const char* p) { return strcmp(p, "--help") == 0 || strcmp(p, "-h") == 0 || strcmp(p, "help") == 0; }

}  // namespace

void PrintUsage(FILE* pOut) {
  fprintf(pOut, "Usage: torvane COMMAND [ARGS...]\n\nCommands:\n");
  for (const CLI_COMMAND& c : g_Commands) fprintf(pOut, "  %s %s\n      %s\n", c.pName, c.pArgs, c.pSummary);
  fprintf(pOut,
          "\nDisks are numbered as the program sees them: TORVANE_DISKS (colon-separated image\n"
          "files or devices) when set, else the machine's whole disks. Nothing is ever written\n"
          "to a disk or image that is read.\n"
          "\nExit status: 0 success, 1 a disk or image could not be read (or a file could not be saved),\n2 bad command line, 130 stopped with Ctrl-C.\n");
}

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return CLI_EXIT_USAGE;
  }
  if (IsHelp(argv[1])) {
    PrintUsage(stdout);
    return CLI_EXIT_OK;
  }
  for (const CLI_COMMAND& c : g_Commands)
    if (strcmp(argv[1], c.pName) == 0) return c.pRun(argc - 2, argv + 2);
  fprintf(stderr, "torvane: unknown command '%s' (see torvane --help)\n", argv[1]);
  return CLI_EXIT_USAGE;
}
