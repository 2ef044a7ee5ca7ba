#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/clientdlg.h"
#include "server/serverdlg.h"
#include "tests/ui/scripted_dialog.h"
#include "ui/aboutdlg.h"
#include "ui/win32/win32_host.h"

// The Win32 host with small dialogs of its own, on the real dialog manager
// (under Wine on a virtual display): what each control kind and style
// becomes, how keys, buttons, the close box and the system menu reach the
// dialog, and how posted work from other threads arrives.

namespace {

using ui::EControlKind;
using namespace hosttest;

std::wstring Wide(const std::string& strText) {
    std::wstring strWide(strText.size() * 2 + 1, L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, strText.c_str(), -1, strWide.data(),
                                      static_cast<int>(strWide.size()));
    strWide.resize(n > 0 ? n - 1 : 0);
    return strWide;
}

std::wstring TextOf(HWND hwnd) {
    wchar_t szText[512] = {};
    GetWindowTextW(hwnd, szText, 512);
    return szText;
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t szClass[64] = {};
    GetClassNameW(hwnd, szClass, 64);
    return szClass;
}

LONG StyleOf(HWND hwnd) { return GetWindowLongW(hwnd, GWL_STYLE); }

// Runs the dialog's messages (and so its posted work) for nMs, as its own
// loop would: keys go through the dialog manager.
void Pump(HWND hwndDialog, int nMs) {
    const DWORD nEnd = GetTickCount() + static_cast<DWORD>(nMs);
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (!hwndDialog || !IsDialogMessageW(hwndDialog, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
        Sleep(1);
    } while (static_cast<LONG>(GetTickCount() - nEnd) < 0);
}

// A message box that was answered.
struct CAnsweredBox {
    std::wstring strTitle;
    std::wstring strText;
    int nButtons = 0;
    HWND hwndOwner = nullptr;
};

std::vector<CAnsweredBox>* g_pAnswered = nullptr;

// The message boxes of a thread (this one unless told), not its dialogs.
std::vector<HWND> OpenMessageBoxes(DWORD nThread = GetCurrentThreadId()) {
    std::vector<HWND> boxes;
    EnumThreadWindows(
        nThread,
        [](HWND hwnd, LPARAM lParam) -> BOOL {
            if (ClassOf(hwnd) == L"#32770" && IsWindowVisible(hwnd) &&
                !ui::CWin32Host::IsDialogWindow(hwnd)) {
                reinterpret_cast<std::vector<HWND>*>(lParam)->push_back(hwnd);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&boxes));
    return boxes;
}

void AnswerBox(HWND hwndBox) {
    PostMessageW(hwndBox, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(hwndBox, IDOK)));
}

// Answers message boxes with OK as they appear, for as long as the object
// lives, and remembers each one.
class CBoxAnswerer {
public:
    CBoxAnswerer() {
        g_pAnswered = &m_answered;
        m_nTimer = SetTimer(nullptr, 0, 10, OnTick);
    }
    ~CBoxAnswerer() {
        KillTimer(nullptr, m_nTimer);
        g_pAnswered = nullptr;
    }
    std::vector<CAnsweredBox> m_answered;

private:
    static void CALLBACK OnTick(HWND, UINT, UINT_PTR, DWORD) {
        static std::set<HWND> answered;
        for (auto it = answered.begin(); it != answered.end();) {
            it = IsWindow(*it) ? std::next(it) : answered.erase(it);
        }
        for (HWND hwndBox : OpenMessageBoxes()) {
            if (!g_pAnswered || answered.count(hwndBox)) {
                continue;
            }
            answered.insert(hwndBox);
            CAnsweredBox box;
            box.strTitle = TextOf(hwndBox);
            box.hwndOwner = GetWindow(hwndBox, GW_OWNER);
            for (HWND hwndChild = GetWindow(hwndBox, GW_CHILD); hwndChild;
                 hwndChild = GetWindow(hwndChild, GW_HWNDNEXT)) {
                if (!IsWindowVisible(hwndChild)) continue;
                if (ClassOf(hwndChild) == L"Button") {
                    ++box.nButtons;
                } else if (ClassOf(hwndChild) == L"Static" && !TextOf(hwndChild).empty()) {
                    box.strText = TextOf(hwndChild);
                }
            }
            g_pAnswered->push_back(box);
            AnswerBox(hwndBox);
        }
    }
    UINT_PTR m_nTimer = 0;
};

// What RunWith runs: steps once the dialog's window shows, and a time
// limit, both from the dialog's own loop.
struct CRunState {
    ui::CWin32Host* pHost;
    ui::CDialog* pDialog;
    std::function<void(HWND)> steps;
    int nLimitMs;
    DWORD nStart;
    bool bStepsRun = false;
    bool bTimedOut = false;
};
CRunState* g_pRun = nullptr;

void CALLBACK OnRunTick(HWND, UINT, UINT_PTR, DWORD) {
    CRunState* pRun = g_pRun;
    if (!pRun) {
        return;
    }
    HWND hwnd = static_cast<HWND>(pRun->pHost->WindowOf(*pRun->pDialog));
    if (!pRun->bStepsRun && hwnd && IsWindowVisible(hwnd)) {
        pRun->bStepsRun = true;
        if (pRun->steps) pRun->steps(hwnd);
    }
    if (!pRun->bTimedOut && GetTickCount() - pRun->nStart > static_cast<DWORD>(pRun->nLimitMs)) {
        pRun->bTimedOut = true;
        ADD_FAILURE() << "the dialog did not end within " << pRun->nLimitMs << " ms";
        for (HWND hwndBox : OpenMessageBoxes()) AnswerBox(hwndBox);
        pRun->pDialog->PostQuit();
    }
}

// Runs dialog through host; steps (if any) are called with the dialog's
// window once it is shown and its loop runs. If the dialog has not ended
// after nLimitMs, the test fails and the dialog is asked to quit.
int RunWith(ui::CWin32Host& host, ui::CDialog& dialog, const std::function<void(HWND)>& steps,
            int nLimitMs = 20000) {
    CRunState state{&host, &dialog, steps, nLimitMs, GetTickCount()};
    CRunState* pOuter = g_pRun;
    g_pRun = &state;
    const UINT_PTR nTimer = SetTimer(nullptr, 0, 10, OnRunTick);
    const int nResult = host.RunModal(dialog);
    KillTimer(nullptr, nTimer);
    g_pRun = pOuter;
    return nResult;
}

void PressKey(HWND hwndTarget, UINT nKey) {
    PostMessageW(hwndTarget, WM_KEYDOWN, nKey, 1);
    PostMessageW(hwndTarget, WM_KEYUP, nKey, 0xC0000001);
}

class Win32HostTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_host.IsUsable()); }
    ui::CWin32Host m_host;
};

