// Foundation types every other part of the library is written in: the owned
// byte blob, the 8-bit string, the status exception and the text helpers.
//
// Errors, for the whole foundation (this header, toofile.h, tootime.h,
// structfiles.h, ipc.h, storedev.h, logdisp.h, asn.h): a function with an
// `int* pStatus` stores its status there, or throws XTOOStatus when the
// pointer is null (TOOReport, TOOGuarded); the file and record objects keep
// their own error (GetError, GetRetCode) as documented with them; every
// other function reports by throwing XTOOStatus (out of memory is
// TOOERR_NOMEM). No other exception type leaves a function declared in
// these headers, with one exception: the inline members of CTOOString
// below, which are std::string's and throw std::bad_alloc as it does.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cert/export.h"
#include "cert/platform.h"

class CTOOFile;
class CTOOString;

// ---------------------------------------------------------------------------
// Status codes of the foundation library. Windows errors that have no status
// of their own travel through WinErr2ToolsErr unchanged in value (see there).
enum TOOStatusCode : int {
    TOO_OK = 0,
    TOOERR_FAIL = 1,
    // Codes that the callers of the library give and test by number.
    TOOERR_NOFILE = 4,     // file or folder does not exist
    TOOERR_READ = 5,       // a read gave fewer bytes than asked
    TOOERR_WRITE = 6,      // a write or an addition did not complete
    TOOERR_BADSIGN = 7,    // a signature or MAC does not verify
    TOOERR_NOMEM = 16,     // out of memory
    TOOERR_OPEN = 17,      // a file or store could not be opened
    TOOERR_NOUNIQUE = 18,  // no unused file name was found
    TOOERR_BADNAME = 22,   // name cannot be encoded
    TOOERR_BADARG = 28,    // bad arguments
    TOOERR_NOTSUPPORTED = 29,
    TOOERR_EXCEPTION = 36,           // unexpected exception
    TOOERR_SHORTREAD = 37,           // a range or record beyond the end of the file
    TOOERR_BADFORMAT = 42,           // data missing, empty or not in its layout
    TOOERR_NOKEY_FOR_CERT = 32,      // no key of the container matches the certificate
    TOOERR_NOLENGTH = 45,            // the length of a file cannot be taken
    TOOERR_KEYPAIR_CHECK = 58,       // a signature made with the key does not verify with the certificate
    TOOERR_MKDIR = 61,               // a folder cannot be created
    TOOERR_UNKNOWN_ALG = 73,         // unknown algorithm
    TOOERR_LISTFORMAT = 74,          // a list file not in its layout
    TOOERR_READONLY = 108,           // write to a file opened read-only
    TOOERR_BADENCODING = 134,        // text in an unknown or broken encoding
    TOOERR_NOT_NEWER = 143,          // the object would replace itself or a newer one
    TOOERR_NO_CONTAINER_INFO = 194,  // a key container cannot be opened or tell about itself
    TOOERR_DER_FORMAT = 206,         // malformed ASN.1 / DER
    TOOERR_DER_DEPTH = 207,          // ASN.1 nested deeper than allowed
    TOOERR_DER_LIMIT = 208,          // ASN.1 element larger than allowed
    TOOERR_NO_CERTIFICATE = 212,     // no certificate found (none stored, issuer unknown)
    // The foundation's own codes, above every number the callers use.
    TOOERR_ACCESS = 240,  // access denied
    TOOERR_EXISTS = 241,  // already exists
    TOOERR_IO = 242,      // read or write failed in the system
    TOOERR_DISKFULL = 243,
    TOOERR_NOTFOUND = 244,  // no such item
    TOOERR_LOCKED = 245,    // lock not obtained
};

// Windows errors with no status of their own are carried in this range:
// 0x40000000 | code for plain Win32 codes; HRESULT-style codes (top bit set)
// are carried as their own negative value.
constexpr int TOO_WIN32_FACILITY = 0x40000000;

// Maps a platform error code to a status code (0 stays 0).
CERT_API int WinErr2ToolsErr(DWORD winError);
// Recovers the Windows code from a status produced by WinErr2ToolsErr, or 0
// when the status is one of the library's own.
CERT_API DWORD ToolsErr2WinErr(int status);
// A short English text for a status of the library (for tools and logs).
CERT_API const char* TOOStatusText(int status);

