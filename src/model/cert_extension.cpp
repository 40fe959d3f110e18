// CCTFCertExtension, CCTFCertExtensionList and CCTFIssuerPublicKeyID.
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "cert/oids.h"
#include "cert/toofile.h"
#include "model/cert_internal.h"

namespace cert::model {

CCTFCertExtension ReadExtension(asn::Reader& r) {
    asn::Reader s = r.EnterSequence();
    const asn::Element oid = s.Expect(asn::kOid);
    CCTFCertExtension ext;
    const std::string text = asn::DecodeOid(oid.content, oid.ContentOffset());
    ext.m_oid.Assign(text.data(), static_cast<DWORD>(text.size()));
    if (const auto flag = s.Optional(asn::kBoolean))
        ext.m_critical = asn::DecodeBoolean(flag->content, {}, flag->ContentOffset()) ? TRUE : FALSE;
    // The value is taken whatever its tag: the OCTET STRING is assumed.
    const asn::Element value = s.Next();
    s.Finish();
    ext.m_value.Assign(value.content.data(), static_cast<DWORD>(value.content.size()));
    return ext;
}

}  // namespace cert::model

using namespace cert::model;

namespace {

constexpr char kExtensionRead[] = "CCTFCertExtension::ReadData";

bool IsNumberType(const char* structType) { return reinterpret_cast<std::uintptr_t>(structType) < 0x10000; }

bool SameType(const char* structType, const char* oid) {
    return !IsNumberType(structType) && std::strcmp(structType, oid) == 0;
}

// A decoded structure and the bytes its pointers point to, laid out in one
// blob from the start of an aligned buffer.
class Layout {
public:
    // Reserves `size` bytes aligned for a pointer; returns their offset.
    std::size_t Take(std::size_t size) {
        const std::size_t at = (m_size + alignof(void*) - 1) & ~(alignof(void*) - 1);
        m_size = at + size;
        return at;
    }
    std::size_t Size() const { return m_size; }

private:
    std::size_t m_size = 0;
};

// The basic constraints in their two forms, both as {1, flag, length}:
// SEQUENCE { BOOLEAN cA, INTEGER length } as the standard has it, and
// SEQUENCE { BOOLEAN cA, BOOLEAN present, INTEGER length } as some issuers
// wrote it. False for anything the walk does not know, which the platform
// decoder then gets.
bool WalkBasicConstraints(const IdentObj& value, CERT_BASIC_CONSTRAINTS2_INFO& out) {
    try {
        asn::Reader outer(asn::View(value));
        asn::Reader s = outer.EnterSequence();
        outer.Finish();
        CERT_BASIC_CONSTRAINTS2_INFO info{};
        if (s.AtEnd()) {
            out = info;
            return true;
        }
        const asn::Element ca = s.Expect(asn::kBoolean);
        info.fCA = asn::DecodeBoolean(ca.content) ? TRUE : FALSE;
        if (s.AtEnd()) {
            out = info;
            return true;
        }
        const asn::Element present = s.Expect(asn::kBoolean);
        info.fPathLenConstraint = asn::DecodeBoolean(present.content) ? TRUE : FALSE;
        if (info.fPathLenConstraint) {
            const std::int64_t n = s.ReadInteger();
            if (n < 0 || n > 0xFFFFFFFF) return false;
            info.dwPathLenConstraint = static_cast<DWORD>(n);
        }
        s.Finish();
        out = info;
        return true;
    } catch (const asn::Error&) {
        return false;
    }
}

bool KeyUsage(const IdentObj& value, IdentObj& out) {
    asn::Reader r(asn::View(value));
    const asn::Element e = r.Next();
    if (!e.IsUniversal(asn::kBitString)) return DecodeObject(cert::oids::kKeyUsage, value, out);
    r.Finish();
    const asn::BitString bits = asn::DecodeBitString(e.content, {}, e.ContentOffset());
    IdentObj blob;
    blob.Alloc(static_cast<DWORD>(sizeof(CRYPT_BIT_BLOB) + bits.bytes.size()));
    auto* b = reinterpret_cast<CRYPT_BIT_BLOB*>(blob.data());
    BYTE* bytes = blob.data() + sizeof(CRYPT_BIT_BLOB);
    if (!bits.bytes.empty()) std::memcpy(bytes, bits.bytes.data(), bits.bytes.size());
    *b = CRYPT_BIT_BLOB{static_cast<DWORD>(bits.bytes.size()), bits.bytes.empty() ? nullptr : bytes, bits.unusedBits};
    out = std::move(blob);
    return true;
}

bool EnhancedKeyUsage(const IdentObj& value, IdentObj& out) {
    asn::Reader r(asn::View(value));
    asn::Reader s = r.EnterSequence();
    r.Finish();
    std::vector<std::string> oids;
    while (!s.AtEnd()) oids.push_back(s.ReadOid());
    Layout layout;
    layout.Take(sizeof(CERT_ENHKEY_USAGE));
    const std::size_t array = layout.Take(sizeof(LPSTR) * oids.size());
    std::vector<std::size_t> texts;
    for (const auto& oid : oids) texts.push_back(layout.Take(oid.size() + 1));
    IdentObj blob;
    blob.Alloc(static_cast<DWORD>(layout.Size()));
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(blob.data());
    auto* pointers = reinterpret_cast<LPSTR*>(blob.data() + array);
    usage->cUsageIdentifier = static_cast<DWORD>(oids.size());
    usage->rgpszUsageIdentifier = oids.empty() ? nullptr : pointers;
    for (std::size_t i = 0; i < oids.size(); ++i) {
        pointers[i] = reinterpret_cast<LPSTR>(blob.data() + texts[i]);
        std::memcpy(pointers[i], oids[i].c_str(), oids[i].size() + 1);
    }
    out = std::move(blob);
    return true;
}

// The issuer name a CERT_ALT_NAME_INFO holds: its first directory name.
CCTFX509Name DirectoryName(const CERT_ALT_NAME_INFO& names) {
    for (DWORD i = 0; i < names.cAltEntry; ++i)
        if (names.rgAltEntry[i].dwAltNameChoice == CERT_ALT_NAME_DIRECTORY_NAME)
            return CCTFX509Name(names.rgAltEntry[i].DirectoryName);
    return CCTFX509Name();
}

}  // namespace

