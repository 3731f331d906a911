#pragma once

namespace oxr {

// The project's version ("MAJOR.MINOR.PATCH"), as the build set it: printed by the tool, returned by
// the Python package and written into every file the tool makes.
const char* version();

}  // namespace oxr
