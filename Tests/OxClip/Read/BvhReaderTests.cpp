#include "BvhReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <random>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

// Records the largest single heap request so tests can show that huge inputs are not buffered.
namespace {
std::atomic<std::size_t> g_largest_allocation{0};
}  // namespace

// Kept out of line so the compiler pairs new with delete, not with malloc and free.
[[gnu::noinline]] void* operator new(std::size_t size) {
  std::size_t seen = g_largest_allocation.load(std::memory_order_relaxed);
  while (size > seen && !g_largest_allocation.compare_exchange_weak(seen, size)) {
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace oxr::bvh;
using oxr::Quat;

constexpr double kTol = 1e-12;
const double kHalfSqrt2 = std::sqrt(0.5);

// One joint with an End Site; line numbers are noted for the error tests.
const std::string kSmall =
    "HIERARCHY\n"                                   // 1
    "ROOT Hips\n"                                   // 2
    "{\n"                                           // 3
    "  OFFSET 0 0 0\n"                              // 4
    "  CHANNELS 3 Zrotation Yrotation Xrotation\n"  // 5
    "  End Site\n"                                  // 6
    "  {\n"                                         // 7
    "    OFFSET 0 1 0\n"                            // 8
    "  }\n"                                         // 9
    "}\n"                                           // 10
    "MOTION\n"                                      // 11
    "Frames: 2\n"                                   // 12
    "Frame Time: 0.5\n"                             // 13
    "1 2 3\n"                                       // 14
    "4 5 6\n";                                      // 15

const std::string kRig =
    "HIERARCHY\n"
    "ROOT rig:Hips\n"
    "{\n"
    "  OFFSET 1 2 3\n"
    "  CHANNELS 6 Xposition Yposition Zposition Zrotation Yrotation Xrotation\n"
    "  JOINT rig:Spine\n"
    "  {\n"
    "    OFFSET 0 5 0\n"
    "    CHANNELS 3 Zrotation Xrotation Yrotation\n"
    "    End Site\n"
    "    {\n"
    "      OFFSET 0 4 0\n"
    "    }\n"
    "  }\n"
    "  JOINT rig:LeftUpLeg\n"
    "  {\n"
    "    OFFSET 1.5 -1 0\n"
    "    CHANNELS 3 Xrotation Yrotation Zrotation\n"
    "    JOINT rig:LeftLeg\n"
    "    {\n"
    "      OFFSET 0 -4e0 0\n"
    "      CHANNELS 1 Xrotation\n"
    "      End Site\n"
    "      {\n"
    "        OFFSET 0 -4 1\n"
    "      }\n"
    "    }\n"
    "  }\n"
    "}\n"
    "MOTION\n"
    "Frames: 2\n"
    "Frame Time: 0.0333333\n"
    "1 2 3 10 20 30 40 50 60 70 80 90 100\n"
    "-1 -2 -3 -10 -20 -30 -40 -50 -60 -70 -80 -90 -100\n";

std::string replace(std::string text, const std::string& from, const std::string& to) {
  const auto pos = text.find(from);
  EXPECT_NE(pos, std::string::npos) << from;
  if (pos != std::string::npos) text.replace(pos, from.size(), to);
  return text;
}

struct Parsed {
  Header header;
  std::vector<std::vector<double>> frames;
};

Parsed read_all(std::istream& in, Limits limits = {}) {
  Reader reader(in, limits);
  Parsed parsed{reader.header(), {}};
  std::vector<double> values(static_cast<std::size_t>(reader.header().channel_count));
  while (reader.read_frame(values)) parsed.frames.push_back(values);
  EXPECT_EQ(reader.frames_read(), reader.header().frame_count);
  return parsed;
}

Parsed read_text(const std::string& text, Limits limits = {}) {
  std::istringstream in(text);
  return read_all(in, limits);
}

struct Failure {
  std::int64_t line;
  std::string what;
};

std::optional<Failure> failure_of(std::istream& in, Limits limits = {}) {
  try {
    read_all(in, limits);
  } catch (const BvhError& e) {
    EXPECT_EQ(std::string(e.what()),
              (e.line() > 0 ? "line " + std::to_string(e.line()) + ": " : "") + std::string(e.message()));
    return Failure{e.line(), e.what()};
  }
  return std::nullopt;
}

std::optional<Failure> failure_of(const std::string& text, Limits limits = {}) {
  std::istringstream in(text);
  return failure_of(in, limits);
}

void expect_failure(const std::string& text, const std::string& what, Limits limits = {}) {
  const auto failure = failure_of(text, limits);
  ASSERT_TRUE(failure.has_value()) << "expected: " << what;
  EXPECT_EQ(failure->what, what);
}

Quat rotation_of(const std::string& channels, const std::vector<double>& values) {
  const auto count = std::count(channels.begin(), channels.end(), ' ') + 1;
  const std::string text =
      replace(kSmall, "CHANNELS 3 Zrotation Yrotation Xrotation", "CHANNELS " + std::to_string(count) + " " + channels);
  std::istringstream in(replace(text, "Frames: 2\nFrame Time: 0.5\n1 2 3\n4 5 6\n", "Frames: 0\nFrame Time: 0.5\n"));
  Reader reader(in);
  return joint_rotation(reader.header().joints.at(0), values);
}

void expect_quat(const Quat& actual, const Quat& expected) {
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(actual[i], expected[i], kTol) << "component " << i;
}

using Vec = std::array<double, 3>;

Vec rotate(const Quat& q, const Vec& v) {
  // v' = v + 2w (u x v) + 2 u x (u x v), u the vector part.
  const Vec u{q[0], q[1], q[2]};
  const auto cross = [](const Vec& a, const Vec& b) {
    return Vec{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
  };
  const Vec t = cross(u, v);
  const Vec s = cross(u, t);
  return {v[0] + 2 * q[3] * t[0] + 2 * s[0], v[1] + 2 * q[3] * t[1] + 2 * s[1], v[2] + 2 * q[3] * t[2] + 2 * s[2]};
}

// Produces prefix, then `repeats` copies of pattern, then suffix, without storing the middle part.
class LazyStreambuf : public std::streambuf {
 public:
  LazyStreambuf(std::string prefix, std::string pattern, std::size_t repeats, std::string suffix)
      : prefix_(std::move(prefix)), pattern_(std::move(pattern)), suffix_(std::move(suffix)), remaining_(repeats) {
    setg(prefix_.data(), prefix_.data(), prefix_.data() + prefix_.size());
  }

 protected:
  int_type underflow() override {
    if (remaining_ > 0) {
      const std::size_t n = std::min(remaining_, chunk_.size() / pattern_.size());
      for (std::size_t i = 0; i < n; ++i) {
        std::copy(pattern_.begin(), pattern_.end(), chunk_.begin() + static_cast<std::ptrdiff_t>(i * pattern_.size()));
      }
      remaining_ -= n;
      setg(chunk_.data(), chunk_.data(), chunk_.data() + n * pattern_.size());
      return traits_type::to_int_type(chunk_[0]);
    }
    if (!suffix_done_) {
      suffix_done_ = true;
      if (!suffix_.empty()) {
        setg(suffix_.data(), suffix_.data(), suffix_.data() + suffix_.size());
        return traits_type::to_int_type(suffix_[0]);
      }
    }
    return traits_type::eof();
  }

 private:
  std::string prefix_;
  std::string pattern_;
  std::string suffix_;
  std::size_t remaining_;
  bool suffix_done_ = false;
  std::array<char, 1 << 16> chunk_{};
};

constexpr std::size_t k100MB = 100u << 20;

// ---------------------------------------------------------------------------------------------

TEST(BvhReader, ParsesJointsChannelsEndSitesAndFrames) {
  const Parsed parsed = read_text(kRig);
  const Header& h = parsed.header;
  ASSERT_EQ(h.joints.size(), 4u);
  EXPECT_EQ(h.channel_count, 13);
  EXPECT_EQ(h.frame_count, 2);
  EXPECT_NEAR(h.frame_time, 0.0333333, kTol);

  EXPECT_EQ(h.joints[0].name, "rig:Hips");
  EXPECT_EQ(h.joints[1].name, "rig:Spine");
  EXPECT_EQ(h.joints[2].name, "rig:LeftUpLeg");
  EXPECT_EQ(h.joints[3].name, "rig:LeftLeg");
  EXPECT_EQ(h.joints[0].parent, -1);
  EXPECT_EQ(h.joints[1].parent, 0);
  EXPECT_EQ(h.joints[2].parent, 0);
  EXPECT_EQ(h.joints[3].parent, 2);
  EXPECT_EQ(h.joints[0].first_channel, 0);
  EXPECT_EQ(h.joints[1].first_channel, 6);
  EXPECT_EQ(h.joints[2].first_channel, 9);
  EXPECT_EQ(h.joints[3].first_channel, 12);
  EXPECT_EQ(h.joints[0].offset, (Vec{1, 2, 3}));
  EXPECT_EQ(h.joints[2].offset, (Vec{1.5, -1, 0}));
  EXPECT_EQ(h.joints[3].offset, (Vec{0, -4, 0}));
  EXPECT_EQ(h.joints[1].channels, (std::vector<Channel>{Channel::Zrotation, Channel::Xrotation, Channel::Yrotation}));
  EXPECT_EQ(h.joints[0].channels.front(), Channel::Xposition);

  EXPECT_TRUE(h.joints[0].end_sites.empty());
  ASSERT_EQ(h.joints[1].end_sites.size(), 1u);
  EXPECT_EQ(h.joints[1].end_sites[0], (Vec{0, 4, 0}));
  ASSERT_EQ(h.joints[3].end_sites.size(), 1u);
  EXPECT_EQ(h.joints[3].end_sites[0], (Vec{0, -4, 1}));

  ASSERT_EQ(parsed.frames.size(), 2u);
  EXPECT_EQ(parsed.frames[0].front(), 1);
  EXPECT_EQ(parsed.frames[0].back(), 100);
  EXPECT_EQ(parsed.frames[1][6], -40);
}

TEST(BvhReader, SmallestBlocksReadLikeLargeOnes) {
  // Blocks of 2 x 13 + 2 bytes: every token and number meets a block boundary somewhere.
  const Limits small{.max_token_length = 13, .block_bytes = 1};
  const Parsed plain = read_text(kRig);
  const Parsed parsed = read_text(kRig, small);
  ASSERT_EQ(parsed.header.joints.size(), plain.header.joints.size());
  EXPECT_EQ(parsed.header.joints.back().end_sites, plain.header.joints.back().end_sites);
  EXPECT_EQ(parsed.frames, plain.frames);
  expect_failure(replace(kSmall, "4 5 6", "4 5 6x"), "line 15: frame 2 value 3 '6x' is not a number", small);
  expect_failure(replace(kSmall, "4 5 6", "4 5 6 7"), "line 15: frame 2 has more than 3 values", small);

  const std::filesystem::path path = std::filesystem::path(OX_TEST_DATA_DIR) / "cmu_02_01_walk.bvh";
  std::ifstream in(path, std::ios::binary), again(path, std::ios::binary);
  EXPECT_EQ(read_all(in, Limits{.max_token_length = 20, .block_bytes = 1}).frames, read_all(again).frames);
}

TEST(BvhReader, CrlfTabsTrailingSpacesAndBlankLinesReadLikePlainText) {
  std::string messy;
  for (const char c : kRig) {
    if (c == '\n') {
      messy += " \t\r\n";
    } else if (c == ' ') {
      messy += "\t ";
    } else {
      messy += c;
    }
  }
  messy = replace(messy, "100 \t\r\n", "100 \t\r\n\r\n\t\r\n");  // blank lines between frames
  const Parsed plain = read_text(kRig);
  const Parsed parsed = read_text(messy);
  ASSERT_EQ(parsed.header.joints.size(), plain.header.joints.size());
  for (std::size_t i = 0; i < plain.header.joints.size(); ++i) {
    EXPECT_EQ(parsed.header.joints[i].name, plain.header.joints[i].name);
    EXPECT_EQ(parsed.header.joints[i].channels, plain.header.joints[i].channels);
  }
  EXPECT_EQ(parsed.frames, plain.frames);
}

// Hips (root written as JOINT)
//  +- Spine: channels in mixed case, ends in "JOINT Site" without channels  -> an End Site
//  +- Leg: no CHANNELS line; its "JOINT Site" has CHANNELS 0                -> an End Site
//  +- Site: has a channel, so it is a joint of that name
TEST(BvhReader, ExportersDialectsReadAsThePlainLayout) {
  const Parsed parsed = read_text(
      "HIERARCHY\nJOINT Hips\n{\nOFFSET 0 0 0\nCHANNELS 2 XPOSITION zRotation\n"
      "JOINT Spine\n{\nOFFSET 0 5 0\nCHANNELS 2 yrotation Xposition\nJOINT Site\n{\nOFFSET 0 4 0\n}\n}\n"
      "JOINT Leg\n{\nOFFSET 1 -1 0\nJOINT Site\n{\nOFFSET 0 -4 0\nCHANNELS 0\n}\n}\n"
      "JOINT Site\n{\nOFFSET 2 0 0\nCHANNELS 1 Xrotation\n}\n}\n"
      "MOTION\nFrames: 1\nFrame Time: 1\n1 2 3 4 5\n");
  const Header& h = parsed.header;
  ASSERT_EQ(h.joints.size(), 4u);
  EXPECT_EQ(h.joints[1].name, "Spine");
  EXPECT_EQ(h.joints[2].name, "Leg");
  EXPECT_EQ(h.joints[3].name, "Site");
  EXPECT_EQ(h.joints[3].parent, 0);
  EXPECT_EQ(h.joints[0].channels, (std::vector<Channel>{Channel::Xposition, Channel::Zrotation}));
  EXPECT_EQ(h.joints[1].channels, (std::vector<Channel>{Channel::Yrotation, Channel::Xposition}));
  EXPECT_TRUE(h.joints[2].channels.empty());
  EXPECT_EQ(h.joints[3].first_channel, 4);
  EXPECT_EQ(h.joints[1].end_sites, (std::vector<Vec>{{0, 4, 0}}));
  EXPECT_EQ(h.joints[2].end_sites, (std::vector<Vec>{{0, -4, 0}}));
  EXPECT_EQ(parsed.frames[0], (std::vector<double>{1, 2, 3, 4, 5}));

  // Two joints named Site that are real joints are still duplicates, named at the second's line.
  expect_failure(
      "HIERARCHY\nROOT Hips\n{\nOFFSET 0 0 0\nCHANNELS 0\nJOINT Site\n{\nOFFSET 0 0 0\nCHANNELS 1 Xrotation\n}\n"
      "JOINT Site\n{\nOFFSET 0 0 0\nCHANNELS 1 Xrotation\n}\n}\nMOTION\nFrames: 0\nFrame Time: 1\n",
      "line 11: duplicate joint name 'Site' (same as 'Site' ignoring case)");
}

TEST(BvhReader, AcceptsNumberFormsThatFromCharsAccepts) {
  std::string text = replace(kSmall, "1 2 3\n", "1.5e2 -.25 1e-400\n");
  text = replace(text, "Frames: 2", "Frames:2");
  text = replace(text, "Frame Time: 0.5", "Frame Time: .0083333");
  const Parsed parsed = read_text(text);
  EXPECT_EQ(parsed.header.frame_count, 2);
  EXPECT_NEAR(parsed.header.frame_time, 0.0083333, kTol);
  EXPECT_EQ(parsed.frames[0], (std::vector<double>{150, -0.25, 0}));  // underflow reads as zero
}

// Motion data is read by a shortcut for plain decimals; every value must be the double from_chars
// reads from the same text, bit for bit: random decimals of 1 to 17 digits with the point anywhere,
// and the edges of the shortcut (signed zeros, 15 and 16 digits, exponents, a bare point).
TEST(BvhReader, FrameValuesAreTheDoublesFromCharsReads) {
  std::vector<std::string> numbers = {"-0",
                                      "-0.000",
                                      "0.0",
                                      "123456789012345",
                                      "1234567890123456",
                                      "-9007199254740993",
                                      "0.000000000000001",
                                      "1e5",
                                      "-1.5E-3",
                                      "12.",
                                      "-.5",
                                      "0.1",
                                      "179.999999",
                                      "-0.30000000000000004"};
  std::mt19937_64 random(11);
  for (int k = 0; k < 3000; ++k) {
    const int length = 1 + static_cast<int>(random() % 17);
    std::string text = random() % 2 != 0 ? "-" : "";
    const int point = static_cast<int>(random() % static_cast<std::uint64_t>(length));
    for (int d = 0; d < length; ++d) {
      if (d == point && d > 0) text += '.';
      text += static_cast<char>('0' + random() % 10);
    }
    numbers.push_back(text);
  }
  while (numbers.size() % 3 != 0) numbers.push_back("1");
  std::string data = "Frames: " + std::to_string(numbers.size() / 3) + "\nFrame Time: 0.5\n";
  for (std::size_t i = 0; i < numbers.size(); ++i) data += numbers[i] + (i % 3 == 2 ? "\n" : " ");
  const Parsed parsed = read_text(replace(kSmall, "Frames: 2\nFrame Time: 0.5\n1 2 3\n4 5 6\n", data));
  ASSERT_EQ(parsed.frames.size(), numbers.size() / 3);
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    double expected = 0;
    std::from_chars(numbers[i].data(), numbers[i].data() + numbers[i].size(), expected);
    const double actual = parsed.frames[i / 3][i % 3];
    EXPECT_EQ(std::bit_cast<std::uint64_t>(actual), std::bit_cast<std::uint64_t>(expected)) << numbers[i];
  }
}

TEST(BvhReader, ZeroFramesNeedNoData) {
  const Parsed parsed =
      read_text(replace(kSmall, "Frames: 2\nFrame Time: 0.5\n1 2 3\n4 5 6\n", "Frames: 0\nFrame Time: 0.5\n"));
  EXPECT_EQ(parsed.header.frame_count, 0);
  EXPECT_TRUE(parsed.frames.empty());
}

TEST(BvhReader, ReadFrameChecksBufferSizeAndStopsAfterLastFrame) {
  std::istringstream in(kSmall);
  Reader reader(in);
  std::vector<double> wrong(2);
  EXPECT_THROW(reader.read_frame(wrong), BvhError);
  std::vector<double> values(3);
  EXPECT_TRUE(reader.read_frame(values));
  EXPECT_TRUE(reader.read_frame(values));
  EXPECT_EQ(values, (std::vector<double>{4, 5, 6}));
  EXPECT_FALSE(reader.read_frame(values));
  EXPECT_FALSE(reader.read_frame(values));
  EXPECT_EQ(reader.frames_read(), 2);
}

TEST(BvhReader, StripNamespace) {
  EXPECT_EQ(strip_namespace("rig:Hips"), "Hips");
  EXPECT_EQ(strip_namespace("a:b:LeftArm"), "LeftArm");
  EXPECT_EQ(strip_namespace("Hips"), "Hips");
  EXPECT_EQ(strip_namespace(""), "");
}

TEST(BvhReader, ReadsRealCaptureWhenPresent) {
  const std::filesystem::path path = std::filesystem::path(OX_TEST_DATA_DIR) / "cmu_02_01_walk.bvh";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "capture not available";
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in);
  const Parsed parsed = read_all(in);
  EXPECT_EQ(parsed.header.joints.size(), 31u);
  EXPECT_EQ(parsed.header.channel_count, 96);
  EXPECT_EQ(parsed.header.frame_count, 344);
  EXPECT_EQ(parsed.frames.size(), 344u);
  EXPECT_NEAR(parsed.header.frame_time, 1.0 / 120.0, 1e-6);
  EXPECT_EQ(parsed.header.joints[0].name, "Hips");
  EXPECT_EQ(parsed.header.joints[0].channels.size(), 6u);
  EXPECT_NEAR(parsed.frames[0][0], 10.4194, kTol);
}

// ---------------------------------------------------------------------------------------------

TEST(BvhRotation, ComposesChannelsInListedOrder) {
  const double s = kHalfSqrt2;
  // qX * qY * qZ and qZ * qX * qY, each angle 90 degrees, worked by hand.
  expect_quat(rotation_of("Xrotation Yrotation Zrotation", {90, 90, 90}), {s, 0, s, 0});
  expect_quat(rotation_of("Zrotation Xrotation Yrotation", {90, 90, 90}), {0, s, s, 0});
  // Values follow their channel names, not a fixed axis order.
  expect_quat(rotation_of("Zrotation Xrotation Yrotation", {0, 90, 0}), {s, 0, 0, s});
  const double h = 15.0 * std::acos(-1.0) / 180.0;
  expect_quat(rotation_of("Yrotation", {30}), {0, std::sin(h), 0, std::cos(h)});
}

TEST(BvhRotation, PositiveAnglesTurnCounterClockwise) {
  const Vec x_to_y = rotate(rotation_of("Zrotation", {90}), {1, 0, 0});
  const Vec y_to_z = rotate(rotation_of("Xrotation", {90}), {0, 1, 0});
  const Vec z_to_x = rotate(rotation_of("Yrotation", {90}), {0, 0, 1});
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(x_to_y[i], (Vec{0, 1, 0})[i], kTol);
    EXPECT_NEAR(y_to_z[i], (Vec{0, 0, 1})[i], kTol);
    EXPECT_NEAR(z_to_x[i], (Vec{1, 0, 0})[i], kTol);
  }
}

