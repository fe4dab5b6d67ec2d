#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "FakePlatform.h"
#include "UTypes/VhdRecords.h"

namespace {

std::string Bytes(const void* data, size_t offset, size_t count)
{
    return std::string(static_cast<const char*>(data) + offset, count);
}

TEST(ByteOrder, SwapsReverseBytesAndSwap16KeepsTheHighHalf)
{
    EXPECT_EQ(Swap16(0x11223344u), 0x11224433u);
    EXPECT_EQ(Swap32(0x11223344u), 0x44332211u);
    EXPECT_EQ(Swap64(0x1122334455667788ull), 0x8877665544332211ull);

    // The big-endian Current Size of a 10 MiB disk, as stored in a file.
    const unsigned char stored[8] = {0, 0, 0, 0, 0, 0xA0, 0, 0};
    uint64_t raw = 0;
    std::memcpy(&raw, stored, 8);
    EXPECT_EQ(Swap64(raw), 10u << 20);
}

TEST(Checksum, IsTheComplementOfTheByteSum)
{
    const unsigned char zeros[512] = {};
    EXPECT_EQ(VhdChecksum(zeros, 0), 0xFFFFFFFFu);
    EXPECT_EQ(VhdChecksum(zeros, sizeof zeros), 0xFFFFFFFFu);
    EXPECT_EQ(VhdChecksum("abc", 3), 0xFFFFFED9u);
    const std::string ones(600, '\xFF');  // sums past 16 bits without trouble
    EXPECT_EQ(VhdChecksum(ones.data(), ones.size()), ~uint32_t{600 * 255});
}

TEST(FieldText, StopsAtTheFirstZeroByteOrTheFieldWidth)
{
    EXPECT_EQ(FieldText("ABC ", 4), "ABC ");
    EXPECT_EQ(FieldText("AB\0C", 4), "AB");
    EXPECT_EQ(FieldText("conectixTRAILING", 8), "conectix");
}

class FooterTest : public testing::Test {
protected:
    void SetUp() override { FakeReset(); }
};

TEST_F(FooterTest, OneMebibyteFooterMatchesTheWorkedExample)
{
    HardDiskFooter footer;
    BuildFooter(footer, 2, 1048576, 0);

    const unsigned char expected[64] = {
        0x63, 0x6F, 0x6E, 0x65, 0x63, 0x74, 0x69, 0x78, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00,
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x68, 0x61, 0x63, 0x6B,
        0x00, 0x01, 0x00, 0x00, 0x57, 0x69, 0x32, 0x6B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x03, 0x10, 0x3F, 0x00, 0x00, 0x00, 0x02,
    };
    EXPECT_EQ(Bytes(&footer, 0, 64), Bytes(expected, 0, 64));
    EXPECT_EQ(Bytes(&footer, 84, 428), std::string(428, '\0'));

    // The Unique Id comes from the platform's generator, untouched.
    uint32_t guidSum = 0;
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(footer.uniqueId[i], 0x10 + i);
        guidSum += footer.uniqueId[i];
    }
    EXPECT_EQ(Swap32(footer.checksum), 0xFFFFF13Eu - guidSum);

    HardDiskFooter copy = footer;
    copy.checksum = 0;
    EXPECT_EQ(Swap32(footer.checksum), VhdChecksum(&copy, sizeof copy));
}

TEST_F(FooterTest, KeepsDataOffsetsAndExactSizes)
{
    HardDiskFooter footer;
    BuildFooter(footer, 3, 1000, 512);
    EXPECT_EQ(Bytes(&footer, 16, 8), std::string("\0\0\0\0\0\0\x02\0", 8));
    EXPECT_EQ(Swap64(footer.originalSize), 1000u);  // not rounded to sectors
    EXPECT_EQ(Swap64(footer.currentSize), 1000u);
    EXPECT_EQ(Swap32(footer.diskType), 3u);

    BuildFooter(footer, 2, 0, 0);
    EXPECT_EQ(Bytes(&footer, 56, 4), std::string("\x00\x01\x10\x3F", 4));
    EXPECT_EQ(footer.originalSize, 0u);
    EXPECT_EQ(footer.currentSize, 0u);
}

TEST_F(FooterTest, TwoFootersForTheSameDiskDifferOnlyInIdAndChecksum)
{
    HardDiskFooter first;
    HardDiskFooter second;
    BuildFooter(first, 2, 5ll << 30, 0);
    BuildFooter(second, 2, 5ll << 30, 0);
    EXPECT_NE(Bytes(first.uniqueId, 0, 16), Bytes(second.uniqueId, 0, 16));
    std::memset(first.uniqueId, 0, 16);
    std::memset(second.uniqueId, 0, 16);
    first.checksum = second.checksum = 0;
    EXPECT_EQ(Bytes(&first, 0, 512), Bytes(&second, 0, 512));
}

