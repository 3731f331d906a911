#include "FbxWriter.h"

#include "AtomicFile.h"
#include "BodyMesh.h"
#include "EulerKeys.h"
#include "FbxBinary.h"
#include "ToolError.h"
#include "Version.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace oxr {
namespace {

using fbx::euler_xyz_degrees;
using fbx::float64;
using fbx::int32;
using fbx::int64;
using fbx::Node;
using fbx::text;

constexpr const char* kTakeName = "Take 001";
constexpr std::int32_t kKeyLinear = 0x00000004;  // key interpolation: linear

// A rigid transform as FBX stores matrices: 16 values, column by column, translation last.
std::vector<double> matrix_of(const Quat& rotation, const Vec3& translation) {
  std::vector<double> m;
  m.reserve(16);
  for (const Vec3& axis : {Vec3{1, 0, 0}, Vec3{0, 1, 0}, Vec3{0, 0, 1}}) {
    const Vec3 column = rotate(rotation, axis);
    m.insert(m.end(), column.begin(), column.end());
    m.push_back(0.0);
  }
  m.insert(m.end(), translation.begin(), translation.end());
  m.push_back(1.0);
  return m;
}

// Ticks of frame i: i whole frames of the clip's rate when the frame time is 1/n of a second
// (within 1e-5, as files print it rounded) and a tick count divides evenly, else the nearest tick.
class TickClock {
 public:
  explicit TickClock(double frame_time) {
    const double n = frame_time > 0 ? std::round(1.0 / frame_time) : 0.0;
    if (n >= 1 && std::abs(frame_time * n - 1.0) <= 1e-5) {
      rate_ = n;
      if (fbx::kTicksPerSecond % static_cast<std::int64_t>(n) == 0)
        ticks_per_frame_ = fbx::kTicksPerSecond / static_cast<std::int64_t>(n);
    }
    seconds_per_frame_ = rate_ > 0 ? 1.0 / rate_ : frame_time;
  }
  std::int64_t ticks(std::int64_t frame) const {
    if (ticks_per_frame_ > 0) return frame * ticks_per_frame_;
    return std::llround(static_cast<double>(frame) * seconds_per_frame_ * static_cast<double>(fbx::kTicksPerSecond));
  }
  double rate() const { return rate_ > 0 ? rate_ : 1.0 / seconds_per_frame_; }

 private:
  double rate_ = 0;
  double seconds_per_frame_ = 0;
  std::int64_t ticks_per_frame_ = 0;
};

// FBX's own code for a frame rate, or 14 (custom: CustomFrameRate holds it).
std::int32_t time_mode(double rate) {
  static constexpr std::pair<double, std::int32_t> kModes[] = {
      {120, 1}, {100, 2}, {60, 3}, {50, 4}, {48, 5}, {30, 6}, {25, 10}, {24, 11}, {1000, 12}, {96, 15}, {72, 16}};
  for (const auto& [known, mode] : kModes)
    if (rate == known) return mode;
  return 14;
}

class FbxWriter final : public PoseWriter {
 public:
  FbxWriter(const std::filesystem::path& destination, const ClipInfo& info)
      : destination_(destination), info_(info), clock_(info.frame_time) {
    centimetres_ = metres_per_unit(info.units) * 100.0;
    const std::size_t n = info.skeleton.names.size();
    const auto frames = static_cast<std::size_t>(std::clamp<std::int64_t>(info.frames_to_reserve, 0, 1 << 26));
    rotations_.resize(n * 3);
    for (auto& curve : rotations_) curve.reserve(frames);
    translations_.resize(info.translated.size() * 3);
    for (auto& curve : translations_) curve.reserve(frames);
    ticks_.reserve(frames);
    previous_.resize(n);
    last_.resize(n);
    orient_root();
    file_ = std::make_unique<AtomicFile>(destination_);
  }

