// The file primitives behind the whole-file functions of platform.h, for the
// layers above that replace files their own way (copying, moving). Errors are
// Windows codes; nothing here throws.
#pragma once

#include <cstddef>
#include <string>

#include "cert/platform.h"

namespace cert::platform {

// errno of a failed call on `path` as a Windows code: ENOENT is
// ERROR_PATH_NOT_FOUND when the folder of `path` is missing too,
// ERROR_FILE_NOT_FOUND otherwise.
DWORD PathError(int err, const std::string& path);

// Writes all `size` bytes (retrying short writes and EINTR); 0 or errno.
int WriteAll(int fd, const void* data, std::size_t size);

// Reads `fd` to its end into `out` (emptied first), at most `limit` bytes;
// `sizeHint` is what fstat said, to read a regular file into one buffer.
// Bytes are never left behind in freed memory. ERROR_SUCCESS,
// ERROR_FILE_TOO_LARGE (out emptied) or the error of read(2).
DWORD ReadAllFromFd(int fd, std::string& out, std::size_t limit, std::size_t sizeHint);

// Names written on the other platform differ from ours in case only, so
// existing entries are looked up without regard to case.
// The entry of `folder` (empty: the current folder) that equals `name` but
// for case, or `name` itself when it exists as given or nothing matches.
std::string OnDiskSpelling(const std::string& folder, const std::string& name);
// `base` followed by the components of `relative` ('/' or '\' separated),
// each spelled as an existing entry spells it; a component that does not
// exist (and everything below it) keeps the spelling given.
std::string ResolveNoCase(const std::string& base, const std::string& relative);

// New content for a path, by the rules of WriteFileAtomic: for a regular
// file (or none) a work copy in the same folder, made under an unpredictable
// name, created exclusively, never through a link and with its final mode
// before anything is written; for a device or FIFO the path itself, opened
// in place. Nothing is kept unless Commit succeeds.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // `mode` as for WriteFileAtomic. With `mustNotExist` anything at `path`
    // is ERROR_FILE_EXISTS, and Commit will not replace what appears there
    // meanwhile.
    DWORD Open(const std::string& path, unsigned mode, bool mustNotExist = false);
    int Fd() const { return m_fd; }
    // Written in place (a device or FIFO) rather than through a work copy.
    bool InPlace() const { return m_inPlace; }
    DWORD Write(const void* data, std::size_t size);
    // Syncs and closes; a work copy then takes the place of the path and the
    // folder is synced.
    DWORD Commit();

private:
    DWORD CreateWork(unsigned mode, bool exactMode);
    DWORD OpenInPlace();
    void Discard();

    std::string m_path;
    std::string m_work;
    int m_fd = -1;
    bool m_inPlace = false;
    bool m_mustNotExist = false;
};

}  // namespace cert::platform
