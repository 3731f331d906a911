#pragma once

// Where a run's results go, planned before any work: the format from -o, every input's result, the
// shard's part, and the refusal of any output over an input or over another output.

#include "PoseWriter.h"
#include "ToolError.h"

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace oxr {

struct RetargetOptions;

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
  // The folders the claimed paths go into, each once, in the order claimed.
  std::vector<std::filesystem::path> folders() const;

 private:
  std::vector<std::string> keys(const std::filesystem::path& path) const;
  std::map<std::string, std::string> inputs_;                          // key -> input as given
  std::map<std::string, std::pair<std::string, std::string>> claims_;  // key -> (path as given, what)
  std::vector<std::filesystem::path> folders_;
};

// True for a name that ends in a file extension the tool writes (.json, .csv, .glb, .gltf, .bvh,
// .fbx, .vrm, .vrma, .html), in any letter case: such an -o names a file, never a folder.
bool has_output_extension(const std::string& name);

// Where a run's outputs go: into the folder `out` names (true), or to the file it names (false).
// Several inputs, --shard (unless -o names a file with an output extension), a trailing '/' or an
// existing folder make it a folder; several inputs and a file name are a usage error.
bool output_is_folder(const std::string& out, std::size_t inputs, bool sharded);

// The format `format` names ("glb"), else the one the output file's extension names (one input),
// else JSON; with a glTF or VRM character, VRM Animation when asked, else its own container (.glb,
// .gltf or .vrm; glb for a VRM when asked), which `format` and a one-input output must agree with;
// with an FBX character, FBX or glTF as asked, else glb. Throws UsageError on an unknown format
// or extension, its hint spelled by `spell`. The options must be prepared (prepare_options).
Format choose_format(const std::vector<std::string>& inputs, const std::string& out, const std::string& format,
                     const RetargetOptions& options, Error::OptionSpelling spell);

// One input and where its result goes.
struct PlannedFile {
  std::filesystem::path input;
  std::filesystem::path output;
};

// A run of the tool, planned: every input's result, whatever the shard, so that every shard refuses
// the same collisions, and the shard's part.
struct RunPlan {
  Format format = Format::Json;
  std::string output_argument;     // the -o that one input of the run passes ("" beside it; a folder ends in '/')
  std::vector<PlannedFile> files;  // every input, in the order given
  std::vector<std::size_t> part;   // the shard's files, indices into files, sorted by input; all without a shard
  OutputPlan paths;                // every path the run writes, the report's too
};

// Registers every file an option names as an input: the character with the buffers and images it
// refers to, the map, the character's map, the target rig, the rest file. The options must be prepared
// (prepare_options).
void add_option_inputs(const RetargetOptions& options, OutputPlan& plan);

// Plans the retarget of `inputs` into `out` (a file, a folder, or "" for beside each input), with the
// report (or "") and the shard ("K/N" or ""). Throws UsageError, naming the path, on a result over an
// input or over another result, and on a shard that is not K/N with 1 <= K <= N.
RunPlan plan_run(const std::vector<std::string>& inputs, const std::string& out, const std::string& format,
                 const std::string& report, const std::string& shard, const RetargetOptions& options);

// The files a result consists of: a .gltf comes with its .bin.
std::vector<std::filesystem::path> result_files(const std::filesystem::path& output, Format format);

// The plan as JSON for a program that runs the inputs itself (the cluster runner): format,
// output_argument, folders (to create), and per input its output, its result files and whether it is
// in the shard's part.
std::string run_plan_json(const RunPlan& plan);

}  // namespace oxr
