// libVORBEL: CANopen nodes on the CAN lines of esd CAN interfaces, for the
// device code of TELVO servers.
//
// A server's device code creates one D_can property per CANopen node in its
// equipment function. The property's value is the node's address (line,
// node id, two further receive identifiers); around it the node keeps ten
// companion properties (".BAUDRATE", ".ALIVE", ".CONDITION", ".MANU",
// ".HWVER", ".SWVER", ".START", ".STOP", ".RESET", ".ACTIVE").
//
// Result codes used throughout:
//   0     success
//   -1    the library's own failures (line number outside 1..20, line down
//         when a node joins it, SDO time-out/abort/toggle error, no receive
//         buffer)
//   77    the node's handle is not usable (NTCAN_INVALID_HANDLE); nothing
//         was sent or taken
//   32    can_poll: no matching reply within 50 attempts
//   100   can_emergency / check_alive: the frame looked for was found
//   other an NTCAN driver status, passed on unchanged
// Exceptions of the standard library (a failed mutex lock, a thread that
// cannot be started, exhausted memory) pass out unchanged.
//
// Log messages go to the framework log (telvo::printtostderr) with level
// 0x80000000.
#ifndef D_VORBEL_H
#define D_VORBEL_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "ntcan.h"
#include "telvo.h"

class D_can;

// ---------------------------------------------------------------------------
// canline: one CAN line (an NTCAN net) shared by every node on it.
//
// Line n is NTCAN net n - 1. A line object is created by the first node that
// names its line number, lives until the process ends and is watched by its
// own supervision thread, which closes it after two failed status queries in
// a row and reopens it with a growing pause. The fields that the supervision
// thread writes while nodes read them on other threads are atomic.
class canline {
 private:
  std::atomic<NTCAN_HANDLE> linehandle_;  // the line's own handle; -1 while closed
  int todo_;
  int line_;      // line number, counted from 1
  int baudrate_;  // NTCAN baud-rate code for every handle opened on the line
  std::atomic<bool> is_open_;
  std::atomic<bool> err_first_;  // the open failure of the current run is logged

 public:
  std::atomic<uint32_t> board_status;  // board status of the last good status query
  std::atomic<bool> deny_wget_reset_;  // gateway resets forbidden
  std::atomic<bool> reset_first_;      // the reset command of this outage is logged
  std::thread t1_;                     // the supervision thread (detached)
  std::string line_ip_;                // gateway address: 15 characters, or not usable
  std::atomic<bool> ThreadStop_;       // stop request for the supervision thread

  canline();
  ~canline();
  canline(const canline&) = delete;
  canline& operator=(const canline&) = delete;

  // Open a handle on the line into `handle`. With openalways false an open
  // line only confirms a handle the caller already holds (no driver call)
  // and a closed line refuses (-1). Returns 0, -1 or the NTCAN status of the
  // failed canOpen / canSetBaudrate.
  int can_open(NTCAN_HANDLE& handle, bool openalways);
  // Reopen the line's own handle (used by the supervision thread).
  int can_open();
  // Close the line's own handle. Returns 0 or the status of a failed close;
  // the line counts as closed either way.
  int can_close();

  int line() const { return line_; }
  bool is_open() const { return is_open_.load(); }
  NTCAN_HANDLE handle() const { return linehandle_.load(); }
  void setline(int l) { line_ = l; }
  void setbaud(int b) { baudrate_ = b; }
  void setlineip(std::string& ip) { line_ip_ = ip; }

  // Look up the gateway address of line `lineno` in the gateway file
  // ("/etc/esd-plugin"). Returns 0 when `ip` then holds a 15-character
  // address, -1 otherwise.
  int getlineip(int lineno, std::string& ip);
  // Ask the line's network gateway to reset itself (runs wget), unless
  // resets are forbidden or the line has no usable gateway address.
  void reset_line();
};

// Text of an NTCAN status, e.g. "NTCAN_NET_NOT_FOUND(0x00000013)". Callers
// pass a signed 32-bit status sign-extended to 64 bits.
std::string can_error_str(unsigned long ntstatus);

// ---------------------------------------------------------------------------
// Companion property classes of a node.

// Command property (".START", ".STOP", ".RESET"): any client write sends the
// NMT command of todo_ (0 start, 1 stop, 2 reset) to the node.
class D_canint : public telvo::D_value<int> {
 private:
  int todo_;
  D_can* can_;
  EqFct* eq_fct_;

 public:
  D_canint(const std::string& pn, int todo, D_can* can, EqFct* ef);
  ~D_canint() override;
  // The value is never restored from the configuration.
  void read() override;
  // Store the value and send the command; the command's status is dropped.
  void set_value(int i) override;
  using telvo::D_value<int>::set_value;
};

