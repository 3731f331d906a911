#include "Commands.h"

#include "AtomicFile.h"
#include "Batch.h"
#include "Character.h"
#include "DemoClip.h"
#include "Errors.h"
#include "FbxReader.h"
#include "Options.h"
#include "OutputPlan.h"
#include "PreviewPage.h"
#include "Qa.h"
#include "Retarget.h"
#include "Solver.h"
#include "Temporaries.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <numbers>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <stdlib.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

namespace oxr {
namespace {

constexpr int kTargetBones = 64;

// Text from a file or the command line as info shows it: control bytes masked, as in error messages.
std::string shown(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
  return out;
}

std::string join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += ", ";
    out += shown(item);
  }
  return out;
}

// A result is complete once it exists under its final name (files only get there by a rename after
// the last byte); current when it is no older than its input.
bool result_is_current(const BatchJob& job, Format format) {
  std::error_code error;
  const auto input_time = fs::last_write_time(job.input, error);
  if (error) return false;
  for (const fs::path& file : result_files(job.output, format)) {
    if (!fs::is_regular_file(file, error)) return false;
    const auto time = fs::last_write_time(file, error);
    if (error || time < input_time) return false;
  }
  return true;
}

// How far the file's zero pose is from the KZ T-pose, and what its first frame looks like: an A-pose,
// or a calibration frame the next frame jumps away from.
void describe_rest(FrameSource& clip, const JointMatch& match) {
  const bvh::Header& header = clip.header();
  const SkeletonData& source = source_skeleton();
  double largest = 0;
  std::string where = "none";
  for (const JointMatch::Pair& pair : match.matched) {
    const double angle = angle_degrees(source.t_pose_world[static_cast<std::size_t>(source.index_of(pair.bone))]);
    if (angle > largest + 1e-9) {
      largest = angle;
      where = pair.bone;
    }
  }
  fmt::print("rest pose (the zero pose) against the KZ T-pose: largest difference {:.1f} degrees, at {}\n", largest,
             where);

  // The first two frames, their local rotations and joint positions.
  if (!clip.rewind()) return;
  std::vector<double> values(static_cast<std::size_t>(header.channel_count));
  std::vector<std::vector<Quat>> local;
  std::vector<std::vector<Vec3>> position;
  std::vector<Quat> world(header.joints.size());
  for (int f = 0; f < 2 && clip.read_frame(values); ++f) {
    local.emplace_back(header.joints.size());
    position.emplace_back(header.joints.size());
    file_joint_poses(header, values, true, local.back(), world, position.back());
  }
  if (local.empty()) return;
  const auto joint_of = [&](const char* bone) {
    for (const JointMatch::Pair& pair : match.matched) {
      if (pair.bone == bone) return pair.joint;
    }
    return -1;
  };
  // Arms: the upper arm's elevation in frame 0, negative below the horizontal.
  double lowered = 0;
  int arms = 0;
  for (const auto& [arm, fore] : {std::pair{"LeftArm", "LeftForeArm"}, std::pair{"RightArm", "RightForeArm"}}) {
    const int a = joint_of(arm), b = joint_of(fore);
    if (a < 0 || b < 0) continue;
    const Vec3 d = sub(position[0][static_cast<std::size_t>(b)], position[0][static_cast<std::size_t>(a)]);
    if (length(d) <= 0) continue;
    lowered += -std::asin(std::clamp(d[1] / length(d), -1.0, 1.0)) * 180 / std::numbers::pi;
    ++arms;
  }
  if (arms == 2 && lowered / 2 > 25 && lowered / 2 < 65) {
    fmt::print(
        "warning: frame 0 looks like an A-pose (arms {:.0f} degrees below the horizontal); if it is the "
        "capture's rest pose, retarget with --source-rest frame:0\n",
        lowered / 2);
  }
  if (local.size() == 2) {
    double jump = 0;
    std::string bone;
    for (const JointMatch::Pair& pair : match.matched) {
      const auto j = static_cast<std::size_t>(pair.joint);
      const double angle = angle_degrees(mul(conj(local[0][j]), local[1][j]));
      if (angle > jump) {
        jump = angle;
        bone = pair.bone;
      }
    }
    if (jump > 30) {
      fmt::print(
          "warning: frame 0 looks like a calibration frame ({} turns {:.0f} degrees into frame 1); "
          "--source-rest frame:0 rests on it, or leave it out\n",
          bone, jump);
    }
  }
}

