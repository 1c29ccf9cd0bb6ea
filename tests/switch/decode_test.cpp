// The information block as both generations report it, decoded into KVM_INFO.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "switch/kvm_switch.h"
#include "tests/support/stderr_capture.h"

namespace {

using Block = unsigned char[12];

std::string dumpLine(const Block& b) {
  char line[128];
  snprintf(line, sizeof line,
           "USB Buffer Info: %02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x\n", b[0], b[1], b[2],
           b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11]);
  return line;
}

KVM_INFO infoOfVersion(int version) {
  KVM_INFO info;
  memset(&info, 0, sizeof info);
  info.version = version;
  return info;
}

// Decodes and returns what was printed.
std::string decode(KVM_INFO* info, Block& block) {
  testsupport::StderrCapture capture;
  KVMSetInfo(info, block);
  return capture.take();
}

}  // namespace

// --- The records and the table ------------------------------------------------

TEST(SwitchRecords, HotKeyIsFortyBytesAndTheTableHasThreeEntriesInOrder) {
  EXPECT_EQ(sizeof(HOT_KEY), 40u);
  ASSERT_EQ(VendorCount, 3);
  EXPECT_EQ(DeviceList[0].vendorID, 0x10D5);
  EXPECT_EQ(DeviceList[0].firstProductID, 0x000D);
  EXPECT_EQ(DeviceList[0].lastProductID, 0x000D);
  EXPECT_EQ(DeviceList[1].vendorID, 0x10D5);
  EXPECT_EQ(DeviceList[1].firstProductID, 0x5500);
  EXPECT_EQ(DeviceList[1].lastProductID, 0x55FF);
  EXPECT_EQ(DeviceList[2].vendorID, 0x0CF6);
  EXPECT_EQ(DeviceList[2].firstProductID, 0x6B01);
  EXPECT_EQ(DeviceList[2].lastProductID, 0x6B01);
}

TEST(SwitchRecords, DeviceIdHasTheShapeOfTheStartOfDeviceData) {
  // The login handler passes the device record where a DEVICE_ID is expected.
  EXPECT_EQ(offsetof(DEVICE_DATA, vendorID), offsetof(DEVICE_ID, vendorID));
  EXPECT_EQ(offsetof(DEVICE_DATA, productID), offsetof(DEVICE_ID, productID));
  EXPECT_EQ(sizeof(DEVICE_DATA::infoBuffer), 12u);
}

// --- Feature-report switch (version 2) -----------------------------------------

TEST(DecodeFeatureReportBlock, EveryFieldFromOneBlock) {
  KVM_INFO info = infoOfVersion(2);
  // report 5: id, port 1, capabilities all, bindable all; report 4: id, buzzer
  // on + audio bound + hub 1 bound + auto-scan on, confirmed 1 / audio 2,
  // hub ports 1 and 0, 35 s, hot key 0x47, ports 0 and 1.
  Block block = {0x05, 0x01, 0x3F, 0x0E, 0x04, 0x1B, 0x21, 0x01, 35, 0x47, 0x03, 0x00};
  EXPECT_EQ(decode(&info, block), dumpLine(block));

  EXPECT_EQ(info.currentPort, 1);
  EXPECT_EQ(info.confirmedPort, 1);
  EXPECT_EQ(info.portCount, 2);
  EXPECT_TRUE(info.hasBuzzer);
  EXPECT_TRUE(info.hasAudio);
  EXPECT_TRUE(info.hasHub[0]);
  EXPECT_TRUE(info.hasHub[1]);
  EXPECT_TRUE(info.hasAutoScanPeriod);
  EXPECT_TRUE(info.hasUniversalHotKey);
  EXPECT_TRUE(info.audioBindable);
  EXPECT_TRUE(info.hubBindable[0]);
  EXPECT_TRUE(info.hubBindable[1]);
  EXPECT_TRUE(info.buzzerOn);
  EXPECT_FALSE(info.audioFixed);
  EXPECT_TRUE(info.hubFixed[0]);
  EXPECT_FALSE(info.hubFixed[1]);
  EXPECT_TRUE(info.autoScanOn);
  EXPECT_EQ(info.audioPort, 2);
  EXPECT_EQ(info.hubPort[0], 1);
  EXPECT_EQ(info.hubPort[1], 0);
  EXPECT_EQ(info.autoScanPeriod, 7);
  EXPECT_EQ(info.universalHotKey, 0x47u);
  EXPECT_EQ(info.availablePorts, 3);
}

