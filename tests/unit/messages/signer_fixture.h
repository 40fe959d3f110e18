// A home with one user whose GOST R 34.10-2012 (256-bit) signature key has
// a certificate, and a short content in memory: what the signing and the
// verification tests start from.
#pragma once

#include <string>

#include "../keys/user_test_util.h"
#include "cert/signeddata.h"

namespace messagestest {

class SignerTest : public certtest::HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(usertest::MakeKey(user_, "signer", cert::oids::kGostR3410_2012_256, "pw"));
        cert_ = usertest::CertFor(user_.GetPublicKey(), "signer", AT_SIGNATURE);
        data_ = "data to be signed\n";
        memory_.data = data_.data();
        memory_.end = static_cast<DWORD>(data_.size());
    }
    std::string F(const std::string& name) { return home_ / name; }

    CCTFUser user_;
    CCTFCertContext cert_;
    std::string data_;
    WhatToSignStruct memory_;
};

}  // namespace messagestest
