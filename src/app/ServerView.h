// What the main window's logic needs of whatever shows it: a Qt dialog or the headless console.
// Every operation runs on the caller's thread and returns promptly, except Sleep (blocks for the
// given time), MessageBox (may wait for the operator's OK) and PumpMessages (one bounded step of
// event processing, which may run the window's own handlers nested).
#pragma once

#include <string>

#include "log/EventList.h"

namespace rs232 {

enum class EKey { Enter, Escape };

class IServerView {
public:
    virtual ~IServerView() = default;

    // The list of event lines. Once the window has been destroyed the list ignores every
    // operation and counts 0 lines; the object itself lives as long as the view.
    virtual IEventList& EventList() = 0;

    // A modal message with an OK button.
    virtual void MessageBox(const std::string& text) = 0;
    // Tells the operator about a failure inside a tick without waiting for an answer, so that
    // the next tick runs on time.
    virtual void ReportError(const std::string& text) = 0;

    virtual std::string GetWindowText() const = 0;
    virtual void SetWindowText(const std::string& text) = 0;

    // Hides the window for good and ends the modal run once control is back in its loop.
    // Nothing is deleted here: the caller may still be inside a tick.
    virtual void DestroyWindow() = 0;

    // A periodic tick on the view's thread; an overdue tick is delivered once, never queued up.
    virtual void SetTimer(int id, int periodMs) = 0;
    virtual void KillTimer(int id) = 0;

    virtual bool IsKeyHeld(EKey key) const = 0;
    virtual void Sleep(int milliseconds) = 0;
    virtual void PumpMessages() = 0;
};

}  // namespace rs232
