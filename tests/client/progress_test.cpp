#include "client/progress.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

// The operator's line for a transfer under way: units, rate and time left,
// and what is left out when a figure is not known.

namespace {

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * kKiB;
constexpr int64_t kGiB = 1024 * kMiB;

TEST(FormatProgressTest, ShowsWhatHowMuchTheRateAndTheTimeLeft) {
    // Plain values only: a table of strings makes some compilers warn of
    // strings used before they are made.
    struct CCase {
        const char* pszName;
        struct {
            const char* pszWhat;
            int64_t nDone;
            int64_t nTotal;
            double dSeconds;
        } progress;
        const char* pszExpected;
    };
    const double kNaN = std::numeric_limits<double>::quiet_NaN();
    const double kInfinity = std::numeric_limits<double>::infinity();
    const std::vector<CCase> cases = {
        {"the usual line", {"PUT a->b", 25 * kMiB / 2, 50 * kMiB, 12.5 / 4.2},
         "PUT a->b: 12.5 MiB of 50.0 MiB, 4.2 MiB/s, 9 s left"},
        {"nothing moved yet, no time passed", {"GET x->y", 0, 3 * kKiB, 0},
         "GET x->y: 0 B of 3.0 KiB"},
        {"nothing moved after a while: no time left to tell", {"GET x->y", 0, 3 * kKiB, 2},
         "GET x->y: 0 B of 3.0 KiB, 0 B/s"},
        {"bytes below a KiB are whole", {"GET x->y", 512, 1000, 1},
         "GET x->y: 512 B of 1000 B, 512 B/s, 1 s left"},
        {"the last fraction of a second still counts", {"GET x->y", 900, 1000, 1},
         "GET x->y: 900 B of 1000 B, 900 B/s, 1 s left"},
        {"done", {"GET x->y", 1000, 1000, 2}, "GET x->y: 1000 B of 1000 B, 500 B/s, 0 s left"},
        {"no total: bytes and rate only", {"GET x->y", 3 * kMiB, -1, 2},
         "GET x->y: 3.0 MiB, 1.5 MiB/s"},
        {"no total and no time", {"GET x->y", 3 * kMiB, -1, 0}, "GET x->y: 3.0 MiB"},
        {"minutes", {"PUT a->b", 10 * kMiB, 100 * kMiB, 40},
         "PUT a->b: 10.0 MiB of 100.0 MiB, 256.0 KiB/s, 6 min 0 s left"},
        {"seconds are rounded up", {"PUT a->b", 1 * kMiB, 5 * kMiB / 2, 1},
         "PUT a->b: 1.0 MiB of 2.5 MiB, 1.0 MiB/s, 2 s left"},
        {"minutes and seconds", {"PUT a->b", 1 * kMiB, 100 * kMiB, 1},
         "PUT a->b: 1.0 MiB of 100.0 MiB, 1.0 MiB/s, 1 min 39 s left"},
        {"hours", {"PUT a->b", 1 * kMiB, 4 * kGiB, 1},
         "PUT a->b: 1.0 MiB of 4.0 GiB, 1.0 MiB/s, 1 h 8 min left"},
        {"beyond any useful estimate", {"PUT a->b", 1, 4 * kGiB, 1},
         "PUT a->b: 1 B of 4.0 GiB, 1 B/s, over 99 h left"},
        {"rounding to 1024.0 takes the next unit", {"GET x->y", kMiB - 1, -1, 0},
         "GET x->y: 1.0 MiB"},
        {"GiB is the largest unit", {"GET x->y", 3000 * kGiB, -1, 0}, "GET x->y: 3000.0 GiB"},
        {"a file that grew beyond its length", {"GET x->y", 2 * kKiB, kKiB, 1},
         "GET x->y: 2.0 KiB of 1.0 KiB, 2.0 KiB/s"},
        {"a negative count reads as none", {"GET x->y", -5, 100, 1},
         "GET x->y: 0 B of 100 B, 0 B/s"},
        {"a clock that went back", {"GET x->y", 10, 100, -1}, "GET x->y: 10 B of 100 B"},
        {"a clock that says nothing", {"GET x->y", 10, 100, kNaN}, "GET x->y: 10 B of 100 B"},
        {"a clock without end", {"GET x->y", 10, 100, kInfinity}, "GET x->y: 10 B of 100 B"},
        {"a very short time", {"GET x->y", kGiB, 2 * kGiB, 1e-9},
         "GET x->y: 1.0 GiB of 2.0 GiB, 1000000000.0 GiB/s, 1 s left"},
        {"a time too short for any rate", {"GET x->y", kGiB, 2 * kGiB, 1e-300},
         "GET x->y: 1.0 GiB of 2.0 GiB"},
        {"nothing named", {"", 100, 200, 1}, "100 B of 200 B, 100 B/s, 1 s left"},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        const CTransferProgress progress{c.progress.pszWhat, c.progress.nDone, c.progress.nTotal,
                                         c.progress.dSeconds};
        EXPECT_EQ(FormatProgress(progress), c.pszExpected);
    }
}

}  // namespace
