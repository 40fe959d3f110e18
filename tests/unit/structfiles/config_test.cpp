#include <sys/stat.h>
#include <unistd.h>

#include "cert/structfiles.h"
#include "testsupport.h"

using certtest::TempDir;

namespace {
CConfigFileKeyList Items(std::initializer_list<std::pair<const char*, std::string>> kv) {
    CConfigFileKeyList l;
    for (auto& [k, v] : kv) l.emplace_back(CTOOString(k), CTOOString(v));
    return l;
}
}  // namespace

// Section files take a named lock, which lives under $CERT_HOME.
class SectionFile : public certtest::HomeTest {};

TEST_F(SectionFile, AnyBytesRoundTripAndTheFileStaysUtf8Text) {
    TempDir dir;
    CConfigFileSectionList all;
    all.emplace_back(CTOOString("General"), Items({{"CertificateNumber", "12"}, {"Empty", ""}}));
    all.emplace_back(CTOOString(" odd]name[ "),
                     Items({{"k=ey", "v=al"},
                            {" spaced ", "  two leading, trailing  "},
                            {"[not a header", "; not a comment"},
                            {"#", "tab\there\r\nnew line \\ backslash"},
                            {"", std::string("raw \xFF\x80 bytes and \xD0\x9A\xD0\xB8\xD1\x80 text")},
                            {"dup", "1"},
                            {"dup", "2"}}));
    CTOOConfigInfoFile f((dir / "a.cfg").c_str());
    ASSERT_TRUE(f.PutAllSections(all));
    CConfigFileSectionList back;
    ASSERT_TRUE(f.GetAllSections(&back));
    EXPECT_EQ(back, all);

    std::string text = certtest::ReadFile(dir / "a.cfg");
    EXPECT_NE(text.find("\xD0\x9A\xD0\xB8\xD1\x80"), std::string::npos);  // valid UTF-8 stays readable
    EXPECT_EQ(text.find('\xFF'), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST_F(SectionFile, NamesMatchIgnoringCaseAndPutReplacesOneSection) {
    TempDir dir;
    const std::string path = dir / "b.cfg";
    certtest::WriteFile(path,
                        "\xEF\xBB\xBF; written by hand\r\n[General]\r\n  SignExtension =  1  \r\n\r\n"
                        "# other\r\n[Algorithms]\r\nHashAlgorithmName=GOST\r\n[general]\r\nMore=yes\r\n");
    CTOOConfigInfoFile f(path.c_str());
    CTOOString v;
    ASSERT_TRUE(f.GetValue("GENERAL", "signextension", v));
    EXPECT_EQ(v, "1");
    CConfigFileKeyList items;
    ASSERT_TRUE(f.GetSection("general", &items));
    EXPECT_EQ(items.size(), 2u);  // a repeated header continues the section

    ASSERT_TRUE(f.PutSection("GENERAL", Items({{"CertIssuerName", "CA"}})));
    CConfigFileSectionList all;
    ASSERT_TRUE(f.GetAllSections(&all));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all.front().m_Name, "General");
    EXPECT_EQ(all.front().m_Items, Items({{"CertIssuerName", "CA"}}));
    EXPECT_EQ(all.back().m_Items, Items({{"HashAlgorithmName", "GOST"}}));

    // An absent section is an answer, not a failure to raise.
    EXPECT_FALSE(f.GetSection("Certificates", &items));
    EXPECT_EQ(f.GetRetCode(), TOOERR_NOTFOUND);
    ASSERT_TRUE(f.DeleteSection("algorithms"));
    ASSERT_TRUE(f.GetAllSections(&all));
    EXPECT_EQ(all.size(), 1u);
}

TEST_F(SectionFile, DamagedFileNamesFileAndLineAndIsNeverOverwritten) {
    TempDir dir;
    const std::string path = dir / "c.cfg";
    struct Case {
        const char* text;
        int status;
        int line;
    } cases[] = {
        {"key=before any section\n", TOOERR_BADFORMAT, 1},
        {"[S]\nok=1\nno equals sign\n", TOOERR_BADFORMAT, 3},
        {"[S]\n\nbad=\\q escape\n", TOOERR_BADFORMAT, 3},
        {"[S]\nbad=\\x4\n", TOOERR_BADFORMAT, 2},
        {"[S\n", TOOERR_BADFORMAT, 1},
        {"[S]\na=1\nb=\xC3\x28\n", TOOERR_BADENCODING, 3},
        {"[S]\nc=\xED\xA0\x80 surrogate\n", TOOERR_BADENCODING, 2},
    };
    for (const auto& c : cases) {
        certtest::WriteFile(path, c.text);
        CTOOConfigInfoFile quiet(path.c_str(), false);
        EXPECT_FALSE(quiet.GetAllSections(nullptr)) << c.text;
        EXPECT_EQ(quiet.GetRetCode(), c.status) << c.text;
        EXPECT_EQ(std::string(quiet.GetErrText()), path + ":" + std::to_string(c.line)) << c.text;
        EXPECT_FALSE(quiet.PutSection("T", Items({{"x", "y"}})));
        EXPECT_EQ(certtest::ReadFile(path), c.text);
    }
    CTOOConfigInfoFile raising(path.c_str());
    try {
        raising.GetAllSections(nullptr);
        ADD_FAILURE() << "no throw";
    } catch (const XTOOStatus& e) {
        EXPECT_EQ(e.Status(), TOOERR_BADENCODING);
        EXPECT_EQ(std::string(e.Place()), path + ":2");
    }
}

TEST_F(SectionFile, MissingReadOnlyAndUnwritableFiles) {
    TempDir dir;
    CConfigFileSectionList all;
    CTOOConfigInfoFile missing((dir / "none.cfg").c_str(), false);
    EXPECT_TRUE(missing.GetAllSections(&all));
    EXPECT_TRUE(all.empty());
    CTOOConfigInfoFile must((dir / "none.cfg").c_str(), false, CTOOConfigInfoFile::MustExist);
    EXPECT_FALSE(must.GetAllSections(&all));
    EXPECT_EQ(must.GetRetCode(), TOOERR_NOFILE);
    CTOOConfigInfoFile ro((dir / "none.cfg").c_str(), false, CTOOConfigInfoFile::ReadOnly);
    EXPECT_FALSE(ro.PutSection("S", {}));
    EXPECT_EQ(ro.GetRetCode(), TOOERR_READONLY);
    CTOOConfigInfoFile nofolder((dir / "no/folder/x.cfg").c_str(), false);
    EXPECT_FALSE(nofolder.PutSection("S", {}));
    EXPECT_EQ(nofolder.GetRetCode(), TOOERR_NOFILE);

    ::chmod(dir.path().c_str(), 0755);
    ::mkdir((dir / "ro").c_str(), 0755);
    const std::string path = dir / "ro/x.cfg";
    CTOOConfigInfoFile f(path.c_str(), false);
    ASSERT_TRUE(f.PutSection("S", Items({{"a", "1"}})));
    const std::string before = certtest::ReadFile(path);
    ::chmod(path.c_str(), 0644);
    ::chmod((dir / "ro").c_str(), 0555);
    // The lock folder is reachable but not writable: the lock file that the
    // first writer left is enough for reading.
    for (const char* sub : {"", "/common", "/common/locks"}) ::chmod((home_.path() + sub).c_str(), 0755);
    EXPECT_EQ(0, certtest::AsUnprivileged([&] {
                  int failures = 0;
                  CTOOConfigInfoFile g(path.c_str(), false);
                  if (g.PutSection("S", Items({{"a", "2"}})) || g.GetRetCode() != TOOERR_ACCESS) failures |= 1;
                  if (std::string(g.GetErrText()).find(path) == std::string::npos) failures |= 2;
                  CConfigFileKeyList items;
                  if (!g.GetSection("S", &items) || items.size() != 1 || items.front().m_Value != "1") failures |= 4;
                  return failures;
              }));
    EXPECT_EQ(certtest::ReadFile(path), before);
}
