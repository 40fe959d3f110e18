// The stored forms: serialized stores built by hand from the field table,
// property 2's self-relative layout, PKCS #7 bundles and lone certificates.
#include <openssl/pkcs7.h>

#include <tuple>

#include "capi/store_file.h"
#include "store_test_util.h"
#include "testsupport.h"

using namespace storetest;
using capi::store::FileForm;
using capi::store::KeyProvInfo;

namespace {

// Property 2 by hand: container "ab" and provider "P", one parameter.
Bytes HandKeyProvInfo() {
    Layout l;
    l.U32(28 + 16).U32(28 + 16 + 6).U32(75).U32(0x20).U32(1).U32(28).U32(2);  // names, type, flags, params, spec
    l.U32(7).U32(28 + 16 + 6 + 4).U32(3).U32(0);                              // parameter 7: 3 bytes
    l.Put({'a', 0, 'b', 0, 0, 0}).Put({'P', 0, 0, 0}).Put({9, 8, 7});
    return l.bytes;
}

std::vector<Element> Parse(const Bytes& b, size_t* at = nullptr) {
    std::vector<Element> out;
    size_t fault = SIZE_MAX;
    SetLastError(0);
    bool ok = capi::store::ParseSerialized(b.data(), b.size(), out, &fault);
    if (at) *at = ok ? SIZE_MAX : fault;
    if (!ok) {
        EXPECT_EQ(GetLastError(), CRYPT_E_FILE_ERROR);
    }
    return out;
}

}  // namespace

TEST(SerializedStore, HandBuiltLayoutReadsAndWritesBackByteForByte) {
    const Bytes cert = Cert(1), crl = Sequence("crl"), ctl = Sequence("ctl");
    Layout l;
    l.Header().Record(2, HandKeyProvInfo()).Record(0x1234, {1, 2, 3}).Record(0x20, cert);
    l.Record(0x21, crl).Record(0xFFFF, {}).Record(0x22, ctl).End();
    size_t at;
    auto got = Parse(l.bytes, &at);
    ASSERT_EQ(at, SIZE_MAX);
    EXPECT_EQ(Contents(got),
              Contents({Make(capi::store::kCert, cert), Make(capi::store::kCrl, crl), Make(capi::store::kCtl, ctl)}));
    // Property 2 is kept in its file form.
    EXPECT_EQ(got[0].props, (std::vector<std::pair<DWORD, Bytes>>{{2, HandKeyProvInfo()}, {0x1234, {1, 2, 3}}}));
    EXPECT_TRUE(got[1].props.empty());
    EXPECT_EQ(got[2].props, (std::vector<std::pair<DWORD, Bytes>>{{0xFFFF, {}}}));
    EXPECT_EQ(capi::store::WriteSerialized(got), l.bytes);
    EXPECT_EQ(capi::store::WriteSerialized({}), Layout().Header().End().bytes);
}

