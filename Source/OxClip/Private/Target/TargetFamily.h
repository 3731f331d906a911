#pragma once

// Built-in target skeletons of the common rig families (--target): the mannequin's bones a family has,
// under the family's names and in its hierarchy, in the mannequin's proportions.

#include "PoseWriter.h"
#include "Retarget.h"
#include "Rig.h"

#include <filesystem>
#include <memory>

namespace oxr {

// Writes results on the family's skeleton in `format`: each of its joints plays the mannequin bone it
// is named after and turns by that bone's world change from the rest (a joint whose chain is shorter,
// as Mixamo's spine, halfway along the chain it stands for). Family::Mannequin writes the target
// skeleton itself.
std::unique_ptr<PoseWriter> make_family_writer(TargetFamily family, Format format,
                                               const std::filesystem::path& destination, const ClipInfo& info);

// The family's name for a target bone ("mixamorig:LeftArm" for upperarm_l); empty for a bone the family
// lacks.
std::string family_bone_name(TargetFamily family, const std::string& target_bone);

}  // namespace oxr
