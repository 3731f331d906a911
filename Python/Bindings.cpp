// The Python module: the retargeter on numpy arrays, the tool's BVH reader and its file pipeline.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "BvhFrameSource.h"
#include "BvhReader.h"
#include "Character.h"
#include "Errors.h"
#include "Geometry.h"
#include "Options.h"
#include "PoseWriter.h"
#include "Retarget.h"
#include "Rig.h"
#include "Solver.h"
#include "Temporaries.h"
#include "ToolError.h"
#include "Version.h"

namespace py = pybind11;

namespace {

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

std::string join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

// A keyword's text value, one of allowed: TypeError for a value that is not a string, ValueError
// for a string outside allowed.
std::string choice(const py::handle& value, const std::string& keyword, const std::vector<std::string>& allowed) {
  if (!py::isinstance<py::str>(value)) {
    throw py::type_error(keyword + " must be a string, one of " + join(allowed) + "; got " +
                         std::string(py::str(py::type::of(value).attr("__name__"))));
  }
  std::string text = value.cast<std::string>();
  if (std::find(allowed.begin(), allowed.end(), text) == allowed.end()) {
    throw py::value_error(keyword + " must be one of " + join(allowed) + ", not " + std::string(py::repr(value)));
  }
  return text;
}

// A wrong keyword or keyword value as ValueError, the option spelled as a keyword ("end=9 is past the
// file's end ..."); any other error as it is.
[[noreturn]] void raise_usage(const oxr::ToolError& error) {
  if (error.kind() != oxr::ErrorKind::Usage) throw;
  throw py::value_error(oxr::python_text(error));
}

bool flag(const py::handle& value, const std::string& keyword) {
  if (!py::isinstance<py::bool_>(value)) {
    throw py::type_error(keyword + " must be True or False; got " +
                         std::string(py::str(py::type::of(value).attr("__name__"))));
  }
  return value.cast<bool>();
}

// The Python spelling of an option: '_' for '-' (--fingers-t-pose is fingers_t_pose).
std::string keyword_of(std::string_view name) {
  std::string keyword(name);
  std::replace(keyword.begin(), keyword.end(), '-', '_');
  return keyword;
}

bool python_option(const oxr::OptionSpec& spec) { return (spec.scope & oxr::kScopePython) != 0 && spec.pipeline; }

// The options the functions take, as the tool's table gives them, for their docstrings.
std::string options_doc() {
  std::string text = "Options, as the tool's (defaults as the tool's):\n";
  for (const oxr::OptionSpec& spec : oxr::option_table()) {
    if (!python_option(spec)) continue;
    text += keyword_of(spec.name) + ": " + std::string(spec.help);
    if (spec.value_name.empty()) {
      text += " (True or False; default False)";
    } else {
      if (!spec.choices.empty()) text += " (" + std::string(spec.choices);
      if (!spec.default_value.empty()) {
        text +=
            (spec.choices.empty() ? " (" : "; ") + std::string("default \"") + std::string(spec.default_value) + "\"";
      }
      if (!spec.choices.empty() || !spec.default_value.empty()) text += ")";
    }
    text += "\n";
  }
  return text;
}

// The formats the tool's table lists, quoted for a docstring: "json", "csv", ... or "vrma".
std::string formats_doc() {
  const std::vector<std::string> names = oxr::option_choices(*oxr::find_option("format"));
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " or " : ", ";
    text += '"' + names[i] + '"';
  }
  return text;
}

