#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>

namespace oxr {

// An output file written under a temporary name beside its destination and renamed into place by
// commit(), its data flushed to the disk first: after a crash or a power loss the destination holds
// the old file or the new one, never a part. Destroyed without commit(), it removes the temporary
// file: no partial output is left.
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
  // Flushes to the disk, closes and renames; throws OutputError naming the destination on failure.
  void commit();
  // Commits two files that belong together (a .gltf and its .bin): both are written out before
  // either is renamed, and when the second rename fails the first file's previous content is put
  // back, so that the destinations hold the old pair or the new one.
  friend void commit_together(AtomicFile& first, AtomicFile& second);

 private:
  void write_out();  // flushes to the disk and closes the temporary
  std::filesystem::path unused_name() const;
  void rename_into_place();
  class FileBuffer;
  std::filesystem::path destination_;
  std::filesystem::path temporary_;
  std::string stem_;  // the temporary's name before its counter
  std::unique_ptr<FileBuffer> buffer_;
  std::ostream out_;
  bool written_ = false;
  bool committed_ = false;
};

void commit_together(AtomicFile& first, AtomicFile& second);

// The start every temporary of `destination` has ("NAME.tmp-", NAME cut as AtomicFile cuts it).
std::string temporary_prefix(const std::filesystem::path& destination);

// Names this process in its temporaries' names ("NAME.tmp-TAG-N"): by default its process id. A front
// end that removes the temporaries a crashed run left sets a tag it can read back (a host and a
// process). Set it before any file is written.
void set_temporary_tag(std::string tag);

// Opens a motion file for reading; throws ToolError naming it when it is missing or a folder.
std::ifstream open_input(const std::filesystem::path& input);

}  // namespace oxr
