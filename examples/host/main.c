/*
 * The smallest Orv host: plays a looping tone as a voice that circles the
 * listener once in a second, stops it, and reports how loud each ear heard
 * it. It builds against an installed Orv (CMake's find_package(orv) or
 * pkg-config's orv) and links liborv.so.
 */
#include <math.h>
#include <orv/orv.h>
#include <stdio.h>

#define RATE 48000
#define BLOCK 512
#define PI 3.14159265358979323846

/* World sounds get their low-pass coefficient from the host; 1 = unfiltered. */
static void NoLowPass(const OrvVector3* position, float* result, void* userData) {
  (void)position;
  (void)userData;
  *result = 1.0f;
}

static void PrintLog(const char* message, void* userData) {
  (void)userData;
  fprintf(stderr, "orv: %s\n", message);
}

/* The library keeps its last error text; any text means a call failed. */
static int Failed(const OrvContext2* orv, const char* call) {
  const char* error = orv->CheckError(orv->context);
  if (error) fprintf(stderr, "%s failed: %s\n", call, error);
  return error != NULL;
}

int main(void) {
  OrvContext2 orv;
  const char* failure = OrvInitialize(0x4f5256u, ORV_INTERFACE_VERSION, (OrvContext*)&orv);
  if (failure) {
    fprintf(stderr, "OrvInitialize failed: %s\n", failure);
    return 1;
  }
  OrvInitParam init = {RATE, NoLowPass, NULL, 1, 16, PrintLog, NULL};
  orv.Init(orv.context, &init);
  if (Failed(&orv, "Init")) return 1;

  /* 44 periods of 440 Hz fill exactly 4800 frames at 48 kHz: a seamless loop. */
  static float tone[4800];
  for (int i = 0; i < 4800; ++i) tone[i] = 0.5f * (float)sin(2.0 * PI * 440.0 * i / RATE);
  OrvBufferParam sound = {tone, 32, 1, 4800, RATE};
  OrvBuffer* buffer = orv.CreateBuffer(orv.context, &sound);
  if (Failed(&orv, "CreateBuffer")) return 1;

  /* The listener at the origin looking down -z: +x is on the right. */
  OrvVector3 eye = {0, 0, 0}, front = {0, 0, -1}, up = {0, 1, 0};
  OrvReverbParam room = {0.5f, 60.0f, 100.0f, 3.0f, 1.0f};
  orv.Respatialize(orv.context, &eye, &front, &up, &room);

  /* Two metres to the listener's right, looping, starting half a block in. */
  OrvVoiceParam voice = {1.0f, 1.0f, 1.0f, ORV_SPACE_LISTENER, 1, {2, 0, 0}, {0, 0, 0}, BLOCK / 2};
  OrvVoice* circling = orv.Play(orv.context, buffer, &voice);
  if (Failed(&orv, "Play")) return 1;
  orv.FreeBuffer(orv.context, buffer); /* the voice keeps its data */

  static float block[2 * BLOCK];
  double energy[2] = {0, 0};
  for (int n = 0; n < RATE / BLOCK; ++n) {
    orv.Render(orv.context, block, BLOCK);
    for (int i = 0; i < 2 * BLOCK; ++i) energy[i % 2] += (double)block[i] * block[i];
    /* Round the listener once a second; the move glides, so it never clicks. */
    double a = 2.0 * PI * (n + 1) * BLOCK / RATE;
    OrvVector3 where = {(float)(2.0 * cos(a)), 0.0f, (float)(2.0 * sin(a))};
    orv.MoveVoice(orv.context, circling, &where, NULL);
  }
  orv.StopVoice(orv.context, circling); /* a 5 ms fade, then it ends */
  for (int n = 0; n < 4; ++n) orv.Render(orv.context, block, BLOCK);
  if (Failed(&orv, "Render")) return 1;
  printf("left RMS %.4f, right RMS %.4f, voice %s after %lld frames\n", sqrt(energy[0] / RATE),
         sqrt(energy[1] / RATE),
         orv.VoiceState(orv.context, circling) == ORV_VOICE_ENDED ? "ended" : "still playing",
         (long long)orv.FrameClock(orv.context));

  orv.ReleaseVoice(orv.context, circling);
  orv.Destroy(orv.context);
  return 0;
}