TEST(DecodeFeatureReportBlock, EachCapabilityAndBindableBitStandsAlone) {
  for (int bitIndex = 0; bitIndex < 6; ++bitIndex) {
    KVM_INFO info = infoOfVersion(2);
    Block block = {};
    block[2] = static_cast<unsigned char>(1 << bitIndex);
    decode(&info, block);
    bool expected[6] = {};
    expected[bitIndex] = true;
    EXPECT_EQ(info.hasBuzzer, expected[0]) << bitIndex;
    EXPECT_EQ(info.hasAudio, expected[1]) << bitIndex;
    EXPECT_EQ(info.hasHub[0], expected[2]) << bitIndex;
    EXPECT_EQ(info.hasHub[1], expected[3]) << bitIndex;
    EXPECT_EQ(info.hasAutoScanPeriod, expected[4]) << bitIndex;
    EXPECT_EQ(info.hasUniversalHotKey, expected[5]) << bitIndex;
  }
  for (int bitIndex = 1; bitIndex < 4; ++bitIndex) {
    KVM_INFO info = infoOfVersion(2);
    Block block = {};
    block[3] = static_cast<unsigned char>(1 << bitIndex);
    decode(&info, block);
    EXPECT_EQ(info.audioBindable, bitIndex == 1);
    EXPECT_EQ(info.hubBindable[0], bitIndex == 2);
    EXPECT_EQ(info.hubBindable[1], bitIndex == 3);
  }
}

TEST(DecodeFeatureReportBlock, PortsFromTheirNibbles) {
  KVM_INFO info = infoOfVersion(2);
  Block block = {};
  block[1] = 0x01;
  block[6] = 0x01;
  EXPECT_EQ(decode(&info, block), dumpLine(block));
  EXPECT_EQ(info.currentPort, 1);
  EXPECT_EQ(info.confirmedPort, 1);
  EXPECT_EQ(info.audioPort, 0);

  block[6] = 0xF0;
  block[7] = 0x3C;
  decode(&info, block);
  EXPECT_EQ(info.audioPort, 15);
  EXPECT_EQ(info.hubPort[0], 12);
  EXPECT_EQ(info.hubPort[1], 3);
}

TEST(DecodeFeatureReportBlock, CurrentPortAboveTwoBecomesZeroSilentlyButConfirmedPortIsTakenAsIs) {
  KVM_INFO info = infoOfVersion(2);
  Block block = {};
  block[1] = 0x03;
  block[6] = 0x0F;
  EXPECT_EQ(decode(&info, block), dumpLine(block));
  EXPECT_EQ(info.currentPort, 0);
  EXPECT_EQ(info.confirmedPort, 15);

  block[1] = 0x02;
  decode(&info, block);
  EXPECT_EQ(info.currentPort, 2);
}

TEST(DecodeFeatureReportBlock, PeriodInSecondsBecomesUnitsOfFiveClampedToOneToTwenty) {
  const struct {
    unsigned char seconds;
    int period;
  } cases[] = {{0, 1}, {4, 1}, {5, 1}, {10, 2}, {37, 7}, {100, 20}, {105, 20}, {255, 20}};
  for (const auto& c : cases) {
    KVM_INFO info = infoOfVersion(2);
    Block block = {};
    block[8] = c.seconds;
    EXPECT_EQ(decode(&info, block), dumpLine(block));
    EXPECT_EQ(info.autoScanPeriod, c.period) << int(c.seconds);
  }
}

TEST(DecodeFeatureReportBlock, ClearBindingBitsMeanFixedPorts) {
  KVM_INFO info = infoOfVersion(2);
  info.buzzerOn = true;
  info.autoScanOn = true;
  Block block = {};
  block[5] = 0x00;
  decode(&info, block);
  EXPECT_TRUE(info.audioFixed);
  EXPECT_TRUE(info.hubFixed[0]);
  EXPECT_TRUE(info.hubFixed[1]);
  EXPECT_FALSE(info.buzzerOn);
  EXPECT_FALSE(info.autoScanOn);
}

