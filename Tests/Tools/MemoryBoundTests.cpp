// Peak resident memory of the tool on inputs far larger than anything it should hold at once.

#include "ToolRunner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <sys/resource.h>

using namespace tool_test;

namespace {

constexpr long kBoundKib = 64 * 1024;
// Enough frames that keeping anything per frame (a rotation per bone is 1.6 KB) would cross the
// bound, few enough to keep the files small (about 14 MB in, 180 MB out).
constexpr int kLongFrames = 60'000;
constexpr int kLevels = 1'000'000;

std::string tail(const fs::path& path, std::size_t count) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(-static_cast<std::streamoff>(count), std::ios::end);
  std::string text(count, '\0');
  in.read(text.data(), static_cast<std::streamsize>(count));
  return text;
}

class MemoryBound : public ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    if (kShadowMemorySanitizer) GTEST_SKIP() << "sanitizer runtimes inflate resident memory";
  }

  // Runs the tool and checks its peak resident memory. The figure includes what the child shared
  // with this process when forked, so this process must stay small too.
  Outcome bounded(const std::vector<std::string>& args) const {
    const Outcome result = run(args);
    std::string command;
    for (const std::string& arg : args) command += " " + arg;
    rusage self{};
    ::getrusage(RUSAGE_SELF, &self);
    std::printf("peak resident memory of oxretarget%s: %ld KiB (this test: %ld KiB)\n", command.c_str(),
                result.peak_kib, self.ru_maxrss);
    EXPECT_GT(result.peak_kib, 0) << command;
    EXPECT_LT(result.peak_kib, kBoundKib) << command;
    return result;
  }
};

// A long clip of the 67 source bones, one rotation channel each.
TEST_F(MemoryBound, LongClipOfTheSourceSkeleton) {
  ASSERT_EQ(run({"demo", "-o", "d"}).status, 0);
  const std::string demo = read_text(root_ / "d/demo.bvh");
  fs::remove_all(root_ / "d");
  std::istringstream in(demo.substr(0, demo.find("MOTION")));
  std::string hierarchy;
  int channels = 0;
  for (std::string line; std::getline(in, line);) {
    const auto at = line.find("CHANNELS");
    if (at != std::string::npos) line = line.substr(0, at) + "CHANNELS 1 " + "ZXY"[channels++ % 3] + "rotation";
    hierarchy += line + "\n";
  }
  ASSERT_EQ(channels, 67);
  {
    std::ofstream file(root_ / "long.bvh", std::ios::binary);
    file << hierarchy << "MOTION\nFrames: " << kLongFrames << "\nFrame Time: 0.008333\n";
    std::string line;
    for (int f = 0; f < kLongFrames; ++f) {
      line.clear();
      for (int c = 0; c < channels; ++c) line += std::to_string((f * 7 + c * 13) % 91 - 45) + " ";
      line.back() = '\n';
      file << line;
    }
    ASSERT_TRUE(file.good());
  }

  const Outcome retargeted = bounded({"retarget", "long.bvh"});
  EXPECT_EQ(retargeted.status, 0) << retargeted.err;
  EXPECT_TRUE(has(retargeted.err, "1 of 1 files retargeted, " + std::to_string(kLongFrames) + " frames"))
      << retargeted.err;
  EXPECT_EQ(tail(root_ / "long.json", 7), "\n  ]\n}\n");
  fs::remove(root_ / "long.json");

  const Outcome info = bounded({"info", "long.bvh"});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_TRUE(has(info.out, "frames: " + std::to_string(kLongFrames) + "\n")) << info.out;
  EXPECT_TRUE(has(info.out, "source bones matched: 67 of 67\n")) << info.out;
  fs::remove(root_ / "long.bvh");
}

