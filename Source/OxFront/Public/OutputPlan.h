#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace oxr {

// Every path a run will write, gathered before any work: results, their companions (.bin), pages,
// the index and the report. A path is one file however it is spelled (relative or absolute, "a/../b",
// a link to it, a hard link of an existing file).
class OutputPlan {
 public:
  // Inputs are never written to.
  void add_input(const std::filesystem::path& input);
  // Claims `path` for `what` ("the results of a.bvh", "the report"); throws UsageError naming the
  // path when an input or an earlier claim already has it.
  void claim(const std::filesystem::path& path, const std::string& what);
  // True when `path` is one of the inputs.
  bool is_input(const std::filesystem::path& path) const;
  // Creates the folders the claimed paths go into; throws UsageError naming the first one that
  // cannot be made.
  void create_folders() const;

 private:
  std::vector<std::string> keys(const std::filesystem::path& path) const;
  std::map<std::string, std::string> inputs_;                          // key -> input as given
  std::map<std::string, std::pair<std::string, std::string>> claims_;  // key -> (path as given, what)
  std::vector<std::filesystem::path> folders_;
};

// True for a name that ends in a file extension the tool writes (.json, .csv, .glb, .gltf, .bvh,
// .html), in any letter case: such an -o names a file, never a folder.
bool has_output_extension(const std::string& name);

// Where a run's outputs go: into the folder `out` names (true), or to the file it names (false).
// Several inputs, --shard (unless -o names a file with an output extension), a trailing '/' or an
// existing folder make it a folder; several inputs and a file name are a usage error.
bool output_is_folder(const std::string& out, std::size_t inputs, bool sharded);

// Removes the temporaries ("NAME.tmp-HOST-PID-N") beside `file` that a process of this host left
// and that no longer runs; temporaries of live processes or other hosts, and inputs, stay.
void remove_stale_temporaries(const std::filesystem::path& file, const OutputPlan& plan);

}  // namespace oxr
