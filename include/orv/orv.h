/**
 * @file orv.h
 * @brief Orv: real-time 3-D audio rendering for headphones. The host's only
 * view of the library.
 *
 * Load liborv.so, call OrvInitialize to fill a function table, then drive
 * everything through it. Version 1 fills an OrvContext (eleven members);
 * version 2 fills an OrvContext2, whose first eleven members are the
 * version 1 table at the same offsets, so an OrvContext2 may be passed
 * wherever an OrvContext* is expected.
 *
 * Errors never cross this boundary as exceptions or codes: every table
 * function stores its failure text, which CheckError returns until the next
 * failure replaces it (or, in version 2, ClearError clears it). The text
 * CheckError returns is the calling thread's own copy: another thread's
 * failure never rewrites it; it changes when this thread calls CheckError
 * again after a newer failure (or has since checked four other contexts).
 *
 * Threads: every table function except Init and Destroy may be called from
 * any host thread, concurrently with Render and with each other (Render
 * itself from one thread at a time). Init and Destroy must not run at the
 * same time as any other call on the same context. Calls made by one thread
 * take effect in the order that thread makes them.
 *
 * Callbacks: no table function but CheckError may be called from inside the
 * low-pass or the log callback of the same context (they run while the
 * context walks its sounds or renders). Such a call does nothing and stores
 * "Called from inside a callback.".
 *
 * Names: every type has a name prefixed with Orv. The short names of
 * version 1 (Vector3, InitParam, BufferParam, PlayParam, ReverbParam,
 * ContextPrivate, Buffer) are aliases of them unless the host defines
 * ORV_NO_SHORT_NAMES before including this header.
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

/** Marks the library's one exported function. */
#if defined(_WIN32)
#define ORV_API __declspec(dllexport)
#else
#define ORV_API __attribute__((visibility("default")))
#endif

/** The newest interface version this header describes. Version 2 fills an
 * OrvContext2; pass 1 to fill a version 1 OrvContext. */
#define ORV_INTERFACE_VERSION 2

/** Largest block a single Render call may ask for, in frames. */
#define ORV_MAX_RENDER_FRAMES 65536

/** Lowest sampling rate Init accepts, in Hz; lower fails with "Invalid sampling rate: %f". */
#define ORV_MIN_SAMPLING_RATE 1.0
/** Highest sampling rate Init accepts, in Hz; higher fails with "Invalid sampling rate: %f". */
#define ORV_MAX_SAMPLING_RATE 1e9

/** Most rendering threads Init accepts; more fail with "Invalid thread count: %d". */
#define ORV_MAX_THREADS 256

/** A point or direction in metres. In listener space x points to the
 * listener's right, y up and z to the front. */
typedef struct OrvVector3 {
  float x; /**< first coordinate (listener space: to the right) */
  float y; /**< second coordinate (listener space: up) */
  float z; /**< third coordinate (listener space: to the front) */
} OrvVector3;

/** Stores a world-positioned sound's low-pass coefficient into *result
 * (1.0 = unfiltered, smaller values filter more). Values are clamped to
 * [0, 1]; NaN counts as 1. Called on the thread of the table call that
 * refreshes the sounds (Respatialize, a world Play, MoveVoice); must not call
 * back into the table. */
typedef void (*OrvLowPassCallback)(const OrvVector3* worldPosition, float* result, void* userData);

/** Receives one formatted debug message; may be called on the render thread.
 * Must not call back into the table. */
typedef void (*OrvLogCallback)(const char* message, void* userData);

/** What Init builds a context for. */
typedef struct OrvInitParam {
  /** output rate in Hz, ORV_MIN_SAMPLING_RATE .. ORV_MAX_SAMPLING_RATE */
  double samplingRate;
  /** required once world sounds are played; NULL: unfiltered */
  OrvLowPassCallback lowPassCallback;
  void* lowPassUserData; /**< passed to lowPassCallback as it is */
  /** rendering threads, the render thread included, 1 .. ORV_MAX_THREADS */
  int32_t numThreads;
  int32_t maxPolyphonics;     /**< upper bound on playing positioned sounds and held voices */
  OrvLogCallback logCallback; /**< may be NULL */
  void* logUserData;          /**< passed to logCallback as it is */
} OrvInitParam;

