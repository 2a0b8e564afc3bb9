/*
 * Orv: real-time 3-D audio rendering for headphones.
 *
 * The host's only view of the library. Load liborv.so, call OrvInitialize to
 * fill an OrvContext table, then drive everything through its ten functions.
 * Errors never cross this boundary as exceptions or codes: every table
 * function stores its failure text, which CheckError returns until the next
 * failure replaces it.
 *
 * Valid C (C99 and later) and C++. The record layouts are fixed byte for byte
 * for 64-bit (LP64) and 32-bit (ILP32) hosts; the checks at the end of this
 * file hold the compiler to them.
 */
#ifndef ORV_ORV_H
#define ORV_ORV_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define ORV_API __declspec(dllexport)
#else
#define ORV_API __attribute__((visibility("default")))
#endif

/* The interface version this header describes. */
#define ORV_INTERFACE_VERSION 1

/* Largest block a single Render call may ask for, in frames. */
#define ORV_MAX_RENDER_FRAMES 65536

/* Listener space: x to the listener's right, y up, z to the front. */
typedef struct Vector3 {
  float x;
  float y;
  float z;
} Vector3;

/* Stores a world-positioned sound's low-pass coefficient into *result
 * (1.0 = unfiltered, smaller values filter more). */
typedef void (*OrvLowPassCallback)(const Vector3* worldPosition, float* result, void* userData);

/* Receives one formatted debug message; may be called on the render thread. */
typedef void (*OrvLogCallback)(const char* message, void* userData);

typedef struct InitParam {
  double samplingRate;                /* output rate in Hz, > 0 */
  OrvLowPassCallback lowPassCallback; /* required once PlayAbsolute is used */
  void* lowPassUserData;
  int32_t numThreads;     /* rendering threads, the render thread included, >= 1 */
  int32_t maxPolyphonics; /* upper bound on playing positioned sounds */
  OrvLogCallback logCallback; /* may be NULL */
  void* logUserData;
} InitParam;

typedef struct BufferParam {
  const void* data;    /* interleaved PCM frames, copied by CreateBuffer */
  int32_t bits;        /* 8 (unsigned), 16 (signed) or 32 (float) */
  int32_t numChannels; /* 1 or 2 */
  int32_t numSamples;  /* frames */
  double samplingRate; /* Hz */
} BufferParam;

typedef struct PlayParam {
  float volume;            /* linear gain */
  float speed;             /* playback rate, > 0 */
  float referenceDistance; /* no distance attenuation while d^2 <= this */
} PlayParam;

typedef struct ReverbParam {
  float reflectivity;
  float roomVolume;
  float roomArea;
  float roomSize;
  float enclosure;
} ReverbParam;

typedef struct ContextPrivate ContextPrivate; /* opaque */
typedef struct Buffer Buffer;                 /* opaque sound buffer handle */

typedef struct OrvContext {
  ContextPrivate* context;
  void (*Init)(ContextPrivate* context, const InitParam* param);
  void (*Destroy)(ContextPrivate* context);
  const char* (*CheckError)(ContextPrivate* context);
  Buffer* (*CreateBuffer)(ContextPrivate* context, const BufferParam* param);
  void (*FreeBuffer)(ContextPrivate* context, Buffer* buffer);
  void (*Respatialize)(ContextPrivate* context, const Vector3* eye, const Vector3* front,
                       const Vector3* up, const ReverbParam* reverb);
  void (*PlayAbsolute)(ContextPrivate* context, Buffer* buffer, const Vector3* origin,
                       const PlayParam* params);
  void (*PlayRelative)(ContextPrivate* context, Buffer* buffer, const Vector3* origin,
                       const PlayParam* params);
  void (*PlayLocal)(ContextPrivate* context, Buffer* buffer, const PlayParam* params);
  void (*Render)(ContextPrivate* context, float* stream, int numFrames);
} OrvContext;

