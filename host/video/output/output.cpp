#include "output/output.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <functional>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <map>
#include <thread>

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace zk::video {
namespace fs = std::filesystem;
namespace {

// Who writes a temporary file: the process, and the machine, since two
// machines may write beside the same target on a shared file system (a
// segment's job run twice by a scheduler).
std::string Pid() {
  char host[256] = "";
  if (gethostname(host, sizeof host - 1) != 0) host[0] = 0;
  std::string who = host;
  who.erase(std::remove_if(who.begin(), who.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)) && c != '-'; }),
            who.end());
  return (who.empty() ? "" : who.substr(0, 64) + "-") + std::to_string(getpid());
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Image files by extension: the encoder and the pixel format it is written in.
struct ImageKind {
  const char* extension;
  AVCodecID codec;
  AVPixelFormat format;
};
constexpr ImageKind kImages[] = {
    {".png", AV_CODEC_ID_PNG, AV_PIX_FMT_RGB24},     {".jpg", AV_CODEC_ID_MJPEG, AV_PIX_FMT_YUVJ444P},
    {".jpeg", AV_CODEC_ID_MJPEG, AV_PIX_FMT_YUVJ444P}, {".tif", AV_CODEC_ID_TIFF, AV_PIX_FMT_RGB24},
    {".tiff", AV_CODEC_ID_TIFF, AV_PIX_FMT_RGB24},   {".bmp", AV_CODEC_ID_BMP, AV_PIX_FMT_BGR24}};

// The video codecs, by their --codec names, each with the sound that goes
// with it.
struct CodecKind {
  const char* name;
  const char* label;  // in messages
  const char* encoder;
  AVPixelFormat format;  // for 8-bit sources
  AVPixelFormat deep;    // for deeper sources
  int defaultCrf;        // -1: the codec takes no --crf
  int maxCrf;
  bool limitedRange;  // the bitstream has no full-range flag
  const char* audio;  // the sound's encoder
  const char* audioName;
};
constexpr CodecKind kCodecs[] = {
    // H.264 stays 8-bit unless --pix-fmt asks: High 10 plays in few players.
    {"h264", "H.264", "libx264", AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV420P, 18, 51, false, "aac", "AAC"},
    // 20 (H.265) and 24 (VP9) come within about a decibel of x264 at 18,
    // at a smaller and a similar size, on a test picture at the defaults.
    {"h265", "H.265", "libx265", AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV420P10LE, 20, 51, false, "aac", "AAC"},
    {"vp9", "VP9", "libvpx-vp9", AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV420P10LE, 24, 63, false, "libopus", "Opus"},
    // 422 HQ is 10-bit 4:2:2 whatever the source, and editors read it as
    // limited range; they take 24-bit PCM.
    {"prores", "ProRes 422 HQ", "prores_ks", AV_PIX_FMT_YUV422P10LE, AV_PIX_FMT_YUV422P10LE, -1, 0, true,
     "pcm_s24le", "PCM"},
    {"ffv1", "FFV1", "ffv1", AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV420P10LE, -1, 0, false, "flac", "FLAC"},
};

// The containers by extension and the codecs each takes, its default first.
struct ContainerKind {
  const char* extension;
  const char* codecs[4];
};
constexpr ContainerKind kContainers[] = {
    {".mp4", {"h264", "h265"}},
    {".m4v", {"h264", "h265"}},
    {".mov", {"h264", "h265", "prores"}},
    {".mkv", {"h264", "h265", "vp9", "ffv1"}},
    {".webm", {"vp9"}},
};
constexpr const char* kWhatWeWrite =
    "zkhost writes .mp4, .mov, .mkv or .webm video, or numbered images such as frames/%04d.png (.png, .jpg, .tif, "
    ".bmp)";
constexpr const char* kPresets[] = {"ultrafast", "superfast", "veryfast", "faster", "fast",
                                    "medium",    "slow",      "slower",   "veryslow"};

// "a, b or c"
std::string OneOf(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
  }
  return text;
}

std::vector<std::string> CodecsIn(const ContainerKind& c) {
  std::vector<std::string> names;
  for (const char* n : c.codecs) {
    if (n != nullptr) names.push_back(n);
  }
  return names;
}

std::vector<std::string> ContainersOf(const std::string& codec) {
  std::vector<std::string> names;
  for (const ContainerKind& c : kContainers) {
    const auto codecs = CodecsIn(c);
    if (std::find(codecs.begin(), codecs.end(), codec) != codecs.end()) names.push_back(c.extension);
  }
  return names;
}

