// zkhost's renders of every variant compared, pixel by pixel, with FFmpeg's
// xfade filter rendering the same transition from its own expression.
//
// Frame correspondence.  A transition of N frames at the end of clip A
// (L frames) is output frames L-N .. L-1; our frame r of it keys at
//   Cindergate: percent = (r + 1) / N    white threshold (1 - percent) x 765,
//                                        black threshold percent x 765
//   Ashveil:    percent = (N - r - 1) / N  thresholdW percent x 765 (below),
//                                          thresholdB (1 - percent) x 765 (above)
// xfade's progress P runs 1 - k / N over its transition frames k = 0 .. N-1.
// Starting its transition one frame earlier (offset L-N-1 frames) makes its
// frame k = r + 1 fall on our frame r, so P = 1 - (r + 1) / N:
//   Cindergate: P x 765 is the white threshold, (1 - P) x 765 the black one;
//   Ashveil:    P x 765 is thresholdW, (1 - P) x 765 thresholdB.
// xfade pairs its frame k with frame k of its second input, so for
// Cindergate that input is clip B delayed by one frame (its first frame
// repeated).  Our last frame (r = N-1) meets xfade's first frame past the
// transition, all second input: they differ only where the key is 0 or 765,
// inside the band below.
//
// FFmpeg evaluates the key in floating point of its own, so pixels whose
// key brightness lies within 1 of the threshold may differ; those are
// excluded (and counted), every other pixel must match exactly.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

constexpr int kRate = 25;

struct OracleCase {
  const char* bundle;
  int variant;
  bool swapped;  // mandelbrot first (or alone) instead of testsrc2
  int width, height;
  int frames;  // the transition's N
};

std::string CaseName(const OracleCase& c) {
  return std::string(c.bundle) + std::to_string(c.variant) + (c.swapped ? "_swapped_" : "_") +
         std::to_string(c.width) + "x" + std::to_string(c.height);
}
std::string Name(const ::testing::TestParamInfo<OracleCase>& info) { return CaseName(info.param); }
void PrintTo(const OracleCase& c, std::ostream* os) { *os << CaseName(c); }

std::string Ms(int frames) { return std::to_string(frames * 1000 / kRate) + "ms"; }

