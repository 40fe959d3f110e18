#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cert/ipc.h"
#include "cert/lecursor.h"
#include "cert/structfiles.h"

namespace {

constexpr std::uint32_t kVersion = 1;

int ErrnoStatus(int err) { return WinErr2ToolsErr(cert::platform::ErrnoToWinError(err)); }

// The fixed header: "CREC", version, record size, user header size, record
// count (32 bits each), zeros up to kFixedHeaderSize.
struct FixedHeader {
    std::uint32_t version = kVersion;
    std::uint32_t recordSize = 0;
    std::uint32_t userHeaderSize = 0;
    std::uint32_t count = 0;

    // False when the bytes are not a record file's header.
    static bool Parse(const BYTE (&h)[CRecFile::kFixedHeaderSize], FixedHeader& out) {
        try {
            le::Reader r(h, sizeof h);
            r.Expect("CREC", "record file");
            FixedHeader f;
            f.version = r.U32();
            f.recordSize = r.U32();
            f.userHeaderSize = r.U32();
            f.count = r.U32();
            out = f;
            return true;
        } catch (const le::Error&) {
            return false;
        }
    }
    void Write(BYTE (&h)[CRecFile::kFixedHeaderSize]) const {
        le::Writer w;
        w.Code("CREC").U32(version).U32(recordSize).U32(userHeaderSize).U32(count);
        w.Zeros(sizeof h - w.size());
        std::memcpy(h, w.view().data(), sizeof h);
    }
};

// Whole transfers or the reason why not: 0, an errno value, or -1 for a
// read that reached the end of the file first.
int ReadAt(int fd, void* buf, std::size_t n, off_t at) {
    auto* p = static_cast<char*>(buf);
    while (n > 0) {
        ssize_t r = ::pread(fd, p, n, at);
        if (r < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (r == 0) return -1;
        p += r;
        n -= static_cast<std::size_t>(r);
        at += r;
    }
    return 0;
}
int WriteAt(int fd, const void* buf, std::size_t n, off_t at) {
    auto* p = static_cast<const char*>(buf);
    while (n > 0) {
        ssize_t r = ::pwrite(fd, p, n, at);
        if (r < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
        at += r;
    }
    return 0;
}
int IoStatus(int r) { return r < 0 ? TOOERR_SHORTREAD : ErrnoStatus(r); }

// Holds an OFD lock on the record file for one operation.
class FileGuard {
public:
    FileGuard(int fd, int type) : m_fd(fd), m_err(IPC::FileLock(fd, type)) {}
    ~FileGuard() {
        if (m_err == 0) IPC::FileLock(m_fd, F_UNLCK);
    }
    int Error() const { return m_err; }

private:
    int m_fd;
    int m_err;
};

}  // namespace

CRecFile::CRecFile(const char* name, int mode, long recordSize, long userHeaderSize) {
    Open(name, mode, recordSize, userHeaderSize);
}

CRecFile::CRecFile(const char* name, const char* modeText, long recordSize, long userHeaderSize) {
    Open(name, modeText, recordSize, userHeaderSize);
}

CRecFile::~CRecFile() { Close(); }

void CRecFile::Close() {
    std::lock_guard<std::mutex> g(m_mutex);
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

long CRecFile::HeaderSize() const { return kFixedHeaderSize + static_cast<long>(m_user.size()); }

CTOOString CRecFile::FormatError(const char* function, unsigned long detail) const try {
    CTOOString s;
    s.Format("File=<%s> Finction=<%s> Adv=<%08X> Size=%d Mode=%d Rc=%d", m_name.c_str(), function ? function : "",
             static_cast<unsigned>(detail), static_cast<int>(m_count), m_mode, m_rc);
    return s;
} catch (...) {
    TOORethrowAsStatus("CRecFile::FormatError");
}

bool CRecFile::SetError(int rc, const char* function, unsigned long detail) {
    m_rc = rc;
    m_errText = FormatError(function, detail);
    return false;
}

bool CRecFile::SetErrorFromException(const char* function) {
    const int rc = TOOStatusOfCurrentException();
    std::lock_guard<std::mutex> g(m_mutex);
    return SetError(rc, function);
}

bool CRecFile::Open(const char* name, const char* modeText, long recordSize, long userHeaderSize) try {
    std::string m = modeText ? modeText : "";
    int mode = -1;
    if (m == "rb" || m == "rbc" || m == "r")
        mode = ModeReadOnly;
    else if (m == "rb+" || m == "rbc+" || m == "r+b" || m == "r+")
        mode = ModeUpdate;
    else if (m == "wb" || m == "wbc" || m == "wb+" || m == "w+b" || m == "w")
        mode = ModeCreate;
    return Open(name, mode, recordSize, userHeaderSize);
} catch (...) {
    return SetErrorFromException("Open");
}

bool CRecFile::Open(const char* name, int mode, long recordSize, long userHeaderSize) try {
    Close();
    std::lock_guard<std::mutex> g(m_mutex);
    m_name = name ? name : "";
    m_mode = mode;
    m_recordSize = recordSize;
    m_count = 0;
    m_countDirty = false;
    if (m_name.IsEmpty() || mode < ModeCreate || mode > ModeReadOnly || recordSize <= 0 || userHeaderSize < 0)
        return SetError(TOOERR_BADARG, "Open");
    m_user.assign(static_cast<std::size_t>(userHeaderSize), 0);

    const std::string path = cert::platform::NativePath(m_name.str());
    int flags = O_CLOEXEC | (mode == ModeReadOnly ? O_RDONLY : O_RDWR | O_CREAT);
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) return SetError(ErrnoStatus(errno), "Open");

    // Emptying and first initialisation happen under the write lock so that
    // a process that has the file open already never sees half a header.
    int rc = 0;
    {
        FileGuard lock(fd, mode == ModeReadOnly ? F_RDLCK : F_WRLCK);
        struct stat st {};
        if (lock.Error() != 0)
            rc = ErrnoStatus(lock.Error());
        else if (::fstat(fd, &st) != 0)
            rc = ErrnoStatus(errno);
        else if (mode == ModeCreate || (mode == ModeUpdate && st.st_size == 0)) {
            if (mode == ModeCreate && ::ftruncate(fd, 0) != 0) rc = ErrnoStatus(errno);
            m_fd = fd;
            if (rc == 0 && !WriteFixedHeader(0)) rc = m_rc;
            if (rc == 0) {
                int w = WriteAt(fd, m_user.data(), m_user.size(), kFixedHeaderSize);
                if (w != 0) rc = IoStatus(w);
            }
            m_fd = -1;
        } else {
            BYTE h[kFixedHeaderSize];
            FixedHeader f;
            int r = ReadAt(fd, h, sizeof h, 0);
            if (r != 0)
                rc = IoStatus(r);
            else if (!FixedHeader::Parse(h, f) || f.version != kVersion ||
                     f.recordSize != static_cast<std::uint32_t>(recordSize) ||
                     f.userHeaderSize != static_cast<std::uint32_t>(userHeaderSize))
                rc = TOOERR_BADFORMAT;
            else {
                m_count = static_cast<long>(f.count);
                r = ReadAt(fd, m_user.data(), m_user.size(), kFixedHeaderSize);
                if (r != 0) rc = IoStatus(r);
            }
        }
    }
    if (rc != 0) {
        ::close(fd);
        return SetError(rc, "Open");
    }
    m_fd = fd;
    return Ok();
} catch (...) {
    return SetErrorFromException("Open");
}

bool CRecFile::ReadCount(long& count) {
    BYTE h[kFixedHeaderSize];
    int r = ReadAt(m_fd, h, sizeof h, 0);
    if (r != 0) {
        m_rc = IoStatus(r);
        return false;
    }
    FixedHeader f;
    if (!FixedHeader::Parse(h, f)) {
        m_rc = TOOERR_BADFORMAT;
        return false;
    }
    count = static_cast<long>(f.count);
    m_count = count;
    return true;
}

bool CRecFile::WriteFixedHeader(long count) {
    BYTE h[kFixedHeaderSize];
    FixedHeader f;
    f.recordSize = static_cast<std::uint32_t>(m_recordSize);
    f.userHeaderSize = static_cast<std::uint32_t>(m_user.size());
    f.count = static_cast<std::uint32_t>(count);
    f.Write(h);
    int w = WriteAt(m_fd, h, sizeof h, 0);
    if (w != 0) {
        m_rc = IoStatus(w);
        return false;
    }
    m_count = count;
    return true;
}

bool CRecFile::CheckWritable(const char* function, unsigned long detail) {
    if (m_fd < 0) return SetError(TOOERR_BADARG, function, detail);
    if (m_mode == ModeReadOnly) return SetError(TOOERR_READONLY, function, detail);
    return true;
}

long CRecFile::Size() try {
    std::lock_guard<std::mutex> g(m_mutex);
    if (m_fd < 0) return -1;
    FileGuard lock(m_fd, F_RDLCK);
    long count = m_count;
    if (lock.Error() != 0)
        m_rc = ErrnoStatus(lock.Error());
    else if (ReadCount(count))
        m_rc = 0;
    return m_count;
} catch (...) {
    return SetErrorFromException("Size"), -1;
}

void CRecFile::SetSize(long count) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_count = count < 0 ? 0 : count;
    m_countDirty = true;
}

bool CRecFile::Get(long index, void* record) try {
    static constexpr const char* kFn = "Get record";
    std::lock_guard<std::mutex> g(m_mutex);
    if (m_fd < 0 || index < 0 || !record) return SetError(TOOERR_BADARG, kFn, static_cast<unsigned long>(index));
    FileGuard lock(m_fd, F_RDLCK);
    if (lock.Error() != 0) return SetError(ErrnoStatus(lock.Error()), kFn, static_cast<unsigned long>(index));
    long count = 0;
    if (!ReadCount(count)) return SetError(m_rc, kFn, static_cast<unsigned long>(index));
    if (index >= count) return SetError(TOOERR_BADARG, kFn, static_cast<unsigned long>(index));
    int r = ReadAt(m_fd, record, static_cast<std::size_t>(m_recordSize), HeaderSize() + off_t(index) * m_recordSize);
    if (r != 0) return SetError(IoStatus(r), kFn, static_cast<unsigned long>(index));
    return Ok();
} catch (...) {
    return SetErrorFromException("Get record");
}

bool CRecFile::Put(long index, const void* record) try {
    static constexpr const char* kFn = "Put record";
    std::lock_guard<std::mutex> g(m_mutex);
    if (!CheckWritable(kFn, static_cast<unsigned long>(index))) return false;
    if (index < 0 || !record) return SetError(TOOERR_BADARG, kFn, static_cast<unsigned long>(index));
    FileGuard lock(m_fd, F_WRLCK);
    if (lock.Error() != 0) return SetError(ErrnoStatus(lock.Error()), kFn, static_cast<unsigned long>(index));
    long count = 0;
    if (!ReadCount(count)) return SetError(m_rc, kFn, static_cast<unsigned long>(index));
    // Writing just past the end appends.
    if (index > count) return SetError(TOOERR_BADARG, kFn, static_cast<unsigned long>(index));
    int w = WriteAt(m_fd, record, static_cast<std::size_t>(m_recordSize), HeaderSize() + off_t(index) * m_recordSize);
    if (w != 0) return SetError(IoStatus(w), kFn, static_cast<unsigned long>(index));
    if (index == count && !WriteFixedHeader(count + 1)) return SetError(m_rc, kFn, static_cast<unsigned long>(index));
    return Ok();
} catch (...) {
    return SetErrorFromException("Put record");
}

bool CRecFile::Add(const void* record) try {
    static constexpr const char* kFn = "Add record";
    std::lock_guard<std::mutex> g(m_mutex);
    if (!CheckWritable(kFn, 0)) return false;
    if (!record) return SetError(TOOERR_BADARG, kFn);
    FileGuard lock(m_fd, F_WRLCK);
    if (lock.Error() != 0) return SetError(ErrnoStatus(lock.Error()), kFn);
    long count = 0;
    if (!ReadCount(count)) return SetError(m_rc, kFn);
    // The record goes first: a failure between the two writes leaves an
    // uncounted tail, never a counted record that is not there.
    int w = WriteAt(m_fd, record, static_cast<std::size_t>(m_recordSize), HeaderSize() + off_t(count) * m_recordSize);
    if (w != 0) return SetError(IoStatus(w), kFn, static_cast<unsigned long>(count));
    if (!WriteFixedHeader(count + 1)) return SetError(m_rc, kFn, static_cast<unsigned long>(count));
    return Ok();
} catch (...) {
    return SetErrorFromException("Add record");
}

bool CRecFile::GetHeader() { return GetHeader(nullptr); }

bool CRecFile::GetHeader(void* userHeader) try {
    static constexpr const char* kFn = "GetHeader";
    std::lock_guard<std::mutex> g(m_mutex);
    if (m_fd < 0) return SetError(TOOERR_BADARG, kFn);
    FileGuard lock(m_fd, F_RDLCK);
    if (lock.Error() != 0) return SetError(ErrnoStatus(lock.Error()), kFn);
    long count = 0;
    if (!ReadCount(count)) return SetError(m_rc, kFn);
    int r = ReadAt(m_fd, m_user.data(), m_user.size(), kFixedHeaderSize);
    if (r != 0) return SetError(IoStatus(r), kFn);
    m_countDirty = false;
    if (userHeader && !m_user.empty()) std::memcpy(userHeader, m_user.data(), m_user.size());
    return Ok();
} catch (...) {
    return SetErrorFromException("GetHeader");
}

bool CRecFile::PutHeader() { return PutHeader(nullptr); }

bool CRecFile::PutHeader(const void* userHeader) try {
    static constexpr const char* kFn = "PutHeader";
    std::lock_guard<std::mutex> g(m_mutex);
    if (!CheckWritable(kFn, 0)) return false;
    if (userHeader && !m_user.empty()) std::memcpy(m_user.data(), userHeader, m_user.size());
    FileGuard lock(m_fd, F_WRLCK);
    if (lock.Error() != 0) return SetError(ErrnoStatus(lock.Error()), kFn);
    // Without SetSize the count on disk stands: another process may have
    // added records since this object last looked.
    long count = m_count;
    if (!m_countDirty && !ReadCount(count)) return SetError(m_rc, kFn);
    if (!WriteFixedHeader(count)) return SetError(m_rc, kFn);
    int w = WriteAt(m_fd, m_user.data(), m_user.size(), kFixedHeaderSize);
    if (w != 0) return SetError(IoStatus(w), kFn);
    m_countDirty = false;
    return Ok();
} catch (...) {
    return SetErrorFromException("PutHeader");
}
