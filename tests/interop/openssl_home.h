// A home for tests that run the openssl command line with the GOST engine
// beside our code: skipped without the engine. Commands run inside the home,
// so files are named plainly; it holds an extension file for signer
// certificates ("leaf.cnf") and about 200 kB of content ("data").
#pragma once

#include <gtest/gtest.h>

#include <span>
#include <string>

#include "cert/vrkscapi.h"
#include "testsupport.h"

namespace interoptest {

// The key kinds every format is proved with.
struct Kind {
    const char* name;    // ctf's --alg, and the prefix of the files made for it
    const char* newkey;  // openssl req -newkey, genpkey -algorithm
    const char* md;      // openssl's digest name
    const char* keyOid;  // the public key's algorithm; null for RSA
    const char* digestOid;
    const char* signatureOid;
    ALG_ID hash;
    DWORD provType;
};
inline const Kind kKinds[] = {
    {"gost2001", "gost2001 -pkeyopt paramset:A", "md_gost94", "1.2.643.2.2.19", "1.2.643.2.2.9", "1.2.643.2.2.3",
     CALG_GOST_R3411_94, VRK_PROV_TYPE_GOST},
    {"gost12-256", "gost2012_256 -pkeyopt paramset:A", "md_gost12_256", "1.2.643.7.1.1.1.1", "1.2.643.7.1.1.2.2",
     "1.2.643.7.1.1.3.2", CALG_GOST_R3411_2012_256, VRK_PROV_TYPE_GOST_2012_256},
    {"gost12-512", "gost2012_512 -pkeyopt paramset:A", "md_gost12_512", "1.2.643.7.1.1.1.2", "1.2.643.7.1.1.2.3",
     "1.2.643.7.1.1.3.3", CALG_GOST_R3411_2012_512, VRK_PROV_TYPE_GOST_2012_512},
    {"rsa", "rsa:2048", "sha256", nullptr, "2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11", CALG_SHA_256, 0},
};
inline const std::span<const Kind> kGost(kKinds, 3);

class OpensslHomeTest : public certtest::HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        if (!certtest::HaveGostEngine()) GTEST_SKIP() << "openssl has no GOST engine";
        Write("leaf.cnf", "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nsubjectKeyIdentifier=hash\n");
        std::string data;
        for (int i = 0; data.size() < 200000; ++i) data += "record " + std::to_string(i) + "\n";
        Write("data", data);
    }
    std::string F(const std::string& name) const { return home_ / name; }
    std::string Read(const std::string& name) const { return certtest::ReadFile(F(name)); }
    void Write(const std::string& name, const std::string& bytes) const { certtest::WriteFile(F(name), bytes); }
    // `cmd` run in the home.
    certtest::RunResult In(const std::string& cmd) const {
        return certtest::Run("cd " + certtest::Sh(home_.path()) + " && " + cmd);
    }
    // The same expected to succeed: its output.
    std::string Ok(const std::string& cmd) const {
        auto r = In(cmd);
        EXPECT_EQ(r.exitCode, 0) << cmd << "\n" << r.out << r.err;
        return r.out;
    }
    // ctf run in the home, and the same expected to succeed.
    certtest::RunResult Ctf(const std::string& args) const {
        return In(certtest::Sh(certtest::CtfPath()) + " " + args);
    }
    std::string CtfOk(const std::string& args) const { return Ok(certtest::Sh(certtest::CtfPath()) + " " + args); }
    // An openssl key (genpkey -algorithm `newkey`): name.pem, and its public
    // key name.pub.
    void NewKey(const std::string& newkey, const std::string& name) const {
        Ok("openssl genpkey -engine gost -algorithm " + newkey + " -out " + name +
           ".pem && openssl pkey -engine gost -in " + name + ".pem -pubout -out " + name + ".pub");
    }
    // A self-signed CA of `k` (n.ca.key, n.ca.pem) and a signer it certified
    // (n.key, n.pem, n.der), n being `k`'s name.
    void MakeSigner(const Kind& k) const {
        const std::string n = k.name, md = std::string(" -") + k.md + " -engine gost ";
        Ok("openssl req -x509 -newkey " + std::string(k.newkey) + " -nodes -keyout " + n + ".ca.key -out " + n +
           ".ca.pem -days 30 -subj /CN=" + n + "-CA" + md + "-addext basicConstraints=critical,CA:TRUE");
        Ok("openssl req -new -newkey " + std::string(k.newkey) + " -nodes -keyout " + n + ".key -out " + n +
           ".csr -subj /CN=" + n + "-signer" + md);
        Ok("openssl x509 -req -in " + n + ".csr -CA " + n + ".ca.pem -CAkey " + n + ".ca.key -days 30" + md +
           "-set_serial " + std::to_string(10 + (&k - kKinds)) + " -extfile leaf.cnf -out " + n +
           ".pem && openssl x509 -in " + n + ".pem -outform DER -out " + n + ".der");
    }
};

}  // namespace interoptest
