// A private folder for fuzz targets that read files, removed when the process ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace fuzz {

inline const std::filesystem::path& folder() {
  static const std::filesystem::path path = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "oxretarget-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(folder(), ignored);
    });
    return std::filesystem::path(pattern);
  }();
  return path;
}

inline std::filesystem::path write(const std::string& name, std::string_view bytes) {
  const std::filesystem::path path = folder() / name;
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

// The input cut at each occurrence of `separator` into at most `parts` pieces (the last takes the rest).
inline std::string_view piece(std::string_view input, std::string_view separator, int index) {
  for (int i = 0; i < index; ++i) {
    const auto at = input.find(separator);
    if (at == std::string_view::npos) return {};
    input.remove_prefix(at + separator.size());
  }
  return input.substr(0, input.find(separator));
}

}  // namespace fuzz
