#include "app/QtView.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QGridLayout>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QStatusBar>
#include <QUrl>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QKeyEvent>
#include <QListWidget>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QThread>
#include <QVBoxLayout>

#include <cstdio>

#include "app/ServerDlg.h"
#include "app/SignalWatcher.h"
#include "app/SystemInfo.h"

namespace rs232 {

namespace {
// 320 x 202 dialog units at 8 points.
constexpr int kWindowWidth = 480;
constexpr int kWindowHeight = 330;
constexpr int kMargin = 8;
// Longest a single pump step may spend in Qt's event processing.
constexpr int kPumpBudgetMs = 10;
// How often the status bar and the progress show the logic's figures.
constexpr int kStatusRefreshMs = 250;

QString ToQt(const std::string& text) { return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())); }
}  // namespace

int CQtEventList::GetCount() const { return m_list ? m_list->count() : 0; }

void CQtEventList::DeleteFirst() {
    if (m_list && m_list->count() > 0) delete m_list->takeItem(0);
}

void CQtEventList::Append(const std::string& line, EEventLevel level) {
    if (!m_list) return;
    auto* item = new QListWidgetItem(ToQt(line));
    item->setToolTip(item->text());
    switch (level) {
        case EEventLevel::Error:
            item->setForeground(QColor(0xb0, 0x00, 0x20));
            item->setBackground(QColor(0xfd, 0xe8, 0xea));
            break;
        case EEventLevel::Warning: item->setForeground(QColor(0xa0, 0x50, 0x00)); break;
        case EEventLevel::Info: break;
    }
    m_list->addItem(item);
}

void CQtEventList::SelectLast() {
    if (!m_list || m_list->count() == 0) return;
    m_list->setCurrentRow(m_list->count() - 1);
    m_list->scrollToItem(m_list->currentItem());
}

QIcon ProgramIcon() {
    QIcon icon(QStringLiteral(":/rs232-server.png"));
    icon.addFile(QStringLiteral(":/rs232-server.svg"));
    return icon;
}

void ShowMessageBox(QWidget* parent, const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), ToQt(text),
                    QMessageBox::Ok, parent);
    box.exec();
}

CQtServerView::CQtServerView(CSignalWatcher* signalWatcher)
    : QDialog(nullptr,
              Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                  Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                  Qt::WindowCloseButtonHint),
      m_pList(new QListWidget(this)),
      m_events(m_pList),
      m_pSignals(signalWatcher) {
    setWindowTitle(CServerDlg::kTitle);
    setWindowIcon(ProgramIcon());
    resize(kWindowWidth, kWindowHeight);
    setMinimumSize(kWindowWidth, kWindowHeight);
    setSizeGripEnabled(false);  // the status bar has one

    auto* menuBar = new QMenuBar(this);
    QMenu* fileMenu = menuBar->addMenu(tr("&File"));
    fileMenu->addAction(tr("Open &Log File"), this, [this] {
        if (m_pDlg) OpenPath(m_pDlg->LogFilePath());
    });
    fileMenu->addAction(tr("Open &Base Directory"), this, [this] {
        if (m_pDlg) OpenPath(m_pDlg->GetBasePath());
    });

    // The transfer: what and how much above, the bar with the rate below.
    m_pTransfer = new QWidget(this);
    auto* transferRows = new QVBoxLayout(m_pTransfer);
    transferRows->setContentsMargins(0, kMargin / 2, 0, 0);
    transferRows->setSpacing(2);
    m_pProgressText = new QLabel(m_pTransfer);
    m_pProgressBar = new QProgressBar(m_pTransfer);
    m_pProgressBar->setRange(0, 100);
    transferRows->addWidget(m_pProgressText);
    transferRows->addWidget(m_pProgressBar);
    m_pTransfer->hide();

    // Two rows in the status bar, so that all four facts show at the smallest size.
    m_pStatusBar = new QStatusBar(this);
    auto* facts = new QWidget(m_pStatusBar);
    auto* grid = new QGridLayout(facts);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setVerticalSpacing(0);
    m_pDevice = new QLabel(facts);
    m_pLink = new QLabel(facts);
    m_pContact = new QLabel(facts);
    m_pCounts = new QLabel(facts);
    grid->addWidget(m_pDevice, 0, 0);
    grid->addWidget(m_pLink, 0, 1);
    grid->addWidget(m_pContact, 1, 0);
    grid->addWidget(m_pCounts, 1, 1);
    m_pStatusBar->addWidget(facts, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kMargin, 0, kMargin, 0);
    layout->setMenuBar(menuBar);
    layout->addWidget(m_pList, 1);
    layout->addWidget(m_pTransfer);
    layout->addWidget(m_pStatusBar);
    // Long lines scroll sideways; each line's tooltip holds it whole.
    m_pList->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_pList->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_pList->setWordWrap(false);
    m_pList->setTextElideMode(Qt::ElideNone);
    // Not uniform: the list's width, and with it the horizontal scroll bar, follows the longest line.
    m_pList->setUniformItemSizes(false);
    m_pList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pList->setFocus();

    connect(&m_statusTimer, &QTimer::timeout, this, [this] { RefreshStatus(); });
    m_statusTimer.start(kStatusRefreshMs);

    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this,
            [this] {
                Dispatch([this](CServerDlg& dlg) { dlg.OnTimer(m_nTimerId); });
                WatchDevice();
            });

    if (m_pSignals && m_pSignals->Fd() >= 0) {
        m_pSignalNotifier = new QSocketNotifier(m_pSignals->Fd(), QSocketNotifier::Read, this);
        connect(m_pSignalNotifier, &QSocketNotifier::activated, this, [this] { OnSignal(); });
    }
}

