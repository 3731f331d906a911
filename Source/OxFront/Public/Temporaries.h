#pragma once

// The temporaries a run leaves when it is killed mid-file, and their removal by a later run.

#include "OutputPlan.h"

#include <filesystem>

namespace oxr {

// Names this process in its temporaries by host and process id ("NAME.tmp-HOST-PID-N"), so that a
// later run can tell whether their writer still runs. Call it before any file is written.
void tag_temporaries_with_host();

// Removes the temporaries ("NAME.tmp-HOST-PID-N") beside `file` that a process of this host left
// and that no longer runs; temporaries of live processes or other hosts, and inputs, stay.
void remove_stale_temporaries(const std::filesystem::path& file, const OutputPlan& plan);

}  // namespace oxr
