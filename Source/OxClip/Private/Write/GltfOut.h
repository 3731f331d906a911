#pragma once

// What the two glTF outputs (the mannequin's file and a character with the clip added) share: the
// key clock, key times with their checks, rotation keys as floats, and the container (glb chunks, or
// a .gltf with its .bin).

#include "AtomicFile.h"
#include "Geometry.h"

#include <array>
#include <cstdint>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace oxr::gltf {

// Key times. A frame time is 1/n for a whole n when 1/n, written with the file's own number of
// decimals, reads back as the file's text (0.016667 is 1/60, 0.0333333 is 1/30, 0.00833333 is 1/120)
// and no neighbouring rate does; or when it is 1/n in double precision. Key i then sits at i/n
// exactly; else at i times the frame time as written.
struct KeyClock {
  KeyClock(double frame_time, std::string_view text);
  // Seconds of key i.
  double time(std::int64_t i) const {
    return rate > 0 ? static_cast<double>(i) / rate : static_cast<double>(i) * frame_time;
  }
  // Key i's time as a float, never short of it: readers that turn times into frames (time * rate)
  // and round down then land on frame i, not on frame i - 1.
  float float_time(std::int64_t i) const;

  double frame_time;
  double rate = 0;  // frames per second when whole, else 0
  double written;   // the frame time as the file gives it
};

// The key times of an animation, checked as float32 readers see them: finite, increasing, and the
// keyframes within the format's 4 GiB buffer.
class KeyTimes {
 public:
  // frame_bytes: the buffer bytes each frame adds (its time included).
  KeyTimes(const KeyClock& clock, std::size_t frame_bytes, std::int64_t frames_to_reserve);
  // Adds frame `frame`'s key; throws ToolError naming the frame when it cannot be stored.
  void add(std::int64_t frame);
  const std::vector<float>& times() const { return times_; }
  // Frames the buffer has room for (what tracks reserve).
  std::size_t reserved() const { return reserved_; }

 private:
  KeyClock clock_;
  std::size_t frame_bytes_;
  std::size_t reserved_;
  std::vector<float> times_;
};

using Float4 = std::array<float, 4>;

// One bone's rotation keys as floats: normalised, each in the previous key's hemisphere (q and -q are
// the same rotation; readers blending components never pass through zero between two keys).
class RotationKeys {
 public:
  void reserve(std::size_t frames) { keys_.reserve(frames); }
  void add(const Quat& rotation);
  std::span<const float> floats() const { return {keys_.data()->data(), keys_.size() * 4}; }
  std::size_t size() const { return keys_.size(); }

 private:
  Quat last_{};  // the rotation of the last key, to repeat its floats when it does not move
  bool valid_ = false;
  Float4 floats_{};
  std::vector<Float4> keys_;
};

// glb lengths are 32-bit.
inline constexpr std::uint64_t kMaxBufferBytes = 0xFFFFFFFFull;

// The binary buffer: pieces written from where they lie, each padded to 4 bytes.
class Buffer {
 public:
  // Adds a piece (borrowed: it must live until written); returns its offset.
  std::uint64_t add(const void* data, std::size_t size);
  // Adds a copy of the bytes.
  std::uint64_t add_copy(const void* data, std::size_t size);
  std::uint64_t bytes() const { return bytes_; }
  void write(std::ostream& out) const;

 private:
  struct Piece {
    const unsigned char* data;
    std::size_t size;
    std::size_t padding;  // zero bytes after it, to the next multiple of 4
  };
  std::vector<Piece> pieces_;
  std::vector<std::unique_ptr<unsigned char[]>> owned_;
  std::uint64_t bytes_ = 0;
};

// Writes a glb: the JSON chunk (padded with spaces) and the buffer as the binary chunk. Throws
// ToolError past 4 GiB.
void write_glb(std::ostream& out, std::string json, const Buffer& buffer);

}  // namespace oxr::gltf
