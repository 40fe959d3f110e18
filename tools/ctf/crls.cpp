// CRLs for the tool.
#include "crls.h"

#include <algorithm>
#include <cstdio>

#include "cert/oids.h"
#include "cert/signeddata.h"
#include "cert/tootime.h"
#include "cert/vrkscapi.h"
#include "certs.h"
#include "io.h"
#include "text.h"

namespace ctf {

namespace {

// OpenSSL's names of the reason codes; 7 is unused.
const char* const kReasons[] = {"unspecified",   "keyCompromise",        "CACompromise",    "affiliationChanged",
                                "superseded",    "cessationOfOperation", "certificateHold", nullptr,
                                "removeFromCRL", "privilegeWithdrawn",   "AACompromise"};

DWORD Le32(const BYTE* p) { return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24; }

struct Number {
    std::string hex;
    bool ours = false;  // 16 bytes: list identifier, counter, time
    DWORD listId = 0, counter = 0;
    FILETIME time{0, 0};
};

Number NumberOf(const CCTF_CRL_List& crl) {
    Number n;
    const IdentObj number = crl.GetSerial();
    n.hex = Hex(Span(number));
    if (number.size() == 16) {
        n.ours = true;
        n.listId = Le32(number.data());
        n.counter = Le32(number.data() + 4);
        n.time = FILETIME{Le32(number.data() + 8), Le32(number.data() + 12)};
    }
    return n;
}

}  // namespace

CCTF_CRL_List DecodeCrl(const std::string& path, const IdentObj& der) {
    CCTF_CRL_List crl;
    try {
        crl.DecodeObject(der);
    } catch (const XTOOStatus& s) {
        throw Error(kUsage, path + ": not a CRL the model reads", s.Status(), s.Place());
    }
    return crl;
}

CCTF_CRL_List ReadCrl(const std::string& path) { return DecodeCrl(path, ReadEncodedInput(path).bytes); }

bool IsCrlFile(const IdentObj& bytes) {
    CCTFSignData data;
    int error = 0;
    return data.ReadObject(bytes.data(), bytes.size(), &error);
}

std::vector<CCTF_CRL_List> CrlsOfFile(const std::string& path, const IdentObj& bytes) {
    CCTFSignData data;
    int error = 0;
    if (!data.ReadObject(bytes.data(), bytes.size(), &error))
        throw Error(kUsage, path + ": not a CRL file (PKCS #7 signed data)", error, "CCTFSignData::ReadObject");
    std::vector<CCTF_CRL_List> out;
    for (const IdentObj& der : data.m_crls) {
        CCTF_CRL_List crl;
        try {
            crl.DecodeObject(der);
        } catch (const XTOOStatus& s) {
            throw Error(kUsage, path + ": CRL " + std::to_string(out.size() + 1) + " is not a CRL the model reads",
                        s.Status(), s.Place());
        }
        out.push_back(std::move(crl));
    }
    return out;
}

std::vector<CCTF_CRL_List> ReadCrlFile(const std::string& path) {
    InputRules rules;
    rules.ber = true;
    return CrlsOfFile(path, ReadEncodedInput(path, rules).bytes);
}

Error CrlFileError(const std::string& file, int status, const CTOOString& place) {
    switch (status) {
        case TOOERR_NOFILE:
            return Error(kUsage, file + ": no such CRL file", status, place.str());
        case TOOERR_NOTSUPPORTED:
            return Error(kUsage, file + ": not a regular file", status, place.str());
        case TOOERR_BADARG:
        case TOOERR_BADFORMAT:
        case TOOERR_DER_FORMAT:
        case TOOERR_DER_DEPTH:
        case TOOERR_DER_LIMIT:
        case cert::kStatusBadSignedDataVersion:
            return Error(kUsage, file + ": not a CRL file, or a CRL that does not decode; nothing changed", status,
                         place.str());
        default:
            return Error(ExitForStatus(status), file + ": cannot edit the CRL file; nothing changed", status,
                         place.str());
    }
}

IdentObj CrlKeyId(const CCTF_CRL_Info& info) {
    const CCTFCertExtension* aki = info.m_extensions.Find(cert::oids::kAuthorityKeyIdentifier);
    return aki ? CCTFIssuerPublicKeyID(*aki).GetKeyID() : IdentObj();
}

CCTFCertContext ReadCertificateContext(const std::string& path) {
    const EncodedInput in = ReadEncodedInput(path);
    CCTFCertContext cert(in.bytes);
    if (!cert.IsInitialized()) throw Error(kUsage, path + ": not a certificate", WinErr2ToolsErr(GetLastError()));
    return cert;
}

IdentObj SerialArgument(const std::string& text, const std::string& option) {
    std::vector<std::uint8_t> magnitude;
    if (!ParseSerial(text, magnitude))
        throw UsageError(option + " \"" + text + "\": a serial is hex as OpenSSL prints it (01AB or 01:AB)");
    if (magnitude[0] & 0x80) magnitude.insert(magnitude.begin(), 0);
    std::reverse(magnitude.begin(), magnitude.end());
    return IdentObj(magnitude.data(), DWORD(magnitude.size()));
}

DWORD ReasonArgument(const std::string& text) {
    for (DWORD i = 0; i < std::size(kReasons); ++i)
        if (kReasons[i] && (text == kReasons[i] || text == std::to_string(i))) return i;
    throw UsageError("reason \"" + text + "\": a code 0-10 (not 7) or a name such as keyCompromise");
}

std::string ReasonName(DWORD code) {
    return code < std::size(kReasons) && kReasons[code] ? kReasons[code] : std::to_string(code);
}

std::string CrlJson(const CCTF_CRL_List& crl, bool entries, const std::string* verified) {
    const CCTF_CRL_Info& info = crl.m_info;
    const Number n = NumberOf(crl);
    JsonObject number;
    number.Add("hex", n.hex);
    if (n.ours) number.Add("listId", n.listId).Add("counter", n.counter).Add("time", IsoTime(n.time));
    JsonObject o;
    o.Add("version", std::uint32_t(info.m_version + 1))
        .Add("signatureAlgorithm", crl.m_signatureAlgorithm.GetOID().str())
        .Add("issuer", NameOrHex(info.m_issuer))
        .Add("thisUpdate", IsoTime(info.m_thisUpdate));
    if (!CTOOFileTime(info.m_nextUpdate).IsEmpty()) o.Add("nextUpdate", IsoTime(info.m_nextUpdate));
    o.AddJson("number", number.str())
        .Add("keyId", Hex(Span(CrlKeyId(info))))
        .Add("count", std::uint64_t(info.m_entries.size()));
    if (entries) {
        std::vector<std::string> list;
        list.reserve(info.m_entries.size());
        for (const auto& e : info.m_entries)
            list.push_back(JsonObject()
                               .Add("serial", ModelSerial(e.m_serialNumber))
                               .Add("date", IsoTime(e.m_revocationDate))
                               .Add("reason", ReasonName(e.GetReasonCode()))
                               .str());
        o.AddJson("entries", JsonArray(list));
    }
    if (verified) o.Add("signature", *verified);
    return o.str();
}

std::string CrlText(const CCTF_CRL_List& crl, bool entries, const std::string* verified) {
    const CCTF_CRL_Info& info = crl.m_info;
    const Number n = NumberOf(crl);
    std::string s;
    auto line = [&](const char* label, const std::string& value) { s += std::string(label) + value + "\n"; };
    line("version:      ", std::to_string(info.m_version + 1));
    line("signature:    ", crl.m_signatureAlgorithm.GetOID().str());
    line("issuer:       ", NameOrHex(info.m_issuer));
    line("this update:  ", IsoTime(info.m_thisUpdate));
    if (!CTOOFileTime(info.m_nextUpdate).IsEmpty()) line("next update:  ", IsoTime(info.m_nextUpdate));
    if (n.ours)
        line("number:       ",
             "list " + std::to_string(n.listId) + ", counter " + std::to_string(n.counter) + ", " + IsoTime(n.time));
    else if (!n.hex.empty())
        line("number:       ", n.hex);
    line("key id:       ", Hex(Span(CrlKeyId(info))));
    line("entries:      ", std::to_string(info.m_entries.size()));
    if (entries)
        for (const auto& e : info.m_entries)
            line("  ", ModelSerial(e.m_serialNumber) + " " + IsoTime(e.m_revocationDate) + " " +
                           ReasonName(e.GetReasonCode()));
    if (verified) line("signature:    ", *verified);
    return s;
}

IdentObj SignCrl(CCTF_CRL_List& crl, const KeyOptions& k, const CCTFCertContext& ca) {
    const auto password = TakePassword(k.passwordFrom, "Password of the key in " + k.container, false);
    VRKSCApi::CryptProvider p = OpenContainer(k, VRK_PROV_TYPE_GOST);
    SetPassword(p, k, password);
    VRKSCApi::CryptKey key;
    if (!VRKGetUserKey(p, AT_SIGNATURE, &key))
        ThrowKeyError(GetLastError(), k, password.has_value(), "no signature key");
    int error = 0;
    CTOOString place;
    if (!crl.SignList(p, key, ca, 0xFFFF, &error, &place)) {
        const DWORD code = ToolsErr2WinErr(error);
        if (code == NTE_BAD_KEYSET_PARAM || code == ERROR_CANCELLED || code == NTE_NO_KEY)
            ThrowKeyError(code, k, password.has_value(), "cannot sign the CRL");
        throw Error(
            error == TOOERR_UNKNOWN_ALG ? kUsage : ExitForStatus(error),
            error == TOOERR_UNKNOWN_ALG ? "the CA certificate's key does not sign CRLs here" : "cannot sign the CRL",
            error, place.str());
    }
    if (!crl.CheckSign(ca, &error, &place))
        throw Error(kUsage, "the key in container \"" + k.container + "\" is not the key of the CA certificate", error,
                    place.str());
    return crl.GetEncodetObject();
}

void AddRevocations(CCTF_CRL_Info& crl, const Revocations& r) {
    // A reason follows the last colon when it is a name, or when that colon
    // is the only one (a serial with colons is "01:AB:..." itself).
    auto split = [](const std::string& v, std::string& reason) {
        const std::size_t colon = v.rfind(':');
        if (colon == std::string::npos) return v;
        const std::string tail = v.substr(colon + 1);
        const bool name =
            std::any_of(std::begin(kReasons), std::end(kReasons), [&](const char* r) { return r && tail == r; });
        if (!name && v.find(':') != colon) return v;
        reason = tail;
        return v.substr(0, colon);
    };
    const FILETIME now = CTOOFileTime::now().GetFileTime();
    for (const auto& v : r.serials) {
        std::string reason;
        const std::string serial = split(v, reason);
        crl.AddEntry(SerialArgument(serial, "--revoke"), reason.empty() ? 0 : ReasonArgument(reason), &now);
    }
    for (const auto& v : r.certificates) {
        std::string reason;
        std::string path = v;
        const std::size_t colon = v.rfind(':');
        if (colon != std::string::npos && colon + 1 < v.size() && v.find('/', colon) == std::string::npos) {
            reason = v.substr(colon + 1);
            path = v.substr(0, colon);
        }
        const CCTFCertContext cert = ReadCertificateContext(path);
        IdentObj serial;
        cert.GetSubjectSerialNumber(serial);
        crl.AddEntry(serial, reason.empty() ? 0 : ReasonArgument(reason), &now);
    }
}

// What `crl new` and `crl revoke` print of a CRL written.
void ReportCrl(const Context& ctx, const std::string& out, const CCTF_CRL_List& crl, std::size_t bytes) {
    if (out == "-") return;
    const IdentObj number = crl.GetSerial();
    if (ctx.json)
        std::printf("%s\n", JsonObject()
                                .Add("out", out)
                                .Add("bytes", std::uint64_t(bytes))
                                .Add("listId", crl.m_listId)
                                .Add("counter", crl.m_counter)
                                .Add("count", std::uint64_t(crl.m_info.m_entries.size()))
                                .str()
                                .c_str());
    else
        std::printf("%s: CRL list %u, counter %u, %zu entries\n", out.c_str(), unsigned(crl.m_listId),
                    unsigned(crl.m_counter), crl.m_info.m_entries.size());
}

}  // namespace ctf
