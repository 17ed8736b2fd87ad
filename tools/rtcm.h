// RTCM 3 frames for the tools and tests: preamble 0xD3, six reserved bits
// and a 10-bit length, the message, and a CRC-24Q over all of that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

uint32_t crc24q(const uint8_t *data, size_t n);

// A message in a frame: preamble, length, the message, CRC-24Q.
std::string rtcm_frame(const std::string &message);

// Frame number seq of the generated stream: it cycles through station
// messages (1005, 1006) and observation-shaped messages (1074, 1084, 1094),
// each carrying seq so that a checker sees loss and order.
std::string make_frame(uint64_t seq);

// Counts what a byte stream holds, fed in pieces of any size.
struct RtcmScanner {
    uint64_t bytes = 0;
    uint64_t frames = 0;
    uint64_t crc_failures = 0;
    uint64_t skipped = 0;       // bytes outside any frame
    uint64_t out_of_order = 0;  // generated frames whose seq did not follow the last
    bool have_seq = false;
    uint64_t last_seq = 0;
    std::map<int, uint64_t> types;

    void feed(const uint8_t *data, size_t n);
    // "frames 12 bytes 3456 crc_failures 0 ... types 1005:2 1074:3"
    std::string summary() const;

private:
    std::string pending;
    bool synced = false;
    void take(const std::string &frame);
};
