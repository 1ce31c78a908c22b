/*
 * zk_graphics.h -- the graphics and memory platform's public API, as the
 * plug-ins and the host see it.
 *
 * A small QuickDraw-style layer: a current graphics port per thread,
 * offscreen graphics worlds with 32-bit pixel maps, handles with a lock
 * state, pixel-lock flags, colours, rectangle fills and text.  The
 * implementation is libzkplatform; host and plug-ins share one copy of it
 * in a process.
 *
 * Pixels.  One native 32-bit word per pixel: bits 16-23 red, 8-15 green,
 * 0-7 blue; bits 24-31 are ignored on read and written as 0xFF by fills.
 * The pixel at the top-left corner of a world's bounds lies at the pixel
 * map's base address; rows are `rowBytes` apart (at least 4 x width, a
 * multiple of 64 for worlds made by NewGWorld, so rows are aligned).
 *
 * Coordinates.  Every drawing call takes coordinates of the current port
 * (its bounds rectangle, normally with the origin at the top left) and is
 * clipped to those bounds: no call writes outside its world.  With no
 * current port the drawing calls do nothing.
 *
 * Threads.  The current port and device are per thread, so several
 * threads may each draw into their own world at once.  A world must not be
 * drawn into by two threads at the same time.
 *
 * Ownership.  Worlds belong to whoever called NewGWorld and are freed with
 * DisposeGWorld; the pixel-map handle of a world lives as long as the world.
 * A disposed world must not be the current port of any thread.
 */
#ifndef ZK_GRAPHICS_H
#define ZK_GRAPHICS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(ZK_BUILDING_PLATFORM)
#define ZK_PLATFORM_API __attribute__((visibility("default")))
#else
#define ZK_PLATFORM_API
#endif

typedef uint8_t Boolean;
typedef int8_t SignedByte;
typedef char* Ptr;
typedef char** Handle;
typedef unsigned char Str255[256];
typedef unsigned char Str32[33];
typedef const unsigned char* ConstStr255Param;
typedef unsigned char* StringPtr;

/* Four signed 16-bit edges; width is right - left, height bottom - top. */
typedef struct Rect {
  int16_t top;
  int16_t left;
  int16_t bottom;
  int16_t right;
} Rect;

typedef struct Point {
  int16_t v;
  int16_t h;
} Point;

/* 16-bit components, 0 to 65535; the pixel takes the high byte of each. */
typedef struct RGBColor {
  uint16_t red;
  uint16_t green;
  uint16_t blue;
} RGBColor;

/* A pixel map.  Reached through its handle (PixMapHandle); the master
 * pointer stays valid while the world exists.  rowBytes is the full stride
 * in bytes (not limited to 16 bits). */
typedef struct PixMap {
  Ptr baseAddr;
  int32_t rowBytes;
  Rect bounds;
  int16_t pixelSize; /* bits per pixel: 32 for worlds of this platform */
} PixMap;
typedef PixMap* PixMapPtr;
typedef PixMap** PixMapHandle;

typedef struct GWorld* GWorldPtr;   /* opaque: an offscreen graphics world */
typedef struct GDevice** GDHandle; /* opaque: a world's graphics device */
typedef GWorldPtr CGrafPtr;

/* Pixel state flags of a pixel map. */
typedef uint32_t GWorldFlags;
enum { kZKPixelsLocked = 0x80 };

/* Handle state byte: the lock bit. */
enum { kZKHandleLocked = (SignedByte)0x80 };

/* Classic colour constants for ForeColor/BackColor. */
enum {
  blackColor = 33,
  whiteColor = 30,
  redColor = 205,
  greenColor = 341,
  blueColor = 409,
  cyanColor = 273,
  magentaColor = 137,
  yellowColor = 69
};

/* Current port and device.  A null device selects the world's own. */
ZK_PLATFORM_API void GetGWorld(CGrafPtr* port, GDHandle* gdh);
ZK_PLATFORM_API void SetGWorld(CGrafPtr port, GDHandle gdh);

/* Worlds (host side).  depth must be 32; bounds give size and origin.
 * Returns 0 on success, -108 (out of memory) or -50 (bad parameter). */
