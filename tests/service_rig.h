// The test rig around one plug-in instance: every service call recorded
// and counted, failures injected on demand, and frames delivered that
// break the interface.  Shared by the tests and the fuzzers.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "frames.h"
#include "instance.h"

namespace zk::test {

// One recorded service call, with the arguments that identify it (see
// host::ServiceObserver::OnCall).
struct ServiceCall {
  host::Service service;
  std::vector<int64_t> args;
  bool operator==(const ServiceCall&) const = default;
};

// How GetFrame may deliver a world that breaks the interface.
struct DeliveryQuirk {
  bool nullWorld = false;
  int16_t widthShortfall = 0;   // deliver this many columns fewer than asked
  int16_t heightShortfall = 0;  // and this many rows fewer
  int16_t depth = 32;           // pixel depth written into the delivered map
  uint32_t onlyCall = 0;        // only the nth GetFrame of the instance; 0: every one
  bool baseless = false;        // a map without pixel memory
};

// Watches `inst` from construction to destruction.
class ServiceRig : public host::ServiceObserver {
 public:
  explicit ServiceRig(host::PluginInstance& inst) : inst_(inst) { inst_.set_observer(this); }
  ~ServiceRig() override {
    inst_.set_observer(nullptr);
    for (auto& [world, base] : baseless_) (*GetGWorldPixMap(world.get()))->baseAddr = base;
  }
  ServiceRig(const ServiceRig&) = delete;
  ServiceRig& operator=(const ServiceRig&) = delete;

  const std::vector<ServiceCall>& calls() const { return calls_; }
  uint64_t CountOf(host::Service s) const { return counts_[size_t(s)]; }
  // Forgets the calls seen so far, as if watching started now.
  void Forget() {
    calls_.clear();
    counts_ = {};
  }

  // The nth call (counted from 1 since the fault was set) of service s, or
  // every call when nth is 0, returns `result` instead of doing its work.
  void InjectFault(host::Service s, uint32_t nth, ZKServiceResult result) {
    faults_.push_back({s, nth, 0, result});
  }
  // The nth call of any service, counted together.
  void InjectFaultAtCall(uint32_t nth, ZKServiceResult result) {
    anyCall_ = {host::Service::kCount, nth, 0, result};
  }
  void ClearFaults() {
    faults_.clear();
    anyCall_ = {};
  }
  void set_delivery_quirk(const DeliveryQuirk& quirk) { quirk_ = quirk; }

  std::optional<ZKServiceResult> OnCall(host::Service s, std::span<const int64_t> args) override {
    calls_.push_back({s, std::vector<int64_t>(args.begin(), args.end())});
    ++counts_[size_t(s)];
    if (anyCall_.nth != 0 && ++anyCall_.seen == anyCall_.nth) return anyCall_.result;
    for (Fault& f : faults_) {
      if (f.service != s) continue;
      ++f.seen;
      if (f.nth == 0 || f.seen == f.nth) return f.result;
    }
    return std::nullopt;
  }

  GWorldPtr OnLend(host::World& world) override {
    const uint64_t nth = CountOf(host::Service::kGetFrame);
    if (quirk_.onlyCall != 0 && quirk_.onlyCall != nth) return world.get();
    if (quirk_.widthShortfall > 0 || quirk_.heightShortfall > 0) {
      world = host::World(std::max(0, world.width() - quirk_.widthShortfall),
                          std::max(0, world.height() - quirk_.heightShortfall));
    }
    (*GetGWorldPixMap(world.get()))->pixelSize = quirk_.depth;
    if (quirk_.nullWorld) return nullptr;
    if (!quirk_.baseless) return world.get();
    // A world of the rig's own, its memory put back before it is disposed.
    host::World& stand = baseless_.emplace_back(host::World(world.width(), world.height()), nullptr).first;
    std::swap((*GetGWorldPixMap(stand.get()))->baseAddr, baseless_.back().second);
    return stand.get();
  }

 private:
  struct Fault {
    host::Service service;
    uint32_t nth = 0;
    uint32_t seen = 0;
    ZKServiceResult result = 0;
  };
  host::PluginInstance& inst_;
  std::vector<ServiceCall> calls_;
  std::array<uint64_t, size_t(host::Service::kCount)> counts_{};
  std::vector<Fault> faults_;
  Fault anyCall_;
  DeliveryQuirk quirk_;
  std::vector<std::pair<host::World, Ptr>> baseless_;
};

}  // namespace zk::test
