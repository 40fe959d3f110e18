#include "chains.h"

#include <cstdio>
#include <vector>

#include "cert/errtext.h"
#include "certs.h"
#include "text.h"

namespace ctf {

namespace {

struct BitName {
    DWORD bit;
    const char* name;
};
const BitName kBits[] = {
    {CERT_TRUST_IS_NOT_TIME_VALID, "not time valid"},
    {CERT_TRUST_IS_REVOKED, "revoked"},
    {CERT_TRUST_IS_NOT_SIGNATURE_VALID, "signature not valid"},
    {CERT_TRUST_IS_UNTRUSTED_ROOT, "untrusted root"},
    {CERT_TRUST_REVOCATION_STATUS_UNKNOWN, "revocation status unknown"},
    {CERT_TRUST_IS_CYCLIC, "cyclic"},
    {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, "invalid basic constraints"},
    {CERT_TRUST_IS_PARTIAL_CHAIN, "partial chain"},
};

std::string Hex32(DWORD v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(v));
    return buf;
}

std::string Serial(const CRYPT_INTEGER_BLOB& b) { return ModelSerial(IdentObj(b.pbData, b.cbData)); }

// A CRL is out of date once its next update has passed: it still decides,
// but the reader should know it is stale.
bool OutOfDate(const CRL_INFO& crl, const CTOOFileTime& at) {
    const CTOOFileTime next(crl.NextUpdate);
    return !next.IsEmpty() && next < (at.IsEmpty() ? CTOOFileTime::now() : at);
}

std::string CrlJson(const CCTFCRLContext& crl, const CTOOFileTime& at) {
    if (!crl.IsInitialized()) return "null";
    const CRL_INFO& info = *crl.GetContext()->pCrlInfo;
    JsonObject o;
    o.Add("issuer", NameText(info.Issuer)).Add("thisUpdate", IsoTime(info.ThisUpdate));
    if (!CTOOFileTime(info.NextUpdate).IsEmpty()) o.Add("nextUpdate", IsoTime(info.NextUpdate));
    return o.Add("outOfDate", OutOfDate(info, at)).str();
}

std::string CrlText(const CCTFCRLContext& crl, const CTOOFileTime& at) {
    if (!crl.IsInitialized()) return "none";
    const CRL_INFO& info = *crl.GetContext()->pCrlInfo;
    std::string s = "issued " + IsoTime(info.ThisUpdate);
    if (!CTOOFileTime(info.NextUpdate).IsEmpty()) s += ", next " + IsoTime(info.NextUpdate);
    if (OutOfDate(info, at)) s += " (OUT OF DATE)";
    return s;
}

}  // namespace

std::string TrustBitsText(DWORD bits) {
    if (!bits) return "none";
    std::string s;
    for (const BitName& b : kBits)
        if (bits & b.bit) {
            s += (s.empty() ? "" : "; ") + std::string(b.name);
            bits &= ~b.bit;
        }
    for (DWORD bit = 1; bits; bit <<= 1)
        if (bits & bit) {
            s += (s.empty() ? "" : "; ") + Hex32(bit);
            bits &= ~bit;
        }
    return s;
}

std::string ChainText(const std::string& title, const CCTFCertificateChain& chain, DWORD bits, const CTOOFileTime& at) {
    std::string s = title + "\n";
    std::size_t i = 0;
    for (const CCTFChainElement& e : chain.elements) {
        const CERT_INFO& info = *e.cert.GetContext()->pCertInfo;
        const DWORD own = e.status.dwErrorStatus;
        s += "  [" + std::to_string(i++) + "] " + NameText(info.Subject) + "\n";
        s += "      serial:   " + Serial(info.SerialNumber) + "\n";
        s += "      valid:    " + IsoTime(info.NotBefore) + " .. " + IsoTime(info.NotAfter) + "\n";
        s += "      issuer:   " +
             (e.issuer.IsInitialized() ? NameText(e.issuer.GetContext()->pCertInfo->Subject) : std::string("(none)")) +
             "\n";
        s += "      bits:     " + Hex32(own) + " " + TrustBitsText(own) + "\n";
        if (own) s += "                " + CTFGetCertTotalBitMaskExplaination(own).str() + "\n";
        s += "      crl:      " + CrlText(e.crl, at) + "\n";
    }
    const DWORD code = CTFCertFlags2WinErr(bits);
    s += "  chain:    " + Hex32(bits) + " " + TrustBitsText(bits) + "\n";
    s += "  code:     " + Hex32(code) + ": " + CTFGetWinErrorExplaination(code).str() + "\n";
    return s;
}

std::string ChainJson(const std::string& file, const CCTFCertificateChain& chain, DWORD bits, const CTOOFileTime& at) {
    std::vector<std::string> elements;
    for (const CCTFChainElement& e : chain.elements) {
        const CERT_INFO& info = *e.cert.GetContext()->pCertInfo;
        const DWORD own = e.status.dwErrorStatus;
        elements.push_back(JsonObject()
                               .Add("subject", NameText(info.Subject))
                               .Add("issuer", NameText(info.Issuer))
                               .Add("serial", Serial(info.SerialNumber))
                               .Add("notBefore", IsoTime(info.NotBefore))
                               .Add("notAfter", IsoTime(info.NotAfter))
                               .Add("error", std::uint32_t(own))
                               .Add("bits", TrustBitsText(own))
                               .AddJson("crl", CrlJson(e.crl, at))
                               .str());
    }
    const DWORD code = CTFCertFlags2WinErr(bits);
    return JsonObject()
        .Add("file", file)
        .Add("error", std::uint32_t(bits))
        .Add("code", std::uint32_t(code))
        .Add("text", CTFGetWinErrorExplaination(code).str())
        .AddJson("elements", JsonArray(elements))
        .str();
}

}  // namespace ctf
