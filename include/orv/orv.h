/*
 * Orv: real-time 3-D audio rendering for headphones.
 *
 * The host's only view of the library. Load liborv.so, call OrvInitialize to
 * fill an OrvContext table, then drive everything through its ten functions.
 * Errors never cross this boundary as exceptions or codes: every table
 * function stores its failure text, which CheckError returns until the next
 * failure replaces it. The text CheckError returns is the calling thread's
 * own copy: another thread's failure never rewrites it; it changes when this
 * thread calls CheckError again after a newer failure (or has since checked
 * four other contexts).
 *
 * Threads: Render may run on one host thread (the audio thread) while the
 * other functions run on another; CheckError may be called from any thread.
 * Init and Destroy must not run at the same time as any other call on the
 * same context.
 *
 * Callbacks: no table function but CheckError may be called from inside the
 * low-pass or the log callback of the same context (they run while the
 * context walks its sounds or renders). Such a call does nothing and stores
 * "Called from inside a callback.".
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

/* Sampling rates Init accepts, in Hz; others fail with "Invalid sampling rate: %f". */
#define ORV_MIN_SAMPLING_RATE 1.0
#define ORV_MAX_SAMPLING_RATE 1e9

/* Most rendering threads Init accepts; more fail with "Invalid thread count: %d". */
#define ORV_MAX_THREADS 256

/* Listener space: x to the listener's right, y up, z to the front. */
typedef struct Vector3 {
  float x;
  float y;
  float z;
} Vector3;

/* Stores a world-positioned sound's low-pass coefficient into *result
 * (1.0 = unfiltered, smaller values filter more). Values are clamped to
 * [0, 1]; NaN counts as 1. Must not call back into the table. */
typedef void (*OrvLowPassCallback)(const Vector3* worldPosition, float* result, void* userData);

/* Receives one formatted debug message; may be called on the render thread. */
typedef void (*OrvLogCallback)(const char* message, void* userData);

typedef struct InitParam {
  double samplingRate;                /* output rate in Hz, ORV_MIN_SAMPLING_RATE .. ORV_MAX_SAMPLING_RATE */
  OrvLowPassCallback lowPassCallback; /* required once PlayAbsolute is used */
  void* lowPassUserData;
  int32_t numThreads;     /* rendering threads, the render thread included, 1 .. ORV_MAX_THREADS */
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
  float volume;            /* linear gain, finite ("NaN gain." otherwise) */
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
/* Opaque sound buffer handle, valid from CreateBuffer until FreeBuffer on the
 * same context. Any other pointer (a freed handle, one of another context)
 * fails with "Invalid buffer handle.". Destroy frees the handles left. */
typedef struct Buffer Buffer;

/* Respatialize refuses a listener with a non-finite eye, front or up, a zero
 * front or up, or front parallel to up: it stores "Invalid listener
 * orientation." and keeps the last good listener and room. */

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
