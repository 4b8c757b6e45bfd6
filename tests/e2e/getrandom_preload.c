/* Preloaded into the agent inside the end-to-end sandbox: fixes the bytes that
 * the C library's getrandom() hands out, so that the agent's random delay
 * before an update run is known.
 *
 * QUARN_E2E_GETRANDOM selects the bytes:
 *   "zero"  every byte is 0x00 (the shortest delay, 0 s);
 *   "ones"  every byte is 0xff (the longest delay, 900 s);
 *   other or unset: the kernel's random bytes, as without this library.
 * Only this library reads the variable; the agent reads no environment.
 */
#define _GNU_SOURCE
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
  const char* mode = getenv("QUARN_E2E_GETRANDOM");
  if (mode != NULL && strcmp(mode, "zero") == 0) {
    memset(buffer, 0x00, length);
    return (ssize_t)length;
  }
  if (mode != NULL && strcmp(mode, "ones") == 0) {
    memset(buffer, 0xff, length);
    return (ssize_t)length;
  }
  return syscall(SYS_getrandom, buffer, length, flags);
}