const CodecKind& FindCodec(const std::string& name) {
  std::vector<std::string> names;
  for (const CodecKind& k : kCodecs) {
    if (name == k.name) return k;
    names.push_back(k.name);
  }
  throw Error("--codec " + name + ": give " + OneOf(names));
}

std::string ExpandPattern(const std::string& pattern, int64_t number) {
  char buf[4096];
  if (av_get_frame_filename2(buf, sizeof buf, pattern.c_str(), int(number), 0) < 0) {
    throw Error(pattern + ": not a frame pattern (use one %d, e.g. frames/%04d.png)");
  }
  return buf;
}

bool IsFramePattern(const std::string& name) {
  char buf[4096];
  return av_get_frame_filename2(buf, sizeof buf, name.c_str(), 1, 0) == 0 && std::string(buf) != name;
}

// Puts a finished file under its name; without overwrite an existing file
// wins and the rename fails (link refuses to replace, atomically).
void Publish(const fs::path& from, const fs::path& to, bool overwrite) {
  if (overwrite) {
    if (std::rename(from.c_str(), to.c_str()) != 0) {
      throw Error("cannot rename " + from.string() + " to " + to.string() + ": " +
                  std::strerror(errno));
    }
    return;
  }
  if (link(from.c_str(), to.c_str()) != 0) {
    const int e = errno;
    if (e == EEXIST) throw Error(to.string() + " exists: add -y to overwrite it");
    // A file system without hard links: check, then rename.
    if (fs::exists(to)) throw Error(to.string() + " exists: add -y to overwrite it");
    if (std::rename(from.c_str(), to.c_str()) != 0) {
      throw Error("cannot rename " + from.string() + " to " + to.string() + ": " +
                  std::strerror(errno));
    }
    return;
  }
  unlink(from.c_str());
}

void RefuseExisting(const fs::path& target, bool overwrite) {
  if (!overwrite && fs::exists(target)) {
    throw Error(target.string() + " exists: add -y to overwrite it");
  }
}

}  // namespace

TempPath::TempPath(const fs::path& target, const std::string& suffix) {
  fs::path dir = target.parent_path();
  // Hidden beside the target, and within the file system's name limit
  // however long the target's name is.
  std::string name = "." + target.filename().string() + ".zkhost-" + Pid() + suffix;
  if (name.size() > 255) name = ".zkhost-" + Pid() + "-" + std::to_string(std::hash<std::string>{}(target.string())) + suffix;
  path_ = dir / name;
}

TempPath::~TempPath() {
  if (committed_) return;
  std::error_code ec;
  fs::remove_all(path_, ec);
}

