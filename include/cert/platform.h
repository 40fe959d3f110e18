// Windows types, error codes and the few kernel services the library is
// written against, at their Windows widths, for Linux.
//
// Errors, for this header and sysapi.h and url.h: functions report as their
// Windows models do, by a failure result and the thread's last error, by a
// returned Windows code or HRESULT, never by an exception (an exception
// inside becomes that code, see WinErrorOfCurrentException). The helpers
// that only build a string (NativePath, CertHome, TempFolder, SetCertHome,
// PercentEscape) have no failure to report but running out of memory, and
// throw std::bad_alloc then, as the standard strings they return do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

#include "cert/export.h"

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using BOOL = std::int32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using HRESULT = std::int32_t;
using ULONGLONG = std::uint64_t;
using LONGLONG = std::int64_t;
using ALG_ID = std::uint32_t;
using HCRYPTPROV = std::uint32_t;
using HCRYPTKEY = std::uint32_t;
using HCRYPTHASH = std::uint32_t;
using LPCSTR = const char*;
using LPSTR = char*;
using LPCWSTR = const char16_t*;
using LPWSTR = char16_t*;
using HANDLE = void*;
using HWND = void*;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// Callers size path buffers with MAX_PATH; Linux paths are longer than 260.
#ifndef MAX_PATH
#define MAX_PATH 4096
#endif

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

struct CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE* pbData;
};
using CRYPT_INTEGER_BLOB = CRYPTOAPI_BLOB;
using CRYPT_UINT_BLOB = CRYPTOAPI_BLOB;
using CRYPT_OBJID_BLOB = CRYPTOAPI_BLOB;
using CERT_NAME_BLOB = CRYPTOAPI_BLOB;
using CERT_RDN_VALUE_BLOB = CRYPTOAPI_BLOB;
using CRYPT_DATA_BLOB = CRYPTOAPI_BLOB;
using CRYPT_HASH_BLOB = CRYPTOAPI_BLOB;
using CRYPT_DER_BLOB = CRYPTOAPI_BLOB;
using CRYPT_ATTR_BLOB = CRYPTOAPI_BLOB;
using DATA_BLOB = CRYPTOAPI_BLOB;

struct CRYPT_BIT_BLOB {
    DWORD cbData;
    BYTE* pbData;
    DWORD cUnusedBits;
};

struct CRYPT_ALGORITHM_IDENTIFIER {
    char* pszObjId;
    CRYPT_OBJID_BLOB Parameters;
};

struct CERT_PUBLIC_KEY_INFO {
    CRYPT_ALGORITHM_IDENTIFIER Algorithm;
    CRYPT_BIT_BLOB PublicKey;
};

struct CRYPT_OID_INFO {
    DWORD cbSize;
    const char* pszOID;
    const char16_t* pwszName;
    DWORD dwGroupId;
    union {
        DWORD dwValue;
        ALG_ID Algid;
        DWORD dwLength;
    };
    CRYPT_DATA_BLOB ExtraInfo;
};
using PCCRYPT_OID_INFO = const CRYPT_OID_INFO*;

// ---------------------------------------------------------------------------
// Error codes. HRESULT-style values are kept as DWORD so that they compare
// with GetLastError() without sign games; HRESULT variables take them by
// plain conversion. Use WinErrNormalize() on anything that may have been
// widened with sign extension.

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_BAD_FORMAT = 11;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_WRITE_PROTECT = 19;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_READ_FAULT = 30;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_LOCK_VIOLATION = 33;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_FILE_TOO_LARGE = 223;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_STOPPED_ON_SYMLINK = 681;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_CANCELLED = 1223;
constexpr DWORD ERROR_INTERNAL_ERROR = 1359;
constexpr DWORD ERROR_TIMEOUT = 1460;
constexpr DWORD ERROR_INTERNET_TIMEOUT = 12002;
constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;

constexpr DWORD S_OK = 0;
constexpr DWORD S_FALSE = 1;
constexpr DWORD E_NOTIMPL = 0x80004001u;
constexpr DWORD E_POINTER = 0x80004003u;
constexpr DWORD E_ABORT = 0x80004004u;
constexpr DWORD E_FAIL = 0x80004005u;
constexpr DWORD E_UNEXPECTED = 0x8000FFFFu;
constexpr DWORD E_ACCESSDENIED = 0x80070005u;
constexpr DWORD E_OUTOFMEMORY = 0x8007000Eu;
constexpr DWORD E_INVALIDARG = 0x80070057u;

