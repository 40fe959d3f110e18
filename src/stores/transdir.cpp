// The library-wide state of the transport directory.
#include <atomic>

#include "cert/transdir.h"
#include "stores/collection_internal.h"

namespace {
std::atomic<unsigned long> g_applicationFlag{0};
constexpr unsigned long kNotComputed = 0xFFFFFFFFul;
std::atomic<unsigned long> g_certNumber{kNotComputed};
std::atomic<CertDll::CertNumberSource> g_certNumberSource{nullptr};
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
        // The number counts the requests of the directory it was taken from.
        g_certNumber.store(kNotComputed);
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

unsigned long CTFGetCurrentCertNumber() {
    const unsigned long n = g_certNumber.load();
    if (n < kNotComputed) return n;
    long long highest = -1;
    if (CertDll::CertNumberSource source = g_certNumberSource.load()) {
        try {
            highest = source();
        } catch (...) {
            // Request stores that cannot be read count as none.
        }
    }
    const unsigned long computed = highest >= 0 ? static_cast<unsigned long>(highest) + 1 : 0;
    unsigned long expected = kNotComputed;
    // Another thread computing at once got the same answer.
    g_certNumber.compare_exchange_strong(expected, computed);
    return g_certNumber.load();
}

void CTFAddCurrentCertNumber() {
    CTFGetCurrentCertNumber();
    ++g_certNumber;
}

void CertDll::SetCertNumberSource(CertNumberSource source) {
    g_certNumberSource.store(source);
    g_certNumber.store(kNotComputed);
}
