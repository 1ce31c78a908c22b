#include "render.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "instance.h"
#include "plugin.h"

namespace zk::video {

std::atomic<bool> gInterrupted{false};

namespace {

constexpr int kGoodScaler = SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT;

std::string Rate(AVRational r) {
  if (r.den == 1) return std::to_string(r.num) + " fps";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d/%d (%.3f) fps", r.num, r.den, av_q2d(r));
  return buf;
}

std::string Size(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

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

// A contact sheet beside the output: a PNG, never the output itself, in a
// folder that exists; checked before any work.
void CheckPreview(const std::string& preview, const OutputOptions& output) {
  namespace fs = std::filesystem;
  if (preview.empty()) return;
  const fs::path p(preview);
  std::string ext = p.extension().string();
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (ext != ".png") throw Error("--preview " + preview + ": the contact sheet is a .png file");
  std::error_code ec;
  if (fs::weakly_canonical(p, ec) == fs::weakly_canonical(output.path, ec)) {
    throw Error("--preview " + preview + " is the output itself: give the contact sheet another name");
  }
  const fs::path dir = p.parent_path().empty() ? fs::path(".") : p.parent_path();
  if (!fs::is_directory(dir)) throw Error("--preview " + preview + ": the folder " + dir.string() + " does not exist");
  if (!output.overwrite && fs::exists(p)) throw Error(preview + " exists: add -y to overwrite it");
}

// The notices a clip gives when it is conformed to the output.
void Notice(const Clip& c, const Canvas& canvas, AVRational rate, bool first, const WarnFn& warn) {
  const VideoTrack& v = *c.video;
  const VideoFormat& f = v.format();
  if (v.skipped() > 0) {
    warn(v.path() + ": the first " + std::to_string(v.skipped()) +
         " frames do not decode (the stream starts in mid-GOP); the clip starts at the first that does");
  }
  if (f.colour.Hdr()) {
    warn(v.path() + ": HDR video (" + (av_color_transfer_name(f.colour.trc) ?: "?") +
         ") is rendered as SDR, without tone mapping");
  }
  if (av_cmp_q(f.rate, rate) != 0 && !first) {
    warn(v.path() + ": " + Rate(f.rate) + " is retimed to " + Rate(rate));
  }
  const Placement& p = c.place;
  const bool turned = f.rotation == 90 || f.rotation == 270;
  const std::string upright = turned ? Size(f.height, f.width) : Size(f.width, f.height);
  if (!first && (p.dstW != canvas.pictureWidth || p.dstH != canvas.pictureHeight)) {
    warn(v.path() + ": " + upright + " is fitted into " +
         Size(canvas.pictureWidth, canvas.pictureHeight) + " with black bars");
  } else if (!first && (p.srcW != f.width || p.srcH != f.height)) {
    warn(v.path() + ": " + upright + " is cropped to fill " +
         Size(canvas.pictureWidth, canvas.pictureHeight));
  } else if (!first && upright != Size(canvas.pictureWidth, canvas.pictureHeight)) {
    warn(v.path() + ": " + upright + " is scaled to " + Size(canvas.pictureWidth, canvas.pictureHeight));
  }
}

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

// What the plug-in asks for at the asked speed, checked against the clips
// given, and how many threads render it.
struct TransitionPlan {
  std::unique_ptr<zk::host::Bundle> bundle;
  std::string who;
  float speed = 0;
  ZKPluginGetInfo info{};
  bool between = false;
  int frames = 0;
  int jobs = 1;
};

TransitionPlan PlanTransition(const RenderOptions& options, const WarnFn& warn) {
  TransitionPlan t;
  t.bundle = zk::host::Bundle::Open(options.bundle);
  t.who = t.bundle->name() + " variant " + std::to_string(options.variant);
  t.speed = options.frames != 0 ? SpeedForFrames(*t.bundle, options.variant, options.frames) : options.speed;
  t.info = Describe(*t.bundle, options.variant, t.speed);
  const int type = t.info.pluginType;
  if (type != kPluginTransitionBetweenType && type != kPluginTransitionAfterType) {
    throw Error(t.who + " is a " + TypeName(type) + ": zkhost renders two-clip and end-of-clip transitions");
  }
  t.between = type == kPluginTransitionBetweenType;
  if (options.clips.size() != (t.between ? 2u : 1u)) {
    throw Error(t.who + " is a " + TypeName(type) + ": give " + (t.between ? "two clips" : "one clip") + " (got " +
                std::to_string(options.clips.size()) + ")");
  }
  t.frames = t.info.framesToBeRendered;
  if (t.frames <= 0) throw Error(t.who + " asks for " + std::to_string(t.frames) + " frames");
  const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
  t.jobs = std::clamp(options.jobs, 1, t.frames);
  if (t.jobs > cores) {
    warn("-j " + std::to_string(t.jobs) + " is more than the " + std::to_string(cores) +
         " cores here; rendering " + std::to_string(cores) + " frames at once");
    t.jobs = cores;
  }
  return t;
}

// Opens the clips and conforms them to the first (or to --size and --fps):
// each on the output's grid, placed in its picture, long enough.
std::vector<Clip> OpenClips(const RenderOptions& options, const TransitionPlan& t, const OutputPlan& out,
                            Canvas* canvas, AVRational* rate, const WarnFn& warn) {
  std::vector<Clip> clips(options.clips.size());
  for (size_t c = 0; c < clips.size(); ++c) {
    // Frames are asked for at most 2 x jobs apart (the render-ahead window).
    clips[c].video = std::make_unique<VideoTrack>(options.clips[c], size_t(2 * t.jobs + 2));
    clips[c].volume = c == 0 ? options.volumeA : options.volumeB;
  }
  const VideoFormat& first = clips[0].video->format();
  *canvas = out.CanvasFor(first, clips[0].video->path(), options.width, options.height);
  if (canvas->width != canvas->pictureWidth || canvas->height != canvas->pictureHeight) {
    warn(Size(canvas->pictureWidth, canvas->pictureHeight) + " is written as " + Size(canvas->width, canvas->height) +
         ": " + av_get_pix_fmt_name(canvas->format) + " needs whole chroma samples (the edge is repeated)");
  }
  *rate = options.fps.num > 0 ? options.fps : first.rate;
  for (size_t c = 0; c < clips.size(); ++c) {
    Clip& clip = clips[c];
    clip.grid = std::make_unique<ClipGrid>(*clip.video, *rate);
    clip.place = Place(clip.video->format(), *canvas, options.fit);
    clip.passThrough = PassesThrough(clip.video->format(), clip.place, *canvas);
    Notice(clip, *canvas, *rate, c == 0 && options.width == 0, warn);
    const int64_t need = std::max<int64_t>(c == 0 ? t.info.takeFromClipBefore : t.info.takeFromClipAfter, t.frames);
    if (clip.grid->frames() < need) {
      throw Error(clip.video->path() + ": " + std::to_string(clip.grid->frames()) + " frames is shorter than the " +
                  std::to_string(need) + "-frame transition of " + t.who);
    }
  }
  return clips;
}

// The output's sound: the first clip's format that has any, at a rate the
// encoder takes.  False when no clip has sound.
bool PlanSound(const std::vector<std::string>& paths, const OutputPlan& out, AudioFormat* format,
               const WarnFn& warn) {
  const auto found = std::find_if(paths.begin(), paths.end(), [&](const std::string& p) { return ProbeAudio(p, format); });
  if (found == paths.end()) return false;
  const int rate = EncoderSampleRate(out, format->sampleRate);
  if (rate != format->sampleRate) {
    warn("the sound is resampled from " + std::to_string(format->sampleRate) + " to " + std::to_string(rate) +
         " Hz, a rate the " + out.audioName + " encoder takes");
    format->sampleRate = rate;
  }
  return true;
}

RenderSummary Render(const RenderOptions& options, const ProgressFn& progress, const WarnFn& warn) {
  const auto started = std::chrono::steady_clock::now();
  // ---- Set-up: everything checked before anything is made --------------
  const OutputPlan plan = PlanOutput(options.output);
  CheckPreview(options.preview, options.output);
  const TransitionPlan t = PlanTransition(options, warn);
  Canvas canvas;
  AVRational rate;
  std::vector<Clip> clips = OpenClips(options, t, plan, &canvas, &rate, warn);
  std::vector<int64_t> lengths;
  for (const Clip& c : clips) lengths.push_back(c.grid->frames());
  const Timeline timeline(lengths, t.frames, t.between);
  AudioFormat audioFormat;
  const bool sound = PlanSound(options.clips, plan, &audioFormat, warn);
  Writer writer(options.output, plan, canvas, rate, sound ? &audioFormat : nullptr, timeline.frames());
  if (writer.hasAudio()) {
    for (Clip& c : clips) c.audio = std::make_unique<AudioTrack>(c.video->path(), audioFormat, c.video->start());
  }
  const AudioBus bus(audioFormat.sampleRate, writer.hasAudio() ? audioFormat.channels() : 0, rate);
  av_channel_layout_uninit(&audioFormat.layout);

  // ---- Per frame: the transition's, and the clips' own -----------------
  const int n = t.frames;
  TransitionSetup setup{t.bundle.get(), options.variant, t.speed, options.proxy, options.marginX, options.marginY,
                        t.jobs, {}};
  if (!options.preview.empty()) {
    const int count = std::min(n, 8);
    for (int i = 0; i < count; ++i) setup.thumbs.push_back(count == 1 ? 0 : i * (n - 1) / (count - 1));
  }
  TransitionFrames transition(setup, clips, timeline, canvas);
  Conformer conformer(kGoodScaler);
  auto clipFrame = [&](const Timeline::Frame& f) {
    Clip& clip = clips[f.clip];
    SharedFrame frame = clip.video->Get(clip.grid->Source(f.frame));
    if (clip.passThrough) {
      FramePtr copy(av_frame_clone(frame.get()));
      if (!copy) throw Error("out of memory for a frame");
      return copy;
    }
    FramePtr out = NewVideoFrame(canvas.width, canvas.height, canvas.format);
    conformer.Convert(*frame, clip.video->format(), clip.place, canvas, OutputTarget(canvas), out->data,
                      out->linesize);
    return out;
  };

  // ---- Drive: frames in order, the transition rendered ahead -----------
  std::vector<Picture> sheet;
  std::vector<Planes> held;  // the transition's sound, until the plug-ins say how it ends
  const int64_t start = timeline.start();
  int64_t submitted = start;
  const int64_t window = 2 * t.jobs;
  for (int64_t j = 0; j < timeline.frames(); ++j) {
    if (gInterrupted.load()) throw Error("interrupted");
    while (submitted < start + n && submitted < j + window) transition.Submit(int(submitted++ - start));
    Planes slot = bus.Slot(j);
    if (timeline.InTransition(j)) {
      Rendered got = transition.Take(int(j - start));
      writer.WriteVideo(got.frame.get());
      if (got.thumb) sheet.push_back(std::move(*got.thumb));
      for (const zk::host::AudioMix& m : got.mixes) {
        Timeline::Frame f;
        if (!bus.on() || !timeline.Map(m.frameNumber, &f)) continue;
        bus.Mix(*clips[f.clip].audio, timeline.Origin(f.clip), f.frame,
                Gain(m.volume) * Gain(clips[f.clip].volume), slot);
      }
      AudioBus::Clip(slot);
      held.push_back(std::move(slot));
      if (j == start + n - 1) {
        // The plug-ins hand back the clip record, which may ask for the
        // clip's sound to fade out over the transition's last frames.
        const int fade = std::min(transition.Terminate(), n);
        if (fade > 0) bus.FadeOut(held, start, start + n - fade, start + n);
        for (Planes& p : held) writer.WriteAudio(p, int(p.empty() ? 0 : p[0].size()));
        held.clear();
      }
    } else {
      const Timeline::Frame f = timeline.At(j);
      FramePtr frame = clipFrame(f);
      writer.WriteVideo(frame.get());
      if (bus.on()) {
        bus.Mix(*clips[f.clip].audio, timeline.Origin(f.clip), f.frame, Gain(clips[f.clip].volume), slot);
        AudioBus::Clip(slot);
        writer.WriteAudio(slot, int(slot[0].size()));
      }
    }
    if (progress) progress(j + 1, timeline.frames());
  }
  writer.Finish();
  if (!sheet.empty()) {
    const Picture p = ContactSheet(sheet, 240);
    WritePng(options.preview, p.pixels.data(), p.width, p.height, intptr_t(p.width) * 4, options.output.overwrite);
  }
  RenderSummary summary;
  summary.frames = timeline.frames();
  summary.transitionFrames = n;
  summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return summary;
}

}  // namespace zk::video
