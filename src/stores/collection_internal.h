// The collection's state, shared by its files.
#pragma once

#include <list>
#include <shared_mutex>

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
};

namespace cert::stores {

// The library-wide application flag (0 at load).
unsigned long ApplicationFlag();

}  // namespace cert::stores
