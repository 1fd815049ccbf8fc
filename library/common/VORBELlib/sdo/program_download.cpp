// Program download: a new program image into a node that keeps its programs
// in the object dictionary (program data 0x1F50, program control 0x1F51,
// program software identification 0x1F56), each step an SDO transfer.
#include <cstdio>
#include <string>

#include "D_vorbel.h"
#include "line/line_log.h"

namespace vorbel {

namespace {

constexpr int kProgramData = 0x1F50;
constexpr int kProgramControl = 0x1F51;
constexpr int kProgramIdentification = 0x1F56;

constexpr unsigned char kStop = 0;
constexpr unsigned char kStart = 1;
constexpr unsigned char kClear = 3;

}  // namespace

int program_download(D_can& node, int program, const unsigned char* image, int len, uint32_t* identification,
                     const SdoBlockOptions& options, int* step) {
  if (step) *step = 0;
  if (identification) *identification = 0;
  if (!image || len < 1 || program < 1 || program > 127) return NTCAN_INVALID_PARAMETER;
  unsigned char id[4] = {};
  int id_len = 0;
  const struct {
    const char* what;
    std::function<int()> run;
  } steps[] = {
      {"stop the program (0x1F51 := 0)", [&] { return node.sdo_download(kProgramControl, program, &kStop, 1); }},
      {"clear the program (0x1F51 := 3)", [&] { return node.sdo_download(kProgramControl, program, &kClear, 1); }},
      {"program data (0x1F50) by block download",
       [&] { return node.sdo_block_download(kProgramData, program, image, len, options); }},
      {"start the program (0x1F51 := 1)", [&] { return node.sdo_download(kProgramControl, program, &kStart, 1); }},
      {"software identification (0x1F56)",
       [&] { return node.sdo_upload(kProgramIdentification, program, id, sizeof id, &id_len); }},
  };
  int number = 0;
  for (const auto& s : steps) {
    ++number;
    const int r = s.run();
    if (r == 0) continue;
    if (step) *step = number;
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(node.sdo_abort_code()));
    log("vorbel::program_download", "program " + std::to_string(program) + ", step " + std::to_string(number) +
                                        ", " + s.what + ": result " + std::to_string(r) + ", abort code " + code);
    return r;
  }
  if (identification)
    for (int i = 0; i < id_len; ++i) *identification |= static_cast<uint32_t>(id[i]) << (8 * i);
  return 0;
}

}  // namespace vorbel
