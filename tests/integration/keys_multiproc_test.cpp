// The key lock and the user's keys between processes: a process holding
// the lock "CCTFUser_GetUserKey()" makes another's GetUserKey wait, and
// several processes binding, listing, copying and deleting at once lose no
// binding and never get a key that fails its proof.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <thread>

#include "../unit/keys/user_test_util.h"
#include "cert/ipc.h"

namespace {

constexpr const char* kPassword = "multi";

// A container with a signature key, its certificate bound.
CCTFCertContext MakeBound(const std::string& name) {
    CCTFUser user;
    int status = 0;
    EXPECT_EQ(user.LogInUser(name.c_str(), kPassword, kPassword, cert::oids::kGostR3410_2012_256, true, true, false),
              0);
    EXPECT_NE(user.CreateNewKeys(cert::oids::kGostR3410_2012_256, "", &status), 0) << status;
    CCTFCertContext c = usertest::CertFor(user.GetPublicKey(), name, AT_SIGNATURE);
    EXPECT_NE(user.PutCertificate(c, &status), 0) << status;
    return c;
}

BOOL Answer(const char*, DWORD, DWORD, cert::Secret& password, void*) {
    password = cert::Secret(kPassword);
    return TRUE;
}

class KeysMultiProcess : public certtest::HomeTest {};

}  // namespace

TEST_F(KeysMultiProcess, AProcessHoldingTheKeyLockMakesAnothersGetUserKeyWait) {
    const CCTFCertContext cert = MakeBound("waiter");
    const std::string order = home_ / "order", held = home_ / "held";
    const pid_t holder = certtest::ForkChild([&] {
        IPC::CReadWriteLock lock("CCTFUser_GetUserKey()");
        IPC::CWriteLocker hold(lock);
        certtest::AppendFile(held, "held");
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        certtest::AppendFile(order, "released\n");
        return 0;
    });
    ASSERT_TRUE(certtest::WaitForFile(held));
    CCTFUser user;
    ASSERT_EQ(user.LogInUser("waiter", kPassword, kPassword, nullptr, false, true, false), 0);
    int status = 0;
    EXPECT_NE(user.GetUserKey(0, &cert, &status), 0u) << status;
    certtest::AppendFile(order, "got the key\n");
    ASSERT_EQ(certtest::ExitOf(holder), 0);
    EXPECT_EQ(certtest::ReadFile(order), "released\ngot the key\n");
    // The lock's file is where the named locks live.
    EXPECT_EQ(::access(IPC::LockFilePath("CCTFUser_GetUserKey()").c_str(), F_OK), 0);
}

TEST_F(KeysMultiProcess, BindingCopyingAndDeletingAtOnceLoseNoBinding) {
    constexpr int kProcesses = 4, kRounds = 4;
    std::vector<CCTFCertContext> certs;
    for (int i = 0; i < kProcesses; ++i) certs.push_back(MakeBound("user" + std::to_string(i)));
    std::vector<pid_t> children;
    for (int i = 0; i < kProcesses; ++i) {
        children.push_back(certtest::ForkChild([&, i] {
            const std::string name = "user" + std::to_string(i);
            VRKSetPasswordPrompt(Answer, nullptr);
            for (int round = 0; round < kRounds; ++round) {
                CCTFUser user;
                int status = 0;
                if (user.LogInUser(name.c_str(), kPassword, kPassword, nullptr, false, true, false)) return 1;
                if (!user.PutCertificate(certs[i], &status)) return 2;
                std::list<CCTFCertContext> list;
                if (!user.GetCertificateList(list, &status) || list.size() != 1) return 3;
                for (const auto& c : list)
                    if (!user.CheckSignKeys(c, &status)) return 4;
                // Every process's container, while the others change theirs.
                for (int j = 0; j < kProcesses; ++j) {
                    CCTFUser other;
                    const std::string otherName = "user" + std::to_string(j);
                    if (other.LogInUser(otherName.c_str(), kPassword, kPassword, nullptr, false, true, false)) return 5;
                    if (!other.CheckSignKeys(certs[j], &status)) return 6;
                }
                const std::string copy = name + "-copy" + std::to_string(round);
                if (CTFCopyKeys(name, copy, false, nullptr)) return 7;
                CCTFUser copied;
                if (copied.LogInUser(copy.c_str(), kPassword, kPassword, nullptr, false, true, false) ||
                    !copied.CheckSignKeys(certs[i], &status))
                    return 8;
                copied.Reset();
                if (vrk::ListContainerKeys(false).empty()) return 9;
                HCRYPTPROV gone = 0;
                if (!VRKAcquireContext(&gone, copy.c_str(), VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_DELETEKEYSET))
                    return 10;
            }
            return 0;
        }));
    }
    for (pid_t pid : children) EXPECT_EQ(certtest::ExitOf(pid), 0);
    for (int i = 0; i < kProcesses; ++i) {
        CCTFUser user;
        const std::string name = "user" + std::to_string(i);
        ASSERT_EQ(user.LogInUser(name.c_str(), kPassword, kPassword, nullptr, false, true, false), 0);
        std::list<CCTFCertContext> list;
        int status = 0;
        ASSERT_NE(user.GetCertificateList(list, &status), 0) << name << ": " << status;
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list.front(), certs[i]);
        EXPECT_NE(user.CheckSignKeys(list.front(), &status), 0) << status;
    }
    EXPECT_EQ(vrk::ListContainerKeys(false).size(), std::size_t(kProcesses)) << "every copy was deleted";
}
