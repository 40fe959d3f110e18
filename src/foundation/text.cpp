#include <cerrno>
#include <cstring>

#include <iconv.h>

#include "cert/tools.h"

namespace {
const char kHex[] = "0123456789ABCDEF";
const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

using cert::platform::HexDigitValue;
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int B64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Decodes into `out` (when not null, `size` bytes room); returns the decoded
// length or -1 on bad input / too little room.
long long DecodeBase64(std::string_view text, BYTE* out, std::size_t size) {
    std::size_t n = 0;
    unsigned acc = 0;
    int bits = 0, quad = 0, pad = 0;
    for (char c : text) {
        if (IsBlank(c)) continue;
        if (c == '=') {
            if (quad < 2) return -1;
            ++pad;
            ++quad;
            if (quad == 4) quad = 0;
            continue;
        }
        int v = B64Value(c);
        if (v < 0 || pad) return -1;
        acc = (acc << 6) | static_cast<unsigned>(v);
        bits += 6;
        quad = (quad + 1) % 4;
        if (bits >= 8) {
            bits -= 8;
            if (out) {
                if (n >= size) return -1;
                out[n] = static_cast<BYTE>(acc >> bits);
            }
            ++n;
        }
    }
    if (quad != 0) {
        // Unpadded input is accepted only when the leftover bits are zero.
        if (quad == 1) return -1;
    }
    if (pad > 2) return -1;
    if (bits > 0 && (acc & ((1u << bits) - 1)) != 0) return -1;
    return static_cast<long long>(n);
}

bool Convert(const char* to, const char* from, const char* in, std::size_t inLen, std::string& out) {
    out.clear();
    if (inLen == 0) return true;
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string buf(inLen * 4 + 16, '\0');
    char* src = const_cast<char*>(in);
    std::size_t srcLeft = inLen;
    char* dst = buf.data();
    std::size_t dstLeft = buf.size();
    bool ok = true;
    while (srcLeft > 0) {
        if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) {
                std::size_t used = buf.size() - dstLeft;
                buf.resize(buf.size() * 2);
                dst = buf.data() + used;
                dstLeft = buf.size() - used;
                continue;
            }
            ok = false;
            break;
        }
    }
    iconv_close(cd);
    if (ok) out.assign(buf.data(), buf.size() - dstLeft);
    return ok;
}
}  // namespace

std::size_t TOOUtf8SequenceLength(std::string_view s, std::size_t i) noexcept {
    if (i >= s.size()) return 0;
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const auto cont = [&](std::size_t k) { return i + k < s.size() && (b(k) & 0xC0) == 0x80; };
    const unsigned char c = b(0);
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (!cont(1) || !cont(2)) return 0;
        if (c == 0xE0 && b(1) < 0xA0) return 0;   // overlong
        if (c == 0xED && b(1) >= 0xA0) return 0;  // surrogate
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3)) return 0;
        if (c == 0xF0 && b(1) < 0x90) return 0;   // overlong
        if (c == 0xF4 && b(1) >= 0x90) return 0;  // above U+10FFFF
        return 4;
    }
    return 0;
}

std::size_t TOOBin2Hex(const void* bytes, std::size_t n, char* text, std::size_t size, bool separated) {
    if (n && !bytes) return 0;
    std::size_t need = n == 0 ? 0 : (separated ? n * 3 - 1 : n * 2);
    if (!text) return need + 1;
    if (need + 1 > size) {
        text[0] = 0;
        return 0;
    }
    const BYTE* b = static_cast<const BYTE*>(bytes);
    char* p = text;
    for (std::size_t i = 0; i < n; ++i) {
        if (separated && i) *p++ = ' ';
        *p++ = kHex[b[i] >> 4];
        *p++ = kHex[b[i] & 15];
    }
    *p = 0;
    return need;
}

std::string TOOBin2HexStr(const void* bytes, std::size_t n, bool separated) try {
    std::string s(n * 3 + 1, '\0');
    std::size_t k = TOOBin2Hex(bytes, n, s.data(), s.size(), separated);
    s.resize(k);
    return s;
} catch (...) {
    TOORethrowAsStatus("TOOBin2HexStr");
}

std::size_t TOOHex2Bin(const char* text, void* bytes, std::size_t size) {
    if (!text || !bytes) return 0;
    BYTE* out = static_cast<BYTE*>(bytes);
    std::size_t n = 0;
    int hi = -1;
    for (const char* p = text; *p; ++p) {
        if (IsBlank(*p)) continue;
        int d = HexDigitValue(*p);
        if (d < 0) return 0;
        if (hi < 0) {
            hi = d;
            continue;
        }
        if (n >= size) return 0;
        out[n++] = static_cast<BYTE>(hi << 4 | d);
        hi = -1;
    }
    return hi < 0 ? n : 0;
}

bool TOOHex2BinStr(std::string_view text, IdentObj& out) try {
    std::string z(text);
    IdentObj tmp;
    tmp.Alloc(static_cast<DWORD>(z.size() / 2 + 1));
    std::size_t n = TOOHex2Bin(z.c_str(), tmp.data(), tmp.size());
    bool empty = true;
    for (char c : z)
        if (!IsBlank(c)) empty = false;
    if (n == 0 && !empty) return false;
    out.Assign(tmp.data(), static_cast<DWORD>(n));
    return true;
} catch (...) {
    TOORethrowAsStatus("TOOHex2BinStr");
}

