#include "AtomicFile.h"

#include "ToolError.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <streambuf>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oxr {
namespace {

std::atomic<unsigned> g_counter{0};
std::mutex g_tag_mutex;
std::string g_tag;  // empty: the process id

// File names may hold 255 bytes; room is kept for ".tmp-" and the longest TAG-N.
constexpr std::size_t kNameLimit = 255;
constexpr std::size_t kTagLimit = 64 + 1 + 10;
constexpr std::size_t kSuffixRoom = 5 + kTagLimit + 1 + 10;

std::string temporary_tag() {
  const std::lock_guard<std::mutex> lock(g_tag_mutex);
  std::string tag = g_tag.empty() ? std::to_string(::getpid()) : g_tag;
  if (tag.size() > kTagLimit) tag.resize(kTagLimit);
  return tag;
}

std::string describe(const std::filesystem::path& path, const std::string& problem) {
  return path.string() + ": " + problem;
}

}  // namespace

std::string temporary_prefix(const std::filesystem::path& destination) {
  std::string name = destination.filename().string();
  if (name.size() > kNameLimit - kSuffixRoom) name.resize(kNameLimit - kSuffixRoom);
  return name + ".tmp-";
}

void set_temporary_tag(std::string tag) {
  const std::lock_guard<std::mutex> lock(g_tag_mutex);
  g_tag = std::move(tag);
}

// Writes to a file descriptor in blocks; remembers the first failed write for commit() to report.
class AtomicFile::FileBuffer : public std::streambuf {
 public:
  explicit FileBuffer(int fd) : fd_(fd), block_(1 << 16) { setp(block_.data(), block_.data() + block_.size()); }
  ~FileBuffer() override { close(); }

  // Flushes the block, then the file's data to the disk (fsync) unless `discard`, and closes.
  bool close(bool discard = false) {
    const bool flushed = flush();
    if (fd_ >= 0 && !discard && ::fsync(fd_) != 0) failed_ = true;
    if (fd_ >= 0 && ::close(fd_) != 0) failed_ = true;
    fd_ = -1;
    return flushed && !failed_;
  }
  bool failed() const { return failed_; }

 protected:
  int_type overflow(int_type c) override {
    if (!flush()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* data, std::streamsize count) override {
    // Large pieces go straight to the file.
    if (count >= static_cast<std::streamsize>(block_.size())) {
      if (!flush() || !write_all(data, static_cast<std::size_t>(count))) return 0;
      return count;
    }
    return std::streambuf::xsputn(data, count);
  }
  int sync() override { return flush() ? 0 : -1; }

 private:
  bool flush() {
    const std::size_t pending = static_cast<std::size_t>(pptr() - pbase());
    setp(block_.data(), block_.data() + block_.size());
    return pending == 0 || write_all(block_.data(), pending);
  }
  bool write_all(const char* data, std::size_t size) {
    if (failed_ || fd_ < 0) return false;
    while (size > 0) {
      const ssize_t written = ::write(fd_, data, size);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        failed_ = true;
        return false;
      }
      data += written;
      size -= static_cast<std::size_t>(written);
    }
    return true;
  }

  int fd_;
  std::vector<char> block_;
  bool failed_ = false;
};

AtomicFile::AtomicFile(std::filesystem::path destination) : destination_(std::move(destination)), out_(nullptr) {
  // The process's tag and a counter. A name taken by anything else (another process's temporary, a
  // planted link) is passed over, never opened.
  stem_ = temporary_prefix(destination_) + temporary_tag() + "-";
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary_ = unused_name();
    fd = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    throw OutputError(describe(destination_, std::string("cannot write: ") + std::strerror(errno)));
  }
  buffer_ = std::make_unique<FileBuffer>(fd);
  out_.rdbuf(buffer_.get());
}

AtomicFile::~AtomicFile() {
  if (!committed_) {
    buffer_->close(true);
    ::unlink(temporary_.c_str());
  }
}

std::filesystem::path AtomicFile::unused_name() const {
  return destination_.parent_path() / (stem_ + std::to_string(g_counter++));
}

void AtomicFile::write_out() {
  if (written_) return;
  out_.flush();
  const bool written = static_cast<bool>(out_) && buffer_->close();
  if (!written) {
    throw OutputError(describe(destination_, "write failed (disk full?)"));
  }
  written_ = true;
}

void AtomicFile::rename_into_place() {
  std::error_code error;
  std::filesystem::rename(temporary_, destination_, error);
  if (error) {
    throw OutputError(describe(destination_, "cannot rename into place: " + error.message()));
  }
  committed_ = true;
  // The rename itself reaches the disk with the folder's entry.
  const std::filesystem::path folder = destination_.has_parent_path() ? destination_.parent_path() : ".";
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

void AtomicFile::commit() {
  write_out();
  rename_into_place();
}

void commit_together(AtomicFile& first, AtomicFile& second) {
  first.write_out();
  second.write_out();
  // The first destination's old content stays reachable under a temporary name (a hard link)
  // until the second rename has succeeded.
  std::filesystem::path old;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path name = first.unused_name();
    if (::link(first.destination_.c_str(), name.c_str()) == 0) {
      old = name;
      break;
    }
    if (errno != EEXIST) break;
  }
  first.rename_into_place();
  try {
    second.rename_into_place();
  } catch (const OutputError&) {
    if (old.empty()) {
      ::unlink(first.destination_.c_str());
    } else {
      ::rename(old.c_str(), first.destination_.c_str());
    }
    throw;
  }
  if (!old.empty()) ::unlink(old.c_str());
}

std::ifstream open_input(const std::filesystem::path& input) {
  std::error_code error;
  const auto status = std::filesystem::status(input, error);
  if (error || !std::filesystem::exists(status)) {
    throw ToolError(input.string(), "cannot open: no such file");
  }
  if (std::filesystem::is_directory(status)) {
    throw ToolError(input.string(), "is a directory, not a motion file");
  }
  std::ifstream in(input, std::ios::binary);
  if (!in) {
    throw ToolError(input.string(), std::string("cannot open: ") + std::strerror(errno));
  }
  return in;
}

}  // namespace oxr
