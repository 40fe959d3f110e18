// The DER/BER decoder, the value codecs and the DER writer.
#include <algorithm>
#include <cstring>
#include <limits>

#include "cert/asn.h"

namespace asn {

Error::Error(int code, std::size_t offset, const std::string& reason)
    : XTOOStatus(code, ("offset " + std::to_string(offset) + ": " + reason).c_str()),
      m_offset(offset),
      m_reason(reason) {}

namespace {

[[noreturn]] void ThrowAt(std::size_t offset, const std::string& reason, int code = TOOERR_DER_FORMAT) {
    throw Error(code, offset, reason);
}

bool MustBePrimitive(std::uint32_t tag, bool ber) {
    switch (tag) {
        case kBoolean:
        case kInteger:
        case kNull:
        case kOid:
        case kReal:
        case kEnumerated:
        case kRelativeOid:
            return true;
        case kSequence:
        case kSet:
        case kExternal:
        case kEmbeddedPdv:
        case kCharacterString:
            return false;
        default:
            return !ber;  // the string types may be segmented in BER
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Header.

Header DecodeHeader(Bytes in, const Options& opt, std::size_t offset) {
    Header h;
    std::size_t n = in.size(), i = 0;
    if (n == 0) ThrowAt(offset, "truncated header");
    std::uint8_t b0 = in[i++];
    h.cls = b0 & 0xC0;
    h.constructed = (b0 & 0x20) != 0;
    h.tag = b0 & 0x1F;
    if (h.tag == 0x1F) {
        std::uint32_t t = 0;
        for (;;) {
            if (i >= n) ThrowAt(offset, "truncated tag");
            std::uint8_t b = in[i++];
            if (t == 0 && b == 0x80) ThrowAt(offset, "tag number not minimal");
            if (t > (kMaxTag >> 7)) ThrowAt(offset, "tag number too large", TOOERR_DER_LIMIT);
            t = (t << 7) | (b & 0x7F);
            if (!(b & 0x80)) break;
        }
        if (t < 0x1F) ThrowAt(offset, "tag number not minimal");
        h.tag = t;
    }
    if (i >= n) ThrowAt(offset, "truncated length");
    std::uint8_t lb = in[i++];
    if (lb < 0x80) {
        h.length = lb;
    } else if (lb == 0x80) {
        if (!opt.ber) ThrowAt(offset, "indefinite length");
        if (!h.constructed) ThrowAt(offset, "indefinite length on a primitive element");
        h.indefinite = true;
    } else if (lb == 0xFF) {
        ThrowAt(offset, "reserved length octet");
    } else {
        std::size_t k = lb & 0x7F;
        if (i + k > n) ThrowAt(offset, "truncated length");
        std::uint64_t len = 0;
        std::size_t skipped = 0;
        for (std::size_t j = 0; j < k; ++j) {
            std::uint8_t b = in[i + j];
            if (len == 0 && b == 0) {
                ++skipped;
                continue;
            }
            len = (len << 8) | b;
            if (len > 0xFFFFFFFFull) ThrowAt(offset, "length too large", TOOERR_DER_LIMIT);
        }
        if (!opt.ber && (skipped > 0 || len < 0x80)) ThrowAt(offset, "length not minimal");
        i += k;
        h.length = static_cast<std::size_t>(len);
    }
    h.headerLen = i;
    return h;
}

namespace {
template <class Vec>
void AppendHeader(Vec& out, std::uint8_t cls, bool constructed, std::uint32_t tag, std::size_t length) {
    std::uint8_t b0 = (cls & 0xC0) | (constructed ? 0x20 : 0);
    if (tag < 0x1F) {
        out.push_back(b0 | static_cast<std::uint8_t>(tag));
    } else {
        out.push_back(b0 | 0x1F);
        std::uint8_t tmp[5];
        int k = 0;
        do {
            tmp[k++] = tag & 0x7F;
            tag >>= 7;
        } while (tag);
        while (k > 1) out.push_back(tmp[--k] | 0x80);
        out.push_back(tmp[0]);
    }
    if (length < 0x80) {
        out.push_back(static_cast<std::uint8_t>(length));
    } else {
        std::uint8_t tmp[8];
        int k = 0;
        for (std::uint64_t l = length; l; l >>= 8) tmp[k++] = static_cast<std::uint8_t>(l);
        out.push_back(static_cast<std::uint8_t>(0x80 | k));
        while (k) out.push_back(tmp[--k]);
    }
}
}  // namespace

void EncodeHeader(std::vector<std::uint8_t>& out, std::uint8_t cls, bool constructed, std::uint32_t tag,
                  std::size_t length) {
    AppendHeader(out, cls, constructed, tag, length);
}

// ---------------------------------------------------------------------------
// Primitive values.

bool DecodeBoolean(Bytes c, const Options& opt, std::size_t offset) {
    if (c.size() != 1) ThrowAt(offset, "BOOLEAN of " + std::to_string(c.size()) + " bytes");
    if (!opt.ber && c[0] != 0 && c[0] != 0xFF) ThrowAt(offset, "BOOLEAN neither 00 nor FF");
    return c[0] != 0;
}

Bytes DecodeIntegerBytes(Bytes c, std::size_t offset) {
    if (c.empty()) ThrowAt(offset, "empty INTEGER");
    if (c.size() > 1 && ((c[0] == 0x00 && !(c[1] & 0x80)) || (c[0] == 0xFF && (c[1] & 0x80))))
        ThrowAt(offset, "INTEGER not minimal");
    return c;
}

std::int64_t DecodeInteger(Bytes c, std::size_t offset) {
    DecodeIntegerBytes(c, offset);
    if (c.size() > 8) ThrowAt(offset, "INTEGER too large", TOOERR_DER_LIMIT);
    std::uint64_t v = (c[0] & 0x80) ? ~0ull : 0;
    for (std::uint8_t b : c) v = (v << 8) | b;
    return static_cast<std::int64_t>(v);
}

std::string DecodeOid(Bytes c, std::size_t offset) {
    if (c.empty()) ThrowAt(offset, "empty OBJECT IDENTIFIER");
    if (c.back() & 0x80) ThrowAt(offset + c.size() - 1, "OBJECT IDENTIFIER ends inside an arc");
    std::string out;
    out.reserve(c.size() * 3);
    bool first = true;
    std::uint64_t v = 0;
    bool start = true;
    for (std::size_t i = 0; i < c.size(); ++i) {
        std::uint8_t b = c[i];
        if (start && b == 0x80) ThrowAt(offset + i, "OBJECT IDENTIFIER arc not minimal");
        start = false;
        if (v > (std::numeric_limits<std::uint64_t>::max() >> 7))
            ThrowAt(offset + i, "OBJECT IDENTIFIER arc above 64 bits", TOOERR_DER_LIMIT);
        v = (v << 7) | (b & 0x7F);
        if (b & 0x80) continue;
        if (first) {
            std::uint64_t a = v < 40 ? 0 : v < 80 ? 1 : 2;
            out += std::to_string(a);
            out += '.';
            out += std::to_string(v - 40 * a);
            first = false;
        } else {
            out += '.';
            out += std::to_string(v);
        }
        v = 0;
        start = true;
    }
    return out;
}

bool EncodeOid(std::string_view text, std::vector<std::uint8_t>& out) {
    std::vector<std::uint64_t> arcs;
    std::size_t i = 0;
    while (true) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
        if (text[i] == '0' && i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9') return false;
        std::uint64_t v = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            unsigned d = static_cast<unsigned>(text[i] - '0');
            if (v > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return false;
            v = v * 10 + d;
            ++i;
        }
        arcs.push_back(v);
        if (i == text.size()) break;
        if (text[i] != '.') return false;
        ++i;
    }
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39)) return false;
    if (arcs[1] > std::numeric_limits<std::uint64_t>::max() - 80) return false;
    out.clear();
    auto put = [&](std::uint64_t v) {
        std::uint8_t tmp[10];
        int k = 0;
        do {
            tmp[k++] = v & 0x7F;
            v >>= 7;
        } while (v);
        while (k > 1) out.push_back(tmp[--k] | 0x80);
        out.push_back(tmp[0]);
    };
    put(arcs[0] * 40 + arcs[1]);
    for (std::size_t j = 2; j < arcs.size(); ++j) put(arcs[j]);
    return true;
}

BitString DecodeBitString(Bytes c, const Options& opt, std::size_t offset) {
    if (c.empty()) ThrowAt(offset, "empty BIT STRING");
    unsigned unused = c[0];
    if (unused > 7) ThrowAt(offset, "BIT STRING with " + std::to_string(unused) + " unused bits");
    if (c.size() == 1 && unused) ThrowAt(offset, "empty BIT STRING with unused bits");
    if (!opt.ber && unused && (c.back() & ((1u << unused) - 1)))
        ThrowAt(offset + c.size() - 1, "BIT STRING unused bits not zero");
    return BitString{c.subspan(1), unused};
}

// ---------------------------------------------------------------------------
// Time.

namespace {

using cert::platform::CivilFromDays;
using cert::platform::DaysFromCivil;
using cert::platform::DaysInMonth;
using cert::platform::kDays1601To1970;

constexpr std::int64_t kTicksPerSecond = 10000000;

}  // namespace

FILETIME MakeFileTime(int year, int month, int day, int hour, int minute, int second, int hundredNanos) {
    std::int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) + kDays1601To1970;
    std::int64_t secs = days * 86400 + hour * 3600 + minute * 60 + second;
    return cert::platform::U64ToFileTime(static_cast<std::uint64_t>(secs * kTicksPerSecond + hundredNanos));
}

CivilTime SplitFileTime(const FILETIME& t) {
    std::uint64_t ticks = cert::platform::FileTimeToU64(t);
    std::int64_t secs = static_cast<std::int64_t>(ticks / kTicksPerSecond);
    CivilTime c{};
    c.fraction = static_cast<int>(ticks % kTicksPerSecond);
    std::int64_t days = secs / 86400, rem = secs % 86400;
    CivilFromDays(days - kDays1601To1970, c.year, c.month, c.day);
    c.hour = static_cast<int>(rem / 3600);
    c.minute = static_cast<int>(rem / 60 % 60);
    c.second = static_cast<int>(rem % 60);
    return c;
}

std::string FormatTime(const FILETIME& t) {
    CivilTime c = SplitFileTime(t);
    char buf[48];
    int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", c.year, c.month, c.day, c.hour, c.minute,
                          c.second);
    if (c.fraction) {
        n += std::snprintf(buf + n, sizeof buf - n, ".%07d", c.fraction);
        while (buf[n - 1] == '0') buf[--n] = 0;
    }
    std::snprintf(buf + n, sizeof buf - n, "Z");
    return buf;
}

