// `ctf store list|add|remove|find|issuer|export`: certificate stores (a
// system store by name, or a store file) through the library's wrappers.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "cert/asn.h"
#include "cert/certstore.h"
#include "cert/oids.h"
#include "cert/sysapi.h"
#include "certs.h"
#include "cli.h"
#include "io.h"
#include "progress.h"
#include "text.h"

namespace {

using ctf::Args;
using ctf::JsonObject;
using ctf::UsageError;

// A bar for work on more than a few hundred objects.
constexpr std::uint64_t kWorthShowing = 200;

// ---------------------------------------------------------------------------
// Opening.
struct Where {
    std::string store;  // a system store's name, or empty
    bool machine = false;
    std::string file;  // a store file, or empty
    std::string Name() const { return file.empty() ? (machine ? "machine store " : "store ") + store : file; }
};

Where ReadWhere(Args& args, bool required = true) {
    Where w;
    const auto store = args.Option("store");
    const auto file = args.Option("file");
    w.machine = args.Flag("machine");
    if (store && file) throw UsageError("give --store NAME or --file PATH, not both");
    if (!store && !file && required) throw UsageError("give --store NAME [--machine] or --file PATH");
    if (file && w.machine) throw UsageError("--machine goes with --store");
    if (store) {
        if (store->empty()) throw UsageError("--store takes a store name");
        w.store = *store;
    }
    if (file) {
        if (file->empty() || *file == "-") throw UsageError("--file takes a path");
        w.file = *file;
    }
    return w;
}

[[noreturn]] void ThrowOpenFailure(const Where& w, DWORD code) {
    const int status = WinErr2ToolsErr(code);
    // A store file in none of the forms, or a bad store name, is the
    // user's input.
    if (code == CRYPT_E_FILE_ERROR || code == ERROR_INVALID_PARAMETER || code == ERROR_FILE_NOT_FOUND ||
        code == ERROR_FILE_EXISTS || code == ERROR_PATH_NOT_FOUND || code == ERROR_ACCESS_DENIED ||
        ToolsErr2WinErr(status) == 0)
        throw UsageError("cannot open " + w.Name(), status);
    throw ctf::Error(ctf::kFailure, "cannot open " + w.Name(), status);
}

// `write`: the changes are to stay (a file commits at close).
void Open(CCTFCertStorage& s, const Where& w, bool write) {
    int ok = 0;
    if (!w.file.empty()) {
        const DWORD flags = write ? CERT_FILE_STORE_COMMIT_ENABLE_FLAG : CERT_STORE_OPEN_EXISTING_FLAG;
        ok = s.OpenStorage(CCTFString(w.file.c_str()), CERT_STORE_PROV_FILENAME_A, flags, 0, nullptr);
    } else {
        DWORD flags = w.machine ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER;
        if (!write) flags |= CERT_STORE_READONLY_FLAG;
        ok = s.OpenStorage(CCTFString(w.store.c_str()), CERT_STORE_PROV_SYSTEM_A, flags, 0, nullptr);
    }
    if (!ok) {
        const int status = s.GetStatus();
        if (status == CTFERR_STORAGE_OTHER_FLAGS)
            throw ctf::Error(ctf::kFailure, w.Name() + " is open in this process with other flags", status);
        ThrowOpenFailure(w, status ? static_cast<DWORD>(status) : GetLastError());
    }
}

void Close(CCTFCertStorage& s, const Where& w) {
    if (!s.CloseStorage(false))
        throw ctf::Error(ctf::kFailure, "cannot save " + w.Name() + "; it is as it was",
                         WinErr2ToolsErr(GetLastError()));
}

// ---------------------------------------------------------------------------
// Rows.
std::string Sha1Of(PCCERT_CONTEXT c) {
    BYTE hash[20];
    DWORD size = sizeof hash;
    return CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, hash, &size)
               ? ctf::Hex(ctf::ByteSpan(hash, size))
               : std::string();
}

std::string Sha1Of(PCCRL_CONTEXT c) {
    BYTE hash[20];
    DWORD size = sizeof hash;
    return CertGetCRLContextProperty(c, CERT_SHA1_HASH_PROP_ID, hash, &size) ? ctf::Hex(ctf::ByteSpan(hash, size))
                                                                             : std::string();
}