// Master flag (".ACTIVE"): non-zero when this node owns the receive buffer of
// its line and node id and is registered for polling.
class D_canactive : public telvo::D_value<int> {
 public:
  D_canactive(const std::string& pn, EqFct* ef);
  ~D_canactive() override;
  // The value is never restored from the configuration.
  void read() override;
};

// Alive value (".ALIVE"): the last NMT state byte received from the node;
// setting it also sets the node's ".CONDITION" text.
class D_Alive : public D_int_ptr {
 private:
  D_can* can_;
  EqFct* eq_fct_;

 public:
  D_Alive(const std::string& pn, int* p, D_can* can, EqFct* ef);
  ~D_Alive() override;
};

// ---------------------------------------------------------------------------
// D_can: one CANopen node on one CAN line.
//
// Address (the property's value, an IIII):
//   i1_data  CAN line number, 1..20 (line n is NTCAN net n - 1); 0: none
//   i2_data  CANopen node id
//   i3_data, i4_data  further receive identifiers
class D_can : public D_fct {
 private:
  IIII oldIdent_;               // the address before the last move
  std::atomic<bool> changed_;   // raised when a client moves the node

 protected:
  EqFct* efp_;
  IIII canIdent_;
  static D_iiii* canIdent_debug_;  // ".DEBUG_ID": the node whose frames are printed
  D_int* baudrate_;
  NTCAN_HANDLE canhandle_;
  canline* pline_;
  CMSG* rxmsg_;
  int* can_ret_;
  int32_t* rxmsg_len_;
  int* alive_ptr_;
  D_string* manu_;
  char manu_str_[64];
  D_string* hwver_;
  char hw_str_[64];
  D_string* swver_;
  char sw_str_[64];
  D_canactive* active_;
  D_canint* start_node_;
  D_canint* stop_node_;
  D_canint* reset_node_;
  // Serialises the polling of one node against changes of the node registry.
  static std::mutex mx_loop;

 public:
  D_Alive* alive_;
  D_string* modul_condition_;

 private:
  int ToggleBit;
  int Index;
  int Subindex;

 public:
  // pn: the property name, optionally a blank and a description.
  D_can(const std::string& pn, EqFct* ef);
  ~D_can() override;

  // The framework's client read: the address as an IIII record.
  void get(EqAdr* adr, EqData* in, EqData* out, EqFct* ef) override;
  // The framework's client write: passes the record to set_value.
  void set(EqAdr* adr, EqData* in, EqData* out, EqFct* ef) override;
  void conf(Config* c) override;
  // Load the address from the configuration, limits applied (line > 20 and
  // ids > 2000 read as 0).
  void read() override;
  // Save the address: " \t%d  %d  %d  %d\n".
  void write(std::ostream& ofile) override;
  // 14, the framework's type code of an IIII record.
  int data_type() const override;
  using D_fct::data_type;

  // Set the address; every call is logged with the old and new address and
  // the client. A new line or node id closes the node, removes it from the
  // polling registry and raises has_changed(); device code then initialises
  // it again.
  virtual void set_value(IIII* s);

  // The address as one element of a multi-element reply. A null addr throws
  // std::logic_error before anything is stored.
  void get_multi(EqAdr* adr, EqData* in, EqData* res, int* i, char* addr);
  using D_fct::get_multi;

  void construct(const std::string& pn);

  // Attach the node to the line of its address: find the line or create,
  // open and supervise it (the creating node's ".BAUDRATE" fixes the line's
  // baud rate, 0 meaning code 6), and give the node a handle on it: the
  // line's own for the node that created it, a new one for a later node
  // without handle. Returns 0, -1 when the line exists but is closed, or the
  // NTCAN status of the failed open.
  int can_open();
  // Give the node's handle up. A master closes a handle of its own (not the
  // line's); a node that is not the master only forgets its master's handle
  // and buffers. Returns 0 or the status of the failed close.
  int can_close();

  void handle(NTCAN_HANDLE h) { canhandle_ = h; }
  // The node's usable handle: canhandle_ while the node's line is open, -1
  // otherwise.
  NTCAN_HANDLE handle() const { return pline_ && pline_->handle() > 0 ? canhandle_ : -1; }
  bool isactive() { return active_->value() != 0; }
  // True once after a client moved the node to another line or node id;
  // reading clears it.
  bool has_changed() { return changed_.exchange(false); }
  IIII* value() { return &canIdent_; }
  // The address before the last move to another line or node id.
  IIII* oldAddr() { return &oldIdent_; }
  // Status of the node's last receive operation (0 before any).
  int can_return() { return can_ret_ ? *can_ret_ : 0; }

 private:
  // Take the node off its line and out of the polling registry (destruction,
  // move to another line or node id).
  void detach_from_bus();
};

#endif  // D_VORBEL_H
