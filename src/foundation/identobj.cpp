#include <cstdlib>
#include <cstring>
#include <new>

#include <openssl/crypto.h>

#include "cert/lecursor.h"
#include "cert/tools.h"

IdentObj::IdentObj(const IdentObj& other) { Assign(other.m_pData, other.m_dwLength); }

IdentObj::IdentObj(IdentObj&& other) noexcept
    : m_dwLength(other.m_dwLength), m_pData(other.m_pData), m_dwCapacity(other.m_dwCapacity) {
    other.m_dwLength = other.m_dwCapacity = 0;
    other.m_pData = nullptr;
}

IdentObj::IdentObj(const void* data, DWORD size) { Assign(data, size); }

IdentObj::IdentObj(const CRYPTOAPI_BLOB& blob) { Assign(blob.pbData, blob.cbData); }

IdentObj::IdentObj(std::string_view bytes) { Assign(bytes.data(), static_cast<DWORD>(bytes.size())); }

IdentObj::~IdentObj() { std::free(m_pData); }

IdentObj& IdentObj::operator=(const IdentObj& other) {
    if (this != &other) Assign(other.m_pData, other.m_dwLength);
    return *this;
}

IdentObj& IdentObj::operator=(IdentObj&& other) noexcept {
    if (this != &other) {
        std::free(m_pData);
        m_dwLength = other.m_dwLength;
        m_pData = other.m_pData;
        m_dwCapacity = other.m_dwCapacity;
        other.m_dwLength = other.m_dwCapacity = 0;
        other.m_pData = nullptr;
    }
    return *this;
}

IdentObj& IdentObj::operator=(const CRYPTOAPI_BLOB& blob) {
    Assign(blob.pbData, blob.cbData);
    return *this;
}

IdentObj& IdentObj::operator=(const char* text) {
    Assign(text, text ? static_cast<DWORD>(std::strlen(text)) : 0);
    return *this;
}

void IdentObj::Reserve(DWORD n) {
    if (n <= m_dwCapacity) return;
    DWORD cap = m_dwCapacity ? m_dwCapacity : 16;
    while (cap < n) cap = cap > 0x7FFFFFFFu ? n : cap * 2;
    void* p = std::realloc(m_pData, cap);
    if (!p) throw XTOOStatus(TOOERR_NOMEM, "IdentObj");
    m_pData = static_cast<BYTE*>(p);
    m_dwCapacity = cap;
}

BYTE* IdentObj::Alloc(DWORD n) {
    Reserve(n);
    m_dwLength = n;
    if (n) std::memset(m_pData, 0, n);
    return m_pData;
}

BYTE* IdentObj::Realloc(DWORD n) {
    Reserve(n);
    if (n > m_dwLength) std::memset(m_pData + m_dwLength, 0, n - m_dwLength);
    m_dwLength = n;
    return m_pData;
}

void IdentObj::Assign(const void* p, DWORD n) {
    if (n && p >= static_cast<const void*>(m_pData) && p < static_cast<const void*>(m_pData + m_dwCapacity)) {
        IdentObj copy(p, n);  // source inside our own buffer
        *this = std::move(copy);
        return;
    }
    Reserve(n);
    m_dwLength = n;
    if (n) std::memcpy(m_pData, p, n);
}

void IdentObj::AddData(const void* p, DWORD n) {
    if (!n) return;
    if (static_cast<std::uint64_t>(m_dwLength) + n > 0xFFFFFFFFull) throw XTOOStatus(TOOERR_NOMEM, "IdentObj::AddData");
    if (p >= static_cast<const void*>(m_pData) && p < static_cast<const void*>(m_pData + m_dwCapacity)) {
        IdentObj copy(p, n);
        AddData(copy.m_pData, n);
        return;
    }
    Reserve(m_dwLength + n);
    std::memcpy(m_pData + m_dwLength, p, n);
    m_dwLength += n;
}

void IdentObj::Empty() { m_dwLength = 0; }

void IdentObj::Wipe() {
    if (m_pData) OPENSSL_cleanse(m_pData, m_dwCapacity);
    std::free(m_pData);
    m_pData = nullptr;
    m_dwLength = m_dwCapacity = 0;
}

DWORD IdentObj::WriteData(IdentObj& out) const {
    out.AddData(le::Writer().U32(m_dwLength).Take());
    out.AddData(m_pData, m_dwLength);
    return 4 + m_dwLength;
}

DWORD IdentObj::WriteData(void* buffer, DWORD size) const {
    if (!buffer || m_dwLength > 0xFFFFFFFBu || size < SerializedSize()) return 0;
    BYTE* b = static_cast<BYTE*>(buffer);
    IdentObj len = le::Writer().U32(m_dwLength).Take();
    std::memcpy(b, len.data(), 4);
    if (m_dwLength) std::memcpy(b + 4, m_pData, m_dwLength);
    return SerializedSize();
}

DWORD IdentObj::ReadData(const void* p, DWORD size) {
    try {
        le::Reader r(p, p ? size : 0);
        le::Bytes bytes = r.Counted32().Rest();
        Assign(bytes.data(), static_cast<DWORD>(bytes.size()));
        return static_cast<DWORD>(r.offset());
    } catch (const le::Error&) {
        return 0;
    }
}

int IdentObj::Compare(const IdentObj& other) const {
    DWORD n = m_dwLength < other.m_dwLength ? m_dwLength : other.m_dwLength;
    int c = n ? std::memcmp(m_pData, other.m_pData, n) : 0;
    if (c) return c < 0 ? -1 : 1;
    return m_dwLength < other.m_dwLength ? -1 : (m_dwLength > other.m_dwLength ? 1 : 0);
}

bool IdentObj::operator==(const CTOOString& s) const {
    return static_cast<DWORD>(s.Length()) == m_dwLength &&
           (m_dwLength == 0 || std::memcmp(m_pData, s.c_str(), m_dwLength) == 0);
}
