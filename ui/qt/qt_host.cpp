#include "ui/qt/qt_host.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollBar>

#include <cstdio>
#include <deque>
#include <functional>
#include <map>

#include "platform/console.h"
#include "platform/paths.h"
#include "ui/qt/qt_widgets.h"

namespace ui {

namespace qt {

QFont DialogFont(const CDialogTemplate& dialogTemplate) {
    QFont font;
    if (dialogTemplate.strFontName == "MS Shell Dlg" ||
        dialogTemplate.strFontName == "MS Shell Dlg 2") {
        // DejaVu Sans is on every Debian desktop (fonts-dejavu-core) and, at
        // the same point size, wide enough that the texts laid out for the
        // Windows font keep fitting once measured in its own units.
        font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
    } else {
        font.setFamily(QString::fromStdString(dialogTemplate.strFontName));
    }
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(dialogTemplate.nFontPoints > 0 ? dialogTemplate.nFontPoints : 8);
    return font;
}

void MeasureBaseUnits(const QFont& font, int& nBaseX, int& nBaseY) {
    const QFontMetrics metrics(font);
    const int nAdvance = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    nBaseX = (nAdvance / 26 + 1) / 2;
    nBaseY = metrics.height();
    // A font that measures as nothing would collapse every control.
    if (nBaseX <= 0 || nBaseY <= 0) {
        nBaseX = kDefaultBaseX;
        nBaseY = kDefaultBaseY;
    }
}

namespace {

QPixmap DrawIcon(int nSize) {
    QPixmap pixmap(nSize, nSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = nSize / 32.0;
    // One arrow up on the left (sending), one down on the right (fetching).
    auto arrow = [&](qreal x, bool bUp, const QColor& color) {
        QPainterPath path;
        const qreal top = 3 * s, bottom = 29 * s, head = 12 * s;
        if (bUp) {
            path.moveTo(x, top);
            path.lineTo(x + 7 * s, top + head);
            path.lineTo(x + 3 * s, top + head);
            path.lineTo(x + 3 * s, bottom);
            path.lineTo(x - 3 * s, bottom);
            path.lineTo(x - 3 * s, top + head);
            path.lineTo(x - 7 * s, top + head);
        } else {
            path.moveTo(x, bottom);
            path.lineTo(x + 7 * s, bottom - head);
            path.lineTo(x + 3 * s, bottom - head);
            path.lineTo(x + 3 * s, top);
            path.lineTo(x - 3 * s, top);
            path.lineTo(x - 3 * s, bottom - head);
            path.lineTo(x - 7 * s, bottom - head);
        }
        path.closeSubpath();
        painter.setPen(QPen(color.darker(160), qMax<qreal>(1.0, s)));
        painter.setBrush(color);
        painter.drawPath(path);
    };
    arrow(9 * s, true, QColor(0x2e, 0x7d, 0x32));
    arrow(23 * s, false, QColor(0x15, 0x65, 0xc0));
    return pixmap;
}

}  // namespace

QIcon ProgramIcon() {
    QIcon icon;
    for (int nSize : {16, 24, 32, 48, 64}) {
        icon.addPixmap(DrawIcon(nSize));
    }
    return icon;
}

QWidget* FindControl(QWidget* pWindow, int nId) {
    if (!pWindow) {
        return nullptr;
    }
    for (QWidget* pChild : pWindow->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const QVariant id = pChild->property(kControlIdProperty);
        if (id.isValid() && id.toInt() == nId) {
            return pChild;
        }
    }
    return nullptr;
}

}  // namespace qt

namespace {

// Work posted to a site, from any thread: a command id or a quit request.
struct CPosted {
    bool bQuit;
    int nId;
};

// The QDialog of a site: Escape and the close box ask the dialog instead of
// closing the window.
class CDialogWindow : public QDialog {
public:
    CDialogWindow(QWidget* pParent, std::function<void()> onCloseRequest)
        : QDialog(pParent), m_onCloseRequest(std::move(onCloseRequest)) {}

