// The exported functions of the platform, foundation and frame report by the
// library's rule whatever fails inside them: run with the 1st, 2nd, 3rd...
// memory allocation failing in turn, each lets out nothing (functions that
// report by result, last error or status) or only XTOOStatus (functions
// that report by throwing), and never ends the process.
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cert/asn.h"
#include "cert/certlog.h"
#include "cert/convert.h"
#include "cert/errtext.h"
#include "cert/frame.h"
#include "cert/ipc.h"
#include "cert/logdisp.h"
#include "cert/oid.h"
#include "cert/oids.h"
#include "cert/storedev.h"
#include "cert/structfiles.h"
#include "cert/sysapi.h"
#include "cert/toofile.h"
#include "cert/tootime.h"
#include "cert/url.h"
#include "cert/x500name.h"
#include "testsupport.h"

// Every allocation of the process goes through these (the library's other
// forms of new and delete forward to them); while a count is armed, the
// allocation it reaches fails once.
namespace {
thread_local long t_failAt = -1;
thread_local long t_seen = 0;
thread_local bool t_failed = false;
}  // namespace

void* operator new(std::size_t n) {
    if (t_failAt >= 0 && !t_failed && t_seen++ == t_failAt) {
        t_failed = true;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
// The C++ library forwards this form to the one above, AddressSanitizer
// does not: its own would hand the delete below a block it did not make.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return operator new(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
// The pointers come from the malloc above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

enum class Rule {
    Quiet,   // reports by result, last error, HRESULT or a given int*
    Throws,  // reports by throwing XTOOStatus
};

struct Call {
    const char* name;
    Rule rule;
    std::function<void()> run;
};

// Runs `call` once per allocation it makes, failing that one, in a child
// process so that an abort is seen as such. Returns "" or what went wrong.
// The calls build their arguments beforehand: only the library allocates
// while a count is armed.
std::string FailEachAllocation(const Call& call) {
    std::fflush(nullptr);
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return "no pipe";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        std::string fault;
        for (long n = 0; n < 5000 && fault.empty(); ++n) {
            t_seen = 0;
            t_failed = false;
            t_failAt = n;
            try {
                call.run();
                t_failAt = -1;
            } catch (const XTOOStatus& e) {
                t_failAt = -1;
                if (call.rule == Rule::Quiet)
                    fault = "XTOOStatus " + std::to_string(e.Status()) + " at allocation " + std::to_string(n);
            } catch (const std::exception& e) {
                t_failAt = -1;
                fault = std::string("let out ") + typeid(e).name() + " at allocation " + std::to_string(n);
            } catch (...) {
                t_failAt = -1;
                fault = "let out an unknown exception at allocation " + std::to_string(n);
            }
            if (!t_failed) break;  // ran to its end without the failing allocation
        }
        (void)!::write(pipeFds[1], fault.data(), fault.size());
        _exit(0);
    }
    ::close(pipeFds[1]);
    std::string fault;
    char buf[256];
    ssize_t r;
    while ((r = ::read(pipeFds[0], buf, sizeof buf)) > 0) fault.append(buf, static_cast<std::size_t>(r));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status)) return "ended by signal " + std::to_string(WTERMSIG(status)) + " " + fault;
    return fault;
}

unsigned __stdcall ThreadBody(void*) { return 7; }
void __stdcall TimerBody(void*, BOOLEAN) {}

class Boundary : public certtest::HomeTest {
protected:
    void Check(const std::vector<Call>& calls) {
        for (const Call& c : calls) {
            const std::string fault = FailEachAllocation(c);
            EXPECT_EQ("", fault) << c.name;
        }
    }
};

}  // namespace

