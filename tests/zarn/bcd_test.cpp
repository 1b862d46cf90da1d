#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/error.h"
#include "zarn/zarn_bcd.h"

namespace {

std::vector<uint8_t> Packed(const BCD& number)
{
    std::vector<uint8_t> bytes(number.Width());
    number.Pack(bytes.data());
    return bytes;
}

}  // namespace

TEST(BcdTest, OverflowSubtractsLargestOnce)
{
    BCD filled(4, 2, 99999999);
    filled += BCD(4, 2, 1);
    EXPECT_EQ(filled.Value(), 1u);

    BCD total(5, 0, 9999999999ull);
    total += BCD(5, 0, 9999999999ull);
    EXPECT_EQ(total.Value(), 9999999999ull);  // 2 x largest - largest

    BCD direct(4, 0);
    direct.SetValue(100000000);
    EXPECT_EQ(direct.Value(), 1u);
    direct.SetValue(99999999);
    EXPECT_EQ(direct.Value(), 99999999u);
    direct.SetValue(std::numeric_limits<uint64_t>::max());
    EXPECT_LE(direct.Value(), direct.Largest());
}

TEST(BcdTest, PacksAndUnpacksMostSignificantFirst)
{
    BCD number(4, 2, 12345678);
    EXPECT_EQ(Packed(number), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(Packed(BCD(3, 2, 1050)), (std::vector<uint8_t>{0x00, 0x10, 0x50}));

    const uint8_t wire[] = {0x00, 0x00, 0x02, 0x22, 0x22};
    BCD identity = BCD::Unpack(wire, 5, 0);
    EXPECT_EQ(identity.Value(), 22222u);
    EXPECT_EQ(Packed(identity), std::vector<uint8_t>(wire, wire + 5));

    uint8_t narrow[2] = {0xEE, 0xEE};
    BCD(4, 0, 123456).PackTo(narrow, 2);  // digits above the field are dropped
    EXPECT_EQ(narrow[0], 0x34);
    EXPECT_EQ(narrow[1], 0x56);
}

TEST(BcdTest, UnpackRejectsNibblesAboveNine)
{
    const uint8_t high[] = {0x00, 0xA0, 0x00};
    const uint8_t low[] = {0x00, 0x0B, 0x00};
    for (const uint8_t* bytes : {high, low}) {
        try {
            BCD::Unpack(bytes, 3, 2);
            FAIL() << "accepted a nibble above 9";
        } catch (const Gallion_error& error) {
            EXPECT_STREQ(error.what(), "Not valid BCD data");
        }
    }
}

TEST(BcdTest, RealConversionKeepsEveryUnitAndTruncatesBeyondDecimals)
{
    EXPECT_EQ(BCD::FromReal(1.15, 4, 2).Value(), 115u);
    EXPECT_EQ(BCD::FromReal(0.29, 4, 2).Value(), 29u);
    EXPECT_EQ(BCD::FromReal(4.35, 4, 2).Value(), 435u);
    EXPECT_EQ(BCD::FromReal(1.999, 4, 2).Value(), 199u);
    EXPECT_EQ(BCD::FromReal(10.0, 4, 3).Value(), 10000u);
    EXPECT_EQ(BCD::FromReal(0.1 + 0.2, 4, 8).Value(), 30000000u);  // 0.30000000000000004
    EXPECT_EQ(BCD::FromReal(123.456789, 5, 0).Value(), 123u);
    // A step total one ulp under a whole unit stays below it (truncation, not rounding).
    EXPECT_EQ(BCD::FromReal(std::nextafter(10.0, 0.0), 4, 2).Value(), 999u);
}

TEST(BcdTest, RealConversionOfBadOrTooLargeValues)
{
    EXPECT_EQ(BCD::FromReal(-1.5, 4, 2).Value(), 0u);
    EXPECT_EQ(BCD::FromReal(std::nan(""), 4, 2).Value(), 0u);
    EXPECT_EQ(BCD::FromReal(-std::numeric_limits<double>::infinity(), 4, 2).Value(), 0u);
    EXPECT_EQ(BCD::FromReal(std::numeric_limits<double>::infinity(), 4, 2).Value(), 99999999u);
    EXPECT_EQ(BCD::FromReal(1e300, 4, 2).Value(), 99999999u);
    EXPECT_EQ(BCD::FromReal(1000000.0, 4, 2).Value(), 99999999u);
    EXPECT_EQ(BCD::FromReal(999999.99, 4, 2).Value(), 99999999u);
}

TEST(BcdTest, ComparesAcrossDecimals)
{
    EXPECT_EQ(BCD(4, 2, 1000).Compare(BCD(4, 3, 10000)), 0);  // 10.00 == 10.000
    EXPECT_LT(BCD(4, 2, 999), BCD(4, 3, 9991));               // 9.99 < 9.991
    EXPECT_GT(BCD(4, 0, 10), BCD(4, 8, 99999999));            // 10 > 0.99999999
    EXPECT_LE(BCD(4, 2, 500), BCD(4, 1, 50));
}

TEST(BcdTest, ProductIsTruncatedNeverRounded)
{
    // 1.23 l x 1.999 per litre = 2.45877 -> 2.45
    EXPECT_EQ(BCD::Multiply(BCD(4, 2, 123), BCD(3, 3, 1999), 4, 2).Value(), 245u);
    // 10.00 l x 1.50 = 15.00
    EXPECT_EQ(BCD::Multiply(BCD(4, 2, 1000), BCD(3, 2, 150), 4, 2).Value(), 1500u);
    // Eight decimals everywhere: 64-bit intermediates would overflow here.
    BCD volume(4, 8, 99999999), price(3, 8, 999999);
    EXPECT_EQ(BCD::Multiply(volume, price, 4, 8).Value(), 999998u);  // 0.99999999 x 0.00999999
    EXPECT_EQ(BCD::Multiply(BCD(9, 8, 999999999999999999ull), BCD(9, 8, 999999999999999999ull), 4, 2).Value(),
              99999999u);
    EXPECT_EQ(BCD::Divide(BCD(4, 2, 1500), BCD(3, 2, 150), 4, 2).Value(), 1000u);
    EXPECT_EQ(BCD::Divide(BCD(4, 2, 1000), BCD(3, 2, 300), 4, 2).Value(), 333u);
    EXPECT_EQ(BCD::Divide(BCD(4, 2, 1000), BCD(3, 2, 0), 4, 2).Value(), 0u);
}

TEST(BcdTest, TextForm)
{
    EXPECT_EQ(BCD(4, 2, 1205).Text(), "12.05");
    EXPECT_EQ(BCD(4, 2, 5).Text(), "0.05");
    EXPECT_EQ(BCD(4, 0, 42).Text(), "42");
    EXPECT_EQ(BCD(5, 3, 0).Text(), "0.000");
}

TEST(BcdTest, OutOfRangeShapeIsBroughtIntoRange)
{
    BCD wide(200, 200, 5);
    EXPECT_EQ(wide.Width(), BCD::kMaxWidth);
    EXPECT_EQ(wide.Decimals(), BCD::kMaxDecimals);
    EXPECT_EQ(wide.Scale(), 100000000u);
    EXPECT_EQ(BCD(0, 0).Width(), 1);
}
