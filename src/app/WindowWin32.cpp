#include "app/WindowWin32.h"

#include "app/ServerDlg.h"
#include "app/SignalWatcher.h"
#include "platform/Paths.h"
#include "platform/TextCodeWin32.h"

#include <windows.h>
// The view's own names, not the system's macros.
#undef MessageBox
#undef GetWindowText
#undef SetWindowText

#include <cstdio>
#include <exception>
#include <functional>

namespace rs232 {

namespace {

constexpr int kWidth = 560, kHeight = 360;     // the window's outer size
constexpr int kStatusHeight = 20;
constexpr UINT_PTR kStatusTimer = 0x5254;       // refreshes the status line
constexpr UINT kStatusRefreshMs = 250;
constexpr DWORD kPumpBudgetMs = 20;             // one PumpMessages step at most
constexpr const wchar_t* kClassName = L"Rs232ServerWindow";
constexpr int kIconResource = 1;                // resources/rs232-server.rc

std::wstring W(const std::string& text) { return detail::Wide(text); }

class CListEvents : public IEventList {
public:
    void Attach(HWND list) { m_list = list; }
    void Detach() { m_list = nullptr; }
    int GetCount() const override {
        return m_list ? static_cast<int>(SendMessageW(m_list, LB_GETCOUNT, 0, 0)) : 0;
    }
    void DeleteFirst() override {
        if (m_list) SendMessageW(m_list, LB_DELETESTRING, 0, 0);
    }
    void Append(const std::string& line, EEventLevel) override {
        if (m_list) SendMessageW(m_list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(line).c_str()));
    }
    void SelectLast() override {
        if (m_list) SendMessageW(m_list, LB_SETCURSEL, GetCount() - 1, 0);
    }

private:
    HWND m_list = nullptr;
};

class CWin32ServerView : public IServerView {
public:
    explicit CWin32ServerView(CSignalWatcher& signals) : m_signals(signals) {}

    int DoModal(CServerDlg& dlg) {
        m_pDlg = &dlg;
        if (!Create()) return 1;
        Dispatch([](CServerDlg& d) { d.OnInitDialog(); });
        if (!m_bDestroyed) {
            ShowWindow(m_hwnd, SW_SHOWNORMAL);
            SetFocus(m_list);
            ::SetTimer(m_hwnd, kStatusTimer, kStatusRefreshMs, nullptr);
        }
        MSG msg;
        while (!m_bDestroyed && GetMessageW(&msg, nullptr, 0, 0) > 0) Deliver(msg);
        m_pDlg = nullptr;
        return dlg.ExitStatus();
    }

