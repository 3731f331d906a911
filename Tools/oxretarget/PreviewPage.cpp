#include "PreviewPage.h"

#include "PreviewAssets.h"
#include "ToolError.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace oxr {
namespace {

void write(std::ostream& out, std::string_view text) {
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// Text for HTML element content and quoted attribute values.
std::string html_escape(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

// A JSON value that is safe inside a <script> element: ASCII only (invalid UTF-8 replaced), and "<",
// ">" and "&", which JSON only holds inside strings, written as \u escapes.
std::string script_json(const nlohmann::json& value) {
  const std::string json = value.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
  std::string safe;
  safe.reserve(json.size());
  for (char c : json) {
    switch (c) {
      case '<':
        safe += "\\u003c";
        break;
      case '>':
        safe += "\\u003e";
        break;
      case '&':
        safe += "\\u0026";
        break;
      default:
        safe += c;
    }
  }
  return safe;
}

// A relative file name as a URL path: every byte but unreserved characters and "/" percent-encoded.
std::string url_path(std::string_view path) {
  std::string encoded;
  for (unsigned char c : path) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      encoded += static_cast<char>(c);
    } else {
      fmt::format_to(std::back_inserter(encoded), "%{:02X}", c);
    }
  }
  return encoded;
}

// Bytes as base64, streamed in blocks; byte_at(i) gives byte i of count.
template <typename ByteAt>
void write_base64(std::ostream& out, std::size_t byte_count, ByteAt byte_at) {
  static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::array<char, 4096> block{};
  std::size_t used = 0;
  for (std::size_t i = 0; i < byte_count; i += 3) {
    const std::size_t left = byte_count - i;
    const std::uint32_t triple =
        (byte_at(i) << 16) | (left > 1 ? byte_at(i + 1) << 8 : 0u) | (left > 2 ? byte_at(i + 2) : 0u);
    block[used++] = kAlphabet[(triple >> 18) & 63];
    block[used++] = kAlphabet[(triple >> 12) & 63];
    block[used++] = left > 1 ? kAlphabet[(triple >> 6) & 63] : '=';
    block[used++] = left > 2 ? kAlphabet[triple & 63] : '=';
    if (used == block.size()) {
      out.write(block.data(), static_cast<std::streamsize>(used));
      used = 0;
    }
  }
  out.write(block.data(), static_cast<std::streamsize>(used));
}

// The floats as base64 of their little-endian float32 bytes.
void write_base64_floats(std::ostream& out, const std::vector<float>& values) {
  write_base64(out, values.size() * 4, [&values](std::size_t i) {
    return static_cast<std::uint32_t>((std::bit_cast<std::uint32_t>(values[i / 4]) >> (8 * (i % 4))) & 0xFFu);
  });
}

void write_base64_bytes(std::ostream& out, std::string_view bytes) {
  write_base64(out, bytes.size(),
               [bytes](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])); });
}

// {"binary":B,"file":BASE64,"resources":{URI:BASE64,...}}, or null.
void write_character(std::ostream& out, const std::optional<PreviewCharacter>& character) {
  if (!character) {
    write(out, "null");
    return;
  }
  write(out, character->binary ? "{\"binary\":true,\"file\":\"" : "{\"binary\":false,\"file\":\"");
  write_base64_bytes(out, character->file);
  write(out, "\",\"resources\":{");
  bool first = true;
  for (const auto& [uri, bytes] : character->resources) {
    if (!first) write(out, ",");
    first = false;
    write(out, script_json(uri));
    write(out, ":\"");
    write_base64_bytes(out, bytes);
    write(out, "\"");
  }
  write(out, "}}");
}

void check_figure(const PreviewFigure& figure, std::int64_t frames, std::string_view which) {
  const std::size_t joints = figure.joints.size();
  if (figure.parents.size() != joints) {
    throw std::invalid_argument(
        fmt::format("preview: the {} has {} joint names but {} parents", which, joints, figure.parents.size()));
  }
  for (std::size_t j = 0; j < joints; ++j) {
    if (figure.parents[j] < -1 || figure.parents[j] >= static_cast<int>(j)) {
      throw std::invalid_argument(
          fmt::format("preview: the parent of {} joint {} does not precede it", which, figure.joints[j]));
    }
  }
  if (figure.positions.size() != static_cast<std::size_t>(frames) * joints * 3) {
    throw std::invalid_argument(
        fmt::format("preview: the {} has {} position values, {} frames x {} joints x 3 expected", which,
                    figure.positions.size(), frames, joints));
  }
  for (std::size_t i = 0; i < figure.positions.size(); ++i) {
    if (!std::isfinite(figure.positions[i])) {
      throw ToolError(fmt::format("the {} joint {} has no finite position", which, figure.joints[i / 3 % joints]))
          .at_frame(static_cast<std::int64_t>(i / (joints * 3)));
    }
  }
}

