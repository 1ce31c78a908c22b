// zkhost: renders the transitions of the plug-in bundles between video files.
#include <iconv.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/parseutils.h>
}

#include "cli/demo.h"
#include "instance.h"
#include "edit/plugin.h"
#include "render/render.h"
#include "render/segments.h"

namespace fs = std::filesystem;
using zk::host::Error;
using namespace zk::video;

namespace {

constexpr const char* kVersion = "0.1.0";

const char* const kMainHelp = R"(usage: zkhost COMMAND [options]

Renders the brightness-keyed transitions of a plug-in bundle between video files.

commands:
  render BUNDLE [options] CLIP [CLIP2] -o OUTPUT
                    render a transition: two clips for a two-clip transition
                    (Cindergate), one for an end-of-clip transition (Ashveil)
  edit [options] CLIP [--then T] CLIP ... -o OUTPUT
  edit [options] EDIT.toml -o OUTPUT
                    an edit of many clips, each trimmed, with a transition
                    or a hard cut at each cut
  segment DIR K     render segment K of an edit planned with edit --plan DIR
  join DIR [-o OUTPUT]
                    copy an edit's rendered segments into its output
  info BUNDLE       what each variant asks of the host at a speed
  placeholder BUNDLE -o FILE.png
                    the bundle's placeholder frame as a PNG
  demo              every variant of both bundles on built-in clips, into demo/

  zkhost COMMAND --help   the options of a command, with their defaults
  zkhost --version        the version

A BUNDLE is a path, or a bare name (Cindergate) looked for in $ZK_PLUGIN_PATH,
in the installed plug-in folder ()" ZK_PLUGIN_RELDIR R"() and beside zkhost.
)";

const char* const kSegmentHelp = R"(usage: zkhost segment DIR K [options]

Renders segment K (0 to N-1) of an edit planned with
  zkhost edit [edit options] -o OUTPUT --plan DIR --segments N
into DIR/segment-K.mkv: the output's video codec at its settings, starting
with a keyframe of its own, and the mixed sound as PCM.  It reads
DIR/plan.toml and the clips at the plan's paths (relative ones from the
folder the plan was made in), and writes only its segment, through a
temporary file: a job run again, or twice at once, leaves one whole segment,
so a scheduler may retry it.  Every job of a plan runs the same zkhost, and
DIR must be where every machine sees it.  zkhost join DIR writes the output.

options:
  -j, --jobs N        frames rendered at once (default 1: a scheduler's slot)
  -q, --quiet         print nothing but errors
  -v, --verbose       also FFmpeg's own messages
)";

const char* const kJoinHelp = R"(usage: zkhost join DIR [options]

Writes the output of the edit planned in DIR from its rendered segments: their
pictures' packets copied as they are, the sound encoded once; with --copy, the
clips' packets copied around the segments' stretches and the sound spliced as
a render does.  Refuses a missing, unfinished or foreign segment (of another
plan or another zkhost), naming it, before it writes anything.

options:
  -o, --output PATH   the output (default: the plan's -o)
  -y, --overwrite     replace an existing output
  -q, --quiet         print nothing but errors
)";

const char* const kRenderHelp = R"(usage: zkhost render BUNDLE [options] CLIP [CLIP2] -o OUTPUT

The output holds the first clip up to the transition, the transition, and for
a two-clip transition the rest of the second clip, with the sound carried
through and mixed as the plug-in asks.

options:
  -o, --output PATH   the result: .mp4, .mov or .mkv (H.264 and AAC by default),
                      .webm (VP9 and Opus), or numbered images from a pattern
                      with one %%d: frames/%%04d.png (also .jpg, .tif, .bmp),
                      numbered from 1
  --codec NAME        the video codec, with the sound that goes with it:
                        h264    H.264 and AAC in .mp4, .mov, .mkv (the default)
                        h265    H.265 and AAC in .mp4, .mov, .mkv
                        vp9     VP9 and Opus in .webm (its default) or .mkv
                        prores  ProRes 422 HQ and 24-bit PCM in .mov, for editors
                        ffv1    FFV1 and FLAC in .mkv, lossless
                      H.265, VP9 and FFV1 keep a 10-bit first clip 10-bit;
                      ProRes is always 10-bit
  --variant N         the plug-in's variant, 1 to 4 (default 1)
  --speed S           the transition's speed, 0.0 (shortest) to 1.0 (longest);
                      the plug-in turns it into a frame count (default 0.5)
  --frames N          the transition's length in frames instead: an even count
                      the plug-in can report, 10 to 120
  -y, --overwrite     replace an existing output (default: refuse)
  -j, --jobs N        threads: frames rendered at once, and the encoder's;
                      -j 1 is one thread in all (default: the cores, %d here)
  -q, --quiet         no progress bar and no summary
  --proxy             a proxy render: fast low-quality frames, no transition audio
  --volume-a V        the first clip's level in the mix, 0 to 512; 256 is its own
                      level (default 256); it holds through the transition
  --volume-b V        the same for the second clip (default 256)
  --fps RATE          the output's frame rate, e.g. 25, 29.97 or 30000/1001
                      (default: the first clip's); every clip is retimed to it;
                      23.976, 29.97 and 59.94 are the NTSC rates (24000/1001 ...)
  --size WxH          the output's picture size (default: the first clip's, upright)
  --fit MODE          how a clip of another shape fills the picture: pad (black
                      bars, the default), crop or stretch
  --rect X,Y          place the output frame at X,Y inside a world that much
                      larger on every side (default 0,0: the world is the frame)
  --crf N             quality, 0 (lossless) to 51 for H.264 (default 18) and
                      H.265 (default 20), to 63 for VP9 (default 24); ProRes
                      and FFV1 take none
  --preset NAME       speed, ultrafast to veryslow (default veryfast), for
                      H.264, H.265 and VP9
  --pix-fmt NAME      output pixel format (default yuv420p, or yuv420p10le for a
                      10-bit first clip, yuv422p10le for ProRes; rgb24 for PNG)
  --preview FILE.png  also write a contact sheet: frames across the transition
  -v, --verbose       show FFmpeg's own messages
)";

