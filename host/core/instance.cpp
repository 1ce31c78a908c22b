#include "instance.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zk::host {
namespace {

thread_local PluginInstance* tCurrent = nullptr;

// Sets the current call for the duration of one main call.
class CurrentCall {
 public:
  explicit CurrentCall(PluginInstance* instance) : saved_(tCurrent) { tCurrent = instance; }
  ~CurrentCall() { tCurrent = saved_; }

 private:
  PluginInstance* saved_;
};

bool Empty(const Rect& r) { return r.right <= r.left || r.bottom <= r.top; }

bool Intersects(const Rect& a, const Rect& b) {
  return std::max(a.left, b.left) < std::min(a.right, b.right) &&
         std::max(a.top, b.top) < std::min(a.bottom, b.bottom);
}

inline uint32_t* PixelAt(const PixMap* pm, int x, int y) {
  return reinterpret_cast<uint32_t*>(pm->baseAddr + intptr_t(y - pm->bounds.top) * pm->rowBytes) +
         (x - pm->bounds.left);
}

// Instances with an observer, in every thread, changed under the lock.
// While there are none, Blit never looks for the current instance.
std::atomic<int> gObservedInstances{0};
std::mutex gObservedChange;

// The keyed passes copy one pixel per call: this is their whole path.
// False when the rectangles are not both 1 x 1 inside their maps.
#if defined(__SSE2__)
// What the lane test gives for two 1 x 1 rectangles inside their maps, or,
// while any instance has an observer, a value it never gives: the test
// then sends every call to SlowBlit at no cost of its own.
constexpr int kOnePixelLanes = 0x0F0F, kNeverLanes = -1;
std::atomic<int> gOnePixelLanes{kOnePixelLanes};

// Both rectangles and both maps' bounds are tested at once, eight 16-bit
// lanes to a register (top, left, bottom, right of source then
// destination), with signed compares so that an inverted map holds nothing.
inline bool CopyOnePixel(const PixMap* src, const PixMap* dst, const Rect* s, const Rect* d) {
  const auto load2 = [](const void* low, const void* high) {
    const __m128 l = _mm_castsi128_ps(_mm_loadl_epi64(static_cast<const __m128i*>(low)));
    return _mm_castps_si128(_mm_loadh_pi(l, static_cast<const __m64*>(high)));
  };
  const __m128i rects = load2(s, d);
  const __m128i bounds = load2(&src->bounds, &dst->bounds);
  const __m128i topLeft = _mm_shuffle_epi32(rects, _MM_SHUFFLE(2, 2, 0, 0));
  const __m128i bottomRight = _mm_shuffle_epi32(rects, _MM_SHUFFLE(3, 3, 1, 1));
  // Inside: bounds.top <= top < bounds.bottom, and so for left.  The
  // difference is then exact, so 1 x 1 needs no overflow test.
  const __m128i beyond = _mm_cmpgt_epi16(bounds, topLeft);
  const __m128i unit = _mm_cmpeq_epi16(_mm_sub_epi16(bottomRight, topLeft), _mm_set1_epi16(1));
  const int lanes = _mm_movemask_epi8(_mm_xor_si128(beyond, unit));
  if (lanes != gOnePixelLanes.load(std::memory_order_relaxed)) return false;
  // Offsets inside the maps, 0 to 65534: zero-extended as they are taken.
  const __m128i at = _mm_sub_epi16(topLeft, bounds);
  const unsigned sy = unsigned(_mm_extract_epi16(at, 0)), sx = unsigned(_mm_extract_epi16(at, 1));
  const unsigned dy = unsigned(_mm_extract_epi16(at, 4)), dx = unsigned(_mm_extract_epi16(at, 5));
  reinterpret_cast<uint32_t*>(dst->baseAddr + intptr_t(dy) * dst->rowBytes)[dx] =
      reinterpret_cast<const uint32_t*>(src->baseAddr + intptr_t(sy) * src->rowBytes)[sx];
  return true;
}

void NoteObservers(int count) {
  gOnePixelLanes.store(count == 0 ? kOnePixelLanes : kNeverLanes, std::memory_order_relaxed);
}
#else
inline bool CopyOnePixel(const PixMap* src, const PixMap* dst, const Rect* sp, const Rect* dp) {
  if (gObservedInstances.load(std::memory_order_relaxed) != 0) return false;
  const Rect& s = *sp;
  const Rect& d = *dp;
  const int sw = s.right - s.left, sh = s.bottom - s.top;
  const int dw = d.right - d.left, dh = d.bottom - d.top;
  if (((sw ^ 1) | (sh ^ 1) | (dw ^ 1) | (dh ^ 1)) != 0) return false;
  const auto inside = [](int v, int16_t lo, int16_t hi) { return v >= lo && v < hi; };
  if (!inside(s.top, src->bounds.top, src->bounds.bottom) ||
      !inside(s.left, src->bounds.left, src->bounds.right) ||
      !inside(d.top, dst->bounds.top, dst->bounds.bottom) ||
      !inside(d.left, dst->bounds.left, dst->bounds.right)) {
    return false;
  }
  *PixelAt(dst, d.left, d.top) = *PixelAt(src, s.left, s.top);
  return true;
}

void NoteObservers(int) {}
#endif

}  // namespace

