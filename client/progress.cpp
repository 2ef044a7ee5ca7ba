// The operator's line for a transfer under way: see progress.h.

#include "client/progress.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

// Numbers are written digit by digit, not with printf: a window host sets
// the process's locale from the environment, and the line must read the same
// in every one of them ("12.5", never "12,5").
std::string Tenths(int64_t nTenths) {
    return std::to_string(nTenths / 10) + "." + std::to_string(nTenths % 10);
}

// A byte count in the largest binary unit that keeps it at 1 or more, with
// one decimal ("12.5 MiB"); whole bytes below 1 KiB ("512 B").
std::string FormatBytes(double dBytes) {
    if (!(dBytes > 0)) {
        return "0 B";
    }
    if (dBytes < 1024) {
        return std::to_string(std::llround(std::floor(dBytes))) + " B";
    }
    static const char* const kUnits[] = {"KiB", "MiB", "GiB"};
    double dValue = dBytes / 1024;
    size_t nUnit = 0;
    // Rounded to tenths, 1023.96 KiB would read "1024.0 KiB": the next unit
    // takes over there.
    while (nUnit + 1 < std::size(kUnits) && dValue >= 1023.95) {
        dValue /= 1024;
        ++nUnit;
    }
    // Beyond a few thousand GiB the figure is of no use to anyone; it is kept
    // within what an integer of tenths can hold.
    const double dTenths = std::min(std::round(dValue * 10), 9.0e17);
    return Tenths(static_cast<int64_t>(dTenths)) + " " + kUnits[nUnit];
}

// Whole seconds, minutes and hours, as far as each is worth reading: "9 s",
// "4 min 10 s", "2 h 5 min". More than 99 hours is no estimate worth giving.
std::string FormatTimeLeft(double dSeconds) {
    if (dSeconds >= 100.0 * 3600) {
        return "over 99 h";
    }
    // Rounded up: the last fraction of a second still reads "1 s".
    const int64_t nSeconds = static_cast<int64_t>(std::ceil(std::max(dSeconds, 0.0)));
    if (nSeconds < 60) {
        return std::to_string(nSeconds) + " s";
    }
    if (nSeconds < 3600) {
        return std::to_string(nSeconds / 60) + " min " + std::to_string(nSeconds % 60) + " s";
    }
    return std::to_string(nSeconds / 3600) + " h " + std::to_string(nSeconds / 60 % 60) + " min";
}

}  // namespace

std::string FormatProgress(const CTransferProgress& progress) {
    const double dDone = static_cast<double>(std::max<int64_t>(progress.nDone, 0));
    std::string strLine = progress.strWhat.empty() ? std::string() : progress.strWhat + ": ";
    strLine += FormatBytes(dDone);
    const bool bTotal = progress.nTotal >= 0;
    if (bTotal) {
        strLine += " of " + FormatBytes(static_cast<double>(progress.nTotal));
    }
    // No rate before any time has passed (nor from a clock that says
    // nonsense); without a rate, no time left.
    if (!(progress.dSeconds > 0) || !std::isfinite(progress.dSeconds)) {
        return strLine;
    }
    const double dRate = dDone / progress.dSeconds;
    if (!std::isfinite(dRate)) {
        return strLine;
    }
    strLine += ", " + FormatBytes(dRate) + "/s";
    // A file that grew beyond the length announced has no time left to
    // estimate; nor has a transfer that has not moved a byte yet.
    if (bTotal && dRate > 0 && progress.nDone <= progress.nTotal) {
        const double dLeft = static_cast<double>(progress.nTotal) - dDone;
        strLine += ", " + FormatTimeLeft(dLeft / dRate) + " left";
    }
    return strLine;
}
