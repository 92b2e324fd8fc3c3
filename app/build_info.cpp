#include "app/build_info.h"

#include "app/build_revision.h"

namespace build_info {
const char* version() { return QUILLMAR_BUILD_VERSION; }
const char* revision() { return QUILLMAR_BUILD_REVISION; }
}  // namespace build_info