void write_figure(std::ostream& out, const PreviewFigure& figure) {
  write(out, "{\"joints\":");
  write(out, script_json(figure.joints));
  write(out, ",\"parents\":");
  write(out, script_json(figure.parents));
  if (figure.sides.size() == figure.joints.size()) {
    write(out, ",\"sides\":");
    write(out, script_json(figure.sides));
  }
  write(out, ",\"positions\":\"");
  write_base64_floats(out, figure.positions);
  write(out, "\"}");
}

}  // namespace

void write_preview_page(std::ostream& out, const PreviewClip& clip) {
  if (clip.frames < 1) throw std::invalid_argument("preview: a clip needs at least one frame");
  if (!(clip.frame_time > 0) || !std::isfinite(clip.frame_time)) {
    throw std::invalid_argument("preview: the frame time must be a positive number of seconds");
  }
  check_figure(clip.source, clip.frames, "source");
  check_figure(clip.target, clip.frames, "target");

  // The template's placeholders, in the order they appear: text up to "@@NAME@@", then NAME's value.
  std::string_view rest = preview_assets::page_html();
  for (;;) {
    const std::size_t open = rest.find("@@");
    if (open == std::string_view::npos) break;
    const std::size_t close = rest.find("@@", open + 2);
    if (close == std::string_view::npos) throw std::logic_error("preview template: unclosed placeholder");
    write(out, rest.substr(0, open));
    const std::string_view name = rest.substr(open + 2, close - open - 2);
    rest.remove_prefix(close + 2);
    if (name == "TITLE") {
      write(out, html_escape(clip.title));
    } else if (name == "THREE_LICENSE") {
      write(out, preview_assets::three_license());
    } else if (name == "THREE") {
      write(out, preview_assets::three_js());
    } else if (name == "VIEWER") {
      write(out, preview_assets::viewer_js());
    } else if (name == "CLIP") {
      write(out, fmt::format("{{\"title\":{},\"frameTime\":{:.17g},\"frames\":{},\"source\":", script_json(clip.title),
                             clip.frame_time, clip.frames));
      write_figure(out, clip.source);
      write(out, ",\"target\":");
      write_figure(out, clip.target);
      write(out, "}");
    } else if (name == "CHARACTER") {
      write_character(out, clip.character);
    } else {
      throw std::logic_error("preview template: unknown placeholder " + std::string(name));
    }
  }
  write(out, rest);
}

void write_preview_index(std::ostream& out, const std::vector<PreviewIndexEntry>& entries) {
  write(out, R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'">
<title>OxRetarget preview</title>
<style>
  body { margin: 24px; background: #1d2025; color: #e4e6ea; font: 14px/1.5 system-ui, sans-serif; }
  h1 { font-size: 20px; font-weight: 600; }
  table { border-collapse: collapse; }
  th, td { padding: 6px 14px; border-bottom: 1px solid #3b414b; text-align: left; vertical-align: top; }
  .number { text-align: right; font-variant-numeric: tabular-nums; }
  a { color: #7cc0ff; }
  ul { margin: 0; padding-left: 1.2em; color: #ffc27a; }
  .none { color: #9aa0a8; }
</style>
</head>
<body>
<h1>OxRetarget preview</h1>
)");
  fmt::memory_buffer buffer;
  auto it = std::back_inserter(buffer);
  fmt::format_to(it, "<p>{} {}. Open one to play its source and target side by side.</p>\n", entries.size(),
                 entries.size() == 1 ? "clip" : "clips");
  fmt::format_to(it,
                 "<table>\n<thead><tr><th>Clip</th><th class=\"number\">Frames</th><th class=\"number\">Length</th>"
                 "<th>Warnings</th></tr></thead>\n"
                 "<tbody>\n");
  for (const PreviewIndexEntry& entry : entries) {
    fmt::format_to(it,
                   "<tr><td><a href=\"{}\">{}</a></td><td class=\"number\">{}</td><td class=\"number\">{:.2f} s</td>",
                   url_path(entry.page), html_escape(entry.title), entry.frames, entry.seconds);
    if (entry.warnings.empty()) {
      fmt::format_to(it, "<td class=\"none\">none</td></tr>\n");
    } else {
      fmt::format_to(it, "<td><ul>");
      for (const std::string& warning : entry.warnings) fmt::format_to(it, "<li>{}</li>", html_escape(warning));
      fmt::format_to(it, "</ul></td></tr>\n");
    }
  }
  fmt::format_to(it, "</tbody>\n</table>\n</body>\n</html>\n");
  out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
}

}  // namespace oxr