TEST_F(Boundary, PlatformCalls) {
    const std::string dir = home_ / "p", folders = dir + "\\a\\b", in = dir + "/in", out = dir + "/out";
    const std::string key = "Software\\U", name = "s";
    const std::u16string url1 = u"http://a/", url2 = u"http://a";
    ASSERT_EQ(0, ::mkdir(dir.c_str(), 0700));
    certtest::WriteFile(in, "contents");
    std::string text;
    Check({
        {"MakeFolders", Rule::Quiet, [&] { cert::platform::MakeFolders(folders); }},
        {"SHGetSpecialFolderPathA", Rule::Quiet,
         [] {
             char path[MAX_PATH];
             SHGetSpecialFolderPathA(nullptr, path, CSIDL_LOCAL_APPDATA, TRUE);
         }},
        {"WriteFileAtomic", Rule::Quiet, [&] { cert::platform::WriteFileAtomic(out, "data", 4, 0600); }},
        {"WriteOutputFile", Rule::Quiet, [&] { cert::platform::WriteOutputFile(out, "data", 4); }},
        {"ReadWholeFile", Rule::Quiet, [&] { cert::platform::ReadWholeFile(in, text, 100); }},
        {"FileReader", Rule::Quiet,
         [&] {
             cert::platform::FileReader file;
             std::size_t have = 0;
             file.Open(in);
             file.ReadToEnd(have, 100, [&](std::size_t n) {
                 text.resize(n);
                 return reinterpret_cast<std::uint8_t*>(text.data());
             });
         }},
        {"registry", Rule::Quiet,
         [] {
             HKEY k = nullptr;
             if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\T", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                                 nullptr) != ERROR_SUCCESS)
                 return;
             DWORD v = 5, size = sizeof v, type = 0;
             RegSetValueExA(k, "n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
             RegQueryValueExA(k, "n", nullptr, &type, reinterpret_cast<BYTE*>(&v), &size);
             char valueName[64];
             DWORD len = sizeof valueName;
             RegEnumValueA(k, 0, valueName, &len, nullptr, nullptr, nullptr, nullptr);
             RegCloseKey(k);
             RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\T");
         }},
        {"Registry helpers", Rule::Quiet,
         [&] {
             cert::platform::Registry::SetString(HKEY_LOCAL_MACHINE, key, name, name);
             cert::platform::Registry::GetString(HKEY_LOCAL_MACHINE, key, name, text);
         }},
        {"events", Rule::Quiet,
         [] {
             HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "boundary-event");
             HANDLE o = OpenEventA(EVENT_ALL_ACCESS, FALSE, "boundary-event");
             HANDLE d = nullptr;
             DuplicateHandle(nullptr, e, nullptr, &d, 0, FALSE, 0);
             SetEvent(e);
             WaitForSingleObject(o, 0);
             for (HANDLE h : {e, o, d})
                 if (h) CloseHandle(h);
         }},
        {"threads", Rule::Quiet,
         [] {
             uintptr_t t = _beginthreadex(nullptr, 0, ThreadBody, nullptr, 0, nullptr);
             if (!t) return;
             WaitForSingleObject(reinterpret_cast<HANDLE>(t), INFINITE);
             DWORD code = 0;
             GetExitCodeThread(reinterpret_cast<HANDLE>(t), &code);
             CloseHandle(reinterpret_cast<HANDLE>(t));
         }},
        {"timers", Rule::Quiet,
         [] {
             HANDLE t = nullptr;
             if (CreateTimerQueueTimer(&t, nullptr, TimerBody, nullptr, 0, 0, 0))
                 DeleteTimerQueueTimer(nullptr, t, INVALID_HANDLE_VALUE);
         }},
        {"urls", Rule::Quiet,
         [&] {
             char16_t canonical[256];
             DWORD n = 256;
             UrlCanonicalizeW(u"HTTP://Host/a/../b c", canonical, &n, 0);
             char escaped[] = "a%20b";
             DWORD m = sizeof escaped;
             char buf[16];
             UrlUnescapeA(escaped, buf, &m, 0);
             CertDll::IsIdenticalUrl(url1, url2);
         }},
    });
}

