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
//         when a node joins it, SDO time-out, abort or protocol error, no
//         receive buffer)
//   77    the node's handle is not usable (NTCAN_INVALID_HANDLE); nothing
//         was sent or taken
//   22    NTCAN_INVALID_PARAMETER: bad input, refused before anything was
//         sent: among others a CANopen service for a node id outside
//         1..127 (NMT: 0..127, 0 addressing every node of the line), logged
//         once per node, service and bad id
//   32    can_poll: no matching reply within 50 attempts
//   100   can_emergency / check_alive / supervise: the frame looked for was found
//   other an NTCAN driver status, passed on unchanged
// Exceptions of the standard library (a failed mutex lock, a thread that
// cannot be started, exhausted memory) pass out unchanged.
//
// Log messages go to the framework log (telvo::printtostderr) with level
// 0x80000000.
//
// Process data (PDO mappings, their configuration over SDO, decoding and
// sending, a SYNC producer): vorbel_pdo.h, included here.
//
// Threads. The server loop (can_looping), device code on any number of
// threads, the framework's client calls and one supervision thread per line
// run concurrently. Every operation of a node may be called while the loop
// runs and while supervision closes or reopens the node's line; closing,
// (re-)initialising, reattaching or moving a node (init forms, can_open,
// can_close, reattach, set_value, read, dellist, the destructor) may run on
// one thread while other threads use the same node: the operation that comes
// second sees the node as the first left it, and a handle is never passed to
// the driver after the library has closed it (an SDO transfer or a poll whose
// node is closed or moved meanwhile ends with 77 at its next step). A node
// must not be destroyed while another thread uses it. Device code that reads
// a node's address through value() while a client may move the node reads it
// under the equipment function's lock, as the framework's client calls run.
//
// Nothing waits for a call that blocks. No lock of the library is held while
// the driver waits (a read with its time-out, a line's open, which a remote
// driver makes with a connect and a handshake) or while a gateway reset runs:
// closing a node or a line marks its handles closed at once, and a handle in
// use by a call in progress is closed by that call when it comes back (what
// it got is dropped, the caller gets 77). The server loop takes one node's
// lock at a time, held only around that node's non-blocking take: it never
// waits for another node's read, an SDO transfer, a line being opened or
// closed, or a client's write.
//
// Lock order: the equipment function's lock (the framework's client calls),
// then D_can::mx_loop (the registry and the nodes' line and handle links,
// held for a few steps only), then one node's buffer lock, then a line's
// handle list, then the driver's calls that do not block. The library never
// takes the equipment function's lock while it holds one of its own, and
// calls no override of a device class with a lock of its own held.
//
// Overrides: can_looping fills a node itself while it holds that node's
// buffer lock when the node's class overrides neither can_fill nor can_get
// (and the debug print is off); otherwise it calls the node's can_fill (and
// can_print) with no lock held. An override of can_fill may call any
// operation of any node, including can_array, read, set_value, init,
// reattach, dellist and SDO transfers. dellist() and the destructor of a
// registered node wait until the loop has left that node's can_fill (unless
// they are called from it): do not call them while holding a lock that the
// node's can_fill override takes. Device code that takes mx_loop itself must
// not call the library while it holds it.
#ifndef D_VORBEL_H
#define D_VORBEL_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "D_vorbel_transfers.h"
#include "ntcan.h"
#include "telvo.h"
#include "vorbel_pdo.h"

class D_can;

namespace vorbel {
struct Emergency;  // vorbel_emergency.h
}  // namespace vorbel

// Internal to the library.
namespace vorbel {
class LoopLock;
class HandleUse;
class FrameTaker;
struct LineEvents;
struct LineHandles;
struct LineSync;
struct NodeBlock;
}  // namespace vorbel