// Sets the tool's options from a function's keywords: every pipeline option of the tool's table offered
// to Python, spelled with '_' for '-'; a flag takes True or False, any other option a string (or a path
// for a file).
void apply_keywords(oxr::RetargetOptions& result, const py::kwargs& options, const std::string& function) {
  std::string keywords;
  for (const oxr::OptionSpec& spec : oxr::option_table()) {
    if (python_option(spec)) keywords += (keywords.empty() ? "" : ", ") + keyword_of(spec.name);
  }
  const py::object fspath = py::module_::import("os").attr("fspath");
  for (const auto& [key, value] : options) {
    const std::string name = key.cast<std::string>();
    const oxr::OptionSpec* spec = oxr::find_option(name);
    if (spec == nullptr || !python_option(*spec) || name.find('-') != std::string::npos) {
      throw py::type_error(function + "() got an unexpected keyword argument '" + name + "'; options: " + keywords);
    }
    std::string text;
    if (spec->value_name.empty()) {
      text = flag(value, name) ? "true" : "false";
    } else if (!spec->choices.empty()) {
      text = choice(value, name, oxr::option_choices(*spec));
    } else if (py::isinstance<py::str>(value) || py::hasattr(value, "__fspath__")) {
      text = fspath(value).cast<std::string>();
    } else if ((name == "start" || name == "end" || name == "fps") &&
               ((py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value)) ||
                py::isinstance<py::float_>(value))) {
      text = py::str(value).cast<std::string>();  // start=1, fps=30
    } else {
      throw py::type_error(name + " must be a string; got " +
                           std::string(py::str(py::type::of(value).attr("__name__"))));
    }
    try {
      oxr::apply_option(result, name, text);
    } catch (const oxr::ToolError& error) {
      raise_usage(error);
    }
  }
}

// The tool's options from retarget_file's keywords, and the format as the tool chooses it: format=,
// else the output's extension, else JSON.
oxr::RetargetOptions retarget_options(const std::filesystem::path& input, const std::filesystem::path& output,
                                      const py::object& format, const py::kwargs& options) {
  oxr::RetargetOptions result;
  const std::string format_name =
      format.is_none() ? std::string() : choice(format, "format", oxr::option_choices(*oxr::find_option("format")));
  apply_keywords(result, options, "retarget_file");
  try {
    oxr::prepare_options(result);
    // The format as the tool chooses it; a character's result is in the character's own container.
    result.format = oxr::choose_format({input.string()}, output.string(), format_name, result, &oxr::python_spelling);
  } catch (const oxr::ToolError& error) {
    raise_usage(error);
  }
  return result;
}

std::string shape_text(const py::array& array) {
  std::string text = "(";
  for (py::ssize_t d = 0; d < array.ndim(); ++d) text += (d == 0 ? "" : ", ") + std::to_string(array.shape(d));
  return text + (array.ndim() == 1 ? ",)" : ")");
}

// A C-ordered array over values, which it keeps alive: no copy.
DoubleArray adopt(std::vector<double>&& values, std::vector<py::ssize_t> shape) {
  if (values.empty()) return DoubleArray(std::move(shape));
  auto* owned = new std::vector<double>(std::move(values));
  const py::capsule keeper(owned, [](void* kept) { delete static_cast<std::vector<double>*>(kept); });
  return DoubleArray(std::move(shape), owned->data(), keeper);
}

struct Motion {
  std::vector<std::string> joint_names;
  std::vector<std::string> source_bones;  // per joint, the source bone recognition gave it, or ""
  DoubleArray rotations;
  DoubleArray root_positions;
  double frame_time = 0;
};