std::string SerialText(const CRYPT_INTEGER_BLOB& leastFirst) {
    std::vector<std::uint8_t> big(leastFirst.pbData, leastFirst.pbData + leastFirst.cbData);
    std::reverse(big.begin(), big.end());
    return ctf::FormatSerial(big);
}

struct Listing {
    std::vector<std::string> certJson, crlJson;
    std::string text;
};

void AddCertificate(Listing& l, const CCTFCertContext& c) {
    const CERT_INFO* i = c.GetContext()->pCertInfo;
    const std::string subject = ctf::NameText(i->Subject), issuer = ctf::NameText(i->Issuer);
    const std::string serial = SerialText(i->SerialNumber), sha1 = Sha1Of(c.GetContext());
    const std::string container = c.GetContainer().c_str();
    l.certJson.push_back(JsonObject()
                             .Add("subject", subject)
                             .Add("issuer", issuer)
                             .Add("serial", serial)
                             .Add("sha1", sha1)
                             .Add("keyContainer", container)
                             .str());
    l.text += "certificate " + serial + "\n  subject: " + subject + "\n  issuer:  " + issuer + "\n  sha1:    " + sha1 +
              (container.empty() ? "" : "\n  key container: " + container) + "\n";
}

void AddCrl(Listing& l, CCTFCRLContext& c) {
    const std::string issuer = ctf::NameText(c.GetContext()->pCrlInfo->Issuer), sha1 = Sha1Of(c.GetContext());
    const IdentObj& number = c.GetSerialNumber();
    const std::string numberText = number.IsEmpty() ? "" : ctf::FormatSerial(ctf::Span(number));
    l.crlJson.push_back(JsonObject().Add("issuer", issuer).Add("number", numberText).Add("sha1", sha1).str());
    l.text += "CRL " + (numberText.empty() ? std::string("(no number)") : numberText) + "\n  issuer:  " + issuer +
              "\n  sha1:    " + sha1 + "\n";
}

std::string ListingJson(const Listing& l) {
    return JsonObject()
        .AddJson("certificates", ctf::JsonArray(l.certJson))
        .AddJson("crls", ctf::JsonArray(l.crlJson))
        .str();
}

Listing ListStore(const CCTFCertStorage& s) {
    Listing l;
    std::list<CCTFCertContext> certs;
    s.FindCertList(certs, CERT_FIND_ANY, nullptr);
    for (const auto& c : certs) AddCertificate(l, c);
    for (auto& crl : s.GetCRLList()) AddCrl(l, crl);
    return l;
}

// The system stores there are: the four that always exist and every folder
// of the user's and the machine's.
std::vector<std::pair<std::string, bool>> SystemStores() {
    std::vector<std::pair<std::string, bool>> out;
    for (bool machine : {false, true}) {
        std::set<std::string> names = {"MY", "ROOT", "CA", "ADDRESSBOOK"};
        const std::filesystem::path folder =
            std::filesystem::path(cert::platform::CertHome()) / (machine ? "common" : "local") / "SystemCertificates";
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
            std::string name = e.path().filename().string();
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char ch) { return std::toupper(ch); });
            if (e.is_directory(ec)) names.insert(name);
        }
        for (const auto& n : names) out.emplace_back(n, machine);
    }
    return out;
}

int List(ctf::Context& ctx, Args& args) {
    const Where w = ReadWhere(args, false);
    args.Done();
    if (!w.store.empty() || !w.file.empty()) {
        CCTFCertStorage s;
        Open(s, w, false);
        const Listing l = ListStore(s);
        std::printf("%s", ctx.json ? (ListingJson(l) + "\n").c_str() : l.text.c_str());
        return ctf::kOk;
    }
    std::vector<std::string> json;
    std::string text;
    for (const auto& [name, machine] : SystemStores()) {
        CCTFCertStorage s;
        Where one{name, machine, {}};
        Open(s, one, false);
        const Listing l = ListStore(s);
        json.push_back(
            JsonObject().Add("store", name).Add("machine", machine).AddJson("content", ListingJson(l)).str());
        text += (machine ? "machine store " : "store ") + name + ": " + std::to_string(l.certJson.size()) +
                " certificates, " + std::to_string(l.crlJson.size()) + " CRLs\n" + l.text;
    }
    std::printf("%s", ctx.json ? (ctf::JsonArray(json) + "\n").c_str() : text.c_str());
    return ctf::kOk;
}

// ---------------------------------------------------------------------------
// What a file holds, by content.
struct Objects {
    std::list<CCTFCertContext> certs;
    std::list<CCTFCRLContext> crls;
};

