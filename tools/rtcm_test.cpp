#include "rtcm.h"

#include <gtest/gtest.h>

TEST(Rtcm, CrcOfAKnownFrame)
{
    // The empty message, well known on the wire as D3 00 00 47 EA 4B.
    const uint8_t empty[] = {0xD3, 0x00, 0x00};
    EXPECT_EQ(crc24q(empty, 3), 0x47EA4Bu);
    EXPECT_EQ(crc24q(nullptr, 0), 0u);
}

TEST(Rtcm, ScannerCountsFramesFedInAnyPieces)
{
    std::string stream;
    for (uint64_t seq = 0; seq < 50; seq++)
        stream += make_frame(seq);
    RtcmScanner scan;
    for (size_t at = 0; at < stream.size(); at += 7)
        scan.feed(reinterpret_cast<const uint8_t *>(stream.data()) + at,
                  std::min<size_t>(7, stream.size() - at));
    EXPECT_EQ(scan.frames, 50u);
    EXPECT_EQ(scan.crc_failures, 0u);
    EXPECT_EQ(scan.out_of_order, 0u);
    EXPECT_EQ(scan.skipped, 0u);
    EXPECT_EQ(scan.types[1005], 10u);
    EXPECT_EQ(scan.types[1074], 10u);
}

TEST(Rtcm, ScannerSeesDamageLossAndAJoinMidFrame)
{
    std::string a = make_frame(0), b = make_frame(1), c = make_frame(2), d = make_frame(4);
    b[10] ^= 0x01;
    std::string stream = a.substr(5) + a + b + c + d;
    RtcmScanner scan;
    scan.feed(reinterpret_cast<const uint8_t *>(stream.data()), stream.size());
    EXPECT_EQ(scan.frames, 3u);
    EXPECT_EQ(scan.crc_failures, 1u);
    EXPECT_EQ(scan.out_of_order, 2u);  // 0 -> 2 and 2 -> 4
}
