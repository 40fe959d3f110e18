// CCTFTrustRootCertList: the MAC or signature of a trust list.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "cert/capi.h"
#include "cert/lecursor.h"
#include "cert/oid.h"
#include "cert/vrkscapi.h"
#include "stores/list_internal.h"

using namespace cert::lists;

namespace {

std::atomic<CertDll::TrustListVerifier*> g_verifier{LayerTrustListVerifier()};

// The stored text up to its stored length or its first zero.
IdentObj AlgorithmText(const unsigned char* p, std::uint32_t n) {
    const unsigned char* z = std::find(p, p + n, 0);
    return IdentObj(p, static_cast<DWORD>(z - p));
}

unsigned AlgIdOf(const IdentObj& text) {
    unsigned alg = 0, extra = 0;
    if (text.IsEmpty() || text.size() >= 260 || !GetAlgIDFromOID(text.data(), text.size(), alg, extra)) return 0;
    return alg;
}

struct Choice {
    const char* oid;
    ALG_ID alg;
};

// Reading "AMAC": anything unknown falls back to the unkeyed GOST hash,
// whose 32 bytes never equal a 4-byte MAC.
Choice MacChoice(unsigned alg) {
    switch (alg) {
        case 0x8029:
            return {"1.3.6.1.4.1.40321.2.1.1.2", 0x8029};
        case 0x802A:
        case 0x602D:
            return {CTF_OID_LIST_MAC_Z, 0x802A};
        case 0x801F:
        case 0x802B:
        case 0x602E:
        case 0x661E:
            return {CTF_OID_LIST_MAC_A, 0x802B};
        default:
            return {"1.2.643.2.2.9", 0x801E};
    }
}

// Reading "ASGN": null for an algorithm outside the table.
bool SignChoice(unsigned alg, Choice& out) {
    switch (alg) {
        case 0x801E:
            out = {"1.2.643.2.2.9", 0x801E};
            return true;
        case 0x8021:
            out = {"1.2.643.7.1.1.2.2", 0x8021};
            return true;
        case 0x8022:
            out = {"1.2.643.7.1.1.2.3", 0x8022};
            return true;
        case 0x8029:
            out = {"1.3.6.1.4.1.40321.2.1.1.2", 0x8029};
            return true;
        case 0x802A:
        case 0x602D:
            out = {CTF_OID_LIST_MAC_Z, 0x802A};
            return true;
        case 0x801F:
        case 0x802B:
        case 0x602E:
        case 0x661E:
            out = {CTF_OID_LIST_MAC_A, 0x802B};
            return true;
        default:
            return false;
    }
}

IdentObj OidIdent(const char* oid) { return IdentObj(oid, static_cast<DWORD>(std::strlen(oid))); }

// The signer's certificates in `s`: the subject-certificate search by
// issuer and serial, or, for a signer named by key identifier, the
// certificates with that subject key identifier.
void FindSigner(const CCTFCertStorage& s, const CCTFMessageSignerInfo& si, std::vector<IdentObj>& out) {
    std::list<CCTFCertContext> found;
    if (!si.m_keyId.IsEmpty()) {
        for (const auto& der : StoreCertificates(s)) {
            CCTFCertContext c(der);
            if (c.IsInitialized() && c.GetSubjectKeyId() == si.m_keyId) found.push_back(c);
        }
    } else {
        CCTFCertInfo pattern;
        // Contexts hold serials least significant byte first.
        pattern.m_serialNumber.Assign(si.m_serialNumber.data(), si.m_serialNumber.size());
        std::reverse(pattern.m_serialNumber.data(), pattern.m_serialNumber.data() + pattern.m_serialNumber.size());
        pattern.m_issuer = si.m_issuer;
        if (pattern.m_serialNumber.IsEmpty() || !s.FindCertList(found, CERT_FIND_SUBJECT_CERT, &pattern)) return;
    }
    for (const auto& c : found) {
        const IdentObj der = c.GetEncoded();
        if (std::find(out.begin(), out.end(), der) == out.end()) out.push_back(der);
    }
}

}  // namespace

