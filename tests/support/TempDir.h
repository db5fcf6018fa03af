// Shared test support: a temporary directory removed (recursively) when the
// test ends, and a matcher for failed Status and Result values.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace pallix::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pallix-test-XXXXXX").string();
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

  // Writes `contents` to `relative`, creating missing parents; returns the full path.
  std::string write(const std::string& relative, const std::string& contents) const {
    std::string full = path_ + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full, std::ios::binary) << contents;
    return full;
  }
  // A small file, for tests that only need one to exist.
  std::string file(const std::string& relative, const std::string& contents = "x") const {
    return write(relative, contents);
  }
  std::string mkdir(const std::string& relative) const {
    std::string full = path_ + "/" + relative;
    std::filesystem::create_directories(full);
    return full;
  }
  std::string dir(const std::string& relative) const { return mkdir(relative); }

 private:
  std::string path_;
};

// Succeeds when `result` (a Status or Result) failed with a description containing `fragment`.
template <typename R>
::testing::AssertionResult failsWith(const R& result, std::string_view fragment) {
  if (result.ok()) return ::testing::AssertionFailure() << "succeeded; expected an error with \"" << fragment << '"';
  if (result.error().description().find(fragment) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << '"' << result.error().description() << "\" lacks \"" << fragment << '"';
}

}  // namespace pallix::testing