FILETIME DecodeTime(std::uint32_t tag, Bytes c, const Options& opt, std::size_t offset) {
    const char* what = tag == kUtcTime ? "UTCTime" : "GeneralizedTime";
    if (tag != kUtcTime && tag != kGeneralizedTime) ThrowAt(offset, "not a time");
    auto bad = [&](const char* why) { ThrowAt(offset, std::string(what) + " " + why); };
    std::size_t i = 0, n = c.size();
    auto digits = [&](int count) {
        int v = 0;
        for (int k = 0; k < count; ++k, ++i) {
            if (i >= n || c[i] < '0' || c[i] > '9') bad("malformed");
            v = v * 10 + (c[i] - '0');
        }
        return v;
    };
    auto isDigit = [&](std::size_t k) { return k < n && c[k] >= '0' && c[k] <= '9'; };
    int year;
    if (tag == kUtcTime) {
        year = digits(2);
        year += year < 50 ? 2000 : 1900;
    } else {
        year = digits(4);
    }
    int month = digits(2), day = digits(2), hour = digits(2);
    int minute = 0, second = 0, fraction = 0;
    if (tag == kGeneralizedTime && opt.ber && !isDigit(i)) {
        // hours only
    } else {
        minute = digits(2);
        if (isDigit(i))
            second = digits(2);
        else if (!opt.ber)
            bad("without seconds");
    }
    if (tag == kGeneralizedTime && i < n && (c[i] == '.' || c[i] == ',')) {
        if (c[i] == ',' && !opt.ber) bad("with a comma");
        ++i;
        std::size_t start = i;
        int scale = 1000000;
        while (isDigit(i)) {
            if (scale) fraction += (c[i] - '0') * scale, scale /= 10;
            ++i;
        }
        if (i == start) bad("with an empty fraction");
        // FILETIME stops at 100 ns; a finer DER time could not be written
        // back as it came.
        if (!opt.ber && i - start > 7) bad("finer than 100 ns");
        if (!opt.ber && c[i - 1] == '0') bad("fraction with trailing zeros");
    }
    std::int64_t shift = 0;  // zone offset in seconds
    if (i < n && c[i] == 'Z') {
        ++i;
    } else if (opt.ber && i < n && (c[i] == '+' || c[i] == '-')) {
        int sign = c[i] == '+' ? 1 : -1;
        ++i;
        int zh = digits(2), zm = digits(2);
        if (zh > 23 || zm > 59) bad("with a bad zone");
        shift = sign * (zh * 3600 + zm * 60);
    } else {
        bad(opt.ber ? "without a zone" : "not ending in Z");
    }
    if (i != n) bad("with trailing characters");
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 || minute > 59 || second > 59)
        bad("out of range");
    if (year < 1601) bad("before 1601");
    FILETIME ft = MakeFileTime(year, month, day, hour, minute, second, fraction);
    if (shift) {
        std::int64_t ticks = static_cast<std::int64_t>(cert::platform::FileTimeToU64(ft)) - shift * kTicksPerSecond;
        if (ticks < 0) bad("before 1601");
        ft = cert::platform::U64ToFileTime(static_cast<std::uint64_t>(ticks));
    }
    return ft;
}

