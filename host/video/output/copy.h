// Rendering only what a transition touches: the clips' compressed H.264
// packets go to the output untouched, and only the stretches from the last
// keyframe before each transition to the first keyframe after it that is
// an IDR picture (and any trim that falls inside a GOP) are decoded and
// encoded again, by an encoder whose parameter sets stand beside the
// clips' in the output's sample description under their own ids.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frames/edit_frames.h"
#include "output/output.h"
#include "edit/timeline.h"

namespace zk::video {

struct CodecParametersDeleter {
  void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CodecParametersDeleter>;

struct CopyPlan {
  std::string why;           // not empty: copying cannot apply, and why
  std::vector<bool> encode;  // per output frame: encoded, or copied from its clip
  CodecParametersPtr params;  // the output stream's
  int delay = 0;             // frames decoding runs ahead of display, at most
  std::string profile;       // the clips' H.264 profile, for the encoder
  int parameterSetId = 0;    // the encoder's SPS and PPS id
  int stretches = 0;
  int64_t encoded = 0;       // frames
};

// Decides what is copied.  A plan with `why` set means a full render.
CopyPlan PlanCopy(const std::vector<Clip>& clips, const Timeline& timeline, const Canvas& canvas, AVRational rate,
                  const OutputPlan& output);

// Sound copied as it is: for each clip whose sound is AAC like the
// output's, one run of its packets where it plays alone at its own level.
// The stretches between runs are mixed and encoded again, each by its own
// encoder; a run is placed so that every encoded stretch is whole packets
// long, which puts the clip's sound at most half a packet (about 11 ms)
// off where its timestamps say.  A packet's length is the codec's frame,
// not what the container says (Matroska rounds to milliseconds).
struct AudioRun {
  size_t clip;
  int64_t firstPts;          // the first source packet, in the stream's time base
  int64_t count;             // packets from it, each a whole AAC frame
  int64_t outFirst, outEnd;  // where they go, in output samples
};
struct AudioCopyPlan {
  std::string why;           // not empty: none of the sound is copied, and why
  std::vector<AudioRun> runs;  // in output order
  std::vector<int64_t> late;   // per clip: samples its sound is placed late
  int frameSize = 1024;
  int64_t packets = 0;  // copied
};

AudioCopyPlan PlanAudioCopy(const std::vector<Clip>& clips, const Timeline& timeline, const AudioBus& bus,
                            const AudioFormat& format, const OutputPlan& output, const AVCodecParameters* encoder);

// Writes the sound of a copy render: copied runs, and the stretches between
// them encoded from the mixed sound.
class AudioSplicer {
 public:
  AudioSplicer(const AudioCopyPlan& plan, std::vector<Clip>& clips, const AudioFormat& format,
               const OutputPlan& output, Writer& writer, int64_t total);
  ~AudioSplicer();
  // Whether the mixed sound of output samples [from, to) is needed: it is
  // encoded, or leads an encoder into or out of its stretch.
  bool Needs(int64_t from, int64_t to) const;
  // The mixed sound from output sample `at` on; needed slots only, in order.
  void Write(int64_t at, const Planes& slot);
  // Copied packets that start before output sample `until`.
  void Advance(int64_t until);
  void Finish();

 private:
  struct Stretch {
    int64_t keepFrom, keepTo;  // its packets that go out: [keepFrom, keepTo); keepFrom < 0 keeps the priming
    int64_t feedFrom, feedTo;  // the sound it encodes
  };
  class Reader;
  void Feed(const Planes& slot, int offset, int count);
  void EndStretch();
  void Drain(bool flush);
  void EmitRun(size_t run, int64_t until);
  void Out(AVPacket* packet);

  const AudioCopyPlan& plan_;
  std::vector<Clip>& clips_;
  const AudioFormat& format_;
  const OutputPlan& output_;
  Writer& writer_;
  int64_t total_;  // samples: the sound ends with the picture
  std::vector<Stretch> stretches_;
  size_t stretch_ = 0;  // the one being fed
  CodecPtr encoder_;
  FifoPtr fifo_;
  FramePtr frame_;
  PacketPtr packet_;
  int64_t fed_ = 0;   // next sample the encoder takes
  int64_t sent_ = 0;  // samples sent to it
  size_t run_ = 0;    // the run being copied
  std::unique_ptr<Reader> reader_;
};

// Writes the video of a copy render frame by frame: copied packets from the
// clips, and encoded stretches of rendered frames.
class CopyWriter {
 public:
  CopyWriter(const CopyPlan& plan, std::vector<Clip>& clips, const Timeline& timeline, const Canvas& canvas,
             AVRational rate, const OutputPlan& output, Writer& writer);
  ~CopyWriter();
  // Output frame j: a rendered frame when the plan encodes it, else null.
  void Write(int64_t j, AVFrame* rendered);
  // A packet of an encoded stretch that another process encoded with this
  // plan's parameter sets, in decode order, shown at output frame pts.
  void WriteEncoded(AVPacket* packet, int64_t pts) { Emit(packet, pts); }
  void Finish();

 private:
  class Copier;
  void Emit(AVPacket* packet, int64_t pts);
  void OpenEncoder();
  void Drain(bool flush);

  const CopyPlan& plan_;
  std::vector<Clip>& clips_;
  const Timeline& timeline_;
  const Canvas& canvas_;
  AVRational rate_;
  const OutputPlan& output_;
  Writer& writer_;
  CodecPtr encoder_;
  PacketPtr packet_;
  std::unique_ptr<Copier> copier_;
  size_t copierClip_ = SIZE_MAX;
  int64_t written_ = 0;  // packets so far, in decode order
};

}  // namespace zk::video
