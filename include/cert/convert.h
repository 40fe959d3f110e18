// Small conversions: certificate serial numbers, Base64 blobs, month
// arithmetic and URL identity.
#pragma once

#include <string>

#include "cert/export.h"
#include "cert/platform.h"
#include "cert/tools.h"

// `serial` is least significant byte first (the platform's order); the text
// is the hex of the bytes most significant first, spaced when `separated`.
CERT_API CTOOString Serial2TOOStr(const IdentObj& serial, bool separated);
// The inverse; true when at least one byte was converted.
CERT_API bool TOOStr2Serial(const CTOOString& text, IdentObj& serial);

// Decodes one or more Base64 blocks, armoured ("-----BEGIN ...-----") or
// bare, appending the bodies to `out`; the input bytes consumed, or 0 on
// failure (out unchanged) and for empty input.
CERT_API unsigned long CTFB64BlobToBinary(const IdentObj& in, IdentObj& out);

// Days of the months January..December; February always has 28.
extern CERT_API const unsigned short kDaysOfMonth[12];
// Adds `months`, clamping the day to the new month's length from the table.
CERT_API void AddMonthToTime(SYSTEMTIME* time, unsigned short months);

namespace CertDll {
// True when both URLs canonicalise and the given texts are equal, a
// trailing slash aside (case and escapes count).
CERT_API bool IsIdenticalUrl(const std::u16string& a, const std::u16string& b);
}  // namespace CertDll
