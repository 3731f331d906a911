#pragma once

// A glTF 2.0 file (.glb or .gltf) read for its node tree, within bounds: the JSON is nested at most
// kGltfMaxDepth levels (checked before it is parsed), images are kept as bytes and never decoded,
// external buffers and images are read only from regular files beside the file or below its folder.
// The JSON text and the glb's binary chunk are kept byte for byte.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <tiny_gltf.h>

namespace oxr {

inline constexpr std::size_t kGltfMaxDepth = 64;

struct GltfFile {
  tinygltf::Model model;
  bool binary = false;
  std::string json;                          // the JSON as the file holds it
  std::string bin;                           // the glb's binary chunk
  std::vector<std::filesystem::path> files;  // the external files it refers to (buffers, images)
};

// Reads the file; `what` names its role in messages ("character", "rig"). Throws ToolError naming
// the file on anything that is not a readable glTF 2.0 file.
GltfFile read_gltf(const std::filesystem::path& path, std::string_view what);

// Throws ToolError naming `file` when the JSON text nests arrays and objects deeper than `limit`.
// Linear, and safe on any bytes.
void check_json_depth(std::string_view text, std::size_t limit, const std::string& file);

}  // namespace oxr
