// canopen_device.h - a simulated CANopen node on a simulated CAN net.
//
// A canopen_sim::Device joins one net of the simulated CAN driver (see
// ntcan_sim.h) as a bus participant and behaves as a CANopen node there:
//
//   NMT           boot-up message on creation and after a reset command,
//                 then pre-operational; start, stop, enter pre-operational,
//                 reset node and reset communication, addressed to its node
//                 id or to node id 0 (all nodes).
//   heartbeat     its state on 0x700 + node id, when asked or every N ms of
//                 the framework clock (TELVOsleep), from a thread of its own.
//   node guarding a remote request on 0x700 + node id is answered with one
//                 state byte whose bit 7 toggles from answer to answer.
//   emergency     error code, error register and five manufacturer bytes on
//                 0x080 + node id, when asked; each error also goes into
//                 its error register 0x1001 and error history 0x1003.
//   SDO server    uploads and downloads, expedited (1 to 4 bytes),
//                 segmented or by block (with CRC), of an object dictionary
//                 of byte strings with read-only and writable entries, on
//                 0x600 + node id (requests) and 0x580 + node id
//                 (responses). A heartbeat producer time written to 0x1017
//                 applies at once.
//   parameters    what downloads write lasts until the next reset: store
//                 parameters (0x1010) keeps it through resets, restore
//                 defaults (0x1011) brings the defaults back at the next
//                 reset (see Device, "Parameters").
//   programs      optionally the program download objects 0x1F50, 0x1F51
//                 and 0x1F56 (Options::program_download).
//   PDOs          four receive and four transmit PDOs, configured over SDO,
//                 SYNC consumed, process values that move (see "Process
//                 data" below).
//   misbehaviour  on request, for tests of clients: silence, wrong toggle
//                 bits, aborts in the middle of a transfer (uploads and
//                 downloads alike), endless segments, unrelated frames in
//                 front of every SDO answer; for block transfers a wrong
//                 CRC, a lost segment, or no block transfers at all.
//
// Its frames are put on the net with ntcan_sim::inject under the device's
// participant name, so they appear on the trace and reach only the driver
// handles whose identifier filters enable them. It reacts to frames sent by
// handles, injected by tests and sent by other participants alike.
//
// Identifiers are base + node id: NMT 0x000, emergency 0x080, SDO response
// 0x580, SDO request 0x600, heartbeat and node guarding 0x700.
//
// Typical use in a test:
//
//   auto& clock = telvo::install_manual_clock();
//   canopen_sim::Device node(0, 5);            // net 0, node id 5: boot-up sent
//   node.set_object(0x2000, 0, "hello world");
//   ... open a handle on net 0, enable 0x585, send 40 00 20 00 ... to 0x605 ...
//   node.start_heartbeat(100);
//   clock.wait_for_sleepers(1);
//   clock.advance(std::chrono::milliseconds(300));   // three heartbeats
//
// Threads: every member function is thread-safe. The device reacts to a frame
// on the thread that sent it (the simulated driver runs participant
// callbacks on the sender's thread), so an answer is in the requester's
// receive queue before its canSend returns. Frames are built under the
// device's lock and sent after it is released, so frames set off on
// different threads (a heartbeat, an answer) may reach the net in either
// order. Several devices may share a net (each needs its own participant
// name, which the default name makes unique per node id).
//
// A Device must not be destroyed from a participant callback (detaching
// waits for running callbacks).
#ifndef CANOPEN_DEVICE_H
#define CANOPEN_DEVICE_H

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ntcan.h"

