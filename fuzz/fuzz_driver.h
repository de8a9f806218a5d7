// A D2XX driver whose every answer comes from fuzz input: the status of each
// call, the byte count it claims, and the bytes it delivers. It may claim more
// than it was asked for, but it never writes past the caller's count, so
// anything written out of bounds is the probe link's doing.
#ifndef TALVIRO_FUZZ_FUZZ_DRIVER_H
#define TALVIRO_FUZZ_FUZZ_DRIVER_H

#include <fuzzer/FuzzedDataProvider.h>

// Answers come from provider until it runs dry, then every call fails.
void fuzz_driver_use(FuzzedDataProvider* provider);

#endif
