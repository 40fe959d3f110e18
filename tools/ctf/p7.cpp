// Signed data for the tool.
#include "p7.h"

#include <algorithm>
#include <cstring>

#include "cert/certstore.h"
#include "cert/crlmodel.h"
#include "cert/toofile.h"
#include "certs.h"
#include "io.h"
#include "text.h"

namespace ctf {

namespace {

std::string Name(const CCTFX509Name& name) {
    std::string text;
    try {
        name.GetX500String(text, X500NameParser::kModeKeywords);
    } catch (const XTOOStatus&) {
        text = "(" + Hex(Span(name)) + ")";
    }
    return text;
}

// Whether `c` is the certificate the signer info names.
bool Names(const CCTFMessageSignerInfo& si, const CCTFX509Certificate& c) {
    if (!si.m_keyId.IsEmpty()) {
        const CCTFCertContext context(c.m_encoded);
        return context.IsInitialized() && context.GetSubjectKeyId() == si.m_keyId;
    }
    IdentObj serial = si.m_serialNumber;  // as encoded; the model keeps it least significant byte first
    std::reverse(serial.data(), serial.data() + serial.size());
    return serial == c.m_info.m_serialNumber && si.m_issuer == c.m_info.m_issuer;
}

struct Signer {
    std::string serial, issuer, keyId;  // serial and issuer, or key id
    std::string digest, signature;
    std::vector<std::string> signedAttributes, unsignedAttributes;
    std::string signingTime;  // empty: none
    bool certificate = false;
};

struct Shown {
    bool detached = true;
    std::uint64_t contentSize = 0;
    std::string contentType;
    std::uint32_t version = 0;
    std::vector<std::string> digests;
    std::vector<std::pair<std::string, std::string>> certificates;  // subject, serial
    std::vector<std::string> crls;                                  // issuers
    std::vector<Signer> signers;
};

std::vector<std::string> Types(const CCTFAttributesList& list) {
    std::vector<std::string> out;
    for (const auto& s : list.m_sets) out.push_back(s.m_type.str());
    return out;
}

Shown Describe(const CCTFSignData& data) {
    Shown s;
    s.detached = data.IsDetached();
    s.contentSize = data.GetContentSize();
    s.contentType = data.m_content.GetOID().str();
    s.version = data.m_version;
    for (const auto& a : data.m_digestAlgorithms) s.digests.push_back(a.GetOID().str());
    int n = 0;
    std::vector<CCTFX509Certificate> carried;
    for (const auto& der : data.m_certificates) {
        carried.push_back(DecodeCertificate(der, "certificate " + std::to_string(++n)));
        const CCTFX509Certificate& c = carried.back();
        s.certificates.emplace_back(Name(c.m_info.m_subject), ModelSerial(c.m_info.m_serialNumber));
    }
    for (const auto& der : data.m_crls) {
        CCTF_CRL_List crl;
        try {
            crl.DecodeObject(der);
            s.crls.push_back(Name(crl.m_info.m_issuer));
        } catch (const XTOOStatus&) {
            s.crls.push_back("(does not decode)");
        }
    }
    int status = 0;
    std::list<CCTFWholeSignature> all;
    try {
        all = data.GetSigersInfo(nullptr);
    } catch (const XTOOStatus& e) {
        throw Error(kUsage, "the signers cannot be read", e.Status(), e.Place());
    }
    for (const auto& w : all) {
        const CCTFMessageSignerInfo& si = w.m_signerInfo;
        Signer g;
        if (!si.m_keyId.IsEmpty()) {
            g.keyId = Hex(Span(si.m_keyId));
        } else {
            g.serial = FormatSerial(Span(si.m_serialNumber));
            g.issuer = Name(si.m_issuer);
        }
        g.digest = si.m_digestAlgorithm.GetOID().str();
        g.signature = si.m_signatureAlgorithm.GetOID().str();
        g.signedAttributes = Types(si.m_signedAttributes);
        g.unsignedAttributes = Types(si.m_unsignedAttributes);
        const FILETIME t = si.GetSigningDate(&status);
        if (!status) g.signingTime = IsoTime(t);
        // The model pairs each certificate with one signer; a second
        // signer with the same certificate still finds it carried.
        g.certificate = !w.m_certificate.IsEmpty() ||
                        std::any_of(carried.begin(), carried.end(), [&](const auto& c) { return Names(si, c); });
        s.signers.push_back(std::move(g));
    }
    return s;
}

}  // namespace

CCTFSignData ReadSignedData(const std::string& path) {
    CCTFSignData d;
    bool whole = path == "-";
    if (!whole) {
        cert::platform::FileReader probe;
        if (const DWORD e = probe.Open(path)) {
            if (e == ERROR_DIRECTORY) throw UsageError(path + ": is a folder");
            throw UsageError("cannot read " + path + ": " + FileErrorText(e), WinErr2ToolsErr(e));
        }
        char head[10] = {};
        std::size_t got = 0;
        probe.Read(head, sizeof head, got);
        whole = got == sizeof head && std::memcmp(head, "-----BEGIN", sizeof head) == 0;
    }
    try {
        if (whole) {
            InputRules rules;
            rules.ber = true;
            const EncodedInput in = ReadEncodedInput(path, rules);
            d.ReadObject(in.bytes.data(), in.bytes.size(), nullptr);
        } else {
            const CTOOFile file(path.c_str(), "rb");
            d.ReadObject(file, 0, nullptr);
        }
    } catch (const XTOOStatus& e) {
        throw Error(kUsage, path + ": not a signed data the model reads", e.Status(), e.Place());
    }
    return d;
}

std::string SignedDataJson(const CCTFSignData& data) {
    const Shown s = Describe(data);
    JsonObject o;
    o.Add("version", s.version).Add("contentType", s.contentType).Add("detached", s.detached);
    if (!s.detached) o.Add("contentSize", s.contentSize);
    o.AddJson("digestAlgorithms", JsonStrings(s.digests));
    std::vector<std::string> certs, signers;
    for (const auto& [subject, serial] : s.certificates)
        certs.push_back(JsonObject().Add("subject", subject).Add("serial", serial).str());
    o.AddJson("certificates", JsonArray(certs)).AddJson("crls", JsonStrings(s.crls));
    for (const auto& g : s.signers) {
        JsonObject j;
        if (g.keyId.empty())
            j.Add("serial", g.serial).Add("issuer", g.issuer);
        else
            j.Add("keyId", g.keyId);
        j.Add("digestAlgorithm", g.digest)
            .Add("signatureAlgorithm", g.signature)
            .AddJson("signedAttributes", JsonStrings(g.signedAttributes));
        if (!g.unsignedAttributes.empty()) j.AddJson("unsignedAttributes", JsonStrings(g.unsignedAttributes));
        if (!g.signingTime.empty()) j.Add("signingTime", g.signingTime);
        j.Add("certificateCarried", g.certificate);
        signers.push_back(j.str());
    }
    o.AddJson("signers", JsonArray(signers));
    return o.str();
}

std::string SignedDataText(const CCTFSignData& data) {
    const Shown s = Describe(data);
    std::string t;
    auto line = [&](const std::string& label, const std::string& value) { t += label + value + "\n"; };
    auto join = [](const std::vector<std::string>& v) {
        std::string out;
        for (const auto& x : v) out += (out.empty() ? "" : ", ") + x;
        return out.empty() ? std::string("none") : out;
    };
    line("version:      ", std::to_string(s.version));
    line("content:      ", s.detached ? "detached" : std::to_string(s.contentSize) + " bytes of " + s.contentType);
    line("digests:      ", join(s.digests));
    line("certificates: ", std::to_string(s.certificates.size()));
    for (const auto& [subject, serial] : s.certificates) line("  ", serial + " " + subject);
    line("CRLs:         ", std::to_string(s.crls.size()));
    for (const auto& issuer : s.crls) line("  ", issuer);
    line("signers:      ", std::to_string(s.signers.size()));
    int n = 0;
    for (const auto& g : s.signers) {
        line("  signer " + std::to_string(++n) + ":   ",
             g.keyId.empty() ? "serial " + g.serial + ", issuer " + g.issuer : "key id " + g.keyId);
        line("    digest:       ", g.digest);
        line("    signature:    ", g.signature);
        line("    signed attrs: ", join(g.signedAttributes));
        if (!g.unsignedAttributes.empty()) line("    unsigned:     ", join(g.unsignedAttributes));
        if (!g.signingTime.empty()) line("    signing time: ", g.signingTime);
        line("    certificate:  ", g.certificate ? "carried" : "not carried");
    }
    return t;
}

}  // namespace ctf