TEST(DecodeFeatureReportBlock, BitsOutsideTheTableChangeNothing) {
  Block plain = {0x00, 0x01, 0x15, 0x02, 0x00, 0x0B, 0x21, 0x10, 20, 0x39, 0x02, 0x00};
  // Report-identifier bytes, high nibble of byte 1, bits 6-7 of byte 2, bits 0
  // and 4-7 of byte 3, bits 5-7 of byte 5, high nibble of byte 10, byte 11.
  Block noisy = {0xFF, 0xF1, 0xD5, 0xF3, 0xFF, 0xEB, 0x21, 0x10, 20, 0x39, 0xF2, 0xFF};
  KVM_INFO fromPlain = infoOfVersion(2);
  KVM_INFO fromNoisy = infoOfVersion(2);
  decode(&fromPlain, plain);
  decode(&fromNoisy, noisy);
  EXPECT_EQ(memcmp(&fromPlain, &fromNoisy, sizeof(KVM_INFO)), 0);
  EXPECT_EQ(fromNoisy.availablePorts, 2);
  EXPECT_EQ(fromNoisy.currentPort, 1);
}

// --- Serial-number switch (version 1) ------------------------------------------

TEST(DecodeSerialNumberBlock, EveryFieldFromTheLowBytesOfThreeCodeUnits) {
  KVM_INFO info = infoOfVersion(1);
  // port 1; buzzer present, two ports, auto-scan on, ports 0 and 1 available;
  // period 6, buzzer on, audio port 2, audio bound.
  Block block = {0x01, 0x00, 0x3B, 0x00, 0xD6, 0x00, 0x00, 0x00, 0xAA, 0xAA, 0xAA, 0xAA};
  EXPECT_EQ(decode(&info, block), dumpLine(block));

  EXPECT_EQ(info.currentPort, 1);
  EXPECT_EQ(info.confirmedPort, 1);
  EXPECT_EQ(info.portCount, 2);
  EXPECT_EQ(info.availablePorts, 3);
  EXPECT_TRUE(info.hasBuzzer);
  EXPECT_TRUE(info.hasAudio);
  EXPECT_TRUE(info.audioBindable);
  EXPECT_TRUE(info.hasAutoScanPeriod);
  EXPECT_FALSE(info.hasHub[0]);
  EXPECT_FALSE(info.hasHub[1]);
  EXPECT_FALSE(info.hasUniversalHotKey);
  EXPECT_TRUE(info.buzzerOn);
  EXPECT_FALSE(info.audioFixed);
  EXPECT_TRUE(info.autoScanOn);
  EXPECT_EQ(info.autoScanPeriod, 6);
  EXPECT_EQ(info.audioPort, 2);
}

TEST(DecodeSerialNumberBlock, ClearBitsMeanOffAndFixed) {
  KVM_INFO info = infoOfVersion(1);
  info.buzzerOn = info.autoScanOn = info.hasBuzzer = true;
  Block block = {0x00, 0x00, 0x02, 0x00, 0x03, 0x00};
  EXPECT_EQ(decode(&info, block), dumpLine(block));
  EXPECT_FALSE(info.hasBuzzer);
  EXPECT_FALSE(info.buzzerOn);
  EXPECT_FALSE(info.autoScanOn);
  EXPECT_TRUE(info.audioFixed);
  EXPECT_EQ(info.audioPort, 0);
  EXPECT_EQ(info.availablePorts, 0);
  EXPECT_EQ(info.autoScanPeriod, 3);
}

TEST(DecodeSerialNumberBlock, PortAboveTwoIsReportedAndBecomesZeroInBothPortFields) {
  KVM_INFO info = infoOfVersion(1);
  Block block = {0x07, 0x00, 0x02, 0x00, 0x02};
  EXPECT_EQ(decode(&info, block), dumpLine(block) + "KVMSetInfo: Invalid Current Port Number= 7\n");
  EXPECT_EQ(info.currentPort, 0);
  EXPECT_EQ(info.confirmedPort, 0);

  // Bits 3-7 are not part of the port.
  block[0] = 0xFA;
  EXPECT_EQ(decode(&info, block), dumpLine(block));
  EXPECT_EQ(info.currentPort, 2);
  EXPECT_EQ(info.confirmedPort, 2);
}

