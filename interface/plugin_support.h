// What the plug-ins share beyond the C interface: reading service results,
// the per-bundle dispatch table, pixel-map locking, the brightness-keyed
// pass, the check of delivered frames, the frame arithmetic and the
// placeholder.  Internal to the bundles; nothing here is exported.
#pragma once

#include <cstdint>
#include <optional>

#include "zk_graphics.h"
#include "zk_plugin.h"

namespace zk {

// A host service's result lives in the low byte of its word; the upper
// bytes carry nothing.  Every service result is read through this.
inline ZKPluginResult ResultOf(ZKServiceResult word) { return ZKPluginResult(word & 0xFFu); }

// The host's table holds every one of these entries.  A call checks the
// entries it is about to use; a host may leave the others null.
template <typename... Entry>
bool Offers(const ZKPluginParams& params, Entry ZKProcs::*... entries) {
  return params.procs != nullptr && ((params.procs->*entries != nullptr) && ...);
}

// ---- The dispatcher ---------------------------------------------------------

using RenderProc = ZKPluginResult (*)(ZKPluginParams* params, int16_t which);

// What tells one bundle from the other; the dispatcher does everything else.
struct BundleTable {
  ZKPluginType variantPluginType;  // pluginType reported for variants 1 to 4
  bool takesFromClipAfter;         // variants 1 to 4 take frameCount frames from the next clip
  bool setsFadeOutAtTerminate;     // variants 1 to 4 fade the clip out at kPlugTerminate
  RenderProc render;               // called for variants 1 to 4 at kPlugDoFrame
};

// The body of each bundle's main.  Only the low 16 bits of which count.
int DispatchMain(const BundleTable& table, int which, ZKPluginParams* params);

// True for exactly the variants 1, 2, 3 and 4.
inline bool IsVariant(int16_t which) { return uint16_t(which - 1) <= 3; }

// The frame count reported for a transition speed: speed x 110 + 10 in
// single precision, truncated, rounded up to even.  Defined for every float.
int32_t FrameCountForSpeed(float speed);

// ---- Frame arithmetic shared by the renderers -------------------------------

// startFrame + offset, or nothing when the sum leaves the 32-bit range.
std::optional<int32_t> FrameNumber(int32_t startFrame, int64_t offset);

// The quality to ask of GetFrame: low only for a proxy at most 259 rows high.
inline ZKRefDVQuality QualityFor(const ZKPluginParams& params, int16_t height) {
  return (params.proxyOnly && height <= 259) ? kDVLowQuality : kDVHighQuality;
}

inline int16_t FrameWidth(const Rect& r) { return int16_t(r.right - r.left); }
inline int16_t FrameHeight(const Rect& r) { return int16_t(r.bottom - r.top); }

// A world delivered by GetFrame is fit for the pass: a pixel map to lock
// and, where width x height pixels will be read, 32 bits per pixel, pixel
// memory, bounds at the origin and at least width x height, rows at least
// 4 x width.
bool IsUsableFrame(GWorldPtr world, int16_t width, int16_t height);

// Keeps the first failure: later results count only while all went well.
inline void KeepFirstFailure(ZKPluginResult& result, ZKPluginResult next) {
  if (result == kPluginOK) result = next;
}

// ---- Locked pixel maps and the keyed pass -----------------------------------

struct LockedPixMap {
  PixMapHandle handle;
  SignedByte handleState;  // as HGetState returned it before locking
  GWorldFlags pixelState;  // as GetPixelsState returned it before locking
};

LockedPixMap LockFramePixels(GWorldPtr world);
void RestoreFramePixels(const LockedPixMap& map);

// A world's pixel map locked for the rest of a call.  Restore puts back the
// states saved at locking, once; the destructor does if nothing else did.
class PixMapLock {
 public:
  explicit PixMapLock(GWorldPtr world) : map_(LockFramePixels(world)) {}
  ~PixMapLock() { Restore(); }
  PixMapLock(const PixMapLock&) = delete;
  PixMapLock& operator=(const PixMapLock&) = delete;
  const LockedPixMap& map() const { return map_; }
  void Restore() {
    if (locked_) RestoreFramePixels(map_);
    locked_ = false;
  }

 private:
  LockedPixMap map_;
  bool locked_ = true;
};

// A frame lent by the host's GetFrame, its pixel map locked while it is
// held.  It goes back in two steps that a renderer may part: Unlock
// restores the map, GiveBack restores it if need be and then releases the
// frame.  Each happens once; the destructor gives back what is still held.
class HeldFrame {
 public:
  explicit HeldFrame(const ZKPluginParams& params) : params_(params) {}
  ~HeldFrame() { GiveBack(); }
  HeldFrame(const HeldFrame&) = delete;
  HeldFrame& operator=(const HeldFrame&) = delete;

  // GetFrame, then the check of what arrived: a world unfit for the pass
  // goes back at once and is reported as kPluginCantGetNeededFrame.  The
  // frame is held exactly when this returns kPluginOK.
  ZKPluginResult Fetch(int32_t frameNumber, int16_t width, int16_t height, ZKRefDVQuality quality);
  bool held() const { return held_; }
  GWorldPtr world() const { return world_; }
  const LockedPixMap& map() const { return lock_->map(); }
  int16_t volume() const { return volume_; }  // as GetFrame reported it
  ZKPluginResult MixAudio(int16_t volume) const;
  void Unlock() {
    if (lock_) lock_->Restore();
  }
  // ReleaseFrame's result, or kPluginOK when nothing is held.
  ZKPluginResult GiveBack();

 private:
  const ZKPluginParams& params_;
  GWorldPtr world_ = nullptr;
  int16_t volume_ = 0;
  ZKFrameCookie cookie_ = nullptr;
  std::optional<PixMapLock> lock_;
  bool held_ = false;
};

enum class KeySense : uint8_t {
  kAbove,  // copy where brightness > threshold
  kBelow,  // copy where brightness < threshold
};

struct KeyedPass {
  const LockedPixMap* key;
  const LockedPixMap* source;
  const LockedPixMap* destination;
  int16_t width;
  int16_t height;
  int16_t originTop;  // frameRect.top: where key row 0 lands in the destination
  int16_t originLeft;
  double threshold;
  KeySense sense;
};

// Copies, with one host Blit of 1 x 1 rectangles each, every source pixel
// whose key pixel's brightness (red + green + blue, 0 to 765) lies strictly
// beyond the threshold.  Visits every pixel; returns the first failed
// copy's result, or kPluginOK.
ZKPluginResult KeyedPixelPass(const ZKProcs& procs, const KeyedPass& pass);

// ---- The placeholder ---------------------------------------------------------

ZKPluginResult DrawPlaceholder(ZKPluginParams* params);

}  // namespace zk
