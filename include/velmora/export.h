/* Export control for the Velmora shared library. Everything is hidden unless marked VELMORA_API. */
#ifndef VELMORA_EXPORT_H
#define VELMORA_EXPORT_H

#if defined(VELMORA_BUILDING)
#define VELMORA_API __attribute__((visibility("default")))
#else
#define VELMORA_API
#endif

#ifdef __cplusplus
#define VELMORA_EXTERN_C_BEGIN extern "C" {
#define VELMORA_EXTERN_C_END }
#else
#define VELMORA_EXTERN_C_BEGIN
#define VELMORA_EXTERN_C_END
#endif

#define VELMORA_VERSION_MAJOR 0
#define VELMORA_VERSION_MINOR 1
#define VELMORA_VERSION_PATCH 0

#endif
