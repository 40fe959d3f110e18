// Real processes on one store: this test program started again as writers
// (the StoreChild test, which does nothing unless STORE_CHILD names a task).
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <set>

#include "capi/store_file.h"
#include "store_test_util.h"
#include "testsupport.h"

extern char** environ;

using namespace storetest;
using capi::store::kCert;

namespace {

// One open, change and close of a file store per certificate, so that the
// writers' commits interleave as much as they can.
bool FileTask(const std::string& path, bool add, std::uint32_t first, std::uint32_t count, bool forever) {
    for (std::uint32_t i = first; forever || i < first + count; ++i) {
        auto s = capi::store::OpenFileBacking(path, 0x10000);
        std::vector<Element> opened;
        if (!s || !s->Load(opened)) return false;
        auto now = opened;
        const Bytes der = Cert(i);
        if (add)
            now.push_back(Make(kCert, der));
        else
            std::erase_if(now, [&](const Element& e) { return e.encoded == der; });
        if (!s->Commit(opened, now)) return false;
    }
    return true;
}

bool SystemTask(const std::string& name, bool add, std::uint32_t first, std::uint32_t count) {
    std::u16string wide(name.begin(), name.end());
    for (std::uint32_t i = first; i < first + count; ++i) {
        auto s = capi::store::OpenSystemBacking(wide, 0x10000);
        std::vector<Element> now;
        if (!s || !s->Load(now)) return false;
        const Element e = Make(kCert, Cert(i));
        if (!(add ? s->Changed(nullptr, &e) : s->Changed(&e, nullptr))) return false;
    }
    return true;
}

pid_t Spawn(const std::string& task) {
    std::string filter = "--gtest_filter=StoreChild.Task";
    std::string env = "STORE_CHILD=" + task;
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "STORE_CHILD=", 12) != 0) envp.push_back(*e);
    envp.push_back(env.data());
    envp.push_back(nullptr);
    char exe[] = "/proc/self/exe";
    char* argv[] = {exe, filter.data(), nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, exe, &quiet, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&quiet);
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return status;
}

void RunAll(const std::vector<std::string>& tasks) {
    std::vector<pid_t> pids;
    for (const auto& t : tasks) pids.push_back(Spawn(t));
    for (std::size_t i = 0; i < pids.size(); ++i) {
        const int status = Wait(pids[i]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << tasks[i] << " status " << status;
    }
}

// Empty when `got` holds exactly the certificates first .. first + count - 1,
// else how it differs.
std::string Differs(const std::vector<Element>& got, std::uint32_t first, std::uint32_t count) {
    std::set<Bytes> want, have;
    for (std::uint32_t i = first; i < first + count; ++i) want.insert(Cert(i));
    for (const Element& e : got) have.insert(e.encoded);
    std::size_t missing = 0, extra = 0;
    for (const Bytes& b : want) missing += !have.count(b);
    for (const Bytes& b : have) extra += !want.count(b);
    if (!missing && !extra && have.size() == got.size()) return {};
    return std::to_string(missing) + " missing, " + std::to_string(extra) + " unexpected, " +
           std::to_string(got.size() - have.size()) + " doubled";
}

std::vector<Element> Load(capi::store::Backing* b) {
    std::vector<Element> out;
    EXPECT_TRUE(b && b->Load(out)) << std::hex << GetLastError();
    return out;
}

}  // namespace

// "file|sys add|remove|forever PATH-OR-NAME FIRST COUNT"; the exit status tells.
TEST(StoreChild, Task) {
    const char* task = std::getenv("STORE_CHILD");
    if (!task) GTEST_SKIP() << "run by the multi-process tests only";
    char kind[8], op[16], where[4096];
    unsigned first = 0, count = 0;
    ASSERT_EQ(std::sscanf(task, "%7s %15s %4095s %u %u", kind, op, where, &first, &count), 5);
    const bool add = std::string(op) != "remove";
    const bool ok = std::string(kind) == "file" ? FileTask(where, add, first, count, std::string(op) == "forever")
                                                : SystemTask(where, add, first, count);
    std::_Exit(ok ? 0 : 1);
}

class StoreProcesses : public certtest::HomeTest {};

TEST_F(StoreProcesses, EightWritersOnOneFileStoreLoseNothing) {
    const std::string path = home_ / "shared.sst";
    std::vector<std::string> tasks;
    for (int w = 0; w < 8; ++w) tasks.push_back("file add " + path + " " + std::to_string(1000 + 25 * w) + " 25");
    RunAll(tasks);
    auto s = capi::store::OpenFileBacking(path, 0);
    const auto got = Load(s.get());
    EXPECT_EQ(Differs(got, 1000, 200), "");
}

TEST_F(StoreProcesses, ConcurrentRemovesAndAddsGiveExactlyTheExpectedSet) {
    const std::string path = home_ / "mixed.sst";
    std::vector<Element> start;
    for (std::uint32_t i = 0; i < 100; ++i) start.push_back(Make(kCert, Cert(i)));
    certtest::WriteFile(path, Text(capi::store::WriteSerialized(start)));
    std::vector<std::string> tasks;
    for (int w = 0; w < 4; ++w) {
        tasks.push_back("file remove " + path + " " + std::to_string(25 * w) + " 25");
        tasks.push_back("file add " + path + " " + std::to_string(100 + 25 * w) + " 25");
    }
    RunAll(tasks);
    auto s = capi::store::OpenFileBacking(path, 0);
    const auto got = Load(s.get());
    EXPECT_EQ(Differs(got, 100, 100), "");
}

TEST_F(StoreProcesses, EightWritersOnOneSystemStoreLoseNothing) {
    for (std::uint32_t i = 0; i < 40; ++i) {
        const Element e = Make(kCert, Cert(5000 + i));
        ASSERT_TRUE(capi::store::OpenSystemBacking(u"CA", 0x10000)->Changed(nullptr, &e));
    }
    std::vector<std::string> tasks;
    for (int w = 0; w < 4; ++w) {
        tasks.push_back("sys add Ca " + std::to_string(6000 + 25 * w) + " 25");
        tasks.push_back("sys remove cA " + std::to_string(5000 + 10 * w) + " 10");
    }
    RunAll(tasks);
    const auto got = Load(capi::store::OpenSystemBacking(u"CA", 0x10000).get());
    EXPECT_EQ(Differs(got, 6000, 100), "");
}

TEST_F(StoreProcesses, AWriterKilledMidCommitLeavesAReadableStore) {
    const std::string path = home_ / "killed.sst";
    std::vector<Element> start;
    for (std::uint32_t i = 0; i < 3000; ++i) start.push_back(Make(kCert, Cert(i)));
    certtest::WriteFile(path, Text(capi::store::WriteSerialized(start)));
    std::mt19937 rng(7);
    std::size_t last = start.size();
    for (int round = 0; round < 6; ++round) {
        const pid_t pid = Spawn("file forever " + path + " " + std::to_string(100000 * (round + 1)) + " 0");
        ::usleep(50000 + rng() % 250000);
        ::kill(pid, SIGKILL);
        const int status = Wait(pid);
        EXPECT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << status;
        auto s = capi::store::OpenFileBacking(path, 0);
        const auto got = Load(s.get());
        EXPECT_GE(got.size(), last) << "round " << round;
        last = got.size();
    }
    EXPECT_GT(last, start.size()) << "no commit finished between the kills";
}
