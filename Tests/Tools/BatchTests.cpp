// Batches at library scale: a report per input, exit statuses, results independent of the worker
// count, resuming after a kill, shards of sorted inputs, and the quality warnings.

#include "ToolRunner.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
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
    write_text(root_ / "in/broken.bvh", small_clip(4, 2));
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
    EXPECT_TRUE(has(result.err, "oxretarget: error: in/broken.bvh: line 20: file ends after frame 2 of 4"))
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
    EXPECT_EQ(line["error"], broken ? "in/broken.bvh: line 20: file ends after frame 2 of 4" : "");
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

// Each shard retargets its part of the sorted inputs, and `plan` (the cluster runner's plan, from a
// file of inputs) names the same part and the same outputs without writing anything.
TEST_F(Batch, ShardsSplitTheSortedInputs) {
  const std::vector<std::string> inputs = make_inputs(7);
  std::string list;
  for (auto input = inputs.rbegin(); input != inputs.rend(); ++input) list += *input + "\n";
  write_text(root_ / "inputs.txt", list);
  std::multiset<std::string> seen;
  for (const char* shard : {"1/3", "2/3", "3/3"}) {
    const std::vector<std::string> options{"-o",     std::string("out") + shard[0], "--shard", shard, "--report",
                                           "r.jsonl"};
    std::vector<std::string> plan_args{"plan", "--inputs", "inputs.txt"};
    plan_args.insert(plan_args.end(), options.begin(), options.end());
    const Outcome planned = run(plan_args);
    ASSERT_EQ(planned.status, 0) << planned.err;
    EXPECT_FALSE(fs::exists(root_ / (std::string("out") + shard[0]))) << "a plan writes nothing";
    std::vector<std::pair<std::string, std::string>> plan_part;
    const json plan = json::parse(planned.out);
    for (const auto& file : plan["files"]) {
      if (file["in_shard"].get<bool>()) plan_part.emplace_back(file["input"], file["output"]);
    }
    std::sort(plan_part.begin(), plan_part.end());

    std::vector<std::string> args{"retarget"};
    args.insert(args.end(), inputs.rbegin(), inputs.rend());  // the order given does not matter
    args.insert(args.end(), options.begin(), options.end());
    run(args);
    std::vector<std::string> mine;
    std::vector<std::pair<std::string, std::string>> done;
    for (const auto& line : report_of(root_ / "r.jsonl")) {
      mine.push_back(line["input"]);
      done.emplace_back(line["input"], line["output"]);
    }
    EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end()));
    EXPECT_EQ(done, plan_part);
    seen.insert(mine.begin(), mine.end());
    EXPECT_GE(mine.size(), 2u);
  }
  EXPECT_EQ(seen, std::multiset<std::string>(inputs.begin(), inputs.end())) << "every input exactly once";
  // What the batch refuses, the plan refuses with the same line.
  const Outcome refused = run({"retarget", inputs[0], inputs[1], "-o", "both.json"});
  const Outcome refused_plan = run({"plan", "--inputs", "inputs.txt", "-o", "both.json"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused_plan.status, 2);
  EXPECT_EQ(refused_plan.err, refused.err);
}

// The README's Slurm array with more shards than files: every shard writes into the folder, each file
// once, whatever the shard's share (none, or one file).
TEST_F(Batch, MoreShardsThanFilesFillOneFolder) {
  std::vector<std::string> inputs = make_inputs(3);
  inputs.pop_back();
  for (int k = 1; k <= 16; ++k) {
    std::vector<std::string> args{"retarget"};
    args.insert(args.end(), inputs.begin(), inputs.end());
    args.insert(args.end(), {"-o", "retargeted", "--format", "glb", "--jobs", "2", "--shard", std::to_string(k) + "/16",
                             "--resume", "--report", "reports/part-" + std::to_string(k) + ".jsonl"});
    const Outcome result = run(args);
    ASSERT_EQ(result.status, 0) << k << ": " << result.err;
    EXPECT_EQ(report_of(root_ / ("reports/part-" + std::to_string(k) + ".jsonl")).size(), k <= 3 ? 1u : 0u);
  }
  EXPECT_EQ(entries_of(root_ / "retargeted"), (std::vector<std::string>{"clip00.glb", "clip01.glb", "clip02.glb"}));
}

