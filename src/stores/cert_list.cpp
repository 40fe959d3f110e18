// CCTFCertList: reading and writing both forms of a list file.
#include <algorithm>
#include <filesystem>
#include <optional>

#include "cert/capi.h"
#include "cert/ipc.h"
#include "cert/lecursor.h"
#include "cert/oid.h"
#include "cert/vrkscapi.h"
#include "stores/list_internal.h"

using namespace cert::lists;

namespace {

constexpr const char kDefaultDigestOid[] = "1.2.643.2.2.9";

void AddMissing(std::vector<IdentObj>& to, const IdentObj& x) {
    if (std::find(to.begin(), to.end(), x) == to.end()) to.push_back(x);
}

// What `current` becomes with the changes from `loaded` to `now` applied:
// what this object removed goes, what it added comes after what is there.
std::vector<IdentObj> Apply(const std::vector<IdentObj>& current, const std::vector<IdentObj>& loaded,
                            const std::vector<IdentObj>& now) {
    auto in = [](const std::vector<IdentObj>& v, const IdentObj& x) {
        return std::find(v.begin(), v.end(), x) != v.end();
    };
    std::vector<IdentObj> out;
    for (const auto& x : current)
        if (!(in(loaded, x) && !in(now, x))) AddMissing(out, x);
    for (const auto& x : now)
        if (!in(loaded, x)) AddMissing(out, x);
    return out;
}

std::string LockName(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    if (ec) p = path;
    return "cert list file " + p.lexically_normal().string();
}

}  // namespace

// ---------------------------------------------------------------------------
CCTFCertList::CCTFCertList() { ResetStore(m_storage); }

CCTFCertList::CCTFCertList(const char* path) : m_fileName(path) {
    m_storage.OpenStorage(CCTFString(path ? path : ""), CERT_STORE_PROV_MEMORY, 0, 0, nullptr);
}

CCTFCertList::CCTFCertList(const CCTFCertList& o) { CopyFrom(o); }

CCTFCertList& CCTFCertList::operator=(const CCTFCertList& o) {
    if (this != &o) {
        ReleaseHandles();
        CopyFrom(o);
    }
    return *this;
}

CCTFCertList::~CCTFCertList() { ReleaseHandles(); }

void CCTFCertList::CopyFrom(const CCTFCertList& o) {
    m_storage = o.m_storage;
    m_protectStatus = o.m_protectStatus;
    m_checkResult = o.m_checkResult;
    m_userId = o.m_userId;
    m_fileName = o.m_fileName;
    m_controlLength = o.m_controlLength;
    m_certInfoLength = o.m_certInfoLength;
    m_certCount = o.m_certCount;
    m_certOffset = o.m_certOffset;
    m_protectAlgorithm = o.m_protectAlgorithm;
    m_hashOid = o.m_hashOid;
    m_hashAlg = o.m_hashAlg;
    m_purpose = o.m_purpose;
    m_fileVersion = o.m_fileVersion;
    m_signData = o.m_signData;
    m_protect = o.m_protect;
    m_sizes = o.m_sizes;
    m_sizeSum = o.m_sizeSum;
    m_image = nullptr;
    m_imageSize = 0;
    m_loadedCerts = o.m_loadedCerts;
    m_loadedCrls = o.m_loadedCrls;
    m_loaded = o.m_loaded;
    // Each object owns its handles: a copy gets its own context and
    // duplicates of the key and the hash.
    m_prov = m_key = m_hash = 0;
    if (o.m_prov) AcquireProvider();
    if (o.m_key && !VRKDuplicateKey(o.m_key, &m_key)) m_key = 0;
    if (o.m_hash && !VRKDuplicateHash(o.m_hash, &m_hash)) m_hash = 0;
}

void CCTFCertList::ReleaseHandles() {
    DestroyHash();
    if (m_key) VRKDestroyKey(m_key);
    m_key = 0;
    if (m_prov) VRKReleaseContext(m_prov);
    m_prov = 0;
}

bool CCTFCertList::AcquireProvider() {
    if (m_prov) return true;
    HCRYPTPROV p = 0;
    if (!VRKAcquireContext(&p, nullptr, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT)) return false;
    m_prov = p;
    return true;
}

void CCTFCertList::DestroyHash() {
    if (m_hash) VRKDestroyHash(m_hash);
    m_hash = 0;
}