// The pixels the dialog manager gives a control placed in dialog units: it
// converts the position and the size each on their own (as MapDialogRect
// converts each of the four numbers it is given).
RECT DialogRect(HWND hwndDialog, int x, int y, int cx, int cy) {
    RECT converted{x, y, cx, cy};
    MapDialogRect(hwndDialog, &converted);
    return {converted.left, converted.top, converted.left + converted.right,
            converted.top + converted.bottom};
}

TEST_F(Win32HostTest, TheWindowIsTheTemplateInTheDialogManagersUnits) {
    CScriptedDialog dialog;
    RunWith(m_host, dialog, [&](HWND hwnd) {
        EXPECT_EQ(TextOf(hwnd), L"Small dialog");
        const LONG nStyle = StyleOf(hwnd);
        EXPECT_TRUE(nStyle & WS_CAPTION);
        EXPECT_TRUE(nStyle & WS_SYSMENU);
        EXPECT_FALSE(nStyle & WS_MINIMIZEBOX);
        EXPECT_FALSE(nStyle & WS_THICKFRAME);
        // A dialog of its own is the program's window in the taskbar.
        EXPECT_TRUE(GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_APPWINDOW);
        EXPECT_EQ(GetWindow(hwnd, GW_OWNER), nullptr);

        LOGFONTW font{};
        const HFONT hFont = reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0));
        ASSERT_NE(hFont, nullptr);
        ASSERT_NE(GetObjectW(hFont, sizeof(font), &font), 0);
        EXPECT_EQ(std::wstring(font.lfFaceName), L"MS Shell Dlg");
        HDC hdc = GetDC(hwnd);
        EXPECT_EQ(font.lfHeight, -MulDiv(8, GetDeviceCaps(hdc, LOGPIXELSY), 72));
        ReleaseDC(hwnd, hdc);

        // The dialog manager's own base units give what the portable
        // conversion gives, so that dialogs that move controls in pixels
        // meet the template's layout.
        const RECT units = DialogRect(hwnd, 0, 0, 4, 8);
        const int nBaseX = units.right, nBaseY = units.bottom;
        RECT client;
        GetClientRect(hwnd, &client);
        const RECT size = DialogRect(hwnd, 0, 0, 200, 150);
        EXPECT_EQ(client.right, size.right);
        EXPECT_EQ(client.bottom, size.bottom);
        EXPECT_EQ(dialog.GetClientRect(), (ui::CRect{0, 0, client.right, client.bottom}));
        for (const ui::CControlTemplate& control : Template().controls) {
            SCOPED_TRACE(control.nId);
            HWND hwndControl = GetDlgItem(hwnd, control.nId);
            ASSERT_NE(hwndControl, nullptr);
            const RECT expected = DialogRect(hwnd, control.x, control.y, control.cx, control.cy);
            ui::CRect rect = dialog.GetItemRect(control.nId);
            // A list without "no integral height" is cut to whole lines.
            if (control.eKind == EControlKind::ListBox &&
                !(control.nStyles & ui::kStyleNoIntegralHeight)) {
                EXPECT_LE(rect.bottom, expected.bottom);
                EXPECT_GT(rect.bottom, expected.bottom - 16);
                rect.bottom = expected.bottom;
            }
            EXPECT_EQ(rect,
                      (ui::CRect{expected.left, expected.top, expected.right, expected.bottom}));
            EXPECT_EQ(rect, ui::DialogUnitsToPixels(control.x, control.y, control.cx, control.cy,
                                                    nBaseX, nBaseY));
            EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(hwndControl, WM_GETFONT, 0, 0)),
                      hFont);
        }
        dialog.EndDialog(7);
    });
}

TEST_F(Win32HostTest, TheBoxesOfTheFrameAreThoseOfTheTemplate) {
    struct CCase {
        bool bSystemMenu;
        bool bMinimizeBox;
    };
    for (const CCase& c : std::vector<CCase>{{true, false}, {true, true}, {false, false}}) {
        SCOPED_TRACE(std::to_string(c.bSystemMenu) + std::to_string(c.bMinimizeBox));
        ui::CDialogTemplate t = Template();
        t.bSystemMenu = c.bSystemMenu;
        t.bMinimizeBox = c.bMinimizeBox;
        CScriptedDialog dialog(t);
        RunWith(m_host, dialog, [&](HWND hwnd) {
            EXPECT_EQ((StyleOf(hwnd) & WS_SYSMENU) != 0, c.bSystemMenu);
            EXPECT_EQ((StyleOf(hwnd) & WS_MINIMIZEBOX) != 0, c.bMinimizeBox);
            dialog.EndDialog(1);
        });
    }
}