constexpr DWORD NTE_BAD_UID = 0x80090001u;
constexpr DWORD NTE_BAD_HASH = 0x80090002u;
constexpr DWORD NTE_BAD_KEY = 0x80090003u;
constexpr DWORD NTE_BAD_LEN = 0x80090004u;
constexpr DWORD NTE_BAD_DATA = 0x80090005u;
constexpr DWORD NTE_BAD_SIGNATURE = 0x80090006u;
constexpr DWORD NTE_BAD_VER = 0x80090007u;
constexpr DWORD NTE_BAD_ALGID = 0x80090008u;
constexpr DWORD NTE_BAD_FLAGS = 0x80090009u;
constexpr DWORD NTE_BAD_TYPE = 0x8009000Au;
constexpr DWORD NTE_BAD_KEY_STATE = 0x8009000Bu;
constexpr DWORD NTE_BAD_HASH_STATE = 0x8009000Cu;
constexpr DWORD NTE_NO_KEY = 0x8009000Du;
constexpr DWORD NTE_NO_MEMORY = 0x8009000Eu;
constexpr DWORD NTE_EXISTS = 0x8009000Fu;
constexpr DWORD NTE_PERM = 0x80090010u;
constexpr DWORD NTE_NOT_FOUND = 0x80090011u;
constexpr DWORD NTE_DOUBLE_ENCRYPT = 0x80090012u;
constexpr DWORD NTE_BAD_PROVIDER = 0x80090013u;
constexpr DWORD NTE_BAD_PROV_TYPE = 0x80090014u;
constexpr DWORD NTE_BAD_PUBLIC_KEY = 0x80090015u;
constexpr DWORD NTE_BAD_KEYSET = 0x80090016u;
constexpr DWORD NTE_PROV_TYPE_NOT_DEF = 0x80090017u;
constexpr DWORD NTE_PROV_TYPE_ENTRY_BAD = 0x80090018u;
constexpr DWORD NTE_KEYSET_NOT_DEF = 0x80090019u;
constexpr DWORD NTE_KEYSET_ENTRY_BAD = 0x8009001Au;
constexpr DWORD NTE_PROV_TYPE_NO_MATCH = 0x8009001Bu;
constexpr DWORD NTE_SIGNATURE_FILE_BAD = 0x8009001Cu;
constexpr DWORD NTE_PROVIDER_DLL_FAIL = 0x8009001Du;
constexpr DWORD NTE_PROV_DLL_NOT_FOUND = 0x8009001Eu;
constexpr DWORD NTE_BAD_KEYSET_PARAM = 0x8009001Fu;
constexpr DWORD NTE_FAIL = 0x80090020u;
constexpr DWORD NTE_SYS_ERR = 0x80090021u;
constexpr DWORD NTE_SILENT_CONTEXT = 0x80090022u;
constexpr DWORD NTE_FIXEDPARAMETER = 0x80090025u;
constexpr DWORD NTE_INVALID_HANDLE = 0x80090026u;
constexpr DWORD NTE_INVALID_PARAMETER = 0x80090027u;
constexpr DWORD NTE_BUFFER_TOO_SMALL = 0x80090028u;
constexpr DWORD NTE_NOT_SUPPORTED = 0x80090029u;
constexpr DWORD NTE_NO_MORE_ITEMS = 0x8009002Au;

