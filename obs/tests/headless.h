// libobs started without a user interface, as the tests and the benchmark
// run it: under xvfb-run, with EGL on X11 and OpenGL (llvmpipe here),
// modules opened one by one (obs_load_all_modules needs a QApplication).
#pragma once

#include <obs-module.h>
#include <obs-nix-platform.h>
#include <obs.h>
#include <png.h>

#include <cmath>
#include <string>
#include <vector>

#include "frames.h"

// Xlib's two calls, without its macros (None, Bool, ...), which clash with
// GoogleTest's names.
extern "C" {
typedef struct _XDisplay Display;
Display* XOpenDisplay(const char* name);
int XCloseDisplay(Display* display);
}

namespace zk::obs::headless {

using zk::host::Image;

// Pictures with every brightness: gradients across, a pattern down.
inline Image PictureA(int w, int h) {
  Image image(w, h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const uint32_t r = uint32_t(x * 255 / (w - 1)), g = uint32_t(y * 255 / (h - 1));
      const uint32_t b = uint32_t((x * 7 + y * 13) & 255);
      image.at(x, y) = 0xFF000000u | r << 16 | g << 8 | b;
    }
  }
  return image;
}

inline Image PictureB(int w, int h) {
  Image image(w, h);
  const double s = 96.0 / w;  // the same pattern at every size
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const double v = std::sin(x * s * 0.21) * std::cos(y * s * 0.17);
      const uint32_t r = uint32_t(127.5 + 127.5 * v), g = uint32_t((x + y) * 255 / (w + h - 2));
      const uint32_t b = uint32_t(255 - r);
      image.at(x, y) = 0xFF000000u | r << 16 | g << 8 | b;
    }
  }
  return image;
}

inline bool WritePng(const std::string& path, const Image& image) {
  std::vector<uint8_t> rgb;
  rgb.reserve(image.pixels.size() * 3);
  for (uint32_t p : image.pixels) {
    rgb.push_back(uint8_t(p >> 16));
    rgb.push_back(uint8_t(p >> 8));
    rgb.push_back(uint8_t(p));
  }
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  png.width = uint32_t(image.width);
  png.height = uint32_t(image.height);
  png.format = PNG_FORMAT_RGB;
  return png_image_write_to_file(&png, path.c_str(), 0, rgb.data(), 0, nullptr) != 0;
}

// Starts libobs with video of width x height at fps frames a second,
// delivered as BGRA (libobs 29.0 delivers RGBA output as zeros), and
// stereo sound at 48 kHz.  Returns the display to close after
// obs_shutdown, or null with the reason OBS cannot run here in *why.
inline Display* StartObs(uint32_t width, uint32_t height, uint32_t fps, std::string* why) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    *why = "no X server (run under xvfb-run -a): OBS cannot start";
    return nullptr;
  }
  obs_set_nix_platform(OBS_NIX_PLATFORM_X11_EGL);
  obs_set_nix_platform_display(display);
  if (!obs_startup("en-US", nullptr, nullptr)) {
    *why = "obs_startup failed";
    XCloseDisplay(display);
    return nullptr;
  }
  obs_video_info ovi{};
  ovi.graphics_module = "libobs-opengl";
  ovi.fps_num = fps;
  ovi.fps_den = 1;
  ovi.base_width = ovi.output_width = width;
  ovi.base_height = ovi.output_height = height;
  ovi.output_format = VIDEO_FORMAT_BGRA;
  ovi.colorspace = VIDEO_CS_SRGB;
  ovi.range = VIDEO_RANGE_FULL;
  ovi.scale_type = OBS_SCALE_DISABLE;
  const int r = obs_reset_video(&ovi);
  if (r != OBS_VIDEO_SUCCESS) {
    *why = "obs_reset_video failed (" + std::to_string(r) + "): no EGL or OpenGL here";
    obs_shutdown();
    XCloseDisplay(display);
    return nullptr;
  }
  obs_audio_info oai{48000, SPEAKERS_STEREO};
  obs_reset_audio(&oai);
  return display;
}

inline bool OpenModule(const std::string& file, const std::string& data, std::string* error) {
  obs_module_t* module = nullptr;
  const int r = obs_open_module(&module, file.c_str(), data.c_str());
  if (r != MODULE_SUCCESS) {
    *error = file + ": obs_open_module returned " + std::to_string(r);
    return false;
  }
  if (!obs_init_module(module)) {
    *error = file + ": obs_init_module failed";
    return false;
  }
  return true;
}

// OBS's image source, and ours (with its locale files).
inline bool OpenModules(std::string* error) {
  const std::string obsPlugins = std::string(ZK_OBS_LIBDIR) + "/obs-plugins";
  return OpenModule(obsPlugins + "/image-source.so", ZK_OBS_DATADIR "/obs-plugins/image-source", error) &&
         OpenModule(ZK_OBS_MODULE, ZK_OBS_MODULE_DATA, error);
}

// A scene holding one image source that shows the picture in `png`.
inline obs_scene_t* ImageScene(const char* name, const std::string& png) {
  obs_scene_t* scene = obs_scene_create_private(name);
  obs_data_t* settings = obs_data_create();
  obs_data_set_string(settings, "file", png.c_str());
  obs_source_t* image = obs_source_create_private("image_source", (std::string(name) + " picture").c_str(), settings);
  obs_data_release(settings);
  obs_scene_add(scene, image);
  obs_source_release(image);
  return scene;
}

}  // namespace zk::obs::headless