// A range (--start, --end) outside a file, or --fps past the frame limit, is a wrong command line: every input's frame
// count is checked before anything is retargeted. A file whose header cannot be read fails later, on its own.
void check_clip_ranges(const std::vector<BatchJob>& batch, const ClipOptions& clip) {
  if (!clip.start && !clip.end && !(clip.fps > 0)) return;
  for (const BatchJob& job : batch) {
    if (job.skip) continue;
    bvh::Header header;
    try {
      header = read_header(job.input);
    } catch (const ToolError&) {
      continue;
    }
    clip_range(clip, header.frame_count, header.frame_time, job.input.string());
  }
}

// The bytes of a file the preview embeds; throws ToolError naming it when it cannot be read.
std::string file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (!in.good() && !in.eof()) throw ToolError(path.string(), "cannot be read");
  if (!in.is_open()) throw ToolError(path.string(), "cannot be opened");
  return bytes;
}

// A relative URI's path: percent escapes decoded (a malformed one is kept as written).
std::string uri_path(const std::string& uri) {
  std::string out;
  for (std::size_t i = 0; i < uri.size(); ++i) {
    unsigned value = 0;
    if (uri[i] == '%' && i + 2 < uri.size() &&
        std::from_chars(uri.data() + i + 1, uri.data() + i + 3, value, 16).ptr == uri.data() + i + 3) {
      out += static_cast<char>(value);
      i += 2;
    } else {
      out += uri[i];
    }
  }
  return out;
}

// The character with a clip's result, as the preview page embeds it: the character writer writes it
// into a folder of its own under the system's temporary folder, the page takes its bytes and those
// of the files its relative URIs name, and the folder goes when this does.
class PreviewCharacterResult {
 public:
  explicit PreviewCharacterResult(const Character& character) : character_(character) {
    std::string pattern = (fs::temp_directory_path() / "oxretarget-preview-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw OutputError(pattern, "cannot create a temporary folder for the character's result");
    }
    folder_ = pattern;
  }
  PreviewCharacterResult(const PreviewCharacterResult&) = delete;
  PreviewCharacterResult& operator=(const PreviewCharacterResult&) = delete;
  ~PreviewCharacterResult() {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  void start(const ClipInfo& info) { writer_ = make_character_writer(character_, destination(), info); }
  void write_frame(std::int64_t frame, const FramePose& pose) { writer_->write_frame(frame, pose); }

  PreviewCharacter finish() {
    writer_->finish();
    PreviewCharacter out;
    out.binary = character_.binary();
    out.file = file_bytes(destination());
    if (!out.binary) {
      const nlohmann::json json = nlohmann::json::parse(out.file);
      for (const char* list : {"buffers", "images"}) {
        if (!json.contains(list)) continue;
        for (const nlohmann::json& item : json[list]) {
          if (!item.contains("uri") || !item["uri"].is_string()) continue;
          const std::string uri = item["uri"].get<std::string>();
          if (uri.rfind("data:", 0) == 0 || uri.find("://") != std::string::npos) continue;
          out.resources.emplace_back(uri, file_bytes(folder_ / uri_path(uri)));
        }
      }
    }
    return out;
  }

 private:
  fs::path destination() const { return folder_ / (character_.binary() ? "character.glb" : "character.gltf"); }

  const Character& character_;
  fs::path folder_;
  std::unique_ptr<PoseWriter> writer_;
};

// The inputs a file lists, one path a line (empty lines skipped).
std::vector<std::string> read_input_list(const std::string& list) {
  std::ifstream in(list, std::ios::binary);
  if (!in) throw UsageError(list, "cannot open the list of inputs");
  std::vector<std::string> inputs;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) inputs.push_back(std::move(line));
  }
  if (in.bad()) throw UsageError(list, "cannot read the list of inputs");
  if (inputs.empty()) throw UsageError(list, "lists no inputs");
  return inputs;
}

}  // namespace