TEST(SerializedStore, FaultsFailAtTheirOffset) {
    const Bytes cert = Cert(2);
    const size_t certEnd = 8 + 12 + cert.size();
    Bytes badDer = cert;
    badDer[1] ^= 0x01;  // the certificate's length no longer matches its bytes
    Bytes kpiBadName = HandKeyProvInfo();
    kpiBadName[0] = 200;  // container name beyond the property
    Bytes kpiUnterminated = HandKeyProvInfo();
    kpiUnterminated.resize(28 + 16 + 6 + 4 + 3 - 3 - 4 + 2);  // provider "P" without its zero
    kpiUnterminated[4] = 28 + 16 + 6 + 4 - 4;                 // ...and at the end
    Bytes kpiParams = HandKeyProvInfo();
    kpiParams[16] = 5;  // five parameters of 16 bytes do not fit
    Bytes kpiParamData = HandKeyProvInfo();
    kpiParamData[28 + 8] = 40;  // parameter data runs past the end

    const struct {
        const char* name;
        Bytes bytes;
        size_t offset;
    } cases[] = {
        {"empty", {}, 0},
        {"first field not zero", Layout().U32(1).Put({'C', 'E', 'R', 'T'}).End().bytes, 0},
        {"wrong magic", Layout().U32(0).Put({'C', 'E', 'R', 'X'}).End().bytes, 4},
        {"no end marker", Layout().Header().bytes, 8},
        {"record header cut", Layout().Header().U32(0x20).U32(1).bytes, 16},
        {"length past the end", Layout().Header().U32(0x20).U32(1).U32(100).Put({0x30, 0}).bytes, 20},
        {"encoding not 1", Layout().Header().Record(0x20, cert, 0x10001).End().bytes, 12},
        {"id above 0xFFFF", Layout().Header().Record(0x10000, {1}).Record(0x20, cert).End().bytes, 8},
        {"end marker with a length", Layout().Header().U32(0).U32(0).U32(4).bytes, 8},
        {"bytes after the end", Layout().Header().End().U32(0).bytes, 20},
        {"properties without element", Layout().Header().Record(0x1234, {1}).End().bytes, 8 + 13},
        {"property twice", Layout().Header().Record(5, {1}).Record(5, {2}).Record(0x20, cert).End().bytes, 8 + 13},
        {"certificate not one element", Layout().Header().Record(0x20, badDer).End().bytes, 20},
        {"empty certificate", Layout().Header().Record(0x20, {}).End().bytes, 20},
        {"truncated after an element", Layout().Header().Record(0x20, cert).U32(0).bytes, certEnd + 4},
        {"key info name offset", Layout().Header().Record(2, kpiBadName).Record(0x20, cert).End().bytes, 20},
        {"key info string unterminated", Layout().Header().Record(2, kpiUnterminated).Record(0x20, cert).End().bytes,
         20 + kpiUnterminated.size()},
        {"key info parameters", Layout().Header().Record(2, kpiParams).Record(0x20, cert).End().bytes, 20 + 16},
        {"key info parameter data", Layout().Header().Record(2, kpiParamData).Record(0x20, cert).End().bytes,
         20 + 28 + 4},
        {"key info shorter than its header", Layout().Header().Record(2, {1, 2, 3}).Record(0x20, cert).End().bytes, 20},
    };
    for (const auto& c : cases) {
        std::vector<Element> out{Make(capi::store::kCrl, Sequence("kept"))};
        size_t fault = SIZE_MAX;
        EXPECT_FALSE(capi::store::ParseSerialized(c.bytes.data(), c.bytes.size(), out, &fault)) << c.name;
        EXPECT_EQ(GetLastError(), CRYPT_E_FILE_ERROR) << c.name;
        EXPECT_EQ(fault, c.offset) << c.name;
        EXPECT_EQ(out.size(), 1u) << c.name << ": the output is touched only on success";
    }
}

TEST(SerializedStore, KeyProvInfoFieldsBothWays) {
    KeyProvInfo info;
    ASSERT_TRUE(capi::store::DecodeKeyProvInfo(HandKeyProvInfo().data(), HandKeyProvInfo().size(), info));
    EXPECT_EQ(info.container, u"ab");
    EXPECT_EQ(info.provider, u"P");
    EXPECT_EQ(std::make_tuple(info.provType, info.flags, info.keySpec), std::make_tuple(75u, 0x20u, 2u));
    EXPECT_EQ(info.params, (std::vector<std::pair<DWORD, Bytes>>{{7, {9, 8, 7}}}));

    // Our own layout reads back by the same reader; a Cyrillic name survives.
    info.container = u"\u043a\u043b\u044e\u0447 1";
    info.params.push_back({8, {}});
    const Bytes enc = capi::store::EncodeKeyProvInfo(info);
    KeyProvInfo back;
    ASSERT_TRUE(capi::store::DecodeKeyProvInfo(enc.data(), enc.size(), back));
    EXPECT_EQ(std::tie(back.container, back.provider, back.params, back.keySpec),
              std::tie(info.container, info.provider, info.params, info.keySpec));
    EXPECT_FALSE(capi::store::DecodeKeyProvInfo(enc.data(), enc.size() - 1, back));
    EXPECT_EQ(GetLastError(), CRYPT_E_FILE_ERROR);
}

