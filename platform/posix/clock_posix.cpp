#include <time.h>

#include "platform/clock.h"

namespace platform {

namespace {

CDateTime FromParts(const struct tm& tmParts, long nNanoseconds) {
    CDateTime time;
    time.nYear = tmParts.tm_year + 1900;
    time.nMonth = tmParts.tm_mon + 1;
    time.nDay = tmParts.tm_mday;
    time.nHour = tmParts.tm_hour;
    time.nMinute = tmParts.tm_min;
    time.nSecond = tmParts.tm_sec;
    time.nMilliseconds = static_cast<int>(nNanoseconds / 1000000);
    return time;
}

}  // namespace

CDateTime GetLocalDateTime() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm tmLocal {};
    localtime_r(&now.tv_sec, &tmLocal);
    return FromParts(tmLocal, now.tv_nsec);
}

CDateTime GetUtcDateTime() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm tmUtc {};
    gmtime_r(&now.tv_sec, &tmUtc);
    return FromParts(tmUtc, now.tv_nsec);
}

}  // namespace platform
