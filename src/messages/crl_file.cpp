// CRL files: the CRL set of a signed data file edited under a lock and
// replaced whole.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "cert/crlfile.h"
#include "cert/ipc.h"
#include "cert/logdisp.h"
#include "cert/oids.h"
#include "cert/platform.h"
#include "cert/signeddata.h"
#include "platform/files.h"

namespace {

// A CRL file holds CRLs, not content; one this large is not a CRL file.
constexpr std::size_t kMaxCrlFile = std::size_t{1} << 30;

constexpr const char kUpdatePlace[] = "CTFUpdateCRLInFile";
constexpr const char kDeletePlace[] = "CTFDeleteCrlFromFile";

[[noreturn]] void Fail(int status, const std::string& place) { throw XTOOStatus(status, place.c_str()); }

// The name every process uses for the lock of one file: its absolute,
// normalised path, so that "./a.p7" and "/x/a.p7" meet.
std::string LockName(const std::string& path) {
    std::error_code ec;
    std::filesystem::path abs = std::filesystem::absolute(path, ec);
    if (ec) abs = path;
    return "cert crl file " + abs.lexically_normal().string();
}

// One CRL as the file edits see it: its issuer, authority key identifier
// (the extension's value and its key id) and number.
struct CrlFacts {
    CCTFCRLContext context;
    CCTFX509Name issuer;
    IdentObj akiValue;
    bool hasAki = false;
};

bool Facts(const IdentObj& der, CrlFacts& out) {
    CCTFCRLContext context;
    if (!context.CreateCRLContext(der) || !context.IsInitialized()) return false;
    const CRL_INFO* info = context.GetContext()->pCrlInfo;
    out.issuer = CCTFX509Name(info->Issuer);
    for (DWORD i = 0; i < info->cExtension; ++i) {
        const CERT_EXTENSION& e = info->rgExtension[i];
        if (e.pszObjId && std::strcmp(e.pszObjId, cert::oids::kAuthorityKeyIdentifier) == 0) {
            out.akiValue = IdentObj(e.Value);
            out.hasAki = true;
            break;
        }
    }
    out.context = std::move(context);
    return true;
}

// Names that do not decode are equal only byte for byte.
bool SameIssuer(const CCTFX509Name& a, const CCTFX509Name& b) {
    try {
        return a == b;
    } catch (const XTOOStatus&) {
        return static_cast<const IdentObj&>(a) == static_cast<const IdentObj&>(b);
    }
}

// The file under the lock: read whole and decoded, then replaced whole.
class LockedCrlFile {
public:
    explicit LockedCrlFile(const std::string& path) : m_path(path), m_lock(LockName(path).c_str()) {
        if (path.empty()) Fail(TOOERR_BADARG, "no file name");
        m_lock.LockWrite();
        m_locked = true;
    }
    ~LockedCrlFile() {
        if (m_locked) m_lock.UnlockWrite();
    }
    LockedCrlFile(const LockedCrlFile&) = delete;
    LockedCrlFile& operator=(const LockedCrlFile&) = delete;

    // False when there is no file (and `createMissing` is not set): the
    // signed data read, or an empty one.
    bool Load(bool createMissing) {
        struct stat st {};
        if (::lstat(m_path.c_str(), &st) != 0) {
            const int err = errno;
            if (err != ENOENT) Fail(WinErr2ToolsErr(cert::platform::PathError(err, m_path)), m_path);
            if (!createMissing) return false;
            m_data = CCTFSignData();
            m_existed = false;
            return true;
        }
        // Only a regular file is read and replaced: a link may point
        // anywhere, and a FIFO or device cannot take a work copy's place.
        if (!S_ISREG(st.st_mode)) Fail(TOOERR_NOTSUPPORTED, m_path);
        std::string bytes;
        if (const DWORD e = cert::platform::ReadWholeFile(m_path, bytes, kMaxCrlFile)) Fail(WinErr2ToolsErr(e), m_path);
        CCTFSignData data;
        int status = 0;
        if (!data.ReadObject(reinterpret_cast<const unsigned char*>(bytes.data()),
                             static_cast<unsigned long>(bytes.size()), &status))
            Fail(status ? status : TOOERR_DER_FORMAT, m_path);
        m_data = std::move(data);
        m_existed = true;
        return true;
    }

    CCTFSignData& Data() { return m_data; }