// Paths that just work: -o creates its folders for one file as for many (a name ending in '/' is a
// folder), names up to the 255-byte limit and names that are not UTF-8 are written, and a
// temporary of another run still writing stays (removed by --resume only once its process is gone).
TEST_F(Batch, PathsThatJustWork) {
  ASSERT_EQ(run({"demo", "-o", "d"}).status, 0);
  EXPECT_EQ(run({"retarget", "d/demo.bvh", "-o", "new/sub/walk.glb"}).status, 0);
  EXPECT_TRUE(fs::is_regular_file(root_ / "new/sub/walk.glb"));
  EXPECT_EQ(run({"retarget", "d/demo.bvh", "-o", "one/"}).status, 0);
  EXPECT_TRUE(fs::is_regular_file(root_ / "one/demo.json"));
  EXPECT_EQ(run({"preview", "d/demo.bvh", "-o", "pages/"}).status, 0);
  EXPECT_TRUE(fs::is_regular_file(root_ / "pages/demo.html"));

  const std::string long_name = std::string(247, 'w') + ".bvh";  // 251 bytes; its .json 252
  const std::string latin1 = "caf\xe9.bvh";
  fs::copy_file(root_ / "d/demo.bvh", root_ / long_name);
  fs::copy_file(root_ / "d/demo.bvh", root_ / latin1);
  for (const char* format : {"json", "glb", "gltf"}) {
    const Outcome result = run({"retarget", long_name, latin1, "-o", "names", "--format", format});
    EXPECT_EQ(result.status, 0) << format << ": " << result.err;
  }
  EXPECT_EQ(json::parse(read_text(root_ / "names/caf\xe9.json"))["source"], "caf\xef\xbf\xbd.bvh");
  const std::string gltf = read_text(root_ / "names/caf\xe9.gltf");
  EXPECT_TRUE(json::accept(gltf)) << "valid UTF-8 JSON";
  EXPECT_TRUE(has(gltf, "caf\xef\xbf\xbd.bvh"));

  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof(host) - 1), 0);
  const pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  const std::string live_tmp = "one/demo.json.tmp-" + std::string(host) + "-" + std::to_string(::getpid()) + "-0";
  const std::string dead_tmp = "one/demo.json.tmp-" + std::string(host) + "-" + std::to_string(dead) + "-0";
  const std::string other_tmp = "one/demo.json.tmp-elsewhere-1-0";
  for (const std::string& name : {live_tmp, dead_tmp, other_tmp}) write_text(root_ / name, "partial");
  EXPECT_EQ(run({"retarget", "d/demo.bvh", "-o", "one/"}).status, 0);
  for (const std::string& name : {live_tmp, dead_tmp, other_tmp}) EXPECT_TRUE(fs::exists(root_ / name)) << name;
  EXPECT_EQ(run({"retarget", "d/demo.bvh", "-o", "one/", "--resume"}).status, 0);
  EXPECT_TRUE(fs::exists(root_ / live_tmp));
  EXPECT_TRUE(fs::exists(root_ / other_tmp));
  EXPECT_FALSE(fs::exists(root_ / dead_tmp)) << "its process is gone";
}

// A link planted under the name of the next run's temporary is neither followed nor renamed into
// place. The child's process id is guessed from the last one handed out; a few tries make sure the
// guess covered it.
TEST_F(Batch, TemporariesDoNotFollowLinks) {
  ASSERT_EQ(run({"demo", "-o", "d"}).status, 0);
  write_text(root_ / "victim.txt", "keep me");
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof(host) - 1), 0);
  bool covered = false;
  for (int attempt = 0; attempt < 5 && !covered; ++attempt) {
    const long last = std::stol(read_text("/proc/sys/kernel/ns_last_pid"));
    std::vector<fs::path> links;
    for (long pid = last + 1; pid <= last + 400; ++pid) {
      links.push_back(root_ / ("p.html.tmp-" + std::string(host) + "-" + std::to_string(pid) + "-0"));
      fs::create_symlink(root_ / "victim.txt", links.back());
    }
    const pid_t pid = start({"preview", "d/demo.bvh", "-o", "p.html"});
    int status = 0;
    ::waitpid(pid, &status, 0);
    covered = pid > last && pid <= last + 400;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (const fs::path& link : links) fs::remove(link);
  }
  EXPECT_TRUE(covered) << "the busy machine handed out 400 process ids during each try";
  EXPECT_EQ(read_text(root_ / "victim.txt"), "keep me");
  EXPECT_FALSE(fs::is_symlink(root_ / "p.html"));
  EXPECT_TRUE(has(read_text(root_ / "p.html"), "<html"));
}

// A clip too large for the memory allowed fails alone, named; the other files and the index are done.
TEST_F(Batch, AnAllocationFailureFailsOneFile) {
  if (kShadowMemorySanitizer) GTEST_SKIP() << "sanitizer runtimes reserve more address space than the cap";
  ASSERT_EQ(run({"demo", "-o", "d"}).status, 0);
  std::string big = small_clip(0, 0);
  big = big.substr(0, big.find("Frames:")) + "Frames: 2000000\nFrame Time: 0.01\n";
  std::string rows;
  for (int f = 0; f < 2'000'000; ++f) rows += "0 0 0 0 0 0 0 0 0\n";
  write_text(root_ / "big.bvh", big + rows);
  fs::copy_file(root_ / "d/demo.bvh", root_ / "good.bvh");
  constexpr std::uint64_t kMemory = 600ull << 20;
  const Outcome glb = run({"retarget", "big.bvh", "good.bvh", "-o", "out", "--format", "glb"}, 0, kMemory);
  EXPECT_EQ(glb.status, 1);
  EXPECT_TRUE(has(glb.err, "oxretarget: error: big.bvh: out of memory\n")) << glb.err;
  EXPECT_TRUE(fs::is_regular_file(root_ / "out/good.glb"));
  const Outcome page = run({"preview", "big.bvh", "good.bvh", "-o", "pv"}, 0, kMemory);
  EXPECT_EQ(page.status, 1);
  EXPECT_TRUE(has(page.err, "oxretarget: error: big.bvh: out of memory\n")) << page.err;
  EXPECT_EQ(entries_of(root_ / "pv"), (std::vector<std::string>{"good.html", "index.html"}));
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
  std::vector<std::string> warnings;
  for (const auto& warning : report[0]["warnings"]) warnings.push_back(warning["text"]);
  const std::vector<std::string> expected{
      "calf_l bends backwards (3 frames, first at frame 2, up to 60 degrees)",
      "calf_l turns faster than 1500 degrees/s (2 frames, first at frame 2, up to 1800 degrees/s)",
      "upperarm_r turns faster than 1500 degrees/s (frame 5, up to 2700 degrees/s)"};
  for (const std::string& warning : expected) {
    EXPECT_NE(std::find(warnings.begin(), warnings.end(), warning), warnings.end()) << warning << "\n" << result.err;
  }
  EXPECT_TRUE(has(result.err, "oxretarget: warning: odd.bvh: calf_l bends backwards")) << result.err;
}

