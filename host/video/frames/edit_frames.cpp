#include "frames/edit_frames.h"

#include <algorithm>
#include <utility>

#include "edit/plugin.h"

namespace zk::video {
namespace {

using zk::host::PluginInstance;
using zk::host::World;

constexpr int kGoodScaler = SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT;
constexpr int kFastScaler = SWS_FAST_BILINEAR;

}  // namespace

// GetFrame for one worker: a transition's frame numbers to conformed clip
// frames in the plug-in's world.  Every frame is reported at its own level
// (256): the clip's level is applied when the host mixes, so it holds
// through the transition whatever volume the plug-in mixes a frame at.
class EditFrames::Source : public zk::host::FrameSource {
 public:
  Source(std::vector<Clip>& clips, const Timeline& timeline, const Canvas& canvas)
      : clips_(clips), timeline_(timeline), canvas_(canvas), converter_(kGoodScaler) {}

  void Use(size_t cut) { cut_ = cut; }

  ZKPluginResult Fetch(int32_t number, ZKRefDVQuality quality, const World& into) override {
    Timeline::Frame f;
    if (!timeline_.Map(cut_, number, &f)) {
      error_ = "frame " + std::to_string(number) + " lies outside the clips";
      return kPluginCantGetNeededFrame;
    }
    if (into.width() <= 0 || into.height() <= 0) return kPluginOK;
    try {
      Clip& clip = clips_[f.clip];
      SharedFrame frame = clip.video->Get(clip.grid->Source(clip.trim + f.frame));
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
  size_t cut_ = 0;
  std::string error_;
};

EditFrames::EditFrames(const FrameSetup& setup, std::vector<Clip>& clips, std::vector<Transition>& transitions,
                       const Timeline& timeline, const Canvas& canvas)
    : setup_(setup), clips_(clips), transitions_(transitions), timeline_(timeline), canvas_(canvas),
      outputs_(canvas.width, canvas.height, canvas.format) {
  instances_.resize(transitions.size());
  for (auto& perCut : instances_) perCut.resize(size_t(setup.jobs));
  for (int w = 0; w < setup.jobs; ++w) {
    sources_.push_back(std::make_unique<Source>(clips, timeline, canvas));
    worlds_.emplace_back(canvas.width + 2 * setup.marginX, canvas.height + 2 * setup.marginY);
    conformers_.emplace_back(kGoodScaler);
  }
  // One job renders on the caller's thread as frames are taken: -j is the
  // whole budget, and the encoder then runs in the same thread.
  if (setup.jobs > 1) {
    for (int w = 0; w < setup.jobs; ++w) threads_.emplace_back([this, w] { Run(w); });
  }
}

EditFrames::~EditFrames() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_) t.join();
}

PluginInstance& EditFrames::Instance(int w, size_t cut) {
  auto& slot = instances_[cut][size_t(w)];
  if (!slot) {
    const Transition& t = transitions_[cut];
    auto inst = std::make_unique<PluginInstance>(*t.bundle, int16_t(t.variant));
    inst->set_speed(t.speed);
    inst->set_frame_source(sources_[size_t(w)].get());
    inst->clip_info().volume = 256;
    int r = inst->GetInfo();
    if (r == kPluginOK) r = inst->Call(kPlugInitialize);
    if (r != kPluginOK) throw Error(t.who + " refused to start: " + ResultName(r));
    slot = std::move(inst);
  }
  return *slot;
}

Rendered EditFrames::ClipFrame(int w, size_t c, int64_t g) {
  Clip& clip = clips_[c];
  SharedFrame frame = clip.video->Get(clip.grid->Source(clip.trim + g));
  Rendered out;
  if (clip.passThrough) {
    out.frame.reset(av_frame_clone(frame.get()));
    if (!out.frame) throw Error("out of memory for a frame");
    return out;
  }
  out.frame = outputs_.Get();
  conformers_[size_t(w)].Convert(*frame, clip.video->format(), clip.place, canvas_, OutputTarget(canvas_),
                                 out.frame->data, out.frame->linesize);
  return out;
}

Rendered EditFrames::TransitionFrame(int w, size_t cut, int r) {
  PluginInstance& inst = Instance(w, cut);
  const World& world = worlds_[size_t(w)];
  const int n = timeline_.cut(cut).frames;
  const int32_t start = int32_t(timeline_.length(cut) - n);  // in the transition's own numbering
  const Rect rect{int16_t(setup_.marginY), int16_t(setup_.marginX), int16_t(setup_.marginY + canvas_.height),
                  int16_t(setup_.marginX + canvas_.width)};
  sources_[size_t(w)]->Use(cut);
  const int result = inst.DoFrame(start, r, n, world.get(), rect, setup_.proxy);
  if (result != kPluginOK) {
    const std::string why = sources_[size_t(w)]->TakeError();
    const std::string which = "frame " + std::to_string(r) + " of the transition";
    // A clip that cannot give a frame is the fault, wherever the frame lies.
    if (!why.empty()) throw Error(why + " (" + transitions_[cut].who + " needed it for " + which + ")");
    throw Error(transitions_[cut].who + " failed on " + which + ": " + ResultName(result));
  }
  Rendered out;
  out.mixes = inst.mixes();
  inst.ClearMixes();
  out.frame = outputs_.Get();
  // The world's pixels are the output's: converted as they are, no fit.
  AVFrame view{};
  view.format = AV_PIX_FMT_RGB32;
  view.width = canvas_.width;
  view.height = canvas_.height;
  view.data[0] = reinterpret_cast<uint8_t*>(world.row(setup_.marginY) + setup_.marginX);
  view.linesize[0] = int(GetPixRowBytes(GetGWorldPixMap(world.get())));
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
  conformers_[size_t(w)].Convert(view, worldFormat, p, whole, OutputTarget(canvas_), out.frame->data,
                                 out.frame->linesize);
  const auto& thumbs = transitions_[cut].thumbs;
  if (std::find(thumbs.begin(), thumbs.end(), r) != thumbs.end()) {
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

Rendered EditFrames::RenderOne(int w, int64_t j) {
  const Timeline::Place p = timeline_.At(j);
  return p.transition ? TransitionFrame(w, p.index, int(p.frame)) : ClipFrame(w, p.index, p.frame);
}

void EditFrames::Submit(int64_t j) {
  if (threads_.empty()) return;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(j);
  }
  wake_.notify_one();
}

Rendered EditFrames::Take(int64_t j) {
  if (threads_.empty()) return RenderOne(0, j);
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return results_.count(j) != 0; });
  auto node = results_.extract(j);
  if (auto* e = std::get_if<std::exception_ptr>(&node.mapped())) std::rethrow_exception(*e);
  return std::move(std::get<Rendered>(node.mapped()));
}

void EditFrames::Run(int w) {
  for (;;) {
    int64_t j;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      j = queue_.front();
      queue_.pop_front();
    }
    std::variant<Rendered, std::exception_ptr> result;
    try {
      result = RenderOne(w, j);
    } catch (...) {
      result = std::current_exception();
    }
    {
      std::lock_guard lock(mutex_);
      results_.emplace(j, std::move(result));
    }
    done_.notify_all();
  }
}

int EditFrames::Terminate(size_t cut) {
  int fade = 0;
  for (auto& inst : instances_[cut]) {
    if (!inst) continue;
    inst->params().frameCount = timeline_.cut(cut).frames;
    inst->Call(kPlugTerminate);
    const ZKPluginClipInfo& ci = inst->clip_info();
    if (inst->clipInfoWasSet() && ci.fadeOut) fade = std::max(fade, int(ci.ver2.fadeOutFrames));
    inst.reset();
  }
  return fade;
}

}  // namespace zk::video
