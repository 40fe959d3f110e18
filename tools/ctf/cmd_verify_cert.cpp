// `ctf verify-cert`: each certificate's chain through the library's chain
// engine, against trust the user names (files, or the root storage of a
// transport directory), with every element and its bits explained.
#include <cctype>
#include <cstdio>
#include <optional>

#include "cert/chain.h"
#include "cert/transdir.h"
#include "chains.h"
#include "cli.h"
#include "lists.h"
#include "tdir.h"
#include "text.h"

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
    auto bad = [&] { return ctf::UsageError("--at " + text + ": expected a UTC time as YYYYMMDDHHMMSSZ"); };
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
        ctf::ThrowWinError(GetLastError(), "cannot make a memory store");
    return s;
}

void AddAll(CCTFCertStorage& to, const std::vector<IdentObj>& certs, const std::vector<IdentObj>& crls) {
    for (const IdentObj& c : certs) to.AddEncodetCertificate(c);
    for (const IdentObj& c : crls) to.AddEncodetCRL(c);
}

// The collection is library-wide: whatever this run loaded goes with it,
// so that a caller in the same process (the demo) starts clean.
struct FreeCollection {
    ~FreeCollection() { CTFFreeRootStorage(); }
};

int Verify(ctf::Context& ctx, ctf::Args& args) {
    const std::vector<std::string> certFiles = args.Positionals();
    const std::vector<std::string> trust = args.Options("trust"), untrusted = args.Options("untrusted"),
                                   crls = args.Options("crl");
    const auto at = args.Option("at"), appFlag = args.Option("app-flag"), node = args.Option("node");
    args.Done();
    if (certFiles.empty()) throw ctf::UsageError("give at least one CERT");
    if (node && ctx.transportDir.empty()) throw ctf::UsageError("--node needs --transport-dir");
    const DWORD flag = appFlag ? ctf::NumberArgument("app-flag", *appFlag, 0xFFFFFFFF) : kDefaultAppFlag;
    const std::optional<CTOOFileTime> when = at ? std::optional(TimeArgument(*at)) : std::nullopt;

    // Every input is read before anything is verified: a bad file is
    // reported alone, not after half the output.
    std::vector<std::pair<std::string, std::vector<IdentObj>>> subjects;
    for (const std::string& f : certFiles) {
        ctf::ListInputs in = ctf::ReadListInputs({f});
        if (in.certificates.empty()) throw ctf::UsageError(f + ": holds no certificate");
        subjects.emplace_back(f, std::move(in.certificates));
    }
    const ctf::ListInputs anchors = ctf::ReadListInputs(trust), others = ctf::ReadListInputs(untrusted),
                          revocations = ctf::ReadListInputs(crls);

    FreeCollection freeAfter;
    CCTFCertStorage root;
    std::string header;
    if (!ctx.transportDir.empty()) {
        const ctf::TransportRoot r = ctf::OpenTransportDir(ctx, node, flag);
        header = "root storage: " + r.path + " (node " + r.node + ")\n";
    } else {
        CTFSetTransDir(CTOOString(kNoTransportDir));
        CTFLoadRootStorage(MemoryStore("trust"), CTOOString(kNoTransportDir), flag);
    }
    // The options add to the collection's own root storage (a copy shares
    // its store).
    CTFGetStorageCollection().GetRootStorage(root);
    AddAll(root, anchors.certificates, anchors.crls);
    AddAll(root, {}, revocations.crls);
    // Untrusted certificates help build chains but anchor none: a
    // self-signed one there ends its chain as an untrusted root.
    CCTFCertStorage additional = MemoryStore("untrusted");
    additional.SetStatus(CTF_CHECK_UNTRUSTED_ROOT);
    AddAll(additional, others.certificates, others.crls);
    AddAll(additional, {}, revocations.crls);

    if (!ctx.json) std::fputs(header.c_str(), stdout);
    std::vector<std::string> json;
    bool clean = true, first = true;
    for (const auto& [file, certs] : subjects)
        for (std::size_t i = 0; i < certs.size(); ++i) {
            const CCTFCertContext cert(certs[i]);
            CCTFCertificateChain chain;
            CTFVerifyCertificate(cert, chain, nullptr, &additional);
            DWORD bits = chain.status.dwErrorStatus;
            if (when) {
                // The verdict is the exported check's; the chain shown is
                // the same chain judged again at that time.
                CERT_TRUST_STATUS status{0, 0};
                CTFVerifyCertificateEx(cert, *when, status, &additional);
                CTFCorrectChainStatus(chain, *when, &additional);
                bits = status.dwErrorStatus;
            }
            clean &= bits == 0;
            if (ctx.json) {
                json.push_back(ctf::ChainJson(file, chain, bits, when.value_or(CTOOFileTime())));
            } else {
                std::string title = file;
                if (certs.size() > 1) title += ", certificate " + std::to_string(i + 1);
                title += bits ? ": NOT TRUSTED" : ": OK";
                if (when) title += " at " + ctf::IsoTime(*when);
                std::printf("%s%s", first ? "" : "\n",
                            ctf::ChainText(title, chain, bits, when.value_or(CTOOFileTime())).c_str());
                first = false;
            }
        }
    if (ctx.json) std::printf("%s\n", ctf::JsonArray(json).c_str());
    return clean ? ctf::kOk : ctf::kCheckFailed;
}

ctf::Registrar reg({"verify-cert",
                    "build and check the chain of each certificate",
                    "CERT... [--trust F]... [--untrusted F]... [--crl F]... [--at TIME]\n"
                    "        [--app-flag MASK] [--node ID]\n\n"
                    "Each certificate of each CERT file is verified by the library's chain engine.\n"
                    "Files: PEM (several objects), DER or PKCS #7 bundles; options repeat.\n"
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
                    "stores. With it, the other lists of the directory load as chains need them.\n"
                    "Exit 0 when every chain is clean, 1 when one has error bits.",
                    {},
                    Verify,
                    {},
                    {"trust", "untrusted", "crl"}});

}  // namespace