    IEventList& EventList() override { return m_events; }
    void MessageBox(const std::string& text) override {
        ::MessageBoxW(m_bDestroyed ? nullptr : m_hwnd, W(text).c_str(), W(m_title).c_str(),
                      MB_OK | MB_ICONINFORMATION);
    }
    void ReportError(const std::string& text) override {
        // Not modal, so that the next tick runs on time: on the status line and on stderr.
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
        if (m_status) ::SetWindowTextW(m_status, W(text).c_str());
    }
    std::string GetWindowText() const override { return m_title; }
    void SetWindowText(const std::string& text) override {
        m_title = text;
        if (m_hwnd) ::SetWindowTextW(m_hwnd, W(text).c_str());
    }
    void DestroyWindow() override {
        if (m_bDestroyed) return;
        m_bDestroyed = true;
        m_events.Detach();
        if (m_hwnd) ::DestroyWindow(m_hwnd);
        m_hwnd = m_list = m_status = nullptr;
        PostQuitMessage(0);
    }
    void SetTimer(int id, int periodMs) override {
        if (m_bDestroyed) return;
        m_nTimerId = id;
        ::SetTimer(m_hwnd, static_cast<UINT_PTR>(id), static_cast<UINT>(periodMs), nullptr);
    }
    void KillTimer(int id) override {
        if (m_hwnd) ::KillTimer(m_hwnd, static_cast<UINT_PTR>(id));
    }
    bool IsKeyHeld(EKey key) const override {
        return (GetKeyState(key == EKey::Escape ? VK_ESCAPE : VK_RETURN) & 0x8000) != 0;
    }
    void Sleep(int milliseconds) override { ::Sleep(static_cast<DWORD>(milliseconds)); }
    void PumpMessages() override {
        const DWORD end = GetTickCount() + kPumpBudgetMs;
        MSG msg;
        while (!m_bDestroyed && GetTickCount() < end && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            Deliver(msg);
    }

private:
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM w, LPARAM l) {
        auto* self = reinterpret_cast<CWin32ServerView*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (message == WM_NCCREATE) {
            self = static_cast<CWin32ServerView*>(reinterpret_cast<CREATESTRUCTW*>(l)->lpCreateParams);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
        if (self) {
            switch (message) {
                case WM_CLOSE:  // only through the logic's closing path
                    self->Dispatch([](CServerDlg& d) { d.OnCancel(); });
                    return 0;
                case WM_TIMER:
                    self->OnTimer(w);
                    return 0;
                case WM_SIZE:
                    self->Layout();
                    return 0;
                default: break;
            }
        }
        return DefWindowProcW(hwnd, message, w, l);
    }

    bool Create() {
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = Procedure;
        wc.hInstance = instance;
        wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconResource));
        if (!wc.hIcon) wc.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
        wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = kClassName;
        RegisterClassExW(&wc);
        m_title = CServerDlg::kTitle;
        // Minimise, no maximise, a fixed size.
        m_hwnd = CreateWindowExW(0, kClassName, W(m_title).c_str(),
                                 WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                                 CW_USEDEFAULT, CW_USEDEFAULT, kWidth, kHeight, nullptr, nullptr,
                                 instance, this);
        if (!m_hwnd) return false;
        m_list = CreateWindowExW(WS_EX_CLIENTEDGE, L"LISTBOX", L"",
                                 WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY |
                                     LBS_NOINTEGRALHEIGHT,
                                 0, 0, 0, 0, m_hwnd, nullptr, instance, nullptr);
        m_status = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP, 0,
                                   0, 0, 0, m_hwnd, nullptr, instance, nullptr);
        const HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
        SendMessageW(m_list, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        SendMessageW(m_status, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        m_events.Attach(m_list);
        Layout();
        return true;
    }

    void Layout() {
        if (!m_hwnd || !m_list) return;
        RECT r;
        GetClientRect(m_hwnd, &r);
        MoveWindow(m_list, 4, 4, r.right - 8, r.bottom - kStatusHeight - 8, TRUE);
        MoveWindow(m_status, 6, r.bottom - kStatusHeight, r.right - 12, kStatusHeight - 2, TRUE);
    }

    // Enter and Escape reach the logic as OK and Cancel, whichever control has the focus.
    void Deliver(MSG& msg) {
        if (msg.message == WM_KEYDOWN && (msg.wParam == VK_RETURN || msg.wParam == VK_ESCAPE) &&
            !(msg.lParam & (1 << 30))) {
            if (msg.wParam == VK_RETURN)
                Dispatch([](CServerDlg& d) { d.OnOK(); });
            else
                Dispatch([](CServerDlg& d) { d.OnCancel(); });
            return;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }

    void OnTimer(WPARAM id) {
        if (m_signals.TakePending()) {
            Dispatch([](CServerDlg& d) { d.OnCancel(); });
            return;
        }
        if (id == kStatusTimer) {
            RefreshStatus();
            return;
        }
        Dispatch([this](CServerDlg& d) { d.OnTimer(m_nTimerId); });
    }

    void RefreshStatus() {
        if (!m_pDlg || m_bDestroyed) return;
        const SOperatorStatus status = m_pDlg->Status();
        std::string line = status.progress.empty() ? status.Line() : status.progress;
        if (!status.progress.empty() && !status.rate.empty()) line += ", " + status.rate;
        ::SetWindowTextW(m_status, W(line).c_str());
    }

    void Dispatch(const std::function<void(CServerDlg&)>& handler) {
        if (!m_pDlg) return;
        try {
            handler(*m_pDlg);
        } catch (const std::exception& e) {
            ReportError(std::string("Error: ") + e.what());
        } catch (...) {
            ReportError("Error: unexpected failure");
        }
    }

    CSignalWatcher& m_signals;
    CListEvents m_events;
    CServerDlg* m_pDlg = nullptr;
    HWND m_hwnd = nullptr, m_list = nullptr, m_status = nullptr;
    std::string m_title;
    bool m_bDestroyed = false;
    int m_nTimerId = 0;
};

}  // namespace

void CWin32Shell::MessageBox(const std::string& text) {
    ::MessageBoxW(nullptr, W(text).c_str(), W(CServerDlg::kTitle).c_str(), MB_OK | MB_ICONINFORMATION);
}

int CWin32Shell::RunMainWindow(const std::string& commandLine) {
    CSignalWatcher signals;
    CWin32ServerView view(signals);
    CServerDlg dlg(view, commandLine, ExecutablePath());
    return view.DoModal(dlg);
}

}  // namespace rs232