  void write_frame(std::int64_t frame, const FramePose& pose) override {
    const std::size_t n = info_.skeleton.names.size();
    for (std::size_t j = 0; j < n; ++j) {
      const Quat q = local_rotation(j, pose.rotations[j]);
      if (!std::isfinite(q[0]) || !std::isfinite(q[1]) || !std::isfinite(q[2]) || !std::isfinite(q[3]))
        throw ToolError(fmt::format("frame {}: bone {} has a non-finite rotation", frame, info_.skeleton.names[j]));
      // A bone that keeps its turn from the last frame keeps its angles (what they would come to again).
      if (ticks_.empty() || !same_bits(q, last_[j])) {
        // The solver's turns are unit to rounding; any other is made so.
        const double norm = dot(q, q);
        Vec3 angles = euler_xyz_degrees(std::abs(norm - 1) <= 1e-14 ? q : normalised(q));
        // Angles within a third of a turn of the last frame's in all are the nearest already (the
        // other solution lies at least two thirds of a turn away): the common case skips the search.
        const Vec3& last = previous_[j];
        const double moved =
            std::abs(angles[0] - last[0]) + std::abs(angles[1] - last[1]) + std::abs(angles[2] - last[2]);
        if (!ticks_.empty() && !(moved <= 120)) angles = nearest_euler(angles, last);
        previous_[j] = angles;
        last_[j] = q;
      }
      for (std::size_t i = 0; i < 3; ++i) rotations_[j * 3 + i].push_back(static_cast<float>(previous_[j][i]));
    }
    for (std::size_t k = 0; k < info_.translated.size(); ++k) {
      const auto bone = static_cast<std::size_t>(info_.translated[k]);
      const Vec3 t = local_translation(bone, pose.translations[bone]);
      for (std::size_t i = 0; i < 3; ++i) {
        const auto value = static_cast<float>(t[i] * centimetres_);
        if (!std::isfinite(value))
          throw ToolError(fmt::format("frame {}: translation {} of {} is beyond float range", frame, t[i],
                                      info_.skeleton.names[static_cast<std::size_t>(info_.translated[k])]));
        translations_[k * 3 + i].push_back(value);
      }
    }
    ticks_.push_back(clock_.ticks(frame));
  }

  void finish() override {
    std::vector<Node> top;
    add_header(top);
    add_global_settings(top.emplace_back());
    add_documents(top);
    Node objects{"Objects", {}, {}};
    Node connections{"Connections", {}, {}};
    build_objects(objects, connections);
    add_definitions(top.emplace_back());
    top.push_back(std::move(objects));
    top.push_back(std::move(connections));
    add_takes(top.emplace_back());
    if (!fbx::write_file(file_->stream(), top, 7400))
      throw OutputError(destination_.string(), "the FBX file would pass the format's 4 GiB");
    file_->commit();
  }

 private:
  // Blender's importer connects a bone to its parent when it lies on the parent's Y axis, and then
  // drops the bone's translation (the pelvis's root motion, under a root bone standing below it).
  // The mannequin's root frame is turned by C = Rx(90 deg) in that case, its Y axis then running
  // forward: root: L' = L * C;  its children: L' = conj(C) * L, t' = conj(C) t.  World poses are
  // unchanged. A character's skeleton keeps its own frames.
  void orient_root() {
    const TargetSkeleton& skeleton = info_.skeleton;
    if (skeleton.names != target_bone_names()) return;
    for (const int j : info_.translated) {
      if (skeleton.parents[static_cast<std::size_t>(j)] != skeleton.root) continue;
      const Vec3& o = skeleton.offsets[static_cast<std::size_t>(j)];
      if (std::hypot(o[0], o[2]) <= 1e-4 * std::abs(o[1]) && o[1] > 0) oriented_ = true;
    }
  }
  Quat local_rotation(std::size_t j, const Quat& q) const {
    if (!oriented_) return q;
    if (static_cast<int>(j) == info_.skeleton.root) return mul(q, kTurn);
    if (info_.skeleton.parents[j] == info_.skeleton.root) return mul(conj(kTurn), q);
    return q;
  }
  Vec3 local_translation(std::size_t j, const Vec3& t) const {
    return oriented_ && info_.skeleton.parents[j] == info_.skeleton.root ? rotate(conj(kTurn), t) : t;
  }
  static constexpr Quat kTurn{0.70710678118654752440, 0.0, 0.0, 0.70710678118654752440};  // Rx(90 deg)

  std::int64_t new_id() { return next_id_++; }
  std::int64_t last_tick() const { return ticks_.empty() ? 0 : ticks_.back(); }

