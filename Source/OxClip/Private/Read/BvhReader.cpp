#include "BvhReader.h"

#include "Geometry.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <istream>
#include <limits>
#include <numbers>
#include <streambuf>
#include <string>
#include <system_error>
#include <unordered_map>

namespace oxr::bvh {
namespace {

std::atomic<std::int64_t> g_headers_parsed{0};

constexpr bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Quotes a token for a one-line message, masking control bytes and cutting very long ones.
std::string quoted(std::string_view text) {
  constexpr std::size_t kMaxShown = 64;
  std::string out = "'";
  for (std::size_t i = 0; i < text.size() && i < kMaxShown; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    out.push_back(c < 0x20 || c == 0x7f ? '?' : text[i]);
  }
  if (text.size() > kMaxShown) out += "...";
  out += "'";
  return out;
}

constexpr char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// For a decimal that from_chars reported out of range: true if it is tiny (rounds to zero)
// rather than huge. Out-of-range values have a decimal exponent far from zero, so its sign decides.
bool is_underflow(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && text[i] == '-') ++i;
  std::int64_t int_digits = 0;  // significant digits before the point
  std::int64_t frac_zeros = 0;  // zeros after the point before the first significant digit
  bool significant = false;
  for (; i < text.size() && is_digit(text[i]); ++i) {
    if (text[i] != '0' || significant) {
      significant = true;
      ++int_digits;
    }
  }
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && is_digit(text[i]); ++i) {
      if (!significant && text[i] == '0') {
        ++frac_zeros;
      } else {
        significant = true;
      }
    }
  }
  std::int64_t exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    constexpr std::int64_t kClamp = 1'000'000'000'000;
    for (; i < text.size() && is_digit(text[i]); ++i) {
      if (exponent < kClamp) exponent = exponent * 10 + (text[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  const std::int64_t magnitude = (int_digits > 0 ? int_digits : -frac_zeros) + exponent;
  return magnitude < 0;
}

// Reads the plain decimals that fill motion data ("-12.345678": a sign, digits, a point, digits; 15
// digits at most, no exponent) into value and returns the end of the number; nullptr for anything
// else, which from_chars then reads. The digits make an integer below 2^53 and the point a power of
// ten up to 1e15, both exact in a double, so their quotient is the correctly rounded value: the same
// double from_chars gives, at a fraction of its cost.
const char* plain_decimal(const char* p, const char* end, double& value) {
  static constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  constexpr int kMaxDigits = 15;
  const bool negative = p < end && *p == '-';
  if (negative) ++p;
  std::uint64_t digits = 0;
  int count = 0;
  const char* const first = p;
  for (; p < end && is_digit(*p); ++p, ++count) digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
  if (p == first) return nullptr;
  int decimals = 0;
  if (p < end && *p == '.') {
    const char* const point = ++p;
    for (; p < end && is_digit(*p); ++p, ++count) digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
    decimals = static_cast<int>(p - point);
    if (decimals == 0) return nullptr;
  }
  if (count > kMaxDigits || (p < end && (*p == 'e' || *p == 'E'))) return nullptr;
  const double magnitude = static_cast<double>(digits) / kPowersOfTen[decimals];
  value = negative ? -magnitude : magnitude;
  return p;
}

enum class NumberStatus { ok, not_a_number, out_of_range, not_finite };

NumberStatus parse_double(std::string_view text, double& value) {
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range && result.ptr == end) {
    if (!is_underflow(text)) return NumberStatus::out_of_range;
    value = text.front() == '-' ? -0.0 : 0.0;
    return NumberStatus::ok;
  }
  if (result.ec != std::errc() || result.ptr != end) return NumberStatus::not_a_number;
  if (!std::isfinite(value)) return NumberStatus::not_finite;
  return NumberStatus::ok;
}

std::string problem(NumberStatus status) {
  switch (status) {
    case NumberStatus::ok:
      break;
    case NumberStatus::not_a_number:
      return " is not a number";
    case NumberStatus::out_of_range:
      return " is out of range";
    case NumberStatus::not_finite:
      return " is not finite";
  }
  return "";
}

template <typename Int>
bool parse_integer(std::string_view text, Int& value) {
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value);
  return result.ec == std::errc() && result.ptr == end;
}

// Channel names in any letter case ("XROTATION", "xRotation").
bool parse_channel(std::string_view text, Channel& channel) {
  const auto same = [](std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) { return fold(x) == fold(y); });
  };
  for (int i = 0; i < 6; ++i) {
    const auto candidate = static_cast<Channel>(i);
    if (same(text, channel_name(candidate))) {
      channel = candidate;
      return true;
    }
  }
  return false;
}

}  // namespace

