// A home for tests that run the openssl command line with the GOST engine
// inside it: skipped without the engine; holds an extension file for
// signer certificates ("leaf.cnf") and about 200 kB of content ("data").
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "testsupport.h"

namespace interoptest {

class OpensslHomeTest : public certtest::HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        if (!certtest::HaveGostEngine()) GTEST_SKIP() << "openssl has no GOST engine";
        certtest::WriteFile(F("leaf.cnf"),
                            "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nsubjectKeyIdentifier=hash\n");
        std::string data;
        for (int i = 0; data.size() < 200000; ++i) data += "record " + std::to_string(i) + "\n";
        certtest::WriteFile(F("data"), data);
    }
    std::string F(const std::string& name) const { return home_ / name; }
    // Runs `cmd` in the home; its output (standard error too).
    std::string Ok(const std::string& cmd) {
        auto r = certtest::Run("cd " + certtest::Sh(home_.path()) + " && " + cmd + " 2>&1");
        EXPECT_EQ(r.exitCode, 0) << cmd << "\n" << r.out;
        return r.out;
    }
};

}  // namespace interoptest
