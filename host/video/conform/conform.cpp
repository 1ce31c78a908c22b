#include "conform/conform.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace zk::video {
namespace {

std::string Size(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

bool IsRgb(AVPixelFormat f) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(f);
  return d != nullptr && (d->flags & AV_PIX_FMT_FLAG_RGB);
}

// Whole chroma samples: positions and sizes in a format are multiples of this.
int Alignment(AVPixelFormat f) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(f);
  return 1 << std::max(d->log2_chroma_w, d->log2_chroma_h);
}

int AlignUp(int v, int a) { return (v + a - 1) / a * a; }
int AlignNear(int v, int a) { return std::max(a, (v + a / 2) / a * a); }
int AlignDown(int v, int a) { return v / a * a; }

// Planes of the format, each with its element size and subsampling.
struct PlaneLayout {
  int count = 0;
  int bytes[4] = {0, 0, 0, 0};
  int shiftW[4] = {0, 0, 0, 0};
  int shiftH[4] = {0, 0, 0, 0};
};

PlaneLayout Layout(AVPixelFormat f) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(f);
  PlaneLayout l;
  for (int c = 0; c < d->nb_components; ++c) {
    const int p = d->comp[c].plane;
    l.count = std::max(l.count, p + 1);
    l.bytes[p] = d->comp[c].step;
    const bool chroma = !(d->flags & AV_PIX_FMT_FLAG_RGB) && (p == 1 || p == 2);
    l.shiftW[p] = chroma ? d->log2_chroma_w : 0;
    l.shiftH[p] = chroma ? d->log2_chroma_h : 0;
  }
  return l;
}

// Formats whose planes rotate element by element.
bool Rotatable(AVPixelFormat f) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(f);
  if (d->flags & (AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_PAL)) return false;
  if (d->log2_chroma_w != d->log2_chroma_h) return false;
  return (d->flags & AV_PIX_FMT_FLAG_PLANAR) || d->log2_chroma_w == 0 || d->nb_components < 3 ||
         f == AV_PIX_FMT_NV12 || f == AV_PIX_FMT_NV21;
}

// Pointers to pixel (x, y) of every plane; x and y are whole chroma samples.
void Offset(const PlaneLayout& l, const uint8_t* const in[4], const int stride[4], int x, int y,
            const uint8_t* out[4]) {
  for (int p = 0; p < 4; ++p) {
    out[p] = p < l.count && in[p] != nullptr
                 ? in[p] + intptr_t(y >> l.shiftH[p]) * stride[p] + intptr_t(x >> l.shiftW[p]) * l.bytes[p]
                 : nullptr;
  }
}

// Copies a w x h picture into dst turned clockwise by `degrees`.
void Rotate(const PlaneLayout& l, const uint8_t* const src[4], const int srcStride[4], int w, int h,
            int degrees, uint8_t* const dst[4], const int dstStride[4]) {
  for (int p = 0; p < l.count; ++p) {
    const int pw = AV_CEIL_RSHIFT(w, l.shiftW[p]), ph = AV_CEIL_RSHIFT(h, l.shiftH[p]);
    const int b = l.bytes[p];
    for (int ys = 0; ys < ph; ++ys) {
      const uint8_t* row = src[p] + intptr_t(ys) * srcStride[p];
      for (int xs = 0; xs < pw; ++xs) {
        int xd, yd;
        if (degrees == 90) {
          xd = ph - 1 - ys;
          yd = xs;
        } else if (degrees == 180) {
          xd = pw - 1 - xs;
          yd = ph - 1 - ys;
        } else {
          xd = ys;
          yd = pw - 1 - xs;
        }
        std::memcpy(dst[p] + intptr_t(yd) * dstStride[p] + intptr_t(xd) * b, row + intptr_t(xs) * b, size_t(b));
      }
    }
  }
}

// Fills a w x h picture with black in the target's range.
void FillBlack(const Target& t, uint8_t* const dst[4], const int stride[4], int w, int h) {
  if (t.format == AV_PIX_FMT_RGB32) {
    for (int y = 0; y < h; ++y) std::fill_n(reinterpret_cast<uint32_t*>(dst[0] + intptr_t(y) * stride[0]), w, 0xFF000000u);
    return;
  }
  const ptrdiff_t lines[4] = {stride[0], stride[1], stride[2], stride[3]};
  uint8_t* planes[4] = {dst[0], dst[1], dst[2], dst[3]};
  av_image_fill_black(planes, lines, t.format, t.full ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG, w, h);
}