// ---------------------------------------------------------------------------
class CERT_API IdentObj {
public:
    IdentObj() = default;
    IdentObj(const IdentObj& other);
    IdentObj(IdentObj&& other) noexcept;
    IdentObj(const void* data, DWORD size);
    explicit IdentObj(const CRYPTOAPI_BLOB& blob);
    explicit IdentObj(std::string_view bytes);
    virtual ~IdentObj();

    IdentObj& operator=(const IdentObj& other);
    IdentObj& operator=(IdentObj&& other) noexcept;
    IdentObj& operator=(const CRYPTOAPI_BLOB& blob);
    IdentObj& operator=(const char* text);

    // Contents become n zero bytes / keep the first bytes and grow with zeros.
    BYTE* Alloc(DWORD n);
    BYTE* Realloc(DWORD n);
    void Assign(const void* p, DWORD n);
    void AddData(const void* p, DWORD n);
    void AddData(const IdentObj& other) { AddData(other.m_pData, other.m_dwLength); }
    void Empty();
    bool IsEmpty() const { return m_dwLength == 0; }
    DWORD GetObjectSize() const { return m_dwLength; }
    const BYTE* data() const { return m_pData; }
    BYTE* data() { return m_pData; }
    DWORD size() const { return m_dwLength; }
    const BYTE* begin() const { return m_pData; }
    const BYTE* end() const { return m_pData + m_dwLength; }
    std::string_view view() const { return {reinterpret_cast<const char*>(m_pData), m_dwLength}; }
    CRYPTOAPI_BLOB blob() const { return CRYPTOAPI_BLOB{m_dwLength, m_pData}; }
    // Zeroes the bytes before releasing them (key material).
    void Wipe();

    // Memory form: the 32-bit little-endian length followed by the bytes.
    // ReadData returns the bytes consumed, 0 when `size` is too short.
    DWORD WriteData(IdentObj& out) const;
    // Into a caller's buffer: the bytes written, 0 when `size` is too small.
    DWORD WriteData(void* buffer, DWORD size) const;
    DWORD ReadData(const void* p, DWORD size);
    // The size of the memory and file form.
    DWORD SerializedSize() const { return 4 + m_dwLength; }
    // The same form at the file's current position; false with the file's
    // error set (a length beyond the end of the file is TOOERR_SHORTREAD).
    bool WriteData(CTOOFile& file) const;
    bool ReadData(const CTOOFile& file);

    int Compare(const IdentObj& other) const;
    bool operator==(const IdentObj& o) const { return Compare(o) == 0; }
    bool operator!=(const IdentObj& o) const { return Compare(o) != 0; }
    bool operator<(const IdentObj& o) const { return Compare(o) < 0; }
    bool operator>(const IdentObj& o) const { return Compare(o) > 0; }
    bool operator==(const CTOOString& s) const;

    // The length and pointer are read directly by callers, as in the original.
    DWORD m_dwLength = 0;
    BYTE* m_pData = nullptr;

private:
    void Reserve(DWORD n);
    DWORD m_dwCapacity = 0;
};

// ---------------------------------------------------------------------------
// An owned bit string: the bytes and the count of unused bits in the last
// one (0..7). Compares bytes first, then the unused-bit count.
class CERT_API CTOOCryptBitBlob : public IdentObj {
public:
    CTOOCryptBitBlob() = default;
    CTOOCryptBitBlob(const void* data, DWORD size, DWORD unusedBits = 0)
        : IdentObj(data, size), m_cUnusedBits(unusedBits) {}
    explicit CTOOCryptBitBlob(const CRYPT_BIT_BLOB& blob);
    explicit CTOOCryptBitBlob(const IdentObj& bytes, DWORD unusedBits = 0)
        : IdentObj(bytes), m_cUnusedBits(unusedBits) {}
    CTOOCryptBitBlob& operator=(const CRYPT_BIT_BLOB& blob);

    DWORD GetUnusedBits() const { return m_cUnusedBits; }
    void SetUnusedBits(DWORD n) { m_cUnusedBits = n; }
    // The number of bits that count.
    ULONGLONG GetBitLength() const;
    // A view for platform calls; valid while this object is unchanged.
    CRYPT_BIT_BLOB GetBlob() const { return CRYPT_BIT_BLOB{m_dwLength, m_pData, m_cUnusedBits}; }
    void Empty() {
        IdentObj::Empty();
        m_cUnusedBits = 0;
    }