// ---------------------------------------------------------------------------
void CCTFCertList::SetNewFileName(const char* path) { m_fileName = path; }
void CCTFCertList::SetPurposeCode(unsigned long code) { m_purpose = code; }
unsigned long CCTFCertList::GetPurposeCode() const { return m_purpose; }
void CCTFCertList::SetFileVersion(unsigned long version) { m_fileVersion = version; }
void CCTFCertList::SetProtectionFlag(int on) { m_protect = on; }
unsigned long CCTFCertList::GetCertificateAmount() const { return m_certCount; }
CCTFCertStorage* CCTFCertList::ReturnStorage() const { return &m_storage; }

// ---------------------------------------------------------------------------
// Loading.

void CCTFCertList::LoadFile() {
    const std::string path = m_fileName.str();
    int st = 0;
    try {
        m_loaded = false;
        if (!ResetStore(m_storage)) throw XTOOStatus(TOOERR_BADFORMAT, "storage");
        std::string bytes;
        st = ReadListFile(path, bytes);
        if (st == 0 && bytes.empty()) st = TOOERR_NOFILE;
        if (st == 0) {
            const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
            // The form is the content's: a SEQUENCE first is the PKCS #7 form,
            // whatever the file is called.
            if ((data[0] & 0x1F) == 0x10)
                st = LoadPkcs7(data, bytes.size());
            else
                st = LoadRecordImage(data, bytes.size());
        }
    } catch (...) {
        st = TOOStatusOfCurrentException();
    }
    m_image = nullptr;
    m_imageSize = 0;
    if (st) {
        ResetStore(m_storage);
        throw XTOOStatus(st, path.c_str());
    }
}

bool CCTFCertList::ReadObject(const unsigned char* data, unsigned long length, int* error) {
    int st = 0;
    try {
        m_loaded = false;
        if (!ResetStore(m_storage)) st = TOOERR_BADFORMAT;
        if (!st) st = data || !length ? LoadRecordImage(data, length) : TOOERR_BADARG;
    } catch (...) {
        st = TOOStatusOfCurrentException();
    }
    m_image = nullptr;
    m_imageSize = 0;
    if (st) ResetStore(m_storage);
    if (error) *error = st;
    return st == 0;
}

int CCTFCertList::LoadRecordImage(const unsigned char* data, std::uint64_t size) {
    if (size < 12) return TOOERR_LISTFORMAT;
    le::Reader r(data, 12);
    const std::uint32_t purpose = r.U32();
    r.U32();  // the version in the file is not taken over
    const std::uint64_t h = r.U32();
    if (12 + h > size) return TOOERR_LISTFORMAT;
    // A zero after the header, as its parser may rely on one.
    std::vector<unsigned char> header(data + 12, data + 12 + h);
    header.push_back(0);
    if (int st = ParseHeader(header.data(), static_cast<unsigned long>(h))) return st;
    m_purpose = purpose;
    m_certOffset = static_cast<unsigned long>(12 + h);
    if (!m_storage.IsOpen()) return TOOERR_BADFORMAT;
    m_image = data;
    m_imageSize = size;
    if (int st = LoadCertificates()) return st;
    if (m_protect) {
        int res = CheckProtection();
        m_checkResult = res;
        if (res) m_protectStatus = res;
        m_storage.SetStatus(res ? CTF_STORAGE_UNTRUSTED : 0);
    }
    m_loadedCerts = StoreCertificates(m_storage);
    m_loadedCrls.clear();
    m_loaded = true;
    return 0;
}