TEST(BvhRotation, PositionChannelsAreIgnoredAndEachJointReadsItsOwnValues) {
  std::istringstream in(kRig);
  Reader reader(in);
  const Header& h = reader.header();
  std::vector<double> frame(13, 0.0);
  frame[0] = 100;  // positions
  frame[1] = 200;
  frame[2] = 300;
  frame[5] = 90;   // root Xrotation
  frame[12] = 90;  // LeftLeg Xrotation
  const double s = kHalfSqrt2;
  expect_quat(joint_rotation(h.joints[0], frame), {s, 0, 0, s});
  expect_quat(joint_rotation(h.joints[1], frame), {0, 0, 0, 1});
  expect_quat(joint_rotation(h.joints[3], frame), {s, 0, 0, s});
  expect_quat(rotation_of("Xposition Zrotation Yposition", {5, 90, 7}), {0, 0, s, s});

  EXPECT_THROW(joint_rotation(h.joints[3], std::span<const double>(frame).first(12)), BvhError);
}

// Hips (OFFSET 0 90 0, positions) +- Leg (OFFSET 10 0 0, positions on X only). The first frame decides
// how position channels meet a non-zero OFFSET: near zero (within 9 for the hips, 1 for the leg) they
// are added, else they are the whole position.
TEST(BvhPositions, FirstFrameDecidesAbsoluteOrRelativeAndTheOptionOverrides) {
  const auto file = [](const std::string& hips_offset, const std::string& first) {
    return "HIERARCHY\nROOT Hips\n{\nOFFSET " + hips_offset +
           "\nCHANNELS 3 Xposition Yposition Zposition\nJOINT Leg\n{\nOFFSET 10 0 0\nCHANNELS 1 Xposition\n"
           "End Site\n{\nOFFSET 0 -40 0\n}\n}\n}\nMOTION\nFrames: 2\nFrame Time: 0.5\n" +
           first + "\n1 2 3 4\n";
  };
  struct Case {
    std::string offset, first;
    Positions option, decided;
    bool matter;
    std::array<double, 3> hips;  // the hips' translation in the second frame
  };
  const std::vector<Case> cases = {
      {"0 90 0", "0 91 0 0", Positions::Auto, Positions::Absolute, true, {1, 2, 3}},       // hips near OFFSET
      {"0 90 0", "8 0 0 0", Positions::Auto, Positions::Relative, true, {1, 92, 3}},       // within a tenth
      {"0 90 0", "0 1 0 1.5", Positions::Auto, Positions::Absolute, true, {1, 2, 3}},      // the leg decides
      {"0 90 0", "0 91 0 0", Positions::Relative, Positions::Relative, true, {1, 92, 3}},  // told
      {"0 90 0", "0 1 0 0", Positions::Absolute, Positions::Absolute, true, {1, 2, 3}},    // told
  };
  for (const Case& c : cases) {
    std::istringstream in(file(c.offset, c.first));
    Reader reader(in, {}, c.option);
    EXPECT_EQ(reader.header().positions_matter, c.matter);
    std::vector<double> frame(4);
    ASSERT_TRUE(reader.read_frame(frame));
    ASSERT_TRUE(reader.read_frame(frame));
    EXPECT_EQ(reader.header().positions, c.decided) << c.first;
    EXPECT_EQ(joint_position(reader.header().joints[0], frame, reader.header().positions), c.hips) << c.first;
  }
  // Zero OFFSETs on every positioned joint: nothing to decide, the channels are added (as always).
  std::istringstream zero(
      replace(file("0 0 0", "0 91 0 0"), "OFFSET 10 0 0\nCHANNELS 1 Xposition", "OFFSET 10 0 0\nCHANNELS 1 Xrotation"));
  Reader reader(zero);
  EXPECT_FALSE(reader.header().positions_matter);
  EXPECT_EQ(reader.header().positions, Positions::Relative);
}

