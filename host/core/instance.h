// One plug-in instance as the host sees it: its parameter block, the
// service table it is handed, and everything the services lend and record.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bundle.h"
#include "frames.h"
#include "zk_plugin.h"

namespace zk::host {

// The services of the table that this host implements and an observer sees.
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

// One MixAudio call: which frame's audio at which volume.
struct AudioMix {
  int32_t frameNumber;
  int16_t volume;
  bool operator==(const AudioMix&) const = default;
};

// Watches an instance's service calls and may answer or change them: how
// tests record calls, inject failures and deliver faulty frames.  With no
// observer set the services take their fast paths.
class ServiceObserver {
 public:
  virtual ~ServiceObserver() = default;
  // Service s is called with args that identify the call:
  //   GetFrame: frame number, width, height, quality
  //   ReleaseFrame: frame number of the cookie (-1 for an unknown cookie)
  //   MixAudio: frame number of the cookie, volume
  //   Blit: src top, left, bottom, right, dst top, left, bottom, right, mode
  //   GetClipInfo: clip number; NewPtrClear: size; pstrcpy: source length
  //   GetLocalizedString: list, index; the others: none
  // A result returned is answered instead of doing the work (a null block
  // for NewPtrClear; a released frame goes back all the same).
  virtual std::optional<ZKServiceResult> OnCall(Service s, std::span<const int64_t> args) = 0;
  // GetFrame is about to lend `world`, drawn at the size asked.  Returns the
  // world the plug-in is handed; the observer may replace or alter `world`,
  // which stays on loan either way.
  virtual GWorldPtr OnLend(World& world) { return world.get(); }
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

  // ---- What the services saw -------------------------------------------
  // The observer of every service call from now on, or null for none.  It
  // must outlive the instance or be unset first.
  void set_observer(ServiceObserver* observer);
  const std::vector<AudioMix>& mixes() const { return mixes_; }
  void ClearMixes() { mixes_.clear(); }
  int framesOnLoan() const { return int(loans_.size()); }
  int maxFramesOnLoan() const { return maxLoans_; }
  int transitionInfosOnLoan() const { return transitionLoans_; }
  int liveBlocks() const { return int(blocks_.size()); }
  int badReleases() const { return badReleases_; }  // unknown cookies or blocks
  bool clipInfoWasSet() const { return clipInfoSet_; }

  // The instance whose main call is running on this thread, or null.
  static PluginInstance* Current();

 private:
  // The service table is filled with the entry points below.
  friend const ZKProcs& HostProcs();
  template <auto Serve>
  struct Entry;
  struct Loan;

  // The services.  Those whose entries carry no instance serve the instance
  // whose call is running on this thread, or none (null).
  static Ptr NewPtrClear(int32_t size);
  static void DisposePtr(Ptr block);
  static void Pstrcpy(unsigned char* dst, const unsigned char* src);
  static void GetLocalizedString(unsigned char* dst, int16_t list, int16_t index);
  static ZKServiceResult Blit(PixMapPtr src, PixMapPtr dst, const Rect* srcRect,
                              const Rect* dstRect, int16_t mode);
  static ZKServiceResult SlowBlit(PixMapPtr src, PixMapPtr dst, const Rect* srcRect,
                                  const Rect* dstRect, int16_t mode);
  ZKServiceResult GetFrame(int32_t number, GWorldPtr* world, int16_t width, int16_t height,
                           ZKRefDVQuality quality, int16_t* volume, ZKFrameCookie* cookie);
  ZKServiceResult ReleaseFrame(ZKFrameCookie cookie);
  ZKServiceResult MixAudio(ZKFrameCookie cookie, int16_t volume);
  ZKServiceResult GetClipInfo(int16_t clip, ZKPluginClipInfo* info);
  ZKServiceResult SetClipInfo(const ZKPluginClipInfo* info);
  ZKServiceResult GetTransitionInfo(ZKPluginTransitionInfo** info);
  ZKServiceResult ReleaseTransitionInfo(ZKPluginTransitionInfo* info);

  // What the observer answers for the call, if anything.
  std::optional<ZKServiceResult> Observe(Service s, std::initializer_list<int64_t> args) {
    if (observer_ == nullptr) return std::nullopt;
    return observer_->OnCall(s, std::span<const int64_t>(args.begin(), args.size()));
  }
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
  ServiceObserver* observer_ = nullptr;

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
// Returns kPluginBadParams for a null map, kPluginOK otherwise: an empty
// rectangle, or one wholly outside its map, is a copy of nothing.
ZKPluginResult BlitPixels(const PixMap* src, const PixMap* dst, const Rect& srcRect,
                          const Rect& dstRect);

}  // namespace zk::host
