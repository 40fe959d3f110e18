#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "cert/certstore.h"
#include "cert/signeddata.h"
#include "testsupport.h"

namespace {

using certtest::Sh;

class SignedDataModel : public ::testing::Test {
protected:
    void SetUp() override {
        Openssl("req -x509 -newkey rsa:2048 -nodes -keyout k.key -out c.pem -subj /CN=model -days 30");
        std::string content;
        for (int i = 0; content.size() < 50000; ++i) content += "row " + std::to_string(i) + "\n";
        certtest::WriteFile(dir_ / "content", content);
        content_ = content;
    }
    std::string Openssl(const std::string& args) {
        auto r = certtest::Run("cd " + Sh(dir_.path()) + " && openssl " + args);
        EXPECT_EQ(r.exitCode, 0) << args << "\n" << r.err;
        return r.out;
    }
    // Signs with `options`; returns the file and openssl's own DER of it.
    std::string Sign(const std::string& name, const std::string& options, std::string* der) {
        Openssl("cms -sign -binary -in content -outform DER -signer c.pem -inkey k.key " + options + " -out " + name);
        Openssl("cms -cmsout -inform DER -in " + name + " -outform DER -out " + name + ".der");
        *der = certtest::ReadFile(dir_ / (name + ".der"));
        return certtest::ReadFile(dir_ / name);
    }