std::size_t TOO_MIMEBase64Decode(const char* text, void* out, std::size_t size) {
    if (!text || !out) return 0;
    long long n = DecodeBase64(text, static_cast<BYTE*>(out), size);
    return n < 0 ? 0 : static_cast<std::size_t>(n);
}

std::string TOO_MIMEBase64Encode(const void* bytes, std::size_t n, std::size_t lineLength) try {
    const BYTE* b = static_cast<const BYTE*>(bytes);
    std::string out;
    out.reserve((n + 2) / 3 * 4 + (lineLength ? n / lineLength * 2 + 2 : 0));
    std::size_t col = 0;
    auto put = [&](char c) {
        out += c;
        if (lineLength && ++col == lineLength) {
            out += "\r\n";
            col = 0;
        }
    };
    for (std::size_t i = 0; i < n; i += 3) {
        unsigned v = unsigned(b[i]) << 16;
        if (i + 1 < n) v |= unsigned(b[i + 1]) << 8;
        if (i + 2 < n) v |= b[i + 2];
        put(kB64[(v >> 18) & 63]);
        put(kB64[(v >> 12) & 63]);
        put(i + 1 < n ? kB64[(v >> 6) & 63] : '=');
        put(i + 2 < n ? kB64[v & 63] : '=');
    }
    if (lineLength && col) out += "\r\n";
    return out;
} catch (...) {
    TOORethrowAsStatus("TOO_MIMEBase64Encode");
}

namespace TOO {
std::size_t Base64Decode(const char* text, void* out, std::size_t size) {
    return TOO_MIMEBase64Decode(text, out, size);
}

long long Base64DecodeInto(std::string_view text, void* out, std::size_t size) noexcept {
    return DecodeBase64(text, static_cast<BYTE*>(out), size);
}

bool Base64Decode(std::string_view text, IdentObj& out) try {
    long long n = DecodeBase64(text, nullptr, 0);
    if (n < 0) return false;
    IdentObj tmp;
    tmp.Alloc(static_cast<DWORD>(n));
    if (DecodeBase64(text, tmp.data(), tmp.size()) != n) return false;
    out = std::move(tmp);
    return true;
} catch (...) {
    TOORethrowAsStatus("TOO::Base64Decode");
}

std::size_t Base64Decode(const void* text, std::size_t n, IdentObj& out, int /*mode*/) try {
    if (!text || n == 0) return 0;
    IdentObj tmp;
    if (!Base64Decode(std::string_view(static_cast<const char*>(text), n), tmp) || tmp.IsEmpty()) return 0;
    out = std::move(tmp);
    return out.size();
} catch (...) {
    TOORethrowAsStatus("TOO::Base64Decode");
}

std::string Base64Encode(const void* bytes, std::size_t n, std::size_t lineLength) try {
    return TOO_MIMEBase64Encode(bytes, n, lineLength);
} catch (...) {
    TOORethrowAsStatus("TOO::Base64Encode");
}
}  // namespace TOO

CTOOString DumpBlob2String(const void* bytes, std::size_t n, std::size_t maxBytes) try {
    const BYTE* b = static_cast<const BYTE*>(bytes);
    std::string out;
    std::size_t shown = n < maxBytes ? n : maxBytes;
    char line[100];
    for (std::size_t off = 0; off < shown; off += 16) {
        int k = std::snprintf(line, sizeof line, "%08zX ", off);
        std::string hex, asc;
        for (std::size_t i = off; i < off + 16; ++i) {
            if (i < shown) {
                hex += ' ';
                hex += kHex[b[i] >> 4];
                hex += kHex[b[i] & 15];
                asc += (b[i] >= 0x20 && b[i] < 0x7F) ? static_cast<char>(b[i]) : '.';
            } else {
                hex += "   ";
            }
        }
        out.append(line, static_cast<std::size_t>(k));
        out += hex;
        out += "  ";
        out += asc;
        out += "\r\n";
    }
    if (shown < n) out += "... (" + std::to_string(n) + " bytes)\r\n";
    return CTOOString(out);
} catch (...) {
    TOORethrowAsStatus("DumpBlob2String");
}

bool TOOUtf8ToUtf16(std::string_view in, std::u16string& out) try {
    std::string raw;
    if (!Convert("UTF-16LE", "UTF-8", in.data(), in.size(), raw)) return false;
    out.resize(raw.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char16_t>(static_cast<BYTE>(raw[2 * i]) | static_cast<BYTE>(raw[2 * i + 1]) << 8);
    return true;
} catch (...) {
    TOORethrowAsStatus("TOOUtf8ToUtf16");
}

bool TOOUtf16ToUtf8(std::u16string_view in, std::string& out) try {
    std::string raw(in.size() * 2, '\0');
    for (std::size_t i = 0; i < in.size(); ++i) {
        raw[2 * i] = static_cast<char>(in[i] & 0xFF);
        raw[2 * i + 1] = static_cast<char>(in[i] >> 8);
    }
    return Convert("UTF-8", "UTF-16LE", raw.data(), raw.size(), out);
} catch (...) {
    TOORethrowAsStatus("TOOUtf16ToUtf8");
}

bool TOOUtf8ToCp1251(std::string_view in, std::string& out) try {
    return Convert("CP1251", "UTF-8", in.data(), in.size(), out);
} catch (...) {
    TOORethrowAsStatus("TOOUtf8ToCp1251");
}

bool TOOCp1251ToUtf8(std::string_view in, std::string& out) try {
    return Convert("UTF-8", "CP1251", in.data(), in.size(), out);
} catch (...) {
    TOORethrowAsStatus("TOOCp1251ToUtf8");
}