TEST_F(Boundary, FoundationCalls) {
    const std::string dir = home_ / "f", in = dir + "/in", file = dir + "/file", missing = dir + "/missing/file",
                      copy = dir + "/copy", moved = dir + "/moved", mask = dir + "\\*", made = dir + "/x/y",
                      madeTop = dir + "/x", rec = dir + "/rec", ini = dir + "/sections.ini",
                      ini2 = dir + "/sections2.ini", diag = dir + "/diag.log";
    ASSERT_EQ(0, ::mkdir(dir.c_str(), 0700));
    certtest::WriteFile(in, "contents");
    IdentObj blob("xyz"), decoded;
    const CConfigFileKeyList items = {{"k", "v"}};
    CConfigFileSectionList all;
    CTOOString value, folder, container, formatted;
    std::u16string wide;
    std::string narrow;
    std::vector<IdentObj> parts;
    // Objects are made beforehand: a constructor can only report by throwing.
    CTOOConfigInfoFile sections(ini.c_str(), false);
    CLogDisp diagnostics(nullptr, diag.c_str());
    Check({
        {"CTOOFile", Rule::Quiet,
         [&] {
             CTOOFile f(file.c_str(), "w+b");
             f.Write("abc", 3);
             f.Seek(0);
             char b[3];
             f.Read(b, 3);
             blob.WriteData(f);
             f.Seek(3);
             decoded.ReadData(f);
             f.Close();
         }},
        {"CTOOFile throwing", Rule::Throws, [&] { CTOOFile f(missing.c_str(), "rb", true); }},
        {"file names", Rule::Quiet,
         [&] {
             CTOOFile::CopyFileA(in.c_str(), copy.c_str());
             CTOOFile::MoveFileA(copy.c_str(), moved.c_str());
             CTOOFile::DeleteFileA(moved.c_str());
             CTOOFile::GetAttributes(in.c_str());
             CTOOFile::Length(in.c_str());
         }},
        {"folders", Rule::Quiet,
         [&] {
             CTOOFindFile ff;
             ff.Get(mask.c_str());
             CTOOFolder::Create(made.c_str());
             CTOOFolder::UnLink(madeTop.c_str(), true);
         }},
        {"unique", Rule::Quiet, [&] { CTOOFolder::UniqueFileName(dir.c_str(), "p", "tmp"); }},
        {"temp", Rule::Quiet, [&] { TOO::TEMPFOLDER t(dir.c_str()); }},
        {"file name parts", Rule::Throws,
         [] {
             TOO::FILENAME::ExtractFileTitle("c:\\a\\b.txt");
             TOO::FILENAME::ExtractFilePath("c:\\a\\b.txt");
         }},
        {"CRecFile", Rule::Quiet,
         [&] {
             CRecFile r(rec.c_str(), CRecFile::ModeCreate, 8, 4);
             r.Add("12345678");
             char record[8];
             r.Get(0, record);
             r.PutHeader("hhhh");
             r.Size();
         }},
        {"CTOOConfigInfoFile", Rule::Quiet,
         [&] {
             sections.PutSection("S", items);
             sections.GetValue("S", "k", value);
             sections.DeleteSection("S");
         }},
        {"CTOOConfigInfoFile raising", Rule::Throws,
         [&] {
             CTOOConfigInfoFile f(ini2.c_str(), true);
             f.PutSection("S", items);
             f.GetAllSections(&all);
         }},
        {"CommonContInfoList", Rule::Quiet,
         [] {
             CommonContInfoList l;
             l.Add("\\\\.\\DISK\\a");
             l.GetFirst();
             l.Erase("\\\\.\\DISK\\a");
         }},
        {"named lock", Rule::Throws,
         [] {
             IPC::CReadWriteLock lock("boundary");
             IPC::CWriteLocker w(lock);
             IPC::CReadLocker r(lock);
         }},
        {"text", Rule::Throws,
         [&] {
             TOOBin2HexStr("abc", 3, true);
             TOOHex2BinStr("61 62", decoded);
             TOO::Base64Decode(TOO::Base64Encode("abc", 3), decoded);
             DumpBlob2String("abcdefgh", 8);
             TOOUtf8ToUtf16("ключ", wide);
             TOOUtf8ToCp1251("ключ", narrow);
         }},
        {"strings", Rule::Throws,
         [&] {
             formatted.Format("%d %s", 5, "five");
             formatted.Mid(1, 2);
             formatted.LoadStringA(110, kCertModuleName);
             storedev::GetStorageName("\\\\.\\DISK\\a");
             storedev::ParseFullPath("\\\\.\\DISK\\keys\\a", nullptr, &folder, &container);
             CTOODateTime::Now(false).TextDateTime();
         }},
        {"diagnostics", Rule::Quiet,
         [&] {
             diagnostics.Put("line", 5L);
             LogReport(3, "report", "file.cpp", 7);
         }},
        {"ASN.1 records with status", Rule::Quiet,
         [&] {
             int st = 0;
             const BYTE seq[] = {0x30, 0x06, 0x02, 0x01, 0x05, 0x04, 0x01, 0x00};
             ASNTGetSequence(seq, sizeof seq, parts, &st);
             CASNTIdData oid;
             oid.SetOID(cert::oids::kGostR3411_94WithR3410_2001, &st);
             oid.WriteData(decoded, &st);
         }},
    });
}

