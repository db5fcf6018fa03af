// A temporary directory removed (recursively) when the test ends.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace pallix::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pallix-platform-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    path_ = made ? std::string(made) : std::string();
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  // Writes `contents` to `relative`, creating missing parents.
  std::string write(const std::string& relative, const std::string& contents) const {
    std::string full = path_ + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full, std::ios::binary) << contents;
    return full;
  }
  std::string mkdir(const std::string& relative) const {
    std::string full = path_ + "/" + relative;
    std::filesystem::create_directories(full);
    return full;
  }

 private:
  std::string path_;
};

}  // namespace pallix::testing