// The CMU walk's calibration frame 0 makes 15 bones spike into frame 1, and it lacks 27 paired bones:
// on the terminal one line per kind and file, in the report every finding as an object.
TEST_F(Batch, SummarisesWarningsAndFailuresAndKeepsQuiet) {
  make_dir("in");
  fs::copy_file(fs::path(OX_TEST_DATA_DIR) / "cmu_02_01_walk.bvh", root_ / "in/walk.bvh");
  write_text(root_ / "in/broken.bvh", small_clip(4, 2));
  write_text(root_ / "in/late.bvh", small_clip(2, 2, "0 90 0 10 20 nan -5 15 25"));
  const std::vector<std::string> args{"retarget", "in/walk.bvh", "in/broken.bvh", "in/late.bvh",
                                      "-o",       "out",         "--report",      "r.jsonl"};
  const Outcome loud = run(args);
  EXPECT_EQ(loud.status, 1);
  std::vector<std::string> warnings;
  for (const std::string& line : lines_of(loud.err)) {
    if (has(line, "warning:")) warnings.push_back(line);
  }
  ASSERT_EQ(warnings.size(), 3u) << loud.err;
  // The walk's unit (1/0.45 inch) is none of cm, m, mm, in: it is scaled to the mannequin, and said.
  EXPECT_TRUE(has(warnings[0], "in/walk.bvh: its height (")) << warnings[0];
  EXPECT_TRUE(has(warnings[1], "in/walk.bvh: 27 paired source bones missing")) << warnings[1];
  EXPECT_TRUE(has(warnings[2], "in/walk.bvh: 15 bones turn faster than 1500 degrees/s (")) << warnings[2];
  EXPECT_TRUE(has(warnings[2], "15 times in frames 1 to 1; worst upperarm_l, 10698 degrees/s")) << warnings[2];
  // The summary names each failed file with its error, after the count.
  const std::vector<std::string> lines = lines_of(loud.err);
  const auto summary =
      std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return has(l, "1 of 3 files"); });
  ASSERT_NE(summary, lines.end()) << loud.err;
  ASSERT_GE(lines.end() - summary, 4) << loud.err;
  EXPECT_EQ(summary[1], "2 failed:");
  EXPECT_EQ(summary[2], "  in/broken.bvh: line 20: file ends after frame 2 of 4");
  EXPECT_TRUE(summary[3].starts_with("  in/late.bvh: line 19: ")) << summary[3];

  const auto report = report_of(root_ / "r.jsonl");
  ASSERT_EQ(report.size(), 3u);
  int spikes = 0, missing = 0;
  for (const auto& warning : report[0]["warnings"]) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : warning.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"kind", "bone", "first_frame", "last_frame", "frames", "value", "text"}));
    if (warning["kind"] == "spike") {
      ++spikes;
      EXPECT_EQ(warning["first_frame"], 1);
      EXPECT_GT(warning["value"].get<double>(), 1500.0);
    }
    if (warning["kind"] == "missing_bone") {
      ++missing;
      EXPECT_EQ(warning["frames"], 344);
    }
  }
  EXPECT_EQ(spikes, 15);
  EXPECT_EQ(missing, 27);

  // Quiet: the same errors and summary, no warnings, no progress, nothing on standard output.
  std::vector<std::string> quiet_args = args;
  quiet_args.push_back("--quiet");
  const Outcome quiet = run(quiet_args);
  EXPECT_EQ(quiet.status, 1);
  EXPECT_FALSE(has(quiet.err, "warning:")) << quiet.err;
  EXPECT_EQ(quiet.out, "");
  std::vector<std::string> expected;
  for (const std::string& line : lines) {
    if (!has(line, "warning:")) expected.push_back(has(line, "files retargeted") ? "" : line);
  }
  std::vector<std::string> got;
  for (const std::string& line : lines_of(quiet.err)) got.push_back(has(line, "files retargeted") ? "" : line);
  EXPECT_EQ(got, expected) << "errors and the summary (timings aside)";
}

}  // namespace
