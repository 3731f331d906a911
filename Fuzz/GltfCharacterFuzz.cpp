// libFuzzer entry point: a glTF character (or rig) with a buffer and an image beside it. The input is
// "G" or "B" (a .gltf or a .glb), then the file, "\n--bin--\n" the bytes of b.bin and "\n--img--\n"
// those of i.png. Reading either refuses with ToolError or succeeds; a character read adds a clip,
// and the result is read back as a character.
#include "Character.h"
#include "DemoClip.h"
#include "FuzzFiles.h"
#include "Retarget.h"
#include "Rig.h"
#include "Solver.h"
#include "ToolError.h"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

namespace {

// The demo clip cut to its first two frames: enough to write an animation.
const std::filesystem::path& short_clip() {
  static const std::filesystem::path path = [] {
    std::ostringstream text;
    oxr::write_demo_clip(text);
    std::string clip = text.str();
    const auto frames = clip.find("Frames:");
    const auto rows = clip.find('\n', clip.find("Frame Time:")) + 1;
    const auto second = clip.find('\n', clip.find('\n', rows) + 1) + 1;
    clip = clip.substr(0, frames) + "Frames: 2\n" + clip.substr(clip.find("Frame Time:"), second - clip.find("Frame Time:"));
    return fuzz::write("clip.bvh", clip);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const bool binary = data[0] == 'B';
  const std::string_view file = fuzz::piece(input, "\n--bin--\n", 0);
  const std::string_view rest = input.substr(std::min(input.size(), file.size() + 9));
  fuzz::write("b.bin", fuzz::piece(rest, "\n--img--\n", 0));
  fuzz::write("i.png", fuzz::piece(rest, "\n--img--\n", 1));
  const auto path = fuzz::write(binary ? "c.glb" : "c.gltf", file);
  static oxr::Solver solver;
  try {
    (void)oxr::read_target_rig(path, oxr::Units::Cm);
  } catch (const oxr::ToolError&) {
  }
  try {
    oxr::RetargetOptions options;
    options.character = oxr::Character::read(path, oxr::Units::Cm);
    options.rig = std::make_shared<const oxr::RigPositions>(options.character->rig());
    options.format = binary ? oxr::Format::Glb : oxr::Format::Gltf;
    const auto out = fuzz::folder() / (binary ? "out.glb" : "out.gltf");
    oxr::retarget_file(short_clip(), out, options, solver);
    // What was written is a character too, with the clip added once more.
    (void)oxr::Character::read(out, oxr::Units::Cm);
  } catch (const oxr::ToolError&) {
  }
  return 0;
}
