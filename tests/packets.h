// Packets for the tests, written by the stand-in box's own writer.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "packet.h"

inline std::string packet(const std::vector<SimRecord>& records, const PacketOptions& options = {})
{
    std::string error;
    std::string bytes = encodePacket(records, options, &error);
    EXPECT_FALSE(bytes.empty()) << error;
    return bytes;
}