namespace {

void PlanImages(const OutputOptions& options, const ImageKind& image, OutputPlan* plan) {
  const fs::path target(options.path);
  if (!IsFramePattern(target.filename().string())) {
    std::string stem = target.stem().string();
    stem.erase(std::remove(stem.begin(), stem.end(), '%'), stem.end());
    throw Error(options.path + ": images are numbered: give a pattern with exactly one %d, e.g. " +
                (target.parent_path() / (stem + "%04d" + image.extension)).string());
  }
  if (!options.codec.empty()) {
    throw Error("--codec " + options.codec + " is for video files; images take the format of their extension");
  }
  plan->images = true;
  plan->muxer = av_guess_format("image2", nullptr, nullptr);
  plan->video = avcodec_find_encoder(image.codec);
  plan->format = image.format;
}

// The codec's quality and speed: --crf within its range, --preset one of
// x264's names (which VP9 maps to its own speeds).
void PlanQuality(const OutputOptions& options, const CodecKind& codec, OutputPlan* plan) {
  if (codec.defaultCrf < 0) {
    const char* why = codec.name == std::string("ffv1") ? " is lossless" : " has the one quality of its profile";
    if (options.crf) throw Error(std::string("--crf does not apply to ") + codec.label + ": it" + why);
    if (!options.preset.empty()) throw Error(std::string("--preset does not apply to ") + codec.label);
    return;
  }
  plan->crf = options.crf.value_or(codec.defaultCrf);
  if (plan->crf < 0 || plan->crf > codec.maxCrf) {
    throw Error("--crf " + std::to_string(plan->crf) + " is out of range for " + codec.label + " (0, lossless, to " +
                std::to_string(codec.maxCrf) + ")");
  }
  plan->preset = options.preset.empty() ? "veryfast" : options.preset;
  if (std::find(std::begin(kPresets), std::end(kPresets), plan->preset) == std::end(kPresets)) {
    throw Error("--preset " + plan->preset + ": give " +
                OneOf(std::vector<std::string>(std::begin(kPresets), std::end(kPresets))));
  }
}

// A container by its extension, the codec asked for (or its default) and
// the sound that goes with that codec.
void PlanVideoFile(const OutputOptions& options, const std::string& ext, OutputPlan* plan) {
  const auto container = std::find_if(std::begin(kContainers), std::end(kContainers),
                                      [&](const ContainerKind& c) { return ext == c.extension; });
  if (container == std::end(kContainers)) {
    throw Error(options.path + ": " + (ext.empty() ? "no extension" : "cannot write " + ext) + "; " + kWhatWeWrite);
  }
  const CodecKind& codec = FindCodec(options.codec.empty() ? container->codecs[0] : Lower(options.codec));
  const auto takes = CodecsIn(*container);
  if (std::find(takes.begin(), takes.end(), codec.name) == takes.end()) {
    throw Error(options.path + ": " + ext + " takes " + OneOf(takes) + ", not " + codec.name + " (" + codec.name +
                " goes in " + OneOf(ContainersOf(codec.name)) + ")");
  }
  plan->muxer = av_guess_format(nullptr, ("x" + ext).c_str(), nullptr);
  plan->video = avcodec_find_encoder_by_name(codec.encoder);
  plan->audio = avcodec_find_encoder_by_name(codec.audio);
  if (plan->video == nullptr || plan->audio == nullptr) {
    throw Error(options.path + ": this FFmpeg has no " + (plan->video == nullptr ? codec.encoder : codec.audio) +
                " encoder for " + codec.label);
  }
  plan->audioName = codec.audioName;
  plan->codec = codec.name;
  plan->format = codec.format;
  plan->deep = codec.deep;
  plan->limitedRange = codec.limitedRange;
  PlanQuality(options, codec, plan);
}

// --pix-fmt, when given, is the format whatever the source's depth.
void PlanPixelFormat(const OutputOptions& options, OutputPlan* plan) {
  if (options.pixFmt.empty()) return;
  plan->format = av_get_pix_fmt(options.pixFmt.c_str());
  plan->deep = AV_PIX_FMT_NONE;
  if (plan->format == AV_PIX_FMT_NONE) throw Error("--pix-fmt " + options.pixFmt + ": unknown pixel format");
  bool supported = plan->video->pix_fmts == nullptr;
  std::string names;
  for (const AVPixelFormat* p = plan->video->pix_fmts; p && *p != AV_PIX_FMT_NONE; ++p) {
    supported |= *p == plan->format;
    names += std::string(names.empty() ? "" : ", ") + av_get_pix_fmt_name(*p);
  }
  if (!supported) {
    throw Error("--pix-fmt " + options.pixFmt + " is not supported by " + plan->video->name + " (" + names + ")");
  }
}

bool Matroska(const AVOutputFormat* muxer) {
  const std::string name = muxer->name;
  return name == "matroska" || name == "webm";
}

// The sample format the encoder takes that keeps the most of float sound.
AVSampleFormat SampleFormat(const AVCodec* codec) {
  for (AVSampleFormat want : {AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_FLT, AV_SAMPLE_FMT_S32, AV_SAMPLE_FMT_S16}) {
    for (const AVSampleFormat* f = codec->sample_fmts; f && *f != AV_SAMPLE_FMT_NONE; ++f) {
      if (*f == want) return want;
    }
  }
  throw Error(std::string("the ") + codec->name + " encoder takes none of the sample formats zkhost writes");
}

// VP9's speed (cpu-used, 0 the slowest) for x264's preset names.
int VpxSpeed(const std::string& preset) {
  const auto at = std::find(std::begin(kPresets), std::end(kPresets), preset) - std::begin(kPresets);
  constexpr int kSpeeds[] = {8, 6, 5, 4, 4, 3, 2, 1, 0};
  return kSpeeds[at];
}

// The codec's own options for the plan's quality and speed.
void SetVideoOptions(AVCodecContext* c, const OutputPlan& plan) {
  void* o = c->priv_data;
  const std::string name = c->codec->name;
  const int cores = plan.threads > 0 ? plan.threads : int(std::max(1u, std::thread::hardware_concurrency()));
  if (name == "libx264") {
    av_opt_set(o, "preset", plan.preset.c_str(), 0);
    // crf 0 is lossless only at 8 bits; qp 0 is at every depth.
    if (plan.crf == 0) av_opt_set_int(o, "qp", 0, 0);
    else av_opt_set_double(o, "crf", plan.crf, 0);
    // x264's own choice (1.5 threads a core, each with frames in flight)
    // holds about 800 MB at 4K; a thread a core costs little speed here,
    // and no frames wait between the lookahead and the encoder.
    c->thread_count = cores;
    av_opt_set(o, "x264-params", X264Params(plan.preset, c->width, c->height).c_str(), 0);
  } else if (name == "libx265") {
    av_opt_set(o, "preset", plan.preset.c_str(), 0);
    av_opt_set_double(o, "crf", plan.crf, 0);
    // x265 prints to the terminal itself unless told not to.
    std::string params = av_log_get_level() >= AV_LOG_INFO ? "log-level=info" : "log-level=none";
    if (plan.crf == 0) params += ":lossless=1";
    av_opt_set(o, "x265-params", params.c_str(), 0);
  } else if (name == "libvpx-vp9") {
    c->bit_rate = 0;  // constant quality: crf alone
    av_opt_set_int(o, "crf", plan.crf, 0);
    if (plan.crf == 0) av_opt_set_int(o, "lossless", 1, 0);
    av_opt_set(o, "deadline", "good", 0);
    av_opt_set_int(o, "cpu-used", VpxSpeed(plan.preset), 0);
    av_opt_set_int(o, "row-mt", 1, 0);
    c->thread_count = cores;
  } else if (name == "prores_ks") {
    av_opt_set(o, "profile", "hq", 0);
    av_opt_set(o, "vendor", "apl0", 0);  // what editors expect to find there
  } else if (name == "ffv1") {
    // Version 3: every frame whole, sliced, each slice with a checksum.
    c->level = 3;
    c->gop_size = 1;
    av_opt_set_int(o, "slicecrc", 1, 0);
    c->thread_count = cores;
  }
}

}  // namespace

