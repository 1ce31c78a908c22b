// One plug-in instance as the host sees it: its parameter block, the
// service table it is handed, and everything the services lend and record.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bundle.h"
#include "frames.h"
#include "zk_plugin.h"

namespace zk::host {

// The services of the table that this host implements and can record.
enum class Service : uint8_t {
  kNewPtrClear,
  kDisposePtr,
  kPstrcpy,
  kGetLocalizedString,
  kGetFrame,
  kReleaseFrame,
  kMixAudio,
  kBlit,
  kGetClipInfo,
  kSetClipInfo,
  kGetTransitionInfo,
  kReleaseTransitionInfo,
  kCount
};
const char* ServiceName(Service s);

// One recorded service call.  args hold what identifies the call:
//   GetFrame: frame number, width, height, quality
//   ReleaseFrame: frame number of the cookie (-1 for an unknown cookie)
//   MixAudio: frame number of the cookie, volume
//   Blit: src top, left, bottom, right, dst top, left, bottom, right, mode
//   GetClipInfo: clip number; NewPtrClear: size
struct ServiceCall {
  Service service;
  std::vector<int64_t> args;
  bool operator==(const ServiceCall&) const = default;
};

// One MixAudio call: which frame's audio at which volume.
struct AudioMix {
  int32_t frameNumber;
  int16_t volume;
  bool operator==(const AudioMix&) const = default;
};

// How a test may make GetFrame deliver a world that breaks the interface.
struct DeliveryQuirk {
  bool nullWorld = false;
  int16_t widthShortfall = 0;   // deliver this many columns fewer than asked
  int16_t heightShortfall = 0;  // and this many rows fewer
  int16_t depth = 32;           // pixel depth written into the delivered map
  uint32_t onlyCall = 0;        // only the nth GetFrame of the instance; 0: every one
};

// The interface version this host reports.
constexpr int16_t kHostInterfaceVersion = 5;

class PluginInstance {
 public:
  PluginInstance(const Bundle& bundle, int16_t which);
  // Sends kPlugTerminate if the instance still holds client data, and
  // frees whatever the plug-in failed to give back.
  ~PluginInstance();
  PluginInstance(const PluginInstance&) = delete;
  PluginInstance& operator=(const PluginInstance&) = delete;

  // ---- Calls -------------------------------------------------------------
  // Calls main with the selector (the rest of the block as it stands).
  int Call(ZKPluginSelector selector);
  // Calls main exactly as given, with this instance as the current call.
  int CallMain(int which, ZKPluginParams* params);
  // kPlugGetInfo at the instance's speed.
  int GetInfo();
  // kPlugDoFrame of output frame renderFrame into `output` at `rect`.
  int DoFrame(int32_t startFrame, int32_t renderFrame, int32_t frameCount, GWorldPtr output,
              const Rect& rect, bool proxy = false);

  ZKPluginParams& params() { return *params_; }
  int16_t which() const { return which_; }
  void set_which(int16_t which) { which_ = which; }

  // ---- What the services serve -----------------------------------------
  void set_speed(float speed) { transitionInfo_.speed = speed; }
  float speed() const { return transitionInfo_.speed; }
  void set_frame_source(FrameSource* source) { frames_ = source; }
  void set_localized_string(const std::string& text);
  ZKPluginClipInfo& clip_info() { return clipInfo_; }
  void set_delivery_quirk(const DeliveryQuirk& quirk) { quirk_ = quirk; }

  // ---- What the services saw -------------------------------------------
  // Turns on recording of every service call with its arguments.
  void set_recording(bool on) {
    recording_ = on;
    UpdateHooked();
  }
  const std::vector<ServiceCall>& calls() const { return calls_; }
  uint64_t CountOf(Service s) const { return counts_[size_t(s)]; }
  const std::vector<AudioMix>& mixes() const { return mixes_; }
  void ClearMixes() { mixes_.clear(); }
  int framesOnLoan() const { return int(loans_.size()); }
  int maxFramesOnLoan() const { return maxLoans_; }
  int transitionInfosOnLoan() const { return transitionLoans_; }
  int liveBlocks() const { return int(blocks_.size()); }
  int badReleases() const { return badReleases_; }  // unknown cookies or blocks
  bool clipInfoWasSet() const { return clipInfoSet_; }

  // ---- Failures on demand ----------------------------------------------
  // The nth call (counted from 1 since the fault was set) of service s, or
  // every call when nth is 0, returns `result` instead of doing its work.
  // For NewPtrClear any fault means a null block.
  void InjectFault(Service s, uint32_t nth, ZKServiceResult result);
  // The nth call of any of the recorded services, counted together.
  void InjectFaultAtCall(uint32_t nth, ZKServiceResult result);
  void ClearFaults();

  // The instance whose main call is running on this thread, or null.
  static PluginInstance* Current();

 private:
  friend struct Services;
  struct Loan;
  struct Fault {
    Service service;
    uint32_t nth;
    uint32_t seen;
    ZKServiceResult result;
  };

  // Counts and records a call; returns an injected result, if any.
  std::optional<ZKServiceResult> Enter(Service s, std::vector<int64_t> args);
  bool hooked() const { return hooked_; }
  void UpdateHooked() { hooked_ = recording_ || !faults_.empty() || anyCallFault_ != 0; }
  Loan* FindLoan(ZKFrameCookie cookie);
  // A world of that size for GetFrame, reused from frames given back.
  World TakeWorld(int width, int height);
  void EndLoan(Loan* loan);

  const Bundle& bundle_;
  int16_t which_;
  std::unique_ptr<ZKPluginParams> params_;
  ZKPluginTransitionInfo transitionInfo_{};
  ZKPluginClipInfo clipInfo_{};
  bool clipInfoSet_ = false;
  Str255 localized_{};
  FrameSource* frames_ = nullptr;
  DeliveryQuirk quirk_;

  bool recording_ = false;
  bool hooked_ = false;  // recording or faults: every call goes the slow way
  std::vector<ServiceCall> calls_;
  std::array<uint64_t, size_t(Service::kCount)> counts_{};
  std::vector<Fault> faults_;
  uint32_t anyCallFault_ = 0, anyCallSeen_ = 0;
  ZKServiceResult anyCallResult_ = 0;
  std::vector<AudioMix> mixes_;
  std::vector<std::unique_ptr<Loan>> loans_;
  std::vector<World> spareWorlds_;
  int maxLoans_ = 0;
  int transitionLoans_ = 0;
  std::vector<void*> blocks_;
  int badReleases_ = 0;
};

// The service table handed to every instance.
const ZKProcs& HostProcs();

// Copies between two 32-bit pixel maps as the host's Blit does: clipped to
// both maps' bounds, scaled nearest-neighbour when the rectangles differ.
// Returns kPluginBadParams for an empty rectangle or one wholly outside
// its map, kPluginOK otherwise.
ZKPluginResult BlitPixels(const PixMap* src, const PixMap* dst, const Rect& srcRect,
                          const Rect& dstRect);

}  // namespace zk::host
