#include "PoseWriter.h"

#include "AtomicFile.h"
#include "BodyMesh.h"
#include "EulerKeys.h"
#include "FbxWriter.h"
#include "GltfOut.h"
#include "ToolError.h"
#include "Version.h"
#include "VrmaWriter.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <limits>
#include <numbers>
#include <sstream>
#include <type_traits>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace oxr {
namespace {

// The body mesh's node, mesh and material in glb/gltf results.

bool finite(const Quat& q) {
  return std::isfinite(q[0]) && std::isfinite(q[1]) && std::isfinite(q[2]) && std::isfinite(q[3]);
}
bool finite(const Vec3& v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

void check_finite(std::int64_t frame, const FramePose& pose) {
  for (const Quat& q : pose.rotations) {
    if (!finite(q)) throw UsageError("the solved pose is not finite").at_frame(frame);
  }
  for (const Vec3& v : pose.translations) {
    if (!finite(v)) throw UsageError("the solved pose is not finite").at_frame(frame);
  }
}

// Shortest text that reads back as the same double.
template <typename Buffer>
void append_number(Buffer& buffer, double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof(text), value);
  buffer.append(text, result.ptr);
}

template <typename Buffer>
void append_quat(Buffer& buffer, const Quat& q) {
  buffer.push_back('[');
  for (int i = 0; i < 4; ++i) {
    if (i != 0) buffer.append(std::string_view(", "));
    append_number(buffer, q[static_cast<std::size_t>(i)]);
  }
  buffer.push_back(']');
}

void append_vec(fmt::memory_buffer& buffer, const Vec3& v) {
  buffer.push_back('[');
  for (int i = 0; i < 3; ++i) {
    if (i != 0) buffer.append(std::string_view(", "));
    append_number(buffer, v[static_cast<std::size_t>(i)]);
  }
  buffer.push_back(']');
}

// A JSON string of the text; bytes that are not UTF-8 (a file name's, say) become U+FFFD.
std::string quoted(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The text as valid UTF-8, with U+FFFD for every byte that is not.
std::string valid_utf8(const std::string& text) { return nlohmann::json::parse(quoted(text)).get<std::string>(); }

void write_buffer(std::ostream& out, const fmt::memory_buffer& buffer) {
  out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
}

// Text gathers in memory and goes to the file in pieces of about this size; the buffer is reserved
// with room for one more frame, so it never grows while frames are written.
constexpr std::size_t kFlushBytes = 1 << 20;
constexpr std::size_t kBufferBytes = kFlushBytes + (1 << 16);

void flush_if_full(std::ostream& out, fmt::memory_buffer& buffer) {
  if (buffer.size() < kFlushBytes) return;
  write_buffer(out, buffer);
  buffer.clear();
}

// The text of N numbers as last formatted, reused while the numbers keep their exact bits: bones a
// clip does not move and rest offsets repeat frame after frame. Formatting is what text output
// costs; a copy is far cheaper.
template <std::size_t N>
class CachedText {
 public:
  template <typename Format>
  void append(fmt::memory_buffer& out, const std::array<double, N>& values, Format format) {
    if (!valid_ || !same_bits(values, key_)) {
      text_.clear();
      format(text_, values);
      key_ = values;
      valid_ = true;
    }
    out.append(text_.data(), text_.data() + text_.size());
  }

 private:
  std::array<double, N> key_{};
  bool valid_ = false;
  fmt::basic_memory_buffer<char, N * 32 + 8> text_;  // held inline: formatting never allocates
};

// ",a,b,c..."
constexpr auto append_fields = [](auto& text, const auto& values) {
  for (const double value : values) {
    text.push_back(',');
    append_number(text, value);
  }
};

template <std::size_t A, std::size_t B>
std::array<double, A + B> joined(const std::array<double, A>& a, const std::array<double, B>& b) {
  std::array<double, A + B> out{};
  std::copy(a.begin(), a.end(), out.begin());
  std::copy(b.begin(), b.end(), out.begin() + A);
  return out;
}

// The order JSON and CSV list bones in: the meta bones in pairing order (as results always were),
// then the other target bones in build order.
std::vector<int> listing_order(const ClipInfo& info) {
  std::vector<int> order;
  std::vector<bool> listed(info.skeleton.names.size(), false);
  for (const std::string& bone : info.bones) {
    const int index = info.skeleton.index_of(bone);
    if (index < 0 || listed[static_cast<std::size_t>(index)]) continue;
    listed[static_cast<std::size_t>(index)] = true;
    order.push_back(index);
  }
  for (std::size_t j = 0; j < listed.size(); ++j) {
    if (!listed[j]) order.push_back(static_cast<int>(j));
  }
  return order;
}

std::string parent_name(const TargetSkeleton& skeleton, int bone) {
  const int parent = skeleton.parents[static_cast<std::size_t>(bone)];
  return parent < 0 ? std::string("None") : skeleton.names[static_cast<std::size_t>(parent)];
}

class JsonWriter final : public PoseWriter {
 public:
  JsonWriter(const std::filesystem::path& destination, const ClipInfo& info)
      : file_(destination), order_(listing_order(info)), translated_(info.translated) {
    fmt::memory_buffer head;
    auto it = std::back_inserter(head);
    fmt::format_to(it, "{{\n  \"format\": \"oxretarget-poses\",\n  \"version\": 2,\n");
    fmt::format_to(it, "  \"source\": {},\n", quoted(info.source));
    fmt::format_to(it, "  \"frame_time\": {:.17g},\n  \"frame_count\": {},\n", info.frame_time, info.frame_count);
    fmt::format_to(it, "  \"fingers_t_pose\": {},\n  \"axes\": {},\n", info.fingers_t_pose, quoted(info.axes));
    fmt::format_to(it, "  \"units\": {},\n  \"root_motion\": {},\n  \"source_rest\": {},\n  \"bones\": [",
                   quoted(units_name(info.units)), quoted(root_motion_name(info.root_motion)),
                   quoted(info.source_rest));
    const TargetSkeleton& skeleton = info.skeleton;
    for (std::size_t i = 0; i < order_.size(); ++i) {
      const auto bone = static_cast<std::size_t>(order_[i]);
      fmt::format_to(it, "{}\n    {{\"name\": {}, \"parent\": {}, \"t_pose\": ", i == 0 ? "" : ",",
                     quoted(skeleton.names[bone]), quoted(parent_name(skeleton, order_[i])));
      append_quat(head, to_library_axes(skeleton.rest[bone]));
      fmt::format_to(it, ", \"offset\": ");
      append_vec(head, vector_to_library_axes(skeleton.offsets[bone]));
      fmt::format_to(it, "}}");
    }
    fmt::format_to(it, "\n  ],\n  \"translated\": [");
    for (std::size_t i = 0; i < translated_.size(); ++i) {
      fmt::format_to(it, "{}{}", i == 0 ? "" : ", ", quoted(skeleton.names[static_cast<std::size_t>(translated_[i])]));
    }
    fmt::format_to(it, "],\n  \"frames\": [");
    write_buffer(file_.stream(), head);
    buffer_.reserve(kBufferBytes);
    translations_.reserve(
        std::min<std::size_t>(static_cast<std::size_t>(std::max<std::int64_t>(info.frames_to_reserve, 0)), 1u << 20) *
        translated_.size());
  }

  void write_frame(std::int64_t frame, const FramePose& pose) override {
    check_finite(frame, pose);
    buffer_.append(std::string_view(frame == 0 ? "\n    [" : ",\n    ["));
    for (std::size_t i = 0; i < order_.size(); ++i) {
      if (i != 0) buffer_.append(std::string_view(", "));
      const auto bone = static_cast<std::size_t>(order_[i]);
      text_[i].append(buffer_, to_library_axes(pose.rotations[bone]),
                      [](auto& text, const Quat& q) { append_quat(text, q); });
    }
    buffer_.push_back(']');
    flush_if_full(file_.stream(), buffer_);
    for (const int bone : translated_) {
      translations_.push_back(vector_to_library_axes(pose.translations[static_cast<std::size_t>(bone)]));
    }
  }

  void finish() override {
    buffer_.append(std::string_view("\n  ],\n  \"translations\": ["));
    const std::size_t per_frame = translated_.size();
    for (std::size_t f = 0; per_frame != 0 && f < translations_.size() / per_frame; ++f) {
      buffer_.append(std::string_view(f == 0 ? "\n    [" : ",\n    ["));
      for (std::size_t k = 0; k < per_frame; ++k) {
        if (k != 0) buffer_.append(std::string_view(", "));
        append_vec(buffer_, translations_[f * per_frame + k]);
      }
      buffer_.push_back(']');
      flush_if_full(file_.stream(), buffer_);
    }
    buffer_.append(std::string_view("\n  ]\n}\n"));
    write_buffer(file_.stream(), buffer_);
    file_.commit();
  }

 private:
  AtomicFile file_;
  std::vector<int> order_;
  std::vector<int> translated_;
  std::vector<Vec3> translations_;
  std::vector<CachedText<4>> text_ = std::vector<CachedText<4>>(order_.size());  // per listed bone
  fmt::memory_buffer buffer_;
};

class CsvWriter final : public PoseWriter {
 public:
  CsvWriter(const std::filesystem::path& destination, const ClipInfo& info)
      : file_(destination), order_(listing_order(info)) {
    for (const int bone : order_) names_.push_back(info.skeleton.names[static_cast<std::size_t>(bone)]);
    file_.stream() << "frame,bone,qx,qy,qz,qw,tx,ty,tz\n";
    buffer_.reserve(kBufferBytes);
  }

  void write_frame(std::int64_t frame, const FramePose& pose) override {
    check_finite(frame, pose);
    char prefix[24];
    const auto end = std::to_chars(prefix, prefix + sizeof(prefix), frame).ptr;
    for (std::size_t i = 0; i < order_.size(); ++i) {
      const auto bone = static_cast<std::size_t>(order_[i]);
      buffer_.append(prefix, end);
      buffer_.push_back(',');
      buffer_.append(names_[i]);
      // ",qx,qy,qz,qw" and ",tx,ty,tz\n", each kept apart: most translations never change.
      rotation_text_[i].append(buffer_, to_library_axes(pose.rotations[bone]), append_fields);
      translation_text_[i].append(buffer_, vector_to_library_axes(pose.translations[bone]), append_fields);
      buffer_.push_back('\n');
    }
    flush_if_full(file_.stream(), buffer_);
  }

  void finish() override {
    write_buffer(file_.stream(), buffer_);
    file_.commit();
  }

 private:
  AtomicFile file_;
  std::vector<int> order_;
  std::vector<std::string> names_;
  // Per listed bone.
  std::vector<CachedText<4>> rotation_text_ = std::vector<CachedText<4>>(order_.size());
  std::vector<CachedText<3>> translation_text_ = std::vector<CachedText<3>>(order_.size());
  fmt::memory_buffer buffer_;
};

// Angles in degrees of R = Rz(z) Rx(x) Ry(y), the order the BVH writer lists its channels in.
Vec3 euler_zxy_degrees(const Quat& q) {
  const double x = q[0], y = q[1], z = q[2], w = q[3];
  // Rotation matrix entries of the unit quaternion (row, column).
  const double m00 = 1 - 2 * (y * y + z * z), m01 = 2 * (x * y - z * w);
  const double m10 = 2 * (x * y + z * w), m11 = 1 - 2 * (x * x + z * z);
  const double m20 = 2 * (x * z - y * w), m21 = 2 * (y * z + x * w), m22 = 1 - 2 * (x * x + y * y);
  constexpr double kDegrees = 180.0 / std::numbers::pi;
  const double cos_x = std::hypot(m01, m11);
  const double angle_x = std::atan2(m21, cos_x);
  double angle_z = 0;
  double angle_y = 0;
  if (cos_x > 1e-12) {
    angle_z = std::atan2(-m01, m11);
    angle_y = std::atan2(-m20, m22);
  } else {
    // Gimbal lock: the Z and Y turns share one axis; put it all into Z.
    angle_z = std::atan2(m10, m00);
  }
  return {angle_z * kDegrees, angle_x * kDegrees, angle_y * kDegrees};
}

// BVH has no rest rotations: a file's zero pose is its rest pose. So the offsets are the rest
// pose's joint-to-joint vectors in the scene's axes, and each rotation channel holds the bone's
// turn away from its rest: L' = Wrest(parent) * L * conj(Wrest(bone)), which composes to the same
// joint positions as the local rotations L with the rest included.
class BvhWriter final : public PoseWriter {
 public:
  BvhWriter(const std::filesystem::path& destination, const ClipInfo& info)
      : file_(destination), skeleton_(info.skeleton) {
    const std::size_t n = skeleton_.names.size();
    positioned_.assign(n, false);
    positioned_[static_cast<std::size_t>(skeleton_.root)] = true;
    for (const int bone : info.translated) positioned_[static_cast<std::size_t>(bone)] = true;
    children_.resize(n);
    offsets_.resize(n);
    parent_rest_.assign(n, kIdentity);
    for (std::size_t j = 0; j < n; ++j) {
      const int parent = skeleton_.parents[j];
      if (parent < 0) {
        offsets_[j] = skeleton_.rest_world[j];
        continue;
      }
      const auto p = static_cast<std::size_t>(parent);
      children_[p].push_back(static_cast<int>(j));
      parent_rest_[j] = skeleton_.rest_world_rotation[p];
      offsets_[j] = sub(skeleton_.rest_world[j], skeleton_.rest_world[p]);
    }
    list_depth_first(skeleton_.root);
    text_.resize(written_.size());
    buffer_.reserve(kBufferBytes);
    fmt::memory_buffer head;
    fmt::format_to(std::back_inserter(head), "HIERARCHY\n");
    write_joint(head, skeleton_.root, 0);
    fmt::format_to(std::back_inserter(head), "MOTION\nFrames: {}\nFrame Time: ", info.frame_count);
    append_number(head, gltf::KeyClock(info.frame_time, info.frame_time_text).frame_time);
    head.push_back('\n');
    write_buffer(file_.stream(), head);
    angles_.assign(written_.size(), Vec3{0, 0, 0});
    started_.assign(written_.size(), false);
  }

  void write_frame(std::int64_t frame, const FramePose& pose) override {
    check_finite(frame, pose);
    for (std::size_t k = 0; k < written_.size(); ++k) {
      const auto j = static_cast<std::size_t>(written_[k]);
      text_[k].append(buffer_, joined(pose.rotations[j], pose.translations[j]),
                      [&](auto& text, const std::array<double, 7>&) { append_values(text, pose, j, k); });
    }
    buffer_.data()[buffer_.size() - 1] = '\n';
    flush_if_full(file_.stream(), buffer_);
  }

  void finish() override {
    write_buffer(file_.stream(), buffer_);
    file_.commit();
  }

 private:
  void write_joint(fmt::memory_buffer& out, int bone, int depth) {
    const auto j = static_cast<std::size_t>(bone);
    const std::string indent(static_cast<std::size_t>(depth), '\t');
    auto it = std::back_inserter(out);
    fmt::format_to(it, "{}{} {}\n{}{{\n{}\tOFFSET", indent, depth == 0 ? "ROOT" : "JOINT", skeleton_.names[j], indent,
                   indent);
    // A joint with position channels gets its whole position there: readers that add OFFSET and
    // channels and readers that take the channels alone then see the same figure.
    for (const double value : positioned_[j] ? Vec3{0, 0, 0} : offsets_[j]) fmt::format_to(it, " {:.12g}", value);
    fmt::format_to(it, "\n{}\tCHANNELS {}\n", indent,
                   positioned_[j] ? "6 Xposition Yposition Zposition Zrotation Xrotation Yrotation"
                                  : "3 Zrotation Xrotation Yrotation");
    for (const int child : children_[j]) write_joint(out, child, depth + 1);
    if (children_[j].empty()) {
      fmt::format_to(it, "{}\tEnd Site\n{}\t{{\n{}\t\tOFFSET", indent, indent, indent);
      for (const double value : rotate(skeleton_.rest_world_rotation[j], skeleton_.end_sites[j])) {
        fmt::format_to(it, " {:.12g}", value);
      }
      fmt::format_to(it, "\n{}\t}}\n", indent);
    }
    fmt::format_to(it, "{}}}\n", indent);
  }

  template <typename Buffer>
  static void append_value(Buffer& text, double value) {
    char digits[32];
    const auto result = std::to_chars(digits, digits + sizeof(digits), value, std::chars_format::general, 12);
    text.append(digits, result.ptr);
    text.push_back(' ');
  }

  // Bone j's channel values (written as the k-th joint), each followed by a blank. The angles are
  // the ones nearest the bone's last written angles.
  template <typename Buffer>
  void append_values(Buffer& text, const FramePose& pose, std::size_t j, std::size_t k) {
    if (positioned_[j]) {
      for (const double value : rotate(parent_rest_[j], pose.translations[j])) append_value(text, value);
    }
    const Quat turn = mul(mul(parent_rest_[j], pose.rotations[j]), conj(skeleton_.rest_world_rotation[j]));
    const Vec3 angles = euler_zxy_degrees(normalised(turn));
    angles_[k] = started_[k] ? nearest_euler(angles, angles_[k]) : angles;
    started_[k] = true;
    for (const double value : angles_[k]) append_value(text, value);
  }

  // The bones in the order the hierarchy lists them, which is the order of their channels.
  void list_depth_first(int bone) {
    written_.push_back(bone);
    for (const int child : children_[static_cast<std::size_t>(bone)]) list_depth_first(child);
  }

  AtomicFile file_;
  TargetSkeleton skeleton_;
  std::vector<bool> positioned_;
  std::vector<std::vector<int>> children_;
  std::vector<Vec3> offsets_;
  std::vector<Quat> parent_rest_;
  std::vector<int> written_;
  std::vector<CachedText<7>> text_;  // per written bone, keyed by its rotation and translation
  std::vector<Vec3> angles_;         // per written bone, its last written angles
  std::vector<bool> started_;
  fmt::memory_buffer buffer_;
};

// glTF 2.0: a node per target bone in the target hierarchy, a skin over all of them, one animation
// with a rotation channel per bone and translation channels for the root-motion bones. Keyframes
// gather in memory (the binary chunk follows the JSON, which needs the counts) and are written at
// finish(). With a separate .bin, both files appear only once both are complete.
class GltfWriter final : public PoseWriter {
 public:
  GltfWriter(const std::filesystem::path& destination, const ClipInfo& info, bool binary)
      : destination_(destination),
        info_(info),
        binary_(binary),
        clock_(info.frame_time, info.frame_time_text),
        // Keyframes are held once, per bone, and go from there to the file: room for the frames the
        // input's bytes can hold, within the format's 4 GiB.
        keys_(clock_,
              4 + info.skeleton.names.size() * sizeof(gltf::Float4) + info.translated.size() * 3 * sizeof(float),
              info.frames_to_reserve) {
    scale_ = metres_per_unit(info.units);
    rotations_.resize(info.skeleton.names.size());
    for (auto& track : rotations_) track.reserve(keys_.reserved());
    translations_.resize(info.translated.size());
    for (auto& track : translations_) track.reserve(keys_.reserved() * 3);
    // Open the destination now, so an unwritable folder fails before any work.
    file_ = std::make_unique<AtomicFile>(destination_);
    if (!binary_) {
      std::filesystem::path bin = destination_;
      bin.replace_extension(".bin");
      bin_name_ = bin.filename().string();
      bin_file_ = std::make_unique<AtomicFile>(bin);
    }
  }

  void write_frame(std::int64_t frame, const FramePose& pose) override {
    check_finite(frame, pose);
    keys_.add(frame);
    for (std::size_t j = 0; j < rotations_.size(); ++j) rotations_[j].add(pose.rotations[j]);
    for (std::size_t k = 0; k < translations_.size(); ++k) {
      const Vec3& t = pose.translations[static_cast<std::size_t>(info_.translated[k])];
      for (const double value : t) {
        const float metres = static_cast<float>(value * scale_);
        if (!std::isfinite(metres)) {
          throw UsageError(fmt::format("translation {} of {} is beyond float range", value,
                                       info_.skeleton.names[static_cast<std::size_t>(info_.translated[k])]))
              .at_frame(frame);
        }
        translations_[k].push_back(metres);
      }
    }
  }

  void finish() override {
    // The JSON is made once, with the buffer's length known, and written as it is.
    Json document = build_document();
    if (binary_) {
      document["buffers"] = Json::array({{{"byteLength", buffer_.bytes()}}});
      gltf::write_glb(file_->stream(), document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                      buffer_);
      file_->commit();
      return;
    }
    // The buffer goes to the .bin file; the JSON names it.
    document["buffers"] = Json::array({{{"byteLength", buffer_.bytes()}, {"uri", bin_name_}}});
    buffer_.write(bin_file_->stream());
    file_->stream() << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    commit_together(*bin_file_, *file_);
  }

 private:
  using Json = nlohmann::ordered_json;
  static constexpr int kFloat = 5126, kUnsignedInt = 5125, kUnsignedShort = 5123, kUnsignedByte = 5121;
  static constexpr int kArrayBuffer = 34962, kElementArrayBuffer = 34963;

  // Describes raw values with one view (`target` 0 for none) and one accessor. Small arrays made
  // while building the document are copied; the keyframe tracks (borrowed) are written from where
  // they lie. Every float must be finite.
  template <typename T>
  std::size_t add_accessor(Json& document, std::span<const T> values, const char* type, std::size_t count,
                           int target = 0, bool borrowed = false) {
    if constexpr (std::is_same_v<T, float>) {
      if (!borrowed) {
        for (const float value : values) {
          if (!std::isfinite(value)) throw UsageError("a bone offset or rest pose is beyond float range");
        }
      }
    }
    const std::uint64_t offset = borrowed ? buffer_.add(values.data(), values.size_bytes())
                                          : buffer_.add_copy(values.data(), values.size_bytes());
    Json view{{"buffer", 0}, {"byteOffset", offset}, {"byteLength", values.size_bytes()}};
    if (target != 0) view["target"] = target;
    document["bufferViews"].push_back(std::move(view));
    const int component = std::is_same_v<T, float>           ? kFloat
                          : std::is_same_v<T, std::uint32_t> ? kUnsignedInt
                          : std::is_same_v<T, std::uint16_t> ? kUnsignedShort
                                                             : kUnsignedByte;
    document["accessors"].push_back({{"bufferView", document["bufferViews"].size() - 1},
                                     {"componentType", component},
                                     {"count", count},
                                     {"type", type}});
    return document["accessors"].size() - 1;
  }

  // The body: one mesh (the character's own, else a box per bone), skinned by the skin, with one
  // material, on a node of its own named so that a user finds and deletes it at once.
  void add_body(Json& document) {
    const BodyMesh boxes = info_.own_mesh ? BodyMesh{} : make_body_mesh(info_.skeleton, scale_);
    const BodyMesh& body = info_.own_mesh ? *info_.own_mesh : boxes;
    const std::size_t vertices = body.positions.size() / 3;
    const std::size_t position =
        add_accessor(document, std::span<const float>(body.positions), "VEC3", vertices, kArrayBuffer);
    std::vector<double> low(3, std::numeric_limits<double>::infinity());
    std::vector<double> high(3, -std::numeric_limits<double>::infinity());
    for (std::size_t v = 0; v < vertices; ++v) {
      for (std::size_t i = 0; i < 3; ++i) {
        low[i] = std::min(low[i], static_cast<double>(body.positions[v * 3 + i]));
        high[i] = std::max(high[i], static_cast<double>(body.positions[v * 3 + i]));
      }
    }
    document["accessors"][position]["min"] = low;
    document["accessors"][position]["max"] = high;
    Json attributes{{"POSITION", position}};
    attributes["NORMAL"] = add_accessor(document, std::span<const float>(body.normals), "VEC3", vertices, kArrayBuffer);
    attributes["JOINTS_0"] =
        add_accessor(document, std::span<const std::uint16_t>(body.joints), "VEC4", vertices, kArrayBuffer);
    attributes["WEIGHTS_0"] =
        add_accessor(document, std::span<const float>(body.weights), "VEC4", vertices, kArrayBuffer);
    const std::size_t indices = add_accessor(document, std::span<const std::uint32_t>(body.indices), "SCALAR",
                                             body.indices.size(), kElementArrayBuffer);
    document["materials"] = Json::array(
        {{{"name", valid_utf8(body.name)},
          {"pbrMetallicRoughness",
           {{"baseColorFactor", {0.62, 0.64, 0.68, 1.0}}, {"metallicFactor", 0.0}, {"roughnessFactor", 0.8}}}}});
    Json primitive{{"attributes", std::move(attributes)}, {"indices", indices}, {"material", 0}, {"mode", 4}};
    document["meshes"] =
        Json::array({{{"name", valid_utf8(body.name)}, {"primitives", Json::array({std::move(primitive)})}}});
    document["nodes"].push_back({{"name", valid_utf8(body.name)}, {"mesh", 0}, {"skin", 0}});
    document["scenes"][0]["nodes"].push_back(document["nodes"].size() - 1);
  }

  // Inverse bind matrices: the inverse of each joint's rest transform in the scene, column-major.
  std::vector<float> inverse_bind_matrices() const {
    const TargetSkeleton& skeleton = info_.skeleton;
    const std::size_t n = skeleton.names.size();
    std::vector<float> inverse_bind;
    inverse_bind.reserve(n * 16);
    std::vector<Quat> world_rotation(n);
    std::vector<Vec3> world_position(n);
    forward_kinematics(
        n, [&](std::size_t j) { return skeleton.parents[j]; },
        [&](std::size_t j) { return normalised(skeleton.rest[j]); },
        [&](std::size_t j) { return scale_vector(skeleton.offsets[j], scale_); }, world_rotation, world_position);
    for (std::size_t j = 0; j < n; ++j) {
      const Quat inverse = conj(world_rotation[j]);
      const Vec3 columns[3] = {rotate(inverse, {1, 0, 0}), rotate(inverse, {0, 1, 0}), rotate(inverse, {0, 0, 1})};
      const Vec3 translation = rotate(inverse, scale_vector(world_position[j], -1.0));
      for (const Vec3& column : columns) {
        for (const double value : column) inverse_bind.push_back(static_cast<float>(value));
        inverse_bind.push_back(0.0f);
      }
      for (const double value : translation) inverse_bind.push_back(static_cast<float>(value));
      inverse_bind.push_back(1.0f);
    }
    return inverse_bind;
  }

  // A node per target bone, at its rest, in the target hierarchy.
  Json skeleton_nodes() const {
    const TargetSkeleton& skeleton = info_.skeleton;
    Json nodes = Json::array();
    for (std::size_t j = 0; j < skeleton.names.size(); ++j) {
      const Quat r = normalised(skeleton.rest[j]);
      const Vec3 t = scale_vector(skeleton.offsets[j], scale_);
      for (const double value : t) {
        if (!std::isfinite(static_cast<float>(value))) {
          throw UsageError(fmt::format("bone {}: offset {} m is beyond float range", skeleton.names[j], value));
        }
      }
      Json node{{"name", valid_utf8(skeleton.names[j])}, {"rotation", r}, {"translation", t}};
      nodes.push_back(std::move(node));
    }
    for (std::size_t j = 0; j < skeleton.names.size(); ++j) {
      if (skeleton.parents[j] >= 0) nodes[static_cast<std::size_t>(skeleton.parents[j])]["children"].push_back(j);
    }
    return nodes;
  }

  // The clip: a rotation channel per bone, translation channels for the root-motion bones.
  void add_animation(Json& document) {
    const std::vector<float>& times = keys_.times();
    if (times.empty()) return;
    Json animation{{"name", valid_utf8(std::filesystem::path(info_.source).stem().string())},
                   {"channels", Json::array()},
                   {"samplers", Json::array()}};
    const std::size_t input = add_accessor(document, std::span<const float>(times), "SCALAR", times.size(), 0, true);
    document["accessors"][input]["min"] = {static_cast<double>(times.front())};
    document["accessors"][input]["max"] = {static_cast<double>(times.back())};
    const auto add_channel = [&](std::size_t node, const char* path, std::size_t output) {
      animation["channels"].push_back(
          {{"sampler", animation["samplers"].size()}, {"target", {{"node", node}, {"path", path}}}});
      animation["samplers"].push_back({{"input", input}, {"interpolation", "LINEAR"}, {"output", output}});
    };
    for (std::size_t k = 0; k < translations_.size(); ++k) {
      add_channel(static_cast<std::size_t>(info_.translated[k]), "translation",
                  add_accessor(document, std::span<const float>(translations_[k]), "VEC3", times.size(), 0, true));
    }
    for (std::size_t j = 0; j < rotations_.size(); ++j) {
      add_channel(j, "rotation", add_accessor(document, rotations_[j].floats(), "VEC4", times.size(), 0, true));
    }
    animation["extras"] = {{"frame_count", times.size()},
                           {"frame_rate", clock_.rate > 0 ? clock_.rate : 1.0 / clock_.frame_time},
                           {"frame_time", clock_.frame_time},
                           {"root_motion", root_motion_name(info_.root_motion)},
                           {"source", valid_utf8(info_.source)}};
    document["animations"] = Json::array({std::move(animation)});
  }

  Json build_document() {
    const TargetSkeleton& skeleton = info_.skeleton;
    const std::size_t n = skeleton.names.size();
    Json document{{"asset", {{"generator", std::string("oxretarget ") + version()}, {"version", "2.0"}}},
                  {"accessors", Json::array()},
                  {"bufferViews", Json::array()}};
    document["nodes"] = skeleton_nodes();
    std::vector<std::size_t> joints(n);
    for (std::size_t j = 0; j < n; ++j) joints[j] = j;
    const std::vector<float> inverse_bind = inverse_bind_matrices();
    const std::size_t matrices = add_accessor(document, std::span<const float>(inverse_bind), "MAT4", n);
    document["skins"] = Json::array(
        {{{"inverseBindMatrices", matrices}, {"joints", joints}, {"name", "mannequin"}, {"skeleton", skeleton.root}}});
    document["scene"] = 0;
    document["scenes"] = Json::array({{{"name", "retargeted"}, {"nodes", Json::array({skeleton.root})}}});
    if (info_.mesh == Mesh::Box) add_body(document);
    add_animation(document);
    return document;
  }

  std::filesystem::path destination_;
  ClipInfo info_;
  bool binary_;
  gltf::KeyClock clock_;
  gltf::KeyTimes keys_;
  double scale_ = 0.01;
  std::unique_ptr<AtomicFile> file_;
  std::unique_ptr<AtomicFile> bin_file_;
  std::string bin_name_;
  std::vector<gltf::RotationKeys> rotations_;  // per bone
  std::vector<std::vector<float>> translations_;
  gltf::Buffer buffer_;
};

}  // namespace

std::optional<Format> format_from_name(std::string_view name) {
  if (name == "json") return Format::Json;
  if (name == "csv") return Format::Csv;
  if (name == "glb") return Format::Glb;
  if (name == "gltf") return Format::Gltf;
  if (name == "bvh") return Format::Bvh;
  if (name == "fbx") return Format::Fbx;
  if (name == "vrm") return Format::Vrm;
  if (name == "vrma") return Format::Vrma;
  return std::nullopt;
}

const char* extension_for(Format format) {
  switch (format) {
    case Format::Json:
      return ".json";
    case Format::Csv:
      return ".csv";
    case Format::Glb:
      return ".glb";
    case Format::Gltf:
      return ".gltf";
    case Format::Bvh:
      return ".bvh";
    case Format::Fbx:
      return ".fbx";
    case Format::Vrm:
      return ".vrm";
    case Format::Vrma:
      return ".vrma";
  }
  return ".json";
}

std::unique_ptr<PoseWriter> make_pose_writer(Format format, const std::filesystem::path& destination,
                                             const ClipInfo& info) {
  switch (format) {
    case Format::Csv:
      return std::make_unique<CsvWriter>(destination, info);
    case Format::Glb:
    case Format::Vrm:
      return std::make_unique<GltfWriter>(destination, info, true);
    case Format::Vrma:
      return make_vrma_writer(destination, info);
    case Format::Gltf:
      return std::make_unique<GltfWriter>(destination, info, false);
    case Format::Bvh:
      return std::make_unique<BvhWriter>(destination, info);
    case Format::Fbx:
      return make_fbx_writer(destination, info);
    case Format::Json:
      break;
  }
  return std::make_unique<JsonWriter>(destination, info);
}

}  // namespace oxr