TEST_F(Win32HostTest, ControlsTakeTheirClassAndStyles) {
    struct CCase {
        int nId;
        const wchar_t* pszClass;
        LONG nWanted;    // style bits that must be set
        LONG nUnwanted;  // style bits that must be clear
    };
    // (A list shows its scroll bars only once its lines need them; see
    // below.)
    const LONG kListStyles = LBS_NOSEL | LBS_NOINTEGRALHEIGHT;
    const std::vector<CCase> cases = {
        {kIdGroup, L"Button", BS_GROUPBOX | WS_VISIBLE, WS_TABSTOP},
        {kIdLabel, L"Static", SS_NOPREFIX | WS_VISIBLE, 0},
        {kIdName, L"Edit", ES_AUTOHSCROLL | WS_TABSTOP | WS_VISIBLE,
         ES_PASSWORD | ES_READONLY | WS_DISABLED},
        {kIdSecret, L"Edit", ES_PASSWORD | ES_AUTOHSCROLL, ES_READONLY},
        {kIdShown, L"Edit", ES_READONLY, ES_PASSWORD | WS_DISABLED},
        {kIdLocked, L"Edit", WS_DISABLED, ES_READONLY},
        {kIdHiddenLabel, L"Static", 0, WS_VISIBLE},
        {kIdList, L"ListBox", kListStyles, 0},
        {kIdPlainList, L"ListBox", 0, kListStyles},
        {kIdGo, L"Button", BS_DEFPUSHBUTTON | WS_TABSTOP, 0},
        {ui::kIdCancel, L"Button", BS_PUSHBUTTON | WS_TABSTOP, BS_DEFPUSHBUTTON},
        {kIdProgress, L"msctls_progress32", PBS_SMOOTH | WS_VISIBLE, WS_TABSTOP | PBS_MARQUEE},
        {kIdEllipsis, L"Static", SS_PATHELLIPSIS | SS_NOPREFIX, 0},
    };
    CScriptedDialog dialog;
    RunWith(m_host, dialog, [&](HWND hwnd) {
        for (const CCase& c : cases) {
            SCOPED_TRACE(c.nId);
            HWND hwndControl = GetDlgItem(hwnd, c.nId);
            ASSERT_NE(hwndControl, nullptr);
            EXPECT_EQ(ClassOf(hwndControl), c.pszClass);
            const LONG nStyle = StyleOf(hwndControl);
            // The button kinds are a number in the low bits, not flags.
            if (ClassOf(hwndControl) == L"Button") {
                EXPECT_EQ(nStyle & BS_TYPEMASK, c.nWanted & BS_TYPEMASK);
            }
            EXPECT_EQ(nStyle & c.nWanted & ~BS_TYPEMASK, c.nWanted & ~BS_TYPEMASK);
            EXPECT_EQ(nStyle & c.nUnwanted & ~BS_TYPEMASK, 0);
        }
        // What the styles mean to the dialog.
        dialog.SetItemText(kIdSecret, "hunter2");
        EXPECT_NE(SendDlgItemMessageW(hwnd, kIdSecret, EM_GETPASSWORDCHAR, 0, 0), 0);
        EXPECT_EQ(dialog.GetItemText(kIdSecret), "hunter2");
        EXPECT_FALSE(dialog.IsItemEnabled(kIdLocked));
        EXPECT_TRUE(dialog.IsItemEnabled(kIdName));
        EXPECT_TRUE(dialog.IsItemEnabled(kIdShown));
        EXPECT_FALSE(dialog.GetSite()->IsVisible(kIdHiddenLabel));
        EXPECT_TRUE(dialog.GetSite()->IsVisible(kIdLabel));
        EXPECT_EQ(SendMessageW(hwnd, DM_GETDEFID, 0, 0), MAKELRESULT(kIdGo, DC_HASDEFID));
        dialog.EndDialog(1);
    });
}

TEST_F(Win32HostTest, AProgressBarRunsFromNothingToAllOrSaysItIsBusy) {
    CScriptedDialog dialog;
    RunWith(m_host, dialog, [&](HWND hwnd) {
        HWND hwndBar = GetDlgItem(hwnd, kIdProgress);
        ASSERT_NE(hwndBar, nullptr);
        EXPECT_EQ(SendMessageW(hwndBar, PBM_GETRANGE, FALSE, 0), ui::kProgressMax);
        EXPECT_EQ(SendMessageW(hwndBar, PBM_GETRANGE, TRUE, 0), 0);
        EXPECT_EQ(dialog.GetItemProgress(kIdProgress), 0);
        struct CCase {
            int nSet;
            int nRead;
        };
        for (const CCase& c : std::vector<CCase>{{250, 250}, {ui::kProgressMax, ui::kProgressMax},
                                                 {5000, ui::kProgressMax},
                                                 {ui::kProgressUnknown, ui::kProgressUnknown},
                                                 {-7, ui::kProgressUnknown}, {0, 0}, {640, 640}}) {
            SCOPED_TRACE(c.nSet);
            dialog.SetItemProgress(kIdProgress, c.nSet);
            EXPECT_EQ(dialog.GetItemProgress(kIdProgress), c.nRead);
            EXPECT_EQ((StyleOf(hwndBar) & PBS_MARQUEE) != 0, c.nRead == ui::kProgressUnknown);
            if (c.nRead != ui::kProgressUnknown) {
                EXPECT_EQ(SendMessageW(hwndBar, PBM_GETPOS, 0, 0), c.nRead);
            }
        }
        // Its words are kept for the terminal and assistive tools, not drawn.
        dialog.SetItemText(kIdProgress, "GET a->b: 1 B of 2 B");
        EXPECT_EQ(dialog.GetItemText(kIdProgress), "GET a->b: 1 B of 2 B");
        // Other controls have no position.
        dialog.SetItemProgress(kIdList, 500);
        EXPECT_EQ(dialog.GetItemProgress(kIdList), 0);

        // A label with an ellipsis keeps its whole text; the control cuts it.
        const std::string strLong(200, 'x');
        dialog.SetItemText(kIdEllipsis, strLong);
        EXPECT_EQ(dialog.GetItemText(kIdEllipsis), strLong);
        dialog.EndDialog(1);
    });
}

TEST_F(Win32HostTest, TextStateAndPlaceChangeAsTheDialogSays) {
    CScriptedDialog dialog;
    RunWith(m_host, dialog, [&](HWND hwnd) {
        for (int nId : {kIdGroup, kIdLabel, kIdName, kIdGo}) {
            SCOPED_TRACE(nId);
            // Text from settings files, beyond ASCII, is shown as it is.
            const std::string strText = "<b>x</b> & \xC3\xBC \xE2\x82\xAC";
            dialog.SetItemText(nId, strText);
            HWND hwndControl = GetDlgItem(hwnd, nId);
            EXPECT_EQ(TextOf(hwndControl), L"<b>x</b> & \u00FC \u20AC");
            EXPECT_EQ(dialog.GetItemText(nId), strText);

            dialog.EnableItem(nId, false);
            EXPECT_FALSE(IsWindowEnabled(hwndControl));
            EXPECT_FALSE(dialog.IsItemEnabled(nId));
            dialog.EnableItem(nId, true);
            EXPECT_TRUE(IsWindowEnabled(hwndControl));
            dialog.ShowItem(nId, false);
            EXPECT_FALSE(IsWindowVisible(hwndControl));
            EXPECT_FALSE(dialog.GetSite()->IsVisible(nId));
            dialog.ShowItem(nId, true);
            EXPECT_TRUE(IsWindowVisible(hwndControl));
            dialog.MoveItem(nId, {3, 5, 60, 25});
            RECT rect;
            GetWindowRect(hwndControl, &rect);
            MapWindowPoints(HWND_DESKTOP, hwnd, reinterpret_cast<POINT*>(&rect), 2);
            EXPECT_EQ(rect.left, 3);
            EXPECT_EQ(rect.top, 5);
            EXPECT_EQ(rect.right, 60);
            EXPECT_EQ(rect.bottom, 25);
            EXPECT_EQ(dialog.GetItemRect(nId), (ui::CRect{3, 5, 60, 25}));
        }
        // Ids the template does not have change nothing and read as empty.
        dialog.SetItemText(999, "x");
        EXPECT_EQ(dialog.GetItemText(999), "");
        EXPECT_EQ(dialog.GetItemRect(999), ui::CRect());
        dialog.EndDialog(1);
    });
}

