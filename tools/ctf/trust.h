// The trust a chain is judged against, as `ctf verify-cert` and `ctf verify`
// take it from the command line: files as the root storage (--trust) and
// as helpers (--untrusted), CRLs for both (--crl), or the root storage of a
// transport directory (--transport-dir, --node); the application flag and
// the time to judge at.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cert/chain.h"
#include "cli.h"

namespace ctf {

struct TrustOptions {
    std::vector<std::string> trust, untrusted, crls;
    std::optional<std::string> node;
    unsigned long appFlag = 0;
    std::optional<CTOOFileTime> at;
};

// Takes the options from `args` (before args.Done()). Refused (exit 2): a
// time in another form, --node without --transport-dir.
TrustOptions ReadTrustOptions(const Context& ctx, Args& args);
// The usage text of these options, for a command's help.
extern const char* const kTrustOptionsHelp;

// The library's collection set up for one run: made from the options (every
// file they name read first; a bad one refused naming it) and freed when
// this goes, so that a caller in the same process (the demo) starts clean.
class TrustStorages {
public:
    TrustStorages(const Context& ctx, const TrustOptions& options);
    ~TrustStorages();
    TrustStorages(const TrustStorages&) = delete;
    TrustStorages& operator=(const TrustStorages&) = delete;

    // "root storage: PATH (node ID)\n" for a transport directory, else
    // empty.
    const std::string& Header() const { return header_; }
    // More certificates and CRLs that help build chains but anchor none.
    void AddUntrusted(const std::vector<IdentObj>& certificates, const std::vector<IdentObj>& crls);
    // Every certificate the user gave, trusted or not: where a signer's
    // certificate may be found besides the message.
    const CCTFCertStorage& Given() const { return given_; }

    struct Verdict {
        CCTFCertificateChain chain;
        DWORD bits = 0;  // the exported check's verdict
    };
    // The chain of `cert` now, or at --at.
    Verdict Judge(const CCTFCertContext& cert);
    // The time chains are judged at (empty: now).
    CTOOFileTime At() const { return at_.value_or(CTOOFileTime()); }
    bool HasAt() const { return at_.has_value(); }

private:
    std::optional<CTOOFileTime> at_;
    std::string header_;
    CCTFCertStorage root_, additional_, given_;
};

}  // namespace ctf