// Repeats the picture's last column and row out to the frame's edges.
void ReplicateEdges(const PlaneLayout& l, uint8_t* const dst[4], const int stride[4], int pw, int ph, int fw,
                    int fh) {
  for (int p = 0; p < l.count; ++p) {
    const int b = l.bytes[p];
    const int w0 = AV_CEIL_RSHIFT(pw, l.shiftW[p]), w1 = AV_CEIL_RSHIFT(fw, l.shiftW[p]);
    const int h0 = AV_CEIL_RSHIFT(ph, l.shiftH[p]), h1 = AV_CEIL_RSHIFT(fh, l.shiftH[p]);
    for (int y = 0; y < h0; ++y) {
      uint8_t* row = dst[p] + intptr_t(y) * stride[p];
      for (int x = w0; x < w1; ++x) std::memcpy(row + intptr_t(x) * b, row + intptr_t(w0 - 1) * b, size_t(b));
    }
    for (int y = h0; y < h1; ++y) {
      std::memcpy(dst[p] + intptr_t(y) * stride[p], dst[p] + intptr_t(h0 - 1) * stride[p], size_t(w1) * b);
    }
  }
}

}  // namespace

bool ParseFit(const std::string& text, Fit* fit) {
  if (text == "pad") *fit = Fit::kPad;
  else if (text == "crop") *fit = Fit::kCrop;
  else if (text == "stretch") *fit = Fit::kStretch;
  else return false;
  return true;
}

Colour OutputColour(const VideoFormat& first, AVPixelFormat format, int height) {
  if (IsRgb(format)) return {AVCOL_SPC_RGB, AVCOL_RANGE_JPEG, AVCOL_PRI_UNSPECIFIED, AVCOL_TRC_UNSPECIFIED};
  Colour c = first.colour;
  const bool rgbSource = IsRgb(first.format);
  const bool realMatrix = c.space != AVCOL_SPC_UNSPECIFIED && c.space != AVCOL_SPC_RESERVED &&
                          c.space != AVCOL_SPC_RGB && !c.Hdr() && c.SwsSpace(height) != SWS_CS_DEFAULT;
  if (rgbSource || !realMatrix) {
    c.space = height >= 720 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
  }
  c.range = !rgbSource && first.colour.Full(first.format) ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
  if (first.colour.Hdr()) {  // shown as SDR: say so in the tags too
    c.primaries = AVCOL_PRI_BT709;
    c.trc = AVCOL_TRC_BT709;
  }
  if (c.primaries == AVCOL_PRI_UNSPECIFIED || c.primaries == AVCOL_PRI_RESERVED || c.primaries == AVCOL_PRI_RESERVED0) {
    c.primaries = c.space == AVCOL_SPC_BT709 ? AVCOL_PRI_BT709
                  : c.space == AVCOL_SPC_BT470BG ? AVCOL_PRI_BT470BG
                                                 : AVCOL_PRI_SMPTE170M;
  }
  if (c.trc == AVCOL_TRC_UNSPECIFIED || c.trc == AVCOL_TRC_RESERVED || c.trc == AVCOL_TRC_RESERVED0) {
    c.trc = c.space == AVCOL_SPC_BT709 ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
  }
  return c;
}

Canvas MakeCanvas(const VideoFormat& first, const std::string& name, AVPixelFormat format, int forceWidth,
                  int forceHeight) {
  Canvas c;
  const bool turned = first.rotation == 90 || first.rotation == 270;
  c.pictureWidth = forceWidth > 0 ? forceWidth : turned ? first.height : first.width;
  c.pictureHeight = forceHeight > 0 ? forceHeight : turned ? first.width : first.height;
  if (forceWidth > 0) {
    c.aspect = {1, 1};
  } else if (first.aspect.num > 0 && first.aspect.den > 0) {
    c.aspect = turned ? av_inv_q(first.aspect) : first.aspect;
  }
  c.format = format;
  const int a = Alignment(format);
  c.width = AlignUp(c.pictureWidth, a);
  c.height = AlignUp(c.pictureHeight, a);
  if (c.width > kMaxSide || c.height > kMaxSide) {
    throw Error(name + ": " + Size(c.pictureWidth, c.pictureHeight) + " is larger than " +
                std::to_string(kMaxSide) + " pixels a side, the limit of the plug-in interface");
  }
  c.colour = OutputColour(first, format, c.pictureHeight);
  c.interlaced = first.interlaced && first.rotation == 0 && c.pictureWidth == first.width &&
                 c.pictureHeight == first.height;
  c.topFirst = first.topFirst;
  return c;
}