std::string_view channel_name(Channel channel) {
  switch (channel) {
    case Channel::Xposition:
      return "Xposition";
    case Channel::Yposition:
      return "Yposition";
    case Channel::Zposition:
      return "Zposition";
    case Channel::Xrotation:
      return "Xrotation";
    case Channel::Yrotation:
      return "Yrotation";
    case Channel::Zrotation:
      return "Zrotation";
  }
  return "?";
}

struct Reader::HierarchyState {
  struct Open {
    int joint;
    std::int64_t line;  // where its name stands
  };
  std::vector<Open> open;                             // joints whose closing brace is pending
  std::unordered_map<std::string, int> folded_names;  // lower-case name -> joint index
};

std::string_view positions_name(Positions positions) {
  switch (positions) {
    case Positions::Auto:
      return "auto";
    case Positions::Absolute:
      return "absolute";
    case Positions::Relative:
      return "relative";
  }
  return "auto";
}

Reader::Reader(std::istream& in, Limits limits, Positions positions) : buf_(in.rdbuf()), limits_(limits) {
  header_.positions = positions;
  if (buf_ == nullptr) throw BvhError("input stream has no buffer");
  block_.resize(std::max<std::size_t>(limits_.block_bytes, 2 * limits_.max_token_length + 2));
  pos_ = block_.data();
  end_ = block_.data();
  g_headers_parsed.fetch_add(1, std::memory_order_relaxed);
  parse_hierarchy();
  for (const Joint& joint : header_.joints) {
    const bool positioned =
        std::any_of(joint.channels.begin(), joint.channels.end(), [](Channel c) { return c <= Channel::Zposition; });
    if (positioned && (joint.offset[0] != 0 || joint.offset[1] != 0 || joint.offset[2] != 0)) {
      header_.positions_matter = true;
    }
  }
  if (!header_.positions_matter && header_.positions == Positions::Auto) header_.positions = Positions::Relative;
  parse_motion_header();
  if (header_.frame_count == 0 && header_.positions == Positions::Auto) header_.positions = Positions::Relative;
}

void Reader::decide_positions(std::span<const double> first_frame) {
  for (const Joint& joint : header_.joints) {
    Vec3 motion{};
    bool positioned = false;
    for (std::size_t i = 0; i < joint.channels.size(); ++i) {
      const auto axis = static_cast<std::size_t>(joint.channels[i]);
      if (axis > 2) continue;
      motion[axis] = first_frame[static_cast<std::size_t>(joint.first_channel) + i];
      positioned = true;
    }
    const double offset = std::hypot(joint.offset[0], joint.offset[1], joint.offset[2]);
    if (!positioned || offset == 0) continue;
    if (std::hypot(motion[0], motion[1], motion[2]) > 0.1 * offset) {
      header_.positions = Positions::Absolute;
      return;
    }
  }
  header_.positions = Positions::Relative;
}

void Reader::fail(std::int64_t line, const std::string& message) {
  failed_ = true;
  throw BvhError(message).at_line(line);
}

// Keeps the unread input [pos_, end_), moved to the front of the block, and reads more behind it.
// False when the stream has nothing more.
bool Reader::fill() {
  if (at_eof_) return false;
  const std::size_t kept = static_cast<std::size_t>(end_ - pos_);
  if (kept > 0 && pos_ != block_.data()) std::memmove(block_.data(), pos_, kept);
  const auto room = static_cast<std::streamsize>(block_.size() - kept);
  const std::streamsize got = buf_->sgetn(block_.data() + kept, room);
  pos_ = block_.data();
  end_ = block_.data() + kept + std::max<std::streamsize>(got, 0);
  if (got <= 0) at_eof_ = true;
  return got > 0;
}

// Skips white space (newlines too when cross_lines). True when a character follows: the next
// token's first, or the newline that stopped it; false at the end of the input.
bool Reader::skip_space(bool cross_lines) {
  for (;;) {
    while (pos_ < end_) {
      const char c = *pos_;
      if (c == '\n') {
        if (!cross_lines) return true;
        ++line_;
      } else if (!is_space(c)) {
        return true;
      }
      ++pos_;
    }
    if (!fill()) return false;
  }
}