TEST_F(Win32HostTest, EnterPressesTheDefaultButtonOrTheFocusedOne) {
    struct CCase {
        const char* pszName;
        int nFocus;       // the control Enter is typed into
        bool bGoEnabled;  // the default button
        std::vector<int> pressed;
    };
    const std::vector<CCase> cases = {
        {"in an edit", kIdName, true, {kIdGo}},
        {"default disabled", kIdName, false, {}},
        {"on the focused other button", ui::kIdCancel, true, {ui::kIdCancel}},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        CScriptedDialog dialog;
        dialog.m_onCommand = [](int) {};
        RunWith(m_host, dialog, [&](HWND hwnd) {
            dialog.EnableItem(kIdGo, c.bGoEnabled);
            dialog.SetFocusItem(c.nFocus);
            PressKey(GetDlgItem(hwnd, c.nFocus), VK_RETURN);
            Pump(hwnd, 50);
            EXPECT_EQ(dialog.m_commands, c.pressed);
            dialog.EndDialog(1);
        });
    }
}

TEST_F(Win32HostTest, ButtonsCallOnCommandAndOtherNotificationsDoNot) {
    CScriptedDialog dialog;
    dialog.m_onCommand = [&](int nId) {
        if (nId == ui::kIdCancel) dialog.EndDialog(ui::kIdCancel);
    };
    const int nResult = RunWith(m_host, dialog, [&](HWND hwnd) {
        // Typing into an edit and focusing a list notify the dialog window;
        // none of that is a command.
        SetFocus(GetDlgItem(hwnd, kIdName));
        for (wchar_t c : std::wstring(L"typed")) {
            SendDlgItemMessageW(hwnd, kIdName, WM_CHAR, c, 0);
        }
        SetFocus(GetDlgItem(hwnd, kIdList));
        EXPECT_EQ(dialog.GetItemText(kIdName), "typed");
        SendDlgItemMessageW(hwnd, kIdGo, BM_CLICK, 0, 0);
        SendDlgItemMessageW(hwnd, ui::kIdCancel, BM_CLICK, 0, 0);
    });
    EXPECT_EQ(dialog.m_commands, (std::vector<int>{kIdGo, ui::kIdCancel}));
    EXPECT_EQ(nResult, ui::kIdCancel);
}

TEST_F(Win32HostTest, TheFocusGoesWhereTheDialogPutsIt) {
    CScriptedDialog dialog;
    // Set while the dialog opens, before the window shows, as dialogs do.
    dialog.m_onInit = [&] { dialog.SetFocusItem(kIdSecret); };
    RunWith(m_host, dialog, [&](HWND hwnd) {
        EXPECT_EQ(dialog.GetSite()->GetFocus(), kIdSecret);
        EXPECT_EQ(GetFocus(), GetDlgItem(hwnd, kIdSecret));

        dialog.SetFocusItem(kIdName);
        EXPECT_EQ(dialog.GetSite()->GetFocus(), kIdName);
        // A control that cannot take the focus leaves it where it is.
        dialog.SetFocusItem(kIdLocked);
        EXPECT_EQ(dialog.GetSite()->GetFocus(), kIdName);
        dialog.SetFocusItem(kIdHiddenLabel);
        EXPECT_EQ(dialog.GetSite()->GetFocus(), kIdName);
        dialog.EndDialog(1);
    });

    // Without a choice of the dialog's, the first control that takes the
    // focus has it.
    CScriptedDialog plain;
    RunWith(m_host, plain, [&](HWND) {
        EXPECT_EQ(plain.GetSite()->GetFocus(), kIdName);
        plain.EndDialog(1);
    });
}

TEST_F(Win32HostTest, ListLinesGoWhereTheyAreInsertedAndTheRangeReachesTheLongest) {
    CScriptedDialog dialog;
    RunWith(m_host, dialog, [&](HWND hwnd) {
        HWND hwndList = GetDlgItem(hwnd, kIdList);
        auto lines = [&] {
            std::vector<std::wstring> result;
            const int nCount = static_cast<int>(SendMessageW(hwndList, LB_GETCOUNT, 0, 0));
            for (int i = 0; i < nCount; ++i) {
                wchar_t szLine[512] = {};
                SendMessageW(hwndList, LB_GETTEXT, i, reinterpret_cast<LPARAM>(szLine));
                result.push_back(szLine);
            }
            return result;
        };
        auto extent = [&] {
            return static_cast<int>(SendMessageW(hwndList, LB_GETHORIZONTALEXTENT, 0, 0));
        };
        auto width = [&](const std::wstring& strText) {
            HDC hdc = GetDC(hwndList);
            HGDIOBJ hOld = SelectObject(
                hdc, reinterpret_cast<HFONT>(SendMessageW(hwndList, WM_GETFONT, 0, 0)));
            SIZE size{};
            GetTextExtentPoint32W(hdc, strText.c_str(), static_cast<int>(strText.size()), &size);
            SelectObject(hdc, hOld);
            ReleaseDC(hwndList, hdc);
            return static_cast<int>(size.cx);
        };
        dialog.ListInsert(kIdList, 0, "first");
        dialog.ListInsert(kIdList, 0, "second");
        dialog.ListInsert(kIdList, 2, "at the end");
        dialog.ListInsert(kIdList, 1, "between");
        // An index past the end appends instead of losing the line.
        dialog.ListInsert(kIdList, 99, "beyond");
        dialog.ListInsert(kIdList, 0, "\xC3\xBC" "ber");
        EXPECT_EQ(lines(), (std::vector<std::wstring>{L"\u00FCber", L"second", L"between", L"first",
                                                       L"at the end", L"beyond"}));
        EXPECT_EQ(dialog.GetSite()->ListCount(kIdList), 6);
        EXPECT_EQ(dialog.GetSite()->ListCount(kIdName), 0);
        // Lists hold no text of their own.
        EXPECT_EQ(dialog.GetItemText(kIdList), "");

        // The range reaches the end of the widest line so far.
        EXPECT_GE(extent(), width(L"at the end"));
        EXPECT_LE(extent(), width(L"at the end") + 8);
        const std::string strLong =
            "GET /a/rather/long/path/of/folders/and/a/file.txt->" + std::string(40, 'x') + "END";
        dialog.ListInsert(kIdList, 3, strLong);
        const int nLong = width(Wide(strLong));
        EXPECT_GE(extent(), nLong);
        EXPECT_LE(extent(), nLong + 8);
        // A narrower line leaves it.
        const int nBefore = extent();
        dialog.ListInsert(kIdList, 0, "short again");
        EXPECT_EQ(extent(), nBefore);
        // Both bars show once the lines need them, and only in a list with
        // scroll bars.
        for (int i = 0; i < 20; ++i) {
            dialog.ListInsert(kIdList, 0, "line " + std::to_string(i));
            dialog.ListInsert(kIdPlainList, 0, strLong);
        }
        EXPECT_TRUE(StyleOf(hwndList) & WS_HSCROLL);
        EXPECT_TRUE(StyleOf(hwndList) & WS_VSCROLL);
        EXPECT_FALSE(StyleOf(GetDlgItem(hwnd, kIdPlainList)) & (WS_HSCROLL | WS_VSCROLL));
        // Scrolled to the end, the longest line's end is in view.
        SCROLLINFO info{};
        info.cbSize = sizeof(info);
        info.fMask = SIF_RANGE | SIF_PAGE;
        ASSERT_TRUE(GetScrollInfo(hwndList, SB_HORZ, &info));
        EXPECT_GE(info.nMax + 1, nLong);
        dialog.EndDialog(1);
    });
}

