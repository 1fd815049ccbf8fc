// Node initialisation: putting a node on its line, its identifier filter,
// the registry of master nodes that the server loop polls, the blocks that
// masters share with their followers, and bringing a node back after its
// line or its master went.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>
#include <initializer_list>

#include "D_vorbel.h"
#include "line/line_log.h"
#include "line/line_events.h"
#include "node/node_registry.h"

namespace vorbel {

Registry& registry() {
  static auto* r = new Registry;  // never released: the loop may run until the process ends
  return *r;
}

namespace {

// Every block ever made (each close lets their fills finish) and those no
// node uses, handed out again before a new one is made. Taken after
// D_can::mx_loop, before a block's lock.
struct BlockPool {
  std::mutex mx;
  std::vector<NodeBlock*> all;
  std::vector<NodeBlock*> spare;
};

BlockPool& pool() {
  static auto* p = new BlockPool;
  return *p;
}

void put_spare(NodeBlock* b) {
  BlockPool& p = pool();
  std::lock_guard<std::mutex> lk(p.mx);
  p.spare.push_back(b);
}

std::condition_variable& opened() {
  static auto* cv = new std::condition_variable;
  return *cv;
}

thread_local int t_pauses_due = 0;

}  // namespace

void let_fills_finish(const OpeningRef* refs, size_t count) {
  BlockPool& p = pool();
  std::lock_guard<std::mutex> lk(p.mx);
  for (NodeBlock* b : p.all) {
    std::lock_guard<SpinLock> g(b->mx);
    if (b->source != 0 && std::binary_search(refs, refs + count, b->source)) set_source(*b, 0);
  }
}

NodeBlock* acquire_block(D_can* master) {
  NodeBlock* b = nullptr;
  {
    BlockPool& p = pool();
    std::lock_guard<std::mutex> lk(p.mx);
    if (p.spare.empty()) {
      b = new NodeBlock();
      p.all.push_back(b);
    } else {
      b = p.spare.back();
      p.spare.pop_back();
    }
  }
  {
    std::lock_guard<SpinLock> lk(b->mx);
    std::memset(b->frames, 0, sizeof b->frames);
    store_word(&b->status, 0);
    store_word(&b->count, 0);
    set_source(*b, 0);
    b->master = master;
    b->polled = false;
    b->aside.clear();
    b->recycle_when_left = false;
    b->emergencies.reset();
    b->emergency_node = 0;
    b->receivers.clear();
  }
  store_word(&b->alive, 0);
  b->dropped = 0;
  b->users = 1;
  b->orphaned = false;
  return b;
}

void release_block(NodeBlock* b) {
  if (--b->users > 0) return;
  {
    // Still in a fill of the server loop, or taken from by a transfer: the
    // last of them hands it back.
    std::lock_guard<SpinLock> lk(b->mx);
    if (b->pins > 0 || b->takers > 0) {
      b->recycle_when_left = true;
      return;
    }
  }
  put_spare(b);
}

void leave_block(NodeBlock& b, int NodeBlock::*count) {
  bool recycle = false;
  {
    std::lock_guard<SpinLock> lk(b.mx);
    if (--(b.*count) == 0 && count == &NodeBlock::pins) b.unpinned.notify_all();
    if (b.pins == 0 && b.takers == 0 && b.recycle_when_left) {
      recycle = true;
      b.recycle_when_left = false;
    }
  }
  if (recycle) put_spare(&b);
}

LoopLock::LoopLock() : lk_(D_can::mx_loop) {}

LoopLock::~LoopLock() {
  if (lk_.owns_lock()) lk_.unlock();
  if (t_pauses_due > 0) {
    t_pauses_due = 0;
    TELVOsleep(0, 5000);
  }
}

void LoopLock::unlock() { lk_.unlock(); }
void LoopLock::lock() { lk_.lock(); }
void LoopLock::notify_opened() { opened().notify_all(); }
void LoopLock::wait_opened() { opened().wait(lk_); }

void pause_after_close() { ++t_pauses_due; }

}  // namespace vorbel

namespace {

bool line_in_range(int line) { return line >= 1 && line <= 20; }

bool same_node(const IIII& a, const IIII& b) { return a.i1_data == b.i1_data && a.i2_data == b.i2_data; }

}  // namespace