constexpr DWORD CRYPT_E_MSG_ERROR = 0x80091001u;
constexpr DWORD CRYPT_E_UNKNOWN_ALGO = 0x80091002u;
constexpr DWORD CRYPT_E_OID_FORMAT = 0x80091003u;
constexpr DWORD CRYPT_E_INVALID_MSG_TYPE = 0x80091004u;
constexpr DWORD CRYPT_E_UNEXPECTED_ENCODING = 0x80091005u;
constexpr DWORD CRYPT_E_AUTH_ATTR_MISSING = 0x80091006u;
constexpr DWORD CRYPT_E_HASH_VALUE = 0x80091007u;
constexpr DWORD CRYPT_E_INVALID_INDEX = 0x80091008u;
constexpr DWORD CRYPT_E_ALREADY_DECRYPTED = 0x80091009u;
constexpr DWORD CRYPT_E_NOT_DECRYPTED = 0x8009100Au;
constexpr DWORD CRYPT_E_RECIPIENT_NOT_FOUND = 0x8009100Bu;
constexpr DWORD CRYPT_E_CONTROL_TYPE = 0x8009100Cu;
constexpr DWORD CRYPT_E_ISSUER_SERIALNUMBER = 0x8009100Du;
constexpr DWORD CRYPT_E_SIGNER_NOT_FOUND = 0x8009100Eu;
constexpr DWORD CRYPT_E_ATTRIBUTES_MISSING = 0x8009100Fu;
constexpr DWORD CRYPT_E_STREAM_MSG_NOT_READY = 0x80091010u;
constexpr DWORD CRYPT_E_STREAM_INSUFFICIENT_DATA = 0x80091011u;
constexpr DWORD CRYPT_E_BAD_LEN = 0x80092001u;
constexpr DWORD CRYPT_E_BAD_ENCODE = 0x80092002u;
constexpr DWORD CRYPT_E_FILE_ERROR = 0x80092003u;
constexpr DWORD CRYPT_E_NOT_FOUND = 0x80092004u;
constexpr DWORD CRYPT_E_EXISTS = 0x80092005u;
constexpr DWORD CRYPT_E_NO_PROVIDER = 0x80092006u;
constexpr DWORD CRYPT_E_SELF_SIGNED = 0x80092007u;
constexpr DWORD CRYPT_E_DELETED_PREV = 0x80092008u;
constexpr DWORD CRYPT_E_NO_MATCH = 0x80092009u;
constexpr DWORD CRYPT_E_UNEXPECTED_MSG_TYPE = 0x8009200Au;
constexpr DWORD CRYPT_E_NO_KEY_PROPERTY = 0x8009200Bu;
constexpr DWORD CRYPT_E_NO_DECRYPT_CERT = 0x8009200Cu;
constexpr DWORD CRYPT_E_BAD_MSG = 0x8009200Du;
constexpr DWORD CRYPT_E_NO_SIGNER = 0x8009200Eu;
constexpr DWORD CRYPT_E_REVOKED = 0x80092010u;
constexpr DWORD CRYPT_E_NO_REVOCATION_DLL = 0x80092011u;
constexpr DWORD CRYPT_E_NO_REVOCATION_CHECK = 0x80092012u;
constexpr DWORD CRYPT_E_REVOCATION_OFFLINE = 0x80092013u;
constexpr DWORD CRYPT_E_NOT_IN_REVOCATION_DATABASE = 0x80092014u;
constexpr DWORD CRYPT_E_INVALID_NUMERIC_STRING = 0x80092020u;
constexpr DWORD CRYPT_E_INVALID_PRINTABLE_STRING = 0x80092021u;
constexpr DWORD CRYPT_E_INVALID_IA5_STRING = 0x80092022u;
constexpr DWORD CRYPT_E_INVALID_X500_STRING = 0x80092023u;
constexpr DWORD CRYPT_E_NOT_CHAR_STRING = 0x80092024u;
constexpr DWORD CRYPT_E_FILERESIZED = 0x80092025u;
constexpr DWORD CRYPT_E_NOT_IN_CTL = 0x8009202Au;
constexpr DWORD CRYPT_E_NO_TRUSTED_SIGNER = 0x8009202Bu;
constexpr DWORD CRYPT_E_MISSING_PUBKEY_PARA = 0x8009202Cu;
constexpr DWORD CRYPT_E_ASN1_ERROR = 0x80093100u;
constexpr DWORD CRYPT_E_ASN1_BADTAG = 0x8009310Bu;

