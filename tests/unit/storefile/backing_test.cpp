// File-store and system-store backings through the interface the in-memory
// stores call: Load at open, Changed per change, Commit at close.
#include <sys/stat.h>
#include <unistd.h>

#include "capi/store_file.h"
#include "cert/platform.h"
#include "store_test_util.h"
#include "testsupport.h"

using namespace storetest;
using capi::store::FileForm;
using capi::store::kCert;
using capi::store::kCrl;
using capi::store::kCtl;

namespace {

class StoreBacking : public certtest::HomeTest {
protected:
    std::string Path(const std::string& name = "store.sst") const { return home_ / name; }

    void WriteStore(const std::string& path, const Bytes& bytes) const { certtest::WriteFile(path, Text(bytes)); }

    std::vector<Element> FileElements(const std::string& path, FileForm* form = nullptr) const {
        const std::string bytes = certtest::ReadFile(path);
        std::vector<Element> out;
        FileForm f;
        size_t at;
        EXPECT_TRUE(capi::store::ParseStoreFile(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(), out, f, &at))
            << "fault at " << at;
        if (form) *form = f;
        return out;
    }

    static std::unique_ptr<capi::store::Backing> Open(const std::string& path, DWORD flags = 0x10000) {
        auto b = capi::store::OpenFileBacking(path, flags);
        EXPECT_TRUE(b) << std::hex << GetLastError();
        return b;
    }
};

std::vector<Element> Loaded(capi::store::Backing& b) {
    std::vector<Element> out;
    EXPECT_TRUE(b.Load(out)) << std::hex << GetLastError();
    return out;
}

void Remove(std::vector<Element>& v, const Bytes& der) {
    std::erase_if(v, [&](const Element& e) { return e.encoded == der; });
}

struct stat Stat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

}  // namespace

TEST_F(StoreBacking, CommitsOfTwoStoresOnOneFileKeepBothChanges) {
    const Bytes a = Cert(1), b = Cert(2), c = Cert(3), d = Cert(4), e = Cert(5);
    WriteStore(Path(), capi::store::WriteSerialized({Make(kCert, a, {{0x1234, {1}}}), Make(kCert, b), Make(kCert, c)}));
    auto x = Open(Path()), y = Open(Path());
    const auto opened = Loaded(*x);
    ASSERT_EQ(Loaded(*y).size(), 3u);

    // x: adds d, deletes b, sets a property on a and drops the old one.
    auto nowX = opened;
    nowX.push_back(Make(kCert, d));
    Remove(nowX, b);
    nowX[0].props = {{0x1235, {2}}};
    ASSERT_TRUE(x->Commit(opened, nowX));
    // y, opened before x committed: adds e and d too, deletes c, sets another property on a.
    auto nowY = opened;
    nowY.push_back(Make(kCert, e));
    nowY.push_back(Make(kCert, d));
    Remove(nowY, c);
    nowY[0].props.push_back({0x1236, {3}});
    ASSERT_TRUE(y->Commit(opened, nowY));

    const auto got = FileElements(Path());
    EXPECT_EQ(Contents(got), Contents({Make(kCert, a), Make(kCert, d), Make(kCert, e)}));
    EXPECT_EQ(got[0].props, (std::vector<std::pair<DWORD, Bytes>>{{0x1235, {2}}, {0x1236, {3}}}));

    // What y deleted stays deleted for a third store that kept it unchanged.
    auto z = Open(Path());
    auto openedZ = Loaded(*z);
    auto nowZ = openedZ;
    nowZ.push_back(Make(kCrl, Sequence("crl")));
    ASSERT_TRUE(y->Commit(opened, opened));                          // unchanged: nothing to apply
    WriteStore(Path(), capi::store::WriteSerialized({openedZ[1]}));  // another process removed a and e
    ASSERT_TRUE(z->Commit(openedZ, nowZ));
    EXPECT_EQ(Contents(FileElements(Path())), Contents({Make(kCert, d), Make(kCrl, Sequence("crl"))}));

    // Rewritten in place to the same size at once (same inode, same tick):
    // the commit still sees the other content.
    WriteStore(Path(), capi::store::WriteSerialized({Make(kCert, a)}));
    auto w = Open(Path());
    const auto openedW = Loaded(*w);
    WriteStore(Path(), capi::store::WriteSerialized({Make(kCert, b)}));
    auto nowW = openedW;
    nowW.push_back(Make(kCert, c));
    ASSERT_TRUE(w->Commit(openedW, nowW));
    EXPECT_EQ(Contents(FileElements(Path())), Contents({Make(kCert, b), Make(kCert, c)}));
}

