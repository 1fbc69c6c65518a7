#include "support/TestImages.h"
#include "carve/FileTypeJudge.h"
#include "engine/Sha256.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#ifndef TORVANE_DEFAULT_TEST_IMAGES
#define TORVANE_DEFAULT_TEST_IMAGES "testimages"
#endif

namespace {
// Engines built directly by tests judge content as the scan layer has them do.
const bool kContentMatcherInstalled = (CFileTypeJudge::InstallContentMatcher(), true);
}  // namespace

namespace testimg {
namespace fs = std::filesystem;

std::string ManifestFile::Path() const {
  if (folder == "/" || folder.empty()) return "/" + name;
  return folder + "/" + name;
}

bool ManifestFile::HasTag(const std::string& tag) const {
  std::stringstream ss(note);
  std::string t;
  while (std::getline(ss, t, ';'))
    if (t == tag) return true;
  return false;
}

const ManifestFile* Manifest::Find(const std::string& path) const {
  for (const auto& f : files)
    if (f.Path() == path) return &f;
  return nullptr;
}

std::vector<ManifestFile> Manifest::Files(const std::string& state) const {
  std::vector<ManifestFile> out;
  for (const auto& f : files)
    if (f.state == state) out.push_back(f);
  return out;
}

std::vector<ManifestFile> Manifest::FilesOfPartition(int index) const {
  std::vector<ManifestFile> out;
  for (const auto& f : files)
    if (f.partition == index) out.push_back(f);
  return out;
}

namespace {

// Builds the images when a test runs without the CTest fixture (a test binary run
// by hand, or a filter that left the fixture out). The builder is quick when the
// images are already there, and serialises concurrent callers with a lock.
void EnsureImages(const std::string& dir) {
  static std::once_flag once;
  std::call_once(once, [&dir] {
#ifdef TORVANE_DEFAULT_SOURCE_DIR
    const std::string script = std::string(TORVANE_DEFAULT_SOURCE_DIR) + "/tools/mkimages/build-all.sh";
    if (fs::exists(dir + "/.stamp") || !fs::exists(script)) return;
    const std::string cmd = "bash '" + script + "' '" + dir + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "building the test images failed: " << cmd;
#endif
  });
}

}  // namespace

std::string ImagesDir() {
  const char* env = std::getenv("TORVANE_TEST_IMAGES");
  std::string dir = env && *env ? env : TORVANE_DEFAULT_TEST_IMAGES;
  EnsureImages(dir);
  return dir;
}

std::string ImagePath(const std::string& name) { return ImagesDir() + "/" + name; }
std::string SamplePath(const std::string& name) { return ImagesDir() + "/samples/" + name; }

namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return out;
}

[[noreturn]] void Fail(const std::string& what) {
  ADD_FAILURE() << what;
  throw std::runtime_error(what);
}

uint64_t ToU64(const std::string& s, const std::string& where) {
  try {
    size_t used = 0;
    unsigned long long v = std::stoull(s, &used, 10);
    if (used != s.size()) throw std::invalid_argument(s);
    return v;
  } catch (const std::exception&) {
    Fail("bad number '" + s + "' in " + where);
  }
}

int64_t ToI64(const std::string& s, const std::string& where) {
  try {
    size_t used = 0;
    long long v = std::stoll(s, &used, 10);
    if (used != s.size()) throw std::invalid_argument(s);
    return v;
  } catch (const std::exception&) {
    Fail("bad number '" + s + "' in " + where);
  }
}

}  // namespace

Manifest LoadManifest(const std::string& imageName) {
  // The samples folder keeps its list as samples/manifest.
  const std::string path = imageName == "samples" ? ImagesDir() + "/samples/manifest"
                                                  : ImagesDir() + "/" + imageName + ".manifest";
  std::ifstream in(path);
  if (!in) Fail("no manifest " + path + " (was the build_test_images fixture run?)");
  Manifest m;
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    if (line.empty() || line[0] == '#') continue;
    const std::string where = path + ":" + std::to_string(lineNo);
    auto f = SplitTabs(line);
    if (f[0] == "info" && f.size() == 3) {
      m.info[f[1]] = f[2];
    } else if (f[0] == "file" && f.size() == 12) {
      ManifestFile e;
      e.state = f[1];
      e.folder = f[2];
      e.name = f[3];
      e.size = ToU64(f[4], where);
      e.sha256 = f[5];
      e.firstSector = ToI64(f[6], where);
      e.type = f[7];
      e.samplePath = f[8].empty() || f[8][0] == '/' ? f[8] : ImagesDir() + "/" + f[8];
      e.note = f[9];
      e.fragments = static_cast<int>(ToI64(f[10], where));
      e.partition = static_cast<int>(ToI64(f[11], where));
      if (e.sha256.size() != 64) Fail("bad sha256 in " + where);
      m.files.push_back(std::move(e));
    } else if (f[0] == "part" && f.size() == 7) {
      ManifestPartition p;
      p.index = static_cast<int>(ToI64(f[1], where));
      p.firstSector = ToU64(f[2], where);
      p.lastSector = ToU64(f[3], where);
      p.type = f[4];
      p.name = f[5];
      p.fs = f[6];
      m.partitions.push_back(std::move(p));
    } else {
      Fail("unreadable manifest line " + where);
    }
  }
  m.image = m.info.count("image") ? m.info["image"] : imageName;
  m.fs = m.info["fs"];
  if (m.info.count("volumeStartSector")) m.volumeStartSector = ToU64(m.info["volumeStartSector"], path);
  if (m.info.count("clusterBytes")) m.clusterBytes = static_cast<uint32_t>(ToU64(m.info["clusterBytes"], path));
  return m;
}

std::string Sha256Bytes(const void* data, size_t size) {
  CSha256 s;
  s.Update(static_cast<const uint8_t*>(data), size);
  return s.HexDigest();
}

std::string Sha256File(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  CSha256 s;
  std::vector<char> buf(1 << 16);
  while (in) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    s.Update(reinterpret_cast<const uint8_t*>(buf.data()), static_cast<size_t>(in.gcount()));
  }
  return s.HexDigest();
}

std::vector<uint8_t> ReadAt(const std::string& path, uint64_t offset, size_t size) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<uint8_t> out(size);
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size));
  out.resize(in ? size : static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return out;
}

std::string Sha256AtSector(const std::string& image, uint64_t sector, uint64_t size) {
  auto bytes = ReadAt(image, sector * 512, static_cast<size_t>(size));
  return Sha256Bytes(bytes.data(), bytes.size());
}

std::string MakeTempDir(const std::string& tag) {
  std::string pattern = "/tmp/torvane-" + tag + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  return buf.data();
}

std::string CopyToTemp(const std::string& imagePath, const std::string& tag) {
  std::string dir = MakeTempDir(tag);
  std::string dest = dir + "/" + fs::path(imagePath).filename().string();
  fs::copy_file(imagePath, dest, fs::copy_options::overwrite_existing);
  return dest;
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out.push_back(c);
  }
  return out + "'";
}

std::string RunCommand(const std::string& command, int* exitCode) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) {
    if (exitCode) *exitCode = -1;
    return out;
  }
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  int status = pclose(p);
  if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

}  // namespace testimg