// No frames wait between x264's lookahead and its encoder.  Above 1080p
// the lookahead's own frames (about 25 MB each at 4K, ten to sixty of them
// by preset) are held to about 128 MB, so that a 4K render stays under a
// gigabyte; mb-tree sees a shorter future there.
std::string X264Params(const std::string& preset, int width, int height) {
  static const std::map<std::string, int> kLookahead = {
      {"ultrafast", 0}, {"superfast", 0}, {"veryfast", 10}, {"faster", 20}, {"fast", 30},
      {"medium", 40},   {"slow", 50},     {"slower", 60},   {"veryslow", 60}, {"placebo", 60}};
  std::string params = "sync-lookahead=0";
  const int64_t pixels = int64_t(width) * height;
  const auto known = kLookahead.find(preset.empty() ? "veryfast" : preset);
  if (pixels > 1920 * 1088 && known != kLookahead.end()) {
    const int cap = int(std::max<int64_t>(4, 128'000'000 / (pixels * 3)));
    if (known->second > cap) params += ":rc-lookahead=" + std::to_string(cap);
  }
  return params;
}

OutputPlan PlanOutput(const OutputOptions& options) {
  OutputPlan plan;
  if (options.path.empty()) throw Error("give the output with -o (e.g. -o out.mp4)");
  const fs::path target(options.path);
  const std::string ext = Lower(target.extension().string());
  const auto image = std::find_if(std::begin(kImages), std::end(kImages),
                                  [&](const ImageKind& k) { return ext == k.extension; });
  if (image != std::end(kImages)) {
    PlanImages(options, *image, &plan);
  } else {
    PlanVideoFile(options, ext, &plan);
  }
  if (plan.muxer == nullptr || plan.video == nullptr) throw Error(options.path + ": no encoder for it in this FFmpeg");
  PlanPixelFormat(options, &plan);
  fs::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  if (!plan.images && !fs::is_directory(dir)) {
    throw Error(options.path + ": the folder " + dir.string() + " does not exist");
  }
  if (fs::is_directory(target)) throw Error(options.path + " is a folder");
  if (!plan.images) RefuseExisting(target, options.overwrite);
  return plan;
}