int CCTFCertList::LoadPkcs7(const unsigned char* data, std::size_t size) {
    m_fileVersion = CTF_LIST_VERSION_PKCS7;
    if (m_protect) AcquireProvider();
    CCTFSignData sd;
    int err = 0;
    if (!sd.ReadObject(data, static_cast<unsigned long>(size), &err)) return err ? err : TOOERR_DER_FORMAT;
    m_signData = sd;
    DestroyHash();
    if (m_protect) {
        CTOOString oid = kDefaultDigestOid;
        if (!sd.m_digestAlgorithms.empty()) sd.m_digestAlgorithms.front().GetParams(&oid, nullptr, nullptr, nullptr);
        unsigned alg = 0, extra = 0;
        m_hashOid.Assign(oid.c_str(), oid.GetLength());
        if (GetAlgIDFromOID(oid.c_str(), oid.GetLength(), alg, extra)) {
            m_hashAlg = alg;
            if (!m_prov || !VRKCreateHash(m_prov, alg, 0, &m_hash)) m_hash = 0;
        } else {
            m_protectStatus = TOOERR_UNKNOWN_ALG;
        }
    }
    m_certCount = 0;
    for (const auto& c : sd.m_certificates) {
        if (m_hash) VRKHashData(m_hash, c);
        if (!m_storage.AddEncodetCertificate(c)) return LastErrorStatus();
        ++m_certCount;
    }
    for (const auto& c : sd.m_crls)
        if (!m_storage.AddEncodetCRL(c)) return LastErrorStatus();
    if (m_protect) {
        // The verdict stays in the protect status: the storage's trust is
        // not taken from it (a root list judges its signer by itself).
        m_checkResult = CheckProtection();
    }
    m_loadedCerts = StoreCertificates(m_storage);
    m_loadedCrls = StoreCrls(m_storage);
    m_loaded = true;
    return 0;
}

int CCTFCertList::ParseHeader(const unsigned char* header, unsigned long size) {
    try {
        Record ctrl;
        if (!FindRecord(header, size, 0, "CTRL", true, ctrl) || ctrl.value > size) return TOOERR_LISTFORMAT;
        std::uint64_t cursor = ctrl.after;
        IdentObj user;
        Record rec;
        if (FindRecord(header, size, 0, "USER", true, rec)) {
            if (rec.value > size) return TOOERR_LISTFORMAT;
            cursor = rec.after;
            if (rec.value) {
                Record uid;
                if (!FindRecord(header, size, rec.after, "U_ID", true, uid)) return TOOERR_LISTFORMAT;
                if (uid.value > size - uid.after) return TOOERR_LISTFORMAT;
                user.Assign(header + uid.after, uid.value);
                cursor = uid.after + uid.value;
            }
        }
        unsigned long used = 0;
        int protect = ParseProtectInfo(header + cursor, static_cast<unsigned long>(size - cursor), &used);
        if (protect && protect != TOOERR_UNKNOWN_ALG) return protect;
        if (used > size - cursor) return TOOERR_LISTFORMAT;
        cursor += used;
        unsigned long certPart = 0;
        if (int st = ParseHeaderCertPart(header + cursor, static_cast<unsigned long>(size - cursor), &certPart))
            return st;
        m_controlLength = ctrl.value;
        m_userId = user;
        return protect;
    } catch (const XTOOStatus& e) {
        return e.Status();
    }
}

int CCTFCertList::ParseHeaderCertPart(const unsigned char* data, unsigned long size, unsigned long* consumed) {
    try {
        Record cinf;
        if (!FindRecord(data, size, 0, "CINF", true, cinf)) return TOOERR_LISTFORMAT;
        if (cinf.value > size) return TOOERR_LISTFORMAT;
        std::uint32_t count = 0;
        std::uint64_t end = cinf.after;
        std::vector<std::uint32_t> sizes;
        std::uint64_t sum = 0;
        if (cinf.value) {
            Record cnum;
            if (!FindRecord(data, size, cinf.after, "CNUM", true, cnum)) return TOOERR_LISTFORMAT;
            count = cnum.value;
            end = cnum.after;
            if (count) {
                Record csz;
                if (!FindRecord(data, size, cnum.after, "C_SZ", false, csz)) return TOOERR_LISTFORMAT;
                if (std::uint64_t(count) * 4 > size - csz.after) return TOOERR_LISTFORMAT;
                le::Reader r(data + csz.after, std::size_t(count) * 4);
                sizes.reserve(count);
                for (std::uint32_t i = 0; i < count; ++i) {
                    std::uint32_t s = r.U32();
                    if (s < 4) return TOOERR_LISTFORMAT;  // no room for the record's own length
                    sizes.push_back(s);
                    sum += s;
                }
                end = csz.after + std::uint64_t(count) * 4;
            }
        }
        m_certInfoLength = cinf.value;
        m_certCount = count;
        m_sizes = std::move(sizes);
        m_sizeSum = sum;
        if (consumed) *consumed = static_cast<unsigned long>(end - cinf.at);
        return 0;
    } catch (const XTOOStatus& e) {
        return e.Status();
    }
}

