/* The shared library's own translation unit: the flat interface comes from the static library,
 * linked in whole; this file only checks that the public header stands alone as C. */
#include "downloadlib.h"