TEST(BvhRotation, AxisConversionMapsBvhDirectionsToLibraryDirections) {
  // Library vector from a file vector: forward +Z -> -X, left +X -> +Y, up +Y -> +Z.
  const auto to_library = [](const Vec& v) { return Vec{-v[2], v[0], v[1]}; };
  const std::vector<Quat> rotations = {
      rotation_of("Zrotation Yrotation Xrotation", {30, -50, 70}),
      rotation_of("Xrotation Zrotation Yrotation", {-120, 10, 85}),
      rotation_of("Yrotation", {90}),
  };
  const std::vector<Vec> vectors = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.3, -2, 1.7}};
  for (const Quat& q : rotations) {
    const Quat converted = oxr::to_library_axes(q);
    for (const Vec& v : vectors) {
      const Vec expected = to_library(rotate(q, v));
      const Vec actual = rotate(converted, to_library(v));
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(actual[i], expected[i], kTol);
    }
  }
}

// ---------------------------------------------------------------------------------------------

struct EditCase {
  const char* from;
  const char* to;
  const char* what;
};

void expect_edit_failures(const std::vector<EditCase>& cases) {
  for (const EditCase& c : cases) {
    SCOPED_TRACE(c.to);
    expect_failure(replace(kSmall, c.from, c.to), c.what);
  }
}

