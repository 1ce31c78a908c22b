/*
 * zk_plugin_layout.h -- compile-time checks of the record layout.
 *
 * Records without pointers are checked on every build; the ones that hold
 * pointers are checked where their offsets apply, on 32-bit Intel.
 * Include from any C or C++ translation unit.
 */
#ifndef ZK_PLUGIN_LAYOUT_H
#define ZK_PLUGIN_LAYOUT_H

#include <stddef.h>

#include "zk_plugin.h"

#ifdef __cplusplus
#define ZK_STATIC_ASSERT static_assert
#else
#define ZK_STATIC_ASSERT _Static_assert
#endif
#define ZK_LAYOUT_SIZE(T, n) ZK_STATIC_ASSERT(sizeof(T) == (n), "size of " #T)
#define ZK_LAYOUT_FIELD(T, f, n) ZK_STATIC_ASSERT(offsetof(T, f) == (n), "offset of " #T "." #f)

ZK_STATIC_ASSERT(sizeof(ZKPluginSelector) == 1 && sizeof(ZKPluginResult) == 1 &&
                     sizeof(ZKPluginType) == 1 && sizeof(ZKTitleType) == 1 &&
                     sizeof(ZKPluginDirection) == 1 && sizeof(ZKTitleJustification) == 1 &&
                     sizeof(ZKRefDVQuality) == 1 && sizeof(ZKRefClipType) == 1 &&
                     sizeof(ZKRefDigitalVideoStandard) == 1,
                 "enumerations are one byte");

