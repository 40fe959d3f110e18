// Real processes on one store: forked writers that each open, change and
// close the store once per certificate, so that their commits interleave.
#include <csignal>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>

#include "capi/store_file.h"
#include "store_test_util.h"
#include "testsupport.h"

using namespace storetest;
using capi::store::kCert;

namespace {

// Adds or removes the certificates first .. first + count - 1 (for ever
// when count is 0); the exit code tells.
pid_t FileWriter(const std::string& path, bool add, std::uint32_t first, std::uint32_t count) {
    return certtest::ForkChild([=] {
        for (std::uint32_t i = first; count == 0 || i < first + count; ++i) {
            auto s = capi::store::OpenFileBacking(path, 0x10000);
            std::vector<Element> opened;
            if (!s || !s->Load(opened)) return 1;
            auto now = opened;
            const Bytes der = Cert(i);
            if (add)
                now.push_back(Make(kCert, der));
            else
                std::erase_if(now, [&](const Element& e) { return e.encoded == der; });
            if (!s->Commit(opened, now)) return 1;
        }
        return 0;
    });
}

pid_t SystemWriter(const std::u16string& name, bool add, std::uint32_t first, std::uint32_t count) {
    return certtest::ForkChild([=] {
        for (std::uint32_t i = first; i < first + count; ++i) {
            auto s = capi::store::OpenSystemBacking(name, 0x10000);
            std::vector<Element> now;
            if (!s || !s->Load(now)) return 1;
            const Element e = Make(kCert, Cert(i));
            if (!(add ? s->Changed(nullptr, &e) : s->Changed(&e, nullptr))) return 1;
        }
        return 0;
    });
}

void WaitAll(const std::vector<pid_t>& pids) {
    for (pid_t pid : pids) EXPECT_EQ(certtest::ExitOf(pid), 0) << "writer " << pid;
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

std::vector<Element> Load(std::unique_ptr<capi::store::Backing> b) {
    std::vector<Element> out;
    EXPECT_TRUE(b && b->Load(out)) << std::hex << GetLastError();
    return out;
}

void WriteCerts(const std::string& path, std::uint32_t count) {
    std::vector<Element> start;
    for (std::uint32_t i = 0; i < count; ++i) start.push_back(Make(kCert, Cert(i)));
    certtest::WriteFile(path, Text(capi::store::WriteSerialized(start)));
}

}  // namespace

class StoreProcesses : public certtest::HomeTest {};

TEST_F(StoreProcesses, EightWritersOnOneFileStoreLoseNothing) {
    const std::string path = home_ / "shared.sst";
    std::vector<pid_t> pids;
    for (std::uint32_t w = 0; w < 8; ++w) pids.push_back(FileWriter(path, true, 1000 + 25 * w, 25));
    WaitAll(pids);
    EXPECT_EQ(Differs(Load(capi::store::OpenFileBacking(path, 0)), 1000, 200), "");
}

TEST_F(StoreProcesses, ConcurrentRemovesAndAddsGiveExactlyTheExpectedSet) {
    const std::string path = home_ / "mixed.sst";
    WriteCerts(path, 100);
    std::vector<pid_t> pids;
    for (std::uint32_t w = 0; w < 4; ++w) {
        pids.push_back(FileWriter(path, false, 25 * w, 25));
        pids.push_back(FileWriter(path, true, 100 + 25 * w, 25));
    }
    WaitAll(pids);
    EXPECT_EQ(Differs(Load(capi::store::OpenFileBacking(path, 0)), 100, 100), "");
}

TEST_F(StoreProcesses, EightWritersOnOneSystemStoreLoseNothing) {
    for (std::uint32_t i = 0; i < 40; ++i) {
        const Element e = Make(kCert, Cert(5000 + i));
        ASSERT_TRUE(capi::store::OpenSystemBacking(u"CA", 0x10000)->Changed(nullptr, &e));
    }
    std::vector<pid_t> pids;
    for (std::uint32_t w = 0; w < 4; ++w) {
        pids.push_back(SystemWriter(u"Ca", true, 6000 + 25 * w, 25));
        pids.push_back(SystemWriter(u"cA", false, 5000 + 10 * w, 10));
    }
    WaitAll(pids);
    EXPECT_EQ(Differs(Load(capi::store::OpenSystemBacking(u"CA", 0x10000)), 6000, 100), "");
}

TEST_F(StoreProcesses, AWriterKilledMidCommitLeavesAReadableStore) {
    const std::string path = home_ / "killed.sst";
    WriteCerts(path, 3000);
    std::mt19937 rng(7);
    std::size_t last = 3000;
    for (std::uint32_t round = 0; round < 6; ++round) {
        const std::uintmax_t size = std::filesystem::file_size(path);
        const pid_t pid = FileWriter(path, true, 100000 * (round + 1), 0);
        // Once its first commit is in, the kill falls anywhere in a later one.
        for (int i = 0; i < 2000 && std::filesystem::file_size(path) == size; ++i) ::usleep(5000);
        ::usleep(rng() % 300000);
        ::kill(pid, SIGKILL);
        EXPECT_EQ(certtest::ExitOf(pid), -1) << "the writer ended by itself";
        const auto got = Load(capi::store::OpenFileBacking(path, 0));
        EXPECT_GT(got.size(), last) << "round " << round;
        last = got.size();
    }
}
