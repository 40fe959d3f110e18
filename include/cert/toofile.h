// Files and folders of the foundation library: the file object with its
// error object, folder enumeration by mask, folder helpers, file-name
// helpers and a self-removing temporary folder. Paths take "\" and "/".
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cert/export.h"
#include "cert/tools.h"

// The error of a file operation. Status 0 means no error. The place is
// "<operation> <file name>", so generic XTOOStatus handlers report both.
class CERT_API XTOOFile : public XTOOStatus {
public:
    XTOOFile() : XTOOStatus(0) {}
    XTOOFile(int status, DWORD winError, const char* fileName, const char* operation);

    bool IsError() const { return Status() != 0; }
    // The Windows error behind the status (0 when the status is our own).
    DWORD WinError() const { return m_winError; }
    const char* FileName() const { return m_fileName.c_str(); }
    const char* Operation() const { return m_operation.c_str(); }

private:
    DWORD m_winError = 0;
    CTOOString m_fileName;
    CTOOString m_operation;
};

// Attribute bits reported for folder entries and files.
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x02;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

// A binary file opened with a C runtime mode text:
//   "r" read, "w" create/truncate for writing, "a" append (writes always go
//   to the end), "+" read and write, "b"/"t" accepted (no translation of
//   line ends: files keep their bytes), "c" commit (Flush and Close also
//   push the data to the disk), "n" no commit; "x" fail when the file exists.
// With `throwErrors` a failing operation throws XTOOFile; without it the
// operation returns false / 0 and GetError() tells why. Either way the
// thread's last error holds the Windows code.
class CERT_API CTOOFile {
public:
    CTOOFile() = default;
    CTOOFile(const char* name, const char* mode, bool throwErrors = false);
    virtual ~CTOOFile();
    CTOOFile(const CTOOFile&) = delete;
    CTOOFile& operator=(const CTOOFile&) = delete;
    CTOOFile(CTOOFile&& other) noexcept;
    CTOOFile& operator=(CTOOFile&& other) noexcept;

    // Closes a file already open, then opens `name`.
    bool Open(const char* name, const char* mode, bool throwErrors = false);
    // Flushes and closes; false when the last writes could not be saved.
    bool Close();
    bool IsOpen() const { return m_file != nullptr; }
    const char* FileName() const { return m_name.c_str(); }
    const char* Mode() const { return m_mode.c_str(); }
    bool IsReadOnly() const { return IsOpen() && !m_canWrite; }

    // Bytes read (fewer at the end of the file; 0 on error).
    DWORD Read(void* buffer, DWORD size) const;
    // Bytes written: `size` on success. A file opened for reading only gives
    // TOOERR_READONLY.
    DWORD Write(const void* buffer, DWORD size);
    bool Write(const IdentObj& data) { return Write(data.data(), data.size()) == data.size(); }
    bool Write(const CTOOString& text) {
        return Write(text.c_str(), static_cast<DWORD>(text.Length())) == static_cast<DWORD>(text.Length());
    }
    // Reads exactly `size` bytes; a short file is TOOERR_SHORTREAD.
    bool ReadExact(void* buffer, DWORD size) const;

    // `origin` is SEEK_SET, SEEK_CUR or SEEK_END. Seeking past the end is
    // allowed (a later write fills the gap with zeros).
    bool Seek(LONGLONG offset, int origin = SEEK_SET) const;
    // The current position, -1 on error.
    LONGLONG CurPos() const;
    // The file's size including bytes not yet flushed, -1 on error.
    LONGLONG Length() const;
    bool Flush();
    // Cuts (or extends with zeros) the file to `length` / to the current
    // position; the position stays where it was.
    bool Truncate(ULONGLONG length);
    bool Truncate();

    // The last error of this object (IsError() false after success).
    const XTOOFile& GetError() const { return m_error; }
    int GetStatus() const { return m_error.Status(); }

    // --- operations on names; false/-1 with the last error set -------------
    static bool IsExists(const char* name);  // a file or a folder
    static LONGLONG Length(const char* name);
    // Copies through a work copy next to the target, so a failure leaves an
    // existing target as it was; keeps the source's write time.
    static bool CopyFileA(const char* from, const char* to, bool failIfExists = false);
    // Renames; an existing target is replaced in one step. Across file
    // systems the file is copied into place and the source then removed.
    static bool MoveFileA(const char* from, const char* to);
    static bool DeleteFileA(const char* name);
    static bool LastWriteTime(const char* name, FILETIME& time);
    static bool SetLastWriteTime(const char* name, const FILETIME& time);
    // FILE_ATTRIBUTE_* of `name`, or (DWORD)-1 when it cannot be read.
    static DWORD GetAttributes(const char* name);

protected:
    // Adds the write-through behaviour of CTOODirectFile.
    virtual bool DirectWrites() const { return false; }

private:
    friend class IdentObj;
    // Keeps the failure in GetError() and the last error, throws it when the
    // object throws; false, to return.
    bool ReportError(DWORD winError, const char* operation, int status = 0) const;
    // Inside a catch handler: the object's own error thrown on request goes
    // on; any other exception is reported as the operation's failure.
    bool ReportException(const char* operation) const;
    bool Succeed() const;
    bool PrepareRead() const;
    bool PrepareWrite();
    bool SyncToDisk();