Placement Place(const VideoFormat& clip, const Canvas& canvas, Fit fit) {
  Placement p;
  p.rotation = clip.rotation;
  const bool turned = p.rotation == 90 || p.rotation == 270;
  const int rw = turned ? clip.height : clip.width, rh = turned ? clip.width : clip.height;
  double sar = clip.aspect.num > 0 && clip.aspect.den > 0 ? av_q2d(clip.aspect) : 1.0;
  if (turned) sar = 1.0 / sar;
  const double clipAspect = rw * sar / rh;
  const double canvasSar = av_q2d(canvas.aspect);
  const double canvasAspect = canvas.pictureWidth * canvasSar / canvas.pictureHeight;
  const int a = Alignment(canvas.format);
  const int as = Alignment(clip.format);
  p.srcW = clip.width;
  p.srcH = clip.height;
  p.dstW = canvas.pictureWidth;
  p.dstH = canvas.pictureHeight;
  if (fit == Fit::kPad && std::abs(clipAspect / canvasAspect - 1) > 1e-3) {
    if (clipAspect > canvasAspect) {
      p.dstH = std::min(canvas.pictureHeight, AlignNear(int(std::lround(canvas.pictureWidth * canvasSar / clipAspect)), a));
    } else {
      p.dstW = std::min(canvas.pictureWidth, AlignNear(int(std::lround(canvas.pictureHeight * clipAspect / canvasSar)), a));
    }
    p.dstX = AlignDown((canvas.pictureWidth - p.dstW) / 2, a);
    p.dstY = AlignDown((canvas.pictureHeight - p.dstH) / 2, a);
  } else if (fit == Fit::kCrop && std::abs(clipAspect / canvasAspect - 1) > 1e-3) {
    // The visible part of the upright clip, then the same part of the coded one.
    int vw = rw, vh = rh;
    if (clipAspect > canvasAspect) vw = int(std::lround(rw * canvasAspect / clipAspect));
    else vh = int(std::lround(rh * clipAspect / canvasAspect));
    p.srcW = std::max(as, AlignDown(turned ? vh : vw, as));
    p.srcH = std::max(as, AlignDown(turned ? vw : vh, as));
    p.srcX = AlignDown((clip.width - p.srcW) / 2, as);
    p.srcY = AlignDown((clip.height - p.srcH) / 2, as);
  }
  return p;
}

namespace {

const char* MatrixName(int sws) {
  switch (sws) {
    case SWS_CS_ITU709: return "BT.709";
    case SWS_CS_FCC: return "FCC";
    case SWS_CS_SMPTE240M: return "SMPTE 240M";
    case SWS_CS_BT2020: return "BT.2020";
    default: return "BT.601";
  }
}

const char* RangeName(bool full) { return full ? "full" : "limited"; }

}  // namespace

std::string ConformReason(const VideoFormat& clip, const Placement& p, const Canvas& canvas) {
  if (p.rotation != 0) return "it is turned " + std::to_string(p.rotation) + " degrees to stand upright";
  if (clip.width != canvas.width || clip.height != canvas.height) {
    return "it is " + Size(clip.width, clip.height) + ", the output " + Size(canvas.width, canvas.height);
  }
  if (canvas.width != canvas.pictureWidth || canvas.height != canvas.pictureHeight || p.srcW != clip.width ||
      p.srcH != clip.height || p.dstW != canvas.width || p.dstH != canvas.height) {
    return "it is fitted into the output's " + Size(canvas.pictureWidth, canvas.pictureHeight) + " picture";
  }
  if (clip.format != canvas.format) {
    return std::string("its pixel format is ") + av_get_pix_fmt_name(clip.format) + ", the output's " +
           av_get_pix_fmt_name(canvas.format);
  }
  if (clip.colour.Hdr()) return "its colour is HDR (PQ or HLG), shown as SDR";
  const int mine = clip.colour.SwsSpace(clip.height), theirs = canvas.colour.SwsSpace(canvas.pictureHeight);
  if (mine != theirs) {
    return std::string("its colour matrix is ") + MatrixName(mine) + ", the output's " + MatrixName(theirs);
  }
  const bool full = clip.colour.Full(clip.format);
  if (full != canvas.colour.Full(canvas.format)) {
    return std::string("its range is ") + RangeName(full) + ", the output's " + RangeName(!full);
  }
  if (OutputColour(clip, canvas.format, canvas.pictureHeight).space == AVCOL_SPC_RGB) return "its pictures are RGB";
  return "";
}

