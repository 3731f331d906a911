// Every error the tool can report, each with an input that provokes it and the exact line it prints.

#include "ToolRunner.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <fnmatch.h>
#include <sys/socket.h>
#include <sys/un.h>

using namespace tool_test;

namespace {

using Args = std::vector<std::string>;

struct Row {
  Args args;
  std::vector<std::pair<std::string, std::string>> files;  // path -> content; a path ending in '/' is a folder
  int status;
  std::string expected;  // the whole error after "oxretarget: error: " ('*' matches any text)
  std::uint64_t max_file_bytes = 0;
  std::function<void(const fs::path&)> setup = nullptr;  // more preparation in the test folder
};

bool matches(const std::string& pattern, const std::string& text) {
  return ::fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}

// The clip with the first `from` replaced by `to`.
std::string edit(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  if (at == std::string::npos) throw std::logic_error("no '" + from + "' to edit");
  return text.replace(at, from.size(), to);
}

// A root joint followed by `count` joints, each on its own line, nested or as siblings.
std::string many_joints(int count, bool nested) {
  std::string text = "HIERARCHY\nROOT J0 { OFFSET 0 0 0 CHANNELS 0\n";
  for (int i = 1; i <= count; ++i) {
    text += "JOINT J" + std::to_string(i) + " { OFFSET 0 0 0 CHANNELS 0" + (nested ? "\n" : " }\n");
  }
  for (int i = 0; i <= (nested ? count : 0); ++i) text += "}\n";
  return text + "MOTION\nFrames: 0\nFrame Time: 0.1\n";
}

// A bound Unix socket: it exists and is no folder, yet cannot be opened as a file.
void make_socket(const fs::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.string().size(), sizeof(address.sun_path));
  path.string().copy(address.sun_path, sizeof(address.sun_path) - 1);
  EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  ::close(fd);
}

// Every file (folders aside) below the test folder, except the captured output streams.
std::set<std::string> files_below(const fs::path& root) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    if (!entry.is_directory() && name != ".stdout" && name != ".stderr") files.insert(name);
  }
  return files;
}

// A failing run of a clip: retarget into out/ or describe it with info.
Row clip_row(std::string text, const std::string& expected, bool info = false) {
  return {info ? Args{"info", "c.bvh"} : Args{"retarget", "c.bvh", "-o", "out/c.json"},
          {{"c.bvh", std::move(text)}},
          1,
          "c.bvh: " + expected};
}

// The same, written as glb.
Row glb_row(std::string text, const std::string& expected) {
  Row row = clip_row(std::move(text), expected);
  row.args = {"retarget", "c.bvh", "-o", "out/c.glb"};
  return row;
}

// A character: root, `middle` nodes (JSON objects, each the parent of the next) and pelvis, whose
// object ends with `pelvis`; a skin over all; `extra` members after the rest.
std::string character(const std::string& pelvis, const std::string& extra = "", std::vector<std::string> middle = {}) {
  std::string nodes;
  for (std::size_t i = 0; i < middle.size(); ++i) {
    // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) about "," + a temporary.
    nodes += ',';
    nodes.append(middle[i], 0, middle[i].size() - 1);
    nodes += ",\"children\":[" + std::to_string(i + 2) + "]}";
  }
  return R"({"asset":{"version":"2.0"},"scenes":[{"nodes":[0]}],"skins":[{"joints":[0,1]}],"nodes":[{"name":"root",)"
         R"("children":[1]})" +
         nodes + R"(,{"name":"pelvis")" + pelvis + "}]" + extra + "}";
}

// A failing run with a character (and whatever else `more` adds): a usage error naming it.
Row character_row(const std::string& text, const std::string& expected, Args more = {}) {
  Args args{"retarget", "c.bvh", "--character", "ch.gltf", "-o", "out/c.gltf"};
  args.insert(args.end(), more.begin(), more.end());
  return {args, {{"c.bvh", small_clip(2, 2)}, {"ch.gltf", text}}, 2, "oxretarget: error: " + expected + "\n"};
}

// A failing retarget of the clip with these options: a usage error.
Row option_row(const Args& options, const std::string& expected) {
  Args args{"retarget", "c.bvh", "-o", "out/c.json"};
  args.insert(args.end(), options.begin(), options.end());
  return {args, {{"c.bvh", small_clip(2, 2)}}, 2, "oxretarget: error: " + expected + "\n"};
}