TEST_F(Win32HostTest, AMessageBoxHasOneOkButtonAndBelongsToTheDialog) {
    CScriptedDialog dialog;
    bool bReturned = false;
    HWND hwndDialog = nullptr;
    dialog.m_onCommand = [&](int nId) {
        if (nId == kIdGo) {
            dialog.ShowMessageBox("Invalid parameter <b>here</b> & \xC3\xBC");
            bReturned = true;
            dialog.EndDialog(3);
        }
    };
    CBoxAnswerer answerer;
    const int nResult = RunWith(m_host, dialog, [&](HWND hwnd) {
        hwndDialog = hwnd;
        SendDlgItemMessageW(hwnd, kIdGo, BM_CLICK, 0, 0);
    });
    EXPECT_TRUE(bReturned);
    EXPECT_EQ(nResult, 3);
    ASSERT_EQ(answerer.m_answered.size(), 1u);
    EXPECT_EQ(answerer.m_answered[0].strText, L"Invalid parameter <b>here</b> & \u00FC");
    EXPECT_EQ(answerer.m_answered[0].nButtons, 1);
    EXPECT_EQ(answerer.m_answered[0].hwndOwner, hwndDialog);
    EXPECT_EQ(answerer.m_answered[0].strTitle, L"Small dialog");

    // One that belongs to no dialog, before any exists.
    m_host.ShowMessageBox("Windows sockets initialization failed.");
    ASSERT_EQ(answerer.m_answered.size(), 2u);
    EXPECT_EQ(answerer.m_answered[1].strText, L"Windows sockets initialization failed.");
    EXPECT_EQ(answerer.m_answered[1].hwndOwner, nullptr);
    EXPECT_EQ(answerer.m_answered[1].nButtons, 1);
    EXPECT_EQ(answerer.m_answered[1].strTitle, L"win32host_tests");
}

TEST_F(Win32HostTest, WorkPostedFromAnotherThreadArrivesInOrderAndQuitEnds) {
    CScriptedDialog dialog;
    std::thread worker;
    dialog.m_onCommand = [](int) {};
    dialog.m_onInit = [&] {
        // Ids beyond the 16 bits of a WM_COMMAND arrive whole.
        worker = std::thread([&] {
            for (int i = 0x7F00; i < 0x7F00 + 100; ++i) {
                dialog.GetSite()->PostCommand(i);
            }
            dialog.GetSite()->PostCommand(0x12345);
            dialog.PostQuit();
        });
    };
    dialog.m_onDestroy = [&] { worker.join(); };
    const int nResult = RunWith(m_host, dialog, nullptr);
    EXPECT_EQ(nResult, ui::kResultQuit);
    std::vector<int> expected;
    for (int i = 0x7F00; i < 0x7F00 + 100; ++i) {
        expected.push_back(i);
    }
    expected.push_back(0x12345);
    EXPECT_EQ(dialog.m_commands, expected);
}

TEST_F(Win32HostTest, PostedWorkWaitsUntilTheHandlerHasReturned) {
    CScriptedDialog dialog;
    std::vector<std::string> events;
    dialog.m_onCommand = [&](int nId) {
        events.push_back("command " + std::to_string(nId));
        if (nId == kIdGo) {
            dialog.PostCommand(50);
            // A message box runs a loop of its own; the posted command must
            // not run inside this handler.
            dialog.ShowMessageBox("wait");
            events.push_back("handler returns");
        } else if (nId == 50) {
            dialog.EndDialog(1);
        }
    };
    CBoxAnswerer answerer;
    RunWith(m_host, dialog, [&](HWND hwnd) { SendDlgItemMessageW(hwnd, kIdGo, BM_CLICK, 0, 0); });
    EXPECT_EQ(events,
              (std::vector<std::string>{"command 18", "handler returns", "command 50"}));
}

TEST_F(Win32HostTest, WorkPostedWhileTheDialogEndsNeverReachesIt) {
    CScriptedDialog dialog;
    std::atomic<bool> bStop{false};
    std::thread worker;
    dialog.m_onInit = [&] {
        worker = std::thread([&] {
            while (!bStop) {
                dialog.GetSite()->PostCommand(60);
                std::this_thread::yield();
            }
        });
    };
    int nSeen = 0;
    dialog.m_onCommand = [&](int nId) {
        if (nId == 60 && ++nSeen == 50) {
            dialog.EndDialog(9);
        }
    };
    dialog.m_onDestroy = [&] {
        bStop = true;
        worker.join();
    };
    const int nResult = RunWith(m_host, dialog, nullptr);
    Pump(nullptr, 100);
    EXPECT_EQ(nResult, 9);
    EXPECT_EQ(nSeen, 50);
    EXPECT_FALSE(dialog.m_bCalledAfterDestroy);
}

