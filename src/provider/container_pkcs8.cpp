// Keys moving between containers and other tools: PKCS #8 in and out, and
// a listing of the key sets.
#include <cstring>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include "provider/vrk_internal.h"

namespace vrk {
namespace {

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

// The PrivateKeyInfo DER inside a PEM or DER file, decrypted when it is an
// EncryptedPrivateKeyInfo.
Secret ClearPrivateKeyInfo(gost::ByteView in, const Secret& password) {
    std::string_view text(reinterpret_cast<const char*>(in.data()), in.size());
    bool pem = text.find("-----BEGIN") != std::string_view::npos;
    X509_SIG* sig = nullptr;
    PKCS8_PRIV_KEY_INFO* p8 = nullptr;
    {
        BioPtr bio(BIO_new_mem_buf(in.data(), int(in.size())));
        if (!bio) Throw(NTE_NO_MEMORY);
        if (pem)
            sig = PEM_read_bio_PKCS8(bio.get(), nullptr, nullptr, nullptr);
        else
            sig = d2i_PKCS8_bio(bio.get(), nullptr);
    }
    if (sig) {
        if (password.empty()) {
            X509_SIG_free(sig);
            Throw(ERROR_CANCELLED);
        }
        p8 = PKCS8_decrypt(sig, password.c_str(), int(password.size()));
        X509_SIG_free(sig);
        if (!p8) Throw(VRK_E_WRONG_PASSWORD);
    } else {
        BioPtr bio(BIO_new_mem_buf(in.data(), int(in.size())));
        p8 = pem ? PEM_read_bio_PKCS8_PRIV_KEY_INFO(bio.get(), nullptr, nullptr, nullptr)
                 : d2i_PKCS8_PRIV_KEY_INFO_bio(bio.get(), nullptr);
        if (!p8) Throw(NTE_BAD_DATA);
    }
    unsigned char* der = nullptr;
    int n = i2d_PKCS8_PRIV_KEY_INFO(p8, &der);
    PKCS8_PRIV_KEY_INFO_free(p8);
    if (n <= 0) Throw(NTE_BAD_DATA);
    Secret out(der, std::size_t(n));
    OPENSSL_clear_free(der, std::size_t(n));  // OpenSSL's own copy
    return out;
}

// A context on the container with the caller's password for `spec`; with
// `create` the container is made when missing (`created` tells whether it
// was).
HCRYPTPROV OpenFor(const std::string& name, bool machine, DWORD spec, const Secret& password, bool create,
                   bool* created = nullptr) {
    HCRYPTPROV h = 0;
    DWORD flags = CRYPT_SILENT | (machine ? CRYPT_MACHINE_KEYSET : 0);
    bool made = false;
    if (create) {
        made = VRKAcquireContext(&h, name.c_str(), VRK_PROV_GOST, VRK_PROV_TYPE_GOST, flags | CRYPT_NEWKEYSET);
        if (!made && GetLastError() != NTE_EXISTS) Throw(GetLastError());
    }
    if (!made && !VRKAcquireContext(&h, name.c_str(), VRK_PROV_GOST, VRK_PROV_TYPE_GOST, flags)) Throw(GetLastError());
    if (created) *created = made;
    VRKSCApi::CryptProvider owned(h);
    if (!password.empty()) {
        DWORD param = spec == AT_KEYEXCHANGE ? PP_KEYEXCHANGE_PIN : PP_SIGNATURE_PIN;
        if (!VRKSetProvParam(h, param, password.c_str(), 0)) Throw(GetLastError());
    }
    return owned.Detach();
}

}  // namespace

BOOL ListContainerKeys(bool machine, std::vector<ContainerKeyRow>& out) {
    return Guard([&] {
        std::vector<ContainerKeyRow> rows;
        for (const auto& name : store::List(machine)) {
            Container c;
            if (store::Load(name, machine, c) != 0) {
                ContainerKeyRow r;
                r.name = name;
                r.machine = machine;
                r.damaged = true;
                rows.push_back(r);
                continue;
            }
            for (const auto& k : c.keys) {
                ContainerKeyRow r;
                r.name = name;
                r.machine = machine;
                r.keySpec = k.spec;
                r.alg = k.alg;
                r.paramSet = k.paramSet;
                r.hasCertificate = !k.certificate.IsEmpty();
                r.passwordProtected = (k.protection & kProtectPassword) != 0;
                rows.push_back(r);
            }
            if (c.keys.empty()) {
                ContainerKeyRow r;
                r.name = name;
                r.machine = machine;
                rows.push_back(r);
            }
        }
        out = std::move(rows);
    });
}

std::vector<ContainerKeyRow> ListContainerKeys(bool machine) {
    std::vector<ContainerKeyRow> rows;
    ListContainerKeys(machine, rows);
    return rows;
}

DWORD ImportPkcs8(const std::string& name, bool machine, gost::ByteView pkcs8, const Secret& pkcs8Password,
                  DWORD keySpec, const Secret& password, bool replace) {
    bool created = false;
    BOOL ok = Guard([&] {
        gost::Key key = gost::ImportPrivateKeyDer(ClearPrivateKeyInfo(pkcs8, pkcs8Password).view());
        DWORD spec = keySpec ? keySpec : AT_SIGNATURE;
        if (spec != AT_SIGNATURE && spec != AT_KEYEXCHANGE) Throw(NTE_BAD_KEY);
        gost::KeyAlg ka = key.alg();
        VRKSCApi::CryptProvider h(OpenFor(name, machine, spec, password, true, &created));
        auto p = GetProv(h);
        std::lock_guard<std::mutex> lock(p->mu);
        KeyObj k;
        k.alg = spec == AT_SIGNATURE ? SignAlgOf(ka) : ExchangeAlgOf(ka);
        k.cls = FindAlg(k.alg)->cls;
        k.spec = spec;
        k.exportable = true;
        k.key = key;
        if (key.IsGost()) {
            k.paramSet = key.Paramset();
            k.hashParamSet = DefaultHashParamSet(ka);
            k.publicRaw = gost::ToIdent(gost::PublicKeyToRaw(key));
        } else {
            k.publicRaw = gost::ToIdent(gost::ExportPublicKeyDer(key));
        }
        StoreContainerKey(*p, k, replace);
    });
    DWORD rc = ok ? 0 : GetLastError();
    if (rc && created) {
        // The container made for a key that did not come in goes again,
        // unless another process put a key into it meanwhile.
        try {
            store::Remove(name, machine, true);
        } catch (...) {
        }
    }
    SetLastError(rc);
    return rc;
}

namespace {
DWORD ExportPem(const std::string& name, bool machine, DWORD keySpec, const Secret& password, const Secret& outPassword,
                Secret& pem) {
    BOOL ok = Guard([&] {
        VRKSCApi::CryptProvider h(OpenFor(name, machine, keySpec ? keySpec : AT_SIGNATURE, password, false));
        auto p = GetProv(h);
        std::shared_ptr<KeyObj> k;
        {
            std::lock_guard<std::mutex> lock(p->mu);
            k = OpenContainerKey(*p, keySpec);
        }
        if (outPassword.empty()) {
            pem = gost::ExportPrivateKeyPem(k->key);
            return;
        }
        // A memory BIO on the secure heap clears what it lets go.
        BioPtr bio(BIO_new(BIO_s_secmem()));
        if (!bio || !PEM_write_bio_PKCS8PrivateKey(bio.get(), k->key.get(), EVP_aes_256_cbc(), outPassword.c_str(),
                                                   int(outPassword.size()), nullptr, nullptr))
            Throw(NTE_FAIL);
        char* data = nullptr;
        long n = BIO_get_mem_data(bio.get(), &data);
        pem = Secret(data, std::size_t(n));
    });
    return ok ? 0 : GetLastError();
}
}  // namespace

DWORD ExportPkcs8(const std::string& name, bool machine, DWORD keySpec, const Secret& password,
                  const Secret& outPassword, Secret& pem) {
    return ExportPem(name, machine, keySpec, password, outPassword, pem);
}

DWORD ExportPkcs8(const std::string& name, bool machine, DWORD keySpec, const Secret& password,
                  const Secret& outPassword, std::string& pem) {
    Secret text;
    DWORD rc = ExportPem(name, machine, keySpec, password, outPassword, text);
    if (rc == 0) {
        try {
            pem.assign(text.text());
        } catch (...) {
            rc = NTE_NO_MEMORY;
        }
    }
    SetLastError(rc);
    return rc;
}

}  // namespace vrk
