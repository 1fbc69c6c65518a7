// Access to the disk images made by tools/mkimages and to their manifests
// (what each image holds, where, and with which hash).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testimg {

struct ManifestFile {
  std::string state;        // "live" or "deleted"
  std::string folder;       // "/" or "/DCIM/sub"
  std::string name;         // an alternate data stream is "file.txt:stream"
  uint64_t size = 0;
  std::string sha256;       // lowercase hex
  int64_t firstSector = -1; // absolute on the image, -1 if unknown (resident, empty)
  std::string type;         // extension/format, e.g. "jpg"
  std::string samplePath;   // absolute path of the original sample file, may be empty
  std::string note;         // ';'-separated tags, e.g. "fragmented;mft=157"
  int fragments = 0;        // physical extents (1 = contiguous), 0 if unknown
  int partition = -1;       // partition index on whole disks, -1 otherwise

  std::string Path() const;                        // folder + "/" + name
  bool HasTag(const std::string& tag) const;       // exact match of one ';' tag
  bool Contiguous() const { return fragments == 1 && firstSector >= 0; }
};

struct ManifestPartition {
  int index = 0;
  uint64_t firstSector = 0, lastSector = 0;
  std::string type;  // "0x07" on MBR, a type GUID on GPT, "Apple_HFS" on APM
  std::string name;
  std::string fs;    // "fat12", "fat16", "fat32", "ntfs", "ext4", "extended" or ""
};

struct Manifest {
  std::string image;
  std::string fs;
  uint64_t volumeStartSector = 0;
  uint32_t clusterBytes = 0;
  std::vector<ManifestFile> files;
  std::vector<ManifestPartition> partitions;
  std::map<std::string, std::string> info;

  const ManifestFile* Find(const std::string& path) const;  // by Path(), nullptr if absent
  std::vector<ManifestFile> Files(const std::string& state) const;
  std::vector<ManifestFile> FilesOfPartition(int index) const;
};

std::string ImagesDir();                          // env TORVANE_TEST_IMAGES, else the build's default
std::string ImagePath(const std::string& name);   // e.g. ImagePath("fat32.img")
std::string SamplePath(const std::string& name);  // e.g. SamplePath("photo.jpg")

// Reads ImagesDir()/<imageName>.manifest (e.g. "fat32.img" or "mbr.img.p2"), or
// samples/manifest for "samples";
// a missing or malformed manifest is an ADD_FAILURE() and a thrown std::runtime_error.
Manifest LoadManifest(const std::string& imageName);

std::string Sha256File(const std::string& path);   // lowercase hex; throws if unreadable
std::string Sha256Bytes(const void* data, size_t size);

// Reads `size` bytes at `offset` of a file (short at the end of the file).
std::vector<uint8_t> ReadAt(const std::string& path, uint64_t offset, size_t size);
// SHA-256 of `size` bytes starting at `sector` (512-byte sectors) of an image.
std::string Sha256AtSector(const std::string& image, uint64_t sector, uint64_t size);

std::string MakeTempDir(const std::string& tag);   // fresh folder under /tmp; the caller removes it
// Copies an image to a fresh temporary file (for tests that write to it); returns its path.
std::string CopyToTemp(const std::string& imagePath, const std::string& tag);
void RemoveTree(const std::string& path);

// Runs a shell command; returns its standard output, sets *exitCode if given.
std::string RunCommand(const std::string& command, int* exitCode = nullptr);
std::string ShellQuote(const std::string& s);

}  // namespace testimg
