/*
 * zk_plugin.h -- the binary interface between a host and a transition
 * plug-in bundle.
 *
 * A bundle is a shared object that exports exactly:
 *
 *   int main(int which, ZKPluginParams* params);      (plain C name "main")
 *   const RGBColor rgbWhite, rgbBlack, rgbDkGray, rgbLtGray, rgbGreen,
 *                  rgbReddish;
 *
 * The host calls main once per request.  `which` is the variant (1 to 4);
 * only its low 16 bits are examined, so a host may pass a short in a full
 * int register with anything in the upper bits.  The result is a
 * ZKPluginResult, zero-extended.
 *
 * Layout.  Every record below has fixed offsets and sizes, given for the
 * 32-bit Intel build and checked there at compile time.  On 64-bit builds
 * the fields keep their order and pointers widen; the records that hold no
 * pointer have the same layout on both.  Native byte order throughout.
 *
 * Ownership.  The host allocates and owns the parameter block and every
 * record reached from it; a plug-in borrows them for one call of main
 * (frames and the transition record until it gives them back within that
 * call).  The plug-in owns only `clientData`, allocated with the host's
 * NewPtrClear at kPlugInitialize and freed with DisposePtr at
 * kPlugTerminate.
 *
 * Threads.  main keeps no global state: a host may call different
 * instances (different parameter blocks) on different threads at once.
 * One instance must not be called from two threads at the same time.
 *
 * Results.  A host service returns its ZKPluginResult in the low byte of a
 * 32-bit word (ZKServiceResult); the upper bytes carry nothing and must be
 * ignored (0xFFFFFF00 means kPluginOK).
 *
 * Unknown values.  Selectors other than those handled succeed and do
 * nothing; unknown variants are described and rendered as documented by
 * each bundle (nothing drawn, kPluginOK).
 */
#ifndef ZK_PLUGIN_H
#define ZK_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

#include "zk_graphics.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Enumerations: one byte each ---------------------------------------- */

typedef uint8_t ZKPluginSelector;
enum {
  kPlugGetInfo = 1,
  kPlugInitialize = 2,
  kPlugDrawIcon = 3,
  kPlugDrawThumbNail = 4,
  kPlugFilePlaceHolder = 5,
  kPlugDoFrame = 6,
  kPlugCallOnceWithInitAndTerminate = 7,
  kPlugTerminate = 8,
  kPlugCustomButtonClick = 9
};

typedef uint8_t ZKPluginResult;
enum {
  kPluginOK = 0,
  kPluginCancel = 1,
  kPluginFinished = 2,
  kPluginBadParams = 3,
  kPluginOutOfMemory = 4,
  kPluginOutOfDiskSpace = 5,
  kPluginFailed = 6,
  kPluginCantGetNeededFrame = 7,
  kPluginUnimplemented = 8,
  kPluginTryAgainLater = 9,
  kPluginAppIsTooOld = 10,
  kPluginAppIsTooNew = 11
};

typedef uint8_t ZKPluginType;
enum {
  kPluginUnknownType = 0,
  kPluginTitleType = 101,
  kPluginTransitionBeforeType = 102,
  kPluginTransitionBetweenType = 103,
  kPluginTransitionAfterType = 104,
  kPluginFilterType = 105
};

typedef uint8_t ZKTitleType;
enum { kTitleUnknown = 1, kTitleSingleTextPair = 2, kTitleMultiTextPair = 3, kTitleTextBlock = 4 };

typedef uint8_t ZKPluginDirection;
enum {
  kPluginDirectionNone = 0,
  kPluginDirectionUp = 1,
  kPluginDirectionDown = 2,
  kPluginDirectionLeft = 3,
  kPluginDirectionRight = 4
};

typedef uint8_t ZKTitleJustification;
enum { kTitleJustCenter = 0, kTitleJustLeft = 1, kTitleJustRight = 2 };

typedef uint8_t ZKRefDVQuality;
enum { kDVLowQuality = 0, kDVHighQuality = 1, kDVHighQualitySingleField = 2 };

typedef uint8_t ZKRefClipType;
enum {
  kRefUnknownClipType = 0,
  kRefRegularClipType = 1,
  kRefTransitionClipType = 2,
  kRefTitleClipType = 3,
  kRefImageClipType = 4,
  kRefBlackClipType = 5,
  kRefPanZoomClipType = 6
};

typedef uint8_t ZKRefDigitalVideoStandard;
enum { kRefUnknownStandard = 0, kRefNTSCStandard = 1, kRefPALStandard = 2 };

/* ---- Scalars -------------------------------------------------------------- */