void TakeStore(const CCTFCertStorage& s, Objects& out) {
    s.FindCertList(out.certs, CERT_FIND_ANY, nullptr);
    for (auto& crl : s.GetCRLList()) out.crls.push_back(crl);
}

// A PKCS #7 signed data's certificates [0] and CRLs [1].
bool TakePkcs7(asn::Bytes der, Objects& out) {
    static const std::uint8_t kSignedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
    asn::Reader top(der);
    asn::Reader ci = top.EnterSequence();
    const asn::Element oid = ci.Expect(asn::kOid);
    if (oid.content.size() != sizeof kSignedData || std::memcmp(oid.content.data(), kSignedData, sizeof kSignedData))
        return false;
    asn::Reader wrapped = ci.Enter(ci.Expect(0, asn::kContext));
    asn::Reader sd = wrapped.EnterSequence();
    sd.Expect(asn::kInteger);
    sd.Expect(asn::kSet);
    sd.Expect(asn::kSequence);
    for (std::uint32_t tag : {0u, 1u}) {
        const auto list = sd.Optional(tag, asn::kContext);
        if (!list) continue;
        asn::Reader items = sd.Enter(*list);
        while (!items.AtEnd()) {
            const asn::Element e = items.Next();
            const IdentObj one(e.encoded.data(), static_cast<DWORD>(e.encoded.size()));
            if (tag == 0) {
                CCTFCertContext c(one);
                if (c.IsInitialized()) out.certs.push_back(c);
            } else {
                CCTFCRLContext c(one);
                if (c.IsInitialized()) out.crls.push_back(c);
            }
        }
    }
    return true;
}

constexpr std::string_view kPemBegin = "-----BEGIN ";

// The DER of every PEM block, one after another. Text outside the blocks is
// skipped, as openssl does: `openssl ca` writes a certificate's text before
// its block, and bundles are often such files put together.
IdentObj PemBodies(std::string_view text, const std::string& path) {
    IdentObj der;
    std::size_t blocks = 0;
    for (std::size_t at = text.find(kPemBegin); at != std::string_view::npos; at = text.find(kPemBegin, at)) {
        const std::size_t labelStart = at + kPemBegin.size();
        const std::size_t labelEnd = text.find("-----", labelStart);
        const std::size_t lineEnd = text.find('\n', labelStart);
        if (labelEnd == std::string_view::npos || lineEnd == std::string_view::npos || labelEnd > lineEnd)
            throw UsageError(path + ": broken PEM armour at offset " + std::to_string(at), TOOERR_BADFORMAT);
        const std::string label(text.substr(labelStart, labelEnd - labelStart));
        const std::string endLine = "-----END " + label + "-----";
        const std::size_t end = text.find(endLine, lineEnd);
        if (end == std::string_view::npos)
            throw UsageError(path + ": PEM block '" + label + "' at offset " + std::to_string(at) + " has no END line",
                             TOOERR_BADFORMAT);
        const std::string_view body = text.substr(lineEnd + 1, end - lineEnd - 1);
        const long long n = TOO::Base64DecodeInto(body, nullptr, 0);
        if (n <= 0)
            throw UsageError(
                path + ": PEM block '" + label + "' at offset " + std::to_string(at) + " is not valid Base64",
                TOOERR_BADFORMAT);
        std::vector<BYTE> one(static_cast<std::size_t>(n));
        TOO::Base64DecodeInto(body, one.data(), one.size());
        der.AddData(one.data(), static_cast<DWORD>(one.size()));
        ++blocks;
        at = end + endLine.size();
    }
    if (!blocks) throw UsageError(path + ": is not valid PEM", TOOERR_BADFORMAT);
    return der;
}

