// An interrupted render leaves nothing behind; the demo needs no input.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "harness.h"

namespace zk::test {
namespace {

bool HasTempFile(const fs::path& dir) {
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename().string().find(".zkhost-") != std::string::npos) return true;
  }
  return false;
}

TEST(Interrupt, AKilledRenderLeavesNoFileUnderTheTargetsName) {
  const fs::path dir = WorkDir() / "interrupt";
  fs::create_directories(dir);
  const std::string a = (dir / "long-a.mkv").string(), b = (dir / "long-b.mkv").string();
  Ffmpeg("-f lavfi -i testsrc2=s=320x240:r=25:d=20 -c:v libx264 -preset ultrafast", a);
  Ffmpeg("-f lavfi -i mandelbrot=s=320x240:r=25 -t 20 -c:v libx264 -preset ultrafast", b);
  const fs::path out = dir / "out.mp4";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(ZKHOST, ZKHOST, "render", "Cindergate", "-q", "-j", "1", "--preset", "slow", a.c_str(),
          b.c_str(), "-o", out.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Wait until the render is writing, then interrupt it.
  for (int i = 0; i < 200 && !HasTempFile(dir); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(HasTempFile(dir)) << "the render never started writing";
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
  EXPECT_FALSE(fs::exists(out));
  EXPECT_FALSE(HasTempFile(dir)) << "the temporary file was left behind";
}

TEST(Demo, RendersEveryVariantWithAContactSheet) {
  const fs::path dir = WorkDir() / "demo";
  const Outcome run = Zkhost("demo -q --out " + dir.string());
  ASSERT_EQ(run.status, 0) << run.output;
  for (const char* bundle : {"Cindergate", "Ashveil"}) {
    for (int v = 1; v <= 4; ++v) {
      const std::string base = (dir / (std::string(bundle) + "-" + std::to_string(v))).string();
      zk::video::VideoTrack t(base + ".mp4", 2);
      EXPECT_EQ(t.frames(), std::string(bundle) == "Cindergate" ? 134 : 100) << base;
      int w = 0, h = 0;
      RgbFrames(base + ".png", &w, &h);
      EXPECT_GT(w, 4 * h) << "a strip of frames side by side";
    }
  }
}

}  // namespace
}  // namespace zk::test
