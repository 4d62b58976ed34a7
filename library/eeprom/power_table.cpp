// The per-channel transmit-power table: 26 calibration bytes scattered over thirteen EEPROM
// words, gathered into and spread from the caller's fixed 74-byte PowerControlTable.
//
// PowerControlTable:  bytes 0..13   low 4-bit value of 2.4 GHz channel k+1
//                     bytes 14..59  8-bit entry of PowerChannelTable position i (byte 14+i)
//                     bytes 60..73  high 4-bit value of 2.4 GHz channel k+1
//                     bytes 74..    not part of the table: cleared on read, ignored on write
#include <array>

#include "library/eeprom/eeprom.h"

using namespace talven::wire;

namespace {

constexpr LONG kTableLength = TALVEN_POWER_TABLE_LENGTH;
constexpr size_t kLowNibbles = 0, kEntries = 14, kHighNibbles = 60;
constexpr size_t kChannels24 = 14;

// Channel numbers of the 46 entries: even channels 26 to 86, 100 to 140 in steps of 4, and
// 149, 153, 157, 161. Only the twelve of the 5 GHz list below have an EEPROM entry.
constexpr std::array<uint8_t, 46> make_power_channel_table() {
  std::array<uint8_t, 46> t{};
  size_t i = 0;
  for (int ch = 26; ch <= 86; ch += 2) t[i++] = uint8_t(ch);
  for (int ch = 100; ch <= 140; ch += 4) t[i++] = uint8_t(ch);
  for (int ch : {149, 153, 157, 161}) t[i++] = uint8_t(ch);
  return t;
}
constexpr std::array<uint8_t, 46> PowerChannelTable = make_power_channel_table();
static_assert(PowerChannelTable[5] == 36 && PowerChannelTable[30] == 86 &&
              PowerChannelTable[31] == 100 && PowerChannelTable[41] == 140 &&
              PowerChannelTable[45] == 161);

// The 5 GHz channels with an EEPROM entry, in the order of their bytes in the EEPROM.
constexpr uint8_t kChannels5[12] = {36, 40, 44, 48, 52, 56, 60, 64, 149, 153, 157, 161};

// EEPROM words, in access order, and the image bytes they carry (bits 0..7 to image byte 2j,
// bits 8..15 to image byte 2j+1).
//   2.4 GHz pass: word 44: ch 1, 2   46: ch 3, 4    48: ch 5, 6    122: ch 7, 8
//                 124: ch 9, 10      54: ch 11, 12  56: ch 13, 14
//   5 GHz pass:   word 32: ch 36, 40  34: 44, 48  36: 52, 56  38: 60, 64  40: 149, 153  42: 157,
//   161
constexpr ULONG kWords24[7] = {44, 46, 48, 122, 124, 54, 56};
constexpr ULONG kWords5[6] = {32, 34, 36, 38, 40, 42};
// In the variant placement the word at 54 is not used: channel 11's entry is the byte at 54
// and channel 12's the byte at 20, accessed in that order.
constexpr size_t kVariantWord = 5;  // index of word 54 in kWords24
constexpr ULONG kVariantByteCh11 = 54;
constexpr ULONG kVariantByteCh12 = 20;

using Image = std::array<uint8_t, 14>;

// The n of the 5 GHz list for a channel, or -1.
constexpr int index5(uint8_t channel) {
  for (int n = 0; n < 12; ++n)
    if (kChannels5[n] == channel) return n;
  return -1;
}

bool read_word(const Adapter* adapter, ULONG offset, Image& image, size_t j) {
  USHORT word = 0;
  if (talven::ReadEEprom2Byte(adapter, offset, &word) != 1) return false;
  image[2 * j] = uint8_t(word & 0xFF);
  image[2 * j + 1] = uint8_t(word >> 8);
  return true;
}

bool read_byte(Adapter* adapter, ULONG offset, uint8_t* byte) {
  UCHAR value = 0;
  if (ReadEEpromByte(adapter, offset, &value) != 1) return false;
  *byte = value;
  return true;
}

bool write_word(const Adapter* adapter, ULONG offset, const Image& image, size_t j) {
  return talven::WriteEEprom2Byte(adapter, offset, image[2 * j] | (ULONG(image[2 * j + 1]) << 8)) ==
         1;
}

}  // namespace

