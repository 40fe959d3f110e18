#include "lists.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "cert/asn.h"
#include "cert/capi.h"
#include "cert/convert.h"
#include "cert/lecursor.h"
#include "cert/oid.h"
#include "cert/platform.h"
#include "cert/vrkscapi.h"
#include "certs.h"
#include "io.h"
#include "text.h"

namespace ctf {

namespace {

constexpr std::size_t kMaxListFile = std::size_t(1) << 30;

std::string ReadWhole(const std::string& path) {
    const IdentObj b = ReadInputFile(path, kMaxListFile);
    if (b.IsEmpty()) throw UsageError(path + ": is empty", TOOERR_NOFILE);
    return std::string(b.view());
}

[[noreturn]] void NotLoaded(const std::string& path, int status) {
    throw UsageError(path + ": does not load as a list file (status " + std::to_string(status) + ")", status);
}

// The elements of one DER input: a ContentInfo gives its certificates and
// CRLs, anything else must be a certificate or a CRL.
void AddElement(const IdentObj& e, const std::string& what, ListInputs& out) {
    CCTFSignData sd;
    int err = 0;
    if (sd.ReadObject(e.data(), e.size(), &err)) {
        out.certificates.insert(out.certificates.end(), sd.m_certificates.begin(), sd.m_certificates.end());
        out.crls.insert(out.crls.end(), sd.m_crls.begin(), sd.m_crls.end());
        return;
    }
    if (CCTFCertContext(e).IsInitialized()) {
        out.certificates.push_back(e);
        return;
    }
    CCTFCRLContext crl;
    if (crl.CreateCRLContext(e)) {
        out.crls.push_back(e);
        return;
    }
    throw UsageError(what + ": neither a certificate, a CRL nor a PKCS #7 bundle", TOOERR_BADFORMAT);
}

std::string HexOf(const IdentObj& b) { return Hex(std::span<const std::uint8_t>(b.data(), b.size())); }

}  // namespace

ListInputs ReadListInputs(const std::vector<std::string>& paths) {
    ListInputs out;
    for (const auto& path : paths) {
        const std::string bytes = ReadWhole(path);
        const bool pem = bytes.rfind("-----BEGIN", 0) == 0;
        if (!pem && (std::uint8_t(bytes[0]) & 0x1F) != 0x10) {
            // A record-form list.
            CCTFCertList l;
            int err = 0;
            if (!l.ReadObject(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &err))
                NotLoaded(path, err);
            PCCERT_CONTEXT c = nullptr;
            while ((c = CertEnumCertificatesInStore(l.ReturnStorage()->GetHandle(), c)) != nullptr)
                out.certificates.emplace_back(c->pbCertEncoded, c->cbCertEncoded);
            continue;
        }
        // Certificates, CRLs and bundles, one DER element after another, or
        // the same in PEM blocks.
        IdentObj der;
        if (!pem)
            der = IdentObj(bytes);
        else if (!CTFB64BlobToBinary(IdentObj(bytes), der) || der.IsEmpty())
            throw UsageError(path + ": is not valid PEM", TOOERR_BADFORMAT);
        try {
            asn::Reader r(asn::View(der));
            for (std::size_t i = 1; !r.AtEnd(); ++i) {
                const asn::Element e = r.Next();
                AddElement(IdentObj(e.encoded.data(), static_cast<DWORD>(e.encoded.size())),
                           path + ": object " + std::to_string(i), out);
            }
        } catch (const asn::Error& e) {
            throw UsageError(path + ": malformed DER at offset " + std::to_string(e.Offset()) + ": " + e.Reason(),
                             TOOERR_DER_FORMAT);
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
ListMacKey::ListMacKey(const std::string& path) {
    // The key stays in wiped memory from the file to the provider.
    const cert::Secret bytes = ReadSecretFile(path, 4096);
    cert::Secret key;
    if (bytes.size() == 32) {
        key.Assign(bytes.data(), 32);
    } else {
        cert::Secret raw(32);
        std::size_t digits = 0;
        bool ok = true;
        for (std::size_t i = 0; i < bytes.size() && ok; ++i) {
            const int c = bytes.data()[i];
            if (std::isspace(c)) continue;
            const int v = std::isdigit(c) ? c - '0' : std::isxdigit(c) ? (std::tolower(c) - 'a' + 10) : -1;
            if (v < 0 || digits >= 64) {
                ok = false;
                break;
            }
            raw.data()[digits / 2] = static_cast<std::uint8_t>(raw.data()[digits / 2] << 4 | v);
            ++digits;
        }
        if (!ok || digits != 64) throw UsageError(path + ": a MAC key file holds 32 bytes or 64 hex digits");
        key = std::move(raw);
    }
    le::Writer w;
    w.U8(PLAINTEXTKEYBLOB).U8(CUR_BLOB_VERSION).U16(0).U32(CALG_GOST_28147).U32(32).Put(key.data(), key.size());
    const cert::Secret blob = w.TakeSecret();
    if (!VRKAcquireContext(&prov_, nullptr, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT) ||
        !VRKImportKey(prov_, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &key_))
        ThrowWinError(GetLastError(), path + ": the MAC key cannot be taken");
}

ListMacKey::~ListMacKey() {
    if (key_) VRKDestroyKey(key_);
    if (prov_) VRKReleaseContext(prov_);
}

// ---------------------------------------------------------------------------
OpenedList OpenList(const std::string& path, const ListMacKey* key, bool keyRequired) {
    const std::string bytes = ReadWhole(path);
    OpenedList out;
    try {
        if ((std::uint8_t(bytes[0]) & 0x1F) == 0x10) {
            out.pkcs7 = true;
            out.list = std::make_unique<CCTFTrustRootCertList>(path.c_str());
            out.list->LoadFile();
            out.protection =
                out.Trust()->GetSignData().m_signerInfos.empty() ? ListProtection::None : ListProtection::Signature;
            return out;
        }
        CCTFTrustRootCertList probe;
        int err = 0;
        if (!probe.ReadObject(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &err)) {
            // No protection block: a plain list. Any other fault is the file's.
            const std::uint64_t h = bytes.size() >= 12 ? le::Reader(bytes.data() + 8, 4).U32() : 0;
            const std::string header = bytes.substr(0, std::min<std::uint64_t>(bytes.size(), 12 + h));
            if (header.find("CMAC") != std::string::npos || header.find("CSGN") != std::string::npos)
                NotLoaded(path, err);
            out.list = std::make_unique<CCTFCertList>(path.c_str());
            out.list->LoadFile();
            return out;
        }
        auto trust = std::make_unique<CCTFTrustRootCertList>();
        trust->SetNewFileName(path.c_str());
        if (probe.IsMacMode()) {
            out.protection = ListProtection::Mac;
            if (!key && keyRequired) throw UsageError(path + ": a MAC-protected list: give its key with --mac-key");
            if (key) {
                // Checked as a MAC list with its own algorithm, whatever
                // version the file says.
                CTOOString alg = probe.GetProtectAlgorithm();
                IdentObj keyId = probe.GetKeyId(), user = probe.GetUserId();
                trust->SetProtectInfo(alg, keyId, user, key->Key());
                trust->SetFileVersion(CTF_LIST_VERSION_MAC);
            }
        } else {
            out.protection = ListProtection::Signature;
        }
        trust->LoadFile();
        out.list = std::move(trust);
        return out;
    } catch (const XTOOStatus& e) {
        NotLoaded(path, e.Status());
    }
}

std::string MacAlgorithmArgument(const std::string& text) {
    if (text == "a") return CTF_OID_LIST_MAC_A;
    if (text == "z") return CTF_OID_LIST_MAC_Z;
    unsigned alg = 0, extra = 0;
    if (!text.empty() && text.size() < 260 && GetAlgIDFromOID(text.data(), text.size(), alg, extra)) {
        switch (alg) {
            case 0x802A:
            case 0x602D:
            case 0x802B:
            case 0x602E:
            case 0x661E:
                return text;
        }
    }
    throw UsageError("--mac \"" + text + "\": not a MAC algorithm (a, z, or the OID of one)", TOOERR_UNKNOWN_ALG);
}

IdentObj HexArgument(const std::string& option, const std::string& text) {
    std::string digits;
    for (char c : text)
        if (c != ':') digits += c;
    IdentObj out;
    bool ok = !digits.empty() && digits.size() % 2 == 0;
    for (std::size_t i = 0; ok && i < digits.size(); i += 2) {
        ok = std::isxdigit(static_cast<unsigned char>(digits[i])) &&
             std::isxdigit(static_cast<unsigned char>(digits[i + 1]));
        const BYTE b = static_cast<BYTE>(std::stoi(ok ? digits.substr(i, 2) : "0", nullptr, 16));
        out.AddData(&b, 1);
    }
    if (!ok) throw UsageError("--" + option + " \"" + text + "\": hex digits in pairs");
    return out;
}

std::string PurposeText(unsigned long code) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((code >> (8 * i)) & 0xFF);
        if (c < 0x20 || c > 0x7E) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%08lX", code);
            return hex;
        }
        s += c;
    }
    return s;
}

std::string ListStatusMeaning(int code) {
    switch (code) {
        case 0:
            return "verified";
        case TOOERR_BADSIGN:
            return "the MAC does not match: a certificate record changed, or the key is not the list's";
        case TOOERR_BADFORMAT:
            return "not checked: no MAC key given, or no certificates to check";
        case TOOERR_UNKNOWN_ALG:
            return "unknown protection or hash algorithm";
        case CTFERR_LIST_NO_SIGNER:
            return "not signed";
        case CTFERR_LIST_NO_SIGNER_CERT:
            return "the signer's certificate is neither in the trust storages nor in the list";
        case CTFERR_LIST_NOT_VALID:
            return "the signature or the signer's certificate is not valid";
        case CTFERR_LIST_NO_RESULT:
            return "the verification gave no result";
        case CTF_TRUST_E_NOSIGNATURE:
            return "the protection did not verify";
        default:
            return ExplainStatus(code).text;
    }
}

// ---------------------------------------------------------------------------
namespace {

struct Shown {
    std::string form, protection, algorithm, keyId, value;
    int status = 0;
    bool checked = false;
};

Shown Describe(const OpenedList& l) {
    Shown s;
    s.form = l.pkcs7 ? "PKCS #7" : "record";
    CCTFTrustRootCertList* t = l.Trust();
    switch (l.protection) {
        case ListProtection::None:
            s.protection = "none";
            break;
        case ListProtection::Mac:
            s.protection = "MAC";
            break;
        case ListProtection::Signature:
            s.protection = "signature";
            break;
    }
    if (t && !l.pkcs7 && l.protection != ListProtection::None) {
        s.algorithm = t->GetProtectAlgorithm().str();
        s.keyId = HexOf(t->GetKeyId());
        s.value = HexOf(t->GetProtectValue());
    }
    if (t && l.pkcs7) {
        s.status = t->GetCheckResult();
        s.checked = true;
    } else if (l.protection == ListProtection::Mac) {
        s.status = t->GetProtectStatus();
        s.checked = true;
    }
    return s;
}

struct Row {
    std::string subject, serial, issuer;
};

std::vector<Row> CertRows(const CCTFCertList& l) {
    std::vector<Row> rows;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(l.ReturnStorage()->GetHandle(), c)) != nullptr) {
        IdentObj serial(c->pCertInfo->SerialNumber.pbData, c->pCertInfo->SerialNumber.cbData);
        rows.push_back({NameText(c->pCertInfo->Subject), ModelSerial(serial), NameText(c->pCertInfo->Issuer)});
    }
    return rows;
}

