// Per-frame cost of the retargeter against two references measured in the same run: the literal
// by-name algorithm and the arithmetic floor. Ratios are printed after the benchmark table.

#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "AllocationCounter.h"
#include "ArithmeticFloor.h"

#ifdef OX_WITH_TOOL
#include <unistd.h>
#include "DemoClip.h"
#include "FbxReader.h"
#include "PoseWriter.h"
#include "Qa.h"
#include "Retarget.h"
#include "Solver.h"
#endif

#include "LiteralRetarget.h"
#include "OxRetarget_KZ_UE.h"

namespace {

constexpr int kPoses = 16;

// Random unit rotations for every source bone, in source bone order, kPoses of them.
struct PoseSet {
  TArray<FName> names;
  std::vector<TArray<TTransform<double>>> transforms;
  std::vector<std::vector<TQuat<double>>> rotations;

  PoseSet() {
    OxSkeletonTreeKZ tree;
    tree.init();
    names = tree.getBoneNames();
    std::mt19937_64 random(42);
    std::normal_distribution<double> normal;
    for (int p = 0; p < kPoses; ++p) {
      TArray<TTransform<double>> pose;
      std::vector<TQuat<double>> quats;
      for (int b = 0; b < names.Num(); ++b) {
        TQuat<double> q(normal(random), normal(random), normal(random), normal(random));
        q.Normalize();
        pose.Add(TTransform<double>(q));
        quats.push_back(q);
      }
      transforms.push_back(pose);
      rotations.push_back(quats);
    }
  }
};

const PoseSet& poses() {
  static const PoseSet set;
  return set;
}

void count_allocations(benchmark::State& state, std::uint64_t engine_before, std::uint64_t new_before) {
  const double frames = static_cast<double>(state.iterations());
  state.counters["allocs/frame"] =
      static_cast<double>((FMemory::GetAllocationCount() - engine_before) + (operator_new_count() - new_before)) /
      frames;
}

void BM_Frame_Library(benchmark::State& state) {
  const bool fingers = state.range(0) != 0;
  OxRetarget_KZ_UE retargeter;
  retargeter.init();
  const PoseSet& set = poses();
  for (int p = 0; p < kPoses; ++p) {  // warm up
    retargeter.updateSrcSkeleton(set.names, set.transforms[p]);
    retargeter.updateDesSkeleton(fingers);
  }
  const std::uint64_t engine_before = FMemory::GetAllocationCount();
  const std::uint64_t new_before = operator_new_count();
  int p = 0;
  for (auto _ : state) {
    retargeter.updateSrcSkeleton(set.names, set.transforms[p]);
    retargeter.updateDesSkeleton(fingers);
    p = (p + 1) % kPoses;
  }
  count_allocations(state, engine_before, new_before);
  benchmark::DoNotOptimize(retargeter.getMetaBonePose(FName("hand_l")));
}
BENCHMARK(BM_Frame_Library)->Arg(0)->Arg(1);

void BM_Frame_Literal(benchmark::State& state) {
  const bool fingers = state.range(0) != 0;
  literal::Retargeter retargeter;
  retargeter.init();
  const PoseSet& set = poses();
  int p = 0;
  for (auto _ : state) {
    retargeter.updateSrcSkeleton(set.names, set.transforms[p]);
    retargeter.updateDesSkeleton(fingers);
    p = (p + 1) % kPoses;
  }
  benchmark::DoNotOptimize(retargeter.getMetaBonePose(FName("hand_l")));
}
BENCHMARK(BM_Frame_Literal)->Arg(0)->Arg(1);

// The floor copies what it needs from an initialised retargeter.
ArithmeticFloor prepared_floor() {
  OxRetarget_KZ_UE retargeter;
  retargeter.init();
  return ArithmeticFloor(retargeter);
}

void BM_Frame_Floor(benchmark::State& state) {
  const bool fingers = state.range(0) != 0;
  ArithmeticFloor floor = prepared_floor();
  const PoseSet& set = poses();
  int p = 0;
  for (auto _ : state) {
    floor.solve(set.rotations[static_cast<size_t>(p)].data(), fingers);
    benchmark::DoNotOptimize(floor.local(12));
    p = (p + 1) % kPoses;
  }
}
BENCHMARK(BM_Frame_Floor)->Arg(0)->Arg(1);

// World poses of every bone after a new source pose (source) or a solve (target).
template <typename Retargeter>
void world_poses(benchmark::State& state, Retargeter& retargeter, bool source) {
  const PoseSet& set = poses();
  TArray<FName> names = source ? set.names : retargeter.getMetaBoneName();
  int p = 0;
  for (auto _ : state) {
    retargeter.updateSrcSkeleton(set.names, set.transforms[p]);
    if (!source) retargeter.updateDesSkeleton(false);
    for (const FName& name : names) {
      benchmark::DoNotOptimize(source ? retargeter.src_skeleton_ptr()->get_pose_in_world(name)
                                      : retargeter.des_skeleton_ptr()->get_pose_in_world(name));
    }
    p = (p + 1) % kPoses;
  }
}

struct LibraryAdapter : OxRetarget_KZ_UE {
  OxSkeletonTreeKZ* src_skeleton_ptr() const { return getSrcSkeleton(); }
  OxSkeletonTreeUE* des_skeleton_ptr() const { return getDesSkeleton(); }
};
struct LiteralAdapter : literal::Retargeter {
  auto* src_skeleton_ptr() const { return src_skeleton; }
  auto* des_skeleton_ptr() const { return des_skeleton; }
  TArray<FName> getMetaBoneName() const { return des_bone_names; }
};

void BM_WorldPoses_Library(benchmark::State& state) {
  LibraryAdapter retargeter;
  retargeter.init();
  world_poses(state, retargeter, state.range(0) == 0);
}
BENCHMARK(BM_WorldPoses_Library)->Arg(0)->Arg(1)->ArgName("target");

void BM_WorldPoses_Literal(benchmark::State& state) {
  LiteralAdapter retargeter;
  retargeter.init();
  world_poses(state, retargeter, state.range(0) == 0);
}
BENCHMARK(BM_WorldPoses_Literal)->Arg(0)->Arg(1)->ArgName("target");

void BM_WorldPoses_Floor(benchmark::State& state) {
  const bool target = state.range(0) != 0;
  ArithmeticFloor floor = prepared_floor();
  const PoseSet& set = poses();
  int p = 0;
  for (auto _ : state) {
    if (target) {
      floor.solve(set.rotations[static_cast<size_t>(p)].data(), false);
      floor.complete_target_world();
      benchmark::DoNotOptimize(floor.world(12));
    } else {
      floor.source_world(set.rotations[static_cast<size_t>(p)].data());
      benchmark::DoNotOptimize(floor.local(12));
    }
    p = (p + 1) % kPoses;
  }
}
BENCHMARK(BM_WorldPoses_Floor)->Arg(0)->Arg(1)->ArgName("target");

void BM_Init_Library(benchmark::State& state) {
  for (auto _ : state) {
    OxRetarget_KZ_UE retargeter;
    retargeter.init();
    benchmark::DoNotOptimize(retargeter.getTPose(FName("hand_l")));
  }
}
BENCHMARK(BM_Init_Library);

void BM_Init_Literal(benchmark::State& state) {
  for (auto _ : state) {
    literal::Retargeter retargeter;
    retargeter.init();
    benchmark::DoNotOptimize(retargeter.getTPose(FName("hand_l")));
  }
}
BENCHMARK(BM_Init_Literal);

#ifdef OX_WITH_TOOL
// The tool's pipeline on a long generated clip: reading and solving alone (argument 0), then with
// each format written to a file (1 JSON, 2 CSV, 3 glb, 4 BVH).
void BM_ToolThroughput(benchmark::State& state) {
  std::ostringstream demo;
  oxr::write_demo_clip(demo);
  // Repeat the demo's frames to make a long clip.
  const std::string text = demo.str();
  const size_t motion = text.find("MOTION");
  const size_t frames_at = text.find('\n', text.find("Frame Time:", motion)) + 1;
  std::string frames = text.substr(frames_at);
  constexpr int kRepeats = 20;
  std::string clip = text.substr(0, motion) + "MOTION\nFrames: " + std::to_string(kRepeats * oxr::demo_clip_frames()) +
                     "\nFrame Time: 0.0333333\n";
  for (int r = 0; r < kRepeats; ++r) clip += frames;

  constexpr oxr::Format kFormats[] = {oxr::Format::Json, oxr::Format::Json, oxr::Format::Csv, oxr::Format::Glb,
                                      oxr::Format::Bvh};
  const auto format = kFormats[state.range(0)];
  const bool write = state.range(0) != 0;
  const std::filesystem::path output = std::filesystem::temp_directory_path() /
                                       ("oxretarget-bench-" + std::to_string(::getpid()) + oxr::extension_for(format));
  oxr::Solver retargeter;
  std::int64_t total = 0;
  for (auto _ : state) {
    std::istringstream in(clip);
    std::unique_ptr<oxr::PoseWriter> writer;
    const oxr::FileResult result = oxr::retarget_stream(
        in, "clip", {}, retargeter,
        [&](const oxr::ClipInfo& info) {
          if (write) writer = oxr::make_pose_writer(format, output, info);
        },
        [&](std::int64_t frame, const oxr::FramePose& pose) {
          if (writer) writer->write_frame(frame, pose);
        });
    if (writer) writer->finish();
    total += result.frames;
  }
  std::error_code ignored;
  std::filesystem::remove(output, ignored);
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ToolThroughput)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

constexpr std::int64_t kCaptureFrames = 30'000;

// A 30,000-frame real capture: the CMU walk's header with its frames repeated in order, written once
// to a temporary file and removed at exit.
const std::filesystem::path& capture_file() {
  struct Capture {
    std::filesystem::path path;
    Capture() {
      std::ifstream in(OX_CAPTURE_FILE, std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      const std::string walk = text.str();
      const std::size_t motion = walk.find("MOTION");
      const std::size_t first_frame = walk.find('\n', walk.find("Frame Time:", motion)) + 1;
      if (motion == std::string::npos || first_frame == 0) throw std::runtime_error("capture file is not a BVH clip");
      std::vector<std::string> rows;
      std::istringstream body(walk.substr(first_frame));
      for (std::string row; std::getline(body, row);) {
        if (!row.empty()) rows.push_back(row);
      }
      path =
          std::filesystem::temp_directory_path() / ("oxretarget-bench-" + std::to_string(::getpid()) + "-capture.bvh");
      std::ofstream out(path, std::ios::binary);
      out << walk.substr(0, motion) << "MOTION\nFrames: " << kCaptureFrames << "\nFrame Time: .0083333\n";
      for (std::int64_t f = 0; f < kCaptureFrames; ++f) out << rows[static_cast<std::size_t>(f) % rows.size()] << '\n';
    }
    ~Capture() {
      std::error_code ignored;
      std::filesystem::remove(path, ignored);
    }
  };
  static const Capture capture;
  return capture.path;
}

std::filesystem::path bench_output(const char* extension) {
  return std::filesystem::temp_directory_path() / ("oxretarget-bench-" + std::to_string(::getpid()) + extension);
}

// The floor for the tool: read the capture in large blocks, parse every number after the header
// with from_chars, and write one float32 quaternion per target bone (64) per frame to a file. No
// retargeting, no checks beyond what parsing needs.
void BM_Capture_Floor(benchmark::State& state) {
  const std::filesystem::path& input = capture_file();
  const std::filesystem::path output = bench_output("-floor.bin");
  constexpr std::size_t kBones = 64;
  constexpr std::size_t kBlock = 1 << 16;  // longer than any line of the capture
  std::vector<char> block(kBlock);
  std::vector<double> values;
  std::vector<float> quats;
  std::int64_t total = 0;
  for (auto _ : state) {
    std::FILE* in = std::fopen(input.c_str(), "rb");
    std::FILE* out = std::fopen(output.c_str(), "wb");
    if (in == nullptr || out == nullptr) {
      state.SkipWithError("cannot open the capture");
      break;
    }
    bool in_header = true;
    std::size_t channels = 0;
    std::size_t kept = 0;  // bytes carried over from the previous block
    values.clear();
    std::int64_t frames = 0;
    for (;;) {
      const std::size_t got = std::fread(block.data() + kept, 1, kBlock - kept, in);
      const std::size_t size = kept + got;
      const char* p = block.data();
      const char* end = p + size;
      // Only whole lines are consumed; the last partial line moves to the front of the block.
      const std::size_t last_newline = std::string_view(p, size).rfind('\n');
      const char* stop = got == 0 ? end : p + (last_newline == std::string_view::npos ? 0 : last_newline + 1);
      while (p < stop) {
        const char* eol = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(stop - p)));
        if (eol == nullptr) eol = stop;
        if (in_header) {
          const std::string_view line(p, static_cast<std::size_t>(eol - p));
          if (line.find("CHANNELS") != std::string_view::npos) {
            channels += static_cast<std::size_t>(std::atoi(line.data() + line.find("CHANNELS") + 8));
          }
          if (line.starts_with("Frame Time:")) {
            in_header = false;
            quats.resize(kBones * 4);
          }
        } else {
          values.clear();
          for (const char* q = p; q < eol;) {
            while (q < eol && (*q == ' ' || *q == '\t' || *q == '\r')) ++q;
            if (q == eol) break;
            double value = 0;
            q = std::from_chars(q, eol, value).ptr;
            values.push_back(value);
          }
          if (values.size() == channels) {
            for (std::size_t b = 0; b < kBones * 4; ++b) quats[b] = static_cast<float>(values[b % channels]);
            std::fwrite(quats.data(), sizeof(float), quats.size(), out);
            ++frames;
          }
        }
        p = eol + 1;
      }
      if (got == 0) break;
      kept = static_cast<std::size_t>(end - stop);
      std::memmove(block.data(), stop, kept);
    }
    std::fclose(in);
    std::fclose(out);
    total += frames;
    if (frames != kCaptureFrames) state.SkipWithError("floor read the wrong number of frames");
  }
  std::error_code ignored;
  std::filesystem::remove(output, ignored);
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Capture_Floor)->Unit(benchmark::kMillisecond);