// Reads the token starting at pos_ (not white space) into token_.
void Reader::scan_token() {
  std::size_t length = 0;
  for (;;) {
    const char* limit = std::min(end_, pos_ + limits_.max_token_length + 1);
    const char* p = pos_ + length;
    while (p < limit && !is_space(*p)) ++p;
    length = static_cast<std::size_t>(p - pos_);
    if (length > limits_.max_token_length) {
      fail(line_, "token longer than " + std::to_string(limits_.max_token_length) + " characters");
    }
    if (p < end_ || !fill()) break;
  }
  token_ = std::string_view(pos_, length);
  pos_ += length;
}

// Reads the next whitespace-delimited token into token_; false at the end of the input.
bool Reader::next_token() {
  if (pushed_back_) {
    pushed_back_ = false;
    return true;
  }
  if (!skip_space(true)) return false;
  token_line_ = line_;
  scan_token();
  return true;
}

// True if only blanks remain on the current line; consumes those blanks but not the newline.
bool Reader::at_line_end() {
  if (pushed_back_) return false;
  return !skip_space(false) || *pos_ == '\n';
}

std::string_view Reader::expect_token(std::string_view expected) {
  if (!next_token()) {
    fail(token_line_ > 0 ? token_line_ : line_, "unexpected end of file, expected " + std::string(expected));
  }
  return token_;
}

void Reader::expect_keyword(std::string_view keyword, std::string_view context) {
  if (expect_token(keyword) != keyword) {
    fail(token_line_, "expected " + std::string(keyword) + " " + std::string(context) + ", found " + quoted(token_));
  }
}

double Reader::read_number(std::string_view what) {
  expect_token(what);
  double value = 0;
  const NumberStatus status = parse_double(token_, value);
  if (status != NumberStatus::ok) fail(token_line_, std::string(what) + " " + quoted(token_) + problem(status));
  return value;
}

void Reader::parse_hierarchy() {
  if (!next_token()) fail(line_, "empty file");
  if (token_ != "HIERARCHY") fail(token_line_, "expected HIERARCHY, found " + quoted(token_));
  // Some exporters declare the root with JOINT.
  if (expect_token("ROOT") != "ROOT" && token_ != "JOINT") {
    fail(token_line_, "expected ROOT after HIERARCHY, found " + quoted(token_));
  }
  HierarchyState state;
  begin_joint(state);
  while (!state.open.empty()) {
    if (!next_token()) {
      const Joint& current = header_.joints[static_cast<std::size_t>(state.open.back().joint)];
      fail(token_line_, "unexpected end of file inside joint " + quoted(current.name));
    }
    if (token_ == "JOINT") {
      begin_joint(state);
    } else if (token_ == "End") {
      parse_end_site(state);
    } else if (token_ == "}") {
      end_joint(state);
    } else {
      const Joint& current = header_.joints[static_cast<std::size_t>(state.open.back().joint)];
      fail(token_line_, "unknown keyword " + quoted(token_) + " in joint " + quoted(current.name) +
                            ", expected JOINT, End Site or }");
    }
  }
}

// A joint named "Site" may yet turn out to be an End Site, so its name is checked when it closes.
constexpr std::string_view kSiteName = "Site";

// Called with ROOT or JOINT in token_; parses up to the joint's CHANNELS and leaves it open.
void Reader::begin_joint(HierarchyState& state) {
  const std::string keyword(token_);
  if (static_cast<std::int64_t>(state.open.size()) >= limits_.max_depth) {
    fail(token_line_, "hierarchy nested deeper than " + std::to_string(limits_.max_depth) + " levels");
  }
  if (static_cast<std::int64_t>(header_.joints.size()) >= limits_.max_joints) {
    fail(token_line_, "more than " + std::to_string(limits_.max_joints) + " joints");
  }
  const std::string_view name = expect_token("a joint name after " + keyword);
  if (name == "{" || name == "}") fail(token_line_, "missing joint name after " + keyword);

  Joint joint;
  joint.name = name;
  // Names with spaces ("Bip01 L Thigh") run to the end of the line or to an opening brace.
  for (int words = 1; !at_line_end(); ++words) {
    if (!next_token()) break;
    if (token_ == "{") {
      pushed_back_ = true;
      break;
    }
    if (words >= 16) fail(token_line_, "joint name of more than 16 words after " + keyword);
    joint.name += ' ';
    joint.name += token_;
  }
  joint.parent = state.open.empty() ? -1 : state.open.back().joint;
  const int index = static_cast<int>(header_.joints.size());
  const std::int64_t name_line = token_line_;
  if (joint.name != kSiteName) {
    const auto [it, inserted] = state.folded_names.emplace(to_lower(joint.name), index);
    if (!inserted) {
      fail(token_line_, "duplicate joint name " + quoted(joint.name) + " (same as " +
                            quoted(header_.joints[static_cast<std::size_t>(it->second)].name) + " ignoring case)");
    }
  }
  expect_keyword("{", "after " + keyword + " " + quoted(joint.name));
  expect_keyword("OFFSET", "in joint " + quoted(joint.name));
  for (double& v : joint.offset) v = read_number("OFFSET value");
  // A joint without a CHANNELS line has none.
  if (next_token()) {
    if (token_ == "CHANNELS") {
      parse_channels(joint);
    } else {
      pushed_back_ = true;
    }
  }

  joint.first_channel = header_.channel_count;
  header_.channel_count += static_cast<int>(joint.channels.size());
  header_.joints.push_back(std::move(joint));
  state.open.push_back({index, name_line});
}

