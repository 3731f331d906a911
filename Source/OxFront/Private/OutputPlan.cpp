#include "OutputPlan.h"

#include "Character.h"
#include "Errors.h"
#include "Options.h"
#include "Retarget.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>
#include <system_error>

#include <sys/stat.h>
#include <nlohmann/json.hpp>

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

std::vector<fs::path> OutputPlan::folders() const {
  std::vector<fs::path> found;
  std::set<fs::path> done;
  for (const fs::path& folder : folders_) {
    if (!folder.empty() && done.insert(folder).second) found.push_back(folder);
  }
  return found;
}

void OutputPlan::create_folders() const {
  for (const fs::path& folder : folders()) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder, error)) {
      throw UsageError(folder.string() +
                       ": cannot create folder: " + (error ? error.message() : std::string("Not a directory")));
    }
  }
}

namespace {

std::string lower_extension(const std::string& name) {
  std::string extension = fs::path(name).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

}  // namespace

bool has_output_extension(const std::string& name) {
  const std::string extension = lower_extension(name);
  static const std::set<std::string> known{".json", ".csv", ".glb", ".gltf", ".bvh", ".fbx", ".vrm", ".vrma", ".html"};
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

namespace {

// The formats the option table lists, as a sentence's list: "json, csv, glb, gltf, bvh or fbx"; with
// `dot`, as extensions: ".json, .csv, ...".
std::string format_list(bool dot) {
  const OptionSpec* spec = find_option("format");
  const std::vector<std::string> names = spec != nullptr ? option_choices(*spec) : std::vector<std::string>{};
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " or " : ", ";
    if (dot) text += '.';
    text += names[i];
  }
  return text;
}

// The format of a glTF or VRM character's results: VRM Animation when asked (by name or by a .vrma
// output), else the character's own container, a VRM kept as VRM unless glb is asked. A format that
// names another container is refused, and so is a one-input output file that does without a format
// (a format given wins over the file's extension).
Format character_format(const RetargetOptions& options, const std::string& out, const std::string& format,
                        bool file_named) {
  const std::string extension = lower_extension(out);
  if (format == "vrma" || (format.empty() && extension == ".vrma")) return Format::Vrma;
  const Format own = !options.character->binary()                        ? Format::Gltf
                     : lower_extension(options.character_file) == ".vrm" ? Format::Vrm
                                                                         : Format::Glb;
  const std::string name = std::string(extension_for(own)).substr(1);
  const bool glb_of_vrm = own == Format::Vrm && (format == "glb" || extension == ".glb");
  if (!format.empty() && format != name && !(own == Format::Vrm && format == "glb")) {
    throw UsageError("writes ." + name + " files, not " + format).of_option("character", options.character_file);
  }
  if (format.empty() && file_named && extension != "." + name && !(own == Format::Vrm && extension == ".glb")) {
    throw UsageError(out, "writes a ." + name + " file").of_option("character", options.character_file);
  }
  return glb_of_vrm ? Format::Glb : own;
}

// The format `format` names, else the one-input output file's extension names, else JSON.
Format asked_format(const std::string& out, const std::string& format, bool file_named, Error::OptionSpelling spell) {
  const std::string extension = lower_extension(out);
  if (format == "vrm" || (format.empty() && file_named && extension == ".vrm")) {
    throw UsageError("a .vrm result is a VRM character with the clip added: give the character with " +
                     spell("character", ""));
  }
  if (!format.empty()) {
    if (const auto named = format_from_name(format)) return *named;
    throw UsageError(": expected one of " + format_list(false)).of_option("format", format);
  }
  if (!file_named || extension.empty()) return Format::Json;
  if (const auto named = format_from_name(extension.substr(1))) return *named;
  throw UsageError(out, "cannot write " + extension + " files; name a " + format_list(true) + " file or give " +
                            spell("format", ""));
}

}  // namespace

Format choose_format(const std::vector<std::string>& inputs, const std::string& out, const std::string& format,
                     const RetargetOptions& options, Error::OptionSpelling spell) {
  std::error_code error;
  const bool file_named = inputs.size() == 1 && !out.empty() && out.back() != '/' && !fs::is_directory(out, error);
  if (options.character) return character_format(options, out, format, file_named);
  const Format asked = asked_format(out, format, file_named, spell);
  if (!options.fbx_character) return asked;
  // An FBX character's skeleton goes out as FBX when asked, else as glTF (glb unless gltf is asked).
  return asked == Format::Fbx ? Format::Fbx : asked == Format::Gltf ? Format::Gltf : Format::Glb;
}

std::vector<fs::path> result_files(const fs::path& output, Format format) {
  std::vector<fs::path> files{output};
  if (format == Format::Gltf) files.push_back(fs::path(output).replace_extension(".bin"));
  return files;
}

namespace {

// Where each input's results go: next to the input, into the folder `out` names, or (one input) to
// the file it names.
void plan_outputs(const std::vector<std::string>& inputs, const std::string& out, bool sharded, RunPlan& run) {
  const bool folder = output_is_folder(out, inputs.size(), sharded);
  run.output_argument = folder ? (out.back() == '/' ? out : out + "/") : out;
  for (const std::string& input : inputs) run.paths.add_input(input);
  std::map<fs::path, std::string> taken;
  for (const std::string& input : inputs) {
    fs::path target;
    if (out.empty()) {
      target = fs::path(input).replace_extension(extension_for(run.format));
    } else if (folder) {
      target = fs::path(out) / fs::path(input).filename().replace_extension(extension_for(run.format));
    } else {
      target = out;
    }
    if (run.paths.is_input(target)) {
      throw UsageError(target.string(), "would overwrite an input file; choose another output with -o");
    }
    const auto [it, inserted] = taken.emplace(target.lexically_normal(), input);
    if (!inserted) {
      throw UsageError(input, "would overwrite the results of " + it->second + " in " + target.string());
    }
    run.paths.claim(target, "the results of " + input);
    if (run.format == Format::Gltf) {
      run.paths.claim(fs::path(target).replace_extension(".bin"), "the buffer of " + input);
    }
    run.files.push_back({input, target});
  }
  if (folder) run.paths.claim(fs::path(out) / ".", "the output folder");
}

// The K-th of N parts (1-based) of the files sorted by input name: every N-th input from the K-th on.
std::vector<std::size_t> shard_of(const std::vector<PlannedFile>& files, const std::string& shard) {
  int part = 0;
  int parts = 0;
  const auto slash = shard.find('/');
  const auto number = [](std::string_view text, int& value) {
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
  };
  if (slash == std::string::npos || !number(std::string_view(shard).substr(0, slash), part) ||
      !number(std::string_view(shard).substr(slash + 1), parts) || parts < 1 || part < 1 || part > parts) {
    throw UsageError(": expected K/N with 1 <= K <= N, e.g. 3/8").of_option("shard", shard);
  }
  std::vector<std::size_t> order(files.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return files[a].input.string() < files[b].input.string(); });
  std::vector<std::size_t> mine;
  for (std::size_t i = static_cast<std::size_t>(part - 1); i < order.size(); i += static_cast<std::size_t>(parts)) {
    mine.push_back(order[i]);
  }
  return mine;
}

}  // namespace