int run_retarget(std::vector<std::string> inputs, const std::string& out, const BatchSettings& settings,
                 RetargetOptions options) {
  prepare_options(options);
  // Every input's outputs and the report are planned before any work, then the shard's part is taken.
  const RunPlan plan = plan_run(inputs, out, settings.format, settings.report, settings.shard, options);
  options.format = plan.format;
  std::vector<BatchJob> batch;
  batch.reserve(plan.part.size());
  for (const std::size_t i : plan.part) batch.push_back({plan.files[i].input, plan.files[i].output});
  plan.paths.create_folders();
  // The report's temporary is opened now, so that an unwritable report fails before the work.
  std::unique_ptr<AtomicFile> report_file;
  if (!settings.report.empty()) report_file = std::make_unique<AtomicFile>(settings.report);
  for (BatchJob& job : batch) {
    if (!settings.resume) continue;
    // Only temporaries whose process has ended; another run writing into the folder keeps its own.
    for (const fs::path& file : result_files(job.output, options.format)) remove_stale_temporaries(file, plan.paths);
    job.skip = result_is_current(job, options.format);
  }
  check_clip_ranges(batch, options.clip);
  const bool progress = !settings.quiet && batch.size() > 1 && ::isatty(STDERR_FILENO);
  const BatchReport report = run_batch(batch, options, settings.jobs, progress);
  std::size_t warnings = 0;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const FileOutcome& outcome = report.outcomes[i];
    if (!outcome.error.empty()) fmt::print(stderr, "oxretarget: error: {}\n", outcome.error);
    const std::vector<std::string> lines = warning_lines(outcome.warnings, &command_line_spelling);
    if (!settings.quiet) {
      for (const std::string& line : lines)
        fmt::print(stderr, "oxretarget: warning: {}: {}\n", batch[i].input.string(), line);
    }
    warnings += lines.size();
  }
  if (report_file) {
    report_file->stream() << report_lines(batch, report);
    report_file->commit();
  }
  const double fps = report.seconds > 0 ? static_cast<double>(report.frames) / report.seconds : 0.0;
  std::string extra;
  if (report.files_skipped > 0) extra += fmt::format(", {} skipped as done", report.files_skipped);
  if (warnings > 0) extra += fmt::format(", {} warnings", warnings);
  fmt::print(stderr, "{} of {} files retargeted, {} frames in {:.3f} s ({:.0f} frames/s){}\n", report.files_ok,
             batch.size(), report.frames, report.seconds, fps, extra);
  if (report.files_failed > 0 && batch.size() > 1) {
    fmt::print(stderr, "{} failed:\n", report.files_failed);
    for (const FileOutcome& outcome : report.outcomes) {
      if (outcome.status == "failed") fmt::print(stderr, "  {}\n", outcome.error);
    }
  }
  if (!settings.quiet && batch.size() == 1 && report.files_failed == 0) fmt::print("{}\n", batch[0].output.string());
  return report.files_failed == 0 ? 0 : 1;
}

int run_plan(const std::string& list, const std::string& out, const BatchSettings& settings, RetargetOptions options) {
  prepare_options(options);
  const std::vector<std::string> inputs = read_input_list(list);
  fmt::print("{}", run_plan_json(plan_run(inputs, out, settings.format, settings.report, settings.shard, options)));
  return 0;
}