TEST_F(StoreBacking, UnknownPropertiesAndTrustListsSurviveACommit) {
    const Bytes ctl = Sequence("a trust list");
    const std::vector<Element> stored{
        Make(kCtl, ctl, {{0x7777, {0xAA, 0xBB}}, {0x20 + 0x100, {}}}),
        Make(kCert, Cert(7), {{2, capi::store::EncodeKeyProvInfo({u"c", u"p", 75, 0, 1, {}})}})};
    const Bytes file = capi::store::WriteSerialized(stored);
    // The store's folder may be the transport directory: the commit leaves
    // nothing there but the store (its lock lives under the home).
    ASSERT_EQ(::mkdir(Path("transport").c_str(), 0700), 0);
    const std::string path = Path("transport/store.sst");
    WriteStore(path, file);
    auto s = Open(path);
    const auto opened = Loaded(*s);
    auto now = opened;
    now.push_back(Make(kCert, Cert(8)));
    ASSERT_TRUE(s->Commit(opened, now));
    Bytes expected = file;
    expected.resize(expected.size() - 12);
    const Bytes added = capi::store::WriteSerialized({Make(kCert, Cert(8))});
    expected.insert(expected.end(), added.begin() + 8, added.end());
    EXPECT_EQ(certtest::ReadFile(path), Text(expected));
    EXPECT_EQ(certtest::Run("ls -A " + certtest::Sh(Path("transport"))).out, "store.sst\n");
}

TEST_F(StoreBacking, BundlesStayBundlesAndALoneCertificateGrowsIntoOne) {
    const Bytes a = Cert(20), b = Cert(21);
    WriteStore(Path("b.p7b"), capi::store::WritePkcs7Bundle({Make(kCert, a)}));
    auto s = Open(Path("b.p7b"));
    auto opened = Loaded(*s);
    auto now = opened;
    now.push_back(Make(kCert, b, {{0x1234, {1}}}));  // properties have no place in a bundle
    ASSERT_TRUE(s->Commit(opened, now));
    FileForm form;
    EXPECT_EQ(Contents(FileElements(Path("b.p7b"), &form)), Contents(now));
    EXPECT_EQ(form, FileForm::kPkcs7);

    WriteStore(Path("a.cer"), a);
    s = Open(Path("a.cer"));
    opened = Loaded(*s);
    now = opened;
    now[0].props = {{0x1234, {1}}};
    ASSERT_TRUE(s->Commit(opened, now));
    EXPECT_EQ(certtest::ReadFile(Path("a.cer")), Text(a)) << "still the certificate alone";
    now.push_back(Make(kCert, b));
    ASSERT_TRUE(s->Commit(opened, now));
    EXPECT_EQ(Contents(FileElements(Path("a.cer"), &form)), Contents(now));
    EXPECT_EQ(form, FileForm::kPkcs7);
}

