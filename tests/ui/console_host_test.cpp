#include "ui/console_host.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <poll.h>
#include <pty.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/tempdir.h"
#include "ui/dialog.h"

// The terminal host's status line for progress bars: one line on standard
// error, rewritten in place, cleared before every other line and when the
// bar goes; nothing of it on standard output, and nothing at all when
// standard error is not a terminal.

namespace {

using ui::EControlKind;

enum : int { kIdList = 10, kIdBar = 11, kStep = 0x7F00 };

const ui::CDialogTemplate& Template() {
    static const ui::CDialogTemplate t = [] {
        ui::CDialogTemplate t;
        t.nResourceId = 1;
        t.strCaption = "Progress";
        t.cx = 200;
        t.cy = 100;
        t.controls = {
            {kIdList, EControlKind::ListBox, "", 4, 4, 192, 60},
            {kIdBar, EControlKind::ProgressBar, "", 4, 70, 192, 8, ui::kStyleHidden},
        };
        return t;
    }();
    return t;
}

// Runs its steps one posted command after the other, without an operator,
// then ends.
class CStepsDialog : public ui::CDialog {
public:
    explicit CStepsDialog(std::vector<std::function<void(CStepsDialog&)>> steps)
        : ui::CDialog(Template()), m_steps(std::move(steps)) {}

    void OnInitDialog() override { PostCommand(kStep); }
    void OnCommand(int nId) override {
        if (nId != kStep) {
            ui::CDialog::OnCommand(nId);
        } else if (m_nNext < m_steps.size()) {
            m_steps[m_nNext++](*this);
            PostCommand(kStep);
        } else {
            EndDialog(ui::kIdOk);
        }
    }
    bool IsWaitingForOperator() const override { return false; }

    using ui::CDialog::ListInsert;
    using ui::CDialog::SetItemProgress;
    using ui::CDialog::SetItemText;
    using ui::CDialog::ShowItem;
    using ui::CDialog::ShowMessageBox;

private:
    std::vector<std::function<void(CStepsDialog&)>> m_steps;
    size_t m_nNext = 0;
};

const std::string kLongWhat = "GET /" + std::string(120, 'n') + ".dat";

// A transfer as the client shows it: the bar appears, moves, a log line
// and a message come while it shows, it goes, and the file's line follows.
std::vector<std::function<void(CStepsDialog&)>> TransferSteps() {
    return {
        [](CStepsDialog& d) { d.ListInsert(kIdList, 0, "Login OK"); },
        [](CStepsDialog& d) {
            d.SetItemText(kIdBar, "PUT a->b: 1 of 4");
            d.SetItemProgress(kIdBar, 250);
            d.ShowItem(kIdBar, true);
        },
        [](CStepsDialog& d) {
            d.SetItemText(kIdBar, "PUT a->b: 2 of 4");
            d.SetItemProgress(kIdBar, 500);
        },
        [](CStepsDialog& d) { d.ListInsert(kIdList, 0, "a line while it shows"); },
        [](CStepsDialog& d) { d.ShowMessageBox("a message while it shows"); },
        [](CStepsDialog& d) { d.SetItemText(kIdBar, kLongWhat + ": 3 of 4"); },
        [](CStepsDialog& d) { d.SetItemText(kIdBar, "PUT a->b: 4 of 4"); },
        [](CStepsDialog& d) { d.ShowItem(kIdBar, false); },
        [](CStepsDialog& d) { d.ListInsert(kIdList, 0, "OK TRANSM: PUT a->b"); },
    };
}

// Points descriptor nFd at another file while the object lives.
class CRedirect {
public:
    CRedirect(int nFd, int nTarget) : m_nFd(nFd) {
        std::fflush(stdout);
        std::fflush(stderr);
        m_nSaved = dup(nFd);
        dup2(nTarget, nFd);
    }
    ~CRedirect() {
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(m_nSaved, m_nFd);
        close(m_nSaved);
    }

private:
    int m_nFd;
    int m_nSaved;
};

int OpenForWriting(const std::string& strPath) {
#ifdef _WIN32
    return _open(strPath.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_APPEND,
                 _S_IREAD | _S_IWRITE);
#else
    return open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
#endif
}

// What a terminal shows after the bytes: lines without their trailing
// blanks, the one the cursor is on last; and the widest any line ever got.
struct CScreen {
    std::vector<std::string> lines{std::string()};
    size_t nWidest = 0;
};

CScreen Show(const std::string& strBytes) {
    CScreen screen;
    size_t nColumn = 0;
    for (char c : strBytes) {
        std::string& line = screen.lines.back();
        if (c == '\r') {
            nColumn = 0;
        } else if (c == '\n') {
            screen.lines.emplace_back();
            nColumn = 0;
        } else {
            if (nColumn < line.size()) {
                line[nColumn] = c;
            } else {
                line.resize(nColumn, ' ');
                line += c;
            }
            screen.nWidest = std::max(screen.nWidest, ++nColumn);
        }
    }
    for (std::string& line : screen.lines) {
        line.erase(line.find_last_not_of(' ') + 1);
    }
    return screen;
}

class ConsoleHostStatusTest : public ::testing::Test {
protected:
    enum class EStatus { FoundOut, On, Off };