bool PassesThrough(const VideoFormat& clip, const Placement& p, const Canvas& canvas) {
  return ConformReason(clip, p, canvas).empty();
}

Target OutputTarget(const Canvas& canvas) {
  return {canvas.format, canvas.colour.SwsSpace(canvas.pictureHeight), canvas.colour.Full(canvas.format)};
}

Target WorldTarget() { return {AV_PIX_FMT_RGB32, SWS_CS_DEFAULT, true}; }

void Conformer::Scaler::Scale(const Key& k, const uint8_t* const src[], const int srcStride[],
                              uint8_t* const dst[], const int dstStride[]) {
  if ((!ctx && !kernel) || !(k == key)) {
    key = k;
    ctx.reset();
    // The accurate path between 4:2:0 and the world, unscaled, has a kernel
    // of its own that follows it.
    const bool intoWorld = k.df == AV_PIX_FMT_RGB32;
    const bool accurate = k.flags == (SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT);
    kernel = accurate && k.sw == k.dw && k.sh == k.dh
                 ? WorldKernel::For(k.sw, k.sh, AVPixelFormat(k.sf), AVPixelFormat(k.df),
                                    intoWorld ? k.srcSpace : k.dstSpace, intoWorld ? k.srcFull : k.dstFull)
                 : nullptr;
  }
  if (kernel) {
    kernel->Convert(src, srcStride, dst, dstStride);
    return;
  }
  if (!ctx) {
    // The ranges go in before set-up: swscale picks a plain copy for equal
    // sizes and formats, which would ignore a change of range.
    ctx.reset(sws_alloc_context());
    if (!ctx) throw Error("out of memory for a scaler");
    av_opt_set_int(ctx.get(), "srcw", k.sw, 0);
    av_opt_set_int(ctx.get(), "srch", k.sh, 0);
    av_opt_set_int(ctx.get(), "src_format", k.sf, 0);
    av_opt_set_int(ctx.get(), "dstw", k.dw, 0);
    av_opt_set_int(ctx.get(), "dsth", k.dh, 0);
    av_opt_set_int(ctx.get(), "dst_format", k.df, 0);
    av_opt_set_int(ctx.get(), "sws_flags", k.flags, 0);
    av_opt_set_int(ctx.get(), "src_range", k.srcFull, 0);
    av_opt_set_int(ctx.get(), "dst_range", k.dstFull, 0);
    if (sws_init_context(ctx.get(), nullptr, nullptr) < 0) {
      ctx.reset();
      throw Error("cannot convert " + Size(k.sw, k.sh) + " " + av_get_pix_fmt_name(AVPixelFormat(k.sf)) +
                  " to " + Size(k.dw, k.dh) + " " + av_get_pix_fmt_name(AVPixelFormat(k.df)));
    }
    // The matrices the streams declare, not swscale's default.
    sws_setColorspaceDetails(ctx.get(), sws_getCoefficients(k.srcSpace), k.srcFull,
                             sws_getCoefficients(k.dstSpace), k.dstFull, 0, 1 << 16, 1 << 16);
  }
  sws_scale(ctx.get(), src, srcStride, 0, k.sh, dst, dstStride);
}

// swscale converts between Y'CbCr pictures without changing the matrix;
// pictures of two different matrices meet in RGB.
void Conformer::Scale(const Scaler::Key& k, const uint8_t* const src[], const int srcStride[], uint8_t* const dst[],
                      const int dstStride[]) {
  if (IsRgb(AVPixelFormat(k.sf)) || IsRgb(AVPixelFormat(k.df)) || k.srcSpace == k.dstSpace) {
    scaler_.Scale(k, src, srcStride, dst, dstStride);
    return;
  }
  if (!rgb_ || rgb_->width != k.dw || rgb_->height != k.dh) rgb_ = NewVideoFrame(k.dw, k.dh, AV_PIX_FMT_GBRP16);
  scaler_.Scale({k.sw, k.sh, k.sf, k.dw, k.dh, AV_PIX_FMT_GBRP16, k.flags, k.srcSpace, k.srcFull, k.dstSpace, 1},
                src, srcStride, rgb_->data, rgb_->linesize);
  second_.Scale({k.dw, k.dh, AV_PIX_FMT_GBRP16, k.dw, k.dh, k.df, k.flags, k.dstSpace, 1, k.dstSpace, k.dstFull},
                rgb_->data, rgb_->linesize, dst, dstStride);
}