Objects ReadObjects(const std::string& path) {
    Objects out;
    IdentObj bytes = ctf::ReadInputFile(path, ctf::kMaxObjectFile);
    if (bytes.IsEmpty()) throw UsageError(path + ": is empty");
    static const std::uint8_t kStoreStart[8] = {0, 0, 0, 0, 'C', 'E', 'R', 'T'};
    if (bytes.size() >= 8 && std::memcmp(bytes.data(), kStoreStart, 8) == 0) {
        CRYPT_DATA_BLOB blob = bytes.blob();
        CCTFCertStorage s;
        if (!s.OpenStorage(CCTFString(""), CERT_STORE_PROV_SERIALIZED, 0, 0, &blob))
            throw UsageError(path + ": is not a valid serialized store", WinErr2ToolsErr(GetLastError()));
        TakeStore(s, out);
        return out;
    }
    IdentObj der;
    if (bytes.data()[0] != 0x30 && bytes.view().find(kPemBegin) != std::string_view::npos) {
        der = PemBodies(bytes.view(), path);
    } else if (bytes.data()[0] == 0x30) {
        der = std::move(bytes);
    } else {
        throw UsageError(path + ": holds no certificate, CRL, PKCS #7 or serialized store", TOOERR_BADFORMAT);
    }
    try {
        asn::Reader r(asn::Bytes(der.data(), der.size()));
        while (!r.AtEnd()) {
            const asn::Element e = r.Next();
            const IdentObj one(e.encoded.data(), static_cast<DWORD>(e.encoded.size()));
            CCTFCertContext cert(one);
            if (cert.IsInitialized()) {
                out.certs.push_back(cert);
                continue;
            }
            CCTFCRLContext crl(one);
            if (crl.IsInitialized()) {
                out.crls.push_back(crl);
                continue;
            }
            if (!TakePkcs7(e.encoded, out))
                throw UsageError(
                    path + ": an element at offset " + std::to_string(e.offset) + " is no certificate, CRL or PKCS #7",
                    TOOERR_BADFORMAT);
        }
    } catch (const asn::Error& e) {
        throw UsageError(path + ": malformed DER: " + std::string(e.Place()), TOOERR_DER_FORMAT);
    }
    return out;
}

bool Holds(const CCTFCertStorage& s, const CCTFCertContext& c) {
    std::list<CCTFCertContext> found;
    s.FindCertList(found, CERT_FIND_EXISTING, c.GetContext());
    return !found.empty();
}

int Add(ctf::Context& ctx, Args& args) {
    const Where w = ReadWhere(args);
    const std::vector<std::string> files = args.Positionals();
    args.Done();
    if (files.empty()) throw UsageError("give the files to add");
    std::vector<Objects> inputs;
    std::size_t total = 0;
    for (const auto& f : files) {
        inputs.push_back(ReadObjects(f));
        total += inputs.back().certs.size() + inputs.back().crls.size();
    }
    CCTFCertStorage s;
    Open(s, w, true);
    std::size_t certs = 0, crls = 0;
    ctf::Progress progress("adding", total, kWorthShowing);
    for (auto& in : inputs) {
        for (const auto& c : in.certs) {
            const bool had = Holds(s, c);
            if (!s.AddCertificate(c))
                throw ctf::Error(ctf::kFailure, "cannot add a certificate to " + w.Name(),
                                 WinErr2ToolsErr(GetLastError()));
            certs += had ? 0 : 1;
            progress.Step();
        }
        for (const auto& c : in.crls) {
            if (s.AddCRLContext(c, CERT_STORE_ADD_NEWER))
                ++crls;
            else if (GetLastError() != CRYPT_E_EXISTS)
                throw ctf::Error(ctf::kFailure, "cannot add a CRL to " + w.Name(), WinErr2ToolsErr(GetLastError()));
            progress.Step();
        }
    }
    Close(s, w);
    if (ctx.json)
        std::printf(
            "%s\n",
            JsonObject().Add("certificates", std::uint64_t(certs)).Add("crls", std::uint64_t(crls)).str().c_str());
    else
        std::printf("%zu certificates and %zu CRLs added to %s\n", certs, crls, w.Name().c_str());
    return certs + crls ? ctf::kOk : ctf::kCheckFailed;
}

int Remove(ctf::Context& ctx, Args& args) {
    const Where w = ReadWhere(args);
    const std::vector<std::string> files = args.Positionals();
    args.Done();
    if (files.empty()) throw UsageError("give the files whose certificates and CRLs to remove");
    std::vector<Objects> inputs;
    for (const auto& f : files) inputs.push_back(ReadObjects(f));
    CCTFCertStorage s;
    Open(s, w, true);
    std::size_t certs = 0, crls = 0;
    for (auto& in : inputs) {
        for (const auto& c : in.certs) certs += s.DeleteCertificate(c) ? 1 : 0;
        for (const auto& c : in.crls) crls += s.DeleteCRL(c) ? 1 : 0;
    }
    Close(s, w);
    if (ctx.json)
        std::printf(
            "%s\n",
            JsonObject().Add("certificates", std::uint64_t(certs)).Add("crls", std::uint64_t(crls)).str().c_str());
    else
        std::printf("%zu certificates and %zu CRLs removed from %s\n", certs, crls, w.Name().c_str());
    return certs + crls ? ctf::kOk : ctf::kCheckFailed;
}

