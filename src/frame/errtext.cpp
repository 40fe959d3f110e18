// Explanations of error codes and trust bits, and the system texts of
// platform and directory-service errors.
#include "cert/errtext.h"

#include <algorithm>
#include <mutex>

#include "frame/frame_internal.h"

namespace {

// The library's string resources (Russian), by id.
const TOOStringResource kStrings[] = {
    {110, "Ошибок нет, действие прошло успешно"},
    {111, "Неверна подпись корневого сертификата"},
    {112, "Период действия сертификата не вложен в период действия корневого сертификата"},
    {113, "Один или несколько сертификатов цепочки неверны по времени"},
    {114, "Цепочка сертификатов неполна"},
    {115, "Один или несколько сертификатов цепочки отозваны"},
    {116, "Корневой сертификат не является доверенным"},
    {117, "Неизвестно, является ли сертификат или один из сертификатов цепочки сертификатов отозванным"},
    {120, "Не возможно найти сертификат и/или закрытый ключ для шифрования/расшифрования"},
    {121,
     "В подписанном сообщении не найден подписавший сообщение пользователь для указанного индекса подписавших "
     "пользователей"},
    {122, "Сертификат не имеет данных, указывающих на закрытый ключ"},
    {123, "Один или более аргумент неверен"},
    {124, "Дескриптор неверен"},
    {125, "Параметр неверен"},
    {126, "Данные исчерпаны"},
    {128, "Указан неверный или неизвестный алгоритм"},
    {129, "Указан неверный флаг"},
    {130, "Ошибка хэширования"},
    {131, "Hash-значение неверно для использования в указанном месте"},
    {132, "Ключ неверен"},
    {133, "Длина неверна"},
    {134, "Подпись неверна"},
    {135, "Идентификатор (имя) неверен"},
    {136, "Возникла внутренняя ошибка"},
    {137, "Ключи не существуют"},
    {138, "Недостаточно свободной памяти для выполнения действия"},
    {139, "Возникла неизвестная ошибка"},
    {140, "Недостаточно информации для проверки этого сертификата."},
    {141, "Целостность этого сертификата не гарантирована. Возможно, он поврежден или изменен."},
    {142, "Этот сертификат был отозван выдавшим его центром сертификации."},
    {143, "Срок действия этого сертификата уже истек или еще не наступил."},
    {144,
     "Не удалось проверить этот сертификат, поскольку не получен правильный список отзыва сертификатов от центра "
     "сертификации, выпустившего этот сертификат."},
    {146, "Сертификат пользователя, подписавшего сообщение, неверен или не найден."},
    {147, "Дата подписи и/или сертификата не может быть проверена или неверна."},
    {148, "Неверное назначение сертификата"},
};

constexpr unsigned kTextNoError = 110;
constexpr unsigned kTextUnknownError = 139;
constexpr unsigned kTextUnknownTrust = 117;
constexpr DWORD TRUST_E_NO_SIGNER_CERT = 0x80096002u;

struct CodeText {
    DWORD code;
    unsigned id;
};
const CodeText kExplained[] = {
    {ERROR_SUCCESS, 110},
    {ERROR_INVALID_HANDLE, 124},
    {ERROR_INVALID_PARAMETER, 125},
    {ERROR_MORE_DATA, 126},
    {E_INVALIDARG, 123},
    {NTE_BAD_UID, 135},
    {NTE_BAD_HASH, 130},
    {NTE_BAD_KEY, 132},
    {NTE_BAD_LEN, 133},
    {NTE_BAD_SIGNATURE, 134},
    {NTE_BAD_ALGID, 128},
    {NTE_BAD_FLAGS, 129},
    {NTE_BAD_HASH_STATE, 131},
    {NTE_NO_KEY, 137},
    {NTE_NO_MEMORY, 138},
    {NTE_FAIL, 136},
    {CRYPT_E_UNEXPECTED_MSG_TYPE, 122},
    {CRYPT_E_NO_KEY_PROPERTY, 120},
    {CRYPT_E_NO_SIGNER, 121},
    {TRUST_E_NO_SIGNER_CERT, 146},
    {TRUST_E_CERT_SIGNATURE, 141},
    {TRUST_E_TIME_STAMP, 147},
    {CERT_E_EXPIRED, 143},
    {CERT_E_CHAINING, 140},
    {CERT_E_REVOKED, 142},
    {CERT_E_REVOCATION_FAILURE, 144},
    {CERT_E_WRONG_USAGE, 148},
};

// Codes reach the explanations as unsigned long: a 32-bit code, or an
// HRESULT that a signed conversion widened. Anything else is no code.
bool Narrow(unsigned long code, DWORD& out) {
    const std::uint64_t v = code;
    const std::uint64_t high = v >> 32;
    if (high == 0 || (high == 0xFFFFFFFFu && (v & 0x80000000u))) {
        out = WinErrNormalize(static_cast<std::int64_t>(v));
        return true;
    }
    return false;
}

const CodeText* FindExplained(unsigned long code) {
    DWORD c = 0;
    if (!Narrow(code, c)) return nullptr;
    for (const auto& e : kExplained)
        if (e.code == c) return &e;
    return nullptr;
}

CTOOString Text(unsigned id) {
    CTOOString s;
    s.LoadStringA(id, kCertModuleName);
    return s;
}

struct SystemText {
    DWORD code;
    const char* text;
};
// The system's message texts of the codes the library meets.
const SystemText kSystemTexts[] = {
    {0, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_WRITE_PROTECT, "The media is write protected."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the file."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved."},
    {ERROR_MORE_DATA, "More data is available."},
    {WAIT_TIMEOUT, "The wait operation timed out."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_DIRECTORY, "The directory name is invalid."},
    {ERROR_STOPPED_ON_SYMLINK, "The create operation stopped after reaching a symbolic link."},
    {ERROR_NOT_FOUND, "Element not found."},
    {ERROR_CANCELLED, "The operation was canceled by the user."},
    {ERROR_INTERNAL_ERROR, "An internal error occurred."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {E_NOTIMPL, "Not implemented"},
    {E_POINTER, "Invalid pointer"},
    {E_ABORT, "Operation aborted"},
    {E_FAIL, "Unspecified error"},
    {E_UNEXPECTED, "Catastrophic failure"},
    {NTE_BAD_UID, "Bad UID."},
    {NTE_BAD_HASH, "Bad Hash."},
    {NTE_BAD_KEY, "Bad Key."},
    {NTE_BAD_LEN, "Bad Length."},
    {NTE_BAD_DATA, "Bad Data."},
    {NTE_BAD_SIGNATURE, "Invalid Signature."},
    {NTE_BAD_VER, "Bad Version of provider."},
    {NTE_BAD_ALGID, "Invalid algorithm specified."},
    {NTE_BAD_FLAGS, "Invalid flags specified."},
    {NTE_BAD_TYPE, "Invalid type specified."},
    {NTE_BAD_KEY_STATE, "Key not valid for use in specified state."},
    {NTE_BAD_HASH_STATE, "Hash not valid for use in specified state."},
    {NTE_NO_KEY, "Key does not exist."},
    {NTE_NO_MEMORY, "Insufficient memory available for the operation."},
    {NTE_EXISTS, "Object already exists."},
    {NTE_PERM, "Access denied."},
    {NTE_NOT_FOUND, "Object was not found."},
    {NTE_DOUBLE_ENCRYPT, "Data already encrypted."},
    {NTE_BAD_PROVIDER, "Invalid provider specified."},
    {NTE_BAD_PROV_TYPE, "Invalid provider type specified."},
    {NTE_BAD_PUBLIC_KEY, "Provider's public key is invalid."},
    {NTE_BAD_KEYSET, "Keyset does not exist"},
    {NTE_PROV_TYPE_NOT_DEF, "Provider type not defined."},
    {NTE_PROV_TYPE_ENTRY_BAD, "Provider type as registered is invalid."},
    {NTE_KEYSET_NOT_DEF, "The keyset is not defined."},
    {NTE_KEYSET_ENTRY_BAD, "Keyset as registered is invalid."},
    {NTE_PROV_TYPE_NO_MATCH, "Provider type does not match registered value."},
    {NTE_SIGNATURE_FILE_BAD, "The digital signature file is corrupt."},
    {NTE_PROVIDER_DLL_FAIL, "Provider DLL failed to initialize correctly."},
    {NTE_PROV_DLL_NOT_FOUND, "Provider DLL could not be found."},
    {NTE_BAD_KEYSET_PARAM, "The Keyset parameter is invalid."},
    {NTE_FAIL, "An internal error occurred."},
    {NTE_SYS_ERR, "A base error occurred."},
    {NTE_SILENT_CONTEXT, "Provider could not perform the action since the context was acquired as silent."},
    {NTE_INVALID_HANDLE, "The supplied handle is invalid."},
    {NTE_INVALID_PARAMETER, "The parameter is incorrect."},
    {NTE_BUFFER_TOO_SMALL, "The buffer supplied to a function was too small."},
    {NTE_NOT_SUPPORTED, "The requested operation is not supported."},
    {NTE_NO_MORE_ITEMS, "No more data is available."},
    {CRYPT_E_MSG_ERROR, "An error occurred while performing an operation on a cryptographic message."},
    {CRYPT_E_UNKNOWN_ALGO, "Unknown cryptographic algorithm."},
    {CRYPT_E_OID_FORMAT, "The object identifier is poorly formatted."},
    {CRYPT_E_INVALID_MSG_TYPE, "Invalid cryptographic message type."},
    {CRYPT_E_UNEXPECTED_ENCODING, "Unexpected cryptographic message encoding."},
    {CRYPT_E_AUTH_ATTR_MISSING, "The cryptographic message does not contain an expected authenticated attribute."},
    {CRYPT_E_HASH_VALUE, "The hash value is not correct."},
    {CRYPT_E_INVALID_INDEX, "The index value is not valid."},
    {CRYPT_E_ALREADY_DECRYPTED, "The content of the cryptographic message has already been decrypted."},
    {CRYPT_E_NOT_DECRYPTED, "The content of the cryptographic message has not been decrypted yet."},
    {CRYPT_E_RECIPIENT_NOT_FOUND, "The enveloped-data message does not contain the specified recipient."},
    {CRYPT_E_CONTROL_TYPE, "Invalid control type."},
    {CRYPT_E_ISSUER_SERIALNUMBER, "Invalid issuer and/or serial number."},
    {CRYPT_E_SIGNER_NOT_FOUND, "Cannot find the original signer."},
    {CRYPT_E_ATTRIBUTES_MISSING, "The cryptographic message does not contain all of the requested attributes."},
    {CRYPT_E_STREAM_MSG_NOT_READY, "The streamed cryptographic message is not ready to return data."},
    {CRYPT_E_STREAM_INSUFFICIENT_DATA,
     "The streamed cryptographic message requires more data to complete the decode operation."},
    {CRYPT_E_BAD_LEN, "The length specified for the output data was insufficient."},
    {CRYPT_E_BAD_ENCODE, "An error occurred during encode or decode operation."},
    {CRYPT_E_FILE_ERROR, "An error occurred while reading or writing to a file."},
    {CRYPT_E_NOT_FOUND, "Cannot find object or property."},
    {CRYPT_E_EXISTS, "The object or property already exists."},
    {CRYPT_E_NO_PROVIDER, "No provider was specified for the store or object."},
    {CRYPT_E_SELF_SIGNED, "The specified certificate is self signed."},
    {CRYPT_E_DELETED_PREV, "The previous certificate or certificate revocation list context was deleted."},
    {CRYPT_E_NO_MATCH, "Cannot find the requested object."},
    {CRYPT_E_UNEXPECTED_MSG_TYPE, "Unexpected cryptographic message type."},
    {CRYPT_E_NO_KEY_PROPERTY, "The certificate does not have a property that references a private key."},
    {CRYPT_E_NO_DECRYPT_CERT, "Cannot find the certificate and private key for decryption."},
    {CRYPT_E_BAD_MSG, "Not a cryptographic message or the cryptographic message is not formatted correctly."},
    {CRYPT_E_NO_SIGNER, "The signed cryptographic message does not have a signer for the specified signer index."},
    {CRYPT_E_REVOKED, "The certificate is revoked."},
    {CRYPT_E_NO_REVOCATION_DLL, "No Dll or exported function was found to verify revocation."},
    {CRYPT_E_NO_REVOCATION_CHECK, "The revocation function was unable to check revocation for the certificate."},
    {CRYPT_E_REVOCATION_OFFLINE,
     "The revocation function was unable to check revocation because the revocation server was offline."},
    {CRYPT_E_NOT_IN_REVOCATION_DATABASE, "The certificate is not in the revocation server's database."},
    {CRYPT_E_INVALID_NUMERIC_STRING, "The string contains a non-numeric character."},
    {CRYPT_E_INVALID_PRINTABLE_STRING, "The string contains a non-printable character."},
    {CRYPT_E_INVALID_IA5_STRING, "The string contains a character not in the 7 bit ASCII character set."},
    {CRYPT_E_INVALID_X500_STRING, "The string contains an invalid X500 name attribute key, oid, value or delimiter."},
    {CRYPT_E_NOT_CHAR_STRING, "The name value is not one of the character strings."},
    {CRYPT_E_NOT_IN_CTL, "The certificate is not in the certificate trust list."},
    {CRYPT_E_NO_TRUSTED_SIGNER,
     "None of the signers of the cryptographic message or certificate trust list is trusted."},
    {CRYPT_E_MISSING_PUBKEY_PARA, "The public key's algorithm parameters are missing."},
    {CRYPT_E_ASN1_ERROR, "ASN1 internal encode or decode error."},
    {CRYPT_E_ASN1_BADTAG, "ASN1 bad tag value met."},
    {TRUST_E_NO_SIGNER_CERT, "The certificate for the signer of the message is invalid or not found."},
    {TRUST_E_CERT_SIGNATURE, "The signature of the certificate cannot be verified."},
    {TRUST_E_TIME_STAMP, "The timestamp signature and/or certificate could not be verified or is malformed."},
    {TRUST_E_BAD_DIGEST, "The digital signature of the object did not verify."},
    {TRUST_E_BASIC_CONSTRAINTS, "A certificate's basic constraint extension has not been observed."},
    {TRUST_E_NOSIGNATURE, "No signature was present in the subject."},
    {CERT_E_EXPIRED,
     "A required certificate is not within its validity period when verifying against the current system clock "
     "or the timestamp in the signed file."},
    {CERT_E_VALIDITYPERIODNESTING, "The validity periods of the certification chain do not nest correctly."},
    {CERT_E_ROLE, "A certificate that can only be used as an end-entity is being used as a CA or vice versa."},
    {CERT_E_PATHLENCONST, "A path length constraint in the certification chain has been violated."},
    {CERT_E_CRITICAL, "A certificate contains an unknown extension that is marked 'critical'."},
    {CERT_E_PURPOSE, "A certificate being used for a purpose other than the ones specified by its CA."},
    {CERT_E_ISSUERCHAINING, "A parent of a given certificate in fact did not issue that child certificate."},
    {CERT_E_MALFORMED,
     "A certificate is missing or has an empty value for an important field, such as a subject or issuer name."},
    {CERT_E_UNTRUSTEDROOT,
     "A certificate chain processed, but terminated in a root certificate which is not trusted by the trust "
     "provider."},
    {CERT_E_CHAINING, "A certificate chain could not be built to a trusted root authority."},
    {TRUST_E_FAIL, "Generic trust failure."},
    {CERT_E_REVOKED, "A certificate was explicitly revoked by its issuer."},
    {CERT_E_UNTRUSTEDTESTROOT,
     "The certification path terminates with the test root which is not trusted with the current policy "
     "settings."},
    {CERT_E_REVOCATION_FAILURE, "The revocation process could not continue - the certificate(s) could not be checked."},
    {CERT_E_CN_NO_MATCH, "The certificate's CN name does not match the passed value."},
    {CERT_E_WRONG_USAGE, "The certificate is not valid for the requested usage."},
    {TRUST_E_EXPLICIT_DISTRUST, "The certificate was explicitly marked as untrusted by the user."},
    {CERT_E_UNTRUSTEDCA,
     "A certification chain processed correctly, but one of the CA certificates is not trusted by the policy "
     "provider."},
    {CERT_E_INVALID_POLICY, "The certificate has invalid policy."},
    {CERT_E_INVALID_NAME,
     "The certificate has an invalid name. The name is not included in the permitted list or is explicitly "
     "excluded."},
};

struct DsName {
    DWORD code;
    const char* name;
};
const DsName kDirectoryErrors[] = {
    {0x80005000u, "E_ADS_BAD_PATHNAME"},           {0x80005001u, "E_ADS_INVALID_DOMAIN_OBJECT"},
    {0x80005002u, "E_ADS_INVALID_USER_OBJECT"},    {0x80005003u, "E_ADS_INVALID_COMPUTER_OBJECT"},
    {0x80005004u, "E_ADS_UNKNOWN_OBJECT"},         {0x80005005u, "E_ADS_PROPERTY_NOT_SET"},
    {0x80005006u, "E_ADS_PROPERTY_NOT_SUPPORTED"}, {0x80005007u, "E_ADS_PROPERTY_INVALID"},
    {0x80005008u, "E_ADS_BAD_PARAMETER"},          {0x80005009u, "E_ADS_OBJECT_UNBOUND"},
    {0x8000500Au, "E_ADS_PROPERTY_NOT_MODIFIED"},  {0x8000500Bu, "E_ADS_PROPERTY_MODIFIED"},
    {0x8000500Cu, "E_ADS_CANT_CONVERT_DATATYPE"},  {0x8000500Du, "E_ADS_PROPERTY_NOT_FOUND"},
    {0x8000500Eu, "E_ADS_OBJECT_EXISTS"},          {0x8000500Fu, "E_ADS_SCHEMA_VIOLATION"},
    {0x80005010u, "E_ADS_COLUMN_NOT_SET"},         {0x80005014u, "E_ADS_INVALID_FILTER"},
};

constexpr DWORD ERROR_INTERNET_EXTENDED_ERROR = 12003;
constexpr std::size_t kResponseBuffer = 260;

std::mutex g_responseMutex;
CertDll::LastResponseFn g_lastResponse = nullptr;

}  // namespace

void CertDll::detail::RegisterErrorTexts() { TOORegisterStringTable(kCertModuleName, kStrings, std::size(kStrings)); }

CTOOString CTFGetWinErrorExplaination(unsigned long code) try {
    const CodeText* e = FindExplained(code);
    return Text(e ? e->id : kTextUnknownError);
} catch (...) {
    TOORethrowAsStatus("CTFGetWinErrorExplaination");
}

bool CTFHasWinErrorExplaination(unsigned long code) { return FindExplained(code) != nullptr; }

unsigned long CTFCertFlags2WinErr(unsigned long s) {
    // The first rule that matches decides: a broken chain outweighs a bad
    // signature, which outweighs revocation, then time, and so on.
    if (s == 0) return 0;
    if (s & (0x10000 | 0x20)) return CERT_E_CHAINING;
    if (s & 0x8) return TRUST_E_CERT_SIGNATURE;
    if (s & 0x4) return CERT_E_REVOKED;
    if (s & 0x1) return CERT_E_EXPIRED;
    if (s & 0x80) return CERT_E_CHAINING;
    if (s & 0x40) return CERT_E_REVOCATION_FAILURE;
    if (s & 0x2) return CERT_E_VALIDITYPERIODNESTING;
    if (s & 0x10) return CERT_E_WRONG_USAGE;
    if (s & 0x40000) return TRUST_E_CERT_SIGNATURE;
    if (s & 0x20000) return CERT_E_EXPIRED;
    if (s & 0x80000) return CERT_E_WRONG_USAGE;
    if (s & (0x200 | 0x400 | 0x800)) return TRUST_E_BASIC_CONSTRAINTS;
    return 0;
}

CTOOString CTFGetCertTotalBitMaskExplaination(unsigned long s) try {
    unsigned id = kTextUnknownTrust;
    if (s == 0)
        id = kTextNoError;
    else if (s & 0x10000)
        id = 114;
    else if (s & 0x8)
        id = 111;
    else if (s & 0x20)
        id = 116;
    else if (s & 0x1)
        id = 113;
    else if (s & 0x2)
        id = 112;
    else if (s & 0x4)
        id = 115;
    return Text(id);
} catch (...) {
    TOORethrowAsStatus("CTFGetCertTotalBitMaskExplaination");
}

namespace CertDll {

void SetLastResponseSource(LastResponseFn fn) {
    std::lock_guard<std::mutex> lock(g_responseMutex);
    g_lastResponse = fn;
}

bool GetWin32ErrorText(unsigned long code, std::string& text) try {
    text.clear();
    DWORD c = 0;
    if (!Narrow(code, c)) return false;
    if (c == ERROR_INTERNET_EXTENDED_ERROR) {
        LastResponseFn fn;
        {
            std::lock_guard<std::mutex> lock(g_responseMutex);
            fn = g_lastResponse;
        }
        if (fn) text = fn();
        if (text.size() >= kResponseBuffer) text.resize(kResponseBuffer - 1);
        return true;
    }
    // A Win32 code wrapped in an HRESULT has the Win32 code's text.
    if ((c & 0xFFFF0000u) == 0x80070000u) c &= 0xFFFFu;
    for (const auto& t : kSystemTexts) {
        if (t.code == c) {
            text = t.text;
            return true;
        }
    }
    return false;
} catch (...) {
    text.clear();
    return false;
}

bool GetErrorText(HRESULT code, std::u16string& text) try {
    text.clear();
    const DWORD c = static_cast<DWORD>(code);
    std::string narrow;
    if (c & 0x5000u) {
        auto it = std::find_if(std::begin(kDirectoryErrors), std::end(kDirectoryErrors),
                               [c](const DsName& d) { return d.code == c; });
        if (it == std::end(kDirectoryErrors)) return false;
        narrow = it->name;
    } else if ((c & 0x1FFF0000u) == 0x70000u) {
        if (!GetWin32ErrorText(c, narrow)) return false;
    } else {
        return false;
    }
    return TOOUtf8ToUtf16(narrow, text);
} catch (...) {
    text.clear();
    return false;
}

}  // namespace CertDll