const char* ServiceName(Service s) {
  static const char* const kNames[] = {
      "NewPtrClear", "DisposePtr",  "pstrcpy",     "GetLocalizedString",
      "GetFrame",    "ReleaseFrame", "MixAudio",   "Blit",
      "GetClipInfo", "SetClipInfo", "GetTransitionInfo", "ReleaseTransitionInfo"};
  return s < Service::kCount ? kNames[size_t(s)] : "?";
}

ZKPluginResult BlitPixels(const PixMap* src, const PixMap* dst, const Rect& srcRect,
                          const Rect& dstRect) {
  if (src == nullptr || dst == nullptr) return kPluginBadParams;
  // Nothing to copy is a copy of nothing, done.
  if (Empty(srcRect) || Empty(dstRect) || !Intersects(srcRect, src->bounds) ||
      !Intersects(dstRect, dst->bounds)) {
    return kPluginOK;
  }
  const int srcW = srcRect.right - srcRect.left, srcH = srcRect.bottom - srcRect.top;
  const int dstW = dstRect.right - dstRect.left, dstH = dstRect.bottom - dstRect.top;
  int top = std::max<int>(dstRect.top, dst->bounds.top);
  int bottom = std::min<int>(dstRect.bottom, dst->bounds.bottom);
  int left = std::max<int>(dstRect.left, dst->bounds.left);
  int right = std::min<int>(dstRect.right, dst->bounds.right);
  if (srcW == dstW && srcH == dstH) {
    // Same size: clip the destination by the source's bounds too, then
    // copy whole rows.
    const int dx = srcRect.left - dstRect.left, dy = srcRect.top - dstRect.top;
    top = std::max(top, src->bounds.top - dy);
    bottom = std::min(bottom, src->bounds.bottom - dy);
    left = std::max(left, src->bounds.left - dx);
    right = std::min(right, src->bounds.right - dx);
    // Each rectangle meets its own map, yet the two overlaps may not line up.
    if (left >= right) return kPluginOK;
    for (int y = top; y < bottom; ++y) {
      std::memcpy(PixelAt(dst, left, y), PixelAt(src, left + dx, y + dy), size_t(right - left) * 4);
    }
    return kPluginOK;
  }
  // Nearest-neighbour scaling, as the classic copy did.
  std::vector<int> columns(size_t(std::max(0, right - left)));
  for (int x = left; x < right; ++x) {
    columns[size_t(x - left)] = srcRect.left + int(int64_t(x - dstRect.left) * srcW / dstW);
  }
  for (int y = top; y < bottom; ++y) {
    const int sy = srcRect.top + int(int64_t(y - dstRect.top) * srcH / dstH);
    if (sy < src->bounds.top || sy >= src->bounds.bottom) continue;
    for (int x = left; x < right; ++x) {
      const int sx = columns[size_t(x - left)];
      if (sx < src->bounds.left || sx >= src->bounds.right) continue;
      *PixelAt(dst, x, y) = *PixelAt(src, sx, sy);
    }
  }
  return kPluginOK;
}

// A frame lent by GetFrame: its world and what MixAudio needs of it.
struct PluginInstance::Loan {
  World world;
  int32_t frameNumber;
};

// The C entry of a service whose first argument names the instance: only
// the instance whose call is running is served.
template <typename... Args, ZKServiceResult (PluginInstance::*Serve)(Args...)>
struct PluginInstance::Entry<Serve> {
  static ZKServiceResult Call(ZKPluginInstance instance, Args... args) {
    auto* inst = reinterpret_cast<PluginInstance*>(instance);
    if (inst == nullptr || inst != tCurrent) return kPluginBadParams;
    return (inst->*Serve)(args...);
  }
};