// Reads a whole capture through the tool's pipeline up to the solve: the clip prepared as the tool
// prepares it (recognition, up axis and units, rest pose, clip range), then per frame the rotations
// the tool feeds the library. BVH only, or (any_format) BVH or FBX as the tool tells them apart.
Motion read_capture(const std::filesystem::path& path, const py::kwargs& keywords, const char* function,
                    bool any_format) {
  oxr::RetargetOptions options;
  apply_keywords(options, keywords, function);
  try {
    oxr::prepare_options(options);
  } catch (const oxr::ToolError& error) {
    raise_usage(error);
  }
  const double metres = oxr::metres_per_unit(options.units);
  Motion motion;
  std::vector<double> rotations;
  std::vector<double> positions;
  {
    py::gil_scoped_release release;
    const std::string name = path.string();
    std::ifstream in;
    std::unique_ptr<oxr::FrameSource> source;
    if (any_format) {
      source = oxr::open_motion_file(path, options);
    } else {
      in = oxr::open_input(path);
      try {
        source = std::make_unique<oxr::BvhFrameSource>(in, options.positions);
      } catch (oxr::Error& error) {
        error.in_file(name);
        throw;
      }
    }
    const oxr::Solver solver;
    const oxr::ClipPlan plan = [&] {
      try {
        return oxr::prepare_clip(*source, name, options, solver);
      } catch (const oxr::ToolError& error) {
        raise_usage(error);  // a range past the file's frames, a rest frame it lacks
      }
    }();
    motion.frame_time = plan.info.frame_time;
    motion.joint_names = plan.info.source_joints;
    motion.source_bones.assign(motion.joint_names.size(), std::string());
    std::vector<int> pair_of(motion.joint_names.size(), -1);
    for (std::size_t m = 0; m < plan.match.matched.size(); ++m) {
      const oxr::JointMatch::Pair& pair = plan.match.matched[m];
      motion.source_bones[static_cast<std::size_t>(pair.joint)] = pair.bone;
      pair_of[static_cast<std::size_t>(pair.joint)] = static_cast<int>(m);
    }
    const auto frames = static_cast<std::size_t>(std::max<std::int64_t>(plan.info.frame_count, 0));
    rotations.reserve(frames * motion.joint_names.size() * 4);
    positions.reserve(frames * 3);
    oxr::read_source(*source, plan, options, [&](std::int64_t, const oxr::SourceFrame& frame) {
      for (std::size_t j = 0; j < frame.local.size(); ++j) {
        const oxr::Quat q =
            pair_of[j] >= 0 ? frame.fed[static_cast<std::size_t>(pair_of[j])] : oxr::to_library_axes(frame.local[j]);
        rotations.insert(rotations.end(), q.begin(), q.end());
      }
      const oxr::Vec3 p = oxr::vector_to_library_axes(oxr::scale_vector(frame.position.front(), metres));
      positions.insert(positions.end(), p.begin(), p.end());
    });
  }
  const auto joints = static_cast<py::ssize_t>(motion.joint_names.size());
  const auto frames = static_cast<py::ssize_t>(positions.size() / 3);
  motion.rotations = adopt(std::move(rotations), {frames, joints, py::ssize_t{4}});
  motion.root_positions = adopt(std::move(positions), {frames, py::ssize_t{3}});
  return motion;
}

Motion read_bvh(const std::filesystem::path& path, const py::kwargs& keywords) {
  return read_capture(path, keywords, "read_bvh", false);
}

Motion read_motion(const std::filesystem::path& path, const py::kwargs& keywords) {
  return read_capture(path, keywords, "read_motion", true);
}

// The tool's pipeline on one file, with a retargeter of its own.
std::int64_t retarget_file(const std::filesystem::path& input, const std::filesystem::path& output,
                           const py::object& format, const py::kwargs& options) {
  const oxr::RetargetOptions settings = retarget_options(input, output, format, options);
  try {
    py::gil_scoped_release release;
    oxr::Solver solver;
    return oxr::retarget_file(input, output, settings, solver).frames;
  } catch (const oxr::ToolError& error) {
    raise_usage(error);  // a range past the file's frames
  }
}