    int Compare(const CTOOCryptBitBlob& other) const;
    bool operator==(const CTOOCryptBitBlob& o) const { return Compare(o) == 0; }
    bool operator!=(const CTOOCryptBitBlob& o) const { return Compare(o) != 0; }
    bool operator<(const CTOOCryptBitBlob& o) const { return Compare(o) < 0; }
    bool operator>(const CTOOCryptBitBlob& o) const { return Compare(o) > 0; }
    bool operator==(const CRYPT_BIT_BLOB& o) const { return Compare(CTOOCryptBitBlob(o)) == 0; }

    DWORD m_cUnusedBits = 0;
};

// ---------------------------------------------------------------------------
class CERT_API CTOOString {
public:
    CTOOString() = default;
    CTOOString(const char* text) : m_s(text ? text : "") {}
    CTOOString(char c) : m_s(1, c) {}
    CTOOString(std::string s) : m_s(std::move(s)) {}
    CTOOString(std::string_view s) : m_s(s) {}
    CTOOString(const CTOOString&) = default;
    CTOOString(CTOOString&&) noexcept = default;
    CTOOString& operator=(const CTOOString&) = default;
    CTOOString& operator=(CTOOString&&) noexcept = default;
    CTOOString& operator=(const char* text) {
        m_s = text ? text : "";
        return *this;
    }
    CTOOString& operator=(char c) {
        m_s.assign(1, c);
        return *this;
    }

    operator const char*() const { return m_s.c_str(); }
    const char* c_str() const { return m_s.c_str(); }
    const std::string& str() const { return m_s; }
    std::string& str() { return m_s; }

    CTOOString& operator+=(const CTOOString& s) {
        m_s += s.m_s;
        return *this;
    }
    CTOOString& operator+=(const char* s) {
        if (s) m_s += s;
        return *this;
    }
    CTOOString& operator+=(char c) {
        m_s += c;
        return *this;
    }
    friend CTOOString operator+(const CTOOString& a, const CTOOString& b) { return CTOOString(a.m_s + b.m_s); }
    friend CTOOString operator+(const CTOOString& a, const char* b) { return CTOOString(a.m_s + (b ? b : "")); }
    friend CTOOString operator+(const char* a, const CTOOString& b) { return CTOOString((a ? a : "") + b.m_s); }
    friend CTOOString operator+(const CTOOString& a, char b) { return CTOOString(a.m_s + b); }

    friend bool operator==(const CTOOString& a, const CTOOString& b) { return a.m_s == b.m_s; }
    friend bool operator==(const CTOOString& a, const char* b) { return a.m_s == (b ? b : ""); }
    friend bool operator!=(const CTOOString& a, const CTOOString& b) { return a.m_s != b.m_s; }
    friend bool operator!=(const CTOOString& a, const char* b) { return a.m_s != (b ? b : ""); }
    friend bool operator<(const CTOOString& a, const CTOOString& b) { return a.m_s < b.m_s; }
    friend bool operator>(const CTOOString& a, const CTOOString& b) { return a.m_s > b.m_s; }

    // 0 when equal ignoring ASCII case, otherwise the sign of the difference.
    int CompareNoCase(const char* other) const;
    CTOOString& Format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    CTOOString& FormatV(const char* fmt, va_list args);

    int Length() const { return static_cast<int>(m_s.size()); }
    int GetLength() const { return Length(); }
    bool IsEmpty() const { return m_s.empty(); }
    void Empty() { m_s.clear(); }
    // Index of the first `c`, or -1.
    int Find(char c, int start = 0) const;
    int Find(const char* sub, int start = 0) const;
    CTOOString Left(int n) const;
    CTOOString Right(int n) const;
    CTOOString Mid(int first, int n = -1) const;
    CTOOString& MakeUpper();
    CTOOString& MakeLower();
    CTOOString& TrimLeft();
    CTOOString& TrimRight();
    CTOOString& Strip();  // both ends
    CTOOString& Load(const void* bytes, std::size_t n);
    CTOOString& StrAddSlash();
    // The string resource `id` of the module `moduleName` (see
    // TOORegisterStringTable); false and an empty string when there is none.
    bool LoadStringA(unsigned id, const char* moduleName = nullptr);

private:
    std::string m_s;
};