    void reject() override { m_onCloseRequest(); }

protected:
    // F1 is the About item's shortcut; a key that reaches the window
    // without the shortcut having taken it (the window is not the active
    // one, say) still chooses the item.
    void keyPressEvent(QKeyEvent* pEvent) override {
        if (pEvent->key() == Qt::Key_F1 && pEvent->modifiers() == Qt::NoModifier) {
            for (QAction* pAction : actions()) {
                if (pAction->property(qt::kSysCommandProperty).toInt() == kSysCommandAbout) {
                    pAction->trigger();
                    return;
                }
            }
        }
        QDialog::keyPressEvent(pEvent);
    }

private:
    std::function<void()> m_onCloseRequest;
};

// Lines of a list box are as wide as their text, so the horizontal range
// reaches the end of the longest; all rows share the width of the longest,
// which keeps each insert from measuring every line again.
class CListBox : public QListWidget {
public:
    explicit CListBox(QWidget* pParent) : QListWidget(pParent) {
        setUniformItemSizes(true);
        setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
        setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    }

    void Insert(int nIndex, const QString& strText) {
        const QFontMetrics metrics(font());
        const int nMargin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
        const int nWidth = metrics.horizontalAdvance(strText) + 2 * nMargin;
        const bool bWider = nWidth > m_nWidest;
        m_nWidest = std::max(m_nWidest, nWidth);
        const QSize size(m_nWidest, metrics.height() + 2);
        auto* pItem = new QListWidgetItem(strText);
        pItem->setSizeHint(size);
        if (nIndex < 0 || nIndex > count()) {
            nIndex = count();
        }
        insertItem(nIndex, pItem);
        // The view takes the shared row size from the last row.
        if (bWider) {
            item(count() - 1)->setSizeHint(size);
        }
        // Shown at once, also while a long handler keeps the loop from
        // running.
        doItemsLayout();
        viewport()->repaint();
    }

private:
    int m_nWidest = 0;
};

// A label of one line that shows as much of its text as fits, cutting the
// middle (where an ellipsis marks the cut): the start says what the line is
// about, the end holds the figures that change.
class CEllipsisLabel : public QLabel {
public:
    explicit CEllipsisLabel(QWidget* pParent) : QLabel(pParent) {
        setTextFormat(Qt::PlainText);
        setWordWrap(false);
    }

    QString FullText() const { return m_strFull; }
    void SetFullText(const QString& strText) {
        m_strFull = strText;
        Elide();
    }

protected:
    void resizeEvent(QResizeEvent* pEvent) override {
        QLabel::resizeEvent(pEvent);
        Elide();
    }

private:
    void Elide() { setText(fontMetrics().elidedText(m_strFull, Qt::ElideMiddle, width())); }

    QString m_strFull;
};

// Forwards the process's stop requests to the host that Open made.
std::mutex g_stopTargetMutex;
CQtHost* g_pStopTarget = nullptr;

void ForwardStopRequest() {
    std::lock_guard<std::mutex> lock(g_stopTargetMutex);
    if (g_pStopTarget) {
        g_pStopTarget->RequestStop();
    }
}

// Qt's own messages while it looks for a display, kept back so that a
// missing display costs one line of our own instead of Qt's several.
std::vector<std::string>* g_pHeldMessages = nullptr;

void HoldMessage(QtMsgType /*type*/, const QMessageLogContext& /*context*/,
                 const QString& strMessage) {
    if (g_pHeldMessages) {
        g_pHeldMessages->push_back(strMessage.toStdString());
    }
}

}  // namespace

// One running dialog as a QDialog.
class CQtHost::CSite : public CDialogSite {
public:
    CSite(CQtHost& host, CDialog& dialog, QWidget* pParent);
    ~CSite() override;

    int Run();

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
    int RunModal(CDialog& dialog) override { return m_host.RunModalAbove(dialog, m_pWindow); }
    void OnDialogGone() override;

    QWidget* Window() const { return m_pWindow; }

private:
    // What other threads reach the site through. It outlives the site, so
    // work that arrives after the dialog has ended finds no site.
    struct CPostBox {
        std::mutex mutex;
        std::deque<CPosted> queue;
        CSite* pSite = nullptr;
        QObject* pReceiver = nullptr;  // lives while pSite is set
    };

    void Post(const CPosted& posted);
    void ScheduleDelivery();
    void DeliverOne();
    // Runs one handler; the dialog ends, or what waits is delivered, only
    // once the outermost handler has returned.
    template <class F>
    void Handle(F&& handler);
    void CloseRequested() { Handle([this] { m_pDialog->OnCommand(kIdCancel); }); }
    void Finish();
    QWidget* Widget(int nId) const;

