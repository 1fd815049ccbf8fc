// The valve terminal's entries by name, from the data sheet of its product.
#include <cstdio>

#include "server.h"
#include "vorbel_od.h"

namespace demo {

namespace {

// The entries the server shows of the valve terminal.
const char* const kShownEntries[] = {"Device type", "Identity.Vendor-ID", "Identity.Serial number",
                                     "COB-ID EMCY", "Valve count", "Supply pressure",
                                     "Output settings.Holding current"};
constexpr char kHoldingCurrent[] = "Output settings.Holding current";  // 30..100 %

// Identifiers and bit fields (the 32-bit entries but a serial number) in
// hexadecimal, other values as the library writes them.
std::string value_text(const vorbel::od::Entry* e, const vorbel::od::Value& v) {
  if (!e || e->data_type != static_cast<uint16_t>(vorbel::od::DataType::Unsigned32) ||
      e->name.find("Serial") != std::string::npos)
    return v.to_string();
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v.as_unsigned()));
  return text;
}

}  // namespace

void Server::read_data_sheet(Node& n) {
  const vorbel::od::LoadResult eds = vorbel::od::load_file(data_dir_ + "/" + n.eds);
  for (const vorbel::od::Diagnostic& w : eds.warnings) display_.event("od", name(n) + "  " + w.to_string());
  if (!eds.ok()) {
    display_.event("od", name(n) + "  load_file(" + n.eds + "): " +
                             (eds.errors.empty() ? std::string("not read") : eds.errors.front().to_string()) +
                             "; the node runs without its data sheet");
    return;
  }
  const vorbel::od::Dictionary& dict = *eds.dictionary;
  display_.event("od", name(n) + "  load_file(" + n.eds + "): " + dict.info("DeviceInfo", "ProductName") + ", " +
                           std::to_string(dict.objects().size()) + " objects, " +
                           std::to_string(dict.entry_count()) + " entries, " +
                           std::to_string(eds.warnings.size()) + " warnings");

  vorbel::od::NodeDictionary od(*n.can, eds.dictionary);
  std::string text = name(n) + "  read by name:";
  for (const char* entry : kShownEntries) {
    vorbel::od::Value v;
    const int ret = od.read(entry, &v);
    text += std::string("  ") + entry + " " + (ret == 0 ? value_text(dict.entry(entry), v) : "read()=" + sdo_result(*n.can, ret));
  }
  display_.event("od", text);

  // Writes are checked against the entry's limits before anything is sent.
  const int within = od.write(kHoldingCurrent, 45);
  const int above = od.write(kHoldingCurrent, 120);
  display_.event("od", name(n) + "  write(\"" + kHoldingCurrent + "\", 45)=" + result_text(within) + "  write(\"" +
                           kHoldingCurrent + "\", 120)=" + result_text(above) +
                           (above == NTCAN_INVALID_PARAMETER ? ": refused before anything was sent" : ""));
}

}  // namespace demo
