#include "worker.h"

#include <string>

namespace zk::obs {

using zk::host::World;

void RgbaToWorld(const Picture& picture, int width, int height, const World& world) {
  for (int y = 0; y < height; ++y) {
    const uint8_t* src = picture.rgba + size_t(y) * picture.linesize;
    uint32_t* dst = world.row(y);
    for (int x = 0; x < width; ++x, src += 4) {
      dst[x] = uint32_t(src[3]) << 24 | uint32_t(src[0]) << 16 | uint32_t(src[1]) << 8 | src[2];
    }
  }
}

ZKPluginResult ScenePictures::Fetch(int32_t number, ZKRefDVQuality, const World& into) {
  const Picture* src = number == 0 ? &job_.a : number == job_.frames ? &job_.b : nullptr;
  if (src == nullptr || src->rgba == nullptr) return kPluginCantGetNeededFrame;
  // The bundles ask for the output's size; anything else is not ours to scale.
  if (into.width() != job_.width || into.height() != job_.height) return kPluginCantGetNeededFrame;
  RgbaToWorld(*src, job_.width, job_.height, into);
  return kPluginOK;
}

Worker::Worker(const zk::host::Bundle& bundle) : bundle_(bundle), thread_([this] { Run(); }) {}

Worker::~Worker() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Worker::Start(const Job& job) {
  {
    std::lock_guard lock(mutex_);
    job_ = job;
    busy_ = true;
  }
  wake_.notify_all();
}

bool Worker::Busy() {
  std::lock_guard lock(mutex_);
  return busy_;
}

void Worker::Wait() {
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [&] { return !busy_; });
}

void Worker::Run() {
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stop_ || busy_; });
      if (stop_) break;
    }
    Render();
    {
      std::lock_guard lock(mutex_);
      busy_ = false;
    }
    wake_.notify_all();
  }
  // The instance terminates on the thread that ran it.
  instance_.reset();
}

// An instance of the job's variant, initialized, and an output of its size.
bool Worker::Prepare() {
  const std::string who = bundle_.path() + " variant " + std::to_string(job_.which);
  try {
    if (instance_ == nullptr || instance_->which() != job_.which) {
      instance_.reset();
      auto instance = std::make_unique<zk::host::PluginInstance>(bundle_, job_.which);
      instance->set_frame_source(&pictures_);
      const int r = instance->Call(kPlugInitialize);
      if (r != kPluginOK || instance->params().clientData == nullptr) {
        error_ = who + " refused to initialize (result " + std::to_string(r) + ")";
        return false;
      }
      instance_ = std::move(instance);
    }
    if (output_.get() == nullptr || output_.width() != job_.width || output_.height() != job_.height) {
      output_ = World(job_.width, job_.height);
    }
    return true;
  } catch (const std::exception& e) {
    error_ = who + ": " + e.what();
    return false;
  }
}

void Worker::Render() {
  error_.clear();
  if (!Prepare()) {
    result_ = kPluginFailed;
    return;
  }
  pictures_.Set(job_);
  const Rect rect{0, 0, int16_t(job_.height), int16_t(job_.width)};
  try {
    result_ = instance_->DoFrame(-job_.frame, job_.frame, job_.frames, output_.get(), rect);
  } catch (const std::exception& e) {
    // Nothing may leave this thread: OBS would go down with it.
    pictures_.Set(Job{});
    result_ = kPluginFailed;
    error_ = bundle_.path() + ": " + e.what();
    return;
  }
  if (result_ != kPluginOK) {
    error_ = bundle_.path() + " variant " + std::to_string(job_.which) + " refused frame " +
             std::to_string(job_.frame) + " of " + std::to_string(job_.frames) + " (result " +
             std::to_string(result_) + ")";
  }
  pictures_.Set(Job{});
}

}  // namespace zk::obs
