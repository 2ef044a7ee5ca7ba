#include "ui/win32/win32_host.h"

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <deque>
#include <map>
#include <set>

#include "platform/console.h"
#include "platform/paths.h"

namespace ui {

namespace {

// The program's icon, as the resource script of both programs names it.
constexpr int kIconResource = 128;

// Posted to a dialog's window: work waits in its queue.
constexpr UINT kMsgPosted = WM_APP + 1;
// Posted to the host's message window: answer open message boxes.
constexpr UINT kMsgCloseBoxes = WM_APP + 2;
// Posted to a dialog's window once the dialog manager has shown it.
constexpr UINT kMsgMinimize = WM_APP + 3;

// Marks the windows of running dialogs, so that a stop request tells them
// apart from message boxes, which are dialogs of the same class.
const wchar_t* const kDialogProperty = L"Tandrel.Dialog";
const wchar_t* const kMessageWindowClass = L"Tandrel.HostMessages";

std::wstring Widen(const std::string& strText) {
    if (strText.empty()) {
        return std::wstring();
    }
    const int nChars = MultiByteToWideChar(CP_UTF8, 0, strText.data(),
                                           static_cast<int>(strText.size()), nullptr, 0);
    std::wstring strWide(nChars > 0 ? nChars : 0, L'\0');
    if (nChars > 0) {
        MultiByteToWideChar(CP_UTF8, 0, strText.data(), static_cast<int>(strText.size()),
                            strWide.data(), nChars);
    }
    return strWide;
}

std::string Narrow(const std::wstring& strWide) {
    if (strWide.empty()) {
        return std::string();
    }
    const int nBytes = WideCharToMultiByte(CP_UTF8, 0, strWide.data(),
                                           static_cast<int>(strWide.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string strText(nBytes > 0 ? nBytes : 0, '\0');
    if (nBytes > 0) {
        WideCharToMultiByte(CP_UTF8, 0, strWide.data(), static_cast<int>(strWide.size()),
                            strText.data(), nBytes, nullptr, nullptr);
    }
    return strText;
}

std::wstring WindowText(HWND hwnd) {
    const int nLength = GetWindowTextLengthW(hwnd);
    std::wstring strText(nLength + 1, L'\0');
    const int nCopied = GetWindowTextW(hwnd, strText.data(), nLength + 1);
    strText.resize(nCopied > 0 ? nCopied : 0);
    return strText;
}

// The program's name as the operator knows it: its file name without
// ".exe".
std::wstring ProgramName() {
    std::string strProgram = platform::GetProgramPath();
    strProgram = strProgram.substr(strProgram.find_last_of("\\/") + 1);
    const size_t nDot = strProgram.rfind('.');
    if (nDot != std::string::npos && nDot > 0) {
        std::string strExtension = strProgram.substr(nDot);
        std::transform(strExtension.begin(), strExtension.end(), strExtension.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (strExtension == ".exe") {
            strProgram.resize(nDot);
        }
    }
    return Widen(strProgram.empty() ? std::string("Tandrel") : strProgram);
}

// An extended dialog template (DLGTEMPLATEEX and its DLGITEMTEMPLATEEX
// items), written word by word as the dialog manager reads it.
class CTemplateWriter {
public:
    void Word(WORD n) { m_words.push_back(n); }
    void DoubleWord(DWORD n) {
        Word(LOWORD(n));
        Word(HIWORD(n));
    }
    void Text(const std::wstring& strText) {
        for (wchar_t c : strText) {
            Word(static_cast<WORD>(c));
        }
        Word(0);
    }
    // Items start on a double-word boundary.
    void Align() {
        if (m_words.size() % 2 != 0) {
            Word(0);
        }
    }
    void Patch(size_t nAt, WORD n) { m_words[nAt] = n; }
    size_t Size() const { return m_words.size(); }
    const WORD* Data() const { return m_words.data(); }

private:
    std::vector<WORD> m_words;
};

// The predefined window classes by their ordinals; 0 for a class of the
// common controls, which a template names (ClassName).
WORD ClassOrdinal(EControlKind eKind) {
    switch (eKind) {
        case EControlKind::PushButton:
        case EControlKind::GroupBox:
            return 0x0080;  // Button
        case EControlKind::Edit:
            return 0x0081;
        case EControlKind::Label:
            return 0x0082;  // Static
        case EControlKind::ListBox:
            return 0x0083;
        case EControlKind::ProgressBar:
            return 0;
    }
    return 0x0082;
}

// The window class of a kind that has no ordinal: registered by comctl32
// (InitCommonControlsEx in the host's constructor).
const wchar_t* ClassName(EControlKind eKind) {
    return eKind == EControlKind::ProgressBar ? PROGRESS_CLASSW : L"STATIC";
}

DWORD ControlStyle(const CControlTemplate& control, DWORD& nExStyle) {
    DWORD nStyle = WS_CHILD;
    nExStyle = 0;
    if (!(control.nStyles & kStyleHidden)) {
        nStyle |= WS_VISIBLE;
    }
    if (control.nStyles & kStyleDisabled) {
        nStyle |= WS_DISABLED;
    }
    switch (control.eKind) {
        case EControlKind::PushButton:
            nStyle |= WS_TABSTOP |
                      ((control.nStyles & kStyleDefaultButton) ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
            break;
        case EControlKind::GroupBox:
            // A frame listed after the controls it surrounds lies beneath
            // them; it must not paint over their edges.
            nStyle |= BS_GROUPBOX | WS_CLIPSIBLINGS;
            break;
        case EControlKind::Label:
            // Shown as written: an ampersand is no mnemonic.
            nStyle |= SS_LEFT | SS_NOPREFIX;
            // One line, cut in the middle (after the last backslash, where
            // there is one: the end holds what changes).
            if (control.nStyles & kStyleEllipsis) nStyle |= SS_PATHELLIPSIS;
            break;
        case EControlKind::Edit:
            nStyle |= WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL;
            if (control.nStyles & kStylePassword) nStyle |= ES_PASSWORD;
            if (control.nStyles & kStyleReadOnly) nStyle |= ES_READONLY;
            nExStyle |= WS_EX_CLIENTEDGE;
            break;
        case EControlKind::ListBox:
            nStyle |= WS_TABSTOP | LBS_NOTIFY;
            if (control.nStyles & kStyleNoSelection) nStyle |= LBS_NOSEL;
            if (control.nStyles & kStyleVScroll) nStyle |= WS_VSCROLL;
            if (control.nStyles & kStyleHScroll) nStyle |= WS_HSCROLL;
            if (control.nStyles & kStyleNoIntegralHeight) nStyle |= LBS_NOINTEGRALHEIGHT;
            nExStyle |= WS_EX_CLIENTEDGE;
            break;
        case EControlKind::ProgressBar:
            // Filled evenly, not in blocks, under the classic look too;
            // no tab stop: nothing to do with it.
            nStyle |= PBS_SMOOTH;
            break;
    }
    return nStyle;
}

CTemplateWriter BuildTemplate(const CDialogTemplate& t, bool bTopLevel) {
    CTemplateWriter w;
    DWORD nStyle = WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SETFONT | DS_SHELLFONT | DS_CENTER;
    if (t.bSystemMenu) nStyle |= WS_SYSMENU;
    if (t.bMinimizeBox) nStyle |= WS_MINIMIZEBOX;
    // A main dialog has no owner; it is the program's window in the
    // taskbar.
    const DWORD nExStyle = bTopLevel ? WS_EX_APPWINDOW : 0;

    w.Word(1);       // dlgVer
    w.Word(0xFFFF);  // signature: extended template
    w.DoubleWord(0);  // helpID
    w.DoubleWord(nExStyle);
    w.DoubleWord(nStyle);
    w.Word(static_cast<WORD>(t.controls.size()));
    w.Word(0);  // x, y: DS_CENTER places the window
    w.Word(0);
    w.Word(static_cast<WORD>(t.cx));
    w.Word(static_cast<WORD>(t.cy));
    w.Word(0);  // no menu
    w.Word(0);  // the dialog class
    w.Text(Widen(t.strCaption));
    w.Word(static_cast<WORD>(t.nFontPoints > 0 ? t.nFontPoints : 8));
    w.Word(FW_NORMAL);
    w.Word(MAKEWORD(FALSE, DEFAULT_CHARSET));  // italic, charset
    w.Text(Widen(t.strFontName.empty() ? std::string("MS Shell Dlg") : t.strFontName));

    for (const CControlTemplate& control : t.controls) {
        w.Align();
        DWORD nItemExStyle = 0;
        const DWORD nItemStyle = ControlStyle(control, nItemExStyle);
        w.DoubleWord(0);  // helpID
        w.DoubleWord(nItemExStyle);
        w.DoubleWord(nItemStyle);
        w.Word(static_cast<WORD>(control.x));
        w.Word(static_cast<WORD>(control.y));
        w.Word(static_cast<WORD>(control.cx));
        w.Word(static_cast<WORD>(control.cy));
        w.DoubleWord(static_cast<DWORD>(control.nId));
        if (const WORD nOrdinal = ClassOrdinal(control.eKind); nOrdinal != 0) {
            w.Word(0xFFFF);
            w.Word(nOrdinal);
        } else {
            w.Text(ClassName(control.eKind));
        }
        w.Text(Widen(control.strText));
        w.Word(0);  // no creation data
    }
    return w;
}

// Work posted to a site, from any thread: a command id or a quit request.
struct CPosted {
    bool bQuit;
    int nId;
};

// Forwards the process's stop requests to the host that Open made.
std::mutex g_stopTargetMutex;
CWin32Host* g_pStopTarget = nullptr;

void ForwardStopRequest() {
    std::lock_guard<std::mutex> lock(g_stopTargetMutex);
    if (g_pStopTarget) {
        g_pStopTarget->RequestStop();
    }
}

}  // namespace

// The host's message-only window: what other threads reach the host's own
// thread through, in every message loop that runs there (a message box's,
// too).
class CWin32Host::CMessageWindow {
public:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT nMessage, WPARAM wParam, LPARAM lParam) {
        if (nMessage == kMsgCloseBoxes) {
            auto* pHost = reinterpret_cast<CWin32Host*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
            if (pHost) {
                pHost->CloseMessageBoxes();
            }
            return 0;
        }
        return DefWindowProcW(hwnd, nMessage, wParam, lParam);
    }
};

// One running dialog, shown by the dialog manager.
class CWin32Host::CSite : public CDialogSite {
public:
    CSite(CWin32Host& host, CDialog& dialog, HWND hwndOwner)
        : m_host(host), m_pDialog(&dialog), m_hwndOwner(hwndOwner),
          m_pPostBox(std::make_shared<CPostBox>()) {
        for (const CControlTemplate& control : dialog.GetTemplate().controls) {
            m_kinds.emplace(control.nId, control.eKind);
        }
    }

    int Run();
    HWND Window() const { return m_hwnd; }
    const CDialog* Dialog() const { return m_pDialog; }

    std::string GetText(int nId) const override;
    void SetText(int nId, const std::string& strText) override;
    void Enable(int nId, bool bEnable) override;
    bool IsEnabled(int nId) const override;
    void Show(int nId, bool bShow) override;
    bool IsVisible(int nId) const override;
    void Move(int nId, const CRect& rect) override;
    CRect GetRect(int nId) const override;
    void SetFocus(int nId) override;
    int GetFocus() const override;
    CRect GetClientRect() const override;
    void ListInsert(int nId, int nIndex, const std::string& strText) override;
    int ListCount(int nId) const override;
    void SetProgress(int nId, int nPosition) override;
    int GetProgress(int nId) const override;
    void AddSystemMenuItem(int nCommand, const std::string& strText) override;
    void ShowMessageBox(const std::string& strText) override;
    void PostCommand(int nId) override { Post({false, nId}); }
    void PostQuit() override { Post({true, 0}); }
    void EndDialog(int nResult) override;
    void Minimize() override;
    int RunModal(CDialog& dialog) override { return m_host.RunModalOwnedBy(dialog, m_hwnd); }
    void OnDialogGone() override;

private:
    // What other threads reach the site through. It outlives the site, so
    // work that arrives after the dialog has ended finds no window.
    struct CPostBox {
        std::mutex mutex;
        std::deque<CPosted> queue;
        bool bOpen = true;     // the dialog has not ended
        HWND hwnd = nullptr;   // set once the window exists
    };

    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT nMessage, WPARAM wParam, LPARAM lParam);
    INT_PTR Proc(UINT nMessage, WPARAM wParam, LPARAM lParam);
    INT_PTR OnInit();
    void OnCommandMessage(WPARAM wParam, LPARAM lParam);
    void Post(const CPosted& posted);
    void ScheduleDelivery();
    void DeliverOne();
    // Runs one handler; the dialog ends, or what waits is delivered, only
    // once the outermost handler has returned.
    template <class F>
    void Handle(F&& handler);
    void CloseQueue();
    HWND Control(int nId) const;
    bool IsKind(int nId, EControlKind eKind) const;

    CWin32Host& m_host;
    CDialog* m_pDialog;
    HWND m_hwndOwner;
    HWND m_hwnd = nullptr;
    std::map<int, EControlKind> m_kinds;
    std::set<int> m_sysCommands;
    int m_nDepth = 0;
    bool m_bEnded = false;
    bool m_bEndPassed = false;  // the dialog manager was told
    bool m_bFocusSet = false;
    bool m_bMinimizeWhenShown = false;
    int m_nResult = 0;
    std::shared_ptr<CPostBox> m_pPostBox;
};

int CWin32Host::CSite::Run() {
    const CTemplateWriter w = BuildTemplate(m_pDialog->GetTemplate(), m_hwndOwner == nullptr);
    const INT_PTR nReturned = DialogBoxIndirectParamW(
        GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(w.Data()), m_hwndOwner,
        DialogProc, reinterpret_cast<LPARAM>(this));
    CloseQueue();
    if (m_pDialog) {
        m_pDialog->Attach(nullptr);
    }
    if (nReturned == -1 && !m_bEnded) {
        // The window could not be made: the dialog never ran.
        return kResultQuit;
    }
    return m_nResult;
}

INT_PTR CALLBACK CWin32Host::CSite::DialogProc(HWND hwnd, UINT nMessage, WPARAM wParam,
                                              LPARAM lParam) {
    CSite* pSite = nullptr;
    if (nMessage == WM_INITDIALOG) {
        pSite = reinterpret_cast<CSite*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        pSite->m_hwnd = hwnd;
    } else {
        pSite = reinterpret_cast<CSite*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    }
    return pSite ? pSite->Proc(nMessage, wParam, lParam) : FALSE;
}

INT_PTR CWin32Host::CSite::Proc(UINT nMessage, WPARAM wParam, LPARAM lParam) {
    switch (nMessage) {
        case WM_INITDIALOG:
            return OnInit();
        case WM_COMMAND:
            OnCommandMessage(wParam, lParam);
            return TRUE;
        case WM_CLOSE:
            // The close box and the system menu's Close ask the dialog, as
            // Escape does.
            Handle([this] { m_pDialog->OnCommand(kIdCancel); });
            return TRUE;
        case WM_SYSCOMMAND: {
            // The low four bits are the system's own.
            const int nCommand = static_cast<int>(wParam & 0xFFF0);
            if (m_sysCommands.count(nCommand)) {
                Handle([this, nCommand] { m_pDialog->OnSysCommand(nCommand); });
                return TRUE;
            }
            return FALSE;
        }
        case kMsgPosted:
            DeliverOne();
            return TRUE;
        case WM_SHOWWINDOW:
            if (wParam && m_bMinimizeWhenShown) {
                m_bMinimizeWhenShown = false;
                PostMessageW(m_hwnd, kMsgMinimize, 0, 0);
            }
            return FALSE;
        case kMsgMinimize:
            ShowWindow(m_hwnd, SW_MINIMIZE);
            return TRUE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(m_host.m_hIconBig);
        case WM_DESTROY:
            // The controls still exist: the dialog releases what it holds
            // while it can still read them.
            m_bEnded = true;
            CloseQueue();
            if (m_pDialog) {
                ++m_nDepth;
                m_pDialog->OnDestroy();
                --m_nDepth;
            }
            RemovePropW(m_hwnd, kDialogProperty);
            return FALSE;
        default:
            return FALSE;
    }
}

INT_PTR CWin32Host::CSite::OnInit() {
    SetPropW(m_hwnd, kDialogProperty, reinterpret_cast<HANDLE>(this));
    if (m_host.m_hIconBig) {
        SendMessageW(m_hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_host.m_hIconBig));
    }
    if (m_host.m_hIconSmall) {
        SendMessageW(m_hwnd, WM_SETICON, ICON_SMALL,
                     reinterpret_cast<LPARAM>(m_host.m_hIconSmall));
    }
    // A progress bar's range is 0 to 100 until told otherwise.
    for (const auto& [nId, eKind] : m_kinds) {
        if (eKind == EControlKind::ProgressBar) {
            if (HWND hwndBar = GetDlgItem(m_hwnd, nId)) {
                SendMessageW(hwndBar, PBM_SETRANGE32, 0, kProgressMax);
                SendMessageW(hwndBar, PBM_SETPOS, 0, 0);
            }
        }
    }
    bool bQuitFirst = false;
    {
        std::lock_guard<std::mutex> lock(m_pPostBox->mutex);
        m_pPostBox->hwnd = m_hwnd;
    }
    ++m_nDepth;
    m_pDialog->OnInitDialog();
    --m_nDepth;
    {
        std::lock_guard<std::mutex> lock(m_pPostBox->mutex);
        bQuitFirst = !m_pPostBox->queue.empty() && m_pPostBox->queue.front().bQuit;
    }
    // A dialog that gave up while opening (ended, or a quit request first in
    // line) is never shown: the dialog manager destroys it before it would
    // show it.
    if (bQuitFirst) {
        EndDialog(kResultQuit);
    }
    if (m_bEnded) {
        m_bEndPassed = true;
        ::EndDialog(m_hwnd, m_nResult);
    } else {
        ScheduleDelivery();
    }
    // The dialog manager gives the focus to the first control only if the
    // dialog chose none.
    return m_bFocusSet ? FALSE : TRUE;
}

void CWin32Host::CSite::OnCommandMessage(WPARAM wParam, LPARAM lParam) {
    // Buttons report clicks; Enter and Escape come from the dialog manager
    // with the default button's id, IDOK or IDCANCEL. Edits and lists report
    // changes and focus, which no dialog waits for.
    if (HIWORD(wParam) != BN_CLICKED) {
        return;
    }
    const int nId = static_cast<int>(static_cast<short>(LOWORD(wParam)));
    if (lParam != 0) {
        const HWND hwndFrom = reinterpret_cast<HWND>(lParam);
        if (!IsKind(nId, EControlKind::PushButton) || Control(nId) != hwndFrom) {
            return;
        }
    }
    Handle([this, nId] { m_pDialog->OnCommand(nId); });
}

template <class F>
void CWin32Host::CSite::Handle(F&& handler) {
    if (!m_pDialog || m_bEnded) {
        return;
    }
    ++m_nDepth;
    handler();
    --m_nDepth;
    if (m_nDepth > 0) {
        return;
    }
    if (m_bEnded) {
        if (!m_bEndPassed && m_hwnd) {
            m_bEndPassed = true;
            ::EndDialog(m_hwnd, m_nResult);
        }
        return;
    }
    ScheduleDelivery();
}

void CWin32Host::CSite::Post(const CPosted& posted) {
    std::lock_guard<std::mutex> lock(m_pPostBox->mutex);
    if (!m_pPostBox->bOpen) {
        return;
    }
    m_pPostBox->queue.push_back(posted);
    // Before the window exists the work waits; opening delivers it.
    if (m_pPostBox->hwnd) {
        PostMessageW(m_pPostBox->hwnd, kMsgPosted, 0, 0);
    }
}

void CWin32Host::CSite::ScheduleDelivery() {
    std::lock_guard<std::mutex> lock(m_pPostBox->mutex);
    if (!m_pPostBox->queue.empty() && m_pPostBox->hwnd) {
        PostMessageW(m_pPostBox->hwnd, kMsgPosted, 0, 0);
    }
}

void CWin32Host::CSite::DeliverOne() {
    // Inside a handler (a message box or a dialog above this one runs its
    // own loop) the work waits until the handler has returned.
    if (m_nDepth > 0 || m_bEnded || !m_pDialog) {
        return;
    }
    CPosted posted;
    {
        std::lock_guard<std::mutex> lock(m_pPostBox->mutex);
        if (m_pPostBox->queue.empty()) {
            return;
        }
        posted = m_pPostBox->queue.front();
        m_pPostBox->queue.pop_front();
    }
    if (posted.bQuit) {
        EndDialog(kResultQuit);
    } else {
        Handle([this, nId = posted.nId] { m_pDialog->OnCommand(nId); });
    }
}

void CWin32Host::CSite::CloseQueue() {
    std::lock_guard<std::mutex> lock(m_pPostBox->mutex);
    m_pPostBox->bOpen = false;
    m_pPostBox->hwnd = nullptr;
    m_pPostBox->queue.clear();
}

void CWin32Host::CSite::EndDialog(int nResult) {
    if (!m_bEnded) {
        m_bEnded = true;
        m_nResult = nResult;
    }
    if (m_nDepth == 0 && m_hwnd && !m_bEndPassed) {
        m_bEndPassed = true;
        ::EndDialog(m_hwnd, m_nResult);
    }
}

void CWin32Host::CSite::OnDialogGone() {
    m_pDialog = nullptr;
    if (!m_bEnded) {
        m_bEnded = true;
        m_nResult = kResultQuit;
    }
    if (m_hwnd && !m_bEndPassed) {
        m_bEndPassed = true;
        ::EndDialog(m_hwnd, m_nResult);
    }
}

HWND CWin32Host::CSite::Control(int nId) const {
    if (!m_hwnd || !m_kinds.count(nId)) {
        return nullptr;
    }
    return GetDlgItem(m_hwnd, nId);
}

bool CWin32Host::CSite::IsKind(int nId, EControlKind eKind) const {
    auto it = m_kinds.find(nId);
    return it != m_kinds.end() && it->second == eKind;
}

std::string CWin32Host::CSite::GetText(int nId) const {
    // A list's window text is not its lines.
    HWND hwndControl = Control(nId);
    if (!hwndControl || IsKind(nId, EControlKind::ListBox)) {
        return std::string();
    }
    return Narrow(WindowText(hwndControl));
}

void CWin32Host::CSite::SetText(int nId, const std::string& strText) {
    if (HWND hwndControl = Control(nId); hwndControl && !IsKind(nId, EControlKind::ListBox)) {
        SetWindowTextW(hwndControl, Widen(strText).c_str());
    }
}

void CWin32Host::CSite::Enable(int nId, bool bEnable) {
    if (HWND hwndControl = Control(nId)) {
        EnableWindow(hwndControl, bEnable ? TRUE : FALSE);
    }
}

bool CWin32Host::CSite::IsEnabled(int nId) const {
    HWND hwndControl = Control(nId);
    return hwndControl && IsWindowEnabled(hwndControl);
}

void CWin32Host::CSite::Show(int nId, bool bShow) {
    if (HWND hwndControl = Control(nId)) {
        ShowWindow(hwndControl, bShow ? SW_SHOW : SW_HIDE);
    }
}

bool CWin32Host::CSite::IsVisible(int nId) const {
    // The control's own state, also while the window is not shown yet.
    HWND hwndControl = Control(nId);
    return hwndControl && (GetWindowLongW(hwndControl, GWL_STYLE) & WS_VISIBLE) != 0;
}

void CWin32Host::CSite::Move(int nId, const CRect& rect) {
    if (HWND hwndControl = Control(nId)) {
        MoveWindow(hwndControl, rect.left, rect.top, rect.Width(), rect.Height(), TRUE);
    }
}

CRect CWin32Host::CSite::GetRect(int nId) const {
    HWND hwndControl = Control(nId);
    if (!hwndControl) {
        return {};
    }
    RECT rect;
    GetWindowRect(hwndControl, &rect);
    MapWindowPoints(HWND_DESKTOP, m_hwnd, reinterpret_cast<POINT*>(&rect), 2);
    return {rect.left, rect.top, rect.right, rect.bottom};
}

void CWin32Host::CSite::SetFocus(int nId) {
    HWND hwndControl = Control(nId);
    // A control that cannot take the focus leaves it where it is.
    if (!hwndControl || !IsWindowEnabled(hwndControl) ||
        !(GetWindowLongW(hwndControl, GWL_STYLE) & WS_VISIBLE)) {
        return;
    }
    // Through the dialog manager, so that the default button follows.
    SendMessageW(m_hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(hwndControl), TRUE);
    m_bFocusSet = true;
}

int CWin32Host::CSite::GetFocus() const {
    for (HWND hwnd = ::GetFocus(); hwnd && hwnd != m_hwnd; hwnd = GetParent(hwnd)) {
        if (GetParent(hwnd) == m_hwnd) {
            const int nId = GetDlgCtrlID(hwnd);
            return m_kinds.count(nId) ? nId : 0;
        }
    }
    return 0;
}

CRect CWin32Host::CSite::GetClientRect() const {
    RECT rect{};
    if (m_hwnd) {
        ::GetClientRect(m_hwnd, &rect);
    }
    return {rect.left, rect.top, rect.right, rect.bottom};
}

void CWin32Host::CSite::ListInsert(int nId, int nIndex, const std::string& strText) {
    HWND hwndList = Control(nId);
    if (!hwndList || !IsKind(nId, EControlKind::ListBox)) {
        return;
    }
    const std::wstring strWide = Widen(strText);
    const LRESULT nCount = SendMessageW(hwndList, LB_GETCOUNT, 0, 0);
    // An index past the end appends instead of losing the line.
    const WPARAM nAt = (nIndex < 0 || nIndex > nCount) ? static_cast<WPARAM>(-1) : nIndex;
    const LRESULT nInserted =
        SendMessageW(hwndList, LB_INSERTSTRING, nAt, reinterpret_cast<LPARAM>(strWide.c_str()));
    if (nInserted == LB_ERR || nInserted == LB_ERRSPACE) {
        // A list that refused the line keeps its scroll range.
        return;
    }
    // The horizontal range reaches the end of the widest line, measured in
    // the list's own font; lists only ever gain lines, so it only grows.
    HDC hdc = GetDC(hwndList);
    if (hdc) {
        const HFONT hFont = reinterpret_cast<HFONT>(SendMessageW(hwndList, WM_GETFONT, 0, 0));
        const HGDIOBJ hOld = hFont ? SelectObject(hdc, hFont) : nullptr;
        SIZE size{};
        if (GetTextExtentPoint32W(hdc, strWide.c_str(), static_cast<int>(strWide.size()), &size)) {
            const int nWidth = size.cx + 3;
            if (nWidth > static_cast<int>(SendMessageW(hwndList, LB_GETHORIZONTALEXTENT, 0, 0))) {
                SendMessageW(hwndList, LB_SETHORIZONTALEXTENT, nWidth, 0);
            }
        }
        if (hOld) {
            SelectObject(hdc, hOld);
        }
        ReleaseDC(hwndList, hdc);
    }
    // Shown at once, also while a long handler keeps the loop from running.
    UpdateWindow(hwndList);
}

int CWin32Host::CSite::ListCount(int nId) const {
    HWND hwndList = Control(nId);
    if (!hwndList || !IsKind(nId, EControlKind::ListBox)) {
        return 0;
    }
    const LRESULT nCount = SendMessageW(hwndList, LB_GETCOUNT, 0, 0);
    return nCount == LB_ERR ? 0 : static_cast<int>(nCount);
}

void CWin32Host::CSite::SetProgress(int nId, int nPosition) {
    HWND hwndBar = Control(nId);
    if (!hwndBar || !IsKind(nId, EControlKind::ProgressBar)) {
        return;
    }
    nPosition = ClampProgress(nPosition);
    const LONG nStyle = GetWindowLongW(hwndBar, GWL_STYLE);
    if (nPosition == kProgressUnknown) {
        // The marquee: a block that runs through the bar while the work
        // goes on, without a position.
        if (!(nStyle & PBS_MARQUEE)) {
            SetWindowLongW(hwndBar, GWL_STYLE, nStyle | PBS_MARQUEE);
            SendMessageW(hwndBar, PBM_SETMARQUEE, TRUE, 30);
        }
        return;
    }
    if (nStyle & PBS_MARQUEE) {
        SendMessageW(hwndBar, PBM_SETMARQUEE, FALSE, 0);
        SetWindowLongW(hwndBar, GWL_STYLE, nStyle & ~static_cast<LONG>(PBS_MARQUEE));
        SendMessageW(hwndBar, PBM_SETRANGE32, 0, kProgressMax);
    }
    SendMessageW(hwndBar, PBM_SETPOS, static_cast<WPARAM>(nPosition), 0);
}

int CWin32Host::CSite::GetProgress(int nId) const {
    HWND hwndBar = Control(nId);
    if (!hwndBar || !IsKind(nId, EControlKind::ProgressBar)) {
        return 0;
    }
    if (GetWindowLongW(hwndBar, GWL_STYLE) & PBS_MARQUEE) {
        return kProgressUnknown;
    }
    return static_cast<int>(SendMessageW(hwndBar, PBM_GETPOS, 0, 0));
}

void CWin32Host::CSite::AddSystemMenuItem(int nCommand, const std::string& strText) {
    HMENU hMenu = m_hwnd ? GetSystemMenu(m_hwnd, FALSE) : nullptr;
    if (!hMenu) {
        return;
    }
    // Our items come after a line of their own below the system's.
    if (m_sysCommands.empty()) {
        AppendMenuW(hMenu, MF_SEPARATOR, 0, nullptr);
    }
    AppendMenuW(hMenu, MF_STRING, static_cast<UINT_PTR>(nCommand), Widen(strText).c_str());
    m_sysCommands.insert(nCommand & 0xFFF0);
}

void CWin32Host::CSite::ShowMessageBox(const std::string& strText) {
    {
        std::lock_guard<std::mutex> lock(m_host.m_sitesMutex);
        if (m_host.m_bStopRequested) {
            return;
        }
    }
    const std::wstring strCaption = m_hwnd ? WindowText(m_hwnd) : ProgramName();
    MessageBoxW(m_hwnd, Widen(strText).c_str(), strCaption.c_str(), MB_OK);
}

void CWin32Host::CSite::Minimize() {
    if (!m_hwnd) {
        return;
    }
    // While the dialog opens, the dialog manager has yet to show the window
    // and would show it restored; it is minimised once shown.
    if (!(GetWindowLongW(m_hwnd, GWL_STYLE) & WS_VISIBLE)) {
        m_bMinimizeWhenShown = true;
        return;
    }
    ShowWindow(m_hwnd, SW_MINIMIZE);
}

CWin32Host::CWin32Host() {
    // Every control class the dialogs may use, as the programs always
    // registered them.
    INITCOMMONCONTROLSEX controls{sizeof(controls), 0xFF};
    InitCommonControlsEx(&controls);

    const HINSTANCE hInstance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = CMessageWindow::Proc;
    windowClass.hInstance = hInstance;
    windowClass.lpszClassName = kMessageWindowClass;
    // A second host of the process finds the class there already.
    RegisterClassW(&windowClass);
    m_hwndMessages = CreateWindowExW(0, kMessageWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                     nullptr, hInstance, nullptr);
    if (m_hwndMessages) {
        SetWindowLongPtrW(static_cast<HWND>(m_hwndMessages), GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(this));
    }

    m_hIconBig = LoadImageW(hInstance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                            GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0);
    m_hIconSmall = LoadImageW(hInstance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                              GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0);
    m_bOwnIcons = true;
    if (!m_hIconBig || !m_hIconSmall) {
        // A program built without its resources still gets an icon.
        if (m_hIconBig) DestroyIcon(static_cast<HICON>(m_hIconBig));
        if (m_hIconSmall) DestroyIcon(static_cast<HICON>(m_hIconSmall));
        m_hIconBig = m_hIconSmall = LoadIconW(nullptr, IDI_APPLICATION);
        m_bOwnIcons = false;
    }
}

CWin32Host::~CWin32Host() {
    {
        std::lock_guard<std::mutex> lock(g_stopTargetMutex);
        if (g_pStopTarget == this) {
            g_pStopTarget = nullptr;
        }
    }
    if (m_hwndMessages) {
        DestroyWindow(static_cast<HWND>(m_hwndMessages));
    }
    if (m_bOwnIcons) {
        DestroyIcon(static_cast<HICON>(m_hIconBig));
        DestroyIcon(static_cast<HICON>(m_hIconSmall));
    }
}

std::unique_ptr<CWin32Host> CWin32Host::Open(std::string& strProblem) {
    strProblem.clear();
    // A program started by a service or by a scheduled task that runs
    // whether or not anyone is logged on gets a window station nobody sees:
    // its windows would open, and its message boxes wait for ever. Such a
    // program runs in the terminal, as one started by cron does on Linux.
    USEROBJECTFLAGS stationFlags{};
    DWORD nNeeded = 0;
    if (HWINSTA hStation = GetProcessWindowStation();
        hStation && GetUserObjectInformationW(hStation, UOI_FLAGS, &stationFlags,
                                              sizeof(stationFlags), &nNeeded) &&
        !(stationFlags.dwFlags & WSF_VISIBLE)) {
        strProblem = "no window can be opened";
        return nullptr;
    }
    // Under Wine without a display, and on a window station without a
    // desktop, no top-level window can be made; a hidden probe tells.
    HWND hwndProbe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                     GetModuleHandleW(nullptr), nullptr);
    if (!hwndProbe) {
        strProblem = "no window can be opened";
        return nullptr;
    }
    DestroyWindow(hwndProbe);
    auto pHost = std::make_unique<CWin32Host>();
    if (!pHost->IsUsable()) {
        strProblem = "no window can be opened";
        return nullptr;
    }
    platform::WatchStopRequests(ForwardStopRequest);
    std::lock_guard<std::mutex> lock(g_stopTargetMutex);
    g_pStopTarget = pHost.get();
    return pHost;
}

void CWin32Host::RequestStop() {
    std::lock_guard<std::mutex> lock(m_sitesMutex);
    m_bStopRequested = true;
    // Message boxes have only OK: answering them lets the handler that
    // waits on one return and take the Cancel.
    if (m_hwndMessages) {
        PostMessageW(static_cast<HWND>(m_hwndMessages), kMsgCloseBoxes, 0, 0);
    }
    for (CSite* pSite : m_sites) {
        pSite->PostCommand(kIdCancel);
    }
}

void CWin32Host::CloseMessageBoxes() {
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND hwnd, LPARAM) -> BOOL {
            wchar_t szClass[16] = {};
            GetClassNameW(hwnd, szClass, 16);
            if (std::wstring(szClass) == L"#32770" && !IsDialogWindow(hwnd)) {
                PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(hwnd, IDOK)));
            }
            return TRUE;
        },
        0);
}

