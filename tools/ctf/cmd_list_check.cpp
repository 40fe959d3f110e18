// `ctf list check`: the MAC or signature of a trust list.
#include <cstdio>
#include <optional>

#include "cert/transdir.h"
#include "lists.h"
#include "tdir.h"
#include "text.h"

namespace {

// No folder: the storage list then holds the root storage alone.
constexpr const char* kNoTransportDir = "/dev/null";

struct FreeCollection {
    ~FreeCollection() { CTFFreeRootStorage(); }
};

int Check(ctf::Context& ctx, ctf::Args& args) {
    const std::string path = args.Positional("LIST");
    const auto keyPath = args.Option("mac-key");
    const auto node = args.Option("node");
    args.Done();
    std::optional<ctf::ListMacKey> key;
    if (keyPath) key.emplace(*keyPath);
    ctf::OpenedList l = ctf::OpenList(path, key ? &*key : nullptr, true);
    FreeCollection freeAfter;
    if (l.pkcs7 && l.protection == ctf::ListProtection::Signature) {
        // The signer must chain to a trusted root: the transport
        // directory's, or else one of the list's own. The list is loaded
        // again so that its check runs with that root in place.
        if (!ctx.transportDir.empty()) {
            ctf::OpenTransportDir(ctx, node, 0);
        } else {
            CTFSetTransDir(CTOOString(kNoTransportDir));
            CTFLoadRootStorage(*l.list->ReturnStorage(), CTOOString(kNoTransportDir), 0);
        }
        l = ctf::OpenList(path, nullptr, false);
    }
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
                      "LIST [--mac-key FILE] [--node ID]\n\n"
                      "A record list is checked as a MAC list with its own algorithm, whatever\n"
                      "version the file names; its key is required. A PKCS #7 list is checked\n"
                      "against its signer, whose certificate must chain to a trusted root: with\n"
                      "--transport-dir the root storage of the node's trust list (--node as for\n"
                      "`ctf tdir`), otherwise one of the list's own self-signed certificates.\n"
                      "Exit 0 verified, 1 the check failed (changed, unsigned, signer unknown or\n"
                      "invalid), 3 the check could not run.",
                      {},
                      Check});

}  // namespace
