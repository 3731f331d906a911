#include "FbxBinary.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <numbers>

namespace oxr::fbx {
namespace {

static_assert(std::endian::native == std::endian::little, "the FBX writer writes the machine's bytes as they lie");

constexpr std::uint64_t kRecordHeader = 4 + 4 + 4 + 1;  // end offset, property count, property bytes, name length
constexpr std::uint64_t kEndMarker = kRecordHeader;     // a record of zeros
constexpr std::uint64_t kFileHeader = 27;               // magic, version

template <typename T>
std::uint64_t bits_of(T value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof value);
  return bits;
}

Property scalar(char type, std::uint64_t bits) {
  Property property;
  property.type = type;
  property.scalar = bits;
  return property;
}

template <typename T>
Property array_of(char type, std::span<const T> values) {
  Property property;
  property.type = type;
  property.data = values.data();
  property.count = values.size();
  property.element = sizeof(T);
  return property;
}

class Output {
 public:
  explicit Output(std::ostream& out) : out_(out) {}
  void bytes(const void* data, std::uint64_t size) {
    out_.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    offset_ += size;
  }
  void u32(std::uint32_t value) { bytes(&value, 4); }
  void u8(std::uint8_t value) { bytes(&value, 1); }
  void zeros(std::uint64_t count) {
    static constexpr char kZeros[128] = {};
    while (count > 0) {
      const std::uint64_t n = std::min<std::uint64_t>(count, sizeof kZeros);
      bytes(kZeros, n);
      count -= n;
    }
  }
  std::uint64_t offset() const { return offset_; }

