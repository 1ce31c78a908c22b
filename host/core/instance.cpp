#include "instance.h"

#include <algorithm>
#include <cstring>

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

}  // namespace

// The keyed passes copy one pixel per call: this is their whole path.
// False when the rectangles are not both 1 x 1 inside their maps.  The
// tests are folded into few branches, and each value is used as soon as it
// is loaded, so that the caller needs no stack frame.
inline bool CopyOnePixel(const PixMap* src, const PixMap* dst, const Rect& s, const Rect& d) {
  if (src == nullptr || dst == nullptr) return false;
  const int sw = s.right - s.left, sh = s.bottom - s.top;
  const int dw = d.right - d.left, dh = d.bottom - d.top;
  if (((sw ^ 1) | (sh ^ 1) | (dw ^ 1) | (dh ^ 1)) != 0) return false;
  const unsigned sx = unsigned(s.left - src->bounds.left), sy = unsigned(s.top - src->bounds.top);
  const unsigned dx = unsigned(d.left - dst->bounds.left), dy = unsigned(d.top - dst->bounds.top);
  const bool outside = (sx >= unsigned(src->bounds.right - src->bounds.left)) |
                       (sy >= unsigned(src->bounds.bottom - src->bounds.top)) |
                       (dx >= unsigned(dst->bounds.right - dst->bounds.left)) |
                       (dy >= unsigned(dst->bounds.bottom - dst->bounds.top));
  if (outside) return false;
  reinterpret_cast<uint32_t*>(dst->baseAddr + intptr_t(dy) * dst->rowBytes)[dx] =
      reinterpret_cast<const uint32_t*>(src->baseAddr + intptr_t(sy) * src->rowBytes)[sx];
  return true;
}

const char* ServiceName(Service s) {
  static const char* const kNames[] = {
      "NewPtrClear", "DisposePtr",  "pstrcpy",     "GetLocalizedString",
      "GetFrame",    "ReleaseFrame", "MixAudio",   "Blit",
      "GetClipInfo", "SetClipInfo", "GetTransitionInfo", "ReleaseTransitionInfo"};
  return s < Service::kCount ? kNames[size_t(s)] : "?";
}