constexpr DWORD TRUST_E_CERT_SIGNATURE = 0x80096004u;
constexpr DWORD TRUST_E_TIME_STAMP = 0x80096005u;
constexpr DWORD TRUST_E_BAD_DIGEST = 0x80096010u;
constexpr DWORD TRUST_E_BASIC_CONSTRAINTS = 0x80096019u;
constexpr DWORD TRUST_E_NOSIGNATURE = 0x800B0100u;
constexpr DWORD CERT_E_EXPIRED = 0x800B0101u;
constexpr DWORD CERT_E_VALIDITYPERIODNESTING = 0x800B0102u;
constexpr DWORD CERT_E_ROLE = 0x800B0103u;
constexpr DWORD CERT_E_PATHLENCONST = 0x800B0104u;
constexpr DWORD CERT_E_CRITICAL = 0x800B0105u;
constexpr DWORD CERT_E_PURPOSE = 0x800B0106u;
constexpr DWORD CERT_E_ISSUERCHAINING = 0x800B0107u;
constexpr DWORD CERT_E_MALFORMED = 0x800B0108u;
constexpr DWORD CERT_E_UNTRUSTEDROOT = 0x800B0109u;
constexpr DWORD CERT_E_CHAINING = 0x800B010Au;
constexpr DWORD TRUST_E_FAIL = 0x800B010Bu;
constexpr DWORD CERT_E_REVOKED = 0x800B010Cu;
constexpr DWORD CERT_E_UNTRUSTEDTESTROOT = 0x800B010Du;
constexpr DWORD CERT_E_REVOCATION_FAILURE = 0x800B010Eu;
constexpr DWORD CERT_E_CN_NO_MATCH = 0x800B010Fu;
constexpr DWORD CERT_E_WRONG_USAGE = 0x800B0110u;
constexpr DWORD TRUST_E_EXPLICIT_DISTRUST = 0x800B0111u;
constexpr DWORD CERT_E_UNTRUSTEDCA = 0x800B0112u;
constexpr DWORD CERT_E_INVALID_POLICY = 0x800B0113u;
constexpr DWORD CERT_E_INVALID_NAME = 0x800B0114u;

constexpr DWORD FACILITY_WIN32 = 7;
constexpr DWORD HRESULT_FROM_WIN32(DWORD e) {
    return (e == 0 || (e & 0x80000000u)) ? e : ((e & 0xFFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u);
}
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }

// A code that went through a signed 32-bit HRESULT and then a wider signed
// integer (0xFFFFFFFF80090006) is the same error as its 32-bit form.
constexpr DWORD WinErrNormalize(std::int64_t code) {
    return static_cast<DWORD>(static_cast<std::uint64_t>(code) & 0xFFFFFFFFu);
}

// The calling thread's last error, as Windows keeps it.
CERT_API DWORD GetLastError();
CERT_API void SetLastError(DWORD error);