const char* const kEditHelp = R"(usage: zkhost edit [options] [CLIP-OPTIONS] CLIP [--then T] [CLIP-OPTIONS] CLIP ... -o OUTPUT
       zkhost edit [options] EDIT.toml -o OUTPUT

Joins clips end to end with a transition at each cut: Cindergate between two
clips, Ashveil at the end of a clip (then the next clip starts), or a hard
cut.  Every clip is conformed to the first (size, rate, colour, sound).

A transition T is "cut", or BUNDLE[:VARIANT[:LENGTH]] with LENGTH in frames
(30) or seconds (1.5s); without a length the plug-in's at --speed:
  Cindergate:3:30   Ashveil:1:1.5s   Cindergate   cut

options:
  -o, --output PATH   the result, as for render
  -t, --transition T  the transition at every cut (default Cindergate:1),
                      over an edit file's own; --then T after a clip sets
                      the one after that clip
  --speed S           the length of transitions given without one (default 0.5)
  --mlt FILE.mlt      also write the edit as an MLT XML project (melt, Shotcut)
  --copy              copy the clips' H.264 and AAC packets where nothing changes
                      them; only the stretches around transitions are encoded again
                      (a full render, with the reason, where copying cannot apply)
  -y, -j, -q, --fps, --size, --fit, --codec, --crf, --preset, --pix-fmt,
  --plan DIR          render nothing: split the edit into segments that
                      machines render apart, write the plan of them into DIR
                      and print the jobs (see zkhost segment --help)
  --segments N        how many segments (default 1); each costs about the same
  --proxy, --preview, --rect, -v   as for render; the contact sheet has a row
                      per cut (frames either side of a hard cut)

clip options (before the clip they belong to):
  --in T              where the clip starts: seconds (2.5) or a timecode (0:02.5)
  --out T             where it ends, in the clip's own time (default: its end)
  --volume V          its level in the mix, 0 to 512 (default 256)

An edit file (TOML) says the same for long edits:
  transition = "Cindergate:3:1s"   # every cut's, unless a clip says otherwise
  [[clip]]
  file = "a.mp4"                   # relative to the edit file
  in = 2.5                         # or "0:02.5"
  out = "0:08"
  transition = "Ashveil:1:20"      # after this clip
  [[clip]]
  file = "b.mov"
  volume = 128
)";

const char* const kInfoHelp = R"(usage: zkhost info BUNDLE [--speed S | --frames N]

For each variant: the kind of transition and the frames it takes from each clip.

options:
  --speed S     the speed to ask at, 0.0 to 1.0 (default 0.5)
  --frames N    find the speed at which each variant reports N frames
)";

const char* const kPlaceholderHelp = R"(usage: zkhost placeholder BUNDLE -o FILE.png [options]

options:
  -o, --output FILE.png   where to write it
  --size WxH              the frame's size (default 1280x720)
  --text TEXT             the host's text for the placeholder (default: the
                          plug-in's own, "In Progress...")
  -y, --overwrite         replace an existing file
)";

const char* const kDemoHelp = R"(usage: zkhost demo [options]

Makes two short clips (moving gradients and shapes, each with a tone) and
renders every variant of Cindergate and Ashveil between them, with a contact
sheet per variant: demo/Cindergate-1.mp4, demo/Cindergate-1.png and so on.
Files of an earlier demo in the folder are replaced.

options:
  --out DIR     the folder (default demo)
  -j, --jobs N  threads per render (default: the number of cores)
  -q, --quiet   print nothing but errors
)";

int Cores() { return std::max(1u, std::thread::hardware_concurrency()); }

