#pragma once

#include <cstdint>
#include <string>

// How far the transfer of one file has got, as the sync run reports it to
// whoever shows it (a bar under the log list, a line on the terminal). Never
// part of the log: the log keeps one line per file.
struct CTransferProgress {
    std::string strWhat;   // the file as its log line names it: "PUT a->b"
    int64_t nDone = 0;     // bytes moved so far
    int64_t nTotal = -1;   // the file's length; -1 when the server did not say
    double dSeconds = 0;   // since the transfer began
};

// One line for the operator: what, how much of how much, the rate and the
// time left ("PUT a->b: 12.5 MiB of 50.0 MiB, 4.2 MiB/s, 9 s left"). Without
// a total, the bytes and the rate only.
std::string FormatProgress(const CTransferProgress& progress);
