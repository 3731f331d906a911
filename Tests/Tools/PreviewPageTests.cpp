// The preview page's embedded clip, read back with a JSON parser and a base64 decoder written here.
// What the page draws is checked in a browser (Tests/Browser).
#include "PreviewPage.h"
#include "ToolError.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

std::vector<unsigned char> from_base64(const std::string& text) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<unsigned char> bytes;
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    const std::size_t value = alphabet.find(c);
    if (value == std::string::npos) ADD_FAILURE() << "not base64: " << c;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<unsigned char>((bits >> count) & 0xFF));
    }
  }
  return bytes;
}

// Little-endian float32 bytes, whatever the host.
std::vector<unsigned char> float_bytes(const std::vector<float>& values) {
  std::vector<unsigned char> bytes;
  for (float v : values) {
    const auto word = std::bit_cast<std::uint32_t>(v);
    for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<unsigned char>(word >> (8 * k)));
  }
  return bytes;
}

// source: root -> LeftArm;  target: pelvis -> hand_r -> index_01_r. Three frames.
oxr::PreviewClip sample_clip() {
  oxr::PreviewClip clip;
  clip.title = "walk </script><!-- & \"x\" \xc3\xbc\xff.bvh";  // ends with a byte that is not UTF-8
  clip.frame_time = 1.0 / 120.0;
  clip.frames = 3;
  clip.source = {{"root", "LeftArm"}, {-1, 0}, {}};
  clip.target = {{"pelvis", "hand_r", "index_01_r"}, {-1, 0, 1}, {}};
  const float awkward[] = {-0.0f, 1e-42f, 3.4e38f, -1.0f / 3.0f, 0.1f, 1.75f};
  for (std::size_t i = 0; i < 3 * 2 * 3; ++i)
    clip.source.positions.push_back(i % 2 == 0 ? awkward[i % 6] : -awkward[i % 6]);
  for (std::size_t i = 0; i < 3 * 3 * 3; ++i) clip.target.positions.push_back(awkward[(i + 2) % 6] - float(i));
  return clip;
}

TEST(PreviewPage, EmbedsTheClipExactlyAndSafely) {
  oxr::PreviewClip clip = sample_clip();
  // A .gltf character whose bytes and resource URI hold what could end a script.
  clip.character = oxr::PreviewCharacter{
      false, "{\"asset\":{\"version\":\"2.0\"}} </script><!--", {{"a </script> & b.bin", std::string("\0\xff<", 3)}}};
  std::ostringstream out;
  oxr::write_preview_page(out, clip);
  const std::string page = out.str();

  // The clip is a JSON object between "const OXR_CLIP = " and ";" that nothing in it can end early.
  const std::string start = "const OXR_CLIP = ";
  const std::size_t at = page.find(start);
  ASSERT_NE(at, std::string::npos);
  const std::size_t begin = at + start.size();
  const std::size_t end = page.find(";\n</script>", begin);
  ASSERT_NE(end, std::string::npos);
  const std::string embedded = page.substr(begin, end - begin);
  EXPECT_EQ(embedded.find_first_of("<>&"), std::string::npos);
  const nlohmann::json json = nlohmann::json::parse(embedded);

  EXPECT_EQ(json["title"], "walk </script><!-- & \"x\" \xc3\xbc\xef\xbf\xbd.bvh");
  EXPECT_EQ(json["frameTime"].get<double>(), clip.frame_time);
  EXPECT_EQ(json["frames"], 3);
  for (const auto& [name, figure] : {std::pair{"source", &clip.source}, std::pair{"target", &clip.target}}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(json[name]["joints"].get<std::vector<std::string>>(), figure->joints);
    EXPECT_EQ(json[name]["parents"].get<std::vector<int>>(), figure->parents);
    EXPECT_EQ(from_base64(json[name]["positions"].get<std::string>()), float_bytes(figure->positions));
  }

  // The character: a JSON object of its own, its bytes and its resources' exactly.
  const std::string character_start = "const OXR_CHARACTER = ";
  const std::size_t character_at = page.find(character_start);
  ASSERT_NE(character_at, std::string::npos);
  const std::size_t character_begin = character_at + character_start.size();
  const std::string character_text =
      page.substr(character_begin, page.find(";\n</script>", character_begin) - character_begin);
  EXPECT_EQ(character_text.find_first_of("<>&"), std::string::npos);
  const nlohmann::json character = nlohmann::json::parse(character_text);
  EXPECT_EQ(character["binary"], false);
  const auto bytes = [](std::string_view text) { return std::vector<unsigned char>(text.begin(), text.end()); };
  EXPECT_EQ(from_base64(character["file"].get<std::string>()), bytes(clip.character->file));
  EXPECT_EQ(from_base64(character["resources"]["a </script> & b.bin"].get<std::string>()),
            bytes(std::string_view("\0\xff<", 3)));

  // The title as text: escaped in the heading and the tab, so the page keeps its four scripts.
  EXPECT_NE(page.find("<h1>walk &lt;/script&gt;&lt;!-- &amp; &quot;x&quot; \xc3\xbc"), std::string::npos);
  std::size_t closings = 0;
  for (std::size_t at = page.find("</script"); at != std::string::npos; at = page.find("</script", at + 1)) ++closings;
  EXPECT_EQ(closings, 4u);
}

// Bad data is refused with an error of type Error whose message holds `message`, before any output.
template <typename Error>
void expect_refused(const oxr::PreviewClip& clip, const std::string& message) {
  std::ostringstream out;
  try {
    oxr::write_preview_page(out, clip);
    ADD_FAILURE() << "accepted; expected: " << message;
  } catch (const Error& error) {
    EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
  }
  EXPECT_TRUE(out.str().empty());
}

TEST(PreviewPage, RefusesBrokenClipsBeforeWritingAnything) {
  // A value the user's data can produce: the tool reports it as one line.
  oxr::PreviewClip clip = sample_clip();
  clip.target.positions[3 * 3 + 3 * 2 + 1] = std::numeric_limits<float>::quiet_NaN();  // frame 1, joint 2, y
  expect_refused<oxr::ToolError>(clip, "frame 1: the target joint index_01_r has no finite position");
  // Shapes only a caller's mistake produces.
  clip = sample_clip();
  clip.source.positions.pop_back();
  expect_refused<std::invalid_argument>(clip, "the source has 17 position values, 3 frames x 2 joints x 3 expected");
  clip = sample_clip();
  clip.target.parents = {-1, 2, 1};
  expect_refused<std::invalid_argument>(clip, "the parent of target joint hand_r does not precede it");
  clip = sample_clip();
  clip.frame_time = 0;
  expect_refused<std::invalid_argument>(clip, "frame time");
}

}  // namespace