// The arguments of one command: options with values, flags, and the rest.
class Args {
 public:
  Args(std::vector<std::string> args, std::map<std::string, std::string> aliases,
       std::vector<std::string> flags, std::vector<std::string> valued)
      : aliases_(std::move(aliases)) {
    for (size_t i = 0; i < args.size(); ++i) {
      std::string a = args[i];
      if (a == "--") {
        for (++i; i < args.size(); ++i) rest_.push_back(args[i]);
        break;
      }
      if (a.size() < 2 || a[0] != '-') {
        rest_.push_back(a);
        items_.push_back({"", a});
        continue;
      }
      std::string value;
      bool hasValue = false;
      if (auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
        value = a.substr(eq + 1);
        a = a.substr(0, eq);
        hasValue = true;
      }
      if (auto it = aliases_.find(a); it != aliases_.end()) a = it->second;
      if (std::find(flags.begin(), flags.end(), a) != flags.end()) {
        if (hasValue) throw Error(a + " takes no value");
        flags_.push_back(a);
        items_.push_back({a, ""});
      } else if (std::find(valued.begin(), valued.end(), a) != valued.end()) {
        if (!hasValue) {
          if (i + 1 >= args.size()) throw Error(a + " needs a value");
          value = args[++i];
        }
        values_[a] = value;
        items_.push_back({a, value});
      } else {
        throw Error("unknown option " + args[i] + " (see --help)");
      }
    }
  }
  bool Flag(const std::string& f) const {
    return std::find(flags_.begin(), flags_.end(), f) != flags_.end();
  }
  std::optional<std::string> Value(const std::string& k) const {
    auto it = values_.find(k);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }
  const std::vector<std::string>& rest() const { return rest_; }
  // Everything in the order given: an option with its value (empty for a
  // flag), or a plain argument with an empty option.
  struct Item {
    std::string option;
    std::string value;
  };
  const std::vector<Item>& items() const { return items_; }

 private:
  std::map<std::string, std::string> aliases_;
  std::vector<std::string> flags_;
  std::map<std::string, std::string> values_;
  std::vector<std::string> rest_;
  std::vector<Item> items_;
};

long Integer(const std::string& option, const std::string& text, long lo, long hi) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != 0 || errno != 0) {
    throw Error(option + " " + text + ": not a whole number");
  }
  if (v < lo || v > hi) {
    throw Error(option + " " + text + " is out of range (" + std::to_string(lo) + " to " +
                std::to_string(hi) + ")");
  }
  return v;
}

float Speed(const std::string& text) {
  char* end = nullptr;
  const float v = std::strtof(text.c_str(), &end);
  if (text.empty() || *end != 0) throw Error("--speed " + text + ": not a number");
  if (!(v >= 0.0f && v <= 1.0f)) throw Error("--speed " + text + " is out of range (0.0 to 1.0)");
  return v;
}

// "25", "29.97" or "30000/1001"; common decimal rates become their exact fractions.
AVRational FrameRate(const std::string& text) {
  AVRational r{0, 1};
  if (av_parse_video_rate(&r, text.c_str()) < 0 || r.num <= 0 || r.den <= 0 || av_q2d(r) > 1000) {
    throw Error("--fps " + text + ": give a rate such as 25, 29.97 or 30000/1001");
  }
  // 23.976, 29.97, 59.94 and the like are written for the NTSC rates.
  for (int n : {24, 30, 48, 60, 120}) {
    if (r.den != 1001 && std::abs(av_q2d(r) - n * 1000.0 / 1001) < 0.005) return AVRational{n * 1000, 1001};
  }
  return r;
}

// "WxH" within limits.
void SizeOption(const std::string& text, int* w, int* h, int lo, int hi) {
  const size_t x = text.find('x');
  if (x == std::string::npos) throw Error("--size " + text + ": give WxH (e.g. 1280x720)");
  *w = int(Integer("--size", text.substr(0, x), lo, hi));
  *h = int(Integer("--size", text.substr(x + 1), lo, hi));
}

// --rect X,Y.
void Margins(const std::string& text, int* x, int* y) {
  const size_t comma = text.find(',');
  if (comma == std::string::npos) throw Error("--rect " + text + ": give X,Y (e.g. --rect 16,8)");
  *x = int(Integer("--rect", text.substr(0, comma), 0, 4096));
  *y = int(Integer("--rect", text.substr(comma + 1), 0, 4096));
}

// The placeholder's text in the plug-in's 8-bit character set (Mac Roman):
// a character it lacks becomes '?'.  Returns how many were replaced.
int ToMacRoman(const std::string& utf8, std::string* out) {
  iconv_t cd = iconv_open("MACINTOSH", "UTF-8");
  if (cd == iconv_t(-1)) throw Error("cannot convert text to Mac Roman: " + std::string(std::strerror(errno)));
  int replaced = 0;
  out->clear();
  char* in = const_cast<char*>(utf8.data());
  size_t left = utf8.size();
  while (left > 0) {
    char buf[256];
    char* o = buf;
    size_t room = sizeof buf;
    const size_t r = iconv(cd, &in, &left, &o, &room);
    out->append(buf, size_t(o - buf));
    if (r == size_t(-1) && errno != E2BIG) {
      // Skip one whole UTF-8 sequence (or one stray byte).
      const unsigned char lead = static_cast<unsigned char>(*in);
      size_t len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      len = std::min(len, left);
      in += len;
      left -= len;
      out->push_back('?');
      ++replaced;
    }
  }
  iconv_close(cd);
  return replaced;
}

