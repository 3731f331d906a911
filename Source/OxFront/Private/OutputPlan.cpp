#include "OutputPlan.h"

#include "AtomicFile.h"
#include "ToolError.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <system_error>

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace oxr {

std::vector<std::string> OutputPlan::keys(const fs::path& path) const {
  std::error_code error;
  fs::path full = fs::weakly_canonical(fs::absolute(path, error), error);
  if (error) full = fs::absolute(path, error).lexically_normal();
  std::vector<std::string> found{"p:" + full.string()};
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
    found.push_back("i:" + std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino));
  }
  return found;
}

void OutputPlan::add_input(const fs::path& input) {
  for (const std::string& key : keys(input)) inputs_.emplace(key, input.string());
}

bool OutputPlan::is_input(const fs::path& path) const {
  for (const std::string& key : keys(path)) {
    if (inputs_.count(key) != 0) return true;
  }
  return false;
}

void OutputPlan::claim(const fs::path& path, const std::string& what) {
  const std::vector<std::string> found = keys(path);
  for (const std::string& key : found) {
    if (inputs_.count(key) != 0) {
      throw UsageError(path.string() + ": " + what + " would overwrite an input file; choose another output");
    }
    const auto it = claims_.find(key);
    if (it != claims_.end()) {
      throw UsageError(path.string() + ": " + what + " would overwrite " + it->second.second +
                       (it->second.first == path.string() ? "" : " (" + it->second.first + ")"));
    }
  }
  for (const std::string& key : found) claims_.emplace(key, std::pair{path.string(), what});
  folders_.push_back(path.parent_path());
}

void OutputPlan::create_folders() const {
  std::set<fs::path> done;
  for (const fs::path& folder : folders_) {
    if (folder.empty() || !done.insert(folder).second) continue;
    std::error_code error;
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder, error)) {
      throw UsageError(folder.string() +
                       ": cannot create folder: " + (error ? error.message() : std::string("Not a directory")));
    }
  }
}

bool has_output_extension(const std::string& name) {
  std::string extension = fs::path(name).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const std::set<std::string> known{".json", ".csv", ".glb", ".gltf", ".bvh", ".html"};
  return known.count(extension) != 0;
}

bool output_is_folder(const std::string& out, std::size_t inputs, bool sharded) {
  if (out.empty()) return false;
  std::error_code error;
  if (out.back() == '/' || fs::is_directory(out, error)) return true;
  if (inputs > 1 && has_output_extension(out)) {
    throw UsageError(out + ": names a file, but several inputs need an output folder; name a folder with -o");
  }
  if (inputs > 1 || (sharded && !has_output_extension(out))) {
    if (fs::exists(fs::symlink_status(out, error))) {
      throw UsageError(out + ": is not a folder; several inputs need an output folder");
    }
    return true;
  }
  return false;
}

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
