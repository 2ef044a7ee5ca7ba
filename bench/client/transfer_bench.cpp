// The transfer client's Get and Put of one large file against our server
// engine, side by side with curl doing the same against the same engine, and
// the round-trip rate of the digest command.
//
//   transfer_bench [-n ROUNDS] [-s MIB] [-d DIGESTS] [WORKDIR]

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/transfer/ftpsockclient.h"
#include "platform/file.h"
#include "server/ftpserver/ftpserver.h"

namespace {

using CClock = std::chrono::steady_clock;

const char* const kUser = "bench";
const char* const kPassword = "bench";

double Seconds(CClock::time_point start) {
    return std::chrono::duration<double>(CClock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool WriteTestFile(const std::string& strPath, uint64_t nBytes) {
    std::vector<char> block(1 << 20);
    std::mt19937 generator(7);
    for (char& c : block) {
        c = static_cast<char>(generator() & 0xFF);
    }
    platform::CFile file;
    if (!file.Open(strPath, platform::CFile::modeCreate)) {
        return false;
    }
    for (uint64_t nDone = 0; nDone < nBytes; nDone += block.size()) {
        size_t nChunk = static_cast<size_t>(std::min<uint64_t>(block.size(), nBytes - nDone));
        block[0] = static_cast<char>(nDone >> 20);  // no two blocks alike
        if (!file.Write(block.data(), nChunk)) {
            return false;
        }
    }
    return file.Close();
}

int64_t FileSize(const std::string& strPath) {
    platform::CFileInfo info;
    return platform::GetFileInfo(strPath, info) ? static_cast<int64_t>(info.nSize) : -1;
}

// Runs curl and waits; true on exit status 0.
bool RunCurl(const std::vector<std::string>& vecArgs) {
    std::vector<char*> argv;
    std::string strCurl = "curl";
    argv.push_back(strCurl.data());
    for (const std::string& strArg : vecArgs) {
        argv.push_back(const_cast<char*>(strArg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t nPid = fork();
    if (nPid == 0) {
        execvp("curl", argv.data());
        _exit(127);
    }
    int nStatus = 0;
    waitpid(nPid, &nStatus, 0);
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

// Connects and logs in, retrying while the engine finishes the session of
// the previous client and listens again.
bool ConnectClient(CFtpSockClient& client, int nPort) {
    for (int i = 0; i < 200; ++i) {
        if (client.Connect("127.0.0.1", static_cast<unsigned>(nPort))) {
            return client.Login(kUser, kPassword) && client.SetBinaryType();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// One whole session each, as a sync run of one file would be.
bool OursGet(int nPort, const std::string& strLocal) {
    CFtpSockClient client;
    bool bOk = ConnectClient(client, nPort) && client.Get("big.bin", strLocal);
    client.Quit();
    return bOk;
}

bool OursPut(int nPort, const std::string& strLocal) {
    CFtpSockClient client;
    bool bOk = ConnectClient(client, nPort) && client.Put(strLocal, "up-ours.bin");
    client.Quit();
    return bOk;
}

std::string Url(int nPort, const std::string& strName) {
    return "ftp://127.0.0.1:" + std::to_string(nPort) + "/" + strName;
}

bool CurlGet(int nPort, const std::string& strLocal) {
    return RunCurl({"-s", "-S", "--ftp-port", "127.0.0.1", "--disable-eprt", "-u",
                    std::string(kUser) + ":" + kPassword, Url(nPort, "big.bin"), "-o", strLocal});
}

bool CurlPut(int nPort, const std::string& strLocal) {
    return RunCurl({"-s", "-S", "--ftp-port", "127.0.0.1", "--disable-eprt", "-u",
                    std::string(kUser) + ":" + kPassword, "-T", strLocal,
                    Url(nPort, "up-curl.bin")});
}

int FreePort() {
    platform::CSocket probe;
    platform::CSocketAddress address{0x7F000001, 0};
    if (!probe.Create() || !probe.Bind(address) || !probe.GetLocalAddress(address)) {
        return -1;
    }
    return address.nPort;
}

}  // namespace

int main(int argc, char** argv) {
    int nRounds = 3;
    uint64_t nMiB = 1024;
    int nDigests = 1000;
    std::string strWork;
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        if (strArg == "-n" && i + 1 < argc) {
            nRounds = std::max(1, std::atoi(argv[++i]));
        } else if (strArg == "-s" && i + 1 < argc) {
            nMiB = static_cast<uint64_t>(std::max(1, std::atoi(argv[++i])));
        } else if (strArg == "-d" && i + 1 < argc) {
            nDigests = std::max(1, std::atoi(argv[++i]));
        } else {
            strWork = strArg;
        }
    }
    if (strWork.empty()) {
        const char* pszTemp = std::getenv("TMPDIR");
        strWork = std::string(pszTemp ? pszTemp : "/tmp") + "/tandrel-transfer-bench";
    }
    const std::string strServer = strWork + "/server";
    const std::string strLocal = strWork + "/local";
    platform::MakeDirectory(strWork);
    platform::MakeDirectory(strServer);
    platform::MakeDirectory(strLocal);
    const uint64_t nBytes = nMiB << 20;
    if (FileSize(strServer + "/big.bin") != static_cast<int64_t>(nBytes) &&
        !WriteTestFile(strServer + "/big.bin", nBytes)) {
        std::fprintf(stderr, "cannot write the test file in %s\n", strServer.c_str());
        return 1;
    }
    if (FileSize(strLocal + "/big.bin") != static_cast<int64_t>(nBytes) &&
        !WriteTestFile(strLocal + "/big.bin", nBytes)) {
        std::fprintf(stderr, "cannot write the test file in %s\n", strLocal.c_str());
        return 1;
    }
    for (int i = 0; i < 20; ++i) {
        WriteTestFile(strServer + "/small" + std::to_string(i) + ".txt", 0);
    }

    // The engine's trace goes to standard output; keep the report readable.
    std::fflush(stdout);
    int fdReport = dup(STDOUT_FILENO);
    FILE* pReport = fdopen(fdReport, "w");
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }

    int nPort = FreePort();
    std::vector<CFileSyncServerUser> users{{kUser, kPassword}};
    CFtpServer server;
    if (!server.Start({}, false, &users, nullptr, nPort, strServer)) {
        std::fprintf(stderr, "cannot start the engine\n");
        return 1;
    }

    std::vector<double> oursGet, curlGet, oursPut, curlPut;
    const std::string strOursOut = strLocal + "/ours.bin";
    const std::string strCurlOut = strLocal + "/curl.bin";
    auto measure = [&](bool (*run)(int, const std::string&), const std::string& strPath,
                       std::vector<double>& times, const char* pszName,
                       const std::string& strCheck) {
        CClock::time_point start = CClock::now();
        bool bOk = run(nPort, strPath);
        double dSeconds = Seconds(start);
        if (!bOk || FileSize(strCheck) != static_cast<int64_t>(nBytes)) {
            std::fprintf(stderr, "%s failed\n", pszName);
            std::exit(1);
        }
        times.push_back(dSeconds);
    };
    // One untimed round of each warms the caches and the connections.
    for (int nRound = 0; nRound <= nRounds; ++nRound) {
        std::vector<double> ignore;
        bool bTimed = nRound > 0;
        // Alternate who goes first, so neither always meets a warmer system.
        for (int nTurn = 0; nTurn < 2; ++nTurn) {
            bool bOurs = (nTurn == 0) == (nRound % 2 == 0);
            if (bOurs) {
                measure(OursGet, strOursOut, bTimed ? oursGet : ignore, "our Get", strOursOut);
                measure(OursPut, strLocal + "/big.bin", bTimed ? oursPut : ignore, "our Put",
                        strServer + "/up-ours.bin");
            } else {
                measure(CurlGet, strCurlOut, bTimed ? curlGet : ignore, "curl get", strCurlOut);
                measure(CurlPut, strLocal + "/big.bin", bTimed ? curlPut : ignore, "curl put",
                        strServer + "/up-curl.bin");
            }
        }
    }

    CFtpSockClient client;
    if (!ConnectClient(client, nPort)) {
        std::fprintf(stderr, "cannot connect for the digests\n");
        return 1;
    }
    CClock::time_point start = CClock::now();
    for (int i = 0; i < nDigests; ++i) {
        if (client.GetRemoteDigest("small" + std::to_string(i % 20) + ".txt").size() != 32) {
            std::fprintf(stderr, "digest %d failed\n", i);
            return 1;
        }
    }
    double dDigestSeconds = Seconds(start);
    client.Quit();
    server.Stop();

    double dMiB = static_cast<double>(nMiB);
    double dOursGet = dMiB / Median(oursGet), dCurlGet = dMiB / Median(curlGet);
    double dOursPut = dMiB / Median(oursPut), dCurlPut = dMiB / Median(curlPut);
    std::fprintf(pReport, "file %llu MiB, %d rounds, medians, whole session per transfer\n",
                 static_cast<unsigned long long>(nMiB), nRounds);
    std::fprintf(pReport, "get: ours %.0f MiB/s, curl %.0f MiB/s, ratio ours/curl %.2f\n",
                 dOursGet, dCurlGet, dOursGet / dCurlGet);
    std::fprintf(pReport, "put: ours %.0f MiB/s, curl %.0f MiB/s, ratio ours/curl %.2f\n",
                 dOursPut, dCurlPut, dOursPut / dCurlPut);
    std::fprintf(pReport, "digest: %d round trips in %.3f s, %.0f per second\n", nDigests,
                 dDigestSeconds, nDigests / dDigestSeconds);
    std::fclose(pReport);
    return 0;
}