// The address is written under mx_loop, a field at a time with atomic
// stores (store_address), so that its line and node id can be read without
// the lock.
int D_can::current_node_id() const { return __atomic_load_n(&canIdent_.i2_data, __ATOMIC_RELAXED); }

int D_can::current_line() const { return __atomic_load_n(&canIdent_.i1_data, __ATOMIC_RELAXED); }

IIII D_can::load_address() const {
  return IIII{__atomic_load_n(&canIdent_.i1_data, __ATOMIC_RELAXED), __atomic_load_n(&canIdent_.i2_data, __ATOMIC_RELAXED),
              __atomic_load_n(&canIdent_.i3_data, __ATOMIC_RELAXED), __atomic_load_n(&canIdent_.i4_data, __ATOMIC_RELAXED)};
}

void D_can::store_address(const IIII& a) {
  __atomic_store_n(&canIdent_.i1_data, a.i1_data, __ATOMIC_RELAXED);
  __atomic_store_n(&canIdent_.i2_data, a.i2_data, __ATOMIC_RELAXED);
  __atomic_store_n(&canIdent_.i3_data, a.i3_data, __ATOMIC_RELAXED);
  __atomic_store_n(&canIdent_.i4_data, a.i4_data, __ATOMIC_RELAXED);
}

// Under mx_loop. The alive value of a node that shares no block.
void D_can::bind_own_alive() {
  if (alive_ptr_ == &own_alive_) return;
  vorbel::store_word(&own_alive_, alive_ptr_ ? vorbel::load_word(alive_ptr_) : 0);
  alive_ptr_ = &own_alive_;
  alive_->set_ptr(alive_ptr_);
  alive_->share(nullptr, false);
}

// Under mx_loop. Gives up the shared block: a master's followers are
// orphaned; the node keeps its last alive value in a cell of its own.
void D_can::drop_block() {
  vorbel::NodeBlock* b = block_.load(std::memory_order_relaxed);
  if (!b) return;
  bind_own_alive();
  if (b->master == this) {
    {
      std::lock_guard<vorbel::SpinLock> g(b->mx);
      b->master = nullptr;
      vorbel::set_source(*b, 0);
    }
    b->orphaned = true;
  }
  block_.store(nullptr, std::memory_order_release);
  rxmsg_ = nullptr;
  can_ret_ = nullptr;
  rxmsg_len_ = nullptr;
  vorbel::release_block(b);
}

// Under mx_loop. A block of the node's own as the master of its address.
void D_can::take_block() {
  drop_block();
  vorbel::NodeBlock* b = vorbel::acquire_block(this);
  {
    std::lock_guard<vorbel::SpinLock> g(b->mx);
    vorbel::set_source(*b, ref_.load(std::memory_order_relaxed));
    b->plain = !vorbel::overrides_fill(*this);
  }
  block_.store(b, std::memory_order_release);
  rxmsg_ = b->frames;
  can_ret_ = &b->status;
  rxmsg_len_ = &b->count;
  alive_ptr_ = &b->alive;
  alive_->set_ptr(alive_ptr_);
  alive_->share(&b->supervision, true);
  alive_->set_value(15);  // pre-operational until the node reports
}

// Under mx_loop. Shares `master`'s block, line and handle; a handle the node
// opened itself is closed first, not dropped.
void D_can::follow(D_can& master) {
  if (isactive()) active_->set_value(0);
  vorbel::NodeBlock* mb = master.block_.load(std::memory_order_relaxed);
  if (block_.load(std::memory_order_relaxed) != mb) {
    unregister();
    drop_block();
    if (mb) ++mb->users;
    block_.store(mb, std::memory_order_release);
    rxmsg_ = master.rxmsg_;
    can_ret_ = master.can_ret_;
    rxmsg_len_ = master.rxmsg_len_;
    alive_ptr_ = master.alive_ptr_;
    alive_->set_ptr(alive_ptr_);
    alive_->share(mb ? &mb->supervision : nullptr, false);
  }
  release_handle();
  pline_ = master.pline_;
  use_handle(master.canhandle_, master.ref_.load(std::memory_order_relaxed), false);
}

