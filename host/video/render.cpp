#include "render.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <variant>

#include "instance.h"
#include "plugin.h"

namespace zk::video {

std::atomic<bool> gInterrupted{false};

namespace {

using zk::host::AudioMix;
using zk::host::PluginInstance;
using zk::host::World;

std::string Rate(AVRational r) {
  if (r.den == 1) return std::to_string(r.num) + " fps";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d/%d (%.3f) fps", r.num, r.den, av_q2d(r));
  return buf;
}

std::string Size(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

// One swscale set-up, remade only when what it converts changes.
class Converter {
 public:
  struct Key {
    int sw, sh, sf, dw, dh, df, flags, srcSpace, srcFull, dstSpace, dstFull;
    bool operator==(const Key&) const = default;
  };

  void Convert(const Key& key, const uint8_t* const src[], const int srcStride[], uint8_t* const dst[],
               const int dstStride[]) {
    if (!ctx_ || !(key == key_)) {
      ctx_.reset(sws_getContext(key.sw, key.sh, AVPixelFormat(key.sf), key.dw, key.dh,
                                AVPixelFormat(key.df), key.flags, nullptr, nullptr, nullptr));
      if (!ctx_) {
        throw Error("cannot convert " + Size(key.sw, key.sh) + " " +
                    av_get_pix_fmt_name(AVPixelFormat(key.sf)) + " to " + Size(key.dw, key.dh) +
                    " " + av_get_pix_fmt_name(AVPixelFormat(key.df)));
      }
      // The matrices and ranges the streams declare, not swscale's default.
      sws_setColorspaceDetails(ctx_.get(), sws_getCoefficients(key.srcSpace), key.srcFull,
                               sws_getCoefficients(key.dstSpace), key.dstFull, 0, 1 << 16,
                               1 << 16);
      key_ = key;
    }
    sws_scale(ctx_.get(), src, srcStride, 0, key.sh, dst, dstStride);
  }

 private:
  SwsPtr ctx_;
  Key key_{};
};

constexpr int kGoodScaler = SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT;
constexpr int kFastScaler = SWS_FAST_BILINEAR;

struct Clip {
  std::unique_ptr<VideoTrack> video;
  std::unique_ptr<AudioTrack> audio;
  int64_t origin = 0;  // output frame of the clip's frame 0, for the audio timing
  int volume = 256;
};

// The source of GetFrame for one worker: timeline numbers to clip frames,
// converted into the plug-in's world.
class ClipFrames : public zk::host::FrameSource {
 public:
  ClipFrames(std::vector<Clip>* clips, int64_t lengthA) : clips_(clips), lengthA_(lengthA) {}

  // Which clip and frame a timeline number stands for, or false.
  bool Map(int32_t number, size_t* clip, int64_t* k) const {
    if (number < 0) return false;
    if (number < lengthA_) {
      *clip = 0;
      *k = number;
      return true;
    }
    if (clips_->size() < 2 || number - lengthA_ >= (*clips_)[1].video->frames()) return false;
    *clip = 1;
    *k = number - lengthA_;
    return true;
  }

  ZKPluginResult Fetch(int32_t number, ZKRefDVQuality quality, const World& into) override {
    size_t c;
    int64_t k;
    if (!Map(number, &c, &k)) {
      error_ = "frame " + std::to_string(number) + " lies outside the clips";
      return kPluginCantGetNeededFrame;
    }
    try {
      const VideoTrack& track = *(*clips_)[c].video;
      SharedFrame frame = (*clips_)[c].video->Get(k);
      const VideoFormat& f = track.format();
      PixMapHandle pm = GetGWorldPixMap(into.get());
      uint8_t* dst[4] = {reinterpret_cast<uint8_t*>(GetPixBaseAddr(pm)), nullptr, nullptr, nullptr};
      const int dstStride[4] = {int(GetPixRowBytes(pm)), 0, 0, 0};
      const Converter::Key key{f.width, f.height, f.format, into.width(), into.height(),
                               AV_PIX_FMT_RGB32, quality == kDVLowQuality ? kFastScaler : kGoodScaler,
                               f.colour.SwsSpace(f.height), f.colour.Full(f.format), SWS_CS_DEFAULT, 1};
      if (key.dw <= 0 || key.dh <= 0) return kPluginOK;
      converter_.Convert(key, frame->data, frame->linesize, dst, dstStride);
      return kPluginOK;
    } catch (const Error& e) {
      error_ = e.what();
      return kPluginCantGetNeededFrame;
    }
  }

  int16_t VolumeOf(int32_t number) override {
    size_t c;
    int64_t k;
    return Map(number, &c, &k) ? int16_t((*clips_)[c].volume) : 256;
  }

  std::string TakeError() { return std::exchange(error_, {}); }

 private:
  std::vector<Clip>* clips_;
  int64_t lengthA_;
  Converter converter_;
  std::string error_;
};

struct Rendered {
  FramePtr frame;
  std::vector<AudioMix> mixes;
  std::optional<Picture> thumb;
};

// Renders transition frames on a fixed set of threads; results are taken
// in order by the writing thread.
class Pool {
 public:
  using Job = std::function<Rendered(int worker, int r)>;

  Pool(int threads, Job job) : job_(std::move(job)) {
    for (int w = 0; w < threads; ++w) threads_.emplace_back([this, w] { Run(w); });
  }
  ~Pool() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
  }

  void Submit(int r) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(r);
    }
    wake_.notify_one();
  }