  void connect(Node& connections, std::int64_t child, std::int64_t parent, std::string_view property = {}) {
    if (property.empty())
      connections.add("C", {text("OO"), int64(child), int64(parent)});
    else
      connections.add("C", {text("OP"), int64(child), int64(parent), text(property)});
  }

  void add_header(std::vector<Node>& top) const {
    Node& header = top.emplace_back();
    header.name = "FBXHeaderExtension";
    header.add("FBXHeaderVersion", {int32(1003)});
    header.add("FBXVersion", {int32(7400)});
    header.add("EncryptionType", {int32(0)});
    // A fixed time stamp: the same clip gives the same bytes.
    Node& stamp = header.add("CreationTimeStamp");
    for (const auto& [field, value] : {std::pair{"Version", 1000},
                                       {"Year", 1970},
                                       {"Month", 1},
                                       {"Day", 1},
                                       {"Hour", 10},
                                       {"Minute", 0},
                                       {"Second", 0},
                                       {"Millisecond", 0}})
      stamp.add(field, {int32(value)});
    header.add("Creator", {text(std::string("oxretarget ") + version())});
    static constexpr char kFileId[] = "\x28\xb3\x2a\xeb\xb6\x24\xcc\xc2\xbf\xc8\xb0\x2a\xa9\x2b\xfc\xf1";
    top.push_back({"FileId", {fbx::raw(std::string_view(kFileId, 16))}, {}});
    top.push_back({"CreationTime", {text("1970-01-01 10:00:00:000")}, {}});
    top.push_back({"Creator", {text(std::string("oxretarget ") + version())}, {}});
  }

  void add_global_settings(Node& settings) const {
    settings.name = "GlobalSettings";
    settings.add("Version", {int32(1000)});
    Node& p = settings.add("Properties70");
    // +Y up, +Z front, +X right (right-handed); one unit is a centimetre.
    for (const auto& [name, value] : {std::pair{"UpAxis", 1},
                                      {"UpAxisSign", 1},
                                      {"FrontAxis", 2},
                                      {"FrontAxisSign", 1},
                                      {"CoordAxis", 0},
                                      {"CoordAxisSign", 1},
                                      {"OriginalUpAxis", 1},
                                      {"OriginalUpAxisSign", 1}})
      p.p(name, "int", "Integer", "", {int32(value)});
    p.p("UnitScaleFactor", "double", "Number", "", {float64(1.0)});
    p.p("OriginalUnitScaleFactor", "double", "Number", "", {float64(1.0)});
    p.p("TimeMode", "enum", "", "", {int32(time_mode(clock_.rate()))});
    p.p("TimeSpanStart", "KTime", "Time", "", {int64(0)});
    p.p("TimeSpanStop", "KTime", "Time", "", {int64(last_tick())});
    p.p("CustomFrameRate", "double", "Number", "", {float64(clock_.rate())});
  }

  void add_documents(std::vector<Node>& top) {
    Node& documents = top.emplace_back();
    documents.name = "Documents";
    documents.add("Count", {int32(1)});
    Node& document = documents.add("Document", {int64(new_id()), text("Scene"), text("Scene")});
    Node& p = document.add("Properties70");
    p.p("SourceObject", "object", "", "", {});
    p.p("ActiveAnimStackName", "KString", "", "", {text(kTakeName)});
    document.add("RootNode", {int64(0)});
    top.push_back({"References", {}, {}});
  }

  void add_definitions(Node& definitions) const {
    definitions.name = "Definitions";
    definitions.add("Version", {int32(100)});
    std::int32_t total = 0;
    for (const auto& [type, count] : counts_) total += count;
    definitions.add("Count", {int32(total)});
    for (const auto& [type, count] : counts_) {
      Node& object_type = definitions.add("ObjectType", {text(type)});
      object_type.add("Count", {int32(count)});
    }
  }

  void add_takes(Node& takes) const {
    takes.name = "Takes";
    takes.add("Current", {text(kTakeName)});
    Node& take = takes.add("Take", {text(kTakeName)});
    take.add("FileName", {text("Take_001.tak")});
    take.add("LocalTime", {int64(0), int64(last_tick())});
    take.add("ReferenceTime", {int64(0), int64(last_tick())});
  }