/* Fills *table. Returns NULL on success, else a static failure text:
 * "Magic is invalid.", "Null pointer for context return destination!" or
 * "Interface version unmatch. This library's version is '1'.". */
ORV_API const char* OrvInitialize(uintptr_t magic, int32_t interfaceVersion, OrvContext* table);

/* Type of OrvInitialize, for hosts that look it up with dlsym. */
typedef const char* (*OrvInitializeFunction)(uintptr_t magic, int32_t interfaceVersion,
                                             OrvContext* table);

/* Layout checks: the records are shared with the library byte for byte. */
#if defined(__cplusplus)
#define ORV_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define ORV_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

ORV_STATIC_ASSERT(sizeof(Vector3) == 12, "Vector3 is 12 bytes");
ORV_STATIC_ASSERT(sizeof(PlayParam) == 12, "PlayParam is 12 bytes");
ORV_STATIC_ASSERT(sizeof(ReverbParam) == 20, "ReverbParam is 20 bytes");
ORV_STATIC_ASSERT(offsetof(ReverbParam, enclosure) == 16, "ReverbParam layout");
ORV_STATIC_ASSERT(offsetof(PlayParam, referenceDistance) == 8, "PlayParam layout");

#if UINTPTR_MAX == 0xffffffffffffffffu /* LP64 */
ORV_STATIC_ASSERT(sizeof(OrvContext) == 88, "OrvContext is 88 bytes on LP64");
ORV_STATIC_ASSERT(offsetof(OrvContext, Render) == 80, "OrvContext layout");
ORV_STATIC_ASSERT(offsetof(OrvContext, PlayLocal) == 72, "OrvContext layout");
ORV_STATIC_ASSERT(sizeof(InitParam) == 48, "InitParam is 48 bytes on LP64");
ORV_STATIC_ASSERT(offsetof(InitParam, lowPassCallback) == 8, "InitParam layout");
ORV_STATIC_ASSERT(offsetof(InitParam, lowPassUserData) == 16, "InitParam layout");
ORV_STATIC_ASSERT(offsetof(InitParam, numThreads) == 24, "InitParam layout");
ORV_STATIC_ASSERT(offsetof(InitParam, maxPolyphonics) == 28, "InitParam layout");
ORV_STATIC_ASSERT(offsetof(InitParam, logCallback) == 32, "InitParam layout");
ORV_STATIC_ASSERT(offsetof(InitParam, logUserData) == 40, "InitParam layout");
ORV_STATIC_ASSERT(sizeof(BufferParam) == 32, "BufferParam is 32 bytes on LP64");
ORV_STATIC_ASSERT(offsetof(BufferParam, bits) == 8, "BufferParam layout");
ORV_STATIC_ASSERT(offsetof(BufferParam, numChannels) == 12, "BufferParam layout");
ORV_STATIC_ASSERT(offsetof(BufferParam, numSamples) == 16, "BufferParam layout");
ORV_STATIC_ASSERT(offsetof(BufferParam, samplingRate) == 24, "BufferParam layout");
#elif UINTPTR_MAX == 0xffffffffu && defined(__i386__) /* ILP32 with 4-byte double alignment */
ORV_STATIC_ASSERT(sizeof(OrvContext) == 44, "OrvContext is 44 bytes on ILP32");
ORV_STATIC_ASSERT(offsetof(OrvContext, Render) == 40, "OrvContext layout");
ORV_STATIC_ASSERT(sizeof(InitParam) == 32, "InitParam is 32 bytes on ILP32");
ORV_STATIC_ASSERT(offsetof(InitParam, numThreads) == 16, "InitParam layout");
ORV_STATIC_ASSERT(offsetof(InitParam, logUserData) == 28, "InitParam layout");
ORV_STATIC_ASSERT(sizeof(BufferParam) == 24, "BufferParam is 24 bytes on ILP32");
ORV_STATIC_ASSERT(offsetof(BufferParam, samplingRate) == 16, "BufferParam layout");
#endif

#ifdef __cplusplus
}
#endif

#endif /* ORV_ORV_H */