namespace canopen_sim {

// NMT states as they appear in heartbeat and node-guarding answers.
enum class NmtState : uint8_t {
  BootUp = 0x00,
  Stopped = 0x04,
  Operational = 0x05,
  PreOperational = 0x7F,
};

// NMT command specifiers (byte 0 of a frame on identifier 0).
constexpr uint8_t kNmtStart = 0x01;
constexpr uint8_t kNmtStop = 0x02;
constexpr uint8_t kNmtEnterPreOperational = 0x80;
constexpr uint8_t kNmtResetNode = 0x81;
constexpr uint8_t kNmtResetCommunication = 0x82;

// Identifier bases; a node's identifier is base + node id.
constexpr int32_t kNmtId = 0x000;
constexpr int32_t kEmergencyBase = 0x080;
constexpr int32_t kSdoResponseBase = 0x580;
constexpr int32_t kSdoRequestBase = 0x600;
constexpr int32_t kHeartbeatBase = 0x700;

// Objects preloaded into every object dictionary (see Device).
constexpr uint16_t kDeviceNameIndex = 0x1008;       // subindex 0, read-only text
constexpr uint16_t kHardwareVersionIndex = 0x1009;  // subindex 0, read-only text
constexpr uint16_t kSoftwareVersionIndex = 0x100A;  // subindex 0, read-only text
constexpr uint16_t kGuardTimeIndex = 0x100C;        // subindex 0, 16 bits, ms
constexpr uint16_t kLifeTimeFactorIndex = 0x100D;   // subindex 0, 8 bits
constexpr uint16_t kHeartbeatTimeIndex = 0x1017;    // subindex 0, 16 bits, ms
constexpr uint16_t kIdentityIndex = 0x1018;         // subindex 0: 4; 1..4: 32 bits each

// SDO abort codes the device sends (bytes 4-7 of an abort frame, little-endian).
constexpr uint32_t kAbortToggleNotAlternated = 0x05030000;  // wrong toggle in a segment request
constexpr uint32_t kAbortUnknownCommand = 0x05040001;       // command specifier not served
constexpr uint32_t kAbortWriteOnly = 0x06010001;            // upload of a write-only entry
constexpr uint32_t kAbortReadOnly = 0x06010002;             // download to a read-only entry
constexpr uint32_t kAbortNoSuchObject = 0x06020000;         // no entry with this index
constexpr uint32_t kAbortLengthMismatch = 0x06070010;       // download of another length than the entry's
constexpr uint32_t kAbortNoSuchSubindex = 0x06090011;       // the index exists, the subindex not
constexpr uint32_t kAbortValueRange = 0x06090030;           // a value its entry's check refuses otherwise, a PDO parameter outside its range
constexpr uint32_t kAbortValueTooHigh = 0x06090031;         // a heartbeat period above 65535 ms, a value above a limit
constexpr uint32_t kAbortValueTooLow = 0x06090032;          // a value below a limit, a valid PDO COB-ID of identifier 0
constexpr uint32_t kAbortNotMappable = 0x06040041;          // an entry that cannot be mapped
constexpr uint32_t kAbortMappingTooLong = 0x06040042;       // entries of more than 64 bits
constexpr uint32_t kAbortDeviceState = 0x08000022;          // a mapping written while in use; program data or control refused in this state
constexpr uint32_t kAbortGeneralError = 0x08000000;         // segment request with no transfer in progress

// Process data (see Device, "Process data").
constexpr uint16_t kSyncCobIdIndex = 0x1005;         // subindex 0, 32 bits: 0x80
constexpr uint16_t kRpdoCommIndex = 0x1400;          // + n - 1, receive PDO n = 1..4
constexpr uint16_t kRpdoMappingIndex = 0x1600;
constexpr uint16_t kTpdoCommIndex = 0x1800;          // + n - 1, transmit PDO n = 1..4
constexpr uint16_t kTpdoMappingIndex = 0x1A00;
constexpr int kPdoCount = 4;                         // receive and transmit PDOs each
constexpr int kPdoMappingEntries = 8;                // entries per mapping object
constexpr uint16_t kPositionIndex = 0x6064;          // subindex 0, INTEGER32, read-only
constexpr uint16_t kVelocityIndex = 0x606C;          // subindex 0, INTEGER32, read-only
constexpr uint16_t kTargetVelocityIndex = 0x60FF;    // subindex 0, INTEGER32, writable
constexpr uint16_t kTemperatureIndex = 0x2400;       // subindex 0, INTEGER16 in 0.1 degC, read-only
constexpr int32_t kDefaultTargetVelocity = 100;
constexpr int16_t kStartTemperature = 250;           // 25.0 degC, drifting within 20.0 .. 30.0

// The emergency that chatter mode (set_chatter) sends: generic error.
constexpr uint16_t kChatterErrorCode = 0x1000;
constexpr uint8_t kChatterErrorRegister = 0x01;

// The error register 0x1001 (read-only, 1 byte) and the pre-defined error
// field 0x1003 (subindex 0 the number of entries, subindexes 1.. the errors,
// newest first, each 32 bits: the error code in the low 16 bits, the first
// two manufacturer bytes of its emergency in the high 16) of every device.
constexpr uint16_t kErrorRegisterIndex = 0x1001;
constexpr uint16_t kErrorHistoryIndex = 0x1003;
constexpr int kErrorHistoryDepth = 8;        // the oldest entry goes beyond it
constexpr uint8_t kGenericErrorBit = 0x01;   // set in 0x1001 with any error

// Data byte of the segments sent past the end of an object when the
// last-segment bit is withheld (set_never_last_segment).
constexpr uint8_t kFillerByte = '*';

// Program download objects (Options::program_download), subindex 1: the
// program data (a domain: the image), program control (one byte: 0 stopped,
// 1 running) and the program software identification (4 bytes: the
// image's CRC-16 of block transfers, little-endian, 0 without image).
constexpr uint16_t kProgramDataIndex = 0x1F50;
constexpr uint16_t kProgramControlIndex = 0x1F51;
constexpr uint16_t kProgramIdentificationIndex = 0x1F56;
// Store parameters and restore defaults, subindex 0: 4 (the highest
// subindex), 1..4: all, communication (0x1000..0x1FFF), application
// (0x6000..0x9FFF), manufacturer (0x2000..0x5FFF) parameters.
constexpr uint16_t kStoreParametersIndex = 0x1010;
constexpr uint16_t kRestoreDefaultsIndex = 0x1011;
constexpr uint32_t kSaveSignature = 0x65766173;  // "save", little-endian
constexpr uint32_t kLoadSignature = 0x64616F6C;  // "load"

constexpr uint32_t kAbortBlockSize = 0x05040002;         // a block size outside 1..127
constexpr uint32_t kAbortSequence = 0x05040003;          // a sequence number outside the block
constexpr uint32_t kAbortCrc = 0x05040004;               // the block download's CRC does not match
constexpr uint32_t kAbortCannotStore = 0x08000020;       // a store or restore without its signature

// Misbehaviour of block transfers (set_block_fault).
enum class BlockFault {
  None,
  CorruptCrc,   // when the CRC is used: uploads: the end frame's CRC is
                // wrong; downloads: the node finds the client's CRC wrong
                // (abort kAbortCrc)
  DropSegment,  // the second segment of each transfer's first block (of
                // at least 3 segments) is lost: not sent (uploads) or not
                // taken (downloads)
  Refuse,       // block requests are answered with kAbortUnknownCommand
};

// What silence (set_silence) covers.
enum class Silence {
  None,  // normal behaviour
  Sdo,   // SDO requests are counted but never answered; all else as usual
  All,   // the node is deaf and mute, as if unplugged: it ignores every
         // frame (NMT commands included), sends no heartbeats, no guarding
         // answers, no emergencies, nothing at all
};

struct Options {
  // Participant name on the net; empty: "node <id>" (decimal node id).
  std::string name;
  // Send the boot-up message when created.
  bool boot_up = true;
  // Heartbeat period in ms of the framework clock; 0: no periodic heartbeat
  // (start one later with start_heartbeat).
  int heartbeat_ms = 0;
  // Initial contents of 0x1008, 0x1009 and 0x100A, subindex 0.
  std::string device_name = "VORBEL simulated CANopen node";
  std::string hardware_version = "HW 1.0";
  std::string software_version = "SW 1.0.0";
  // 0x1018 subindex 1..4: vendor id, product code, revision number, serial
  // number.
  uint32_t vendor_id = 0x00564F52;
  uint32_t product_code = 0x00000001;
  uint32_t revision_number = 0x00010000;
  uint32_t serial_number = 0x00000001;
  // The program download objects of program 1 (kProgramDataIndex, ...):
  // stopped, without image.
  bool program_download = false;
};

// Who may write an entry by SDO download (WriteOnly: and nobody upload it).
enum class Access { ReadOnly, ReadWrite, WriteOnly };

// A check of a downloaded value (its bytes, the length already checked):
// 0 accepts it, anything else is the abort code that refuses it. Runs under
// the device's lock: it must not call the device.
using ValueCheck = std::function<uint32_t(const std::string& bytes)>;

class Device {
 public:
  // Attaches to `net` (0..19) as node `node_id` (1..127), sends the boot-up
  // message (unless options.boot_up is false), enters pre-operational and
  // starts the heartbeat producer when options.heartbeat_ms > 0. Throws
  // std::invalid_argument for a bad net, node id or period (0..65535), or a
  // participant name already used on the net.
  Device(int net, int node_id, Options options = {});
  // Stops the heartbeat producer (see stop_heartbeat), then detaches from
  // the net, waiting for callbacks running on other threads.
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  int net() const { return net_; }
  int node_id() const { return node_id_; }
  const std::string& name() const { return name_; }