namespace CertDll {
TrustListVerifier::~TrustListVerifier() = default;
void SetTrustListVerifier(TrustListVerifier* verifier) { g_verifier.store(verifier); }
}  // namespace CertDll

// ---------------------------------------------------------------------------
CCTFTrustRootCertList::CCTFTrustRootCertList() { m_protect = 1; }

CCTFTrustRootCertList::CCTFTrustRootCertList(const char* path) : CCTFCertList(path) {
    m_protect = 1;
    m_fileVersion = CTF_LIST_VERSION_PKCS7;
}

CCTFTrustRootCertList::~CCTFTrustRootCertList() = default;

CTOOString CCTFTrustRootCertList::GetProtectAlgorithm() const {
    return CTOOString(std::string(m_protectAlgorithm.view()));
}

int CCTFTrustRootCertList::ParseProtectInfo(const unsigned char* data, unsigned long size, unsigned long* consumed) {
    SetProtectionFlag(1);
    try {
        Record block;
        const bool mac = FindRecord(data, size, 0, "CMAC", true, block);
        if (!mac && !FindRecord(data, size, 0, "CSGN", true, block)) return TOOERR_LISTFORMAT;
        if (block.value > size) return TOOERR_LISTFORMAT;
        auto value = [&](const Record& r) {
            if (r.value > size - r.after) throw XTOOStatus(TOOERR_LISTFORMAT, "list protection record");
            return IdentObj(data + r.after, r.value);
        };
        Record alg, kid, val;
        if (!FindRecord(data, size, block.after, mac ? "AMAC" : "ASGN", true, alg)) return TOOERR_LISTFORMAT;
        IdentObj algText = value(alg);
        if (!FindRecord(data, size, alg.after + alg.value, mac ? "MKID" : "SKID", true, kid)) return TOOERR_LISTFORMAT;
        IdentObj keyId = value(kid);
        if (!FindRecord(data, size, kid.after + kid.value, mac ? "VMAC" : "VSGN", true, val)) return TOOERR_LISTFORMAT;
        IdentObj protectValue = value(val);

        int result = 0;
        Choice choice{nullptr, 0};
        IdentObj text = AlgorithmText(algText.data(), algText.size());
        if (mac)
            choice = MacChoice(AlgIdOf(text));
        else if (!SignChoice(AlgIdOf(text), choice))
            result = TOOERR_UNKNOWN_ALG;
        // A zero length leaves the field as it was.
        m_macMode = mac;
        (mac ? m_macLength : m_signLength) = block.value;
        if (alg.value) {
            m_algLength = alg.value;
            m_protectAlgorithm = text;
        }
        if (kid.value) {
            m_keyIdLength = kid.value;
            m_keyId = keyId;
        }
        if (val.value) {
            m_valueLength = val.value;
            m_protectValue = protectValue;
        }
        if (choice.oid) {
            m_hashOid = OidIdent(choice.oid);
            m_hashAlg = choice.alg;
        }
        if (consumed) *consumed = static_cast<unsigned long>(val.after + val.value);
        return result;
    } catch (const XTOOStatus& e) {
        return e.Status();
    }
}

int CCTFTrustRootCertList::CheckProtection() {
    int result = 0;
    if (m_fileVersion == CTF_LIST_VERSION_PKCS7) {
        if (m_signData.m_signerInfos.empty()) return CTFERR_LIST_NO_SIGNER;
        result = CheckPkcs7();
    } else if (m_macMode) {
        IdentObj mac;
        if (!m_hash || !VRKGetHashParam(m_hash, HP_HASHVAL, mac)) {
            result = TOOERR_BADFORMAT;
        } else {
            if (mac.size() == 8) mac.Realloc(4);
            // Only a 4-byte MAC is one: else a file naming an unknown
            // algorithm could carry the unkeyed hash of its certificates.
            result = m_protectValue.size() != 4 || mac != m_protectValue ? TOOERR_BADSIGN : 0;
        }
    }
    if (result) m_protectStatus = CTF_TRUST_E_NOSIGNATURE;
    return result;
}

