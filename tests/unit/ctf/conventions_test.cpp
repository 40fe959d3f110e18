// The conventions every ctf command keeps (docs/CLI.md), checked once over
// a table of all commands. A new command adds its row to kCommands and
// states its traits; nothing else. The table must name every command that
// `ctf --help` lists.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include "testsupport.h"

namespace {

using certtest::Sh;

using certtest::kExitFailure;
using certtest::kExitOk;
using certtest::kExitUsage;

enum Trait : unsigned {
    kPrints = 1u << 0,        // prints its result on standard output
    kReadsInput = 1u << 1,    // {in} is a file it reads whole
    kEmptyInputOk = 1u << 2,  // an empty {in} is an input like any other
    kOpensKey = 1u << 3,      // takes --container NAME [--machine] [--password-file F | --no-password]
    kWritesOut = 1u << 4,     // {out} is a file it writes (--out, -o)
    kManyInputs = 1u << 5,    // takes any number of input files: a surplus argument is one more
    kMayFindNone = 1u << 6,   // the run may end 1: it looked and found nothing to act on
    kUsesUpKey = 1u << 7,     // {c} is a container made for the run, which the run may use up
};

struct Row {
    const char* command;
    // A run that succeeds. {in}: the input file named below; {c}: a
    // container name not used before; {pw}: a password file; "src": a
    // container with a signature key under {pw}; {out}: an output path not
    // used before. "real.der" ({real}) is a certificate of that key,
    // "crl.der" ({crl}) a CRL it signed, "crls.p7" a CRL file holding it;
    // "ca.der" ({ca}) a CA certificate of it.
    const char* args;
    unsigned traits;
    const char* input = "";  // fixture file behind {in}
};

const Row kCommands[] = {
    {"asn1", "{in}", kPrints | kReadsInput, "cert.der"},
    {"demo", "", kPrints},
    {"explain", "0x80090006", kPrints},
    {"hash", "--alg gost12-256 {in}", kPrints | kReadsInput | kEmptyInputOk, "cert.der"},
    {"oid", "1.2.643.2.2.3", kPrints},
    {"key new", "--container {c} --alg gost12-256 --password-file {pw}", kPrints | kOpensKey},
    {"key list", "", kPrints},
    {"key import", "--container {c} --in {in} --password-file {pw}", kPrints | kReadsInput | kOpensKey, "key.p8"},
    {"key export", "--container src --password-file {pw} --out {out}", kPrints | kOpensKey | kWritesOut},
    {"key passwd", "--container src --password-file {pw} --new-password-file {pw}", kPrints | kOpensKey},
    {"key set-cert", "--container src --password-file {pw} {in}", kPrints | kReadsInput | kOpensKey, "real.der"},
    {"key copy", "--container src --to {c} --password-file {pw}", kPrints | kOpensKey},
    {"key delete", "--container {c} --yes", kPrints | kUsesUpKey},
    {"name encode", "CN=Test,O=Org --out {out}", kPrints | kWritesOut},
    {"name decode", "{in}", kPrints | kReadsInput, "name.der"},
    {"name compare", "CN=Test,O=Org O=Org,CN=Test", kPrints},
    {"cert show", "{in}", kPrints | kReadsInput, "real.der"},
    {"cert reencode", "{in} --out {out}", kPrints | kReadsInput | kWritesOut, "real.der"},
    {"cert new", "--container src --password-file {pw} --subject CN=Test --out {out}",
     kPrints | kOpensKey | kWritesOut},
    {"store list", "", kPrints},
    {"store add", "--file {out} {in}", kPrints | kReadsInput | kManyInputs, "real.der"},
    {"store remove", "--file {out} {in}", kPrints | kManyInputs | kMayFindNone, "real.der"},
    {"store find", "--file {in} --subject CN=Fixture", kPrints, "real.der"},
    {"store issuer", "--file {in} {in}", kPrints, "real.der"},
    {"store export", "--file {in} --format pem --out {out}", kPrints | kWritesOut, "real.der"},
    {"crl show", "{in} --entries", kPrints | kReadsInput, "crl.der"},
    {"crl check", "{in} 77", kPrints | kReadsInput | kManyInputs, "crl.der"},
    {"crl new", "--container src --password-file {pw} --cert {in} --revoke 01:keyCompromise --out {out}",
     kPrints | kReadsInput | kOpensKey | kWritesOut, "real.der"},
    {"crl revoke", "{in} --container src --password-file {pw} --cert {real} --revoke 02 --out {out}",
     kPrints | kReadsInput | kOpensKey | kWritesOut, "crl.der"},
    {"p7 show", "{in}", kPrints | kReadsInput, "p7.der"},
    {"list new", "{out} --pkcs7 {in}", kPrints | kReadsInput | kManyInputs, "real.der"},
    {"list show", "{in}", kPrints, "list.lst"},
    {"list check", "{in}", kPrints | kMayFindNone, "list.lst"},
    {"list add", "{in} {real}", kPrints | kManyInputs, "list.lst"},
    {"list remove", "{in} --serial 01", kPrints | kManyInputs | kMayFindNone, "list.lst"},
    {"list sign", "{in} --container src --password-file {pw} --cert {ca}", kPrints | kOpensKey, "list.p7b"},
    {"list crl", "{in} --issuer-cert {real}", kPrints, "crl.der"},
    {"sign", "--container src --password-file {pw} --cert {real} {in} --out {out}", kPrints | kOpensKey | kWritesOut,
     "name.der"},
    {"crl merge", "{out} {in}", kPrints | kReadsInput | kManyInputs, "crl.der"},
    {"crl delete", "{in} --like {crl}", kPrints | kMayFindNone, "crls.p7"},
    {"verify-cert", "{in} --trust {ca}", kPrints | kReadsInput | kManyInputs, "ca.der"},
    {"verify", "{in} --trust {real}", kPrints | kMayFindNone, "signed.p7s"},
    {"unsign", "{in} --out {out}", kPrints | kWritesOut, "signed.p7s"},
    {"tdir ls", "--transport-dir {td}", kPrints},
    {"tdir find", "01 --transport-dir {td}", kPrints | kMayFindNone},
    {"tdir add-crl", "{crl} --transport-dir {td}", kPrints | kMayFindNone},
};

// A SEQUENCE { INTEGER 5 }: enough for the commands that read any DER.
const std::string kDer("\x30\x03\x02\x01\x05", 5);
// The name CN=Test.
const std::string kName("\x30\x0F\x31\x0D\x30\x0B\x06\x03\x55\x04\x03\x13\x04Test", 17);

class CtfConventions : public certtest::HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        certtest::WriteFile(F("cert.der"), kDer);
        certtest::WriteFile(F("name.der"), kName);
        certtest::WriteFile(F("pw"), "secret\n");
        certtest::WriteFile(F("empty"), "");
        const auto p7 = certtest::Run("cd " + Sh(dir_.path()) +
                                      " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
                                      " -keyout ec.key -out ec.pem -subj /CN=p7 -days 1 2>&1 && openssl cms -sign"
                                      " -binary -in name.der -signer ec.pem -inkey ec.key -outform DER -out p7.der");
        ASSERT_EQ(p7.exitCode, 0) << p7.out;
        std::filesystem::create_directories(F("td/d_station"));
        const std::string src = " --container src --password-file pw";
        for (const std::string& cmd :
             {"key new --alg gost12-256" + src, "key export --out key.p8" + src,
              "cert new --subject CN=Fixture --out real.der" + src,
              "crl new --cert real.der --revoke 01 -o crl.der" + src,
              // Lists: a record list, and a PKCS #7 list that src signs as the CA of "ca.der" ({ca}).
              "cert new --subject CN=FixtureCA --ca --out ca.der" + src,
              std::string("list new list.lst --record real.der"), std::string("list new list.p7b --pkcs7 ca.der"),
              "sign --cert real.der name.der -o signed.p7s" + src, std::string("crl merge crls.p7 crl.der"),
              // A transport directory whose node list holds the CRL's issuer.
              std::string("list new td/d_station/0001_trl.p7s --pkcs7 real.der")}) {
            const auto r = certtest::Run("cd " + Sh(dir_.path()) + " && " + Sh(certtest::CtfPath()) + " --home " +
                                         Sh(home_.path()) + " " + cmd);
            ASSERT_EQ(r.exitCode, kExitOk) << cmd << "\n" << r.err;
        }
        // Every run names its home with --home; a $CERT_HOME that holds
        // nothing shows that the option, wherever it stands, is what counts.
        setenv("CERT_HOME", (decoy_ / "").c_str(), 1);
    }

    std::string F(const std::string& name) const { return dir_ / name; }

    // A character device like /dev/null in the test's folder, or /dev/null
    // itself for a user who may not make devices (and may not replace it).
    std::string NullDevice() const {
        const std::string own = F("null");
        if (::access(own.c_str(), F_OK) == 0 || ::mknod(own.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) return own;
        return "/dev/null";
    }

    certtest::RunResult Ctf(const std::string& args, const std::string& stdinText = "") {
        return certtest::Ctf("--home " + Sh(home_.path()) + " " + args, stdinText);
    }

    // The row's arguments with fresh names for {c} and {out}.
    std::string Args(const Row& r, const std::string& in = "", const std::string& pw = "") {
        std::string a = r.args;
        auto put = [&](const std::string& key, const std::string& value) {
            for (auto at = a.find(key); at != std::string::npos; at = a.find(key, at + value.size()))
                a.replace(at, key.size(), value);
        };
        ++serial_;
        const std::string container = "c" + std::to_string(serial_);
        if (r.traits & kUsesUpKey) {
            EXPECT_EQ(Ctf("key new --no-password --alg gost2001 --container " + container).exitCode, kExitOk);
        }
        put("{c}", container);
        put("{out}", Sh(F("out" + std::to_string(serial_))));
        put("{in}", in.empty() ? Sh(F(r.input)) : in);
        put("{pw}", pw.empty() ? Sh(F("pw")) : pw);
        put("{real}", Sh(F("real.der")));
        put("{crl}", Sh(F("crl.der")));
        put("{ca}", Sh(F("ca.der")));
        put("{td}", Sh(F("td")));
        return std::string(r.command) + " " + a;
    }

    certtest::TempDir dir_;
    certtest::TempDir decoy_;
    int serial_ = 0;
};