Ptr PluginInstance::NewPtrClear(int32_t size) {
  PluginInstance* inst = tCurrent;
  if (inst != nullptr && inst->Observe(Service::kNewPtrClear, {size})) return nullptr;
  if (size < 0) return nullptr;
  void* block = std::calloc(1, size_t(size) + (size == 0));
  if (block != nullptr && inst != nullptr) inst->blocks_.push_back(block);
  return static_cast<Ptr>(block);
}

void PluginInstance::DisposePtr(Ptr block) {
  PluginInstance* inst = tCurrent;
  if (inst == nullptr) return;  // a block from no instance of ours: not ours to free
  inst->Observe(Service::kDisposePtr, {});
  auto it = std::find(inst->blocks_.begin(), inst->blocks_.end(), block);
  if (it == inst->blocks_.end()) {
    ++inst->badReleases_;
    return;
  }
  inst->blocks_.erase(it);
  std::free(block);
}

void PluginInstance::Pstrcpy(unsigned char* dst, const unsigned char* src) {
  if (PluginInstance* inst = tCurrent) inst->Observe(Service::kPstrcpy, {src ? src[0] : -1});
  if (dst != nullptr && src != nullptr) std::memmove(dst, src, size_t(src[0]) + 1);
}

void PluginInstance::GetLocalizedString(unsigned char* dst, int16_t list, int16_t index) {
  PluginInstance* inst = tCurrent;
  if (dst == nullptr) return;
  dst[0] = 0;
  if (inst == nullptr) return;
  inst->Observe(Service::kGetLocalizedString, {list, index});
  if (list == kZKPlaceholderStringList && index == kZKPlaceholderStringIndex) {
    std::memcpy(dst, inst->localized_, sizeof(Str255));
  }
}

ZKServiceResult PluginInstance::GetFrame(int32_t number, GWorldPtr* world, int16_t width,
                                         int16_t height, ZKRefDVQuality quality, int16_t* volume,
                                         ZKFrameCookie* cookie) {
  if (auto r = Observe(Service::kGetFrame, {number, width, height, quality})) return *r;
  if (world == nullptr || volume == nullptr || cookie == nullptr) return kPluginBadParams;
  if (frames_ == nullptr) return kPluginCantGetNeededFrame;
  // An empty or inverted frame still gets a (pixel-less) frame and its audio.
  auto loan = std::make_unique<Loan>(
      Loan{TakeWorld(std::max<int16_t>(width, 0), std::max<int16_t>(height, 0)), number});
  const ZKPluginResult fetched = frames_->Fetch(number, quality, loan->world);
  if (fetched != kPluginOK) return fetched;
  *world = observer_ != nullptr ? observer_->OnLend(loan->world) : loan->world.get();
  *volume = frames_->VolumeOf(number);
  *cookie = reinterpret_cast<ZKFrameCookie>(loan.get());
  loans_.push_back(std::move(loan));
  maxLoans_ = std::max(maxLoans_, int(loans_.size()));
  return kPluginOK;
}

ZKServiceResult PluginInstance::ReleaseFrame(ZKFrameCookie cookie) {
  Loan* loan = FindLoan(cookie);
  const auto observed = Observe(Service::kReleaseFrame, {loan ? loan->frameNumber : -1});
  // A failure report does not keep the frame alive: it goes back all the same.
  if (loan != nullptr) EndLoan(loan);
  if (observed) return *observed;
  if (loan == nullptr) {
    ++badReleases_;
    return kPluginBadParams;
  }
  return kPluginOK;
}

ZKServiceResult PluginInstance::MixAudio(ZKFrameCookie cookie, int16_t volume) {
  const Loan* loan = FindLoan(cookie);
  if (auto r = Observe(Service::kMixAudio, {loan ? loan->frameNumber : -1, volume})) return *r;
  if (loan == nullptr) return kPluginBadParams;
  mixes_.push_back({loan->frameNumber, volume});
  return kPluginOK;
}

// The keyed passes call this once per copied pixel.  Its common case
// needs no stack frame: everything else, an observer included, goes on to
// SlowBlit with the same arguments (a jump, not a call).
ZKServiceResult PluginInstance::Blit(PixMapPtr src, PixMapPtr dst, const Rect* srcRect,
                                     const Rect* dstRect, int16_t mode) {
  if (src == nullptr || dst == nullptr || srcRect == nullptr || dstRect == nullptr ||
      !CopyOnePixel(src, dst, srcRect, dstRect)) [[unlikely]] {
    return SlowBlit(src, dst, srcRect, dstRect, mode);
  }
  return kPluginOK;
}