// ---------------------------------------------------------------------------
// canline: one CAN line (an NTCAN net) shared by every node on it.
//
// Line n is NTCAN net n - 1. A line object is created by the first node that
// names its line number, lives until the process ends and is watched by its
// own supervision thread, which closes it after two failed status queries in
// a row and reopens it with a growing pause. The fields that the supervision
// thread writes while nodes read them on other threads are atomic.
//
// The line keeps every handle opened on it since it was last closed: its own
// and the nodes' own. Closing the line closes each of them once; a node's
// handle of an earlier opening is never passed to the driver again. No lock
// is held while the driver opens a handle, so a slow open (a remote driver's
// connect) holds up nobody else.
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
  std::atomic<bool> thread_ended_;     // the supervision thread has left (canline_shutdown)
  std::atomic<bool> reopening_;       // the supervision thread is in the driver's open
  std::atomic<uint64_t> generation_;  // opens and closes of the line's own handle

  canline();
  ~canline();
  canline(const canline&) = delete;
  canline& operator=(const canline&) = delete;

  // Open a handle on the line into `handle`. With openalways false an open
  // line only confirms a handle the caller already holds (no driver call)
  // and a closed line refuses (-1). Returns 0, -1 or the NTCAN status of the
  // failed canOpen / canSetBaudrate. A handle opened here is the line's to
  // close with the line.
  int can_open(NTCAN_HANDLE& handle, bool openalways);
  // Reopen the line's own handle (used by the supervision thread); 0 at once
  // when the line is open.
  int can_open();
  // Close the line: its own handle and every node handle opened on it since
  // it was opened. The line counts as closed at once (handle() -1, every
  // node handle stale), also while calls are in progress on its handles:
  // each such handle is closed by its call when it comes back. Returns 0 or
  // the status of the failed close of the line's own handle when it was
  // closed here (every failed close is logged).
  int can_close();

  int line() const { return line_; }
  bool is_open() const { return is_open_.load(); }
  // Opens and closes of the line's own handle so far: device code that
  // keeps the value it saw learns, by comparing, that the line closed or
  // opened again since.
  uint64_t generation() const { return generation_.load(); }
  NTCAN_HANDLE handle() const { return linehandle_.load(); }
  void setline(int l) { line_ = l; }
  void setbaud(int b) { baudrate_ = b; }
  void setlineip(std::string& ip) { line_ip_ = ip; }

  // Look up the gateway address of line `lineno` in the gateway file
  // ("/etc/esd-plugin"): the first entry "PeerName?<n>...\"ddd.ddd.ddd.ddd"
  // whose index n (the whole number from the line's tenth character on; 0
  // without a digit there) is lineno - 1. Returns 0 when `ip` then holds a
  // 15-character dotted address, -1 otherwise.
  int getlineip(int lineno, std::string& ip);
  // Ask the line's network gateway to reset itself, unless resets are
  // forbidden or the line has no usable gateway address: wget posts the
  // reset form to the address (without leading zeros), with the user name
  // and password in a startup file of mode 0600 (in $TMPDIR, else /tmp)
  // named by --config and removed after the run, never on its command line;
  // when that file cannot be written, wget is not run and the reason is
  // logged. wget runs without a shell, leaves the process's signal handling
  // alone, and is killed after 60 s of real time, or at once when
  // ThreadStop_ is set; the call blocks until then. The log shows the
  // command with the password as "***".
  void reset_line();

 private:
  // Open a handle (canOpen, 5 ms pause, canSetBaudrate) with no lock held
  // and keep it in the line's list, its opening in `ref`. On a closed line
  // it becomes the line's own handle if may_open_line, else it is closed
  // again and -1 returned; so it is when the line was closed meanwhile
  // (nothing of an earlier opening is kept), and 77 once the line is shut
  // down (also when the shutdown came during the open).
  int open_handle(NTCAN_HANDLE& handle, uint64_t& ref, bool may_open_line);
  // Close one node handle of the line if the line still lists it (*closed
  // tells). Returns the status of canClose, or 0 (also when a call in
  // progress closes it).
  int close_handle(uint64_t ref, bool* closed);
  // Close the line for good (canline_shutdown): no handle is opened after.
  void shut();

  // While the node that creates the line opens it (no lock held), other
  // nodes that find the line wait for the open to end (without mx_loop).
  class Creation {
   public:
    explicit Creation(canline& line) : line_(line) {}
    ~Creation();  // the open ended: clears creating_ and wakes the waiters
    Creation(const Creation&) = delete;
    Creation& operator=(const Creation&) = delete;

   private:
    canline& line_;
  };
  // Under mx_loop (lk): true when the line was being created; mx_loop was
  // then released until the open ended, and the caller looks again.
  bool wait_created(vorbel::LoopLock& lk);

  std::atomic<bool> creating_;   // the creating node's open is in progress
  std::unique_ptr<vorbel::LineHandles> handles_;
  std::unique_ptr<vorbel::LineSync> sync_;
  friend class D_can;
  friend struct vorbel::LineEvents;
  friend class vorbel::HandleUse;
  friend void canline_shutdown();
};

// Fill the receive buffer of every registered master node from its handle
// (one non-blocking take per node). Called by the server loop; always 0.
int can_looping();

// Stop the library: every line's supervision thread is asked to stop and
// leaves within half a second of framework time (also from a long pause or a
// gateway reset), then every line is closed with all its handles. Waits on
// the framework clock (TELVOsleep) until the threads have left, or are in a
// driver open that the driver cannot cut short (a remote driver's connect):
// it does not wait for those, nor for reads in progress. After it returns
// the library runs no gateway reset, logs nothing of its own and makes no
// driver call, but for the calls in progress when it returned: a read
// comes back and closes its handle, an open that finishes closes its new
// handle at once; node operations return 77 (can_array -1), no line is
// created or opened again. Calling it again does nothing.
void canline_shutdown();

// ---------------------------------------------------------------------------
// Line events.
//
// Supervision timings (framework time): a line's supervision thread starts
// checking it 60 s after the line was created, then queries its status once
// a second; the second failed query in a row closes the line (with every
// handle on it), and 15 s later the first reopen is tried, then again with
// a pause that grows by a second per attempt up to 60 s. After more than
// five reopens that failed with NTCAN_SOCK_CONN_TIMEOUT (and a usable
// gateway address) the gateway reset runs, followed by a 20 s pause; at most
// five resets until the line is healthy again or closed anew.

