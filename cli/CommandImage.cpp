// torvane image: a copy of a failing disk first, then scans of the copy.
#include <cinttypes>

#include "Commands.h"
#include "Output.h"
#include "Progress.h"
#include "engine/Status.h"
#include "scan/DiskImager.h"

const std::vector<OPTION_SPEC>& ImageOptions() {
  static const std::vector<OPTION_SPEC> kOptions = {
      {"map", 'm', "FILE", "the mapfile of what was read (default OUT.map); a run goes on from it"},
      {"quiet", 'q', nullptr, "no progress line"},
      {"help", 'h', nullptr, "show this help"}};
  return kOptions;
}

int RunImageCommand(int argc, char** argv) {
  CArgs args;
  int parsed = ParseCommandLine("image", argc, argv, args);
  if (parsed >= 0) return parsed;
  if (args.Positional().size() != 2) {
    Error("image", "needs a SOURCE and an OUT image file");
    return CLI_EXIT_USAGE;
  }
  const std::string source = args.Positional()[0], out = args.Positional()[1];
  CDiskImager imager;
  int status = imager.Open(source, out, args.Get("map"));
  if (status == EEXIST) {
    Error("image", "'%s' exists and has no map beside it: it is never overwritten; name another file",
          Printable(out).c_str());
    return CLI_EXIT_FAILED;
  }
  if (status != 0) {
    Error("image", "cannot image '%s' into '%s': %s", Printable(source).c_str(), Printable(out).c_str(),
          StatusText(status).c_str());
    return CLI_EXIT_FAILED;
  }
  if (imager.Resumed())
    fprintf(stderr, "Going on from the map %s\n", Printable(imager.MapPath()).c_str());
  InstallSignalHandlers();
  CProgressLine line(!args.Has("quiet"));
  status = imager.Run([&line](const IMAGE_PROGRESS& p) {
    if (line.Due(false)) {
      char text[256];
      snprintf(text, sizeof(text), "pass %d  %s of %s read  %.1f MB/s  %u bad areas (%s)", p.nPass,
               HumanSize(p.u64Rescued).c_str(), HumanSize(p.u64Bytes).c_str(), p.dBytesPerSecond / 1e6, p.nBadAreas,
               HumanSize(p.u64BadBytes).c_str());
      line.Show(text);
    }
    return StopSignal() == 0;
  });
  line.Clear();
  IMAGE_PROGRESS p = imager.Progress();
  if (status == RECOVERY_CANCELLED) {
    fprintf(stderr, "Stopped; %s of %s read. The same command goes on from %s.\n", HumanSize(p.u64Rescued).c_str(),
            HumanSize(p.u64Bytes).c_str(), Printable(imager.MapPath()).c_str());
    return StoppedExitCode();
  }
  if (status != 0) {
    Error("image", "the image could not be written: %s", StatusText(status).c_str());
    return CLI_EXIT_FAILED;
  }
  if (p.u64BadBytes == 0) {
    printf("Imaged %s of %s into %s; every sector was read. Map: %s\n", Printable(imager.SourcePath()).c_str(),
           HumanSize(p.u64Bytes).c_str(), Printable(out).c_str(), Printable(imager.MapPath()).c_str());
  } else {
    printf("Imaged %s into %s: %" PRIu64 " unreadable sectors in %u areas are zeros in the image and listed in %s;\n"
           "scans of the image treat them as unread.\n",
           Printable(imager.SourcePath()).c_str(), Printable(out).c_str(), p.u64BadBytes / 512, p.nBadAreas,
           Printable(imager.MapPath()).c_str());
  }
  return CLI_EXIT_OK;
}
