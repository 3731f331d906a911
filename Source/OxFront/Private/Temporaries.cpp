#include "Temporaries.h"

#include "AtomicFile.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <string>
#include <string_view>
#include <system_error>

#include <unistd.h>

namespace fs = std::filesystem;

namespace oxr {
namespace {

constexpr std::size_t kHostLimit = 64;

// This machine's name as temporaries carry it.
std::string temporary_host() {
  char host[256] = {};
  if (::gethostname(host, sizeof(host) - 1) != 0) host[0] = '\0';
  std::string name(host);
  if (name.size() > kHostLimit) name.resize(kHostLimit);
  for (char& c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '_';
  }
  return name.empty() ? std::string("host") : name;
}

// The writer of a temporary: the host and process of "HOST-PID-N".
struct TemporaryOwner {
  std::string host;
  long pid = 0;
};

bool parse_temporary_owner(const std::string& suffix, TemporaryOwner& owner) {
  // HOST may hold '-', PID and N are digits: read from the right.
  const auto last = suffix.rfind('-');
  if (last == std::string::npos || last == 0) return false;
  const auto middle = suffix.rfind('-', last - 1);
  if (middle == std::string::npos || middle == 0) return false;
  const auto digits = [](std::string_view text, long& value) {
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size();
  };
  long counter = 0;
  if (!digits(std::string_view(suffix).substr(last + 1), counter)) return false;
  if (!digits(std::string_view(suffix).substr(middle + 1, last - middle - 1), owner.pid) || owner.pid <= 0) {
    return false;
  }
  owner.host = suffix.substr(0, middle);
  return true;
}

// True when the owner is a process of this host that no longer runs.
bool owner_is_gone(const TemporaryOwner& owner) {
  if (owner.host != temporary_host()) return false;  // another machine's process: cannot tell
  return ::kill(static_cast<pid_t>(owner.pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

void tag_temporaries_with_host() { set_temporary_tag(temporary_host() + "-" + std::to_string(::getpid())); }

void remove_stale_temporaries(const fs::path& file, const OutputPlan& plan) {
  const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
  const std::string prefix = temporary_prefix(file);
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    TemporaryOwner owner;
    if (name.rfind(prefix, 0) != 0 || !parse_temporary_owner(name.substr(prefix.size()), owner)) continue;
    std::error_code ignored;
    if (!fs::is_regular_file(fs::symlink_status(it->path(), ignored)) || plan.is_input(it->path())) continue;
    if (owner_is_gone(owner)) fs::remove(it->path(), ignored);
  }
}

}  // namespace oxr
