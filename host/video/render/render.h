// Rendering a transition between real clips into a file.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "output/output.h"
#include "edit/edit.h"
#include "frames/edit_frames.h"

namespace zk::video {

struct RenderOptions {
  std::string bundle;  // a path (see FindBundle)
  int variant = 1;
  float speed = 0.5f;
  int frames = 0;  // when not 0: the transition's length, for which a speed is found
  std::vector<std::string> clips;
  OutputOptions output;
  int jobs = 1;
  bool proxy = false;
  int volumeA = 256;  // each clip's level in the mix, 256 for its own
  int volumeB = 256;
  AVRational fps{0, 1};  // the output's rate; 0: the first clip's
  int width = 0;         // the output's picture; 0: the first clip's
  int height = 0;
  Fit fit = Fit::kPad;   // how clips of another shape fill it
  int marginX = 0;  // --rect: the output frame placed this far inside a larger world
  int marginY = 0;
  std::string preview;  // contact sheet PNG, or empty
};

// An edit of any number of clips, and how to render it.
struct EditOptions {
  Edit edit;
  OutputOptions output;
  int jobs = 1;
  bool proxy = false;
  AVRational fps{0, 1};  // the output's rate; 0: the first clip's
  int width = 0;         // the output's picture; 0: the first clip's
  int height = 0;
  Fit fit = Fit::kPad;
  int marginX = 0;
  int marginY = 0;
  std::string preview;  // contact sheet PNG (a row per transition), or empty
  std::string mlt;      // the edit also as an MLT XML project, or empty
  bool copy = false;    // copy the clips' packets where nothing changes them
};

struct RenderSummary {
  int64_t frames = 0;
  int transitionFrames = 0;  // in all the transitions
  int transitions = 0;
  int64_t copiedFrames = 0;  // with copy: frames whose packets were copied
  double seconds = 0;
};

// Called after each frame written, with the frames done and the total.
using ProgressFn = std::function<void(int64_t done, int64_t total)>;
// Called with notices ("b.mp4: 640x480 is fitted into 320x240 with black bars").
using WarnFn = std::function<void(const std::string&)>;

// Set from a signal handler: the render stops, removes what it wrote and
// throws Error("interrupted").
extern std::atomic<bool> gInterrupted;

// Throws Error with a one-line message on any failure; nothing is left
// under the output's name then.
RenderSummary RenderEdit(const EditOptions& options, const ProgressFn& progress, const WarnFn& warn);
// One transition: two clips and a two-clip transition, or one clip and an
// end-of-clip transition.
RenderSummary Render(const RenderOptions& options, const ProgressFn& progress, const WarnFn& warn);

// An edit's output frames [first, last) rendered into a segment file at
// `path`: the output's video codec at its settings in Matroska, with the
// sound as float PCM, the container tagged with `tags`.  A range starts
// and ends outside any transition's inside (EditLayout::canStart).
struct SegmentJob {
  std::string path;
  int64_t first = 0, last = 0;
  int64_t total = -1;  // the edit's frames when it was split; -1: not checked
  bool copying = false;  // --copy applied when it was split
  std::vector<std::pair<std::string, std::string>> tags;
};
RenderSummary RenderSegment(const EditOptions& options, const SegmentJob& job, const ProgressFn& progress,
                            const WarnFn& warn);

// What splitting an edit needs to know, decided as a render would decide
// it (the clips opened and conformed) without rendering anything.
struct EditLayout {
  int64_t frames = 0;
  AVRational rate{0, 1};
  int width = 0, height = 0;
  std::vector<int64_t> clipFrames;  // each clip's frames in the edit
  std::vector<uint8_t> cost;        // per output frame: what rendering it costs, relatively
  std::vector<bool> canStart;       // per output frame: a segment may start there
  std::string codec;                // the output's video codec, by its --codec name
  bool copying = false;             // --copy applies: only stretches around transitions are encoded
};
EditLayout LayOutEdit(const EditOptions& options, const WarnFn& warn);

// What other processes rendered of a --copy edit: the packets of its
// encoded stretches and the mixed sound of their frames.
class StretchSource {
 public:
  virtual ~StretchSource() = default;
  // Each packet of the encoded stretch of output frames [first, last), in
  // decode order, with the frame it shows.
  virtual void Packets(int64_t first, int64_t last, const std::function<void(AVPacket*, int64_t)>& put) = 0;
  // The mixed sound of encoded output frame j, as many samples as slot has.
  virtual void Sound(int64_t j, Planes& slot) = 0;
};
// A --copy edit written as its render would write it, with its encoded
// stretches and their sound taken from `source` instead of rendered.
RenderSummary JoinStretches(const EditOptions& options, StretchSource& source, const ProgressFn& progress,
                            const WarnFn& warn);

// "1 clip", "3 clips": a count and its noun, for messages.
std::string Count(int64_t n, const std::string& noun);

// Rows of thumbnails side by side on a dark background.
Picture ContactSheet(const std::vector<std::vector<Picture>>& rows, int thumbWidth);

}  // namespace zk::video
