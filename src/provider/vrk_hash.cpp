// Hash and MAC objects.
#include "provider/vrk_internal.h"

namespace vrk {
namespace {

bool HashAlgOf(ALG_ID id, gost::HashAlg& out) {
    switch (id) {
        case CALG_GOST_R3411_94:
        case CALG_VRK_HASH:
            out = gost::HashAlg::Gost94;
            return true;
        case CALG_GOST_R3411_2012_256:
            out = gost::HashAlg::Streebog256;
            return true;
        case CALG_GOST_R3411_2012_512:
            out = gost::HashAlg::Streebog512;
            return true;
        case CALG_SHA1:
            out = gost::HashAlg::Sha1;
            return true;
        case CALG_SHA_256:
            out = gost::HashAlg::Sha256;
            return true;
        default:
            return false;
    }
}

}  // namespace

const IdentObj& HashValue(HashObj& h) {
    if (!h.done) {
        if (h.hash) {
            gost::Bytes v = h.hash->Final();
            h.value = gost::ToIdent(v);
        } else if (h.mac) {
            gost::Bytes v = h.mac->Final(h.macBytes);
            h.value = gost::ToIdent(v);
        }
        h.done = true;
    }
    return h.value;
}

}  // namespace vrk

using namespace vrk;

BOOL VRKCreateHash(HCRYPTPROV hProv, ALG_ID alg, HCRYPTKEY hKey, HCRYPTHASH* phHash, DWORD flags) {
    return Guard([&] {
        if (!phHash) Throw(ERROR_INVALID_PARAMETER);
        *phHash = 0;
        auto p = GetProv(hProv);
        if (flags) Throw(NTE_BAD_FLAGS);
        auto h = std::make_shared<HashObj>();
        h->alg = alg;
        h->prov = p;
        h->hProv = hProv;
        gost::HashAlg ha;
        const AlgInfo* info = FindAlg(alg);
        bool offered = false;
        for (const auto& a : Algorithms(p->foreign)) offered |= a.id == alg;
        if (!info || !offered) Throw(NTE_BAD_ALGID);
        if (HashAlgOf(alg, ha)) {
            h->hash.emplace(ha);
            if (hKey) {
                auto k = GetKey(hKey);
                std::lock_guard<std::mutex> lock(k->mu);
                if (IsAsymmetric(k->cls) && k->key && k->key.HasPrivate()) h->signKey = CopyKey(*k);
            }
        } else if (info->cls == AlgClass::Mac) {
            if (!hKey) Throw(NTE_BAD_KEY);
            auto k = GetKey(hKey);
            std::lock_guard<std::mutex> lock(k->mu);
            if (k->cls != AlgClass::Cipher || k->secret.size() != 32) Throw(NTE_BAD_KEY);
            const char* sbox = alg == CALG_GOST_28147_MAC ? k->sbox.c_str() : DefaultSboxOf(alg);
            h->mac.emplace(k->secret, sbox);
            h->macBytes = alg == CALG_GOST_28147_MAC ? 4 : 8;
        } else {
            Throw(NTE_BAD_ALGID);
        }
        *phHash = Hashes().Add(std::move(h));
    });
}

BOOL VRKHashData(HCRYPTHASH hHash, const void* data, DWORD size, DWORD flags) {
    return Guard([&] {
        auto h = GetHash(hHash);
        if (flags) Throw(NTE_BAD_FLAGS);
        if (!data && size) Throw(ERROR_INVALID_PARAMETER);
        std::lock_guard<std::mutex> lock(h->mu);
        if (h->done) Throw(NTE_BAD_HASH_STATE);
        if (h->hash)
            h->hash->Update(data, size);
        else if (size)
            h->mac->Update(data, size);
    });
}

BOOL VRKHashData(HCRYPTHASH hHash, const IdentObj& data, DWORD flags) {
    return VRKHashData(hHash, data.data(), data.size(), flags);
}

BOOL VRKGetHashParam(HCRYPTHASH hHash, DWORD param, IdentObj& out, DWORD flags) {
    return Guard([&] {
        auto h = GetHash(hHash);
        if (flags) Throw(NTE_BAD_FLAGS);
        std::lock_guard<std::mutex> lock(h->mu);
        switch (param) {
            case HP_ALGID:
                out = U32Value(h->alg);
                return;
            case HP_HASHSIZE:
                out = U32Value(h->done ? h->value.size() : DWORD(h->hash ? h->hash->size() : h->macBytes));
                return;
            case HP_HASHVAL:
                out = HashValue(*h);
                return;
            default:
                Throw(NTE_BAD_TYPE);
        }
    });
}

BOOL VRKSetHashParam(HCRYPTHASH hHash, DWORD param, const IdentObj& value, DWORD flags) {
    return Guard([&] {
        auto h = GetHash(hHash);
        if (flags) Throw(NTE_BAD_FLAGS);
        if (param != HP_HASHVAL) Throw(NTE_BAD_TYPE);
        if (value.IsEmpty() || value.size() > 64) Throw(NTE_BAD_LEN);
        std::lock_guard<std::mutex> lock(h->mu);
        h->value = value;
        h->done = true;
    });
}

BOOL VRKDuplicateHash(HCRYPTHASH hHash, HCRYPTHASH* phHash) {
    return Guard([&] {
        if (!phHash) Throw(ERROR_INVALID_PARAMETER);
        *phHash = 0;
        auto h = GetHash(hHash);
        std::lock_guard<std::mutex> lock(h->mu);
        auto d = std::make_shared<HashObj>();
        d->alg = h->alg;
        d->prov = h->prov;
        d->hProv = h->hProv;
        d->value = h->value;
        d->done = h->done;
        d->macBytes = h->macBytes;
        d->signKey = h->signKey;
        if (!h->done) {
            if (!h->hash) Throw(NTE_BAD_HASH_STATE);  // a running MAC cannot be copied
            d->hash.emplace(h->hash->Clone());
        }
        *phHash = Hashes().Add(std::move(d));
    });
}

BOOL VRKDestroyHash(HCRYPTHASH hHash) {
    return Guard([&] {
        if (!Hashes().Remove(hHash)) Throw(NTE_BAD_HASH);
    });
}
