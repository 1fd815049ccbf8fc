// The smallest server with libVORBEL: an equipment function holding two
// CANopen nodes whose addresses are loaded from a configuration file, read
// and changed by a client, and saved again.
#include <cstdio>
#include <fstream>
#include <string>

#include "D_vorbel.h"

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "minimal_server.conf";
  {
    std::ifstream probe(path);
    if (!probe) {
      std::ofstream out(path);
      out << "eq_fct: CANDEMO\nMOTOR: \t1  5  0  0\nVALVE: \t2  7  0  0\n";
    }
  }

  EqFct eq("CANDEMO");
  D_can motor("MOTOR drive motor", &eq);
  D_can valve("VALVE cooling valve", &eq);

  std::string err;
  if (eq.load_config(path, &err) != 0) {
    std::fprintf(stderr, "configuration: %s\n", err.c_str());
    return 1;
  }
  for (D_can* n : {&motor, &valve}) {
    const IIII* a = n->value();
    std::printf("%-6s line %d, node id %d\n", n->basename().c_str(), a->i1_data, a->i2_data);
  }

  // A client moves the valve to node id 8.
  EqData in;
  in.set(IIII{2, 8, 0, 0});
  eq.client_set("VALVE", in, "operator", "console");
  std::printf("VALVE moved: %s\n", valve.has_changed() ? "yes, initialise it again" : "no");

  if (eq.save_config(path, &err) != 0) {
    std::fprintf(stderr, "configuration: %s\n", err.c_str());
    return 1;
  }
  std::printf("configuration saved to %s\n", path.c_str());
  return 0;
}
