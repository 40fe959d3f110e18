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
gost::Bytes ClearPrivateKeyInfo(const IdentObj& in, const std::string& password) {
    std::string_view text = in.view();
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
    gost::Bytes out(der, der + n);
    OPENSSL_clear_free(der, std::size_t(n));
    return out;
}

// A context on the container with the caller's password for `spec`.
HCRYPTPROV OpenFor(const std::string& name, bool machine, DWORD spec, const std::string& password, bool create) {
    HCRYPTPROV h = 0;
    DWORD flags =
        CRYPT_SILENT | (machine ? CRYPT_MACHINE_KEYSET : 0) | (create ? CRYPT_NEWKEYSET | VRK_CHOOSE_CONTAINER : 0);
    if (!VRKAcquireContext(&h, name.c_str(), VRK_PROV_GOST, VRK_PROV_TYPE_GOST, flags)) Throw(GetLastError());
    if (!password.empty()) {
        DWORD param = spec == AT_KEYEXCHANGE ? PP_KEYEXCHANGE_PIN : PP_SIGNATURE_PIN;
        if (!VRKSetProvParam(h, param, password.c_str(), 0)) {
            DWORD e = GetLastError();
            VRKReleaseContext(h);
            Throw(e);
        }
    }
    return h;
}

}  // namespace

DWORD ImportPkcs8(const std::string& name, bool machine, const IdentObj& pkcs8, const std::string& pkcs8Password,
                  DWORD keySpec, const std::string& password) {
    HCRYPTPROV h = 0;
    bool existed = true;
    BOOL ok = Guard([&] {
        existed = store::Exists(name, machine);
        gost::Bytes der = ClearPrivateKeyInfo(pkcs8, pkcs8Password);
        gost::Key key;
        try {
            key = gost::ImportPrivateKeyDer(der);
        } catch (...) {
            gost::Cleanse(der);
            throw;
        }
        gost::Cleanse(der);
        DWORD spec = keySpec ? keySpec : AT_SIGNATURE;
        if (spec != AT_SIGNATURE && spec != AT_KEYEXCHANGE) Throw(NTE_BAD_KEY);
        gost::KeyAlg ka = key.alg();
        h = OpenFor(name, machine, spec, password, true);
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
        StoreContainerKey(*p, k);
    });
    DWORD rc = ok ? 0 : GetLastError();
    if (h) VRKReleaseContext(h);
    // A container made for a key that did not come in goes again.
    if (rc && !existed) store::Remove(name, machine);
    SetLastError(rc);
    return rc;
}

DWORD ExportPkcs8(const std::string& name, bool machine, DWORD keySpec, const std::string& password,
                  const std::string& outPassword, std::string& pem) {
    HCRYPTPROV h = 0;
    BOOL ok = Guard([&] {
        h = OpenFor(name, machine, keySpec ? keySpec : AT_SIGNATURE, password, false);
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
        BioPtr bio(BIO_new(BIO_s_mem()));
        if (!bio || !PEM_write_bio_PKCS8PrivateKey(bio.get(), k->key.get(), EVP_aes_256_cbc(), outPassword.data(),
                                                   int(outPassword.size()), nullptr, nullptr))
            Throw(NTE_FAIL);
        char* data = nullptr;
        long n = BIO_get_mem_data(bio.get(), &data);
        pem.assign(data, std::size_t(n));
    });
    DWORD rc = ok ? 0 : GetLastError();
    if (h) VRKReleaseContext(h);
    SetLastError(rc);
    return rc;
}

std::vector<ContainerKeyRow> ListContainerKeys(bool machine) {
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
    return rows;
}

}  // namespace vrk