  // ---- NMT ---------------------------------------------------------------
  // Commands arrive as frames on identifier 0, length 2: [specifier, node id]
  // with node id equal to this node's or 0. Start -> Operational, stop ->
  // Stopped, enter pre-operational -> PreOperational, reset node and reset
  // communication -> boot-up message, guarding toggle back to 0, any SDO
  // transfer dropped, then PreOperational. Other specifiers and frames of
  // another length are ignored.
  //
  // In Stopped the node answers NMT commands and node-guarding requests and
  // sends heartbeats, but, as a CANopen node does, it ignores SDO requests
  // (they are still counted) and sends no emergencies.
  NmtState state() const;
  // Puts the node into a state without a frame on the bus.
  void set_state(NmtState s);
  // Restarts the node as after a power glitch: boot-up message, guarding
  // toggle back to 0, any SDO transfer dropped, then PreOperational, as a
  // reset command does but without one on the bus. The heartbeat producer
  // keeps its period. Under Silence::All the node restarts without a frame.
  void reboot();

  // ---- Heartbeat ---------------------------------------------------------
  // Sends one heartbeat now: 0x700 + node id, length 1, the state byte.
  // False when nothing was sent (Silence::All).
  bool send_heartbeat();
  // Starts (or restarts with a new period) the producer thread: it sleeps
  // period_ms of the framework clock with TELVOsleep, sends a heartbeat,
  // and so on. period_ms must be 1..65535 (std::invalid_argument); it
  // becomes the value of 0x1017. A download of 0x1017 does the same, and a
  // download of 0 stops the producer.
  //
  // Under telvo's ManualClock the thread sends exactly one heartbeat per
  // period that the test advances, and ManualClock::advance returns only
  // after it is sent. Before advancing, wait until the thread sleeps:
  // clock.wait_for_sleepers(n).
  void start_heartbeat(int period_ms);
  // Stops the producer (0x1017 keeps its value). Returns as soon as a heartbeat being sent at this
  // moment is out; it never waits for the clock. The thread (detached) is
  // asleep on the framework clock at that point and ends when that sleep
  // ends, touching nothing of the device and sending nothing: under the
  // ManualClock at the next advance past its deadline, which means that
  // until then it still counts in ManualClock::sleepers(). Does nothing when
  // no producer runs.
  void stop_heartbeat();
  bool heartbeat_running() const;

