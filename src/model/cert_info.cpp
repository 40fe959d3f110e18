// CCTFCertInfo: the to-be-signed certificate read, written and compared.
#include <string>
#include <vector>

#include "cert/oids.h"
#include "cert/vrkscapi.h"
#include "model/cert_internal.h"

namespace cert::model {

CCTFCertInfo ReadCertInfo(asn::Reader& r) {
    asn::Reader s = r.EnterSequence();
    CCTFCertInfo info;
    const asn::Element version = s.Next();
    if (!version.IsContext(0) || !version.constructed)
        s.ThrowAt(version.offset, "no version field [0] (a certificate without one, v1, is not read)");
    {
        asn::Reader v = s.Enter(version);
        const std::int64_t n = v.ReadInteger();
        v.Finish();
        if (n < 0 || n > 0xFFFFFFFF) v.ThrowAt(version.ContentOffset(), "version out of range");
        info.m_version = static_cast<DWORD>(n);
    }
    const asn::Element serial = s.Expect(asn::kInteger);
    info.m_serialNumber = Reversed(asn::DecodeIntegerBytes(serial.content, serial.ContentOffset()));
    info.m_signatureAlgorithm = ReadAlgorithm(s);
    const asn::Element issuer = s.Expect(asn::kSequence);
    info.m_issuer.Assign(issuer.encoded.data(), static_cast<DWORD>(issuer.encoded.size()));
    {
        asn::Reader validity = s.EnterSequence();
        info.m_notBefore = validity.ReadTime();
        info.m_notAfter = validity.ReadTime();
        validity.Finish();
    }
    const asn::Element subject = s.Expect(asn::kSequence);
    info.m_subject.Assign(subject.encoded.data(), static_cast<DWORD>(subject.encoded.size()));
    info.m_publicKey = ReadPublicKeyInfo(s);
    // [1] issuer unique identifier, [2] subject unique identifier, [3]
    // extensions, each at most once and in that order.
    std::uint32_t last = 0;
    while (!s.AtEnd()) {
        const asn::Element e = s.Next();
        if (e.cls != asn::kContext || e.tag <= last || e.tag > 3)
            s.ThrowAt(e.offset, "expected [1], [2] or [3] in order after the public key");
        last = e.tag;
        if (e.tag < 3) {
            if (e.constructed || e.content.size() < 2) s.ThrowAt(e.offset, "malformed unique identifier");
            const asn::BitString bits = asn::DecodeBitString(e.content, {}, e.ContentOffset());
            (e.tag == 1 ? info.m_issuerUniqueId : info.m_subjectUniqueId) =
                CTOOCryptBitBlob(bits.bytes.data(), static_cast<DWORD>(bits.bytes.size()), bits.unusedBits);
            continue;
        }
        asn::Reader tagged = s.Enter(e);
        asn::Reader list = tagged.EnterSequence();
        tagged.Finish();
        if (list.AtEnd()) s.ThrowAt(e.offset, "[3] holds no extension");
        while (!list.AtEnd()) info.m_extensions.push_back(ReadExtension(list));
    }
    return info;
}

}  // namespace cert::model

using namespace cert::model;