TEST(BvhErrors, EmptyOrTruncatedFiles) {
  expect_failure("", "line 1: empty file");
  expect_failure("\n \r\n\t", "line 3: empty file");
  expect_failure(kSmall.substr(0, kSmall.find("  End Site")), "line 5: unexpected end of file inside joint 'Hips'");
  expect_failure(kSmall.substr(0, kSmall.find(" 0 0\n")), "line 4: unexpected end of file, expected OFFSET value");
  expect_failure(kSmall.substr(0, kSmall.find("MOTION")), "line 10: unexpected end of file, expected MOTION");
  expect_failure(replace(kSmall, "Frames: 2", "Frames: 10"), "line 15: file ends after frame 2 of 10");
  expect_failure(replace(replace(kSmall, "4 5 6\n", ""), "Frames: 2", "Frames: 3"),
                 "line 14: file ends after frame 1 of 3");
  // One frame fewer than declared is read, and said.
  std::istringstream short_by_one(replace(kSmall, "4 5 6\n", ""));
  Reader reader(short_by_one);
  std::vector<double> values(static_cast<std::size_t>(reader.header().channel_count));
  int frames = 0;
  while (reader.read_frame(values)) ++frames;
  EXPECT_EQ(frames, 1);
  EXPECT_TRUE(reader.one_frame_short());
}

