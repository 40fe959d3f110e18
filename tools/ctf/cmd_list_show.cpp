// `ctf list show`: a list file, its protection and what it holds.
#include <cstdio>
#include <optional>

#include "lists.h"

namespace {

int Show(ctf::Context& ctx, ctf::Args& args) {
    const std::string path = args.Positional("LIST");
    const auto keyPath = args.Option("mac-key");
    args.Done();
    std::optional<ctf::ListMacKey> key;
    if (keyPath) key.emplace(*keyPath);
    const ctf::OpenedList l = ctf::OpenList(path, key ? &*key : nullptr, false);
    const std::string text = ctx.json ? ctf::ListJson(l, path) + "\n" : ctf::ListText(l, path);
    std::fputs(text.c_str(), stdout);
    return ctf::kOk;
}

ctf::Registrar show({"list show",
                     "show a certificate list file: form, header, protection, certificates and CRLs",
                     "LIST [--mac-key FILE]\n\n"
                     "LIST is a list file in either form (told by its content). A MAC-protected\n"
                     "list is checked when --mac-key gives its key (32 bytes, or 64 hex digits);\n"
                     "without it the status says it was not checked. A record list without a\n"
                     "protection block reads as a plain list.",
                     {},
                     Show});

}  // namespace
