// The smallest libVORBEL server: one equipment function with one CANopen
// node, put on its CAN line, its identity strings and identity object read
// by SDO upload, its heartbeat switched on by SDO download.
//
// Here the node is a simulated CANopen device on the simulated driver;
// against the real driver the device lines go and the node on the bus
// answers instead.
#include <cstdint>
#include <cstdio>
#include <string>

#include "D_vorbel.h"
#include "canopen_device.h"

namespace {

// Result codes as text: can_error_str takes the status sign-extended.
std::string result(int ret) { return std::to_string(ret) + " " + can_error_str(static_cast<unsigned long>(static_cast<long>(ret))); }

std::string property(EqFct& eq, const std::string& name) {
  EqData out;
  eq.client_get(name, &out);
  return out.get_string();
}

}  // namespace

int main() {
  // Node 5 on net 0, which is CAN line 1.
  canopen_sim::Options identity;
  identity.device_name = "DC-200 drive controller";
  identity.hardware_version = "rev C";
  identity.software_version = "2.4.1";
  identity.vendor_id = 0x000000DC;
  identity.serial_number = 20417;
  canopen_sim::Device device(0, 5, identity);

  EqFct eq("CANDEMO");
  D_can motor("MOTOR drive motor", &eq);

  // A server takes the address from its configuration file, where the line
  // "MOTOR: \t1  5  0  0" means line 1, node id 5 (eq.load_config(path));
  // here it is set directly.
  IIII address{1, 5, 0, 0};
  motor.set_value(&address);

  // Master of line 1 / node 5, with the SDO responses (0x585), the
  // emergency (0x085) and the heartbeat / guarding answers (0x705) enabled.
  // 0 is success; -1 a line number outside 1..20 or a line that is down;
  // anything else the driver's status (NTCAN_NET_NOT_FOUND: no such net).
  int ret = motor.init(0x585);
  if (ret != 0) {
    std::fprintf(stderr, "init(0x585): %s\n", result(ret).c_str());
    return 1;
  }
  motor.init_emergency();
  motor.init(0x705);

  // The identity strings, uploaded from 0x1008, 0x1009 and 0x100A into
  // MOTOR.MANU, MOTOR.HWVER and MOTOR.SWVER. 0 is success; -1 a time-out,
  // an abort or a toggle error (the property then reads "error"); 77 a
  // handle that is not usable (the line is closed).
  const int manu = motor.get_manufacture();
  const int hw = motor.get_hwversion();
  const int sw = motor.get_swversion();
  std::printf("MOTOR.MANU  = %s (%s)\n", property(eq, "MOTOR.MANU").c_str(), result(manu).c_str());
  std::printf("MOTOR.HWVER = %s (%s)\n", property(eq, "MOTOR.HWVER").c_str(), result(hw).c_str());
  std::printf("MOTOR.SWVER = %s (%s)\n", property(eq, "MOTOR.SWVER").c_str(), result(sw).c_str());

  // The identity object 0x1018, four 32-bit numbers (little-endian) in
  // subindexes 1..4. sdo_upload reports how many bytes came; -1 with
  // sdo_abort_code() != 0 is an abort (0x06090011: no such subindex).
  const char* names[] = {"vendor id", "product code", "revision", "serial number"};
  bool identity_read = true;
  for (int sub = 1; sub <= 4; ++sub) {
    unsigned char bytes[4] = {};
    int len = 0;
    ret = motor.sdo_upload(0x1018, sub, bytes, sizeof bytes, &len);
    const uint32_t v = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    std::printf("0x1018/%d %-13s = 0x%08X (%s, %d bytes, abort code 0x%08X)\n", sub, names[sub - 1], v,
                result(ret).c_str(), len, motor.sdo_abort_code());
    identity_read = identity_read && ret == 0 && len == 4;
  }

  // Heartbeats every 500 ms: the producer time 0x1017, 16 bits, by download;
  // read back.
  const unsigned char period[2] = {500 & 0xFF, 500 >> 8};
  const int set = motor.sdo_download(0x1017, 0, period, sizeof period);
  unsigned char back[2] = {};
  int len = 0;
  const int get = motor.sdo_upload(0x1017, 0, back, sizeof back, &len);
  std::printf("heartbeat producer time 0x1017 = %d ms (download %s, upload %s)\n", back[0] | back[1] << 8,
              result(set).c_str(), result(get).c_str());
  return manu == 0 && hw == 0 && sw == 0 && identity_read && set == 0 && get == 0 ? 0 : 1;
}