  Rendered Take(int r) {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return results_.count(r) != 0; });
    auto node = results_.extract(r);
    if (auto* e = std::get_if<std::exception_ptr>(&node.mapped())) std::rethrow_exception(*e);
    return std::move(std::get<Rendered>(node.mapped()));
  }

 private:
  void Run(int w) {
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
        result = job_(w, r);
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

  Job job_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::deque<int> queue_;
  std::map<int, std::variant<Rendered, std::exception_ptr>> results_;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

Picture Thumbnail(const uint32_t* pixels, intptr_t stride, int width, int height, int tw) {
  Picture p;
  p.width = std::min(tw, width);
  p.height = std::max(1, int(int64_t(height) * p.width / width));
  p.pixels.resize(size_t(p.width) * p.height);
  SwsPtr ctx(sws_getContext(width, height, AV_PIX_FMT_RGB32, p.width, p.height, AV_PIX_FMT_RGB32,
                            SWS_AREA, nullptr, nullptr, nullptr));
  if (!ctx) throw Error("cannot scale a thumbnail");
  const uint8_t* src[4] = {reinterpret_cast<const uint8_t*>(pixels), nullptr, nullptr, nullptr};
  const int srcStride[4] = {int(stride), 0, 0, 0};
  uint8_t* dst[4] = {reinterpret_cast<uint8_t*>(p.pixels.data()), nullptr, nullptr, nullptr};
  const int dstStride[4] = {p.width * 4, 0, 0, 0};
  sws_scale(ctx.get(), src, srcStride, 0, height, dst, dstStride);
  return p;
}

int Gain256(int volume) { return volume == 255 ? 256 : volume; }

}  // namespace

Picture ContactSheet(const std::vector<Picture>& frames, int thumbWidth) {
  constexpr int kGap = 6;
  constexpr uint32_t kBackground = 0xFF202020;
  Picture sheet;
  int height = 0;
  std::vector<Picture> thumbs;
  for (const Picture& f : frames) {
    thumbs.push_back(Thumbnail(f.pixels.data(), intptr_t(f.width) * 4, f.width, f.height, thumbWidth));
    height = std::max(height, thumbs.back().height);
  }
  sheet.width = kGap;
  for (const Picture& t : thumbs) sheet.width += t.width + kGap;
  sheet.height = height + 2 * kGap;
  sheet.pixels.assign(size_t(sheet.width) * sheet.height, kBackground);
  int x = kGap;
  for (const Picture& t : thumbs) {
    for (int y = 0; y < t.height; ++y) {
      std::copy_n(t.pixels.data() + size_t(y) * t.width, t.width,
                  sheet.pixels.data() + size_t(y + kGap) * sheet.width + x);
    }
    x += t.width + kGap;
  }
  return sheet;
}

