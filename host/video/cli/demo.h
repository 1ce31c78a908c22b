// The built-in clips of `zkhost demo`.
#pragma once

#include <string>

namespace zk::video {

// Writes a clip of moving gradients and shapes with a tone: style 0 and 1
// differ in picture and pitch, so that a transition between them shows.
void MakeDemoClip(const std::string& path, int style, int width, int height, int fps,
                  double seconds);

}  // namespace zk::video