namespace {

// Retargets one input and writes its page; the page's entry in the index.
PreviewIndexEntry write_preview(const std::string& input, const fs::path& page, const RetargetOptions& options,
                                Solver& solver) {
  const std::unique_ptr<FrameSource> source = open_motion_file(input, options);
  PreviewClip clip;
  clip.title = fs::path(input).filename().string();
  double unit = metres_per_unit(options.units);
  TargetSkeleton skeleton;
  std::vector<Vec3> target;
  std::unique_ptr<ClipQa> qa;
  std::optional<PreviewCharacterResult> character;
  if (options.character) character.emplace(*options.character);
  const FileResult result = retarget_source(
      *source, input, options, solver,
      [&](const ClipInfo& info) {
        clip.frame_time = info.frame_time;
        clip.source.joints = info.source_joints;
        clip.source.parents = info.source_parents;
        clip.source.sides = info.source_sides;
        clip.target.joints = info.skeleton.names;
        clip.target.parents = info.skeleton.parents;
        clip.target.sides.clear();
        for (const std::string& bone : info.skeleton.names)
          clip.target.sides.push_back(static_cast<int>(side_of_name(bone)));
        skeleton = info.skeleton;
        qa = std::make_unique<ClipQa>(info);
        if (character) character->start(info);
        const auto frames = static_cast<std::size_t>(std::min<std::int64_t>(info.frames_to_reserve, 1 << 20));
        clip.source.positions.reserve(frames * info.source_joints.size() * 3);
        clip.target.positions.reserve(frames * info.skeleton.names.size() * 3);
      },
      [&](std::int64_t frame, const FramePose& pose) {
        for (const Vec3& p : pose.source_positions) {
          for (const double value : p) clip.source.positions.push_back(static_cast<float>(value * unit));
        }
        target_world_positions(skeleton, pose, target);
        qa->observe(frame, pose, target);
        for (const Vec3& p : target) {
          for (const double value : p) clip.target.positions.push_back(static_cast<float>(value * unit));
        }
        if (character) character->write_frame(frame, pose);
      });
  clip.frames = result.frames;
  if (clip.frames == 0) throw ToolError(input, "has no frames to show");
  if (character) {
    try {
      clip.character = character->finish();
    } catch (Error& error) {
      error.in_file(input);
      throw;
    }
  }
  AtomicFile file(page);
  try {
    write_preview_page(file.stream(), clip);
  } catch (const std::invalid_argument& error) {
    throw ToolError(input, error.what());
  }
  file.commit();
  return {page.filename().string(), clip.title, clip.frames, static_cast<double>(clip.frames) * clip.frame_time,
          warning_lines(qa->warnings(), &command_line_spelling)};
}

}  // namespace

int run_preview(const std::vector<std::string>& inputs, const std::string& out, RetargetOptions options) {
  prepare_options(options);
  // Every page and the index are planned before any work.
  const bool many = inputs.size() > 1;
  const std::string folder = out.empty() ? (many ? std::string("preview") : std::string()) : out;
  const bool in_folder = output_is_folder(folder, inputs.size(), false);
  OutputPlan plan;
  add_option_inputs(options, plan);
  for (const std::string& input : inputs) plan.add_input(input);
  std::vector<fs::path> pages;
  for (const std::string& input : inputs) {
    pages.push_back(in_folder ? fs::path(folder) / fs::path(input).filename().replace_extension(".html")
                              : (out.empty() ? fs::path(input).replace_extension(".html") : fs::path(out)));
    plan.claim(pages.back(), "the page of " + input);
  }
  {
    std::vector<BatchJob> checked;
    checked.reserve(inputs.size());
    for (const std::string& input : inputs) checked.push_back({input, {}, false});
    check_clip_ranges(checked, options.clip);
  }
  const fs::path index = fs::path(folder) / "index.html";
  if (many) plan.claim(index, "the index");
  plan.create_folders();
  Solver solver;
  std::vector<PreviewIndexEntry> entries;
  int failed = 0;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const std::string& input = inputs[i];
    const fs::path& page = pages[i];
    try {
      entries.push_back(write_preview(input, page, options, solver));
      if (!many) fmt::print("{}\n", page.string());
    } catch (const ToolError& error) {
      fmt::print(stderr, "oxretarget: error: {}\n", command_line_text(error));
      ++failed;
    } catch (const std::bad_alloc&) {
      // One clip too large for this machine's memory fails alone; the others and the index go on.
      fmt::print(stderr, "oxretarget: error: {}: out of memory\n", input);
      ++failed;
    }
  }
  if (many) {
    AtomicFile file(index);
    write_preview_index(file.stream(), entries);
    file.commit();
    fmt::print("{}\n", index.string());
  }
  return failed == 0 ? 0 : 1;
}