// ---------------------------------------------------------------------------
// CCTFCertExtension

CCTFCertExtension::CCTFCertExtension(const CERT_EXTENSION& ext) { *this = ext; }

CCTFCertExtension::CCTFCertExtension(const char* oid, BOOL critical, const IdentObj& value)
    : m_critical(critical), m_value(value) {
    m_oid = oid;
}

CCTFCertExtension::~CCTFCertExtension() = default;

CCTFCertExtension& CCTFCertExtension::operator=(const CERT_EXTENSION& ext) {
    Throwing("CCTFCertExtension", [&] {
        CCTFCertExtension made;
        made.m_oid = ext.pszObjId;
        made.m_critical = ext.fCritical ? TRUE : FALSE;
        made.m_value = ext.Value;
        *this = std::move(made);
    });
    return *this;
}

bool CCTFCertExtension::operator==(const CCTFCertExtension& o) const {
    return m_oid == o.m_oid && m_critical == o.m_critical && m_value == o.m_value;
}

bool CCTFCertExtension::operator<(const CCTFCertExtension& o) const {
    return m_oid < o.m_oid && m_critical < o.m_critical && m_value < o.m_value;
}

bool CCTFCertExtension::operator>(const CCTFCertExtension& o) const {
    return m_oid > o.m_oid && m_critical > o.m_critical && m_value > o.m_value;
}

bool CCTFCertExtension::IsOID(const char* oid) const { return oid && m_oid.view() == std::string_view(oid); }

DWORD CCTFCertExtension::ReadData(const void* data, DWORD size, int* error) {
    if (!data || !size) return 0;
    try {
        asn::Reader r(data, size);
        *this = ReadExtension(r);
        if (error) *error = 0;
        return static_cast<DWORD>(r.Offset());
    } catch (const asn::Error&) {
        TOOReport(TOOERR_DER_FORMAT, kExtensionRead, error);
    } catch (...) {
        TOOReportCurrentException(kExtensionRead, error);
    }
    return 0;
}

