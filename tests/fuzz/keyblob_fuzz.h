// One fuzz iteration over the key blobs and the key container file, shared
// by the libFuzzer target and the corpus replay test. The input drives the
// little-endian cursor as a list of read operations (a read succeeds inside
// the input or fails leaving the cursor where it was); goes to VRKImportKey
// as the blob its first byte names, under a symmetric key both sides know so
// that a well-formed blob gets past its MAC; to
// VRKEncodePublicKeyAndParametrs; and, given the digest field a mutated one
// would lack, is opened as a container file and its information record read.
// False when an invariant breaks (a crash or sanitizer report is a fault
// too). Only the exported interface is used; the caller gives the library a
// home of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <string>

#include "cert/lecursor.h"
#include "cert/oids.h"
#include "cert/platform.h"
#include "cert/vrkscapi.h"

namespace keyblobfuzz {

// The 32 bytes a hash value is set to before the shared key is derived
// from it (the seeds are wrapped under the same key).
constexpr const char* kSharedKeySeed = "key blob fuzz shared key seed 32";

// A verify-only context and the shared symmetric key, made once.
struct Keys {
    HCRYPTPROV prov = 0;
    HCRYPTKEY shared = 0;
};

inline bool SharedKey(HCRYPTPROV prov, HCRYPTKEY* key) {
    HCRYPTHASH h = 0;
    bool ok = VRKCreateHash(prov, CALG_GOST_R3411_2012_256, 0, &h) &&
              VRKSetHashParam(h, HP_HASHVAL, IdentObj(kSharedKeySeed, 32)) &&
              VRKDeriveKey(prov, CALG_GOST_28147, h, CRYPT_EXPORTABLE, key);
    if (h) VRKDestroyHash(h);
    return ok;
}

inline const Keys& Setup() {
    static const Keys keys = [] {
        Keys k;
        VRKAcquireContext(&k.prov, nullptr, nullptr, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT);
        SharedKey(k.prov, &k.shared);
        return k;
    }();
    return keys;
}

// The cursor under a list of operations read from the input itself.
inline bool DriveCursor(const std::uint8_t* data, std::size_t size) {
    le::Reader ops(data, size);
    le::Reader r(data, size);
    try {
        while (!ops.AtEnd()) {
            std::uint8_t op = ops.U8();
            std::uint64_t before = r.offset();
            std::size_t left = r.remaining();
            try {
                switch (op % 8) {
                    case 0:
                        r.U8();
                        break;
                    case 1:
                        r.U16();
                        break;
                    case 2:
                        r.U32();
                        break;
                    case 3:
                        r.U64();
                        break;
                    case 4: {
                        le::Bytes b = r.Take(ops.AtEnd() ? 0 : ops.U8());
                        if (b.data() && (b.data() < data || b.data() + b.size() > data + size)) return false;
                        break;
                    }
                    case 5: {
                        le::Reader sub = r.Counted32();
                        if (sub.offset() != before + 4 || r.offset() != sub.offset() + sub.remaining()) return false;
                        break;
                    }
                    case 6:
                        r.Expect("VRKC", "code");
                        break;
                    default:
                        r.Finish();
                }
            } catch (const le::Error& e) {
                if (r.offset() != before || r.remaining() != left || e.Offset() != before) return false;
            }
            if (r.offset() + r.remaining() != size) return false;
        }
    } catch (const le::Error&) {
        return false;  // the operation list is read with checks of its own
    }
    return true;
}

inline IdentObj Sha256(HCRYPTPROV prov, const IdentObj& data) {
    HCRYPTHASH h = 0;
    IdentObj value;
    if (VRKCreateHash(prov, CALG_SHA_256, 0, &h) && VRKHashData(h, data)) VRKGetHashParam(h, HP_HASHVAL, value);
    if (h) VRKDestroyHash(h);
    return value;
}

inline bool RunOne(const std::uint8_t* data, std::size_t size) {
    if (!DriveCursor(data, size)) return false;
    const Keys& keys = Setup();
    if (!keys.prov || !keys.shared) return false;

    // A public key comes in on its own; the wrapped ones under the shared key.
    HCRYPTKEY imported = 0;
    HCRYPTKEY under = size && data[0] == PUBLICKEYBLOB ? 0 : keys.shared;
    if (VRKImportKey(keys.prov, data, static_cast<DWORD>(size), under, 0, &imported)) {
        // A key that came in goes out again in a blob of its own kind.
        IdentObj blob;
        if (size && data[0] != PRIVATEKEYBLOB &&
            !VRKExportKey(imported, data[0] == SIMPLEBLOB ? keys.shared : 0, data[0], 0, blob))
            return false;
        VRKDestroyKey(imported);
    }
    IdentObj bits, params;
    vrkscapi::vrkcspexfun::VRKEncodePublicKeyAndParametrs(VRK_PROV_TYPE_GOST, cert::oids::kGostR3410_2001,
                                                          IdentObj(data, static_cast<DWORD>(size)), bits, params,
                                                          cert::oids::kSign2001ParamSetA);

    // The container file: the input and its digest field. Only inputs that
    // start as one go to disk (the rest would stop at the magic).
    if (size < 4 || !std::equal(data, data + 4, "VRKC")) return true;
    IdentObj file(data, static_cast<DWORD>(size));
    IdentObj digest = Sha256(keys.prov, file);
    file.AddData(le::Writer().U16(0xFFFF).U32(digest.size()).Put(digest).Take());
    const std::string folder = cert::platform::CertHome() + "/local/Varnok/Containers";
    cert::platform::MakeFolders(folder, 0700);
    if (FILE* f = std::fopen((folder + "/fuzz.key").c_str(), "wb")) {
        std::fwrite(file.data(), 1, file.size(), f);
        std::fclose(f);
    }
    HCRYPTPROV c = 0;
    if (VRKAcquireContext(&c, "fuzz", nullptr, VRK_PROV_TYPE_GOST, CRYPT_SILENT)) {
        IdentObj info;
        VRKGetProvParam(c, VRK_PP_CONTAINER_INFO, info, 0);
        VRKReleaseContext(c);
    }
    return true;
}

}  // namespace keyblobfuzz
