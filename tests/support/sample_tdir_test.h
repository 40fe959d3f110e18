// A test suite that shares one sample transport directory, made once by the
// build's generator (the program CERT_MAKE_SAMPLE_TDIR names).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "testsupport.h"

namespace certtest {

class SampleTdirTest : public HomeTest {
protected:
    static void SetUpTestSuite() {
        sample_ = new TempDir;
        const auto r = certtest::Run(Sh(CERT_MAKE_SAMPLE_TDIR) + " " + Sh(Tdir()));
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    static void TearDownTestSuite() {
        delete sample_;
        sample_ = nullptr;
    }
    static std::string Tdir() { return *sample_ / "tdir"; }
    // A file of the sample's "files" folder, and the same quoted for a shell.
    static std::string Path(const std::string& name) { return Tdir() + "/files/" + name; }
    static std::string F(const std::string& name) { return Sh(Path(name)); }

private:
    static inline TempDir* sample_ = nullptr;
};

}  // namespace certtest
