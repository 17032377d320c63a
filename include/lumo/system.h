/* lumo: system services: time, identifiers, code pages, the shell and machine control.
 * lumo_system_getMillis is thread-safe and allocation-free. */
#ifndef LUMO_SYSTEM_H
#define LUMO_SYSTEM_H

#include <lumo/object.h>

LUMO_EXTERN_C_BEGIN

/* The millisecond part (0..999) of the current time of day. */
LUMO_API int lumo_system_getMillis(void);

LUMO_EXTERN_C_END

#endif