// Called with the closing brace of the innermost open joint in token_.
void Reader::end_joint(HierarchyState& state) {
  const HierarchyState::Open closing = state.open.back();
  state.open.pop_back();
  const auto index = static_cast<std::size_t>(closing.joint);
  Joint& joint = header_.joints[index];
  if (joint.name != kSiteName) return;
  // "JOINT Site" without channels, children or End Sites of its own is an End Site.
  if (joint.parent >= 0 && joint.channels.empty() && joint.end_sites.empty() && index + 1 == header_.joints.size()) {
    header_.joints[static_cast<std::size_t>(joint.parent)].end_sites.push_back(joint.offset);
    header_.joints.pop_back();
    return;
  }
  const auto [it, inserted] = state.folded_names.emplace(to_lower(joint.name), closing.joint);
  if (!inserted) {
    fail(closing.line, "duplicate joint name " + quoted(joint.name) + " (same as " +
                           quoted(header_.joints[static_cast<std::size_t>(it->second)].name) + " ignoring case)");
  }
}

void Reader::parse_channels(Joint& joint) {
  expect_token("a CHANNELS count");
  const std::int64_t line = token_line_;
  int count = 0;
  if (!parse_integer(token_, count)) {
    fail(line, "CHANNELS count " + quoted(token_) + " is not an integer");
  }
  if (count < 0 || count > 6) {
    fail(line, "CHANNELS count " + std::to_string(count) + " is outside 0 to 6");
  }
  const auto mismatch = [&](std::size_t given) {
    fail(line, "CHANNELS count " + std::to_string(count) + " does not match the " + std::to_string(given) +
                   " channel names given");
  };
  for (int i = 0; i < count; ++i) {
    expect_token("a channel name");
    Channel channel{};
    if (!parse_channel(token_, channel)) {
      if (token_ == "JOINT" || token_ == "End" || token_ == "}") mismatch(joint.channels.size());
      fail(token_line_, "unknown channel " + quoted(token_) + " in joint " + quoted(joint.name));
    }
    for (const Channel seen : joint.channels) {
      if (seen == channel) {
        fail(token_line_, "duplicate channel " + quoted(token_) + " in joint " + quoted(joint.name));
      }
    }
    joint.channels.push_back(channel);
  }
  // More channel names on the same line mean the count is too small.
  std::size_t extra = 0;
  while (extra <= 6 && !at_line_end()) {
    next_token();
    Channel channel{};
    if (!parse_channel(token_, channel)) {
      pushed_back_ = true;
      break;
    }
    ++extra;
  }
  if (extra > 0) mismatch(joint.channels.size() + extra);
}

// Called with "End" in token_.
void Reader::parse_end_site(HierarchyState& state) {
  Joint& owner = header_.joints[static_cast<std::size_t>(state.open.back().joint)];
  expect_keyword("Site", "after End");
  // A named End Site ("End Site Head_end"): the name is not kept.
  while (!at_line_end()) {
    if (!next_token()) break;
    if (token_ == "{") {
      pushed_back_ = true;
      break;
    }
  }
  if (static_cast<std::int64_t>(state.open.size()) >= limits_.max_depth) {
    fail(token_line_, "hierarchy nested deeper than " + std::to_string(limits_.max_depth) + " levels");
  }
  expect_keyword("{", "after End Site");
  expect_keyword("OFFSET", "in End Site");
  Vec3 offset{};
  for (double& v : offset) v = read_number("OFFSET value");
  expect_keyword("}", "closing End Site");
  owner.end_sites.push_back(offset);
}