class ErrorCatalog : public ToolTest {
 protected:
  void clear() const {
    for (const auto& entry : fs::directory_iterator(root_)) fs::remove_all(entry.path());
  }
};

TEST_F(ErrorCatalog, EveryErrorMessage) {
  const std::string good = small_clip(2, 2);
  const std::string row = "0 90 0 10 20 30 -5 15 25";
  const std::string no_channels = edit(
      edit(small_clip(1, 0), "CHANNELS 6 Xposition Yposition Zposition Zrotation Xrotation Yrotation", "CHANNELS 0"),
      "CHANNELS 3 Zrotation Xrotation Yrotation", "CHANNELS 0");
  const std::vector<Row> rows = {
      // Files and folders.
      {{"retarget", "nope.bvh"}, {}, 1, "nope.bvh: cannot open: no such file"},
      {{"retarget", "in"}, {{"in/", ""}}, 1, "in: is a directory, not a motion file"},
      {{"retarget", "c.bvh", "-o", "out/c.json"},
       {},
       1,
       "c.bvh: cannot open: *",
       0,
       [](const fs::path& root) { make_socket(root / "c.bvh"); }},
      {{"retarget", "c.bvh", "-o", "blocker/c.json"},
       {{"c.bvh", good}, {"blocker", "x"}},
       2,
       "oxretarget: error: blocker: cannot create folder: Not a directory\n"},
      {{"demo", "-o", "d"}, {{"d/", ""}}, 1, "d/demo.bvh: write failed (disk full?)", 4096},
      {{"retarget", "c.bvh"}, {{"c.bvh", good}, {"c.json/", ""}}, 1, "c.json: cannot rename into place: *"},
      {{"retarget", "a.bvh", "b.bvh", "-o", "blocker"},
       {{"blocker", "x"}},
       2,
       "oxretarget: error: blocker: is not a folder; several inputs need an output folder\n"},
      {{"retarget", "a.bvh", "b.bvh", "-o", "blocker/sub"},
       {{"blocker", "x"}},
       2,
       "oxretarget: error: blocker/sub: cannot create folder: *\n"},
      {{"retarget", "a/c.bvh", "b/c.bvh", "-o", "out"},
       {},
       2,
       "oxretarget: error: b/c.bvh: would overwrite the results of a/c.bvh in out/c.json\n"},
      {{"retarget", "a.bvh", "-o", "a.bvh"},
       {},
       2,
       "oxretarget: error: a.bvh: would overwrite an input file; choose another output with -o\n"},
      {{"retarget", "c.bvh", "-o", "out/c.usd"},
       {{"c.bvh", good}},
       2,
       "oxretarget: error: out/c.usd: cannot write .usd files; name a .json, .csv, .glb, .gltf, .bvh, .fbx or .vrma "
       "file or give --format\n"},
      {{"retarget", "c.bvh", "-o", "blocker/c.gltf"},
       {{"c.bvh", good}, {"blocker", "x"}},
       2,
       "oxretarget: error: blocker: cannot create folder: Not a directory\n"},
      // Output plans: every path is planned before any work, whatever the shard.
      {{"retarget", "a.bvh", "b.bvh", "-o", "two.glb"},
       {},
       2,
       "oxretarget: error: two.glb: names a file, but several inputs need an output folder; name a folder with -o\n"},
      {{"retarget", "a/w.bvh", "b/w.bvh", "-o", "out", "--shard", "2/2"},
       {},
       2,
       "oxretarget: error: b/w.bvh: would overwrite the results of a/w.bvh in out/w.json\n"},
      {{"retarget", "c.bvh", "-o", "c.json", "--report", "c.bvh"},
       {{"c.bvh", good}},
       2,
       "oxretarget: error: c.bvh: the report would overwrite an input file; choose another output\n"},
      {{"retarget", "c.bvh", "-o", "c.json", "--report", "./c.json"},
       {{"c.bvh", good}},
       2,
       "oxretarget: error: ./c.json: the report would overwrite the results of c.bvh (c.json)\n"},
      {{"retarget", "c.bvh", "-o", "c.json", "--report", "blocker/r.jsonl"},
       {{"c.bvh", good}, {"blocker", "x"}},
       2,
       "oxretarget: error: blocker: cannot create folder: Not a directory\n"},
      {{"preview", "c.bvh", "-o", "c.bvh"},
       {{"c.bvh", good}},
       2,
       "oxretarget: error: c.bvh: the page of c.bvh would overwrite an input file; choose another output\n"},
      {{"preview", "index.bvh", "c.bvh", "-o", "pv"},
       {{"c.bvh", good}, {"index.bvh", good}},
       2,
       "oxretarget: error: pv/index.html: the index would overwrite the page of index.bvh\n"},
      {{"preview", "c.bvh", "b.bvh", "-o", "c.html"},
       {},
       2,
       "oxretarget: error: c.html: names a file, but several inputs need an output folder; name a folder with -o\n"},
      // glTF holds float32: values past its range and key times that do not increase are refused.
      glb_row(edit(good, "0.033333", "1e39"), "frame 1: key time 1e+39 s is beyond float range (Frame Time 1e+39)"),
      glb_row(edit(good, "0.033333", "1e-50"), "frame 1: key time 1e-50 s is below float precision (Frame Time 1e-50)"),
      glb_row(edit(good, "OFFSET 0 10 0", "OFFSET 0 1e41 0"), "bone spine_01: offset * m is beyond float range"),
      glb_row(small_clip(1, 1, "0 1e41 0 10 20 30 -5 15 25"),
              "frame 0: translation 1e+41 of pelvis is beyond float range"),
      // Rigs of the user's own.
      {{"retarget", "c.bvh", "-o", "out/c.glb", "--target-rig", "rig.bvh"},
       {{"c.bvh", good}, {"rig.bvh", good}},
       2,
       "oxretarget: error: rig.bvh: is not a rig of the target skeleton: it names no target bone\n"},
      {{"retarget", "c.bvh", "-o", "out/c.glb", "--target-rig", "rig.bvh"},
       {{"c.bvh", good}, {"rig.bvh", edit(edit(good, "ROOT Hips", "ROOT root"), "JOINT Spine", "JOINT spine_01")}},
       2,
       "oxretarget: error: rig.bvh: rig has no \"pelvis\" joint\n"},
      {{"retarget", "c.bvh", "-o", "out/c.glb", "--target-rig", "rig.glb"},
       {{"c.bvh", good}, {"rig.glb", "glTF, but not really"}},
       2,
       "oxretarget: error: rig.glb: cannot read rig: *\n"},
      // Hierarchy.
      clip_row("", "line 1: empty file"),
      // No human in the file: the hint names the tool's option and where the bones are listed.
      clip_row("HIERARCHY\nROOT Tail\n{\n  OFFSET 0 0 0\n  CHANNELS 3 Zrotation Xrotation Yrotation\n"
               "  JOINT Tip\n  {\n    OFFSET 0 10 0\n    CHANNELS 3 Zrotation Xrotation Yrotation\n"
               "    End Site\n    {\n      OFFSET 0 10 0\n    }\n  }\n}\nMOTION\nFrames: 1\nFrame Time: 0.1\n"
               "0 0 0 0 0 0\n",
               "not recognised as a human skeleton: *; name its joints with --map FILE (oxretarget skeleton kz "
               "lists the bones)"),
      clip_row(edit(good, "HIERARCHY", "HIERARCHIE"), "line 1: expected HIERARCHY, found 'HIERARCHIE'"),
      clip_row(edit(good, "  OFFSET 0 0 0\n", ""), "line 4: expected OFFSET in joint 'Hips', found 'CHANNELS'", true),
      clip_row(good.substr(0, good.find("OFFSET 0 10 0") + 11),
               "line 8: unexpected end of file, expected OFFSET value"),
      clip_row(good.substr(0, good.find("    End Site")), "line 9: unexpected end of file inside joint 'Spine'"),
      clip_row(edit(good, "Spine", std::string(300, 'S')), "line 6: token longer than 256 characters"),
      clip_row(edit(good, "End Site", "EndSite"),
               "line 10: unknown keyword 'EndSite' in joint 'Spine', expected JOINT, End Site or }"),
      clip_row(many_joints(300, true), "line 258: hierarchy nested deeper than 256 levels", true),
      clip_row(many_joints(1100, false), "line 1026: more than 1024 joints", true),
      clip_row(edit(good, "ROOT Hips", "ROOT"), "line 3: missing joint name after ROOT"),
      clip_row(edit(good, "JOINT Spine", "JOINT hips"),
               "line 6: duplicate joint name 'hips' (same as 'Hips' ignoring case)", true),
      clip_row(edit(good, "OFFSET 0 10 0\n    CHANNELS", "OFFSET 0 1x 0\n    CHANNELS"),
               "line 8: OFFSET value '1x' is not a number"),
      clip_row(edit(good, "OFFSET 0 0 0", "OFFSET 0 1e999 0"), "line 4: OFFSET value '1e999' is out of range"),
      clip_row(edit(good, "      OFFSET 0 10 0", "      OFFSET 0 inf 0"), "line 12: OFFSET value 'inf' is not finite"),
      clip_row(edit(good, "CHANNELS 3", "CHANNELS three"), "line 9: CHANNELS count 'three' is not an integer"),
      clip_row(edit(good, "CHANNELS 6", "CHANNELS 7"), "line 5: CHANNELS count 7 is outside 0 to 6"),
      clip_row(edit(good, "CHANNELS 3", "CHANNELS 4"),
               "line 9: CHANNELS count 4 does not match the 3 channel names given"),
      clip_row(edit(good, "3 Zrotation Xrotation", "3 Zrotation Xrot"),
               "line 9: unknown channel 'Xrot' in joint 'Spine'"),
      clip_row(edit(good, "3 Zrotation Xrotation", "3 Zrotation Zrotation"),
               "line 9: duplicate channel 'Zrotation' in joint 'Spine'"),
      // Motion header.
      clip_row(edit(good, "Frames:", "Frame:"), "line 17: expected Frames:, found 'Frame:'"),
      clip_row(small_clip(-1, 0), "line 17: negative frame count '-1'"),
      clip_row(edit(good, "Frames: 2", "Frames: 1.5"), "line 17: frame count '1.5' is not a non-negative integer"),
      clip_row(edit(good, "Frames: 2", "Frames: 100000001"),
               "line 17: frame count '100000001' exceeds the limit of 100000000"),
      clip_row(edit(good, "Frame Time:", "Frame Rate:"), "line 18: expected Frame Time:, found 'Rate:'"),
      clip_row(edit(good, "0.033333", "fast"), "line 18: Frame Time 'fast' is not a number"),
      clip_row(edit(good, "0.033333", "1e999"), "line 18: Frame Time '1e999' is out of range"),
      clip_row(edit(good, "0.033333", "inf"), "line 18: Frame Time 'inf' is not finite", true),
      clip_row(edit(good, "0.033333", "0"), "line 18: Frame Time '0' is not positive"),
      clip_row(edit(good, "0.033333", "0.033333 s"), "line 18: unexpected 's' after the frame time"),
      clip_row(no_channels, "line 18: 1 frames declared but the hierarchy has no channels"),
      // Frames.
      clip_row(small_clip(2, 3), "line 21: unexpected data '0' after the last frame (Frames: 2)"),
      clip_row(small_clip(4, 2), "line 20: file ends after frame 2 of 4", true),
      clip_row(small_clip(1, 1, "0 90 0 10 20 30 -5 15"), "line 19: frame 1 has 8 values, expected 9"),
      clip_row(small_clip(2, 1) + "0 90 0 10 2x0 30 -5 15 25\n", "line 20: frame 2 value 5 '2x0' is not a number"),
      clip_row(small_clip(1, 1, "0 90 0 10 20 30 -5 15 1e999"), "line 19: frame 1 value 9 '1e999' is out of range"),
      clip_row(small_clip(1, 1, "0 90 0 10 20 30 -inf 15 25"), "line 19: frame 1 value 7 '-inf' is not finite"),
      clip_row(small_clip(1, 1, row + " 1"), "line 19: frame 1 has more than 9 values"),
      // Usage, reported by the command-line parser; status 2 as every usage error.
      {{"frobnicate"}, {}, 2, "A subcommand is required*"},
      {{"retarget"}, {}, 2, "inputs is required*"},
      {{"info"}, {}, 2, "input is required*"},
      {{"retarget", "c.bvh", "--format", "xml"}, {}, 2, "--format: xml not in {json,csv,glb,gltf,bvh,fbx,vrma}*"},
      {{"retarget", "c.bvh", "--units", "ft"}, {}, 2, "--units: ft not in {cm,m,mm,in}*"},
      {{"retarget", "c.bvh", "--jobs", "0"}, {}, 2, "--jobs: Value 0 not in range 1 to 1024*"},
      {{"skeleton", "abc"}, {}, 2, "kind: abc not in {kz,ue}*"},
      {{"retarget", "c.bvh", "--frob"}, {}, 2, "The following argument was not expected: --frob*"},
      {{"retarget", "c.bvh", "--end", "9"},
       {{"c.bvh", good}},
       2,
       "oxretarget: error: c.bvh: --end 9 is past the file's end: it has * frames (0 to *)*"},
      {{"preview", "c.bvh", "--start", "1s"},
       {{"c.bvh", good}},
       2,
       "oxretarget: error: c.bvh: --start 1s (frame *) is past the file's end: it has * frames (0 to *)*"},
      {{"retarget", "c.bvh", "--start", "1", "--end", "0"},
       {{"c.bvh", good}},
       2,
       "oxretarget: error: c.bvh: --end 0 comes before the start, 1*"},
      {{"retarget", "c.bvh", "--start", "-1"}, {}, 2, "oxretarget: error: --start -1: expected a frame number*"},
      {{"plan", "--inputs", "none.txt"}, {}, 2, "oxretarget: error: none.txt: cannot open the list of inputs\n"},
      {{"plan", "--inputs", "empty.txt"}, {{"empty.txt", "\n"}}, 2, "oxretarget: error: empty.txt: lists no inputs\n"},
      // Clip numbers beyond a file or the frame limit; none overflows into an empty clip.
      option_row({"--fps", "1e10"}, "c.bvh: --fps * would make 3.33e+08 frames, past the limit of 100000000"),
      option_row({"--fps", "1e308"}, "c.bvh: --fps * would make * frames, past the limit of 100000000"),
      option_row({"--start", "1e20s"},
                 "c.bvh: --start 1e20s (frame *) is past the file's end: "
                 "it has 2 frames (0 to 1)"),
      option_row({"--end", "1e20s"},
                 "c.bvh: --end 1e20s (frame *) is past the file's end: it "
                 "has 2 frames (0 to 1)"),
      option_row({"--start", "9223372036854775807"},
                 "c.bvh: --start 9223372036854775807 is past the file's end: it has 2 frames (0 to 1)"),
      option_row({"--source-units", "1e300"},
                 "--source-units 1e300: expected auto, cm, m, mm, in or a number of "
                 "centimetres per file unit from 1e-4 to 1e6"),
      // Map files.
      {{"retarget", "c.bvh", "--map", "dir"},
       {{"dir/", ""}},
       2,
       "oxretarget: error: dir: is a directory, not a map file\n"},
      {{"retarget", "c.bvh", "--map", "m.json"},
       {{"m.json", R"({"Hips": "Hips", "Spine": null, "Hips": "Spine"})"}},
       2,
       "oxretarget: error: m.json: joint \"Hips\" is listed twice\n"},
      {{"retarget", "c.bvh", "--map", "m.json"},
       {{"c.bvh", good}, {"m.json", R"({"Hips": "Spine", "Spine": "Hips"})"}},
       1,
       "c.bvh: m.json: joint \"Hips\" (Spine) is not below joint \"Spine\" (Hips); a map keeps the skeleton's order"},
      {{"info", "c.bvh", "--map", "m.json"},
       {{"c.bvh", good}, {"m.json", R"({"Hips": "Spine", "Spine": "Spine"})"}},
       1,
       "c.bvh: m.json: joints \"Hips\" and \"Spine\" are both mapped to \"Spine\""},
      {{"retarget", "c.bvh", "--map", "m.json"},
       {{"c.bvh", good}, {"m.json", "{\"\\u001b" + std::string(100000, 'k') + "\": \"Hips\"}"}},
       1,
       "c.bvh: m.json: joint \"[?]" + std::string(63, 'k') + "...\" (mapped to \"Hips\") is not a joint of this file"},
      // Files an option names are inputs: nothing is written over them.
      {{"retarget", "c.bvh", "--map", "m.json", "-o", "m.json"},
       {{"c.bvh", good}, {"m.json", "{}"}},
       2,
       "oxretarget: error: m.json: would overwrite an input file; choose another output with -o\n"},
      {{"retarget", "c.bvh", "-o", "c.json", "--target-rig", "rig.bvh", "--report", "rig.bvh"},
       {{"c.bvh", good}, {"rig.bvh", edit(good, "ROOT Hips", "ROOT pelvis")}},
       2,
       "oxretarget: error: rig.bvh: the report would overwrite an input file; choose another output\n"},
      {{"retarget", "c.bvh", "--source-rest", "file:rest.bvh", "-o", "rest.bvh"},
       {{"c.bvh", good}, {"rest.bvh", good}},
       2,
       "oxretarget: error: rest.bvh: would overwrite an input file; choose another output with -o\n"},
      {{"preview", "c.bvh", "--character", "ch.gltf", "-o", "ch.gltf"},
       {{"c.bvh", good}, {"ch.gltf", character(R"(,"translation":[0,1,0])")}},
       2,
       "oxretarget: error: ch.gltf: the page of c.bvh would overwrite an input file; choose another output\n"},
      // Characters: bounded reading, and rest poses the animation cannot carry named at their node.
      character_row(character("", ",\"extras\":" + std::string(20000, '[') + std::string(20000, ']')),
                    "ch.gltf: its JSON is nested deeper than 64 levels"),
      character_row(character(",\"matrix\":[-1,0,0,0,0,1,0,0,0,0,1,0,0,1,0,1]"),
                    "ch.gltf: node 'pelvis' mirrors (a negative determinant), which the animation cannot carry"),
      character_row(character(",\"scale\":[0,0,0]"),
                    "ch.gltf: node 'pelvis' has a zero or extreme scale (outside 1e-6 to 1e6)"),
      character_row(character(",\"rotation\":[0,0,0,0]"), "ch.gltf: node 'pelvis' has a zero or non-finite rotation"),
      character_row(character(",\"translation\":[0,1e308,0]"),
                    "ch.gltf: node 'pelvis' has a translation that is not finite or beyond 1e9 m"),
      // Control characters shown as '?', a long name cut.
      character_row(
          character("", "", {R"({"name":"\u001b]0;owned\u0007\n)" + std::string(100, 'x') + R"(","scale":[0,1,1]})"}),
          "ch.gltf: node '[?]]0;owned[?][?]" + std::string(53, 'x') + "...' has a zero or extreme scale *"),
      {{"retarget", "c.bvh", "--character", "ch.gltf", "-o", "out/c.gltf"},
       {{"c.bvh", good}, {"ch.gltf", character("", R"(,"buffers":[{"uri":"dir","byteLength":4}])")}, {"dir/", ""}},
       2,
       "oxretarget: error: ch.gltf: cannot read character: 'dir' is a directory, not a buffer or an image\n"},
  };

  for (const Row& test : rows) {
    SCOPED_TRACE(test.expected);
    clear();
    make_dir("out");
    for (const auto& [path, text] : test.files) {
      if (path.back() == '/') {
        make_dir(path);
      } else {
        write_text(root_ / path, text);
      }
    }
    if (test.setup) test.setup(root_);
    const std::set<std::string> before = files_below(root_);

    const Outcome result = run(test.args, test.max_file_bytes);
    EXPECT_EQ(result.status, test.status) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(files_below(root_), before) << "output or temporary files left behind";
    if (test.status != 1) {
      EXPECT_TRUE(matches(test.expected, result.err)) << result.err;
      continue;
    }
    // One error line; a retarget run adds its summary line.
    const std::vector<std::string> lines = lines_of(result.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(matches("oxretarget: error: " + test.expected, lines[0])) << lines[0];
    for (std::size_t i = 1; i < lines.size(); ++i) {
      EXPECT_TRUE(test.args[0] == "retarget" && matches("0 of * files retargeted, 0 frames in *", lines[i]))
          << lines[i];
    }
  }
}

