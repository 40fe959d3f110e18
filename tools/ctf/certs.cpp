#include "certs.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "cert/asn.h"
#include "cert/convert.h"
#include "cert/oid.h"
#include "cert/oids.h"
#include "cert/vrkscapi.h"
#include "cert/x500name.h"
#include "io.h"
#include "keys.h"
#include "text.h"

namespace ctf {

namespace {

[[noreturn]] void ThrowMalformed(const std::string& where, const asn::Error& e) {
    throw UsageError(where + ": malformed DER at offset " + std::to_string(e.Offset()) + ": " + e.Reason(), e.Status());
}

std::string Utf8(const char16_t* wide) {
    std::string out;
    if (wide && !TOOUtf16ToUtf8(wide, out)) out = "?";
    return out;
}

std::string HexOf(const IdentObj& b) { return Hex(Span(b)); }

// ---------------------------------------------------------------------------
// Names: the text form the decoder gives, or the hex and the status it
// refused it with; the display name; the attributes as encoded.

struct NameView {
    std::string text;  // mode 3, or the hex when the decoder refuses the name
    int status = 0;    // why it refused
    std::string display;
    std::string rdnsJson = "[]";
};

NameView ViewName(const CCTFX509Name& name) {
    NameView v;
    try {
        name.GetX500String(v.text, X500NameParser::kModeKeywords);
    } catch (const XTOOStatus& s) {
        v.text = HexOf(name);
        v.status = s.Status() ? s.Status() : TOOERR_BADENCODING;
    }
    try {
        name.GetCertNameString(v.display);
    } catch (const XTOOStatus&) {
        v.display.clear();
    }
    try {
        std::vector<std::string> items;
        asn::Reader r(asn::View(name));
        asn::Reader rdns = r.EnterSequence();
        while (!rdns.AtEnd()) {
            asn::Reader set = rdns.EnterSet();
            while (!set.AtEnd()) {
                asn::Reader attr = set.EnterSequence();
                const std::string oid = attr.ReadOid();
                const asn::Element value = attr.Next();
                items.push_back(JsonObject()
                                    .Add("oid", oid)
                                    .Add("tag", std::uint32_t(value.tag))
                                    .Add("value", Hex(value.content))
                                    .str());
            }
        }
        v.rdnsJson = JsonArray(items);
    } catch (const asn::Error&) {
        // a name that is no Name: its hex and status say so
    }
    return v;
}

std::string NameJson(const CCTFX509Name& name) {
    const NameView v = ViewName(name);
    JsonObject o;
    if (v.status)
        o.Add("hex", v.text).Add("status", std::uint32_t(v.status));
    else
        o.Add("text", v.text);
    return o.Add("display", v.display).AddJson("rdns", v.rdnsJson).str();
}

std::string NameText(const CCTFX509Name& name) {
    const NameView v = ViewName(name);
    return v.status ? v.text + " (no text form: status " + std::to_string(v.status) + ")" : v.text;
}

// ---------------------------------------------------------------------------
// Extensions: what DecodeData gives for the ones the model reads, as JSON
// and as one line of text.

struct Described {
    std::string json = "null";
    std::string text;
};

template <class T>
const T& As(const IdentObj& blob) {
    return *reinterpret_cast<const T*>(blob.data());
}

std::string JoinComma(const std::vector<std::string>& items) {
    std::string s;
    for (const auto& i : items) s += (s.empty() ? "" : ", ") + i;
    return s;
}

Described KeyUsage(const IdentObj& blob) {
    static const char* const kBits[] = {"digitalSignature", "nonRepudiation", "keyEncipherment",
                                        "dataEncipherment", "keyAgreement",   "keyCertSign",
                                        "cRLSign",          "encipherOnly",   "decipherOnly"};
    const auto& bits = As<CRYPT_BIT_BLOB>(blob);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < std::size(kBits); ++i)
        if (i / 8 < bits.cbData && (bits.pbData[i / 8] & (0x80 >> (i % 8)))) names.push_back(kBits[i]);
    const IdentObj bytes(bits.pbData, bits.cbData);
    return {JsonObject().Add("bits", HexOf(bytes)).AddJson("usages", JsonStrings(names)).str(), JoinComma(names)};
}

Described BasicConstraints(const IdentObj& blob) {
    const auto& bc = As<CERT_BASIC_CONSTRAINTS2_INFO>(blob);
    JsonObject o;
    o.Add("ca", bc.fCA != 0);
    std::string text = bc.fCA ? "CA" : "not a CA";
    if (bc.fPathLenConstraint) {
        o.Add("pathLength", std::uint32_t(bc.dwPathLenConstraint));
        text += ", path length " + std::to_string(bc.dwPathLenConstraint);
    }
    return {o.str(), text};
}

Described Purposes(const IdentObj& blob) {
    const auto& usage = As<CERT_ENHKEY_USAGE>(blob);
    std::vector<std::string> oids(usage.rgpszUsageIdentifier, usage.rgpszUsageIdentifier + usage.cUsageIdentifier);
    return {JsonObject().AddJson("purposes", JsonStrings(oids)).str(), JoinComma(oids)};
}

Described AuthorityKeyId(const CCTFCertExtension& ext) {
    const CCTFIssuerPublicKeyID aki(ext);
    JsonObject o;
    std::vector<std::string> text;
    if (!aki.GetKeyID().IsEmpty()) {
        o.Add("keyId", HexOf(aki.GetKeyID()));
        text.push_back("key id " + HexOf(aki.GetKeyID()));
    }
    if (!aki.GetIssuerName().IsEmpty()) {
        o.AddJson("issuer", NameJson(aki.GetIssuerName()));
        text.push_back("issuer " + NameText(aki.GetIssuerName()));
    }
    if (!aki.GetSerialNumber().IsEmpty()) {
        o.Add("serial", ModelSerial(aki.GetSerialNumber()));
        text.push_back("serial " + ModelSerial(aki.GetSerialNumber()));
    }
    return {o.str(), JoinComma(text)};
}

Described DistributionPoints(const IdentObj& blob) {
    const auto& list = As<CRL_DIST_POINTS_INFO>(blob);
    std::vector<std::string> urls;
    for (DWORD i = 0; i < list.cDistPoint; ++i) {
        const CRL_DIST_POINT_NAME& name = list.rgDistPoint[i].DistPointName;
        if (name.dwDistPointNameChoice != CRL_DIST_POINT_FULL_NAME) continue;
        for (DWORD j = 0; j < name.FullName.cAltEntry; ++j)
            if (name.FullName.rgAltEntry[j].dwAltNameChoice == CERT_ALT_NAME_URL)
                urls.push_back(Utf8(name.FullName.rgAltEntry[j].pwszURL));
    }
    return {JsonObject().AddJson("urls", JsonStrings(urls)).str(), JoinComma(urls)};
}

Described AccessDescriptions(const IdentObj& blob) {
    const auto& aia = As<CERT_AUTHORITY_INFO_ACCESS>(blob);
    std::vector<std::string> items, text;
    for (DWORD i = 0; i < aia.cAccDescr; ++i) {
        const CERT_ACCESS_DESCRIPTION& d = aia.rgAccDescr[i];
        const std::string method = d.pszAccessMethod;
        const std::string where = d.AccessLocation.dwAltNameChoice == CERT_ALT_NAME_URL
                                      ? Utf8(d.AccessLocation.pwszURL)
                                      : "(name of kind " + std::to_string(d.AccessLocation.dwAltNameChoice) + ")";
        items.push_back(JsonObject().Add("method", method).Add("location", where).str());
        const std::string label = method == cert::oids::kOcsp        ? "OCSP"
                                  : method == cert::oids::kCaIssuers ? "CA issuers"
                                                                     : method;
        text.push_back(label + " " + where);
    }
    return {JsonObject().AddJson("access", JsonArray(items)).str(), JoinComma(text)};
}

Described Describe(const CCTFCertExtension& ext) {
    IdentObj blob;
    auto decoded = [&](const char* type) { return ext.DecodeData(blob, type); };
    if (ext.IsOID(cert::oids::kSubjectKeyIdentifier) && decoded(cert::oids::kSubjectKeyIdentifier))
        return {JsonObject().Add("keyId", HexOf(blob)).str(), "key id " + HexOf(blob)};
    if (ext.IsOID(cert::oids::kKeyUsage) && decoded(cert::oids::kKeyUsage)) return KeyUsage(blob);
    if (ext.IsOID(cert::oids::kBasicConstraints) && decoded(cert::oids::kBasicConstraints))
        return BasicConstraints(blob);
    if (ext.IsOID(cert::oids::kExtKeyUsage) && decoded(cert::oids::kExtKeyUsage)) return Purposes(blob);
    if (ext.IsOID(cert::oids::kAuthorityKeyIdentifier) || ext.IsOID(cert::oids::kAuthorityKeyIdentifierOld))
        return AuthorityKeyId(ext);
    if (ext.IsOID(cert::oids::kCrlDistributionPoints) && decoded(X509_CRL_DIST_POINTS)) return DistributionPoints(blob);
    if (ext.IsOID(cert::oids::kAuthorityInfoAccess) && decoded(X509_AUTHORITY_INFO_ACCESS))
        return AccessDescriptions(blob);
    return {"null", HexOf(ext.m_value)};
}

// ---------------------------------------------------------------------------
// The public key and the rest of a certificate.

struct KeyView {
    std::string oid, paramSet, digestSet, cipherSet, keyId;
    DWORD bits = 0;
};

KeyView ViewKey(const CCTFCertPublicKeyInfo& key) {
    KeyView v;
    CTOOString oid, sign, hash, cipher;
    key.m_algorithm.GetParams(&oid, &sign, &hash, &cipher);
    v.oid = oid.str();
    v.paramSet = sign.str();
    v.digestSet = hash.str();
    v.cipherSet = cipher.str();
    v.bits = key.GetKeyLength();
    v.keyId = HexOf(key.GetKeyID());
    return v;
}

bool Reencodes(const CCTFX509Certificate& cert, const IdentObj& der) { return cert.GetEncodetCert() == der; }

// The signature key's algorithm, its hash and the signature OID.
struct Signing {
    ALG_ID key, hash;
};
const Signing kSignings[] = {{CALG_GOST_R3410_2001, CALG_GOST_R3411_94},
                             {CALG_GOST_R3410_2012_256, CALG_GOST_R3411_2012_256},
                             {CALG_GOST_R3410_2012_512, CALG_GOST_R3411_2012_512},
                             {CALG_RSA_SIGN, CALG_SHA_256}};

std::vector<CCTFString> Strings(const std::vector<std::string>& texts) {
    std::vector<CCTFString> out;
    for (const auto& t : texts) out.emplace_back(t.c_str());
    return out;
}

std::vector<const CCTFString*> Pointers(const std::vector<CCTFString>& strings) {
    std::vector<const CCTFString*> out;
    for (const auto& s : strings) out.push_back(&s);
    return out;
}

}  // namespace

