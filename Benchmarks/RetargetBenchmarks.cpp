// Per-frame cost of the retargeter against two references measured in the same run: the literal
// by-name algorithm and the arithmetic floor. Ratios are printed after the benchmark table.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "ArithmeticFloor.h"

#ifdef OX_WITH_TOOL
#include <unistd.h>
#include "DemoClip.h"
#include "PoseWriter.h"
#include "Retarget.h"
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
  OxRetarget_KZ_UE retargeter;
  retargeter.init();
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
        if (median || !medians_.count(name)) times[name] = run.GetAdjustedCPUTime();
        if (median) medians_.insert(name);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;

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
  return 0;
}