typedef struct ZKOpaqueInstance* ZKPluginInstance; /* host's token, passed back */
typedef struct ZKOpaqueCookie* ZKFrameCookie;      /* host's token for one frame */
typedef uint32_t ZKPluginChoiceFlags;
typedef uint32_t ZKServiceResult; /* a ZKPluginResult in the low byte */

/* ---- Records -------------------------------------------------------------- */

/* A file reference, packed to 70 bytes. */
typedef struct __attribute__((packed)) FSSpec {
  int16_t vRefNum;
  int32_t parID;
  unsigned char name[64];
} FSSpec;

typedef struct ZKPluginGetInfo {
  ZKPluginType pluginType;
  ZKTitleType titleType;
  ZKPluginChoiceFlags pluginFlags;
  int32_t framesToBeRendered;
  int32_t takeFromClipBefore;
  int32_t takeFromClipAfter;
  int32_t minSpeedFrames;
  int32_t maxSpeedFrames;
  Boolean mustTakeFromSingleClips;
  int32_t bestThumbOffset;
  RGBColor defaultColor;
  ZKPluginDirection defaultDirection;
  ZKTitleJustification justify;
  int16_t defaultFontNum;
  int16_t defaultFontSize;
} ZKPluginGetInfo;

typedef struct ZKPluginFilterSliderInfo {
  char label[128];
  char minLabel[128];
  char maxLabel[128];
  float defaultValue;
} ZKPluginFilterSliderInfo;

typedef struct ZK2PluginGetInfo {
  char group[128];
  ZKPluginFilterSliderInfo filterSliders[3];
  int32_t defaultFadeInFrames;
  int32_t defaultFadeOutFrames;
  int32_t minHangFrames;
  int32_t maxHangFrames;
  float defaultFontSizeScale;
  int32_t selectedFrames;
  int32_t speedFrames;
  int32_t hangFrames;
  int32_t baseMemoryNeeded;
} ZK2PluginGetInfo;

typedef struct ZKPluginFileOpenInfo {
  int16_t typeCount;
  Handle hTypes;
  FSSpec chosenFile;
} ZKPluginFileOpenInfo;

typedef struct ZK3PluginGetInfo {
  float defaultX;
  float defaultY;
  float userX;
  float userY;
  ZKPluginFileOpenInfo fileInfo;
  char buttonTitle[32];
} ZK3PluginGetInfo;

typedef struct ZK4PluginGetInfo {
  ZKPluginFilterSliderInfo titleSliders;
} ZK4PluginGetInfo;

typedef struct ZK2PluginTransitionInfo {
  ZKPluginDirection direction;
} ZK2PluginTransitionInfo;

typedef struct ZKPluginTransitionInfo {
  float speed; /* 0.0 maps to 10 frames, 1.0 to 120 */
  ZK2PluginTransitionInfo ver2;
} ZKPluginTransitionInfo;

typedef struct ZKRefClip {
  ZKRefClipType clipType;
  char name[128];
  ZKRefDigitalVideoStandard standard;
  int32_t frameCount;
  int32_t in;
  int32_t out;
  FSSpec fileSpec;
  int32_t absoluteStartFrame;
} ZKRefClip;

typedef struct ZK2PluginClipInfo {
  Boolean backwards;
  int16_t frameSpeed;
  int32_t fadeInFrames;
  int32_t fadeOutFrames;
} ZK2PluginClipInfo;

typedef struct ZK4PluginClipInfo {
  int32_t clipFrame;
  ZKRefClip clipRef;
} ZK4PluginClipInfo;

typedef struct ZKPluginClipInfo {
  int16_t volume;
  Boolean fadeIn;
  Boolean fadeOut;
  char name[256];
  ZK2PluginClipInfo ver2;
  ZK4PluginClipInfo ver4;
} ZKPluginClipInfo;

/* ---- The host's service table ------------------------------------------------
 *
 * Services used by these plug-ins, and what they rely on:
 *   NewPtrClear(size)            zero-filled block, or null when out of memory
 *   DisposePtr(block)            frees a block from NewPtrClear
 *   pstrcpy(dst, src)            copies a length-prefixed string
 *   GetLocalizedString(dst, list, index)
 *                                fills a 256-byte length-prefixed string;
 *                                length 0 when there is none
 *   GetTransitionInfo(inst, &info)    lends the record (or null) until
 *   ReleaseTransitionInfo(inst, info) it is given back
 *   GetFrame(inst, number, &world, width, height, quality, &volume, &cookie)
 *                                a 32-bit world of width x height, top-left
 *                                pixel at its base address; the frame's audio
 *                                volume (255 is read as 256); a cookie
 *   ReleaseFrame(inst, cookie)   gives the frame back
 *   MixAudio(inst, cookie, volume)    mixes the frame's audio; 256 = own level
 *   Blit(src, dst, &srcRect, &dstRect, mode)
 *                                copies a rectangle between pixel maps
 *                                (dereferenced handles of locked worlds);
 *                                the plug-ins pass mode 255
 *   GetClipInfo(inst, 1, &info) / SetClipInfo(inst, &info)
 *
 * The other entries are part of the layout only; these plug-ins never call
 * them.  A host fills every entry; a null entry is refused by the plug-in
 * (kPluginBadParams) rather than called.
 */
