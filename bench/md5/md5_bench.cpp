// Compares the file digest with coreutils md5sum on the same cached file.
//
//   md5_bench [-n ROUNDS] [FILE]
//
// Without FILE a 1 GiB file of pseudo-random bytes is made in a fresh
// temporary folder and removed afterwards. The two contenders take turns, and
// the order flips every round, so that a burst of load from elsewhere on the
// machine does not always hit the same one.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/fileerror.h"
#include "common/md5.h"
#include "platform/file.h"

extern char** environ;

namespace {

constexpr uint64_t kDefaultFileSize = uint64_t{1} << 30;
constexpr size_t kChunkSize = 1 << 20;

bool CreateRandomFile(const std::string& strPath, uint64_t nSize) {
    platform::CFile file;
    if (!file.Open(strPath, platform::CFile::modeCreate)) {
        std::fprintf(stderr, "cannot create %s (error %d)\n", strPath.c_str(), file.GetLastError());
        return false;
    }
    std::vector<uint64_t> chunk(kChunkSize / sizeof(uint64_t));
    uint64_t nState = 0x9e3779b97f4a7c15;  // xorshift64: fast, and no run repeats
    for (uint64_t nDone = 0; nDone < nSize; nDone += kChunkSize) {
        for (uint64_t& n : chunk) {
            nState ^= nState << 13;
            nState ^= nState >> 7;
            nState ^= nState << 17;
            n = nState;
        }
        size_t nCount = static_cast<size_t>(std::min<uint64_t>(kChunkSize, nSize - nDone));
        if (!file.Write(chunk.data(), nCount)) {
            std::fprintf(stderr, "cannot write %s (error %d)\n", strPath.c_str(),
                         file.GetLastError());
            return false;
        }
    }
    return file.Close();
}

// Reads the file once so that both contenders find it in the page cache.
int64_t WarmCache(const std::string& strPath) {
    platform::CFile file;
    if (!file.Open(strPath, platform::CFile::modeRead)) {
        return -1;
    }
    std::unique_ptr<char[]> pBuffer = std::make_unique_for_overwrite<char[]>(kChunkSize);
    int64_t nTotal = 0;
    for (;;) {
        int64_t nRead = file.Read(pBuffer.get(), kChunkSize);
        if (nRead < 0) {
            return -1;
        }
        if (nRead == 0) {
            return nTotal;
        }
        nTotal += nRead;
    }
}

// Runs md5sum on the file and returns the digest it printed, or an empty text.
std::string RunMd5sum(const std::string& strPath) {
    int aPipe[2];
    if (pipe(aPipe) != 0) {
        return std::string();
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, aPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, aPipe[0]);
    posix_spawn_file_actions_addclose(&actions, aPipe[1]);

    std::string strArg0 = "md5sum";
    std::string strArg1 = "--";
    std::string strArg2 = strPath;
    char* argv[] = {strArg0.data(), strArg1.data(), strArg2.data(), nullptr};
    pid_t pid = -1;
    int nError = posix_spawnp(&pid, "md5sum", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(aPipe[1]);
    if (nError != 0) {
        close(aPipe[0]);
        std::fprintf(stderr, "cannot run md5sum: %s\n", std::strerror(nError));
        return std::string();
    }

    std::string strOutput;
    char buffer[4096];
    for (;;) {
        ssize_t nRead = read(aPipe[0], buffer, sizeof(buffer));
        if (nRead < 0 && errno == EINTR) {
            continue;
        }
        if (nRead <= 0) {
            break;
        }
        strOutput.append(buffer, static_cast<size_t>(nRead));
    }
    close(aPipe[0]);
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) {
        return std::string();
    }
    // A name with a backslash or line break makes md5sum start the line with '\'.
    size_t nStart = !strOutput.empty() && strOutput[0] == '\\' ? 1 : 0;
    return strOutput.substr(nStart, 32);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int Usage() {
    std::fprintf(stderr, "usage: md5_bench [-n ROUNDS] [FILE]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int nRounds = 5;
    std::string strPath;
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        if (strArg == "-n" && i + 1 < argc) {
            nRounds = std::atoi(argv[++i]);
            if (nRounds < 1) {
                return Usage();
            }
        } else if (strPath.empty() && !strArg.empty() && strArg[0] != '-') {
            strPath = strArg;
        } else {
            return Usage();
        }
    }

    std::string strTempDir;
    if (strPath.empty()) {
        std::string strTemplate =
            (std::filesystem::temp_directory_path() / "md5_bench_XXXXXX").string();
        if (mkdtemp(strTemplate.data()) == nullptr) {
            std::fprintf(stderr, "cannot create a temporary folder: %s\n", std::strerror(errno));
            return 1;
        }
        strTempDir = strTemplate;
        strPath = strTempDir + "/random.bin";
        std::fprintf(stderr, "creating %s (1 GiB)\n", strPath.c_str());
        if (!CreateRandomFile(strPath, kDefaultFileSize)) {
            std::filesystem::remove_all(strTempDir);
            return 1;
        }
    }

    int nResult = 0;
    int64_t nSize = WarmCache(strPath);
    if (nSize <= 0) {
        std::fprintf(stderr, "cannot read %s, or it is empty\n", strPath.c_str());
        nResult = 1;
    }

    std::vector<double> ours;
    std::vector<double> peer;
    double dMiB = static_cast<double>(nSize) / (1024.0 * 1024.0);
    for (int nRound = 1; nResult == 0 && nRound <= nRounds; ++nRound) {
        std::string strOurs;
        std::string strPeer;
        double dOurs = 0;
        double dPeer = 0;
        for (int nTurn = 0; nTurn < 2; ++nTurn) {
            bool bOursNow = (nTurn == 0) == (nRound % 2 == 1);
            auto start = std::chrono::steady_clock::now();
            if (bOursNow) {
                try {
                    strOurs = CMD5Checksum::GetFileDigest(strPath);
                } catch (const CFileException& e) {
                    std::fprintf(stderr, "%s\n", e.what());
                }
                dOurs = SecondsSince(start);
            } else {
                strPeer = RunMd5sum(strPath);
                dPeer = SecondsSince(start);
            }
        }
        std::fprintf(stderr, "round %d: ours %.1f MiB/s, md5sum %.1f MiB/s\n", nRound, dMiB / dOurs,
                     dMiB / dPeer);
        if (strOurs.empty() || strOurs != strPeer) {
            std::fprintf(stderr, "digest mismatch in round %d: ours '%s', md5sum '%s'\n", nRound,
                         strOurs.c_str(), strPeer.c_str());
            nResult = 1;
            break;
        }
        ours.push_back(dMiB / dOurs);
        peer.push_back(dMiB / dPeer);
    }

    if (nResult == 0) {
        double dOurs = Median(ours);
        double dPeer = Median(peer);
        std::printf("md5 ours: %.1f MiB/s (median of %d)\n", dOurs, nRounds);
        std::printf("md5 md5sum: %.1f MiB/s (median of %d)\n", dPeer, nRounds);
        std::printf("ratio ours/md5sum: %.2f\n", dOurs / dPeer);
    }
    if (!strTempDir.empty()) {
        std::error_code error;
        std::filesystem::remove_all(strTempDir, error);
    }
    return nResult;
}
