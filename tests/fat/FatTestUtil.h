// Helpers of the FAT engine tests: a private scan-log folder, listing what an
// engine found with its folder paths, and saving a node to a temporary file.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "engine/IFileRecoveryParse.h"
#include "tests/support/TestImages.h"

namespace fattest {

// Points the scan-log folder at a fresh temporary folder for this test.
std::string UseFreshSupportDir(const std::string& tag);

struct Found {
  std::string folder;  // "/" or "/a/b", from the engine's parent path
  _FILE_NODE_ node;
};

// Every file the engine lists through search, keyed by folder + "/" + name.
std::multimap<std::string, Found> SearchAllFiles(IFileRecoveryParse& engine);
// Every node reachable from the top by browsing, with the folder path built
// from the browse itself; folders are visited once.
std::vector<Found> BrowseAll(IFileRecoveryParse& engine, u32 nTopLevel = 0);

std::string JoinFolder(const std::string& folder, const std::string& name);
// Saves one file node to dir/name and returns the saved path ("" on failure);
// *pStatus gets SaveFileData's result.
std::string SaveNode(IFileRecoveryParse& engine, _FILE_NODE_ node, const std::string& dir, int* pStatus = nullptr);

// The manifest's deleted files that a quick scan must list.
std::vector<testimg::ManifestFile> DeletedFiles(const testimg::Manifest& m, int partition = -1);

}  // namespace fattest
