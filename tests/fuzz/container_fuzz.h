// Fuzz iterations over the two forms a key container is read from, shared
// by the libFuzzer targets and the corpus replay test of the normal build:
// - the container information record (provider parameter 102): what reads
//   writes back to a record that reads the same, and writes byte for byte
//   the same again; a refused input leaves the object it was read into as
//   it was, with a DER status;
// - the container file: the input is a file without its digest field,
//   which is added (a mutated digest would stop every input at the first
//   check); a file that reads writes back to one that reads the same, and
//   a refused one leaves the container as it was and gives one of the
//   file's own errors.
// Returns false when an invariant does not hold; a crash or sanitizer
// report is a fault too.
#pragma once

#include <openssl/sha.h>

#include <cstddef>
#include <cstdint>

#include "cert/asnkeys.h"
#include "provider/vrk_internal.h"

namespace containerfuzz {

inline bool RunContainerInfo(const std::uint8_t* data, std::size_t size) {
    try {
        // A record read before, which a refused input must leave whole.
        ASNContainerInfo info;
        info.name = "before";
        info.keyInfo.certificate = IdentObj("\x30\x00", 2);
        const ASNContainerInfo before = info;
        int status = 0;
        if (!info.Decode(data, static_cast<DWORD>(size), &status)) {
            const bool derStatus = status == TOOERR_DER_FORMAT || status == TOOERR_DER_DEPTH ||
                                   status == TOOERR_DER_LIMIT || status == TOOERR_BADENCODING;
            return derStatus && info == before;
        }
        const IdentObj once = info.Encode();
        ASNContainerInfo again;
        if (!again.Decode(once, &status) || !(again == info)) return false;
        return again.Encode() == once;
    } catch (...) {
        return false;  // nothing here may throw on any input
    }
}

inline bool RunContainerFile(const std::uint8_t* data, std::size_t size) {
    try {
        IdentObj file(data, static_cast<DWORD>(size));
        BYTE digest[SHA256_DIGEST_LENGTH];
        SHA256(data, size, digest);
        file.AddData(le::Writer().U16(0xFFFF).U32(sizeof digest).Put(digest, sizeof digest).Take());

        vrk::Container c;
        c.name = "before";
        const IdentObj before = vrk::store::Encode(c);
        const DWORD rc = vrk::store::Decode(vrk::gost::View(file), c);
        if (rc) return (rc == NTE_BAD_VER || rc == NTE_KEYSET_ENTRY_BAD) && vrk::store::Encode(c) == before;
        const IdentObj once = vrk::store::Encode(c);
        vrk::Container again;
        if (vrk::store::Decode(vrk::gost::View(once), again)) return false;
        return vrk::store::Encode(again) == once;
    } catch (...) {
        return false;
    }
}

}  // namespace containerfuzz