int CCTFCertList::ParseProtectInfo(const unsigned char*, unsigned long, unsigned long* consumed) {
    // A plain list reads a trust list's certificates too: the certificate
    // part is found by search, past whatever protection block there is.
    if (consumed) *consumed = 0;
    SetProtectionFlag(0);
    return 0;
}

int CCTFCertList::LoadCertificates() {
    if (!m_image) return TOOERR_BADFORMAT;
    if (m_imageSize != std::uint64_t(m_certOffset) + m_sizeSum) return TOOERR_LISTFORMAT;
    return LoadCertificatesFromBlob(m_image + m_certOffset, static_cast<unsigned long>(m_imageSize - m_certOffset));
}

int CCTFCertList::LoadCertificatesFromBlob(const unsigned char* data, unsigned long length) {
    std::uint64_t sum = 0;
    for (auto s : m_sizes) sum += s;
    if (sum > length) return TOOERR_LISTFORMAT;
    if (m_protect) {
        AcquireProvider();
        DestroyHash();
        // No hash (a MAC without its key) is the check's to report.
        if (!m_prov || !VRKCreateHash(m_prov, m_hashAlg, m_key, &m_hash)) m_hash = 0;
    }
    std::uint64_t off = 0;
    for (auto s : m_sizes) {
        le::Reader rec(data + off, s, off);
        const std::uint32_t n = rec.U32();
        if (n > s - 4) return TOOERR_LISTFORMAT;
        if (m_hash) VRKHashData(m_hash, data + off, s);
        if (!m_storage.AddEncodetCertificate(IdentObj(data + off + 4, n))) return LastErrorStatus();
        off += s;
    }
    return 0;
}

int CCTFCertList::CheckProtection() {
    m_storage.SetStatus(CTF_STORAGE_UNTRUSTED);
    return 0;
}

unsigned long CCTFCertList::GetSizeForProtectionFields() const { return 0; }
unsigned long CCTFCertList::PutProtectInfoToHeader(unsigned char*, unsigned long) { return 0; }
int CCTFCertList::PutProtectInfo() { return 0; }

// ---------------------------------------------------------------------------
// Writing.

void CCTFCertList::CreateCommonHeader(unsigned long* out, unsigned long headerLength) {
    out[0] = m_purpose;
    out[1] = m_fileVersion;
    out[2] = headerLength;
}

int CCTFCertList::CreateFileHeader(IdentObj& header, CTOOString* errorFile) {
    const std::uint64_t l = m_userId.size(), n = m_sizes.size();
    const std::uint64_t prot = m_protect ? GetSizeForProtectionFields() : 0;
    const std::uint64_t total = l + 48 + 4 * n + prot;
    if (total > 0xFFFFFFF0u) {
        if (errorFile) *errorFile = m_fileName;
        return TOOERR_BADARG;
    }
    le::Writer w;
    w.Code("CTRL").U32(static_cast<std::uint32_t>(total - 4));
    w.Code("USER").U32(static_cast<std::uint32_t>(l + 8));
    w.Code("U_ID").U32(static_cast<std::uint32_t>(l)).Put(m_userId);
    if (prot) {
        std::vector<unsigned char> block(prot);
        unsigned long written = PutProtectInfoToHeader(block.data(), static_cast<unsigned long>(prot));
        w.Put(block.data(), std::min<std::uint64_t>(written, prot));
    }
    w.Code("CINF").U32(static_cast<std::uint32_t>(16 + 4 * n));
    w.Code("CNUM").U32(static_cast<std::uint32_t>(n));
    w.Code("C_SZ");
    for (auto s : m_sizes) w.U32(s);
    w.Code("HEND");
    // A signature shorter than its reserve leaves zero filler.
    if (w.size() < total) w.Zeros(total - w.size());
    header = w.Take();
    return 0;
}

