#include "engine/Sha256.h"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

std::string Sha256OfFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  CSha256 s;
  std::vector<uint8_t> buf(1 << 16);
  for (;;) {
    ssize_t n = read(fd, buf.data(), buf.size());
    if (n < 0) {
      close(fd);
      return std::string();
    }
    if (n == 0) break;
    s.Update(buf.data(), static_cast<size_t>(n));
  }
  close(fd);
  return s.HexDigest();
}
