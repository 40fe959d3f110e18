// Text forms the tool prints and reads the same way in every command: JSON
// values, explanations of codes, serial numbers and times. No state; every
// function here is safe from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cert/platform.h"

namespace ctf {

// ---------------------------------------------------------------------------
// JSON. Strings come out as valid UTF-8 whatever the input: a byte that is
// not part of a well-formed UTF-8 sequence is written as the four
// characters \xHH (a backslash, 'x', two upper-case hex digits).
std::string JsonString(std::string_view s);

// One JSON object, keys in the order added. Keys are camelCase; numbers
// (codes and masks among them) are unsigned.
class JsonObject {
public:
    JsonObject& Add(std::string_view key, std::string_view text);
    JsonObject& Add(std::string_view key, const char* text) { return Add(key, std::string_view(text)); }
    JsonObject& Add(std::string_view key, const std::string& text) { return Add(key, std::string_view(text)); }
    JsonObject& Add(std::string_view key, bool value);
    JsonObject& Add(std::string_view key, std::uint64_t value);
    JsonObject& Add(std::string_view key, std::uint32_t value) { return Add(key, std::uint64_t(value)); }
    // `json` is a JSON value already written (an object, an array).
    JsonObject& AddJson(std::string_view key, const std::string& json);
    std::string str() const { return body_ + "}"; }

private:
    std::string body_ = "{";
};

// A JSON array of strings, or of values already written.
std::string JsonStrings(const std::vector<std::string>& items);
std::string JsonArray(const std::vector<std::string>& jsonItems);

// ---------------------------------------------------------------------------
// Explanations. A status of the library is explained in the form `ctf
// explain` takes back: a Windows code as 0x%08X, then the library's text (and
// a "system: " line with the platform's own text when there is one); a
// foundation status as its decimal number and its text.
struct Explanation {
    std::uint32_t code = 0;  // the Windows code, or the foundation status
    bool windows = false;
    std::string text;    // the library's text
    std::string system;  // the platform's text of a Windows code, or empty
    std::vector<std::string> Lines() const;
};
Explanation ExplainWinCode(std::uint32_t winCode);
Explanation ExplainStatus(int status);

// ---------------------------------------------------------------------------
// Serial numbers, typed and printed as OpenSSL prints them: upper-case hex,
// most significant byte first, no sign byte ("00" for zero). Parsing takes
// either case and pairs separated by ':' (the -text form); the result is the
// magnitude, most significant byte first, without leading zero bytes (one
// zero byte for zero). False for anything else.
bool ParseSerial(std::string_view text, std::vector<std::uint8_t>& magnitude);
// `bigEndian` is a magnitude or the content of a DER INTEGER: leading zero
// bytes (the sign byte among them) are not printed.
std::string FormatSerial(std::span<const std::uint8_t> bigEndian);

// ---------------------------------------------------------------------------
// ISO 8601 in UTC: "2026-12-06T19:04:58Z", with a fraction of the second
// only when there is one.
std::string IsoTime(const FILETIME& t);

// Lower- or upper-case hex of bytes.
std::string Hex(std::span<const std::uint8_t> bytes, bool upper = true);

}  // namespace ctf
