// What scan, list and recover share: the filter options, naming a recorded
// scan, saving with a line per file and a summary, and the report.
#include <errno.h>
#include <sys/stat.h>
#include <time.h>

#include <cctype>
#include <cstdarg>
#include <cstring>
#include <cstdlib>
#include <map>

#include "Commands.h"
#include "Output.h"
#include "Progress.h"
#include "engine/SafeFs.h"
#include "engine/Status.h"

namespace {

// Failures and partial saves named one by one in the summary; the rest are
// counted (the report and --json have them all).
constexpr size_t kListedProblems = 20;
// --id asks for at most this many results (each costs a set entry).
constexpr size_t kMaxIds = 1000000;

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    std::string word = text.substr(pos, comma - pos);
    while (!word.empty() && word.front() == ' ') word.erase(0, 1);
    while (!word.empty() && word.back() == ' ') word.pop_back();
    if (!word.empty()) out.push_back(word);
    pos = comma + 1;
  }
  return out;
}

bool ParseUnsigned(const std::string& s, u64& out) {
  if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos) return false;
  out = strtoull(s.c_str(), nullptr, 10);
  return true;
}

// "1500", "64K", "1.5M", "2G", "1T" (binary units; a trailing "B" or "iB" is allowed).
bool ParseSize(std::string s, u64& out) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (s.size() > 2 && s.compare(s.size() - 2, 2, "IB") == 0) s.resize(s.size() - 2);
  else if (s.size() > 1 && s.back() == 'B' && !isdigit(static_cast<unsigned char>(s[s.size() - 2]))) s.pop_back();
  double scale = 1;
  if (!s.empty() && strchr("KMGT", s.back())) {
    scale = s.back() == 'K' ? 1024.0 : s.back() == 'M' ? 1048576.0 : s.back() == 'G' ? 1073741824.0 : 1099511627776.0;
    s.pop_back();
  }
  if (s.empty() || s.find_first_not_of("0123456789.") != std::string::npos) return false;
  char* end = nullptr;
  double v = strtod(s.c_str(), &end);
  if (!end || *end || v < 0 || v * scale > 1.8e19) return false;
  out = static_cast<u64>(v * scale);
  return true;
}

// YYYY-MM-DD as the start of that day, local time (bUtc: as recorded, the
// way cameras keep their clock).
bool ParseDate(const std::string& s, i64& out, bool bUtc = false) {
  int y = 0, m = 0, d = 0;
  char tail = 0;
  if (s.size() != 10 || sscanf(s.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3) return false;
  if (y < 1970 || m < 1 || m > 12 || d < 1 || d > 31) return false;
  struct tm tm = {};
  tm.tm_year = y - 1900;
  tm.tm_mon = m - 1;
  tm.tm_mday = d;
  tm.tm_isdst = -1;
  time_t t = bUtc ? timegm(&tm) : mktime(&tm);
  if (t == static_cast<time_t>(-1) || tm.tm_mday != d) return false;  // 2023-02-30 rolls over
  out = static_cast<i64>(t);
  return true;
}

bool ParseIntegrities(const std::string& text, std::set<int>& out) {
  static const int kAll[] = {INTEGRITY_UNVERIFIED, INTEGRITY_VERIFIED, INTEGRITY_PARTIAL, INTEGRITY_BROKEN};
  std::vector<std::string> words = SplitList(text);
  if (words.empty()) return false;
  for (const std::string& w : words) {
    bool known = false;
    for (int v : kAll)
      if (w == IntegrityName(v)) {
        out.insert(v);
        known = true;
      }
    if (!known) return false;
  }
  return true;
}

bool IsDigits(const std::string& s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos; }

bool ScanComplete(const CScanSession& session) {
  for (const RECORDED_SCAN& s : CScanSession::RecordedScans())
    if (s.nId == session.ScanId()) return s.bComplete;
  return false;
}

}  // namespace

