// Small file helpers shared by the tests.
#pragma once

#include <string>
#include <vector>

namespace testfiles {
std::vector<unsigned char> ReadAll(const std::string& path);
bool WriteAll(const std::string& path, const void* data, size_t size);
// A fresh, empty folder under /tmp named after tag.
std::string FreshDir(const std::string& tag);
// Runs a shell command; returns its exit status and fills out with stdout.
int Run(const std::string& command, std::string* out = nullptr);
}  // namespace testfiles