void Reader::parse_motion_header() {
  expect_keyword("MOTION", "after the hierarchy");

  std::string_view count_text = expect_token("Frames:");
  if (count_text.substr(0, 7) != "Frames:") fail(token_line_, "expected Frames:, found " + quoted(token_));
  count_text.remove_prefix(7);
  if (count_text.empty()) count_text = expect_token("a frame count");
  std::int64_t count = 0;
  if (!parse_integer(count_text, count)) {
    // Not an int64: say whether it is negative, too large or not an integer at all.
    double number = 0;
    const bool numeric = parse_double(count_text, number) == NumberStatus::ok;
    if (numeric && number < 0) fail(token_line_, "negative frame count " + quoted(count_text));
    if (!numeric || number != std::floor(number) || number <= static_cast<double>(limits_.max_frames)) {
      fail(token_line_, "frame count " + quoted(count_text) + " is not a non-negative integer");
    }
    count = std::numeric_limits<std::int64_t>::max();
  }
  if (count < 0) fail(token_line_, "negative frame count " + quoted(count_text));
  if (count > limits_.max_frames) {
    fail(token_line_,
         "frame count " + quoted(count_text) + " exceeds the limit of " + std::to_string(limits_.max_frames));
  }
  header_.frame_count = count;

  expect_keyword("Frame", "after the frame count");
  std::string_view time_text = expect_token("Time:");
  if (time_text.substr(0, 5) != "Time:") fail(token_line_, "expected Frame Time:, found " + quoted(token_));
  time_text.remove_prefix(5);
  if (time_text.empty()) time_text = expect_token("a frame time");
  double frame_time = 0;
  const NumberStatus status = parse_double(time_text, frame_time);
  if (status != NumberStatus::ok) fail(token_line_, "Frame Time " + quoted(time_text) + problem(status));
  if (!(frame_time > 0)) fail(token_line_, "Frame Time " + quoted(time_text) + " is not positive");
  header_.frame_time = frame_time;
  header_.frame_time_text = std::string(time_text);
  if (!at_line_end()) {
    next_token();
    fail(token_line_, "unexpected " + quoted(token_) + " after the frame time");
  }

  if (header_.channel_count == 0 && count > 0) {
    fail(token_line_, std::to_string(count) + " frames declared but the hierarchy has no channels");
  }
  if (count == 0) check_end_of_data();
  bound_frames_by_size();
}

void Reader::bound_frames_by_size() {
  // Every value takes a character and a separator: the frames the remaining bytes can hold at most.
  // Streams that cannot seek keep the declared count.
  header_.frames_in_bytes = header_.frame_count;
  const auto here = buf_->pubseekoff(0, std::ios::cur, std::ios::in);
  if (here == std::streampos(std::streamoff(-1))) return;
  first_frame_offset_ = static_cast<std::int64_t>(std::streamoff(here)) - (end_ - pos_);
  first_frame_line_ = line_;
  first_frame_token_line_ = token_line_;
  if (header_.frame_count == 0 || header_.channel_count == 0) return;
  const auto end = buf_->pubseekoff(0, std::ios::end, std::ios::in);
  buf_->pubseekpos(here, std::ios::in);
  if (end == std::streampos(std::streamoff(-1))) return;
  const std::int64_t remaining = static_cast<std::int64_t>(end - here) + (end_ - pos_);
  header_.frames_in_bytes = std::min(header_.frame_count, (remaining + 1) / (std::int64_t{2} * header_.channel_count));
}

bool Reader::rewind() {
  if (first_frame_offset_ < 0) return false;
  if (buf_->pubseekpos(std::streampos(std::streamoff(first_frame_offset_)), std::ios::in) ==
      std::streampos(std::streamoff(-1))) {
    return false;
  }
  pos_ = block_.data();
  end_ = block_.data();
  at_eof_ = false;
  line_ = first_frame_line_;
  token_line_ = first_frame_token_line_;
  token_ = {};
  frames_read_ = 0;
  one_frame_short_ = false;
  pushed_back_ = false;
  failed_ = false;
  return true;
}

std::int64_t Reader::headers_parsed() noexcept { return g_headers_parsed.load(std::memory_order_relaxed); }

void Reader::check_end_of_data() {
  if (next_token()) {
    fail(token_line_, "unexpected data " + quoted(token_) +
                          " after the last frame (Frames: " + std::to_string(header_.frame_count) + ")");
  }
}