bool CWin32Host::IsDialogWindow(void* hwnd) {
    return hwnd && GetPropW(static_cast<HWND>(hwnd), kDialogProperty) != nullptr;
}

void* CWin32Host::WindowOf(const CDialog& dialog) const {
    std::lock_guard<std::mutex> lock(m_sitesMutex);
    for (CSite* pSite : m_sites) {
        if (pSite->Dialog() == &dialog) {
            return pSite->Window();
        }
    }
    return nullptr;
}

int CWin32Host::RunModal(CDialog& dialog) {
    // A dialog opened while another runs belongs to it.
    HWND hwndOwner = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_sitesMutex);
        if (!m_sites.empty()) {
            hwndOwner = m_sites.back()->Window();
        }
    }
    return RunModalOwnedBy(dialog, hwndOwner);
}

int CWin32Host::RunModalOwnedBy(CDialog& dialog, void* hwndOwner) {
    CSite site(*this, dialog, static_cast<HWND>(hwndOwner));
    dialog.Attach(&site);
    {
        std::lock_guard<std::mutex> lock(m_sitesMutex);
        m_sites.push_back(&site);
        if (m_bStopRequested) {
            site.PostCommand(kIdCancel);
        }
    }
    const int nResult = site.Run();
    std::lock_guard<std::mutex> lock(m_sitesMutex);
    m_sites.erase(std::find(m_sites.begin(), m_sites.end(), &site));
    return nResult;
}

void CWin32Host::ShowMessageBox(const std::string& strText) {
    {
        std::lock_guard<std::mutex> lock(m_sitesMutex);
        if (m_bStopRequested) {
            return;
        }
    }
    // Before any dialog exists the box has no owner and carries the
    // program's name.
    MessageBoxW(nullptr, Widen(strText).c_str(), ProgramName().c_str(), MB_OK | MB_SETFOREGROUND);
}

}  // namespace ui