[[gnu::noinline]] ZKServiceResult PluginInstance::SlowBlit(PixMapPtr src, PixMapPtr dst,
                                                           const Rect* srcRect,
                                                           const Rect* dstRect, int16_t mode) {
  PluginInstance* inst = tCurrent;
  if (inst != nullptr && srcRect != nullptr && dstRect != nullptr) {
    const Rect& s = *srcRect;
    const Rect& d = *dstRect;
    if (auto r = inst->Observe(Service::kBlit, {s.top, s.left, s.bottom, s.right, d.top, d.left,
                                                d.bottom, d.right, mode})) {
      return *r;
    }
  }
  if (srcRect == nullptr || dstRect == nullptr) return kPluginBadParams;
  return BlitPixels(src, dst, *srcRect, *dstRect);
}

ZKServiceResult PluginInstance::GetClipInfo(int16_t clip, ZKPluginClipInfo* info) {
  if (auto r = Observe(Service::kGetClipInfo, {clip})) return *r;
  if (info == nullptr || clip != 1) return kPluginBadParams;
  *info = clipInfo_;
  return kPluginOK;
}

ZKServiceResult PluginInstance::SetClipInfo(const ZKPluginClipInfo* info) {
  if (auto r = Observe(Service::kSetClipInfo, {})) return *r;
  if (info == nullptr) return kPluginBadParams;
  clipInfo_ = *info;
  clipInfoSet_ = true;
  return kPluginOK;
}

ZKServiceResult PluginInstance::GetTransitionInfo(ZKPluginTransitionInfo** info) {
  if (auto r = Observe(Service::kGetTransitionInfo, {})) return *r;
  if (info == nullptr) return kPluginBadParams;
  *info = &transitionInfo_;
  ++transitionLoans_;
  return kPluginOK;
}

ZKServiceResult PluginInstance::ReleaseTransitionInfo(ZKPluginTransitionInfo* info) {
  // The record is back whatever the observer answers.
  const bool ours = info == &transitionInfo_ && transitionLoans_ > 0;
  if (ours) --transitionLoans_;
  if (auto r = Observe(Service::kReleaseTransitionInfo, {})) return *r;
  if (!ours) ++badReleases_;
  return ours ? kPluginOK : kPluginBadParams;
}

namespace {

// Entries that need no instance.
void PtoCstr(unsigned char* s) {
  if (s == nullptr) return;
  const unsigned n = s[0];
  std::memmove(s, s + 1, n);
  s[n] = 0;
}

void CtoPstr(char* s) {
  if (s == nullptr) return;
  const size_t n = std::min<size_t>(std::strlen(s), 255);
  std::memmove(s + 1, s, n);
  s[0] = char(n);
}

char* Strcpy(char* dst, const char* src) { return std::strcpy(dst, src); }
uint32_t Strlen(const char* s) { return uint32_t(std::strlen(s)); }

// Entries these plug-ins never call: they answer, never crash.
ZKServiceResult Unimplemented(ZKPluginInstance, void*) { return kPluginUnimplemented; }
ZKServiceResult UnimplementedOut(ZKPluginInstance, void**) { return kPluginUnimplemented; }
ZKServiceResult UnimplementedRect(ZKPluginInstance, void*, const Rect*) {
  return kPluginUnimplemented;
}
ZKServiceResult GetAudioFrame(ZKPluginInstance, int32_t, void*) { return kPluginUnimplemented; }
ZKServiceResult FillRect(ZKPluginInstance, const Rect*, const RGBColor*) {
  return kPluginUnimplemented;
}
ZKServiceResult TextBounds(ZKPluginInstance, void*, Rect*) { return kPluginUnimplemented; }
float StringWidth(ZKPluginInstance, ConstStr255Param) { return 0.0f; }
float CGStringWidth(ZKPluginInstance, void*) { return 0.0f; }

}  // namespace

