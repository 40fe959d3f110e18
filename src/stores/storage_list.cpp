// The storage list: the storages a set of flag bits selects, from the
// collection, the folders of the transport directory and the system stores.
#include <set>
#include <string>
#include <vector>

#include "cert/certlist.h"
#include "cert/toofile.h"
#include "cert/transdir.h"
#include "stores/collection_internal.h"
#include "stores/list_internal.h"

using namespace cert::stores;

namespace {

constexpr char kCommonList[] = "0000_trl.p7s";
constexpr char kTrustPlace[] = "m_VPN_TrustStorages";

bool SameNode(const std::string& a, const std::string& b) { return Folded(a.substr(0, 4)) == Folded(b.substr(0, 4)); }

// The names of the entries of `folder` matching `mask`, in the enumeration's
// order; folders only or files only.
std::vector<std::string> Entries(const std::string& folder, const char* mask, bool folders) {
    std::vector<std::string> out;
    CTOOFindFile ff;
    for (bool ok = ff.Get(folder.c_str(), mask); ok; ok = ff.GetLast())
        if (ff.IsFolder() == folders) out.emplace_back(ff.Name());
    return out;
}

// A list file (either form) loaded into memory; false when it does not load.
bool LoadList(const std::string& path, CCTFCertStorage& out) {
    try {
        CCTFCertList list(path.c_str());
        list.LoadFile();
        if (!list.ReturnStorage()->IsOpen()) return false;
        out = *list.ReturnStorage();
        return true;
    } catch (const XTOOStatus&) {
        return false;
    }
}

class Builder {
public:
    Builder(unsigned long flags, std::list<CCTFCertStorage>& out) : m_flags(flags), m_out(out) {}

    void Add(CCTFCertStorage s) {
        s.SetType(m_flags);
        m_out.push_back(std::move(s));
    }

    // A read-only file store; skipped when it does not open.
    void File(const std::string& path) {
        if (!IsFile(path)) return;
        CCTFCertStorage s;
        if (s.OpenStorage(CCTFString(path.c_str()), CERT_STORE_PROV_FILENAME, CERT_STORE_READONLY_FLAG, m_flags,
                          nullptr))
            Add(s);
    }

    void Files(const std::string& folder, const char* mask) {
        for (const std::string& name : Entries(folder, mask, false)) File(folder + "/" + name);
    }

    void List(const std::string& path) {
        CCTFCertStorage s;
        if (LoadList(path, s)) Add(s);
    }

private:
    unsigned long m_flags;
    std::list<CCTFCertStorage>& m_out;
};

CCTFCertStorage RootOrThrow(CCTFCertStorageCollection& c) {
    CCTFCertStorage root;
    if (!c.GetRootStorage(root)) throw XTOOStatus(CTFERR_NO_TRUST_STORAGE, kTrustPlace);
    return root;
}

std::string RootName(const CCTFCertStorage& root) { return static_cast<const char*>(root.GetName()); }

// The user's certificates or requests ("cer" / "req") of the default layout:
// the collection's "CurrentUser" storage, then the files of the user's
// folders.
void OwnUsers(Builder& b, CCTFCertStorageCollection& c, const std::string& folder, const char* userId,
              const char* kind) {
    CCTFCertStorage current;
    if (c.FindStorage((std::string("CurrentUser.") + kind).c_str(), current)) b.Add(current);
    const std::string mask = std::string("Abn_") + (userId ? userId : "????");
    const std::string files = std::string("????_ownu.") + kind;
    for (const std::string& user : Entries(folder, mask.c_str(), true)) b.Files(folder + "/" + user, files.c_str());
}

std::vector<IdentObj> CrlsOf(const CCTFCertStorage& s) { return cert::lists::StoreCrls(s); }

// Step 9: the CRLs of the own node (0x4) or of the others (0x8).
void NodeCrls(Builder& b, CCTFCertStorageCollection& c, const std::string& folder, unsigned long flags) {
    if (!IsFolder(folder)) return;
    const std::string own = RootName(RootOrThrow(c));
    const auto wanted = [&](const std::string& name) {
        return SameNode(name, own) ? (flags & CTF_SL_CRL_OWN) != 0 : (flags & CTF_SL_CRL_OTHER) != 0;
    };
    // A node's list often carries the very CRL the common list carries:
    // one copy is enough.
    std::set<std::string> common;
    {
        CCTFCertStorage s;
        if (LoadList(InFolder(folder, kCommonList), s))
            for (const IdentObj& crl : CrlsOf(s)) common.emplace(crl.view());
    }
    for (const std::string& name : Entries(folder, "*.p7s", false)) {
        if (!wanted(name)) continue;
        CCTFCertStorage s;
        if (!LoadList(folder + "/" + name, s)) continue;
        const std::vector<IdentObj> crls = CrlsOf(s);
        if (crls.empty()) continue;
        if (!SameNode(name, own) && Folded(name) != kCommonList) {
            bool repeated = true;
            for (const IdentObj& crl : crls) repeated = repeated && common.count(std::string(crl.view())) != 0;
            if (repeated) continue;
        }
        b.Add(s);
    }
    for (const std::string& name : Entries(folder, "*.crl", false)) {
        if (!wanted(name)) continue;
        // The signed list beside it carries the node's CRL already.
        if (IsFile(InFolder(folder, name.substr(0, 4) + "_trl.p7s"))) continue;
        const std::string path = folder + "/" + name;
        std::string bytes;
        if (cert::lists::ReadListFile(path, bytes) != 0 || bytes.empty()) continue;
        CCTFCertStorage s;
        if (!s.OpenStorage(CCTFString(path.c_str()), CERT_STORE_PROV_MEMORY, CERT_STORE_READONLY_FLAG, flags, nullptr))
            continue;
        if (s.AddEncodetCRL(IdentObj(bytes), CAPI_ENCODING)) {
            b.Add(s);
            continue;
        }
        // A CRL file of several CRLs is signed data.
        CCTFCertStorage list;
        if (LoadList(path, list) && !CrlsOf(list).empty()) b.Add(list);
    }
}

}  // namespace