  // ---- Emergency ---------------------------------------------------------
  // Sends 0x080 + node id, length 8: error code (low byte first), error
  // register, five manufacturer bytes. False when nothing was sent (Stopped
  // state or Silence::All).
  //
  // The error register sent is the one the node holds from then on (0x1001):
  // `error_register` with the generic bit (kGenericErrorBit) set, as CANopen
  // requires, when an error is reported (any code but 0x00xx, error reset)
  // or another bit remains set. An error code other than 0x00xx also
  // becomes the newest entry of the error history 0x1003, whether or not the
  // frame could be sent: the node had the error.
  bool send_emergency(uint16_t error_code, uint8_t error_register,
                      const std::array<uint8_t, 5>& manufacturer = {});
  // The error register 0x1001 and the entries of 0x1003, newest first.
  // A download of 0 to 0x1003 subindex 0 clears the history; any other
  // value there is refused with kAbortValueRange, and the entries
  // themselves are read-only (kAbortReadOnly).
  uint8_t error_register() const;
  std::vector<uint32_t> error_history() const;

  // ---- Object dictionary -------------------------------------------------
  // Entries are byte strings (any bytes, NUL included) by index and
  // subindex, numbers little-endian. Preloaded: 0x1008, 0x1009, 0x100A
  // (read-only texts), 0x100C guard time and 0x100D life time factor
  // (writable, 2 and 1 bytes, 0), 0x1017 heartbeat producer time (writable,
  // 2 bytes, options.heartbeat_ms) and 0x1018 identity (read-only: subindex 0
  // the byte 4, subindexes 1..4 four bytes each from the options).
  //
  // set_object replaces the bytes of an entry, keeping its access and
  // length rule; a new entry is writable with any length. define_object
  // sets all three: with fixed_length a download must carry exactly as many
  // bytes as `bytes` has. A transfer in progress keeps the bytes it started
  // with.
  void set_object(uint16_t index, uint8_t subindex, std::string bytes);
  void define_object(uint16_t index, uint8_t subindex, std::string bytes, Access access, bool fixed_length);
  // The same with a check of every downloaded value (see ValueCheck).
  void define_object(uint16_t index, uint8_t subindex, std::string bytes, Access access, bool fixed_length,
                     ValueCheck check);
  void remove_object(uint16_t index, uint8_t subindex);
  std::optional<std::string> object(uint16_t index, uint8_t subindex) const;

