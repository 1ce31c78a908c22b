// Text in the current port.  (Glyph rendering arrives with the text module.)
#include "world.h"
#include "zk_graphics.h"

namespace zk::platform {
void ReleaseTextState(World*) {}
}  // namespace zk::platform

extern "C" {
int16_t StringWidth(ConstStr255Param) { return 0; }
void DrawString(ConstStr255Param) {}
}