// The I/O floor for the tool's glb: read the capture in 64 KiB blocks and write as many bytes as the
// tool's glb of it holds (made once before timing), in 64 KiB blocks. Nothing is parsed.
void BM_Capture_IoFloor(benchmark::State& state) {
  const std::filesystem::path& input = capture_file();
  const std::filesystem::path glb = bench_output("-io-floor.glb");
  {
    oxr::Solver solver;
    oxr::RetargetOptions options;
    options.format = oxr::Format::Glb;
    oxr::retarget_file(input, glb, options, solver);
  }
  const auto glb_bytes = static_cast<std::size_t>(std::filesystem::file_size(glb));
  const std::filesystem::path output = bench_output("-io-floor.bin");
  constexpr std::size_t kBlock = 1 << 16;
  std::vector<char> block(kBlock, 1);
  std::int64_t total = 0;
  for (auto _ : state) {
    std::FILE* in = std::fopen(input.c_str(), "rb");
    std::FILE* out = std::fopen(output.c_str(), "wb");
    if (in == nullptr || out == nullptr) {
      state.SkipWithError("cannot open the capture");
      break;
    }
    std::size_t read = 0;
    for (std::size_t got = 0; (got = std::fread(block.data(), 1, kBlock, in)) > 0;) read += got;
    for (std::size_t left = glb_bytes, put = 1; left > 0 && put > 0; left -= put)
      put = std::fwrite(block.data(), 1, std::min(left, kBlock), out);
    std::fclose(in);
    std::fclose(out);
    benchmark::DoNotOptimize(read);
    total += kCaptureFrames;
  }
  std::error_code ignored;
  std::filesystem::remove(output, ignored);
  std::filesystem::remove(glb, ignored);
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
  state.counters["bytes out"] = static_cast<double>(glb_bytes);
}
BENCHMARK(BM_Capture_IoFloor)->Unit(benchmark::kMillisecond);

