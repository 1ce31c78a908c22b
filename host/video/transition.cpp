#include "transition.h"

#include <algorithm>
#include <utility>

#include "plugin.h"

namespace zk::video {
namespace {

using zk::host::PluginInstance;
using zk::host::World;

constexpr int kGoodScaler = SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT;
constexpr int kFastScaler = SWS_FAST_BILINEAR;

}  // namespace

// GetFrame for one worker: plug-in frame numbers to conformed clip frames in
// the plug-in's world.  Every frame is reported at its own level (256): the
// clip's level is applied when the host mixes, so it holds through the
// transition whatever volume the plug-in mixes a frame at.
class TransitionFrames::Source : public zk::host::FrameSource {
 public:
  Source(std::vector<Clip>& clips, const Timeline& timeline, const Canvas& canvas)
      : clips_(clips), timeline_(timeline), canvas_(canvas), converter_(kGoodScaler) {}

  ZKPluginResult Fetch(int32_t number, ZKRefDVQuality quality, const World& into) override {
    Timeline::Frame f;
    if (!timeline_.Map(number, &f)) {
      error_ = "frame " + std::to_string(number) + " lies outside the clips";
      return kPluginCantGetNeededFrame;
    }
    if (into.width() <= 0 || into.height() <= 0) return kPluginOK;
    try {
      Clip& clip = clips_[f.clip];
      SharedFrame frame = clip.video->Get(clip.grid->Source(f.frame));
      // The plug-in asks for the output's size; any other is fitted anew.
      Canvas canvas = canvas_;
      Placement place = clip.place;
      if (into.width() != canvas.width || into.height() != canvas.height) {
        canvas.width = canvas.pictureWidth = into.width();
        canvas.height = canvas.pictureHeight = into.height();
        canvas.format = AV_PIX_FMT_RGB32;
        place = Place(clip.video->format(), canvas, Fit::kStretch);
      }
      PixMapHandle pm = GetGWorldPixMap(into.get());
      uint8_t* dst[4] = {reinterpret_cast<uint8_t*>(GetPixBaseAddr(pm)), nullptr, nullptr, nullptr};
      const int stride[4] = {int(GetPixRowBytes(pm)), 0, 0, 0};
      converter_.set_flags(quality == kDVLowQuality ? kFastScaler : kGoodScaler);
      converter_.Convert(*frame, clip.video->format(), place, canvas, WorldTarget(), dst, stride);
      return kPluginOK;
    } catch (const Error& e) {
      error_ = e.what();
      return kPluginCantGetNeededFrame;
    }
  }

  int16_t VolumeOf(int32_t) override { return 256; }

  std::string TakeError() { return std::exchange(error_, {}); }

 private:
  std::vector<Clip>& clips_;
  const Timeline& timeline_;
  const Canvas& canvas_;
  Conformer converter_;
  std::string error_;
};

TransitionFrames::TransitionFrames(const TransitionSetup& setup, std::vector<Clip>& clips,
                                   const Timeline& timeline, const Canvas& canvas)
    : setup_(setup),
      who_(setup.bundle->name() + " variant " + std::to_string(setup.variant)),
      timeline_(timeline),
      canvas_(canvas) {
  for (int w = 0; w < setup.jobs; ++w) {
    sources_.push_back(std::make_unique<Source>(clips, timeline, canvas));
    auto inst = std::make_unique<PluginInstance>(*setup.bundle, int16_t(setup.variant));
    inst->set_speed(setup.speed);
    inst->set_frame_source(sources_.back().get());
    inst->clip_info().volume = 256;
    int r = inst->GetInfo();
    if (r == kPluginOK) r = inst->Call(kPlugInitialize);
    if (r != kPluginOK) throw Error(who_ + " refused to start: " + ResultName(r));
    instances_.push_back(std::move(inst));
    worlds_.emplace_back(canvas.width + 2 * setup.marginX, canvas.height + 2 * setup.marginY);
    outConverters_.emplace_back(kGoodScaler);
  }
  for (int w = 0; w < setup.jobs; ++w) threads_.emplace_back([this, w] { Run(w); });
}

TransitionFrames::~TransitionFrames() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_) t.join();
}

