// Stand-in declaration of the host's basic suite: suites are acquired and
// released by name and version.
#ifndef TESSIVO_PLATFORM_SP_BASIC_H
#define TESSIVO_PLATFORM_SP_BASIC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t SPErr;
enum { kSPNoError = 0, kSPSuiteNotFoundError = 0x21536e46 /* "!SnF" */ };

typedef struct SPBasicSuite {
  // On success 0 and *suite set; otherwise an error and *suite untouched.
  SPErr (*AcquireSuite)(const char* name, int32_t version, const void** suite);
  SPErr (*ReleaseSuite)(const char* name, int32_t version);
} SPBasicSuite;

#ifdef __cplusplus
}
#endif

#endif  // TESSIVO_PLATFORM_SP_BASIC_H
