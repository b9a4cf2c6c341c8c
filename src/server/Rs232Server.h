// The protocol engine: answers ENQ, receives and acknowledges request blocks, dispatches them to
// the request handlers and sends reply blocks with retries.
//
// Errors, for the whole server layer: int result codes, 1 success and negative failures (the
// port's -1..-8 and the codes below), with a status text for the event log; a request's outcome
// (Outcome.h) carries its result. WriteDirectoryToFile keeps its own 0/-1/-2 (written, nothing
// to list, not written). A CFileException that ends a request becomes its failed outcome; none
// leaves Poll.
//
// Results (1 success): -101 already running; -102 not running; -105 a reply block was not
// written whole; -106 header time-out (ReceiveBlock) or three answer time-outs (SendBlockRetry);
// -107 three NAKs; -108 the client answered EOT; -109 another answer byte, or an unknown request
// byte in Poll; -110 block error [1]/[2]/[3]; -111 no handler for the block type.
// StartServer also passes on the CSerialPort::Open codes; a device that refused its settings
// (-3/-4) is closed again.
//
// Timing: a request block's header must arrive within SLinkLimits::header of its STX and the
// rest within SLinkLimits::rest; each reply block waits SLinkLimits::answer for its answer byte
// and is sent at most five times. Every wait ends as soon as enough bytes are queued.
//
// Everything runs on the caller's thread. Handlers may call PumpMessages, which can run a nested
// Poll (a nested Poll does nothing while a request is being served) or StopServer (the request
// then fails at its next send with -105). A device that hangs up (an unplugged adapter) is closed
// and logged once; later ticks open it again as soon as it is back.
//
// Outcomes: a handler returns what its block came to (SPollEvent): the request's end, made by
// End and nothing else, or for an upload's start and data blocks a line of its own. An upload is
// one request from its start block to its end block; a refused start block ends it at once, and
// the blocks the client sends after it end nothing. A CFileException out of a handler ends its
// request as failed, for the operator's error report. Poll hands the value on; every other
// event Poll reports carries its level in the same value.
//
// Adding a request kind: its type in Wire.h (ERequest, kRequestTypes, kRequestKinds), its
// handler declared below and entered in kHandlers (Rs232Server.cpp), its source beside this
// engine (CMakeLists.txt). Counts, state file labels and audit records follow from Wire.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "link/Block.h"
#include "link/Crc32.h"
#include "link/SerialPort.h"
#include "log/EventLevel.h"
#include "server/Outcome.h"