// The tool converting the capture file to a result file, as `oxretarget retarget` does:
// 0 nothing written (reading and solving, no checks), 1 glb, 2 JSON, 3 CSV, each with the result
// checks the tool runs on every frame; 4 glb without the checks. Heap allocations per frame are
// counted from the 100th frame on.
void BM_Capture_Tool(benchmark::State& state) {
  constexpr oxr::Format kFormats[] = {oxr::Format::Glb, oxr::Format::Glb, oxr::Format::Json, oxr::Format::Csv,
                                      oxr::Format::Glb};
  const bool write = state.range(0) != 0;
  const bool checks = write && state.range(0) != 4;
  oxr::RetargetOptions options;
  options.format = kFormats[state.range(0)];
  const std::filesystem::path& input = capture_file();
  const std::filesystem::path output = bench_output(oxr::extension_for(options.format));
  oxr::Solver retargeter;
  std::int64_t total = 0;
  std::uint64_t allocations = 0;
  std::int64_t counted = 0;
  const std::int64_t headers_before = oxr::bvh::Reader::headers_parsed();
  std::int64_t files = 0;
  for (auto _ : state) {
    ++files;
    std::uint64_t engine_before = 0;
    std::uint64_t new_before = 0;
    std::ifstream in = oxr::open_input(input);
    std::unique_ptr<oxr::PoseWriter> writer;
    std::unique_ptr<oxr::ClipQa> qa;
    const oxr::FileResult result = oxr::retarget_stream(
        in, input.string(), options, retargeter,
        [&](const oxr::ClipInfo& info) {
          if (write) writer = oxr::make_pose_writer(options.format, output, info);
          if (checks) qa = std::make_unique<oxr::ClipQa>(info);
        },
        [&](std::int64_t frame, const oxr::FramePose& pose) {
          if (qa) qa->observe(frame, pose);
          if (writer) writer->write_frame(frame, pose);
          if (frame == 99) {
            engine_before = FMemory::GetAllocationCount();
            new_before = operator_new_count();
          } else if (frame == kCaptureFrames - 1) {
            allocations += (FMemory::GetAllocationCount() - engine_before) + (operator_new_count() - new_before);
            counted += frame - 99;
          }
        });
    if (writer) writer->finish();
    if (qa) benchmark::DoNotOptimize(qa->warnings());
    total += result.frames;
  }
  std::error_code ignored;
  std::filesystem::remove(output, ignored);
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
  state.counters["allocs/frame"] = counted > 0 ? static_cast<double>(allocations) / static_cast<double>(counted) : 0;
  // BVH headers parsed per file converted: one, however many passes the pipeline makes.
  state.counters["headers/file"] =
      files > 0 ? static_cast<double>(oxr::bvh::Reader::headers_parsed() - headers_before) / static_cast<double>(files)
                : 0;
}
BENCHMARK(BM_Capture_Tool)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