ZKPluginResult BlitPixels(const PixMap* src, const PixMap* dst, const Rect& srcRect,
                          const Rect& dstRect) {
  if (src == nullptr || dst == nullptr || Empty(srcRect) || Empty(dstRect) ||
      !Intersects(srcRect, src->bounds) || !Intersects(dstRect, dst->bounds)) {
    return kPluginBadParams;
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

// The C entry points of the table; each finds its instance and forwards.
struct Services {
  static PluginInstance* Of(ZKPluginInstance instance) {
    auto* inst = reinterpret_cast<PluginInstance*>(instance);
    return inst == tCurrent ? inst : nullptr;
  }

  static Ptr NewPtr(int32_t size) { return NewPtrClear(size); }

  static Ptr NewPtrClear(int32_t size) {
    PluginInstance* inst = tCurrent;
    if (inst != nullptr) {
      ++inst->counts_[size_t(Service::kNewPtrClear)];
      if (inst->hooked() && inst->Enter(Service::kNewPtrClear, {size})) return nullptr;
    }
    if (size < 0) return nullptr;
    void* block = std::calloc(1, size_t(size) + (size == 0));
    if (block != nullptr && inst != nullptr) inst->blocks_.push_back(block);
    return static_cast<Ptr>(block);
  }

  static void DisposePtr(Ptr block) {
    PluginInstance* inst = tCurrent;
    if (inst == nullptr) return;  // a block from no instance of ours: not ours to free
    ++inst->counts_[size_t(Service::kDisposePtr)];
    if (inst->hooked()) inst->Enter(Service::kDisposePtr, {});
    auto it = std::find(inst->blocks_.begin(), inst->blocks_.end(), block);
    if (it == inst->blocks_.end()) {
      ++inst->badReleases_;
      return;
    }
    inst->blocks_.erase(it);
    std::free(block);
  }

  static void ptocstr(unsigned char* s) {
    if (s == nullptr) return;
    const unsigned n = s[0];
    std::memmove(s, s + 1, n);
    s[n] = 0;
  }

  static void ctopstr(char* s) {
    if (s == nullptr) return;
    const size_t n = std::min<size_t>(std::strlen(s), 255);
    std::memmove(s + 1, s, n);
    s[0] = char(n);
  }

  static void pstrcpy(unsigned char* dst, const unsigned char* src) {
    PluginInstance* inst = tCurrent;
    if (inst != nullptr) {
      ++inst->counts_[size_t(Service::kPstrcpy)];
      if (inst->hooked()) inst->Enter(Service::kPstrcpy, {src ? src[0] : -1});
    }
    if (dst != nullptr && src != nullptr) std::memmove(dst, src, size_t(src[0]) + 1);
  }

  static char* strcpy(char* dst, const char* src) { return std::strcpy(dst, src); }
  static uint32_t strlen(const char* s) { return uint32_t(std::strlen(s)); }

  static void GetLocalizedString(unsigned char* dst, int16_t list, int16_t index) {
    PluginInstance* inst = tCurrent;
    if (dst == nullptr) return;
    dst[0] = 0;
    if (inst == nullptr) return;
    ++inst->counts_[size_t(Service::kGetLocalizedString)];
    if (inst->hooked()) inst->Enter(Service::kGetLocalizedString, {list, index});
    if (list == kZKPlaceholderStringList && index == kZKPlaceholderStringIndex) {
      std::memcpy(dst, inst->localized_, sizeof(Str255));
    }
  }

  static ZKServiceResult GetFrame(ZKPluginInstance instance, int32_t number, GWorldPtr* world,
                                  int16_t width, int16_t height, ZKRefDVQuality quality,
                                  int16_t* volume, ZKFrameCookie* cookie) {
    PluginInstance* inst = Of(instance);
    if (inst == nullptr) return kPluginBadParams;
    ++inst->counts_[size_t(Service::kGetFrame)];
    if (inst->hooked()) {
      if (auto r = inst->Enter(Service::kGetFrame, {number, width, height, quality})) return *r;
    }
    if (world == nullptr || volume == nullptr || cookie == nullptr) return kPluginBadParams;
    // An empty or inverted frame still gets a (pixel-less) frame and its audio.
    width = std::max<int16_t>(width, 0);
    height = std::max<int16_t>(height, 0);
    if (inst->frames_ == nullptr) return kPluginCantGetNeededFrame;
    const uint64_t nth = inst->counts_[size_t(Service::kGetFrame)];
    const DeliveryQuirk q = (inst->quirk_.onlyCall == 0 || inst->quirk_.onlyCall == nth)
                                ? inst->quirk_
                                : DeliveryQuirk{};
    auto loan = std::make_unique<PluginInstance::Loan>();
    loan->frameNumber = number;
    loan->world =
        inst->TakeWorld(std::max(0, width - q.widthShortfall), std::max(0, height - q.heightShortfall));
    const ZKPluginResult fetched = inst->frames_->Fetch(number, quality, loan->world);
    if (fetched != kPluginOK) return fetched;
    (*GetGWorldPixMap(loan->world.get()))->pixelSize = q.depth;
    *world = q.nullWorld ? nullptr : loan->world.get();
    *volume = inst->frames_->VolumeOf(number);
    *cookie = reinterpret_cast<ZKFrameCookie>(loan.get());
    inst->loans_.push_back(std::move(loan));
    inst->maxLoans_ = std::max(inst->maxLoans_, int(inst->loans_.size()));
    return kPluginOK;
  }

  static ZKServiceResult ReleaseFrame(ZKPluginInstance instance, ZKFrameCookie cookie) {
    PluginInstance* inst = Of(instance);
    if (inst == nullptr) return kPluginBadParams;
    ++inst->counts_[size_t(Service::kReleaseFrame)];
    PluginInstance::Loan* loan = inst->FindLoan(cookie);
    if (inst->hooked()) {
      if (auto r = inst->Enter(Service::kReleaseFrame, {loan ? loan->frameNumber : -1})) {
        // The frame still goes back: a failure report does not keep it alive.
        if (loan != nullptr) inst->EndLoan(loan);
        return *r;
      }
    }
    if (loan == nullptr) {
      ++inst->badReleases_;
      return kPluginBadParams;
    }
    inst->EndLoan(loan);
    return kPluginOK;
  }

  static ZKServiceResult MixAudio(ZKPluginInstance instance, ZKFrameCookie cookie, int16_t volume) {
    PluginInstance* inst = Of(instance);
    if (inst == nullptr) return kPluginBadParams;
    ++inst->counts_[size_t(Service::kMixAudio)];
    PluginInstance::Loan* loan = inst->FindLoan(cookie);
    if (inst->hooked()) {
      if (auto r = inst->Enter(Service::kMixAudio, {loan ? loan->frameNumber : -1, volume})) {
        return *r;
      }
    }
    if (loan == nullptr) return kPluginBadParams;
    inst->mixes_.push_back({loan->frameNumber, volume});
    return kPluginOK;
  }

  // The keyed passes call this once per copied pixel.  Its common case
  // needs no stack frame: everything else goes on to SlowBlit with the same
  // arguments (a jump, not a call).
  static ZKServiceResult Blit(PixMapPtr src, PixMapPtr dst, const Rect* srcRect,
                              const Rect* dstRect, int16_t mode) {
    PluginInstance* inst = tCurrent;
    if ((inst != nullptr && inst->hooked()) || srcRect == nullptr || dstRect == nullptr ||
        !CopyOnePixel(src, dst, *srcRect, *dstRect)) [[unlikely]] {
      return SlowBlit(src, dst, srcRect, dstRect, mode);
    }
    if (inst != nullptr) ++inst->counts_[size_t(Service::kBlit)];
    return kPluginOK;
  }

  [[gnu::noinline]] static ZKServiceResult SlowBlit(PixMapPtr src, PixMapPtr dst,
                                                    const Rect* srcRect, const Rect* dstRect,
                                                    int16_t mode) {
    PluginInstance* inst = tCurrent;
    if (inst != nullptr) {
      ++inst->counts_[size_t(Service::kBlit)];
      if (inst->hooked() && srcRect != nullptr && dstRect != nullptr) {
        if (auto r = inst->Enter(Service::kBlit,
                                 {srcRect->top, srcRect->left, srcRect->bottom, srcRect->right,
                                  dstRect->top, dstRect->left, dstRect->bottom, dstRect->right,
                                  mode})) {
          return *r;
        }
      }
    }
    if (srcRect == nullptr || dstRect == nullptr) return kPluginBadParams;
    return BlitPixels(src, dst, *srcRect, *dstRect);
  }

  static ZKServiceResult GetClipInfo(ZKPluginInstance instance, int16_t clip,
                                     ZKPluginClipInfo* info) {
    PluginInstance* inst = Of(instance);
    if (inst == nullptr) return kPluginBadParams;
    ++inst->counts_[size_t(Service::kGetClipInfo)];
    if (inst->hooked()) {
      if (auto r = inst->Enter(Service::kGetClipInfo, {clip})) return *r;
    }
    if (info == nullptr || clip != 1) return kPluginBadParams;
    *info = inst->clipInfo_;
    return kPluginOK;
  }

  static ZKServiceResult SetClipInfo(ZKPluginInstance instance, const ZKPluginClipInfo* info) {
    PluginInstance* inst = Of(instance);
    if (inst == nullptr) return kPluginBadParams;
    ++inst->counts_[size_t(Service::kSetClipInfo)];
    if (inst->hooked()) {
      if (auto r = inst->Enter(Service::kSetClipInfo, {})) return *r;
    }
    if (info == nullptr) return kPluginBadParams;
    inst->clipInfo_ = *info;
    inst->clipInfoSet_ = true;
    return kPluginOK;
  }

  static ZKServiceResult GetTransitionInfo(ZKPluginInstance instance,
                                           ZKPluginTransitionInfo** info) {
    PluginInstance* inst = Of(instance);
    if (inst == nullptr) return kPluginBadParams;
    ++inst->counts_[size_t(Service::kGetTransitionInfo)];
    if (inst->hooked()) {
      if (auto r = inst->Enter(Service::kGetTransitionInfo, {})) return *r;
    }
    if (info == nullptr) return kPluginBadParams;
    *info = &inst->transitionInfo_;
    ++inst->transitionLoans_;
    return kPluginOK;
  }

  static ZKServiceResult ReleaseTransitionInfo(ZKPluginInstance instance,
                                               ZKPluginTransitionInfo* info) {
    PluginInstance* inst = Of(instance);
    if (inst == nullptr) return kPluginBadParams;
    ++inst->counts_[size_t(Service::kReleaseTransitionInfo)];
    const bool ours = info == &inst->transitionInfo_ && inst->transitionLoans_ > 0;
    if (ours) --inst->transitionLoans_;
    if (inst->hooked()) {
      if (auto r = inst->Enter(Service::kReleaseTransitionInfo, {})) return *r;
    }
    if (!ours) ++inst->badReleases_;
    return ours ? kPluginOK : kPluginBadParams;
  }

  // Entries these plug-ins never call: they answer, never crash.
  static ZKServiceResult Unimplemented2(ZKPluginInstance, void*) { return kPluginUnimplemented; }
  static ZKServiceResult Unimplemented3(ZKPluginInstance, int32_t, void*) {
    return kPluginUnimplemented;
  }
  static ZKServiceResult UnimplementedRect(ZKPluginInstance, void*, const Rect*) {
    return kPluginUnimplemented;
  }
  static ZKServiceResult UnimplementedOut(ZKPluginInstance, void**) { return kPluginUnimplemented; }
  static ZKServiceResult FillRect(ZKPluginInstance, const Rect*, const RGBColor*) {
    return kPluginUnimplemented;
  }
  static ZKServiceResult TextBounds(ZKPluginInstance, void*, Rect*) { return kPluginUnimplemented; }
  static float StringWidthF(ZKPluginInstance, ConstStr255Param) { return 0.0f; }
  static float CGStringWidth(ZKPluginInstance, void*) { return 0.0f; }
};

const ZKProcs& HostProcs() {
  static const ZKProcs procs = {
      Services::NewPtr,
      Services::NewPtrClear,
      Services::DisposePtr,
      Services::ptocstr,
      Services::ctopstr,
      Services::pstrcpy,
      Services::strcpy,
      Services::strlen,
      Services::GetLocalizedString,
      Services::GetFrame,
      Services::ReleaseFrame,
      Services::Unimplemented3,
      Services::Unimplemented2,
      Services::Unimplemented2,
      Services::GetClipInfo,
      Services::SetClipInfo,
      Services::Blit,
      Services::FillRect,
      Services::TextBounds,
      Services::UnimplementedRect,
      Services::UnimplementedOut,
      Services::Unimplemented2,
      Services::GetTransitionInfo,
      Services::ReleaseTransitionInfo,
      Services::MixAudio,
      Services::UnimplementedOut,
      Services::Unimplemented2,
      Services::StringWidthF,
      Services::UnimplementedRect,
      Services::CGStringWidth,
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
  if (params_->clientData != nullptr) {
    ClearFaults();
    Call(kPlugTerminate);
  }
  for (void* block : blocks_) std::free(block);
}

void PluginInstance::set_localized_string(const std::string& text) {
  const size_t n = std::min<size_t>(text.size(), 255);
  localized_[0] = static_cast<unsigned char>(n);
  std::memcpy(localized_ + 1, text.data(), n);
}

PluginInstance* PluginInstance::Current() { return tCurrent; }

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

void PluginInstance::InjectFault(Service s, uint32_t nth, ZKServiceResult result) {
  faults_.push_back({s, nth, 0, result});
  UpdateHooked();
}

void PluginInstance::InjectFaultAtCall(uint32_t nth, ZKServiceResult result) {
  anyCallFault_ = nth;
  anyCallSeen_ = 0;
  anyCallResult_ = result;
  UpdateHooked();
}

void PluginInstance::ClearFaults() {
  faults_.clear();
  anyCallFault_ = 0;
  anyCallSeen_ = 0;
  UpdateHooked();
}

std::optional<ZKServiceResult> PluginInstance::Enter(Service s, std::vector<int64_t> args) {
  if (recording_) calls_.push_back({s, std::move(args)});
  if (anyCallFault_ != 0 && ++anyCallSeen_ == anyCallFault_) return anyCallResult_;
  for (Fault& f : faults_) {
    if (f.service != s) continue;
    ++f.seen;
    if (f.nth == 0 || f.seen == f.nth) return f.result;
  }
  return std::nullopt;
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
  if (spareWorlds_.size() < kMaxSpareWorlds) {
    (*GetGWorldPixMap(loan->world.get()))->pixelSize = 32;
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
