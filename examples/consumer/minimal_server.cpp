// The smallest libVORBEL server: one equipment function with one CANopen
// node, put on its CAN line, its identity strings read by SDO upload.
//
// Here the node is a simulated CANopen device on the simulated driver;
// against the real driver the device lines go and the node on the bus
// answers instead.
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
  return manu == 0 && hw == 0 && sw == 0 ? 0 : 1;
}