const std::vector<OPTION_SPEC>& FilterOptions() {
  static const std::vector<OPTION_SPEC> kOptions = {
    {"types", 't', "LIST", "categories: photo,music,document,video,archive,other"},
    {"type", 0, "LIST", "the same as --types"},
    {"ext", 0, "LIST", "extensions: jpg,png,..."},
    {"name", 0, "GLOB", "names matching a pattern (\"*.jpg\", \"IMG_*\"), any case"},
    {"path", 0, "GLOB", "folder and name matching a pattern (\"/DCIM/*\")"},
    {"min-size", 0, "SIZE", "at least SIZE bytes (K, M, G, T suffixes)"},
    {"max-size", 0, "SIZE", "at most SIZE bytes"},
    {"after", 0, "DATE", "modified on or after DATE (YYYY-MM-DD, local time)"},
    {"before", 0, "DATE", "modified before DATE"},
    {"deleted", 0, nullptr, "deleted and lost files only (the default)"},
    {"live", 0, nullptr, "files the file system still lists only"},
    {"all", 0, nullptr, "deleted and live files"},
    {"integrity", 0, "LIST", "verdicts: verified,partial,broken,unverified"},
    {"only", 0, "LIST", "the same as --integrity (\"--only verified\")"},
    {"skip", 0, "LIST", "leave out these verdicts (\"--skip broken\")"},
    {"id", 0, "LIST", "results by their listing number: 3,7,10-20"},
    {"min-width", 0, "PIXELS", "pictures and videos at least PIXELS wide (from the file's own metadata)"},
    {"min-height", 0, "PIXELS", "pictures and videos at least PIXELS high"},
    {"taken-after", 0, "DATE", "taken or created on or after DATE, as the file itself says (YYYY-MM-DD)"},
    {"taken-before", 0, "DATE", "taken or created before DATE"},
    {"skip-thumbnails", 0, nullptr, "leave out pictures under 256x256 found inside another picture"},
  };
  return kOptions;
}

