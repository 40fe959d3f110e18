// Record files, section files, named locks and the container list shared by
// real processes: the test program runs itself again as the other party.
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "cert/ipc.h"
#include "cert/structfiles.h"
#include "testsupport.h"

extern char** environ;

namespace {

constexpr const char* kRoleVar = "CERT_STRUCTFILES_ROLE";
constexpr const char* kArgVar = "CERT_STRUCTFILES_ARG";
constexpr const char* kLockName = "multi-process test lock";
constexpr int kRecords = 2000;
constexpr long kRecordSize = 64;

struct Record {
    BYTE tag;
    BYTE pad[3];
    std::uint32_t seq;
    BYTE fill[kRecordSize - 8];
};

Record MakeRecord(BYTE tag, std::uint32_t seq) {
    Record r{};
    r.tag = tag;
    r.seq = seq;
    for (std::size_t i = 0; i < sizeof r.fill; ++i) r.fill[i] = static_cast<BYTE>(tag + seq + i);
    return r;
}

std::pair<std::string, std::string> Split(const std::string& arg) {
    auto bar = arg.find('|');
    return {arg.substr(0, bar), bar == std::string::npos ? "" : arg.substr(bar + 1)};
}

// --- the child's side -----------------------------------------------------

int ChildAppend(const std::string& arg) {
    auto [path, tag] = Split(arg);
    CRecFile f(path.c_str(), CRecFile::ModeUpdate, kRecordSize);
    if (!f.IsOpen()) return 2;
    for (int i = 0; i < kRecords; ++i) {
        Record r = MakeRecord(static_cast<BYTE>(tag[0]), static_cast<std::uint32_t>(i));
        if (!f.Add(&r)) return 3;
    }
    return 0;
}

int ChildSections(const std::string& arg) {
    auto [path, tag] = Split(arg);
    CTOOConfigInfoFile f(path.c_str(), false);
    const std::string mine = "Process " + tag;
    for (int i = 0; i < 60; ++i) {
        CConfigFileKeyList items{{"n", std::to_string(i).c_str()}, {"tag", tag.c_str()}};
        if (!f.PutSection(mine.c_str(), items)) return 2;
        CTOOString n;
        if (!f.GetValue(mine.c_str(), "N", n) || n != std::to_string(i).c_str()) return 3;
    }
    return 0;
}

int ChildReader(const std::string& dir) {
    certtest::AppendFile(dir + "/trying", "");
    IPC::CReadWriteLock lock(kLockName);
    IPC::CReadLocker r(lock);
    certtest::AppendFile(dir + "/order", "B");
    return 0;
}

int ChildHoldRead(const std::string& dir) {
    IPC::CReadWriteLock lock(kLockName);
    IPC::CReadLocker r(lock);
    certtest::AppendFile(dir + "/held", "");
    if (!certtest::WaitForFile(dir + "/go")) return 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    certtest::AppendFile(dir + "/order", "C");
    return 0;
}

int ChildContainers(const std::string& tag) {
    CommonContInfoList list;
    for (int i = 0; i < 50; ++i)
        if (list.Add(("\\\\.\\DISK\\" + tag + "-" + std::to_string(i)).c_str()) != 0) return 2;
    return 0;
}

// Runs before gtest ever sees the command line when this is a child.
struct ChildDispatch {
    ChildDispatch() {
        const char* role = std::getenv(kRoleVar);
        if (!role) return;
        static const std::map<std::string, int (*)(const std::string&)> roles = {
            {"append", ChildAppend},     {"sections", ChildSections},     {"reader", ChildReader},
            {"holdread", ChildHoldRead}, {"containers", ChildContainers},
        };
        const char* arg = std::getenv(kArgVar);
        auto it = roles.find(role);
        ::_exit(it == roles.end() ? 100 : it->second(arg ? arg : ""));
    }
} g_childDispatch;

// --- the parent's side ----------------------------------------------------

pid_t Spawn(const std::string& role, const std::string& arg) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.push_back(std::string(kRoleVar) + "=" + role);
    env.push_back(std::string(kArgVar) + "=" + arg);
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    char name[] = "test_integration";
    char* argv[] = {name, nullptr};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execve("/proc/self/exe", argv, envp.data());
        ::_exit(127);
    }
    return pid;
}