    void Save() {
        int status = 0;
        const IdentObj out = m_data.WriteObject(&status);
        if (status) Fail(status, m_path);
        cert::platform::OutputFile file;
        DWORD e = file.Open(m_path, cert::platform::kModeAsBefore, !m_existed);
        if (!e && file.InPlace()) Fail(TOOERR_NOTSUPPORTED, m_path);
        if (!e) e = file.Write(out.data(), out.size());
        if (!e) e = file.Commit();
        if (e) Fail(WinErr2ToolsErr(e), m_path);
    }

private:
    std::string m_path;
    IPC::CReadWriteLock m_lock;
    bool m_locked = false;
    bool m_existed = false;
    CCTFSignData m_data;
};

// The steps of putting one CRL into the set.
void PutCrl(std::list<IdentObj>& crls, const IdentObj& newCrl, bool matchNumber,
            const std::list<CCTFX509Name>& issuersToDrop, CCTFCertStorage* storage) {
    CrlFacts added;
    IdentObj number;
    bool numbered = false;
    if (!newCrl.IsEmpty()) {
        if (!Facts(newCrl, added)) {
            const int status = WinErr2ToolsErr(GetLastError());
            Fail(status ? status : TOOERR_DER_FORMAT, "the CRL to add");
        }
        if (matchNumber) {
            number = added.context.GetSerialNumber();
            numbered = true;
        }
        for (auto it = crls.begin(); it != crls.end(); ++it) {
            CrlFacts old;
            // A CRL of the file that does not decode is nobody's: it stays.
            if (!Facts(*it, old)) continue;
            if (SameIssuer(old.issuer, added.issuer) && old.hasAki == added.hasAki && old.akiValue == added.akiValue) {
                crls.erase(it);
                break;
            }
        }
    }
    if (numbered || !issuersToDrop.empty()) {
        for (auto it = crls.begin(); it != crls.end();) {
            CrlFacts old;
            bool drop = false;
            if (Facts(*it, old)) {
                if (numbered) {
                    const IdentObj& theirs = old.context.GetSerialNumber();
                    drop = number.size() > 4 && theirs.size() > 4 && number.data()[2] == theirs.data()[2] &&
                           number.data()[3] == theirs.data()[3];
                }
                for (auto n = issuersToDrop.begin(); !drop && n != issuersToDrop.end(); ++n)
                    drop = SameIssuer(old.issuer, *n);
            }
            if (!drop) {
                ++it;
                continue;
            }
            if (storage && !storage->AddEncodetCRL(*it)) {
                const int status = WinErr2ToolsErr(GetLastError());
                Fail(status ? status : TOOERR_WRITE, "the storage of dropped CRLs");
            }
            it = crls.erase(it);
        }
    }
    if (!newCrl.IsEmpty()) crls.push_back(newCrl);
}

// The interfaces without a status: the diagnostics log and the last error.
int Answered(const char* function, int status, const char* place) {
    if (CLogDisp* d = CurrentLogDisp(); d && d->Flag())
        d->Put(((place && *place ? std::string(place) : std::string(function)) + ": status ").c_str(),
               static_cast<long>(status));
    const DWORD win = ToolsErr2WinErr(status);
    SetLastError(win ? win : static_cast<DWORD>(status));
    return 0;
}

}  // namespace

bool CTFUpdateCRLsInFile(const std::string& fileName, const std::list<IdentObj>& newCrls, bool matchNumber,
                         const std::list<CCTFX509Name>& issuersToDrop, CCTFCertStorage* storage, bool createMissing,
                         int* error, CTOOString* place) {
    return TOOGuarded(kUpdatePlace, error, place, [&] {
        LockedCrlFile file(fileName);
        if (!file.Load(createMissing)) Fail(TOOERR_NOFILE, fileName);
        // The edits go to a copy of the set: nothing is kept unless the
        // whole file is written.
        std::list<IdentObj> crls = file.Data().m_crls;
        if (newCrls.empty()) PutCrl(crls, IdentObj(), matchNumber, issuersToDrop, storage);
        for (const IdentObj& crl : newCrls) PutCrl(crls, crl, matchNumber, issuersToDrop, storage);
        file.Data().m_crls = std::move(crls);
        file.Save();
    });
}

int CTFUpdateCRLInFile(const CTOOString& fileName, const IdentObj& newCrl, bool matchNumber,
                       const std::list<CCTFX509Name>& issuersToDrop, CCTFCertStorage* storage) {
    int status = 0;
    CTOOString place;
    const std::list<IdentObj> crls = newCrl.IsEmpty() ? std::list<IdentObj>{} : std::list<IdentObj>{newCrl};
    try {
        if (CTFUpdateCRLsInFile(fileName.str(), crls, matchNumber, issuersToDrop, storage, false, &status, &place))
            return 1;
    } catch (...) {
        status = TOOERR_NOMEM;  // only the list above can throw
    }
    return Answered(kUpdatePlace, status, place.c_str());
}

bool CTFDeleteCrlFromFile(bool byNumber, const CCTFX509Name& issuer, const IdentObj& id, const std::string& fileName,
                          int* error, CTOOString* place) {
    return TOOGuarded(kDeletePlace, error, place, [&] {
        LockedCrlFile file(fileName);
        if (!file.Load(false)) Fail(TOOERR_NOFILE, fileName);
        std::list<IdentObj>& crls = file.Data().m_crls;
        for (auto it = crls.begin(); it != crls.end(); ++it) {
            CrlFacts facts;
            if (!Facts(*it, facts) || !SameIssuer(facts.issuer, issuer)) continue;
            const IdentObj& theirs = byNumber ? facts.context.GetSerialNumber() : facts.context.GetIssuerKeyId();
            if (theirs != id) continue;
            crls.erase(it);
            file.Save();
            return;
        }
        Fail(CTFERR_CRL_NOT_IN_FILE, "CRL to Del");
    });
}

int CTFDeleteCrlFromFile(bool byNumber, CCTFX509Name issuer, const IdentObj& id, const char* fileName) {
    int status = 0;
    CTOOString place;
    try {
        if (CTFDeleteCrlFromFile(byNumber, issuer, id, std::string(fileName ? fileName : ""), &status, &place))
            return 1;
    } catch (...) {
        status = TOOERR_NOMEM;
    }
    return Answered(kDeletePlace, status, place.c_str());
}
