#pragma once

// The binary FBX container (version 7.4: 32-bit record offsets): a tree of named records, each with
// typed properties, written depth first with the end offset of every record in front of it. Sizes
// are computed before writing, so a tree streams to any output without seeking back.

#include "Geometry.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace oxr::fbx {

// Angles in degrees (x, y, z) of R = Rz(z) Ry(y) Rx(x), FBX's default rotation order (XYZ: x is
// applied first). At y = +-90 degrees the x and z turns share an axis; all of it goes into z.
Vec3 euler_xyz_degrees(const Quat& q);

// FBX time: 46,186,158,000 ticks a second.
inline constexpr std::int64_t kTicksPerSecond = 46'186'158'000;

struct Property {
  char type = 'I';           // Y C I F D L scalars, S R bytes, i l f d b arrays
  std::uint64_t scalar = 0;  // the scalar's bytes, little end first
  std::string bytes;         // S and R
  // Arrays: `count` elements of `element` bytes at `data` (borrowed: it must outlive the write).
  const void* data = nullptr;
  std::uint64_t count = 0;
  std::uint32_t element = 0;

  std::uint64_t size() const;  // bytes in the file, type code included
};

Property int32(std::int32_t value);
Property int64(std::int64_t value);
Property float64(double value);
Property boolean(bool value);
Property text(std::string_view value);
Property raw(std::string_view value);
// An array property over values that outlive the write.
Property array(std::span<const std::int32_t> values);
Property array(std::span<const std::int64_t> values);
Property array(std::span<const float> values);
Property array(std::span<const double> values);

struct Node {
  std::string name;
  std::vector<Property> properties;
  std::vector<Node> children;

  // Adds a child record and returns it (references to earlier children stay valid only until the
  // next add: callers finish one child before starting the next).
  Node& add(std::string_view child_name, std::vector<Property> child_properties = {});
  // A "P" entry of a Properties70 record: name, type, label, flags, then its values.
  Node& p(std::string_view property, std::string_view type, std::string_view label, std::string_view flags,
          std::vector<Property> values);

  std::uint64_t size() const;  // bytes of the record, children and end marker included
};

// The object name as binary FBX stores it: "name\0\1Class".
std::string object_name(std::string_view name, std::string_view object_class);

// Writes the file: header, the top-level records, the end marker and the footer. Returns false
// when the file would pass the 4 GiB the 32-bit offsets reach.
bool write_file(std::ostream& out, const std::vector<Node>& top, std::uint32_t version);

}  // namespace oxr::fbx