CCTFX509Name NameOption(const std::string& option, const std::string& text) {
    try {
        return CCTFX509Name(text.c_str(), 0, false);
    } catch (const XTOOStatus& s) {
        throw UsageError("--" + option + " \"" + text + "\" cannot be encoded as a name", s.Status());
    }
}

int Find(ctf::Context& ctx, Args& args) {
    const Where w = ReadWhere(args);
    const auto serial = args.Option("serial");
    const auto issuer = args.Option("issuer");
    const auto keyId = args.Option("key-id");
    const auto subject = args.Option("subject");
    args.Done();
    if (int(bool(serial)) + int(bool(keyId)) + int(bool(subject)) != 1)
        throw UsageError("give one of --serial HEX [--issuer TEXT], --key-id HEX, --subject TEXT");
    if (issuer && !serial) throw UsageError("--issuer goes with --serial");
    CCTFCertInfo t;
    if (serial) {
        std::vector<std::uint8_t> magnitude;
        if (!ctf::ParseSerial(*serial, magnitude)) throw UsageError("--serial \"" + *serial + "\" is no hex serial");
        // Held as the certificate holds it: with the sign byte DER gives a
        // number whose top bit is set, least significant byte first.
        if (magnitude[0] & 0x80) magnitude.insert(magnitude.begin(), 0);
        std::reverse(magnitude.begin(), magnitude.end());
        t.m_serialNumber.Assign(magnitude.data(), static_cast<DWORD>(magnitude.size()));
        if (issuer) t.m_issuer = NameOption("issuer", *issuer);
    } else if (keyId) {
        IdentObj id;
        if (keyId->empty() || !TOOHex2BinStr(*keyId, id) || id.IsEmpty())
            throw UsageError("--key-id \"" + *keyId + "\" is no hex key identifier");
        CCTFCertExtension ext(cert::oids::kSubjectKeyIdentifier, FALSE, IdentObj());
        const CRYPT_DATA_BLOB blob = id.blob();
        if (!ext.EncodeData(&blob, X509_OCTET_STRING)) throw UsageError("--key-id cannot be encoded");
        t.m_extensions.push_back(ext);
    } else {
        t.m_subject = NameOption("subject", *subject);
    }
    CCTFCertStorage s;
    Open(s, w, false);
    std::list<CCTFCertContext> found;
    if (!s.FindCertList(found, CERT_FIND_SUBJECT_CERT, &t))
        throw ctf::Error(ctf::kFailure, "cannot search " + w.Name(), WinErr2ToolsErr(GetLastError()));
    Listing l;
    for (const auto& c : found) AddCertificate(l, c);
    std::printf("%s", ctx.json ? (ListingJson(l) + "\n").c_str() : l.text.c_str());
    return found.empty() ? ctf::kCheckFailed : ctf::kOk;
}

// ---------------------------------------------------------------------------
DWORD ParseChecks(const std::string& text) {
    DWORD checks = 0;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        const std::string word = text.substr(at, comma - at);
        if (word == "signature")
            checks |= CTF_CHECK_SIGNATURE;
        else if (word == "time")
            checks |= CTF_CHECK_TIME;
        else if (word == "revocation")
            checks |= CTF_CHECK_REVOCATION;
        else
            throw UsageError("--checks takes signature, time and revocation separated by commas, not \"" + text + "\"");
        at = comma + 1;
    }
    return checks;
}

std::string FlagWords(DWORD flags) {
    std::string out;
    const std::pair<DWORD, const char*> words[] = {{CTF_CHECK_SIGNATURE, "signature failed"},
                                                   {CTF_CHECK_TIME, "out of its validity"},
                                                   {CTF_CHECK_REVOCATION, "revoked"},
                                                   {CTF_CHECK_UNTRUSTED_ROOT, "untrusted self-signed issuer"},
                                                   {CTF_CHECK_NO_CRL, "no CRL"},
                                                   {CTF_CHECK_NO_ISSUER, "no issuer"}};
    for (const auto& [bit, word] : words)
        if (flags & bit) out += (out.empty() ? "" : ", ") + std::string(word);
    return out.empty() ? "all checks passed" : out;
}

