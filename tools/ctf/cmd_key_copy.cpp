// `ctf key copy`: every key of a container, with its certificate, into a
// new container.
#include <cstdio>
#include <string>

#include "cert/ctfuser.h"
#include "cli.h"
#include "keys.h"
#include "text.h"

namespace {

using ctf::Args;
using ctf::KeyOptions;

int Copy(ctf::Context& ctx, Args& args) {
    KeyOptions k = ctf::ReadKeyOptions(args);
    const std::string to = args.Required("to");
    const ctf::PasswordSource next = ctf::ReadPasswordSource(args, "new-password-file", "new-no-password");
    args.Done();
    if (to.empty()) throw ctf::UsageError("--to is empty: name the new container");
    if (to == k.container) throw ctf::UsageError("--to names the container copied: name a new one");
    const bool ownPassword = next.file || next.none;
    ctf::PasswordPrompt prompt(k, ownPassword ? std::optional(next) : std::nullopt);

    std::string made;
    const int rc = CTFCopyKeys(k.container, to, k.machine, &made);
    prompt.Rethrow();
    if (rc) {
        if (ToolsErr2WinErr(rc) == NTE_EXISTS)
            throw ctf::UsageError("container \"" + to + "\" exists already; the copy makes a new one", rc);
        ctf::ThrowKeyStatus(rc, "CTFCopyKeys", k, prompt.GaveOpenPassword(), "cannot copy the keys to \"" + to + "\"");
    }
    const std::string text = k.container + ": keys copied to " + to;
    std::printf("%s\n", ctx.json ? ctf::JsonObject()
                                       .Add("container", k.container)
                                       .Add("machine", k.machine)
                                       .Add("copy", to)
                                       .Add("copyFullName", made)
                                       .Add("newPassword", ownPassword && !next.none)
                                       .str()
                                       .c_str()
                                 : text.c_str());
    return ctf::kOk;
}

ctf::Registrar reg({"key copy",
                    "copy every key of a container, with its certificates, into a new container",
                    "--container SRC --to DST [--machine] [--password-file F | --no-password]\n"
                    "          [--new-password-file F | --new-no-password]\n\n"
                    "DST is made; an existing DST is refused and left as it is. The copy's keys\n"
                    "take the source's password unless a new one is given. A copy that fails\n"
                    "removes what it made.",
                    {"machine", "no-password", "new-no-password"},
                    Copy});

}  // namespace