bool Reader::read_frame(std::span<double> values) {
  if (failed_) throw BvhError("reader already failed on an earlier error");
  if (values.size() != static_cast<std::size_t>(header_.channel_count)) {
    throw BvhError("read_frame needs room for " + std::to_string(header_.channel_count) + " values, got " +
                   std::to_string(values.size()));
  }
  if (frames_read_ >= header_.frame_count) return false;

  const std::int64_t frame = frames_read_ + 1;
  const auto frame_text = [frame] { return "frame " + std::to_string(frame); };
  if (!skip_space(true)) {
    if (frames_read_ > 0 && frames_read_ + 1 == header_.frame_count) {
      one_frame_short_ = true;
      frames_read_ = header_.frame_count;
      return false;
    }
    fail(token_line_,
         "file ends after frame " + std::to_string(frames_read_) + " of " + std::to_string(header_.frame_count));
  }
  const std::int64_t line = line_;
  token_line_ = line;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0 && (!skip_space(false) || *pos_ == '\n')) {
      fail(line, frame_text() + " has " + std::to_string(i) + " values, expected " + std::to_string(values.size()));
    }
    // The common case straight from the block: a finite number followed by white space. Anything
    // else is read as a token again to say what is wrong with it.
    if (static_cast<std::size_t>(end_ - pos_) <= limits_.max_token_length) fill();
    const char* window = std::min(end_, pos_ + limits_.max_token_length);
    const char* ptr = plain_decimal(pos_, window, values[i]);
    if (ptr == nullptr) {
      const auto [parsed, ec] = std::from_chars(pos_, window, values[i], std::chars_format::general);
      ptr = ec == std::errc() ? parsed : pos_;
    }
    if (ptr > pos_ && ((ptr < window && is_space(*ptr)) || (ptr == end_ && at_eof_)) && std::isfinite(values[i])) {
      pos_ = ptr;
      continue;
    }
    scan_token();
    const NumberStatus status = parse_double(token_, values[i]);
    if (status != NumberStatus::ok) {
      fail(line, frame_text() + " value " + std::to_string(i + 1) + " " + quoted(token_) + problem(status));
    }
  }
  if (!at_line_end()) {
    fail(line, frame_text() + " has more than " + std::to_string(values.size()) + " values");
  }
  frames_read_ = frame;
  if (frame == 1 && header_.positions == Positions::Auto) decide_positions(values);
  if (frames_read_ == header_.frame_count) check_end_of_data();
  return true;
}

Quat joint_rotation(const Joint& joint, std::span<const double> frame_values) {
  const auto first = static_cast<std::size_t>(joint.first_channel);
  if (joint.first_channel < 0 || first + joint.channels.size() > frame_values.size()) {
    throw BvhError("joint " + quoted(joint.name) + " needs channel values " + std::to_string(first) + " to " +
                   std::to_string(first + joint.channels.size()) + " but the frame has " +
                   std::to_string(frame_values.size()));
  }
  constexpr double kHalfDegree = std::numbers::pi / 360.0;
  Quat q{0.0, 0.0, 0.0, 1.0};
  for (std::size_t i = 0; i < joint.channels.size(); ++i) {
    const double half = frame_values[first + i] * kHalfDegree;
    // sin(+-0) = +-0 and cos(0) = 1 exactly: captures hold many zero angles.
    const double s = half == 0 ? half : std::sin(half);
    const double c = half == 0 ? 1.0 : std::cos(half);
    switch (joint.channels[i]) {
      case Channel::Xrotation:
        q = mul(q, {s, 0.0, 0.0, c});
        break;
      case Channel::Yrotation:
        q = mul(q, {0.0, s, 0.0, c});
        break;
      case Channel::Zrotation:
        q = mul(q, {0.0, 0.0, s, c});
        break;
      case Channel::Xposition:
      case Channel::Yposition:
      case Channel::Zposition:
        break;
    }
  }
  return q;
}

Vec3 joint_position(const Joint& joint, std::span<const double> frame_values, Positions positions) {
  Vec3 t = joint.offset;
  const bool absolute = positions == Positions::Absolute;
  for (std::size_t i = 0; i < joint.channels.size(); ++i) {
    const auto axis = static_cast<std::size_t>(joint.channels[i]);
    if (axis > 2) continue;
    const double value = frame_values[static_cast<std::size_t>(joint.first_channel) + i];
    t[axis] = absolute ? value : t[axis] + value;
  }
  return t;
}

std::string to_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = fold(c);
  return out;
}

std::string_view strip_namespace(std::string_view name) {
  const auto colon = name.rfind(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

}  // namespace oxr::bvh