// Be told when line `line` (1..20) closes (open false) or reopens (true):
// `notice` is called on the line's supervision thread, with no lock of the
// library held, after the close and after a reopen (and after the nodes
// that asked for it were reattached, see D_can::auto_reattach); not for the
// line's first open, nor after canline_shutdown(). It may call any
// operation of the library; it must not throw (what it throws is caught
// and logged). It may be registered before the line exists. Returns the
// registration's id (above 0), or 22 for a line outside 1..20 or an empty
// notice.
int canline_on_change(int line, std::function<void(int line, bool open)> notice);
// Withdraw a notice; a call of it in progress may still end. Unknown ids do
// nothing.
void canline_remove_notice(int id);
// The generation of line `line` (see canline::generation); 0 before the
// line exists.
uint64_t canline_generation(int line);

// A SYNC producer for line `line` (see vorbel_pdo.h): SYNC frames every
// settings.period_us of framework time, on a thread of the library's own,
// sent on the line's own handle. It pauses while the line is closed (it
// starts anew, counter from 1, when the line reopens) and ends with
// canline_shutdown(). Starting it again replaces the settings. Returns 0;
// 22 for settings outside their ranges; -1 when the line does not exist
// (no node was put on it) or is shut down.
int canline_sync_start(int line, const vorbel::SyncSettings& settings);
// Stop the line's SYNC producer; 0, or -1 when the line has none.
int canline_sync_stop(int line);
// The statistics of the line's SYNC producer (of its current run); zero
// when it has none.
vorbel::SyncStats canline_sync_stats(int line);

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
  // Clients cannot set the flag: it is kept by node initialisation, and a
  // follower turned master would close its master's handle. The refusal is
  // logged and fails the client's call (d_error, NTCAN_INVALID_PARAMETER).
  void set(EqAdr* adr, EqData* in, EqData* out, EqFct* ef) override;
};

// Alive value (".ALIVE"): the last NMT state byte received from the node;
// setting it also sets the node's ".CONDITION" text.
//
// Supervision (opt-in): with a consumer time-out set, supervise() in place of
// check_alive keeps a heartbeat consumer for the node: when no state frame
// (heartbeat or guarding answer) came within the time-out, the node is lost
// and ".CONDITION" reads "No heartbeat"; a boot-up frame raises booted().
// Without a time-out and without supervise(), can_read, check_alive, isalive
// and set_value behave as they always did.
//
// A master and its followers share one supervision entry (time-out, last
// heard, booted flag, toggle check), as they share the alive value; each
// keeps its own ".CONDITION", which its own supervise() sets. A node that
// takes a buffer of its own (it becomes a master, also after its master went)
// keeps the time-out and toggle check it saw, its wait starting anew.
//
// Threads: supervise runs on the caller's thread (normally the server loop's)
// without locks or allocation; lost, last_heard_ms, booted and isalive may
// be called on any thread at the same time.
namespace vorbel {
struct Supervision;
}
class D_Alive : public D_int_ptr {
 private:
  D_can* can_;
  EqFct* eq_fct_;

 public:
  D_Alive(const std::string& pn, int* p, D_can* can, EqFct* ef);
  ~D_Alive() override;

  // Store a state and set the node's ".CONDITION" text by its low four
  // bits: 2 "Error", 4 "Stopped", 5 "Operational", 15 "Preoperational",
  // anything else "default Error".
  void set_value(int s) override;
  using D_int_ptr::set_value;

  // Look in a batch of *l frames for the first one-byte frame on
  // 0x700 + ident (heartbeat or node-guarding answer) and store its state
  // byte, without touching the condition text. 100 when that state is
  // operational (bit 7, the guarding toggle, ignored), else 0;
  // NTCAN_INVALID_PARAMETER for an ident outside 1..127.
  int can_read(int ident, CMSG* rxmsg, int* l);
  // can_read, and when the node is operational also the condition text.
  // 100 when operational, else 0 (or can_read's refusal).
  int check_alive(int ident, CMSG* rxmsg, int* l);
  // Whether the stored state is operational (low four bits 5) and the node
  // is not lost.
  bool isalive();

  // --- Supervision.

