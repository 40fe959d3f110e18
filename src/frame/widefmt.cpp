// printf over UTF-16 formats for the wide log records.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "cert/tools.h"
#include "frame/frame_internal.h"

namespace CertDll::detail {

namespace {

std::string Utf8Of(const char16_t* s) {
    if (!s) return "(null)";
    std::string out;
    if (!TOOUtf16ToUtf8(std::u16string_view(s), out)) return "?";
    return out;
}

std::string Utf8OfChar(char16_t c) {
    std::string out;
    if (!TOOUtf16ToUtf8(std::u16string_view(&c, 1), out)) return "?";
    return out;
}

template <typename T>
void Append(std::string& out, const std::string& directive, T value) {
    int n = std::snprintf(nullptr, 0, directive.c_str(), value);
    if (n <= 0) return;
    std::string piece(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(piece.data(), piece.size(), directive.c_str(), value);
    piece.resize(static_cast<std::size_t>(n));
    out += piece;
}

}  // namespace

std::string FormatWide(const std::u16string& wideFormat, va_list args) {
    std::string format;
    if (!TOOUtf16ToUtf8(wideFormat, format)) return "?";
    std::string out;
    std::size_t i = 0;
    while (i < format.size()) {
        char c = format[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '%') {
            out += '%';
            i += 2;
            continue;
        }
        // %[flags][width][.precision][length]conversion
        std::string directive = "%";
        ++i;
        while (i < format.size() && std::string_view("-+ #0'").find(format[i]) != std::string_view::npos)
            directive += format[i++];
        auto number = [&] {
            if (i < format.size() && format[i] == '*') {
                directive += std::to_string(va_arg(args, int));
                ++i;
                return;
            }
            while (i < format.size() && format[i] >= '0' && format[i] <= '9') directive += format[i++];
        };
        number();
        if (i < format.size() && format[i] == '.') {
            directive += format[i++];
            number();
        }
        std::string length;
        while (i < format.size() && std::string_view("hlLqjztwI").find(format[i]) != std::string_view::npos)
            length += format[i++];
        // The sized forms %I64d and %I32d.
        if (length == "I" && (format.compare(i, 2, "64") == 0 || format.compare(i, 2, "32") == 0)) {
            length += format.substr(i, 2);
            i += 2;
        }
        if (i >= format.size()) break;
        const char conv = format[i++];
        switch (conv) {
            case 's':
            case 'S': {
                // In a wide format %s is wide text and %S (or %hs) 8-bit text.
                const bool narrow = (conv == 'S') != (length == "h");
                std::string text = narrow ? [&] {
                const char* s = va_arg(args, const char*);
                return std::string(s ? s : "(null)");
            }()
                                      : Utf8Of(va_arg(args, const char16_t*));
                Append(out, directive + "s", text.c_str());
                break;
            }
            case 'c':
            case 'C': {
                const bool narrow = (conv == 'C') != (length == "h");
                int v = va_arg(args, int);
                std::string text = narrow ? std::string(1, static_cast<char>(v)) : Utf8OfChar(static_cast<char16_t>(v));
                Append(out, directive + "s", text.c_str());
                break;
            }
            case 'd':
            case 'i':
            case 'o':
            case 'u':
            case 'x':
            case 'X': {
                const bool isSigned = conv == 'd' || conv == 'i';
                if (length == "ll" || length == "q" || length == "j" || length == "I64") {
                    if (isSigned)
                        Append(out, directive + "ll" + conv, va_arg(args, long long));
                    else
                        Append(out, directive + "ll" + conv, va_arg(args, unsigned long long));
                } else if (length == "I32") {
                    if (isSigned)
                        Append(out, directive + conv, va_arg(args, int));
                    else
                        Append(out, directive + conv, va_arg(args, unsigned));
                } else if (length == "l" || length == "z" || length == "t" || length == "I") {
                    if (isSigned)
                        Append(out, directive + "l" + conv, va_arg(args, long));
                    else
                        Append(out, directive + "l" + conv, va_arg(args, unsigned long));
                } else {
                    // hh and h arguments arrive promoted to int.
                    if (isSigned)
                        Append(out, directive + length + conv, va_arg(args, int));
                    else
                        Append(out, directive + length + conv, va_arg(args, unsigned));
                }
                break;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                if (length == "L")
                    Append(out, directive + "L" + conv, va_arg(args, long double));
                else
                    Append(out, directive + conv, va_arg(args, double));
                break;
            case 'p':
                Append(out, directive + "p", va_arg(args, void*));
                break;
            case 'n':
                (void)va_arg(args, void*);
                break;
            default:
                out += directive + length + conv;
                break;
        }
    }
    return out;
}

}  // namespace CertDll::detail
