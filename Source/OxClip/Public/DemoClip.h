#pragma once

#include <ostream>

namespace oxr {

// Writes the built-in sample: a clip of the source skeleton at 30 frames per second, in file axes
// (Y up, facing +Z): a second of T-pose, both arms raised overhead and lowered, a quarter turn in
// place, a knee bend and a finger curl.
void write_demo_clip(std::ostream& out);

// Number of frames write_demo_clip writes.
int demo_clip_frames();

}  // namespace oxr
