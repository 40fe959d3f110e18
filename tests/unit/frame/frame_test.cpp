#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "cert/certlog.h"
#include "cert/frame.h"
#include "cert/logdisp.h"
#include "testsupport.h"

namespace fs = std::filesystem;

class CommonPath : public certtest::HomeTest {};

TEST_F(CommonPath, IdTableAndErrors) {
    char buf[MAX_PATH];
    CommonPathError err;
    const std::string common = home_ / "common", v = common + "\\Varnok\\";
    const std::pair<unsigned, std::string> table[] = {{1, v + "Telvar CSP"},
                                                      {2, home_ / "local" + "\\Varnok\\Containers"},
                                                      {3, v + "Containers"},
                                                      {4, "\\Varnok\\Containers"},
                                                      {5, v + "seed.bin"},
                                                      {6, v + "for_rand.key"},
                                                      {7, common + "\\Varnok"},
                                                      {8, v + "cont_info.dat"},
                                                      {9, v + "Telvar CSP\\csp_config.ini"},
                                                      {10, v + "device_type_filter.xml"}};
    // Without `create` the base folders must exist: code 4 names the one missing.
    EXPECT_FALSE(GetCommonPath(2, buf, sizeof buf, false, &err));
    EXPECT_EQ(err.code, kCommonPathNoFolder);
    EXPECT_EQ(err.value, static_cast<std::uint32_t>(CSIDL_LOCAL_APPDATA));
    EXPECT_FALSE(GetCommonPath(0, buf, sizeof buf, false, &err));
    EXPECT_EQ(err.value, static_cast<std::uint32_t>(CSIDL_COMMON_APPDATA));
    EXPECT_TRUE(GetCommonPath(4, buf, sizeof buf, false, &err)) << "id 4 needs no folder";

    for (const auto& [id, want] : table) {
        std::memset(&err, 0x5A, sizeof err);
        ASSERT_TRUE(GetCommonPath(id, buf, sizeof buf, true, &err)) << id;
        EXPECT_EQ(buf, want) << id;
        EXPECT_EQ(err.code, 0u);
    }

    const std::string p0 = common + "\\Varnok";
    EXPECT_FALSE(GetCommonPath(0, buf, p0.size(), true, &err));
    EXPECT_EQ(err.code, kCommonPathBufferTooSmall);
    EXPECT_EQ(err.value, p0.size() + 1);
    EXPECT_TRUE(GetCommonPath(0, buf, p0.size() + 1, true, &err));

    EXPECT_FALSE(GetCommonPath(11, buf, sizeof buf, true, &err));
    EXPECT_EQ(err.code, kCommonPathBadArgument);
    EXPECT_FALSE(GetCommonPath(0, buf, 0, true, nullptr));
}

class Diagnostics : public certtest::HomeTest {
protected:
    // The dispatcher is placed at attach: attach again under this test's home.
    void Reattach() {
        CertDll::ProcessDetach();
        CertDll::ProcessAttach();
    }
    void TearDown() override {
        HomeTest::TearDown();
        Reattach();
    }
};

TEST_F(Diagnostics, LinesGoToTheCommonFolderWithMarks) {
    Reattach();
    CLogDisp* disp = CertDll::GetLogDisp();
    ASSERT_TRUE(disp && disp->Flag());
    const std::string path = home_ / "common/Varnok/ss_cert.log";
    EXPECT_EQ(disp->GetFullPathName(), path);

    CertPutLogFormatted("zero", "CTF", 0);
    CertPutLogFormatted("one", "CTF", 1);
    CertPutLogFormatted("two", "Src", 2);
    disp->SetReportLevel(2);
    CertPutLogFormatted("below", "CTF", 1);
    CertPutLogFormatted("negative reaches every level", "CTF", -1);
    disp->Flag(false);
    CertPutLogFormatted("off", "CTF", 3);

    std::vector<std::string> bodies;
    std::string all = certtest::ReadFile(path), line;
    for (std::size_t pos = 0, nl; (nl = all.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        line = all.substr(pos, nl - pos);
        // After the dispatcher's own "date time pid:tid " prefix.
        std::size_t p = 0;
        for (int i = 0; i < 3 && p != std::string::npos; ++i) p = line.find(' ', p + 1);
        ASSERT_NE(p, std::string::npos) << line;
        bodies.push_back(line.substr(p + 1));
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{". CTF: zero", "+ CTF: one", "# Src: two",
                                                "? CTF: negative reaches every level"}));
}

TEST_F(Diagnostics, OffWithoutTheFolder) {
    // A file where the home folder should be: no application-data folder.
    const std::string blocked = home_ / "file";
    certtest::WriteFile(blocked, "x");
    cert::platform::SetCertHome(blocked);
    Reattach();
    EXPECT_FALSE(CertDll::GetLogDisp()->Flag());
    CertPutLogFormatted("lost", "CTF", 3);
}

TEST_F(Diagnostics, LoadMakesOnlyTheApplicationDataFolder) {
    // A fresh process attaches at load under its $CERT_HOME: the base folder
    // is made, the product folder waits for the first diagnostics line.
    auto r =
        certtest::Run("CERT_HOME=" + certtest::Sh(home_.path()) + " " + certtest::Sh(CERT_CTF_PATH) + " explain 0");
    EXPECT_EQ(r.exitCode, certtest::kExitOk) << r.err;
    EXPECT_TRUE(fs::is_directory(home_ / "common"));
    EXPECT_FALSE(fs::exists(home_ / "common/Varnok"));

    Reattach();
    ASSERT_TRUE(CertDll::GetLogDisp()->Flag()) << "on although the product folder is missing";
    EXPECT_FALSE(fs::exists(home_ / "common/Varnok"));
    CertPutLogFormatted("first", "CTF", 1);
    EXPECT_TRUE(fs::is_regular_file(home_ / "common/Varnok/ss_cert.log"));
}

namespace {
int g_factoryCalls = 0;
void CountFactory() { ++g_factoryCalls; }
struct Tracked {
    static int alive;
    Tracked() { ++alive; }
    ~Tracked() { --alive; }
};
int Tracked::alive = 0;
}  // namespace

TEST(Frame, StorageFactoryHookAndSlots) {
    // Registered after attach: the factory is made at once, and again at the
    // next attach.
    g_factoryCalls = 0;
    CertDll::SetStorageFactoryHook(&CountFactory);
    EXPECT_EQ(g_factoryCalls, 1);
    CertDll::ProcessDetach();
    CertDll::ProcessAttach();
    EXPECT_EQ(g_factoryCalls, 2);
    CertDll::SetStorageFactoryHook(nullptr);

    // A slot keeps the first object; a later one is destroyed.
    auto destroy = [](void* p) { delete static_cast<Tracked*>(p); };
    auto* first = new Tracked;
    EXPECT_EQ(CertDll::InstallLibraryObject(CertDll::LibrarySlot::NameParserTable, first, destroy), first);
    EXPECT_EQ(CertDll::InstallLibraryObject(CertDll::LibrarySlot::NameParserTable, new Tracked, destroy), first);
    EXPECT_EQ(Tracked::alive, 1);
    EXPECT_EQ(CertDll::LibraryObject(CertDll::LibrarySlot::NameParserTable), first);
}