namespace rs232 {

class CDirectory;

enum : int {
    kServerAlreadyRunning = -101,
    kServerNotRunning = -102,
    kSendShortWrite = -105,
    kTimeout = -106,
    kSendNakLimit = -107,
    kSendEot = -108,
    kUnknownAnswer = -109,
    kBlockError = -110,
    kRefused = -111,
};

// Time limits of the link, and the pause before each download content block.
struct SLinkLimits {
    std::chrono::milliseconds header = wire::kHeaderWait;
    std::chrono::milliseconds rest = wire::kRestWait;
    std::chrono::milliseconds answer = wire::kAnswerWait;
    std::chrono::milliseconds blockPause = wire::kBlockPause;
};

// Optional limits on what clients may reach, off by default. root: every resolved path must lie
// inside this directory once ".." is taken out and symbolic links are resolved. readOnly: the
// requests that change files (FT, DF, CF, DL) are refused.
struct SAccessLimits {
    std::string root;
    bool readOnly = false;
};

// What the engine is doing, for the operator: kept as it happens, read by the views and the
// service notification.
enum class ELinkState { Stopped, Waiting, Serving, DeviceLost };

// The upload or download in progress. An upload spans ticks; one that has had no block for
// CRs232Server::kUploadIdle no longer counts as in progress.
struct STransfer {
    using Clock = std::chrono::steady_clock;
    bool active = false;
    bool upload = false;
    std::string file;
    int64_t done = 0;   // bytes
    int64_t total = 0;  // bytes announced (upload) or the file's length (download)
    Clock::time_point started{};
    Clock::time_point updated{};
};

// A request counts once it has its outcome: an upload at its end block (or a start block that
// was refused or failed), every other request when its handler returns. Damaged blocks the
// client sends again, and FT blocks outside an upload, are not requests.
struct SActivity {
    int64_t lastContact = 0;  // CurrentTime() of the last byte from a client, 0 before any
    long served = 0;
    long failed = 0;          // refused or failed
    STransfer transfer;
};

// What one Poll came to: the status text (empty when there is nothing to log), its level, and
// the outcome of the request that ended with this Poll, whose text and level these are; but an
// upload's start block that ends the upload in progress keeps its own line beside that upload's
// outcome. report: a file error, for the operator's error report instead of the event log.
struct SPollEvent {
    std::string text;
    EEventLevel level = EEventLevel::Info;
    std::optional<SRequestOutcome> outcome;
    bool report = false;
};

// Optional rules for clients written against drive letters and a file system that ignores case,
// off by default. drives: letter (upper case) -> directory; when not empty, a request path
// "X:..." resolves below the directory of X, and a letter not listed is refused. ignoreCase: a
// name that does not exist as written is looked up ignoring ASCII letter case.
struct SPathRules {
    std::map<char, std::string> drives;
    bool ignoreCase = false;
    char defaultDrive = 0;  // of a rooted path without a letter; 0: C
};

class CRs232Server : public CSerialPort {
public:
    // A request block's handler: CNT, the LEN data bytes (valid during the call only), LEN.
    using Handler = SPollEvent (CRs232Server::*)(long cnt, const uint8_t* data, int len);
    // By request kind, in the order of wire::kRequestTypes.
    static const Handler kHandlers[wire::kRequestKinds];
    // How often a lost device is looked for again.
    static constexpr std::chrono::milliseconds kReopenInterval{1000};
    // An upload without a block for this long is shown as stalled, no longer in progress.
    static constexpr std::chrono::seconds kUploadIdle{10};

    CRs232Server();
    ~CRs232Server() override;

    int StartServer(int port, int baudRate);
    int StopServer();
    bool IsRunning() const { return m_bRunning != 0; }
    // A request is being served right now (a nested tick is running inside it).
    bool IsServing() const { return m_bServing; }

    ELinkState LinkState() const;
    const SActivity& Activity() const { return m_activity; }
    // The transfer in progress, or nullptr.
    const STransfer* Transfer() const;
    // What a view waits on besides its tick: the device's descriptor while the server runs with
    // its device open, -1 otherwise. It also becomes readable when the device hangs up.
    int ArrivalFd() const { return m_bRunning ? GetFd() : -1; }
    // Bytes are queued for the next Poll.
    bool HasQueuedInput() { return m_bRunning && IsOpen() && GetInQueue() > 0; }
    // The last Poll found the line quiet: nothing queued, no hang-up.
    bool FoundQuiet() const { return m_bQuiet; }

    int Poll(std::string& status);
    // The same tick, with the status text's level and the outcome of a request that ended.
    int Poll(SPollEvent& event);
    int ReceiveBlock(std::string& status, char type[3], long& cnt, uint8_t* data, int& len);
    int SendBlockRetry(const uint8_t* block, int length);
    int BuildBlock(const char* type, long cnt, int len, const void* data, uint8_t* out,
                   int& outLength) const;

    void SetBasePath(const std::string& path) { m_strBasePath = path; }
    void SetBackupPath(const std::string& path) { m_strBackupPath = path; }
    const std::string& GetBasePath() const { return m_strBasePath; }
    const std::string& GetBackupPath() const { return m_strBackupPath; }

    static int IsAbsolutePath(const std::string& path);
    // Request path -> Linux path: backslashes become '/'; a relative path gets the base path put
    // directly in front; a drive letter goes to its [DRIVES] directory, or without any
    // [DRIVES] is dropped and the rest taken from the root; with [DRIVES] a rooted path without
    // a letter is on the default drive. A drive's directory is its root: ".." there stays there,
    // and where the path really leads (links followed) must lie below it. With ignoreCase the
    // names are then looked up (NameLookup.h). False, with a status text, for a letter that
    // [DRIVES] does not list, a UNC path with [DRIVES], a path that leads off its drive or a name
    // that matches several entries ignoring case.
    bool ResolvePath(const std::string& requestPath, std::string& resolved,
                     std::string& status) const;

