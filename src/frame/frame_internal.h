// Pieces of the frame shared between its own translation units.
#pragma once

#include <cstdarg>
#include <string>

namespace CertDll::detail {

// Makes the explanation texts loadable under the library's module name.
void RegisterErrorTexts();

// Makes the diagnostics dispatcher's folder once per attach, before its
// first line. The product folder comes with installation on the original
// platform; here no installer makes it, and loading the library must not.
void PrepareLogDispFolder();

// printf over a UTF-16 format: %s and %c take UTF-16 (char16_t) arguments,
// %hs/%S and %hc/%C 8-bit ones; the result is UTF-8.
std::string FormatWide(const std::u16string& format, va_list args);

}  // namespace CertDll::detail
