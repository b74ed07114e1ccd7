#ifndef MORVATEL_TESTS_CPP_TEMP_DIR_H_
#define MORVATEL_TESTS_CPP_TEMP_DIR_H_

// A test's own folder under /tmp, removed with everything in it when the
// test leaves its scope, an ASSERT's early return included. Header-only and
// free of gtest, so that any test file can take it whatever the build
// compiles beside it.

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <source_location>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "fs.h"

namespace morvatel {

struct TempDir {
  // The folder is named after the test file that made it, so that one left
  // behind by a crash says whose it was.
  explicit TempDir(std::source_location at = std::source_location::current())
      : path(make(std::filesystem::path(at.file_name()).stem().string())) {}
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // A failed removal only leaves a folder behind: it must not end the run
  // from a destructor.
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }

  std::string operator/(std::string_view name) const { return join_path(path, name); }

  // The names in the folder, sorted, so that tests compare them whole.
  std::vector<std::string> entries() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path))
      out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
  }

  // The temporaries an atomic write makes beside its target; none may
  // outlive the write, whether it succeeded or not.
  size_t temp_files() const {
    return std::ranges::count_if(entries(),
                                 [](const std::string& e) { return e.find(".tmp.") != e.npos; });
  }

  std::string path;

 private:
  static std::string make(std::string_view tag) {
    std::string name = "/tmp/morvatel-";
    name.append(tag).append("-XXXXXX");
    if (::mkdtemp(name.data()) == nullptr)
      throw std::system_error(errno, std::generic_category(), "mkdtemp " + name);
    return name;
  }
};

inline void spill(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

}  // namespace morvatel

#endif  // MORVATEL_TESTS_CPP_TEMP_DIR_H_