TEST(DecodeSerialNumberBlock, PortCountOtherThanTwoIsReportedButTwoIsKept) {
  const struct {
    unsigned char byte2;
    const char* message;
  } cases[] = {
      {0x04, "KVMSetInfo: Invalid Port Count= 4\n"},
      {0x00, "KVMSetInfo: Invalid Port Count= 0\n"},
      {0x06, "KVMSetInfo: Invalid Port Count= 6\n"},
      {0xF5, "KVMSetInfo: Invalid Port Count= 4\n"},
      {0x02, ""},
      {0x03, ""},
  };
  for (const auto& c : cases) {
    KVM_INFO info = infoOfVersion(1);
    Block block = {};
    block[2] = c.byte2;
    EXPECT_EQ(decode(&info, block), dumpLine(block) + c.message) << int(c.byte2);
    EXPECT_EQ(info.portCount, 2);
  }
}

TEST(DecodeSerialNumberBlock, BothMessagesFollowTheDumpLineInDecodeOrder) {
  KVM_INFO info = infoOfVersion(1);
  Block block = {0x03, 0x00, 0x00};
  EXPECT_EQ(decode(&info, block),
            dumpLine(block) + "KVMSetInfo: Invalid Current Port Number= 3\nKVMSetInfo: Invalid Port Count= 0\n");
}

TEST(DecodeSerialNumberBlock, PeriodInUnitsOfFiveClampedToTwoToTwelve) {
  const struct {
    unsigned char nibble;
    int period;
  } cases[] = {{0, 2}, {1, 2}, {2, 2}, {5, 5}, {12, 12}, {13, 12}, {15, 12}};
  for (const auto& c : cases) {
    KVM_INFO info = infoOfVersion(1);
    Block block = {0x00, 0x00, 0x02, 0x00, c.nibble};
    EXPECT_EQ(decode(&info, block), dumpLine(block));
    EXPECT_EQ(info.autoScanPeriod, c.period) << int(c.nibble);
  }
}

TEST(DecodeSerialNumberBlock, AfterAFeatureReportDecodeHubFieldsAndHotKeyAreKept) {
  KVM_INFO info = infoOfVersion(2);
  Block featureBlock = {0x05, 0x00, 0x3F, 0x0E, 0x04, 0x17, 0x00, 0x21, 20, 0x47, 0x03, 0x00};
  decode(&info, featureBlock);
  ASSERT_TRUE(info.hasHub[0]);
  ASSERT_TRUE(info.hasUniversalHotKey);

  info.version = 1;
  Block serialBlock = {0x01, 0x00, 0x32, 0x00, 0x84, 0x00};
  decode(&info, serialBlock);
  EXPECT_FALSE(info.hasHub[0]);
  EXPECT_FALSE(info.hasHub[1]);
  EXPECT_FALSE(info.hasUniversalHotKey);
  EXPECT_TRUE(info.hubBindable[0]);
  EXPECT_TRUE(info.hubBindable[1]);
  EXPECT_FALSE(info.hubFixed[0]);
  EXPECT_TRUE(info.hubFixed[1]);
  EXPECT_EQ(info.hubPort[0], 1);
  EXPECT_EQ(info.hubPort[1], 2);
  EXPECT_EQ(info.universalHotKey, 0x47u);
  EXPECT_EQ(info.autoScanPeriod, 4);
  EXPECT_EQ(info.currentPort, 1);
}

// --- No known switch and bad input ---------------------------------------------

TEST(DecodeUnknownVersion, PrintsTheDumpLineAndChangesNothing) {
  for (int version : {0, 3, -1}) {
    KVM_INFO info = infoOfVersion(version);
    info.currentPort = 1;
    info.confirmedPort = -1;
    info.autoScanPeriod = 9;
    KVM_INFO before;
    memcpy(&before, &info, sizeof info);
    Block block = {0x05, 0x02, 0x3F, 0x0E, 0x04, 0x1F, 0x12, 0x34, 0x64, 0x47, 0x03, 0xAB};
    EXPECT_EQ(decode(&info, block), dumpLine(block));
    EXPECT_EQ(memcmp(&info, &before, sizeof info), 0) << version;
  }
}

TEST(DecodeUnknownVersion, NullRecordOrBlockIsIgnoredQuietly) {
  KVM_INFO info = infoOfVersion(2);
  Block block = {};
  testsupport::StderrCapture capture;
  KVMSetInfo(nullptr, block);
  KVMSetInfo(&info, nullptr);
  EXPECT_EQ(capture.take(), "");
}
