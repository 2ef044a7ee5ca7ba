#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/clientdlg.h"
#include "client/transfer/ftpsockclient.h"

// For the dialog tests of every host.
//
// A transfer client that moves its first block at full speed and then slows
// to a crawl, so that a transfer is reliably under way when a test stops the
// run. Without a stop the transfer would take minutes.
class CCrawlingClient : public CFtpSockClient {
public:
    explicit CCrawlingClient(std::atomic<bool>& bUnderWay) : m_bUnderWay(bUnderWay) {}

    int64_t DataSend(const char* pBuffer, size_t nLength) override {
        Crawl();
        return CFtpSockClient::DataSend(pBuffer, nLength);
    }
    int64_t DataReceive(char* pBuffer, size_t nCapacity) override {
        Crawl();
        return CFtpSockClient::DataReceive(pBuffer, nCapacity);
    }

private:
    void Crawl() {
        if (m_bUnderWay.exchange(true)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }

    std::atomic<bool>& m_bUnderWay;
};

class CCrawlingClientDlg : public client::CTandrelClientDlg {
public:
    using CTandrelClientDlg::CTandrelClientDlg;

    std::atomic<bool> m_bUnderWay{false};
    std::vector<std::string> m_causes;

protected:
    void WriteFailureCause(const std::string& strLine) override { m_causes.push_back(strLine); }
    std::unique_ptr<CFtpSockClientBase> CreateClient() override {
        return std::make_unique<CCrawlingClient>(m_bUnderWay);
    }
};
