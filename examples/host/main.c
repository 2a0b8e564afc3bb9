/*
 * The smallest Orv host: plays a one-second tone two metres to the listener's
 * right and reports how loud each ear heard it. It builds against an installed
 * Orv (CMake's find_package(orv) or pkg-config's orv) and links liborv.so.
 */
#include <math.h>
#include <stdio.h>

#include <orv/orv.h>

#define RATE 48000
#define BLOCK 512
#define PI 3.14159265358979323846

/* World sounds get their low-pass coefficient from the host; 1 = unfiltered. */
static void NoLowPass(const Vector3* position, float* result, void* userData) {
  (void)position;
  (void)userData;
  *result = 1.0f;
}

static void PrintLog(const char* message, void* userData) {
  (void)userData;
  fprintf(stderr, "orv: %s\n", message);
}

/* The library keeps its last error text; any text means a call failed. */
static int Failed(const OrvContext* orv, const char* call) {
  const char* error = orv->CheckError(orv->context);
  if (error) fprintf(stderr, "%s failed: %s\n", call, error);
  return error != NULL;
}

int main(void) {
  OrvContext orv;
  const char* failure = OrvInitialize(0x4f5256u, 1, &orv);
  if (failure) {
    fprintf(stderr, "OrvInitialize failed: %s\n", failure);
    return 1;
  }
  InitParam init = {RATE, NoLowPass, NULL, 1, 16, PrintLog, NULL};
  orv.Init(orv.context, &init);
  if (Failed(&orv, "Init")) return 1;

  static float tone[RATE];
  for (int i = 0; i < RATE; ++i) tone[i] = 0.5f * (float)sin(2.0 * PI * 440.0 * i / RATE);
  BufferParam sound = {tone, 32, 1, RATE, RATE};
  Buffer* buffer = orv.CreateBuffer(orv.context, &sound);
  if (Failed(&orv, "CreateBuffer")) return 1;

  /* The listener at the origin looking down -z: +x is on the right. */
  Vector3 eye = {0, 0, 0}, front = {0, 0, -1}, up = {0, 1, 0};
  ReverbParam room = {0.5f, 60.0f, 100.0f, 3.0f, 1.0f};
  orv.Respatialize(orv.context, &eye, &front, &up, &room);
  Vector3 right = {2, 0, 0}; /* listener space: x is always the right */
  PlayParam play = {1.0f, 1.0f, 1.0f};
  orv.PlayRelative(orv.context, buffer, &right, &play);
  if (Failed(&orv, "Play")) return 1;

  static float block[2 * BLOCK];
  double energy[2] = {0, 0};
  for (int n = 0; n < RATE / BLOCK; ++n) {
    orv.Render(orv.context, block, BLOCK);
    for (int i = 0; i < 2 * BLOCK; ++i) energy[i % 2] += (double)block[i] * block[i];
  }
  if (Failed(&orv, "Render")) return 1;
  printf("left RMS %.4f, right RMS %.4f\n", sqrt(energy[0] / RATE), sqrt(energy[1] / RATE));

  orv.FreeBuffer(orv.context, buffer);
  orv.Destroy(orv.context);
  return 0;
}