class Retargeter {
 public:
  Retargeter(const std::optional<std::vector<std::string>>& kz_names,
             const std::optional<std::vector<std::string>>& ue_names) {
    if (kz_names.has_value() != ue_names.has_value()) {
      throw py::value_error("give both kz_names and ue_names, or neither for the built-in pairing");
    }
    if (kz_names) {
      if (kz_names->size() != ue_names->size()) {
        throw py::value_error("kz_names and ue_names must have the same length; got " +
                              std::to_string(kz_names->size()) + " and " + std::to_string(ue_names->size()));
      }
      prototype_ = oxr::Solver(*kz_names, *ue_names);
    }

    // Every source bone is fed every frame, at its T-pose unless the caller's names drive it.
    source_t_pose_ = oxr::source_skeleton().t_pose_local;
    const oxr::SkeletonData& target = oxr::target_skeleton();
    bones_ = target.names;
    parents_ = py::array_t<std::int64_t>(static_cast<py::ssize_t>(bones_.size()));
    for (std::size_t b = 0; b < bones_.size(); ++b)
      parents_.mutable_at(static_cast<py::ssize_t>(b)) = target.parents[b];
    meta_bones_ = prototype_.meta_bones();
    t_pose_ = DoubleArray({static_cast<py::ssize_t>(meta_bones_.size()), py::ssize_t{4}});
    for (std::size_t m = 0; m < meta_bones_.size(); ++m) {
      const oxr::Quat& q = prototype_.meta_t_pose()[m];
      std::copy(q.begin(), q.end(), t_pose_.mutable_data(static_cast<py::ssize_t>(m)));
    }
    // Shared with every caller: read-only.
    parents_.attr("setflags")(py::arg("write") = false);
    t_pose_.attr("setflags")(py::arg("write") = false);
  }

  static const std::vector<std::string>& source_bones() { return oxr::source_skeleton().names; }
  const std::vector<std::string>& meta_bones() const { return meta_bones_; }
  const std::vector<std::string>& bones() const { return bones_; }
  const py::array_t<std::int64_t>& parents() const { return parents_; }
  const DoubleArray& t_pose() const { return t_pose_; }

  py::array solve(const std::vector<std::string>& names, const py::object& rotations_value,
                  const py::object& order_value, bool fingers_t_pose) {
    const bool w_first = choice(order_value, "order", {"xyzw", "wxyz"}) == "wxyz";
    const DoubleArray rotations = DoubleArray::ensure(rotations_value);
    if (!rotations) throw py::type_error("rotations must be an array of numbers");
    const bool one_frame = rotations.ndim() == 2;
    if ((rotations.ndim() != 2 && rotations.ndim() != 3) || rotations.shape(rotations.ndim() - 1) != 4) {
      throw py::value_error("rotations must have shape (F, J, 4) or (J, 4); got " + shape_text(rotations));
    }
    const py::ssize_t frames = one_frame ? 1 : rotations.shape(0);
    const py::ssize_t joints = rotations.shape(rotations.ndim() - 2);
    if (static_cast<std::size_t>(joints) != names.size()) {
      throw py::value_error("names has " + std::to_string(names.size()) + " entries but rotations has " +
                            std::to_string(joints) + " joints (shape " + shape_text(rotations) + ")");
    }

    const std::vector<Drive> drives = drives_for(names);

    const auto meta_count = static_cast<py::ssize_t>(meta_bones_.size());
    std::vector<py::ssize_t> shape{frames, meta_count, 4};
    if (one_frame) shape.erase(shape.begin());
    DoubleArray result(shape);
    const double* in = rotations.data();
    double* out = result.mutable_data();
    {
      py::gil_scoped_release release;
      Lease lease(*this);
      std::vector<oxr::Quat> source = source_t_pose_;
      std::vector<oxr::Quat> meta(meta_bones_.size());
      for (py::ssize_t f = 0; f < frames; ++f) {
        const double* frame = in + f * joints * 4;
        for (const auto& [joint, slot] : drives) {
          const double* q = frame + joint * 4;
          source[slot] = w_first ? oxr::Quat{q[1], q[2], q[3], q[0]} : oxr::Quat{q[0], q[1], q[2], q[3]};
        }
        lease->solve(source, fingers_t_pose, meta);
        double* row = out + f * meta_count * 4;
        for (const oxr::Quat& q : meta) {
          const oxr::Quat values = w_first ? oxr::Quat{q[3], q[0], q[1], q[2]} : q;
          row = std::copy(values.begin(), values.end(), row);
        }
      }
    }
    return result;
  }