// info on a character: which node plays which target bone, and what said so.
int run_character_info(const std::string& input, const RetargetOptions& options) {
  const auto character = Character::read(input, options.units, options.target_map);
  fmt::print("character: {}{}\n", shown(input), character->vrm() ? " (VRM)" : "");
  fmt::print("nodes: {}\n", character->nodes().size());
  fmt::print("mapping from: {}\n", character->mapping_source());
  const Quat& facing = character->facing();
  const Vec3 forward = rotate(facing, {0, 0, 1}), up = rotate(facing, {0, 1, 0});
  const auto axis = [](const Vec3& v) {
    for (std::size_t a = 0; a < 3; ++a) {
      if (std::abs(v[a]) > 0.999) return fmt::format("{}{}", v[a] > 0 ? '+' : '-', "XYZ"[a]);
    }
    return fmt::format("({:.2f}, {:.2f}, {:.2f})", v[0], v[1], v[2]);
  };
  fmt::print("up: {}, facing: {} (from the rest pose)\n", axis(up), axis(forward));
  fmt::print("mapping (node -> target bone, evidence): {}\n", character->roles().size());
  for (const Character::Role& role : character->roles()) {
    fmt::print("  {} -> {} ({})\n", shown(character->nodes()[static_cast<std::size_t>(role.node)].name), role.bone,
               role.evidence);
  }
  std::vector<std::string> missing;
  for (const std::string& bone : target_bone_names()) {
    const bool played = std::any_of(character->roles().begin(), character->roles().end(),
                                    [&](const Character::Role& role) { return role.bone == bone; });
    if (!played) missing.push_back(bone);
  }
  fmt::print("target bones it lacks (carried by the bones it has): {}\n", missing.size());
  if (!missing.empty()) fmt::print("  {}\n", join(missing));
  fmt::print("skin joints that do not deform (left at rest): {}\n", character->ignored_joints().size());
  if (!character->ignored_joints().empty()) fmt::print("  {}\n", join(character->ignored_joints()));
  return 0;
}

int run_info(const std::string& input, RetargetOptions options) {
  std::string extension = fs::path(input).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension == ".glb" || extension == ".gltf" || extension == ".vrm") return run_character_info(input, options);
  prepare_options(options);
  const bvh::Positions positions = options.positions;
  // One reading of the file: the plan, then every frame (info vouches for the data too), then the
  // first two frames again for the rest pose's description.
  Solver solver;
  const std::unique_ptr<FrameSource> source = open_motion_file(input, options);
  const ClipPlan plan = prepare_clip(*source, input, options, solver);
  const FileResult result = run_clip(*source, plan, options, solver, {});
  const bvh::Header& header = source->header();
  // The reading of position channels, as the reader decided it on the first frame.
  const bvh::Positions decided = header.positions;
  const bool matter = header.positions_matter;
  const SkeletonRecognition& recognition = plan.recognition;
  const JointMatch& match = plan.match;
  std::vector<std::string> matched;
  for (const auto& pair : match.matched) matched.push_back(pair.bone);
  fmt::print("file: {}\n", shown(input));
  fmt::print("joints: {}\n", header.joints.size());
  fmt::print("channels per frame: {}\n", header.channel_count);
  fmt::print("frames: {}\n", result.frames);
  fmt::print("frame time: {:.9g} s ({:.6g} frames/s)\n", header.frame_time, 1.0 / header.frame_time);
  fmt::print("duration: {:.3f} s\n", header.frame_time * static_cast<double>(result.frames));
  if (const auto* fbx = dynamic_cast<const FbxCapture*>(source.get())) {
    fmt::print("takes: {} (reading {})\n", fbx->takes().size(), fbx->take_index() + 1);
    for (std::size_t t = 0; t < fbx->takes().size(); ++t) {
      const FbxTake& take = fbx->takes()[t];
      fmt::print("  {}: {} (frames {} to {} at {:.6g} frames/s, {:.3f} s to {:.3f} s)\n", t + 1, shown(take.name),
                 take.first_frame, take.last_frame, take.frame_rate, take.start, take.stop);
    }
  }
  if (!matter) {
    fmt::print("position channels: OFFSETs of positioned joints are zero (absolute and relative agree)\n");
  } else if (decided == bvh::Positions::Absolute) {
    fmt::print("position channels: absolute (the whole position; OFFSET unused){}\n",
               positions == bvh::Positions::Auto ? "; --bvh-positions relative to add them to the OFFSET" : "");
  } else {
    fmt::print("position channels: relative (added to the OFFSET){}\n",
               positions == bvh::Positions::Auto ? "; --bvh-positions absolute to take them as whole positions" : "");
  }
  const bool declared = source->declared_y_up();
  fmt::print("up axis: {} ({}){}\n", recognition.up_axis,
             declared && options.source_up == "auto" ? std::string("the file's global settings")
             : recognition.up_evidence == "as asked" ? command_line_spelling("source-up", "")
                                                     : recognition.up_evidence,
             recognition.up_axis == "+Y" ? "" : "; turned to +Y up");
  const std::string unit = recognition.unit_name == "fitted" ? std::string("none fits: scaled to the mannequin")
                           : recognition.unit_name == "given"
                               ? std::string(declared && !options.source_metres_per_unit ? "declared by the file"
                                                                                         : "given by --source-units")
                               : recognition.unit_name + ", found";
  fmt::print("size: {:.2f} m tall standing ({:.6g} file units; 1 unit = {:.6g} cm, {})\n",
             recognition.height_units * recognition.metres_per_unit, recognition.height_units,
             recognition.metres_per_unit * 100, unit);
  fmt::print("sides: from {}\n", recognition.side_evidence);
  fmt::print("rest: {} ({})\n", plan.rest_decision,
             plan.rest_why == "as asked" ? "as " + command_line_spelling("source-rest", "") + " asks" : plan.rest_why);
  fmt::print("floor: {}\n", plan.floor_why);
  fmt::print("mapping (file joint -> source bone, evidence): {}\n", match.matched.size());
  for (const auto& pair : match.matched) {
    fmt::print("  {} -> {} ({})\n", shown(header.joints[static_cast<std::size_t>(pair.joint)].name), pair.bone,
               evidence_text(pair.evidence));
  }
  fmt::print("source bones matched: {} of {}\n", matched.size(), source_bone_names().size());
  if (!matched.empty()) fmt::print("  {}\n", join(matched));
  fmt::print("source bones missing (kept at their T-pose): {}\n", match.missing.size());
  if (!match.missing.empty()) fmt::print("  {}\n", join(match.missing));
  fmt::print("joints skipped (not source bones; kept in the forward kinematics): {}\n", match.skipped.size());
  if (!match.skipped.empty()) fmt::print("  {}\n", join(match.skipped));
  for (const QaWarning& warning : result.warnings)
    fmt::print("warning: {}\n", warning_text(warning, &command_line_spelling));
  describe_rest(*source, match);
  return 0;
}

