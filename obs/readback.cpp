#include "readback.h"

#include <obs.h>

namespace zk::obs {

void DrawTexture(gs_texture_t* texture, uint32_t cx, uint32_t cy, bool opaque) {
  // The values as they are: no sRGB conversion either way.
  const bool previous = gs_framebuffer_srgb_enabled();
  gs_enable_framebuffer_srgb(false);
  gs_effect_t* effect = obs_get_base_effect(opaque ? OBS_EFFECT_OPAQUE : OBS_EFFECT_DEFAULT);
  gs_effect_set_texture(gs_effect_get_param_by_name(effect, "image"), texture);
  while (gs_effect_loop(effect, "Draw")) gs_draw_sprite(texture, 0, cx, cy);
  gs_enable_framebuffer_srgb(previous);
}

Readback::~Readback() { Release(); }

bool Readback::Readable(gs_texture_t* a, gs_texture_t* b) {
  if (a == nullptr || gs_texture_get_color_format(a) != GS_RGBA) return false;
  if (b == nullptr) return true;
  return gs_texture_get_color_format(b) == GS_RGBA &&
         gs_texture_get_width(a) == gs_texture_get_width(b) &&
         gs_texture_get_height(a) == gs_texture_get_height(b);
}

void Readback::Release() {
  for (Slot& slot : slots_) {
    Unmap(slot);
    gs_stagesurface_destroy(slot.a);
    gs_stagesurface_destroy(slot.b);
    slot = Slot{};
  }
  for (gs_texture_t*& texture : outputs_) {
    gs_texture_destroy(texture);
    texture = nullptr;
  }
  width_ = height_ = 0;
  shown_ = false;
}

void Readback::Allocate(uint32_t width, uint32_t height, bool two) {
  Release();
  for (Slot& slot : slots_) {
    slot.a = gs_stagesurface_create(width, height, GS_RGBA);
    if (two) slot.b = gs_stagesurface_create(width, height, GS_RGBA);
  }
  // The platform's pixel words are B, G, R, X in memory: uploaded as they
  // are, and drawn opaque.  (BGRX would say so, but llvmpipe converts it
  // into its store pixel by pixel.)
  for (gs_texture_t*& texture : outputs_) texture = gs_texture_create(width, height, GS_BGRA, 1, nullptr, GS_DYNAMIC);
  width_ = width;
  height_ = height;
  two_ = two;
}

void Readback::Unmap(Slot& slot) {
  if (slot.state != Slot::kBusy) return;
  gs_stagesurface_unmap(slot.a);
  if (slot.b != nullptr) gs_stagesurface_unmap(slot.b);
  slot.state = Slot::kFree;
}

Readback::Slot* Readback::Find(Slot::State state) {
  for (Slot& slot : slots_) {
    if (slot.state == state) return &slot;
  }
  return nullptr;
}

void Readback::Reset(Worker* worker) {
  if (worker != nullptr) worker->Wait();
  for (Slot& slot : slots_) {
    Unmap(slot);
    slot.state = Slot::kFree;
  }
  shown_ = false;
}

gs_texture_t* Readback::Step(Worker& worker, gs_texture_t* a, gs_texture_t* b, const Job& job,
                             std::string* failed) {
  const uint32_t width = gs_texture_get_width(a), height = gs_texture_get_height(a);
  if (width != width_ || height != height_ || (b != nullptr) != two_) {
    worker.Wait();
    Allocate(width, height, b != nullptr);
  }
  if (outputs_[1] == nullptr || slots_[0].a == nullptr || (two_ && slots_[0].b == nullptr)) return nullptr;
  // The frame handed over last time goes up, if the worker has made it.
  if (Slot* busy = Find(Slot::kBusy)) {
    if (worker.Busy()) return shown_ ? outputs_[shownIndex_] : nullptr;
    Unmap(*busy);
    if (worker.result() == kPluginOK) {
      const zk::host::World& out = worker.output();
      PixMapHandle pixels = GetGWorldPixMap(out.get());
      // Into the texture not drawn last time, which the GPU may still be reading.
      shownIndex_ = shown_ ? 1 - shownIndex_ : 0;
      gs_texture_set_image(outputs_[shownIndex_], reinterpret_cast<const uint8_t*>(GetPixBaseAddr(pixels)),
                           uint32_t(GetPixRowBytes(pixels)), false);
      shown_ = true;
    } else {
      *failed = worker.error();
    }
  }
  // The pictures staged last time are complete by now: to the worker.
  if (Slot* staged = Find(Slot::kStaged)) {
    uint8_t* pa = nullptr;
    uint8_t* pb = nullptr;
    uint32_t la = 0, lb = 0;
    bool mapped = gs_stagesurface_map(staged->a, &pa, &la);
    if (mapped && staged->b != nullptr && !gs_stagesurface_map(staged->b, &pb, &lb)) {
      gs_stagesurface_unmap(staged->a);
      mapped = false;
    }
    staged->state = mapped ? Slot::kBusy : Slot::kFree;
    if (mapped) {
      Job next = staged->job;
      next.a = {pa, la};
      next.b = {pb, lb};
      worker.Start(next);
    }
  }
  // This frame's pictures are copied on the GPU, to be read next time.
  if (Slot* free = Find(Slot::kFree)) {
    gs_stage_texture(free->a, a);
    if (b != nullptr) gs_stage_texture(free->b, b);
    free->job = job;
    free->job.width = int(width);
    free->job.height = int(height);
    free->state = Slot::kStaged;
  }
  return shown_ ? outputs_[shownIndex_] : nullptr;
}

}  // namespace zk::obs