// ---------------------------------------------------------------------------
// Strings.

namespace {

void PutUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Next code point of valid UTF-8 (no overlongs, no surrogates); false at a
// bad sequence.
bool NextUtf8(std::string_view s, std::size_t& i, std::uint32_t& cp) {
    auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
    std::uint8_t c0 = b(i);
    int len;
    std::uint32_t min;
    if (c0 < 0x80) {
        cp = c0;
        ++i;
        return true;
    } else if ((c0 & 0xE0) == 0xC0) {
        len = 2, cp = c0 & 0x1F, min = 0x80;
    } else if ((c0 & 0xF0) == 0xE0) {
        len = 3, cp = c0 & 0x0F, min = 0x800;
    } else if ((c0 & 0xF8) == 0xF0) {
        len = 4, cp = c0 & 0x07, min = 0x10000;
    } else {
        return false;
    }
    if (i + len > s.size()) return false;
    for (int k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
    return true;
}

bool InAlphabet(std::uint32_t tag, std::uint8_t ch) {
    switch (tag) {
        case kNumericString:
            return (ch >= '0' && ch <= '9') || ch == ' ';
        case kPrintableString:
            return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
                   std::strchr(" '()+,-./:=?", ch) != nullptr;
        case kIA5String:
            return ch < 0x80;
        case kVisibleString:
            return ch >= 0x20 && ch < 0x7F;
        default:
            return true;
    }
}

}  // namespace

bool IsStringTag(std::uint32_t tag) {
    switch (tag) {
        case kUtf8String:
        case kNumericString:
        case kPrintableString:
        case kT61String:
        case kVideotexString:
        case kIA5String:
        case kGraphicString:
        case kVisibleString:
        case kGeneralString:
        case kUniversalString:
        case kBmpString:
        case kObjectDescriptor:
            return true;
        default:
            return false;
    }
}

std::string DecodeString(std::uint32_t tag, Bytes c, std::size_t offset, const Options& opt) {
    std::string out;
    switch (tag) {
        case kUtf8String: {
            std::string_view s(reinterpret_cast<const char*>(c.data()), c.size());
            std::size_t i = 0;
            std::uint32_t cp;
            while (i < s.size())
                if (!NextUtf8(s, i, cp)) ThrowAt(offset + i, "UTF8String not valid UTF-8");
            return std::string(s);
        }
        case kNumericString:
        case kPrintableString:
        case kIA5String:
        case kVisibleString:
            for (std::size_t i = 0; i < c.size(); ++i) {
                const std::uint32_t as = opt.ber && tag == kPrintableString ? std::uint32_t(kVisibleString) : tag;
                if (c[i] == 0 || !InAlphabet(as, c[i]))
                    ThrowAt(offset + i, "character outside the string type's alphabet");
            }
            return std::string(reinterpret_cast<const char*>(c.data()), c.size());
        case kBmpString:
            if (c.size() % 2) ThrowAt(offset, "BMPString of odd length");
            out.reserve(c.size());
            for (std::size_t i = 0; i < c.size(); i += 2) {
                std::uint32_t cp = (std::uint32_t(c[i]) << 8) | c[i + 1];
                if (cp >= 0xD800 && cp <= 0xDFFF) ThrowAt(offset + i, "BMPString with a surrogate");
                PutUtf8(out, cp);
            }
            return out;
        case kUniversalString:
            if (c.size() % 4) ThrowAt(offset, "UniversalString length not a multiple of 4");
            for (std::size_t i = 0; i < c.size(); i += 4) {
                std::uint32_t cp = (std::uint32_t(c[i]) << 24) | (std::uint32_t(c[i + 1]) << 16) |
                                   (std::uint32_t(c[i + 2]) << 8) | c[i + 3];
                if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
                    ThrowAt(offset + i, "UniversalString bad character");
                PutUtf8(out, cp);
            }
            return out;
        default:
            if (!IsStringTag(tag)) ThrowAt(offset, "not a string type");
            // Teletex and the other ISO 2022 types: taken as Latin-1.
            for (std::uint8_t ch : c) PutUtf8(out, ch);
            return out;
    }
}

namespace {

// UTF-8 to the content of a string type; false when it does not fit.
bool EncodeString(std::uint32_t tag, std::string_view s, std::vector<std::uint8_t>& out) {
    std::size_t i = 0;
    std::uint32_t cp;
    while (i < s.size()) {
        if (!NextUtf8(s, i, cp)) return false;
        switch (tag) {
            case kUtf8String:
                break;
            case kNumericString:
            case kPrintableString:
            case kIA5String:
            case kVisibleString:
                if (cp >= 0x80 || cp == 0 || !InAlphabet(tag, static_cast<std::uint8_t>(cp))) return false;
                out.push_back(static_cast<std::uint8_t>(cp));
                break;
            case kBmpString:
                if (cp > 0xFFFF) return false;
                out.push_back(static_cast<std::uint8_t>(cp >> 8));
                out.push_back(static_cast<std::uint8_t>(cp));
                break;
            case kUniversalString:
                for (int sh = 24; sh >= 0; sh -= 8) out.push_back(static_cast<std::uint8_t>(cp >> sh));
                break;
            default:
                if (!IsStringTag(tag) || cp > 0xFF) return false;
                out.push_back(static_cast<std::uint8_t>(cp));
        }
    }
    if (tag == kUtf8String) out.assign(s.begin(), s.end());
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Reader.

Reader::Reader(Bytes in, const Options& opt, std::size_t baseOffset, int depth)
    : m_in(in), m_opt(opt), m_base(baseOffset), m_depth(depth) {}

void Reader::ThrowAt(std::size_t absOffset, const std::string& reason, int code) const {
    throw Error(code, absOffset, reason);
}

Element Reader::Parse(std::size_t pos) const {
    const std::size_t at = m_base + pos;
    Header h = DecodeHeader(m_in.subspan(pos), m_opt, at);
    Element e;
    e.offset = at;
    e.headerLen = h.headerLen;
    e.cls = h.cls;
    e.constructed = h.constructed;
    e.indefinite = h.indefinite;
    e.tag = h.tag;
    const std::size_t cstart = pos + h.headerLen;
    std::size_t cend, end;
    if (h.indefinite) {
        cend = FindEoc(cstart, m_depth + 1);
        end = cend + 2;
    } else {
        if (h.length > m_in.size() - cstart)
            ThrowAt(at, "length " + std::to_string(h.length) + " exceeds the " + std::to_string(m_in.size() - cstart) +
                            " bytes left");
        cend = end = cstart + h.length;
    }
    e.content = m_in.subspan(cstart, cend - cstart);
    e.encoded = m_in.subspan(pos, end - pos);
    if (e.cls == kUniversal) {
        if (e.tag == kEoc) ThrowAt(at, "unexpected end-of-contents");
        if (e.constructed && MustBePrimitive(e.tag, m_opt.ber)) ThrowAt(at, "constructed form of a primitive type");
        if (!e.constructed && (e.tag == kSequence || e.tag == kSet)) ThrowAt(at, "primitive SEQUENCE or SET");
    }
    return e;
}

std::size_t Reader::FindEoc(std::size_t pos, int depth) const {
    if (depth > m_opt.maxDepth)
        ThrowAt(m_base + pos, "nested deeper than " + std::to_string(m_opt.maxDepth), TOOERR_DER_DEPTH);
    while (pos < m_in.size()) {
        if (m_in[pos] == 0) {
            if (pos + 1 < m_in.size() && m_in[pos + 1] == 0) return pos;
            ThrowAt(m_base + pos, "malformed end-of-contents");
        }
        Header h = DecodeHeader(m_in.subspan(pos), m_opt, m_base + pos);
        std::size_t cstart = pos + h.headerLen;
        if (h.indefinite) {
            pos = FindEoc(cstart, depth + 1) + 2;
        } else {
            if (h.length > m_in.size() - cstart) ThrowAt(m_base + pos, "length exceeds the bytes left");
            pos = cstart + h.length;
        }
    }
    ThrowAt(m_base + pos, "missing end-of-contents");
}

Element Reader::Next() {
    if (AtEnd()) ThrowAt(Offset(), "unexpected end of data");
    Element e = Parse(m_pos);
    m_pos += e.encoded.size();
    return e;
}

std::optional<Element> Reader::Peek() {
    if (AtEnd()) return std::nullopt;
    return Parse(m_pos);
}

bool Reader::NextIs(std::uint8_t cls, std::uint32_t tag) {
    if (AtEnd()) return false;
    // A header is enough to know the tag; the rest is checked when read.
    Header h = DecodeHeader(m_in.subspan(m_pos), m_opt, Offset());
    return h.cls == cls && h.tag == tag;
}

Element Reader::Expect(std::uint32_t tag, std::uint8_t cls) {
    std::size_t at = Offset();
    Element e = Next();
    if (!e.Is(cls, tag)) {
        m_pos -= e.encoded.size();
        ThrowAt(at, "expected tag " + std::to_string(tag) + " of class " + std::to_string(cls >> 6) + ", found tag " +
                        std::to_string(e.tag) + " of class " + std::to_string(e.cls >> 6));
    }
    return e;
}

std::optional<Element> Reader::Optional(std::uint32_t tag, std::uint8_t cls) {
    if (!NextIs(cls, tag)) return std::nullopt;
    return Next();
}

Reader Reader::Enter(const Element& e) const {
    if (!e.constructed) ThrowAt(e.offset, "primitive element where a constructed one is needed");
    if (m_depth + 1 > m_opt.maxDepth)
        ThrowAt(e.offset, "nested deeper than " + std::to_string(m_opt.maxDepth), TOOERR_DER_DEPTH);
    return Reader(e.content, m_opt, e.ContentOffset(), m_depth + 1);
}

void Reader::Finish() const {
    if (!AtEnd()) ThrowAt(Offset(), std::to_string(Remaining()) + " unexpected bytes");
}

bool Reader::ReadBoolean() {
    Element e = Expect(kBoolean);
    return DecodeBoolean(e.content, m_opt, e.ContentOffset());
}

void Reader::ReadNull() {
    Element e = Expect(kNull);
    if (!e.content.empty()) ThrowAt(e.offset, "NULL with content");
}

std::int64_t Reader::ReadInteger() {
    Element e = Expect(kInteger);
    return DecodeInteger(e.content, e.ContentOffset());
}

Bytes Reader::ReadIntegerBytes() {
    Element e = Expect(kInteger);
    return DecodeIntegerBytes(e.content, e.ContentOffset());
}

std::string Reader::ReadOid() {
    Element e = Expect(kOid);
    return DecodeOid(e.content, e.ContentOffset());
}

BitString Reader::ReadBitString() {
    Element e = Expect(kBitString);
    if (e.constructed) ThrowAt(e.offset, "constructed BIT STRING not supported");
    return DecodeBitString(e.content, m_opt, e.ContentOffset());
}

IdentObj Reader::ReadOctetString() { return StringContent(Expect(kOctetString)); }

FILETIME Reader::ReadTime() {
    std::size_t at = Offset();
    Element e = Next();
    if (e.cls != kUniversal || (e.tag != kUtcTime && e.tag != kGeneralizedTime)) {
        m_pos -= e.encoded.size();
        ThrowAt(at, "expected UTCTime or GeneralizedTime");
    }
    if (e.constructed) {
        IdentObj c = StringContent(e);
        return DecodeTime(e.tag, View(c), m_opt, e.ContentOffset());
    }
    return DecodeTime(e.tag, e.content, m_opt, e.ContentOffset());
}

std::string Reader::ReadString(std::uint32_t* tag) {
    std::size_t at = Offset();
    Element e = Next();
    if (e.cls != kUniversal || !IsStringTag(e.tag)) {
        m_pos -= e.encoded.size();
        ThrowAt(at, "expected a character string");
    }
    if (tag) *tag = e.tag;
    if (e.constructed) {
        IdentObj c = StringContent(e);
        return DecodeString(e.tag, View(c), e.ContentOffset(), m_opt);
    }
    return DecodeString(e.tag, e.content, e.ContentOffset(), m_opt);
}

IdentObj Reader::StringContent(const Element& e) const {
    IdentObj out;
    if (!e.constructed) {
        out.Assign(e.content.data(), static_cast<DWORD>(e.content.size()));
        return out;
    }
    if (e.cls == kUniversal && e.tag == kBitString) ThrowAt(e.offset, "constructed BIT STRING not supported");
    Gather(e, out, m_depth);
    return out;
}

void Reader::Gather(const Element& e, IdentObj& out, int depth) const {
    if (depth + 1 > m_opt.maxDepth)
        ThrowAt(e.offset, "nested deeper than " + std::to_string(m_opt.maxDepth), TOOERR_DER_DEPTH);
    Reader r(e.content, m_opt, e.ContentOffset(), depth + 1);
    while (!r.AtEnd()) {
        Element piece = r.Next();
        if (piece.cls != e.cls || piece.tag != e.tag) ThrowAt(piece.offset, "segment of a different type");
        if (piece.constructed)
            Gather(piece, out, depth + 1);
        else
            out.AddData(piece.content.data(), static_cast<DWORD>(piece.content.size()));
    }
}

namespace {

void ValidateLevel(Reader& r) {
    while (!r.AtEnd()) {
        Element e = r.Next();
        if (e.constructed) {
            if (e.cls == kUniversal &&
                (IsStringTag(e.tag) || e.tag == kOctetString || e.tag == kUtcTime || e.tag == kGeneralizedTime)) {
                IdentObj c = r.StringContent(e);
                if (e.tag == kUtcTime || e.tag == kGeneralizedTime)
                    DecodeTime(e.tag, View(c), r.options(), e.ContentOffset());
                else if (e.tag != kOctetString)
                    DecodeString(e.tag, View(c), e.ContentOffset(), r.options());
                continue;
            }
            Reader child = r.Enter(e);
            ValidateLevel(child);
            continue;
        }
        if (e.cls != kUniversal) continue;
        const std::size_t at = e.ContentOffset();
        switch (e.tag) {
            case kBoolean:
                DecodeBoolean(e.content, r.options(), at);
                break;
            case kInteger:
            case kEnumerated:
                DecodeIntegerBytes(e.content, at);
                break;
            case kNull:
                if (!e.content.empty()) r.ThrowAt(e.offset, "NULL with content");
                break;
            case kOid:
                DecodeOid(e.content, at);
                break;
            case kBitString:
                DecodeBitString(e.content, r.options(), at);
                break;
            case kUtcTime:
            case kGeneralizedTime:
                DecodeTime(e.tag, e.content, r.options(), at);
                break;
            default:
                if (IsStringTag(e.tag)) DecodeString(e.tag, e.content, at, r.options());
        }
    }
}

}  // namespace

void Validate(Bytes in, const Options& opt) {
    Reader r(in, opt);
    ValidateLevel(r);
}

// ---------------------------------------------------------------------------
// Writer.

Writer& Writer::Raw(Bytes encoded) {
    m_out.insert(m_out.end(), encoded.begin(), encoded.end());
    return *this;
}

Writer& Writer::Element(std::uint8_t cls, bool constructed, std::uint32_t tag, Bytes content) {
    if (tag > kMaxTag) ThrowAt(0, "tag number too large", TOOERR_DER_LIMIT);
    AppendHeader(m_out, cls, constructed, tag, content.size());
    return Raw(content);
}

Writer& Writer::Boolean(bool v) {
    const std::uint8_t b = v ? 0xFF : 0x00;
    return Primitive(kBoolean, Bytes(&b, 1));
}

Writer& Writer::Null() { return Primitive(kNull, Bytes()); }

namespace {
std::size_t MinimalInt(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    while (i + 1 < n && ((p[i] == 0 && !(p[i + 1] & 0x80)) || (p[i] == 0xFF && (p[i + 1] & 0x80)))) ++i;
    return i;
}
}  // namespace

namespace {
void PutSmallInt(Writer& w, std::uint32_t tag, std::int64_t v) {
    std::uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (56 - 8 * i));
    std::size_t skip = MinimalInt(b, 8);
    w.Primitive(tag, Bytes(b + skip, 8 - skip));
}
}  // namespace

Writer& Writer::Integer(std::int64_t v) {
    PutSmallInt(*this, kInteger, v);
    return *this;
}

Writer& Writer::Enumerated(std::int64_t v) {
    PutSmallInt(*this, kEnumerated, v);
    return *this;
}

Writer& Writer::IntegerBytes(Bytes t) {
    if (t.empty()) {
        const std::uint8_t z = 0;
        return Primitive(kInteger, Bytes(&z, 1));
    }
    std::size_t skip = MinimalInt(t.data(), t.size());
    return Primitive(kInteger, t.subspan(skip));
}

Writer& Writer::UnsignedInteger(Bytes m) {
    std::size_t i = 0;
    while (i < m.size() && m[i] == 0) ++i;
    m = m.subspan(i);
    if (m.empty() || (m[0] & 0x80)) {
        AppendHeader(m_out, kUniversal, false, kInteger, m.size() + 1);
        m_out.push_back(0);
        return Raw(m);
    }
    return Primitive(kInteger, m);
}

Writer& Writer::Oid(std::string_view dotted) {
    std::vector<std::uint8_t> c;
    if (!EncodeOid(dotted, c)) ThrowAt(0, "not an OBJECT IDENTIFIER: " + std::string(dotted), TOOERR_BADARG);
    return Primitive(kOid, Bytes(c.data(), c.size()));
}

Writer& Writer::BitString(Bytes bytes, unsigned unused) {
    if (unused > 7 || (bytes.empty() && unused)) ThrowAt(0, "bad unused bit count", TOOERR_BADARG);
    AppendHeader(m_out, kUniversal, false, kBitString, bytes.size() + 1);
    m_out.push_back(static_cast<std::uint8_t>(unused));
    Raw(bytes);
    if (unused) m_out.back() &= static_cast<std::uint8_t>(0xFF << unused);
    return *this;
}

Writer& Writer::OctetString(Bytes bytes) { return Primitive(kOctetString, bytes); }

Writer& Writer::String(std::uint32_t tag, std::string_view utf8) {
    std::vector<std::uint8_t> c;
    if (!EncodeString(tag, utf8, c))
        ThrowAt(0, "text does not fit string type " + std::to_string(tag), TOOERR_BADENCODING);
    return Primitive(tag, Bytes(c.data(), c.size()));
}

std::string TimeText(std::uint32_t tag, const FILETIME& t) {
    CivilTime c = SplitFileTime(t);
    char buf[40];
    int n;
    if (tag == kUtcTime) {
        if (c.year < 1950 || c.year > 2049) ThrowAt(0, "year outside UTCTime", TOOERR_BADARG);
        n = std::snprintf(buf, sizeof buf, "%02d%02d%02d%02d%02d%02d", c.year % 100, c.month, c.day, c.hour, c.minute,
                          c.second);
    } else {
        if (c.year > 9999) ThrowAt(0, "year outside GeneralizedTime", TOOERR_BADARG);
        n = std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", c.year, c.month, c.day, c.hour, c.minute,
                          c.second);
        if (c.fraction) {
            n += std::snprintf(buf + n, sizeof buf - n, ".%07d", c.fraction);
            while (buf[n - 1] == '0') --n;
        }
    }
    buf[n++] = 'Z';
    return std::string(buf, static_cast<std::size_t>(n));
}

Writer& Writer::UtcTime(const FILETIME& t) {
    std::string s = TimeText(kUtcTime, t);
    return Primitive(kUtcTime, View(s.data(), s.size()));
}

Writer& Writer::GeneralizedTime(const FILETIME& t) {
    std::string s = TimeText(kGeneralizedTime, t);
    return Primitive(kGeneralizedTime, View(s.data(), s.size()));
}

Writer& Writer::Time(const FILETIME& t) {
    int y = SplitFileTime(t).year;
    return y >= 1950 && y <= 2049 ? UtcTime(t) : GeneralizedTime(t);
}

std::size_t Writer::Begin(std::uint8_t cls, bool constructed, std::uint32_t tag, bool sortedSet) {
    if (tag > kMaxTag) ThrowAt(0, "tag number too large", TOOERR_DER_LIMIT);
    m_open.push_back(Open{m_out.size(), cls, constructed, tag, sortedSet});
    return m_open.size() - 1;
}

Writer& Writer::End(std::size_t mark) {
    if (m_open.empty() || mark != m_open.size() - 1) ThrowAt(0, "Writer::End out of order", TOOERR_BADARG);
    Open o = m_open.back();
    m_open.pop_back();
    std::size_t len = m_out.size() - o.start;
    if (o.sorted && len) {
        Bytes content(m_out.data() + o.start, len);
        std::vector<Bytes> kids;
        Reader r(content);
        while (!r.AtEnd()) kids.push_back(r.Next().encoded);
        std::sort(kids.begin(), kids.end(), [](Bytes a, Bytes b) {
            return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
        });
        Buffer sorted;
        sorted.reserve(len);
        for (Bytes k : kids) sorted.insert(sorted.end(), k.begin(), k.end());
        std::copy(sorted.begin(), sorted.end(), m_out.begin() + static_cast<std::ptrdiff_t>(o.start));
    }
    std::vector<std::uint8_t> hdr;
    EncodeHeader(hdr, o.cls, o.constructed, o.tag, len);
    m_out.insert(m_out.begin() + static_cast<std::ptrdiff_t>(o.start), hdr.begin(), hdr.end());
    return *this;
}

IdentObj Writer::Take() {
    if (!m_open.empty()) ThrowAt(0, "Writer has open elements", TOOERR_BADARG);
    IdentObj b(m_out.data(), static_cast<DWORD>(m_out.size()));
    m_out.clear();
    return b;
}

cert::Secret Writer::TakeSecret() {
    if (!m_open.empty()) ThrowAt(0, "Writer has open elements", TOOERR_BADARG);
    cert::Secret s(m_out.data(), m_out.size());
    Buffer().swap(m_out);
    return s;
}

IdentObj Encode(std::uint8_t cls, bool constructed, std::uint32_t tag, Bytes content) {
    Writer w;
    w.Element(cls, constructed, tag, content);
    return w.Take();
}

}  // namespace asn