std::vector<IdentObj> ReadCertificates(const std::string& path) {
    static constexpr std::string_view kPem = "-----BEGIN";
    bool pem = false;
    IdentObj bytes = ReadInputFile(path, kMaxObjectFile, [&](ByteSpan head, std::uint64_t size) {
        if (head.empty()) throw UsageError(path + ": is empty");
        pem = head.size() >= kPem.size() && std::memcmp(head.data(), kPem.data(), kPem.size()) == 0;
        if (pem) return;
        if (head[0] != 0x30)
            throw UsageError(path + ": is neither DER (first byte 0x30) nor PEM (\"-----BEGIN\")", TOOERR_BADFORMAT);
        try {
            const asn::Header h = asn::DecodeHeader(asn::Bytes(head.data(), head.size()));
            if (size != kUnknownSize && h.headerLen + std::uint64_t(h.length) > size)
                throw UsageError(path + ": malformed DER at offset 0: the header declares " +
                                     std::to_string(h.headerLen + h.length) + " bytes, the input holds " +
                                     std::to_string(size),
                                 TOOERR_DER_FORMAT);
        } catch (const asn::Error& e) {
            ThrowMalformed(path, e);
        }
    });
    IdentObj der;
    if (!pem)
        der = std::move(bytes);
    else if (!CTFB64BlobToBinary(bytes, der) || der.IsEmpty())
        throw UsageError(path + ": is not valid PEM", TOOERR_BADFORMAT);
    std::vector<IdentObj> certs;
    try {
        asn::Reader r(asn::View(der));
        while (!r.AtEnd()) {
            const asn::Element e = r.Next();
            certs.emplace_back(e.encoded.data(), static_cast<DWORD>(e.encoded.size()));
        }
    } catch (const asn::Error& e) {
        ThrowMalformed(pem ? path + " (the DER of its PEM)" : path, e);
    }
    return certs;
}

