// What the engine tells a front end, and the questions it asks. Events carry
// facts and the program's own status texts; how they look (a status bar, a
// line on stderr, a window-modal box) is the front end's business.
#pragma once

#include <cstdint>
#include <string>

enum class EventKind {
    Status,             // text: the status line ("Connected. File/s Received.")
    Icon,               // code: 1 connected, 0 disconnected
    CallState,          // code: CallPhase; role: CallRole; text: peer address
    Controls,           // code: ControlSet, the call controls the windows change
    PeerName,           // text: the caller's nickname, as sent (plain text)
    ChatLine,           // text: the line; received: 1 from the peer, 0 ours
    ChatCleared,        // "/clear": our log is emptied
    ChatGrey,           // the call ended: the log turns grey until the next line
    Attention,          // a chat line or an offer wants the user's eye
    Alert,              // the alert sound
    Waiting,            // code: WaitKind; on: 1 opened, 0 closed
    Progress,           // on: sending; name, done, total, seconds (since the body began), from
    Resuming,           // on: sending; from of total: a cut transfer goes on there
    Stored,             // path, size, md5, good: a received file was stored and checked
    OfferOutcome,       // path, code: OfferOutcome: how one of our files ended
    SendDone,           // code: files delivered by the Send File operation
    CallPlaced,         // text: the address typed, now worth remembering
    CallEnded,          // code: EndReason
    Notice,             // code: NoticeKind; text: the file or folder it is about
    Question,           // qid, code: QuestionKind; name, size_text, extension, path, preview
    QuestionWithdrawn,  // qid: the question's offer or call is gone; close it unanswered
};

enum CallPhase { PHASE_IDLE = 0, PHASE_CONNECTING = 1, PHASE_LIVE = 2 };
enum CallRole { ROLE_NONE = 0, ROLE_CALLER = 1, ROLE_ANSWERER = 2 };

// The control sets the windows switch as a call moves on.
enum ControlSet {
    CONTROLS_CALL_ON,        // Send File, chat, Disconnect usable
    CONTROLS_CALL_OFF,       // call controls off, address and Place Call on
    CONTROLS_PLACED,         // we called: address and Place Call off, call controls on
    CONTROLS_ANSWERED,       // we answered: the same from the listening side
    CONTROLS_NAMED,          // the caller named itself
    CONTROLS_PEER_SELECTING, // the peer chooses files: Send File, chat, Disconnect off
    CONTROLS_PEER_TYPING,    // the peer types: Send File and Disconnect off
    CONTROLS_PEER_TYPED,     // it stopped typing without a line
    CONTROLS_TRANSFER,       // a picture offer or a body is under way: Send File and chat off
    CONTROLS_DECLINED,       // our user declined an offer
    CONTROLS_BUSY_LINE,      // the peer's line was busy: Disconnect off
};

enum WaitKind { WAIT_KIND_SENDING = 1, WAIT_KIND_RECEIVING = 2, WAIT_KIND_ASKING = 3 };

// How one offered file ended, on the offering side.
enum OfferOutcome {
    OUTCOME_DELIVERED = 0,  // accepted, sent and confirmed ("sent")
    OUTCOME_DECLINED,       // the peer answered "na"
    OUTCOME_CORRUPTED,      // the peer reported an MD5 error
    OUTCOME_NO_ANSWER,      // no timely "RF"
    OUTCOME_GONE,           // the peer left, the call ended or the transfer was cut off
    OUTCOME_UNREADABLE,     // the file could not be read
    OUTCOME_TOO_LARGE,      // 2 GiB or more
    OUTCOME_ABANDONED,      // our user stopped it
};

enum EndReason {
    END_WE_HUNG_UP,     // "Disconnected."
    END_PEER_LEFT,      // bye, close or reset: "User Disconnected." / "Disconnected."
    END_BUSY,           // the peer's line was busy
    END_NO_ANSWER,      // no "RF" in time
    END_STALLED,        // a transfer or our output stood still
    END_OUT_OF_STEP,    // the peer's bytes made no sense any more
    END_SHUTDOWN,       // the program is closing
};

enum NoticeKind {
    NOTICE_BUSY,        // "Server Already Connected With a User."
    NOTICE_SELF,        // "Can't Connect to Yourself!!!"
    NOTICE_CANT_FIND,   // "Can't find the Server.  Try again later."; text: the address,
                        // index: why (a NET_FAILED_* reason), seconds: how long it took
    NOTICE_CORRUPTED,   // "File Sent is Corrupted. (MD5 Error)"
    NOTICE_TOO_BIG,     // text: the file's name
    NOTICE_UNREADABLE,  // text: the file's name
    NOTICE_FOLDER,      // the received-files folder cannot be made; text: the folder
    NOTICE_STORE,       // a received file could not be written; text: the folder
    NOTICE_PART_KEPT,   // a cut body is kept to go on from; text: the part's path
};

enum QuestionKind {
    QUESTION_ACCEPT_FILE,   // name, size_text, extension; answer yes/no
    QUESTION_ACCEPT_IMAGE,  // name, preview (JPEG bytes, may be empty); answer yes/no
    QUESTION_OPEN_FILE,     // path of the stored file; answer yes/no
    QUESTION_CHOOSE_FILES,  // answer with paths (none: cancelled)
};

struct EngineEvent {
    EventKind kind = EventKind::Status;
    int code = 0;
    int role = 0;
    int on = 0;
    int received = 0;
    int good = 0;
    int index = 0;          // OfferOutcome: the file's position in the Send File list
    uint64_t qid = 0;
    std::string text;
    std::string path;
    std::string md5;
    std::string name;
    std::string size_text;  // "12.3MB"-style size of the acceptance question
    std::string size_unit;  // its unit part ("KB", "MB" or " Bytes")
    std::string extension;
    std::string preview;
    int64_t size = 0;
    int64_t done = 0;
    int64_t total = 0;
    double seconds = 0;
    int64_t from = 0;       // bytes there before this body began (a resumed transfer)
};