 private:
  std::ostream& out_;
  std::uint64_t offset_ = 0;
};

std::uint64_t scalar_size(char type) {
  switch (type) {
    case 'C':
      return 1;
    case 'Y':
      return 2;
    case 'I':
    case 'F':
      return 4;
    default:
      return 8;
  }
}

bool needs_end_marker(const Node& node) { return !node.children.empty() || node.properties.empty(); }

void write_property(Output& out, const Property& property) {
  out.u8(static_cast<std::uint8_t>(property.type));
  switch (property.type) {
    case 'S':
    case 'R':
      out.u32(static_cast<std::uint32_t>(property.bytes.size()));
      out.bytes(property.bytes.data(), property.bytes.size());
      return;
    case 'i':
    case 'l':
    case 'f':
    case 'd':
    case 'b':
      out.u32(static_cast<std::uint32_t>(property.count));
      out.u32(0);  // not compressed
      out.u32(static_cast<std::uint32_t>(property.count * property.element));
      out.bytes(property.data, property.count * property.element);
      return;
    default:
      out.bytes(&property.scalar, scalar_size(property.type));
  }
}

void write_node(Output& out, const Node& node) {
  std::uint64_t property_bytes = 0;
  for (const Property& property : node.properties) property_bytes += property.size();
  out.u32(static_cast<std::uint32_t>(out.offset() + node.size()));
  out.u32(static_cast<std::uint32_t>(node.properties.size()));
  out.u32(static_cast<std::uint32_t>(property_bytes));
  out.u8(static_cast<std::uint8_t>(node.name.size()));
  out.bytes(node.name.data(), node.name.size());
  for (const Property& property : node.properties) write_property(out, property);
  for (const Node& child : node.children) write_node(out, child);
  if (needs_end_marker(node)) out.zeros(kEndMarker);
}

// atan(k / 32), k = 0 to 32, rounded to nearest.
constexpr double kAtan[33] = {0.0,
                              0.031239833430268277,
                              0.06241880999595735,
                              0.09347678115858947,
                              0.12435499454676144,
                              0.15499674192394097,
                              0.18534794999569476,
                              0.21535769969773805,
                              0.24497866312686414,
                              0.2741674511196588,
                              0.3028848683749714,
                              0.3310960767041321,
                              0.35877067027057225,
                              0.38588266939807375,
                              0.4124104415973873,
                              0.43833655985795783,
                              0.4636476090008061,
                              0.48833395105640554,
                              0.5123894603107377,
                              0.5358112379604637,
                              0.5585993153435624,
                              0.5807563535676704,
                              0.6022873461349642,
                              0.6231993299340659,
                              0.6435011087932844,
                              0.6632029927060933,
                              0.6823165548747481,
                              0.7008544078844502,
                              0.7188299996216245,
                              0.7362574289814281,
                              0.7531512809621944,
                              0.7695264804056583,
                              0.7853981633974483

};

// Per 32nd c = k/32, the series of atan about it: atan(c + h) = a0 + a1 h + ... + a8 h^8, the terms
// from 1 / (1 + (c + h)^2) = b0 + b1 h + ... (b0 = 1 / (1 + c^2), b1 = -2 c b0^2,
// b[m] = -(2 c b[m-1] + b[m-2]) b0), a[n] = b[n-1] / n. Within |h| <= 1/64 the rest is below 1e-19.
struct AtanSeries {
  std::array<double, 9> a{};
};
constexpr std::array<AtanSeries, 33> atan_series() {
  std::array<AtanSeries, 33> series{};
  for (std::size_t k = 0; k < series.size(); ++k) {
    const double c = static_cast<double>(k) / 32, d = 1 + c * c;
    std::array<double, 8> b{};
    b[0] = 1 / d;
    b[1] = -2 * c * b[0] / d;
    for (std::size_t m = 2; m < b.size(); ++m) b[m] = -(2 * c * b[m - 1] + b[m - 2]) / d;
    series[k].a[0] = kAtan[k];
    for (std::size_t n = 1; n <= b.size(); ++n) series[k].a[n] = b[n - 1] / static_cast<double>(n);
  }
  return series;
}
constexpr std::array<AtanSeries, 33> kAtanSeries = atan_series();

// The angle of (x, y), as std::atan2 gives it to within two units in the last place, at about half
// its cost (three of them for every bone and frame an FBX file stores). The smaller magnitude over
// the larger, t in [0, 1], is split into its nearest 32nd c and the rest h = t - c (|h| <= 1/64, both
// exact), atan(t) the series about c; then the octant's turns. Near zero over zero (and a NaN) goes
// to std::atan2, with its signed zeros.
inline double turn_angle(double y, double x) {
  const double ax = std::abs(x), ay = std::abs(y);
  const double num = std::min(ax, ay), den = std::max(ax, ay);
  if (!(den > 0)) return std::atan2(y, x);
  const double t = num / den;
  constexpr double kRound = 0x1.8p52;  // adding and taking it away rounds to a whole number
  const double k = (t * 32 + kRound) - kRound;
  const double h = t - k * (1.0 / 32);
  const std::array<double, 9>& a = kAtanSeries[static_cast<std::size_t>(k)].a;
  const double h2 = h * h, h4 = h2 * h2;
  const double rest = (a[1] + a[2] * h) + h2 * (a[3] + a[4] * h) + h4 * ((a[5] + a[6] * h) + h2 * (a[7] + a[8] * h));
  const double first = a[0] + h * rest;  // within [0, pi/4]
  // The octant's turns in arithmetic, not branches (an angle near 45 or 135 degrees crosses over
  // from one frame to the next): steep and back are 0 or 1, each term exact.
  const auto steep = static_cast<double>(ay > ax), back = static_cast<double>(x < 0);
  const double second = steep * (std::numbers::pi / 2) + (1 - 2 * steep) * first;
  return std::copysign(back * std::numbers::pi + (1 - 2 * back) * second, y);
}

}  // namespace

Vec3 euler_xyz_degrees(const Quat& q) {
  const double x = q[0], y = q[1], z = q[2], w = q[3];
  const double m00 = 1 - 2 * (y * y + z * z), m01 = 2 * (x * y - z * w);
  const double m10 = 2 * (x * y + z * w), m11 = 1 - 2 * (x * x + z * z);
  const double m20 = 2 * (x * z - y * w), m21 = 2 * (y * z + x * w), m22 = 1 - 2 * (x * x + y * y);
  constexpr double kDegrees = 180.0 / std::numbers::pi;
  const double cos_y = std::sqrt(m00 * m00 + m10 * m10);  // both within [-1, 1]: no overflow to guard
  const double angle_y = turn_angle(-m20, cos_y);
  if (cos_y > 1e-12) return {turn_angle(m21, m22) * kDegrees, angle_y * kDegrees, turn_angle(m10, m00) * kDegrees};
  return {0.0, angle_y * kDegrees, turn_angle(-m01, m11) * kDegrees};
}