CCTFX509Certificate DecodeCertificate(const IdentObj& der, const std::string& what) {
    CCTFX509Certificate cert;
    CTOOString fault;
    if (!cert.DecodeCert(der, &fault))
        throw UsageError(what + ": not a certificate: " + fault.str(), TOOERR_DER_FORMAT);
    return cert;
}

std::string ModelSerial(const IdentObj& leastSignificantFirst) {
    std::vector<std::uint8_t> bigEndian(leastSignificantFirst.begin(), leastSignificantFirst.end());
    std::reverse(bigEndian.begin(), bigEndian.end());
    return FormatSerial(bigEndian);
}

std::string CertificateJson(const CCTFX509Certificate& cert, const IdentObj& der) {
    const CCTFCertInfo& info = cert.m_info;
    const KeyView key = ViewKey(info.m_publicKey);
    JsonObject pk;
    pk.Add("algorithm", key.oid);
    if (!key.paramSet.empty()) pk.Add("paramSet", key.paramSet);
    if (!key.digestSet.empty()) pk.Add("digestParamSet", key.digestSet);
    if (!key.cipherSet.empty()) pk.Add("cipherParamSet", key.cipherSet);
    pk.Add("bits", key.bits).Add("keyId", key.keyId);
    std::vector<std::string> extensions;
    for (const auto& e : info.m_extensions)
        extensions.push_back(JsonObject()
                                 .Add("oid", e.GetOID())
                                 .Add("critical", e.m_critical != 0)
                                 .Add("value", HexOf(e.m_value))
                                 .AddJson("decoded", Describe(e).json)
                                 .str());
    return JsonObject()
        .Add("version", info.m_version + 1)
        .Add("serial", ModelSerial(info.m_serialNumber))
        .Add("signatureAlgorithm", cert.m_signatureAlgorithm.GetOID().str())
        .AddJson("issuer", NameJson(info.m_issuer))
        .AddJson("subject", NameJson(info.m_subject))
        .Add("notBefore", IsoTime(info.m_notBefore))
        .Add("notAfter", IsoTime(info.m_notAfter))
        .AddJson("publicKey", pk.str())
        .AddJson("extensions", JsonArray(extensions))
        .Add("reencodes", Reencodes(cert, der))
        .str();
}

