// `ctf key delete`: a container with all its keys, asked for at a terminal.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "cert/ctfuser.h"
#include "cli.h"
#include "keys.h"
#include "text.h"

namespace {

using ctf::Args;
using ctf::JsonObject;

// "y" or "yes" (any case) at the terminal; anything else keeps the keys.
bool Confirmed(const std::string& question) {
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    for (char& c : answer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return answer == "y" || answer == "yes";
}

int Delete(ctf::Context& ctx, Args& args) {
    ctf::KeyOptions k;
    k.container = args.Required("container");
    k.machine = args.Flag("machine");
    const bool yes = args.Flag("yes");
    args.Done();
    if (k.container.empty()) throw ctf::UsageError("--container is empty: name the container");
    const std::string name = "\"" + k.container + "\"" + (k.machine ? " (machine)" : "");
    // Asking needs someone to answer: a script must say --yes.
    if (!yes && !(::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO)))
        throw ctf::UsageError("deleting container " + name + " destroys its keys: give --yes (no terminal to ask)");

    // No other run of the tool puts a key into the container meanwhile.
    ctf::ContainerLock lock(k);
    CCTFContainer c = ctf::DescribeContainer(k);
    const CCTFUserContainerInfo info = c.GetContainerInfo();
    if (!yes) {
        std::string what = std::to_string(info.m_keys.size()) + (info.m_keys.size() == 1 ? " key" : " keys");
        for (const auto& key : info.m_keys)
            if (key.IsCertExist()) {
                what += ", certificates bound to them";
                break;
            }
        if (!Confirmed("Delete container " + name + " and its " + what + "?"))
            throw ctf::Error(ctf::kCheckFailed, "container " + name + " kept");
    }
    // An entry is named by one of its keys; one without keys by none.
    CCTFUserKeyInfo key = info.m_keys.empty() ? CCTFUserKeyInfo() : info.m_keys.front();
    int status = 0;
    CTOOString place;
    if (!c.DeleteEntry(key, &status, &place))
        throw ctf::Error(ctf::ExitForStatus(status), "cannot delete container " + name, status, place.str());
    const std::string line = "container " + name + " deleted";
    std::printf("%s\n", ctx.json ? JsonObject()
                                       .Add("container", k.container)
                                       .Add("machine", k.machine)
                                       .Add("keys", std::uint32_t(info.m_keys.size()))
                                       .Add("deleted", true)
                                       .str()
                                       .c_str()
                                 : line.c_str());
    return ctf::kOk;
}

ctf::Registrar regDelete({"key delete",
                          "delete a container and its keys",
                          "--container NAME [--machine] [--yes]\n\n"
                          "Without --yes the tool asks at the terminal, and refuses when there is none.\n"
                          "The container also leaves the machine-wide container list.",
                          {"machine", "yes"},
                          Delete});

}  // namespace