RenderSummary Render(const RenderOptions& options, const ProgressFn& progress, const WarnFn& warn) {
  const auto started = std::chrono::steady_clock::now();
  auto bundle = zk::host::Bundle::Open(options.bundle);
  const std::string who = bundle->name() + " variant " + std::to_string(options.variant);
  const float speed = options.frames != 0 ? SpeedForFrames(*bundle, options.variant, options.frames)
                                          : options.speed;
  const ZKPluginGetInfo info = Describe(*bundle, options.variant, speed);
  const int type = info.pluginType;
  if (type != kPluginTransitionBetweenType && type != kPluginTransitionAfterType) {
    throw Error(who + " is a " + TypeName(type) +
                ": zkhost renders two-clip and end-of-clip transitions");
  }
  const size_t needClips = type == kPluginTransitionBetweenType ? 2 : 1;
  if (options.clips.size() != needClips) {
    throw Error(who + " is a " + TypeName(type) + ": give " +
                (needClips == 2 ? "two clips" : "one clip") + " (got " +
                std::to_string(options.clips.size()) + ")");
  }
  const int n = info.framesToBeRendered;
  if (n <= 0) throw Error(who + " asks for " + std::to_string(n) + " frames");
  const int jobs = std::clamp(options.jobs, 1, n);

  // ---- The clips -------------------------------------------------------
  std::vector<Clip> clips(needClips);
  const size_t cache = size_t(2 * jobs + 16);
  for (size_t c = 0; c < needClips; ++c) {
    clips[c].video = std::make_unique<VideoTrack>(options.clips[c], cache);
    clips[c].volume = c == 0 ? options.volumeA : options.volumeB;
  }
  const VideoTrack& a = *clips[0].video;
  const int64_t lengthA = a.frames();
  const int64_t before = std::max<int64_t>(info.takeFromClipBefore, n);
  if (lengthA < before) {
    throw Error(a.path() + ": " + std::to_string(lengthA) + " frames is shorter than the " +
                std::to_string(before) + "-frame transition of " + who);
  }
  const int64_t start = lengthA - n;  // the plug-in's startFrame
  int64_t total = lengthA;
  if (needClips == 2) {
    const VideoTrack& b = *clips[1].video;
    const int64_t after = std::max<int64_t>(info.takeFromClipAfter, n);
    if (b.frames() < after) {
      throw Error(b.path() + ": " + std::to_string(b.frames()) + " frames is shorter than the " +
                  std::to_string(after) + "-frame transition of " + who);
    }
    if (av_cmp_q(b.format().rate, a.format().rate) != 0) {
      throw Error(b.path() + ": frame rate " + Rate(b.format().rate) + " does not match " +
                  Rate(a.format().rate) + " of " + a.path());
    }
    if (b.format().width != a.format().width || b.format().height != a.format().height) {
      warn(b.path() + ": size " + Size(b.format().width, b.format().height) + " does not match " +
           Size(a.format().width, a.format().height) + " of " + a.path() + "; scaling it");
    }
    clips[1].origin = start;
    total = lengthA + b.frames() - n;
  }

  // ---- Audio: the first clip's format, silence for a clip without any --
  AudioFormat audioFormat;
  bool anyAudio = false;
  for (const std::string& path : options.clips) {
    if (ProbeAudio(path, &audioFormat)) {
      anyAudio = true;
      break;
    }
  }

  if (!options.preview.empty() && !options.output.overwrite &&
      std::filesystem::exists(options.preview)) {
    throw Error(options.preview + " exists: add -y to overwrite it");
  }
  Writer writer(options.output, a.format(), anyAudio ? &audioFormat : nullptr, total);
  if (writer.hasAudio()) {
    for (Clip& c : clips) c.audio = std::make_unique<AudioTrack>(c.video->path(), audioFormat);
  }
  const int audioChannels = audioFormat.layout.nb_channels;
  av_channel_layout_uninit(&audioFormat.layout);
  const AVRational rate = a.format().rate;
  const int sampleRate = audioFormat.sampleRate;
  // First sample of output frame j.
  auto sampleOf = [&](int64_t j) { return av_rescale(j, int64_t(sampleRate) * rate.den, rate.num); };

  // ---- The plug-in instances, one per thread ---------------------------
  const int width = a.format().width, height = a.format().height;
  const Rect rect{int16_t(options.marginY), int16_t(options.marginX),
                  int16_t(options.marginY + height), int16_t(options.marginX + width)};
  std::vector<std::unique_ptr<ClipFrames>> sources;
  std::vector<std::unique_ptr<PluginInstance>> instances;
  std::vector<World> worlds;
  std::vector<Converter> converters(static_cast<size_t>(jobs));
  for (int w = 0; w < jobs; ++w) {
    sources.push_back(std::make_unique<ClipFrames>(&clips, lengthA));
    auto inst = std::make_unique<PluginInstance>(*bundle, int16_t(options.variant));
    inst->set_speed(speed);
    inst->set_frame_source(sources.back().get());
    inst->clip_info().volume = int16_t(options.volumeA);
    int r = inst->GetInfo();
    if (r == kPluginOK) r = inst->Call(kPlugInitialize);
    if (r != kPluginOK) throw Error(who + " refused to start: " + ResultName(r));
    instances.push_back(std::move(inst));
    worlds.emplace_back(width + 2 * options.marginX, height + 2 * options.marginY);
  }

  // Which transition frames go on the contact sheet.
  std::vector<int> sheetFrames;
  if (!options.preview.empty()) {
    const int count = std::min(n, 8);
    for (int i = 0; i < count; ++i) sheetFrames.push_back(count == 1 ? 0 : i * (n - 1) / (count - 1));
  }
  const AVPixelFormat outFormat = writer.pixelFormat();
  const Colour outColour = writer.colour();
  const int outSpace = outColour.SwsSpace(height);
  const bool outFull = outColour.Full(outFormat);

  Pool pool(jobs, [&](int w, int r) {
    PluginInstance& inst = *instances[size_t(w)];
    const World& world = worlds[size_t(w)];
    const int result = inst.DoFrame(int32_t(start), r, n, world.get(), rect, options.proxy);
    if (result != kPluginOK) {
      const std::string why = sources[size_t(w)]->TakeError();
      throw Error(who + " failed on frame " + std::to_string(r) + " of the transition: " +
                  ResultName(result) + (why.empty() ? "" : ": " + why));
    }
    Rendered out;
    out.mixes = inst.mixes();
    inst.ClearMixes();
    out.frame = NewFrame();
    out.frame->width = width;
    out.frame->height = height;
    out.frame->format = outFormat;
    Check(av_frame_get_buffer(out.frame.get(), 0), "out of memory for a frame");
    const uint32_t* origin = world.row(options.marginY) + options.marginX;
    const intptr_t stride = GetPixRowBytes(GetGWorldPixMap(world.get()));
    const uint8_t* src[4] = {reinterpret_cast<const uint8_t*>(origin), nullptr, nullptr, nullptr};
    const int srcStride[4] = {int(stride), 0, 0, 0};
    converters[size_t(w)].Convert({width, height, AV_PIX_FMT_RGB32, width, height, outFormat,
                                   kGoodScaler, SWS_CS_DEFAULT, 1, outSpace, outFull},
                                  src, srcStride, out.frame->data, out.frame->linesize);
    if (std::find(sheetFrames.begin(), sheetFrames.end(), r) != sheetFrames.end()) {
      Picture p;
      p.width = width;
      p.height = height;
      p.pixels.resize(size_t(width) * height);
      for (int y = 0; y < height; ++y) {
        std::copy_n(world.row(options.marginY + y) + options.marginX, width, &p.pixels[size_t(y) * width]);
      }
      out.thumb = std::move(p);
    }
    return out;
  });

  // ---- Frames in order -------------------------------------------------
  Converter passConverter;
  std::vector<Picture> sheet;
  std::vector<Planes> pending;  // the transition's audio, held until kPlugTerminate
  int64_t submitted = start;
  const int64_t window = 2 * jobs;
  auto slotCount = [&](int64_t j) { return int(sampleOf(j + 1) - sampleOf(j)); };
  auto newPlanes = [&](int count) {
    return Planes(size_t(audioChannels), std::vector<float>(size_t(count), 0.0f));
  };
  // The audio of clip c's frame k: where it lies in the clip's own samples.
  auto clipSamples = [&](const Clip& c, int64_t k, int64_t* first, int* count) {
    const int64_t s0 = sampleOf(c.origin);
    *first = sampleOf(c.origin + k) - s0;
    *count = int(sampleOf(c.origin + k + 1) - sampleOf(c.origin + k));
  };
  auto clamp = [](Planes& p) {
    for (auto& ch : p) {
      for (float& s : ch) s = std::clamp(s, -1.0f, 1.0f);
    }
  };

  for (int64_t j = 0; j < total; ++j) {
    if (gInterrupted.load()) throw Error("interrupted");
    while (submitted < start + n && submitted < j + window) pool.Submit(int(submitted++ - start));

    if (j >= start && j < start + n) {
      const int r = int(j - start);
      Rendered got = pool.Take(r);
      writer.WriteVideo(got.frame.get());
      if (got.thumb) sheet.push_back(std::move(*got.thumb));
      if (writer.hasAudio()) {
        const int count = slotCount(j);
        Planes planes = newPlanes(count);
        for (const AudioMix& m : got.mixes) {
          size_t c;
          int64_t k;
          if (!sources[0]->Map(m.frameNumber, &c, &k)) continue;
          int64_t first;
          int len;
          clipSamples(clips[c], k, &first, &len);
          clips[c].audio->MixInto(first, std::min(len, count), float(Gain256(m.volume)) / 256.0f,
                                  planes, 0);
        }
        clamp(planes);
        pending.push_back(std::move(planes));
      }
      if (j == start + n - 1) {
        // The transition is done: the plug-ins hand back the clip record,
        // which may ask for the clip's sound to fade out.
        int fadeFrames = 0;
        for (auto& inst : instances) {
          inst->params().frameCount = n;
          inst->Call(kPlugTerminate);
          const ZKPluginClipInfo& ci = inst->clip_info();
          if (inst->clipInfoWasSet() && ci.fadeOut) fadeFrames = std::max(fadeFrames, ci.ver2.fadeOutFrames);
        }
        fadeFrames = std::min(fadeFrames, n);
        if (fadeFrames > 0 && writer.hasAudio()) {
          const int64_t end = sampleOf(lengthA), from = sampleOf(lengthA - fadeFrames);
          for (int i = n - fadeFrames; i < n; ++i) {
            const int64_t s0 = sampleOf(start + i);
            for (auto& ch : pending[size_t(i)]) {
              for (size_t s = 0; s < ch.size(); ++s) {
                ch[s] *= float(double(end - (s0 + int64_t(s))) / double(end - from));
              }
            }
          }
        }
        for (Planes& p : pending) writer.WriteAudio(p, int(p.empty() ? 0 : p[0].size()));
        pending.clear();
      }
    } else {
      // A frame outside the transition goes through as decoded.
      const size_t c = j < start ? 0 : 1;
      const int64_t k = j < start ? j : j - start;
      Clip& clip = clips[c];
      SharedFrame frame = clip.video->Get(k);
      const VideoFormat& f = clip.video->format();
      const Colour in = f.colour.Resolved(f.height, f.format);
      if (f.format == outFormat && f.width == width && f.height == height && in.space == outColour.space &&
          in.range == outColour.range) {
        FramePtr copy(av_frame_clone(frame.get()));
        if (!copy) throw Error("out of memory for a frame");
        writer.WriteVideo(copy.get());
      } else {
        FramePtr out = NewFrame();
        out->width = width;
        out->height = height;
        out->format = outFormat;
        Check(av_frame_get_buffer(out.get(), 0), "out of memory for a frame");
        passConverter.Convert({f.width, f.height, f.format, width, height, outFormat, kGoodScaler,
                               f.colour.SwsSpace(f.height), f.colour.Full(f.format), outSpace, outFull},
                              frame->data, frame->linesize, out->data, out->linesize);
        writer.WriteVideo(out.get());
      }
      if (writer.hasAudio()) {
        const int count = slotCount(j);
        Planes planes = newPlanes(count);
        int64_t first;
        int len;
        clipSamples(clip, k, &first, &len);
        clip.audio->MixInto(first, std::min(len, count), float(Gain256(clip.volume)) / 256.0f, planes, 0);
        clamp(planes);
        writer.WriteAudio(planes, count);
      }
    }
    if (progress) progress(j + 1, total);
  }
  writer.Finish();
  if (!options.preview.empty() && !sheet.empty()) {
    const Picture p = ContactSheet(sheet, 240);
    WritePng(options.preview, p.pixels.data(), p.width, p.height, intptr_t(p.width) * 4,
             options.output.overwrite);
  }
  RenderSummary summary;
  summary.frames = total;
  summary.transitionFrames = n;
  summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return summary;
}

}  // namespace zk::video