    CQtHost& m_host;
    CDialog* m_pDialog;
    CDialogWindow* m_pWindow;  // owned here, deleted with the site
    std::map<int, QWidget*> m_controls;
    int m_nBaseX = kDefaultBaseX;
    int m_nBaseY = kDefaultBaseY;
    int m_nDepth = 0;
    bool m_bInLoop = false;
    bool m_bEnded = false;
    int m_nResult = 0;
    std::shared_ptr<CPostBox> m_pPostBox;
};

CQtHost::CSite::CSite(CQtHost& host, CDialog& dialog, QWidget* pParent)
    : m_host(host), m_pDialog(&dialog), m_pPostBox(std::make_shared<CPostBox>()) {
    const CDialogTemplate& t = dialog.GetTemplate();
    m_pWindow = new CDialogWindow(pParent, [this] { CloseRequested(); });
    const QFont font = qt::DialogFont(t);
    m_pWindow->setFont(font);
    qt::MeasureBaseUnits(font, m_nBaseX, m_nBaseY);

    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (t.bSystemMenu) {
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    }
    if (t.bMinimizeBox) {
        flags |= Qt::WindowMinimizeButtonHint;
    }
    m_pWindow->setWindowFlags(flags);
    m_pWindow->setWindowTitle(QString::fromStdString(t.strCaption));
    m_pWindow->setWindowIcon(qt::ProgramIcon());
    const CRect size = DialogUnitsToPixels(0, 0, t.cx, t.cy, m_nBaseX, m_nBaseY);
    m_pWindow->setFixedSize(size.Width(), size.Height());
    m_pWindow->setContextMenuPolicy(Qt::ActionsContextMenu);

    std::vector<QWidget*> groups;
    for (const CControlTemplate& control : t.controls) {
        const QString strText = QString::fromStdString(control.strText);
        QWidget* pWidget = nullptr;
        switch (control.eKind) {
            case EControlKind::PushButton: {
                auto* pButton = new QPushButton(strText, m_pWindow);
                pButton->setAutoDefault(true);
                pButton->setDefault((control.nStyles & kStyleDefaultButton) != 0);
                const int nId = control.nId;
                QObject::connect(pButton, &QPushButton::clicked, pButton, [this, nId] {
                    Handle([this, nId] { m_pDialog->OnCommand(nId); });
                });
                pWidget = pButton;
                break;
            }
            case EControlKind::GroupBox:
                pWidget = new QGroupBox(strText, m_pWindow);
                groups.push_back(pWidget);
                break;
            case EControlKind::Label: {
                if (control.nStyles & kStyleEllipsis) {
                    auto* pLabel = new CEllipsisLabel(m_pWindow);
                    pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                    pLabel->SetFullText(strText);
                    pWidget = pLabel;
                    break;
                }
                auto* pLabel = new QLabel(strText, m_pWindow);
                // Values from settings files are shown as they are, never
                // read as markup.
                pLabel->setTextFormat(Qt::PlainText);
                pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                pLabel->setWordWrap(true);
                pWidget = pLabel;
                break;
            }
            case EControlKind::Edit: {
                auto* pEdit = new QLineEdit(strText, m_pWindow);
                if (control.nStyles & kStylePassword) {
                    pEdit->setEchoMode(QLineEdit::Password);
                }
                pEdit->setReadOnly((control.nStyles & kStyleReadOnly) != 0);
                pWidget = pEdit;
                break;
            }
            case EControlKind::ListBox: {
                auto* pList = new CListBox(m_pWindow);
                pList->setVerticalScrollBarPolicy((control.nStyles & kStyleVScroll)
                                                      ? Qt::ScrollBarAsNeeded
                                                      : Qt::ScrollBarAlwaysOff);
                pList->setHorizontalScrollBarPolicy((control.nStyles & kStyleHScroll)
                                                        ? Qt::ScrollBarAsNeeded
                                                        : Qt::ScrollBarAlwaysOff);
                if (control.nStyles & kStyleNoSelection) {
                    pList->setSelectionMode(QAbstractItemView::NoSelection);
                }
                pWidget = pList;
                break;
            }
            case EControlKind::ProgressBar: {
                auto* pBar = new QProgressBar(m_pWindow);
                pBar->setRange(0, kProgressMax);
                pBar->setValue(0);
                // The bar alone, as a Windows progress bar draws it; the
                // dialog puts the words where it wants them.
                pBar->setTextVisible(false);
                pBar->setAccessibleDescription(strText);
                pWidget = pBar;
                break;
            }
        }
        pWidget->setProperty(qt::kControlIdProperty, control.nId);
        const CRect rect =
            DialogUnitsToPixels(control.x, control.y, control.cx, control.cy, m_nBaseX, m_nBaseY);
        pWidget->setGeometry(rect.left, rect.top, rect.Width(), rect.Height());
        pWidget->setHidden((control.nStyles & kStyleHidden) != 0);
        pWidget->setEnabled((control.nStyles & kStyleDisabled) == 0);
        m_controls.emplace(control.nId, pWidget);
    }
    // Group boxes frame the controls placed on them; beneath those, they
    // take no clicks meant for them.
    for (QWidget* pGroup : groups) {
        pGroup->lower();
    }

    std::lock_guard<std::mutex> lock(m_pPostBox->mutex);
    m_pPostBox->pSite = this;
    m_pPostBox->pReceiver = m_pWindow;
}

CQtHost::CSite::~CSite() {
    {
        std::lock_guard<std::mutex> lock(m_pPostBox->mutex);
        m_pPostBox->pSite = nullptr;
        m_pPostBox->pReceiver = nullptr;
        m_pPostBox->queue.clear();
    }
    // Queued deliveries addressed to the window go with it.
    delete m_pWindow;
}

QWidget* CQtHost::CSite::Widget(int nId) const {
    auto it = m_controls.find(nId);
    return it == m_controls.end() ? nullptr : it->second;
}

template <class F>
void CQtHost::CSite::Handle(F&& handler) {
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
        Finish();
        return;
    }
    ScheduleDelivery();
}

void CQtHost::CSite::Post(const CPosted& posted) {
    std::lock_guard<std::mutex> lock(m_pPostBox->mutex);
    if (!m_pPostBox->pSite) {
        return;
    }
    m_pPostBox->queue.push_back(posted);
    // The receiver cannot go while the lock is held; a delivery that finds
    // the site gone does nothing.
    QMetaObject::invokeMethod(
        m_pPostBox->pReceiver,
        [pPostBox = m_pPostBox] {
            CSite* pSite = nullptr;
            {
                std::lock_guard<std::mutex> lock(pPostBox->mutex);
                pSite = pPostBox->pSite;
            }
            if (pSite) {
                pSite->DeliverOne();
            }
        },
        Qt::QueuedConnection);
}

void CQtHost::CSite::ScheduleDelivery() {
    std::lock_guard<std::mutex> lock(m_pPostBox->mutex);
    if (m_pPostBox->queue.empty()) {
        return;
    }
    QMetaObject::invokeMethod(
        m_pWindow, [this] { DeliverOne(); }, Qt::QueuedConnection);
}

void CQtHost::CSite::DeliverOne() {
    // Inside a handler (a message box or a dialog above this one runs its
    // own loop) the work waits until the handler has returned.
    if (m_nDepth > 0 || m_bEnded || !m_bInLoop || !m_pDialog) {
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
        Finish();
    } else {
        Handle([this, nId = posted.nId] { m_pDialog->OnCommand(nId); });
    }
}

void CQtHost::CSite::Finish() {
    if (m_bInLoop) {
        m_pWindow->done(0);
    }
}

int CQtHost::CSite::Run() {
    Handle([this] { m_pDialog->OnInitDialog(); });
    // A dialog that gave up while opening (a quit request first in line)
    // never shows.
    bool bQuitFirst = false;
    {
        std::lock_guard<std::mutex> lock(m_pPostBox->mutex);
        bQuitFirst = !m_pPostBox->queue.empty() && m_pPostBox->queue.front().bQuit;
    }
    if (bQuitFirst) {
        EndDialog(kResultQuit);
    }
    while (!m_bEnded && m_pDialog) {
        m_bInLoop = true;
        ScheduleDelivery();
        m_pWindow->exec();
        m_bInLoop = false;
    }
    if (m_pDialog) {
        m_pDialog->OnDestroy();
    }
    {
        std::lock_guard<std::mutex> lock(m_pPostBox->mutex);
        m_pPostBox->pSite = nullptr;
        m_pPostBox->queue.clear();
    }
    if (m_pDialog) {
        m_pDialog->Attach(nullptr);
    }
    m_pWindow->hide();
    return m_nResult;
}

void CQtHost::CSite::OnDialogGone() {
    m_pDialog = nullptr;
    EndDialog(kResultQuit);
    Finish();
}

std::string CQtHost::CSite::GetText(int nId) const {
    QWidget* pWidget = Widget(nId);
    QString strText;
    if (auto* pButton = qobject_cast<QPushButton*>(pWidget)) {
        strText = pButton->text();
    } else if (auto* pGroup = qobject_cast<QGroupBox*>(pWidget)) {
        strText = pGroup->title();
    } else if (auto* pEllipsis = dynamic_cast<CEllipsisLabel*>(pWidget)) {
        strText = pEllipsis->FullText();
    } else if (auto* pLabel = qobject_cast<QLabel*>(pWidget)) {
        strText = pLabel->text();
    } else if (auto* pEdit = qobject_cast<QLineEdit*>(pWidget)) {
        strText = pEdit->text();
    } else if (auto* pBar = qobject_cast<QProgressBar*>(pWidget)) {
        strText = pBar->accessibleDescription();
    }
    return strText.toStdString();
}

void CQtHost::CSite::SetText(int nId, const std::string& strText) {
    QWidget* pWidget = Widget(nId);
    const QString strValue = QString::fromStdString(strText);
    if (auto* pButton = qobject_cast<QPushButton*>(pWidget)) {
        pButton->setText(strValue);
    } else if (auto* pGroup = qobject_cast<QGroupBox*>(pWidget)) {
        pGroup->setTitle(strValue);
    } else if (auto* pEllipsis = dynamic_cast<CEllipsisLabel*>(pWidget)) {
        pEllipsis->SetFullText(strValue);
    } else if (auto* pLabel = qobject_cast<QLabel*>(pWidget)) {
        pLabel->setText(strValue);
    } else if (auto* pEdit = qobject_cast<QLineEdit*>(pWidget)) {
        pEdit->setText(strValue);
    } else if (auto* pBar = qobject_cast<QProgressBar*>(pWidget)) {
        // Not drawn: what assistive tools read out for the bar.
        pBar->setAccessibleDescription(strValue);
    }
}

void CQtHost::CSite::Enable(int nId, bool bEnable) {
    if (QWidget* pWidget = Widget(nId)) {
        pWidget->setEnabled(bEnable);
    }
}

bool CQtHost::CSite::IsEnabled(int nId) const {
    QWidget* pWidget = Widget(nId);
    return pWidget && pWidget->isEnabledTo(m_pWindow);
}

void CQtHost::CSite::Show(int nId, bool bShow) {
    if (QWidget* pWidget = Widget(nId)) {
        pWidget->setVisible(bShow);
    }
}

bool CQtHost::CSite::IsVisible(int nId) const {
    // The control's own state, also while the window is not shown yet.
    QWidget* pWidget = Widget(nId);
    return pWidget && !pWidget->isHidden();
}

void CQtHost::CSite::Move(int nId, const CRect& rect) {
    if (QWidget* pWidget = Widget(nId)) {
        pWidget->setGeometry(rect.left, rect.top, rect.Width(), rect.Height());
    }
}

CRect CQtHost::CSite::GetRect(int nId) const {
    QWidget* pWidget = Widget(nId);
    if (!pWidget) {
        return {};
    }
    const QRect geometry = pWidget->geometry();
    return {geometry.left(), geometry.top(), geometry.left() + geometry.width(),
            geometry.top() + geometry.height()};
}

void CQtHost::CSite::SetFocus(int nId) {
    if (QWidget* pWidget = Widget(nId)) {
        pWidget->setFocus(Qt::OtherFocusReason);
    }
}

int CQtHost::CSite::GetFocus() const {
    // The window's focus child: what has the focus whenever the window is
    // active, also before it is shown.
    for (QWidget* pWidget = m_pWindow->focusWidget(); pWidget && pWidget != m_pWindow;
         pWidget = pWidget->parentWidget()) {
        const QVariant id = pWidget->property(qt::kControlIdProperty);
        if (id.isValid()) {
            return id.toInt();
        }
    }
    return 0;
}

CRect CQtHost::CSite::GetClientRect() const {
    const QRect rect = m_pWindow->contentsRect();
    return {rect.left(), rect.top(), rect.left() + rect.width(), rect.top() + rect.height()};
}

void CQtHost::CSite::ListInsert(int nId, int nIndex, const std::string& strText) {
    if (auto* pList = dynamic_cast<CListBox*>(Widget(nId))) {
        pList->Insert(nIndex, QString::fromStdString(strText));
    }
}

int CQtHost::CSite::ListCount(int nId) const {
    auto* pList = dynamic_cast<CListBox*>(Widget(nId));
    return pList ? pList->count() : 0;
}

void CQtHost::CSite::SetProgress(int nId, int nPosition) {
    auto* pBar = qobject_cast<QProgressBar*>(Widget(nId));
    if (!pBar) {
        return;
    }
    nPosition = ClampProgress(nPosition);
    if (nPosition == kProgressUnknown) {
        // An empty range is Qt's busy bar.
        pBar->setRange(0, 0);
    } else {
        pBar->setRange(0, kProgressMax);
        pBar->setValue(nPosition);
    }
}

int CQtHost::CSite::GetProgress(int nId) const {
    auto* pBar = qobject_cast<QProgressBar*>(Widget(nId));
    if (!pBar) {
        return 0;
    }
    return pBar->maximum() == 0 ? kProgressUnknown : pBar->value();
}

void CQtHost::CSite::AddSystemMenuItem(int nCommand, const std::string& strText) {
    auto* pAction = new QAction(QString::fromStdString(strText), m_pWindow);
    pAction->setProperty(qt::kSysCommandProperty, nCommand);
    if (nCommand == kSysCommandAbout) {
        pAction->setShortcut(QKeySequence(Qt::Key_F1));
        pAction->setShortcutContext(Qt::WindowShortcut);
    }
    QObject::connect(pAction, &QAction::triggered, m_pWindow, [this, nCommand] {
        Handle([this, nCommand] { m_pDialog->OnSysCommand(nCommand); });
    });
    m_pWindow->addAction(pAction);
}

void CQtHost::CSite::ShowMessageBox(const std::string& strText) {
    QMessageBox box(QMessageBox::NoIcon, m_pWindow->windowTitle(), QString::fromStdString(strText),
                    QMessageBox::Ok, m_pWindow);
    box.setTextFormat(Qt::PlainText);
    m_host.m_messageBoxes.push_back(&box);
    box.exec();
    m_host.m_messageBoxes.pop_back();
}

void CQtHost::CSite::EndDialog(int nResult) {
    if (!m_bEnded) {
        m_bEnded = true;
        m_nResult = nResult;
    }
    if (m_nDepth == 0) {
        Finish();
    }
}

void CQtHost::CSite::Minimize() {
    if (m_pWindow->isVisible()) {
        m_pWindow->showMinimized();
    } else {
        // Shown minimised once the loop starts.
        m_pWindow->setWindowState(m_pWindow->windowState() | Qt::WindowMinimized);
    }
}

// The QApplication that Open started, with the arguments it keeps a
// reference to.
struct CQtHost::CStartedQt {
    std::vector<std::string> vecArguments;
    std::vector<char*> vecArgv;
    int nArgc = 0;
    std::unique_ptr<QApplication> pApplication;
};

CQtHost::CQtHost() {
    m_pContext = new QObject;
    QApplication::setWindowIcon(qt::ProgramIcon());
}

CQtHost::~CQtHost() {
    {
        std::lock_guard<std::mutex> lock(g_stopTargetMutex);
        if (g_pStopTarget == this) {
            g_pStopTarget = nullptr;
        }
    }
    delete m_pContext;
    m_pContext = nullptr;
}

std::unique_ptr<CQtHost> CQtHost::Open(std::string& strProblem) {
    strProblem.clear();
    const QString strWayland = qEnvironmentVariable("WAYLAND_DISPLAY");
    const QString strX11 = qEnvironmentVariable("DISPLAY");
    if (strWayland.isEmpty() && strX11.isEmpty()) {
        return nullptr;
    }
    // Qt runs once per process: a program that started it already shares it.
    if (QCoreApplication::instance()) {
        if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
            return std::make_unique<CQtHost>();
        }
        strProblem = "no window can be opened: Qt runs without widgets";
        return nullptr;
    }
    // Before Qt starts threads of its own, so that they all leave the stop
    // signals to the watcher.
    platform::WatchStopRequests(ForwardStopRequest);