// `text` is one JSON value whose keys are all camelCase.
void ExpectJson(const std::string& text, const std::string& what) {
    static const std::regex camel("^[a-z][a-zA-Z0-9]*$");
    std::string why;
    std::vector<std::string> keys;
    ASSERT_TRUE(certtest::ParseJson(text, &why, &keys)) << what << ": " << why << "\n" << text;
    for (const auto& k : keys) EXPECT_TRUE(std::regex_match(k, camel)) << what << ": key " << k;
}

// A JSON error report: {"error": {"code": N, "text": "...", "place": "..."}}.
void ExpectJsonError(const std::string& err, const std::string& what) {
    ExpectJson(err, what);
    static const std::regex shape(R"(^\{"error": \{"code": [0-9]+, "text": "[^"]+", "place": "[^"]+".*\}\}\n$)");
    EXPECT_TRUE(std::regex_match(err, shape)) << what << ": " << err;
}

TEST_F(CtfConventions, EveryCommandKeepsThem) {
    // The table covers every command there is.
    std::set<std::string> listed;
    const auto help = certtest::Ctf("--help");
    static const std::regex line(R"(^  (\S+(?: \S+)?)  +\S.*$)");
    std::smatch m;
    std::istringstream lines(help.out);
    for (std::string l; std::getline(lines, l);)
        if (std::regex_match(l, m, line)) listed.insert(m[1]);
    std::set<std::string> inTable;
    for (const auto& r : kCommands) inTable.insert(r.command);
    EXPECT_EQ(listed, inTable) << "every command needs its row in kCommands";

    for (const Row& r : kCommands) {
        SCOPED_TRACE(r.command);
        const std::string who = std::string("ctf ") + r.command + ": ";

        auto usage = Ctf(std::string(r.command) + " --help");
        EXPECT_EQ(usage.exitCode, kExitOk);
        EXPECT_EQ(usage.out.rfind(std::string("usage: ctf ") + r.command + " ", 0), 0u) << usage.out;

        // A run that works, then the same with the global options after the command.
        const int done = (r.traits & kMayFindNone) ? certtest::kExitCheckFailed : kExitOk;
        auto ok = Ctf(Args(r));
        ASSERT_TRUE(ok.exitCode == kExitOk || ok.exitCode == done) << ok.err;
        if (r.traits & kPrints) {
            EXPECT_FALSE(ok.out.empty());
        }
        auto after = certtest::Ctf(Args(r) + " --json --home " + Sh(home_.path()));
        ASSERT_TRUE(after.exitCode == kExitOk || after.exitCode == done) << after.err;
        if (r.traits & kPrints) ExpectJson(after.out, "--json after the command");

        // Extra arguments and unknown options are refused, the command named
        // first (a surplus argument of a command that takes many files is
        // a file it cannot read).
        auto extra = Ctf(Args(r) + " surplus");
        EXPECT_EQ(extra.exitCode, kExitUsage);
        EXPECT_EQ(extra.err.rfind(
                      who + ((r.traits & kManyInputs) ? "cannot read surplus" : "unexpected argument surplus"), 0),
                  0u)
            << extra.err;
        auto bogus = Ctf(Args(r) + " --bogus 1");
        EXPECT_EQ(bogus.exitCode, kExitUsage);
        EXPECT_EQ(bogus.err.rfind(who + "unknown option --bogus", 0), 0u) << bogus.err;
        auto jsonError = Ctf("--json " + Args(r) + " surplus");
        EXPECT_EQ(jsonError.exitCode, kExitUsage);
        EXPECT_TRUE(jsonError.out.empty());
        ExpectJsonError(jsonError.err, "error under --json");

        if (r.traits & kPrints) {
            auto full = Ctf(Args(r) + " >/dev/full");
            EXPECT_EQ(full.exitCode, kExitFailure);
            EXPECT_NE(full.err.find(who + "cannot write to standard output"), std::string::npos) << full.err;
        }

        if (r.traits & kReadsInput) {
            // "-" is standard input: the same result as from the file.
            const std::string file = F(r.input);
            auto fromStdin = Ctf(Args(r, "-"), certtest::ReadFile(file));
            ASSERT_EQ(fromStdin.exitCode, kExitOk) << fromStdin.err;
            auto same = [&](std::string s) {
                for (const std::string& name : {file, std::string("stdin")})
                    for (auto at = s.find(name); at != std::string::npos; at = s.find(name))
                        s.replace(at, name.size(), "-");
                return std::regex_replace(s, std::regex("(c|out)[0-9]+"), "$1");
            };
            EXPECT_EQ(same(fromStdin.out), same(Ctf(Args(r)).out));
            for (const auto& [input, message] :
                 {std::pair{F(""), std::string("is a folder")}, std::pair{F("missing"), std::string("cannot read")}}) {
                auto bad = Ctf(Args(r, Sh(input)));
                EXPECT_EQ(bad.exitCode, kExitUsage) << input;
                EXPECT_EQ(bad.err.rfind(who, 0), 0u) << bad.err;
                EXPECT_NE(bad.err.find(message), std::string::npos) << bad.err;
            }
            auto empty = Ctf(Args(r, Sh(F("empty"))));
            EXPECT_EQ(empty.exitCode, (r.traits & kEmptyInputOk) ? kExitOk : kExitUsage) << empty.err;
        }

        if (r.traits & kOpensKey) {
            certtest::WriteFile(F("pw-nul"), std::string("se\0cret", 7));
            certtest::WriteFile(F("pw-nul-first"), std::string("\0secret", 7));
            certtest::WriteFile(F("pw-newline"), "\n");
            certtest::WriteFile(F("pw-big"), std::string(4097, 'p'));
            for (const char* bad : {"empty", "pw-nul", "pw-nul-first", "pw-newline", "pw-big", ""}) {
                auto refused = Ctf(Args(r, "", Sh(F(bad))));
                EXPECT_EQ(refused.exitCode, kExitUsage) << "password file " << bad << ": " << refused.err;
                EXPECT_EQ(refused.err.rfind(who, 0), 0u) << refused.err;
            }
            auto both = Ctf(Args(r) + " --no-password");
            EXPECT_EQ(both.exitCode, kExitUsage);
            EXPECT_NE(both.err.find("exclude each other"), std::string::npos) << both.err;
            std::string args = Args(r);
            args = std::regex_replace(args, std::regex("--container \\S+"), "--container ''");
            auto unnamed = Ctf(args);
            EXPECT_EQ(unnamed.exitCode, kExitUsage);
            EXPECT_NE(unnamed.err.find("--container is empty"), std::string::npos) << unnamed.err;
        }

        if (r.traits & kWritesOut) {
            // -o is --out; "-" is standard output.
            std::string args = Args(r);
            const std::string target = F("alias");
            args = std::regex_replace(args, std::regex("--out \\S+"), "-o " + Sh(target));
            ASSERT_EQ(Ctf(args).exitCode, kExitOk);
            const std::string written = certtest::ReadFile(target);
            EXPECT_FALSE(written.empty());
            args = std::regex_replace(args, std::regex("-o \\S+"), "--out -");
            auto toStdout = Ctf(args);
            ASSERT_EQ(toStdout.exitCode, kExitOk) << toStdout.err;
            EXPECT_EQ(toStdout.out.size(), written.size());

            // A device is written in place, a FIFO receives the bytes, a
            // symbolic link is refused and left as it was. The device is a
            // null device of the test's own where it may make one (root): a
            // tool that renames over devices must not take the system's.
            const std::string device = NullDevice();
            args = std::regex_replace(args, std::regex("--out -"), "--out " + Sh(device));
            ASSERT_EQ(Ctf(args).exitCode, kExitOk);
            struct stat st {};
            ASSERT_EQ(::lstat(device.c_str(), &st), 0);
            EXPECT_TRUE(S_ISCHR(st.st_mode));

            // Names of this row's own: several commands write outputs.
            const std::string row = std::to_string(serial_);
            const std::string fifo = F("fifo" + row);
            ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
            certtest::RunResult reader;
            std::thread drain([&] { reader = certtest::Run("cat " + Sh(fifo)); });
            auto intoFifo = Ctf(std::regex_replace(args, std::regex("--out \\S+"), "--out " + Sh(fifo)));
            drain.join();
            EXPECT_EQ(intoFifo.exitCode, kExitOk) << intoFifo.err;
            EXPECT_EQ(reader.out.size(), written.size());
            ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
            EXPECT_TRUE(S_ISFIFO(st.st_mode));

            const std::string link = F("link" + row);
            const std::string elsewhere = F("elsewhere" + row);
            certtest::WriteFile(elsewhere, "untouched");
            std::filesystem::create_symlink(elsewhere, link);
            auto viaLink = Ctf(std::regex_replace(args, std::regex("--out \\S+"), "--out " + Sh(link)));
            EXPECT_EQ(viaLink.exitCode, kExitUsage);
            EXPECT_NE(viaLink.err.find("symbolic link"), std::string::npos) << viaLink.err;
            EXPECT_TRUE(std::filesystem::is_symlink(link));
            EXPECT_EQ(certtest::ReadFile(elsewhere), "untouched");
        }
    }
}

TEST_F(CtfConventions, GlobalOptionsAndVersion) {
    auto v = certtest::Ctf("--version");
    EXPECT_EQ(v.exitCode, kExitOk);
    EXPECT_TRUE(std::regex_match(v.out, std::regex("ctf [0-9]+\\.[0-9]+(\\.[0-9]+)?\n"))) << v.out;
    // Before or after the command, in either spelling.
    const std::string list = "key list";
    const std::string want = Ctf(list).out;
    ASSERT_NE(want.find("src\t"), std::string::npos) << want;
    for (const std::string& form : {"--home=" + Sh(home_.path()) + " " + list, list + " --home=" + Sh(home_.path()),
                                    list + " --home " + Sh(home_.path())})
        EXPECT_EQ(certtest::Ctf(form).out, want) << form;
    for (const char* args : {"--home", "key list --home", "--bogus key list", "key", "key nosuch", "nosuch"}) {
        auto r = certtest::Ctf(args);
        EXPECT_EQ(r.exitCode, kExitUsage) << args;
        EXPECT_EQ(r.err.rfind("ctf", 0), 0u) << args << ": " << r.err;
    }
    EXPECT_EQ(certtest::Ctf("key --help").exitCode, kExitOk);
}

}  // namespace