TEST_F(Win32HostTest, EscapeTheCloseBoxAndCloseAskTheDialogToCancel) {
    struct CCase {
        const char* pszName;
        std::function<void(HWND)> close;
    };
    const std::vector<CCase> cases = {
        {"Escape", [](HWND hwnd) { PressKey(GetDlgItem(hwnd, kIdName), VK_ESCAPE); }},
        {"close box", [](HWND hwnd) { PostMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0); }},
        {"close message", [](HWND hwnd) { PostMessageW(hwnd, WM_CLOSE, 0, 0); }},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        CScriptedDialog dialog;
        dialog.m_bRefuseCancel = true;
        const int nResult = RunWith(m_host, dialog, [&](HWND hwnd) {
            c.close(hwnd);
            Pump(hwnd, 50);
            // The dialog refused: it is still there.
            EXPECT_EQ(dialog.m_commands, std::vector<int>{ui::kIdCancel});
            EXPECT_TRUE(IsWindowVisible(hwnd));
            dialog.m_bRefuseCancel = false;
            c.close(hwnd);
        });
        EXPECT_EQ(dialog.m_commands, (std::vector<int>{ui::kIdCancel, ui::kIdCancel}));
        EXPECT_EQ(nResult, ui::kIdCancel);
    }
}

TEST_F(Win32HostTest, SystemMenuItemsGoIntoTheRealSystemMenu) {
    CScriptedDialog dialog;
    dialog.m_onInit = [&] {
        dialog.AddSystemMenuItem(ui::kSysCommandAbout, "&About Small...");
        dialog.AddSystemMenuItem(32, "&Other \xC3\xBC");
    };
    RunWith(m_host, dialog, [&](HWND hwnd) {
        HMENU hMenu = GetSystemMenu(hwnd, FALSE);
        ASSERT_NE(hMenu, nullptr);
        const int nCount = GetMenuItemCount(hMenu);
        ASSERT_GE(nCount, 3);
        auto text = [&](int nPosition) {
            wchar_t szText[128] = {};
            GetMenuStringW(hMenu, nPosition, szText, 128, MF_BYPOSITION);
            return std::wstring(szText);
        };
        EXPECT_EQ(GetMenuState(hMenu, nCount - 3, MF_BYPOSITION) & MF_SEPARATOR,
                  static_cast<UINT>(MF_SEPARATOR));
        EXPECT_EQ(text(nCount - 2), L"&About Small...");
        EXPECT_EQ(GetMenuItemID(hMenu, nCount - 2), static_cast<UINT>(ui::kSysCommandAbout));
        EXPECT_EQ(text(nCount - 1), L"&Other \u00FC");
        EXPECT_EQ(GetMenuItemID(hMenu, nCount - 1), 32u);

        // The system sets the low four bits as it likes.
        SendMessageW(hwnd, WM_SYSCOMMAND, 32 | 0x3, 0);
        SendMessageW(hwnd, WM_SYSCOMMAND, ui::kSysCommandAbout, 0);
        EXPECT_EQ(dialog.m_sysCommands, (std::vector<int>{32, ui::kSysCommandAbout}));
        // The system's own commands keep their meaning and are no
        // dialog's business.
        SendMessageW(hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
        EXPECT_TRUE(IsIconic(hwnd));
        EXPECT_EQ(dialog.m_sysCommands, (std::vector<int>{32, ui::kSysCommandAbout}));
        dialog.EndDialog(1);
    });
}

TEST_F(Win32HostTest, MinimiseBeforeAndAfterTheWindowShows) {
    for (bool bWhileOpening : {true, false}) {
        SCOPED_TRACE(bWhileOpening);
        CScriptedDialog dialog;
        if (bWhileOpening) {
            dialog.m_onInit = [&] { dialog.Minimize(); };
        }
        RunWith(m_host, dialog, [&](HWND hwnd) {
            EXPECT_EQ(IsIconic(hwnd) != FALSE, bWhileOpening);
            dialog.Minimize();
            EXPECT_TRUE(IsIconic(hwnd));
            dialog.EndDialog(1);
        });
    }
}

TEST_F(Win32HostTest, TheProgramIconIsOnTheWindowAndIsTheDragIcon) {
    CScriptedDialog dialog;
    RunWith(m_host, dialog, [&](HWND hwnd) {
        const HICON hBig = reinterpret_cast<HICON>(SendMessageW(hwnd, WM_GETICON, ICON_BIG, 0));
        const HICON hSmall =
            reinterpret_cast<HICON>(SendMessageW(hwnd, WM_GETICON, ICON_SMALL, 0));
        ASSERT_NE(hBig, nullptr);
        ASSERT_NE(hSmall, nullptr);
        // The program's own, from its resources, in the two sizes.
        EXPECT_NE(hBig, LoadIconW(nullptr, IDI_APPLICATION));
        ICONINFO info{};
        ASSERT_TRUE(GetIconInfo(hSmall, &info));
        BITMAP bitmap{};
        GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bitmap), &bitmap);
        EXPECT_EQ(bitmap.bmWidth, GetSystemMetrics(SM_CXSMICON));
        if (info.hbmColor) DeleteObject(info.hbmColor);
        if (info.hbmMask) DeleteObject(info.hbmMask);
        EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(hwnd, WM_QUERYDRAGICON, 0, 0)), hBig);
        dialog.EndDialog(1);
    });
}