Rendered TransitionFrames::RenderOne(int w, int r) {
  PluginInstance& inst = *instances_[size_t(w)];
  const World& world = worlds_[size_t(w)];
  const int n = timeline_.transitionFrames();
  const Rect rect{int16_t(setup_.marginY), int16_t(setup_.marginX), int16_t(setup_.marginY + canvas_.height),
                  int16_t(setup_.marginX + canvas_.width)};
  const int result = inst.DoFrame(int32_t(timeline_.start()), r, n, world.get(), rect, setup_.proxy);
  if (result != kPluginOK) {
    const std::string why = sources_[size_t(w)]->TakeError();
    throw Error(who_ + " failed on frame " + std::to_string(r) + " of the transition: " + ResultName(result) +
                (why.empty() ? "" : ": " + why));
  }
  Rendered out;
  out.mixes = inst.mixes();
  inst.ClearMixes();
  out.frame = NewVideoFrame(canvas_.width, canvas_.height, canvas_.format);
  // The world's pixels are the output's: converted as they are, with no fit.
  const uint32_t* origin = world.row(setup_.marginY) + setup_.marginX;
  const uint8_t* src[4] = {reinterpret_cast<const uint8_t*>(origin), nullptr, nullptr, nullptr};
  const int srcStride[4] = {int(GetPixRowBytes(GetGWorldPixMap(world.get()))), 0, 0, 0};
  AVFrame view{};
  view.format = AV_PIX_FMT_RGB32;
  view.width = canvas_.width;
  view.height = canvas_.height;
  view.data[0] = const_cast<uint8_t*>(src[0]);
  std::copy_n(srcStride, 4, view.linesize);
  VideoFormat worldFormat;
  worldFormat.width = canvas_.width;
  worldFormat.height = canvas_.height;
  worldFormat.format = AV_PIX_FMT_RGB32;
  Canvas whole = canvas_;
  whole.pictureWidth = whole.width;
  whole.pictureHeight = whole.height;
  Placement p;
  p.srcW = p.dstW = canvas_.width;
  p.srcH = p.dstH = canvas_.height;
  outConverters_[size_t(w)].Convert(view, worldFormat, p, whole, OutputTarget(canvas_), out.frame->data,
                                    out.frame->linesize);
  if (std::find(setup_.thumbs.begin(), setup_.thumbs.end(), r) != setup_.thumbs.end()) {
    Picture pic;
    pic.width = canvas_.pictureWidth;
    pic.height = canvas_.pictureHeight;
    pic.pixels.resize(size_t(pic.width) * pic.height);
    for (int y = 0; y < pic.height; ++y) {
      std::copy_n(world.row(setup_.marginY + y) + setup_.marginX, pic.width, &pic.pixels[size_t(y) * pic.width]);
    }
    out.thumb = std::move(pic);
  }
  return out;
}

void TransitionFrames::Submit(int r) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(r);
  }
  wake_.notify_one();
}

Rendered TransitionFrames::Take(int r) {
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return results_.count(r) != 0; });
  auto node = results_.extract(r);
  if (auto* e = std::get_if<std::exception_ptr>(&node.mapped())) std::rethrow_exception(*e);
  return std::move(std::get<Rendered>(node.mapped()));
}

void TransitionFrames::Run(int w) {
  for (;;) {
    int r;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      r = queue_.front();
      queue_.pop_front();
    }
    std::variant<Rendered, std::exception_ptr> result;
    try {
      result = RenderOne(w, r);
    } catch (...) {
      result = std::current_exception();
    }
    {
      std::lock_guard lock(mutex_);
      results_.emplace(r, std::move(result));
    }
    done_.notify_all();
  }
}

int TransitionFrames::Terminate() {
  int fade = 0;
  for (auto& inst : instances_) {
    inst->params().frameCount = timeline_.transitionFrames();
    inst->Call(kPlugTerminate);
    const ZKPluginClipInfo& ci = inst->clip_info();
    if (inst->clipInfoWasSet() && ci.fadeOut) fade = std::max(fade, int(ci.ver2.fadeOutFrames));
  }
  return fade;
}

}  // namespace zk::video
