// Node initialisation: putting a node on its line, its identifier filter,
// and the registry of master nodes that the server loop polls.
#include <algorithm>
#include <memory>

#include "D_vorbel.h"
#include "node/node_registry.h"

namespace vorbel {

std::vector<D_can*>& can_list() {
  static auto* list = new std::vector<D_can*>;
  return *list;
}

namespace {
std::mutex& pool_mutex() {
  static auto* mx = new std::mutex;
  return *mx;
}
std::vector<std::unique_ptr<RxBuffers>>& buffer_pool() {
  static auto* pool = new std::vector<std::unique_ptr<RxBuffers>>;
  return *pool;
}
std::vector<std::unique_ptr<int>>& alive_pool() {
  static auto* pool = new std::vector<std::unique_ptr<int>>;
  return *pool;
}
}  // namespace

RxBuffers* new_rx_buffers() {
  auto block = std::make_unique<RxBuffers>();  // zeroed
  std::lock_guard<std::mutex> lk(pool_mutex());
  buffer_pool().push_back(std::move(block));
  return buffer_pool().back().get();
}

int* new_alive_cell() {
  auto cell = std::make_unique<int>(0);
  std::lock_guard<std::mutex> lk(pool_mutex());
  alive_pool().push_back(std::move(cell));
  return alive_pool().back().get();
}

}  // namespace vorbel

namespace {

bool line_in_range(int line) { return line >= 1 && line <= 20; }

bool same_node(const IIII& a, const IIII& b) { return a.i1_data == b.i1_data && a.i2_data == b.i2_data; }

}  // namespace

int D_can::init() {
  if (!line_in_range(canIdent_.i1_data)) return -1;
  if (!alive_ptr_) {
    alive_ptr_ = vorbel::new_alive_cell();
    alive_->set_ptr(alive_ptr_);
  }
  int ret = can_open();
  if (ret != 0) return ret;
  for (int ident : {canIdent_.i2_data, canIdent_.i3_data, canIdent_.i4_data}) {
    if (ident > 0 && (ret = AddIdent(ident)) != 0) return ret;
  }
  return 0;
}

int D_can::init(int ident, int flag) {
  if (flag != 1) {
    init(ident);
    return 0;
  }
  if (!line_in_range(canIdent_.i1_data)) return -1;
  if (!alive_ptr_) {
    alive_ptr_ = vorbel::new_alive_cell();
    alive_->set_ptr(alive_ptr_);
  }
  const int ret = can_open();
  if (ret != 0) return ret;
  return ident > 0 ? AddIdent(ident) : 0;
}

int D_can::init(int ident) {
  if (!line_in_range(canIdent_.i1_data)) return -1;
  // Search, registration, buffer set-up and the enabling of the identifier
  // are one step for the polling loop.
  std::lock_guard<std::mutex> lk(mx_loop);
  auto& list = vorbel::can_list();
  D_can* master = nullptr;
  for (D_can* c : list) {
    if (same_node(c->canIdent_, canIdent_)) {
      master = c;
      break;
    }
  }
  if (master) {
    if (master == this) {
      // The registered master enabling one more identifier.
      const int ret = can_open();
      if (ret != 0) return ret;
    } else {
      // Another object of the same node: share the master's line, handle
      // and buffers. A former master that was moved here is not the master
      // any more: with its flag left at 1 it would close the master's
      // handle when it is closed.
      if (isactive()) active_->set_value(0);
      pline_ = master->pline_;
      canhandle_ = pline_ && pline_->handle() > 0 ? master->canhandle_ : -1;
      rxmsg_ = master->rxmsg_;
      can_ret_ = master->can_ret_;
      rxmsg_len_ = master->rxmsg_len_;
      alive_ptr_ = master->alive_ptr_;
      alive_->set_ptr(alive_ptr_);
    }
  } else {
    list.push_back(this);
    const bool was_master = isactive();
    if (!was_master && rxmsg_) {
      // Pointers borrowed from a former master are dropped, not released.
      rxmsg_ = nullptr;
      can_ret_ = nullptr;
      rxmsg_len_ = nullptr;
      alive_ptr_ = nullptr;
    }
    if (!was_master || !rxmsg_) {
      vorbel::RxBuffers* b = vorbel::new_rx_buffers();
      rxmsg_ = b->frames;
      can_ret_ = &b->status;
      rxmsg_len_ = &b->count;
      alive_ptr_ = &b->alive;
      alive_->set_ptr(alive_ptr_);
      alive_->set_value(15);  // pre-operational until the node reports
    }
    active_->set_value(1);
    const int ret = can_open();
    if (ret != 0) return ret;  // stays registered; re-initialise later
  }
  return ident > 0 ? AddIdent(ident) : 0;
}

int D_can::AddIdent(int ident) {
  const int ret = canIdAdd(handle(), ident);
  return ret == NTCAN_ID_ALREADY_ENABLED ? 0 : ret;
}

int D_can::DelIdent(int ident) {
  if (!isactive()) return 0;
  return canIdDelete(handle(), ident);
}

int D_can::dellist() {
  if (!isactive()) return 0;
  std::lock_guard<std::mutex> lk(mx_loop);
  // This node's own entry only. The master flag stays 1 when a client moves
  // a master away, so a node flagged as master may by now be off the loop or
  // joined to the master of its new address: the entry of its line and node
  // id is then that other node's, which must stay polled.
  auto& list = vorbel::can_list();
  auto it = std::find(list.begin(), list.end(), this);
  if (it != list.end()) list.erase(it);
  return 0;
}

// Taking a node off the bus (destruction, move to another line or node id)
// closes its handle and removes this very node from the registry, under the
// registry lock, so that the polling loop never reaches a node that is gone
// or half-closed. Removal goes by identity: whatever the master flag says, a
// destroyed node is never left behind, and no other node's entry is taken.
void D_can::detach_from_bus() {
  std::lock_guard<std::mutex> lk(mx_loop);
  can_close();
  auto& list = vorbel::can_list();
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
}
