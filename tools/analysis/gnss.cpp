#include "gnss.h"

#include <math.h>

namespace analysis {

namespace {

const double kGpsEpochInUnix = 315964800.0; // 1980-01-06 00:00:00 UTC
const double kBeidouBehindGps = 14.0;
const double kMoscowAheadOfUtc = 3 * 3600.0;

const double kWgs84A = 6378137.0;
const double kWgs84F = 1 / 298.257223563;
const double kPi = 3.14159265358979323846;

double wrapInto(double value, double period) {
    double wrapped = fmod(value, period);
    return wrapped < 0 ? wrapped + period : wrapped;
}

} // namespace

double gpsSecondsFromUnix(double unixSeconds, int leapSeconds) {
    return unixSeconds - kGpsEpochInUnix + leapSeconds;
}

GpsPlace gpsPlaceOfEpoch(const ObservationHeader &epoch, int leapSeconds) {
    double seconds = epoch.epochMs / 1000.0;
    double period = kSecondsPerWeek;
    switch (epoch.constellation) {
    case kGlonass:
        // A GLONASS week begins on Sunday 00:00 Moscow time, three hours
        // before the GPS week (less the leap seconds) does.
        if (epoch.dayOfWeek >= 0)
            seconds += epoch.dayOfWeek * kSecondsPerDay;
        else
            period = kSecondsPerDay;
        seconds += leapSeconds - kMoscowAheadOfUtc;
        break;
    case kBeidou:
        seconds += kBeidouBehindGps;
        break;
    default:
        break;
    }
    return GpsPlace{wrapInto(seconds, period), period};
}

double epochAgeSeconds(double receiptGpsSeconds, const GpsPlace &epoch) {
    double age = wrapInto(receiptGpsSeconds - epoch.seconds, epoch.period);
    return age >= epoch.period / 2 ? age - epoch.period : age;
}

// Fixed-point iteration on the latitude; the height formula holds at the
// poles as well as at the equator.
Geodetic wgs84FromEcef(double x, double y, double z) {
    const double e2 = kWgs84F * (2 - kWgs84F);
    double p = sqrt(x * x + y * y);
    double latitude = atan2(z, p * (1 - e2));
    double n = kWgs84A;
    for (int i = 0; i < 8; ++i) {
        double sine = sin(latitude);
        n = kWgs84A / sqrt(1 - e2 * sine * sine);
        latitude = atan2(z + e2 * n * sine, p);
    }
    double sine = sin(latitude);
    n = kWgs84A / sqrt(1 - e2 * sine * sine);
    double height = p * cos(latitude) + (z + e2 * n * sine) * sine - n;
    return Geodetic{latitude * 180 / kPi, atan2(y, x) * 180 / kPi, height};
}

} // namespace analysis
