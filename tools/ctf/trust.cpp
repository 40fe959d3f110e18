#include "trust.h"

#include <cctype>

#include "cert/transdir.h"
#include "lists.h"
#include "tdir.h"

namespace ctf {

namespace {

// The application flag a transport directory starts with: the system
// stores are searched and new CRLs reach them.
constexpr DWORD kDefaultAppFlag = CTF_APP_SYSTEM_STORES;

// Outside a transport directory the collection still looks for node lists
// under its transport directory when a certificate names its node. A path
// under a file can hold no folder, so nothing of the working folder is read.
constexpr const char* kNoTransportDir = "/dev/null";

// "YYYYMMDDHHMMSSZ", universal time.
CTOOFileTime TimeArgument(const std::string& text) {
    auto bad = [&] { return UsageError("--at " + text + ": expected a UTC time as YYYYMMDDHHMMSSZ"); };
    if (text.size() != 15 || text[14] != 'Z') throw bad();
    for (std::size_t i = 0; i < 14; ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) throw bad();
    auto field = [&](std::size_t at, std::size_t n) { return static_cast<WORD>(std::stoi(text.substr(at, n))); };
    SYSTEMTIME st{};
    st.wYear = field(0, 4);
    st.wMonth = field(4, 2);
    st.wDay = field(6, 2);
    st.wHour = field(8, 2);
    st.wMinute = field(10, 2);
    st.wSecond = field(12, 2);
    const CTOOFileTime t(st);
    if (t.IsEmpty()) throw bad();
    return t;
}

CCTFCertStorage MemoryStore(const char* name) {
    CCTFCertStorage s;
    if (!s.OpenStorage(CCTFString(name), CERT_STORE_PROV_MEMORY, 0, 0, nullptr))
        ThrowWinError(GetLastError(), "cannot make a memory store");
    return s;
}

void AddAll(CCTFCertStorage& to, const std::vector<IdentObj>& certs, const std::vector<IdentObj>& crls) {
    for (const IdentObj& c : certs) to.AddEncodetCertificate(c);
    for (const IdentObj& c : crls) to.AddEncodetCRL(c);
}

}  // namespace

const char* const kTrustOptionsHelp =
    "  --trust F       certificates that anchor chains (their self-signed ones are\n"
    "                  roots) and CRLs: the root storage\n"
    "  --untrusted F   certificates that help build chains, and CRLs; a self-signed\n"
    "                  one there is an untrusted root (0x20)\n"
    "  --crl F         CRLs, for both\n"
    "  --at TIME       judge the chains at this UTC time (YYYYMMDDHHMMSSZ)\n"
    "  --app-flag MASK the library's application flag (default 2: the home's\n"
    "                  system stores are searched too)\n"
    "  --node ID       with --transport-dir: the own node, whose list\n"
    "                  d_station/ID_trl.p7s (or ID.trl) is the root storage;\n"
    "                  without it, the only node list there besides 0000\n\n"
    "Without --transport-dir nothing is read but these files and the home's system\n"
    "stores. With it, the other lists of the directory load as chains need them.\n";

TrustOptions ReadTrustOptions(const Context& ctx, Args& args) {
    TrustOptions o;
    o.trust = args.Options("trust");
    o.untrusted = args.Options("untrusted");
    o.crls = args.Options("crl");
    const auto at = args.Option("at"), appFlag = args.Option("app-flag");
    o.node = args.Option("node");
    if (o.node && ctx.transportDir.empty()) throw UsageError("--node needs --transport-dir");
    o.appFlag = appFlag ? NumberArgument("app-flag", *appFlag, 0xFFFFFFFF) : kDefaultAppFlag;
    if (at) o.at = TimeArgument(*at);
    return o;
}

TrustStorages::TrustStorages(const Context& ctx, const TrustOptions& options) : at_(options.at) {
    // Every input is read before the collection changes: a bad file is
    // reported alone, and leaves nothing loaded behind.
    const ListInputs anchors = ReadListInputs(options.trust), others = ReadListInputs(options.untrusted),
                     revocations = ReadListInputs(options.crls);
    given_ = MemoryStore("given");
    AddAll(given_, anchors.certificates, {});
    AddAll(given_, others.certificates, {});

    if (!ctx.transportDir.empty()) {
        const TransportRoot r = OpenTransportDir(ctx, options.node, options.appFlag);
        header_ = "root storage: " + r.path + " (node " + r.node + ")\n";
    } else {
        CTFSetTransDir(CTOOString(kNoTransportDir));
        CTFLoadRootStorage(MemoryStore("trust"), CTOOString(kNoTransportDir), options.appFlag);
    }
    // The options add to the collection's own root storage (a copy shares
    // its store).
    CTFGetStorageCollection().GetRootStorage(root_);
    AddAll(root_, anchors.certificates, anchors.crls);
    AddAll(root_, {}, revocations.crls);
    // Untrusted certificates help build chains but anchor none: a
    // self-signed one there ends its chain as an untrusted root.
    additional_ = MemoryStore("untrusted");
    additional_.SetStatus(CTF_CHECK_UNTRUSTED_ROOT);
    AddAll(additional_, others.certificates, others.crls);
    AddAll(additional_, {}, revocations.crls);
}

TrustStorages::~TrustStorages() { CTFFreeRootStorage(); }

void TrustStorages::AddUntrusted(const std::vector<IdentObj>& certificates, const std::vector<IdentObj>& crls) {
    AddAll(additional_, certificates, crls);
}

TrustStorages::Verdict TrustStorages::Judge(const CCTFCertContext& cert) {
    Verdict v;
    CTFVerifyCertificate(cert, v.chain, nullptr, &additional_);
    v.bits = v.chain.status.dwErrorStatus;
    if (at_) {
        // The verdict is the exported check's; the chain shown is the same
        // chain judged again at that time.
        CERT_TRUST_STATUS status{0, 0};
        CTFVerifyCertificateEx(cert, *at_, status, &additional_);
        CTFCorrectChainStatus(v.chain, *at_, &additional_);
        v.bits = status.dwErrorStatus;
    }
    return v;
}

}  // namespace ctf