    // The platforms to try, in order. A list the user gave is respected; the
    // last resort is the offscreen platform, which always starts, so that a
    // display that cannot be reached ends here instead of aborting in Qt.
    QString strPlatforms = qEnvironmentVariable("QT_QPA_PLATFORM");
    if (strPlatforms.isEmpty()) {
        strPlatforms = strWayland.isEmpty() ? QStringLiteral("xcb")
                                            : QStringLiteral("wayland;xcb");
    }
    const bool bOffscreenWanted =
        strPlatforms.split(';').value(0).trimmed() == QStringLiteral("offscreen");
    if (!strPlatforms.split(';').contains(QStringLiteral("offscreen"))) {
        strPlatforms += QStringLiteral(";offscreen");
    }

    auto pStarted = std::make_unique<CStartedQt>();
    const std::string strProgram = platform::GetProgramPath();
    pStarted->vecArguments = {strProgram.empty() ? std::string("Tandrel") : strProgram,
                              "-platform", strPlatforms.toStdString()};
    for (std::string& strArgument : pStarted->vecArguments) {
        pStarted->vecArgv.push_back(strArgument.data());
    }
    pStarted->vecArgv.push_back(nullptr);
    pStarted->nArgc = static_cast<int>(pStarted->vecArguments.size());

    std::vector<std::string> held;
    g_pHeldMessages = &held;
    QtMessageHandler previous = qInstallMessageHandler(HoldMessage);
    pStarted->pApplication =
        std::make_unique<QApplication>(pStarted->nArgc, pStarted->vecArgv.data());
    qInstallMessageHandler(previous);
    g_pHeldMessages = nullptr;