CQtServerView::~CQtServerView() = default;

void CQtServerView::DoModal(CServerDlg& dlg) {
    m_pDlg = &dlg;
    Dispatch([](CServerDlg& d) { d.OnInitDialog(); });
    if (!m_bDestroyed) {
        show();
        m_pList->setFocus();
        QEventLoop loop;
        m_pLoop = &loop;
        loop.exec();
        m_pLoop = nullptr;
    }
    m_pDlg = nullptr;
}

void CQtServerView::Dispatch(const std::function<void(CServerDlg&)>& handler) {
    if (!m_pDlg) return;
    try {
        handler(*m_pDlg);
    } catch (const std::exception& e) {
        ReportError(std::string("Error: ") + e.what());
    } catch (...) {
        ReportError("Error: unexpected failure");
    }
}

void CQtServerView::OnSignal() {
    if (!m_pSignals) return;
    if (m_pSignals->TakeReload()) Dispatch([](CServerDlg& dlg) { dlg.OnReload(); });
    if (m_pSignals->TakePending()) Dispatch([](CServerDlg& dlg) { dlg.OnCancel(); });
}

void CQtServerView::RefreshStatus() {
    if (!m_pDlg || m_bDestroyed) return;
    const SOperatorStatus status = m_pDlg->Status();
    m_pDevice->setText(ToQt(status.device));
    m_pLink->setText(ToQt(status.link));
    m_pContact->setText(ToQt(status.contact));
    m_pCounts->setText(ToQt(status.counts));
    if (m_pTransfer->isVisible() != (status.percent >= 0)) {
        m_pTransfer->setVisible(status.percent >= 0);
        // The list changes height with it: keep the current line in sight.
        if (m_pList->currentItem()) m_pList->scrollToItem(m_pList->currentItem());
    }
    if (status.percent >= 0) {
        m_pProgressText->setText(ToQt(status.progress));
        m_pProgressBar->setFormat(status.rate.empty() ? QStringLiteral("%p%")
                                                      : QStringLiteral("%p%  ") + ToQt(status.rate));
        m_pProgressBar->setValue(status.percent);
    }
}

void CQtServerView::OpenPath(const std::string& path) {
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(ToQt(path))))
        ReportError("Cannot open " + path + " with the desktop's default program");
}

void CQtServerView::OnArrival() {
    bool took = false;
    Dispatch([&took](CServerDlg& dlg) { took = dlg.OnArrival(); });
    // A device that is readable but gives nothing (hung up, or a request is being served
    // further up the stack) is left to the next tick.
    if (took)
        WatchDevice();
    else if (m_pDeviceNotifier)
        m_pDeviceNotifier->setEnabled(false);
}