namespace {
// Under mx_loop: the master registered at the address of `node`, or null.
D_can* registered_master(const IIII& address) {
  for (vorbel::NodeBlock* b : vorbel::registry().blocks)
    if (b->master && same_node(*b->master->value(), address)) return b->master;
  return nullptr;
}
}  // namespace

// Under mx_loop (released while a handle is opened). Makes the node the
// master of its line and node id, or a follower of the master registered
// there. A master is registered once it has tried its handle, also when the
// open failed (it is initialised again later); when another node registered
// at the address meanwhile, the node follows that one.
int D_can::join_registry(vorbel::LoopLock& lk) {
  on_line_ = true;
  D_can* master = registered_master(canIdent_);
  if (master == this) return open_on_line(lk);  // enabling one more identifier
  if (master) {
    follow(*master);
    return 0;
  }
  const int ret = open_on_line(lk);
  master = registered_master(canIdent_);
  if (master == this) return ret;
  if (master) {
    follow(*master);
    return 0;
  }
  vorbel::NodeBlock* b = block_.load(std::memory_order_relaxed);
  if (!b || b->master != this) take_block();
  b = block_.load(std::memory_order_relaxed);
  vorbel::Registry& r = vorbel::registry();
  r.blocks.push_back(b);
  r.version.fetch_add(1, std::memory_order_release);
  {
    std::lock_guard<vorbel::SpinLock> g(b->mx);
    b->polled = true;
  }
  active_->set_value(1);
  return ret;
}

// Under mx_loop. Takes the node's own block out of the registry: the server
// loop fills it no more.
void D_can::unregister() {
  vorbel::NodeBlock* b = block_.load(std::memory_order_relaxed);
  if (!b || b->master != this) return;
  auto& blocks = vorbel::registry().blocks;
  auto it = std::find(blocks.begin(), blocks.end(), b);
  if (it == blocks.end()) return;
  blocks.erase(it);
  vorbel::registry().version.fetch_add(1, std::memory_order_release);
  std::lock_guard<vorbel::SpinLock> g(b->mx);
  b->polled = false;
}

void D_can::remember_ident(int ident) {
  if (std::find(idents_.begin(), idents_.end(), ident) == idents_.end()) idents_.push_back(ident);
}

// Under mx_loop. An identifier the node cannot enable for want of a usable
// handle is remembered for reattach().
int D_can::add_ident(int ident) {
  int ret = NTCAN_INVALID_HANDLE;
  if (vorbel::HandleUse use{*this}) ret = canIdAdd(use.handle(), ident);
  if (ret == NTCAN_ID_ALREADY_ENABLED) ret = 0;
  if (ret == 0 || ret == NTCAN_INVALID_HANDLE) remember_ident(ident);
  return ret;
}

// Under mx_loop. After the node's open gave `opened`: enables each
// identifier above 0 while all goes well; those it does not reach are
// remembered for reattach(). The first failure is the result.
int D_can::enable_idents(int opened, std::initializer_list<int> idents) {
  int ret = opened;
  for (int ident : idents) {
    if (ident <= 0) continue;
    if (ret != 0) {
      remember_ident(ident);
      continue;
    }
    ret = add_ident(ident);
  }
  return ret;
}

// Under mx_loop. Puts a node that is not registered on its line.
int D_can::open_unregistered(vorbel::LoopLock& lk) {
  if (!alive_ptr_) bind_own_alive();
  on_line_ = true;
  return open_on_line(lk);
}

int D_can::init() {
  vorbel::LoopLock lk;
  if (!line_in_range(canIdent_.i1_data)) return -1;
  const int opened = open_unregistered(lk);
  return enable_idents(opened, {canIdent_.i2_data, canIdent_.i3_data, canIdent_.i4_data});
}

int D_can::init(int ident, int flag) {
  if (flag != 1) {
    init(ident);
    return 0;
  }
  vorbel::LoopLock lk;
  if (!line_in_range(canIdent_.i1_data)) return -1;
  return enable_idents(open_unregistered(lk), {ident});
}