/** A sound for CreateBuffer. */
typedef struct OrvBufferParam {
  const void* data;    /**< interleaved PCM frames, copied by CreateBuffer */
  int32_t bits;        /**< 8 (unsigned), 16 (signed) or 32 (float); else "Invalid sample bits." */
  int32_t numChannels; /**< 1 (positioned binaurally) or 2 (panned by distance only) */
  int32_t numSamples;  /**< frames */
  double samplingRate; /**< Hz; the sound is resampled to the output rate as it plays */
} OrvBufferParam;

/** How a version 1 Play call plays its sound. */
typedef struct OrvPlayParam {
  float volume;            /**< linear gain, finite ("NaN gain." otherwise) */
  float speed;             /**< playback rate, > 0 ("Speed is not positive." otherwise) */
  float referenceDistance; /**< no distance attenuation while d^2 <= this */
} OrvPlayParam;

/** The room around the listener, as Respatialize takes it. */
typedef struct OrvReverbParam {
  float reflectivity; /**< how much the walls reflect, 0 .. 1 */
  float roomVolume;   /**< cubic metres */
  float roomArea;     /**< square metres of wall */
  float roomSize;     /**< metres; sends fall off beyond 1.5 times this distance */
  float enclosure;    /**< how closed the room is, 0 (open air) .. 1 */
} OrvReverbParam;

/** The opaque state behind one table. */
typedef struct OrvContextPrivate OrvContextPrivate;

/** Opaque sound buffer handle, valid from CreateBuffer until FreeBuffer on the
 * same context. Any other pointer (a freed handle, one of another context)
 * fails with "Invalid buffer handle.". Destroy frees the handles left. */
typedef struct OrvBuffer OrvBuffer;

/** Opaque handle of one sound played through OrvContext2::Play, valid until
 * ReleaseVoice or Destroy. Any other value (a released handle, one of another
 * context) fails with "Invalid voice handle."; it never crashes. */
typedef struct OrvVoice OrvVoice;

/** Where a voice's position lives (OrvVoiceParam::space). */
enum {
  ORV_SPACE_LOCAL = 0,    /**< not positioned: both ears, no distance, no room (as PlayLocal) */
  ORV_SPACE_LISTENER = 1, /**< position in listener space (as PlayRelative) */
  ORV_SPACE_WORLD = 2     /**< position in the world, seen through Respatialize (as PlayAbsolute) */
};

/** What VoiceState reports. */
enum {
  ORV_VOICE_ENDED = 0,   /**< played to its end, stopped, or stolen by the polyphony limit */
  ORV_VOICE_WAITING = 1, /**< not rendered yet (a start frame still ahead) */
  ORV_VOICE_PLAYING = 2  /**< rendering; also while a stop fades it out */
};

/** The options SetOption takes. */
enum {
  /** 0 turns the automatic load control off (the limit stays at
   * maxPolyphonics); nonzero turns it on again (the default). */
  ORV_OPTION_LOAD_CONTROL = 1,
  /** Scales the velocities in the Doppler shift, which is (c - f vl) /
   * (c - f vs) with vl and vs the listener's and the source's speed along
   * the line from source to listener: 0 turns it off, 1 (the default) is
   * physical. Clamped to 0 .. 10. Each of f vl and f vs is clamped to half
   * the speed of sound either way, so the shift stays within 1/3 .. 3. */
  ORV_OPTION_DOPPLER_FACTOR = 2,
  /** The speed of sound for the Doppler shift in metres per second (default
   * 343.3). Clamped to 1 .. 1e6. */
  ORV_OPTION_SPEED_OF_SOUND = 3,
  /** Nonzero: render for files. No block is rendered ahead: each Render
   * renders its block after it is called (still on the library's threads),
   * every call made before a Render applies from that block's first frame, a
   * start frame of -1 lands on it too, the load control is off, and two runs
   * of the same calls give bit-identical output. Set it before the first
   * Render; 0 returns to real-time rendering. */
  ORV_OPTION_OFFLINE = 4
};

