#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "cert/certlog.h"
#include "cert/frame.h"
#include "cert/logdisp.h"
#include "testsupport.h"

using CertDll::Log;
using CertDll::LogLevel;
namespace fs = std::filesystem;

namespace {

// Every log of these tests goes to its own folder through $CERT_LOG_DIR.
class LogTest : public certtest::HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        setenv("CERT_LOG_DIR", dir_.path().c_str(), 1);
    }
    void TearDown() override {
        unsetenv("CERT_LOG_DIR");
        HomeTest::TearDown();
    }
    std::string Expected(const char* name) const { return dir_ / (std::string("test_frame.") + name); }
    certtest::TempDir dir_;
};

// A log written once and closed: its full path.
std::string WriteOnce(const char* name, int place = 0, const char* text = "x") {
    Log log(name, place, true);
    log.Write(text, LogLevel::Error, "P");
    return log.FullPath();
}

// Records are separated by an empty line; the text inside keeps its CRLFs.
std::vector<std::string> Records(const std::string& file) {
    std::vector<std::string> out;
    std::string all = certtest::ReadFile(file);
    std::size_t pos = 0;
    while (pos < all.size()) {
        std::size_t end = all.find("\r\n\r\n", pos);
        if (end == std::string::npos) break;
        out.push_back(all.substr(pos, end - pos + 4));
        pos = end + 4;
    }
    EXPECT_EQ(pos, all.size()) << "trailing bytes after the last record";
    return out;
}

}  // namespace

TEST_F(LogTest, RecordLayoutLevelsAndFileName) {
    Log log("unit.log", 0, true);
    SYSTEMTIME before{}, after{};
    GetLocalTime(&before);
    log.Write("value %d of %s", LogLevel::Error, "CertDll::Unit::Method", 42, "x");
    log.Write("never", LogLevel::Debug, "Debug");
    log.Write("warn", LogLevel::Warn, "W");
    log.Write("fatal", LogLevel::Fatal, "F");
    log.Write("odd", static_cast<LogLevel>(5), "L5");
    GetLocalTime(&after);

    EXPECT_EQ(log.FullPath(), Expected("unit.log"));
    auto recs = Records(Expected("unit.log"));
    ASSERT_EQ(recs.size(), 4u);  // the Debug record is missing

    std::smatch m;
    const std::regex layout(
        R"(^ \[(\d{1,2})/(\d{1,2})/(\d{4})-(\d\d):(\d\d):(\d\d)\.(\d{3})\]  0x([0-9A-F]{4,})\(( *\d+)\)  )"
        R"(CertDll::Unit::Method Error: \r\n\tvalue 42 of x\r\n\r\n$)");
    ASSERT_TRUE(std::regex_match(recs[0], m, layout)) << recs[0];
    auto sameDay = [&](const SYSTEMTIME& t) {
        return std::stoi(m[1]) == t.wDay && std::stoi(m[2]) == t.wMonth && std::stoi(m[3]) == t.wYear;
    };
    EXPECT_TRUE(sameDay(before) || sameDay(after));
    EXPECT_EQ(std::stoul(m[8].str(), nullptr, 16), GetCurrentThreadId());
    EXPECT_EQ(std::stoul(m[9].str()), GetCurrentThreadId());

    auto tail = [](const std::string& r) { return r.substr(r.find(")  ") + 3); };
    EXPECT_EQ(tail(recs[1]), "W Warn:  \r\n\twarn\r\n\r\n");
    EXPECT_EQ(tail(recs[2]), "F Fatal: \r\n\tfatal\r\n\r\n");
    EXPECT_EQ(tail(recs[3]), "L5 Info:  \r\n\todd\r\n\r\n");
}