TEST_F(StoreBacking, AnUnchangedStoreNeverWrites) {
    WriteStore(Path(), capi::store::WriteSerialized({Make(kCert, Cert(30))}));
    const struct stat before = Stat(Path());
    auto s = Open(Path());
    const auto opened = Loaded(*s);
    ASSERT_TRUE(s->Commit(opened, opened));
    EXPECT_EQ(Stat(Path()).st_ino, before.st_ino);
    EXPECT_EQ(Stat(Path()).st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    // A change that another process already made: the merge equals the file.
    auto now = opened;
    now.push_back(Make(kCert, Cert(31)));
    const Bytes both = capi::store::WriteSerialized(now);
    WriteStore(Path(), both);
    const struct stat mid = Stat(Path());
    ASSERT_TRUE(s->Commit(opened, now));
    EXPECT_EQ(Stat(Path()).st_ino, mid.st_ino);

    auto fresh = Open(Path("none.sst"));
    ASSERT_TRUE(Loaded(*fresh).empty());
    ASSERT_TRUE(fresh->Commit({}, {}));
    EXPECT_NE(::access(Path("none.sst").c_str(), F_OK), 0);
    auto ro = Open(Path("none.sst"), 0x8000);
    ASSERT_TRUE(ro->Commit({}, {Make(kCert, Cert(32))}));
    EXPECT_NE(::access(Path("none.sst").c_str(), F_OK), 0) << "a read-only store is never written";
}

TEST_F(StoreBacking, OpenFlagsAndPathForms) {
    EXPECT_FALSE(capi::store::OpenFileBacking(Path("absent"), 0x4000));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    auto made = capi::store::OpenFileBacking(Path("new.sst"), 0x2000);
    ASSERT_TRUE(made);
    EXPECT_EQ(certtest::ReadFile(Path("new.sst")), Text(capi::store::WriteSerialized({})));
    EXPECT_FALSE(capi::store::OpenFileBacking(Path("new.sst"), 0x2000));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

    // "\" separates, a relative path is taken from the current folder.
    ASSERT_TRUE(certtest::Run("mkdir -p " + certtest::Sh(Path("sub"))).exitCode == 0);
    WriteStore(Path("sub/x.sst"), capi::store::WriteSerialized({Make(kCert, Cert(40))}));
    auto slashed = Open(home_.path() + "\\sub\\..\\sub\\x.sst");
    EXPECT_EQ(Loaded(*slashed).size(), 1u);
    char cwd[4096];
    ASSERT_TRUE(::getcwd(cwd, sizeof cwd));
    ASSERT_EQ(::chdir(Path("sub").c_str()), 0);
    auto relative = capi::store::OpenFileBacking("x.sst", 0);
    ASSERT_EQ(::chdir(cwd), 0);
    ASSERT_TRUE(relative);
    EXPECT_EQ(Loaded(*relative).size(), 1u);
}

TEST_F(StoreBacking, ADamagedFileIsNeverWrittenAndAFailedCommitLeavesTheOldOne) {
    Bytes bad = capi::store::WriteSerialized({Make(kCert, Cert(50))});
    bad.resize(bad.size() - 5);
    WriteStore(Path(), bad);
    auto s = Open(Path());
    std::vector<Element> out;
    EXPECT_FALSE(s->Load(out));
    EXPECT_EQ(GetLastError(), CRYPT_E_FILE_ERROR);

    // Damaged between open and commit: the commit fails, the bytes stay.
    const Bytes good = capi::store::WriteSerialized({Make(kCert, Cert(51))});
    WriteStore(Path(), good);
    s = Open(Path());
    const auto opened = Loaded(*s);
    WriteStore(Path(), bad);
    auto now = opened;
    now.push_back(Make(kCert, Cert(52)));
    EXPECT_FALSE(s->Commit(opened, now));
    EXPECT_EQ(GetLastError(), CRYPT_E_FILE_ERROR);
    EXPECT_EQ(certtest::ReadFile(Path()), Text(bad));

    // A link in the file's place is never written through.
    WriteStore(Path("target.sst"), good);
    ASSERT_EQ(::symlink(Path("target.sst").c_str(), Path("link.sst").c_str()), 0);
    s = Open(Path("link.sst"));
    const auto viaLink = Loaded(*s);
    EXPECT_FALSE(s->Commit(viaLink, now));
    EXPECT_EQ(GetLastError(), ERROR_STOPPED_ON_SYMLINK);
    EXPECT_EQ(certtest::ReadFile(Path("target.sst")), Text(good));
}

class SystemStore : public StoreBacking {
protected:
    std::string Folder(const std::string& where, const std::string& name) const {
        return home_ / (where + "/SystemCertificates/" + name);
    }
    static std::unique_ptr<capi::store::Backing> OpenSys(const std::u16string& name, DWORD flags = 0x10000) {
        auto b = capi::store::OpenSystemBacking(name, flags);
        EXPECT_TRUE(b) << std::hex << GetLastError();
        return b;
    }
};

TEST_F(SystemStore, OneFilePerElementNamedByItsHash) {
    const Element a = Make(kCert, Cert(60), {{0x1234, {1}}}), b = Make(kCrl, Sequence("crl"));
    auto s = OpenSys(u"My");
    ASSERT_TRUE(Loaded(*s).empty());
    ASSERT_TRUE(s->Changed(nullptr, &a));
    ASSERT_TRUE(s->Changed(nullptr, &b));
    const std::string fileA = Folder("local", "MY") + "/" + capi::store::Sha1Hex(a.encoded);
    EXPECT_EQ(certtest::ReadFile(fileA), Text(capi::store::WriteSerialized({a})));

    // Another spelling is the same store; a property change rewrites the file.
    auto t = OpenSys(u"mY");
    auto got = Loaded(*t);
    ASSERT_EQ(got.size(), 2u);
    Element a2 = a;
    a2.props.push_back({0x1235, {2}});
    ASSERT_TRUE(t->Changed(&a, &a2));
    EXPECT_EQ(certtest::ReadFile(fileA), Text(capi::store::WriteSerialized({a2})));
    ASSERT_TRUE(t->Changed(&a2, nullptr));
    ASSERT_TRUE(t->Changed(&a2, nullptr)) << "deleting what is gone already";
    got = Loaded(*s);
    EXPECT_EQ(Contents(got), Contents({b}));
    ASSERT_TRUE(t->Commit({}, {}));

    // A damaged element file fails the open of the whole store.
    certtest::WriteFile(Folder("local", "MY") + "/" + std::string(40, 'A'), "junk");
    std::vector<Element> out;
    EXPECT_FALSE(s->Load(out));
    EXPECT_EQ(GetLastError(), CRYPT_E_FILE_ERROR);
}

TEST_F(SystemStore, NamesLocationsAndFlags) {
    for (const std::u16string& bad :
         std::vector<std::u16string>{u"", u"a/b", u"a\\b", u"..", u"x..y", std::u16string(u"a\0b", 3)}) {
        EXPECT_FALSE(capi::store::OpenSystemBacking(bad, 0x10000));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_TRUE(capi::store::OpenSystemBacking(u"AddressBook", 0x20000 | 0x4000)) << "always exists";
    EXPECT_FALSE(capi::store::OpenSystemBacking(u"ca", 0x10000 | 0x2000));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_FALSE(capi::store::OpenSystemBacking(u"Other", 0x10000 | 0x4000));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(capi::store::OpenSystemBacking(u"Other", 0x10000 | 0x2000));
    EXPECT_TRUE(capi::store::OpenSystemBacking(u"other", 0x10000 | 0x4000));

    // A read-only store takes changes in memory only.
    auto ro = OpenSys(u"Other", 0x10000 | 0x8000);
    const Element e = Make(kCert, Cert(70));
    ASSERT_TRUE(ro->Changed(nullptr, &e));
    EXPECT_TRUE(Loaded(*ro).empty());
}

TEST_F(SystemStore, TheUsersRootShowsTheMachinesReadOnly) {
    const Element machineOnly = Make(kCert, Cert(80)), both = Make(kCert, Cert(81)), mine = Make(kCert, Cert(82));
    auto machine = OpenSys(u"ROOT", 0x20000);
    ASSERT_TRUE(machine->Changed(nullptr, &machineOnly));
    ASSERT_TRUE(machine->Changed(nullptr, &both));
    auto user = OpenSys(u"root");
    ASSERT_TRUE(user->Changed(nullptr, &both));
    ASSERT_TRUE(user->Changed(nullptr, &mine));

    auto got = Loaded(*user);
    ASSERT_EQ(got.size(), 3u);
    int readOnly = 0;
    for (const Element& e : got) {
        readOnly += e.readOnly;
        EXPECT_EQ(e.readOnly, e.encoded == machineOnly.encoded);
    }
    EXPECT_EQ(readOnly, 1);
    const Element& shown = *std::find_if(got.begin(), got.end(), [](const Element& e) { return e.readOnly; });
    EXPECT_FALSE(user->Changed(&shown, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // Replaced by a writable copy: the copy is the user's, the machine's stays.
    Element own = shown;
    own.readOnly = false;
    own.props = {{0x1234, {1}}};
    ASSERT_TRUE(user->Changed(&shown, &own));
    EXPECT_EQ(Loaded(*machine).size(), 2u);
    got = Loaded(*user);
    EXPECT_EQ(got.size(), 3u);
    EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const Element& e) { return e.readOnly; }), 0);
    EXPECT_EQ(Loaded(*OpenSys(u"MY")).size(), 0u) << "only Root and CA show the machine's";
}