/** How OrvContext2::Play plays a voice. */
typedef struct OrvVoiceParam {
  float volume;            /**< linear gain, finite and >= 0 ("NaN gain." / "Invalid volume.") */
  float speed;             /**< playback rate, > 0 ("Speed is not positive." otherwise) */
  float referenceDistance; /**< no distance attenuation while d^2 <= this (as OrvPlayParam) */
  int32_t space;           /**< ORV_SPACE_*; else "Invalid voice space." */
  int32_t loop;            /**< nonzero: repeat the whole buffer, seamlessly, until stopped */
  OrvVector3 position;     /**< metres, in listener space (LISTENER) or the world (WORLD);
                                ignored for LOCAL; finite ("Invalid voice position.") */
  OrvVector3 velocity;     /**< metres per second, same space; only for the Doppler shift;
                                finite ("Invalid voice velocity.") */
  int64_t startFrame;      /**< output frame (FrameClock's count) of the voice's first
                                sample; -1: as the version 1 Play functions start (in
                                offline mode: the next block's first frame); < -1 fails
                                with "Invalid start frame." */
} OrvVoiceParam;

/** The version 1 function table. All functions take the context member as
 * their first argument. */
typedef struct OrvContext {
  /** The state behind this table; pass it to every function. */
  OrvContextPrivate* context;
  /** Builds the renderer and starts its thread; a second Init replaces the
   * first context (the old one stays if building fails). Errors:
   * "Parameter is null.", "Invalid sampling rate: %f", "Invalid thread
   * count: %d". Not concurrently with any other call. */
  void (*Init)(OrvContextPrivate* context, const OrvInitParam* param);
  /** Stops rendering and frees the context, its buffers and every voice
   * handle. The table must not be used afterwards. NULL is ignored. Not
   * concurrently with any other call. */
  void (*Destroy)(OrvContextPrivate* context);
  /** The calling thread's copy of the last failure text, or NULL when there
   * has been none (or none since ClearError). Any thread. */
  const char* (*CheckError)(OrvContextPrivate* context);
  /** Copies a sound into a new buffer handle, or returns NULL. Errors: "Not
   * initialized.", "Parameter is null.", "Invalid sample bits.". Any thread. */
  OrvBuffer* (*CreateBuffer)(OrvContextPrivate* context, const OrvBufferParam* param);
  /** Frees a buffer handle; sounds playing it play on. Errors: "Parameter is
   * null.", "Invalid buffer handle.". Any thread. */
  void (*FreeBuffer)(OrvContextPrivate* context, OrvBuffer* buffer);
  /** Sets the listener (eye, front, up in the world) and the room, and
   * refreshes every world-positioned sound. A non-finite eye, front or up, a
   * zero front or up, or front parallel to up stores "Invalid listener
   * orientation." and keeps the last good listener and room. Null arguments
   * fail with "Parameter eye is null." and the like. Any thread. */
  void (*Respatialize)(OrvContextPrivate* context, const OrvVector3* eye, const OrvVector3* front,
                       const OrvVector3* up, const OrvReverbParam* reverb);
  /** Plays a sound once at a world position. Errors: "Parameter buffer is
   * null.", "Parameter origin is null.", "Parameter params is null.",
   * "Invalid buffer handle.", "NaN gain.", "Speed is not positive.". Any
   * thread. */
  void (*PlayAbsolute)(OrvContextPrivate* context, OrvBuffer* buffer, const OrvVector3* origin,
                       const OrvPlayParam* params);
  /** Plays a sound once at a listener-space position; errors as PlayAbsolute.
   * Any thread. */
  void (*PlayRelative)(OrvContextPrivate* context, OrvBuffer* buffer, const OrvVector3* origin,
                       const OrvPlayParam* params);
  /** Plays a sound once, unpositioned, on both ears; errors as PlayAbsolute
   * without the origin. Any thread. */
  void (*PlayLocal)(OrvContextPrivate* context, OrvBuffer* buffer, const OrvPlayParam* params);
  /** Fills stream with numFrames interleaved stereo frames (L, R), within
   * +-1. Errors: "Parameter stream is null.", "Invalid frame count: %d"
   * outside 1 .. ORV_MAX_RENDER_FRAMES. One thread at a time (the audio
   * thread), concurrently with the other functions. */
  void (*Render)(OrvContextPrivate* context, float* stream, int numFrames);
} OrvContext;