    if (QGuiApplication::platformName() == QStringLiteral("offscreen") && !bOffscreenWanted) {
        pStarted->pApplication.reset();
        strProblem = "no window can be opened on display " +
                     (strWayland.isEmpty() ? strX11 : strWayland).toStdString();
        return nullptr;
    }
    // Qt started: what it had to say is no longer beside the point.
    for (const std::string& strMessage : held) {
        std::fputs((strMessage + "\n").c_str(), stderr);
    }
    std::fflush(stderr);

    auto pHost = std::make_unique<CQtHost>();
    pHost->m_pStarted = std::move(pStarted);
    std::lock_guard<std::mutex> lock(g_stopTargetMutex);
    g_pStopTarget = pHost.get();
    return pHost;
}

void CQtHost::RequestStop() {
    std::lock_guard<std::mutex> lock(m_sitesMutex);
    m_bStopRequested = true;
    // Message boxes have only OK: answering them lets the handler that
    // waits on one return and take the Cancel.
    QMetaObject::invokeMethod(
        m_pContext, [this] { CloseMessageBoxes(); }, Qt::QueuedConnection);
    for (CSite* pSite : m_sites) {
        pSite->PostCommand(kIdCancel);
    }
}

void CQtHost::CloseMessageBoxes() {
    for (QWidget* pBox : m_messageBoxes) {
        static_cast<QMessageBox*>(pBox)->done(QMessageBox::Ok);
    }
}

int CQtHost::RunModal(CDialog& dialog) {
    // A dialog opened while another runs belongs above it.
    QWidget* pParent = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_sitesMutex);
        if (!m_sites.empty()) {
            pParent = m_sites.back()->Window();
        }
    }
    return RunModalAbove(dialog, pParent);
}

int CQtHost::RunModalAbove(CDialog& dialog, QWidget* pParent) {
    CSite site(*this, dialog, pParent);
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
    m_sites.pop_back();
    return nResult;
}

void CQtHost::ShowMessageBox(const std::string& strText) {
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(),
                    QString::fromStdString(strText), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.setWindowIcon(qt::ProgramIcon());
    m_messageBoxes.push_back(&box);
    box.exec();
    m_messageBoxes.pop_back();
}

}  // namespace ui
