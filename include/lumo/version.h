/* lumo: library version. Within one major version every operation table keeps its slot layout,
 * so a plug-in built against an older minor version keeps working. */
#ifndef LUMO_VERSION_H
#define LUMO_VERSION_H

#define LUMO_VERSION_MAJOR 1
#define LUMO_VERSION_MINOR 0
#define LUMO_VERSION_PATCH 0
#define LUMO_VERSION_STRING "1.0.0"

#endif
