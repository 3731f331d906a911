#pragma once

#include <string_view>

// Files of the preview page, compiled into the tool (EmbedFiles.cmake generates the definitions).
namespace oxr::preview_assets {

std::string_view page_html();      // the page, with @@NAME@@ placeholders
std::string_view viewer_js();      // the player
std::string_view three_js();       // the minified three.js bundle
std::string_view three_license();  // its licence text

}  // namespace oxr::preview_assets