    void SetPathRules(const SPathRules& rules) { m_paths = rules; }
    const SPathRules& GetPathRules() const { return m_paths; }

    // Lines raised in the middle of a request go out through the event route, the one its owner
    // logs its own lines through; nothing is logged without one.
    using EventRoute = std::function<void(const std::string& text, EEventLevel level)>;
    void SetEventRoute(EventRoute route) { m_eventRoute = std::move(route); }
    void LogMessage(const std::string& text, EEventLevel level = EEventLevel::Info);

    // Filled by the view: one bounded step of event processing. Nothing by default.
    void SetMessagePump(std::function<void()> pump) { m_pumpMessages = std::move(pump); }
    void PumpMessages();

    void SetAccessLimits(const SAccessLimits& limits);
    const SAccessLimits& GetAccessLimits() const { return m_access; }

    void SetLinkLimits(const SLinkLimits& limits) { m_limits = limits; }
    const SLinkLimits& GetLinkLimits() const { return m_limits; }

    // Request handlers, one source each beside this engine.
    SPollEvent FTBlockReceived(long cnt, const uint8_t* data, int len);
    SPollEvent RFBlockReceived(long cnt, const uint8_t* data, int len);
    SPollEvent IRBlockReceived(long cnt, const uint8_t* data, int len);
    SPollEvent DFBlockReceived(long cnt, const uint8_t* data, int len);
    SPollEvent CFBlockReceived(long cnt, const uint8_t* data, int len);
    SPollEvent DRBlockReceived(long cnt, const uint8_t* data, int len);
    SPollEvent DLBlockReceived(long cnt, const uint8_t* data, int len);

    int WriteDirectoryToFile(const CDirectory& dir, const std::string& listFile,
                             const std::string& directory);

protected:
    static constexpr int kMaxRequestPath = wire::kMaxRequestPath;
    static constexpr int kMaxPathPart = wire::kMaxPathPart;

    // Rules shared by the handlers (RequestRules.cpp).
    // Sets "Error: <type> Block only with CNT 0 allowed" and returns false unless cnt is 0.
    static bool AcceptOnlyCntZero(long cnt, const char* type, std::string& status);
    // The request text: the data up to the first NUL.
    static std::string RequestText(const uint8_t* data, int len);
    // Splits "first LF second" at the first line feed and cuts each part at its first NUL.
    // False, with the status text "Error: <type> Block Data not separated" or one that refuses
    // a part of more than kMaxPathPart bytes, when the request cannot be taken.
    static bool SplitTwoPaths(const char* type, const uint8_t* data, int len, std::string& first,
                              std::string& second, std::string& status);
    // The common start of CF and DL: CNT 0, a server that may change files, two separated parts;
    // first and second come back resolved. False with the refusal's status text otherwise.
    bool AcceptTwoPathRequest(const char* type, long cnt, const uint8_t* data, int len,
                              std::string& first, std::string& second, std::string& status) const;
    // False, with the status text "Access to <path> refused: outside <root>", when a resolved
    // path lies outside the access root.
    bool AcceptPath(const std::string& resolved, std::string& status) const;
    // The request's file before any check: the path resolved, or as sent when it does not.
    void NoteRequestFile(const std::string& requestPath);
    // ResolvePath, the resolved path then the request's file, and AcceptPath.
    bool ResolveRequestPath(const std::string& requestPath, std::string& resolved,
                            std::string& status);
    // For a file the request creates or replaces: AcceptPath, then opens the directory that
    // will hold it into `dir` and checks where that directory really is. The file is then
    // written through `dir` only. The directory is noted in the temp-directory journal, so that
    // a start after a kill can remove temp files left there. A directory that cannot be opened
    // passes (dir stays closed and the write fails).
    bool AcceptTarget(const std::string& resolved, CDirectory& dir, std::string& status);
    bool InsideRoot(const std::string& canonical) const;
    // Both canonical: canonical is root or lies below it.
    static bool InsideDirectory(const std::string& canonical, const std::string& root);
    // Journal of the directories temp files were made in (TMPDIRS<port>.TMP in the working
    // directory); RemoveLeftoverTemps, run at the start, sweeps them and empties it.
    std::string TempDirJournal() const;
    void RemoveLeftoverTemps();
    // False, with the status text "Error: <type> Block refused, the server is read-only", when
    // the server is read-only.
    bool AcceptChange(const char* type, std::string& status) const;
    // BuildBlock + SendBlockRetry.
    int SendReplyBlock(const char* type, long cnt, const void* data, int len);

