// Node initialisation: putting a node on its line, its identifier filter,
// the registry of master nodes that the server loop polls, the blocks that
// masters share with their followers, and bringing a node back after its
// line or its master went.
#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "D_vorbel.h"
#include "line/line_log.h"
#include "node/node_registry.h"

namespace vorbel {

std::vector<D_can*>& can_list() {
  static auto* list = new std::vector<D_can*>;
  return *list;
}

namespace {
// Blocks no node points at, handed out again before a new one is made.
// Under D_can::mx_loop.
std::vector<NodeBlock*>& free_blocks() {
  static auto* list = new std::vector<NodeBlock*>;
  return *list;
}
}  // namespace

NodeBlock* acquire_block(D_can* master) {
  auto& spare = free_blocks();
  NodeBlock* b = nullptr;
  if (spare.empty()) {
    b = new NodeBlock();
  } else {
    b = spare.back();
    spare.pop_back();
    std::memset(b->frames, 0, sizeof b->frames);
    store_word(&b->status, 0);
    store_word(&b->count, 0);
    store_word(&b->alive, 0);
  }
  b->users = 1;
  b->master = master;
  b->orphaned = false;
  return b;
}

void release_block(NodeBlock* b) {
  if (--b->users == 0) free_blocks().push_back(b);
}

}  // namespace vorbel

namespace {

bool line_in_range(int line) { return line >= 1 && line <= 20; }

bool same_node(const IIII& a, const IIII& b) { return a.i1_data == b.i1_data && a.i2_data == b.i2_data; }

}  // namespace

int D_can::current_node_id() const {
  vorbel::LoopLock lk;
  return canIdent_.i2_data;
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
  if (!block_) return;
  bind_own_alive();
  if (block_->master == this) {
    block_->master = nullptr;
    block_->orphaned = true;
  }
  vorbel::release_block(block_);
  block_ = nullptr;
  rxmsg_ = nullptr;
  can_ret_ = nullptr;
  rxmsg_len_ = nullptr;
}

// Under mx_loop. A block of the node's own as the master of its address.
void D_can::take_block() {
  drop_block();
  block_ = vorbel::acquire_block(this);
  rxmsg_ = block_->frames;
  can_ret_ = &block_->status;
  rxmsg_len_ = &block_->count;
  alive_ptr_ = &block_->alive;
  alive_->set_ptr(alive_ptr_);
  alive_->share(&block_->supervision, true);
  alive_->set_value(15);  // pre-operational until the node reports
}

// Under mx_loop. Shares `master`'s block, line and handle; a handle the node
// opened itself is closed first, not dropped.
void D_can::follow(D_can& master) {
  if (isactive()) active_->set_value(0);
  if (block_ != master.block_) {
    drop_block();
    block_ = master.block_;
    if (block_) ++block_->users;
    rxmsg_ = master.rxmsg_;
    can_ret_ = master.can_ret_;
    rxmsg_len_ = master.rxmsg_len_;
    alive_ptr_ = master.alive_ptr_;
    alive_->set_ptr(alive_ptr_);
    alive_->share(block_ ? &block_->supervision : nullptr, false);
  }
  release_handle();
  pline_ = master.pline_;
  canhandle_ = master.canhandle_;
  ticket_ = master.ticket_;
}

// Under mx_loop. Makes the node the master of its line and node id, or a
// follower of the master registered there.
int D_can::join_registry() {
  auto& list = vorbel::can_list();
  D_can* master = nullptr;
  for (D_can* c : list) {
    if (same_node(c->canIdent_, canIdent_)) {
      master = c;
      break;
    }
  }
  on_line_ = true;
  if (master == this) return open_on_line();  // enabling one more identifier
  if (master) {
    follow(*master);
    return 0;
  }
  list.push_back(this);
  if (!block_ || block_->master != this) take_block();
  active_->set_value(1);
  return open_on_line();  // on failure it stays registered; re-initialise later
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
int D_can::open_unregistered() {
  if (!alive_ptr_) bind_own_alive();
  on_line_ = true;
  return open_on_line();
}

int D_can::init() {
  vorbel::LoopLock lk;
  if (!line_in_range(canIdent_.i1_data)) return -1;
  return enable_idents(open_unregistered(), {canIdent_.i2_data, canIdent_.i3_data, canIdent_.i4_data});
}

int D_can::init(int ident, int flag) {
  if (flag != 1) {
    init(ident);
    return 0;
  }
  vorbel::LoopLock lk;
  if (!line_in_range(canIdent_.i1_data)) return -1;
  return enable_idents(open_unregistered(), {ident});
}

int D_can::init(int ident) {
  // Search, registration, buffer set-up and the enabling of the identifier
  // are one step for the polling loop.
  vorbel::LoopLock lk;
  if (!line_in_range(canIdent_.i1_data)) return -1;
  return enable_idents(join_registry(), {ident});
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
  if (!isactive()) return 0;
  vorbel::LoopLock lk;
  // This node's own entry only. A node flagged as master may by now be off
  // the loop or joined to the master of its new address: the entry of its
  // line and node id is then that other node's, which must stay polled.
  auto& list = vorbel::can_list();
  auto it = std::find(list.begin(), list.end(), this);
  if (it != list.end()) list.erase(it);
  return 0;
}

// Taking a node off the bus (destruction, move to another line or node id,
// reload of another address) closes its handle, removes this very node from
// the registry and gives up its block, under the registry lock, so that the
// polling loop never reaches a node that is gone or half-closed. A master's
// followers are orphaned: their handle is unusable until they are
// initialised again, and the first of them becomes the master.
void D_can::detach_from_bus() {
  vorbel::LoopLock lk;
  on_line_ = false;
  release_handle();
  auto& list = vorbel::can_list();
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
  drop_block();
  if (active_ && isactive()) active_->set_value(0);
}

void D_can::leave_address(const IIII& from, const IIII& to) {
  vorbel::LoopLock lk;
  detach_from_bus();
  oldIdent_ = from;
  canIdent_ = to;
  changed_ = true;
}

int D_can::reattach() {
  vorbel::LoopLock lk;
  return reattach_locked();
}

// Under mx_loop.
int D_can::reattach_locked() {
  if (usable()) return 0;
  if (!on_line_ || !pline_) return -1;
  int ret = 0;
  if (block_ && block_->orphaned) {
    // Its master went: registered again at its address, as init(int) does.
    drop_block();
    ret = join_registry();
  } else if (block_ && block_->master != this) {
    D_can& master = *block_->master;
    if (!master.usable()) ret = master.reattach_locked();
    if (ret == 0 && !master.usable()) ret = NTCAN_INVALID_HANDLE;
    if (ret == 0) follow(master);
  } else {
    ret = open_on_line();
  }
  // The identifiers it had enabled, on the handle it uses now.
  for (size_t i = 0; ret == 0 && i < idents_.size(); ++i) ret = add_ident(idents_[i]);
  return ret;
}
