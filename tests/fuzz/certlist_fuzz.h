// One fuzz iteration over the list file readers, shared by the libFuzzer
// target and the corpus replay test of the normal build. Both classes read
// the input from memory (ReadObject) and from a file (LoadFile, so the form
// is told by content). Returns false when a reader disagrees with itself: a
// failed load left certificates behind or reported success as failure, a
// load changed the file, or a list that loaded does not read back the same
// after it was written (a crash or sanitizer report is a fault too).
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "cert/capi.h"
#include "cert/certlist.h"

namespace listfuzz {

inline std::size_t CountCerts(const CCTFCertList& l) {
    std::size_t n = 0;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(l.ReturnStorage()->GetHandle(), c)) != nullptr) ++n;
    return n;
}

// A folder of this process's own for the files LoadFile reads, removed at
// exit.
inline std::string Scratch(const char* name) {
    struct Folder {
        std::filesystem::path path =
            std::filesystem::temp_directory_path() / ("certlist_fuzz_" + std::to_string(::getpid()));
        Folder() { std::filesystem::create_directories(path); }
        ~Folder() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    };
    static const Folder dir;
    return (dir.path / name).string();
}

inline void Put(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);
}

inline std::string Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Loads `path` with `l`: 0 or the status.
inline int Load(CCTFCertList& l) {
    try {
        l.LoadFile();
        return 0;
    } catch (const XTOOStatus& e) {
        return e.Status() ? e.Status() : -1;
    }
}

inline bool RunCertList(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return true;
    for (int trust = 0; trust < 2; ++trust) {
        CCTFCertList plain;
        CCTFTrustRootCertList root;
        CCTFCertList& l = trust ? static_cast<CCTFCertList&>(root) : plain;
        int err = -1;
        bool ok = l.ReadObject(data, static_cast<unsigned long>(size), &err);
        if (ok != (err == 0)) return false;
        if (!ok && CountCerts(l) != 0) return false;
        if (ok && CountCerts(l) > l.GetCertificateAmount()) return false;
    }

    const std::string path = Scratch("in.lst");
    Put(path, data, size);
    const std::string before = Get(path);
    CCTFCertList plain(path.c_str());
    CCTFTrustRootCertList root(path.c_str());
    const int plainSt = Load(plain);
    const int rootSt = Load(root);
    if (Get(path) != before) return false;
    if (plainSt && CountCerts(plain) != 0) return false;
    if (rootSt && CountCerts(root) != 0) return false;
    if (plainSt) return true;

    // What loaded writes and reads back the same, in either form.
    const std::string out = Scratch("out.lst");
    std::filesystem::remove(out);
    CCTFCertList copy(plain);
    copy.SetNewFileName(out.c_str());
    if (copy.WriteFile(nullptr) != 0) return false;
    CCTFCertList back(out.c_str());
    if (Load(back) != 0) return false;
    return CountCerts(back) == CountCerts(plain);
}

}  // namespace listfuzz