std::list<CCTFCertStorage> CTFGetStorageList(unsigned long flags, const char* userId) {
    try {
        std::list<CCTFCertStorage> out;
        Builder b(flags, out);
        if (flags & CTF_SL_SYSTEM) {
            const struct {
                unsigned long bit;
                const char* name;
            } kSystem[] = {{CTF_SL_TRUST, "Root"},
                           {CTF_SL_TRUST_OTHER, "CA"},
                           {CTF_SL_OWN_USERS, "MY"},
                           {CTF_SL_EXT_USERS, "AddressBook"}};
            for (const auto& sys : kSystem) {
                if (!(flags & sys.bit)) continue;
                CCTFCertStorage s;
                if (s.OpenStorage(CCTFString(sys.name), CERT_STORE_PROV_SYSTEM, CERT_SYSTEM_STORE_CURRENT_USER, flags,
                                  nullptr))
                    b.Add(s);
            }
            return out;
        }

        CCTFCertStorageCollection& c = CTFGetStorageCollection();
        const bool alternative = (flags & CTF_SL_ALTERNATIVE) != 0;
        const std::string base = BaseFolder(c.GetTransDir());
        std::string sub;
        if (alternative)
            sub = (flags & CTF_SL_IN) ? "in" : (flags & CTF_SL_EXT_BAD) ? "bad" : "";
        else
            sub = (flags & CTF_SL_STAGING) ? "d_station/tmp" : "d_station";
        const std::string folder = InFolder(base, sub);

        if (flags & CTF_SL_TRUST) b.Add(RootOrThrow(c));
        if (flags & CTF_SL_COMMON) {
            CCTFCertStorage common;
            if (Ensure(c, kCommonList, common)) b.Add(common);
        }
        if (flags & CTF_SL_TRUST_OTHER) {
            if (!(flags & (CTF_SL_ALTERNATIVE | CTF_SL_IN))) {
                c.LoadAll();
                CCTFCertStorage root;
                const bool haveRoot = c.GetRootStorage(root) != 0;
                for (const CCTFCertStorage& s : c.GetStorages()) {
                    const std::string name = static_cast<const char*>(s.GetName());
                    if (haveRoot && (s.GetHandle() == root.GetHandle() || SameNode(name, RootName(root)))) continue;
                    if (Folded(name).starts_with("currentuser")) continue;
                    b.Add(s);
                }
            } else {
                const std::string own = RootName(RootOrThrow(c));
                for (const char* mask : {"????.trl", "????_trl.p7s"})
                    for (const std::string& name : Entries(folder, mask, false))
                        if (!SameNode(name, own)) b.List(folder + "/" + name);
            }
        }
        if (flags & CTF_SL_OWN_USERS) {
            if (alternative) {
                for (const std::string& name : Entries(folder, "????_spr.dok", false)) b.List(folder + "/" + name);
                b.Files(InFolder(folder, "o_users"), "????_ownu.cer");
            } else {
                OwnUsers(b, c, folder, userId, "cer");
            }
        }
        if (flags & CTF_SL_OWN_REQUESTS) {
            if (alternative)
                b.Files(InFolder(folder, "o_users"), "????_ownu.req");
            else
                OwnUsers(b, c, folder, userId, "req");
        }
        const std::string external = InFolder(folder, "e_users");
        if (flags & CTF_SL_EXT_CRL) b.Files(alternative && (flags & CTF_SL_IN) ? folder : external, "????_extu.crl");
        if (flags & CTF_SL_EXT_USERS) b.Files(external, "????_extu.cer");
        if (flags & CTF_SL_EXT_REQUESTS) b.Files(external, "????_extu.req");
        if (flags & CTF_SL_EXT_INPUT) b.File(InFolder(folder, "ext_input.cer"));
        if (flags & CTF_SL_OWN_INPUT) b.File(InFolder(folder, "own_input.cer"));
        if (flags & CTF_SL_EXT_BAD) b.Files(external, "????_extu.bad");
        if (flags & (CTF_SL_CRL_OWN | CTF_SL_CRL_OTHER)) NodeCrls(b, c, folder, flags);
        return out;
    } catch (...) {
        TOORethrowAsStatus("CTFGetStorageList");
    }
}