TEST(BvhErrors, UnknownOrMisplacedKeywords) {
  expect_edit_failures({
      {"HIERARCHY", "Hierarchy", "line 1: expected HIERARCHY, found 'Hierarchy'"},
      {"ROOT Hips", "BONE Hips", "line 2: expected ROOT after HIERARCHY, found 'BONE'"},
      {"ROOT Hips\n{", "ROOT\n{", "line 3: missing joint name after ROOT"},
      {"  End Site", "  joint Leg", "line 6: unknown keyword 'joint' in joint 'Hips', expected JOINT, End Site or }"},
      {"  End Site", "  ROTATION 1 2 3",
       "line 6: unknown keyword 'ROTATION' in joint 'Hips', expected JOINT, End Site or }"},
      {"  End Site", "  End Point", "line 6: expected Site after End, found 'Point'"},
      {"  OFFSET 0 0 0", "  CHANNELS 0", "line 4: expected OFFSET in joint 'Hips', found 'CHANNELS'"},
      {"}\nMOTION", "}\n}\nMOTION", "line 11: expected MOTION after the hierarchy, found '}'"},
      {"Frames: 2", "Frame: 2", "line 12: expected Frames:, found 'Frame:'"},
      {"Frame Time: 0.5", "FrameTime: 0.5", "line 13: expected Frame after the frame count, found 'FrameTime:'"},
      {"Frame Time: 0.5", "Frame Time: 0.5 x", "line 13: unexpected 'x' after the frame time"},
  });
}

