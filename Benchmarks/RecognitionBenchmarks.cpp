// Skeleton recognition runs once per file, before the first frame: its cost beside reading the
// file's header (the least a file costs before its frames), measured in the same run.
#include "BvhReader.h"
#include "Recognition.h"
#include "Retarget.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

const char* const kFiles[] = {"cmu_02_01_walk.bvh", "biovision3dsmax_cmu_jumpingjacks.bvh", "daz_cmu_02_03.bvh",
                              "mayarig_dfki_walk.bvh", "smpl_wham.bvh"};

// The file's text up to its first frame: the header alone.
std::string header_text(int file) {
  std::ifstream in(std::string(OX_TEST_DATA_DIR) + "/" + kFiles[file], std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  return all.substr(0, all.find('\n', all.find("Frame Time:")) + 1);
}

void BM_Recognition_ReadHeader(benchmark::State& state) {
  const std::string text = header_text(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::istringstream in(text);
    oxr::bvh::Reader reader(in);
    benchmark::DoNotOptimize(reader.header().joints.size());
  }
  state.SetLabel(kFiles[state.range(0)]);
}
BENCHMARK(BM_Recognition_ReadHeader)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);

void BM_Recognition_Recognise(benchmark::State& state) {
  const std::string text = header_text(static_cast<int>(state.range(0)));
  std::istringstream in(text);
  oxr::bvh::Reader reader(in);
  const oxr::SkeletonDescription skeleton = oxr::describe_skeleton(reader.header(), true);
  for (auto _ : state) {
    const oxr::SkeletonRecognition recognition = oxr::recognise_skeleton(skeleton, {});
    benchmark::DoNotOptimize(recognition.pairs.size());
  }
  state.SetLabel(kFiles[state.range(0)]);
}
BENCHMARK(BM_Recognition_Recognise)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);

}  // namespace
