// The transport directory as the tool opens it.
#include "tdir.h"

#include <cstdio>
#include <set>
#include <vector>

#include "cert/certlist.h"
#include "cert/toofile.h"
#include "cert/transdir.h"
#include "lists.h"

namespace ctf {

namespace {

constexpr unsigned long kAlternativeLayout = 0x20000000;

std::string Upper4(const std::string& name) {
    std::string id = name.substr(0, 4);
    for (char& c : id)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return id;
}

// The entries of `folder` matching `mask` (without regard to case).
std::vector<std::string> Matching(const std::string& folder, const std::string& mask, bool folders) {
    std::vector<std::string> out;
    CTOOFindFile ff;
    for (bool ok = ff.Get(folder.c_str(), mask.c_str()); ok; ok = ff.GetLast())
        if (ff.IsFolder() == folders) out.emplace_back(ff.Name());
    return out;
}

// A signed root list is checked again once it is the root storage: its
// signer can only chain to one of the list's own roots, which were no
// anchors while the list was being loaded. 0 for an unsigned list.
int CheckRootList(CCTFTrustRootCertList& loaded, const std::string& file, const std::string& path) {
    if (loaded.GetFileVersion() != CTF_LIST_VERSION_PKCS7 || loaded.GetSignData().m_signerInfos.empty()) return 0;
    CCTFTrustRootCertList again(file.c_str());
    again.SetNewFileName(path.c_str());
    try {
        again.LoadFile();
    } catch (const XTOOStatus& e) {
        return e.Status();
    }
    return again.GetCheckResult();
}

}  // namespace

TransportRoot OpenTransportDir(const Context& ctx, const std::optional<std::string>& node,
                               unsigned long applicationFlag) {
    if (ctx.transportDir.empty()) throw UsageError("no transport directory: give --transport-dir DIR");
    std::string station = ctx.transportDir;
    if (!(applicationFlag & kAlternativeLayout)) {
        const std::vector<std::string> found = Matching(ctx.transportDir, "d_station", true);
        if (found.empty()) throw UsageError(ctx.transportDir + ": no d_station folder in the transport directory");
        station = ctx.transportDir + "/" + found.front();
    }
    std::string id;
    if (node) {
        if (node->size() != 4) throw UsageError("--node: a node identifier has four characters, not '" + *node + "'");
        id = *node;
    } else {
        std::set<std::string> nodes;
        for (const char* mask : {"????_trl.p7s", "????.trl"})
            for (const std::string& name : Matching(station, mask, false))
                if (Upper4(name) != "0000") nodes.insert(Upper4(name));
        if (nodes.size() != 1) {
            std::string list;
            for (const std::string& n : nodes) list += (list.empty() ? "" : ", ") + n;
            throw UsageError(station + (nodes.empty() ? ": no node trust list; give --node ID"
                                                      : ": several node trust lists (" + list + "); give --node ID"));
        }
        id = *nodes.begin();
    }
    std::string file;
    for (const std::string& mask : {id + "_trl.p7s", id + ".trl"}) {
        const std::vector<std::string> found = Matching(station, mask, false);
        if (!found.empty()) {
            file = found.front();
            break;
        }
    }
    if (file.empty()) throw UsageError(station + ": no trust list of node " + id);
    TransportRoot out{id, station + "/" + file};
    CCTFTrustRootCertList list(file.c_str());  // the storage is named by the bare name
    list.SetNewFileName(out.path.c_str());
    try {
        list.LoadFile();
    } catch (const XTOOStatus& e) {
        throw Error(kUsage, out.path + ": the trust list does not load", e.Status(), e.Place());
    }
    CTFSetTransDir(CTOOString(ctx.transportDir.c_str()));
    CTFLoadRootStorage(*list.ReturnStorage(), CTOOString(ctx.transportDir.c_str()), applicationFlag);
    const int check = CheckRootList(list, file, out.path);
    if (check) {
        std::fprintf(stderr, "warning: %s: the trust list's signature does not verify against its own roots: %s\n",
                     out.path.c_str(), ListStatusMeaning(check).c_str());
    }
    return out;
}

}  // namespace ctf
