#include "cert/tools.h"

CTOOCryptBitBlob::CTOOCryptBitBlob(const CRYPT_BIT_BLOB& blob)
    : IdentObj(blob.pbData, blob.pbData ? blob.cbData : 0), m_cUnusedBits(blob.cUnusedBits) {}

CTOOCryptBitBlob& CTOOCryptBitBlob::operator=(const CRYPT_BIT_BLOB& blob) {
    Assign(blob.pbData, blob.pbData ? blob.cbData : 0);
    m_cUnusedBits = blob.cUnusedBits;
    return *this;
}

ULONGLONG CTOOCryptBitBlob::GetBitLength() const {
    const ULONGLONG bits = static_cast<ULONGLONG>(m_dwLength) * 8;
    return m_cUnusedBits >= bits ? 0 : bits - m_cUnusedBits;
}

int CTOOCryptBitBlob::Compare(const CTOOCryptBitBlob& other) const {
    if (int c = IdentObj::Compare(other)) return c;
    return m_cUnusedBits < other.m_cUnusedBits ? -1 : (m_cUnusedBits > other.m_cUnusedBits ? 1 : 0);
}
