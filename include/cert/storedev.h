// Key container paths and their storage device form.
//
// A device path names a storage device and a container on it:
//
//     \\.\<device>\<container>
//     \\.\<device>\<folder>\<container>      (the folder may have several parts)
//
// The device name is one or more of [A-Za-z0-9_-] (matched ignoring case,
// e.g. DISK for containers kept in files, or the name of a removable
// device); the container is the last part, empty when the path ends in "\"
// or names the device only. "/" is read like "\"; results use "\". Any
// other path is a plain container name, not on a device.
#pragma once

#include "cert/export.h"
#include "cert/tools.h"

namespace storedev {

// The device name of a device path ("DISK" for "\\.\DISK\a"), empty for a
// path that is not one.
CERT_API CTOOString GetStorageName(const char* path);

// Splits `path`. `onDevice` is set for a device path; then `folder` gets the
// storage part (the device and any folder, "\\.\DISK\keys") and `container`
// the last part. A plain name gives onDevice false, an empty folder and the
// name itself as container. Any output may be null. False (outputs cleared)
// for a malformed device path: an empty or bad device name, or an empty
// folder part ("\\.\DISK\\a").
CERT_API bool ParseFullPath(const char* path, bool* onDevice, CTOOString* folder, CTOOString* container);

// Joins a storage part (as ParseFullPath gives it, trailing separators
// ignored), a container name and an optional further part into `out`:
// folder + "\" + container [+ "\" + extra]. An empty container with an empty
// extra gives folder + "\", the path of the storage itself. False when
// `folder` is not a device path or a part is malformed (a separator in the
// container name).
CERT_API bool MakeFullPath(CTOOString& out, const char* folder, const char* container, const char* extra = nullptr);

}  // namespace storedev