namespace cert::platform {

// errno to the nearest Windows error code; 0 stays 0.
CERT_API DWORD ErrnoToWinError(int err);
// Sets the last error from errno and returns it.
CERT_API DWORD SetLastErrorFromErrno();
CERT_API DWORD SetLastErrorFromErrno(int err);

// The value of a hex digit (either case), -1 for any other character.
constexpr int HexDigitValue(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

// Percent-escaping, as URLs, registry texts and file names made from
// arbitrary text use it: each character `c` at index `i` of `text` for which
// `mustEscape(c, i)` is true (c as an unsigned value; only values below 0x100
// can be escaped) becomes '%' and two hex digits, upper-case unless
// `lowerHex`; the rest stands as it is.
template <class Char, class Pred>
std::basic_string<Char> PercentEscape(std::basic_string_view<Char> text, Pred mustEscape, bool lowerHex = false) {
    const char* hex = lowerHex ? "0123456789abcdef" : "0123456789ABCDEF";
    std::basic_string<Char> out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<std::make_unsigned_t<Char>>(text[i]);
        if (c < 0x100 && mustEscape(static_cast<unsigned>(c), i)) {
            out += Char('%');
            out += Char(hex[c >> 4]);
            out += Char(hex[c & 15]);
        } else {
            out += text[i];
        }
    }
    return out;
}
template <class Pred>
std::string PercentEscape(std::string_view text, Pred mustEscape, bool lowerHex = false) {
    return PercentEscape<char>(text, mustEscape, lowerHex);
}
// The inverse: "%hh" (either case) back to its byte. False when a '%' is not
// followed by two hex digits (`out` then holds what came before it).
CERT_API bool PercentUnescape(std::string_view text, std::string& out);

// "\" to "/" so the library's Windows-style literal paths work on Linux.
CERT_API std::string NativePath(std::string_view path);

// $CERT_HOME, defaulting to $XDG_DATA_HOME/cert, then ~/.local/share/cert.
CERT_API std::string CertHome();
// Overrides $CERT_HOME for this process (tests, `ctf --home`).
CERT_API void SetCertHome(const std::string& home);
// $TMPDIR or /tmp, without trailing separator.
CERT_API std::string TempFolder();

// Creates every missing folder of `path`; the last error tells why not.
CERT_API bool MakeFolders(const std::string& path, unsigned mode = 0755);

// ---------------------------------------------------------------------------
// Whole files. Each function returns ERROR_SUCCESS or the Windows error, which
// it also sets as the last error, and lets no exception out.

// The `mode` of the writers below: the exact permission bits of the new file
// whatever the umask, or kModeAsBefore for those of the file it replaces
// (0644 less the umask for a file that did not exist).
constexpr unsigned kModeAsBefore = 0xFFFFFFFFu;

// Puts `data` in the place of `path`, as follows.
// - No file or a regular file: a work copy in the same folder, under an
//   unpredictable name created exclusively and never through a link, gets
//   its final mode before the first byte, is written whole, synced and
//   renamed over `path`; then the folder is synced. A failure leaves the old
//   file whole and removes the work copy.
// - A character or block device or a FIFO: written in place, opened without
//   being created and never renamed over (an output of /dev/null stays the
//   device). The mode is not touched.
// - A symbolic link: ERROR_STOPPED_ON_SYMLINK, nothing written. Outputs carry
//   private keys; a link may have been planted by whoever can write to the
//   folder, pointing where that user can read or where we must not write,
//   and whether its target is safe cannot be decided without a race. The
//   caller names the target itself instead.
// - A folder: ERROR_DIRECTORY; any other kind of file: ERROR_NOT_SUPPORTED.
CERT_API DWORD WriteFileAtomic(const std::string& path, const void* data, std::size_t size,
                               unsigned mode = kModeAsBefore);

// WriteFileAtomic for an output that a user named: "-" is standard output
// (written in place and left open). A reader that went away is
// ERROR_BROKEN_PIPE, never a SIGPIPE for the process.
CERT_API DWORD WriteOutputFile(const std::string& path, const void* data, std::size_t size,
                               unsigned mode = kModeAsBefore);

// The whole content of `path` (a regular file, a FIFO or a device read to its
// end) into `out`, at most `limit` bytes. Errors: ERROR_FILE_NOT_FOUND (no
// such file) or ERROR_PATH_NOT_FOUND (no such folder, or a part of the path
// is not a folder), ERROR_ACCESS_DENIED, ERROR_DIRECTORY (`path` is a
// folder), ERROR_FILE_TOO_LARGE (more than `limit` bytes; known before
// reading for a regular file); `out` is then empty. Bytes read are never left
// behind in freed memory; still, a secret belongs in a buffer that wipes
// itself when it goes (FileReader into a cert::Secret), not in a string.
CERT_API DWORD ReadWholeFile(const std::string& path, std::string& out, std::size_t limit);

// ReadWholeFile in steps, for readers that look at the first bytes before
// the rest, take a file in pieces of any length, or keep it in a buffer of
// their own (a cert::Secret, an IdentObj) instead of a string.
class CERT_API FileReader {
public:
    static constexpr std::uint64_t kUnknownSize = UINT64_MAX;