std::uint64_t Property::size() const {
  switch (type) {
    case 'S':
    case 'R':
      return 1 + 4 + bytes.size();
    case 'i':
    case 'l':
    case 'f':
    case 'd':
    case 'b':
      return 1 + 12 + count * element;
    default:
      return 1 + scalar_size(type);
  }
}

Property int32(std::int32_t value) { return scalar('I', bits_of(value)); }
Property int64(std::int64_t value) { return scalar('L', bits_of(value)); }
Property float64(double value) { return scalar('D', bits_of(value)); }
Property boolean(bool value) { return scalar('C', value ? 1 : 0); }

Property text(std::string_view value) {
  Property property;
  property.type = 'S';
  property.bytes = value;
  return property;
}

Property raw(std::string_view value) {
  Property property = text(value);
  property.type = 'R';
  return property;
}

Property array(std::span<const std::int32_t> values) { return array_of('i', values); }
Property array(std::span<const std::int64_t> values) { return array_of('l', values); }
Property array(std::span<const float> values) { return array_of('f', values); }
Property array(std::span<const double> values) { return array_of('d', values); }

Node& Node::add(std::string_view child_name, std::vector<Property> child_properties) {
  Node& child = children.emplace_back();
  child.name = child_name;
  child.properties = std::move(child_properties);
  return child;
}

Node& Node::p(std::string_view property, std::string_view type, std::string_view label, std::string_view flags,
              std::vector<Property> values) {
  std::vector<Property> all{text(property), text(type), text(label), text(flags)};
  for (Property& value : values) all.push_back(std::move(value));
  return add("P", std::move(all));
}

std::uint64_t Node::size() const {
  std::uint64_t total = kRecordHeader + name.size();
  for (const Property& property : properties) total += property.size();
  for (const Node& child : children) total += child.size();
  return total + (needs_end_marker(*this) ? kEndMarker : 0);
}

std::string object_name(std::string_view name, std::string_view object_class) {
  std::string joined(name);
  joined += '\0';
  joined += '\1';
  joined += object_class;
  return joined;
}

bool write_file(std::ostream& stream, const std::vector<Node>& top, std::uint32_t version) {
  std::uint64_t total = kFileHeader + kEndMarker;
  for (const Node& node : top) total += node.size();
  if (total > 0xFFFFFFFFull) return false;
  Output out(stream);
  static constexpr char kMagic[] = "Kaydara FBX Binary  ";
  out.bytes(kMagic, sizeof kMagic);  // with its terminating zero
  out.u8(0x1A);
  out.u8(0x00);
  out.u32(version);
  for (const Node& node : top) write_node(out, node);
  out.zeros(kEndMarker);
  // The footer readers of the format's own SDK look for: an id, zeros to a 16-byte boundary, the
  // version, 120 zeros and a fixed closing sequence.
  static constexpr unsigned char kFooterId[16] = {0xfa, 0xbc, 0xab, 0x09, 0xd0, 0xc8, 0xd4, 0x66,
                                                  0xb1, 0x76, 0xfb, 0x83, 0x1c, 0xf7, 0x26, 0x7e};
  static constexpr unsigned char kClosing[16] = {0xf8, 0x5a, 0x8c, 0x6a, 0xde, 0xf5, 0xd9, 0x7e,
                                                 0xec, 0xe9, 0x0c, 0xe3, 0x75, 0x8f, 0x29, 0x0b};
  out.bytes(kFooterId, sizeof kFooterId);
  out.zeros(4);
  const std::uint64_t padding = 16 - out.offset() % 16;
  out.zeros(padding);
  out.u32(version);
  out.zeros(120);
  out.bytes(kClosing, sizeof kClosing);
  return static_cast<bool>(stream);
}

}  // namespace oxr::fbx