int CCTFTrustRootCertList::CheckPkcs7() {
    CCTFMessageSignerInfo si;
    const IdentObj& first = m_signData.m_signerInfos.front();
    int err = 0;
    if (!si.ReadData(first.data(), first.size(), &err)) return err ? err : TOOERR_DER_FORMAT;
    m_keyId = si.m_serialNumber;
    m_protectValue = si.m_signature;

    CertDll::TrustListVerifier* v = g_verifier.load();
    std::vector<IdentObj> found;
    if (v) {
        std::list<CCTFCertStorage> storages;
        int st = v->GetStorages(storages);
        if (st && st != TOOERR_BADFORMAT) return st;  // 42: no trust storage, none to search
        for (const auto& s : storages) FindSigner(s, si, found);
    }
    if (found.empty()) FindSigner(m_storage, si, found);
    if (found.empty()) return CTFERR_LIST_NO_SIGNER_CERT;
    if (!v) return CTFERR_LIST_NO_RESULT;

    CCTFCertStorage signers(CCTFString(""), CERT_STORE_PROV_MEMORY, 0, 0, nullptr);
    for (const auto& c : found) signers.AddEncodetCertificate(c);
    std::string file;
    if (int st = ReadListFile(m_fileName.str(), file)) return st;
    int signerStatus = 0;
    CCTFCertContext signer;
    int st = v->VerifySignedData(IdentObj(file), signers, &signerStatus, signer);
    if (st) return st;
    if (signerStatus) return CTFERR_LIST_NOT_VALID;
    return v->VerifyCertificate(signer) ? CTFERR_LIST_NOT_VALID : 0;
}

unsigned long CCTFTrustRootCertList::GetSizeForProtectionFields() const {
    return (m_macMode ? 36 : 96) + m_protectAlgorithm.size() + m_keyId.size();
}

unsigned long CCTFTrustRootCertList::PutProtectInfoToHeader(unsigned char* buffer, unsigned long size) {
    const char* place = "CCTFTrustRootCertList::PutProtectInfoToHeader";
    if (size < GetSizeForProtectionFields()) throw XTOOStatus(TOOERR_BADARG, place);
    IdentObj value;
    if (m_macMode) {
        if (m_sizes.empty()) {
            // No records: the MAC's initial state, all zero, as peers write
            // it. It proves nothing, so such a list never verifies here.
            value.Alloc(4);
        } else {
            if (!m_hash || !VRKGetHashParam(m_hash, HP_HASHVAL, value)) throw XTOOStatus(LastErrorStatus(), place);
            if (value.size() > 4) value.Realloc(4);
        }
    } else {
        if (!m_key || !m_hash) throw XTOOStatus(TOOERR_BADARG, place);
        if (!VRKSignHash(m_hash, 0, 0, value)) throw XTOOStatus(LastErrorStatus(), place);
        // The header is sized for a 64-byte signature.
        if (value.size() > 64) throw XTOOStatus(TOOERR_BADARG, place);
    }
    m_protectValue = value;
    const std::uint32_t a = m_protectAlgorithm.size(), k = m_keyId.size(), s = value.size();
    le::Writer w;
    if (m_macMode) {
        w.Code("CMAC").U32(a + k + 28);
        w.Code("AMAC").U32(a).Put(m_protectAlgorithm);
        w.Code("MKID").U32(k).Put(m_keyId);
        w.Code("VMAC").U32(4).Put(value);
    } else {
        w.Code("CSGN").U32(a + k + s + 24);
        w.Code("ASGN").U32(a).Put(m_protectAlgorithm);
        w.Code("SKID").U32(k).Put(m_keyId);
        w.Code("VSGN").U32(s).Put(value);
    }
    if (w.size() > size) throw XTOOStatus(TOOERR_BADARG, place);
    std::memcpy(buffer, w.view().data(), w.size());
    return static_cast<unsigned long>(w.size());
}

