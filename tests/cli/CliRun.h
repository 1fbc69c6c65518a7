// Runs the torvane program as a user would, with a support folder of the
// test's own, and reads its listing and JSON back.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestFiles.h"
#include "support/TestImages.h"

namespace cli {

inline std::string Binary() {
  const char* dir = getenv("TORVANE_BINARY_DIR");
  return std::string(dir && *dir ? dir : ".") + "/cli/torvane";
}

struct RUN {
  int code = -1;
  std::string out, err;
};

// One row of `torvane list`.
struct ROW {
  unsigned id = 0;
  std::string state, part, size, modified, integrity, path;
};

inline std::vector<ROW> Rows(const std::string& listing) {
  static const std::regex kRow(R"(^ *(\d+)  (deleted|live) +(\S+) +(.+?) +(\d{4}-\d\d-\d\d|-) +(\w+) {2,}(\S.*)$)");
  std::vector<ROW> out;
  std::istringstream in(listing);
  std::string line;
  std::smatch m;
  while (std::getline(in, line))
    if (std::regex_match(line, m, kRow))
      out.push_back({static_cast<unsigned>(std::stoul(m[1])), m[2], m[3], m[4], m[5], m[6], m[7]});
  return out;
}

// The value of "key": in one JSON line ("" when absent).
inline std::string JsonField(const std::string& line, const std::string& key) {
  std::smatch m;
  std::regex re("\"" + key + "\": (\"((?:[^\"\\\\]|\\\\.)*)\"|[^,}\\]]+)");
  if (!std::regex_search(line, m, re)) return "";
  return m[2].matched ? m[2].str() : m[1].str();
}

// The result lines of a run's JSON (one result per line).
inline std::vector<std::string> JsonResults(const std::string& json) {
  std::vector<std::string> out;
  std::istringstream in(json);
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 9, "  {\"id\": ") == 0) out.push_back(line);
  return out;
}

inline bool Exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

inline size_t CountFiles(const std::string& dir) {
  std::string out;
  testfiles::Run("find " + testimg::ShellQuote(dir) + " -type f | wc -l", &out);
  return static_cast<size_t>(atol(out.c_str()));
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testimg::MakeTempDir("cli");
    support_ = dir_ + "/support";
  }
  void TearDown() override { testimg::RemoveTree(dir_); }

  static std::string Q(const std::string& s) { return testimg::ShellQuote(s); }
  static std::string Img(const std::string& name) { return Q(testimg::ImagePath(name)); }

  // This test's support folder, and a disk map of the images named only:
  // loop devices that tests beside it attach and detach do not renumber them.
  std::string Env() const { return "TORVANE_SUPPORT_DIR=" + Q(support_) + " TORVANE_DISKS= "; }

  // torvane ARGS in Env(); env goes before it.
  RUN Run(const std::string& args, const std::string& env = "") {
    std::string errFile = dir_ + "/stderr";
    RUN r;
    r.out = testimg::RunCommand(Env() + env + " " + Q(Binary()) + " " + args +
                                    " 2>" + Q(errFile),
                                &r.code);
    std::vector<unsigned char> err = testfiles::ReadAll(errFile);
    r.err.assign(err.begin(), err.end());
    return r;
  }

  std::string dir_, support_;
};

}  // namespace cli