  // Heartbeat-consumer time-out in ms of framework time; 0 (the default)
  // switches supervision off, a negative value too (logged). The wait of a
  // node not heard yet starts now.
  void consumer_timeout_ms(int ms);
  // Read a batch of *l frames for state frames on 0x700 + ident (one data
  // byte, as can_read recognises them) and watch the time-out; call it every
  // turn of the server loop, with an empty batch (*l 0) while the node has
  // none. Each state frame of the batch counts, in order: the last one is
  // stored as ".ALIVE" and its last-heard time taken; a boot-up (state 0)
  // raises booted(). ".CONDITION" then names the state: "Boot-up" for 0, the
  // texts of set_value for the others; when the node is lost it reads
  // "No heartbeat" (".ALIVE" keeps the last state received). The text is
  // written when it changes. Returns 100 when the last state received in the
  // batch is operational, 0 otherwise; NTCAN_INVALID_PARAMETER for an ident
  // outside 1..127 (logged once per node and id), nothing stored. A batch
  // that can_array copied for a follower from the same fill as its master's
  // (or the reverse) is taken once: the second supervise sets its node's
  // text and returns the same result, nothing more.
  int supervise(int ident, CMSG* rxmsg, int* l);
  // Whether the node is lost now: a time-out is set and no state frame came
  // within it, counted from the last state frame (before the first one,
  // from when the time-out was set). Evaluated on each call against the
  // framework clock, so exact to the ms between supervise() calls too
  // (lost at exactly the time-out, not 1 ms before); the next supervise()
  // sets ".CONDITION". The next state frame supervise() takes finds the
  // node again.
  bool lost();
  // Framework time in ms of the last state frame supervise() took; -1
  // before any.
  long long last_heard_ms();
  // True once after supervise() took a boot-up frame (the node restarted
  // and is pre-operational: device code starts it again); reading clears
  // it. Shared with the followers: read it in one node's device code.
  bool booted();
  // Node guarding: with the check on, a guarding answer whose toggle bit
  // (bit 7) did not alternate from the answer before counts as not received,
  // so a node stuck repeating one answer is lost after the time-out. The
  // boot-up frame starts the alternation anew. Only for nodes that answer
  // guarding requests: heartbeats never toggle.
  void guarding_toggle_check(bool on);

 private:
  friend class D_can;  // binds the entry with the alive cell
  vorbel::Supervision& entry() { return *entry_.load(std::memory_order_acquire); }
  // Under D_can::mx_loop: share `shared` (a master's, or a follower's
  // master's); a fresh one carries this node's configuration; null: the
  // node's own entry, holding what the node saw last.
  void share(vorbel::Supervision* shared, bool fresh);
  void show(const char* text);

  std::unique_ptr<vorbel::Supervision> own_;
  std::atomic<vorbel::Supervision*> entry_;
  std::atomic<const char*> shown_;      // the ".CONDITION" text this property wrote last
  std::atomic<uint32_t> batch_fill_;    // the fill the node's last can_array copied; 0: none
};

