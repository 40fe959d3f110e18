#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "cert/lecursor.h"

namespace {

std::vector<std::uint8_t> B(std::initializer_list<int> v) { return std::vector<std::uint8_t>(v.begin(), v.end()); }

TEST(LeCursor, ReadsFieldsOfEveryWidthLeastSignificantFirst) {
    auto in = B({0x01, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A,
                 0x78, 0x56, 0x34, 0x12, 'V',  'R',  'K',  'C',  0xAA, 0xBB});
    le::Reader r(in);
    EXPECT_EQ(r.U8(), 0x01);
    EXPECT_EQ(r.U16(), 0x1234);
    EXPECT_EQ(r.U32(), 0x12345678u);
    EXPECT_EQ(r.U64(), 0x123456789ABCDEF0ull);
    r.Expect("VRKC", "magic");
    EXPECT_EQ(r.Array<2>(), (std::array<std::uint8_t, 2>{0xAA, 0xBB}));
    EXPECT_TRUE(r.AtEnd());
    EXPECT_EQ(le::FourCC("MAG1"), 0x3147414Du);
}

// Each case reads from its input and must fail at `offset`; the cursor
// then stands where the failing read began (`at`: a sub-cursor fails on
// its own, its parent having moved past the range).
TEST(LeCursor, FaultsNameTheirOffsetAndMoveNothing) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> in;
        std::function<void(le::Reader&)> read;
        std::uint64_t offset, at;
    };
    const Case cases[] = {
        {"u32 from 3 bytes", B({1, 2, 3}), [](le::Reader& r) { r.U32(); }, 0, 0},
        {"u64 after a u16", B({1, 2, 3, 4, 5, 6, 7, 8, 9}), [](le::Reader& r) { r.U16(), r.U64(); }, 2, 2},
        {"range past the end", B({1, 2, 3, 4}), [](le::Reader& r) { r.U8(), r.Take(4); }, 1, 1},
        {"counted range longer than the rest", B({9, 0, 0, 0, 1, 2}), [](le::Reader& r) { r.Counted32(); }, 0, 0},
        // A length near 2^32 must not wrap a sum into passing.
        {"counted range of 2^32-1", B({0xFF, 0xFF, 0xFF, 0xFF, 1}), [](le::Reader& r) { r.Counted32(); }, 0, 0},
        {"wrong code", B({'V', 'R', 'K', 'X'}), [](le::Reader& r) { r.Expect("VRKC", "magic"); }, 0, 0},
        {"wrong value", B({0, 0, 2, 0, 0, 0}), [](le::Reader& r) { r.U16(), r.ExpectU32(1, "version"); }, 2, 2},
        {"left over", B({1, 2, 3}), [](le::Reader& r) { r.U16(), r.Finish(); }, 2, 2},
        // Offsets inside a sub-cursor count from the outer input.
        {"inside a counted range", B({0xEE, 2, 0, 0, 0, 7, 8, 9}),
         [](le::Reader& r) {
             r.U8();
             le::Reader sub = r.Counted32();
             sub.U8();
             sub.U16();
         },
         6, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        le::Reader r(c.in);
        try {
            c.read(r);
            ADD_FAILURE() << "no fault";
        } catch (const le::Error& e) {
            EXPECT_EQ(e.Offset(), c.offset);
            EXPECT_EQ(e.Status(), TOOERR_BADFORMAT);
            EXPECT_NE(std::string(e.Place()).find("offset " + std::to_string(c.offset)), std::string::npos);
        }
        EXPECT_EQ(r.offset(), c.at);
    }
}

TEST(LeCursor, SubCursorsAndTheWriterRoundTrip) {
    le::Writer w;
    w.Code("LIST").U16(2);
    std::size_t outer = w.BeginCounted32();
    w.U64(0x0102030405060708ull);
    std::size_t inner = w.BeginCounted32();
    w.Put(std::string_view("abc")).Zeros(2);
    w.EndCounted32(inner);
    w.EndCounted32(outer);
    w.U8(0x7F);
    IdentObj blob = w.Take();
    ASSERT_EQ(blob.size(), 4u + 2 + 4 + 8 + 4 + 5 + 1);

    le::Reader r(blob);
    r.Expect("LIST", "code");
    EXPECT_EQ(r.U16(), 2);
    le::Reader body = r.Counted32();
    EXPECT_EQ(body.offset(), 10u);
    EXPECT_EQ(body.U64(), 0x0102030405060708ull);
    le::Reader text = body.Counted32();
    auto bytes = text.Rest();
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), std::string("abc\0\0", 5));
    body.Finish();
    EXPECT_EQ(r.U8(), 0x7F);
    r.Finish();

    // A patch or a range end where nothing was begun is refused.
    le::Writer bad;
    bad.U16(1);
    EXPECT_THROW(bad.EndCounted32(0), le::Error);
    EXPECT_THROW(bad.PatchU32(1, 5), le::Error);
    bad.U16(2).PatchU32(0, 0xA1B2C3D4);
    EXPECT_EQ(bad.TakeSecret(), cert::Secret("\xD4\xC3\xB2\xA1"));
}

}  // namespace
