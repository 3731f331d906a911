#include "Version.h"

namespace oxr {

const char* version() { return OXRETARGET_VERSION; }

}  // namespace oxr
