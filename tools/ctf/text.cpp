#include "text.h"

#include <cctype>
#include <cstdio>

#include "cert/asn.h"
#include "cert/errtext.h"
#include "cert/tools.h"

namespace ctf {

namespace {

std::string Key(std::string_view key) { return JsonString(key) + ": "; }

}  // namespace

std::string JsonString(std::string_view s) {
    std::string o = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const std::size_t n = TOOUtf8SequenceLength(s, i);
        char b[8];
        if (n == 0) {
            std::snprintf(b, sizeof b, "\\\\x%02X", c);
            o += b;
            ++i;
            continue;
        }
        if (n > 1) {
            o.append(s.substr(i, n));
            i += n;
            continue;
        }
        switch (c) {
            case '"':
                o += "\\\"";
                break;
            case '\\':
                o += "\\\\";
                break;
            case '\n':
                o += "\\n";
                break;
            case '\r':
                o += "\\r";
                break;
            case '\t':
                o += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    std::snprintf(b, sizeof b, "\\u%04x", c);
                    o += b;
                } else {
                    o += static_cast<char>(c);
                }
        }
        ++i;
    }
    return o + "\"";
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view text) { return AddJson(key, JsonString(text)); }

JsonObject& JsonObject::Add(std::string_view key, bool value) { return AddJson(key, value ? "true" : "false"); }

JsonObject& JsonObject::Add(std::string_view key, std::uint64_t value) { return AddJson(key, std::to_string(value)); }

JsonObject& JsonObject::AddJson(std::string_view key, const std::string& json) {
    if (body_.size() > 1) body_ += ", ";
    body_ += Key(key) + json;
    return *this;
}

std::string JsonArray(const std::vector<std::string>& jsonItems) {
    std::string s = "[";
    for (std::size_t i = 0; i < jsonItems.size(); ++i) s += (i ? ", " : "") + jsonItems[i];
    return s + "]";
}

std::string JsonStrings(const std::vector<std::string>& items) {
    std::vector<std::string> quoted;
    for (const auto& i : items) quoted.push_back(JsonString(i));
    return JsonArray(quoted);
}

std::vector<std::string> Explanation::Lines() const {
    char head[32];
    if (windows)
        std::snprintf(head, sizeof head, "0x%08X: ", code);
    else
        std::snprintf(head, sizeof head, "%u: ", code);
    std::vector<std::string> lines{head + text};
    if (!system.empty()) lines.push_back("system: " + system);
    return lines;
}

Explanation ExplainWinCode(std::uint32_t winCode) {
    Explanation e;
    e.code = winCode;
    e.windows = true;
    e.text = CTFGetWinErrorExplaination(winCode).str();
    CertDll::GetWin32ErrorText(winCode, e.system);
    return e;
}

Explanation ExplainStatus(int status) {
    if (DWORD win = ToolsErr2WinErr(status)) return ExplainWinCode(win);
    Explanation e;
    e.code = static_cast<std::uint32_t>(status);
    const char* t = TOOStatusText(status);
    e.text = t ? t : "unknown status";
    return e;
}

bool ParseSerial(std::string_view text, std::vector<std::uint8_t>& magnitude) {
    std::string digits;
    const bool paired = text.find(':') != std::string_view::npos;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ':') {
            // Only between pairs: "0c:95", not ":0c", "0c:", "0c::95" or "c:95".
            if (i == 0 || i + 1 == text.size() || digits.size() % 2 || text[i + 1] == ':') return false;
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        digits += c;
    }
    if (digits.empty() || (paired && digits.size() % 2)) return false;
    if (digits.size() % 2) digits.insert(digits.begin(), '0');
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    std::size_t lead = 0;
    while (lead + 1 < out.size() && out[lead] == 0) ++lead;
    magnitude.assign(out.begin() + static_cast<std::ptrdiff_t>(lead), out.end());
    return true;
}

std::string FormatSerial(std::span<const std::uint8_t> bigEndian) {
    std::size_t lead = 0;
    while (lead + 1 < bigEndian.size() && bigEndian[lead] == 0) ++lead;
    if (bigEndian.empty()) return "00";
    return Hex(bigEndian.subspan(lead));
}

std::string IsoTime(const FILETIME& t) {
    // The foundation's form with the date and the time joined by 'T'.
    std::string s = asn::FormatTime(t);
    if (auto blank = s.find(' '); blank != std::string::npos) s[blank] = 'T';
    return s;
}

std::string Hex(std::span<const std::uint8_t> bytes, bool upper) {
    static const char kUpper[] = "0123456789ABCDEF";
    static const char kLower[] = "0123456789abcdef";
    const char* d = upper ? kUpper : kLower;
    std::string s;
    s.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        s += d[b >> 4];
        s += d[b & 15];
    }
    return s;
}

}  // namespace ctf
