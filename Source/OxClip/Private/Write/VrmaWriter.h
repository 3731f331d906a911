#pragma once

#include "PoseWriter.h"

#include <filesystem>
#include <memory>

namespace oxr {

// VRM Animation (.vrma): the VRMC_vrm_animation extension over the humanoid bones the target has, one
// animation of their rotations and the hips' position, for any VRM to play.
std::unique_ptr<PoseWriter> make_vrma_writer(const std::filesystem::path& destination, const ClipInfo& info);

}  // namespace oxr