DWORD CCTFCertExtension::ReadData(const CTOOFile& file, DWORD offset, int* error) {
    try {
        if (offset != 0xFFFFFFFFu && !file.Seek(offset)) return TOOReport(TOOERR_SHORTREAD, kExtensionRead, error), 0;
        CASNTBaseRecord element;
        int status = 0;
        if (!element.ReadData(file, &status) || status) return TOOReport(TOOERR_DER_FORMAT, kExtensionRead, error), 0;
        const IdentObj der = element.GetEncodedRecord();
        return ReadData(der.data(), der.size(), error);
    } catch (...) {
        TOOReportCurrentException(kExtensionRead, error);
    }
    return 0;
}

IdentObj CCTFCertExtension::WriteData(int* error) const {
    return TOOGuarded("CCTFCertExtension::WriteData", error, IdentObj(), [&] {
        asn::Writer w;
        auto m = w.BeginSequence();
        w.Oid(m_oid.view());
        if (m_critical) w.Boolean(true);
        w.OctetString(m_value);
        w.End(m);
        return w.Take();
    });
}

DWORD CCTFCertExtension::WriteData(CTOOFile& file, int* error) const {
    const IdentObj der = WriteData(error);
    if (der.IsEmpty()) return 0;
    return TOOGuarded("CCTFCertExtension::WriteData", error, DWORD(0), [&] {
        if (!file.Write(der)) throw XTOOStatus(file.GetStatus() ? file.GetStatus() : TOOERR_WRITE, file.FileName());
        return der.size();
    });
}

DWORD CCTFCertExtension::GetObjectSize() const { return 4 + Serialised(m_oid.size()) + Serialised(m_value.size()); }

bool CCTFCertExtension::DecodeData(IdentObj& out, const char* structType) const {
    return Quietly(false, [&] {
        if (!structType) return false;
        if (SameType(structType, cert::oids::kSubjectKeyIdentifier)) {
            asn::Reader r(asn::View(m_value));
            IdentObj keyId = r.ReadOctetString();
            r.Finish();
            out = std::move(keyId);
            return true;
        }
        if (SameType(structType, cert::oids::kBasicConstraints)) {
            CERT_BASIC_CONSTRAINTS2_INFO info;
            if (!WalkBasicConstraints(m_value, info)) return DecodeObject(structType, m_value, out);
            out.Assign(&info, sizeof info);
            return true;
        }
        if (SameType(structType, cert::oids::kKeyUsage)) return KeyUsage(m_value, out);
        if (SameType(structType, cert::oids::kExtKeyUsage)) return EnhancedKeyUsage(m_value, out);
        return DecodeObject(structType, m_value, out);
    });
}

bool CCTFCertExtension::EncodeData(const void* structInfo, const char* structType) {
    return Quietly(false, [&] { return EncodeObject(kEncoding, structType, structInfo, m_value); });
}

// ---------------------------------------------------------------------------
// CCTFCertExtensionList

CCTFCertExtensionList::~CCTFCertExtensionList() = default;

void CCTFCertExtensionList::ReadData(const void* data, DWORD size) {
    Throwing(kExtensionRead, [&] {
        CCTFCertExtensionList read;
        if (data && size) {
            asn::Reader r(data, size);
            asn::Reader s = r.EnterSequence();
            while (!s.AtEnd()) read.push_back(ReadExtension(s));
        }
        swap(read);
    });
}

bool CCTFCertExtensionList::FindExtension(CTOOString oid, CCTFCertExtension& out) const {
    return Quietly(false, [&] {
        out.m_oid.Empty();
        const CCTFCertExtension* found = Find(oid);
        if (found) out = *found;
        return found != nullptr;
    });
}

const CCTFCertExtension* CCTFCertExtensionList::Find(const char* oid) const {
    for (const auto& e : *this)
        if (e.IsOID(oid)) return &e;
    return nullptr;
}

void CCTFCertExtensionList::DeleteExtension(const char* oid) {
    remove_if([&](const CCTFCertExtension& e) { return e.IsOID(oid); });
}

bool CCTFCertExtensionList::Update(const CCTFCertExtension& ext) {
    return Quietly(false, [&] {
        for (auto& e : *this) {
            if (e.m_oid != ext.m_oid) continue;
            if (e == ext) return false;
            e = ext;
            return true;
        }
        push_back(ext);
        return true;
    });
}