std::vector<Row> CrlRows(const CCTFCertList& l) {
    std::vector<Row> rows;
    PCCRL_CONTEXT c = nullptr;
    while ((c = CertEnumCRLsInStore(l.ReturnStorage()->GetHandle(), c)) != nullptr)
        rows.push_back({NameText(c->pCrlInfo->Issuer), IsoTime(c->pCrlInfo->ThisUpdate), ""});
    return rows;
}

}  // namespace

std::string ListJson(const OpenedList& l, const std::string& path) {
    const Shown s = Describe(l);
    JsonObject o;
    o.Add("file", path).Add("form", l.pkcs7 ? "pkcs7" : "record");
    if (!l.pkcs7)
        o.Add("purpose", PurposeText(l.list->GetPurposeCode()))
            .Add("userId", HexOf(l.list->GetUserId()))
            .Add("certificateCount", std::uint64_t(l.list->GetCertificateAmount()));
    JsonObject p;
    p.Add("kind", s.protection);
    if (!s.algorithm.empty() || !s.keyId.empty())
        p.Add("algorithm", s.algorithm).Add("keyId", s.keyId).Add("value", s.value);
    if (l.pkcs7 && l.Trust()) p.Add("signerCount", std::uint64_t(l.Trust()->GetSignData().m_signerInfos.size()));
    if (s.checked)
        p.Add("status", std::uint64_t(static_cast<std::uint32_t>(s.status)))
            .Add("meaning", ListStatusMeaning(s.status));
    o.AddJson("protection", p.str());
    std::vector<std::string> certs, crls;
    for (const auto& r : CertRows(*l.list))
        certs.push_back(JsonObject().Add("subject", r.subject).Add("serial", r.serial).Add("issuer", r.issuer).str());
    for (const auto& r : CrlRows(*l.list))
        crls.push_back(JsonObject().Add("issuer", r.subject).Add("thisUpdate", r.serial).str());
    o.AddJson("certificates", JsonArray(certs)).AddJson("crls", JsonArray(crls));
    return o.str();
}

