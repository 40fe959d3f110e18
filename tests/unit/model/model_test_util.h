// Certificates put together element by element for the model's tests, so
// that each case changes one thing of an otherwise sound certificate.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cert/asn.h"
#include "cert/certmodel.h"
#include "cert/oids.h"

namespace modeltest {

using Bytes = std::vector<std::uint8_t>;

inline IdentObj Blob(const Bytes& b) { return IdentObj(b.data(), static_cast<DWORD>(b.size())); }
inline Bytes Of(const IdentObj& b) { return Bytes(b.begin(), b.end()); }

// A Name of one common name.
inline IdentObj Name(const char* cn) {
    asn::Writer w;
    auto name = w.BeginSequence();
    auto set = w.BeginSet();
    auto atv = w.BeginSequence();
    w.Oid(cert::oids::kCommonName).String(asn::kUtf8String, cn);
    w.End(atv).End(set).End(name);
    return w.Take();
}

// A GOST R 34.10-2012 256-bit SubjectPublicKeyInfo (the key bits an OCTET
// STRING of `keyBytes` bytes).
inline IdentObj GostKey(std::size_t keyBytes = 64) {
    asn::Writer w;
    auto spki = w.BeginSequence();
    auto alg = w.BeginSequence();
    w.Oid(cert::oids::kGostR3410_2012_256);
    auto params = w.BeginSequence();
    w.Oid(cert::oids::kSign2001ParamSetA).Oid(cert::oids::kGostR3411_2012_256).End(params).End(alg);
    Bytes key(keyBytes);
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 7 + 1);
    asn::Writer octets;
    octets.OctetString(asn::Bytes(key.data(), key.size()));
    w.BitString(octets.view()).End(spki);
    return w.Take();
}

// The parts of a TBSCertificate; Encode writes them in order, `tail` (when
// set) writes what follows the public key instead of the extensions.
struct Tbs {
    bool hasVersion = true;
    std::int64_t version = 2;
    Bytes serial = {0x00, 0x80, 0x01};
    bool nullSignatureParameters = false;
    std::uint32_t notAfterTag = asn::kUtcTime;
    FILETIME notBefore = asn::MakeFileTime(2024, 3, 1, 10, 0, 0);
    FILETIME notAfter = asn::MakeFileTime(2034, 3, 1, 10, 0, 0);
    std::vector<CCTFCertExtension> extensions;
    std::function<void(asn::Writer&)> tail;

    IdentObj Encode() const {
        asn::Writer w;
        auto tbs = w.BeginSequence();
        if (hasVersion) {
            auto v = w.BeginContext(0);
            w.Integer(version).End(v);
        }
        w.IntegerBytes(asn::Bytes(serial.data(), serial.size()));
        Algorithm(w, nullSignatureParameters);
        w.Raw(Name("Issuer"));
        auto validity = w.BeginSequence();
        w.UtcTime(notBefore);
        if (notAfterTag == asn::kUtcTime)
            w.UtcTime(notAfter);
        else
            w.GeneralizedTime(notAfter);
        w.End(validity);
        w.Raw(Name("Subject"));
        w.Raw(GostKey());
        if (tail) {
            tail(w);
        } else if (!extensions.empty()) {
            auto x = w.BeginContext(3);
            auto list = w.BeginSequence();
            int error = 0;
            for (const auto& e : extensions) w.Raw(e.WriteData(&error));
            w.End(list).End(x);
        }
        w.End(tbs);
        return w.Take();
    }

    static void Algorithm(asn::Writer& w, bool nullParameters) {
        auto alg = w.BeginSequence();
        w.Oid(cert::oids::kGostR3410_2012_256WithR3411);
        if (nullParameters) w.Null();
        w.End(alg);
    }
};

// The certificate around a to-be-signed part.
inline IdentObj Certificate(const IdentObj& tbs, bool nullParameters = false,
                            const Bytes& signature = {0x01, 0x02, 0x03, 0x04, 0x05}) {
    asn::Writer w;
    auto cert = w.BeginSequence();
    w.Raw(tbs);
    Tbs::Algorithm(w, nullParameters);
    w.BitString(asn::Bytes(signature.data(), signature.size())).End(cert);
    return w.Take();
}

// The offset of the `index`th element inside the outer SEQUENCE of `der`.
inline std::size_t ElementOffset(const IdentObj& der, std::size_t index) {
    asn::Reader r(asn::View(der));
    asn::Reader s = r.EnterSequence();
    for (std::size_t i = 0; i < index; ++i) s.Next();
    return s.Offset();
}

}  // namespace modeltest
