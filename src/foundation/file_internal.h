// Helpers shared by the file and folder sources.
#pragma once

#include <string>

#include <sys/stat.h>

#include "cert/platform.h"

namespace cert::foundation {

// ENOENT becomes ERROR_PATH_NOT_FOUND when the folder of `path` is missing
// too, ERROR_FILE_NOT_FOUND otherwise; other errno values map as usual.
DWORD PathError(int err, const std::string& path);
// FILE_ATTRIBUTE_* for a stat result and the entry's name.
DWORD AttributesOf(const struct stat& st, const std::string& name);

}  // namespace cert::foundation