ZK_LAYOUT_SIZE(ZKPluginGetInfo, 48);
ZK_LAYOUT_FIELD(ZKPluginGetInfo, pluginType, 0);
ZK_LAYOUT_FIELD(ZKPluginGetInfo, titleType, 1);
ZK_LAYOUT_FIELD(ZKPluginGetInfo, pluginFlags, 4);
ZK_LAYOUT_FIELD(ZKPluginGetInfo, framesToBeRendered, 8);
ZK_LAYOUT_FIELD(ZKPluginGetInfo, takeFromClipBefore, 12);
ZK_LAYOUT_FIELD(ZKPluginGetInfo, takeFromClipAfter, 16);
ZK_LAYOUT_FIELD(ZKPluginGetInfo, minSpeedFrames, 20);
ZK_LAYOUT_FIELD(ZKPluginGetInfo, maxSpeedFrames, 24);
ZK_LAYOUT_FIELD(ZKPluginGetInfo, mustTakeFromSingleClips, 28);
ZK_LAYOUT_FIELD(ZKPluginGetInfo, bestThumbOffset, 32);
ZK_LAYOUT_FIELD(ZKPluginGetInfo, defaultColor, 36);
ZK_LAYOUT_FIELD(ZKPluginGetInfo, defaultDirection, 42);
ZK_LAYOUT_FIELD(ZKPluginGetInfo, justify, 43);
ZK_LAYOUT_FIELD(ZKPluginGetInfo, defaultFontNum, 44);
ZK_LAYOUT_FIELD(ZKPluginGetInfo, defaultFontSize, 46);
ZK_LAYOUT_SIZE(ZKPluginFilterSliderInfo, 388);
ZK_LAYOUT_FIELD(ZKPluginFilterSliderInfo, label, 0);
ZK_LAYOUT_FIELD(ZKPluginFilterSliderInfo, minLabel, 128);
ZK_LAYOUT_FIELD(ZKPluginFilterSliderInfo, maxLabel, 256);
ZK_LAYOUT_FIELD(ZKPluginFilterSliderInfo, defaultValue, 384);
ZK_LAYOUT_SIZE(ZK2PluginGetInfo, 1328);
ZK_LAYOUT_FIELD(ZK2PluginGetInfo, group, 0);
ZK_LAYOUT_FIELD(ZK2PluginGetInfo, filterSliders, 128);
ZK_LAYOUT_FIELD(ZK2PluginGetInfo, defaultFadeInFrames, 1292);
ZK_LAYOUT_FIELD(ZK2PluginGetInfo, defaultFadeOutFrames, 1296);
ZK_LAYOUT_FIELD(ZK2PluginGetInfo, minHangFrames, 1300);
ZK_LAYOUT_FIELD(ZK2PluginGetInfo, maxHangFrames, 1304);
ZK_LAYOUT_FIELD(ZK2PluginGetInfo, defaultFontSizeScale, 1308);
ZK_LAYOUT_FIELD(ZK2PluginGetInfo, selectedFrames, 1312);
ZK_LAYOUT_FIELD(ZK2PluginGetInfo, speedFrames, 1316);
ZK_LAYOUT_FIELD(ZK2PluginGetInfo, hangFrames, 1320);
ZK_LAYOUT_FIELD(ZK2PluginGetInfo, baseMemoryNeeded, 1324);
ZK_LAYOUT_SIZE(ZK4PluginGetInfo, 388);
ZK_LAYOUT_FIELD(ZK4PluginGetInfo, titleSliders, 0);
ZK_LAYOUT_SIZE(ZKPluginTransitionInfo, 8);
ZK_LAYOUT_FIELD(ZKPluginTransitionInfo, speed, 0);
ZK_LAYOUT_FIELD(ZKPluginTransitionInfo, ver2, 4);
ZK_LAYOUT_SIZE(ZK2PluginTransitionInfo, 1);
ZK_LAYOUT_FIELD(ZK2PluginTransitionInfo, direction, 0);
ZK_LAYOUT_SIZE(FSSpec, 70);
ZK_LAYOUT_FIELD(FSSpec, vRefNum, 0);
ZK_LAYOUT_FIELD(FSSpec, parID, 2);
ZK_LAYOUT_FIELD(FSSpec, name, 6);
ZK_LAYOUT_SIZE(ZKRefClip, 220);
ZK_LAYOUT_FIELD(ZKRefClip, clipType, 0);
ZK_LAYOUT_FIELD(ZKRefClip, name, 1);
ZK_LAYOUT_FIELD(ZKRefClip, standard, 129);
ZK_LAYOUT_FIELD(ZKRefClip, frameCount, 132);
ZK_LAYOUT_FIELD(ZKRefClip, in, 136);
ZK_LAYOUT_FIELD(ZKRefClip, out, 140);
ZK_LAYOUT_FIELD(ZKRefClip, fileSpec, 144);
ZK_LAYOUT_FIELD(ZKRefClip, absoluteStartFrame, 216);
ZK_LAYOUT_SIZE(ZK2PluginClipInfo, 12);
ZK_LAYOUT_FIELD(ZK2PluginClipInfo, backwards, 0);
ZK_LAYOUT_FIELD(ZK2PluginClipInfo, frameSpeed, 2);
ZK_LAYOUT_FIELD(ZK2PluginClipInfo, fadeInFrames, 4);
ZK_LAYOUT_FIELD(ZK2PluginClipInfo, fadeOutFrames, 8);
ZK_LAYOUT_SIZE(ZK4PluginClipInfo, 224);
ZK_LAYOUT_FIELD(ZK4PluginClipInfo, clipFrame, 0);
ZK_LAYOUT_FIELD(ZK4PluginClipInfo, clipRef, 4);
ZK_LAYOUT_SIZE(ZKPluginClipInfo, 496);
ZK_LAYOUT_FIELD(ZKPluginClipInfo, volume, 0);
ZK_LAYOUT_FIELD(ZKPluginClipInfo, fadeIn, 2);
ZK_LAYOUT_FIELD(ZKPluginClipInfo, fadeOut, 3);
ZK_LAYOUT_FIELD(ZKPluginClipInfo, name, 4);
ZK_LAYOUT_FIELD(ZKPluginClipInfo, ver2, 260);
ZK_LAYOUT_FIELD(ZKPluginClipInfo, ver4, 272);
ZK_LAYOUT_SIZE(Rect, 8);
ZK_LAYOUT_FIELD(Rect, top, 0);
ZK_LAYOUT_FIELD(Rect, left, 2);
ZK_LAYOUT_FIELD(Rect, bottom, 4);
ZK_LAYOUT_FIELD(Rect, right, 6);
ZK_LAYOUT_SIZE(RGBColor, 6);
ZK_LAYOUT_FIELD(RGBColor, red, 0);
ZK_LAYOUT_FIELD(RGBColor, green, 2);
ZK_LAYOUT_FIELD(RGBColor, blue, 4);