// The progress bar: redrawn at most ten times a second on a terminal.
class ProgressBar {
 public:
  explicit ProgressBar(bool on) : on_(on && isatty(2)), start_(Clock::now()) {}
  void operator()(int64_t done, int64_t total) {
    if (!on_) return;
    const auto now = Clock::now();
    if (done < total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const double secs = std::chrono::duration<double>(now - start_).count();
    const double fps = secs > 0 ? double(done) / secs : 0;
    constexpr int kWidth = 30;
    const int filled = int(kWidth * done / std::max<int64_t>(total, 1));
    std::string bar(size_t(filled), '#');
    bar.resize(kWidth, '.');
    char line[160];
    if (fps > 0) {
      std::snprintf(line, sizeof line, "\r[%s] %lld/%lld frames  %.1f fps  %.0f s left ", bar.c_str(),
                    (long long)done, (long long)total, fps, double(total - done) / fps);
    } else {
      std::snprintf(line, sizeof line, "\r[%s] %lld/%lld frames ", bar.c_str(), (long long)done,
                    (long long)total);
    }
    std::fputs(line, stderr);
    shown_ = true;
  }
  void Clear() {
    if (shown_) std::fputs("\r\033[K", stderr);
    shown_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  bool on_;
  bool shown_ = false;
  Clock::time_point start_, last_{};
};

void Warn(const std::string& text) { std::fprintf(stderr, "zkhost: warning: %s\n", text.c_str()); }

// Runs a render under a progress bar that notices and errors clear first.
// Failures are reported in our own words; FFmpeg's are there with -v.
RenderSummary WithProgress(bool quiet, bool verbose,
                           const std::function<RenderSummary(const ProgressFn&, const WarnFn&)>& run) {
  av_log_set_level(verbose ? AV_LOG_INFO : AV_LOG_QUIET);
  ProgressBar bar(!quiet);
  try {
    const RenderSummary s = run(std::ref(bar), [&](const std::string& w) {
      bar.Clear();
      Warn(w);
    });
    bar.Clear();
    return s;
  } catch (...) {
    bar.Clear();
    throw;
  }
}

int Variant(const Args& args) {
  return int(Integer("--variant", args.Value("--variant").value_or("1"), 1, 4));
}

int RenderCommand(const std::vector<std::string>& argv) {
  Args args(argv, {{"-o", "--output"}, {"-y", "--overwrite"}, {"-j", "--jobs"}, {"-q", "--quiet"},
                   {"-v", "--verbose"}, {"-h", "--help"}},
            {"--overwrite", "--quiet", "--proxy", "--verbose", "--help"},
            {"--output", "--variant", "--speed", "--frames", "--jobs", "--volume-a", "--volume-b",
             "--rect", "--codec", "--crf", "--preset", "--pix-fmt", "--preview", "--fps", "--size", "--fit"});
  if (args.Flag("--help")) {
    std::printf(kRenderHelp, Cores());
    return 0;
  }
  if (args.rest().empty()) throw Error("render: give a bundle and the clips (see zkhost render --help)");
  RenderOptions o;
  o.bundle = FindBundle(args.rest()[0]);
  o.clips.assign(args.rest().begin() + 1, args.rest().end());
  if (o.clips.empty()) throw Error("render: give the clip or clips to render");
  o.output.path = args.Value("--output").value_or("");
  if (o.output.path.empty()) throw Error("render: give the output with -o (e.g. -o out.mp4)");
  o.variant = Variant(args);
  if (auto s = args.Value("--speed")) o.speed = Speed(*s);
  if (auto f = args.Value("--frames")) {
    if (args.Value("--speed")) throw Error("give --speed or --frames, not both");
    o.frames = int(Integer("--frames", *f, 1, 100000));
  }
  o.output.overwrite = args.Flag("--overwrite");
  o.jobs = int(Integer("--jobs", args.Value("--jobs").value_or(std::to_string(Cores())), 1, 256));
  o.proxy = args.Flag("--proxy");
  o.volumeA = int(Integer("--volume-a", args.Value("--volume-a").value_or("256"), 0, 512));
  o.volumeB = int(Integer("--volume-b", args.Value("--volume-b").value_or("256"), 0, 512));
  if (auto r = args.Value("--rect")) Margins(*r, &o.marginX, &o.marginY);
  o.output.codec = args.Value("--codec").value_or("");
  // Each codec's own range is checked with the output.
  if (auto c = args.Value("--crf")) o.output.crf = int(Integer("--crf", *c, 0, 63));
  o.output.preset = args.Value("--preset").value_or("");
  o.output.pixFmt = args.Value("--pix-fmt").value_or("");
  o.preview = args.Value("--preview").value_or("");
  if (auto f = args.Value("--fps")) o.fps = FrameRate(*f);
  if (auto z = args.Value("--size")) SizeOption(*z, &o.width, &o.height, 2, zk::video::kMaxSide);
  if (auto f = args.Value("--fit"); f && !ParseFit(*f, &o.fit)) {
    throw Error("--fit " + *f + ": give pad, crop or stretch");
  }
  const bool quiet = args.Flag("--quiet");
  const RenderSummary s = WithProgress(quiet, args.Flag("--verbose"), [&](const ProgressFn& p, const WarnFn& w) {
    return Render(o, p, w);
  });
  if (!quiet) {
    std::fprintf(stderr, "%s: %s (%d in the transition) in %.1f s, %.1f fps\n",
                 o.output.path.c_str(), Count(s.frames, "frame").c_str(), s.transitionFrames, s.seconds,
                 s.seconds > 0 ? double(s.frames) / s.seconds : 0.0);
  }
  return 0;
}

// The clips as the command line gives them, in order.
struct GivenClips {
  std::vector<EditClip> clips;
  std::vector<std::pair<size_t, std::string>> thens;  // clip, the transition after it
  std::string clipOption;  // the first clip option given, for an edit file's refusal
};

// zkhost edit ... --plan DIR: the plan, and the jobs that carry it out on
// standard output, one a line.
int PlanSegments(const EditOptions& o, const std::string& dir, const std::string& count, bool quiet) {
  if (!o.preview.empty() || !o.mlt.empty()) {
    throw Error(std::string(o.preview.empty() ? "--mlt" : "--preview") +
                " needs the whole render in one process: make it with zkhost edit without --plan");
  }
  av_log_set_level(AV_LOG_QUIET);
  const int n = int(Integer("--segments", count, 1, 100000));
  const SegmentPlan p = MakePlan(o, dir, n, kVersion, Warn);
  if (!quiet) {
    std::fprintf(stderr, "%s/plan.toml: %s, %s in %s\n", dir.c_str(), Count(p.layout.frames, "frame").c_str(),
                 Count(int64_t(o.edit.clips.size()), "clip").c_str(), Count(int64_t(p.segments.size()), "segment").c_str());
  }
  // The jobs run elsewhere, in other folders: they name the plan's whole path.
  const std::string where = fs::absolute(dir).lexically_normal().string();
  for (size_t k = 0; k < p.segments.size(); ++k) std::printf("zkhost segment %s %zu\n", where.c_str(), k);
  std::printf("zkhost join %s\n", where.c_str());
  return 0;
}

int SegmentCommand(const std::vector<std::string>& argv) {
  const Args args(argv, {{"-j", "--jobs"}, {"-q", "--quiet"}, {"-v", "--verbose"}, {"-h", "--help"}},
                  {"--quiet", "--verbose", "--help"}, {"--jobs"});
  if (args.Flag("--help")) {
    std::fputs(kSegmentHelp, stdout);
    return 0;
  }
  if (args.rest().size() != 2) throw Error("segment: give the plan's folder and the segment's number (see zkhost segment --help)");
  const std::string& dir = args.rest()[0];
  const int k = int(Integer("segment", args.rest()[1], 0, 1 << 30));
  const int jobs = int(Integer("--jobs", args.Value("--jobs").value_or("1"), 1, 256));
  const bool quiet = args.Flag("--quiet");
  const RenderSummary s = WithProgress(quiet, args.Flag("--verbose"), [&](const ProgressFn& p, const WarnFn& w) {
    return RenderPlannedSegment(dir, k, jobs, kVersion, p, w);
  });
  if (!quiet) {
    std::fprintf(stderr, "%s: %s (%s in transitions) in %.1f s, %.1f fps\n", SegmentPath(dir, size_t(k)).c_str(),
                 Count(s.frames, "frame").c_str(), Count(s.transitionFrames, "frame").c_str(), s.seconds,
                 s.seconds > 0 ? double(s.frames) / s.seconds : 0.0);
  }
  return 0;
}

int JoinCommand(const std::vector<std::string>& argv) {
  const Args args(argv, {{"-o", "--output"}, {"-y", "--overwrite"}, {"-q", "--quiet"}, {"-h", "--help"}},
                  {"--overwrite", "--quiet", "--help"}, {"--output"});
  if (args.Flag("--help")) {
    std::fputs(kJoinHelp, stdout);
    return 0;
  }
  if (args.rest().size() != 1) throw Error("join: give the plan's folder (see zkhost join --help)");
  av_log_set_level(AV_LOG_QUIET);
  OutputOptions out;
  out.path = args.Value("--output").value_or("");
  out.overwrite = args.Flag("--overwrite");
  const JoinSummary s = JoinSegments(args.rest()[0], out, kVersion, Warn);
  if (!args.Flag("--quiet")) {
    std::fprintf(stderr, "%s: %s from %s in %.1f s\n", s.output.c_str(), Count(s.frames, "frame").c_str(),
                 Count(int64_t(s.segments), "segment").c_str(), s.seconds);
  }
  return 0;
}

// The edit command's arguments in order: options for the whole edit
// anywhere, clip options before their clip, --then after it.
GivenClips ReadClips(const Args& args) {
  GivenClips given;
  EditClip next;
  bool nextHasOptions = false;
  auto clipOption = [&](const std::string& a, const std::string& value) {
    nextHasOptions = true;
    if (given.clipOption.empty()) given.clipOption = a + " " + value;
  };
  for (const Args::Item& item : args.items()) {
    const std::string& a = item.option;
    const std::string& value = item.value;
    if (a.empty()) {
      next.path = value;
      next.where = "clip " + std::to_string(given.clips.size() + 1) + " (" + value + ")";
      given.clips.push_back(next);
      next = EditClip{};
      nextHasOptions = false;
    } else if (a == "--in") {
      next.in = ParseTime(value, "--in");
      clipOption(a, value);
    } else if (a == "--out") {
      next.out = ParseTime(value, "--out");
      clipOption(a, value);
    } else if (a == "--volume") {
      next.volume = int(Integer("--volume", value, 0, 512));
      clipOption(a, value);
    } else if (a == "--then") {
      if (given.clips.empty()) throw Error("--then " + value + " comes after the clip it follows");
      given.thens.emplace_back(given.clips.size() - 1, value);
    }
  }
  if (nextHasOptions) throw Error("--in, --out and --volume go before the clip they belong to");
  return given;
}

// The edit: an edit file's, or the clips given with -t's transition at
// every cut and --then's after a clip.
Edit ReadEdit(const Args& args, GivenClips given) {
  CutSpec fallback = ParseCut(args.Value("--transition").value_or("Cindergate:1"));
  if (auto sp = args.Value("--speed")) fallback.speed = Speed(*sp);
  if (given.clips.size() == 1 && fs::path(given.clips[0].path).extension() == ".toml") {
    if (!given.thens.empty()) throw Error("an edit file says its own transitions: --then has no clip to follow");
    if (!given.clipOption.empty()) {
      throw Error("an edit file says its own clips' in, out and volume: " + given.clipOption +
                  " has no clip to go with");
    }
    Edit edit = ReadEditFile(given.clips[0].path, fallback, args.Value("--transition").has_value());
    for (const std::string& n : edit.notices) Warn(n);
    return edit;
  }
  if (given.clips.empty()) throw Error("edit: give the clips, or an edit file (see zkhost edit --help)");
  Edit edit;
  edit.clips = std::move(given.clips);
  for (size_t c = 0; c < edit.clips.size(); ++c) {
    if (edit.clips[c].out >= 0 && edit.clips[c].out <= edit.clips[c].in) {
      throw Error(edit.clips[c].where + ": --out must come after --in");
    }
    edit.cuts.push_back(fallback);
    edit.cuts.back().fromDefault = true;
  }
  for (const auto& [c, text] : given.thens) {
    edit.cuts[c] = ParseCut(text);
    if (!edit.cuts[c].hard() && args.Value("--speed")) edit.cuts[c].speed = fallback.speed;
    edit.cuts[c].where = edit.clips[c].where;
  }
  return edit;
}

// zkhost edit's options.  The clip options, --then, -t and --speed make
// the edit (ReadClips, ReadEdit); the rest are read in ReadEditSettings.
const std::map<std::string, std::string> kEditAliases = {
    {"-o", "--output"}, {"-y", "--overwrite"}, {"-j", "--jobs"}, {"-q", "--quiet"},
    {"-v", "--verbose"}, {"-h", "--help"}, {"-t", "--transition"}};
const std::vector<std::string> kEditFlags = {"--overwrite", "--quiet", "--proxy", "--verbose", "--help", "--copy"};
const std::vector<std::string> kEditValued = {
    "--output", "--transition", "--speed", "--mlt", "--jobs", "--fps", "--size", "--fit", "--codec",
    "--crf", "--preset", "--pix-fmt", "--preview", "--rect", "--in", "--out", "--volume", "--then",
    "--plan", "--segments"};

// The settings of the whole edit: its output, its frames, and what else
// is written beside it.
void ReadEditSettings(const Args& args, EditOptions& o) {
  auto value = [&](const std::string& k) { return args.Value(k); };
  auto flag = [&](const std::string& f) { return args.Flag(f); };
  o.output.path = value("--output").value_or("");
  if (o.output.path.empty()) throw Error("edit: give the output with -o (e.g. -o out.mp4)");
  o.output.overwrite = flag("--overwrite");
  o.output.codec = value("--codec").value_or("");
  // Each codec's own range is checked with the output.
  if (auto c = value("--crf")) o.output.crf = int(Integer("--crf", *c, 0, 63));
  o.output.preset = value("--preset").value_or("");
  o.output.pixFmt = value("--pix-fmt").value_or("");
  o.jobs = int(Integer("--jobs", value("--jobs").value_or(std::to_string(Cores())), 1, 256));
  o.proxy = flag("--proxy");
  if (auto f = value("--fps")) o.fps = FrameRate(*f);
  if (auto z = value("--size")) SizeOption(*z, &o.width, &o.height, 2, zk::video::kMaxSide);
  if (auto f = value("--fit"); f && !ParseFit(*f, &o.fit)) throw Error("--fit " + *f + ": give pad, crop or stretch");
  if (auto r = value("--rect")) Margins(*r, &o.marginX, &o.marginY);
  o.preview = value("--preview").value_or("");
  o.mlt = value("--mlt").value_or("");
  o.copy = flag("--copy");
}

int EditCommand(const std::vector<std::string>& argv) {
  const Args args(argv, kEditAliases, kEditFlags, kEditValued);
  if (args.Flag("--help")) {
    std::fputs(kEditHelp, stdout);
    return 0;
  }
  EditOptions o;
  o.edit = ReadEdit(args, ReadClips(args));
  ReadEditSettings(args, o);
  const bool quiet = args.Flag("--quiet");
  if (auto dir = args.Value("--plan")) return PlanSegments(o, *dir, args.Value("--segments").value_or("1"), quiet);
  if (auto n = args.Value("--segments")) throw Error("--segments " + *n + " goes with --plan DIR");
  const RenderSummary s = WithProgress(quiet, args.Flag("--verbose"), [&](const ProgressFn& p, const WarnFn& w) {
    return RenderEdit(o, p, w);
  });
  if (!quiet) {
    std::fprintf(stderr, "%s: %s, %s, %s (%s) in %.1f s, %.1f fps\n", o.output.path.c_str(),
                 Count(s.frames, "frame").c_str(), Count(int64_t(o.edit.clips.size()), "clip").c_str(),
                 Count(s.transitions, "transition").c_str(), Count(s.transitionFrames, "frame").c_str(), s.seconds,
                 s.seconds > 0 ? double(s.frames) / s.seconds : 0.0);
  }
  return 0;
}

int InfoCommand(const std::vector<std::string>& argv) {
  Args args(argv, {{"-h", "--help"}}, {"--help"}, {"--speed", "--frames"});
  if (args.Flag("--help")) {
    std::fputs(kInfoHelp, stdout);
    return 0;
  }
  if (args.rest().size() != 1) throw Error("info: give one bundle (see zkhost info --help)");
  auto bundle = zk::host::Bundle::Open(FindBundle(args.rest()[0]));
  float speed = args.Value("--speed") ? Speed(*args.Value("--speed")) : 0.5f;
  std::optional<int> frames;
  if (auto f = args.Value("--frames")) frames = int(Integer("--frames", *f, 1, 100000));
  std::printf("%s (%s)\n", bundle->name().c_str(), bundle->path().c_str());
  for (int v = 1; v <= 4; ++v) {
    if (frames) speed = SpeedForFrames(*bundle, v, *frames);
    const ZKPluginGetInfo i = Describe(*bundle, v, speed);
    std::printf("  variant %d at speed %.3f: %s of %d frames, takes %d from the clip before and "
                "%d from the clip after (%d to %d frames)\n",
                v, double(speed), TypeName(i.pluginType).c_str(), i.framesToBeRendered,
                i.takeFromClipBefore, i.takeFromClipAfter, i.minSpeedFrames, i.maxSpeedFrames);
  }
  return 0;
}

int PlaceholderCommand(const std::vector<std::string>& argv) {
  Args args(argv, {{"-o", "--output"}, {"-y", "--overwrite"}, {"-h", "--help"}},
            {"--overwrite", "--help"}, {"--output", "--size", "--text"});
  if (args.Flag("--help")) {
    std::fputs(kPlaceholderHelp, stdout);
    return 0;
  }
  if (args.rest().size() != 1) throw Error("placeholder: give one bundle (see zkhost placeholder --help)");
  const std::string out = args.Value("--output").value_or("");
  if (out.empty()) throw Error("placeholder: give the output with -o (e.g. -o placeholder.png)");
  int w = 0, h = 0;
  SizeOption(args.Value("--size").value_or("1280x720"), &w, &h, 16, 8192);
  auto bundle = zk::host::Bundle::Open(FindBundle(args.rest()[0]));
  zk::host::PluginInstance instance(*bundle, 1);
  if (auto t = args.Value("--text")) {
    std::string text;
    if (const int lost = ToMacRoman(*t, &text); lost > 0) {
      Warn(std::to_string(lost) + " character" + (lost == 1 ? "" : "s") +
           " of the text cannot be drawn in the plug-in's character set (Mac Roman) and show as '?'");
    }
    if (text.size() > 255) {
      Warn("the text is cut to 255 bytes, the longest the plug-in takes");
      text.resize(255);
    }
    instance.set_localized_string(text);
  }
  zk::host::World world(w, h);
  instance.params().frame = world.get();
  instance.params().frameRect = world.bounds();
  const int r = instance.Call(kPlugFilePlaceHolder);
  // The placeholder leaves its world current; it must not stay so once freed.
  SetGWorld(nullptr, nullptr);
  if (r != kPluginOK) throw Error(bundle->name() + " refused the placeholder: " + ResultName(r));
  WritePng(out, world.row(0), w, h, GetPixRowBytes(GetGWorldPixMap(world.get())),
           args.Flag("--overwrite"));
  return 0;
}

int DemoCommand(const std::vector<std::string>& argv) {
  Args args(argv, {{"-j", "--jobs"}, {"-q", "--quiet"}, {"-h", "--help"}}, {"--quiet", "--help"},
            {"--out", "--jobs"});
  if (args.Flag("--help")) {
    std::fputs(kDemoHelp, stdout);
    return 0;
  }
  if (!args.rest().empty()) throw Error("demo: unexpected argument " + args.rest()[0]);
  const bool quiet = args.Flag("--quiet");
  av_log_set_level(AV_LOG_QUIET);
  const fs::path dir = args.Value("--out").value_or("demo");
  const int jobs = int(Integer("--jobs", args.Value("--jobs").value_or(std::to_string(Cores())), 1, 256));
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw Error("cannot create the folder " + dir.string() + ": " + ec.message());
  // Find both bundles before any work.
  const std::string bundles[2] = {FindBundle("Cindergate"), FindBundle("Ashveil")};
  const std::string clipA = (dir / "clip-a.mp4").string(), clipB = (dir / "clip-b.mp4").string();
  if (!quiet) std::printf("making the clips %s and %s\n", clipA.c_str(), clipB.c_str());
  MakeDemoClip(clipA, 0, 640, 360, 25, 4.0);
  MakeDemoClip(clipB, 1, 640, 360, 25, 4.0);
  const auto started = std::chrono::steady_clock::now();
  int64_t frames = 0;
  for (const std::string& path : bundles) {
    const std::string name = fs::path(path).stem().string();
    for (int v = 1; v <= 4; ++v) {
      RenderOptions o;
      o.bundle = path;
      o.variant = v;
      o.jobs = jobs;
      o.clips = {clipA};
      o.output.overwrite = true;
      const std::string base = (dir / (name + "-" + std::to_string(v))).string();
      o.output.path = base + ".mp4";
      o.preview = base + ".png";
      auto bundle = zk::host::Bundle::Open(path);
      if (Describe(*bundle, v, o.speed).pluginType == kPluginTransitionBetweenType) {
        o.clips.push_back(clipB);
      }
      ProgressBar bar(!quiet);
      const RenderSummary s = Render(o, std::ref(bar), Warn);
      bar.Clear();
      frames += s.frames;
      if (!quiet) {
        std::printf("%-26s %s variant %d: %lld frames, %d in the transition, sheet %s.png\n",
                    o.output.path.c_str(), name.c_str(), v, (long long)s.frames,
                    s.transitionFrames, base.c_str());
      }
    }
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!quiet) {
    std::printf("8 renders, %lld frames in %.1f s (%.1f fps); play them with any player, e.g.\n"
                "  ffplay %s\n",
                (long long)frames, secs, secs > 0 ? double(frames) / secs : 0.0,
                (dir / "Cindergate-1.mp4").c_str());
  }
  return 0;
}

volatile std::sig_atomic_t gSignal = 0;

void OnSignal(int s) {
  gSignal = s;
  gInterrupted = true;
  // A second one ends the program the usual way.
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGHUP, SIG_DFL);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(kMainHelp, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  if (args[0] == "--version") {
    std::printf("zkhost %s (libavcodec %s, libavformat %s)\n", kVersion, AV_STRINGIFY(LIBAVCODEC_VERSION),
                AV_STRINGIFY(LIBAVFORMAT_VERSION));
    return 0;
  }
  // A render stopped by Ctrl-C, kill or a closed terminal removes what it
  // wrote and exits as the signal would (128 + its number).
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGHUP, OnSignal);
  const std::string command = args[0];
  args.erase(args.begin());
  static const std::map<std::string, std::function<int(const std::vector<std::string>&)>> kCommands = {
      {"render", RenderCommand}, {"edit", EditCommand}, {"info", InfoCommand}, {"placeholder", PlaceholderCommand},
      {"demo", DemoCommand}, {"segment", SegmentCommand}, {"join", JoinCommand}};
  auto it = kCommands.find(command);
  if (it == kCommands.end()) {
    std::fprintf(stderr, "zkhost: unknown command %s (see zkhost --help)\n", command.c_str());
    return 2;
  }
  try {
    return it->second(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zkhost: %s\n", e.what());
    return gInterrupted ? 128 + (gSignal != 0 ? int(gSignal) : SIGINT) : 1;
  }
}