std::vector<OPTION_SPEC> JoinOptions(const std::vector<OPTION_SPEC>& a, const std::vector<OPTION_SPEC>& b) {
  std::vector<OPTION_SPEC> out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

void Error(const char* pCommand, const char* pFormat, ...) {
  ClearProgressLine();
  fprintf(stderr, "torvane %s: ", pCommand);
  va_list args;
  va_start(args, pFormat);
  vfprintf(stderr, pFormat, args);
  va_end(args);
  fputc('\n', stderr);
}

int ParseCommandLine(const char* pCommand, int argc, char** argv, CArgs& args) {
  const CLI_COMMAND* c = FindCommand(pCommand);
  std::string error;
  if (!args.Parse(argc, argv, c->pOptions(), error)) {
    Error(pCommand, "%s (see 'torvane help %s')", error.c_str(), pCommand);
    return CLI_EXIT_USAGE;
  }
  if (args.Has("help")) {
    PrintCommandHelp(stdout, *c);
    return CLI_EXIT_OK;
  }
  return -1;
}

bool ParseFilter(const CArgs& args, RESULT_FILTER& f, std::string& error) {
  f = RESULT_FILTER();
  f.eState = RESULT_FILTER::STATE_DELETED;
  if (args.Has("types") || args.Has("type")) {
    std::string text = args.Has("types") ? args.Get("types") : args.Get("type");
    bool chosen[category::COUNT];
    if (!category::ParseList(text, chosen)) {
      error = "--types takes photo, music, document, video, archive, other (not '" + Printable(text) + "')";
      return false;
    }
    for (int k = 0; k < category::COUNT; ++k)
      if (chosen[k]) f.kinds.insert(k);
    if (f.kinds.empty()) {
      error = "--types needs at least one of photo, music, document, video, archive, other";
      return false;
    }
  }
  if (args.Has("ext")) {
    for (std::string e : SplitList(args.Get("ext"))) {
      while (!e.empty() && e[0] == '.') e.erase(0, 1);
      for (char& c : e) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      if (!e.empty()) f.exts.insert(e);
    }
    if (f.exts.empty()) {
      error = "--ext needs at least one extension (jpg,png,...)";
      return false;
    }
  }
  f.strNameGlob = args.Get("name");
  f.strPathGlob = args.Get("path");
  if ((args.Has("name") && f.strNameGlob.empty()) || (args.Has("path") && f.strPathGlob.empty())) {
    error = "--name and --path need a pattern";
    return false;
  }
  if ((args.Has("min-size") && !ParseSize(args.Get("min-size"), f.u64MinSize)) ||
      (args.Has("max-size") && !ParseSize(args.Get("max-size"), f.u64MaxSize))) {
    error = "--min-size and --max-size take a size such as 1500, 64K, 1.5M or 2G";
    return false;
  }
  if ((args.Has("after") && !ParseDate(args.Get("after"), f.tAfter)) ||
      (args.Has("before") && !ParseDate(args.Get("before"), f.tBefore))) {
    error = "--after and --before take a date as YYYY-MM-DD";
    return false;
  }
  for (const char* name : {"min-width", "min-height"}) {
    u64 v = 0;
    if (args.Has(name) && (!ParseUnsigned(args.Get(name), v) || v == 0 || v > 1000000)) {
      error = std::string("--") + name + " takes a number of pixels such as 1024";
      return false;
    }
    (std::string(name) == "min-width" ? f.nMinWidth : f.nMinHeight) = static_cast<u32>(v);
  }
  if ((args.Has("taken-after") && !ParseDate(args.Get("taken-after"), f.tCapturedAfter, true)) ||
      (args.Has("taken-before") && !ParseDate(args.Get("taken-before"), f.tCapturedBefore, true))) {
    error = "--taken-after and --taken-before take a date as YYYY-MM-DD";
    return false;
  }
  f.bSkipThumbnails = args.Has("skip-thumbnails");
  int states = args.Has("deleted") + args.Has("live") + args.Has("all");
  if (states > 1) {
    error = "choose one of --deleted, --live and --all";
    return false;
  }
  if (args.Has("live")) f.eState = RESULT_FILTER::STATE_LIVE;
  if (args.Has("all")) f.eState = RESULT_FILTER::STATE_ALL;
  const char* kVerdicts = "verified, partial, broken, unverified";
  for (const char* name : {"integrity", "only"})
    if (args.Has(name) && !ParseIntegrities(args.Get(name), f.integrities)) {
      error = std::string("--") + name + " takes " + kVerdicts;
      return false;
    }
  if (args.Has("skip")) {
    std::set<int> skip;
    if (!ParseIntegrities(args.Get("skip"), skip)) {
      error = std::string("--skip takes ") + kVerdicts;
      return false;
    }
    if (f.integrities.empty()) f.integrities = {INTEGRITY_UNVERIFIED, INTEGRITY_VERIFIED, INTEGRITY_PARTIAL, INTEGRITY_BROKEN};
    for (int v : skip) f.integrities.erase(v);
    if (f.integrities.empty()) f.integrities.insert(-1);  // nothing is left to match
  }
  if (args.Has("id")) {
    std::vector<std::string> words = SplitList(args.Get("id"));
    for (const std::string& w : words) {
      size_t dash = w.find('-');
      u64 a = 0, b = 0;
      bool ok = dash == std::string::npos ? ParseUnsigned(w, a) && (b = a, true)
                                          : ParseUnsigned(w.substr(0, dash), a) && ParseUnsigned(w.substr(dash + 1), b);
      if (!ok || a == 0 || b < a || b > 0xFFFFFFFFull || b - a >= kMaxIds - f.ids.size()) {
        error = "--id takes result numbers from the listing, such as 3,7,10-20 (at most a million)";
        return false;
      }
      for (u64 v = a; v <= b; ++v) f.ids.insert(static_cast<u32>(v));
    }
    if (words.empty()) {
      error = "--id takes result numbers from the listing, such as 3,7,10-20";
      return false;
    }
  }
  return true;
}

int OpenNamedScan(const char* pCommand, CScanSession& session, const std::string& which) {
  u32 id = 0;
  struct stat st;
  if (which.empty()) {
    const RECORDED_SCAN* best = nullptr;
    std::vector<RECORDED_SCAN> all = CScanSession::RecordedScans();
    for (const RECORDED_SCAN& s : all)
      if (!best || s.tWhen > best->tWhen || (s.tWhen == best->tWhen && s.nId > best->nId)) best = &s;
    if (!best) {
      Error(pCommand, "no scan is recorded yet: run 'torvane scan TARGET' first");
      return CLI_EXIT_FAILED;
    }
    id = best->nId;
  } else if (stat(which.c_str(), &st) == 0 || which.compare(0, 5, "disk:") == 0) {
    id = CScanSession::LatestScanOf(which);
    if (id == 0) {
      Error(pCommand, "no scan of '%s' is recorded: run 'torvane scan %s' first", Printable(which).c_str(),
            Printable(which).c_str());
      return CLI_EXIT_FAILED;
    }
  } else if (IsDigits(which) && which.size() <= 9) {
    id = static_cast<u32>(atoi(which.c_str()));
  } else {
    Error(pCommand, "'%s' is neither a scan number nor a disk or image (see 'torvane scans')",
          Printable(which).c_str());
    return CLI_EXIT_FAILED;
  }
  int status = session.OpenRecordedScan(id);
  if (status == 0) {
    for (const RECORDED_SCAN& s : CScanSession::RecordedScans())
      if (s.nId == id && !s.bComplete)
        fprintf(stderr, "Scan %u was stopped at %d%%: these are the files it found so far.\n", id,
                s.nPercent < 0 ? 0 : s.nPercent);
    return CLI_EXIT_OK;
  }
  if (status == ENOENT)
    Error(pCommand, "no scan %u is recorded (see 'torvane scans')", id);
  else if (status == ESTALE)
    Error(pCommand, "scan %u no longer holds: %s; scan it again", id,
          session.ResumeRefusal().empty() ? "its disk or image changed after it was scanned"
                                          : session.ResumeRefusal().c_str());
  else
    Error(pCommand, "cannot open scan %u: %s", id, StatusText(status).c_str());
  return CLI_EXIT_FAILED;
}

int CheckReport(const char* pCommand, const CScanSession& session, const std::string& path) {
  int status = session.CheckReportPath(path);
  if (status == 0) return CLI_EXIT_OK;
  Error(pCommand, "cannot write the report '%s': %s", Printable(path).c_str(), StatusText(status).c_str());
  return CLI_EXIT_FAILED;
}

namespace {

int Finish(const char* pCommand, const RUN_DOCUMENT& doc, const RUN_OUTPUT& output) {
  int result = CLI_EXIT_OK;
  if (!output.strReport.empty() || output.bJson) {
    std::string json = RunJson(doc);
    if (!output.strReport.empty()) {
      int status = WriteFileAtomically(output.strReport, json);
      if (status != 0) {
        Error(pCommand, "cannot write the report '%s': %s", Printable(output.strReport).c_str(),
              StatusText(status).c_str());
        result = CLI_EXIT_FAILED;
      }
    }
    if (output.bJson) Out("%s", json.c_str());
  }
  fflush(stdout);
  return result;
}

}  // namespace

int ReportListing(const char* pCommand, CScanSession& session, const std::vector<RESULT_ITEM>& items, size_t nFound,
                  const RUN_OUTPUT& output) {
  RUN_DOCUMENT doc;
  doc.pTarget = &session.Target();
  doc.nScanId = session.ScanId();
  doc.bComplete = ScanComplete(session);
  doc.nFound = nFound;
  doc.unreadable = session.UnreadableRanges();
  doc.pItems = &items;
  return Finish(pCommand, doc, output);
}

int SaveChosen(const char* pCommand, CScanSession& session, const std::vector<RESULT_ITEM>& chosen, size_t nFound,
               const std::string& dest, bool bFlat, bool bGroupByDate, const RUN_OUTPUT& output) {
  std::map<u32, const RESULT_ITEM*> byId;
  for (const RESULT_ITEM& r : chosen) byId[r.nId] = &r;
  int idWidth = static_cast<int>(std::to_string(chosen.empty() ? 0 : chosen.back().nId).size());
  bool lines = !output.bQuiet && !output.bJson;
  SAVE_OPTIONS options;
  options.bKeepTree = !bFlat;
  options.bGroupByDate = bGroupByDate;
  options.bHash = !output.strReport.empty() || output.bJson;
  SAVE_SUMMARY summary;
  std::vector<SAVE_OUTCOME> outcomes;
  int status = 0;
  // A line as each file is saved, through a pipe too (| tee, | head).
  if (lines) setvbuf(stdout, nullptr, _IOLBF, 0);
  {
    CProgressLine line(!output.bQuiet);
    CSaveProgressView view(line);
    CScanSession::SAVE_OBSERVER observer = [&](size_t nDone, size_t nTotal, const SAVE_OUTCOME* o) {
      if (o && lines && OutOpen()) {
        const RESULT_ITEM* r = byId.count(o->nId) ? byId[o->nId] : nullptr;
        bool failed = o->nStatus != 0 && o->nStatus != STATUS_PARTIAL_SAVE && o->nStatus != STATUS_SKIPPED_SAME;
        std::string where = failed && r ? ResultPath(*r) : o->strPath;
        std::string why = o->nStatus != 0 ? "  (" + StatusText(o->nStatus) + ")" : std::string();
        Out("%*u  %-7s  %s%s\n", idWidth, o->nId, OutcomeWord(o->nStatus), Printable(where).c_str(), why.c_str());
      }
      view.Update(nDone, nTotal, o);
      return StopSignal() == 0;
    };
    status = session.Save(chosen, dest, options, observer, summary, &outcomes);
  }
  fflush(stdout);
  if (status != 0 && status != RECOVERY_CANCELLED && outcomes.empty() && !chosen.empty()) {
    Error(pCommand, "cannot recover into '%s': %s", Printable(dest).c_str(), StatusText(status).c_str());
    return CLI_EXIT_FAILED;
  }
  bool stopped = status == RECOVERY_CANCELLED || StopSignal() != 0;
  if (stopped)
    fprintf(stderr, "Recovery stopped after %zu of %zu files.\n", outcomes.size(), chosen.size());
  fprintf(stderr, "%llu saved, %llu partial, %llu failed, %llu already there (in %s)\n",
          static_cast<unsigned long long>(summary.nSaved), static_cast<unsigned long long>(summary.nPartial),
          static_cast<unsigned long long>(summary.nFailed), static_cast<unsigned long long>(summary.nSkipped),
          Printable(dest).c_str());
  size_t named = 0, problems = 0;
  for (const SAVE_OUTCOME& o : outcomes) {
    if (o.nStatus == 0 || o.nStatus == STATUS_SKIPPED_SAME || o.nStatus == RECOVERY_CANCELLED) continue;
    ++problems;
    if (named >= kListedProblems) continue;
    ++named;
    const RESULT_ITEM* r = byId.count(o.nId) ? byId[o.nId] : nullptr;
    fprintf(stderr, "  %s: %s: %s\n", OutcomeWord(o.nStatus), Printable(r ? ResultPath(*r) : o.strPath).c_str(),
            StatusText(o.nStatus).c_str());
  }
  if (problems > named) fprintf(stderr, "  ... and %zu more (see --report)\n", problems - named);

  RUN_DOCUMENT doc;
  doc.pTarget = &session.Target();
  doc.nScanId = session.ScanId();
  doc.bComplete = ScanComplete(session);
  doc.nFound = nFound;
  doc.unreadable = session.UnreadableRanges();
  doc.pItems = &chosen;
  doc.strDestination = dest;
  doc.pOutcomes = &outcomes;
  doc.pSummary = &summary;
  int result = Finish(pCommand, doc, output);
  if (stopped) return StoppedExitCode();
  if (result != CLI_EXIT_OK || summary.nFailed > 0) return CLI_EXIT_FAILED;
  return CLI_EXIT_OK;
}