// ---------------------------------------------------------------------------
// D_can: one CANopen node on one CAN line.
//
// Device classes may derive from D_can and override its virtual operations;
// the library calls can_fill, can_get, can_write and set_value through the
// virtual table. The destructor takes the node out of the polling registry,
// but only after a derived class's destructor has run, while the server
// loop may still call the node's virtual operations: a derived class calls
// dellist() first thing in its own destructor.
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
  // Guards the node registry and every node's line, handle and buffer
  // links; held for a few steps only, never across a call that blocks or
  // an override. The server loop does not take it: it takes one node's
  // buffer lock at a time (see the lock order above).
  static std::mutex mx_loop;
  friend int can_looping();
  friend class vorbel::LoopLock;
  friend class vorbel::HandleUse;
  friend class vorbel::FrameTaker;
  friend struct vorbel::LineEvents;
  friend class D_Alive;  // checks node ids through check_node_id

 public:
  D_Alive* alive_;
  D_string* modul_condition_;

 private:
  // The node's hold on its line, written under mx_loop: the opening of the
  // handle it uses (canhandle_; read without lock by its driver calls),
  // a count of the changes of its handle (so that an open made with the
  // lock released sees whether the node changed meanwhile), whether it
  // opened that handle itself (and closes it), whether it wants a handle
  // (put on its line and not closed since), the block it shares as master
  // or follower, and the identifiers it enabled.
  std::atomic<uint64_t> ref_;
  uint32_t epoch_;
  int opening_;  // threads in an open of this node's handle (lock released)
  bool owns_handle_;
  bool on_line_;
  std::atomic<vorbel::NodeBlock*> block_;
  std::vector<int32_t> idents_;
  bool auto_reattach_;
  int own_alive_;  // the alive value of a node without block
  std::atomic<uint64_t> own_dropped_;  // frames a transfer took for a node without block

 public:
  // pn: the property name, optionally a blank and a description.
  D_can(const std::string& pn, EqFct* ef);
  ~D_can() override;

  // The framework's client read: the address as an IIII record.
  void get(EqAdr* adr, EqData* in, EqData* out, EqFct* ef) override;
  // The framework's client write: passes the record to set_value. A record
  // outside the limits (line 0..20; node id and identifiers 0..2000), or
  // data that are not an IIII record, are refused: nothing changes, the
  // refusal is logged with the client and raised as the property's error
  // (d_error, NTCAN_INVALID_PARAMETER), which fails the client's call.
  void set(EqAdr* adr, EqData* in, EqData* out, EqFct* ef) override;
  void conf(Config* c) override;
  // Load the address from the configuration, limits applied (line > 20 and
  // ids > 2000 read as 0). Each limit applied, a negative value and a node
  // id that no CANopen service takes are logged under "D_can::read".
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

  // --- Frame I/O (all return 0, 77 while the handle is not usable, or the
  // driver's status; NTCAN_INVALID_PARAMETER for null pointers and data
  // lengths outside 0..8, with nothing sent).

  // Blocking read of up to *length frames (waits at most the handle's
  // receive time-out, 1 s). *length becomes the number read, -1 when the
  // handle is not usable. Records the status in the node's status word.
  virtual int can_read(CMSG* rxmsg, int* length);
  // Non-blocking take of up to *length frames; otherwise as can_read.
  virtual int can_get(CMSG* rxmsg, int* length);
  // Send one request frame and wait for the reply whose data bytes 1..3
  // (the SDO multiplexer) equal the request's: 50 attempts, each after a
  // 5 ms sleep, taking up to 10 frames. On a match the reply replaces
  // *ident, *length and Data and 0 is returned; otherwise 32 (the request
  // stays in the caller's variables). The frames it takes that are not the
  // reply are kept for the node's next fills, in order (see can_fill).
  virtual int can_poll(int* ident, int* length, unsigned char* Data);
  // Send one frame of `length` (0..8) bytes on identifier `ident`.
  virtual int can_write(int ident, int length, unsigned char* Data);
  // Take the waiting frames (up to 100) into the receive buffer; -1 for a
  // node without receive buffer. Called by can_looping. Frames that an SDO
  // transfer or can_poll of the node (or of a follower) took and did not use
  // come first, in the order they arrived; while a transfer or poll is
  // taking the node's frames the fill takes only those, so that nothing is
  // taken out of order. Up to 256 such frames wait for the fills; what does
  // not fit is counted by frames_dropped().
  virtual int can_fill();
  // Copy the frames of the last fill into rxmsg (room for 100 frames) and
  // their count into *length; returns the node's status word, -1 when the
  // handle is not usable, the node has no receive buffer or it follows a
  // master that was destroyed or moved. Synchronised with can_looping, so
  // it may run on another thread.
  virtual int can_array(CMSG* rxmsg, int* length);
  // Send the initiate-upload request for (index, subindex) to 0x600 + node
  // id and return at once; the answer arrives with the node's frames.
  virtual int can_SDO(u_short index, u_char subindex);

  // Remote transmission requests: on *ident with length byte 0x10, or with
  // (l | 0x10); rtr() is the node-guarding request on 0x700 + node id
  // (node id 1..127).
  int rtr(int* ident);
  int rtr(int* ident, int l);
  int rtr();
  // Log the frames of the last fill ("ID: 185, Len: 2, Data: 01 0A") when
  // ".DEBUG_ID" names this node's line, node id and third address value.
  void can_print();

  // --- Initialisation (0, -1 for a line outside 1..20, or the failing
  // step's status).

  // Put the node on its line and enable the address's identifiers
  // i2_data, i3_data, i4_data (each when > 0); not registered for polling.
  int init();
  // Register the node for polling as the master of its line and node id
  // (receive buffer, ".ACTIVE" 1, ".ALIVE" 15) or, when another node is
  // master there, make it a follower sharing the master's buffers and
  // handle (".ACTIVE" 0); then enable `ident` (when > 0). A master may call
  // it again to enable further identifiers. When a master is destroyed or
  // moved, its followers' handle is unusable (can_array -1) until they are
  // initialised again: the first becomes the master, the others follow it.
  int init(int ident);
  // flag 1: like init() but enabling only `ident`; any other flag: init(ident),
  // returning 0 whatever it returned.
  int init(int ident, int flag);
  // Enable / disable an identifier on the node's handle. Enabling an
  // enabled identifier is success; only a master disables (0 otherwise).
  // 77 without a driver call while the handle is not usable; an identifier
  // the node enables (or cannot for that reason) is enabled again by
  // reattach(), until it is disabled.
  int AddIdent(int ident);
  int DelIdent(int ident);
  // Take a master's own entry out of the polling registry (never another
  // node's of the same line and node id); always 0. Returns once the server
  // loop is no longer in this node's can_fill (at once when called from it).
  int dellist();
  // Frames the library took for this node (or its master) and could not
  // keep: beyond the 256 kept aside for the fills while SDO transfers or
  // polls took the node's frames, or taken by a transfer of a node without
  // receive buffer (an unregistered node), for which nothing is filled.
  uint64_t frames_dropped() const;

  // --- Line outages. When supervision closes a line it closes every handle
  // opened on it; the nodes' handles are then stale: handle() is -1 and
  // every operation returns 77 without a driver call, also after the line
  // has reopened, until the node is reattached or initialised again.
  //
  // Opt-in: after its line reopens, the node is reattached by the line's
  // supervision thread (as reattach() does), before the line's notices are
  // called, so that it carries frames again without a call from device
  // code. A follower takes its master's handle anew (its master reattached
  // first). Off by default.
  void auto_reattach(bool on);

  // True when the node was put on its line (an init form or can_open) and
  // not closed or moved since, but its handle is not usable: its line
  // closed it, its master's handle went, or its master was destroyed or
  // moved, or the node has had no handle since its line was down.
  bool handle_stale() const;
  // Bring a stale node back: a new handle of its own on its (open) line,
  // every identifier the node had enabled enabled on it again, the same
  // role. A follower takes its master's handle, reattaching the master
  // first when that is stale too; a follower whose master was destroyed or
  // moved is registered again as init(int) would. Returns 0 (also when
  // there was nothing to do); -1 while the line is still closed (no driver
  // call) or for a node that is not on its line; 77 after
  // canline_shutdown(); otherwise the status of the failed open or
  // canIdAdd.
  int reattach();

  // --- NMT commands (0, 77 while the handle is not usable, 22 for a node
  // id outside 0..127, or the status of the send): start (0x01), stop
  // (0x02), reset (0x81), enter pre-operational (0x80), reset communication
  // (0x82) for the node id; node id 0 addresses every node.
  int start_node();
  int stop_node();
  int reset_node();
  int preop_node();
  int reset_comm_node();
  // Start the node.
  int modinit();

  // --- Emergency messages.
  // Enable 0x80 + node id through init(int); 22 for a node id outside 1..127.
  int init_emergency();
  // Log the data bytes of the first frame on 0x80 + ident in a batch of *l
  // frames ("0x10 0x82 0x1 ..."); 100 when one was found, else 0; 22 for an
  // ident outside 1..127.
  int can_emergency(int ident, CMSG* rxmsg, int* l);

  // Emergency consumer (opt-in). With a queue, every emergency frame of the
  // node (0x80 + node id) that a fill of its receive buffer takes is decoded
  // (vorbel_emergency.h) and queued, all of a batch in order, with the
  // framework time of that fill: also those an SDO transfer or poll took
  // first, and those taken by a follower's fill (master and followers share
  // the queue, as they share the buffer). Device code takes them on any
  // thread. can_emergency is unchanged. The queue lives with the node's
  // receive buffer: a node that leaves its address (a move, can_close of a
  // follower) leaves it behind.
  //
  // A queue of `capacity` emergencies (full: the newest are dropped and
  // counted) replaces the node's one, or capacity 0 removes it. Returns 0;
  // -1 for a node without receive buffer (not initialised with init(int));
  // 22 for a capacity below 0 or a node id outside 1..127.
  int emergency_queue(int capacity = 16);
  // Move the oldest queued emergency into *e; false when there is none (or
  // no queue, or e is null).
  bool take_emergency(vorbel::Emergency* e);
  // Emergencies the node's queue had no room for; 0 without a queue.
  uint64_t emergencies_dropped() const;

  // --- Process data (opt-in; see vorbel_pdo.h).
  // Bind a transmit PDO of the node, sent on CAN identifier `can_id`, to its
  // mapping: the identifier is enabled on the node's handle (as AddIdent
  // does, and reattach() does again), and every fill of the node's receive
  // buffer decodes the PDO's frames into the receiver's latest values,
  // counting those of another length. The frames stay in the batch that
  // can_array copies. Binding an identifier again replaces its receiver.
  // Bindings live with the receive buffer, shared with the followers.
  // Returns 0; -1 for a node without receive buffer; 22 for an identifier
  // outside 1..0x7FF or a mapping without entries; else the status of
  // enabling the identifier (the binding stands).
  int bind_tpdo(int32_t can_id, const vorbel::PdoMapping& mapping);
  // Take the binding of `can_id` off (its identifier stays enabled): 0, or
  // -1 when none was bound.
  int unbind_tpdo(int32_t can_id);
  // The receiver bound to `can_id`, whose latest values any thread may read
  // at any time; null when none is bound.
  std::shared_ptr<const vorbel::PdoReceiver> tpdo(int32_t can_id) const;

  // --- SDO client (the node's SDO response identifier 0x580 + node id must
  // be enabled, e.g. by init(0x580 + node id)).
  //
  // Every transfer runs on the caller's thread. Only answers from
  // 0x580 + node id count, for the data bytes they carry; the other frames
  // of the node's handle that the transfer takes (heartbeats, emergencies,
  // process data, answers it does not expect) are kept for the node's next
  // fills, in order, so that the server loop sees every frame it would have
  // seen with no transfer running (see can_fill and frames_dropped). Each
  // wait for an answer lasts at most the node's SDO time-out
  // (sdo_timeout_ms).
  // When the client gives up a transfer it sends the node the abort request
  // (0x05040000 time-out, 0x05030000 toggle bit not alternated, 0x05040001
  // an answer the step does not expect, 0x05040005 a value too long for the
  // buffer, 0x06070010 more bytes than the node indicated), so that the node
  // does not stay in the transfer.
  //
  // One transfer per node (line and node id) at a time: a transfer of a
  // node, also through another D_can of the same line and node id, waits
  // until the one in progress has ended; they never interleave. Where that
  // wait could not end, a transfer of a node whose transfer is in progress
  // is refused with -1 instead: on the thread that runs it (an override of
  // can_read or can_get starting one).
  //
  // Waits do not spin: while nothing arrives the thread blocks in the
  // driver's read (can_read) as long as at least the handle's receive
  // time-out (1 s) of the wait is left, else it sleeps on the framework
  // clock in steps of an eighth of the time waited, at most 10 ms; an
  // answer that is waiting is taken at once (can_get). Frames are taken
  // through can_get and can_read, so a device class's overrides apply.
  //
  // Results: 0; -1 for a time-out, an abort (by the node or the client) or a
  // protocol error (a value longer than the buffer, a segmented value of
  // another size than indicated), sdo_abort_code() telling which abort;
  // 77 when the node's handle is not usable (also when its line closes or
  // the node is closed or moved during the transfer: nothing more is
  // sent); NTCAN_INVALID_PARAMETER (22) for bad arguments or a node id
  // outside 1..127; else the driver's status.

  // Upload entry (index 0..0xFFFF, subindex 0..0xFF) into buffer[0..size),
  // expedited or segmented. *len is the number of bytes stored: on success
  // the whole value. A value longer than `size` fails (-1) with its first
  // `size` bytes stored and nothing written past them; a segmented value
  // whose size was indicated must come with exactly that many bytes. No NUL
  // is added.
  int sdo_upload(int index, int subindex, unsigned char* buffer, int size, int* len);
  // Download len bytes (1 or more) to the entry: expedited up to 4 bytes
  // (size indicated), segmented above (size indicated, 7 bytes per segment,
  // the toggle bit of every answer checked).
  int sdo_download(int index, int subindex, const unsigned char* data, int len);
  // Block upload and block download (see D_vorbel_transfers.h), with the
  // results above; an upload's buffer, *len and size rules are
  // sdo_upload's. The node's block size is honoured; a block size outside
  // 1..127 ends the transfer with 0x05040002, a sequence number outside the
  // block with 0x05040003 and a CRC mismatch with 0x05040004. A node that
  // answers the block request with abort 0x05040001 (command not
  // supported) gets the transfer again at once, once, as an expedited or
  // segmented one (with the same progress reports and cancel token). A
  // cancelled transfer sends the abort 0x08000021 and returns -1. Eight
  // blocks in a row without a segment across end the transfer with
  // 0x05040000, as a time-out: the node answers but makes no progress. A full
  // transmit queue (NTCAN_TX_ERROR) while a block goes out is waited out
  // in pauses of 100 us, at most the SDO time-out.
  int sdo_block_upload(int index, int subindex, unsigned char* buffer, int size, int* len,
                       const vorbel::SdoBlockOptions& options = {});
  int sdo_block_download(int index, int subindex, const unsigned char* data, int len,
                         const vorbel::SdoBlockOptions& options = {});
  // The abort code of this D_can's last transfer (sdo_upload, sdo_download,
  // the block transfers, segSdoRead, identity readers) if an abort ended
  // it, whether the node sent it or the client; 0 when its last transfer
  // ended otherwise.
  uint32_t sdo_abort_code() const;
  // The time-out of each wait for an answer, in milliseconds of framework
  // time, for every transfer of this D_can; ms below 1 restores the
  // default of 2500 ms.
  void sdo_timeout_ms(int ms);

  // Upload entry (idx, subIdx) of node `node` (1..127) into `buffer`,
  // expedited or segmented, as above. An initiate response counts when it
  // names (idx, subIdx); answers the step does not expect are dropped. An
  // expedited value is followed by a NUL; a segmented one is not, so pass a
  // zeroed buffer for a string. At most size - 1 bytes are stored and
  // buffer[size - 1] is never written: a longer value is cut there and the
  // transfer is still read to its end. Returns 0; -1 for a time-out, an
  // abort (a node's abort code is printed on standard output), a wrong
  // toggle bit or a transfer that goes on for more than size / 7 + 1024
  // segments; 77 when the node's handle is not usable; 22 for a node outside
  // 1..127; or the driver's status. Failures are also logged under
  // "segSdoRead".
  int segSdoRead(short node, int idx, int subIdx, char* buffer, int size);
  // The same for a buffer of 64 bytes, the size the identity readers use.
  int segSdoRead(short node, int idx, int subIdx, char* buffer);

  // --- Identity strings: upload 0x1008 / 0x1009 / 0x100A subindex 0 and
  // publish the text (cut at its first character that is not printable
  // ASCII) in ".MANU" / ".HWVER" / ".SWVER", or "error" when the upload
  // failed. Return the result of segSdoRead (22 for a node id outside
  // 1..127). get_swversion pauses 100 ms before its upload.
  int get_manufacture();
  int get_hwversion();
  int get_swversion();

  // The address as one element of a multi-element reply. A null addr throws
  // std::logic_error before anything is stored.
  void get_multi(EqAdr* adr, EqData* in, EqData* res, int* i, char* addr);
  using D_fct::get_multi;

  void construct(const std::string& pn);

  // Attach the node to the line of its address: find the line or create,
  // open and supervise it (the creating node's ".BAUDRATE" fixes the line's
  // baud rate: an NTCAN code 0..14 or the bit rate of one in bit/s, such as
  // 1000000; 0 meaning code 6), and give the node a handle on it: the
  // line's own for the node that created it, a new one for a later node
  // without a usable handle (a usable one is kept, no driver call). Returns
  // 0, -1 when the line exists but is closed, 77 after canline_shutdown(),
  // or the NTCAN status of the failed open.
  int can_open();
  // Give the node's handle up: a handle the node opened itself is closed
  // (unless its line closed it already); the line's handle and a master's
  // are only forgotten. A node that is not the master also forgets its
  // master's buffers. Returns 0 or the status of the failed close.
  int can_close();

  void handle(NTCAN_HANDLE h) { canhandle_ = h; }
  // The node's usable handle: canhandle_ while the node's line is open and
  // still holds it, -1 otherwise.
  NTCAN_HANDLE handle() const;
  bool isactive() { return active_->value() != 0; }
  // True once after a client moved the node to another line or node id;
  // reading clears it.
  bool has_changed() { return changed_.exchange(false); }
  IIII* value() { return &canIdent_; }
  // The address before the last move to another line or node id.
  IIII* oldAddr() { return &oldIdent_; }
  // Status of the node's last receive operation (0 before any).
  int can_return();

 private:
  // Under mx_loop: take the node off its line and out of the polling
  // registry (move to another line or node id). A master's followers are
  // orphaned.
  void leave_bus();
  // Under mx_loop: leave_bus and the new address, has_changed() raised.
  void leave_address(const IIII& from, const IIII& to);
  // Destruction: leave_bus once the server loop and other threads' opens
  // have left the node.
  void detach_from_bus();
  // The node id and the line, read without lock; and the address written
  // (under mx_loop) so that they can be.
  int current_node_id() const;
  int current_line() const;
  IIII load_address() const;
  void store_address(const IIII& a);

  // Under mx_loop (those that take the lock may release it around a driver
  // open and take it again):
  bool usable() const;
  int open_on_line(vorbel::LoopLock& lk);
  int release_handle();
  int join_registry(vorbel::LoopLock& lk);
  void follow(D_can& master);
  void take_block();
  void drop_block();
  void bind_own_alive();
  void use_handle(NTCAN_HANDLE handle, uint64_t ref, bool owned);
  void unregister();
  int add_ident(int ident);
  void remember_ident(int ident);
  int enable_idents(int opened, std::initializer_list<int> idents);
  int open_unregistered(vorbel::LoopLock& lk);
  int reattach_locked(vorbel::LoopLock& lk);
  // Without mx_loop: out of the registry, and back once the server loop has
  // left this node's fill.
  void leave_loop();
  // The opening the node's driver calls use now, 0 when none.
  uint64_t usable_ref() const;
  // The status of a receive operation into the node's status word.
  void record_status(int status);

  // One SDO transfer of node `node_id` (see sdo_client.cpp).
  template <class Run>
  int sdo_transfer(int node_id, int index, int subindex, bool legacy, const char* origin, Run run);
  // 2.5 s: within the 2 to 3 s that waits of whole framework seconds gave.
  static constexpr int kDefaultSdoTimeoutMs = 2500;
  std::atomic<int> sdo_timeout_ms_{kDefaultSdoTimeoutMs};
  std::atomic<uint32_t> sdo_abort_code_{0};
  // Cut a text at its first character that is not printable ASCII: 0 when
  // it is empty or wholly printable, -1 when cut or null.
  int check_ascii(char* aString);
  int read_identity(int index, D_string* target, bool pause_first, const char* origin);

  // 0 when `id` is a node id that a CANopen service takes (`lowest`..127:
  // 0 for NMT, 1 for every other service); otherwise NTCAN_INVALID_PARAMETER,
  // logged under `origin` the first time this node refuses this bad id for
  // this `service` (a bit), so that a caller in the server loop does not
  // flood the log.
  int check_node_id(int id, int lowest, unsigned service, const char* origin) {
    return id >= lowest && id <= 127 ? 0 : refuse_node_id(id, lowest, service, origin);
  }
  int refuse_node_id(int id, int lowest, unsigned service, const char* origin);
  std::atomic<uint64_t> id_refusals_;  // the bad id logged last and its services
  int send_nmt(unsigned char specifier, const char* origin);
};

// Texts of SDO abort codes and of the library's results; emergencies
// decoded and queued, and a node's error history.
#include "vorbel_texts.h"
#include "vorbel_emergency.h"

#endif  // D_VORBEL_H
