// A fresh directory for a test's files, removed with everything in it when
// the object goes.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace testsupport {

class TempDir {
 public:
  // Under /tmp, or under /dev/shm when `in_memory` and it is writable (for
  // tests that write many full images).
  explicit TempDir(bool in_memory = false) {
    std::string base = "/tmp";
    if (in_memory && ::access("/dev/shm", W_OK) == 0) base = "/dev/shm";
    std::string tmpl = base + "/korvane-test-XXXXXX";
    const char* made = ::mkdtemp(tmpl.data());
    path_ = made != nullptr ? made : base;
    owned_ = made != nullptr;
  }
  ~TempDir() {
    std::error_code ec;
    if (owned_) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool made() const { return owned_; }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Names in the directory, sorted; "." and ".." left out.
  std::vector<std::string> entries() const { return entriesOf(path_); }
  static std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
      out.push_back(e.path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::string path_;
  bool owned_ = false;
};

// The whole content of the file at `path` (empty when it cannot be read).
inline std::vector<std::uint8_t> readFileBytes(const std::string& path) {
  std::vector<std::uint8_t> out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  std::uint8_t buf[1 << 16];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

}  // namespace testsupport
