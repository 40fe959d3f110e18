#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cert/asn.h"
#include "cert/oids.h"
#include "cert/toofile.h"
#include "testsupport.h"

namespace {

constexpr auto* H = &certtest::BlobFromHex;
using certtest::Hex;

// A byte source with the Read(void*, n) of a file object.
struct MemFile {
    IdentObj bytes;
    DWORD pos = 0;
    DWORD Read(void* p, DWORD n) {
        DWORD k = std::min(n, bytes.size() - pos);
        std::memcpy(p, bytes.data() + pos, k);
        pos += k;
        return k;
    }
};

TEST(AsnRecords, BaseRecordReadWrite) {
    IdentObj in = H("A0 03 020105 FFFF");
    CASNTBaseRecord r;
    int st = 0;
    EXPECT_EQ(r.ReadData(in, &st), 5u);
    EXPECT_EQ(r.GetClass(), ASNT_CLASS_CONTEXT);
    EXPECT_TRUE(r.GetIsConstraction());
    EXPECT_EQ(r.GetEntrySize(), 3u);
    EXPECT_EQ(Hex(r.GetEncodedRecord()), "A003020105");

    CASNTBaseRecord built;
    built.SetTag(5);
    built.SetClass(ASNT_CLASS_CONTEXT);
    EXPECT_TRUE(built.SetEncodedEntry(H("020105 0500")));
    EXPECT_EQ(Hex(built.GetEncodedRecord()), "A5050201050500");
    EXPECT_FALSE(built.SetEncodedEntry(H("0205 01"), &st));
    EXPECT_EQ(st, TOOERR_DER_FORMAT);

    // The header alone is enough for ReadASNInfo.
    CASNTBaseRecord info;
    IdentObj head = H("3082 0400");
    EXPECT_EQ(info.ReadASNInfo(head.data(), head.size()), 4u);
    EXPECT_EQ(info.GetContecstSpecSize(), 0x400u);
    EXPECT_EQ(info.GetDataTag(), 16u);

    CASNTBaseRecord oid;
    EXPECT_TRUE(oid.SetOID(cert::oids::kGostR3411_2012_256));
    EXPECT_FALSE(oid.SetOID("1.2.", &st));
    CASNTBaseRecord num;
    num.SetInteger(-200);
    EXPECT_EQ(Hex(num.GetEncodedRecord()), "0202FF38");
    EXPECT_EQ(num.GetInteger(), -200);
    st = 0;
    EXPECT_EQ(oid.GetInteger(&st), 0);
    EXPECT_EQ(st, TOOERR_DER_FORMAT);

    // Without a status pointer, failures throw.
    EXPECT_THROW(r.ReadData(H("3005 0201"), nullptr), XTOOStatus);
}

TEST(AsnRecords, ReadFromFileObject) {
    MemFile f{H("3003 020107 0403 414243 3084 7FFFFFFF 00"), 0};
    CASNTBaseRecord r;
    int st = 0;
    EXPECT_EQ(r.ReadData(f, &st), 5u);
    EXPECT_EQ(r.ReadData(f, &st), 5u);
    EXPECT_EQ(std::string(r.GetRecord().view()), "ABC");
    // A 2 GiB claim backed by one byte: refused by the limit, and with a
    // larger limit by the short read, never by sizing a buffer.
    DWORD at = f.pos;
    EXPECT_EQ(r.ReadData(f, &st), 0u);
    EXPECT_EQ(st, TOOERR_DER_LIMIT);
    f.pos = at;
    st = 0;
    EXPECT_EQ(r.ReadData(f, &st, 0xFFFFFFFFu), 0u);
    EXPECT_EQ(st, TOOERR_DER_FORMAT);
}

TEST(AsnRecords, UnitAndSequences) {
    CASNTUnit u;
    CASNTBaseRecord a, b;
    a.SetInteger(1);
    b.SetOID(cert::oids::kCommonName);
    u.Push_Back(a);
    u.Push_Back(b);
    EXPECT_EQ(u.GetItem(2), nullptr);
    IdentObj seq = u.WriteSequence();
    EXPECT_EQ(Hex(seq), "30080201010603550403");

    CASNTUnit back;
    EXPECT_EQ(back.ReadSequence(seq.data(), seq.size()), 2u);
    EXPECT_EQ(back.GetItem(1)->GetOID(), cert::oids::kCommonName);
    IdentObj flat;
    u.WriteData(flat);
    EXPECT_EQ(back.ReadData(flat.data(), flat.size()), 2u);
    EXPECT_EQ(*back.GetItem(0), a);

    std::vector<IdentObj> items;
    DWORD used = 0;
    IdentObj withTail = seq;
    withTail.AddData("\x05\x00", 2);
    EXPECT_EQ(ASNTGetSequence(withTail, items, nullptr, &used), 2);
    EXPECT_EQ(used, seq.size());
    EXPECT_EQ(Hex(items[1]), "0603550403");
    int st = 0;
    EXPECT_EQ(ASNTGetSequence(H("3103 020101"), items, &st), 0);
    EXPECT_EQ(st, TOOERR_DER_FORMAT);
    EXPECT_TRUE(items.empty());
    EXPECT_EQ(ASNTGetSequence(H("3103 020101"), items, nullptr, nullptr, 0x31), 1);

    IdentObj out;
    EXPECT_EQ(ASNTPutSequence(items, out), 5u);
    EXPECT_EQ(ASNTPutSequence(std::vector<std::int64_t>{1, 256}, out), 9u);
    EXPECT_EQ(Hex(out), "300702010102020100");
    st = 0;
    EXPECT_EQ(ASNTPutSequence(std::vector<IdentObj>{H("020101 020102")}, out, &st), 0u);
    EXPECT_EQ(st, TOOERR_DER_FORMAT);

    certtest::TempDir dir;
    certtest::WriteFile(dir / "seq.der", std::string(seq.view()));
    EXPECT_EQ(ASNTGetSequence((dir / "seq.der").c_str(), items), 2);
    certtest::WriteFile(dir / "tail.der", std::string(withTail.view()));
    EXPECT_EQ(ASNTGetSequence((dir / "tail.der").c_str(), items, &st), 0);
    EXPECT_EQ(st, TOOERR_DER_FORMAT);
    EXPECT_EQ(ASNTGetSequence((dir / "none.der").c_str(), items, &st), 0);
    EXPECT_EQ(st, TOOERR_NOFILE);
}

TEST(AsnRecords, SequencesThroughFileObjects) {
    certtest::TempDir dir;
    const std::string path = dir / "seqs.bin";
    {
        CTOOFile f(path.c_str(), "wb");
        EXPECT_EQ(ASNTPutSequence({H("020101"), H("0500")}, f), 7u);
        EXPECT_EQ(ASNTPutSequence({H("0403414243")}, f), 7u);
        f.Write(H("3003 2480 0400 0000"));  // BER inside: kept as it stands
        f.Write(H("3084 7FFFFFFF 00"));     // claims 2 GiB, backed by one byte
    }
    CTOOFile f(path.c_str(), "rb");
    std::vector<IdentObj> items;
    EXPECT_EQ(ASNTGetSequence(f, items), 2);
    EXPECT_EQ(ASNTGetSequence(f, items), 1);
    EXPECT_EQ(f.CurPos(), 14);
    int st = 0;
    EXPECT_EQ(ASNTGetSequence(f, items, &st), 0);
    EXPECT_EQ(st, TOOERR_DER_FORMAT);
    try {
        ASNTGetSequence(f, items);
        ADD_FAILURE() << "no throw";
    } catch (const XTOOStatus& e) {
        EXPECT_NE(std::string(e.Place()).find(path), std::string::npos) << e.Place();
    }
    EXPECT_TRUE(items.empty());

    CTOOFile ro(path.c_str(), "rb");
    EXPECT_EQ(ASNTPutSequence({H("0500")}, ro, &st), 0u);
    EXPECT_EQ(st, TOOERR_READONLY);
}

TEST(AsnRecords, RawHeaders) {
    BYTE buf[16];
    DWORD n = ASNTLowEncodeData(ASNT_CLASS_CONTEXT, true, 31, 300, buf, sizeof buf);
    EXPECT_EQ(TOOBin2HexStr(buf, n), "BF1F82012C");
    BYTE cls = 0;
    bool cons = false;
    DWORD tag = 0, len = 0;
    EXPECT_EQ(ASNTLowDecodeData(buf, n, &cls, &cons, &tag, &len), n);
    EXPECT_EQ(std::make_tuple(cls, cons, tag, len),
              std::make_tuple(BYTE(ASNT_CLASS_CONTEXT), true, DWORD(31), DWORD(300)));
    int st = 0;
    EXPECT_EQ(ASNTLowEncodeData(0, false, 2, 300, buf, 3, &st), 0u);
    EXPECT_EQ(st, TOOERR_BADARG);

    ASNTInfo info;
    IdentObj e = H("0403 414243");
    EXPECT_EQ(ASNTGetAsnInfo(e.data(), e.size(), &info), 2u);
    EXPECT_EQ(info.totalSize, 5u);
    EXPECT_EQ(ASNTGetAsnInfo(e.data(), 4, &info, &st), 0u);
    EXPECT_EQ(st, TOOERR_DER_FORMAT);
}

TEST(AsnRecords, IdDataAndAlgorithms) {
    CASNTIdData plain;
    EXPECT_EQ(plain.ReadData(H("06032A0304")), 5u);
    EXPECT_FALSE(plain.IsSequenceForm());
    EXPECT_EQ(Hex(plain.GetEncoded()), "06032A0304");

    ASNAlgorithmIdentifier alg;
    IdentObj rsa = H("300D 06092A864886F70D01010B 0500");
    EXPECT_EQ(alg.ReadData(rsa), rsa.size());
    EXPECT_TRUE(alg == cert::oids::kSha256WithRsa);
    EXPECT_EQ(alg.GetEncoded(), rsa);
    int st = 0;
    EXPECT_EQ(alg.ReadData(H("06032A0304"), &st), 0u);
    EXPECT_EQ(st, TOOERR_DER_FORMAT);
    // Absent parameters stay absent on the way out.
    ASNAlgorithmIdentifier gost(cert::oids::kGostR3410_2012_256WithR3411);
    EXPECT_EQ(Hex(gost.GetEncoded()), "300A06082A85030701010302");
    EXPECT_EQ(CASNTIdData().ReadData(H("3008 06032A0304 0500 05"), &st), 0u);  // junk after parameters

    // Numeric order of arcs, not byte order: 1.2.256 < 1.2.16384.
    CASNTIdData a("1.2.256"), b("1.2.16384"), c("1.2.9"), d("1.2.9.1");
    EXPECT_LT(a, b);
    EXPECT_LT(c, a);
    EXPECT_LT(c, d);
    EXPECT_NE(CASNTIdData("1.2.9", H("0500")), c);

    CASNAlgAddInfo add(cert::oids::kSign2001ParamSetA, cert::oids::kHash94ParamSet);
    IdentObj params;
    add.WriteData(params);
    EXPECT_EQ(Hex(params), "301206072A85030202230106072A850302021E01");
    CASNAlgAddInfo back;
    EXPECT_EQ(back.ReadData(params), params.size());
    EXPECT_EQ(back.GetHashOID(), cert::oids::kHash94ParamSet);
    IdentObj three = H("3009 06012A 06012B 06012C");
    EXPECT_EQ(back.ReadData(three), three.size());
    EXPECT_EQ(back.GetEncryptOID(), "1.4");
    EXPECT_EQ(back.ReadData(H("300C 06012A 06012B 06012C 06012D"), &st), 0u);
    EXPECT_EQ(back.GetSignOID(), "1.2");  // unchanged by the failed read
}

TEST(AsnRecords, TimesAndStrings) {
    CASNValid v(asn::MakeFileTime(2024, 1, 2, 3, 4, 5), asn::MakeFileTime(2060, 1, 1, 0, 0, 0));
    IdentObj enc;
    v.WriteData(enc);
    EXPECT_EQ(std::string(enc.view()).substr(2, 2), std::string("\x17\x0D", 2));
    CASNValid back;
    EXPECT_EQ(back.ReadData(enc), enc.size());
    EXPECT_EQ(asn::FormatTime(back.GetTime(true)), "2060-01-01 00:00:00Z");

    AsnKeyUsagePeriod p;
    p.SetNotAfter(asn::MakeFileTime(2030, 5, 6, 7, 8, 9));
    IdentObj pe;
    p.WriteData(pe);
    EXPECT_EQ(Hex(pe), "3011810F32303330303530363037303830395A");
    AsnKeyUsagePeriod pb;
    pb.SetNotBefore(asn::MakeFileTime(2000, 1, 1, 0, 0, 0));
    EXPECT_EQ(pb.ReadData(pe), pe.size());
    EXPECT_FALSE(pb.HasNotBefore());
    EXPECT_TRUE(pb.HasNotAfter());
    EXPECT_EQ(asn::FormatTime(pb.GetNotAfter()), "2030-05-06 07:08:09Z");
    const char* t = "0F 3230333030353036303730383039 5A";
    int st = 0;
    EXPECT_EQ(pb.ReadData(H(("3022 81" + std::string(t) + " 80" + t).c_str()), &st), 0u);  // out of order

    IdentObj u = DerHelper::EncodeStringAsUtf8("Иванов");
    EXPECT_EQ(DerHelper::DecodeUtf8String(u), "Иванов");
    EXPECT_TRUE(DerHelper::EncodeStringAsUtf8("\xC3", &st).IsEmpty());
    EXPECT_EQ(st, TOOERR_BADENCODING);
    IdentObj bmp = DerHelper::EncodeStringAsBmp("Иванов");
    EXPECT_EQ(DerHelper::DecodeBmpString(bmp.data(), bmp.size()), "Иванов");
    DWORD tag = 0;
    EXPECT_EQ(DerHelper::DecodeString(bmp.data(), bmp.size(), nullptr, &tag), "Иванов");
    EXPECT_EQ(tag, 30u);
    EXPECT_EQ(DerHelper::DecodeUtf8String(bmp, &st), "");
    EXPECT_EQ(st, TOOERR_DER_FORMAT);
    EXPECT_TRUE(DerHelper::IsPrintableString("Test CA (1), O=x/y?"));
    EXPECT_FALSE(DerHelper::IsPrintableString("a@b"));
    EXPECT_FALSE(DerHelper::IsValidUtf8("\xED\xA0\x80"));  // encoded surrogate
}

}  // namespace
