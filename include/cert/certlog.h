// The library log (one file per host executable, beside the library) and
// the diagnostics dispatcher's entry point.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "cert/export.h"
#include "cert/platform.h"

// Writes `text` through the library's diagnostics dispatcher when it exists,
// is on and `level` reaches its report level, with the header
// "<mark> <source>: " (mark '.' level 0, '+' 1, '#' 2, '?' otherwise).
CERT_API void CertPutLogFormatted(const char* text, const char* source, int level);

namespace CertDll {

enum class LogLevel : int { Debug = 0, Info = 1, Warn = 2, Error = 3, Fatal = 4 };

// The seven-character label of a level ("Info:  " for unknown levels).
CERT_API const char* LogLevelLabel(LogLevel level);

class CERT_API Log {
public:
    // `name` is the file name after the host's base name and a dot; the file
    // lives in the temporary folder when `useTempFolder` is non-zero, else
    // in $CERT_LOG_DIR or, without it, the folder of the library module.
    Log(const char* name, int useTempFolder, bool enabled);
    virtual ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // One record: the level label, the place (a qualified method name) and
    // the printf-formatted message. Debug records are never written; a
    // record that cannot be written is lost.
    void Write(const std::string& format, LogLevel level, const char* place, ...);
    // The format and %s/%c arguments are UTF-16 (%hs takes 8-bit text); the
    // message is written as UTF-8.
    void WriteWide(const std::u16string& format, LogLevel level, const char* place, ...);
    // The message gets "Last error: " + the text of the thread's last error.
    void WriteLastError(const std::string& format, LogLevel level, const char* place, ...);

    void SetEnabled(bool enabled);
    bool Enabled() const;
    // The file path; empty until the first record has been attempted.
    std::string FullPath() const;

    // A file reaching this size is moved to its path + ".old".
    static constexpr long long kRotateSize = 0x800000;
    // Longest message of one record (longer ones are cut).
    static constexpr std::size_t kMessageBuffer = 8192;

private:
    void WriteMessage(const char* message, LogLevel level, const char* place);
    bool Open();
    void Close();

    mutable std::recursive_mutex lock_;
    int file_ = -1;
    std::string fullPath_;
    std::string name_;
    bool enabled_;
    int useTempFolder_;
};

// The library's one log ("cert.log", beside the library, enabled).
CERT_API Log& GetLog();

}  // namespace CertDll