void add_option_inputs(const RetargetOptions& options, OutputPlan& plan) {
  if (!options.character_file.empty()) plan.add_input(options.character_file);
  if (options.character) {
    plan.add_input(options.character->path());
    for (const fs::path& file : options.character->files()) plan.add_input(file);
  }
  if (!options.map_name.empty() && options.map) plan.add_input(options.map_name);
  if (!options.target_map.empty()) plan.add_input(options.target_map);
  if (!options.target_rig.empty()) plan.add_input(options.target_rig);
  if (options.source_rest.mode == SourceRest::Mode::File) plan.add_input(options.source_rest.file);
}

RunPlan plan_run(const std::vector<std::string>& inputs, const std::string& out, const std::string& format,
                 const std::string& report, const std::string& shard, const RetargetOptions& options) {
  RunPlan run;
  run.format = choose_format(inputs, out, format, options, &command_line_spelling);
  add_option_inputs(options, run.paths);
  plan_outputs(inputs, out, !shard.empty(), run);
  if (!report.empty()) run.paths.claim(report, "the report");
  if (shard.empty()) {
    run.part.resize(run.files.size());
    for (std::size_t i = 0; i < run.part.size(); ++i) run.part[i] = i;
  } else {
    run.part = shard_of(run.files, shard);
  }
  return run;
}

std::string run_plan_json(const RunPlan& plan) {
  nlohmann::ordered_json files = nlohmann::ordered_json::array();
  std::vector<bool> mine(plan.files.size(), false);
  for (const std::size_t i : plan.part) mine[i] = true;
  for (std::size_t i = 0; i < plan.files.size(); ++i) {
    nlohmann::ordered_json written = nlohmann::ordered_json::array();
    for (const fs::path& file : result_files(plan.files[i].output, plan.format)) written.push_back(file.string());
    files.push_back({{"input", plan.files[i].input.string()},
                     {"output", plan.files[i].output.string()},
                     {"files", std::move(written)},
                     {"in_shard", static_cast<bool>(mine[i])}});
  }
  nlohmann::ordered_json folders = nlohmann::ordered_json::array();
  for (const fs::path& folder : plan.paths.folders()) folders.push_back(folder.string());
  nlohmann::ordered_json json{{"format", std::string(extension_for(plan.format)).substr(1)},
                              {"output_argument", plan.output_argument},
                              {"folders", std::move(folders)},
                              {"files", std::move(files)}};
  return json.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace oxr