TEST_F(Win32HostTest, AChildDialogRunsAboveTheMainOne) {
    CScriptedDialog dialog;
    CScriptedDialog child;
    HWND hwndMain = nullptr;
    HWND hwndChildOwner = nullptr;
    bool bMainEnabled = true;
    std::vector<int> mainCommandsDuringChild;
    int nChildResult = 0;
    dialog.m_onSysCommand = [&](int) {
        // Posted to the main dialog while the child runs: it waits.
        dialog.PostCommand(kIdGo);
        nChildResult = dialog.RunChild(child);
        mainCommandsDuringChild = dialog.m_commands;
    };
    dialog.m_onCommand = [&](int nId) {
        if (nId == kIdGo) dialog.EndDialog(4);
    };
    child.m_onInit = [&] {
        child.SetItemText(kIdName, "child value");
        child.PostCommand(kIdShown);
    };
    child.m_onCommand = [&](int nId) {
        HWND hwndChild = static_cast<HWND>(m_host.WindowOf(child));
        hwndChildOwner = GetWindow(hwndChild, GW_OWNER);
        bMainEnabled = IsWindowEnabled(hwndMain) != FALSE;
        EXPECT_EQ(child.GetItemText(kIdName), "child value");
        // A dialog above a dialog is no window of its own in the taskbar.
        EXPECT_FALSE(GetWindowLongW(hwndChild, GWL_EXSTYLE) & WS_EX_APPWINDOW);
        child.EndDialog(nId);
    };
    const int nResult = RunWith(m_host, dialog, [&](HWND hwnd) {
        hwndMain = hwnd;
        dialog.AddSystemMenuItem(ui::kSysCommandAbout, "About");
        PostMessageW(hwnd, WM_SYSCOMMAND, ui::kSysCommandAbout, 0);
    });
    EXPECT_EQ(nResult, 4);
    EXPECT_EQ(nChildResult, kIdShown);
    EXPECT_NE(hwndMain, nullptr);
    EXPECT_EQ(hwndChildOwner, hwndMain);
    EXPECT_FALSE(bMainEnabled);
    EXPECT_TRUE(mainCommandsDuringChild.empty());
    EXPECT_EQ(dialog.m_commands, std::vector<int>{kIdGo});
    EXPECT_TRUE(child.m_bDestroyed);
}

TEST_F(Win32HostTest, AStopRequestAnswersMessageBoxesAndCancelsEveryDialog) {
    CScriptedDialog dialog;
    CScriptedDialog child;
    std::thread stopper;
    std::vector<std::string> events;
    dialog.m_onSysCommand = [&](int) {
        child.m_onInit = [&] { child.PostCommand(kIdGo); };
        child.m_onCommand = [&](int nId) {
            if (nId == kIdGo) {
                // The stop comes while a message box waits for an answer.
                stopper = std::thread([&, nThread = GetCurrentThreadId()] {
                    while (OpenMessageBoxes(nThread).empty()) Sleep(5);
                    m_host.RequestStop();
                });
                child.ShowMessageBox("waiting");
                events.push_back("child box answered");
            } else if (nId == ui::kIdCancel) {
                events.push_back("child cancelled");
                child.EndDialog(ui::kIdCancel);
            }
        };
        events.push_back("child ended " + std::to_string(dialog.RunChild(child)));
    };
    dialog.m_onCommand = [&](int nId) {
        if (nId == ui::kIdCancel) {
            events.push_back("main cancelled");
            dialog.EndDialog(ui::kIdCancel);
        }
    };
    const int nResult = RunWith(m_host, dialog, [&](HWND hwnd) {
        dialog.AddSystemMenuItem(ui::kSysCommandAbout, "About");
        PostMessageW(hwnd, WM_SYSCOMMAND, ui::kSysCommandAbout, 0);
    });
    if (stopper.joinable()) stopper.join();
    EXPECT_EQ(nResult, ui::kIdCancel);
    EXPECT_EQ(events, (std::vector<std::string>{"child box answered", "child cancelled",
                                                 "child ended 2", "main cancelled"}));

    // A dialog that opens after the request is cancelled at once, and its
    // message boxes are answered at once.
    CScriptedDialog later;
    bool bBoxReturned = false;
    later.m_onInit = [&] {
        later.ShowMessageBox("not waited for");
        bBoxReturned = true;
    };
    EXPECT_EQ(RunWith(m_host, later, nullptr), ui::kIdCancel);
    EXPECT_TRUE(bBoxReturned);
    EXPECT_EQ(later.m_commands, std::vector<int>{ui::kIdCancel});
}

// Whether a dialog's window was ever shown, seen from the messages it gets.
std::set<HWND>* g_pShown = nullptr;

LRESULT CALLBACK WatchShowing(int nCode, WPARAM wParam, LPARAM lParam) {
    if (nCode == HC_ACTION && g_pShown) {
        const auto* pMessage = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
        if (pMessage->message == WM_SHOWWINDOW && pMessage->wParam &&
            ui::CWin32Host::IsDialogWindow(pMessage->hwnd)) {
            g_pShown->insert(pMessage->hwnd);
        }
        if (pMessage->message == WM_WINDOWPOSCHANGED &&
            (reinterpret_cast<const WINDOWPOS*>(pMessage->lParam)->flags & SWP_SHOWWINDOW) &&
            ui::CWin32Host::IsDialogWindow(pMessage->hwnd)) {
            g_pShown->insert(pMessage->hwnd);
        }
    }
    return CallNextHookEx(nullptr, nCode, wParam, lParam);
}

TEST_F(Win32HostTest, OpeningAndClosingHandlersSeeTheControls) {
    struct CCase {
        const char* pszName;
        bool bEndWhileOpening;
        bool bQuitWhileOpening;
        int nExpected;
    };
    const std::vector<CCase> cases = {
        {"ended by a button", false, false, 5},
        {"ended while opening", true, false, 6},
        {"quit while opening", false, true, ui::kResultQuit},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        CScriptedDialog dialog;
        std::string strAtDestroy;
        dialog.m_onInit = [&] {
            dialog.SetItemText(kIdName, "kept");
            if (c.bEndWhileOpening) dialog.EndDialog(6);
            if (c.bQuitWhileOpening) dialog.PostQuit();
        };
        dialog.m_onCommand = [&](int nId) { dialog.EndDialog(nId == kIdGo ? 5 : nId); };
        dialog.m_onDestroy = [&] { strAtDestroy = dialog.GetItemText(kIdName); };
        std::set<HWND> shown;
        g_pShown = &shown;
        HHOOK hHook = SetWindowsHookExW(WH_CALLWNDPROCRET, WatchShowing, nullptr,
                                        GetCurrentThreadId());
        ASSERT_NE(hHook, nullptr);
        const int nResult = RunWith(m_host, dialog, [&](HWND hwnd) {
            SendDlgItemMessageW(hwnd, kIdGo, BM_CLICK, 0, 0);
        });
        UnhookWindowsHookEx(hHook);
        g_pShown = nullptr;
        EXPECT_EQ(nResult, c.nExpected);
        // A dialog that gave up while opening is never shown.
        EXPECT_EQ(shown.empty(), c.bEndWhileOpening || c.bQuitWhileOpening);
        EXPECT_EQ(strAtDestroy, "kept");
        EXPECT_EQ(dialog.GetSite(), nullptr);
        EXPECT_EQ(m_host.WindowOf(dialog), nullptr);
    }
}

