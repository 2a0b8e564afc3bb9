/* Compiled as C into the shared library: proves that the host header is valid
 * C and that its layout checks hold for a C compiler too. */
#include "orv/orv.h"