    // What the request being served has reached: Poll opens it for each request block with the
    // kind and, but for DR and FT, the file (NoteRequestFile of the first part); the handler
    // puts in the resolved file, bytes, checksum and backup, SendBlockRetry the retries. An
    // upload keeps its own across its blocks (SUploadState::request) and takes it back at its end.
    SRequestOutcome m_request;
    // The request's end, the only one: its outcome with result, text and level (Served: Info
    // unless given; Refused, Failed: Error) and its duration, counted here. The handler returns
    // it; End is called once a request.
    SPollEvent End(EResult result, std::string text, EEventLevel level);
    SPollEvent Served(std::string text, EEventLevel level = EEventLevel::Info) {
        return End(EResult::Served, std::move(text), level);
    }
    SPollEvent Refused(std::string text) {
        return End(EResult::Refused, std::move(text), EEventLevel::Error);
    }
    SPollEvent Failed(std::string text) {
        return End(EResult::Failed, std::move(text), EEventLevel::Error);
    }
    // A line of its own that ends no request (empty: nothing to log).
    static SPollEvent Line(std::string text, EEventLevel level) {
        return {std::move(text), level, {}, false};
    }
    // When the request being served started, for its duration.
    STransfer::Clock::time_point m_requestStarted{};

    // Progress of the transfer for the operator; cheap enough for every block.
    void BeginTransfer(const std::string& file, bool upload, int64_t total);
    void AdvanceTransfer(int64_t bytes);
    void EndTransfer() { m_activity.transfer.active = false; }

    CCrc32 m_crc;
    int m_bRunning = 0;
    // Upload state (FileUpload.cpp). Starts idle: no target, no error; `m_upload = {}` resets it.
    struct SUploadState {
        long m_nFileSize = 0;
        std::string m_strRecFile;
        int m_bUploadError = 0;
        long m_nLastBlock = -1;  // -1: no upload in progress
        // The upload in progress, from its start block: file, bytes, checksum, retries so far.
        std::optional<SRequestOutcome> request;
        uint32_t crc = 0;         // of the blocks stored so far
        STransfer::Clock::time_point started{};
        // A data block refused it (the server became read-only): its end is refused so.
        std::string refusal;
        // The start block was refused: its data and end blocks store nothing and end nothing.
        bool refused = false;
    };
    SUploadState m_upload;
    std::string m_strBackupPath;
    std::string m_strBasePath;
    std::set<std::string> m_tempDirs;  // already in the temp-directory journal

private:
    int BlockError(int kind, long cnt, std::string& status);
    // The blocks of an upload (FileUpload.cpp). readOnly: the refusal's text while the server
    // is read-only, else empty.
    SPollEvent UploadStart(const uint8_t* data, int len, const std::string& readOnly);
    SPollEvent UploadData(long cnt, const uint8_t* data, int len);
    SPollEvent UploadEnd(const std::string& readOnly);
    // A start block that ends its upload at once.
    SPollEvent UploadStartEnds(EResult result, std::string text);
    std::string UploadTempFile() const;
    int ReopenLostPort(std::string& status);

    SLinkLimits m_limits;
    SAccessLimits m_access;  // root kept in its canonical form
    SPathRules m_paths;
    std::function<void()> m_pumpMessages;
    EventRoute m_eventRoute;
    bool m_bServing = false;  // a request is being served; a nested Poll leaves the line alone
    bool m_bPortLost = false;  // the device hung up; ticks try to open it again
    bool m_bQuiet = false;     // the last Poll found the line quiet
    Clock::time_point m_nextReopen{};
    std::string m_strReopenError;  // why the last reopen failed, as reported
    SActivity m_activity;
};

}  // namespace rs232
