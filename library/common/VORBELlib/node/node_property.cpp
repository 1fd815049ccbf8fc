// Node property: construction of a D_can with its companion properties,
// destruction, and the companion classes' constructors.
#include "D_vorbel.h"
#include "node/baudrate.h"
#include "node/node_registry.h"
#include "services/supervision.h"

D_iiii* D_can::canIdent_debug_ = nullptr;
std::mutex D_can::mx_loop;

namespace {
// Companion texts: property name suffix, then a blank and the description.
const char kBaudrate[] = ".BAUDRATE default 6 == 125KB ";
const char kAlive[] = ".ALIVE ";
const char kCondition[] = ".CONDITION ";
const char kManu[] = ".MANU Manufacture device name";
const char kHwver[] = ".HWVER hardware version";
const char kSwver[] = ".SWVER software version";
const char kStart[] = ".START can node";
const char kStop[] = ".STOP can node";
const char kReset[] = ".RESET can node";
const char kActive[] = ".ACTIVE is the master";
const char kDebugId[] = ".DEBUG_ID to print this ID data";

template <class T>
void delete_companion(T*& p) {
  delete p;
  p = nullptr;
}
}  // namespace

D_can::D_can(const std::string& pn, EqFct* ef)
    : D_fct(pn, ef, 0),
      oldIdent_(),
      changed_(false),
      efp_(ef),
      canIdent_(),
      baudrate_(nullptr),
      canhandle_(-1),
      pline_(nullptr),
      rxmsg_(nullptr),
      can_ret_(nullptr),
      rxmsg_len_(nullptr),
      alive_ptr_(nullptr),
      manu_(nullptr),
      manu_str_(),
      hwver_(nullptr),
      hw_str_(),
      swver_(nullptr),
      sw_str_(),
      active_(nullptr),
      start_node_(nullptr),
      stop_node_(nullptr),
      reset_node_(nullptr),
      alive_(nullptr),
      modul_condition_(nullptr),
      ref_(0),
      epoch_(0),
      opening_(0),
      owns_handle_(false),
      on_line_(false),
      block_(nullptr),
      idents_(),
      auto_reattach_(false),
      own_alive_(0),
      own_dropped_(0),
      id_refusals_(0) {
  vorbel::note_base_class(*this);
  construct(pn);
}

void D_can::construct(const std::string& pn) {
  // The companions are named after the property name alone, without the
  // description that may follow the first blank.
  std::string base = pn;
  const auto blank = base.find(' ');
  if (blank != std::string::npos) base.resize(blank);

  canhandle_ = -1;
  rxmsg_ = nullptr;
  can_ret_ = nullptr;
  rxmsg_len_ = nullptr;
  alive_ptr_ = nullptr;

  baudrate_ = new vorbel::BaudrateProperty(base + kBaudrate, efp_);
  alive_ = new D_Alive(base + kAlive, alive_ptr_, this, efp_);
  modul_condition_ = new D_string(base + kCondition, efp_);
  manu_ = new D_string(base + kManu, manu_str_, sizeof manu_str_, efp_);
  hwver_ = new D_string(base + kHwver, hw_str_, sizeof hw_str_, efp_);
  swver_ = new D_string(base + kSwver, sw_str_, sizeof sw_str_, efp_);
  start_node_ = new D_canint(base + kStart, 0, this, efp_);
  stop_node_ = new D_canint(base + kStop, 1, this, efp_);
  reset_node_ = new D_canint(base + kReset, 2, this, efp_);
  active_ = new D_canactive(base + kActive, efp_);
  // A new node is not the master of its address until initialisation makes
  // it one.
  active_->set_value(0);

  // One debug selector for the whole process, named after the first node.
  if (!canIdent_debug_) canIdent_debug_ = new D_iiii(base + kDebugId, efp_);
}

D_can::~D_can() {
  detach_from_bus();
  delete_companion(active_);
  delete_companion(reset_node_);
  delete_companion(stop_node_);
  delete_companion(start_node_);
  delete_companion(swver_);
  delete_companion(hwver_);
  delete_companion(manu_);
  delete_companion(modul_condition_);
  delete_companion(alive_);
  delete_companion(baudrate_);
}

int D_can::data_type() const { return DATA_IIII; }

// ---------------------------------------------------------------------------
// Companion classes

D_canint::D_canint(const std::string& pn, int todo, D_can* can, EqFct* ef)
    : telvo::D_value<int>(pn, ef), todo_(todo), can_(can), eq_fct_(ef) {}

D_canint::~D_canint() = default;

D_canactive::D_canactive(const std::string& pn, EqFct* ef) : telvo::D_value<int>(pn, ef) {}

D_canactive::~D_canactive() = default;

D_Alive::D_Alive(const std::string& pn, int* p, D_can* can, EqFct* ef)
    : D_int_ptr(pn, p, ef),
      can_(can),
      eq_fct_(ef),
      own_(std::make_unique<vorbel::Supervision>()),
      entry_(own_.get()),
      shown_(nullptr),
      batch_fill_(0) {}

D_Alive::~D_Alive() = default;