TEST(BvhErrors, BadChannelLists) {
  const char* line = "CHANNELS 3 Zrotation Yrotation Xrotation";
  expect_edit_failures({
      {line, "CHANNELS 3 Zrotation Yrotation", "line 5: CHANNELS count 3 does not match the 2 channel names given"},
      {line, "CHANNELS 2 Zrotation Yrotation Xrotation",
       "line 5: CHANNELS count 2 does not match the 3 channel names given"},
      {line, "CHANNELS 3 Zrotation Yrot Xrotation", "line 5: unknown channel 'Yrot' in joint 'Hips'"},
      {line, "CHANNELS 3 Zrotation Yrotation zrotation", "line 5: duplicate channel 'zrotation' in joint 'Hips'"},
      {line, "CHANNELS 3 Zrotation Yrotation Zrotation", "line 5: duplicate channel 'Zrotation' in joint 'Hips'"},
      {line, "CHANNELS 7 Zrotation Yrotation Xrotation", "line 5: CHANNELS count 7 is outside 0 to 6"},
      {line, "CHANNELS -1", "line 5: CHANNELS count -1 is outside 0 to 6"},
      {line, "CHANNELS three Zrotation", "line 5: CHANNELS count 'three' is not an integer"},
      {line, "CHANNELS 6 Xposition Yposition Zposition Xrotation Yrotation Zrotation Xrotation",
       "line 5: CHANNELS count 6 does not match the 7 channel names given"},
  });
}