    FILE* m_file = nullptr;
    CTOOString m_name;
    CTOOString m_mode;
    bool m_throw = false;
    bool m_canRead = false;
    bool m_canWrite = false;
    bool m_append = false;
    bool m_commit = false;
    mutable int m_lastOp = 0;  // 1 read, 2 write: stdio needs a seek between them
    mutable XTOOFile m_error;
};

// The same file with write-through: nothing is held in a user-space buffer
// (every Write reaches the system at once) and Flush/Close sync the data to
// the disk whatever the mode says.
class CERT_API CTOODirectFile : public CTOOFile {
public:
    CTOODirectFile() = default;
    CTOODirectFile(const char* name, const char* mode, bool throwErrors = false);

protected:
    bool DirectWrites() const override { return true; }
};

// Enumerates a folder by a mask with "*" and "?" matched without regard to
// ASCII case ("*.*" is every name). "." and ".." are never reported; names
// come in case-insensitive order.
//
//     CTOOFindFile ff;
//     for (bool ok = ff.Get("dir\\*.crl"); ok; ok = ff.GetLast()) use(ff.Name());
class CERT_API CTOOFindFile {
public:
    CTOOFindFile() = default;
    // `pathMask` is a folder and a mask as its last component ("dir\*.crl");
    // a missing folder or no match gives false with the last error
    // ERROR_PATH_NOT_FOUND / ERROR_FILE_NOT_FOUND.
    bool Get(const char* pathMask);
    bool Get(const char* folder, const char* mask);
    // Steps to the next entry; false when there is none (ERROR_NO_MORE_FILES).
    bool GetLast();
    bool GetNext() { return GetLast(); }
    bool IsValid() const { return m_index < m_entries.size(); }

    const char* Name() const;     // the name inside the folder
    CTOOString FullName() const;  // folder + "/" + name
    const char* Folder() const { return m_folder.c_str(); }
    DWORD Attributes() const;
    bool IsFolder() const { return Attributes() & FILE_ATTRIBUTE_DIRECTORY; }
    ULONGLONG Size() const;
    FILETIME LastWriteTime() const;

    // The mask rule used by Get.
    static bool MatchMask(const char* name, const char* mask);

private:
    struct Entry {
        std::string name;
        DWORD attributes;
        ULONGLONG size;
        FILETIME writeTime;
    };
    std::string m_folder;
    std::vector<Entry> m_entries;
    std::size_t m_index = 0;
};

constexpr DWORD ERROR_NO_MORE_FILES = 18;

// Folder helpers; false with the last error set on failure.
class CERT_API CTOOFolder {
public:
    // One level: the parent must exist. An existing folder is success.
    static bool MakeFolder(const char* path);
    // Every missing level.
    static bool Create(const char* path);
    static bool IsExists(const char* path);
    // Removes an empty folder, or with `recursive` the folder and all below.
    static bool UnLink(const char* path, bool recursive = false);
    // The full path of a name in `folder` that nothing has yet: prefix +
    // eight hex digits + extension (given with or without its dot). Empty
    // when none was found. Open it with mode "x" where another process may
    // race for the same name.
    static CTOOString UniqueFileName(const char* folder, const char* prefix = "", const char* extension = "");
};

namespace TOO {

// Parts of a path; both separators count.
struct CERT_API FILENAME {
    // "c:\a\b.txt" -> "b.txt"
    static CTOOString ExtractFileName(const char* path);
    // "c:\a\b.txt" -> "c:\a\" (with the separator; empty without a folder)
    static CTOOString ExtractFilePath(const char* path);
    // "c:\a\b.txt" -> "b" (the name without its last extension)
    static CTOOString ExtractFileTitle(const char* path);
    // ".txt" (with the dot; empty without an extension)
    static CTOOString ExtractFileExt(const char* path);
};

// A fresh folder under the temporary folder (or `parent`), removed with
// its contents when the object goes away.
class CERT_API TEMPFOLDER {
public:
    explicit TEMPFOLDER(const char* parent = nullptr, const char* prefix = "cert");
    ~TEMPFOLDER();
    TEMPFOLDER(const TEMPFOLDER&) = delete;
    TEMPFOLDER& operator=(const TEMPFOLDER&) = delete;

    bool IsValid() const { return !m_path.IsEmpty(); }
    const char* Path() const { return m_path.c_str(); }
    operator const char*() const { return m_path.c_str(); }
    // Path() + "/" + name
    CTOOString operator/(const char* name) const;

private:
    CTOOString m_path;
};

}  // namespace TOO
