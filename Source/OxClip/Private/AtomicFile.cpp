#include "AtomicFile.h"

#include "ToolError.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include <unistd.h>

namespace oxr {
namespace {

std::atomic<unsigned> g_counter{0};

std::string describe(const std::filesystem::path& path, const std::string& problem) {
  return path.string() + ": " + problem;
}

}  // namespace

AtomicFile::AtomicFile(std::filesystem::path destination) : destination_(std::move(destination)) {
  temporary_ = destination_;
  // Host, process and a counter: unique even when machines share the folder.
  char host[64] = {};
  if (::gethostname(host, sizeof(host) - 1) != 0) host[0] = '\0';
  std::string name(host);
  for (char& c : name) {
    if (c == '/' || c == '\\') c = '_';
  }
  temporary_ += ".tmp-" + name + "-" + std::to_string(::getpid()) + "-" + std::to_string(g_counter++);
  out_.open(temporary_, std::ios::binary | std::ios::trunc);
  if (!out_) {
    throw OutputError(describe(destination_, std::string("cannot write: ") + std::strerror(errno)));
  }
}

AtomicFile::~AtomicFile() {
  if (!committed_) {
    out_.close();
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
  }
}

void AtomicFile::commit() {
  out_.flush();
  const bool written = static_cast<bool>(out_);
  out_.close();
  if (!written || out_.fail()) {
    throw OutputError(describe(destination_, "write failed (disk full?)"));
  }
  std::error_code error;
  std::filesystem::rename(temporary_, destination_, error);
  if (error) {
    throw OutputError(describe(destination_, "cannot rename into place: " + error.message()));
  }
  committed_ = true;
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
