// Rendering only what a transition touches: the clips' compressed H.264
// packets go to the output untouched, and only the stretches from the last
// keyframe before each transition to the first keyframe after it (and any
// trim that falls inside a GOP) are decoded and encoded again, by an
// encoder whose parameter sets stand beside the clips' in the output's
// sample description under their own ids.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "edit_frames.h"
#include "output.h"
#include "timeline.h"

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

// Writes the video of a copy render frame by frame: copied packets from the
// clips, and encoded stretches of rendered frames.
class CopyWriter {
 public:
  CopyWriter(const CopyPlan& plan, std::vector<Clip>& clips, const Timeline& timeline, const Canvas& canvas,
             AVRational rate, const OutputPlan& output, Writer& writer);
  ~CopyWriter();
  // Output frame j: a rendered frame when the plan encodes it, else null.
  void Write(int64_t j, AVFrame* rendered);
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