/** The version 2 function table: the version 1 members, then voices a host
 * can hold, the frame clock, Doppler, HRTF loading, options and ClearError.
 * Every function below may be called from any host thread. Voice changes
 * (MoveVoice, SetVoiceVolume, SetVoiceSpeed, StopVoice) take effect from the
 * first block that the render thread has not yet started. A voice handle
 * argument that is NULL fails with "Parameter voice is null.", one that is
 * released or of another context with "Invalid voice handle.". */
typedef struct OrvContext2 {
  /** As OrvContext::context. */
  OrvContextPrivate* context;
  /** As OrvContext::Init. */
  void (*Init)(OrvContextPrivate* context, const OrvInitParam* param);
  /** As OrvContext::Destroy; also releases every voice handle. */
  void (*Destroy)(OrvContextPrivate* context);
  /** As OrvContext::CheckError. */
  const char* (*CheckError)(OrvContextPrivate* context);
  /** As OrvContext::CreateBuffer. */
  OrvBuffer* (*CreateBuffer)(OrvContextPrivate* context, const OrvBufferParam* param);
  /** As OrvContext::FreeBuffer. */
  void (*FreeBuffer)(OrvContextPrivate* context, OrvBuffer* buffer);
  /** As OrvContext::Respatialize. */
  void (*Respatialize)(OrvContextPrivate* context, const OrvVector3* eye, const OrvVector3* front,
                       const OrvVector3* up, const OrvReverbParam* reverb);
  /** As OrvContext::PlayAbsolute. */
  void (*PlayAbsolute)(OrvContextPrivate* context, OrvBuffer* buffer, const OrvVector3* origin,
                       const OrvPlayParam* params);
  /** As OrvContext::PlayRelative. */
  void (*PlayRelative)(OrvContextPrivate* context, OrvBuffer* buffer, const OrvVector3* origin,
                       const OrvPlayParam* params);
  /** As OrvContext::PlayLocal. */
  void (*PlayLocal)(OrvContextPrivate* context, OrvBuffer* buffer, const OrvPlayParam* params);
  /** As OrvContext::Render. */
  void (*Render)(OrvContextPrivate* context, float* stream, int numFrames);

  /** Plays a sound as a voice and returns its handle, or NULL. A voice counts
   * against maxPolyphonics like any positioned sound; when the limit must make
   * room, the oldest sounds are stolen (they then read ORV_VOICE_ENDED).
   * Errors: "Parameter buffer is null.", "Parameter param is null.", "Invalid
   * buffer handle.", "Invalid voice space.", "NaN gain.", "Invalid volume.",
   * "Speed is not positive.", "Invalid voice position.", "Invalid voice
   * velocity.", "Invalid start frame.". */
  OrvVoice* (*Play)(OrvContextPrivate* context, OrvBuffer* buffer, const OrvVoiceParam* param);
  /** Moves a voice (in the space it was played in) and, unless velocity is
   * NULL, sets its velocity for the Doppler shift. The move glides: the
   * direction crossfades and distance gains ramp, so a circling source does
   * not click. Ignored for LOCAL voices and voices that have ended. Errors:
   * "Parameter position is null.", "Invalid voice position.", "Invalid voice
   * velocity.". */
  void (*MoveVoice)(OrvContextPrivate* context, OrvVoice* voice, const OrvVector3* position,
                    const OrvVector3* velocity);
  /** Sets a voice's linear gain (>= 0), ramped like every gain change.
   * Errors: "NaN gain.", "Invalid volume.". */
  void (*SetVoiceVolume)(OrvContextPrivate* context, OrvVoice* voice, float volume);
  /** Sets a voice's playback rate (> 0). The rate slides to the new value
   * within about a millisecond, as gains glide; so does a Doppler shift that
   * a move changes. Errors: "Speed is not positive.". */
  void (*SetVoiceSpeed)(OrvContextPrivate* context, OrvVoice* voice, float speed);
  /** Fades a voice out over about 5 ms, then it ends. The handle stays valid
   * until ReleaseVoice. */
  void (*StopVoice)(OrvContextPrivate* context, OrvVoice* voice);
  /** The voice's ORV_VOICE_* state; ORV_VOICE_ENDED (with the error text) for
   * a bad handle. */
  int32_t (*VoiceState)(OrvContextPrivate* context, OrvVoice* voice);
  /** Gives the handle back: a one-shot voice plays on to its end, a looping
   * voice is stopped. The handle must not be used again. */
  void (*ReleaseVoice)(OrvContextPrivate* context, OrvVoice* voice);
  /** The frames Render has delivered since Init: the output frame the next
   * Render call starts at. -1 (with "Not initialized.") before Init. */
  int64_t (*FrameClock)(OrvContextPrivate* context);
  /** Sets the listener's velocity in the world, in metres per second, for the
   * Doppler shift of WORLD voices (LISTENER voices move relative to the
   * listener already). Errors: "Parameter velocity is null.", "Invalid
   * listener velocity.". */
  void (*SetListenerVelocity)(OrvContextPrivate* context, const OrvVector3* velocity);
  /** Replaces the HRTF set with ORVHRTFD data as orv-hrtf-convert writes it
   * (size bytes), resampled to the output rate and swapped in at a block
   * boundary with a crossfade; playing voices go on. On failure an error
   * text ("Parameter data is null.", "Invalid data size.", or the loader's
   * text) is stored and the current set stays. */
  void (*LoadHrtf)(OrvContextPrivate* context, const void* data, int64_t size);
  /** Sets an ORV_OPTION_* to value; "Invalid option: %d" for others, "Invalid
   * option value." for NaN. */
  void (*SetOption)(OrvContextPrivate* context, int32_t option, double value);
  /** Makes CheckError return NULL until the next failure. */
  void (*ClearError)(OrvContextPrivate* context);
} OrvContext2;

