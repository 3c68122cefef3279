/* Geodetic records shared by the quorvane compiled modules.
 *
 * LLA, AER and ENU_Frame are packed (no padding can ever appear between
 * their doubles) and keep the 8-byte alignment of double, so pointers to
 * their members are ordinary aligned double pointers.
 *
 * Plain C structs of native doubles: angles in radians, lengths in metres,
 * vectors in Earth-centred Earth-fixed axes. The NumPy dtypes in
 * quorvane.datamodel describe the same layouts.
 */
#ifndef QUORVANE_DATAMODEL_STRUCTURED_H
#define QUORVANE_DATAMODEL_STRUCTURED_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A point of the ellipsoid surface: geodetic latitude and longitude. */
typedef struct SurfCoord {
    double lat;
    double lon;
} SurfCoord;

/* A point in space: geodetic latitude, longitude and altitude along the normal. */
typedef struct __attribute__((packed, aligned(8))) LLA {
    double lat;
    double lon;
    double alt;
} LLA;

/* A target seen from an observer: azimuth from north towards east, elevation, slant range. */
typedef struct __attribute__((packed, aligned(8))) AER {
    double azimuth;
    double elevation;
    double range;
} AER;

/* The local East-North-Up frame: three unit vectors [x, y, z]. */
typedef struct __attribute__((packed, aligned(8))) ENU_Frame {
    double u_east[3];
    double u_north[3];
    double u_up[3];
} ENU_Frame;

#ifdef __cplusplus
}
#define QUORVANE_STATIC_ASSERT static_assert
#else
#define QUORVANE_STATIC_ASSERT _Static_assert
#endif

QUORVANE_STATIC_ASSERT(sizeof(SurfCoord) == 16, "SurfCoord is two doubles");
QUORVANE_STATIC_ASSERT(offsetof(SurfCoord, lon) == 8, "SurfCoord.lon at 8");
QUORVANE_STATIC_ASSERT(sizeof(LLA) == 24, "LLA is three doubles");
QUORVANE_STATIC_ASSERT(offsetof(LLA, lon) == 8 && offsetof(LLA, alt) == 16, "LLA layout");
QUORVANE_STATIC_ASSERT(sizeof(AER) == 24, "AER is three doubles");
QUORVANE_STATIC_ASSERT(offsetof(AER, elevation) == 8 && offsetof(AER, range) == 16, "AER layout");
QUORVANE_STATIC_ASSERT(sizeof(ENU_Frame) == 72, "ENU_Frame is nine doubles");
QUORVANE_STATIC_ASSERT(offsetof(ENU_Frame, u_north) == 24 && offsetof(ENU_Frame, u_up) == 48,
                       "ENU_Frame layout");

#undef QUORVANE_STATIC_ASSERT

#endif /* QUORVANE_DATAMODEL_STRUCTURED_H */