// The pixels of control nId as they are on the screen, once everything has
// been painted.
std::vector<COLORREF> PictureOf(HWND hwndDialog, int nId) {
    RedrawWindow(hwndDialog, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Pump(hwndDialog, 100);
    HWND hwndControl = GetDlgItem(hwndDialog, nId);
    RECT rect;
    GetClientRect(hwndControl, &rect);
    std::vector<COLORREF> pixels;
    HDC hdc = GetDC(hwndControl);
    for (int y = 0; y < rect.bottom; ++y) {
        for (int x = 0; x < rect.right; ++x) {
            pixels.push_back(GetPixel(hdc, x, y));
        }
    }
    ReleaseDC(hwndControl, hdc);
    return pixels;
}

// A frame listed after the labels on it (as the client's template lists
// its two) lies beneath them; its painting leaves them whole.
TEST_F(Win32HostTest, AFrameListedAfterItsLabelsLeavesThemWhole) {
    ui::CDialogTemplate alone;
    alone.nResourceId = 1;
    alone.strCaption = "Frame";
    alone.cx = 120;
    alone.cy = 60;
    alone.controls = {{kIdLabel, EControlKind::Label, "Label:", 9, 22, 20, 8}};
    ui::CDialogTemplate framed = alone;
    framed.controls.push_back({kIdGroup, EControlKind::GroupBox, "Server Information", 7, 7, 100, 40});

    std::vector<std::vector<COLORREF>> pictures;
    for (const ui::CDialogTemplate* pTemplate : {&alone, &framed}) {
        CScriptedDialog dialog(*pTemplate);
        RunWith(m_host, dialog, [&](HWND hwnd) {
            pictures.push_back(PictureOf(hwnd, kIdLabel));
            dialog.EndDialog(1);
        });
    }
    ASSERT_EQ(pictures.size(), 2u);
    ASSERT_FALSE(pictures[0].empty());
    // Some of it is text, so the comparison means something.
    EXPECT_NE(std::count(pictures[0].begin(), pictures[0].end(), pictures[0][0]),
              static_cast<long>(pictures[0].size()));
    EXPECT_TRUE(pictures[0] == pictures[1]);
}

// How wide the dialog manager draws each text (in pixels, first ink to
// last) in the font of dialogTemplate, from labels wide enough for any of
// them.
std::vector<int> DrawnWidths(ui::CWin32Host& host, const ui::CDialogTemplate& dialogTemplate,
                             const std::vector<std::string>& texts) {
    ui::CDialogTemplate probe;
    probe.nResourceId = 1;
    probe.strCaption = "Probe";
    probe.strFontName = dialogTemplate.strFontName;
    probe.nFontPoints = dialogTemplate.nFontPoints;
    probe.cx = 300;
    probe.cy = 10 + 10 * static_cast<int>(texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        probe.controls.push_back({100 + static_cast<int>(i), EControlKind::Label, texts[i], 5,
                                  5 + 10 * static_cast<int>(i), 290, 9});
    }
    std::vector<int> widths;
    CScriptedDialog dialog(probe);
    RunWith(host, dialog, [&](HWND hwnd) {
        for (size_t i = 0; i < texts.size(); ++i) {
            const int nId = 100 + static_cast<int>(i);
            RECT rect;
            GetClientRect(GetDlgItem(hwnd, nId), &rect);
            const std::vector<COLORREF> pixels = PictureOf(hwnd, nId);
            const COLORREF background = pixels.empty() ? 0 : pixels[0];
            int nFirst = rect.right, nLast = -1;
            for (int y = 0; y < rect.bottom; ++y) {
                for (int x = 0; x < rect.right; ++x) {
                    if (pixels[y * rect.right + x] != background) {
                        nFirst = std::min(nFirst, x);
                        nLast = std::max(nLast, x);
                    }
                }
            }
            widths.push_back(nLast < 0 ? 0 : nLast + 1);
        }
        dialog.EndDialog(1);
    });
    return widths;
}

// The programs' own dialogs in the font the dialog manager gives them here:
// every text that the dialogs show, also those they set later, fits its
// control as it is drawn, so nothing is clipped.
TEST_F(Win32HostTest, TheProgramsTextsFitTheirControls) {
    struct CCase {
        const char* pszName;
        const ui::CDialogTemplate* pTemplate;
        std::vector<std::pair<int, std::string>> laterTexts;
    };
    ui::CAboutDlg about("TandrelServer", "", "");
    ui::CAboutDlg clientAbout("TandrelClient", "", "");
    const std::vector<CCase> cases = {
        {"server", &server::GetServerDialogTemplate(),
         {{server::IDC_START_STOP, "Stop"}, {server::IDC_START_STOP, "End"},
          {server::IDC_START_STOP, "OK"}}},
        {"client", &client::GetClientDialogTemplate(), {{client::IDC_CONNECT, "End"}}},
        {"server about", &about.GetTemplate(), {}},
        {"client about", &clientAbout.GetTemplate(), {}},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        std::vector<std::pair<const ui::CControlTemplate*, std::string>> shown;
        for (const ui::CControlTemplate& control : c.pTemplate->controls) {
            if (!control.strText.empty() && control.eKind != EControlKind::Edit &&
                control.eKind != EControlKind::ListBox) {
                shown.emplace_back(&control, control.strText);
            }
        }
        for (const auto& [nId, strText] : c.laterTexts) {
            shown.emplace_back(c.pTemplate->Find(nId), strText);
        }
        std::vector<std::string> texts;
        for (const auto& entry : shown) {
            texts.push_back(entry.second);
        }
        const std::vector<int> widths = DrawnWidths(m_host, *c.pTemplate, texts);
        ASSERT_EQ(widths.size(), shown.size());

        CScriptedDialog dialog(*c.pTemplate);
        RunWith(m_host, dialog, [&](HWND hwnd) {
            for (size_t i = 0; i < shown.size(); ++i) {
                const ui::CControlTemplate& control = *shown[i].first;
                const RECT box = DialogRect(hwnd, control.x, control.y, control.cx, control.cy);
                // Buttons and group boxes keep room for their frames.
                int nMargin = 0;
                if (control.eKind == EControlKind::PushButton) nMargin = 8;
                if (control.eKind == EControlKind::GroupBox) nMargin = 16;
                EXPECT_GT(widths[i], 0) << "\"" << shown[i].second << "\" was not drawn";
                EXPECT_LE(widths[i] + nMargin, box.right - box.left)
                    << "\"" << shown[i].second << "\" in control " << control.nId;
            }
            dialog.EndDialog(1);
        });
    }
}

}  // namespace
