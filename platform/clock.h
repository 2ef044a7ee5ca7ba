#pragma once

// Calendar time as the programs show it: in log file names, in the server's
// TIME reply and in listings. Reading the clock never fails.

namespace platform {

struct CDateTime {
    int nYear = 1970;        // four digits
    int nMonth = 1;          // 1 to 12
    int nDay = 1;            // 1 to 31
    int nHour = 0;           // 0 to 23
    int nMinute = 0;         // 0 to 59
    int nSecond = 0;         // 0 to 60 (a leap second may show)
    int nMilliseconds = 0;   // 0 to 999
};

// The current time in the machine's local time zone, to the millisecond.
CDateTime GetLocalDateTime();

// The current time in coordinated universal time, to the millisecond.
CDateTime GetUtcDateTime();

}  // namespace platform