  // SDO upload, served on 0x600 + node id, answered on 0x580 + node id with
  // length-8 frames (byte 0 command, bytes 1-2 index low byte first, byte 3
  // subindex):
  //   initiate upload 0x40: object missing -> abort kAbortNoSuchObject;
  //     a write-only entry -> kAbortWriteOnly;
  //     1 to 4 bytes -> expedited answer 0x43 | ((4 - n) << 2), data in
  //     bytes 4..; otherwise (also for an empty object) -> 0x41 with the
  //     size in bytes 4-7, and segments follow. A new initiate request
  //     replaces a transfer in progress.
  //   upload segment 0x60 / 0x70 (bit 4 the toggle, 0 first, alternating):
  //     answer (toggle << 4) | ((7 - n) << 1) | c with n data bytes in bytes
  //     1..n (up to 7), c = 1 on the last segment. A wrong toggle ->
  //     abort kAbortToggleNotAlternated; no transfer in progress -> abort
  //     kAbortGeneralError with index and subindex 0.
  //   abort 0x80 from the client: ends the transfer, no answer.
  //   any other command specifier -> abort kAbortUnknownCommand.
  // A missing entry is answered kAbortNoSuchObject when no entry has its
  // index, else kAbortNoSuchSubindex.
  //
  // SDO download, the same way:
  //   initiate download 0x20 | n << 2 | e << 1 | s: a read-only entry ->
  //     kAbortReadOnly; expedited (e = 1): the 4 - n bytes (4 without s)
  //     are written and 0x60 answers; segmented: 0x60 answers, and segments
  //     follow; with s, bytes 4-7 are the size.
  //   download segment (toggle << 4) | (7 - n) << 1 | c with n data bytes
  //     (toggle 0 first, alternating): answered 0x20 | toggle << 4; the
  //     last one (c = 1) writes the entry. A wrong toggle ->
  //     kAbortToggleNotAlternated; no download in progress ->
  //     kAbortGeneralError with index and subindex 0.
  //   A length other than the indicated size, or than a fixed-length
  //     entry's -> kAbortLengthMismatch, as soon as it shows.
  // An abort frame is 0x80, the index and subindex, the code little-endian,
  // and ends the transfer. Requests that are not 8-byte data frames are
  // counted and ignored.

