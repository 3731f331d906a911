#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace oxr {

// A skeleton's joints and their world positions in every frame of a clip.
struct PreviewFigure {
  std::vector<std::string> joints;  // joint names
  std::vector<int> parents;         // parent index per joint, -1 for a root; parents precede children
  std::vector<float> positions;     // frame-major: frames x joints x 3, metres, +Y up, right-handed, facing +Z
  std::vector<int> sides = {};      // per joint 0 centre, 1 left, 2 right (recognition's); empty: from names
};

// A character drawn as its skinned mesh, playing the clip: its glTF file with the result as the last
// animation (keys at frame x frame time), and for a .gltf the files its relative URIs name (buffers,
// images), by URI as written in the file.
struct PreviewCharacter {
  bool binary = true;  // glb; else the JSON of a .gltf
  std::string file;
  std::vector<std::pair<std::string, std::string>> resources = {};  // URI, bytes
};

// One clip as the preview page plays it: the source and the target on one timeline.
struct PreviewClip {
  std::string title;      // shown on the page (the input file name)
  double frame_time = 0;  // seconds per frame
  std::int64_t frames = 0;
  PreviewFigure source;                            // drawn on the left
  PreviewFigure target;                            // drawn on the right
  std::optional<PreviewCharacter> character = {};  // drawn on the right instead of the target's bones
};

// Writes one self-contained HTML page (three.js and the motion embedded; no network access) that plays
// the clip: source left, target right, one timeline and one camera. Throws std::invalid_argument on a
// clip that breaks the shapes above (no frame, a frame time that is not positive, position counts that
// do not match) and ToolError ("frame N: ...") on a position that is not finite; nothing is written then.
void write_preview_page(std::ostream& out, const PreviewClip& clip);

// A line of the index page.
struct PreviewIndexEntry {
  std::string page;  // file name of the clip's page, relative to the index
  std::string title;
  std::int64_t frames = 0;
  double seconds = 0;
  std::vector<std::string> warnings;  // QA warnings, empty for now
};

// Writes index.html: a table of every clip with a link to its page, its frame count, its length and its
// warnings.
void write_preview_index(std::ostream& out, const std::vector<PreviewIndexEntry>& entries);

}  // namespace oxr