int Issuer(ctf::Context& ctx, Args& args) {
    const Where w = ReadWhere(args);
    const std::string certFile = args.Positional("CERT");
    const auto checksText = args.Option("checks");
    args.Done();
    const DWORD checks =
        checksText ? ParseChecks(*checksText) : CTF_CHECK_SIGNATURE | CTF_CHECK_TIME | CTF_CHECK_REVOCATION;
    const std::vector<IdentObj> ders = ctf::ReadCertificates(certFile);
    if (ders.size() != 1)
        throw UsageError(certFile + ": holds " + std::to_string(ders.size()) + " certificates; give one");
    CCTFCertContext subject(ders[0]);
    if (!subject.IsInitialized())
        throw UsageError(certFile + ": is not a certificate", WinErr2ToolsErr(GetLastError()));
    CCTFCertStorage s;
    Open(s, w, false);
    CCTFCertContext issuer;
    CCTFCRLContext crl;
    unsigned long flags = checks;
    const bool found = s.FindIssuerCertificate(subject, issuer, &flags, &crl) != 0;
    const DWORD failed = flags & (checks | CTF_CHECK_UNTRUSTED_ROOT | CTF_CHECK_NO_ISSUER);
    if (ctx.json) {
        JsonObject o;
        o.Add("found", found).Add("flags", std::uint32_t(flags));
        if (found) {
            Listing l;
            AddCertificate(l, issuer);
            o.AddJson("issuer", l.certJson[0]);
        }
        if (crl.IsInitialized()) {
            Listing l;
            AddCrl(l, crl);
            o.AddJson("crl", l.crlJson[0]);
        }
        std::printf("%s\n", o.str().c_str());
    } else {
        if (found) {
            Listing l;
            AddCertificate(l, issuer);
            std::printf("issuer: %s", l.text.c_str());
        }
        if (crl.IsInitialized()) {
            Listing l;
            AddCrl(l, crl);
            std::printf("CRL: %s", l.text.c_str());
        }
        std::printf("flags 0x%05lX: %s\n", flags, FlagWords(flags).c_str());
    }
    return found && failed == 0 ? ctf::kOk : ctf::kCheckFailed;
}

// ---------------------------------------------------------------------------
// The encoder breaks its lines (the last one too) with CRLF, as mail does;
// PEM files here end their lines with LF alone, as openssl writes them.
std::string PemBlock(const char* label, const BYTE* der, DWORD size) {
    std::string body = TOO_MIMEBase64Encode(der, size, 64);
    std::erase(body, '\r');
    return std::string("-----BEGIN ") + label + "-----\n" + body + "-----END " + label + "-----\n";
}

int Export(ctf::Context& ctx, Args& args) {
    const Where w = ReadWhere(args);
    const std::string out = args.Required("out");
    const std::string format = args.Option("format").value_or("sst");
    args.Done();
    if (format != "sst" && format != "p7b" && format != "pem")
        throw UsageError("--format takes sst, p7b or pem, not \"" + format + "\"");
    CCTFCertStorage s;
    Open(s, w, false);
    std::string bytes;
    std::size_t certs = 0, crls = 0;
    if (format == "pem") {
        std::list<CCTFCertContext> all;
        s.FindCertList(all, CERT_FIND_ANY, nullptr);
        ctf::Progress progress("exporting", all.size(), kWorthShowing);
        for (const auto& c : all) {
            bytes += PemBlock("CERTIFICATE", c.GetContext()->pbCertEncoded, c.GetContext()->cbCertEncoded);
            ++certs;
            progress.Step();
        }
        for (const auto& c : s.GetCRLList()) {
            bytes += PemBlock("X509 CRL", c.GetContext()->pbCrlEncoded, c.GetContext()->cbCrlEncoded);
            ++crls;
        }
    } else {
        const DWORD as = format == "sst" ? CERT_STORE_SAVE_AS_STORE : CERT_STORE_SAVE_AS_PKCS7;
        CRYPT_DATA_BLOB blob{0, nullptr};
        if (!CertSaveStore(s.GetHandle(), CAPI_ENCODING, as, CERT_STORE_SAVE_TO_MEMORY, &blob, 0))
            throw ctf::Error(ctf::kFailure, "cannot save " + w.Name(), WinErr2ToolsErr(GetLastError()));
        bytes.resize(blob.cbData);
        blob.pbData = reinterpret_cast<BYTE*>(bytes.data());
        if (!CertSaveStore(s.GetHandle(), CAPI_ENCODING, as, CERT_STORE_SAVE_TO_MEMORY, &blob, 0))
            throw ctf::Error(ctf::kFailure, "cannot save " + w.Name(), WinErr2ToolsErr(GetLastError()));
        bytes.resize(blob.cbData);
        const Listing l = ListStore(s);
        certs = l.certJson.size();
        crls = l.crlJson.size();
    }
    ctf::WriteOutputFile(out, ctf::Span(bytes));
    if (out == "-") return ctf::kOk;
    if (ctx.json)
        std::printf("%s\n", JsonObject()
                                .Add("out", out)
                                .Add("format", format)
                                .Add("certificates", std::uint64_t(certs))
                                .Add("crls", std::uint64_t(crls))
                                .str()
                                .c_str());
    else
        std::printf("%s: %zu certificates and %zu CRLs as %s\n", out.c_str(), certs, crls, format.c_str());
    return ctf::kOk;
}