struct TOOStringResource {
    unsigned id;
    const char* text;  // UTF-8
};
// Makes a module's string table available to CTOOString::LoadStringA. A null
// or empty module name is the library itself. The table must outlive its use.
CERT_API void TOORegisterStringTable(const char* moduleName, const TOOStringResource* table, std::size_t count);

// ---------------------------------------------------------------------------
class CERT_API XTOOStatus {
public:
    XTOOStatus(int code, const char* place, int flag = 0);
    explicit XTOOStatus(int code, int flag = 0);
    virtual ~XTOOStatus() = default;

    int Status() const { return m_code; }
    void SetError(int code) { m_code = code; }
    const char* Place() const { return m_place.c_str(); }
    int Flag() const { return m_flag; }

private:
    int m_code;
    int m_flag;
    CTOOString m_place;
};

// An additional message carried with a status (the message box text of the
// original).
class CERT_API XTOOMsg : public XTOOStatus {
public:
    XTOOMsg(int code, const char* place, const char* message, int flag = 0)
        : XTOOStatus(code, place, flag), m_msg(message) {}
    // Built like the status it is; the message is added with SetErrMessEx.
    XTOOMsg(int code, const char* place, int flag = 0) : XTOOStatus(code, place, flag) {}
    explicit XTOOMsg(int code, int flag = 0) : XTOOStatus(code, flag) {}
    const char* GetErrMessEx() const { return m_msg.c_str(); }
    void SetErrMessEx(const char* message) { m_msg = message; }

private:
    CTOOString m_msg;
};

// Stores `status` in *pStatus (and the place in *pPlace) when a pointer is
// given, otherwise throws XTOOStatus(status, place): the reporting rule of
// every exported function.
CERT_API void TOOReport(int status, const char* place, int* pStatus, CTOOString* pPlace = nullptr);

// Inside a catch handler only: the status of the exception being handled. An
// XTOOStatus gives its own (TOOERR_FAIL for 0) and its place in *innerPlace;
// std::bad_alloc TOOERR_NOMEM; a system or filesystem error its errno
// through WinErr2ToolsErr; anything else TOOERR_EXCEPTION.
CERT_API int TOOStatusOfCurrentException(CTOOString* innerPlace = nullptr) noexcept;
// Inside a catch handler only: reports the exception being handled by the
// rule of TOOReport, with "place: inner place" as the place (the inner place
// alone when it starts with `place` already); the place also goes to
// *pPlace when given.
CERT_API void TOOReportCurrentException(const char* place, int* pStatus, CTOOString* pPlace = nullptr);
// Inside a catch handler only, for the functions that report by throwing: an
// XTOOStatus goes on as it is; any other exception becomes an XTOOStatus
// with its status (as above) and `place`.
[[noreturn]] CERT_API void TOORethrowAsStatus(const char* place);

// Runs `body` under the reporting rule of the exported functions that take
// an `int* pStatus`: on success *pStatus (when given) becomes 0 and body's
// result is returned; an exception of any type that body lets out is
// reported as TOOReportCurrentException does (stored in *pStatus, or thrown
// as XTOOStatus when pStatus is null) and `failed` is returned. Nothing but
// XTOOStatus ever leaves it.
template <class R, class F>
R TOOGuarded(const char* place, int* pStatus, R failed, F&& body) {
    try {
        R result = body();
        if (pStatus) *pStatus = TOO_OK;
        return result;
    } catch (...) {
        TOOReportCurrentException(place, pStatus);
    }
    return failed;
}
// The same for a body that returns nothing: true on success; the place of a
// failure also goes to *pPlace when given.
template <class F>
bool TOOGuarded(const char* place, int* pStatus, CTOOString* pPlace, F&& body) {
    try {
        body();
        if (pStatus) *pStatus = TOO_OK;
        return true;
    } catch (...) {
        TOOReportCurrentException(place, pStatus, pPlace);
    }
    return false;
}
template <class F>
bool TOOGuarded(const char* place, int* pStatus, F&& body) {
    return TOOGuarded(place, pStatus, static_cast<CTOOString*>(nullptr), std::forward<F>(body));
}