std::string ListText(const OpenedList& l, const std::string& path) {
    const Shown s = Describe(l);
    std::string out = "file:         " + path + "\nform:         " + s.form + "\n";
    if (!l.pkcs7) {
        out += "purpose:      " + PurposeText(l.list->GetPurposeCode()) + "\n";
        out += "user id:      " + HexOf(l.list->GetUserId()) + "\n";
    }
    out += "protection:   " + s.protection;
    if (!s.algorithm.empty()) out += " " + s.algorithm;
    if (!s.keyId.empty()) out += ", key id " + s.keyId;
    if (!s.value.empty()) out += ", value " + s.value;
    if (l.pkcs7 && l.Trust())
        out += ", " + std::to_string(l.Trust()->GetSignData().m_signerInfos.size()) + " signer(s)";
    out += "\n";
    if (s.checked) out += "status:       " + std::to_string(s.status) + ": " + ListStatusMeaning(s.status) + "\n";
    const auto certs = CertRows(*l.list);
    out += "certificates: " + std::to_string(certs.size()) + "\n";
    for (std::size_t i = 0; i < certs.size(); ++i)
        out += "  " + std::to_string(i + 1) + ". " + certs[i].subject + "  serial " + certs[i].serial + "  issuer " +
               certs[i].issuer + "\n";
    const auto crls = CrlRows(*l.list);
    if (!crls.empty() || l.pkcs7) {
        out += "crls:         " + std::to_string(crls.size()) + "\n";
        for (std::size_t i = 0; i < crls.size(); ++i)
            out += "  " + std::to_string(i + 1) + ". " + crls[i].subject + "  this update " + crls[i].serial + "\n";
    }
    return out;
}

void WriteList(CCTFCertList& list, const std::string& path) {
    CTOOString errorFile;
    if (int st = list.WriteFile(&errorFile))
        throw Error(ExitForStatus(st), (errorFile.IsEmpty() ? path : errorFile.str()) + ": the list was not written",
                    st);
}

std::size_t DropSignatures(OpenedList& l) {
    if (l.protection != ListProtection::Signature) return 0;
    if (l.pkcs7) {
        auto& signers = l.Trust()->GetSignData().m_signerInfos;
        const std::size_t n = signers.size();
        signers.clear();
        return n;
    }
    l.list->SetProtectionFlag(0);
    return 1;
}

}  // namespace ctf
