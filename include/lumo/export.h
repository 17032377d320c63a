/* lumo: symbol visibility. The library is built with hidden visibility; only what is marked
 * LUMO_API is part of the contract that plug-ins link against. */
#ifndef LUMO_EXPORT_H
#define LUMO_EXPORT_H

#if defined(LUMO_BUILDING_LIBRARY)
#define LUMO_API __attribute__((visibility("default")))
#else
#define LUMO_API
#endif

#ifdef __cplusplus
#define LUMO_EXTERN_C_BEGIN extern "C" {
#define LUMO_EXTERN_C_END }
#else
#define LUMO_EXTERN_C_BEGIN
#define LUMO_EXTERN_C_END
#endif

#endif