void CCTFCertExtensionList::MergeLists(const CCTFCertExtensionList& other) {
    if (&other == this) return;
    for (const auto& e : other) Update(e);
}

DWORD CCTFCertExtensionList::GetObjectSize() const {
    DWORD size = 4;
    for (const auto& e : *this) size += e.GetObjectSize();
    return size;
}

// ---------------------------------------------------------------------------
// CCTFIssuerPublicKeyID

CCTFIssuerPublicKeyID::CCTFIssuerPublicKeyID(const IdentObj* keyId, const IdentObj* serial,
                                             const CCTFX509Name* issuer) {
    m_oid = cert::oids::kAuthorityKeyIdentifier;
    if (keyId) m_keyId = *keyId;
    if (serial) m_serial = *serial;
    if (issuer) m_issuer = *issuer;
    EncodeData();
}

CCTFIssuerPublicKeyID::CCTFIssuerPublicKeyID(const CCTFCertExtension& ext) { *this = ext; }

CCTFIssuerPublicKeyID::~CCTFIssuerPublicKeyID() = default;

CCTFIssuerPublicKeyID& CCTFIssuerPublicKeyID::operator=(const CCTFCertExtension& ext) {
    CCTFIssuerPublicKeyID made;
    if (ext.IsOID(cert::oids::kAuthorityKeyIdentifier) || ext.IsOID(cert::oids::kAuthorityKeyIdentifierOld)) {
        static_cast<CCTFCertExtension&>(made) = ext;
        made.DecodeData();
    }
    *this = std::move(made);
    return *this;
}

bool CCTFIssuerPublicKeyID::operator==(const CCTFIssuerPublicKeyID& o) const {
    if (m_serial != o.m_serial || m_keyId != o.m_keyId) return false;
    try {
        return m_issuer == o.m_issuer;
    } catch (...) {
        return static_cast<const IdentObj&>(m_issuer) == static_cast<const IdentObj&>(o.m_issuer);
    }
}

void CCTFIssuerPublicKeyID::DecodeData() {
    Quietly(false, [&] {
        IdentObj blob, keyId, serial;
        CCTFX509Name issuer;
        if (IsOID(cert::oids::kAuthorityKeyIdentifier)) {
            if (!DecodeData(blob, cert::oids::kAuthorityKeyIdentifier)) return false;
            const auto& aki = *reinterpret_cast<const CERT_AUTHORITY_KEY_ID2_INFO*>(blob.data());
            keyId = aki.KeyId;
            serial = aki.AuthorityCertSerialNumber;
            issuer = DirectoryName(aki.AuthorityCertIssuer);
        } else {
            if (!DecodeData(blob, cert::oids::kAuthorityKeyIdentifierOld)) return false;
            const auto& aki = *reinterpret_cast<const CERT_AUTHORITY_KEY_ID_INFO*>(blob.data());
            keyId = aki.KeyId;
            serial = aki.CertSerialNumber;
            issuer = CCTFX509Name(aki.CertIssuer);
        }
        m_keyId = std::move(keyId);
        m_serial = std::move(serial);
        m_issuer = std::move(issuer);
        return true;
    });
}

void CCTFIssuerPublicKeyID::EncodeData() {
    Quietly(false, [&] {
        const CRYPTOAPI_BLOB keyId = BlobView(m_keyId), serial = BlobView(m_serial), issuer = BlobView(m_issuer);
        bool encoded;
        if (!IsOID(cert::oids::kAuthorityKeyIdentifierOld)) {
            m_oid = cert::oids::kAuthorityKeyIdentifier;
            CERT_ALT_NAME_ENTRY entry{};
            entry.dwAltNameChoice = CERT_ALT_NAME_DIRECTORY_NAME;
            entry.DirectoryName = issuer;
            CERT_AUTHORITY_KEY_ID2_INFO aki{keyId, {m_issuer.IsEmpty() ? 0u : 1u, &entry}, serial};
            encoded = EncodeData(&aki, cert::oids::kAuthorityKeyIdentifier);
        } else {
            CERT_AUTHORITY_KEY_ID_INFO aki{keyId, issuer, serial};
            encoded = EncodeData(&aki, cert::oids::kAuthorityKeyIdentifierOld);
        }
        m_critical = FALSE;
        return encoded;
    });
}
