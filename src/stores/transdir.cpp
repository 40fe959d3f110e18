// The library-wide state of the transport directory.
#include <atomic>

#include "cert/transdir.h"
#include "stores/collection_internal.h"

namespace {
std::atomic<unsigned long> g_applicationFlag{0};
}  // namespace

unsigned long cert::stores::ApplicationFlag() { return g_applicationFlag.load(); }

void CTFSetAplicationFlag(unsigned long flag) { g_applicationFlag.store(flag); }
unsigned long CTFGetAplicationFlag() { return g_applicationFlag.load(); }

void CTFSetTransDir(const CTOOString& dir) {
    try {
        CCTFCertStorageCollection& c = CTFGetStorageCollection();
        if (c.IsInit() && c.GetTransDir().CompareNoCase(dir.c_str()) == 0) return;
        c.SetTransDir(dir);
        c.SetFlags(8);
        g_applicationFlag.store(2);
    } catch (...) {
        // Out of memory while copying a path: the old directory stays.
    }
}

CTOOString GetCurrentTransDir() {
    try {
        CCTFCertStorageCollection& c = CTFGetStorageCollection();
        if (!c.IsInit()) return CTOOString(".\\");
        return c.GetTransDir();
    } catch (...) {
        return CTOOString();
    }
}

CTOOString GetCurrentTrunsDir() { return GetCurrentTransDir(); }

void CTFLoadRootStorage(const CCTFCertStorage& root, const CTOOString& dir, unsigned long flag) {
    try {
        CTFGetStorageCollection().Init(dir, root);
        g_applicationFlag.store(flag);
    } catch (...) {
    }
}

void CTFLoadUserStorage(const CCTFCertStorage& storage) {
    try {
        CTFGetStorageCollection().AddUsersSertificate(storage);
    } catch (...) {
    }
}

void CTFFreeRootStorage() { CTFGetStorageCollection().Reset(); }

bool CTFIsTrustStorageInit() { return CTFGetStorageCollection().IsInit(); }