  // Seconds per frame of the plain library loop a C++ caller writes over flat arrays (set all 67
  // source bones, solve, and with read_poses read every meta bone's pose), on rotations (F, 67, 4)
  // in source bone order, x y z w. For the benchmark, beside solve on the same data.
  double library_seconds_per_frame(const DoubleArray& rotations, bool fingers_t_pose, bool read_poses) {
    const auto bones = static_cast<py::ssize_t>(source_t_pose_.size());
    if (rotations.ndim() != 3 || rotations.shape(1) != bones || rotations.shape(2) != 4) {
      throw py::value_error("rotations must have shape (F, " + std::to_string(bones) + ", 4)");
    }
    const py::ssize_t frames = rotations.shape(0);
    std::vector<double> out(static_cast<std::size_t>(frames) * meta_bones_.size() * 4);
    py::gil_scoped_release release;
    oxr::Solver solver(prototype_);
    std::vector<oxr::Quat> pose(source_t_pose_.size());
    std::vector<oxr::Quat> meta(meta_bones_.size());
    const auto start = std::chrono::steady_clock::now();
    const double* q = rotations.data();
    double* o = out.data();
    for (py::ssize_t f = 0; f < frames; ++f) {
      for (oxr::Quat& p : pose) {
        p = {q[0], q[1], q[2], q[3]};
        q += 4;
      }
      solver.solve(pose, fingers_t_pose, meta);
      if (!read_poses) continue;
      for (const oxr::Quat& r : meta) o = std::copy(r.begin(), r.end(), o);
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return frames > 0 ? elapsed.count() / static_cast<double>(frames) : 0.0;
  }

 private:
  // Input joint `joint` sets source slot `slot` (an index into source_names_).
  struct Drive {
    py::ssize_t joint;
    std::size_t slot;
  };

  // The input joints matched to source slots, with the tool's joint matching. The last list of
  // names is kept with its result, so that a caller solving frame by frame pays for it once.
  std::vector<Drive> drives_for(const std::vector<std::string>& names) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (names == last_names_) return last_drives_;
    }
    std::vector<Drive> drives;
    for (const oxr::JointMatch::Pair& pair : oxr::match_joints(names).matched) {
      drives.push_back({pair.joint, static_cast<std::size_t>(oxr::source_skeleton().index_of(pair.bone))});
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    last_names_ = names;
    last_drives_ = drives;
    return drives;
  }

  // A solving retargeter for one call: taken from the spares, or copied from the prototype when
  // other calls hold them all, so that threads solve at once on one Retargeter.
  class Lease {
   public:
    explicit Lease(Retargeter& owner) : owner_(owner) {
      const std::lock_guard<std::mutex> lock(owner_.mutex_);
      if (owner_.spares_.empty()) {
        retargeter_ = std::make_unique<oxr::Solver>(owner_.prototype_);
      } else {
        retargeter_ = std::move(owner_.spares_.back());
        owner_.spares_.pop_back();
      }
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() {
      const std::lock_guard<std::mutex> lock(owner_.mutex_);
      owner_.spares_.push_back(std::move(retargeter_));
    }
    oxr::Solver* operator->() const { return retargeter_.get(); }

   private:
    Retargeter& owner_;
    std::unique_ptr<oxr::Solver> retargeter_;
  };

