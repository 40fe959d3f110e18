// One fuzz iteration over the verification of a signed file, shared by the
// libFuzzer target and the corpus replay test of the normal build. The input
// is written to a file of its own and verified as a stream. Returns false
// when the verdicts disagree with what the reader saw: a failure that leaves
// results or no status, or a success with a result count other than the
// signer infos read (a crash or sanitizer report is a fault too).
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "cert/signeddata.h"
#include "cert/verify.h"

namespace verifyfuzz {

inline const std::string& ScratchFile() {
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("verify-fuzz-" + std::to_string(::getpid()))).string();
    return path;
}

inline bool RunVerify(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return true;
    const std::string& path = ScratchFile();
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        const bool written = std::fwrite(data, 1, size, f) == size;
        std::fclose(f);
        if (!written) return true;
    } else {
        return true;
    }
    std::list<CCTFWholeSignatureCheck> results;
    int st = -1;
    const bool ok = CTFVerifySignatureOnFile(results, path.c_str(), nullptr, nullptr, &st);
    cert::SignedDataReader reader;
    cert::SignedDataParts parts;
    int rst = 0;
    const bool read = reader.ReadMemory(data, size, parts, &rst);
    std::remove(path.c_str());
    if (!ok) return st != 0 && results.empty();
    return st == 0 && read && results.size() == parts.signerInfos.size();
}

}  // namespace verifyfuzz
