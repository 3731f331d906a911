// Batches at library scale: a report per input, exit statuses, results independent of the worker
// count, resuming after a kill, shards of sorted inputs, and the quality warnings.

#include "ToolRunner.h"

#include <gtest/gtest.h>

#include <csignal>
#include <set>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <nlohmann/json.hpp>

using nlohmann::json;
using namespace tool_test;

namespace {

// Report lines, keys in the order written.
std::vector<nlohmann::ordered_json> report_of(const fs::path& file) {
  std::vector<nlohmann::ordered_json> lines;
  for (const std::string& line : lines_of(read_text(file))) lines.push_back(nlohmann::ordered_json::parse(line));
  return lines;
}

class Batch : public ToolTest {
 protected:
  // The demo clip copied as in/clip00.bvh ... and one broken file, in/broken.bvh.
  std::vector<std::string> make_inputs(int count) const {
    EXPECT_EQ(run({"demo", "-o", "d"}).status, 0);
    make_dir("in");
    std::vector<std::string> inputs;
    for (int i = 0; i < count; ++i) {
      const std::string name = "in/clip" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".bvh";
      fs::copy_file(root_ / "d/demo.bvh", root_ / name);
      inputs.push_back(name);
    }
    write_text(root_ / "in/broken.bvh", small_clip(3, 2));
    inputs.push_back("in/broken.bvh");
    return inputs;
  }
};

TEST_F(Batch, ReportsEveryInputAndGivesTheSameFilesWhateverTheWorkers) {
  const std::vector<std::string> inputs = make_inputs(5);
  std::vector<std::string> args{"retarget"};
  args.insert(args.end(), inputs.begin(), inputs.end());
  for (const char* jobs : {"1", "4"}) {
    std::vector<std::string> with = args;
    with.insert(with.end(), {"-o", std::string("out") + jobs, "--format", "glb", "--jobs", jobs, "--report",
                             std::string("report") + jobs + ".jsonl"});
    const Outcome result = run(with);
    EXPECT_EQ(result.status, 1) << "one input failed";
    EXPECT_TRUE(has(result.err, "oxretarget: error: in/broken.bvh: line 20: file ends after frame 2 of 3"))
        << result.err;
  }
  for (const std::string& input : inputs) {
    const std::string name = fs::path(input).replace_extension(".glb").filename().string();
    if (input == "in/broken.bvh") {
      EXPECT_FALSE(fs::exists(root_ / "out1" / name));
      continue;
    }
    EXPECT_EQ(read_text(root_ / "out1" / name), read_text(root_ / "out4" / name)) << name;
  }
  const auto report = report_of(root_ / "report4.jsonl");
  ASSERT_EQ(report.size(), inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const auto& line = report[i];
    std::vector<std::string> keys;
    for (const auto& [key, value] : line.items()) keys.push_back(key);
    const bool broken = inputs[i] == "in/broken.bvh";
    std::vector<std::string> expected{"input", "output", "status", "frames", "seconds", "error", "warnings"};
    if (!broken) expected.push_back("feet");  // the demo has feet; a failed file has no figures
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(line["input"], inputs[i]);
    EXPECT_EQ(line["status"], broken ? "failed" : "ok");
    EXPECT_EQ(line["frames"], broken ? 0 : 181);
    EXPECT_EQ(line["error"], broken ? "in/broken.bvh: line 20: file ends after frame 2 of 3" : "");
    EXPECT_TRUE(line["warnings"].empty()) << "the demo raises no warning";
  }
  EXPECT_EQ(run({"retarget", "in/clip00.bvh", "--shard", "4/3"}).status, 2) << "usage errors exit with 2";
}

// Killed at any moment, a batch leaves only complete results under final names; --resume finishes
// the rest, removes the killed run's temporary files and reports the finished inputs as skipped.
TEST_F(Batch, ResumesAKilledBatch) {
  std::vector<std::string> inputs = make_inputs(30);
  inputs.pop_back();  // all good
  std::vector<std::string> args{"retarget"};
  args.insert(args.end(), inputs.begin(), inputs.end());
  args.insert(args.end(), {"-o", "out", "--jobs", "2"});
  const pid_t pid = start(args);
  while (!fs::exists(root_ / "out") || entries_of(root_ / "out").size() < 4) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) break;
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  std::set<std::string> done;
  for (const std::string& name : entries_of(root_ / "out")) {
    if (name.find(".tmp-") != std::string::npos) continue;
    EXPECT_TRUE(json::accept(read_text(root_ / "out" / name))) << name << " is incomplete";
    done.insert(name);
  }
  std::vector<std::string> resumed = args;
  resumed.insert(resumed.end(), {"--resume", "--report", "report.jsonl"});
  ASSERT_EQ(run(resumed).status, 0);
  const auto report = report_of(root_ / "report.jsonl");
  ASSERT_EQ(report.size(), inputs.size());
  for (const auto& line : report) {
    const std::string name = fs::path(line["output"].get<std::string>()).filename().string();
    EXPECT_EQ(line["status"], done.count(name) != 0 ? "skipped" : "ok") << name;
  }
  const std::string reference = read_text(root_ / "out/clip00.json");
  for (const std::string& name : entries_of(root_ / "out")) {
    EXPECT_EQ(name.find(".tmp-"), std::string::npos) << "temporary file left: " << name;
    EXPECT_EQ(json::parse(read_text(root_ / "out" / name))["frames"], json::parse(reference)["frames"]) << name;
  }
  EXPECT_EQ(entries_of(root_ / "out").size(), inputs.size());
}

