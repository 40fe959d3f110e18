// Structured files: fixed-size record files, section files and the
// machine-wide list of key containers. Layouts are in docs/FORMATS.md.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "cert/export.h"
#include "cert/tools.h"

// ---------------------------------------------------------------------------
// A file of fixed-size records behind a header. Every operation returns
// false on failure and leaves the status in GetRetCode() (0 after success)
// and a text in GetErrText(). Add and Put hold an exclusive lock on the file
// for the write and the count update, Get and Size a shared one, so
// processes sharing the file see whole records only.
class CERT_API CRecFile {
public:
    // Open modes. The mode texts of the file class map onto them: "wb" and
    // "wbc" create, "rb+" and "rbc+" update, "rb" and "rbc" read.
    enum : int {
        ModeCreate = 0,    // new empty file (an existing one is emptied)
        ModeUpdate = 1,    // read and write; a missing file is created
        ModeReadOnly = 2,  // writes fail with TOOERR_READONLY (108)
    };

    CRecFile() = default;
    CRecFile(const char* name, int mode, long recordSize, long userHeaderSize = 0);
    CRecFile(const char* name, const char* modeText, long recordSize, long userHeaderSize = 0);
    virtual ~CRecFile();
    CRecFile(const CRecFile&) = delete;
    CRecFile& operator=(const CRecFile&) = delete;

    bool Open(const char* name, int mode, long recordSize, long userHeaderSize = 0);
    bool Open(const char* name, const char* modeText, long recordSize, long userHeaderSize = 0);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }

    // The record count as the file's header holds it now (-1 when closed).
    long Size();
    // Sets the count that the next PutHeader() writes (repair of a file whose
    // header claims more records than it holds).
    void SetSize(long count);

    bool Get(long index, void* record);
    virtual bool Put(long index, const void* record);
    // Appends at the end that the file has at the moment of the write.
    virtual bool Add(const void* record);

    // The caller's header block (userHeaderSize bytes) lives in the object:
    // GetHeader() reads it from the file, PutHeader() writes it (and the count
    // given to SetSize, if any).
    bool GetHeader();
    virtual bool PutHeader();
    bool GetHeader(void* userHeader);
    bool PutHeader(const void* userHeader);
    BYTE* HeaderData() { return m_user.data(); }

    int ModeOpen() const { return m_mode; }
    int GetRetCode() const { return m_rc; }
    const char* GetErrText() const { return m_errText.c_str(); }
    const char* Name() const { return m_name.c_str(); }
    long RecordSize() const { return m_recordSize; }
    long UserHeaderSize() const { return static_cast<long>(m_user.size()); }
    // Bytes before the first record (the fixed header plus the caller's).
    long HeaderSize() const;

    // "File=<name> Finction=<function> Adv=<detail> Size=<count> Mode=<mode>
    // Rc=<code>", the text that record-file failures are reported with.
    CTOOString FormatError(const char* function, unsigned long detail) const;

    static constexpr long kFixedHeaderSize = 32;

protected:
    // Keeps the status and the FormatError text for GetRetCode/GetErrText;
    // false, to return.
    bool SetError(int rc, const char* function, unsigned long detail = 0);
    // Inside a catch handler: SetError with the status of the exception.
    bool SetErrorFromException(const char* function);
    bool Ok() {
        m_rc = 0;
        m_errText.Empty();
        return true;
    }

private:
    bool ReadCount(long& count);
    bool WriteFixedHeader(long count);
    bool CheckWritable(const char* function, unsigned long detail);

    std::mutex m_mutex;  // OFD locks do not separate threads using one object
    int m_fd = -1;
    int m_mode = ModeReadOnly;
    long m_recordSize = 0;
    long m_count = 0;
    bool m_countDirty = false;
    std::vector<BYTE> m_user;
    int m_rc = 0;
    CTOOString m_name;
    CTOOString m_errText;
};

// ---------------------------------------------------------------------------
// Section files: named sections of key/value items, text on disk.
struct CConfigFileKeyListItem {
    CConfigFileKeyListItem() = default;
    CConfigFileKeyListItem(const CTOOString& key, const CTOOString& value) : m_Key(key), m_Value(value) {}
    bool operator==(const CConfigFileKeyListItem& o) const { return m_Key == o.m_Key && m_Value == o.m_Value; }
    CTOOString m_Key;
    CTOOString m_Value;
};
using CConfigFileKeyList = std::list<CConfigFileKeyListItem>;