// The foot-contact pass alone, per frame, on the CMU walk solved onto a character 20% taller than the
// performer (so the pass holds feet and solves legs); its cost is reported against BM_Frame_Library/0.
// Each frame starts from a copy of the solved pose; with argument 0 only the copy is made, the
// harness's own cost, which the ratio leaves out.
void BM_FootContact_Pass(benchmark::State& state) {
  const bool apply = state.range(0) != 0;
  oxr::Solver retargeter;
  const auto solve = [&](const oxr::RetargetOptions& options, oxr::ClipInfo& info, std::vector<oxr::Quat>& rotations,
                         std::vector<oxr::Vec3>& translations, std::vector<oxr::Vec3>& sources) {
    std::ifstream in(OX_CAPTURE_FILE, std::ios::binary);
    oxr::retarget_stream(
        in, "walk", options, retargeter, [&](const oxr::ClipInfo& clip) { info = clip; },
        [&](std::int64_t, const oxr::FramePose& pose) {
          rotations.insert(rotations.end(), pose.rotations.begin(), pose.rotations.end());
          translations.insert(translations.end(), pose.translations.begin(), pose.translations.end());
          sources.insert(sources.end(), pose.source_positions.begin(), pose.source_positions.end());
        });
  };
  oxr::ClipInfo own;
  std::vector<oxr::Quat> rotations;
  std::vector<oxr::Vec3> translations, sources;
  solve({}, own, rotations, translations, sources);
  oxr::RigPositions rig;
  for (std::size_t j = 0; j < own.skeleton.names.size(); ++j)
    rig[own.skeleton.names[j]] = oxr::scale_vector(own.skeleton.rest_world[j], 1.2);
  oxr::RetargetOptions taller;
  taller.rig = std::make_shared<const oxr::RigPositions>(rig);
  taller.contacts = oxr::Contacts::Off;
  oxr::ClipInfo info;
  rotations.clear();
  translations.clear();
  sources.clear();
  solve(taller, info, rotations, translations, sources);

  const oxr::bvh::Header header = oxr::read_header(OX_CAPTURE_FILE);
  std::vector<std::string> names;
  for (const oxr::bvh::Joint& joint : header.joints) names.push_back(joint.name);
  const oxr::JointMatch match = oxr::match_joints(names);
  // The performer as the pipeline reads it (upright, in the output's unit), as the solved frames are.
  oxr::FootContact pass(info.skeleton, info.performer, match, info.frame_time, oxr::metres_per_unit(taller.units),
                        true);
  if (!pass.solving()) state.SkipWithError("the pass does not solve on this character");
  const std::size_t bones = info.skeleton.names.size(), joints = header.joints.size();
  const std::size_t frames = rotations.size() / bones;
  std::vector<oxr::Quat> r(bones);
  std::vector<oxr::Vec3> t(bones);
  const auto run = [&](std::size_t f) {
    std::copy_n(rotations.begin() + static_cast<std::ptrdiff_t>(f * bones), bones, r.begin());
    std::copy_n(translations.begin() + static_cast<std::ptrdiff_t>(f * bones), bones, t.begin());
    if (apply) pass.apply(std::span(sources).subspan(f * joints, joints), r, t);
    benchmark::ClobberMemory();
  };
  for (std::size_t f = 0; f < frames; ++f) run(f);  // warm up
  const std::uint64_t engine_before = FMemory::GetAllocationCount();
  const std::uint64_t new_before = operator_new_count();
  std::size_t f = 0;
  for (auto _ : state) {
    run(f);
    f = (f + 1) % frames;
  }
  count_allocations(state, engine_before, new_before);
  benchmark::DoNotOptimize(r.data());
}
BENCHMARK(BM_FootContact_Pass)->Arg(0)->Arg(1);

