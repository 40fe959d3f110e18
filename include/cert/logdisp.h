// The diagnostics dispatcher: appends lines to one log file.
//
// Line form: "YYYY-MM-DD HH:MM:SS.mmm <pid>:<tid> " + header + text + "\n"
// (local time). Put(text, number) writes the number in decimal right after
// the text. Every line is one append, so processes sharing the file do not
// interleave within a line. Output is off while there is no path or Flag is
// false; a failed write is dropped silently. All members are thread-safe.
#pragma once

#include <mutex>
#include <string>

#include "cert/export.h"
#include "cert/tools.h"

class CERT_API CLogDisp {
public:
    // `name`: a label kept for the host (unused in lines); `path`: the log
    // file, output starts on when given; `reportLevel`: the lowest level the
    // host wants reported (see GetReportLevel); `options`: reserved, 0.
    CLogDisp(const char* name = nullptr, const char* path = nullptr, unsigned long reportLevel = 0,
             unsigned long options = 0);
    virtual ~CLogDisp();
    CLogDisp(const CLogDisp&) = delete;
    CLogDisp& operator=(const CLogDisp&) = delete;

    // "\" in the path is read as "/". An empty path turns output off.
    void SetFullPathName(const char* path);
    std::string GetFullPathName() const;
    void Flag(bool on);
    bool Flag() const;
    unsigned long GetReportLevel() const;
    void SetReportLevel(unsigned long level);

    void Put(const char* text);
    void Put(const char* text, const char* header);
    void Put(const char* text, long number);

private:
    void Write(const char* header, const char* text, const char* tail);

    mutable std::mutex m_mutex;
    std::string m_name;
    std::string m_path;
    unsigned long m_level;
    bool m_on;
    int m_fd = -1;
};

// The host process's own dispatcher; null unless the host sets it.
extern CERT_API CLogDisp* pLogDisp;

// Where CLogObject and LogReport write: pLogDisp when set, else the
// dispatcher registered here (the library registers its own at load).
CERT_API void SetDefaultLogDisp(CLogDisp* disp);
CERT_API CLogDisp* CurrentLogDisp();

// Marks a traced scope: "> name" on entry and "< name" on exit, when a
// dispatcher is on.
class CERT_API CLogObject {
public:
    explicit CLogObject(const char* name);
    ~CLogObject();
    CLogObject(const CLogObject&) = delete;
    CLogObject& operator=(const CLogObject&) = delete;

private:
    std::string m_name;
};

// Writes "[<level>] <text> (<sourceFile>:<line>)" to the current dispatcher
// when its report level allows. Returns 1 when written, 0 when not; it never
// asks the caller to break into a debugger (4).
CERT_API int LogReport(int level, const char* text, const char* sourceFile, int line);
