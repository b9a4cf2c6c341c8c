// The window view: a dialog with the title, a menu, the list of event lines (errors in red,
// warnings in orange, each line whole in its tooltip, scrolled sideways when long), the
// transfer in progress and a status bar; a QTimer tick and a socket notifier on the
// server's device that serves bytes as they arrive, QMessageBox. It opens at the designed
// size, which is also its smallest. The status and progress are the logic's (CServerDlg::Status),
// read a few times a second, so a transfer never waits for the window.
// Enter and Escape reach the logic as OK and Cancel while they are held down, so they never close
// the window; the close button does. SIGINT/SIGTERM act as the close button, SIGHUP re-reads the
// settings. No exception leaves a handler into Qt's event loop.
#pragma once

#include <QDialog>
#include <QListWidget>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <set>
#include <string>

#include "app/ServerApp.h"
#include "app/ServerView.h"

class QMessageBox;
class QSocketNotifier;
class QEventLoop;
class QLabel;
class QProgressBar;
class QStatusBar;

namespace rs232 {

class CServerDlg;
class CSignalWatcher;

// The list widget as the routes see it; once detached (window destroyed) it ignores everything
// and counts 0 lines.
class CQtEventList : public IEventList {
public:
    explicit CQtEventList(QListWidget* list) : m_list(list) {}
    int GetCount() const override;
    void DeleteFirst() override;
    void Append(const std::string& line, EEventLevel level) override;
    void SelectLast() override;
    void Detach() { m_list = nullptr; }

private:
    QPointer<QListWidget> m_list;
};

class CQtServerView : public QDialog, public IServerView {
    Q_OBJECT
public:
    // signalWatcher may be null: then only the close button closes the window.
    explicit CQtServerView(CSignalWatcher* signalWatcher = nullptr);
    ~CQtServerView() override;

    // Runs start-up, shows the window and processes events until the window is destroyed.
    void DoModal(CServerDlg& dlg);
    // Routes the window's events to dlg without running a loop of its own (DoModal does this).
    void Attach(CServerDlg* dlg) { m_pDlg = dlg; }

    QListWidget* ListWidget() const { return m_pList; }
    QStatusBar* StatusBar() const { return m_pStatusBar; }
    QProgressBar* ProgressBar() const { return m_pProgressBar; }
    // Shows the logic's current status and transfer (the status timer calls this).
    void RefreshStatus();

    IEventList& EventList() override { return m_events; }
    void MessageBox(const std::string& text) override;
    void ReportError(const std::string& text) override;
    std::string GetWindowText() const override;
    void SetWindowText(const std::string& text) override;
    void DestroyWindow() override;
    void SetTimer(int id, int periodMs) override;
    void KillTimer(int id) override;
    bool IsKeyHeld(EKey key) const override;
    void Sleep(int milliseconds) override;
    void PumpMessages() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;

public slots:
    void accept() override;
    void reject() override;

private:
    // Runs a handler of the logic; an exception is reported, never passed on to Qt.
    void Dispatch(const std::function<void(CServerDlg&)>& handler);
    void OnSignal();
    // Opens a file or directory with the desktop's default program.
    void OpenPath(const std::string& path);
    void OnArrival();
    // Points the device notifier at the logic's current ArrivalFd() and enables it; removes it
    // when there is none.
    void WatchDevice();

    QListWidget* m_pList = nullptr;
    QStatusBar* m_pStatusBar = nullptr;
    QLabel* m_pDevice = nullptr;
    QLabel* m_pLink = nullptr;
    QLabel* m_pContact = nullptr;
    QLabel* m_pCounts = nullptr;
    QWidget* m_pTransfer = nullptr;
    QLabel* m_pProgressText = nullptr;
    QProgressBar* m_pProgressBar = nullptr;
    QTimer m_statusTimer;
    CQtEventList m_events;
    QTimer m_timer;
    int m_nTimerId = 0;
    CServerDlg* m_pDlg = nullptr;
    CSignalWatcher* m_pSignals = nullptr;
    QSocketNotifier* m_pSignalNotifier = nullptr;
    QPointer<QSocketNotifier> m_pDeviceNotifier;
    QPointer<QMessageBox> m_pErrorBox;
    QEventLoop* m_pLoop = nullptr;
    std::set<int> m_heldKeys;
    bool m_bDestroyed = false;
};

class CQtShell : public IAppShell {
public:
    explicit CQtShell(CSignalWatcher& signalWatcher) : m_signals(signalWatcher) {}
    void MessageBox(const std::string& text) override;
    int RunMainWindow(const std::string& commandLine) override;

private:
    CSignalWatcher& m_signals;
};

// The program's icon: the PNG, and the SVG where Qt's SVG support is installed.
QIcon ProgramIcon();

// A modal message with an OK button and no icon, captioned with the application's name; the
// text also goes to stderr for whoever started the program.
void ShowMessageBox(QWidget* parent, const std::string& text);

}  // namespace rs232