  // ---- Process data ------------------------------------------------------
  // PDOs are exchanged in Operational only. Their parameters are entries
  // of the dictionary, written by SDO download:
  //   0x1400 + n - 1  receive PDO n: 0 highest subindex (2), 1 COB-ID
  //                   (default 0x200 / 0x300 / 0x400 / 0x500 + node id with
  //                   bit 31 set: invalid), 2 transmission type (255)
  //   0x1800 + n - 1  transmit PDO n: 0 highest subindex (6), 1 COB-ID
  //                   (0x180 / 0x280 / 0x380 / 0x480 + node id, invalid),
  //                   2 transmission type (255), 3 inhibit time (100 us),
  //                   5 event timer (ms), 6 SYNC start value
  //   0x1600 / 0x1A00 + n - 1  mappings: 0 count, 1..8 entries
  //                   (index << 16 | subindex << 8 | bits)
  //   0x1005          COB-ID of the SYNC the device consumes (0x80)
  // As every download, a parameter written lasts until the next reset
  // unless the parameters are stored (0x1010, see "Parameters").
  //
  // Refused downloads: a transmission type other than 0..240, 254, 255 and
  // a COB-ID with a 29-bit identifier or bits 11..28 set, or changing the
  // identifier of a valid PDO -> kAbortValueRange; a SYNC start value above
  // 240, a count above 8 -> kAbortValueTooHigh; a valid COB-ID of
  // identifier 0 -> kAbortValueTooLow; a mapping written while its PDO is
  // valid, an entry while the count is not 0 -> kAbortDeviceState; an entry
  // naming an object that is missing, not mappable, shorter than the
  // entry's bits (1..64), or read-only for a receive PDO, and a count
  // covering such an entry -> kAbortNotMappable; a count whose entries
  // exceed 64 bits -> kAbortMappingTooLong.
  //
  // An entry carries the lowest `bits` bits of its object (little-endian);
  // a receive PDO writes them into the object, keeping the object's higher
  // bits. PDO bits are packed from bit 0 of byte 0, each entry after the
  // one before it.
  //
  // Transmit PDOs by transmission type:
  //   0        at a SYNC, when the mapped values differ from the PDO last
  //            sent (or none was sent yet);
  //   1..240   at every n-th SYNC; with a SYNC start value s and SYNCs that
  //            carry a counter, first at the SYNC whose counter is s;
  //   254/255  when the mapped values change (checked every ms of the
  //            framework clock, from a thread that runs while such a PDO
  //            is valid and the node operational), no sooner than the
  //            inhibit time after the last one, and every event-timer ms
  //            when nothing changed.
  // Receive PDOs of type 0..240 take effect at the next SYNC, 254/255 at
  // once. A receive PDO shorter than its mapping is counted
  // (pdo_length_errors) and ignored; a longer one is used.
  //
  // At each SYNC (its first data byte the counter, if any): receive PDOs
  // waiting for it take effect, the process makes one step, then transmit
  // PDOs go out. The process: the velocity 0x606C follows the target
  // velocity 0x60FF, the position 0x6064 counts by it, the temperature
  // 0x2400 drifts by at most 0.1 degC a step within 20.0 .. 30.0. These
  // four are mappable, and so is whatever set_mappable names.
  void set_mappable(uint16_t index, uint8_t subindex, bool on = true);
  // One step of the process, as at a SYNC, without sending anything.
  void step_process();
  // Receive PDOs ignored for being shorter than their mapping.
  uint64_t pdo_length_errors() const;

  // SDO block upload and download (one transfer at a time, as above; a new
  // initiate request of any kind replaces the one in progress):
  //   initiate block upload A0 | cc << 2, blksize (1..127, else
  //     kAbortBlockSize), pst: a value of at most pst bytes (pst > 0) goes
  //     as an expedited or segmented upload instead; otherwise
  //     C2 | sc << 2 with the size, and after the client's start A3 blocks
  //     of blksize segments (c << 7 | seq, 7 bytes), each block from the
  //     segment after the client's ackseq, the client's new block size
  //     applied; then C1 | n << 2 with the CRC (when both offer it), ended
  //     by the client's A1.
  //   initiate block download C0 | cc << 2 | s << 1: A0 | sc << 2 with its
  //     block size (set_block_size); segments taken in sequence, a block
  //     acknowledged (A2 ackseq blksize) after its last segment or a
  //     segment with c; the end request C1 | n << 2 with the CRC: the value
  //     is written (the length and write rules of downloads apply) and A1
  //     answers.
  // The CRC is offered (sc) unless set_block_crc(false).
  void set_block_size(int segments);  // 1..127 (clamped), 127 by default
  void set_block_crc(bool on);
  void set_block_fault(BlockFault fault);

  // ---- Parameters ----------------------------------------------------------
  // A download changes a writable entry until the node resets (NMT reset
  // node, reboot(); reset communication for 0x1000..0x1FFF): then the entry
  // is back at its stored value, or at its default (its bytes from the
  // constructor, set_object or define_object) when none was stored. Writing
  // kSaveSignature to 0x1010 subindex 1..4 stores the group's entries as they
  // are; writing kLoadSignature to 0x1011 subindex 1..4 forgets what was
  // stored, so that the next reset brings the defaults back. Another value
  // is refused with kAbortCannotStore. Reading either gives 1 (the node
  // stores on command). The program objects, 0x1010 and 0x1011 are no
  // parameters. A heartbeat producer time that a reset changes applies at
  // once. (Until the device stored parameters, a written 0x1017 survived a
  // reset; it no longer does without a store.)
  //
  // Program download (Options::program_download): 0x1F51 takes 0 (stop),
  // 1 (start: kAbortDeviceState without image) and 3 (clear the image:
  // kAbortDeviceState while running); other values kAbortDeviceState.
  // 0x1F50 takes an image by any download while stopped
  // (kAbortDeviceState while running), and 0x1F56 then holds its CRC.

