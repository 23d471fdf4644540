// The files of the repository's testdata/ folder, read by unit tests. A file or folder that is
// missing fails the test with its path, so a test never passes for want of its input.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace kest::test_support {

// testdata/`relative`; an absolute path, such as one from test_data_files, stays as it is.
inline std::filesystem::path test_data_path(const std::filesystem::path& relative) {
  return std::filesystem::path(KEST_TESTDATA_DIR) / relative;
}

// The bytes of testdata/`relative`; a missing file fails the test and gives an empty text.
inline std::string read_test_data(const std::filesystem::path& relative) {
  auto path = test_data_path(relative);
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    ADD_FAILURE() << "missing test data: " << path;
    return {};
  }
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// The .json files of testdata/`folder` whose names start with `prefix`, in name order; a missing
// folder fails the test and gives none.
inline std::vector<std::filesystem::path> test_data_files(std::string_view folder, std::string_view prefix = "") {
  auto directory = test_data_path(folder);
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    if (name.starts_with(prefix) && name.ends_with(".json")) files.push_back(it->path());
  }
  if (error) ADD_FAILURE() << "missing test data: " << directory << " (" << error.message() << ")";
  std::ranges::sort(files);
  return files;
}

}  // namespace kest::test_support
