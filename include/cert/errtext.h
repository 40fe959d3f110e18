// Explanations of error codes and of chain trust bits (the library's Russian
// string resources), and the system texts of platform and directory-service
// errors.
#pragma once

#include <string>

#include "cert/export.h"
#include "cert/platform.h"
#include "cert/tools.h"

// The module name the explanations are registered under.
constexpr const char* kCertModuleName = "Cert.dll";

// Text of a Windows or CryptoAPI error code; unknown codes give text 139.
// A code widened with sign extension (0xFFFFFFFF80090006) is its 32-bit form.
CERT_API CTOOString CTFGetWinErrorExplaination(unsigned long code);
// One error code for a set of chain trust error bits (0 for none).
CERT_API unsigned long CTFCertFlags2WinErr(unsigned long trustErrorStatus);
// One text for a set of chain trust error bits; unknown sets give text 117.
CERT_API CTOOString CTFGetCertTotalBitMaskExplaination(unsigned long trustErrorStatus);

// True when `code` has an explanation of its own (not the fallback).
CERT_API bool CTFHasWinErrorExplaination(unsigned long code);

namespace CertDll {

// The system's text of a Win32 code (a Win32 code wrapped in an HRESULT
// gives the same text); for 12003 the server's last response. False and an
// empty text when the system has none.
CERT_API bool GetWin32ErrorText(unsigned long code, std::string& text);
// Directory-service errors by name, wrapped Win32 errors by their text.
CERT_API bool GetErrorText(HRESULT code, std::u16string& text);

// The server's last response of the calling thread, kept by the
// downloaders for error 12003 (a seam: the frame knows no connections).
using LastResponseFn = std::string (*)();
CERT_API void SetLastResponseSource(LastResponseFn fn);

}  // namespace CertDll