#if defined(__i386__)
#define ZK_LAYOUT_CHECKED_32 1
ZK_LAYOUT_SIZE(ZKPluginParams, 1940);
ZK_LAYOUT_FIELD(ZKPluginParams, interfaceVersion, 0);
ZK_LAYOUT_FIELD(ZKPluginParams, instance, 4);
ZK_LAYOUT_FIELD(ZKPluginParams, selector, 8);
ZK_LAYOUT_FIELD(ZKPluginParams, procs, 12);
ZK_LAYOUT_FIELD(ZKPluginParams, getInfo, 16);
ZK_LAYOUT_FIELD(ZKPluginParams, startFrame, 64);
ZK_LAYOUT_FIELD(ZKPluginParams, renderFrame, 68);
ZK_LAYOUT_FIELD(ZKPluginParams, frameCount, 72);
ZK_LAYOUT_FIELD(ZKPluginParams, proxyOnly, 76);
ZK_LAYOUT_FIELD(ZKPluginParams, frameRect, 78);
ZK_LAYOUT_FIELD(ZKPluginParams, frame, 88);
ZK_LAYOUT_FIELD(ZKPluginParams, clientData, 92);
ZK_LAYOUT_FIELD(ZKPluginParams, getInfo2, 96);
ZK_LAYOUT_FIELD(ZKPluginParams, getInfo3, 1424);
ZK_LAYOUT_FIELD(ZKPluginParams, getInfo4, 1552);
ZK_LAYOUT_SIZE(ZKPluginFileOpenInfo, 80);
ZK_LAYOUT_FIELD(ZKPluginFileOpenInfo, typeCount, 0);
ZK_LAYOUT_FIELD(ZKPluginFileOpenInfo, hTypes, 4);
ZK_LAYOUT_FIELD(ZKPluginFileOpenInfo, chosenFile, 8);
ZK_LAYOUT_SIZE(ZK3PluginGetInfo, 128);
ZK_LAYOUT_FIELD(ZK3PluginGetInfo, defaultX, 0);
ZK_LAYOUT_FIELD(ZK3PluginGetInfo, defaultY, 4);
ZK_LAYOUT_FIELD(ZK3PluginGetInfo, userX, 8);
ZK_LAYOUT_FIELD(ZK3PluginGetInfo, userY, 12);
ZK_LAYOUT_FIELD(ZK3PluginGetInfo, fileInfo, 16);
ZK_LAYOUT_FIELD(ZK3PluginGetInfo, buttonTitle, 96);
ZK_LAYOUT_SIZE(ZKProcs, 120);
ZK_LAYOUT_FIELD(ZKProcs, NewPtr, 0);
ZK_LAYOUT_FIELD(ZKProcs, NewPtrClear, 4);
ZK_LAYOUT_FIELD(ZKProcs, DisposePtr, 8);
ZK_LAYOUT_FIELD(ZKProcs, ptocstr, 12);
ZK_LAYOUT_FIELD(ZKProcs, ctopstr, 16);
ZK_LAYOUT_FIELD(ZKProcs, pstrcpy, 20);
ZK_LAYOUT_FIELD(ZKProcs, strcpy, 24);
ZK_LAYOUT_FIELD(ZKProcs, strlen, 28);
ZK_LAYOUT_FIELD(ZKProcs, GetLocalizedString, 32);
ZK_LAYOUT_FIELD(ZKProcs, GetFrame, 36);
ZK_LAYOUT_FIELD(ZKProcs, ReleaseFrame, 40);
ZK_LAYOUT_FIELD(ZKProcs, GetAudioFrame, 44);
ZK_LAYOUT_FIELD(ZKProcs, ReleaseAudioFrame, 48);
ZK_LAYOUT_FIELD(ZKProcs, GetMovieInfo, 52);
ZK_LAYOUT_FIELD(ZKProcs, GetClipInfo, 56);
ZK_LAYOUT_FIELD(ZKProcs, SetClipInfo, 60);
ZK_LAYOUT_FIELD(ZKProcs, Blit, 64);
ZK_LAYOUT_FIELD(ZKProcs, FillRect, 68);
ZK_LAYOUT_FIELD(ZKProcs, TextBounds, 72);
ZK_LAYOUT_FIELD(ZKProcs, DrawText, 76);
ZK_LAYOUT_FIELD(ZKProcs, GetTitleInfo, 80);
ZK_LAYOUT_FIELD(ZKProcs, ReleaseTitleInfo, 84);
ZK_LAYOUT_FIELD(ZKProcs, GetTransitionInfo, 88);
ZK_LAYOUT_FIELD(ZKProcs, ReleaseTransitionInfo, 92);
ZK_LAYOUT_FIELD(ZKProcs, MixAudio, 96);
ZK_LAYOUT_FIELD(ZKProcs, GetFilterInfo, 100);
ZK_LAYOUT_FIELD(ZKProcs, ReleaseFilterInfo, 104);
ZK_LAYOUT_FIELD(ZKProcs, StringWidth, 108);
ZK_LAYOUT_FIELD(ZKProcs, CGDrawText, 112);
ZK_LAYOUT_FIELD(ZKProcs, CGStringWidth, 116);
#endif

#endif /* ZK_PLUGIN_LAYOUT_H */