const ZKProcs& HostProcs() {
  using P = PluginInstance;
  static const ZKProcs procs = {
      .NewPtr = P::NewPtrClear,
      .NewPtrClear = P::NewPtrClear,
      .DisposePtr = P::DisposePtr,
      .ptocstr = PtoCstr,
      .ctopstr = CtoPstr,
      .pstrcpy = P::Pstrcpy,
      .strcpy = Strcpy,
      .strlen = Strlen,
      .GetLocalizedString = P::GetLocalizedString,
      .GetFrame = P::Entry<&P::GetFrame>::Call,
      .ReleaseFrame = P::Entry<&P::ReleaseFrame>::Call,
      .GetAudioFrame = GetAudioFrame,
      .ReleaseAudioFrame = Unimplemented,
      .GetMovieInfo = Unimplemented,
      .GetClipInfo = P::Entry<&P::GetClipInfo>::Call,
      .SetClipInfo = P::Entry<&P::SetClipInfo>::Call,
      .Blit = P::Blit,
      .FillRect = FillRect,
      .TextBounds = TextBounds,
      .DrawText = UnimplementedRect,
      .GetTitleInfo = UnimplementedOut,
      .ReleaseTitleInfo = Unimplemented,
      .GetTransitionInfo = P::Entry<&P::GetTransitionInfo>::Call,
      .ReleaseTransitionInfo = P::Entry<&P::ReleaseTransitionInfo>::Call,
      .MixAudio = P::Entry<&P::MixAudio>::Call,
      .GetFilterInfo = UnimplementedOut,
      .ReleaseFilterInfo = Unimplemented,
      .StringWidth = StringWidth,
      .CGDrawText = UnimplementedRect,
      .CGStringWidth = CGStringWidth,
  };
  return procs;
}

PluginInstance::PluginInstance(const Bundle& bundle, int16_t which)
    : bundle_(bundle), which_(which), params_(std::make_unique<ZKPluginParams>()) {
  std::memset(params_.get(), 0, sizeof(ZKPluginParams));
  params_->interfaceVersion = kHostInterfaceVersion;
  params_->instance = reinterpret_cast<ZKPluginInstance>(this);
  params_->procs = const_cast<ZKProcs*>(&HostProcs());
  transitionInfo_.speed = 0.5f;
  clipInfo_.volume = 256;
}

PluginInstance::~PluginInstance() {
  set_observer(nullptr);  // the last terminate is the host's own, unwatched
  if (params_->clientData != nullptr) Call(kPlugTerminate);
  for (void* block : blocks_) std::free(block);
}

void PluginInstance::set_localized_string(const std::string& text) {
  const size_t n = std::min<size_t>(text.size(), 255);
  localized_[0] = static_cast<unsigned char>(n);
  std::memcpy(localized_ + 1, text.data(), n);
}

PluginInstance* PluginInstance::Current() { return tCurrent; }

void PluginInstance::set_observer(ServiceObserver* observer) {
  if ((observer_ != nullptr) != (observer != nullptr)) {
    std::lock_guard lock(gObservedChange);
    const int count = gObservedInstances.load() + (observer != nullptr ? 1 : -1);
    gObservedInstances.store(count);
    NoteObservers(count);
  }
  observer_ = observer;
}

int PluginInstance::CallMain(int which, ZKPluginParams* params) {
  CurrentCall call(this);
  return bundle_.main()(which, params);
}

int PluginInstance::Call(ZKPluginSelector selector) {
  params_->selector = selector;
  return CallMain(which_, params_.get());
}

int PluginInstance::GetInfo() { return Call(kPlugGetInfo); }

int PluginInstance::DoFrame(int32_t startFrame, int32_t renderFrame, int32_t frameCount,
                            GWorldPtr output, const Rect& rect, bool proxy) {
  params_->startFrame = startFrame;
  params_->renderFrame = renderFrame;
  params_->frameCount = frameCount;
  params_->frame = output;
  params_->frameRect = rect;
  params_->proxyOnly = proxy ? 1 : 0;
  return Call(kPlugDoFrame);
}

World PluginInstance::TakeWorld(int width, int height) {
  for (auto it = spareWorlds_.begin(); it != spareWorlds_.end(); ++it) {
    if (it->width() == width && it->height() == height) {
      World world = std::move(*it);
      spareWorlds_.erase(it);
      return world;
    }
  }
  return World(width, height);
}

void PluginInstance::EndLoan(Loan* loan) {
  constexpr size_t kMaxSpareWorlds = 4;
  // An observer may have changed a world it lent: only the host's own go
  // back to the pool.
  if (spareWorlds_.size() < kMaxSpareWorlds && GetPixDepth(GetGWorldPixMap(loan->world.get())) == 32) {
    spareWorlds_.push_back(std::move(loan->world));
  }
  std::erase_if(loans_, [&](auto& l) { return l.get() == loan; });
}

PluginInstance::Loan* PluginInstance::FindLoan(ZKFrameCookie cookie) {
  for (auto& loan : loans_) {
    if (reinterpret_cast<ZKFrameCookie>(loan.get()) == cookie) return loan.get();
  }
  return nullptr;
}

}  // namespace zk::host
