#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cert/crlfile.h"
#include "crl_file_util.h"
#include "testsupport.h"

namespace {

using crlfiletest::CrlsIn;
using crlfiletest::MakeCrl;

const char kA[] = "CN=Центр A, C=RU";
const char kB[] = "CN=Центр B, C=RU";

class CrlFile : public certtest::HomeTest {
protected:
    std::string Bytes() const { return certtest::ReadFile(path_); }
    std::list<IdentObj> Crls() const { return CrlsIn(Bytes()); }
    int Update(const IdentObj& crl, bool byNumber = false) const {
        return CTFUpdateCRLInFile(path_.c_str(), crl, byNumber, {}, nullptr);
    }
    const std::string path_ = home_ / "crls.p7";
};

TEST_F(CrlFile, UpdateReplacesTheSameIssuerAndKeyOnly) {
    const IdentObj a1 = MakeCrl(kA, "k1", "", "\x01"), b = MakeCrl(kB, "k1");
    EXPECT_EQ(Update(a1), 0) << "the file must exist";
    EXPECT_EQ(GetLastError(), DWORD(TOOERR_NOFILE));

    int error = -1;
    ASSERT_TRUE(CTFUpdateCRLsInFile(path_, {a1}, false, {}, nullptr, true, &error)) << error;
    ASSERT_EQ(Update(b), 1);
    EXPECT_EQ(Crls(), (std::list<IdentObj>{a1, b}));

    // The same issuer and key: the old one goes, the new one comes last;
    // another key of that issuer stays beside it.
    const IdentObj a1New = MakeCrl(kA, "k1", "", "\x02"), a2 = MakeCrl(kA, "k2");
    for (const IdentObj* crl : {&a1New, &a2}) ASSERT_EQ(Update(*crl), 1);
    EXPECT_EQ(Crls(), (std::list<IdentObj>{b, a1New, a2}));
    // Without any authority key both sides count as the same key.
    const IdentObj bare1 = MakeCrl(kB, "", "", "\x03"), bare2 = MakeCrl(kB, "", "", "\x04");
    for (const IdentObj* crl : {&bare1, &bare2}) ASSERT_EQ(Update(*crl), 1);
    EXPECT_EQ(Crls(), (std::list<IdentObj>{b, a1New, a2, bare2}));

    // Issuers to drop: every CRL of B goes, into the storage first.
    CCTFCertStorage dropped(CCTFString(""), CERT_STORE_PROV_MEMORY, 0, 7, nullptr);
    ASSERT_EQ(CTFUpdateCRLInFile(path_.c_str(), IdentObj(), false, {CCTFX509Name(kB)}, &dropped), 1);
    EXPECT_EQ(Crls(), (std::list<IdentObj>{a1New, a2}));
    EXPECT_EQ(dropped.GetCRLList().size(), 2u);

    // By number: another list's CRL whose number shares bytes 3 and 4 goes.
    const std::string n1("\x10\x11\xAA\xBB\x00\x00\x00\x00", 8), n2("\x20\x21\xAA\xBB\x01", 5);
    const IdentObj c = MakeCrl(kB, "k3", n1), d = MakeCrl("CN=D", "k4", n2);
    for (const IdentObj* crl : {&c, &d}) ASSERT_EQ(Update(*crl), 1);
    EXPECT_EQ(Crls().size(), 4u) << "without matchNumber numbers do not count";
    const IdentObj e = MakeCrl("CN=E", "k5", std::string("\x30\x31\xAA\xBB\x02", 5));
    ASSERT_EQ(Update(e, true), 1);
    EXPECT_EQ(Crls(), (std::list<IdentObj>{a1New, a2, e}));
}

TEST_F(CrlFile, DeleteByNumberOrKeyId) {
    const std::string n1("\x01\x02\x03\x04\x05", 5), n2("\x01\x02\x03\x04\x06", 5);
    const IdentObj a1 = MakeCrl(kA, "k1", n1), a2 = MakeCrl(kA, "k2", n2), b = MakeCrl(kB, "k1", n1);
    int error = -1;
    ASSERT_TRUE(CTFUpdateCRLsInFile(path_, {a1, a2, b}, false, {}, nullptr, true, &error)) << error;

    ASSERT_TRUE(CTFDeleteCrlFromFile(true, CCTFX509Name(kA), IdentObj(n2), path_, &error)) << error;
    EXPECT_EQ(Crls(), (std::list<IdentObj>{a1, b}));
    EXPECT_EQ(CTFDeleteCrlFromFile(false, CCTFX509Name(kB), IdentObj(std::string("k1")), path_.c_str()), 1);
    EXPECT_EQ(Crls(), (std::list<IdentObj>{a1}));
    // The issuer must match too, and a number is no key id.
    const std::string before = Bytes();
    EXPECT_FALSE(CTFDeleteCrlFromFile(false, CCTFX509Name(kB), IdentObj(std::string("k1")), path_, &error));
    EXPECT_EQ(error, CTFERR_CRL_NOT_IN_FILE);
    EXPECT_EQ(CTFDeleteCrlFromFile(false, CCTFX509Name(kA), IdentObj(n1), path_.c_str()), 0);
    EXPECT_EQ(GetLastError(), DWORD(CTFERR_CRL_NOT_IN_FILE));
    EXPECT_EQ(Bytes(), before);
    EXPECT_EQ(CTFDeleteCrlFromFile(true, CCTFX509Name(kA), IdentObj(n1), (home_ / "none.p7").c_str()), 0);
    EXPECT_EQ(GetLastError(), DWORD(TOOERR_NOFILE));
}

// A file that does not decode, a CRL that does not, a link, a FIFO: the
// edit fails and the file (or what the link names) stays byte for byte.
TEST_F(CrlFile, FailuresLeaveTheFileAsItWas) {
    int error = 0;
    const IdentObj a = MakeCrl(kA, "k1");
    certtest::WriteFile(path_, "\x30\x03\x02\x01\x01 not signed data");
    EXPECT_FALSE(CTFUpdateCRLsInFile(path_, {a}, false, {}, nullptr, true, &error));
    EXPECT_NE(error, 0);
    EXPECT_EQ(Bytes(), "\x30\x03\x02\x01\x01 not signed data");
    EXPECT_FALSE(CTFDeleteCrlFromFile(false, CCTFX509Name(kA), IdentObj(std::string("k1")), path_, &error));
    EXPECT_EQ(Bytes(), "\x30\x03\x02\x01\x01 not signed data");

    ::unlink(path_.c_str());
    ASSERT_TRUE(CTFUpdateCRLsInFile(path_, {a}, false, {}, nullptr, true, &error)) << error;
    const std::string good = Bytes();
    const IdentObj notCrl(std::string("\x30\x03\x02\x01\x01", 5));
    EXPECT_FALSE(CTFUpdateCRLsInFile(path_, {MakeCrl(kB, "k1"), notCrl}, false, {}, nullptr, false, &error));
    EXPECT_NE(error, 0);
    EXPECT_EQ(Update(notCrl), 0);
    EXPECT_EQ(Bytes(), good) << "no CRL of a failed merge is kept, not even the ones before the fault";

    const std::string link = home_ / "link.p7";
    ASSERT_EQ(::symlink(path_.c_str(), link.c_str()), 0);
    EXPECT_FALSE(CTFUpdateCRLsInFile(link, {MakeCrl(kB, "k1")}, false, {}, nullptr, false, &error));
    EXPECT_EQ(error, TOOERR_NOTSUPPORTED);
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(Bytes(), good);

    const std::string fifo = home_ / "fifo.p7";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(CTFUpdateCRLsInFile(fifo, {a}, false, {}, nullptr, true, &error));  // no hang
    EXPECT_EQ(error, TOOERR_NOTSUPPORTED);
}

}  // namespace
