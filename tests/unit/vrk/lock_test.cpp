// The lock files of the platform layer: a lock that cannot be taken stops
// the change it guards, and nothing is written then.
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "cert/sysapi.h"
#include "cert/vrkscapi.h"
#include "platform/lockfile.h"
#include "testsupport.h"

namespace {
// Set while a test wants every flock(2) of this process to fail as it does
// on a file system without locks.
std::atomic<bool> g_locksFail{false};
}  // namespace

// Stands in for the C library's flock (the library's calls resolve to the
// program's definition first).
extern "C" int flock(int fd, int operation) {
    if (g_locksFail.load()) {
        errno = ENOLCK;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_flock, fd, operation));
}

namespace {

using VRKSCApi::CryptKey;
using VRKSCApi::CryptProvider;

class LockFailure : public certtest::HomeTest {
protected:
    void TearDown() override {
        g_locksFail = false;
        HomeTest::TearDown();
    }
    std::string ContainerFile(const char* name) { return home_.path() + "/local/Varnok/Containers/" + name + ".key"; }
};

TEST_F(LockFailure, KeySetChangesStopWhenTheLockIsRefused) {
    CryptProvider p;
    ASSERT_TRUE(VRKAcquireContext(&p, "held", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET | CRYPT_SILENT));
    CryptKey k;
    ASSERT_TRUE(VRKGenKey(p, AT_SIGNATURE, 0, &k));
    const std::string before = certtest::ReadFile(ContainerFile("held"));

    g_locksFail = true;
    // Storing a key, a certificate, a password change, a new and a removed
    // container: each fails with the lock's code and leaves the files alone.
    CryptKey x;
    EXPECT_FALSE(VRKGenKey(p, AT_KEYEXCHANGE, 0, &x));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    EXPECT_FALSE(VRKSetKeyParam(k, KP_CERTIFICATE, IdentObj("\x30\x00", 2)));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    EXPECT_FALSE(VRKSetProvParam(p, VRK_PP_CHANGE_PASSWORD, "new", 0));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    CryptProvider fresh;
    EXPECT_FALSE(VRKAcquireContext(&fresh, "fresh", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET | CRYPT_SILENT));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    HCRYPTPROV none = 0;
    EXPECT_FALSE(VRKAcquireContext(&none, "held", nullptr, VRK_PROV_TYPE_GOST, CRYPT_DELETEKEYSET));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    g_locksFail = false;

    EXPECT_EQ(certtest::ReadFile(ContainerFile("held")), before);
    struct stat st;
    EXPECT_NE(::stat(ContainerFile("fresh").c_str(), &st), 0);
    CryptKey again;
    EXPECT_FALSE(VRKGetUserKey(p, AT_KEYEXCHANGE, &again));
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
}

TEST_F(LockFailure, RegistryChangesStopWhenTheLockIsRefused) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\LockTest", 0, nullptr, 0, KEY_WRITE | KEY_READ, nullptr,
                              &key, nullptr),
              LONG(ERROR_SUCCESS));
    const DWORD one = 1, two = 2;
    ASSERT_EQ(RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), LONG(ERROR_SUCCESS));
    const std::string file = cert::platform::RegistryFile(HKEY_CURRENT_USER);
    const std::string before = certtest::ReadFile(file);

    g_locksFail = true;
    EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&two), 4),
              LONG(ERROR_LOCK_VIOLATION));
    g_locksFail = false;
    EXPECT_EQ(certtest::ReadFile(file), before);
    DWORD value = 0, size = sizeof value, type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size), LONG(ERROR_SUCCESS));
    EXPECT_EQ(value, one);
    RegCloseKey(key);
}

TEST_F(LockFailure, ALockFileThatCannotBeOpenedIsNotHeld) {
    certtest::TempDir dir;
    // A folder where the lock file should be, and a folder that is missing.
    ASSERT_EQ(::mkdir((dir / "taken.lock").c_str(), 0700), 0);
    cert::platform::LockFile onFolder(dir / "taken.lock");
    EXPECT_FALSE(onFolder.Held());
    EXPECT_EQ(onFolder.Error(), ERROR_DIRECTORY);
    cert::platform::LockFile nowhere(dir / "missing/x.lock");
    EXPECT_EQ(nowhere.Error(), ERROR_FILE_NOT_FOUND);
    // A symbolic link planted as the lock file is not followed.
    ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "planted.lock").c_str()), 0);
    cert::platform::LockFile planted(dir / "planted.lock");
    EXPECT_FALSE(planted.Held());
    struct stat st;
    EXPECT_NE(::stat((dir / "target").c_str(), &st), 0);

    cert::platform::LockFile held(dir / "ok.lock");
    EXPECT_TRUE(held.Held());
    EXPECT_EQ(held.Error(), ERROR_SUCCESS);
}

}  // namespace