std::string CertificateText(const CCTFX509Certificate& cert, const IdentObj& der) {
    const CCTFCertInfo& info = cert.m_info;
    const KeyView key = ViewKey(info.m_publicKey);
    std::string params;
    for (const std::string* p : {&key.paramSet, &key.digestSet, &key.cipherSet})
        if (!p->empty()) params += " " + *p;
    std::string s;
    auto line = [&](const char* label, const std::string& value) { s += "  " + std::string(label) + value + "\n"; };
    line("version:      ", std::to_string(info.m_version + 1));
    line("serial:       ", ModelSerial(info.m_serialNumber));
    line("signature:    ", cert.m_signatureAlgorithm.GetOID().str());
    line("issuer:       ", NameText(info.m_issuer));
    line("subject:      ", NameText(info.m_subject));
    line("not before:   ", IsoTime(info.m_notBefore));
    line("not after:    ", IsoTime(info.m_notAfter));
    line("public key:   ",
         key.oid + ", " + std::to_string(key.bits) + " bits" + (params.empty() ? "" : ", parameters" + params));
    line("key id:       ", key.keyId);
    for (const auto& e : info.m_extensions)
        line("extension:    ", e.GetOID() + (e.m_critical ? " critical: " : ": ") + Describe(e).text);
    line("re-encodes:   ", Reencodes(cert, der) ? "yes" : "no");
    return s;
}