void CQtServerView::WatchDevice() {
    const int fd = m_pDlg ? m_pDlg->ArrivalFd() : -1;
    if (m_pDeviceNotifier && m_pDeviceNotifier->socket() != fd) {
        // This may run inside the notifier's own signal: let Qt delete it afterwards.
        m_pDeviceNotifier->setEnabled(false);
        m_pDeviceNotifier->deleteLater();
        m_pDeviceNotifier = nullptr;
    }
    if (fd < 0) return;
    if (!m_pDeviceNotifier) {
        m_pDeviceNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(m_pDeviceNotifier, &QSocketNotifier::activated, this, [this] { OnArrival(); });
    }
    m_pDeviceNotifier->setEnabled(true);
}

void CQtServerView::MessageBox(const std::string& text) { ShowMessageBox(this, text); }

void CQtServerView::ReportError(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    // Not modal: the ticks go on while the report waits for the operator, and a new report
    // replaces the text of one still open instead of stacking boxes.
    if (m_pErrorBox) {
        m_pErrorBox->setText(ToQt(text));
        return;
    }
    m_pErrorBox = new QMessageBox(QMessageBox::NoIcon, QCoreApplication::applicationName(),
                                  ToQt(text), QMessageBox::Ok, this);
    m_pErrorBox->setAttribute(Qt::WA_DeleteOnClose);
    m_pErrorBox->setModal(false);
    m_pErrorBox->show();
}

std::string CQtServerView::GetWindowText() const { return windowTitle().toLocal8Bit().toStdString(); }

void CQtServerView::SetWindowText(const std::string& text) { setWindowTitle(ToQt(text)); }

void CQtServerView::DestroyWindow() {
    // The caller may be a tick still running below us: only hide and stop here; the objects go
    // once the modal loop has returned.
    m_bDestroyed = true;
    m_timer.stop();
    m_statusTimer.stop();
    WatchDevice();  // the logic has no device any more: the notifier goes
    m_events.Detach();
    hide();
    if (m_pLoop) m_pLoop->quit();
}

void CQtServerView::SetTimer(int id, int periodMs) {
    if (m_bDestroyed) return;
    m_nTimerId = id;
    m_timer.start(periodMs);
}

void CQtServerView::KillTimer(int /*id*/) { m_timer.stop(); }

bool CQtServerView::IsKeyHeld(EKey key) const {
    if (key == EKey::Escape) return m_heldKeys.count(Qt::Key_Escape) > 0;
    return m_heldKeys.count(Qt::Key_Return) > 0 || m_heldKeys.count(Qt::Key_Enter) > 0;
}

void CQtServerView::Sleep(int milliseconds) { QThread::msleep(static_cast<unsigned long>(milliseconds)); }

void CQtServerView::PumpMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents, kPumpBudgetMs);
}

void CQtServerView::closeEvent(QCloseEvent* event) {
    // The window goes only through the logic's closing path (DestroyWindow).
    event->ignore();
    Dispatch([](CServerDlg& dlg) { dlg.OnCancel(); });
}

void CQtServerView::keyPressEvent(QKeyEvent* event) {
    if (!event->isAutoRepeat()) m_heldKeys.insert(event->key());
    // Escape turns into reject(), Enter into the default button; both reach the logic while the
    // key is held, which ignores them.
    QDialog::keyPressEvent(event);
}

void CQtServerView::keyReleaseEvent(QKeyEvent* event) {
    if (!event->isAutoRepeat()) m_heldKeys.erase(event->key());
    QDialog::keyReleaseEvent(event);
}

bool CQtServerView::event(QEvent* event) {
    // Releases that happen elsewhere never arrive: forget what was held when focus leaves.
    if (event->type() == QEvent::WindowDeactivate) m_heldKeys.clear();
    return QDialog::event(event);
}

void CQtServerView::accept() {
    Dispatch([](CServerDlg& dlg) { dlg.OnOK(); });
}

void CQtServerView::reject() { Dispatch([](CServerDlg& dlg) { dlg.OnCancel(); }); }

void CQtShell::MessageBox(const std::string& text) { ShowMessageBox(nullptr, text); }

int CQtShell::RunMainWindow(const std::string& commandLine) {
    CQtServerView view(&m_signals);
    CServerDlg dlg(view, commandLine, ExecutablePath());
    view.DoModal(dlg);
    return dlg.ExitStatus();
}

}  // namespace rs232