int CCTFCertList::BuildImage(std::string& out) {
    if (m_protect) {
        if (!AcquireProvider()) return TOOERR_BADFORMAT;
        DestroyHash();
        if (m_hashAlg && !VRKCreateHash(m_prov, m_hashAlg, m_key, &m_hash)) {
            m_hash = 0;
            return LastErrorStatus();
        }
    }
    const std::vector<IdentObj> certs = StoreCertificates(m_storage);
    if (m_fileVersion == CTF_LIST_VERSION_PKCS7) {
        m_signData.m_certificates.clear();
        m_signData.m_crls.clear();
        for (const auto& c : certs) {
            if (m_hash) VRKHashData(m_hash, c);
            m_signData.m_certificates.push_back(c);
        }
        for (const auto& c : StoreCrls(m_storage)) m_signData.m_crls.push_back(c);
        if (int st = PutProtectInfo()) return st;
        int err = 0;
        IdentObj der = m_signData.WriteObject(&err);
        if (err) return err;
        out.assign(reinterpret_cast<const char*>(der.data()), der.size());
        m_certCount = static_cast<unsigned long>(certs.size());
        return 0;
    }
    le::Writer records;
    std::vector<std::uint32_t> sizes;
    for (const auto& c : certs) {
        le::Writer one;
        one.U32(c.size()).Put(c);
        if (m_hash) VRKHashData(m_hash, one.view().data(), static_cast<DWORD>(one.size()));
        sizes.push_back(static_cast<std::uint32_t>(one.size()));
        records.Put(one.view());
    }
    m_sizes = sizes;
    m_sizeSum = 0;
    for (auto s : sizes) m_sizeSum += s;
    m_certCount = static_cast<unsigned long>(sizes.size());
    IdentObj header;
    if (int st = CreateFileHeader(header, nullptr)) return st;
    unsigned long common[3];
    CreateCommonHeader(common, header.size());
    le::Writer file;
    file.U32(common[0]).U32(common[1]).U32(common[2]).Put(header).Put(records.view());
    m_certOffset = 12 + header.size();
    out.assign(reinterpret_cast<const char*>(file.view().data()), file.size());
    return 0;
}

int CCTFCertList::WriteFile(CTOOString* errorFile) {
    int st = 0;
    try {
        st = WriteLocked(errorFile);
    } catch (...) {
        st = TOOStatusOfCurrentException();
    }
    if (st && errorFile && errorFile->IsEmpty()) *errorFile = m_fileName;
    return st;
}

int CCTFCertList::WriteLocked(CTOOString* errorFile) {
    const std::string path = m_fileName.str();
    if (path.empty()) return TOOERR_BADARG;
    IPC::CReadWriteLock lock(LockName(path).c_str());
    std::optional<IPC::CWriteLocker> hold;
    try {
        hold.emplace(lock);
    } catch (const XTOOStatus& e) {
        if (errorFile) *errorFile = m_fileName;
        return e.Status() ? e.Status() : TOOERR_LOCKED;  // never written unlocked
    }
    // Another process may have changed the list since this object read it:
    // this object's own changes go onto the file as it is now.
    std::string existing;
    const int readSt = ReadListFile(path, existing);
    if (m_loaded && readSt == 0 && !existing.empty()) {
        CCTFCertList now(path.c_str());
        now.LoadFile();
        const auto certs = Apply(now.m_loadedCerts, m_loadedCerts, StoreCertificates(m_storage));
        const auto crls = Apply(now.m_loadedCrls, m_loadedCrls, StoreCrls(m_storage));
        CCTFCertStorage merged;
        if (!merged.OpenStorage(m_storage.GetName(), CERT_STORE_PROV_MEMORY, 0, 0, nullptr)) return TOOERR_BADFORMAT;
        for (const auto& c : certs)
            if (!merged.AddEncodetCertificate(c)) return LastErrorStatus();
        for (const auto& c : crls)
            if (!merged.AddEncodetCRL(c)) return LastErrorStatus();
        m_storage = merged;
    } else if (readSt && readSt != TOOERR_NOFILE) {
        if (errorFile) *errorFile = m_fileName;
        return readSt;
    }
    std::string image;
    if (int st = BuildImage(image)) return st;
    if (int st = WriteListFile(path, image)) {
        if (errorFile) *errorFile = m_fileName;
        return st;
    }
    m_loadedCerts = StoreCertificates(m_storage);
    m_loadedCrls = m_fileVersion == CTF_LIST_VERSION_PKCS7 ? StoreCrls(m_storage) : std::vector<IdentObj>();
    m_loaded = true;
    return 0;
}