TEST_F(Boundary, FrameCalls) {
    setenv("CERT_LOG_DIR", home_.path().c_str(), 1);
    IdentObj serial("\x01\x02", 2), back, out, oid;
    const IdentObj pem("-----BEGIN X-----\nYWJj\n-----END X-----\n");
    const CTOOString gost(cert::oids::kGostR3411_94WithR3410_2001), gost2001(cert::oids::kGostR3410_2001);
    const std::string format = "value %d", lastErrorFormat = "doing %s";
    const std::u16string wideFormat = u"wide %s";
    std::string text;
    std::u16string wideText;
    Check({
        {"GetCommonPath", Rule::Quiet,
         [] {
             char path[MAX_PATH];
             CommonPathError e;
             GetCommonPath(2, path, sizeof path, true, &e);
         }},
        {"explanations", Rule::Throws,
         [] {
             CTFGetWinErrorExplaination(NTE_BAD_KEYSET);
             CTFGetCertTotalBitMaskExplaination(0x21);
         }},
        {"system texts", Rule::Quiet,
         [&] {
             CertDll::GetWin32ErrorText(ERROR_FILE_NOT_FOUND, text);
             CertDll::GetErrorText(static_cast<HRESULT>(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)), wideText);
         }},
        {"conversions", Rule::Throws,
         [&] {
             TOOStr2Serial(Serial2TOOStr(serial, true), back);
             CTFB64BlobToBinary(pem, out);
         }},
        {"OIDs", Rule::Throws,
         [&] {
             unsigned alg = 0, extra = 0;
             GetAlgIDFromOID("1.2.643.2.2.3", 13, alg, extra);
             GetOIDFromAlgID(oid, alg, 0xFFFF);
             CTFGetNameForOID(gost);
             CTFGetSupportedHashOIDS(nullptr);
             CTFGetSupportedParams(gost2001);
             ALG_ID hash = 0x801e;
             vrkscapi::vrkcspexfun::FindOIDInfo(CRYPT_OID_INFO_ALGID_KEY, &hash, 0);
         }},
        {"logs", Rule::Quiet,
         [&] {
             CertDll::Log log("boundary.log", 0, true);
             log.Write(format, CertDll::LogLevel::Error, "Place", 5);
             log.WriteWide(wideFormat, CertDll::LogLevel::Warn, "Place", u"text");
             SetLastError(ERROR_ACCESS_DENIED);
             log.WriteLastError(lastErrorFormat, CertDll::LogLevel::Error, "Place", "x");
             CertPutLogFormatted("line", "source", 2);
             CertDll::ModulePath();
         }},
    });
}