void Conformer::Convert(const AVFrame& src, const VideoFormat& clip, const Placement& p, const Canvas& canvas,
                        const Target& t, uint8_t* const dst[4], const int dstStride[4]) {
  const PlaneLayout out = Layout(t.format);
  if (p.dstX != 0 || p.dstY != 0 || p.dstW != canvas.pictureWidth || p.dstH != canvas.pictureHeight) {
    FillBlack(t, dst, dstStride, canvas.pictureWidth, canvas.pictureHeight);
  }
  const uint8_t* from[4];
  Offset(Layout(AVPixelFormat(src.format)), src.data, src.linesize, p.srcX, p.srcY, from);
  const uint8_t* to[4];
  Offset(out, dst, dstStride, p.dstX, p.dstY, to);
  uint8_t* const* into = const_cast<uint8_t* const*>(to);
  const int srcSpace = clip.colour.SwsSpace(clip.height);
  const int srcFull = clip.colour.Full(clip.format);
  if (p.rotation == 0) {
    Scale({p.srcW, p.srcH, src.format, p.dstW, p.dstH, t.format, flags_, srcSpace, srcFull, t.swsSpace, t.full},
          from, src.linesize, into, dstStride);
  } else {
    // Scaled in the coded orientation, then turned into place.
    const bool turned = p.rotation != 180;
    const int uw = turned ? p.dstH : p.dstW, uh = turned ? p.dstW : p.dstH;
    const AVPixelFormat mid = Rotatable(t.format) ? t.format : IsRgb(t.format) ? AV_PIX_FMT_GBRP : AV_PIX_FMT_YUV444P;
    if (!upright_ || upright_->width != uw || upright_->height != uh || upright_->format != mid) {
      upright_ = NewFrame();
      upright_->width = uw;
      upright_->height = uh;
      upright_->format = mid;
      Check(av_frame_get_buffer(upright_.get(), 0), "out of memory for a frame");
    }
    Scale({p.srcW, p.srcH, src.format, uw, uh, mid, flags_, srcSpace, srcFull, t.swsSpace, t.full}, from,
          src.linesize, upright_->data, upright_->linesize);
    if (mid == t.format) {
      Rotate(out, upright_->data, upright_->linesize, uw, uh, p.rotation, into, dstStride);
    } else {
      FramePtr turnedFrame = NewVideoFrame(p.dstW, p.dstH, mid);
      Rotate(Layout(mid), upright_->data, upright_->linesize, uw, uh, p.rotation, turnedFrame->data,
             turnedFrame->linesize);
      third_.Scale({p.dstW, p.dstH, mid, p.dstW, p.dstH, t.format, flags_, t.swsSpace, t.full, t.swsSpace, t.full},
                    turnedFrame->data, turnedFrame->linesize, into, dstStride);
    }
  }
  if (canvas.width != canvas.pictureWidth || canvas.height != canvas.pictureHeight) {
    ReplicateEdges(out, dst, dstStride, canvas.pictureWidth, canvas.pictureHeight, canvas.width, canvas.height);
  }
}

ClipGrid::ClipGrid(const VideoTrack& track, AVRational rate) {
  const double r = av_q2d(rate);
  const int64_t length = std::max<int64_t>(1, std::llround(track.duration() * r));
  source_.assign(size_t(length), 0);
  // Each frame takes the slot nearest its start (the later of two frames
  // that round to the same slot wins), and every slot until the next's.
  int64_t next = 0;
  int32_t shown = 0;
  for (int64_t k = 0; k < track.frames(); ++k) {
    const int64_t at = std::clamp<int64_t>(std::llround(track.Time(k) * r), 0, length - 1);
    for (; next <= at; ++next) source_[size_t(next)] = shown;
    shown = int32_t(k);
    source_[size_t(at)] = shown;
  }
  for (; next < length; ++next) source_[size_t(next)] = shown;
}

}  // namespace zk::video