// One frame line of 100 MB: blanks between two values (a valid clip), or one 100 MB number.
TEST_F(MemoryBound, TwoHundredMegabyteLine) {
  for (const char fill : {' ', '7'}) {
    SCOPED_TRACE(fill == ' ' ? "blanks" : "digits");
    {
      std::ofstream file(root_ / "wide.bvh", std::ios::binary);
      file << small_clip(1, 0) << "0 90 0 10 20 30 -5 15 ";
      const std::string chunk(1 << 20, fill);
      for (int i = 0; i < 100; ++i) file << chunk;
      file << " 25\n";
      ASSERT_TRUE(file.good());
    }
    for (const char* command : {"retarget", "info"}) {
      const Outcome result = bounded({command, "wide.bvh"});
      if (fill == ' ') {
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_TRUE(command == std::string("retarget") || has(result.out, "frames: 1\n")) << result.out;
      } else {
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(lines_of(result.err).at(0), "oxretarget: error: wide.bvh: line 19: token longer than 256 characters");
      }
    }
    EXPECT_EQ(fs::exists(root_ / "wide.json"), fill == ' ');
    fs::remove(root_ / "wide.json");
    fs::remove(root_ / "wide.bvh");
  }
}

TEST_F(MemoryBound, MillionNestingLevels) {
  {
    std::ofstream file(root_ / "deep.bvh", std::ios::binary);
    file << "HIERARCHY\nROOT J0\n{\nOFFSET 0 0 0\nCHANNELS 0\n";
    for (int i = 1; i < kLevels; ++i) file << "JOINT J" << i << "\n{\nOFFSET 0 0 0\nCHANNELS 0\n";
    for (int i = 0; i < kLevels; ++i) file << "}\n";
    file << "MOTION\nFrames: 0\nFrame Time: 0.1\n";
    ASSERT_TRUE(file.good());
  }
  for (const char* command : {"retarget", "info"}) {
    const Outcome result = bounded({command, "deep.bvh"});
    EXPECT_EQ(result.status, 1);
    // Joint 256 opens on line 2 + 4 * 256.
    EXPECT_EQ(lines_of(result.err).at(0),
              "oxretarget: error: deep.bvh: line 1026: hierarchy nested deeper than 256 levels");
  }
  EXPECT_FALSE(fs::exists(root_ / "deep.json"));
  fs::remove(root_ / "deep.bvh");
}

// Map files and a character's JSON cost processor time in proportion to their keys: eight times the
// keys, well under twenty times the time (an ordered object's inserts took 64 times).
TEST_F(MemoryBound, KeysCostLinearTime) {
  ASSERT_EQ(run({"demo", "-o", "d"}).status, 0);
  ASSERT_EQ(run({"retarget", "d/demo.bvh", "-o", "mann.gltf"}).status, 0);
  const std::string mann = read_text(root_ / "mann.gltf");
  const auto keys = [](int count, const char* value) {
    std::string text;
    for (int k = 0; k < count; ++k) text += (k == 0 ? "\"j" : ",\"j") + std::to_string(k) + "\":" + value;
    return text;
  };
  const auto cost = [&](int count) {
    write_text(root_ / "m.json", "{" + keys(count, "null") + "}");
    std::string character = mann;
    character.insert(1, "\"extras\":{" + keys(count, "0") + "},");
    write_text(root_ / "c.gltf", character);
    const Outcome map = run({"info", "d/demo.bvh", "--map", "m.json"});
    EXPECT_TRUE(has(map.err, "m.json: joint \"j0\" (mapped to \"\") is not a joint of this file")) << map.err;
    const Outcome written = run({"retarget", "d/demo.bvh", "--character", "c.gltf", "-o", "out/c.gltf"});
    EXPECT_EQ(written.status, 0) << written.err;
    return std::pair{map.cpu_seconds, written.cpu_seconds};
  };
  const auto small = cost(10'000);
  const auto large = cost(80'000);
  std::printf("processor time for 10,000 and 80,000 keys: map %.3f s, %.3f s; character %.3f s, %.3f s\n", small.first,
              large.first, small.second, large.second);
  EXPECT_LT(large.first, 20 * small.first);
  EXPECT_LT(large.second, 20 * small.second);
}

}  // namespace