    // Runs the transfer's steps with standard output to out.txt and
    // standard error to err.txt (or both to one file when bShared), in a
    // host made once they are there.
    void RunTransfer(EStatus eStatus, bool bShared) {
        const int nOut = OpenForWriting(m_dir.Join("out.txt"));
        const int nErr = bShared ? nOut : OpenForWriting(m_dir.Join("err.txt"));
        ASSERT_GE(nOut, 0);
        ASSERT_GE(nErr, 0);
        {
            CRedirect out(1, nOut);
            CRedirect err(2, nErr);
            std::unique_ptr<ui::CConsoleHost> pHost =
                eStatus == EStatus::FoundOut
                    ? std::make_unique<ui::CConsoleHost>()
                    : std::make_unique<ui::CConsoleHost>(eStatus == EStatus::On);
            CStepsDialog dialog(TransferSteps());
            m_nResult = pHost->RunModal(dialog);
        }
        close(nOut);
        if (!bShared) {
            close(nErr);
        }
    }

    std::string Out() const { return m_dir.ReadFile("out.txt").value_or("<none>"); }
    std::string Err() const { return m_dir.ReadFile("err.txt").value_or("<none>"); }

    testsupport::CTempDir m_dir;
    int m_nResult = 0;
};

// Standard output and standard error on one terminal: the lines stand as
// they would without the bar, the status line never wrapped, and nothing is
// left of it at the end.
TEST_F(ConsoleHostStatusTest, OnATerminalTheBarIsOneLineThatOtherLinesClearAndTheEndRemoves) {
    RunTransfer(EStatus::On, true);
    EXPECT_EQ(m_nResult, ui::kIdOk);
    const std::string strBytes = Out();
    const CScreen screen = Show(strBytes);
    EXPECT_EQ(screen.lines,
              (std::vector<std::string>{"Login OK", "a line while it shows",
                                        "a message while it shows", "OK TRANSM: PUT a->b", ""}));
    EXPECT_LE(screen.nWidest, ui::kStatusColumns);
    // It was there, rewritten in place as it changed, and fitted.
    EXPECT_NE(strBytes.find("\rPUT a->b: 1 of 4"), std::string::npos) << strBytes;
    EXPECT_NE(strBytes.find("\rPUT a->b: 2 of 4"), std::string::npos) << strBytes;
    EXPECT_NE(strBytes.find("\r" + ui::FitStatusLine(kLongWhat + ": 3 of 4")), std::string::npos)
        << strBytes;
    EXPECT_NE(strBytes.find("\rPUT a->b: 4 of 4"), std::string::npos) << strBytes;
}

TEST_F(ConsoleHostStatusTest, StandardOutputNeverGetsTheStatusLine) {
    RunTransfer(EStatus::On, false);
    EXPECT_EQ(Out(), "Login OK\na line while it shows\nOK TRANSM: PUT a->b\n");
    const std::string strErr = Err();
    EXPECT_NE(strErr.find("\rPUT a->b: 2 of 4"), std::string::npos) << strErr;
    EXPECT_EQ(Show(strErr).lines,
              (std::vector<std::string>{"a message while it shows", ""}));
}

// Redirected, standard error is no terminal: it gets its lines and nothing
// of the bar.
TEST_F(ConsoleHostStatusTest, NothingOfTheBarWhenStandardErrorIsNoTerminal) {
    for (EStatus eStatus : {EStatus::FoundOut, EStatus::Off}) {
        SCOPED_TRACE(eStatus == EStatus::Off ? "told" : "found out");
        RunTransfer(eStatus, false);
        EXPECT_EQ(Out(), "Login OK\na line while it shows\nOK TRANSM: PUT a->b\n");
        EXPECT_EQ(Err(), "a message while it shows\n");
    }
}

#ifndef _WIN32
// A real terminal (a pseudo-terminal) on standard error is found and gets
// the status line.
TEST_F(ConsoleHostStatusTest, ATerminalOnStandardErrorIsFoundAndGetsTheStatusLine) {
    int nMaster = -1, nSlave = -1;
    ASSERT_EQ(openpty(&nMaster, &nSlave, nullptr, nullptr, nullptr), 0);
    const int nOut = OpenForWriting(m_dir.Join("out.txt"));
    ASSERT_GE(nOut, 0);
    {
        CRedirect out(1, nOut);
        CRedirect err(2, nSlave);
        ui::CConsoleHost host;
        CStepsDialog dialog(TransferSteps());
        m_nResult = host.RunModal(dialog);
    }
    close(nOut);
    close(nSlave);
    std::string strTerminal;
    for (;;) {
        pollfd poll_fd{nMaster, POLLIN, 0};
        if (poll(&poll_fd, 1, 200) <= 0) {
            break;
        }
        char buffer[4096];
        const ssize_t nRead = read(nMaster, buffer, sizeof(buffer));
        if (nRead <= 0) {
            break;
        }
        strTerminal.append(buffer, static_cast<size_t>(nRead));
    }
    close(nMaster);
    EXPECT_EQ(m_nResult, ui::kIdOk);
    EXPECT_EQ(Out(), "Login OK\na line while it shows\nOK TRANSM: PUT a->b\n");
    EXPECT_NE(strTerminal.find("\rPUT a->b: 2 of 4"), std::string::npos) << strTerminal;
    // The terminal turns a line end into CR LF; what stays is the message.
    EXPECT_EQ(Show(strTerminal).lines,
              (std::vector<std::string>{"a message while it shows", ""}));
}
#endif

TEST(FitStatusLineTest, KeepsTheStartAndTheEndOfWhatIsTooLong) {
    struct CCase {
        const char* pszName;
        std::string strText;
        size_t nColumns;
        std::string strExpected;
    };
    const std::string strDigits = "0123456789";
    const std::vector<CCase> cases = {
        {"fits", "GET a->b: 1.0 KiB", 79, "GET a->b: 1.0 KiB"},
        {"exactly", std::string(79, 'x'), 79, std::string(79, 'x')},
        {"one too many", std::string(40, 'a') + std::string(40, 'z'), 79,
         std::string(19, 'a') + "..." + std::string(17, 'a') + std::string(40, 'z')},
        {"narrow", strDigits + strDigits, 11, "01...456789"},
        {"too narrow for more than the cut", strDigits, 2, ".."},
        {"UTF-8 characters count once", "\xc3\xbc\xc3\xbc\xc3\xbc", 3, "\xc3\xbc\xc3\xbc\xc3\xbc"},
        {"and are never split", "\xc3\xa4" + strDigits + "\xc3\xb6", 8,
         "\xc3\xa4" "0...89" "\xc3\xb6"},
        {"control characters cannot break the line", "a\nb\rc\td", 79, "a?b?c?d"},
        {"empty", "", 79, ""},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        EXPECT_EQ(ui::FitStatusLine(c.strText, c.nColumns), c.strExpected);
    }
}

}  // namespace
