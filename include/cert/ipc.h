// Reader/writer locks for threads and, when named, for processes.
//
// An unnamed lock serialises the threads of one process. A named lock also
// serialises every process that uses the same name: the process side is an
// open-file-description lock on a lock file under $CERT_HOME/common/locks/.
// All lock objects of one process that carry the same name share one state,
// so a thread that holds the lock through one object may take it again
// through another.
//
// Recursion: the thread holding the exclusive side may take either side
// again; a thread holding the shared side may take the shared side again. A
// thread holding only the shared side that asks for the exclusive side waits
// until it is the last reader (an upgrade); when another thread of the
// process is already upgrading, the request throws XTOOStatus(TOOERR_LOCKED)
// instead of deadlocking. Between processes nothing detects that: two
// processes upgrading at once wait for each other, so flows that may write
// take the exclusive side from the start.
//
// A lock file that this user may only read (another user made it, the lock
// folder is read-only) still carries the shared side; the exclusive side
// then fails with access denied.
//
// A child of fork() opens its own descriptor on first use; forking while a
// thread holds a named lock is not supported.
#pragma once

#include <memory>
#include <string>

#include "cert/export.h"
#include "cert/tools.h"

namespace IPC {

class CERT_API CReadWriteLock {
public:
    // A null or empty name makes a lock of this process only.
    explicit CReadWriteLock(const char* name = nullptr);
    ~CReadWriteLock();
    CReadWriteLock(const CReadWriteLock&) = delete;
    CReadWriteLock& operator=(const CReadWriteLock&) = delete;

    // Block until granted. A named lock whose lock file cannot be opened or
    // locked throws XTOOStatus with the reason (place "IPC::CReadWriteLock").
    void LockRead();
    void UnlockRead();
    void LockWrite();
    void UnlockWrite();

    const char* Name() const { return m_name.c_str(); }
    bool IsNamed() const { return !m_name.empty(); }

    struct State;

private:
    std::string m_name;
    std::shared_ptr<State> m_state;
};

// Holds the shared side for its lifetime.
class CERT_API CReadLocker {
public:
    explicit CReadLocker(CReadWriteLock& lock) : m_lock(lock) { m_lock.LockRead(); }
    explicit CReadLocker(CReadWriteLock* lock) : CReadLocker(*lock) {}
    ~CReadLocker() { m_lock.UnlockRead(); }
    CReadLocker(const CReadLocker&) = delete;
    CReadLocker& operator=(const CReadLocker&) = delete;

private:
    CReadWriteLock& m_lock;
};

// Holds the exclusive side for its lifetime.
class CERT_API CWriteLocker {
public:
    explicit CWriteLocker(CReadWriteLock& lock) : m_lock(lock) { m_lock.LockWrite(); }
    explicit CWriteLocker(CReadWriteLock* lock) : CWriteLocker(*lock) {}
    ~CWriteLocker() { m_lock.UnlockWrite(); }
    CWriteLocker(const CWriteLocker&) = delete;
    CWriteLocker& operator=(const CWriteLocker&) = delete;

private:
    CReadWriteLock& m_lock;
};

// The exclusive side as well; kept as its own name for the callers that use it.
class CERT_API CReadWriteLocker : public CWriteLocker {
public:
    using CWriteLocker::CWriteLocker;
};

// The lock file that a named lock uses: $CERT_HOME/common/locks/ + the name
// with every byte outside [A-Za-z0-9._-] turned into '_' (cut to 64 bytes)
// + '-' + the 64-bit FNV-1a hash of the whole name in 16 hex digits + ".lock".
CERT_API std::string LockFilePath(const char* name);

// Whole-file open-file-description lock on `fd`: type is F_RDLCK, F_WRLCK or
// F_UNLCK; waits when `wait` is set. Returns 0 or the errno value.
CERT_API int FileLock(int fd, int type, bool wait = true);

}  // namespace IPC