OutputPlan PlanSegmentOutput(const OutputOptions& options) {
  OutputPlan plan;
  const std::string ext = Lower(fs::path(options.path).extension().string());
  if (std::any_of(std::begin(kImages), std::end(kImages), [&](const ImageKind& k) { return ext == k.extension; })) {
    throw Error(options.path + ": a render in segments writes a video file, not images");
  }
  PlanVideoFile(options, ext, &plan);
  PlanPixelFormat(options, &plan);
  plan.muxer = av_guess_format("matroska", nullptr, nullptr);
  if (plan.muxer == nullptr) throw Error("this FFmpeg has no Matroska muxer for segments");
  return plan;
}

void SoundAsPcm(OutputPlan& plan) {
  plan.audio = avcodec_find_encoder(AV_CODEC_ID_PCM_F32LE);
  plan.audioName = "PCM";
  if (plan.audio == nullptr) throw Error("this FFmpeg has no float PCM encoder for segments' sound");
}

AVPixelFormat OutputPlan::FormatFor(AVPixelFormat source) const {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(source);
  const bool deeper = d != nullptr && d->nb_components > 0 && d->comp[0].depth > 8;
  return deeper && deep != AV_PIX_FMT_NONE ? deep : format;
}

bool OutputPlan::CodesFields() const {
  if (images || video == nullptr) return false;
  const std::string name = video->name;
  return name == "libx264" || name == "prores_ks" || name == "ffv1";
}

Canvas OutputPlan::CanvasFor(const VideoFormat& first, const std::string& name, int forceWidth,
                             int forceHeight) const {
  Canvas canvas = MakeCanvas(first, name, FormatFor(first.format), forceWidth, forceHeight);
  if (limitedRange && canvas.colour.range == AVCOL_RANGE_JPEG) canvas.colour.range = AVCOL_RANGE_MPEG;
  return canvas;
}

int EncoderSampleRate(const OutputPlan& plan, int want) {
  if (plan.audio == nullptr || plan.audio->supported_samplerates == nullptr) return want;
  int best = 0;
  for (const int* r = plan.audio->supported_samplerates; *r != 0; ++r) {
    if (*r == want) return want;
    // The nearest, and of two equally near the higher.
    if (best == 0 || std::abs(*r - want) < std::abs(best - want) ||
        (std::abs(*r - want) == std::abs(best - want) && *r > best)) {
      best = *r;
    }
  }
  return best;
}

Writer::Writer(const OutputOptions& options, const OutputPlan& plan, const Canvas& canvas, AVRational rate,
               const AudioFormat* audio, int64_t expectedFrames, const AVCodecParameters* copied)
    : options_(options), plan_(plan), packet_(NewPacket()) {
  const fs::path target(options.path);
  fs::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  std::error_code ec;
  std::string muxerPath;
  if (plan.images) {
    for (int64_t i = 1; i <= expectedFrames; ++i) {
      targets_.push_back(dir / fs::path(ExpandPattern(target.filename().string(), i)));
      RefuseExisting(targets_.back(), options.overwrite);
    }
    fs::create_directories(dir, ec);
    if (ec) throw Error("cannot create the folder " + dir.string() + ": " + ec.message());
    temp_ = std::make_unique<TempPath>(dir / "frames", ".frames");
    fs::create_directory(temp_->path(), ec);
    if (ec) throw Error("cannot write into " + dir.string() + ": " + ec.message());
    muxerPath = (temp_->path() / target.filename()).string();
  } else {
    targets_.push_back(target);
    temp_ = std::make_unique<TempPath>(target, target.extension().string());
    muxerPath = temp_->path().string();
  }

  AVFormatContext* raw = nullptr;
  Check(avformat_alloc_output_context2(&raw, plan.muxer, nullptr, muxerPath.c_str()),
        options.path + ": cannot set up the muxer");
  muxer_.reset(raw);

  // Video.
  colour_ = canvas.colour;
  frameRate_ = rate;
  if (copied != nullptr) {
    videoStream_ = avformat_new_stream(muxer_.get(), nullptr);
    if (videoStream_ == nullptr) throw Error("out of memory for a stream");
    Check(avcodec_parameters_copy(videoStream_->codecpar, copied), options.path);
    videoStream_->codecpar->codec_tag = 0;
    if (copied->codec_id == AV_CODEC_ID_HEVC && !Matroska(muxer_->oformat)) {
      videoStream_->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
    }
    videoStream_->time_base = av_inv_q(rate);
    videoStream_->avg_frame_rate = rate;
  } else {
    OpenVideo(canvas, rate);
  }
  if (audio != nullptr && !plan.images) OpenAudio(*audio);
  for (const auto& [key, value] : options.tags) av_dict_set(&muxer_->metadata, key.c_str(), value.c_str(), 0);
  if (!(muxer_->oformat->flags & AVFMT_NOFILE)) {
    const int r = avio_open(&muxer_->pb, muxerPath.c_str(), AVIO_FLAG_WRITE);
    if (r < 0) throw Error("cannot write " + options.path + ": " + AvErrorText(r));
  }
  const int r = avformat_write_header(muxer_.get(), nullptr);
  if (r < 0) Fail(r, "cannot start");
}