class MultiProcess : public certtest::HomeTest {
protected:
    // Two processes in `role`, one for each argument; both must succeed.
    static void RunTwo(const std::string& role, const std::string& a, const std::string& b) {
        const pid_t first = Spawn(role, a), second = Spawn(role, b);
        EXPECT_EQ(certtest::ExitOf(first), 0);
        EXPECT_EQ(certtest::ExitOf(second), 0);
    }
};

}  // namespace

TEST_F(MultiProcess, TwoProcessesAppendingToOneRecordFileLoseNothing) {
    const std::string path = home_ / "shared.dat";
    ASSERT_NO_FATAL_FAILURE(RunTwo("append", path + "|a", path + "|b"));

    CRecFile f(path.c_str(), "rb", kRecordSize);
    ASSERT_TRUE(f.IsOpen()) << f.GetErrText();
    ASSERT_EQ(f.Size(), 2 * kRecords);
    EXPECT_EQ(certtest::ReadFile(path).size(), std::size_t(CRecFile::kFixedHeaderSize + 2 * kRecords * kRecordSize));
    std::map<BYTE, std::uint32_t> next;
    for (long i = 0; i < 2 * kRecords; ++i) {
        Record r{};
        ASSERT_TRUE(f.Get(i, &r));
        Record expect = MakeRecord(r.tag, r.seq);
        ASSERT_EQ(std::memcmp(&r, &expect, sizeof r), 0) << "torn record " << i;
        ASSERT_EQ(r.seq, next[r.tag]++) << "record " << i;
    }
    EXPECT_EQ(next, (std::map<BYTE, std::uint32_t>{{'a', kRecords}, {'b', kRecords}}));
}

TEST_F(MultiProcess, SectionFileWrittenByTwoProcessesStaysWhole) {
    const std::string path = home_ / "shared.cfg";
    CTOOConfigInfoFile f(path.c_str());
    ASSERT_TRUE(f.PutSection("General", {{"CertificateNumber", "7"}}));
    RunTwo("sections", path + "|1", path + "|2");
    CConfigFileSectionList all;
    ASSERT_TRUE(f.GetAllSections(&all));
    std::set<std::string> names;
    for (auto& s : all) names.insert(s.m_Name.str());
    EXPECT_EQ(names, (std::set<std::string>{"General", "Process 1", "Process 2"}));
    CTOOString n;
    ASSERT_TRUE(f.GetValue("process 2", "n", n));
    EXPECT_EQ(n, "59");
}

TEST_F(MultiProcess, NamedLockExcludesOtherProcesses) {
    const std::string dir = home_.path();
    IPC::CReadWriteLock lock(kLockName);
    pid_t reader = -1;
    {
        // A writer here holds off a reader there; a nested shared hold of the
        // writing thread changes nothing.
        IPC::CWriteLocker w(lock);
        IPC::CReadLocker nested(lock);
        reader = Spawn("reader", dir);
        ASSERT_TRUE(certtest::WaitForFile(dir + "/trying"));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        certtest::AppendFile(dir + "/order", "A");
    }
    ASSERT_EQ(certtest::ExitOf(reader), 0);

    // A reader there holds off a writer here.
    pid_t holder = Spawn("holdread", dir);
    ASSERT_TRUE(certtest::WaitForFile(dir + "/held"));
    certtest::AppendFile(dir + "/go", "");
    {
        IPC::CWriteLocker w(lock);
        certtest::AppendFile(dir + "/order", "D");
    }
    ASSERT_EQ(certtest::ExitOf(holder), 0);
    EXPECT_EQ(certtest::ReadFile(dir + "/order"), "ABCD");
}

TEST_F(MultiProcess, ContainerListKeepsAddsOfBothProcesses) {
    RunTwo("containers", "a", "b");
    CommonContInfoList list;
    std::set<std::string> seen;
    for (const char* p = list.GetFirst(); p; p = list.GetNext()) seen.insert(p);
    EXPECT_EQ(seen.size(), 100u);
}
