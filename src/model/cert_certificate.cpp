// CCTFX509Certificate: the signed certificate read, written and compared.
#include "cert/toofile.h"
#include "model/cert_internal.h"

using namespace cert::model;

namespace {

// Places the file at `offset` (0xFFFFFFFF: where it stands); false when
// the file is in an error state or the offset lies beyond its end.
bool PlaceAt(const CTOOFile& file, DWORD offset) {
    if (!file.IsOpen() || file.GetError().IsError()) return false;
    if (offset == 0xFFFFFFFFu) return true;
    const LONGLONG length = file.Length();
    return length >= 0 && offset <= static_cast<ULONGLONG>(length) && file.Seek(offset);
}

}  // namespace

CCTFX509Certificate::~CCTFX509Certificate() = default;

bool CCTFX509Certificate::DecodeCert(const IdentObj& certificate) { return DecodeCert(certificate, nullptr); }

bool CCTFX509Certificate::DecodeCert(const IdentObj& certificate, CTOOString* fault) {
    return Decoding(fault, [&] {
        if (certificate.IsEmpty()) throw XTOOStatus(TOOERR_DER_FORMAT, "no input");
        asn::Reader top(asn::View(certificate));
        asn::Reader s = top.EnterSequence();
        top.Finish();
        // The to-be-signed part is read where it stands, so that its faults
        // carry their offsets in the certificate.
        asn::Reader atInfo = s;
        const asn::Element tbs = s.Expect(asn::kSequence);
        CCTFCertInfo info = ReadCertInfo(atInfo);
        const CCTFAlgorithmIdentifier algorithm = ReadAlgorithm(s);
        const asn::Element bits = s.Expect(asn::kBitString);
        const asn::BitString signature = asn::DecodeBitString(bits.content, {}, bits.ContentOffset());
        s.Finish();

        // What the encoding does not hold carries on.
        info.m_state[0] = m_info.m_state[0];
        info.m_state[1] = m_info.m_state[1];
        info.m_text = m_info.m_text;
        info.m_privateKeyType = m_info.m_privateKeyType;
        info.m_encodedCert = certificate;
        CTOOCryptBitBlob reversed(Reversed(signature.bytes), signature.unusedBits);
        IdentObj toBeSigned(tbs.encoded.data(), static_cast<DWORD>(tbs.encoded.size()));
        IdentObj encoded = certificate;

        m_info = std::move(info);
        m_signatureAlgorithm = algorithm;
        m_signature = std::move(reversed);
        m_toBeSigned = std::move(toBeSigned);
        m_encoded = std::move(encoded);
    });
}

IdentObj CCTFX509Certificate::GetEncodetCert() const {
    return Quietly(IdentObj(), [&] {
        IdentObj out;
        const IdentObj tbs = m_info.GetEncodetInfo();
        if (tbs.IsEmpty()) return out;
        const CERT_SIGNED_CONTENT_INFO content{BlobView(tbs), AlgorithmView(m_signatureAlgorithm),
                                               BitsView(m_signature)};
        EncodeObject(X509_ASN_ENCODING, X509_CERT, &content, out);
        return out;
    });
}

DWORD CCTFX509Certificate::ReadEncodetData(const void* data, DWORD size) {
    return Quietly(DWORD(0), [&] {
        IdentObj blob;
        const DWORD read = blob.ReadData(data, size);
        if (!read || read != blob.SerializedSize() || !DecodeCert(blob)) return DWORD(0);
        return read;
    });
}

DWORD CCTFX509Certificate::ReadEncodetData(const CTOOFile& file, DWORD offset) {
    return Quietly(DWORD(0), [&] {
        IdentObj blob;
        if (!PlaceAt(file, offset) || !blob.ReadData(file) || !DecodeCert(blob)) return DWORD(0);
        return blob.SerializedSize();
    });
}

DWORD CCTFX509Certificate::WriteEncodetData(CTOOFile& file, DWORD offset) const {
    return Quietly(DWORD(0), [&] {
        const IdentObj encoded = m_encoded.IsEmpty() ? GetEncodetCert() : m_encoded;
        if (encoded.IsEmpty() || !PlaceAt(file, offset)) return DWORD(0);
        const LONGLONG before = file.CurPos();
        if (before < 0 || !encoded.WriteData(file)) return DWORD(0);
        return file.CurPos() - before == encoded.SerializedSize() ? encoded.SerializedSize() : DWORD(0);
    });
}

DWORD CCTFX509Certificate::WriteEncodetData(void* buffer, DWORD size) const {
    return Quietly(DWORD(0), [&] {
        const IdentObj encoded = m_encoded.IsEmpty() ? GetEncodetCert() : m_encoded;
        return encoded.IsEmpty() ? DWORD(0) : encoded.WriteData(buffer, size);
    });
}

bool CCTFX509Certificate::operator==(const CCTFX509Certificate& o) const {
    return m_info == o.m_info && m_signatureAlgorithm == o.m_signatureAlgorithm && m_signature == o.m_signature;
}

bool CCTFX509Certificate::operator<(const CCTFX509Certificate& o) const {
    return m_info < o.m_info && m_signatureAlgorithm < o.m_signatureAlgorithm && m_signature < o.m_signature;
}

bool CCTFX509Certificate::operator>(const CCTFX509Certificate& o) const {
    return m_info > o.m_info && m_signatureAlgorithm > o.m_signatureAlgorithm && m_signature > o.m_signature;
}