int CCTFTrustRootCertList::GetProtectInfo(CTOOString& algorithm, IdentObj& keyId, IdentObj& userId) {
    try {
        std::string bytes;
        if (ReadListFile(m_fileName.str(), bytes) || bytes.size() < 12) return 0;
        le::Reader r(bytes.data(), 12);
        r.Skip(8);
        const std::uint64_t h = r.U32();
        if (12 + h > bytes.size()) return 0;
        std::vector<unsigned char> header(bytes.begin() + 12, bytes.begin() + 12 + h);
        header.push_back(0);
        CCTFTrustRootCertList probe;
        if (probe.ParseHeader(header.data(), static_cast<unsigned long>(h))) return 0;
        algorithm = probe.GetProtectAlgorithm();
        keyId = probe.m_keyId;
        userId = probe.m_userId;
        return 1;
    } catch (...) {
        return 0;
    }
}

void CCTFTrustRootCertList::SetProtectInfo(CTOOString& algorithm, IdentObj& keyId, IdentObj& userId,
                                           unsigned long key) {
    SetProtectionFlag(1);
    m_protectAlgorithm.Assign(algorithm.c_str(), algorithm.GetLength());
    switch (AlgIdOf(m_protectAlgorithm)) {
        case 0x801E:
        case 0x8021:
        case 0x8022:
        case 0x8029: {
            Choice c{};
            SignChoice(AlgIdOf(m_protectAlgorithm), c);
            m_hashOid = OidIdent(c.oid);
            m_hashAlg = c.alg;
            m_macMode = false;
            m_fileVersion = CTF_LIST_VERSION_PKCS7;
            break;
        }
        case 0x802A:
        case 0x602D:
            m_hashOid = OidIdent(CTF_OID_LIST_MAC_Z);
            m_hashAlg = 0x802A;
            m_macMode = true;
            m_fileVersion = CTF_LIST_VERSION_MAC;
            break;
        case 0x802B:
        case 0x602E:
        case 0x661E:
            m_hashOid = OidIdent(CTF_OID_LIST_MAC_A);
            m_hashAlg = 0x802B;
            m_macMode = true;
            m_fileVersion = CTF_LIST_VERSION_MAC;
            break;
        default:
            SetLastError(0x80090008u);
            break;
    }
    m_keyId = keyId;
    m_userId = userId;
    if (key) {
        AcquireProvider();
        if (m_key) VRKDestroyKey(m_key);
        m_key = 0;
        HCRYPTKEY dup = 0;
        if (VRKDuplicateKey(static_cast<HCRYPTKEY>(key), &dup)) m_key = dup;
    }
}

int CCTFTrustRootCertList::CheckSignature(const CCTFCertContext& cert) const {
    try {
        CertDll::TrustListVerifier* v = g_verifier.load();
        CCTFCertStorage alone(CCTFString(""), CERT_STORE_PROV_MEMORY, 0, 0, nullptr);
        alone.AddCertificate(cert);
        std::string file;
        if (int st = ReadListFile(m_fileName.str(), file)) return st;
        if (!v) return CTFERR_LIST_NO_RESULT;
        int signerStatus = 0;
        CCTFCertContext signer;
        if (int st = v->VerifySignedData(IdentObj(file), alone, &signerStatus, signer)) return st;
        return signerStatus ? CTFERR_LIST_NOT_VALID : 0;
    } catch (const XTOOStatus& e) {
        return e.Status();
    } catch (...) {
        return TOOERR_EXCEPTION;
    }
}