void Writer::OpenVideo(const Canvas& canvas, AVRational rate) {
  const AVCodec* codec = plan_.video;
  video_.reset(avcodec_alloc_context3(codec));
  if (!video_) throw Error("out of memory for an encoder");
  video_->width = canvas.width;
  video_->height = canvas.height;
  video_->pix_fmt = canvas.format;
  video_->time_base = av_inv_q(rate);
  video_->framerate = rate;
  video_->sample_aspect_ratio = canvas.aspect;
  video_->thread_count = 0;
  colour_ = canvas.colour;
  video_->colorspace = colour_.space;
  // Interlaced footage stays interlaced where the codec can say so:
  // coded as fields, in their order, and tagged.
  interlaced_ = canvas.interlaced && plan_.CodesFields();
  topFirst_ = canvas.topFirst;
  if (interlaced_) {
    video_->field_order = topFirst_ ? AV_FIELD_TT : AV_FIELD_BB;
    video_->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
  }
  video_->color_range = colour_.range;
  video_->color_primaries = colour_.primaries;
  video_->color_trc = colour_.trc;
  if (codec->id == AV_CODEC_ID_MJPEG) video_->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
  if (muxer_->oformat->flags & AVFMT_GLOBALHEADER) video_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  SetVideoOptions(video_.get(), plan_);
  Check(avcodec_open2(video_.get(), codec, nullptr),
        options_.path + ": cannot open the " + codec->name + " encoder for " + av_get_pix_fmt_name(canvas.format));
  videoStream_ = avformat_new_stream(muxer_.get(), nullptr);
  if (videoStream_ == nullptr) throw Error("out of memory for a stream");
  Check(avcodec_parameters_from_context(videoStream_->codecpar, video_.get()), options_.path);
  // Apple's players take H.265 in MP4 and QuickTime only as hvc1.
  if (codec->id == AV_CODEC_ID_HEVC && !plan_.images && !Matroska(muxer_->oformat)) {
    videoStream_->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
  }
  videoStream_->time_base = video_->time_base;
  videoStream_->avg_frame_rate = rate;
}


CodecPtr OpenAudioEncoder(const OutputPlan& plan, const AudioFormat& audio, bool globalHeader,
                          const std::string& output) {
  const AVCodec* codec = plan.audio;
  CodecPtr enc(avcodec_alloc_context3(codec));
  if (!enc) throw Error("out of memory for an encoder");
  enc->sample_fmt = SampleFormat(codec);
  if (enc->sample_fmt == AV_SAMPLE_FMT_S32) enc->bits_per_raw_sample = 24;
  enc->sample_rate = audio.sampleRate;
  av_channel_layout_copy(&enc->ch_layout, &audio.layout);
  enc->bit_rate = 64000 * std::min(audio.channels(), 6);  // for the codecs that lose
  enc->time_base = {1, audio.sampleRate};
  if (globalHeader) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  Check(avcodec_open2(enc.get(), codec, nullptr), output + ": cannot open the " + plan.audioName + " encoder (" +
                                                      codec->name + ") at " + std::to_string(audio.sampleRate) +
                                                      " Hz");
  return enc;
}

void Writer::OpenAudio(const AudioFormat& audio) {
  const AVCodec* codec = plan_.audio;
  audio_ = OpenAudioEncoder(plan_, audio, muxer_->oformat->flags & AVFMT_GLOBALHEADER, options_.path);
  audioStream_ = avformat_new_stream(muxer_.get(), nullptr);
  if (audioStream_ == nullptr) throw Error("out of memory for a stream");
  Check(avcodec_parameters_from_context(audioStream_->codecpar, audio_.get()), options_.path);
  audioStream_->time_base = audio_->time_base;
  // Matroska stores Opus's pre-skip as a codec delay that players take off
  // the sound's times: started that much later, the first real sample
  // plays with the first picture (not 6.5 ms before it, the pictures moved
  // up to make the first packet's negative time zero).
  if (codec->id == AV_CODEC_ID_OPUS && Matroska(muxer_->oformat)) {
    audioPts_ = audio_->initial_padding;
  }
  fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, audio.channels(), 4096));
  audioFrame_ = NewFrame();
  if (!fifo_) throw Error("out of memory for audio");
  if (audio_->sample_fmt != AV_SAMPLE_FMT_FLTP) {
    toEncoder_.reset(swr_alloc());
    encoderFrame_ = NewFrame();
    if (!toEncoder_) throw Error("out of memory for audio");
  }
}