/** Fills *table: an OrvContext for interfaceVersion 1, an OrvContext2 (cast
 * to OrvContext*) for 2. Returns NULL on success, else a static failure text:
 * "Magic is invalid." (magic 0), "Null pointer for context return
 * destination!" or "Interface version unmatch. This library's version is
 * '2'.". Any thread. */
ORV_API const char* OrvInitialize(uintptr_t magic, int32_t interfaceVersion, OrvContext* table);

/** Type of OrvInitialize, for hosts that look it up with dlsym. */
typedef const char* (*OrvInitializeFunction)(uintptr_t magic, int32_t interfaceVersion,
                                             OrvContext* table);

#ifndef ORV_NO_SHORT_NAMES
typedef OrvVector3 Vector3;               /**< Short name of OrvVector3. */
typedef OrvInitParam InitParam;           /**< Short name of OrvInitParam. */
typedef OrvBufferParam BufferParam;       /**< Short name of OrvBufferParam. */
typedef OrvPlayParam PlayParam;           /**< Short name of OrvPlayParam. */
typedef OrvReverbParam ReverbParam;       /**< Short name of OrvReverbParam. */
typedef OrvContextPrivate ContextPrivate; /**< Short name of OrvContextPrivate. */
typedef OrvBuffer Buffer;                 /**< Short name of OrvBuffer. */
#endif

/** Compile-time check of the record layouts (C and C++ spellings). */
#if defined(__cplusplus)
#define ORV_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define ORV_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/** @cond ORV_LAYOUT_CHECKS (not part of the interface) */
ORV_STATIC_ASSERT(sizeof(OrvVector3) == 12, "Vector3 is 12 bytes");
ORV_STATIC_ASSERT(sizeof(OrvPlayParam) == 12, "PlayParam is 12 bytes");
ORV_STATIC_ASSERT(sizeof(OrvReverbParam) == 20, "ReverbParam is 20 bytes");
ORV_STATIC_ASSERT(offsetof(OrvReverbParam, enclosure) == 16, "ReverbParam layout");
ORV_STATIC_ASSERT(offsetof(OrvPlayParam, referenceDistance) == 8, "PlayParam layout");
ORV_STATIC_ASSERT(offsetof(OrvVoiceParam, position) == 20, "OrvVoiceParam layout");
ORV_STATIC_ASSERT(offsetof(OrvVoiceParam, velocity) == 32, "OrvVoiceParam layout");