TEST_F(LogTest, WideLastErrorDisabledAndLongMessages) {
    Log log("wide.log", 0, true);
    log.WriteWide(u"ключ %s, %hs, %d%%, %c, %5.1f, %I64u/%I32X", LogLevel::Info, "W", u"контейнер", "8-bit", -7, u'ж',
                  2.25, 0x100000000ull, 0xABCu);
    SetLastError(ERROR_FILE_NOT_FOUND);
    log.WriteLastError("reading %s", LogLevel::Warn, "E", "a.crl");
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);  // logging keeps the caller's error
    SetLastError(0x0BADC0DE);
    log.WriteLastError("odd", LogLevel::Warn, "E");
    log.SetEnabled(false);
    log.Write("off", LogLevel::Error, "Off");
    log.SetEnabled(true);
    log.Write("%s", LogLevel::Error, "Long", std::string(10000, 'a').c_str());

    auto recs = Records(Expected("wide.log"));
    ASSERT_EQ(recs.size(), 4u);
    auto message = [](const std::string& r) { return r.substr(r.find("\r\n\t") + 3, r.size() - r.find("\r\n\t") - 7); };
    EXPECT_EQ(message(recs[0]), "ключ контейнер, 8-bit, -7%, ж,   2.2, 4294967296/ABC");
    EXPECT_EQ(message(recs[1]), "Last error: The system cannot find the file specified. reading a.crl");
    EXPECT_EQ(message(recs[2]), "Last error:  odd");  // no system text
    EXPECT_EQ(message(recs[3]), std::string(Log::kMessageBuffer - 1, 'a'));
}

TEST_F(LogTest, TempFolderAndModuleFolder) {
    certtest::TempDir tmp;
    setenv("TMPDIR", tmp.path().c_str(), 1);
    WriteOnce("t.log", 1);
    unsetenv("TMPDIR");
    EXPECT_TRUE(fs::exists(tmp / "test_frame.t.log"));

    // Without $CERT_LOG_DIR the file sits beside the library.
    unsetenv("CERT_LOG_DIR");
    const std::string module = CertDll::ModulePath();
    EXPECT_EQ(fs::path(module).filename().string().rfind("libcert.so", 0), 0u) << module;
    const std::string beside = WriteOnce("beside.log");
    EXPECT_EQ(beside, fs::path(module).parent_path().string() + "/test_frame.beside.log");
    std::error_code ec;
    fs::remove(beside, ec);
}

TEST_F(LogTest, RotatesAtTheSizeBoundary) {
    const std::string path = Expected("rot.log");
    WriteOnce("rot.log");
    const auto recordSize = static_cast<long long>(fs::file_size(path));

    // One byte short of the boundary after the next record: no rotation.
    ASSERT_EQ(::truncate(path.c_str(), Log::kRotateSize - recordSize - 1), 0);
    WriteOnce("rot.log");
    EXPECT_FALSE(fs::exists(path + ".old"));
    // Exactly at the boundary: moved to ".old" at once, replacing an old one.
    certtest::WriteFile(path + ".old", "older");
    ASSERT_EQ(::truncate(path.c_str(), Log::kRotateSize - recordSize), 0);
    Log log("rot.log", 0, true);
    log.Write("m", LogLevel::Info, "P");
    EXPECT_EQ(static_cast<long long>(fs::file_size(path + ".old")), Log::kRotateSize);
    EXPECT_FALSE(fs::exists(path));
    log.Write("fresh", LogLevel::Info, "P");
    EXPECT_EQ(Records(path).size(), 1u);
}

TEST_F(LogTest, FailedRenameKeepsAppending) {
    const std::string path = Expected("stuck.log");
    // A non-empty folder in the way of ".old" makes the rename fail.
    fs::create_directories(path + ".old/x");
    Log log("stuck.log", 0, true);
    log.Write("first", LogLevel::Info, "P");
    ASSERT_EQ(::truncate(path.c_str(), Log::kRotateSize), 0);
    log.Write("second", LogLevel::Info, "P");  // reaches the size, rename fails
    log.Write("third", LogLevel::Info, "P");   // reopens the same file
    const std::string all = certtest::ReadFile(path);
    EXPECT_GT(static_cast<long long>(all.size()), Log::kRotateSize);
    EXPECT_NE(all.find("\tsecond\r\n", Log::kRotateSize - 1), std::string::npos);
    EXPECT_NE(all.find("\tthird\r\n", Log::kRotateSize), std::string::npos);
}

