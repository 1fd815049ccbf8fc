// SDO upload client: reading entries of a node's object dictionary,
// expedited or segmented.
#include "D_vorbel.h"

int D_can::can_SDO(u_short index, u_char subindex) {
  if (!pline_ || pline_->handle() <= 0 || canhandle_ < 0) return NTCAN_INVALID_HANDLE;
  // Initiate upload: command 0x40, the index low byte first, the subindex.
  unsigned char data[8] = {0x40, static_cast<unsigned char>(index & 0xFF), static_cast<unsigned char>(index >> 8),
                           subindex, 0, 0, 0, 0};
  return can_write(canIdent_.i2_data + 0x600, 8, data);
}
