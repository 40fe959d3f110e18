// The transport directory as the tool opens it, for the commands that work
// on its trust storages (`ctf tdir`, `ctf verify-cert`).
#pragma once

#include <optional>
#include <string>

#include "cli.h"

namespace ctf {

struct TransportRoot {
    std::string node;  // the own node's identifier ("0001")
    std::string path;  // the list file that became the root storage
};

// Makes --transport-dir the library's transport directory with
// `applicationFlag`, and the node's trust list ("d_station/<ID>_trl.p7s",
// else "<ID>.trl"; names matched without regard to case) its root storage.
// Without `node`, the only node list besides the common one ("0000").
// Refused (exit 2): no --transport-dir, no such list, no node list or
// several, a list that does not load.
TransportRoot OpenTransportDir(const Context& ctx, const std::optional<std::string>& node,
                               unsigned long applicationFlag);

}  // namespace ctf
