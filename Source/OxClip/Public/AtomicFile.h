#pragma once

#include <filesystem>
#include <fstream>

namespace oxr {

// An output file written under a temporary name beside its destination and renamed into place by
// commit(). Destroyed without commit(), it removes the temporary file: no partial output is left.
class AtomicFile {
 public:
  explicit AtomicFile(std::filesystem::path destination);
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  std::ostream& stream() { return out_; }
  // Flushes, closes and renames; throws ToolError naming the destination on failure.
  void commit();

 private:
  std::filesystem::path destination_;
  std::filesystem::path temporary_;
  std::ofstream out_;
  bool committed_ = false;
};

// Opens a motion file for reading; throws ToolError naming it when it is missing or a folder.
std::ifstream open_input(const std::filesystem::path& input);

}  // namespace oxr
