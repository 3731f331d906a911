#pragma once

// Strict, streaming reader for BVH motion files.

#include "Error.h"
#include "Geometry.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace oxr::bvh {

// The only exception this API throws: oxr::Error (kind File) with the 1-based line of the input it
// concerns in line() (0 when not tied to a place in the file); what() is then "line N: message".
using BvhError = oxr::Error;

enum class Channel : std::uint8_t { Xposition, Yposition, Zposition, Xrotation, Yrotation, Zrotation };

// Channel name as written in files, e.g. "Zrotation".
std::string_view channel_name(Channel channel);

struct Joint {
  std::string name;
  int parent = -1;  // index into Header::joints, -1 for the root
  Vec3 offset{};
  std::vector<Channel> channels;
  int first_channel = 0;        // index of its first value within a frame
  std::vector<Vec3> end_sites;  // offsets of its End Site children
};

// How a joint's position channels combine with its OFFSET. Absolute: the channels hold the whole
// translation (as most importers read them, and as exporters that write six channels on every joint
// mean them) and replace the OFFSET on the axes they name. Relative: the channels hold a motion
// added to the OFFSET. Auto: decided per file from its first frame (see Reader).
enum class Positions : std::uint8_t { Auto, Absolute, Relative };

// "auto", "absolute", "relative".
std::string_view positions_name(Positions positions);

struct Header {
  std::vector<Joint> joints;  // depth-first file order; a parent precedes its children
  int channel_count = 0;      // values per frame
  std::int64_t frame_count = 0;
  // At most the frames the file's remaining bytes can hold (frame_count when the stream cannot seek):
  // what to reserve memory for, whatever the header claims.
  std::int64_t frames_in_bytes = 0;
  double frame_time = 0;  // seconds
  // The frame time as the file writes it ("0.0333333"): key times take 1/n when that is what it
  // rounds from (see key_times in PoseWriter.h).
  std::string frame_time_text;
  // Never Auto once the first frame is read (or when the file has no frame: Relative then).
  Positions positions = Positions::Auto;
  // True when some joint with position channels has a non-zero OFFSET: only then do the two
  // readings differ.
  bool positions_matter = false;
};

// Bounds on what a file may make the reader hold or do.
struct Limits {
  std::size_t max_token_length = 256;
  int max_depth = 256;  // open braces, End Sites included
  int max_joints = 1024;
  std::int64_t max_frames = 100'000'000;
  // Bytes read from the stream at a time; raised to hold two tokens of the longest length.
  std::size_t block_bytes = 1 << 16;
};

// Reads the file in blocks (Limits::block_bytes); a token never spans more than max_token_length
// characters, so memory stays bounded whatever the file's size or the length of its lines.
//
// Besides the plain layout it accepts what common exporters write: the root declared with JOINT, a
// joint without CHANNELS (no channels), a joint named "Site" without channels or children (an End
// Site), leaves without an End Site, position channels on any joint, channel names in any letter
// case, any rotation order, CRLF line ends, tabs, trailing blanks and numbers with exponents.
//
// Position channels with Positions::Auto: when some joint with position channels has a non-zero
// OFFSET, the first frame decides for the whole file. The channels are a motion to add to the OFFSET
// only if every such joint's channels start near zero (within a tenth of its OFFSET's length);
// otherwise they hold the whole position. Files whose positioned joints have zero OFFSETs read the
// same either way (Relative is reported).
class Reader {
 public:
  // Parses HIERARCHY and the MOTION header; throws BvhError. The stream must outlive the reader.
  explicit Reader(std::istream& in, Limits limits = {}, Positions positions = Positions::Auto);
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  const Header& header() const noexcept { return header_; }

  // Reads the next frame into values (size must equal channel_count). Returns false once all
  // declared frames were read. Reading the last frame also checks that nothing follows it.
  // Throws BvhError on bad data; values may then be partly overwritten and the reader is spent.
  bool read_frame(std::span<double> values);

  // Goes back to the first frame (the header is kept, not parsed again); false when the stream cannot
  // seek. The reading of position channels decided on the first frame stays.
  bool rewind();

  // Headers parsed by every reader of this process: one per file read.
  static std::int64_t headers_parsed() noexcept;

  std::int64_t frames_read() const noexcept { return frames_read_; }
  // True once the file ended one frame before the count its header declares (read_frame then
  // returned false early); larger shortfalls are errors.
  bool one_frame_short() const noexcept { return one_frame_short_; }

 private:
  bool fill();
  bool skip_space(bool cross_lines);
  void scan_token();
  bool next_token();
  std::string_view expect_token(std::string_view expected);
  void expect_keyword(std::string_view keyword, std::string_view context);
  bool at_line_end();
  double read_number(std::string_view what);
  [[noreturn]] void fail(std::int64_t line, const std::string& message);

  struct HierarchyState;
  void parse_hierarchy();
  void begin_joint(HierarchyState& state);
  void end_joint(HierarchyState& state);
  void parse_channels(Joint& joint);
  void parse_end_site(HierarchyState& state);
  void parse_motion_header();
  void check_end_of_data();
  void decide_positions(std::span<const double> first_frame);
  void bound_frames_by_size();

  std::streambuf* buf_;
  Limits limits_;
  Header header_;
  std::vector<char> block_;  // unread input is [pos_, end_)
  const char* pos_ = nullptr;
  const char* end_ = nullptr;
  bool at_eof_ = false;          // the stream has no more input beyond end_
  std::string_view token_;       // the last token read; valid until the next token is read
  std::int64_t line_ = 1;        // line of the next unread character
  std::int64_t token_line_ = 0;  // line of the last token read, 0 before the first
  std::int64_t frames_read_ = 0;
  std::int64_t first_frame_offset_ = -1;  // stream position of the first frame, -1 when it cannot seek
  std::int64_t first_frame_line_ = 0;     // line_ and token_line_ there
  std::int64_t first_frame_token_line_ = 0;
  bool one_frame_short_ = false;
  bool pushed_back_ = false;  // token_ is to be returned again by next_token()
  bool failed_ = false;
};

// Local rotation of a joint from a frame's values: rotation channels compose in listed order
// (Zrotation Yrotation Xrotation gives qZ * qY * qX), angles in degrees; positions are ignored.
Quat joint_rotation(const Joint& joint, std::span<const double> frame_values);

// Local translation of a joint from a frame's values: its OFFSET with the position channels added
// (Relative) or in place of it on the axes they name (Absolute; Auto reads as Relative).
Vec3 joint_position(const Joint& joint, std::span<const double> frame_values, Positions positions);

// ASCII letters in lower case: names compare without regard to case.
std::string to_lower(std::string_view text);

// Joint name without a namespace prefix up to the last colon ("rig:Hips" -> "Hips").
std::string_view strip_namespace(std::string_view name);

}  // namespace oxr::bvh