Writer::~Writer() {
  muxer_.reset();  // closes the file before the temporary path goes
}

void Writer::Fail(int code, const std::string& what) {
  throw Error(what + " " + options_.path + ": " + AvErrorText(code));
}

void Writer::Encode(AVCodecContext* codec, AVStream* stream, const AVFrame* frame) {
  int r = avcodec_send_frame(codec, frame);
  if (r < 0) Fail(r, "cannot encode");
  for (;;) {
    r = avcodec_receive_packet(codec, packet_.get());
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
    if (r < 0) Fail(r, "cannot encode");
    av_packet_rescale_ts(packet_.get(), codec->time_base, stream->time_base);
    packet_->stream_index = stream->index;
    r = av_interleaved_write_frame(muxer_.get(), packet_.get());
    if (r < 0) Fail(r, "cannot write");
  }
}

void Writer::WriteVideo(AVFrame* frame) {
  frame->pts = videoPts_++;
  frame->pict_type = AV_PICTURE_TYPE_NONE;
  frame->sample_aspect_ratio = video_->sample_aspect_ratio;
  frame->colorspace = colour_.space;
  frame->color_range = colour_.range;
  frame->interlaced_frame = interlaced_;
  frame->top_field_first = topFirst_;
  Encode(video_.get(), videoStream_, frame);
}

void Writer::WritePacket(AVPacket* packet) {
  av_packet_rescale_ts(packet, av_inv_q(frameRate_), videoStream_->time_base);
  packet->stream_index = videoStream_->index;
  const int r = av_interleaved_write_frame(muxer_.get(), packet);
  if (r < 0) Fail(r, "cannot write");
}

void Writer::WriteAudioPacket(AVPacket* packet) {
  av_packet_rescale_ts(packet, audio_->time_base, audioStream_->time_base);
  packet->stream_index = audioStream_->index;
  const int r = av_interleaved_write_frame(muxer_.get(), packet);
  if (r < 0) Fail(r, "cannot write");
}

void Writer::WriteAudio(const Planes& planes, int count) {
  if (!audio_ || count <= 0) return;
  std::vector<void*> data;
  for (const auto& ch : planes) data.push_back(const_cast<float*>(ch.data()));
  if (av_audio_fifo_write(fifo_.get(), data.data(), count) < count) {
    throw Error("out of memory for audio");
  }
  DrainAudio(false);
}

void Writer::DrainAudio(bool all) {
  const int size = audio_->frame_size > 0 ? audio_->frame_size : 1024;
  // A short last frame is padded with silence where the codec needs whole ones.
  const bool whole = audio_->frame_size > 0 &&
                     !(audio_->codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE));
  while (av_audio_fifo_size(fifo_.get()) >= size || (all && av_audio_fifo_size(fifo_.get()) > 0)) {
    const int n = std::min(size, av_audio_fifo_size(fifo_.get()));
    av_frame_unref(audioFrame_.get());
    audioFrame_->nb_samples = n < size && whole ? size : n;
    audioFrame_->format = AV_SAMPLE_FMT_FLTP;
    audioFrame_->sample_rate = audio_->sample_rate;
    av_channel_layout_copy(&audioFrame_->ch_layout, &audio_->ch_layout);
    Check(av_frame_get_buffer(audioFrame_.get(), 0), "out of memory for audio");
    av_samples_set_silence(audioFrame_->extended_data, 0, audioFrame_->nb_samples,
                           audio_->ch_layout.nb_channels, AV_SAMPLE_FMT_FLTP);
    av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(audioFrame_->extended_data), n);
    audioFrame_->pts = audioPts_;
    audioPts_ += audioFrame_->nb_samples;
    Encode(audio_.get(), audioStream_, ForEncoder(audioFrame_.get()));
  }
}

