#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>

namespace oxr {

// An output file written under a temporary name beside its destination and renamed into place by
// commit(). Destroyed without commit(), it removes the temporary file: no partial output is left.
// The temporary ("NAME.tmp-TAG-N", cut to fit the 255-byte name limit; TAG see set_temporary_tag) is
// created exclusively and never through a symbolic link: whatever already stands under that name is
// left alone.
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
  class FileBuffer;
  std::filesystem::path destination_;
  std::filesystem::path temporary_;
  std::unique_ptr<FileBuffer> buffer_;
  std::ostream out_;
  bool committed_ = false;
};

// The start every temporary of `destination` has ("NAME.tmp-", NAME cut as AtomicFile cuts it).
std::string temporary_prefix(const std::filesystem::path& destination);

// Names this process in its temporaries' names ("NAME.tmp-TAG-N"): by default its process id. A front
// end that removes the temporaries a crashed run left sets a tag it can read back (a host and a
// process). Set it before any file is written.
void set_temporary_tag(std::string tag);

// Opens a motion file for reading; throws ToolError naming it when it is missing or a folder.
std::ifstream open_input(const std::filesystem::path& input);

}  // namespace oxr