  void build_objects(Node& objects, Node& connections);
  void add_bones(Node& objects, Node& connections, std::vector<std::int64_t>& models);
  void add_bind_pose(Node& objects, const std::vector<std::int64_t>& models, std::int64_t mesh);
  std::int64_t add_body(Node& objects, Node& connections, const std::vector<std::int64_t>& models);
  void add_skin(Node& objects, Node& connections, const std::vector<std::int64_t>& models, std::int64_t geometry);
  void add_animation(Node& objects, Node& connections, const std::vector<std::int64_t>& models);
  void add_curve_node(Node& objects, Node& connections, std::int64_t model, const char* property,
                      std::span<const std::vector<float>> curves);

  std::filesystem::path destination_;
  ClipInfo info_;
  TickClock clock_;
  double centimetres_ = 1;
  bool oriented_ = false;                         // the root's frame turned (orient_root)
  std::vector<std::vector<float>> rotations_;     // per bone, x y z curves of Euler degrees
  std::vector<std::vector<float>> translations_;  // per translated bone, x y z curves of centimetres
  std::vector<std::int64_t> ticks_;               // key times, shared by every curve
  std::vector<Vec3> previous_;                    // per bone, the last frame's angles and turn
  std::vector<Quat> last_;
  std::unique_ptr<AtomicFile> file_;
  std::int64_t next_id_ = 1'000'000;
  std::int64_t layer_ = 0;
  std::vector<std::pair<std::string, std::int32_t>> counts_;
  // Arrays the records point to, alive until the file is written (a deque never moves its elements).
  std::deque<std::vector<double>> doubles_;
  std::deque<std::vector<std::int32_t>> ints_;
  BodyMesh boxes_;
  const BodyMesh* body_ = nullptr;  // the character's mesh, else boxes_
};

void FbxWriter::build_objects(Node& objects, Node& connections) {
  std::vector<std::int64_t> models;
  add_bones(objects, connections, models);
  const std::int64_t mesh = info_.mesh == Mesh::Box ? add_body(objects, connections, models) : 0;
  add_bind_pose(objects, models, mesh);
  add_animation(objects, connections, models);
  counts_ = {{"GlobalSettings", 1}};
  for (const Node& object : objects.children) {
    auto it = std::find_if(counts_.begin(), counts_.end(), [&](const auto& c) { return c.first == object.name; });
    if (it == counts_.end())
      counts_.emplace_back(object.name, 1);
    else
      ++it->second;
  }
}

// A Model (LimbNode) and its NodeAttribute for every target bone, parents first, the root bone at
// the top of the scene. Local transforms are the rest pose; scale 1 everywhere.
void FbxWriter::add_bones(Node& objects, Node& connections, std::vector<std::int64_t>& models) {
  const TargetSkeleton& skeleton = info_.skeleton;
  for (std::size_t j = 0; j < skeleton.names.size(); ++j) {
    const std::int64_t attribute = new_id();
    Node& limb =
        objects.add("NodeAttribute",
                    {int64(attribute), text(fbx::object_name(skeleton.names[j], "NodeAttribute")), text("LimbNode")});
    limb.add("Properties70").p("Size", "double", "Number", "", {float64(10.0)});
    limb.add("TypeFlags", {text("Skeleton")});

    const std::int64_t model = new_id();
    models.push_back(model);
    Node& node =
        objects.add("Model", {int64(model), text(fbx::object_name(skeleton.names[j], "Model")), text("LimbNode")});
    node.add("Version", {int32(232)});
    Node& p = node.add("Properties70");
    const Vec3 t = scale_vector(local_translation(j, skeleton.offsets[j]), centimetres_);
    const Vec3 r = euler_xyz_degrees(normalised(local_rotation(j, skeleton.rest[j])));
    p.p("InheritType", "enum", "", "", {int32(1)});
    p.p("DefaultAttributeIndex", "int", "Integer", "", {int32(0)});
    p.p("Lcl Translation", "Lcl Translation", "", "A", {float64(t[0]), float64(t[1]), float64(t[2])});
    p.p("Lcl Rotation", "Lcl Rotation", "", "A", {float64(r[0]), float64(r[1]), float64(r[2])});
    p.p("Lcl Scaling", "Lcl Scaling", "", "A", {float64(1.0), float64(1.0), float64(1.0)});
    node.add("Shading", {fbx::boolean(true)});
    node.add("Culling", {text("CullingOff")});

    connect(connections, attribute, model);
    const int parent = skeleton.parents[j];
    connect(connections, model, parent < 0 ? 0 : models[static_cast<std::size_t>(parent)]);
  }
}

// The bind pose: every bone's rest transform in the scene (and the mesh's, the identity).
void FbxWriter::add_bind_pose(Node& objects, const std::vector<std::int64_t>& models, std::int64_t mesh) {
  const TargetSkeleton& skeleton = info_.skeleton;
  const std::size_t n = skeleton.names.size();
  std::vector<Quat> world(n);
  std::vector<Vec3> position(n);
  forward_kinematics(
      n, [&](std::size_t j) { return skeleton.parents[j]; },
      [&](std::size_t j) { return normalised(local_rotation(j, skeleton.rest[j])); },
      [&](std::size_t j) { return scale_vector(local_translation(j, skeleton.offsets[j]), centimetres_); }, world,
      position);
  Node& pose = objects.add("Pose", {int64(new_id()), text(fbx::object_name("BindPose", "Pose")), text("BindPose")});
  pose.add("Type", {text("BindPose")});
  pose.add("Version", {int32(100)});
  pose.add("NbPoseNodes", {int32(static_cast<std::int32_t>(n + (mesh != 0 ? 1 : 0)))});
  const auto add_node = [&](std::int64_t id, std::vector<double> matrix) {
    doubles_.push_back(std::move(matrix));
    Node& entry = pose.add("PoseNode");
    entry.add("Node", {int64(id)});
    entry.add("Matrix", {fbx::array(std::span<const double>(doubles_.back()))});
  };
  if (mesh != 0) add_node(mesh, matrix_of(kIdentity, {0, 0, 0}));
  for (std::size_t j = 0; j < n; ++j) add_node(models[j], matrix_of(world[j], position[j]));
}

// The body mesh (the character's own, else a box per bone; in the rest pose, centimetres) with one
// material and a skin: a cluster per bone that carries vertices, with their weights.
std::int64_t FbxWriter::add_body(Node& objects, Node& connections, const std::vector<std::int64_t>& models) {
  if (info_.own_mesh) {
    body_ = info_.own_mesh.get();
  } else {
    boxes_ = make_body_mesh(info_.skeleton, metres_per_unit(info_.units));
    body_ = &boxes_;
  }
  const std::string& name = body_->name;
  std::vector<double>& vertices = doubles_.emplace_back();
  vertices.reserve(body_->positions.size());
  for (const float value : body_->positions) vertices.push_back(static_cast<double>(value) * 100.0);
  std::vector<std::int32_t>& polygons = ints_.emplace_back();
  std::vector<double>& normals = doubles_.emplace_back();
  polygons.reserve(body_->indices.size());
  normals.reserve(body_->indices.size() * 3);
  for (std::size_t i = 0; i < body_->indices.size(); ++i) {
    const auto vertex = static_cast<std::int32_t>(body_->indices[i]);
    polygons.push_back(i % 3 == 2 ? ~vertex : vertex);  // the last corner of a polygon is stored as -(v + 1)
    for (std::size_t k = 0; k < 3; ++k) normals.push_back(body_->normals[static_cast<std::size_t>(vertex) * 3 + k]);
  }
  const std::int64_t geometry = new_id();
  Node& mesh = objects.add("Geometry", {int64(geometry), text(fbx::object_name(name, "Geometry")), text("Mesh")});
  mesh.add("GeometryVersion", {int32(124)});
  mesh.add("Vertices", {fbx::array(std::span<const double>(vertices))});
  mesh.add("PolygonVertexIndex", {fbx::array(std::span<const std::int32_t>(polygons))});
  Node& normal_layer = mesh.add("LayerElementNormal", {int32(0)});
  normal_layer.add("Version", {int32(102)});
  normal_layer.add("Name", {text("")});
  normal_layer.add("MappingInformationType", {text("ByPolygonVertex")});
  normal_layer.add("ReferenceInformationType", {text("Direct")});
  normal_layer.add("Normals", {fbx::array(std::span<const double>(normals))});
  static constexpr std::int32_t kMaterialZero[1] = {0};
  Node& material_layer = mesh.add("LayerElementMaterial", {int32(0)});
  material_layer.add("Version", {int32(101)});
  material_layer.add("Name", {text("")});
  material_layer.add("MappingInformationType", {text("AllSame")});
  material_layer.add("ReferenceInformationType", {text("IndexToDirect")});
  material_layer.add("Materials", {fbx::array(std::span<const std::int32_t>(kMaterialZero))});
  Node& layer = mesh.add("Layer", {int32(0)});
  layer.add("Version", {int32(100)});
  for (const char* element : {"LayerElementNormal", "LayerElementMaterial"}) {
    Node& entry = layer.add("LayerElement");
    entry.add("Type", {text(element)});
    entry.add("TypedIndex", {int32(0)});
  }

  const std::int64_t model = new_id();
  Node& node = objects.add("Model", {int64(model), text(fbx::object_name(name, "Model")), text("Mesh")});
  node.add("Version", {int32(232)});
  node.add("Properties70").p("DefaultAttributeIndex", "int", "Integer", "", {int32(0)});
  node.add("Shading", {fbx::boolean(true)});
  node.add("Culling", {text("CullingOff")});
  const std::int64_t material = new_id();
  Node& look = objects.add("Material", {int64(material), text(fbx::object_name(name, "Material")), text("")});
  look.add("Version", {int32(102)});
  look.add("ShadingModel", {text("lambert")});
  look.add("MultiLayer", {int32(0)});
  look.add("Properties70").p("DiffuseColor", "Color", "", "A", {float64(0.62), float64(0.64), float64(0.68)});
  connect(connections, model, 0);
  connect(connections, geometry, model);
  connect(connections, material, model);
  add_skin(objects, connections, models, geometry);
  return model;
}

void FbxWriter::add_skin(Node& objects, Node& connections, const std::vector<std::int64_t>& models,
                         std::int64_t geometry) {
  const TargetSkeleton& skeleton = info_.skeleton;
  const std::size_t n = skeleton.names.size();
  const std::int64_t skin = new_id();
  Node& deformer =
      objects.add("Deformer", {int64(skin), text(fbx::object_name(body_->name, "Deformer")), text("Skin")});
  deformer.add("Version", {int32(101)});
  deformer.add("Link_DeformAcuracy", {float64(50.0)});
  connect(connections, skin, geometry);
  std::vector<Quat> world(n);
  std::vector<Vec3> position(n);
  forward_kinematics(
      n, [&](std::size_t j) { return skeleton.parents[j]; },
      [&](std::size_t j) { return normalised(local_rotation(j, skeleton.rest[j])); },
      [&](std::size_t j) { return scale_vector(local_translation(j, skeleton.offsets[j]), centimetres_); }, world,
      position);
  // Per bone, the vertices it carries and their weights.
  std::vector<std::vector<std::int32_t>> carried(n);
  std::vector<std::vector<double>> weights(n);
  for (std::size_t v = 0; v < body_->positions.size() / 3; ++v) {
    for (std::size_t k = 0; k < 4; ++k) {
      const std::size_t bone = body_->joints[v * 4 + k];
      const float weight = body_->weights[v * 4 + k];
      if (weight <= 0 || bone >= n) continue;
      carried[bone].push_back(static_cast<std::int32_t>(v));
      weights[bone].push_back(static_cast<double>(weight));
    }
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (carried[j].empty()) continue;
    const std::int64_t cluster = new_id();
    Node& entry = objects.add(
        "Deformer", {int64(cluster), text(fbx::object_name(skeleton.names[j], "SubDeformer")), text("Cluster")});
    entry.add("Version", {int32(100)});
    entry.add("UserData", {text(""), text("")});
    entry.add("Indexes", {fbx::array(std::span<const std::int32_t>(ints_.emplace_back(std::move(carried[j]))))});
    entry.add("Weights", {fbx::array(std::span<const double>(doubles_.emplace_back(std::move(weights[j]))))});
    // Transform: the mesh (at the origin) in the bone's bind frame; TransformLink: the bone's bind
    // transform in the scene.
    const Quat inverse = conj(world[j]);
    entry.add("Transform", {fbx::array(std::span<const double>(doubles_.emplace_back(
                               matrix_of(inverse, rotate(inverse, scale_vector(position[j], -1))))))});
    entry.add("TransformLink",
              {fbx::array(std::span<const double>(doubles_.emplace_back(matrix_of(world[j], position[j]))))});
    connect(connections, cluster, skin);
    connect(connections, models[j], cluster);
  }
}

// One take: a stack with one layer, a curve node per animated property (every bone's rotation, the
// translated bones' translation) and a curve per axis. Key times are whole frames in FBX ticks; a
// channel that never changes keeps one key.
void FbxWriter::add_animation(Node& objects, Node& connections, const std::vector<std::int64_t>& models) {
  const std::int64_t stack = new_id();
  Node& take = objects.add("AnimationStack", {int64(stack), text(fbx::object_name(kTakeName, "AnimStack")), text("")});
  Node& p = take.add("Properties70");
  p.p("LocalStart", "KTime", "Time", "", {int64(0)});
  p.p("LocalStop", "KTime", "Time", "", {int64(last_tick())});
  p.p("ReferenceStart", "KTime", "Time", "", {int64(0)});
  p.p("ReferenceStop", "KTime", "Time", "", {int64(last_tick())});
  const std::int64_t layer = new_id();
  // An empty property list: some readers need every object to have a body.
  objects.add("AnimationLayer", {int64(layer), text(fbx::object_name("BaseLayer", "AnimLayer")), text("")})
      .add("Properties70");
  connect(connections, layer, stack);
  if (ticks_.empty()) return;
  layer_ = layer;
  for (std::size_t k = 0; k < info_.translated.size(); ++k) {
    add_curve_node(objects, connections, models[static_cast<std::size_t>(info_.translated[k])], "T",
                   std::span<const std::vector<float>>(translations_).subspan(k * 3, 3));
  }
  for (std::size_t j = 0; j < models.size(); ++j) {
    add_curve_node(objects, connections, models[j], "R",
                   std::span<const std::vector<float>>(rotations_).subspan(j * 3, 3));
  }
}

void FbxWriter::add_curve_node(Node& objects, Node& connections, std::int64_t model, const char* property,
                               std::span<const std::vector<float>> curves) {
  static constexpr std::int32_t kFlags[1] = {kKeyLinear};
  static constexpr float kAttributeData[4] = {0, 0, 0, 0};
  const std::int64_t node = new_id();
  Node& curve_node =
      objects.add("AnimationCurveNode", {int64(node), text(fbx::object_name(property, "AnimCurveNode")), text("")});
  Node& p = curve_node.add("Properties70");
  static constexpr const char* kAxes[3] = {"d|X", "d|Y", "d|Z"};
  for (std::size_t i = 0; i < 3; ++i)
    p.p(kAxes[i], "Number", "", "A", {float64(static_cast<double>(curves[i].front()))});
  connect(connections, node, layer_);
  connect(connections, node, model, property[0] == 'T' ? "Lcl Translation" : "Lcl Rotation");
  for (std::size_t i = 0; i < 3; ++i) {
    const std::vector<float>& values = curves[i];
    const bool still = std::all_of(values.begin(), values.end(), [&](float v) { return v == values.front(); });
    const std::size_t keys = still ? 1 : values.size();
    const std::int64_t curve = new_id();
    Node& entry = objects.add("AnimationCurve", {int64(curve), text(fbx::object_name("", "AnimCurve")), text("")});
    entry.add("Default", {float64(static_cast<double>(values.front()))});
    entry.add("KeyVer", {int32(4009)});
    entry.add("KeyTime", {fbx::array(std::span<const std::int64_t>(ticks_).first(keys))});
    entry.add("KeyValueFloat", {fbx::array(std::span<const float>(values).first(keys))});
    entry.add("KeyAttrFlags", {fbx::array(std::span<const std::int32_t>(kFlags))});
    entry.add("KeyAttrDataFloat", {fbx::array(std::span<const float>(kAttributeData))});
    entry.add("KeyAttrRefCount",
              {fbx::array(std::span<const std::int32_t>(ints_.emplace_back(1, static_cast<std::int32_t>(keys))))});
    connect(connections, curve, node, kAxes[i]);
  }
}

}  // namespace

std::unique_ptr<PoseWriter> make_fbx_writer(const std::filesystem::path& destination, const ClipInfo& info) {
  return std::make_unique<FbxWriter>(destination, info);
}

}  // namespace oxr