#if UINTPTR_MAX == 0xffffffffffffffffu /* LP64 */
ORV_STATIC_ASSERT(sizeof(OrvContext) == 88, "OrvContext is 88 bytes on LP64");
ORV_STATIC_ASSERT(offsetof(OrvContext, Render) == 80, "OrvContext layout");
ORV_STATIC_ASSERT(offsetof(OrvContext, PlayLocal) == 72, "OrvContext layout");
ORV_STATIC_ASSERT(offsetof(OrvContext2, Render) == 80, "OrvContext2 layout");
ORV_STATIC_ASSERT(offsetof(OrvContext2, Play) == 88, "OrvContext2 layout");
ORV_STATIC_ASSERT(sizeof(OrvContext2) == 184, "OrvContext2 is 184 bytes on LP64");
ORV_STATIC_ASSERT(offsetof(OrvVoiceParam, startFrame) == 48, "OrvVoiceParam layout");
ORV_STATIC_ASSERT(sizeof(OrvVoiceParam) == 56, "OrvVoiceParam is 56 bytes on LP64");
ORV_STATIC_ASSERT(sizeof(OrvInitParam) == 48, "InitParam is 48 bytes on LP64");
ORV_STATIC_ASSERT(offsetof(OrvInitParam, lowPassCallback) == 8, "InitParam layout");
ORV_STATIC_ASSERT(offsetof(OrvInitParam, lowPassUserData) == 16, "InitParam layout");
ORV_STATIC_ASSERT(offsetof(OrvInitParam, numThreads) == 24, "InitParam layout");
ORV_STATIC_ASSERT(offsetof(OrvInitParam, maxPolyphonics) == 28, "InitParam layout");
ORV_STATIC_ASSERT(offsetof(OrvInitParam, logCallback) == 32, "InitParam layout");
ORV_STATIC_ASSERT(offsetof(OrvInitParam, logUserData) == 40, "InitParam layout");
ORV_STATIC_ASSERT(sizeof(OrvBufferParam) == 32, "BufferParam is 32 bytes on LP64");
ORV_STATIC_ASSERT(offsetof(OrvBufferParam, bits) == 8, "BufferParam layout");
ORV_STATIC_ASSERT(offsetof(OrvBufferParam, numChannels) == 12, "BufferParam layout");
ORV_STATIC_ASSERT(offsetof(OrvBufferParam, numSamples) == 16, "BufferParam layout");
ORV_STATIC_ASSERT(offsetof(OrvBufferParam, samplingRate) == 24, "BufferParam layout");
#elif UINTPTR_MAX == 0xffffffffu && defined(__i386__) /* ILP32 with 4-byte double alignment */
ORV_STATIC_ASSERT(sizeof(OrvContext) == 44, "OrvContext is 44 bytes on ILP32");
ORV_STATIC_ASSERT(offsetof(OrvContext, Render) == 40, "OrvContext layout");
ORV_STATIC_ASSERT(sizeof(OrvContext2) == 92, "OrvContext2 is 92 bytes on ILP32");
ORV_STATIC_ASSERT(offsetof(OrvVoiceParam, startFrame) == 44, "OrvVoiceParam layout");
ORV_STATIC_ASSERT(sizeof(OrvInitParam) == 32, "InitParam is 32 bytes on ILP32");
ORV_STATIC_ASSERT(offsetof(OrvInitParam, numThreads) == 16, "InitParam layout");
ORV_STATIC_ASSERT(offsetof(OrvInitParam, logUserData) == 28, "InitParam layout");
ORV_STATIC_ASSERT(sizeof(OrvBufferParam) == 24, "BufferParam is 24 bytes on ILP32");
ORV_STATIC_ASSERT(offsetof(OrvBufferParam, samplingRate) == 16, "BufferParam layout");
#endif
/** @endcond */

#ifdef __cplusplus
}
#endif

#endif /* ORV_ORV_H */