// A 30-second capture (the CMU walk's frames repeated to 3,600 at 120 frames/s) onto a rig 20% taller
// than the performer: 0 the file as `retarget` converts it to glb (the plan with the canonical poses,
// every frame solved, the contact pass, the result checks, the writer); 1 the plan alone (an upper
// bound of building the canonical poses: recognition and the survey of the frames are in it too); 2
// the result checks alone over the file's 3,600 solved frames (joint positions, observe, warnings); 3
// the plan with the zero pose as the rest (no canonical pose of the source: 1 less 3 is its cost).
struct ThirtySeconds {
  static constexpr std::int64_t kFrames = 3600;
  // The walk's own frames, kept for the checks' replay (the clip cycles through them; the replay reads
  // them from the cache as the pipeline's checks read a pose it has just made).
  static constexpr std::int64_t kKept = 344;
  std::string text;
  oxr::RetargetOptions options;
  oxr::ClipInfo info;
  std::vector<oxr::Quat> rotations;
  std::vector<oxr::Vec3> translations, sources;
  std::vector<int> contacts;
  oxr::RetargetOptions zero_rest;
  std::filesystem::path path = bench_output("-30s.bvh"), output = bench_output("-30s.glb");

  ~ThirtySeconds() {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    std::filesystem::remove(output, ignored);
  }
  ThirtySeconds() {
    options.format = oxr::Format::Glb;
    std::ifstream in(capture_file(), std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    const std::string walk = all.str();
    std::istringstream lines(walk);
    std::int64_t kept = -1;
    for (std::string line; std::getline(lines, line) && kept < kFrames;) {
      if (kept >= 0) ++kept;
      if (line.rfind("Frames:", 0) == 0) line = "Frames: " + std::to_string(kFrames);
      text += line + '\n';
      if (line.rfind("Frame Time:", 0) == 0) kept = 0;
    }
    std::ofstream(path, std::ios::binary) << text;
    oxr::Solver solver;
    oxr::ClipInfo own;
    std::istringstream first(text);
    oxr::retarget_stream(first, "walk", {}, solver, [&](const oxr::ClipInfo& clip) { own = clip; }, {});
    oxr::RigPositions rig;
    for (std::size_t j = 0; j < own.skeleton.names.size(); ++j)
      rig[own.skeleton.names[j]] = oxr::scale_vector(own.skeleton.rest_world[j], 1.2);
    options.rig = std::make_shared<const oxr::RigPositions>(rig);
    zero_rest = options;
    zero_rest.source_rest = oxr::source_rest_from_text("zero");
    std::istringstream again(text);
    oxr::retarget_stream(
        again, "walk", options, solver, [&](const oxr::ClipInfo& clip) { info = clip; },
        [&](std::int64_t frame, const oxr::FramePose& pose) {
          if (frame >= kKept) return;
          rotations.insert(rotations.end(), pose.rotations.begin(), pose.rotations.end());
          translations.insert(translations.end(), pose.translations.begin(), pose.translations.end());
          sources.insert(sources.end(), pose.source_positions.begin(), pose.source_positions.end());
          contacts.insert(contacts.end(), pose.contacts.begin(), pose.contacts.end());
        });
  }
};

void BM_ThirtySeconds(benchmark::State& state) {
  static const ThirtySeconds clip;
  const int part = static_cast<int>(state.range(0));
  oxr::Solver solver;
  std::size_t warnings = 0;
  std::uint64_t engine_before = 0, new_before = 0, allocations = 0;
  std::int64_t counted = 0;
  for (auto _ : state) {
    std::istringstream in(clip.text);
    if (part == 0) {
      warnings += oxr::retarget_file(clip.path, clip.output, clip.options, solver).warnings.size();
    } else if (part == 1 || part == 3) {
      oxr::BvhFrameSource source(in, clip.options.positions);
      benchmark::DoNotOptimize(oxr::prepare_clip(source, "walk", part == 1 ? clip.options : clip.zero_rest, solver));
    } else {
      oxr::ClipQa qa(clip.info);
      const std::size_t bones = clip.info.skeleton.names.size();
      const std::size_t joints = clip.sources.size() / static_cast<std::size_t>(ThirtySeconds::kKept);
      for (std::int64_t f = 0; f < ThirtySeconds::kFrames; ++f) {
        if (f == 100) {
          engine_before = FMemory::GetAllocationCount();
          new_before = operator_new_count();
        }
        const auto at = static_cast<std::size_t>(f % ThirtySeconds::kKept);
        const oxr::FramePose pose{{},
                                  std::span(clip.rotations).subspan(at * bones, bones),
                                  std::span(clip.translations).subspan(at * bones, bones),
                                  std::span(clip.sources).subspan(at * joints, joints),
                                  std::span(clip.contacts).subspan(at * 2, 2)};
        qa.observe(f, pose);
      }
      allocations += (FMemory::GetAllocationCount() - engine_before) + (operator_new_count() - new_before);
      counted += ThirtySeconds::kFrames - 100;
      warnings += qa.warnings().size();
    }
  }
  benchmark::DoNotOptimize(warnings);
  if (part == 2)
    state.counters["allocs/frame"] = counted > 0 ? static_cast<double>(allocations) / static_cast<double>(counted) : 0;
}
BENCHMARK(BM_ThirtySeconds)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// The 30,000-frame capture retargeted once, as BVH and as FBX files of the same clip, with the
// distinct poses kept for the writers (the clip's frames cycle through the walk's 344).
struct FbxClip {
  std::filesystem::path bvh = bench_output("-clip.bvh");
  std::filesystem::path fbx = bench_output("-clip.fbx");
  oxr::ClipInfo info;
  std::vector<std::vector<oxr::Quat>> rotations;
  std::vector<std::vector<oxr::Vec3>> translations;