namespace talven {

// Asks the driver for its chip information; the variant is Param[2] of the answer.
ULONG QueryChipInfo(const Adapter* adapter, ULONG* variant) {
  OidRecord record(OID_CHIP_INFO, kChipInfoLength);
  if (!record) return 0;
  const ULONG result = OidRequest(adapter, false, record);
  *variant = record.param(kChipVariantParam);
  return result;
}

}  // namespace talven

extern "C" ULONG WINAPI ReadPowerControl(Adapter* adapter, PUCHAR table, LONG length) {
  if (talven::refuse_null(TEXT("ReadPowerControl"),
                          {{adapter, TEXT("Adapter")}, {table, TEXT("table")}}))
    return 0;
  ULONG variant = 0;
  if (talven::QueryChipInfo(adapter, &variant) == 0) return 0;
  if (length < kTableLength) return 0;
  for (LONG i = 0; i < length; ++i) table[i] = 0;
  ULONG result = 1;

  Image image{};
  for (size_t j = 0; j < 7; ++j) {
    bool ok;
    if (j == kVariantWord && variant == kVariantChip) {
      ok = read_byte(adapter, kVariantByteCh11, &image[2 * j]);  // 54 first, then 20
      ok = read_byte(adapter, kVariantByteCh12, &image[2 * j + 1]) && ok;
    } else
      ok = read_word(adapter, kWords24[j], image, j);
    if (!ok) result = 0;
  }
  for (size_t k = 0; k < kChannels24; ++k) {
    table[kLowNibbles + k] = image[k] & 0x0F;
    table[kHighNibbles + k] = image[k] >> 4;
  }

  // The 5 GHz pass starts from a clean image: an entry whose read fails reads 0, never the
  // 2.4 GHz byte that held its place in the first pass.
  image.fill(0);
  for (size_t j = 0; j < 6; ++j)
    if (!read_word(adapter, kWords5[j], image, j)) result = 0;
  for (size_t i = 0; i < PowerChannelTable.size(); ++i) {
    const int n = index5(PowerChannelTable[i]);
    table[kEntries + i] = n < 0 ? 0 : image[size_t(n)];
  }
  return result;
}

extern "C" ULONG WINAPI WritePowerControl(Adapter* adapter, const UCHAR* table, LONG length) {
  if (talven::refuse_null(TEXT("WritePowerControl"),
                          {{adapter, TEXT("Adapter")}, {table, TEXT("table")}}))
    return 0;
  ULONG variant = 0;
  if (talven::QueryChipInfo(adapter, &variant) == 0) return 0;
  if (length < kTableLength) return 0;
  ULONG result = 1;

  Image image{};
  for (size_t k = 0; k < kChannels24; ++k)
    image[k] = uint8_t((table[kLowNibbles + k] & 0x0F) | ((table[kHighNibbles + k] << 4) & 0xFF));
  for (size_t j = 0; j < 7; ++j) {
    bool ok;
    if (j == kVariantWord && variant == kVariantChip) {
      ok = WriteEEpromByte(adapter, kVariantByteCh11, image[2 * j]) == 1;  // 54 first, then 20
      ok = (WriteEEpromByte(adapter, kVariantByteCh12, image[2 * j + 1]) == 1) && ok;
    } else
      ok = write_word(adapter, kWords24[j], image, j);
    if (!ok) result = 0;
  }

  for (size_t i = 0; i < PowerChannelTable.size(); ++i) {
    const int n = index5(PowerChannelTable[i]);
    if (n >= 0) image[size_t(n)] = table[kEntries + i];
  }
  for (size_t j = 0; j < 6; ++j)
    if (!write_word(adapter, kWords5[j], image, j)) result = 0;
  return result;
}