TEST_F(Boundary, NameCalls) {
    using namespace X500NameParser;
    const std::u16string text = u"CN=Иванов, O=\"a, b\", C=RU, INN=007712345678, POSTALADDRESS=x$$y";
    const CCTFX509Name name("CN=Иванов, O=\"a, b\", C=RU, INN=007712345678, POSTALADDRESS=x$$y", 0, true);
    const CCTFX509Name other("C=RU;CN=Петров");
    const std::list<CCTFSimpleRDN> simple{{"2.5.4.3", "x"}, {"2.5.4.6", "RU"}};
    std::list<CCTFSimpleRDN> target{{"2.5.4.3", "y"}};
    std::list<std::list<CCTFRDNAttr>> rdns;
    name.GetNameInfo(rdns);
    std::list<X500NameEncoder::X500NAME_ELEM> elements;
    std::list<std::pair<std::u16string, std::list<std::u16string>>> pairs;
    std::u16string wide, oid;
    std::string narrow;
    IdentObj der;
    CTOOString value;
    CCTFRDNAttr attr;
    CCTFX509Name changed(name);
    Check({
        {"name classes", Rule::Throws,
         [&] {
             CCTFX509Name a("CN=Иванов, O=Org", 0x140000, true);
             CCTFX509Name b(rdns, true);
             CCTFX509Name c(simple, false, true);
             (void)(a == b);
             a.GetX500String(narrow, kModeKeywords);
             a.GetX500String(wide, kModeOids | kSemicolonOnly);
             a.GetCertNameString(narrow);
             a.GetSimpleRDN("2.5.4.3", value);
             c.GetNameInfo(rdns);
             CCTFX509Name::MakeRDNAttr("2.5.4.10", "Рога", attr);
             CCTFX509Name::MergeRDNAtributes(target, simple, "2.5.4.6");
             CCTFX509Name::QuoteString(value);
             changed.SetSimpleRDN("2.5.4.3", "Петров");
         }},
        {"name parser", Rule::Quiet,
         [&] {
             X500NameEncoder e;
             e.Encode(text, der, true);
             e.DevideIntoElements(text, elements);
             e.Encode(rdns, der);
             X500NameEncoder::FindOid("инн", oid);
             X500NameDecoder d;
             d.Decode(name, wide, kModeKeywords);
             d.Decode(other, pairs, kModeKeywords);
             CertNameInfoWrapper info;
             d.Decode(name, info);
             e.Encode(info.GetNameInfo(), der);
         }},
    });
}

// Homes that cannot be used: the calls that reach for them fail by the rule,
// and nothing ends the process.
TEST(UnusableHome, CallsFailByTheRule) {
    certtest::TempDir base;
    certtest::WriteFile(base / "file", "x");
    ::mkdir((base / "ro").c_str(), 0555);
    ::chmod(base.path().c_str(), 0755);
    for (const std::string& home : {std::string("/etc/hostname"), base / "file/sub", base / "ro/home"}) {
        const int failed = certtest::AsUnprivileged([&] {
            cert::platform::SetCertHome(home);
            int bad = 0;
            char path[MAX_PATH];
            if (SHGetSpecialFolderPathA(nullptr, path, CSIDL_COMMON_APPDATA, TRUE)) bad |= 1;
            CommonPathError pe;
            if (GetCommonPath(3, path, sizeof path, true, &pe) || pe.code != kCommonPathNoFolder) bad |= 2;
            if (cert::platform::Registry::SetString(HKEY_CURRENT_USER, "Software\\T", "v", "x") == ERROR_SUCCESS)
                bad |= 4;
            CommonContInfoList list;
            if (list.Add("\\\\.\\DISK\\a") == TOO_OK || list.GetFirst() != nullptr) bad |= 8;
            try {
                IPC::CReadWriteLock lock("home");
                IPC::CWriteLocker hold(lock);
                bad |= 16;
            } catch (const XTOOStatus& e) {
                if (e.Status() == TOO_OK) bad |= 16;
            }
            CTOOConfigInfoFile ini((home + "/common/a.ini").c_str(), false);
            if (ini.PutSection("S", {}) || ini.GetRetCode() == TOO_OK) bad |= 32;
            CertDll::ProcessDetach();
            CertDll::ProcessAttach();
            CertPutLogFormatted("line", "source", 2);
            return bad;
        });
        EXPECT_EQ(0, failed) << home;
    }
    cert::platform::SetCertHome("");
}