TEST_F(Batch, ShardsSplitTheSortedInputs) {
  const std::vector<std::string> inputs = make_inputs(7);
  std::multiset<std::string> seen;
  for (const char* shard : {"1/3", "2/3", "3/3"}) {
    std::vector<std::string> args{"retarget"};
    args.insert(args.end(), inputs.rbegin(), inputs.rend());  // the order given does not matter
    args.insert(args.end(), {"-o", std::string("out") + shard[0], "--shard", shard, "--report", "r.jsonl"});
    run(args);
    std::vector<std::string> mine;
    for (const auto& line : report_of(root_ / "r.jsonl")) mine.push_back(line["input"]);
    EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end()));
    seen.insert(mine.begin(), mine.end());
    EXPECT_GE(mine.size(), 2u);
  }
  EXPECT_EQ(seen, std::multiset<std::string>(inputs.begin(), inputs.end())) << "every input exactly once";
}

// A knee bent backwards for three frames, and a turn of 90 degrees in one frame, named by bone and frame.
TEST_F(Batch, WarnsAboutBackwardKneesAndSpikes) {
  ASSERT_EQ(run({"demo", "-o", "d"}).status, 0);
  std::string text = read_text(root_ / "d/demo.bvh");
  const std::string motion = text.substr(0, text.find("MOTION"));
  // Joints in file order with their first value; the rows put angles into LeftLeg (knee) and RightArm.
  std::vector<std::string> joints;
  for (std::size_t at = 0; (at = motion.find("JOINT ", at)) != std::string::npos; at += 6) {
    joints.push_back(motion.substr(at + 6, motion.find('\n', at) - at - 6));
  }
  const auto column = [&](const std::string& joint) {
    return 6 + 3 * static_cast<int>(std::find(joints.begin(), joints.end(), joint) - joints.begin());
  };
  const int values = 6 + 3 * static_cast<int>(joints.size());
  std::string clip = motion + "MOTION\nFrames: 6\nFrame Time: 0.0333333\n";
  for (int f = 0; f < 6; ++f) {
    std::vector<double> row(static_cast<std::size_t>(values), 0.0);
    row[1] = 95;
    // Zrotation Xrotation Yrotation: a negative X turn of the shin folds the knee forwards.
    if (f >= 2 && f <= 4) row[static_cast<std::size_t>(column("LeftLeg") + 1)] = -60;
    if (f == 5) row[static_cast<std::size_t>(column("RightArm"))] = -90;
    for (int v = 0; v < values; ++v) {
      // Appended piece by piece: prepending to the number's string raises a false -Wrestrict in g++ 12 at -O3.
      if (v > 0) clip += ' ';
      clip += std::to_string(row[static_cast<std::size_t>(v)]);
    }
    clip += "\n";
  }
  write_text(root_ / "odd.bvh", clip);
  const Outcome result = run({"retarget", "odd.bvh", "-o", "odd.json", "--report", "r.jsonl"});
  EXPECT_EQ(result.status, 0) << result.err;
  const auto report = report_of(root_ / "r.jsonl");
  ASSERT_EQ(report.size(), 1u);
  const std::vector<std::string> warnings = report[0]["warnings"];
  const std::vector<std::string> expected{
      "calf_l bends backwards (3 frames, first at frame 2, up to 60 degrees)",
      "calf_l turns faster than 1500 degrees/s (2 frames, first at frame 2, up to 1800 degrees/s)",
      "upperarm_r turns faster than 1500 degrees/s (frame 5, up to 2700 degrees/s)"};
  for (const std::string& warning : expected) {
    EXPECT_NE(std::find(warnings.begin(), warnings.end(), warning), warnings.end()) << warning << "\n" << result.err;
  }
  EXPECT_TRUE(has(result.err, "oxretarget: warning: odd.bvh: calf_l bends backwards")) << result.err;
}

}  // namespace
