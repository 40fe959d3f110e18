// URL canonicalisation, comparison and unescaping, as the shell utilities
// of the platform provide them.
#pragma once

#include "cert/export.h"
#include "cert/platform.h"

constexpr DWORD URL_UNESCAPE_INPLACE = 0x00100000;
constexpr DWORD URL_DONT_UNESCAPE_EXTRA_INFO = 0x02000000;
constexpr DWORD INTERNET_MAX_URL_LENGTH = 2084;

// Canonical form of `url` into `out` (capacity *outLength characters with
// the zero): the scheme and host in lower case, "\" as "/" in the path of
// hierarchical schemes, "." and ".." segments resolved, spaces, controls and
// unsafe characters escaped as %XX. On success *outLength is the length
// without the zero; E_POINTER with the needed length (zero included) when
// the buffer is too small; E_INVALIDARG for null arguments.
CERT_API HRESULT UrlCanonicalizeW(const char16_t* url, char16_t* out, DWORD* outLength, DWORD flags);
// Case-sensitive comparison; `ignoreSlash` ignores one trailing "/" on each
// side. <0, 0 or >0.
CERT_API int UrlCompareW(const char16_t* a, const char16_t* b, BOOL ignoreSlash);
// %XX sequences to bytes, into `out` (capacity *outLength with the zero) or
// in place with URL_UNESCAPE_INPLACE; URL_DONT_UNESCAPE_EXTRA_INFO stops at
// the first '?' or '#'. *outLength gets the length; E_POINTER when the
// buffer is too small (with the needed length).
CERT_API HRESULT UrlUnescapeA(char* url, char* out, DWORD* outLength, DWORD flags);