int Shell(const std::string& command) {
  const int status = std::system(("exec </dev/null; " + command + " 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A picture sequence as rgb24 bytes, frame after frame.
std::vector<unsigned char> Rgb24(const std::string& input, const fs::path& raw) {
  if (Shell("ffmpeg -nostdin -v error -y -i '" + input + "' -f rawvideo -pix_fmt rgb24 '" +
          raw.string() + "'") != 0) {
    return {};
  }
  std::ifstream in(raw, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Oracle : public ::testing::TestWithParam<OracleCase> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("zk_oracle_" + Name({GetParam(), 0}) + "_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "zk");
    fs::create_directories(dir_ / "ff");
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }

  // L frames of a lavfi source in lossless planar RGB, so that both sides
  // read the same pixels (testsrc2 comes in even sizes only: cropped).
  std::string Clip(const std::string& source, int frames) {
    const OracleCase& c = GetParam();
    const std::string path = (dir_ / (source + ".mkv")).string();
    std::ostringstream cmd;
    cmd << "ffmpeg -nostdin -v error -y -f lavfi -i " << source << "=size=" << (c.width + 1) / 2 * 2
        << "x" << (c.height + 1) / 2 * 2 << ":rate=" << kRate << " -vf format=gbrp,crop=" << c.width
        << ":" << c.height << ":0:0 -frames:v " << frames << " -c:v ffv1 -pix_fmt gbrp '" << path
        << "'";
    EXPECT_EQ(Shell(cmd.str()), 0) << cmd.str();
    return path;
  }

  fs::path dir_;
};

// xfade's expression for a variant; a0..a2 / b0..b2 are the g, b, r planes.
std::string Expression(bool burn, int variant) {
  const std::string a = "(a0(X,Y)+a1(X,Y)+a2(X,Y))", b = "(b0(X,Y)+b1(X,Y)+b2(X,Y))";
  if (burn) {
    const std::string& key = variant <= 2 ? b : a;
    return variant % 2 == 1 ? "if(gt(" + key + ",P*765),B,A)" : "if(lt(" + key + ",(1-P)*765),B,A)";
  }
  return variant % 2 == 1 ? "if(lt(" + a + ",P*765),A,B)" : "if(gt(" + a + ",(1-P)*765),A,B)";
}

TEST_P(Oracle, MatchesXfade) {
  const OracleCase& c = GetParam();
  const bool burn = std::string(c.bundle) == "Cindergate";
  const int n = c.frames, length = n + 6;
  const std::string first = c.swapped ? "mandelbrot" : "testsrc2";
  const std::string second = c.swapped ? "testsrc2" : "mandelbrot";
  const std::string clipA = Clip(first, length);
  const std::string clipB = burn ? Clip(second, length) : "";
  ASSERT_FALSE(HasFailure());

  // Ours.
  std::ostringstream zk;
  zk << "'" << ZKHOST << "' render '" << ZK_BUNDLE_DIR << "/" << c.bundle << ".so' --variant "
     << c.variant << " --frames " << n << " -j 1 -q -y '" << clipA << "' "
     << (burn ? "'" + clipB + "' " : "") << "-o '" << (dir_ / "zk" / "%04d.png").string() << "'";
  ASSERT_EQ(Shell(zk.str()), 0) << zk.str();

  // FFmpeg's, with the mapping above.
  const std::string sizes = std::to_string(c.width) + "x" + std::to_string(c.height);
  const std::string frames = "settb=1/" + std::to_string(kRate) + ",setpts=N";
  std::string graph = "[0]format=gbrp," + frames + "[a];";
  if (burn) {
    graph += "[1]format=gbrp," + frames + ",tpad=start=1:start_mode=clone[b];";
  } else {
    graph += std::string("color=c=") + (c.variant <= 2 ? "black" : "white") + ":size=" + sizes +
             ":rate=" + std::to_string(kRate) + ":d=" + Ms(n + 1) + ",format=gbrp," + frames + "[b];";
  }
  graph += "[a][b]xfade=transition=custom:duration=" + Ms(n) + ":offset=" + Ms(length - n - 1) +
           ":expr='" + Expression(burn, c.variant) + "',format=rgb24";
  const std::string ff = "ffmpeg -nostdin -v error -y -i '" + clipA + "' " +
                         (burn ? "-i '" + clipB + "' " : "") + "-filter_complex \"" + graph +
                         "\" '" + (dir_ / "ff" / "%04d.png").string() + "'";
  ASSERT_EQ(Shell(ff), 0) << ff;

  const auto ours = Rgb24((dir_ / "zk" / "%04d.png").string(), dir_ / "zk.rgb");
  const auto theirs = Rgb24((dir_ / "ff" / "%04d.png").string(), dir_ / "ff.rgb");
  const auto a = Rgb24(clipA, dir_ / "a.rgb");
  const auto b = burn ? Rgb24(clipB, dir_ / "b.rgb") : std::vector<unsigned char>{};
  const size_t frameBytes = size_t(c.width) * c.height * 3;
  const int total = burn ? 2 * length - n : length;
  ASSERT_EQ(ours.size(), frameBytes * total);
  ASSERT_EQ(theirs.size(), frameBytes * total);
  ASSERT_EQ(a.size(), frameBytes * length);
  if (burn) {
    ASSERT_EQ(b.size(), frameBytes * length);
  }

  auto brightness = [&](const std::vector<unsigned char>& v, int frame, int p) {
    const size_t at = frameBytes * frame + 3 * size_t(p);
    return int(v[at]) + v[at + 1] + v[at + 2];
  };
  auto same = [&](const std::vector<unsigned char>& x, int fx, const std::vector<unsigned char>& y,
                  int fy, int p) {
    return std::equal(x.begin() + long(frameBytes * fx + 3 * p),
                      x.begin() + long(frameBytes * fx + 3 * p + 3), y.begin() + long(frameBytes * fy + 3 * p));
  };

  const int pixels = c.width * c.height;
  long excluded = 0, mismatched = 0, fromFirst = 0;
  std::string firstMismatch;
  for (int i = 0; i < total; ++i) {
    const int r = i - (length - n);  // our transition frame, if 0 .. N-1
    for (int p = 0; p < pixels; ++p) {
      if (r >= 0 && r < n) {
        int key;
        double threshold;
        if (burn) {
          const double percent = (r + 1.0) / n;
          key = c.variant >= 3 ? brightness(a, length - n + r, p) : brightness(b, r, p);
          threshold = c.variant % 2 == 1 ? (1.0 - percent) * 765.0 : percent * 765.0;
        } else {
          const double percent = double(n - r - 1) / n;
          key = brightness(a, length - n + r, p);
          threshold = c.variant % 2 == 1 ? percent * 765.0 : (1.0 - percent) * 765.0;
        }
        if (std::fabs(key - threshold) <= 1.0) {
          ++excluded;
          continue;
        }
        fromFirst += same(ours, i, a, length - n + r, p);
      }
      if (!same(ours, i, theirs, i, p) && mismatched++ == 0) {
        firstMismatch = "frame " + std::to_string(i + 1) + " pixel (" + std::to_string(p % c.width) +
                        ", " + std::to_string(p / c.width) + ")";
      }
    }
  }
  EXPECT_EQ(mismatched, 0) << "first at " << firstMismatch;
  // The band is a sliver of the transition, and across it both pictures
  // show a fair share: the comparison is not vacuous.
  const long transition = long(n) * pixels;
  EXPECT_LT(excluded, transition * 3 / 100);
  EXPECT_GT(fromFirst, transition / 10);
  EXPECT_LT(fromFirst, transition - transition / 10);
}

std::vector<OracleCase> AllCases() {
  std::vector<OracleCase> cases;
  for (const char* bundle : {"Cindergate", "Ashveil"}) {
    for (int variant = 1; variant <= 4; ++variant) {
      for (bool swapped : {false, true}) {
        cases.push_back({bundle, variant, swapped, 64, 48, 12});
        cases.push_back({bundle, variant, swapped, 45, 33, 10});
      }
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Variants, Oracle, ::testing::ValuesIn(AllCases()), Name);

}  // namespace
