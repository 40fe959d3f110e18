// List files for the tool (`ctf list ...`), over the library's list
// classes: the inputs a list is made of, the MAC key file, a list loaded
// with what its form and protection need, and the forms `ctf list show`
// prints.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cert/certlist.h"
#include "cli.h"

namespace ctf {

// Certificates and CRLs of input files: certificates, CRLs, PKCS #7
// bundles or lists, PEM or DER by content, and record-form lists. Refused
// (exit 2): a file that is none of them.
struct ListInputs {
    std::vector<IdentObj> certificates, crls;
};
ListInputs ReadListInputs(const std::vector<std::string>& paths);

// A GOST 28147-89 MAC key from a file of 32 bytes or 64 hex digits, in a
// verify-only context. Refused (exit 2) otherwise.
class ListMacKey {
public:
    explicit ListMacKey(const std::string& path);
    ~ListMacKey();
    ListMacKey(const ListMacKey&) = delete;
    ListMacKey& operator=(const ListMacKey&) = delete;
    HCRYPTKEY Key() const { return key_; }

private:
    HCRYPTPROV prov_ = 0;
    HCRYPTKEY key_ = 0;
};

enum class ListProtection { None, Mac, Signature };

struct OpenedList {
    std::unique_ptr<CCTFCertList> list;
    bool pkcs7 = false;
    ListProtection protection = ListProtection::None;
    CCTFTrustRootCertList* Trust() const { return dynamic_cast<CCTFTrustRootCertList*>(list.get()); }
};

// Loads LIST. A record list with a MAC is loaded with `key` and checked as
// version 1 with its own algorithm; with `keyRequired` a MAC list without
// key is refused (exit 2). A record list without protection block reads as
// a plain list. A file that does not load: exit 2 with its status.
OpenedList OpenList(const std::string& path, const ListMacKey* key, bool keyRequired);

// A signed list cannot keep a signature over what changed: its signatures
// go (a record list is written plain). How many went, for the caller to
// say so.
std::size_t DropSignatures(OpenedList& l);

// The MAC algorithm of `--mac`: a, z, or an OID of a MAC; exit 2 otherwise.
std::string MacAlgorithmArgument(const std::string& text);

// Bytes typed as hex digits (pairs, optionally split by ':'); exit 2
// otherwise.
IdentObj HexArgument(const std::string& option, const std::string& text);

// A purpose code as four characters when they print, else hex.
std::string PurposeText(unsigned long code);
// What a protect status or check result means, in a line.
std::string ListStatusMeaning(int code);

// `ctf list show`.
std::string ListJson(const OpenedList& l, const std::string& path);
std::string ListText(const OpenedList& l, const std::string& path);

// Writes the list back; a failure is an Error with the library's status.
void WriteList(CCTFCertList& list, const std::string& path);

}  // namespace ctf
