// Pooled picture buffers: every plane aligned, lines long enough and apart,
// and a picture that outlives its pool still whole.
#include <gtest/gtest.h>

#include <cstring>

#include "media/pictures.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace zk::video {
namespace {

struct Shape {
  AVPixelFormat format;
  int width, height;
};

class Pictures : public ::testing::TestWithParam<Shape> {};

TEST_P(Pictures, PlanesAreAlignedApartAndOutliveThePool) {
  const Shape s = GetParam();
  FramePtr kept;
  {
    PicturePool pool(s.width, s.height, s.format);
    FramePtr a = pool.Get(), b = pool.Get();
    EXPECT_NE(a->data[0], b->data[0]);
    int minimum[4] = {0, 0, 0, 0};
    ASSERT_GE(av_image_fill_linesizes(minimum, s.format, s.width), 0);
    const int planes = av_pix_fmt_count_planes(s.format);
    for (int i = 0; i < planes; ++i) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(a->data[i]) % 64, 0u) << "plane " << i;
      EXPECT_EQ(a->linesize[i] % 64, 0) << "plane " << i;
      EXPECT_GE(a->linesize[i], minimum[i]) << "plane " << i;
    }
    EXPECT_EQ(a->data[planes], nullptr);
    // Every byte of every plane is written, in order: a plane that overlaps
    // the next loses its last byte.
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(s.format);
    size_t bytes[4] = {0, 0, 0, 0};
    for (int i = 0; i < planes; ++i) {
      const int rows = (i == 1 || i == 2) ? AV_CEIL_RSHIFT(s.height, d->log2_chroma_h) : s.height;
      bytes[i] = size_t(a->linesize[i]) * size_t(rows);
      std::memset(a->data[i], 0x40 + i, bytes[i]);
    }
    for (int i = 0; i < planes; ++i) {
      EXPECT_EQ(a->data[i][0], 0x40 + i) << "plane " << i;
      EXPECT_EQ(a->data[i][bytes[i] - 1], 0x40 + i) << "plane " << i;
    }
    kept = std::move(a);
  }
  EXPECT_EQ(kept->data[0][0], 0x40);  // the pool is gone, the picture is not
}

INSTANTIATE_TEST_SUITE_P(Formats, Pictures,
                         ::testing::Values(Shape{AV_PIX_FMT_YUV420P, 1920, 1088}, Shape{AV_PIX_FMT_YUV420P, 33, 17},
                                           Shape{AV_PIX_FMT_YUV422P10, 721, 480}, Shape{AV_PIX_FMT_NV12, 1280, 720},
                                           Shape{AV_PIX_FMT_RGB32, 3840, 2160}, Shape{AV_PIX_FMT_GRAY8, 1, 1}));

}  // namespace
}  // namespace zk::video