namespace {

// Self-signed when `issuer` is null (the key is the signer's own); else
// for `subjectKey`, signed by the issuer's key in `prov`.
CCTFX509Certificate MakeCertificate(HCRYPTPROV prov, const NewCertificate& what,
                                    const CCTFCertPublicKeyInfo* subjectKey, const CCTFX509Certificate* issuer) {
    VRKSCApi::CryptKey key;
    if (!VRKGetUserKey(prov, AT_SIGNATURE, &key)) ThrowWinError(GetLastError(), "the container holds no signature key");
    IdentObj algBytes;
    if (!VRKGetKeyParam(key, KP_ALGID, algBytes) || algBytes.size() < sizeof(ALG_ID))
        ThrowWinError(GetLastError(), "cannot read the signature key's algorithm");
    ALG_ID keyAlg = 0;
    std::memcpy(&keyAlg, algBytes.data(), sizeof keyAlg);
    const auto signing =
        std::find_if(std::begin(kSignings), std::end(kSignings), [&](const Signing& s) { return s.key == keyAlg; });
    if (signing == std::end(kSignings))
        throw UsageError("the container's signature key is " + KeyAlgName(keyAlg) +
                         ": certificates are signed with GOST or RSA keys");
    IdentObj signatureOid;
    if (!GetOIDFromAlgID(signatureOid, signing->hash, keyAlg))
        throw Error(kFailure, "the OID registry has no signature algorithm for " + KeyAlgName(keyAlg));
    const CCTFAlgorithmIdentifier signatureAlgorithm(std::string(signatureOid.view()).c_str());

    CCTFCertPublicKeyInfo signerKey;
    if (!CTFExportPKInfo(prov, key, signerKey)) ThrowWinError(GetLastError(), "cannot export the public key");
    const CCTFCertPublicKeyInfo& publicKey = subjectKey ? *subjectKey : signerKey;
    XTOOStatus status(0);
    CCTFCertInfo info = CCTFCertInfo::CreateCertReq(
        what.subject, signatureAlgorithm, AT_SIGNATURE, what.months, what.extendedUsage, publicKey,
        what.keyIdText.empty() ? nullptr : what.keyIdText.c_str(), IdentObj(), CCTFX509Name(), what.ca, &status);
    if (status.Status()) throw Error(kFailure, "cannot build the certificate", status.Status(), status.Place());
    info.m_issuer = issuer ? issuer->m_info.m_subject : info.m_subject;
    if (!what.notBefore.IsEmpty() && !what.notAfter.IsEmpty()) {
        info.m_notBefore = what.notBefore;
        info.m_notAfter = what.notAfter;
    }
    const auto crl = Strings(what.crlUrls), caIssuers = Strings(what.caIssuerUrls), ocsp = Strings(what.ocspUrls);
    if (!CCTFCertInfo::AddCRLPoints(info, int(crl.size()), Pointers(crl).data()) ||
        !CCTFCertInfo::AddAiaPoints(info, int(caIssuers.size()), Pointers(caIssuers).data(), int(ocsp.size()),
                                    Pointers(ocsp).data()))
        ThrowWinError(GetLastError(), "cannot encode the URLs");
    const IdentObj keyId = signerKey.GetKeyID();
    if (issuer)
        info.m_extensions.push_back(
            CCTFIssuerPublicKeyID(&keyId, &issuer->m_info.m_serialNumber, &issuer->m_info.m_issuer));
    else
        info.m_extensions.push_back(CCTFIssuerPublicKeyID(&keyId, &info.m_serialNumber, &info.m_subject));

    const IdentObj toBeSigned = info.GetEncodetInfo();
    if (toBeSigned.IsEmpty()) ThrowWinError(GetLastError(), "cannot encode the certificate");
    VRKSCApi::CryptHash hash;
    IdentObj signature;
    if (!VRKCreateHash(prov, signing->hash, 0, &hash) || !VRKHashData(hash, toBeSigned) ||
        !VRKSignHash(hash, AT_SIGNATURE, 0, signature))
        ThrowWinError(GetLastError(), "cannot sign the certificate");

    CCTFX509Certificate cert;
    cert.m_info = std::move(info);
    cert.m_signatureAlgorithm = signatureAlgorithm;
    // The provider gives the signature least significant byte first, as the
    // model holds it.
    cert.m_signature = CTOOCryptBitBlob(signature);
    const IdentObj der = cert.GetEncodetCert();
    CCTFX509Certificate made;
    if (der.IsEmpty() || !made.DecodeCert(der)) throw Error(kFailure, "the certificate made does not decode again");
    return made;
}

}  // namespace

CCTFX509Certificate MakeSelfSigned(HCRYPTPROV prov, const NewCertificate& what) {
    return MakeCertificate(prov, what, nullptr, nullptr);
}

CCTFX509Certificate MakeIssued(HCRYPTPROV issuerProv, const CCTFX509Certificate& issuer,
                               const CCTFCertPublicKeyInfo& subjectKey, const NewCertificate& what) {
    return MakeCertificate(issuerProv, what, &subjectKey, &issuer);
}

std::string NameText(const CERT_NAME_BLOB& name) {
    std::string text;
    try {
        CCTFX509Name(name).GetX500String(text, X500NameParser::kModeKeywords);
    } catch (const XTOOStatus&) {
        text = "#" + ctf::Hex(ctf::ByteSpan(name.pbData, name.cbData));
    }
    return text;
}

std::string NameOrHex(const CCTFX509Name& name) {
    std::string text;
    try {
        name.GetX500String(text, X500NameParser::kModeKeywords);
    } catch (const XTOOStatus&) {
        text = "(" + Hex(Span(name)) + ")";
    }
    return text;
}

}  // namespace ctf