namespace {

// Names as the model compares them: as sets of simple RDNs, by bytes when
// one does not decode.
bool SameName(const CCTFX509Name& a, const CCTFX509Name& b) {
    try {
        return a == b;
    } catch (...) {
        return static_cast<const IdentObj&>(a) == static_cast<const IdentObj&>(b);
    }
}

int CompareTime(const FILETIME& a, const FILETIME& b) {
    const auto x = cert::platform::FileTimeToU64(a), y = cert::platform::FileTimeToU64(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

// Every field of the comparison, each compared with `sign` (-1 less, 1
// greater).
bool AllCompare(const CCTFCertInfo& a, const CCTFCertInfo& b, int sign) {
    auto is = [sign](int c) { return c == sign; };
    auto order = [](const auto& x, const auto& y) { return x < y ? -1 : y < x ? 1 : 0; };
    if (a.m_extensions.size() != b.m_extensions.size()) return false;
    for (auto i = a.m_extensions.begin(), j = b.m_extensions.begin(); i != a.m_extensions.end(); ++i, ++j)
        if (!is(order(*i, *j))) return false;
    return is(order(a.m_version, b.m_version)) && is(a.m_serialNumber.Compare(b.m_serialNumber)) &&
           is(a.m_signatureAlgorithm.Compare(b.m_signatureAlgorithm)) && is(a.m_issuer.Compare(b.m_issuer)) &&
           is(CompareTime(a.m_notBefore, b.m_notBefore)) && is(CompareTime(a.m_notAfter, b.m_notAfter)) &&
           is(a.m_subject.Compare(b.m_subject)) && is(order(a.m_publicKey, b.m_publicKey)) &&
           is(a.m_issuerUniqueId.Compare(b.m_issuerUniqueId)) && is(a.m_subjectUniqueId.Compare(b.m_subjectUniqueId)) &&
           is(order(a.m_privateKeyType, b.m_privateKeyType));
}

}  // namespace

CCTFCertInfo::CCTFCertInfo(const CERT_INFO& info) { *this = info; }

CCTFCertInfo::~CCTFCertInfo() = default;

CCTFCertInfo& CCTFCertInfo::operator=(const CERT_INFO& info) {
    Throwing("CCTFCertInfo", [&] {
        CCTFCertInfo made;
        made.m_state[0] = made.m_state[1] = 1;
        made.m_version = info.dwVersion;
        made.m_serialNumber = info.SerialNumber;
        made.m_signatureAlgorithm = info.SignatureAlgorithm;
        made.m_issuer = info.Issuer;
        made.m_notBefore = info.NotBefore;
        made.m_notAfter = info.NotAfter;
        made.m_subject = info.Subject;
        made.m_publicKey = info.SubjectPublicKeyInfo;
        made.m_issuerUniqueId = info.IssuerUniqueId;
        made.m_subjectUniqueId = info.SubjectUniqueId;
        for (DWORD i = 0; i < info.cExtension && info.rgExtension; ++i)
            made.m_extensions.emplace_back(info.rgExtension[i]);
        *this = std::move(made);
    });
    return *this;
}

bool CCTFCertInfo::DecodeInfo(const IdentObj& tbsCertificate) { return DecodeInfo(tbsCertificate, nullptr); }

bool CCTFCertInfo::DecodeInfo(const IdentObj& tbsCertificate, CTOOString* fault) {
    return Decoding(fault, [&] {
        if (tbsCertificate.IsEmpty()) throw XTOOStatus(TOOERR_DER_FORMAT, "no input");
        asn::Reader r(asn::View(tbsCertificate));
        CCTFCertInfo read = ReadCertInfo(r);
        // What the encoding does not hold carries on.
        read.m_state[0] = m_state[0];
        read.m_state[1] = m_state[1];
        read.m_text = m_text;
        read.m_privateKeyType = m_privateKeyType;
        *this = std::move(read);
    });
}

IdentObj CCTFCertInfo::GetEncodetInfo() const {
    return Quietly(IdentObj(), [&] {
        CERT_INFO ci{};
        ci.dwVersion = CERT_V3;
        ci.SerialNumber = BlobView(m_serialNumber);
        ci.SignatureAlgorithm = AlgorithmView(m_signatureAlgorithm, false);
        ci.Issuer = BlobView(m_issuer);
        ci.NotBefore = m_notBefore;
        ci.NotAfter = m_notAfter;
        ci.Subject = BlobView(m_subject);
        ci.SubjectPublicKeyInfo = PublicKeyView(m_publicKey);
        ci.IssuerUniqueId = BitsView(m_issuerUniqueId);
        ci.SubjectUniqueId = BitsView(m_subjectUniqueId);
        std::vector<std::string> oids;
        oids.reserve(m_extensions.size());
        std::vector<CERT_EXTENSION> extensions;
        extensions.reserve(m_extensions.size());
        for (const auto& e : m_extensions) {
            oids.push_back(e.GetOID());
            extensions.push_back(CERT_EXTENSION{oids.back().data(), e.m_critical, BlobView(e.m_value)});
        }
        ci.cExtension = static_cast<DWORD>(extensions.size());
        ci.rgExtension = extensions.data();
        IdentObj out;
        EncodeObject(kEncoding, X509_CERT_TO_BE_SIGNED, &ci, out);
        return out;
    });
}

DWORD CCTFCertInfo::GetObjectSize() const {
    auto bits = [](const CTOOCryptBitBlob& b) { return Serialised(b.size()) + 4; };
    return 24 + bits(m_issuerUniqueId) + bits(m_subjectUniqueId) + Serialised(m_subject.size()) +
           Serialised(m_issuer.size()) + Serialised(m_signatureAlgorithm.GetOID().Length()) +
           Serialised(m_signatureAlgorithm.GetParameters().size()) + Serialised(m_serialNumber.size()) +
           m_extensions.GetObjectSize() + m_publicKey.GetObjectSize();
}

bool CCTFCertInfo::operator==(const CCTFCertInfo& o) const {
    return m_version == o.m_version && m_serialNumber == o.m_serialNumber &&
           m_signatureAlgorithm == o.m_signatureAlgorithm && SameName(m_issuer, o.m_issuer) &&
           CompareTime(m_notBefore, o.m_notBefore) == 0 && CompareTime(m_notAfter, o.m_notAfter) == 0 &&
           SameName(m_subject, o.m_subject) && m_publicKey == o.m_publicKey && m_issuerUniqueId == o.m_issuerUniqueId &&
           m_subjectUniqueId == o.m_subjectUniqueId && m_extensions == o.m_extensions &&
           m_privateKeyType == o.m_privateKeyType;
}

bool CCTFCertInfo::operator<(const CCTFCertInfo& o) const { return AllCompare(*this, o, -1); }

bool CCTFCertInfo::operator>(const CCTFCertInfo& o) const { return AllCompare(*this, o, 1); }

void CCTFCertInfo::GetKeyParam(DWORD& keyType, CTOOString& signParamSet, CTOOString& hashParamSet,
                               CTOOString& encryptParamSet) {
    keyType = AT_SIGNATURE;
    Quietly(false, [&] {
        signParamSet.Empty();
        hashParamSet.Empty();
        encryptParamSet.Empty();
        IdentObj usage;
        if (const CCTFCertExtension* ku = m_extensions.Find(cert::oids::kKeyUsage);
            ku && ku->DecodeData(usage, X509_KEY_USAGE)) {
            const auto& bits = *reinterpret_cast<const CRYPT_BIT_BLOB*>(usage.data());
            if (bits.cbData && (bits.pbData[0] & (CERT_KEY_ENCIPHERMENT_KEY_USAGE | CERT_DATA_ENCIPHERMENT_KEY_USAGE)))
                keyType = AT_KEYEXCHANGE;
        }
        signParamSet = m_publicKey.m_algorithm.GetOID();
        if (m_publicKey.m_algorithm == cert::oids::kGostR3410_2012_256) {
            m_publicKey.m_algorithm.ClearParameters();
            return true;
        }
        CTOOString sign, hash, encrypt;
        if (ReadGostParams(m_publicKey.m_algorithm.GetParameters(), sign, hash, encrypt)) {
            signParamSet = sign;
            hashParamSet = hash;
            encryptParamSet = encrypt;
        }
        return true;
    });
}