// ---------------------------------------------------------------------------
// The base of objects shared by counted references (a provider handle held
// by several owners). It is born with one reference, its creator's; the
// last Release deletes it. The count is atomic, so owners on different
// threads may add and release references; the object itself is not locked.
class CERT_API CTOOReference {
public:
    CTOOReference() = default;
    CTOOReference(const CTOOReference&) = delete;
    CTOOReference& operator=(const CTOOReference&) = delete;
    virtual ~CTOOReference();

    // The count after the change. Release deletes the object at 0; the
    // caller must not touch it then.
    long AddRef() noexcept;
    long Release() noexcept;
    long RefCount() const noexcept;

private:
    long m_count = 1;
};

// ---------------------------------------------------------------------------
// Text helpers.

// Upper-case hex of `bytes` into `text` (NUL-terminated, `size` bytes room);
// `separated` puts a space between bytes. Returns the characters written
// (without the NUL), 0 when `size` is too small. A null `text` asks for the
// room needed: the characters plus the NUL.
CERT_API std::size_t TOOBin2Hex(const void* bytes, std::size_t n, char* text, std::size_t size, bool separated = false);
// Hex text (spaces, tabs and line breaks between digits are ignored) to
// bytes; returns the bytes written, 0 on a bad digit, an odd count or no room.
CERT_API std::size_t TOOHex2Bin(const char* text, void* bytes, std::size_t size);
CERT_API std::string TOOBin2HexStr(const void* bytes, std::size_t n, bool separated = false);
CERT_API bool TOOHex2BinStr(std::string_view text, IdentObj& out);

// Base64 (RFC 2045 alphabet; line breaks and spaces are skipped, padding is
// checked). Returns the bytes decoded, 0 on failure or too small a buffer.
CERT_API std::size_t TOO_MIMEBase64Decode(const char* text, void* out, std::size_t size);
CERT_API std::string TOO_MIMEBase64Encode(const void* bytes, std::size_t n, std::size_t lineLength = 64);
namespace TOO {
CERT_API std::size_t Base64Decode(const char* text, void* out, std::size_t size);
CERT_API bool Base64Decode(std::string_view text, IdentObj& out);
// The length `text` decodes to, the bytes written to `out` unless it is
// null (then only counted); -1 for text that is not Base64 or too little
// room. For callers that keep the bytes in a buffer of their own.
CERT_API long long Base64DecodeInto(std::string_view text, void* out, std::size_t size) noexcept;
// `n` bytes of text that need not end in a NUL, into `out` (unchanged on
// failure); returns the bytes decoded, 0 on failure. `mode` is taken for the
// callers that pass one: every mode skips blanks and line breaks and needs
// the whole text to be Base64.
CERT_API std::size_t Base64Decode(const void* text, std::size_t n, IdentObj& out, int mode = 0);
CERT_API std::string Base64Encode(const void* bytes, std::size_t n, std::size_t lineLength = 0);
}  // namespace TOO

// A printable dump (offset, hex, ASCII) for logs.
CERT_API CTOOString DumpBlob2String(const void* bytes, std::size_t n, std::size_t maxBytes = 256);
inline CTOOString DumpBlob2String(const IdentObj& b, std::size_t maxBytes = 256) {
    return DumpBlob2String(b.data(), b.size(), maxBytes);
}
// Substring search; `flag` non-zero ignores ASCII case. Pointer into `text`
// at the first match, or null.
CERT_API const char* CTFStrStr(const char* text, const char* pattern, int flag = 0);
// The same over `size` bytes that may hold zero bytes (a header with binary
// length fields between its text codes).
CERT_API const char* CTFStrStr(const char* region, std::size_t size, const char* pattern, int flag = 0);

// Encodings: UTF-8 <-> UTF-16 and UTF-8 <-> cp1251 through iconv. Return
// false on bytes that do not convert.
CERT_API bool TOOUtf8ToUtf16(std::string_view in, std::u16string& out);
// The length of the well-formed UTF-8 sequence that starts at text[at]
// (RFC 3629: no overlong form, no surrogate, nothing above U+10FFFF), 0
// when none starts there (also at or past the end).
CERT_API std::size_t TOOUtf8SequenceLength(std::string_view text, std::size_t at) noexcept;
CERT_API bool TOOUtf16ToUtf8(std::u16string_view in, std::string& out);
CERT_API bool TOOUtf8ToCp1251(std::string_view in, std::string& out);
CERT_API bool TOOCp1251ToUtf8(std::string_view in, std::string& out);