TEST(StoreFileForms, EachFormIsToldApartAndWrittenBackInIt) {
    const Bytes a = Cert(10), b = Cert(11), crl = Sequence("crl");
    std::vector<Element> out;
    FileForm form;
    size_t at = 0;

    // A bundle: certificates, then CRLs; what OpenSSL reads as well.
    const std::vector<Element> elements{Make(capi::store::kCert, a), Make(capi::store::kCrl, crl),
                                        Make(capi::store::kCert, b)};
    const Bytes p7 = capi::store::WritePkcs7Bundle({elements[0], elements[2]});
    const unsigned char* p = p7.data();
    PKCS7* pkcs7 = d2i_PKCS7(nullptr, &p, long(p7.size()));
    ASSERT_NE(pkcs7, nullptr);
    EXPECT_EQ(sk_X509_num(pkcs7->d.sign->cert), 2);
    PKCS7_free(pkcs7);
    const Bytes withCrl = capi::store::WriteStoreFile(elements, FileForm::kPkcs7);
    ASSERT_TRUE(capi::store::ParseStoreFile(withCrl.data(), withCrl.size(), out, form, &at));
    EXPECT_EQ(form, FileForm::kPkcs7);
    EXPECT_EQ(Contents(out), Contents({elements[0], elements[2], elements[1]}));

    // One certificate alone stays one; with more it becomes a bundle.
    ASSERT_TRUE(capi::store::ParseStoreFile(a.data(), a.size(), out, form, &at));
    EXPECT_EQ(form, FileForm::kDer);
    EXPECT_EQ(Contents(out), Contents({elements[0]}));
    EXPECT_EQ(capi::store::WriteStoreFile(out, FileForm::kDer), a);
    const Bytes grown = capi::store::WriteStoreFile({elements[0], elements[2]}, FileForm::kDer);
    EXPECT_EQ(grown, p7);
    EXPECT_ANY_THROW(capi::store::WriteStoreFile({Make(capi::store::kCtl, Sequence("ctl"))}, FileForm::kPkcs7));

    // Empty is an empty store; serialized is itself.
    ASSERT_TRUE(capi::store::ParseStoreFile(nullptr, 0, out, form, &at));
    EXPECT_TRUE(out.empty());
    const Bytes ser = capi::store::WriteSerialized(elements);
    ASSERT_TRUE(capi::store::ParseStoreFile(ser.data(), ser.size(), out, form, &at));
    EXPECT_EQ(form, FileForm::kSerialized);
    EXPECT_EQ(Contents(out), Contents(elements));

    // None of the forms, or a damaged one: the offset of the fault. A signed
    // message (one empty signer info) is no bundle: writing it back would
    // drop its signature.
    const Bytes signedOne = certtest::FromHex(
        "30 25 06 09 2A 86 48 86 F7 0D 01 07 02 A0 18 30 16 02 01 01 31 00"
        " 30 0B 06 09 2A 86 48 86 F7 0D 01 07 01 31 02 30 00");
    const Bytes cutBundle(p7.begin(), p7.end() - 5);
    const Bytes crlAlone = Sequence("xyz");
    const struct {
        const char* name;
        Bytes bytes;
        size_t offset;
    } bad[] = {{"text", {'h', 'e', 'l', 'l', 'o'}, 0},
               {"cut bundle", cutBundle, 0},
               {"a SEQUENCE of junk", crlAlone, 2},
               {"a SEQUENCE that is no certificate", Sequence(std::string("\x30\x00", 2)), 0},
               {"serialized header only", {0, 0, 0, 0, 'C', 'E', 'R', 'T'}, 8}};
    for (const auto& c : bad) {
        at = SIZE_MAX;
        EXPECT_FALSE(capi::store::ParseStoreFile(c.bytes.data(), c.bytes.size(), out, form, &at)) << c.name;
        EXPECT_EQ(GetLastError(), CRYPT_E_FILE_ERROR) << c.name;
        EXPECT_EQ(at, c.offset) << c.name;
    }
    EXPECT_FALSE(capi::store::ParseStoreFile(signedOne.data(), signedOne.size(), out, form, &at));
    EXPECT_EQ(GetLastError(), CRYPT_E_FILE_ERROR);
}
