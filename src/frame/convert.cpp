// Serial numbers, Base64 blobs, month arithmetic and URL identity.
#include "cert/convert.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "cert/url.h"

CTOOString Serial2TOOStr(const IdentObj& serial, bool separated) try {
    if (serial.IsEmpty()) return CTOOString();
    std::vector<BYTE> msbFirst(serial.begin(), serial.end());
    std::reverse(msbFirst.begin(), msbFirst.end());
    std::vector<char> text(msbFirst.size() * (separated ? 3 : 2) + 1);
    std::size_t n = TOOBin2Hex(msbFirst.data(), msbFirst.size(), text.data(), text.size(), separated);
    return CTOOString(std::string(text.data(), n));
} catch (...) {
    TOORethrowAsStatus("Serial2TOOStr");
}

bool TOOStr2Serial(const CTOOString& text, IdentObj& serial) try {
    serial.Alloc(static_cast<DWORD>(text.Length() / 2));
    std::size_t n = serial.size() ? TOOHex2Bin(text.c_str(), serial.data(), serial.size()) : 0;
    serial.Realloc(static_cast<DWORD>(n));
    std::reverse(serial.data(), serial.data() + serial.size());
    return n > 0;
} catch (...) {
    TOORethrowAsStatus("TOOStr2Serial");
}

unsigned long CTFB64BlobToBinary(const IdentObj& in, IdentObj& out) try {
    static constexpr char kMarker[] = "-----";
    constexpr std::size_t kMarkerLen = sizeof kMarker - 1;
    const char* data = reinterpret_cast<const char*>(in.data());
    const std::size_t size = in.size();
    auto markerAt = [&](std::size_t pos) {
        return pos + kMarkerLen <= size && std::memcmp(data + pos, kMarker, kMarkerLen) == 0;
    };
    auto nextMarker = [&](std::size_t pos) {
        for (; pos + kMarkerLen <= size; ++pos)
            if (markerAt(pos)) return pos;
        return size;
    };

    IdentObj decoded;
    std::size_t offset = 0;
    while (offset < size) {
        if (markerAt(offset)) {
            offset += kMarkerLen;
            // A label ("BEGIN CERTIFICATE") runs to the marker that closes it.
            if (!markerAt(offset)) offset = std::min(size, nextMarker(offset) + kMarkerLen);
        }
        const std::size_t end = nextMarker(offset);
        std::string body;
        body.reserve(end - offset);
        for (std::size_t i = offset; i < end; ++i) {
            const char c = data[i];
            if (c == '\0' || c == '\n') continue;
            if (c == '\r' && i + 1 < end && data[i + 1] == '\n') {
                ++i;
                continue;
            }
            body += c;
        }
        if (!body.empty()) {
            std::vector<BYTE> buf(body.size() / 4 * 3 + 3);
            std::size_t n = TOO_MIMEBase64Decode(body.c_str(), buf.data(), buf.size());
            if (n == 0) return 0;
            decoded.AddData(buf.data(), static_cast<DWORD>(n));
        }
        offset = std::max(end, offset);
    }
    if (!decoded.IsEmpty()) out.AddData(decoded);
    return static_cast<unsigned long>(offset);
} catch (...) {
    TOORethrowAsStatus("CTFB64BlobToBinary");
}

const unsigned short kDaysOfMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

void AddMonthToTime(SYSTEMTIME* time, unsigned short months) {
    if (!time) return;
    const int m = months - 1 + time->wMonth;
    if (m < 0) return;  // month 0 is no month
    time->wYear = static_cast<WORD>(time->wYear + m / 12);
    time->wMonth = static_cast<WORD>(m % 12 + 1);
    const WORD days = kDaysOfMonth[time->wMonth - 1];
    if (time->wDay > days) time->wDay = days;
}

namespace CertDll {

bool IsIdenticalUrl(const std::u16string& a, const std::u16string& b) {
    constexpr DWORD kBuffer = 2085;
    char16_t ca[kBuffer], cb[kBuffer];
    DWORD la = kBuffer, lb = kBuffer;
    // Canonicalisation only vets the URLs: the texts compared are the ones
    // given, as the CDP lists hold them.
    if (UrlCanonicalizeW(a.c_str(), ca, &la, 0) != static_cast<HRESULT>(S_OK)) return false;
    if (UrlCanonicalizeW(b.c_str(), cb, &lb, 0) != static_cast<HRESULT>(S_OK)) return false;
    return UrlCompareW(a.c_str(), b.c_str(), TRUE) == 0;
}

}  // namespace CertDll