struct CConfigFileSectionListItem {
    CConfigFileSectionListItem() = default;
    CConfigFileSectionListItem(const CTOOString& name, CConfigFileKeyList items = {})
        : m_Name(name), m_Items(std::move(items)) {}
    bool operator==(const CConfigFileSectionListItem& o) const { return m_Name == o.m_Name && m_Items == o.m_Items; }
    CTOOString m_Name;
    CConfigFileKeyList m_Items;
};
using CConfigFileSectionList = std::list<CConfigFileSectionListItem>;

// Section and key names match ignoring ASCII case. Each call reads the file
// anew; each Put rewrites it whole through a work copy under a named lock
// (read-modify-write), so writers in several processes never lose each
// other's sections and a failure leaves the old file as it was.
//
// Failures: the status goes to GetRetCode() and a text naming the file (and
// the line for a damaged file) to GetErrText(); with `raise` they are also
// thrown as XTOOStatus with that text as place. A section that is not there
// is not a failure: GetSection returns false with status TOOERR_NOTFOUND and
// nothing is thrown.
class CERT_API CTOOConfigInfoFile {
public:
    enum : unsigned long {
        ReadOnly = 0x1,   // Put* fail with TOOERR_READONLY
        MustExist = 0x2,  // a missing file is TOOERR_NOFILE instead of empty
    };

    explicit CTOOConfigInfoFile(const char* fileName, bool raise = true, unsigned long flags = 0);
    virtual ~CTOOConfigInfoFile() = default;

    bool GetSection(const char* name, CConfigFileKeyList* items);
    bool PutSection(const char* name, const CConfigFileKeyList& items);
    bool DeleteSection(const char* name);
    bool GetAllSections(CConfigFileSectionList* sections);
    bool PutAllSections(const CConfigFileSectionList& sections);
    // The value of the first item `key` of section `section`.
    bool GetValue(const char* section, const char* key, CTOOString& value);

    const char* GetFileName() const { return m_fileName.c_str(); }
    int GetRetCode() const { return m_rc; }
    const char* GetErrText() const { return m_errText.c_str(); }

    // The text form and its parser, for tests and tools. Parse reports the
    // status and the 1-based line of the first fault.
    static std::string Serialize(const CConfigFileSectionList& sections);
    static int Parse(std::string_view text, CConfigFileSectionList& sections, int* faultLine);

private:
    bool Load(CConfigFileSectionList& sections);
    bool Store(const CConfigFileSectionList& sections);
    // Keeps the status and text, and throws them when the object raises.
    bool ReportError(int rc, const CTOOString& text);
    // Inside a catch handler: a status thrown because the object raises
    // goes on; any other exception is reported as a failure of the file.
    bool ReportException();
    bool Ok();
    bool Modify(const char* what, const std::function<void(CConfigFileSectionList&)>& change);

    CTOOString m_fileName;
    bool m_raise;
    unsigned long m_flags;
    int m_rc = 0;
    CTOOString m_errText;
};

// ---------------------------------------------------------------------------
// The machine-wide list of key container paths, one file under
// $CERT_HOME/common shared by every process under a named lock.
class CERT_API CommonContInfoList {
public:
    CommonContInfoList() = default;

    // 0 or a status: TOOERR_BADARG for an empty path or one with a control
    // character, the file's status otherwise. Adding a path already listed
    // (ignoring ASCII case) changes nothing.
    int Add(const char* path);
    // 0, TOOERR_NOTFOUND when the path is not listed, or the file's status.
    int Erase(const char* path);
    // Snapshot iteration: GetFirst reads the list, GetNext walks it; null at
    // the end (or when the list cannot be read).
    const char* GetFirst();
    const char* GetNext();

    static std::string FilePath();
    static constexpr const char* kLockName = "CommonContInfoList";

private:
    std::vector<std::string> m_snapshot;
    std::size_t m_pos = 0;
};
