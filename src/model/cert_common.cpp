// What the certificate model's files share (cert_internal.h), CCTFString
// and CCTFAlgorithmIdentifier.
#include <algorithm>

#include "cert/oids.h"
#include "model/cert_internal.h"

namespace cert::model {

CRYPT_ALGORITHM_IDENTIFIER AlgorithmView(const CASNTIdData& alg, bool parameters) {
    CRYPT_ALGORITHM_IDENTIFIER v{};
    v.pszObjId = const_cast<char*>(alg.GetOID().c_str());
    if (parameters) v.Parameters = BlobView(alg.GetParameters());
    return v;
}

CERT_PUBLIC_KEY_INFO PublicKeyView(const CCTFCertPublicKeyInfo& key) {
    return CERT_PUBLIC_KEY_INFO{AlgorithmView(key.m_algorithm), BitsView(key.m_publicKey)};
}

bool EncodeObject(DWORD encodingType, LPCSTR structType, const void* info, IdentObj& out) {
    DWORD size = 0;
    if (!CryptEncodeObject(encodingType, structType, info, nullptr, &size)) return false;
    IdentObj encoded;
    encoded.Alloc(size);
    if (!CryptEncodeObject(encodingType, structType, info, encoded.data(), &size)) return false;
    encoded.Realloc(size);
    out = std::move(encoded);
    return true;
}

bool DecodeObject(LPCSTR structType, const IdentObj& encoded, IdentObj& out) {
    DWORD size = 0;
    if (!CryptDecodeObject(kEncoding, structType, encoded.data(), encoded.size(), 0, nullptr, &size)) return false;
    // The blob's memory comes from malloc, aligned for the pointers in it.
    IdentObj decoded;
    decoded.Alloc(size);
    if (!CryptDecodeObject(kEncoding, structType, encoded.data(), encoded.size(), 0, decoded.data(), &size))
        return false;
    out = std::move(decoded);
    return true;
}

IdentObj Reversed(asn::Bytes bytes) {
    IdentObj out;
    out.Alloc(static_cast<DWORD>(bytes.size()));
    std::reverse_copy(bytes.begin(), bytes.end(), out.data());
    return out;
}

bool ReadGostParams(const IdentObj& parameters, CTOOString& sign, CTOOString& hash, CTOOString& encrypt) {
    CASNAlgAddInfo info;
    int status = 0;
    if (parameters.IsEmpty() || !info.ReadData(parameters, &status) || status) return false;
    sign = info.GetSignOID();
    hash = info.GetHashOID();
    encrypt = info.GetEncryptOID();
    return true;
}

CCTFAlgorithmIdentifier ReadAlgorithm(asn::Reader& r) {
    asn::Reader s = r.EnterSequence();
    const asn::Element oid = s.Expect(asn::kOid);
    CCTFAlgorithmIdentifier alg;
    int status = 0;
    if (!alg.SetEncodedOID(oid.content.data(), static_cast<DWORD>(oid.content.size()), &status))
        s.ThrowAt(oid.offset, "malformed OBJECT IDENTIFIER");
    if (!s.AtEnd()) {
        const asn::Element params = s.Next();
        alg.SetParameters(IdentObj(params.encoded.data(), static_cast<DWORD>(params.encoded.size())));
    }
    s.Finish();
    return alg;
}

}  // namespace cert::model

using namespace cert::model;

// ---------------------------------------------------------------------------
// CCTFString

CCTFString::CCTFString(const char* text) : m_text(text ? text : "") { m_length = static_cast<DWORD>(m_text.size()); }

CCTFString::CCTFString(const char16_t* text) : m_wide(true), m_wideText(text ? text : u"") {
    m_length = static_cast<DWORD>(m_wideText.size());
}

CCTFString::~CCTFString() = default;

CCTFString::operator const char*() const {
    if (m_wide && !m_converted) {
        try {
            std::string narrow;
            if (TOOUtf16ToUtf8(m_wideText, narrow)) m_text = std::move(narrow);
        } catch (...) {
            // no 8-bit form: the empty text stands for it
        }
        m_converted = true;
    }
    return m_text.c_str();
}

CCTFString::operator const char16_t*() const {
    if (!m_wide && !m_converted) {
        try {
            std::u16string wide;
            if (TOOUtf8ToUtf16(m_text, wide)) m_wideText = std::move(wide);
        } catch (...) {
            // no wide form: the empty text stands for it
        }
        m_converted = true;
    }
    return m_wideText.c_str();
}

// ---------------------------------------------------------------------------
// CCTFAlgorithmIdentifier

CCTFAlgorithmIdentifier::CCTFAlgorithmIdentifier(const CRYPT_ALGORITHM_IDENTIFIER& alg) { *this = alg; }

CCTFAlgorithmIdentifier::CCTFAlgorithmIdentifier(const char* oid, const IdentObj& parameters)
    : ASNAlgorithmIdentifier(oid, parameters) {}

CCTFAlgorithmIdentifier::~CCTFAlgorithmIdentifier() = default;

CCTFAlgorithmIdentifier& CCTFAlgorithmIdentifier::operator=(const CRYPT_ALGORITHM_IDENTIFIER& alg) {
    Throwing("CCTFAlgorithmIdentifier", [&] {
        CCTFAlgorithmIdentifier made;
        if (alg.pszObjId) made.SetOID(alg.pszObjId);
        made.SetParameters(IdentObj(alg.Parameters));
        *this = made;
    });
    return *this;
}

void CCTFAlgorithmIdentifier::SetParams(const char* algorithmOid, const char* paramSetOid) {
    Throwing("CCTFAlgorithmIdentifier::SetParams", [&] {
        CCTFAlgorithmIdentifier made;
        made.SetOID(algorithmOid);
        if (algorithmOid && std::string_view(algorithmOid) == cert::oids::kGostR3410_2001) {
            IdentObj params;
            CASNAlgAddInfo(paramSetOid, cert::oids::kHash94ParamSet).WriteData(params);
            made.SetParameters(params);
        }
        *this = made;
    });
}

void CCTFAlgorithmIdentifier::GetParams(CTOOString* oid, CTOOString* signParamSet, CTOOString* hashParamSet,
                                        CTOOString* encryptParamSet) const {
    Quietly(false, [&] {
        CTOOString sign, hash, encrypt;
        ReadGostParams(m_params, sign, hash, encrypt);
        if (oid) *oid = m_oid;
        if (signParamSet) *signParamSet = sign;
        if (hashParamSet) *hashParamSet = hash;
        if (encryptParamSet) *encryptParamSet = encrypt;
        return true;
    });
}
