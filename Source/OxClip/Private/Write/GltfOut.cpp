#include "GltfOut.h"

#include "ToolError.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include <fmt/format.h>

namespace oxr::gltf {
namespace {

// 1/n written as `text` is written: as many decimals (of the mantissa, for an exponent form).
std::string written_like(double value, std::string_view text) {
  const std::size_t exponent = text.find_first_of("eE");
  const std::string_view mantissa = text.substr(0, exponent);
  const std::size_t point = mantissa.find('.');
  const std::size_t decimals = point == std::string_view::npos ? 0 : mantissa.size() - point - 1;
  if (exponent != std::string_view::npos) return fmt::format("{:.{}e}", value, decimals);
  return fmt::format("{:.{}f}", value, decimals);
}

double number(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = std::numeric_limits<double>::quiet_NaN();
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

// True when 1/n written with the text's decimals is the text's number.
bool reads_as(double n, std::string_view text) { return n >= 1 && number(written_like(1.0 / n, text)) == number(text); }

}  // namespace

KeyClock::KeyClock(double frame_time, std::string_view text) : frame_time(frame_time), written(frame_time) {
  if (!(frame_time > 0)) return;
  const double n = std::round(1.0 / frame_time);
  if (!(n >= 1) || n > 1e9) return;
  const bool exact = 1.0 / n == frame_time;
  // A text that several rates round to (0.03 is 1/33 and 1/34) keeps its own value.
  const bool rounded = !text.empty() && reads_as(n, text) && !reads_as(n - 1, text) && !reads_as(n + 1, text);
  if (exact || rounded) {
    rate = n;
    this->frame_time = 1.0 / n;
  }
}

float KeyClock::float_time(std::int64_t i) const {
  const double exact = time(i);
  const auto rounded = static_cast<float>(exact);
  return static_cast<double>(rounded) < exact ? std::nextafter(rounded, std::numeric_limits<float>::infinity())
                                              : rounded;
}

KeyTimes::KeyTimes(const KeyClock& clock, std::size_t frame_bytes, std::int64_t frames_to_reserve)
    : clock_(clock), frame_bytes_(frame_bytes) {
  reserved_ = std::min<std::size_t>(static_cast<std::size_t>(std::max<std::int64_t>(frames_to_reserve, 0)),
                                    kMaxBufferBytes / frame_bytes_);
  times_.reserve(reserved_);
}

void KeyTimes::add(std::int64_t frame) {
  if ((times_.size() + 1) * frame_bytes_ > kMaxBufferBytes) {
    throw ToolError(fmt::format("the keyframes pass glTF's 4 GiB buffer limit ({} bytes a frame)", frame_bytes_))
        .at_frame(frame);
  }
  const float time = clock_.float_time(frame);
  if (!std::isfinite(time)) {
    throw ToolError(
        fmt::format("key time {} s is beyond float range (Frame Time {})", clock_.time(frame), clock_.written))
        .at_frame(frame);
  }
  if (frame > 0 && !std::isnormal(time)) {
    throw ToolError(
        fmt::format("key time {:.6g} s is below float precision (Frame Time {})", clock_.time(frame), clock_.written))
        .at_frame(frame);
  }
  if (!times_.empty() && !(time > times_.back())) {
    throw ToolError(
        fmt::format("key time {} s does not increase in float precision (Frame Time {})", time, clock_.written))
        .at_frame(frame);
  }
  times_.push_back(time);
}

void RotationKeys::add(const Quat& rotation) {
  // A bone the clip does not move repeats its last key's floats.
  if (!valid_ || !same_bits(last_, rotation)) {
    const Quat q = normalised(rotation);
    double alignment = 0;
    for (std::size_t i = 0; i < 4; ++i) alignment += q[i] * static_cast<double>(floats_[i]);
    const double sign = valid_ && alignment < 0 ? -1.0 : 1.0;
    for (std::size_t i = 0; i < 4; ++i) floats_[i] = static_cast<float>(sign * q[i]);
    last_ = rotation;
    valid_ = true;
  }
  keys_.push_back(floats_);
}

std::uint64_t Buffer::add(const void* data, std::size_t size) {
  const std::uint64_t at = bytes_;
  const std::size_t padding = (4 - size % 4) % 4;
  pieces_.push_back({static_cast<const unsigned char*>(data), size, padding});
  bytes_ += size + padding;
  return at;
}

std::uint64_t Buffer::add_copy(const void* data, std::size_t size) {
  owned_.push_back(std::make_unique<unsigned char[]>(size));
  if (size > 0) std::memcpy(owned_.back().get(), data, size);
  return add(owned_.back().get(), size);
}

void Buffer::write(std::ostream& out) const {
  static constexpr char kZeros[4] = {};
  for (const Piece& piece : pieces_) {
    out.write(reinterpret_cast<const char*>(piece.data), static_cast<std::streamsize>(piece.size));
    out.write(kZeros, static_cast<std::streamsize>(piece.padding));
  }
}

void write_glb(std::ostream& out, std::string json, const Buffer& buffer) {
  json.append((4 - json.size() % 4) % 4, ' ');
  const std::uint64_t total = 12 + 8 + json.size() + 8 + buffer.bytes();
  if (total > kMaxBufferBytes)
    throw ToolError(fmt::format("the glb would take {} bytes, past the format's 4 GiB", total));
  const auto word = [&](std::uint64_t value) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    out.write(reinterpret_cast<const char*>(bytes), 4);
  };
  word(0x46546C67u);  // "glTF"
  word(2);
  word(total);
  word(json.size());
  word(0x4E4F534Au);  // "JSON"
  out << json;
  word(buffer.bytes());
  word(0x004E4942u);  // "BIN"
  buffer.write(out);
}

}  // namespace oxr::gltf
