#include "PoseWriter.h"

#include "ToolError.h"

#include <cmath>
#include <iterator>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace oxr {
namespace {

void check_finite(std::int64_t frame, const bvh::Quat& q) {
  if (!std::isfinite(q[0]) || !std::isfinite(q[1]) || !std::isfinite(q[2]) || !std::isfinite(q[3])) {
    throw ToolError(fmt::format("frame {}: the solved pose is not finite", frame));
  }
}

void append_quat(fmt::memory_buffer& buffer, const bvh::Quat& q) {
  fmt::format_to(std::back_inserter(buffer), "[{:.17g}, {:.17g}, {:.17g}, {:.17g}]", q[0], q[1], q[2], q[3]);
}

std::string quoted(const std::string& text) { return nlohmann::json(text).dump(); }

class JsonWriter final : public PoseWriter {
 public:
  JsonWriter(std::ostream& out, const ClipInfo& info) : out_(out) {
    fmt::memory_buffer head;
    auto it = std::back_inserter(head);
    fmt::format_to(it, "{{\n  \"format\": \"oxretarget-poses\",\n  \"version\": 1,\n");
    fmt::format_to(it, "  \"source\": {},\n", quoted(info.source));
    fmt::format_to(it, "  \"frame_time\": {:.17g},\n  \"frame_count\": {},\n", info.frame_time, info.frame_count);
    fmt::format_to(it, "  \"fingers_t_pose\": {},\n  \"axes\": {},\n  \"bones\": [", info.fingers_t_pose,
                   quoted(info.axes));
    for (std::size_t i = 0; i < info.bones.size(); ++i) {
      fmt::format_to(it, "{}\n    {{\"name\": {}, \"parent\": {}, \"t_pose\": ", i == 0 ? "" : ",",
                     quoted(info.bones[i]), quoted(info.parents[i]));
      append_quat(head, info.t_pose[i]);
      fmt::format_to(it, "}}");
    }
    fmt::format_to(it, "\n  ],\n  \"frames\": [");
    out_.write(head.data(), static_cast<std::streamsize>(head.size()));
  }

  void write_frame(std::int64_t frame, std::span<const bvh::Quat> rotations) override {
    buffer_.clear();
    fmt::format_to(std::back_inserter(buffer_), "{}\n    [", frame == 0 ? "" : ",");
    for (std::size_t i = 0; i < rotations.size(); ++i) {
      check_finite(frame, rotations[i]);
      if (i != 0) buffer_.append(std::string_view(", "));
      append_quat(buffer_, rotations[i]);
    }
    buffer_.push_back(']');
    out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
  }

  void finish() override { out_ << "\n  ]\n}\n"; }

 private:
  std::ostream& out_;
  fmt::memory_buffer buffer_;
};

class CsvWriter final : public PoseWriter {
 public:
  CsvWriter(std::ostream& out, const ClipInfo& info) : out_(out), bones_(info.bones) {
    out_ << "frame,bone,qx,qy,qz,qw\n";
  }

  void write_frame(std::int64_t frame, std::span<const bvh::Quat> rotations) override {
    buffer_.clear();
    auto it = std::back_inserter(buffer_);
    for (std::size_t i = 0; i < rotations.size(); ++i) {
      const bvh::Quat& q = rotations[i];
      check_finite(frame, q);
      fmt::format_to(it, "{},{},{:.17g},{:.17g},{:.17g},{:.17g}\n", frame, bones_[i], q[0], q[1], q[2], q[3]);
    }
    out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
  }

  void finish() override {}

 private:
  std::ostream& out_;
  std::vector<std::string> bones_;
  fmt::memory_buffer buffer_;
};

}  // namespace

std::unique_ptr<PoseWriter> make_pose_writer(Format format, std::ostream& out, const ClipInfo& info) {
  if (format == Format::Csv) return std::make_unique<CsvWriter>(out, info);
  return std::make_unique<JsonWriter>(out, info);
}

}  // namespace oxr