ZK_PLATFORM_API int16_t NewGWorld(GWorldPtr* world, int16_t depth, const Rect* bounds);
ZK_PLATFORM_API void DisposeGWorld(GWorldPtr world);
ZK_PLATFORM_API PixMapHandle GetGWorldPixMap(GWorldPtr world);
ZK_PLATFORM_API GDHandle GetGWorldDevice(GWorldPtr world);
ZK_PLATFORM_API Rect* GetPortBounds(CGrafPtr port, Rect* rect);

/* Pixel blocks (host side): `bytes` of zeroed memory mapped from the
 * kernel, starting on a 2 MB boundary so that each whole 2 MB in it may be
 * one huge page; null when out of memory.  A fresh picture in small pages
 * costs a page fault every 4 KB.  Worlds of 2 MB and more keep their pixels
 * in one; the host may keep its own pictures in them.  Disposed with the
 * same byte count.  Any thread. */
ZK_PLATFORM_API void* ZKNewPixelBlock(size_t bytes);
ZK_PLATFORM_API void ZKDisposePixelBlock(void* block, size_t bytes);

/* Handles.  Only handles made by this platform may be passed. */
ZK_PLATFORM_API SignedByte HGetState(Handle h);
ZK_PLATFORM_API void HSetState(Handle h, SignedByte state);
ZK_PLATFORM_API void HLock(Handle h);
ZK_PLATFORM_API void HUnlock(Handle h);
ZK_PLATFORM_API void MoveHHi(Handle h);

/* Pixel memory. */
ZK_PLATFORM_API GWorldFlags GetPixelsState(PixMapHandle pm);
ZK_PLATFORM_API void SetPixelsState(PixMapHandle pm, GWorldFlags state);
ZK_PLATFORM_API Boolean LockPixels(PixMapHandle pm);
ZK_PLATFORM_API void UnlockPixels(PixMapHandle pm);
ZK_PLATFORM_API Ptr GetPixBaseAddr(PixMapHandle pm);
ZK_PLATFORM_API int32_t GetPixRowBytes(PixMapHandle pm);
ZK_PLATFORM_API int16_t GetPixDepth(PixMapHandle pm);

/* Colours of the current port. */
ZK_PLATFORM_API void RGBForeColor(const RGBColor* color);
ZK_PLATFORM_API void RGBBackColor(const RGBColor* color);
ZK_PLATFORM_API void GetForeColor(RGBColor* color);
ZK_PLATFORM_API void GetBackColor(RGBColor* color);
ZK_PLATFORM_API void ForeColor(int32_t classicColor);
ZK_PLATFORM_API void BackColor(int32_t classicColor);

/* Fills in the current port, clipped to its bounds. */
ZK_PLATFORM_API void PaintRect(const Rect* r);
ZK_PLATFORM_API void EraseRect(const Rect* r);

/* Pen and text in the current port.  The pen is the baseline origin of the
 * next string; DrawString blends anti-aliased glyphs in the foreground
 * colour and advances the pen by StringWidth of the string.  Strings are
 * length-prefixed; bytes 0x80 and above are Mac Roman. */
ZK_PLATFORM_API void MoveTo(int16_t h, int16_t v);
ZK_PLATFORM_API void GetPen(Point* pt);
ZK_PLATFORM_API void TextSize(int16_t size);
ZK_PLATFORM_API int16_t StringWidth(ConstStr255Param s);
ZK_PLATFORM_API void DrawString(ConstStr255Param s);

/* Text font (host side; the plug-ins draw in whatever font the port has).
 * A font is found by a fontconfig pattern such as "DejaVu Sans" or
 * "serif:bold" and loaded once per process.  ZKSetDefaultTextFont sets the
 * font of every port that has not chosen its own (null or "": a plain
 * sans-serif, also the default before any call); ZKTextFont sets the
 * current port's own (null or "": follow the default again).  Both return
 * 0, or -43 when no font loads, and text then draws as boxes.
 * ZKGetTextFontFamily copies, NUL-terminated within size bytes, the family
 * of the font the current port draws in: "" for the boxes. */
ZK_PLATFORM_API int16_t ZKSetDefaultTextFont(const char* pattern);
ZK_PLATFORM_API int16_t ZKTextFont(const char* pattern);
ZK_PLATFORM_API void ZKGetTextFontFamily(char* family, int32_t size);

#ifdef __cplusplus
}
#endif

#endif /* ZK_GRAPHICS_H */