int run_skeleton(const std::string& kind) {
  fmt::print("{}", skeleton_outline(kind));
  if (kind == "kz") {
    // The bones with their parents, as lines to copy into a map file ({"your joint": "Bone", ...}).
    const SkeletonData& source = source_skeleton();
    fmt::print("\nsource bones for a map file (--map): \"your joint\": \"bone\", with the bone's parent\n");
    for (std::size_t b = 0; b < source.names.size(); ++b) {
      const int parent = source.parents[b];
      fmt::print("  \"\": \"{}\",{:<{}}parent: {}\n", source.names[b], "",
                 std::max<int>(1, 20 - static_cast<int>(source.names[b].size())),
                 parent < 0 ? std::string("(root)") : source.names[static_cast<std::size_t>(parent)]);
    }
  }
  return 0;
}

int run_demo(const std::string& dir) {
  std::error_code error;
  fs::create_directories(dir, error);
  if (error) throw ToolError(dir, "cannot create folder: " + error.message());
  const fs::path clip = fs::path(dir) / "demo.bvh";
  const fs::path result = fs::path(dir) / "demo.json";
  const fs::path scene = fs::path(dir) / "demo.glb";
  {
    AtomicFile file(clip);
    write_demo_clip(file.stream());
    file.commit();
  }
  Solver solver;
  const FileResult done = retarget_file(clip, result, {}, solver);
  RetargetOptions glb;
  glb.format = Format::Glb;
  retarget_file(clip, scene, glb, solver);
  fmt::print("Built-in sample: T-pose, both arms raised, a quarter turn, a knee bend, a finger curl.\n");
  fmt::print("  motion   {} ({} frames of the source skeleton, {} bones)\n", clip.string(), done.frames,
             source_bone_names().size());
  fmt::print("  results  {} (local rotations of all {} target bones per frame)\n", result.string(), kTargetBones);
  fmt::print("  scene    {} (the retargeted mannequin skeleton with its animation, glTF 2.0)\n", scene.string());
  const Quat arm = solver.meta_pose("upperarm_l");
  fmt::print("  last frame, upperarm_l local rotation ({:.6f}, {:.6f}, {:.6f}, {:.6f})\n", arm[0], arm[1], arm[2],
             arm[3]);
  return 0;
}

}  // namespace oxr
