// The length of a CAN frame on the bus: its bits with the stuff bits of its
// own bit pattern, and the bit time of each NTCAN baud-rate code.
#include <array>

#include "ntcan_sim.h"

namespace ntcan_sim {

namespace {

// Bits from the start of frame to the end of the CRC, the part of a frame
// that is stuffed: at most 1 + 11 + 3 + 4 + 64 + 15.
class BitString {
 public:
  void put(uint32_t value, int width) {
    for (int k = width - 1; k >= 0; --k) bits_[size_++] = static_cast<uint8_t>((value >> k) & 1u);
  }
  // CAN's CRC-15 (x^15 + x^14 + x^10 + x^8 + x^7 + x^4 + x^3 + 1) over the
  // bits so far.
  uint32_t crc15() const {
    uint32_t crc = 0;
    for (int i = 0; i < size_; ++i) {
      const uint32_t next = bits_[i] ^ ((crc >> 14) & 1u);
      crc = (crc << 1) & 0x7FFFu;
      if (next) crc ^= 0x4599u;
    }
    return crc;
  }
  // After five equal bits the sender inserts one of the opposite value,
  // which counts towards the next run.
  int stuff_bits() const {
    int stuffed = 0;
    int run = 0;
    int last = -1;
    for (int i = 0; i < size_; ++i) {
      if (bits_[i] == last) {
        ++run;
      } else {
        run = 1;
        last = bits_[i];
      }
      if (run == 5) {
        ++stuffed;
        last = !last;
        run = 1;
      }
    }
    return stuffed;
  }
  int size() const { return size_; }

 private:
  std::array<uint8_t, 98> bits_{};
  int size_ = 0;
};

// CRC delimiter, acknowledge slot and delimiter, end of frame, intermission.
constexpr uint32_t kUnstuffedTail = 1 + 1 + 1 + 7 + 3;

}  // namespace

uint32_t frame_bits(const CMSG& msg) {
  const bool remote = (msg.len & NTCAN_RTR) != 0;
  const uint32_t dlc = msg.len & NTCAN_DLC_MASK;
  BitString b;
  b.put(0, 1);                                      // start of frame
  b.put(static_cast<uint32_t>(msg.id) & 0x7FFu, 11);
  b.put(remote ? 1 : 0, 1);                         // RTR
  b.put(0, 2);                                      // IDE, r0
  b.put(dlc, 4);
  if (!remote) {
    for (uint32_t k = 0; k < dlc && k < 8; ++k) b.put(msg.data[k], 8);
  }
  b.put(b.crc15(), 15);
  return static_cast<uint32_t>(b.size() + b.stuff_bits()) + kUnstuffedTail;
}

uint32_t bit_time_ns(uint32_t baud) {
  // NTCAN_BAUD_1000 (0) .. NTCAN_BAUD_800 (14).
  static constexpr std::array<uint32_t, 15> kBitNs = {1000,  1500,  2000,  3000,  4000,   6000,  8000,  10000,
                                                      15000, 20000, 30000, 50000, 80000, 100000, 1250};
  return baud < kBitNs.size() ? kBitNs[baud] : 0;
}

}  // namespace ntcan_sim
