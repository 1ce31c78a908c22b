// The placeholder frame: the output erased to dark grey and the host's text
// (or "In Progress...") in 64-point white letters over a black shadow.
#include <cstdint>

#include "plugin_support.h"

extern "C" const RGBColor rgbDkGray;
extern "C" const RGBColor rgbWhite;

namespace zk {
namespace {

constexpr int16_t kTextSize = 64;
constexpr int16_t kShadowOffset = 2;
const Str32 kDefaultText = {14, 'I', 'n', ' ', 'P', 'r', 'o', 'g', 'r', 'e', 's', 's', '.', '.', '.'};

}  // namespace

ZKPluginResult DrawPlaceholder(ZKPluginParams* params) {
  if (params->frame == nullptr || !Offers(*params, &ZKProcs::GetLocalizedString)) {
    return kPluginBadParams;
  }
  const ZKProcs* procs = params->procs;
  // The text first: a refusal leaves the port and the world alone.
  Str255 textStr = {0};
  procs->GetLocalizedString(textStr, kZKPlaceholderStringList, kZKPlaceholderStringIndex);
  if (textStr[0] == 0) {
    if (!Offers(*params, &ZKProcs::pstrcpy)) return kPluginBadParams;
    procs->pstrcpy(textStr, kDefaultText);
  }
  const int16_t frameWidth = FrameWidth(params->frameRect);
  const int16_t frameHeight = FrameHeight(params->frameRect);

  // The output world stays the current port afterwards: hosts rely on it.
  SetGWorld(params->frame, nullptr);
  PixMapHandle pixMapHandle = GetGWorldPixMap(params->frame);
  const GWorldFlags pixFlags = GetPixelsState(pixMapHandle);
  LockPixels(pixMapHandle);

  TextSize(kTextSize);
  const int16_t textWidth = StringWidth(textStr);
  const auto locX = static_cast<int16_t>((int32_t(frameWidth) - textWidth) / 2);
  const auto locY = static_cast<int16_t>(frameHeight / 3);

  RGBBackColor(&rgbDkGray);
  EraseRect(&params->frameRect);
  RGBBackColor(&rgbWhite);

  // Pen positions are the world's own coordinates, not offset by frameRect.
  if (textStr[0] != 0) {
    MoveTo(locX, locY);
    ForeColor(blackColor);
    DrawString(textStr);
    MoveTo(int16_t(locX - kShadowOffset), int16_t(locY - kShadowOffset));
    ForeColor(whiteColor);
    DrawString(textStr);
  }
  SetPixelsState(pixMapHandle, pixFlags);
  return kPluginOK;
}

}  // namespace zk