  oxr::Solver prototype_;
  std::mutex mutex_;  // guards spares_ and the last names' drives
  std::vector<std::unique_ptr<oxr::Solver>> spares_;
  std::vector<std::string> last_names_;
  std::vector<Drive> last_drives_;
  std::vector<oxr::Quat> source_t_pose_;
  std::vector<std::string> meta_bones_;
  std::vector<std::string> bones_;
  py::array_t<std::int64_t> parents_;
  DoubleArray t_pose_;
};

PyObject* error_type = nullptr;  // oxretarget.Error, alive as long as the module

// Raises oxretarget.Error with the error's one line and its fields as attributes.
void raise_error(const oxr::Error& failure) {
  static const char* const kKinds[] = {"file", "usage", "output"};
  const py::object instance = py::handle(error_type)(oxr::python_text(failure));
  const auto text_or_none = [](const std::string& text) {
    return text.empty() ? py::object(py::none()) : py::str(text);
  };
  instance.attr("kind") = kKinds[static_cast<int>(failure.kind())];
  instance.attr("file") = text_or_none(failure.file());
  instance.attr("line") = failure.line() > 0 ? py::object(py::int_(failure.line())) : py::object(py::none());
  instance.attr("frame") = failure.frame() >= 0 ? py::object(py::int_(failure.frame())) : py::object(py::none());
  instance.attr("option") = text_or_none(failure.option());
  instance.attr("message") = failure.message();
  PyErr_SetObject(error_type, instance.ptr());
}

// The library's retargeter on numpy arrays.
void bind_retargeter(py::module_& m) {
  py::class_<Retargeter>(m, "Retargeter", R"(Retargets poses of the KZ source skeleton onto the UE target skeleton.

Retargeter() takes the built-in pairing (52 pairs); Retargeter(kz_names, ue_names) a pairing of one's
own, kz_names[i] driving ue_names[i] (names compare without regard to letter case). One object may
be used by several threads at once.)")
      .def(py::init<const std::optional<std::vector<std::string>>&, const std::optional<std::vector<std::string>>&>(),
           py::arg("kz_names") = py::none(), py::arg("ue_names") = py::none(),
           "Builds both skeletons in their T-pose and prepares the pairing. kz_names and ue_names go together\n"
           "and must have the same length.")
      .def_property_readonly_static(
          "source_bones", [](const py::object&) { return Retargeter::source_bones(); },
          "The 67 KZ source bones, in the skeleton's build order: the names solve matches.")
      .def_property_readonly("meta_bones", &Retargeter::meta_bones,
                             "Target bones of the pairing, in pairing order: the rows of solve's result.")
      .def_property_readonly("bones", &Retargeter::bones, "All 64 target bones, parents before children.")
      .def_property_readonly("parents", &Retargeter::parents,
                             "int64 array: for each of bones, the index of its parent in bones, -1 for the root.")
      .def_property_readonly("t_pose", &Retargeter::t_pose,
                             "float64 array (M, 4), x y z w: the local T-pose rotation of each meta bone, "
                             "relative to its parent.")
      .def("solve", &Retargeter::solve, py::arg("names"), py::arg("rotations"), py::arg("order") = "xyzw",
           py::arg("fingers_t_pose") = false, R"(Solves the target pose of every frame.

names: the J source bone names of the rotations' joints. They match the KZ bones as the tool matches
BVH joints: without regard to letter case, after removing a namespace prefix ("rig:Hips"); names
that are no KZ bone are skipped, a second name of the same bone too, and KZ bones not named stay at
their T-pose.
rotations: local rotations (relative to the parent, in the library's axes), an array (F, J, 4), or
(J, 4) for one frame; converted to float64. Quaternions x y z w, or w x y z with order="wxyz".
fingers_t_pose: keep every finger bone of the target in its T-pose.
Returns float64 (F, M, 4), or (M, 4) for one frame: the local rotation of each meta bone in pairing
order (M = 52 for the built-in pairing), in the same order of components as the input. The result
equals the C++ library's, bit for bit. Frames are solved in C++ with the GIL released.
Raises ValueError on a wrong shape or a names list whose length is not J.)")
      .def("_library_seconds_per_frame", &Retargeter::library_seconds_per_frame, py::arg("rotations"),
           py::arg("fingers_t_pose") = false, py::arg("read_poses") = true,
           "Benchmark helper: seconds per frame of the plain C++ library loop on rotations (F, 67, 4) in\n"
           "KZ bone order (set the source bones, solve, and with read_poses read the meta bones' poses).");
}

// The capture as arrays, and the functions over the tool's reader and pipeline with their options.
void bind_pipeline(py::module_& m) {
  py::class_<Motion>(m, "Motion", "A capture as arrays, from read_bvh or read_motion.")
      .def_readonly("joint_names", &Motion::joint_names, "The file's J joint names, in file order.")
      .def_readonly("source_bones", &Motion::source_bones,
                    "Per joint, the source bone recognition gave it (\"\" for none): names for solve().")
      .def_readonly("rotations", &Motion::rotations,
                    "float64 (F, J, 4), x y z w, library axes: per frame, for each joint that is a source bone\n"
                    "the rotation the tool feeds the library (against the file's rest pose), for the others\n"
                    "their local rotation, upright.")
      .def_readonly("root_positions", &Motion::root_positions,
                    "float64 (F, 3): the root joint's position per frame, upright, in metres, library axes.")
      .def_readonly("frame_time", &Motion::frame_time, "Seconds per frame (after fps=).")
      .def("__repr__", [](const Motion& motion) {
        return "<oxretarget.Motion: " + std::to_string(motion.rotations.shape(0)) + " frames, " +
               std::to_string(motion.joint_names.size()) + " joints>";
      });

  static const std::string options = options_doc();
  static const std::string read_doc = R"(Reads a BVH file through the oxretarget tool's pipeline; returns a Motion.

The clip is prepared as `oxretarget retarget` prepares it, with the same options and defaults: its
skeleton recognised, turned upright and sized (source_units, source_up), its rest pose found
(source_rest), trimmed and resampled (start, end, fps, mirror). rotations are what the tool feeds the
library: Retargeter().solve(motion.source_bones, motion.rotations) gives the tool's results bit for
bit. root_positions: the root joint's position, in metres.
Raises oxretarget.Error with the tool's one-line text ("walk.bvh: line 12: ...") on bad input,
TypeError on an unknown option, ValueError on an unknown value.

)" + options;
  m.def("read_bvh", &read_bvh, py::arg("path"), read_doc.c_str());

  static const std::string read_motion_doc =
      R"(Reads a BVH or FBX capture through the oxretarget tool's pipeline; returns a Motion.

As read_bvh, for any capture the tool reads: a .fbx file is read as an FBX capture (its skeleton,
the take that take= names or the first, at the take's rate or fps=), anything else as BVH.
Raises oxretarget.Error with the tool's one-line text on bad input.

)" + options;
  m.def("read_motion", &read_motion, py::arg("path"), read_motion_doc.c_str());

  static const std::string retarget_doc =
      R"(Retargets a BVH file and writes the results, as `oxretarget retarget INPUT -o OUTPUT` does.

format: )" +
      formats_doc() + R"(; by default taken from the output's extension (JSON when
it has none). The file written is byte for byte the tool's. Returns the number of frames.
Raises TypeError on an unknown option or a value of the wrong type, ValueError on an unknown value,
oxretarget.Error with the tool's one-line text on bad input or a failed write; a start or end past
the file's frames raises ValueError naming the file's frame count.

)" + options;
  m.def("retarget_file", &retarget_file, py::arg("input"), py::arg("output"), py::arg("format") = py::none(),
        retarget_doc.c_str());
}

}  // namespace

PYBIND11_MODULE(_oxretarget, m) {
  m.doc() = "Bindings of the retargeting library and of the oxretarget tool's reader and pipeline.";
  m.attr("__version__") = oxr::version();

  // Temporaries carry this host and process, as the tool's do, so that the tool's --resume can remove
  // those of a Python process that died.
  oxr::tag_temporaries_with_host();
  auto& error = py::register_exception<oxr::Error>(m, "Error", PyExc_RuntimeError);
  error.attr("__doc__") =
      "A failure of the tool's reader or pipeline: one line naming the file and, where it applies, the line\n"
      "or frame, as `oxretarget retarget` prints it. Its facts are attributes too: kind ('file', 'usage'\n"
      "or 'output'), file, line, frame, option (None where they do not apply) and message.";
  error_type = error.ptr();
  py::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const oxr::Error& failure) {
      raise_error(failure);
    }
  });

  bind_retargeter(m);
  bind_pipeline(m);
}
