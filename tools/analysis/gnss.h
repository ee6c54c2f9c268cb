// Time scales and the earth model the analysis needs: where an observation
// epoch falls in GPS time, how old it was when it arrived, and where an
// earth-centred position lies on the WGS-84 ellipsoid.
#ifndef VELTO_ANALYSIS_GNSS_H
#define VELTO_ANALYSIS_GNSS_H

#include "messages.h"

namespace analysis {

const double kSecondsPerWeek = 7 * 86400.0;
const double kSecondsPerDay = 86400.0;
const int kDefaultLeapSeconds = 18; // GPS minus UTC since 2017

// GPS seconds since the GPS epoch (1980-01-06) for a POSIX time.
double gpsSecondsFromUnix(double unixSeconds, int leapSeconds);

// An epoch placed in GPS time: seconds into a GPS week, or into a GPS day
// when the epoch names no day (GLONASS legacy messages, or an MSM whose day
// of week is "unknown").
struct GpsPlace {
    double seconds;
    double period; // kSecondsPerWeek or kSecondsPerDay
};
// BeiDou time is GPS time minus 14 s; GLONASS time is UTC plus 3 h (Moscow),
// so it needs the leap-second count.
GpsPlace gpsPlaceOfEpoch(const ObservationHeader &epoch, int leapSeconds);

// Receipt minus epoch, in seconds. An epoch gives its time only within a
// week (or a day), so the one closest to the receipt time is taken; that
// also carries the week's end, where the epoch's time of week starts again
// from zero, without a jump.
double epochAgeSeconds(double receiptGpsSeconds, const GpsPlace &epoch);

struct Geodetic {
    double latitudeDeg;
    double longitudeDeg;
    double heightM; // above the ellipsoid
};
Geodetic wgs84FromEcef(double x, double y, double z);

} // namespace analysis

#endif
