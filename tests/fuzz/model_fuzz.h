// One fuzz iteration over the certificate model, shared by the libFuzzer
// target and the corpus replay test of the normal build. Returns false when
// the model disagrees with itself: what it writes of a certificate it read
// does not read back to the same fields or is not a fixed point, an
// extension, key or authority key identifier does not come back from its
// own encoding, or a decoded structure points outside its blob (a crash or
// sanitizer report is a fault too).
#pragma once

#include <cstddef>
#include <cstdint>

#include "cert/certmodel.h"
#include "cert/oids.h"

namespace modelfuzz {

inline bool Inside(const IdentObj& blob, const void* p) {
    return p >= static_cast<const void*>(blob.data()) && p < static_cast<const void*>(blob.data() + blob.size());
}

inline FILETIME WholeSeconds(FILETIME t) {
    const ULONGLONG ticks = cert::platform::FileTimeToU64(t);
    return cert::platform::U64ToFileTime(ticks - ticks % 10000000);
}

// The structures the model lays out itself must point into their blob.
inline bool DecodedSoundly(const CCTFCertExtension& ext) {
    IdentObj out;
    if (!ext.DecodeData(out, ext.GetOID().c_str())) return true;
    if (ext.IsOID(cert::oids::kBasicConstraints)) return out.size() == sizeof(CERT_BASIC_CONSTRAINTS2_INFO);
    if (ext.IsOID(cert::oids::kKeyUsage)) {
        const auto& bits = *reinterpret_cast<const CRYPT_BIT_BLOB*>(out.data());
        return bits.cbData == 0 || Inside(out, bits.pbData + bits.cbData - 1);
    }
    if (ext.IsOID(cert::oids::kExtKeyUsage)) {
        const auto& usage = *reinterpret_cast<const CERT_ENHKEY_USAGE*>(out.data());
        for (DWORD i = 0; i < usage.cUsageIdentifier; ++i)
            if (!Inside(out, usage.rgpszUsageIdentifier + i) || !Inside(out, usage.rgpszUsageIdentifier[i]))
                return false;
    }
    return true;
}

inline bool ExtensionRoundTrips(const CCTFCertExtension& ext) {
    int error = 0;
    const IdentObj der = ext.WriteData(&error);
    if (der.IsEmpty()) return error != 0;
    CCTFCertExtension back;
    return back.ReadData(der.data(), der.size(), &error) == der.size() && back == ext;
}

// An authority key identifier made again from its fields reads back to them.
inline bool AuthorityKeyIdRoundTrips(const CCTFCertExtension& ext) {
    const CCTFIssuerPublicKeyID read(ext);
    if (!ext.IsOID(cert::oids::kAuthorityKeyIdentifier)) return true;
    const CCTFX509Name issuer = read.GetIssuerName();
    const CCTFIssuerPublicKeyID made(&read.GetKeyID(), &read.GetSerialNumber(), &issuer);
    if (made.m_value.IsEmpty()) return true;  // a name that does not encode as one element
    const CCTFIssuerPublicKeyID again(static_cast<const CCTFCertExtension&>(made));
    return again.GetKeyID() == read.GetKeyID() && again.GetSerialNumber() == read.GetSerialNumber() &&
           static_cast<const IdentObj&>(again.GetIssuerName()) == static_cast<const IdentObj&>(issuer);
}

inline bool KeyRoundTrips(const CCTFCertPublicKeyInfo& key) {
    key.GetKeyLength();
    if (key.m_publicKey.IsEmpty()) return true;
    try {
        const IdentObj der = key.WriteData();
        CCTFCertPublicKeyInfo back;
        return back.ReadData(der.data(), der.size()) == der.size() && back == key;
    } catch (const XTOOStatus&) {
        return false;
    }
}

inline bool RunCert(const std::uint8_t* data, std::size_t size) {
    const IdentObj input(data, static_cast<DWORD>(size));
    bool ok = true;

    // The bytes as the to-be-signed part, an extension, a key, a list.
    CCTFCertInfo info;
    info.DecodeInfo(input);
    CCTFCertExtension ext;
    int error = 0;
    if (ext.ReadData(data, static_cast<DWORD>(size), &error))
        ok = ExtensionRoundTrips(ext) && DecodedSoundly(ext) && AuthorityKeyIdRoundTrips(ext) && ok;
    try {
        CCTFCertPublicKeyInfo key;
        if (key.ReadData(data, static_cast<DWORD>(size))) ok = KeyRoundTrips(key) && ok;
        CCTFCertExtensionList list;
        list.ReadData(data, static_cast<DWORD>(size));
    } catch (const XTOOStatus&) {
    }

    CCTFX509Certificate cert;
    if (!cert.DecodeCert(input)) return ok;
    if (cert.m_encoded != input) return false;
    for (const auto& e : cert.m_info.m_extensions)
        ok = ExtensionRoundTrips(e) && DecodedSoundly(e) && AuthorityKeyIdRoundTrips(e) && ok;
    ok = KeyRoundTrips(cert.m_info.m_publicKey) && ok;
    CCTFCertInfo params = cert.m_info;
    DWORD keyType;
    CTOOString sign, hash, cipher;
    params.GetKeyParam(keyType, sign, hash, cipher);

    // What the model writes it reads back: the same fields as v3, without
    // the inner signature parameters, in whole seconds; and writing that
    // again changes nothing.
    const IdentObj written = cert.GetEncodetCert();
    if (written.IsEmpty()) return ok;
    CCTFX509Certificate again;
    if (!again.DecodeCert(written) || again.GetEncodetCert() != written) return false;
    CCTFCertInfo expected = cert.m_info;
    expected.m_version = CERT_V3;
    expected.m_signatureAlgorithm.ClearParameters();
    expected.m_notBefore = WholeSeconds(expected.m_notBefore);
    expected.m_notAfter = WholeSeconds(expected.m_notAfter);
    return again.m_info == expected && again.m_signature == cert.m_signature && ok;
}

}  // namespace modelfuzz