int D_can::init(int ident) {
  vorbel::LoopLock lk;
  if (!line_in_range(canIdent_.i1_data)) return -1;
  return enable_idents(join_registry(lk), {ident});
}

int D_can::AddIdent(int ident) {
  vorbel::LoopLock lk;
  return add_ident(ident);
}

int D_can::DelIdent(int ident) {
  if (!isactive()) return 0;
  vorbel::LoopLock lk;
  int ret = NTCAN_INVALID_HANDLE;
  if (vorbel::HandleUse use{*this}) ret = canIdDelete(use.handle(), ident);
  if (ret == 0 || ret == NTCAN_ID_NOT_ENABLED) idents_.erase(std::remove(idents_.begin(), idents_.end(), ident), idents_.end());
  return ret;
}

int D_can::dellist() {
  if (isactive()) leave_loop();
  return 0;
}

// This node's own registry entry only. A node flagged as master may by now
// be off the loop or joined to the master of its new address: the entry of
// its line and node id is then that other node's, which must stay polled.
void D_can::leave_loop() {
  vorbel::NodeBlock* b = nullptr;
  {
    vorbel::LoopLock lk;
    unregister();
    b = block_.load(std::memory_order_relaxed);
    if (!b || b->master != this) return;
  }
  std::unique_lock<vorbel::SpinLock> g(b->mx);
  // The loop's own call of this node's fill does not wait for itself.
  const int own = vorbel::filling_on_this_thread(b) ? 1 : 0;
  b->unpinned.wait(g, [&] { return b->pins <= own; });
}

uint64_t D_can::frames_dropped() const {
  const vorbel::NodeBlock* b = block_.load(std::memory_order_acquire);
  return (b ? b->dropped.load() : 0) + own_dropped_.load();
}

// Under mx_loop. Takes the node off the bus (move to another line or node
// id, reload of another address): closes its handle, removes this very node
// from the registry and gives up its block. A master's followers are
// orphaned: their handle is unusable until they are initialised again, and
// the first of them becomes the master.
void D_can::leave_bus() {
  on_line_ = false;
  unregister();
  release_handle();
  drop_block();
  if (active_ && isactive()) active_->set_value(0);
}

// Destruction: as leave_bus, once the server loop has left the node's fill
// and no other thread opens a handle for it (a follower reattaching its
// master), so that nothing reaches the node after it is gone.
void D_can::detach_from_bus() {
  leave_loop();
  vorbel::LoopLock lk;
  while (opening_ > 0) lk.wait_opened();
  if (auto_reattach_) vorbel::LineEvents::forget(*this);
  leave_bus();
}

// Under mx_loop.
void D_can::leave_address(const IIII& from, const IIII& to) {
  leave_bus();
  oldIdent_ = from;
  store_address(to);
  changed_ = true;
}

int D_can::reattach() {
  vorbel::LoopLock lk;
  return reattach_locked(lk);
}

// Under mx_loop (released while a handle is opened).
int D_can::reattach_locked(vorbel::LoopLock& lk) {
  if (usable()) return 0;
  if (!on_line_ || !pline_) return -1;
  int ret = 0;
  vorbel::NodeBlock* b = block_.load(std::memory_order_relaxed);
  if (b && b->orphaned) {
    // Its master went: registered again at its address, as init(int) does.
    drop_block();
    ret = join_registry(lk);
  } else if (b && b->master != this) {
    D_can* master = b->master;
    // The master is reattached first; it cannot be destroyed meanwhile (its
    // destructor waits for the open), but it may leave the block.
    if (!master->usable()) ret = master->reattach_locked(lk);
    if (ret == 0 && (b->master != master || !master->usable())) ret = NTCAN_INVALID_HANDLE;
    if (ret == 0) follow(*master);
  } else {
    ret = open_on_line(lk);
  }
  // The identifiers it had enabled, on the handle it uses now.
  for (size_t i = 0; ret == 0 && i < idents_.size(); ++i) ret = add_ident(idents_[i]);
  return ret;
}

namespace vorbel {

void SpinLock::wait() {
  for (int round = 0;; ++round) {
    if (try_lock()) return;
    if (round < 64) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    } else if (round < 128) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }
}

}  // namespace vorbel