// The sound in the encoder's own sample format (interleaved, or whole numbers).
const AVFrame* Writer::ForEncoder(const AVFrame* frame) {
  if (!toEncoder_) return frame;
  av_frame_unref(encoderFrame_.get());
  encoderFrame_->format = audio_->sample_fmt;
  encoderFrame_->sample_rate = audio_->sample_rate;
  av_channel_layout_copy(&encoderFrame_->ch_layout, &audio_->ch_layout);
  encoderFrame_->nb_samples = frame->nb_samples;
  Check(av_frame_get_buffer(encoderFrame_.get(), 0), "out of memory for audio");
  Check(swr_convert_frame(toEncoder_.get(), encoderFrame_.get(), frame),
        std::string("cannot convert the sound to ") + av_get_sample_fmt_name(audio_->sample_fmt));
  encoderFrame_->pts = frame->pts;
  return encoderFrame_.get();
}

void Writer::Complete() {
  if (audio_) {
    DrainAudio(true);
    Encode(audio_.get(), audioStream_, nullptr);
  }
  if (video_) Encode(video_.get(), videoStream_, nullptr);
  int r = av_write_trailer(muxer_.get());
  if (r < 0) Fail(r, "cannot complete");
  if (muxer_->pb != nullptr) {
    avio_flush(muxer_->pb);
    if (muxer_->pb->error < 0) Fail(muxer_->pb->error, "cannot write");
    r = avio_closep(&muxer_->pb);
    if (r < 0) Fail(r, "cannot write");
  }
}

void Writer::Commit() {
  if (plan_.images) {
    const std::string name = fs::path(options_.path).filename().string();
    for (size_t i = 0; i < targets_.size(); ++i) {
      const fs::path from = temp_->path() / ExpandPattern(name, int64_t(i) + 1);
      if (!fs::exists(from)) break;
      Publish(from, targets_[i], options_.overwrite);
    }
  } else {
    Publish(temp_->path(), targets_[0], options_.overwrite);
    temp_->Commit();
  }
}

void Writer::Finish() {
  Complete();
  Commit();
}

void PutInPlace(TempPath& temp, const std::string& target, bool overwrite) {
  Publish(temp.path(), target, overwrite);
  temp.Commit();
}

std::unique_ptr<TempPath> WritePngTemp(const std::string& path, const uint32_t* pixels, int width, int height,
                                       intptr_t stride) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (codec == nullptr) throw Error(path + ": no PNG encoder");
  CodecPtr enc(avcodec_alloc_context3(codec));
  if (!enc) throw Error("out of memory for an encoder");
  enc->width = width;
  enc->height = height;
  enc->pix_fmt = AV_PIX_FMT_RGB24;
  enc->time_base = {1, 25};
  Check(avcodec_open2(enc.get(), codec, nullptr), path + ": cannot open the PNG encoder");
  FramePtr frame = NewFrame();
  frame->width = width;
  frame->height = height;
  frame->format = AV_PIX_FMT_RGB24;
  Check(av_frame_get_buffer(frame.get(), 0), "out of memory for a frame");
  for (int y = 0; y < height; ++y) {
    const auto* src = reinterpret_cast<const uint32_t*>(reinterpret_cast<const char*>(pixels) + y * stride);
    uint8_t* dst = frame->data[0] + intptr_t(y) * frame->linesize[0];
    for (int x = 0; x < width; ++x) {
      dst[3 * x] = uint8_t(src[x] >> 16);
      dst[3 * x + 1] = uint8_t(src[x] >> 8);
      dst[3 * x + 2] = uint8_t(src[x]);
    }
  }
  PacketPtr packet = NewPacket();
  Check(avcodec_send_frame(enc.get(), frame.get()), path + ": cannot encode");
  Check(avcodec_send_frame(enc.get(), nullptr), path + ": cannot encode");
  Check(avcodec_receive_packet(enc.get(), packet.get()), path + ": cannot encode");

  auto temp = std::make_unique<TempPath>(fs::path(path), ".png");
  FILE* f = std::fopen(temp->path().c_str(), "wb");
  if (f == nullptr) throw Error("cannot write " + path + ": " + std::strerror(errno));
  const bool wrote = std::fwrite(packet->data, 1, size_t(packet->size), f) == size_t(packet->size);
  const int e = errno;
  if (std::fclose(f) != 0 || !wrote) throw Error("cannot write " + path + ": " + std::strerror(wrote ? errno : e));
  return temp;
}

void WritePng(const std::string& path, const uint32_t* pixels, int width, int height,
              intptr_t stride, bool overwrite) {
  RefuseExisting(path, overwrite);
  auto temp = WritePngTemp(path, pixels, width, height, stride);
  PutInPlace(*temp, path, overwrite);
}

}  // namespace zk::video