    FileReader() noexcept = default;
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Opens `path`, with the errors of ReadWholeFile. With `followLinks`
    // false a symbolic link in the last place is ERROR_STOPPED_ON_SYMLINK.
    DWORD Open(const std::string& path, bool followLinks = true) noexcept;
    // Opens an input that a user named: "-" is standard input, read on from
    // where it stands and left open.
    DWORD OpenInput(const std::string& path) noexcept;
    // The bytes left in a regular file when it was opened; kUnknownSize for
    // a pipe, FIFO, terminal or device, whose end shows only when read.
    std::uint64_t Size() const noexcept { return m_size; }
    // Up to `size` bytes into `buffer`, fewer only at the end of the file;
    // `got` is how many were read, also when the read fails.
    DWORD Read(void* buffer, std::size_t size, std::size_t& got) noexcept;
    // Reads on to the end into the caller's buffer, which holds `have`
    // bytes read before (counted in `limit`); `have` ends as the count of all.
    // `resize(n)` makes the buffer n bytes long, keeping its first bytes, and
    // returns where it starts; it may throw (std::bad_alloc). A regular file
    // is read into one resize of its size (the end is told by one byte more,
    // then trimmed); a stream into a buffer that doubles. More than `limit`
    // bytes: ERROR_FILE_TOO_LARGE, for a regular file before anything is
    // read. On failure the buffer is left to the caller to drop.
    DWORD ReadToEnd(std::size_t& have, std::size_t limit,
                    const std::function<std::uint8_t*(std::size_t)>& resize) noexcept;

private:
    void Close() noexcept;

    int m_fd = -1;
    bool m_own = false;
    std::uint64_t m_size = kUnknownSize;
    std::uint64_t m_taken = 0;  // by Read
};

// Inside a catch handler only: the Windows code for the exception being
// handled (std::bad_alloc ERROR_NOT_ENOUGH_MEMORY, a system or filesystem
// error its errno mapped, anything else ERROR_INTERNAL_ERROR). For the
// boundary of the Windows-style functions, which report by last error.
CERT_API DWORD WinErrorOfCurrentException() noexcept;
// Inside a catch handler only: sets the last error to the code of the
// exception being handled and returns `failed`, the failure result of the
// function reporting by last error.
template <class R>
R ExceptionToLastError(R failed) noexcept {
    SetLastError(WinErrorOfCurrentException());
    return failed;
}

}  // namespace cert::platform

// Special folders.
constexpr int CSIDL_APPDATA = 0x001a;
constexpr int CSIDL_LOCAL_APPDATA = 0x001c;
constexpr int CSIDL_COMMON_APPDATA = 0x0023;
constexpr int CSIDL_FLAG_CREATE = 0x8000;
// Writes the folder (without trailing separator) into `path` (MAX_PATH
// bytes); creates it when `create` is set. FALSE and the last error on failure.
CERT_API BOOL SHGetSpecialFolderPathA(HWND owner, char* path, int csidl, BOOL create);

// Time: FILETIME counts 100 ns ticks since 1601-01-01 UTC.
CERT_API void GetSystemTimeAsFileTime(FILETIME* ft);
CERT_API void GetSystemTime(SYSTEMTIME* st);
CERT_API void GetLocalTime(SYSTEMTIME* st);
CERT_API BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st);
CERT_API BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft);
CERT_API BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local);
CERT_API BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc);
CERT_API LONG CompareFileTime(const FILETIME* a, const FILETIME* b);
CERT_API DWORD GetTickCount();
CERT_API ULONGLONG GetTickCount64();
CERT_API void Sleep(DWORD milliseconds);
CERT_API DWORD GetCurrentThreadId();
CERT_API DWORD GetCurrentProcessId();

namespace cert::platform {
constexpr ULONGLONG FileTimeToU64(const FILETIME& ft) {
    return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
constexpr FILETIME U64ToFileTime(ULONGLONG v) { return FILETIME{DWORD(v & 0xFFFFFFFFu), DWORD(v >> 32)}; }
// Seconds since the Unix epoch to FILETIME and back.
constexpr ULONGLONG kUnixEpochTicks = 116444736000000000ull;
CERT_API FILETIME UnixToFileTime(std::int64_t seconds, std::uint32_t nanoseconds = 0);
CERT_API std::int64_t FileTimeToUnix(const FILETIME& ft);
// Days between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kDays1601To1970 = 134774;
// Proleptic Gregorian calendar: days since 1970-01-01 and back.
CERT_API std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day);
CERT_API void CivilFromDays(std::int64_t days, int& year, int& month, int& day);
CERT_API bool IsLeapYear(int year);
CERT_API int DaysInMonth(int year, int month);  // month 1..12
}  // namespace cert::platform
