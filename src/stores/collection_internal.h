// The collection's state, shared by its files, and the path rules of the
// transport directory.
#pragma once

#include <condition_variable>
#include <list>
#include <map>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>

#include "cert/chain.h"

struct CCTFCertStorageCollection::Impl {
    // Guards the fields below (not the stores' contents, which the storage
    // lock guards). Never held while a list file is read or checked.
    mutable std::shared_mutex mutex;
    std::list<CCTFCertStorage> storages;
    HCERTSTORE rootHandle = nullptr;
    bool allLoaded = false;
    CTOOString transDir;
    unsigned long flags = 0;

    // Signalled when a list of this collection has been read (the readers
    // themselves are kept across collections, beside the waits).
    std::condition_variable_any loadDone;
    // The storages Load entered (not the root or a user's): the ones a new
    // transport directory makes stale.
    std::set<HCERTSTORE> fromFiles;
    // Counts Init, Reset and the dropping of stale lists, so a load that
    // began before one of them does not enter its result after it.
    unsigned generation = 0;
};

namespace cert::stores {

// The library-wide application flag (0 at load).
unsigned long ApplicationFlag();

// The transport directory as a folder: separators as '/', trailing ones
// removed, "." when empty.
std::string BaseFolder(const CTOOString& transDir);
// The folder of the trust lists: the base folder's "d_station" (spelled as
// on disk), the base folder itself in the alternative layout.
std::string StationFolder(const CTOOString& transDir);
// `folder` + "/" + `name`, the name spelled as an existing entry spells it.
std::string InFolder(const std::string& folder, const std::string& name);
bool IsFile(const std::string& path);
bool IsFolder(const std::string& path);

// The node identifier of a certificate's issuer ("0001"), empty when the
// certificate carries none: the first four bytes of its issuer unique
// identifier, else of its subject unique identifier, else, for a 16-byte
// serial (least significant byte first), the upper half of its first
// 32-bit word in hex.
std::string IssuerNodeId(const CCTFCertContext& subject);

// The collection's storage of that name, loaded first when it is not (or
// when the directory changed): 1, or 0.
int Ensure(CCTFCertStorageCollection& c, const std::string& name, CCTFCertStorage& out);

// ASCII lower case, for names compared without regard to case.
std::string Folded(const std::string& s);

// Called by Load on the reading thread after a list was read and before it
// is entered, with no lock held: lets tests count reads and search the
// collection from where a protection check would. Null: none.
using ListReadObserver = void (*)(const char* name);
void SetListReadObserver(ListReadObserver observer);

}  // namespace cert::stores
