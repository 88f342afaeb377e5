/* Control interface of the software card: failure injection and a call trace.
 * Every runtime function of the five libraries consults it on entry. */
#pragma once
#include <stddef.h>
#include <stdint.h>

#ifndef ZE_API
#define ZE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The next `count` calls of `function` return `status` at once, doing nothing. */
ZE_API void zesimFailNext(const char *function, uint32_t status, uint32_t count);
/* The next `count` calls of `function` return 0 at once with every pointer output
 * (handles, text pointers) written as null and no other output written. */
ZE_API void zesimNullNext(const char *function, uint32_t count);
/* Start (non-zero) or stop (0) recording calls. */
ZE_API void zesimTrace(int enabled);
/* Copy the recorded lines into buffer (NUL-terminated, cut to size); returns the
 * full length without the NUL. buffer may be null to ask the length. */
ZE_API size_t zesimTraceRead(char *buffer, size_t size);
ZE_API void zesimTraceClear(void);
/* Forget injections and recorded lines, and stop recording. */
ZE_API void zesimReset(void);
/* The number of live handles in the handle registry, of every kind and library. */
ZE_API size_t zesimHandleCount(void);
/* Exported by libzecl.so: deliver one report to every subscriber of the live op
 * stream `stream` from a thread of the compute library; returns once every
 * callback has returned. Non-zero when `stream` is not a live op stream. */
ZE_API uint32_t zesimDeliverReport(void *stream, void *p1, void *p2, void *p3, int32_t errorCode,
                                   int32_t streamEnd);

#ifdef __cplusplus
}
#endif
