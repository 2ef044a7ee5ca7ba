#include <windows.h>

#include "platform/clock.h"

namespace platform {

namespace {

CDateTime FromSystemTime(const SYSTEMTIME& st) {
    CDateTime time;
    time.nYear = st.wYear;
    time.nMonth = st.wMonth;
    time.nDay = st.wDay;
    time.nHour = st.wHour;
    time.nMinute = st.wMinute;
    time.nSecond = st.wSecond;
    time.nMilliseconds = st.wMilliseconds;
    return time;
}

}  // namespace

CDateTime GetLocalDateTime() {
    SYSTEMTIME st {};
    GetLocalTime(&st);
    return FromSystemTime(st);
}

CDateTime GetUtcDateTime() {
    SYSTEMTIME st {};
    GetSystemTime(&st);
    return FromSystemTime(st);
}

}  // namespace platform
