// The key container file: "VRKC", a version, tagged fields and a SHA-256
// digest of everything before it. Layout in docs/FORMATS.md, "Key
// containers".
#include <openssl/sha.h>

#include "provider/vrk_internal.h"

namespace vrk {

StoredKey* Container::Find(DWORD spec) {
    for (auto& k : keys)
        if (k.spec == spec) return &k;
    return nullptr;
}
const StoredKey* Container::Find(DWORD spec) const { return const_cast<Container*>(this)->Find(spec); }
const StoredKey* Container::Default() const {
    if (auto* k = Find(AT_SIGNATURE)) return k;
    return Find(AT_KEYEXCHANGE);
}

namespace store {
namespace {

constexpr DWORD kVersion = 1;
constexpr std::size_t kDigestField = 2 + 4 + SHA256_DIGEST_LENGTH;

enum Tag : WORD {
    kName = 1,
    kCreated = 2,
    kKey = 3,
    kDigest = 0xFFFF,
    // inside kKey
    kSpec = 1,
    kAlg = 2,
    kParamSet = 3,
    kHashParamSet = 4,
    kPublicKey = 5,
    kCertificate = 6,
    kProtection = 7,
    kSalt = 8,
    kIterations = 9,
    kCheck = 10,
    kNonce = 11,
    kSealed = 12,
    kKeyCreated = 13,
    kNotAfter = 14,
    kExportable = 15,
    kKdf = 16,
};

void Field(le::Writer& w, WORD tag, le::Bytes v) {
    w.U16(tag);
    std::size_t m = w.BeginCounted32();
    w.Put(v);
    w.EndCounted32(m);
}
void Field(le::Writer& w, WORD tag, const IdentObj& v) { Field(w, tag, gost::View(v)); }
void Field(le::Writer& w, WORD tag, const std::string& v) { Field(w, tag, gost::View(v)); }
void FieldU32(le::Writer& w, WORD tag, DWORD v) { w.U16(tag).U32(4).U32(v); }
void FieldTime(le::Writer& w, WORD tag, const FILETIME& t) {
    w.U16(tag).U32(8).U32(t.dwLowDateTime).U32(t.dwHighDateTime);
}

DWORD AsU32(le::Reader v) {
    DWORD x = v.U32();
    v.Finish();
    return x;
}
FILETIME AsTime(le::Reader v) {
    FILETIME t;
    t.dwLowDateTime = v.U32();
    t.dwHighDateTime = v.U32();
    v.Finish();
    return t;
}
std::string AsText(le::Reader v) {
    le::Bytes b = v.Rest();
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}
IdentObj AsBlob(le::Reader v) { return gost::ToIdent(v.Rest()); }

void EncodeKey(le::Writer& w, const StoredKey& k) {
    w.U16(kKey);
    std::size_t m = w.BeginCounted32();
    FieldU32(w, kSpec, k.spec);
    FieldU32(w, kAlg, k.alg);
    Field(w, kParamSet, k.paramSet);
    Field(w, kHashParamSet, k.hashParamSet);
    Field(w, kPublicKey, k.publicKey);
    if (!k.certificate.IsEmpty()) Field(w, kCertificate, k.certificate);
    FieldU32(w, kProtection, k.protection);
    Field(w, kSalt, k.salt);
    // Readers that know no KDF field take the iterations for PBKDF2; a
    // scrypt key writes 0 there, which they refuse instead of misreading.
    FieldU32(w, kIterations, k.kdf == Kdf::Pbkdf2Sha256 ? k.iterations : 0);
    if (k.kdf != Kdf::Pbkdf2Sha256) {
        w.U16(kKdf).U32(16).U32(static_cast<DWORD>(k.kdf));
        w.U32(k.scryptLog2N).U32(k.scryptR).U32(k.scryptP);
    }
    Field(w, kCheck, k.check);
    Field(w, kNonce, k.nonce);
    Field(w, kSealed, k.sealed);
    FieldTime(w, kKeyCreated, k.created);
    FieldTime(w, kNotAfter, k.notAfter);
    FieldU32(w, kExportable, k.exportable);
    w.EndCounted32(m);
}

StoredKey DecodeKey(le::Reader r) {
    StoredKey k;
    while (!r.AtEnd()) {
        WORD tag = r.U16();
        le::Reader v = r.Counted32();
        switch (tag) {
            case kSpec:
                k.spec = AsU32(v);
                break;
            case kAlg:
                k.alg = AsU32(v);
                break;
            case kParamSet:
                k.paramSet = AsText(v);
                break;
            case kHashParamSet:
                k.hashParamSet = AsText(v);
                break;
            case kPublicKey:
                k.publicKey = AsBlob(v);
                break;
            case kCertificate:
                k.certificate = AsBlob(v);
                break;
            case kProtection:
                k.protection = AsU32(v);
                break;
            case kSalt:
                k.salt = AsBlob(v);
                break;
            case kIterations:
                k.iterations = AsU32(v);
                break;
            case kKdf: {
                DWORD kind = v.U32();
                if (kind != static_cast<DWORD>(Kdf::Pbkdf2Sha256) && kind != static_cast<DWORD>(Kdf::Scrypt))
                    v.ThrowAt(v.offset(), "unknown key derivation " + std::to_string(kind));
                k.kdf = static_cast<Kdf>(kind);
                k.scryptLog2N = v.U32();
                k.scryptR = v.U32();
                k.scryptP = v.U32();
                v.Finish();
                break;
            }
            case kCheck:
                k.check = AsBlob(v);
                break;
            case kNonce:
                k.nonce = AsBlob(v);
                break;
            case kSealed:
                k.sealed = AsBlob(v);
                break;
            case kKeyCreated:
                k.created = AsTime(v);
                break;
            case kNotAfter:
                k.notAfter = AsTime(v);
                break;
            case kExportable:
                k.exportable = AsU32(v);
                break;
            default:
                break;  // fields of later versions
        }
    }
    return k;
}

}  // namespace

IdentObj Encode(const Container& c) {
    le::Writer w;
    w.Code("VRKC").U32(kVersion);
    Field(w, kName, c.name);
    FieldTime(w, kCreated, c.created);
    for (const auto& k : c.keys) EncodeKey(w, k);
    BYTE digest[SHA256_DIGEST_LENGTH];
    SHA256(w.view().data(), w.size(), digest);
    Field(w, kDigest, le::Bytes(digest, sizeof digest));
    return w.Take();
}

DWORD Decode(gost::ByteView file, Container& out) {
    try {
        le::Reader r(file);
        r.Expect("VRKC", "container file");
        if (r.U32() != kVersion) return NTE_BAD_VER;
        if (r.remaining() < kDigestField) return NTE_KEYSET_ENTRY_BAD;
        le::Reader fields = r.Sub(r.remaining() - kDigestField);
        BYTE digest[SHA256_DIGEST_LENGTH];
        SHA256(file.data(), file.size() - kDigestField, digest);
        if (r.U16() != kDigest || r.U32() != SHA256_DIGEST_LENGTH ||
            !cert::SameBytes(r.Take(SHA256_DIGEST_LENGTH), le::Bytes(digest, sizeof digest)))
            return NTE_KEYSET_ENTRY_BAD;
        Container c;
        while (!fields.AtEnd()) {
            WORD tag = fields.U16();
            le::Reader v = fields.Counted32();
            if (tag == kName) {
                c.name = AsText(v);
            } else if (tag == kCreated) {
                c.created = AsTime(v);
            } else if (tag == kKey) {
                StoredKey k = DecodeKey(v);
                if ((k.spec != AT_KEYEXCHANGE && k.spec != AT_SIGNATURE) || c.Find(k.spec)) return NTE_KEYSET_ENTRY_BAD;
                c.keys.push_back(std::move(k));
            }
        }
        if (c.name.empty()) return NTE_KEYSET_ENTRY_BAD;
        out = std::move(c);
        return 0;
    } catch (const le::Error&) {
        return NTE_KEYSET_ENTRY_BAD;
    }
}

}  // namespace store
}  // namespace vrk