  FbxClip() {
    oxr::Solver solver;
    std::ifstream in(capture_file(), std::ios::binary);
    std::vector<std::unique_ptr<oxr::PoseWriter>> writers;
    oxr::retarget_stream(
        in, "capture.bvh", {}, solver,
        [&](const oxr::ClipInfo& clip) {
          info = clip;
          writers.push_back(oxr::make_pose_writer(oxr::Format::Bvh, bvh, clip));
          writers.push_back(oxr::make_pose_writer(oxr::Format::Fbx, fbx, clip));
        },
        [&](std::int64_t frame, const oxr::FramePose& pose) {
          for (auto& writer : writers) writer->write_frame(frame, pose);
          if (rotations.size() < 344) {
            rotations.emplace_back(pose.rotations.begin(), pose.rotations.end());
            translations.emplace_back(pose.translations.begin(), pose.translations.end());
          }
        });
    for (auto& writer : writers) writer->finish();
  }
  ~FbxClip() {
    std::error_code ignored;
    std::filesystem::remove(bvh, ignored);
    std::filesystem::remove(fbx, ignored);
  }
};

const FbxClip& fbx_clip() {
  static const FbxClip clip;
  return clip;
}

// FBX against the formats it stands beside, on the same 30,000-frame clip in the same run: reading
// every frame of the clip's BVH (0, its channel values) and of its FBX (1, ufbx's load and sampling
// included, each joint's turn a quaternion as the clip stage takes it); writing
// it as glb (2) and as FBX (3).
void BM_FbxAgainstBvhGlb(benchmark::State& state) {
  const FbxClip& clip = fbx_clip();
  const int which = static_cast<int>(state.range(0));
  std::int64_t total = 0;
  for (auto _ : state) {
    if (which < 2) {
      std::ifstream in(clip.bvh, std::ios::binary);
      std::unique_ptr<oxr::bvh::Reader> bvh;
      std::unique_ptr<oxr::FbxCapture> fbx;
      oxr::FrameSource* source = nullptr;
      const oxr::bvh::Header* header = nullptr;
      if (which == 0) {
        bvh = std::make_unique<oxr::bvh::Reader>(in);
        header = &bvh->header();
      } else {
        fbx = std::make_unique<oxr::FbxCapture>(clip.fbx, oxr::FbxCaptureOptions{});
        source = fbx.get();
        header = &fbx->header();
      }
      // The FBX frames as the clip stage takes them: quaternions, no angles.
      std::vector<double> values(static_cast<std::size_t>(header->channel_count));
      std::vector<oxr::Quat> local(header->joints.size());
      std::vector<oxr::Vec3> translation(header->joints.size());
      while (source != nullptr ? source->read_joint_frame(local, translation) : bvh->read_frame(values)) ++total;
      benchmark::DoNotOptimize(values.data());
      benchmark::DoNotOptimize(local.data());
      continue;
    }
    const auto output = bench_output(which == 2 ? "-out.glb" : "-out.fbx");
    auto writer = oxr::make_pose_writer(which == 2 ? oxr::Format::Glb : oxr::Format::Fbx, output, clip.info);
    const std::vector<oxr::Vec3> positions(clip.info.source_joints.size());
    for (std::int64_t f = 0; f < kCaptureFrames; ++f) {
      const auto k = static_cast<std::size_t>(f) % clip.rotations.size();
      writer->write_frame(f, {{}, clip.rotations[k], clip.translations[k], positions, {}});
    }
    writer->finish();
    total += kCaptureFrames;
    std::error_code ignored;
    std::filesystem::remove(output, ignored);
  }
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FbxAgainstBvhGlb)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
#endif

// Keeps each benchmark's CPU time per iteration (the median when repeated) to print ratios after the
// table. CPU time, not wall time: on a shared machine the wall clock also counts the time other
// processes held the core, which no ratio should depend on.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if ((run.run_type == Run::RT_Iteration && run.iterations > 0) || median) {
        const std::string name = run.run_name.str();
        if (median || !medians_.count(name)) {
          times[name] = run.GetAdjustedCPUTime();
          const auto rate = run.counters.find("frames/s");
          if (rate != run.counters.end()) rates[name] = rate->second.value;
        }
        if (median) medians_.insert(name);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
  std::map<std::string, double> rates;  // frames per second of CPU time

