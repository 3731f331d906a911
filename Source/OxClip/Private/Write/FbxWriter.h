#pragma once

// The FBX result: a binary FBX 7.4 file of the target skeleton (limb nodes under the root bone, a
// bind pose), the clip as one take with a curve per animated channel, and the body mesh skinned to
// the bones unless the clip's mesh is none. Centimetres, +Y up, facing +Z; scale 1 on every node.

#include "PoseWriter.h"

#include <filesystem>
#include <memory>

namespace oxr {

std::unique_ptr<PoseWriter> make_fbx_writer(const std::filesystem::path& destination, const ClipInfo& info);

}  // namespace oxr
