#include <sys/stat.h>

#include <gtest/gtest.h>

#include "cert/platform.h"
#include "testsupport.h"

using namespace cert::platform;

TEST(Platform, FileTimeCalendarRoundTrip) {
    SYSTEMTIME st{2024, 2, 0, 29, 23, 59, 58, 999};
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wDay, 29);
    EXPECT_EQ(back.wDayOfWeek, 4);  // a Thursday
    EXPECT_EQ(back.wMilliseconds, 999);
    EXPECT_EQ(FileTimeToUnix(UnixToFileTime(1700000000)), 1700000000);
    EXPECT_EQ(FileTimeToU64(UnixToFileTime(0)), kUnixEpochTicks);
    SYSTEMTIME bad{2023, 2, 0, 29, 0, 0, 0, 0};
    EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Platform, SpecialFoldersFollowCertHome) {
    certtest::TempDir home;
    SetCertHome(home.path() + "/");
    char path[MAX_PATH];
    EXPECT_FALSE(SHGetSpecialFolderPathA(nullptr, path, CSIDL_COMMON_APPDATA, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, path, CSIDL_COMMON_APPDATA, TRUE));
    EXPECT_EQ(std::string(path), home.path() + "/common");
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, path, CSIDL_LOCAL_APPDATA, TRUE));
    EXPECT_EQ(std::string(path), home.path() + "/local");
    SetCertHome("");
    EXPECT_EQ(NativePath("a\\b/c"), "a/b/c");
}

TEST(Platform, AtomicWriteKeepsOldFileOnFailure) {
    certtest::TempDir dir;
    std::string f = dir / "data.bin";
    ASSERT_EQ(WriteFileAtomic(f, "old", 3), ERROR_SUCCESS);
    EXPECT_EQ(certtest::ReadFile(f), "old");
    ASSERT_EQ(WriteFileAtomic(dir.path() + "\\data.bin", "new!", 4), ERROR_SUCCESS);
    EXPECT_EQ(certtest::ReadFile(f), "new!");
    chmod(f.c_str(), 0644);
    chmod(dir.path().c_str(), 0555);
    EXPECT_EQ(0,
              certtest::AsUnprivileged([&] { return WriteFileAtomic(f, "lost", 4) == ERROR_ACCESS_DENIED ? 0 : 1; }));
    chmod(dir.path().c_str(), 0700);
    EXPECT_EQ(certtest::ReadFile(f), "new!");
    EXPECT_EQ(WriteFileAtomic(dir / "missing/x", "x", 1), ERROR_PATH_NOT_FOUND);
}