  // ---- Misbehaviour, for tests of clients ---------------------------------
  void set_silence(Silence s);
  // The three below apply to uploads and downloads alike.
  // From the (k+1)-th segment of a transfer on (k = segments answered
  // correctly before), the answers carry the opposite toggle bit; the
  // transfer goes on as if they were right. k < 0: off.
  void set_wrong_toggle_after(int k);
  // After k segments of a transfer (k = 0: at the first segment request),
  // the next segment request is answered with an abort carrying `code`,
  // which ends the transfer. k < 0: off.
  void set_abort_after(int k, uint32_t code = kAbortGeneralError);
  // Never set the last-segment bit: the object's segments go out with c = 0
  // and every later request is answered with 7 kFillerByte bytes, forever.
  // (An object longer than 63 bytes alone already overflows a 64-byte
  // buffer of a client that trusts the node.)
  void set_never_last_segment(bool on);
  // Sends a heartbeat and an emergency (kChatterErrorCode,
  // kChatterErrorRegister) in front of every SDO answer, aborts included.
  void set_chatter(bool on);
  // Back to normal behaviour.
  void clear_misbehaviour();

  // ---- Inspection --------------------------------------------------------
  // Frames received on 0x600 + node id, answered or not.
  uint64_t sdo_requests() const;
  // Frames this device has put on the net.
  uint64_t frames_sent() const;
  // Bit 7 of the next node-guarding answer (0 or 1).
  int guard_toggle() const;
  // An SDO transfer (segmented or block) is in progress.
  bool transfer_in_progress() const;

 private:
  struct Transfer {
    bool active = false;
    bool download = false;
    uint16_t index = 0;
    uint8_t subindex = 0;
    std::string data;    // upload: the value; download: what came so far
    std::size_t pos = 0;
    int64_t size = -1;   // download: the size indicated, -1 none
    int toggle = 0;      // toggle the next segment request must carry
    int segments = 0;    // segments answered in this transfer
  };
  struct Entry {
    std::string bytes;
    Access access = Access::ReadWrite;
    bool fixed_length = false;
  };
  // A block transfer in progress (device_block.cpp).
  struct Block {
    enum class Phase { Idle, UploadStart, UploadAck, UploadEnd, Download, DownloadEnd };
    Phase phase = Phase::Idle;
    uint16_t index = 0;
    uint8_t subindex = 0;
    bool crc = false;       // both sides offered the CRC
    int blksize = 0;        // segments of the block in progress
    std::string data;       // upload: the value; download: what came so far
    int64_t size = -1;      // download: the size indicated, -1 none
    std::size_t sent = 0;   // upload: bytes acknowledged by the client
    int segments = 0;       // upload: segments of the block last sent
    bool has_last = false;  // upload: ... the value's last among them
    int seq = 0;            // download: last segment taken in sequence
    bool last = false;      // download: the segment with c was taken
    bool dropped = false;   // DropSegment has struck in this transfer
  };
  using Key = std::pair<uint16_t, uint8_t>;
  struct Producer;  // a periodic thread's shared block
  struct PdoState;  // see device_pdo.cpp

  static void run_producer(std::shared_ptr<Producer> p);
  static void stop_producer(const std::shared_ptr<Producer>& p);
  // A thread that calls action every period_ms of the framework clock.
  std::shared_ptr<Producer> start_producer(int period_ms, void (*action)(Device&));

  // Process data (device_pdo.cpp).
  void define_pdo_objects();
  // A SYNC or receive PDO, handled into `out`; false for other frames.
  bool pdo_frame_locked(const CMSG& m, std::vector<CMSG>& out);
  // 0, or the abort code that refuses a PDO parameter's new value.
  uint32_t pdo_parameter_check_locked(uint16_t index, uint8_t subindex, const std::string& bytes);
  void pdo_reset_locked();
  // Runs the PDO timer while an event-driven transmit PDO needs it.
  void follow_pdo_timer();
  void stop_pdo_timer();
  void pdo_tick();