TEST_F(LogTest, UnwritablePlacesLoseRecordsSilently) {
    setenv("CERT_LOG_DIR", (dir_ / "missing/folder").c_str(), 1);
    WriteOnce("m.log");
    EXPECT_FALSE(fs::exists(dir_ / "missing"));

    // One writer per file: a second log object on the same file loses its
    // records while the first holds it.
    setenv("CERT_LOG_DIR", dir_.path().c_str(), 1);
    Log first("shared.log", 0, true), second("shared.log", 0, true);
    first.Write("one", LogLevel::Info, "P");
    second.Write("two", LogLevel::Info, "P");
    EXPECT_EQ(Records(Expected("shared.log")).size(), 1u);

    // A folder where the file should be, and a file where the folder should
    // be: neither can be opened, whoever runs the test.
    fs::create_directory(Expected("taken.log"));
    WriteOnce("taken.log");
    EXPECT_TRUE(fs::is_empty(Expected("taken.log")));
    setenv("CERT_LOG_DIR", Expected("shared.log").c_str(), 1);
    WriteOnce("f.log");
    EXPECT_EQ(Records(Expected("shared.log")).size(), 1u);
}

TEST_F(LogTest, ReadOnlyFolderLosesRecordsSilently) {
    fs::create_directory(dir_ / "ro");
    ::chmod((dir_ / "ro").c_str(), 0555);
    ::chmod(dir_.path().c_str(), 0755);
    setenv("CERT_LOG_DIR", (dir_ / "ro").c_str(), 1);
    EXPECT_EQ(0, certtest::AsUnprivileged([] {
                  WriteOnce("r.log");
                  return 0;
              }));
    EXPECT_TRUE(fs::is_empty(dir_ / "ro"));
}

TEST_F(LogTest, SharedTempFolderNeverWritesThroughWhatOthersPlanted) {
    certtest::TempDir shared;
    ::chmod(shared.path().c_str(), 0777);
    const std::string bait = shared / "bait", link = shared / "test_frame.link.log",
                      theirs = shared / "test_frame.theirs.log";
    // Another user takes the log's names first: a link to a file of theirs,
    // and a file of theirs that everybody may write to.
    ASSERT_EQ(0, certtest::AsUnprivileged([&] {
                  int bad = 0;
                  for (const std::string& f : {bait, theirs}) {
                      int fd = ::open(f.c_str(), O_CREAT | O_WRONLY, 0666);
                      if (fd < 0 || ::fchmod(fd, 0666) != 0) bad |= 1;
                      if (fd >= 0) ::close(fd);
                  }
                  if (::symlink(bait.c_str(), link.c_str()) != 0) bad |= 2;
                  return bad;
              }));
    setenv("TMPDIR", shared.path().c_str(), 1);
    WriteOnce("link.log", 1, "secret detail");
    WriteOnce("theirs.log", 1, "secret detail");
    unsetenv("TMPDIR");
    EXPECT_EQ("", certtest::ReadFile(bait));
    EXPECT_TRUE(fs::is_symlink(link));
    // Someone else's file only when someone else made it.
    if (::geteuid() == 0) {
        EXPECT_EQ("", certtest::ReadFile(theirs));
    }
}

TEST_F(LogTest, RecordsOfThreadsDoNotInterleave) {
    Log log("mt.log", 0, true);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&log, t] {
            for (int i = 0; i < 50; ++i) log.Write("thread %d record %d", LogLevel::Info, "MT", t, i);
        });
    for (auto& th : threads) th.join();
    auto recs = Records(Expected("mt.log"));
    ASSERT_EQ(recs.size(), 200u);
    const std::regex one(R"(^ \[[^\]]+\]  0x[0-9A-F]+\( *\d+\)  MT Info:  \r\n\tthread \d record \d+\r\n\r\n$)");
    for (const auto& r : recs) EXPECT_TRUE(std::regex_match(r, one)) << r;
}