TEST(BvhErrors, BadNumbersInHierarchyAndFrames) {
  expect_edit_failures({
      {"OFFSET 0 1 0", "OFFSET 0 one 0", "line 8: OFFSET value 'one' is not a number"},
      {"OFFSET 0 1 0", "OFFSET 0 inf 0", "line 8: OFFSET value 'inf' is not finite"},
      {"4 5 6", "4 x 6", "line 15: frame 2 value 2 'x' is not a number"},
      {"4 5 6", "4 5 nan", "line 15: frame 2 value 3 'nan' is not finite"},
      {"4 5 6", "4 -inf 6", "line 15: frame 2 value 2 '-inf' is not finite"},
      {"4 5 6", "4 5 1e999", "line 15: frame 2 value 3 '1e999' is out of range"},
      {"4 5 6", "4 5 +6", "line 15: frame 2 value 3 '+6' is not a number"},
      {"4 5 6", "4 5 6,", "line 15: frame 2 value 3 '6,' is not a number"},
      {"4 5 6", "4 0x5 6", "line 15: frame 2 value 2 '0x5' is not a number"},
  });
}

TEST(BvhErrors, BadFrameCountOrTime) {
  expect_edit_failures({
      {"Frames: 2", "Frames: -2", "line 12: negative frame count '-2'"},
      {"Frames: 2", "Frames: 2.5", "line 12: frame count '2.5' is not a non-negative integer"},
      {"Frames: 2", "Frames: two", "line 12: frame count 'two' is not a non-negative integer"},
      {"Frames: 2", "Frames: 99999999999999999999",
       "line 12: frame count '99999999999999999999' exceeds the limit of 100000000"},
      {"Frames: 2", "Frames: 100000001", "line 12: frame count '100000001' exceeds the limit of 100000000"},
      {"Time: 0.5", "Time: 0", "line 13: Frame Time '0' is not positive"},
      {"Time: 0.5", "Time: -0.1", "line 13: Frame Time '-0.1' is not positive"},
      {"Time: 0.5", "Time: nan", "line 13: Frame Time 'nan' is not finite"},
      {"Time: 0.5", "Time: fast", "line 13: Frame Time 'fast' is not a number"},
  });
  const std::string no_channels = replace(kSmall, "CHANNELS 3 Zrotation Yrotation Xrotation", "CHANNELS 0");
  expect_failure(no_channels, "line 13: 2 frames declared but the hierarchy has no channels");
}

TEST(BvhErrors, FramesMustFillExactlyOneLineEach) {
  expect_edit_failures({
      {"4 5 6", "4 5", "line 15: frame 2 has 2 values, expected 3"},
      {"4 5 6", "4 5 6 7", "line 15: frame 2 has more than 3 values"},
      {"1 2 3\n4 5 6", "1 2\n3 4 5 6", "line 14: frame 1 has 2 values, expected 3"},
      {"Time: 0.5\n1 2 3", "Time: 0.5 1 2 3", "line 13: unexpected '1' after the frame time"},
      {"4 5 6\n", "4 5 6\n7 8 9\n", "line 16: unexpected data '7' after the last frame (Frames: 2)"},
      {"4 5 6\n", "4 5 6\n\n  }\n", "line 17: unexpected data '}' after the last frame (Frames: 2)"},
  });
  expect_failure(replace(kSmall, "Frames: 2\nFrame Time: 0.5\n1 2 3\n4 5 6\n", "Frames: 0\nFrame Time: 0.5\n1 2 3\n"),
                 "line 14: unexpected data '1' after the last frame (Frames: 0)");
}

