// `torvane list` and `torvane recover` over recorded scans: the filters, the
// folder layout, reruns, closed pipes, the report, the progress line and an
// ordinary user's support folder.
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>

#include "CliRun.h"
#include "engine/Categories.h"

namespace {

using cli::CliTest;
using cli::Exists;
using cli::JsonField;

class RecoverCommand : public CliTest {
 protected:
  // The JSON result lines of `list ARGS --json`.
  std::vector<std::string> Json(const std::string& args) {
    cli::RUN r = Run("list " + args + " --json");
    EXPECT_EQ(0, r.code) << args << "\n" << r.err;
    return cli::JsonResults(r.out);
  }
  size_t Count(const std::string& args) { return Json(args).size(); }
};

TEST_F(RecoverCommand, FiltersChooseByStateTypeNameSizeDateVerdictAndId) {
  ASSERT_EQ(0, Run("scan " + Img("fat16.img") + " -q").code);
  std::vector<std::string> all = Json("--all");
  ASSERT_GT(all.size(), 50u);
  EXPECT_EQ(all.size(), Count("--deleted") + Count("--live"));
  EXPECT_EQ(Count("--deleted"), Count(""));
  size_t byKind = 0;
  for (const char* kind : {"photo", "music", "document", "video", "archive", "other"})
    byKind += Count(std::string("--all --types ") + kind);
  EXPECT_EQ(all.size(), byKind) << "each result has exactly one category";

  for (const std::string& line : Json("--all --ext JPG,.png")) {
    std::string name = JsonField(line, "name");
    std::string ext = name.substr(name.rfind('.') + 1);
    for (char& c : ext) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(ext == "jpg" || ext == "png") << name;
  }
  EXPECT_GT(Count("--all --ext jpg"), 0u);
  EXPECT_EQ(Count("--all --ext txt"), Count("--all --name '*.TXT'"));
  for (const std::string& line : Json("--all --path '/Documents/*'"))
    EXPECT_EQ(0u, JsonField(line, "folder").find("/Documents/")) << line;
  size_t inRange = 0;
  for (const std::string& line : all) {
    unsigned long long size = std::stoull(JsonField(line, "size"));
    inRange += size >= 8192 && size <= 20480;
  }
  EXPECT_GT(inRange, 0u);
  EXPECT_EQ(inRange, Count("--all --min-size 8K --max-size=20KiB"));

  std::set<std::string> ids;
  for (const std::string& line : Json("--all --id 2,4-5")) ids.insert(JsonField(line, "id"));
  EXPECT_EQ((std::set<std::string>{"2", "4", "5"}), ids);

  // Dates, by the listing's own column: --after includes the day, --before ends before it.
  std::vector<cli::ROW> rows = cli::Rows(Run("list --all").out);
  std::string day;
  size_t dated = 0;
  for (const cli::ROW& r : rows)
    if (r.modified != "-") {
      ++dated;
      if (day.empty()) day = r.modified;
    }
  ASSERT_FALSE(day.empty());
  std::vector<cli::ROW> after = cli::Rows(Run("list --all --after " + day).out);
  std::vector<cli::ROW> before = cli::Rows(Run("list --all --before " + day).out);
  for (const cli::ROW& r : after) EXPECT_GE(r.modified, day);
  for (const cli::ROW& r : before) EXPECT_LT(r.modified, day);
  EXPECT_EQ(dated, after.size() + before.size());

  size_t verdicts = 0;
  for (const char* v : {"verified", "partial", "broken", "unverified"})
    verdicts += Count(std::string("--all --only ") + v);
  EXPECT_EQ(all.size(), verdicts);
  EXPECT_EQ(all.size() - Count("--all --integrity broken"), Count("--all --skip broken"));

  EXPECT_EQ(2, Run("list --min-size lots").code);
  EXPECT_EQ(2, Run("list --after 2020-13-01").code);
  EXPECT_EQ(2, Run("list --live --all").code);
  EXPECT_EQ(2, Run("list --only shiny").code);
}

// A result's category is the one its extension says, in the listing and in
// the folder it is saved to.
TEST_F(RecoverCommand, TypesFollowOneRuleInTheListingAndTheFolders) {
  ASSERT_EQ(0, Run("scan " + Img("carve.img") + " -q").code);
  for (const char* kind : {"archive", "document"}) {
    SCOPED_TRACE(kind);
    std::vector<cli::ROW> rows = cli::Rows(Run(std::string("list --types ") + kind).out);
    ASSERT_FALSE(rows.empty());
    std::string dest = dir_ + "/" + kind;
    cli::RUN r = Run(std::string("recover ") + Q(dest) + " -q --types " + kind);
    ASSERT_EQ(0, r.code) << r.err;
    std::string folder = category::FolderOfFileName(rows[0].path.c_str());
    for (const cli::ROW& row : rows) {
      EXPECT_EQ(folder, category::FolderOfFileName(row.path.c_str())) << row.path;
      EXPECT_TRUE(Exists(dest + "/" + folder + "/" + row.path)) << row.path;
    }
    EXPECT_EQ(rows.size(), cli::CountFiles(dest));
  }
  EXPECT_EQ(0u, cli::CountFiles(dir_ + "/archive/document")) << "documents were filed as archives";
}

// DEST/<category>/<original folders>/<name>; the same recovery again saves
// nothing twice.
TEST_F(RecoverCommand, RecoveryKeepsTheTreeAndARerunSkipsWhatIsThere) {
  testimg::Manifest m = testimg::LoadManifest("ntfs.img");
  ASSERT_EQ(0, Run("scan " + Img("ntfs.img") + " -q").code);
  std::string dest = dir_ + "/out";
  cli::RUN first = Run("recover " + Q(dest));
  ASSERT_EQ(0, first.code) << first.err;
  int checked = 0;
  for (const auto& f : m.files) {
    if (f.state != "deleted" || f.name.find(':') != std::string::npos || !f.Contiguous()) continue;
    std::string path = dest + "/" + category::FolderOfFileName(f.name.c_str()) +
                       (f.folder == "/" ? "" : f.folder) + "/" + f.name;
    ASSERT_TRUE(Exists(path)) << path << "\n" << first.out;
    EXPECT_EQ(f.sha256, testimg::Sha256File(path)) << path;
    ++checked;
  }
  EXPECT_GT(checked, 5);
  size_t files = cli::CountFiles(dest);
  cli::RUN again = Run("recover " + Q(dest));
  ASSERT_EQ(0, again.code) << again.err;
  EXPECT_NE(std::string::npos, again.err.find("0 saved, 0 partial, 0 failed, " + std::to_string(files) +
                                              " already there"))
      << again.err;
  EXPECT_EQ(files, cli::CountFiles(dest));
}

// `torvane scan IMG --recover DEST | head -1`: the reader goes away after one
// line (the lines come as the files are saved); every file is still saved.
TEST_F(RecoverCommand, AClosedPipeStopsTheListingNotTheRecovery) {
  std::string dest = dir_ + "/piped";
  int code = -1;
  testimg::RunCommand("bash -c " + Q(Env() + Q(cli::Binary()) + " scan " +
                                     Img("fat16.img") + " --all -r " + Q(dest) + " 2>/dev/null | head -1 >/dev/null; " +
                                     "exit ${PIPESTATUS[0]}"),
                      &code);
  EXPECT_EQ(0, code);
  size_t listed = cli::Rows(Run("list --all").out).size();
  EXPECT_GT(listed, 100u);
  EXPECT_EQ(listed, cli::CountFiles(dest));
}

TEST_F(RecoverCommand, ReportPathsAreCheckedFirstAndWrittenWhole) {
  std::string image = dir_ + "/card.img";
  testfiles::Run("cp " + Img("demo.img") + " " + Q(image));
  for (const std::string& bad : {dir_, dir_ + "/missing/r.json", image}) {
    cli::RUN r = Run("scan " + Q(image) + " -o " + Q(bad));
    EXPECT_EQ(1, r.code) << bad;
    EXPECT_NE(std::string::npos, r.err.find("cannot write the report '" + bad + "': ")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("Scanning")) << "refused before the scan";
  }
  EXPECT_NE(std::string::npos, Run("scan " + Q(image) + " -o " + Q(image)).err.find("lies on the disk being scanned"));

  // A link at the report's path is replaced, never written through.
  std::string target = dir_ + "/elsewhere.txt", report = dir_ + "/report.json";
  testfiles::WriteAll(target, "keep", 4);
  ASSERT_EQ(0, symlink(target.c_str(), report.c_str()));
  ASSERT_EQ(0, Run("scan " + Q(image) + " -q --report=" + Q(report)).code);
  std::vector<unsigned char> kept = testfiles::ReadAll(target);
  EXPECT_EQ("keep", std::string(kept.begin(), kept.end()));
  std::vector<unsigned char> json = testfiles::ReadAll(report);
  EXPECT_EQ(cli::Rows(Run("list").out).size(), cli::JsonResults(std::string(json.begin(), json.end())).size());

  // An image with a ddrescue map beside it: what was never read is in the report.
  std::string part = dir_ + "/part.img";
  ASSERT_EQ(0, testfiles::Run("ddrescue -q -s 1MiB " + Img("fat16.img") + " " + Q(part) + " " + Q(part + ".map")));
  ASSERT_EQ(0, testfiles::Run("truncate -s 24M " + Q(part)));
  ASSERT_EQ(0, Run("scan " + Q(part) + " -q --report=" + Q(dir_ + "/part.json")).code);
  std::vector<unsigned char> partJson = testfiles::ReadAll(dir_ + "/part.json");
  EXPECT_NE(std::string::npos, std::string(partJson.begin(), partJson.end())
                                   .find("\"unreadableSectors\": 47104, \"unreadable\": [{\"firstSector\": 2048, "
                                         "\"sectors\": 47104}]"));

  // A full disk: no report, no half of one, exit status 1.
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  std::string small = dir_ + "/small";
  testfiles::Run("mkdir -p " + Q(small));
  if (testfiles::Run("mount -t tmpfs -o size=8k tmpfs " + Q(small)) != 0) GTEST_SKIP() << "tmpfs mounts not allowed";
  cli::RUN full = Run("scan " + Img("fat16.img") + " -q --all -o " + Q(small + "/r.json"));
  std::string left;
  testfiles::Run("ls -A " + Q(small), &left);
  testfiles::Run("umount " + Q(small));
  EXPECT_EQ(1, full.code);
  EXPECT_NE(std::string::npos, full.err.find("cannot write the report '" + small + "/r.json': no space left on device"))
      << full.err;
  EXPECT_EQ("", left);
}

// On a terminal the line is redrawn in place at most five times a second,
// its percent never runs backwards, an estimate appears within the first
// second, and it is erased before the summary.
TEST_F(RecoverCommand, ProgressLineIsCalmMonotonicAndCleared) {
  if (testfiles::Run("command -v script >/dev/null") != 0) GTEST_SKIP() << "no script(1)";
  std::string image = dir_ + "/blank.img", typescript = dir_ + "/typescript";
  ASSERT_EQ(0, testfiles::Run("truncate -s 2G " + Q(image)));
  auto start = std::chrono::steady_clock::now();
  // Its holes are read as a disk's zeros would be, so the scan lasts long enough to be watched.
  int code = testfiles::Run(Env() + "TORVANE_READ_HOLES=1 script -qec " +
                            Q(Q(cli::Binary()) + " scan " + Q(image)) + " " + Q(typescript) + " >/dev/null");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(0, code);
  std::vector<unsigned char> bytes = testfiles::ReadAll(typescript);
  std::string text(bytes.begin(), bytes.end());
  std::vector<int> percents;
  bool estimated = false;
  size_t pos = 0;
  while ((pos = text.find('\r', pos)) != std::string::npos) {
    size_t end = text.find("\x1b[K", ++pos);
    std::string segment = text.substr(pos, end == std::string::npos ? 0 : end - pos);
    int percent = 0;
    if (end != std::string::npos && sscanf(segment.c_str(), "%d%%", &percent) == 1 &&
        segment.find('%') < segment.find(' ', segment.find_first_not_of(' '))) {
      percents.push_back(percent);
      estimated = estimated || segment.find("left --") == std::string::npos;
    }
  }
  ASSERT_GE(percents.size(), 3u) << text.substr(0, 2000);
  EXPECT_LE(percents.size(), static_cast<size_t>(5 * seconds + 3)) << seconds << " s";
  for (size_t i = 1; i < percents.size(); ++i) EXPECT_LE(percents[i - 1], percents[i]);
  EXPECT_TRUE(estimated);
  size_t summary = text.find("Scan 1 recorded:");
  ASSERT_NE(std::string::npos, summary);
  EXPECT_EQ(summary - 4, text.rfind("\r\x1b[K", summary)) << "the line is erased before the summary";
  EXPECT_LT(text.size(), 40000u);
}

// An ordinary user, no settings: the scan is recorded under
// $XDG_DATA_HOME/torvane-recovery, else ~/.local/share/torvane-recovery.
TEST_F(RecoverCommand, AnOrdinaryUserScansIntoTheXdgDataFolder) {
  if (geteuid() != 0 || testfiles::Run("command -v runuser >/dev/null") != 0) GTEST_SKIP() << "needs root and runuser";
  std::string home = dir_ + "/home", image = dir_ + "/card.img";
  testfiles::Run("chmod 0755 " + Q(dir_) + " && mkdir " + Q(home) + " && chown nobody " + Q(home) + " && cp " +
                 Img("demo.img") + " " + Q(image) + " && chmod 0644 " + Q(image));
  auto AsNobody = [&](const std::string& env, const std::string& args, std::string* out) {
    return testfiles::Run("runuser -u nobody -- env -u TORVANE_SUPPORT_DIR -u XDG_DATA_HOME TORVANE_DISKS= HOME=" + Q(home) + " " +
                              env + " " + Q(cli::Binary()) + " " + args + " 2>&1",
                          out);
  };
  std::string out;
  // A checkout in a private folder (mktemp -d) keeps the program from other users.
  if (testfiles::Run("runuser -u nobody -- test -x " + Q(cli::Binary())) != 0)
    GTEST_SKIP() << "the build folder is not open to other users";
  ASSERT_EQ(0, AsNobody("", "scan " + Q(image), &out)) << out;
  EXPECT_TRUE(Exists(home + "/.local/share/torvane-recovery/ScanLog/config")) << out;
  ASSERT_EQ(0, AsNobody("", "list", &out)) << out;
  EXPECT_GE(cli::Rows(out).size(), 6u) << out;
  ASSERT_EQ(0, AsNobody("XDG_DATA_HOME=" + Q(home + "/xdg"), "scan -q " + Q(image), &out)) << out;
  EXPECT_TRUE(Exists(home + "/xdg/torvane-recovery/ScanLog/config")) << out;
}

}  // namespace

