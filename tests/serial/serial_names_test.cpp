#include <gtest/gtest.h>

#include <string>

#include "platform/serial_port.h"

namespace {

std::string ComName(std::uint32_t ulPort, std::uint32_t ulCap = 50) {
    char ac[50] = "junk";
    return PlatformSerialComName(ulPort, ac, ulCap) ? std::string(ac) : "<fail:" + std::string(ac) + ">";
}

std::string PortName(std::uint32_t ulPort) {
    char ac[50] = "junk";
    return PlatformSerialPortName(ulPort, ac, sizeof(ac)) ? std::string(ac)
                                                          : "<fail:" + std::string(ac) + ">";
}

TEST(SerialNames, ComNameRule) {
    EXPECT_EQ(ComName(0), "COM0");
    EXPECT_EQ(ComName(5), "COM5");
    EXPECT_EQ(ComName(9), "COM9");
    EXPECT_EQ(ComName(10), "\\\\.\\COM10");
    EXPECT_EQ(ComName(31), "\\\\.\\COM31");
    EXPECT_EQ(ComName(32), "<fail:>");
    EXPECT_EQ(ComName(0xFFFFFFFFu), "<fail:>");
    EXPECT_EQ(ComName(10, 9), "<fail:>");  // "\\.\COM10" needs 9 characters and the NUL
    EXPECT_EQ(ComName(10, 10), "\\\\.\\COM10");
}

TEST(SerialNames, LinuxNodeMappingAndPattern) {
    ASSERT_EQ(PlatformSerialSetNodePattern(nullptr), 1);
    EXPECT_EQ(PortName(0), "/dev/ttyUSB0");
    EXPECT_EQ(PortName(9), "/dev/ttyUSB9");
    EXPECT_EQ(PortName(10), "/dev/ttyACM0");
    EXPECT_EQ(PortName(19), "/dev/ttyACM9");
    EXPECT_EQ(PortName(20), "/dev/ttyS0");
    EXPECT_EQ(PortName(31), "/dev/ttyS11");
    EXPECT_EQ(PortName(32), "<fail:>");

    EXPECT_EQ(PlatformSerialSetNodePattern("/dev/ttyAMA"), 0);  // no %u
    EXPECT_EQ(PlatformSerialSetNodePattern(std::string(201, 'x').append("%u").c_str()), 0);
    EXPECT_EQ(PortName(3), "/dev/ttyUSB3");  // a refused pattern changes nothing
    ASSERT_EQ(PlatformSerialSetNodePattern("/dev/rfcomm%u.x"), 1);
    EXPECT_EQ(PortName(3), "/dev/rfcomm3.x");
    EXPECT_EQ(PortName(31), "/dev/rfcomm31.x");
    EXPECT_EQ(PortName(32), "<fail:>");
    ASSERT_EQ(PlatformSerialSetNodePattern(std::string(60, 'x').append("%u").c_str()), 1);
    EXPECT_EQ(PortName(1), "<fail:>");  // does not fit the name buffer
    ASSERT_EQ(PlatformSerialSetNodePattern(nullptr), 1);
    EXPECT_EQ(PortName(12), "/dev/ttyACM2");
}

TEST(SerialNames, BuildDcbDefinitions) {
    SerialDcb tDcb{};
    tDcb.DCBlength = sizeof(SerialDcb);
    ASSERT_EQ(PlatformSerialBuildDcb("baud=115200 parity=N data=8 stop=1", &tDcb), 1);
    EXPECT_EQ(tDcb.DCBlength, sizeof(SerialDcb));
    EXPECT_EQ(tDcb.BaudRate, 115200u);
    EXPECT_EQ(tDcb.ByteSize, 8);
    EXPECT_EQ(tDcb.Parity, kSerialParityNone);
    EXPECT_EQ(tDcb.StopBits, kSerialStopBitsOne);

    ASSERT_EQ(PlatformSerialBuildDcb("parity=e  stop=2", &tDcb), 1);  // other fields stay
    EXPECT_EQ(tDcb.BaudRate, 115200u);
    EXPECT_EQ(tDcb.Parity, kSerialParityEven);
    EXPECT_EQ(tDcb.StopBits, kSerialStopBitsTwo);

    // A faulty definition fails and changes nothing.
    for (const char* strBad : {"baud=fast", "data=9", "parity=Q", "stop=3", "speed=9600", "baud",
                               "baud=", "baud=9600 data=4", "baud=-5"}) {
        SerialDcb tBefore = tDcb;
        EXPECT_EQ(PlatformSerialBuildDcb(strBad, &tDcb), 0) << strBad;
        EXPECT_EQ(tDcb.BaudRate, tBefore.BaudRate) << strBad;
        EXPECT_EQ(tDcb.ByteSize, tBefore.ByteSize) << strBad;
    }
}

}  // namespace