typedef struct ZKProcs {
  Ptr (*NewPtr)(int32_t size);
  Ptr (*NewPtrClear)(int32_t size);
  void (*DisposePtr)(Ptr block);
  void (*ptocstr)(unsigned char* s);
  void (*ctopstr)(char* s);
  void (*pstrcpy)(unsigned char* dst, const unsigned char* src);
  char* (*strcpy)(char* dst, const char* src);
  uint32_t (*strlen)(const char* s);
  void (*GetLocalizedString)(unsigned char* dst, int16_t listID, int16_t index);
  ZKServiceResult (*GetFrame)(ZKPluginInstance instance, int32_t frameNumber, GWorldPtr* world,
                              int16_t width, int16_t height, ZKRefDVQuality quality,
                              int16_t* volume, ZKFrameCookie* cookie);
  ZKServiceResult (*ReleaseFrame)(ZKPluginInstance instance, ZKFrameCookie cookie);
  ZKServiceResult (*GetAudioFrame)(ZKPluginInstance instance, int32_t frameNumber, void* data);
  ZKServiceResult (*ReleaseAudioFrame)(ZKPluginInstance instance, void* data);
  ZKServiceResult (*GetMovieInfo)(ZKPluginInstance instance, void* info);
  ZKServiceResult (*GetClipInfo)(ZKPluginInstance instance, int16_t clipNumber,
                                 ZKPluginClipInfo* info);
  ZKServiceResult (*SetClipInfo)(ZKPluginInstance instance, const ZKPluginClipInfo* info);
  ZKServiceResult (*Blit)(PixMapPtr src, PixMapPtr dst, const Rect* srcRect, const Rect* dstRect,
                          int16_t mode);
  ZKServiceResult (*FillRect)(ZKPluginInstance instance, const Rect* r, const RGBColor* color);
  ZKServiceResult (*TextBounds)(ZKPluginInstance instance, void* text, Rect* bounds);
  ZKServiceResult (*DrawText)(ZKPluginInstance instance, void* text, const Rect* r);
  ZKServiceResult (*GetTitleInfo)(ZKPluginInstance instance, void** info);
  ZKServiceResult (*ReleaseTitleInfo)(ZKPluginInstance instance, void* info);
  ZKServiceResult (*GetTransitionInfo)(ZKPluginInstance instance, ZKPluginTransitionInfo** info);
  ZKServiceResult (*ReleaseTransitionInfo)(ZKPluginInstance instance, ZKPluginTransitionInfo* info);
  ZKServiceResult (*MixAudio)(ZKPluginInstance instance, ZKFrameCookie cookie, int16_t volume);
  ZKServiceResult (*GetFilterInfo)(ZKPluginInstance instance, void** info);
  ZKServiceResult (*ReleaseFilterInfo)(ZKPluginInstance instance, void* info);
  float (*StringWidth)(ZKPluginInstance instance, ConstStr255Param s);
  ZKServiceResult (*CGDrawText)(ZKPluginInstance instance, void* text, const Rect* r);
  float (*CGStringWidth)(ZKPluginInstance instance, void* text);
} ZKProcs;

/* ---- The parameter block ------------------------------------------------------ */

typedef struct _PluginParams {
  int16_t interfaceVersion; /* versions 2 and below are refused */
  ZKPluginInstance instance;
  ZKPluginSelector selector;
  ZKProcs* procs;
  ZKPluginGetInfo getInfo; /* written by the plug-in at kPlugGetInfo */
  int32_t startFrame;
  int32_t renderFrame; /* 0 .. frameCount - 1 */
  int32_t frameCount;
  Boolean proxyOnly;
  Rect frameRect; /* the output frame inside `frame` */
  GWorldPtr frame;
  Ptr clientData;
  ZK2PluginGetInfo getInfo2;
  ZK3PluginGetInfo getInfo3;
  ZK4PluginGetInfo getInfo4;
} ZKPluginParams;

/* The bundle's exported entry point, as the host resolves it by name. */
typedef int (*ZKPluginMainProc)(int which, ZKPluginParams* params);

/* The list and index of the placeholder's text among the host's strings. */
enum { kZKPlaceholderStringList = 17000, kZKPlaceholderStringIndex = 1 };

#ifdef __cplusplus
}
#endif

#endif /* ZK_PLUGIN_H */