// meta.img's files listed under the names their own metadata gives, with the
// report's metadata fields; the metadata filters and --group-by date as the
// session applies them.
TEST_F(RecoverCommand, CarvedFilesAreListedFilteredAndGroupedByTheirOwnMetadata) {
  ASSERT_EQ(0, Run("scan " + Img("meta.img") + " -q").code);
  const testimg::Manifest m = testimg::LoadManifest("meta.img");
  std::map<std::string, std::string> byName;  // manifest name -> JSON line
  for (const std::string& line : Json("")) byName[JsonField(line, "name")] = line;
  const std::string photo = byName["2024-06-14 10.22.31 Canon EOS R6 (32).jpg"];
  EXPECT_EQ("Canon EOS R6", JsonField(photo, "camera"));
  EXPECT_EQ("2024-06-14T10:22:31Z", JsonField(photo, "captured"));
  EXPECT_EQ("320", JsonField(photo, "width"));
  EXPECT_EQ("240", JsonField(photo, "height"));
  EXPECT_EQ("Morning Tune", JsonField(byName["The Torvane Band - Morning Tune (858).mp3"], "title"));
  for (const testimg::ManifestFile& f : m.files) {
    if (!f.HasTag("hostile")) EXPECT_TRUE(byName.count(f.name)) << f.name;
  }

  EXPECT_EQ(2u, Count("--taken-after 2024-01-01 --taken-before 2025-01-01"));
  EXPECT_EQ(byName.size() - 1, Count("--skip-thumbnails"));
  EXPECT_EQ(3u, Count("--min-width 300 --min-height 200"));
  EXPECT_EQ(2, Run("recover " + Q(dir_ + "/x") + " --group-by month").code);
  const std::string dest = dir_ + "/out";
  ASSERT_EQ(0, Run("recover " + Q(dest) + " --group-by date --types photo -q").code);
  EXPECT_TRUE(Exists(dest + "/photo/2024/2024-06/2024-06-14 10.22.31 Canon EOS R6 (32).jpg"));
  EXPECT_TRUE(Exists(dest + "/photo/776.jpg"));
}
