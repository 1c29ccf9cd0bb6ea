#include "switch/kvm_switch.h"

#include <cstdio>

KVM_SWITCH KVMSwitch;

// Matched in this order by the HID discovery.
DEVICE_LIST DeviceList[VendorCount] = {
    {0x10D5, 0x000D, 0x000D},
    {0x10D5, 0x5500, 0x55FF},
    {0x0CF6, 0x6B01, 0x6B01},
};

namespace {

bool printBlock = true;

constexpr bool bit(unsigned char byte, int n) { return ((byte >> n) & 1) != 0; }

// The serial-number switch: state in the low bytes of the first three code
// units of its serial-number string (block bytes 0, 2 and 4).
void decodeSerialNumberBlock(KVM_INFO* info, const unsigned char* block) {
  info->currentPort = block[0] & 0x07;
  if (info->currentPort > 2) {
    fprintf(stderr, "KVMSetInfo: Invalid Current Port Number= %d\n", info->currentPort);
    info->currentPort = 0;
  }
  info->confirmedPort = info->currentPort;

  const int portCount = block[2] & 0x06;
  if (portCount != 2) fprintf(stderr, "KVMSetInfo: Invalid Port Count= %d\n", portCount);
  // Only two-port switches are served, whatever the block says.
  info->portCount = 2;

  info->availablePorts = block[2] >> 4;
  info->hasBuzzer = bit(block[2], 0);

  // What this generation always has; its hub fields and hot key stay as they were.
  info->hasAudio = true;
  info->audioBindable = true;
  info->hasAutoScanPeriod = true;
  info->hasHub[0] = false;
  info->hasHub[1] = false;
  info->hasUniversalHotKey = false;

  info->buzzerOn = bit(block[4], 4);
  info->audioFixed = !bit(block[4], 7);
  info->autoScanOn = bit(block[2], 3);

  int period = block[4] & 0x0F;
  if (period > 12) period = 12;
  if (period < 2) period = 2;
  info->autoScanPeriod = period;

  info->audioPort = (block[4] >> 5) & 0x03;
}

// The feature-report switch: report 5 in bytes 0-3, report 4 in bytes 4-11.
void decodeFeatureReportBlock(KVM_INFO* info, const unsigned char* block) {
  info->currentPort = block[1] & 0x0F;
  info->confirmedPort = block[6] & 0x0F;
  if (info->currentPort > 2) info->currentPort = 0;
  info->portCount = 2;

  info->hasBuzzer = bit(block[2], 0);
  info->hasAudio = bit(block[2], 1);
  info->hasHub[0] = bit(block[2], 2);
  info->hasHub[1] = bit(block[2], 3);
  info->hasAutoScanPeriod = bit(block[2], 4);
  info->hasUniversalHotKey = bit(block[2], 5);

  info->audioBindable = bit(block[3], 1);
  info->hubBindable[0] = bit(block[3], 2);
  info->hubBindable[1] = bit(block[3], 3);

  // The switch reports what is bound; the record keeps what is fixed.
  info->buzzerOn = bit(block[5], 0);
  info->audioFixed = !bit(block[5], 1);
  info->hubFixed[0] = !bit(block[5], 2);
  info->hubFixed[1] = !bit(block[5], 3);
  info->autoScanOn = bit(block[5], 4);

  info->audioPort = block[6] >> 4;
  info->hubPort[0] = block[7] & 0x0F;
  info->hubPort[1] = block[7] >> 4;

  // The switch counts the period in seconds; the record in units of 5 seconds.
  int period = block[8] / 5;
  if (period == 0) period = 1;
  if (period > 20) period = 20;
  info->autoScanPeriod = period;

  info->universalHotKey = block[9];
  info->availablePorts = block[10] & 0x0F;
}

}  // namespace

void KVMSetInfo(KVM_INFO* info, unsigned char* block) {
  if (info == nullptr || block == nullptr) return;

  if (printBlock) {
    fprintf(stderr, "USB Buffer Info: %02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x\n", block[0],
            block[1], block[2], block[3], block[4], block[5], block[6], block[7], block[8], block[9], block[10],
            block[11]);
  }

  if (info->version == 1) {
    decodeSerialNumberBlock(info, block);
  } else if (info->version == 2) {
    decodeFeatureReportBlock(info, block);
  }
}

void KVMSetPrintBlock(bool print) { printBlock = print; }
