// `ctf list check`: the MAC or signature of a trust list.
#include <cstdio>
#include <optional>

#include "lists.h"
#include "text.h"

namespace {

int Check(ctf::Context& ctx, ctf::Args& args) {
    const std::string path = args.Positional("LIST");
    const auto keyPath = args.Option("mac-key");
    args.Done();
    std::optional<ctf::ListMacKey> key;
    if (keyPath) key.emplace(*keyPath);
    const ctf::OpenedList l = ctf::OpenList(path, key ? &*key : nullptr, true);
    int status = 0;
    std::string meaning;
    if (l.protection == ctf::ListProtection::None && !l.pkcs7) {
        status = ctf::kCheckFailed;
        meaning = "not protected";
    } else if (l.protection == ctf::ListProtection::Signature && !l.pkcs7) {
        status = -1;
        meaning = "the signature of a record list is not verified";
    } else {
        status = l.pkcs7 ? l.Trust()->GetCheckResult() : l.Trust()->GetProtectStatus();
        meaning = ctf::ListStatusMeaning(status);
    }
    int exit = ctf::kOk;
    switch (status) {
        case 0:
            break;
        case ctf::kCheckFailed:
        case TOOERR_BADSIGN:
        case CTFERR_LIST_NO_SIGNER:
        case CTFERR_LIST_NO_SIGNER_CERT:
        case CTFERR_LIST_NOT_VALID:
            exit = ctf::kCheckFailed;
            break;
        default:
            exit = ctf::kFailure;  // verification not available, or it could not run
    }
    if (ctx.json) {
        ctf::JsonObject o;
        o.Add("file", path).Add("verified", exit == ctf::kOk).Add("meaning", meaning);
        if (status > 0 || status < -1) o.Add("status", std::uint64_t(static_cast<std::uint32_t>(status)));
        std::printf("%s\n", o.str().c_str());
    } else {
        std::printf("%s: %s\n", path.c_str(), meaning.c_str());
    }
    return exit;
}

ctf::Registrar check({"list check",
                      "check the MAC or signature of a trust list",
                      "LIST [--mac-key FILE]\n\n"
                      "A record list is checked as a MAC list with its own algorithm, whatever\n"
                      "version the file names; its key is required. A PKCS #7 list is checked\n"
                      "against its signer. Exit 0 verified, 1 the check failed (changed, unsigned,\n"
                      "signer unknown or invalid), 3 the check could not run (signature\n"
                      "verification not available).",
                      {},
                      Check});

}  // namespace