struct GeometryCase {
    int64_t sectors;
    unsigned heads;
    unsigned cylinders;  // as stored: the low 16 bits
};

class GeometryTest : public testing::TestWithParam<GeometryCase> {};

TEST_P(GeometryTest, ThresholdsTakeTheHigherHeadCount)
{
    FakeReset();
    HardDiskFooter footer;
    BuildFooter(footer, 2, GetParam().sectors * 512, 0);
    EXPECT_EQ(footer.heads, GetParam().heads);
    EXPECT_EQ(footer.sectorsPerTrack, 63);
    EXPECT_EQ(Swap16(footer.cylinders), GetParam().cylinders);
}

INSTANTIATE_TEST_SUITE_P(Thresholds, GeometryTest,
                         testing::Values(GeometryCase{0, 16, 1}, GeometryCase{2048, 16, 3},
                                         GeometryCase{66059279, 16, 65535}, GeometryCase{66059280, 64, 16384},
                                         GeometryCase{134215679, 64, 33288}, GeometryCase{134215680, 128, 16644},
                                         GeometryCase{528474239, 128, 65535}, GeometryCase{528474240, 255, 32897},
                                         GeometryCase{1052819774, 255, 65535}, GeometryCase{1052819775, 255, 0}));

TEST_F(FooterTest, RecognisesOnlyFixedAndDynamicConectixFooters)
{
    HardDiskFooter footer;
    BuildFooter(footer, 2, 1 << 20, 0);
    EXPECT_EQ(RecogniseFooter(footer), 2u);
    footer.diskType = Swap32(3);
    EXPECT_EQ(RecogniseFooter(footer), 3u);
    footer.checksum ^= 0xFFFF;  // the checksum is not looked at
    EXPECT_EQ(RecogniseFooter(footer), 3u);
    footer.diskType = Swap32(4);  // a differencing disk
    EXPECT_EQ(RecogniseFooter(footer), 0u);

    footer.diskType = Swap32(2);
    std::memcpy(footer.cookie, "Conectix", 8);
    EXPECT_EQ(RecogniseFooter(footer), 0u);
    std::memcpy(footer.cookie, "conec\0ix", 8);
    EXPECT_EQ(RecogniseFooter(footer), 0u);

    HardDiskFooter zeros{};
    EXPECT_EQ(RecogniseFooter(zeros), 0u);
}

TEST(DynamicHeader, IsBuiltWithTheTableAt1536AndAVerifiedChecksum)
{
    DynamicDiskHeader header;
    BuildDynamicHeader(header, 5);
    EXPECT_TRUE(IsDynamicHeader(header));
    EXPECT_EQ(Bytes(&header, 8, 8), std::string(8, '\xFF'));
    EXPECT_EQ(Swap64(header.tableOffset), 1536u);
    EXPECT_EQ(Swap32(header.headerVersion), 0x00010000u);
    EXPECT_EQ(Swap32(header.maxTableEntries), 5u);
    EXPECT_EQ(Swap32(header.blockSize), 2097152u);
    EXPECT_EQ(Bytes(&header, 36, 4), "\xFF\xFF\xF4\x72");  // the empty 10 MiB disk's header
    EXPECT_EQ(Bytes(&header, 40, 984), std::string(984, '\0'));

    DynamicDiskHeader copy = header;
    copy.checksum = 0;
    EXPECT_EQ(Swap32(header.checksum), VhdChecksum(&copy, sizeof copy));

    std::memcpy(header.cookie, "cxspars\0", 8);
    EXPECT_FALSE(IsDynamicHeader(header));
}

TEST(DynamicHeader, FirstBlockOffsetRoundsUpToASector)
{
    EXPECT_EQ(FirstBlockOffset(1536, 0), 1536);
    EXPECT_EQ(FirstBlockOffset(1536, 5), 2048);
    EXPECT_EQ(FirstBlockOffset(1536, 128), 2048);
    EXPECT_EQ(FirstBlockOffset(1536, 129), 2560);
    EXPECT_EQ(FirstBlockOffset(1536, 512), 3584);
    EXPECT_EQ(FirstBlockOffset(1536, 0xFFFFFFFFu), 1536 + 4ll * 0xFFFFFFFFu + 4);
    // A hostile Table Offset wraps instead of overflowing.
    EXPECT_EQ(FirstBlockOffset(INT64_MAX, 1) % 512, 0);
}

TEST(QueryFileSize, GivesMinusOneForMissingFilesAndFullSizesOtherwise)
{
    FakeReset();
    EXPECT_EQ(QueryFileSize("missing"), -1);
    EXPECT_EQ(QueryFileSize(""), -1);
    FakePut("empty", "");
    EXPECT_EQ(QueryFileSize("empty"), 0);
    FakeSetLength("big", 5ll << 30);
    EXPECT_EQ(QueryFileSize("big"), 5ll << 30);
}

}  // namespace
