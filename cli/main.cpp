// torvane: the command-line face of the recovery engine.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "Commands.h"
#include "Progress.h"
#include "engine/TextUtil.h"

#ifndef TORVANE_VERSION
#define TORVANE_VERSION "unknown"
#endif

const std::vector<OPTION_SPEC>& PlainOptions() {
  static const std::vector<OPTION_SPEC> kOptions = {{"help", 'h', nullptr, "show this help"}};
  return kOptions;
}

namespace {

const CLI_COMMAND g_Commands[] = {
    {"scan", "TARGET [--partition K] [--resume] [--recover DEST [--flat]] [--report FILE] [FILTERS]",
     "scan a disk, partition or image and record what can be recovered",
     "TARGET is a disk image file or device node (an existing path is always a path), or a disk\n"
     "as 'disk:N' or a bare number N from 'torvane disks'. The scan is recorded in the support\n"
     "folder; its number is printed at the end, for 'torvane list' and 'torvane recover'.\n"
     "With --recover the results the filters choose (deleted and lost files by default) are\n"
     "saved right away. Ctrl-C stops the scan (exit status 130; SIGTERM: 143); it stays recorded\n"
     "and '--resume' continues it.\n",
     ScanOptions, RunScanCommand},
    {"list", "[SCAN] [FILTERS]", "list the results of a recorded scan (without scanning again)",
     "SCAN is a scan number from 'torvane scans', or a disk or image (its latest scan); without it,\n"
     "the latest scan. Deleted and lost files are listed unless --live or --all says otherwise.\n"
     "Columns: ID (for --id), STATE, PART (partition within the disk), SIZE, MODIFIED (local\n"
     "time), INTEGRITY (how far the content was checked) and PATH (carved files have no folder).\n",
     ListOptions, RunListCommand},
    {"recover", "[SCAN] DEST [--flat] [--report FILE] [FILTERS]",
     "save chosen results of a recorded scan into folder DEST",
     "Each file goes to DEST/<category>/<its original folders>/<name> (carved files to\n"
     "DEST/<category>/<name>); --flat leaves the original folders out. A file already saved\n"
     "there with the same content is not saved again. DEST may not lie on the scanned disk.\n"
     "Exit status 1 when a file could not be saved at all; partial files are kept and counted.\n",
     RecoverOptions, RunRecoverCommand},
    {"disks", "[IMAGE...]", "list every disk, its partitions and their file systems",
     "IMAGE files are added as disks of their own. Partitions are numbered within their disk\n"
     "(N.I: disk N, partition I), as --partition takes them.\n",
     PlainOptions, RunDisksCommand},
    {"scans", "", "list the recorded scans: number, date, complete or not, target and range", "", PlainOptions,
     RunScansCommand},
    {"formats", "", "list every format carving can find, with its category", "", PlainOptions, RunFormatsCommand},
    {"image", "SOURCE OUT [--map FILE]", "copy a failing disk into an image file first, going on past bad sectors",
     "Readable areas are copied first in large reads; an area that fails is skipped and tried\n"
     "again later, at last sector by sector. What was read is kept in a GNU ddrescue mapfile\n"
     "(OUT.map), so a stopped run goes on from it and either tool can finish the other's work.\n"
     "Unreadable sectors are zeros in OUT; a scan of OUT reads the map beside it and treats\n"
     "them as unread. OUT is never overwritten without its map and may not lie on SOURCE.\n",
     ImageOptions, RunImageCommand},
};

bool IsHelp(const char* p) { return strcmp(p, "--help") == 0 || strcmp(p, "-h") == 0 || strcmp(p, "help") == 0; }

}  // namespace

const CLI_COMMAND* FindCommand(const std::string& name) {
  for (const CLI_COMMAND& c : g_Commands)
    if (name == c.pName) return &c;
  return nullptr;
}

void PrintCommandHelp(FILE* pOut, const CLI_COMMAND& c) {
  std::string summary = c.pSummary;
  summary[0] = static_cast<char>(toupper(static_cast<unsigned char>(summary[0])));
  fprintf(pOut, "Usage: torvane %s %s\n%s.\n", c.pName, c.pArgs, summary.c_str());
  if (*c.pDetails) fprintf(pOut, "\n%s", c.pDetails);
  fprintf(pOut, "\nOptions:\n");
  PrintOptions(pOut, c.pOptions());
}

void PrintUsage(FILE* pOut) {
  fprintf(pOut, "Usage: torvane COMMAND [ARGS...]\n\nCommands:\n");
  for (const CLI_COMMAND& c : g_Commands) fprintf(pOut, "  %-8s %s\n", c.pName, c.pSummary);
  fprintf(pOut,
          "\n'torvane help COMMAND' (or 'torvane COMMAND --help') tells more; 'torvane --version'\n"
          "gives the version. Nothing is ever written to a disk or image that is read.\n"
          "\nExit status: 0 success; 1 a disk, image, scan, file or report could not be read or\n"
          "written; 2 a bad command line; 130 stopped with Ctrl-C; 143 stopped by SIGTERM.\n");
}

int main(int argc, char** argv) {
  PinLocalTimeZone();
  InstallSignalHandlers();
  if (argc < 2) {
    PrintUsage(stderr);
    return CLI_EXIT_USAGE;
  }
  if (strcmp(argv[1], "--version") == 0 || strcmp(argv[1], "-V") == 0) {
    printf("torvane %s (Torvane Recovery)\n", TORVANE_VERSION);
    return CLI_EXIT_OK;
  }
  if (IsHelp(argv[1])) {
    if (argc == 2) {
      PrintUsage(stdout);
      return CLI_EXIT_OK;
    }
    const CLI_COMMAND* c = FindCommand(argv[2]);
    if (!c) {
      fprintf(stderr, "torvane: unknown command '%s' (see 'torvane help')\n", argv[2]);
      return CLI_EXIT_USAGE;
    }
    PrintCommandHelp(stdout, *c);
    return CLI_EXIT_OK;
  }
  if (const CLI_COMMAND* c = FindCommand(argv[1])) return c->pRun(argc - 2, argv + 2);
  fprintf(stderr, "torvane: unknown command '%s' (see 'torvane help')\n", argv[1]);
  return CLI_EXIT_USAGE;
}