// A glb whose eight-byte binary chunk its one buffer (of no bytes) does not describe.
std::string chunk_glb() {
  const auto u32 = [](std::uint32_t v) {
    return std::string{static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff),
                       static_cast<char>((v >> 16) & 0xff), static_cast<char>(v >> 24)};
  };
  std::string json = R"({"asset":{"version":"2.0"},"scenes":[{"nodes":[0]}],"skins":[{"joints":[0,1]}],)"
                     R"("nodes":[{"name":"root","children":[1]},{"name":"pelvis","translation":[0,1,0]}],)"
                     R"("buffers":[{"byteLength":0}],"bufferViews":[{"buffer":0,"byteLength":8}]})";
  json.append((4 - json.size() % 4) % 4, ' ');
  std::string bytes = "glTF" + u32(2) + u32(static_cast<std::uint32_t>(12 + 8 + json.size() + 8 + 8));
  bytes += u32(static_cast<std::uint32_t>(json.size())) + "JSON" + json;
  bytes += u32(8) + std::string("BIN\0", 4) + std::string(8, '\0');
  return bytes;
}

// One rule in every command: a wrong command line or plan exits 2, a file that cannot be done exits 1,
// and each error names its file once, in our own words.
TEST_F(ErrorCatalog, OneRuleInEveryCommand) {
  struct Fault {
    Args options;  // after the input
    int status;
    std::string message;  // after "oxretarget: error: "
  };
  const std::vector<Fault> faults = {
      {{"--target-rig", "nope.glb"}, 2, "nope.glb: cannot open: no such file"},
      {{"--target-rig", "bad.glb"}, 2, "bad.glb: cannot read rig: not a valid glTF 2.0 file (*)"},
      {{"--target-rig", "deep.gltf"}, 2, "deep.gltf: its JSON is nested deeper than 64 levels"},
      {{"--character", "chunk.glb"},
       2,
       "chunk.glb: cannot read character: not a valid glTF 2.0 file (its buffers and binary chunk disagree)"},
      {{"--units", "ft"}, 2, "--units: ft not in {cm,m,mm,in}*"},
      {{"--source-rest", "frame:99999"}, 1, "c.bvh: has no frame 99999 to rest on *"},
      {{"--source-rest", "sideways"}, 2, "--source-rest sideways: expected auto, zero, kz, frame:N or file:REST.bvh"},
  };
  for (const std::string command : {"retarget", "preview"}) {
    for (const Fault& fault : faults) {
      SCOPED_TRACE(command + " " + fault.message);
      clear();
      write_text(root_ / "c.bvh", small_clip(2, 2));
      write_text(root_ / "bad.glb", "glTF, but not really");
      write_text(root_ / "chunk.glb", chunk_glb());
      write_text(root_ / "deep.gltf", "{\"extras\":" + std::string(20000, '[') + std::string(20000, ']') + "}");
      Args args{command, "c.bvh", "-o", command == std::string("retarget") ? "c.json" : "c.html"};
      args.insert(args.end(), fault.options.begin(), fault.options.end());
      const Outcome result = run(args);
      EXPECT_EQ(result.status, fault.status) << result.err;
      const std::vector<std::string> lines = lines_of(result.err);
      ASSERT_FALSE(lines.empty());
      EXPECT_TRUE(matches("oxretarget: error: " + fault.message, lines[0]) || matches(fault.message, lines[0]))
          << lines[0];
      EXPECT_EQ(result.err.find("c.bvh: c.bvh"), std::string::npos) << result.err;
      EXPECT_EQ(result.err.find("Failed"), std::string::npos) << result.err;
    }
  }
  // A missing input fails that file (1) in every command that reads one.
  for (const Args& args : {Args{"retarget", "nope.bvh"}, Args{"preview", "nope.bvh"}, Args{"info", "nope.bvh"}}) {
    const Outcome result = run(args);
    EXPECT_EQ(result.status, 1) << args[0];
    EXPECT_EQ(lines_of(result.err).at(0), "oxretarget: error: nope.bvh: cannot open: no such file") << args[0];
  }
}

}  // namespace