 private:
  std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto ratio = [&](const std::string& a, const std::string& b) {
    const auto ia = reporter.times.find(a);
    const auto ib = reporter.times.find(b);
    if (ia == reporter.times.end() || ib == reporter.times.end()) return;
    std::printf("  %-34s %9.1f ns   %-28s %9.1f ns   ratio %6.2f\n", a.c_str(), ia->second, b.c_str(), ib->second,
                ia->second / ib->second);
  };
  std::printf("\nRatios from this run (library CPU time / reference CPU time):\n");
  for (const char* arg : {"0", "1"}) {
    ratio(std::string("BM_Frame_Library/") + arg, std::string("BM_Frame_Floor/") + arg);
    ratio(std::string("BM_Frame_Library/") + arg, std::string("BM_Frame_Literal/") + arg);
  }
  for (const char* arg : {"0", "1"}) {
    ratio(std::string("BM_WorldPoses_Library/target:") + arg, std::string("BM_WorldPoses_Floor/target:") + arg);
    ratio(std::string("BM_WorldPoses_Library/target:") + arg, std::string("BM_WorldPoses_Literal/target:") + arg);
  }
  ratio("BM_Init_Library", "BM_Init_Literal");
  // FBX is to read and write within twice the time of the same clip's BVH read and glb write.
  ratio("BM_FbxAgainstBvhGlb/1", "BM_FbxAgainstBvhGlb/0");
  ratio("BM_FbxAgainstBvhGlb/3", "BM_FbxAgainstBvhGlb/2");
  // The foot-contact pass is to cost at most a quarter of the per-frame solve.
  const auto pass = reporter.times.find("BM_FootContact_Pass/1");
  const auto copy = reporter.times.find("BM_FootContact_Pass/0");
  const auto solve = reporter.times.find("BM_Frame_Library/0");
  if (pass != reporter.times.end() && copy != reporter.times.end() && solve != reporter.times.end()) {
    std::printf("  %-34s %9.1f ns   %-28s %9.1f ns   ratio %6.2f (at most 0.25)\n", "foot-contact pass",
                pass->second - copy->second, "BM_Frame_Library/0", solve->second,
                (pass->second - copy->second) / solve->second);
  }
  // The canonical poses and the result checks: at most a tenth of the file. The source's canonical pose
  // is the plan's cost over the plan with the zero rest; the target's, one more canonical pose of a
  // skeleton no larger, is counted as the same again. The whole plan is the upper bound.
  const auto file = reporter.times.find("BM_ThirtySeconds/0");
  const auto plan = reporter.times.find("BM_ThirtySeconds/1");
  const auto checks = reporter.times.find("BM_ThirtySeconds/2");
  const auto zero = reporter.times.find("BM_ThirtySeconds/3");
  if (file != reporter.times.end() && plan != reporter.times.end() && checks != reporter.times.end() &&
      zero != reporter.times.end()) {
    const double canonical = 2 * std::max(0.0, plan->second - zero->second);
    std::printf("  %-34s %9.3f ms   %-28s %9.3f ms   ratio %6.3f (at most 0.10)\n", "canonical poses + result checks",
                canonical + checks->second, "BM_ThirtySeconds/0", file->second,
                (canonical + checks->second) / file->second);
    std::printf("  %-34s %9.3f ms   %-28s %9.3f ms   ratio %6.3f (upper bound)\n", "whole plan + result checks",
                plan->second + checks->second, "BM_ThirtySeconds/0", file->second,
                (plan->second + checks->second) / file->second);
  }
  // Throughput per core (CPU time), so that other work on the machine does not count.
  const auto floor_rate = reporter.rates.find("BM_Capture_Floor");
  if (floor_rate != reporter.rates.end()) {
    std::printf("\n30,000-frame capture, frames/s per core (floor: read, parse, write 64 float32 quaternions):\n");
    std::printf("  %-22s %10.0f\n", "floor", floor_rate->second);
    const auto io_floor = reporter.rates.find("BM_Capture_IoFloor");
    if (io_floor != reporter.rates.end()) {
      std::printf("  %-22s %10.0f", "I/O floor", io_floor->second);
      for (const char* arg : {"1", "4"}) {
        const auto glb = reporter.rates.find(std::string("BM_Capture_Tool/") + arg);
        if (glb != reporter.rates.end())
          std::printf("   BM_Capture_Tool/%s / I/O floor (time) %5.2f", arg, io_floor->second / glb->second);
      }
      std::printf("\n");
    }
    const char* labels[] = {"read and solve only", "to glb, checked", "to JSON, checked", "to CSV, checked",
                            "to glb, no checks"};
    for (int arg = 0; arg < 5; ++arg) {
      const auto rate = reporter.rates.find("BM_Capture_Tool/" + std::to_string(arg));
      if (rate == reporter.rates.end()) continue;
      std::printf("  %-22s %10.0f   floor / tool %5.2f\n", labels[arg], rate->second,
                  floor_rate->second / rate->second);
    }
  }
  return 0;
}
