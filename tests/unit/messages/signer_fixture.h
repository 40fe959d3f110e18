// A home with one user whose GOST R 34.10-2012 (256-bit) signature key has
// a certificate, and a short content in memory: what the signing and the
// verification tests start from.
#pragma once

#include <string>

#include "../keys/user_test_util.h"
#include "cert/signeddata.h"

namespace messagestest {

// `base` after `edit` changed its information, with a made-up signature
// and the key of `base`.
template <class Edit>
CCTFCertContext Edited(const CCTFCertContext& base, Edit edit) {
    CCTFX509Certificate cert;
    EXPECT_TRUE(cert.DecodeCert(base.GetEncoded()));
    edit(cert.m_info);
    cert.m_signature = CTOOCryptBitBlob(IdentObj("\x01\x02\x03\x04", 4));
    CCTFCertContext out(cert.GetEncodetCert());
    EXPECT_TRUE(out.IsInitialized());
    out.CCTFSetContextProperty(CERT_KEY_PROV_INFO_PROP_ID, 0, base.GetProviderInfo());
    return out;
}

inline void SetExtension(CCTFCertInfo& info, const char* oid, const std::string& hex, BOOL critical = FALSE) {
    info.m_extensions.Update(CCTFCertExtension(oid, critical, certtest::BlobFromHex(hex)));
}

class SignerTest : public certtest::HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(usertest::MakeKey(user_, "signer", cert::oids::kGostR3410_2012_256, "pw"));
        cert_ = usertest::CertFor(user_.GetPublicKey(), "signer", AT_SIGNATURE);
        data_ = "data to be signed\n";
        memory_ = Memory();
    }
    // The content in memory, signed with `options`.
    WhatToSignStruct Memory(DWORD options = 0) const {
        return WhatToSignStruct{.options = options, .data = data_.data(), .end = DWORD(data_.size())};
    }
    std::string F(const std::string& name) { return home_ / name; }
    template <class Edit>
    CCTFCertContext EditedCert(Edit edit) const {
        return Edited(cert_, edit);
    }

    CCTFUser user_;
    CCTFCertContext cert_;
    std::string data_;
    WhatToSignStruct memory_;
};

}  // namespace messagestest