  void on_frame(const CMSG& m);
  std::optional<CMSG> sdo_answer_locked(const CMSG& request);
  // device_block.cpp: a block request or a frame of a block transfer in
  // progress, answered into `out`; false for any other request.
  bool block_answer_locked(const CMSG& request, std::vector<CMSG>& out);
  void block_upload_frames_locked(std::vector<CMSG>& out);
  CMSG block_download_end_locked(const CMSG& request);
  void block_download_segment_locked(const CMSG& request, std::vector<CMSG>& out);
  CMSG sdo_frame(uint8_t command, uint16_t index, uint8_t subindex) const;
  // CRC-16 of block transfers (polynomial 0x1021, initial value 0).
  static uint16_t block_crc(const std::string& bytes);
  // device_storage.cpp: the store/restore (and program) entries; writes to
  // them (handled: *handled true, the abort code or 0); the reload of
  // parameters at a reset; forgetting an entry's stored value and default
  // when a test redefines it.
  void define_storage_locked(bool program_download);
  uint32_t special_write_locked(uint16_t index, uint8_t subindex, const std::string& bytes, bool* handled);
  void reload_parameters_locked(bool communication_only);
  void forget_parameter_locked(const Key& key);
  CMSG segment_answer_locked(const CMSG& request);
  CMSG initiate_download_locked(const CMSG& request);
  CMSG download_segment_locked(const CMSG& request);
  // The entry, or null with the abort code of its absence.
  Entry* entry_locked(uint16_t index, uint8_t subindex, uint32_t* code);
  // Writes a downloaded value; 0, or the abort code that refuses it.
  uint32_t write_locked(uint16_t index, uint8_t subindex, Entry& entry, std::string bytes);
  // A segment answer's toggle bit, wrong from set_wrong_toggle_after's k on.
  int answer_toggle_locked() const;
  // An abort of the transfer after set_abort_after's k segments, if due.
  std::optional<CMSG> abort_due_locked();
  void apply_heartbeat_time(int period_ms);
  // The error register and history (device_errors.cpp).
  void define_error_objects_locked();
  uint8_t record_error_locked(uint16_t code, uint8_t reg, const std::array<uint8_t, 5>& manufacturer);
  uint32_t write_error_history_locked(uint8_t subindex, const std::string& bytes);
  void reset_locked(std::vector<CMSG>& out, bool communication_only = false);
  void send(const std::vector<CMSG>& frames);
  CMSG state_frame(uint8_t state_byte) const;
  CMSG abort_frame(uint16_t index, uint8_t subindex, uint32_t code) const;
  CMSG emergency_frame(uint16_t code, uint8_t reg, const std::array<uint8_t, 5>& m) const;

  const int net_;
  const int node_id_;
  const std::string name_;

  mutable std::mutex mu_;  // guards everything below except the atomics
  NmtState state_ = NmtState::PreOperational;
  int guard_toggle_ = 0;
  std::map<std::pair<uint16_t, uint8_t>, Entry> objects_;
  std::map<std::pair<uint16_t, uint8_t>, ValueCheck> checks_;  // of entries defined with one
  Transfer transfer_;
  Block block_;
  int block_size_ = 127;
  bool block_crc_ = true;
  BlockFault block_fault_ = BlockFault::None;
  std::map<Key, std::string> defaults_;  // entries downloaded since defined: their default
  std::map<Key, std::string> stored_;    // stored parameters
  int heartbeat_change_ = -1;  // a 0x1017 written by download, applied after the answer
  Silence silence_ = Silence::None;
  int wrong_toggle_after_ = -1;
  int abort_after_ = -1;
  uint32_t abort_code_ = kAbortGeneralError;
  bool never_last_ = false;
  bool chatter_ = false;
  std::shared_ptr<Producer> producer_;
  std::shared_ptr<PdoState> pdo_;

  std::atomic<uint64_t> sdo_requests_{0};
  std::atomic<uint64_t> frames_sent_{0};
  int participant_ = 0;
};

}  // namespace canopen_sim

#endif  // CANOPEN_DEVICE_H