    certtest::TempDir dir_;
    std::string content_;
};

TEST_F(SignedDataModel, ReadsOpensslAndWritesItsDer) {
    for (const char* options : {"", "-nodetach", "-nodetach -stream", "-nodetach -noattr -keyid"}) {
        SCOPED_TRACE(options);
        std::string der;
        const std::string in = Sign("sig", options, &der);

        CCTFSignData memory;
        int st = -1;
        ASSERT_TRUE(memory.ReadObject(reinterpret_cast<const unsigned char*>(in.data()), in.size(), &st)) << st;
        EXPECT_EQ(memory.GetContentSize(), std::string(options).empty() ? 0u : content_.size());
        EXPECT_EQ(memory.WriteObject(&st).view(), der);

        // The file form notes where the content is and copies it when written.
        CTOOFile f((dir_ / "sig").c_str(), "rb");
        CCTFSignData file;
        EXPECT_EQ(file.ReadObject(f, 0, &st), in.size()) << st;
        EXPECT_TRUE(file.m_content.GetParameters().IsEmpty());
        CCTFSignData copy(file);
        file = CCTFSignData();
        EXPECT_EQ(copy.WriteObject(&st).view(), der);
        if (copy.GetDataInfo().flags & kWhatToSignFile) {
            EXPECT_EQ(copy.GetDataInfo().data, copy.m_fileName.c_str());
        }
        CTOOFile out((dir_ / "out").c_str(), "wb");
        EXPECT_EQ(copy.WriteObject(out, 0), der.size());
        out.Close();
        EXPECT_EQ(certtest::ReadFile(dir_ / "out"), der);
    }
}

TEST_F(SignedDataModel, SignerInfosGoBackAsRead) {
    for (const char* options : {"", "-noattr", "-keyid"}) {
        SCOPED_TRACE(options);
        std::string der;
        const std::string in = Sign("sig", options, &der);
        CCTFSignData d;
        ASSERT_TRUE(d.ReadObject(reinterpret_cast<const unsigned char*>(in.data()), in.size(), nullptr));
        ASSERT_EQ(d.m_signerInfos.size(), 1u);
        const IdentObj& raw = d.m_signerInfos.front();
        CCTFMessageSignerInfo si;
        int st = -1;
        ASSERT_EQ(si.ReadData(raw.data(), raw.size(), &st), raw.size()) << st;
        EXPECT_EQ(si.m_version, std::string(options) == "-keyid" ? 3u : 1u);
        EXPECT_EQ(si.WriteData(&st), raw);
        // The signature is kept least significant byte first.
        IdentObj big = si.m_signature;
        std::reverse(big.data(), big.data() + big.size());
        EXPECT_NE(raw.view().find(big.view()), std::string_view::npos);
        si.GetSigningDate(&st);
        EXPECT_EQ(st, std::string(options) == "-noattr" ? TOOERR_DER_FORMAT : 0);
        // The signer finds its certificate, by issuer and serial or by key id;
        // a second signer does not (the certificate serves only one).
        d.m_signerInfos.push_back(raw);
        const auto two = d.GetSigersInfo(&st);
        ASSERT_EQ(two.size(), 2u);
        EXPECT_EQ(two.front().m_certificate, d.m_certificates.front());
        EXPECT_EQ(two.front().m_signerInfo, si);
        EXPECT_TRUE(two.back().m_certificate.IsEmpty());
        CCTFMessageSignerInfo other = si;
        other.m_signature.data()[0] ^= 1;
        EXPECT_TRUE(other != si);
    }
}

TEST(SignedDataModelBuilt, SignerInfoAndAttributesEncodeAsTheyShould) {
    CCTFMessageSignerInfo si;
    si.m_issuer = CCTFX509Name(certtest::BlobFromHex("300F310D300B06035504030C046E616D65"));
    si.m_serialNumber = certtest::BlobFromHex("0102");
    si.m_digestAlgorithm = CCTFAlgorithmIdentifier("1.2.643.7.1.1.2.2");
    si.m_signatureAlgorithm = CCTFAlgorithmIdentifier("1.2.643.7.1.1.3.2");
    si.m_signature = certtest::BlobFromHex("010203");
    CCTFAttributesSet time;
    time.m_type = kOidSigningTimeAttr;
    time.m_values.push_back(certtest::BlobFromHex("170D3236313230373030303030305A"));
    si.m_signedAttributes.m_sets.push_back(time);
    const IdentObj enc = si.WriteData(nullptr);
    // The attributes as [0], the signature reversed.
    EXPECT_NE(certtest::Hex(enc).find("A01E301C06092A864886F70D010905310F170D"), std::string::npos);
    EXPECT_NE(certtest::Hex(enc).find("0403030201"), std::string::npos);
    CCTFMessageSignerInfo back;
    ASSERT_EQ(back.ReadData(enc.data(), enc.size(), nullptr), enc.size());
    EXPECT_EQ(back.GetSigningDate(nullptr).dwHighDateTime,
              certtest::OpensslTime("Dec  7 00:00:00 2026 GMT").dwHighDateTime);

    si.m_keyId = certtest::BlobFromHex("AABB");
    const IdentObj byKey = si.WriteData(nullptr);
    ASSERT_EQ(back.ReadData(byKey.data(), byKey.size(), nullptr), byKey.size());
    EXPECT_EQ(certtest::Hex(back.m_keyId), "AABB");

    // Two values go into one SEQUENCE, so a foreign list is kept as read.
    const IdentObj foreign = certtest::BlobFromHex("A00F300D06032A0304 3106 020101 020102");
    CCTFAttributesList list;
    ASSERT_EQ(list.ReadData(foreign.data(), foreign.size(), nullptr), foreign.size());
    ASSERT_EQ(list.m_sets.front().m_values.size(), 2u);
    EXPECT_EQ(list.WriteData(nullptr), foreign);
    list.m_sets.front().m_type = "1.2.3.5";
    EXPECT_EQ(certtest::Hex(list.WriteData(nullptr)), "A011300F06032A030531083006020101020102");

    const IdentObj bad = certtest::BlobFromHex("3003020101");
    int st = 0;
    EXPECT_EQ(back.ReadData(bad.data(), bad.size(), &st), 0u);
    EXPECT_EQ(st, TOOERR_DER_FORMAT);
    EXPECT_EQ(back.m_version, 3u);  // untouched
}

TEST(SignedDataModelBuilt, AttachedMemoryAndRefusals) {
    CCTFSignData d;
    const char text[] = "0123456789";
    ASSERT_TRUE(d.AttachData(WhatToSignStruct{.data = text, .start = 2, .end = 6}, nullptr));
    const IdentObj out = d.WriteObject(nullptr);
    cert::SignedDataReader r;
    cert::SignedDataParts p;
    ASSERT_TRUE(r.ReadMemory(out.data(), out.size(), p, nullptr));
    EXPECT_EQ(p.contentSize, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()) + p.content[0].offset, 4), "2345");

    int st = 0;
    EXPECT_FALSE(d.AttachData(WhatToSignStruct{.flags = kWhatToSignFile, .data = "/nonexistent/file"}, &st));
    EXPECT_EQ(st, TOOERR_NOFILE);
    EXPECT_FALSE(d.AttachData(WhatToSignStruct{.flags = kWhatToSignFile}, &st));
    EXPECT_EQ(st, TOOERR_BADARG);
    const IdentObj v2 = certtest::BlobFromHex(
        "3080 06092A864886F70D010702 A080 3080 020102 3100 300B 06092A864886F70D010701 3100 0000 0000 0000");
    EXPECT_FALSE(d.ReadObject(v2.data(), v2.size(), &st));
    EXPECT_EQ(st, cert::kStatusBadSignedDataVersion);
    EXPECT_EQ(d.GetContentSize(), 4u);  // untouched
}

}  // namespace

