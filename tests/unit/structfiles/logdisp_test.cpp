#include <sstream>
#include <thread>
#include <vector>

#include "cert/logdisp.h"
#include "testsupport.h"

namespace {
std::vector<std::string> Lines(const std::string& path) {
    std::istringstream in(certtest::ReadFile(path));
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}
bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}
}  // namespace

TEST(LogDisp, OutputFollowsPathAndFlag) {
    certtest::TempDir dir;
    CLogDisp d(nullptr, nullptr, 0, 0);
    EXPECT_FALSE(d.Flag());
    d.Flag(true);
    EXPECT_FALSE(d.Flag());  // no path yet
    d.Put("lost");
    d.SetFullPathName((dir.path() + "\\ss_cert.log").c_str());
    EXPECT_TRUE(d.Flag());
    d.Put("plain");
    d.Put("text", "+ CTF: ");
    d.Put("error: ", 37L);
    d.Flag(false);
    d.Put("off");
    auto lines = Lines(dir / "ss_cert.log");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(EndsWith(lines[0], " plain"));
    EXPECT_TRUE(EndsWith(lines[1], " + CTF: text"));
    EXPECT_TRUE(EndsWith(lines[2], " error: 37"));

    d.SetFullPathName((dir.path() + "/no/such/folder/x.log").c_str());
    d.Flag(true);
    d.Put("dropped silently");
}

TEST(LogDisp, ScopesAndReportsGoToTheCurrentDispatcher) {
    certtest::TempDir dir;
    CLogDisp lib(nullptr, (dir / "lib.log").c_str());
    CLogDisp host(nullptr, (dir / "host.log").c_str(), 2);
    EXPECT_EQ(LogReport(0, "nobody listens", __FILE__, __LINE__), 0);
    SetDefaultLogDisp(&lib);
    { CLogObject scope("CCTFUser::GetUserKey"); }
    pLogDisp = &host;
    EXPECT_EQ(LogReport(1, "below the level", "a.cpp", 1), 0);
    EXPECT_EQ(LogReport(3, "reported", "a.cpp", 7), 1);
    pLogDisp = nullptr;
    SetDefaultLogDisp(nullptr);

    auto libLines = Lines(dir / "lib.log");
    ASSERT_EQ(libLines.size(), 2u);
    EXPECT_TRUE(EndsWith(libLines[0], "> CCTFUser::GetUserKey"));
    EXPECT_TRUE(EndsWith(libLines[1], "< CCTFUser::GetUserKey"));
    auto hostLines = Lines(dir / "host.log");
    ASSERT_EQ(hostLines.size(), 1u);
    EXPECT_TRUE(EndsWith(hostLines[0], "[3] reported (a.cpp:7)"));
}

TEST(LogDisp, ConcurrentPutsGiveWholeLines) {
    certtest::TempDir dir;
    CLogDisp d(nullptr, (dir / "t.log").c_str());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&d, t] {
            for (int i = 0; i < 250; ++i) d.Put(("thread " + std::to_string(t) + " line ").c_str(), long(i));
        });
    for (auto& t : threads) t.join();
    auto lines = Lines(dir / "t.log");
    ASSERT_EQ(lines.size(), 1000u);
    for (const auto& l : lines) EXPECT_NE(l.find(" thread "), std::string::npos) << l;
}