TEST(BvhErrors, ReaderStaysFailedAfterBadFrame) {
  std::istringstream in(replace(kSmall, "1 2 3", "1 2 x"));
  Reader reader(in);
  std::vector<double> values(3);
  EXPECT_THROW(reader.read_frame(values), BvhError);
  try {
    reader.read_frame(values);
    ADD_FAILURE() << "expected a BvhError";
  } catch (const BvhError& e) {
    EXPECT_EQ(e.line(), 0);
  }
}

TEST(BvhErrors, DuplicateJointNamesIgnoringCase) {
  const std::string text = replace(kSmall, "  End Site\n  {\n    OFFSET 0 1 0\n  }\n",
                                   "  JOINT Spine\n  {\n    OFFSET 0 1 0\n    CHANNELS 0\n"
                                   "    JOINT HIPS\n    {\n      OFFSET 0 1 0\n      CHANNELS 0\n    }\n  }\n");
  expect_failure(text, "line 10: duplicate joint name 'HIPS' (same as 'Hips' ignoring case)");
}

// Root plus `levels` nested joints, one joint per line starting at line 2.
std::string nested(int levels) {
  std::string text = "HIERARCHY\nROOT j0 { OFFSET 0 0 0 CHANNELS 1 Xrotation\n";
  for (int i = 1; i <= levels; ++i) {
    text += "JOINT j" + std::to_string(i) + " { OFFSET 0 1 0 CHANNELS 1 Xrotation\n";
  }
  for (int i = 0; i <= levels; ++i) text += "} ";
  text += "\nMOTION\nFrames: 1\nFrame Time: 1\n";
  for (int i = 0; i <= levels; ++i) text += "0 ";
  return text + "\n";
}

TEST(BvhErrors, NestingDepthAndJointCountAreLimited) {
  // Joint j256 is the 257th open brace, on line 258.
  expect_failure(nested(5000), "line 258: hierarchy nested deeper than 256 levels");
  expect_failure(nested(20), "line 12: hierarchy nested deeper than 10 levels", Limits{.max_depth = 10});
  // An End Site counts as a level.
  expect_failure(kSmall, "line 6: hierarchy nested deeper than 1 levels", Limits{.max_depth = 1});

  std::string wide = "HIERARCHY\nROOT root\n{\nOFFSET 0 0 0\nCHANNELS 1 Xrotation\n";
  for (int i = 1; i <= 1024; ++i) wide += "JOINT c" + std::to_string(i) + " { OFFSET 1 0 0 CHANNELS 0 }\n";
  expect_failure(wide + "}\n", "line 1029: more than 1024 joints");
}

TEST(BvhErrors, DeepHierarchyWithinRaisedLimitsParses) {
  const Parsed parsed = read_text(nested(5000), Limits{.max_depth = 6000, .max_joints = 6000});
  ASSERT_EQ(parsed.header.joints.size(), 5001u);
  EXPECT_EQ(parsed.header.joints.back().parent, 4999);
  EXPECT_EQ(parsed.frames.size(), 1u);
}

TEST(BvhErrors, LongTokensAreRejectedWithoutBuffering) {
  expect_failure(replace(kSmall, "ROOT Hips", "ROOT " + std::string(257, 'H')),
                 "line 2: token longer than 256 characters");
  expect_failure(replace(kSmall, "ROOT Hips", "ROOT " + std::string(16, 'H')),
                 "line 2: token longer than 12 characters", Limits{.max_token_length = 12});

  const std::string head = kSmall.substr(0, kSmall.find("4 5 6"));
  LazyStreambuf huge_token(head + "4 5 ", "7", k100MB, "\n");
  std::istream in(&huge_token);
  g_largest_allocation = 0;
  const auto failure = failure_of(in);
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->what, "line 15: token longer than 256 characters");
  EXPECT_LT(g_largest_allocation.load(), 1u << 20);
}

TEST(BvhErrors, HundredMegabyteLineIsStreamed) {
  const std::string head = kSmall.substr(0, kSmall.find("4 5 6"));
  {
    // Valid: the blanks between two values are skipped, not stored.
    LazyStreambuf blanks(head + "4 5", " ", k100MB, "6\n");
    std::istream in(&blanks);
    g_largest_allocation = 0;
    const Parsed parsed = read_all(in);
    EXPECT_LT(g_largest_allocation.load(), 1u << 20);
    ASSERT_EQ(parsed.frames.size(), 2u);
    EXPECT_EQ(parsed.frames[1], (std::vector<double>{4, 5, 6}));
  }
  {
    // A line of 50 million values fails at the first value too many.
    LazyStreambuf values(head, "9 ", k100MB / 2, "\n");
    std::istream in(&values);
    const auto failure = failure_of(in);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->what, "line 15: frame 2 has more than 3 values");
  }
}

}  // namespace
