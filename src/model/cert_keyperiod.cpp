// The private-key usage period of a certificate: how long its key may sign.
#include <optional>

#include "cert/asn.h"
#include "cert/certmodel.h"
#include "cert/oids.h"

namespace {

struct KeyPeriod {
    std::optional<ULONGLONG> notBefore;
    std::optional<ULONGLONG> notAfter;
};

// SEQUENCE { [0] IMPLICIT GeneralizedTime OPTIONAL, [1] IMPLICIT
// GeneralizedTime OPTIONAL }; throws asn::Error on anything else.
KeyPeriod ReadKeyPeriod(const IdentObj& value) {
    asn::Reader top(asn::View(value));
    asn::Reader in = top.EnterSequence();
    top.Finish();
    KeyPeriod p;
    auto time = [&](const asn::Element& e) {
        if (e.constructed) in.ThrowAt(e.offset, "a private-key period time must be primitive");
        return cert::platform::FileTimeToU64(asn::DecodeTime(asn::kGeneralizedTime, e.content, {}, e.offset));
    };
    if (auto b = in.Optional(0, asn::kContext)) p.notBefore = time(*b);
    if (auto a = in.Optional(1, asn::kContext)) p.notAfter = time(*a);
    in.Finish();
    return p;
}

}  // namespace

bool CTFIsSignKeyPeriodValid(const CCTFCertInfo& cert, LONGLONG& secondsLeft, FILETIME& end, const CTOOFileTime& at) {
    secondsLeft = -1;
    end = FILETIME{0, 0};
    const CCTFCertExtension* ext = cert.m_extensions.Find(cert::oids::kPrivateKeyUsagePeriod);
    if (!ext) return true;
    KeyPeriod p;
    try {
        p = ReadKeyPeriod(ext->m_value);
    } catch (...) {
        // A period nobody can read limits the key to nothing.
        return false;
    }
    const ULONGLONG now = at.IsEmpty() ? CTOOFileTime::now().Ticks() : at.Ticks();
    if (p.notAfter) end = cert::platform::U64ToFileTime(*p.notAfter);
    if ((p.notBefore && now < *p.notBefore) || (p.notAfter && now > *p.notAfter)) {
        secondsLeft = 0;
        return false;
    }
    if (p.notAfter) secondsLeft = static_cast<LONGLONG>((*p.notAfter - now) / CTOOFileTime::kTicksPerSecond);
    return true;
}