TEST_F(SignedDataModel, DetachDeliversTheContentAndLeavesTheObjectDetached) {
    std::string der;
    Sign("sig", "-nodetach -stream", &der);
    CTOOFile f((dir_ / "sig").c_str(), "rb");
    CCTFSignData d;
    ASSERT_GT(d.ReadObject(f, 0, nullptr), 0u);
    const unsigned long whole = d.GetObjectSize();
    EXPECT_EQ(d.GetDataSize(), 4 + 11 + content_.size());  // the data OID's encoding, the bytes

    // Into memory: a copy keeps the file's ranges, the buffer is new.
    CCTFSignData inMemory = d;
    WhatToSignStruct mem;
    int st = -1;
    ASSERT_TRUE(inMemory.DetachData(mem, &st)) << st;
    std::unique_ptr<const char[]> owned(mem.data);
    EXPECT_EQ(std::string(mem.data + mem.start, mem.end - mem.start), content_);
    EXPECT_TRUE(inMemory.IsDetached());
    EXPECT_EQ(inMemory.GetObjectSize(), whole - content_.size());

    // Into a file, here the signed file itself: the content is read before
    // the new file takes its place.
    const std::string target = dir_ / "sig";
    WhatToSignStruct file{.flags = kWhatToSignFile, .data = target.c_str()};
    ASSERT_TRUE(d.DetachData(file, &st)) << st;
    EXPECT_EQ(file.end, content_.size());
    EXPECT_EQ(certtest::ReadFile(dir_ / "sig"), content_);
    certtest::WriteFile(dir_ / "detached", std::string(d.WriteObject(nullptr).view()));
    EXPECT_EQ(Openssl("cms -verify -binary -noverify -inform DER -in detached -content sig -out /dev/null 2>&1"),
              "CMS Verification successful\n");

    // A noted range past the file's end: nothing delivered, nothing changed.
    CCTFSignData shrunk;
    const std::string content = dir_ / "content", never = dir_ / "never";
    const WhatToSignStruct range{
        .flags = kWhatToSignFile, .data = content.c_str(), .start = 10, .end = DWORD(content_.size() + 1)};
    ASSERT_TRUE(shrunk.AttachData(range, nullptr));
    WhatToSignStruct out{.flags = kWhatToSignFile, .data = never.c_str()};
    EXPECT_FALSE(shrunk.DetachData(out, &st));
    EXPECT_EQ(st, TOOERR_SHORTREAD);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "never"));
    EXPECT_EQ(shrunk.GetDataInfo().end, range.end);

    // A carried certificate that makes no context stops the pairing with the
    // platform's reason.
    CCTFSignData broken = inMemory;
    broken.m_certificates.push_front(certtest::BlobFromHex("3003020101"));
    broken.GetSigersInfo(&st);
    CCTFCertContext probe;
    ASSERT_FALSE(probe.CreateContext(certtest::BlobFromHex("3003020101")));
    EXPECT_EQ(st, WinErr2ToolsErr(GetLastError()));
    EXPECT_NE(st, 0);
}
