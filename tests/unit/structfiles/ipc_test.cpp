#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "cert/ipc.h"
#include "testsupport.h"

namespace {

class Lock : public certtest::HomeTest {};

// Waits for `flag` for a long while; false only when something is broken.
bool WaitFor(const std::atomic<bool>& flag) {
    for (int i = 0; i < 20000 && !flag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return flag;
}

// Writers keep a two-word invariant that readers check; any overlap of a
// writer with a reader or writer shows as a broken pair or a lost increment.
void Hammer(const char* name) {
    IPC::CReadWriteLock lock(name);
    long a = 0, b = 0;
    std::atomic<int> broken{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            // Half the threads use their own object of the same name.
            IPC::CReadWriteLock own(name);
            IPC::CReadWriteLock& l = (name && t % 2) ? own : lock;
            for (int i = 0; i < 2000; ++i) {
                if (i % 4 == 0) {
                    IPC::CWriteLocker w(l);
                    long x = a;
                    std::this_thread::yield();
                    a = x + 1;
                    b = -a;
                } else {
                    IPC::CReadLocker r(l);
                    if (a != -b) ++broken;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(broken, 0);
    EXPECT_EQ(a, 4 * 500);
}

}  // namespace

TEST_F(Lock, ExcludesThreadsUnnamedAndNamed) {
    Hammer(nullptr);
    Hammer("threads test");
}

TEST_F(Lock, ExclusiveHoldIsRecursiveAcrossObjectsOfOneName) {
    for (const char* name : {static_cast<const char*>(nullptr), "CCTFUser_GetUserKey()"}) {
        IPC::CReadWriteLock outer(name);
        std::atomic<bool> got{false};
        std::thread other;
        {
            IPC::CReadWriteLocker w1(outer);
            IPC::CReadWriteLock inner(name ? name : "");
            IPC::CReadWriteLock& again = name ? inner : outer;
            IPC::CWriteLocker w2(again);
            IPC::CReadLocker r(again);
            IPC::CReadLocker r2(outer);
            other = std::thread([&] {
                IPC::CReadLocker blocked(outer);
                got = true;
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_FALSE(got);
        }
        other.join();  // everything was given back
        EXPECT_TRUE(got);
    }
}

TEST_F(Lock, ReadersShareAndALoneReaderMayUpgrade) {
    IPC::CReadWriteLock lock("shared readers");
    std::atomic<bool> secondIn{false}, release{false};
    std::thread second([&] {
        IPC::CReadLocker r(lock);
        secondIn = true;
        WaitFor(release);
    });
    {
        IPC::CReadLocker r(lock);
        ASSERT_TRUE(WaitFor(secondIn));  // two readers at once
        release = true;
        second.join();
        IPC::CWriteLocker up(lock);  // now the only reader
        IPC::CReadLocker nested(lock);
    }
    IPC::CWriteLocker w(lock);
}

TEST_F(Lock, TwoUpgradersDoNotDeadlock) {
    IPC::CReadWriteLock lock;
    std::atomic<int> readers{0}, refused{0};
    auto body = [&] {
        IPC::CReadLocker r(lock);
        ++readers;
        while (readers < 2) std::this_thread::yield();
        try {
            IPC::CWriteLocker w(lock);
        } catch (const XTOOStatus& e) {
            EXPECT_EQ(e.Status(), TOOERR_LOCKED);
            ++refused;
        }
    };
    std::thread a(body), b(body);
    a.join();
    b.join();
    EXPECT_EQ(refused, 1);
}

TEST_F(Lock, LockFileNamesAreSafeAndDistinct) {
    std::string p1 = IPC::LockFilePath("C:\\dir/CERTSEND.DAT");
    std::string p2 = IPC::LockFilePath("C:_dir_CERTSEND.DAT");
    EXPECT_NE(p1, p2);
    EXPECT_EQ(p1.rfind(home_.path() + "/common/locks/C%3A%5Cdir%2FCERTSEND.DAT-", 0), 0u) << p1;
    EXPECT_EQ(p2.rfind(home_.path() + "/common/locks/C%3A_dir_CERTSEND.DAT-", 0), 0u) << p2;
    std::string longName = IPC::LockFilePath(std::string(500, 'x').c_str());
    EXPECT_EQ(longName.size() - longName.rfind('/') - 1, 64u + 17u + 5u);
    // The cut never leaves half an escape.
    for (std::size_t plain : {61u, 62u, 63u}) {
        std::string p = IPC::LockFilePath((std::string(plain, 'x') + "////").c_str());
        std::string file = p.substr(p.rfind('/') + 1);
        std::string safe = file.substr(0, file.size() - 17 - 5);
        EXPECT_EQ(safe.rfind('x'), plain - 1) << file;
        EXPECT_EQ((safe.size() - plain) % 3, 0u) << file;
        EXPECT_LE(safe.size(), 64u) << file;
    }
    {
        IPC::CReadWriteLock l("C:\\dir/CERTSEND.DAT");
        IPC::CWriteLocker w(l);
        struct stat st {};
        EXPECT_EQ(::stat(p1.c_str(), &st), 0);
    }
    const std::string locks = home_ / "common/locks";
    ::chmod(home_.path().c_str(), 0755);
    ::chmod((home_ / "common").c_str(), 0755);
    ::chmod(locks.c_str(), 0555);
    IPC::CReadWriteLock l("cannot create");
    IPC::CReadWriteLock readable("C:\\dir/CERTSEND.DAT");  // its file exists, now read-only
    ::chmod(p1.c_str(), 0444);
    EXPECT_EQ(0, certtest::AsUnprivileged([&] {
                  int failures = 0;
                  for (int side = 0; side < 3; ++side) {
                      try {
                          if (side == 0)
                              IPC::CWriteLocker w(l);
                          else if (side == 1)
                              IPC::CReadLocker r(l);
                          else
                              IPC::CWriteLocker w(readable);
                          failures |= 1 << side;
                      } catch (const XTOOStatus& e) {
                          if (e.Status() != TOOERR_ACCESS || !*e.Place()) failures |= 8 << side;
                      }
                  }
                  try {
                      IPC::CReadLocker r(readable);  // the shared side needs reading only
                  } catch (const XTOOStatus&) {
                      failures |= 64;
                  }
                  return failures;
              }));
    ::chmod(locks.c_str(), 0755);
    if (::geteuid() == 0) return;  // the failed requests were the child's
    IPC::CWriteLocker w(l);        // a failed request left nothing held
}

TEST_F(Lock, PlantedLinkInPlaceOfALockFileIsNotFollowed) {
    // Whoever can write to the lock folder plants a link where a lock file
    // will be made; opening it must not create (0666) or open its target.
    const std::string target = home_ / "made-through-the-link";
    ASSERT_TRUE(cert::platform::MakeFolders(home_ / "common/locks"));
    ASSERT_EQ(0, ::symlink(target.c_str(), IPC::LockFilePath("planted").c_str()));
    IPC::CReadWriteLock lock("planted");
    try {
        IPC::CWriteLocker hold(lock);
        ADD_FAILURE() << "locked through a link";
    } catch (const XTOOStatus& e) {
        EXPECT_EQ(WinErr2ToolsErr(ERROR_STOPPED_ON_SYMLINK), e.Status());
    }
    struct stat st {};
    EXPECT_NE(0, ::lstat(target.c_str(), &st));
}
