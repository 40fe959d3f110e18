// Helpers shared by the file and folder sources.
#pragma once

#include <string>

#include <sys/stat.h>

#include "cert/platform.h"

namespace cert::foundation {

// FILE_ATTRIBUTE_* for a stat result and the entry's name.
DWORD AttributesOf(const struct stat& st, const std::string& name);

}  // namespace cert::foundation