constexpr const char* kWhere =
    "--store NAME [--machine] names a system store (MY, ROOT, CA, ADDRESSBOOK or any\n"
    "other; the user's unless --machine); --file PATH a store file (a serialized\n"
    "store, a PKCS #7 bundle or one DER certificate; made when missing).\n";

ctf::Registrar list({"store list",
                     "list the certificates and CRLs of a store, or of every system store",
                     "[--store NAME [--machine] | --file PATH]\n\n" + std::string(kWhere) +
                         "Alone: every system store of the user and the machine. With --json:\n"
                         "{\"certificates\": [{subject, issuer, serial, sha1, keyContainer}],\n"
                         " \"crls\": [{issuer, number, sha1}]}, an array of {store, machine, content}\n"
                         "when alone.",
                     {"machine"},
                     List});

ctf::Registrar add({"store add",
                    "add certificates and CRLs to a store",
                    "(--store NAME [--machine] | --file PATH) FILE...\n\n" + std::string(kWhere) +
                        "Each FILE is taken by content: DER or PEM certificates and CRLs, PKCS #7\n"
                        "bundles, serialized stores. A certificate replaces an equal one; a CRL is\n"
                        "added only when newer than the one of its issuer. Exit 1 when nothing new\n"
                        "was added.",
                    {"machine"},
                    Add});

ctf::Registrar remove({"store remove",
                       "remove certificates and CRLs from a store",
                       "(--store NAME [--machine] | --file PATH) FILE...\n\n" + std::string(kWhere) +
                           "Removes each certificate and CRL the files hold (read as `store add` reads\n"
                           "them). Exit 1 when nothing was removed.",
                       {"machine"},
                       Remove});

ctf::Registrar find({"store find",
                     "find certificates by serial, key identifier or subject",
                     "(--store NAME [--machine] | --file PATH)\n"
                     "     (--serial HEX [--issuer TEXT] | --key-id HEX | --subject TEXT)\n\n" +
                         std::string(kWhere) +
                         "Names compare as the library compares them (attributes, not encodings);\n"
                         "serials as OpenSSL prints them. Prints as `store list`; exit 1 when\n"
                         "nothing is found.",
                     {"machine"},
                     Find});

ctf::Registrar issuer({"store issuer",
                       "find a certificate's issuer in a store and check it",
                       "(--store NAME [--machine] | --file PATH) CERT\n"
                       "     [--checks signature,time,revocation]\n\n" +
                           std::string(kWhere) +
                           "Prints the issuer, the CRL used and the flags left (0x1 signature, 0x2\n"
                           "time, 0x4 revoked, 0x20 untrusted self-signed issuer, 0x10000 no CRL,\n"
                           "0x20000 no issuer); --json {found, flags, issuer, crl}. Exit 0 when no\n"
                           "check asked for failed (no CRL alone passes), else 1.",
                       {"machine"},
                       Issuer});

ctf::Registrar exportStore({"store export",
                            "write a store's certificates and CRLs to a file",
                            "(--store NAME [--machine] | --file PATH) --out F [--format sst|p7b|pem]\n\n" +
                                std::string(kWhere) +
                                "sst: the serialized store (the default); p7b: a PKCS #7 bundle; pem:\n"
                                "CERTIFICATE and X509 CRL blocks. - is standard output.",
                            {"machine"},
                            Export});

}  // namespace
