// The exchange record: a plain-text account of one program run against a tablet, as the tablet saw it
// (every request, every reply with its delay, every time it left the bus and came back, every stalled
// write), together with what the run needs to be repeated (the firmware file, the link's time limits,
// the menu input) and what it gave (the console output and the exit status).
//
// Harnesses write one with a virtual tablet that records (VirtualTablet::StartRecording); a virtual tablet
// that replays one (VirtualTablet::SetReplay) answers each request with the reply recorded for it, so
// that the run can be repeated and its console output compared.
//
// Requests longer than kRecordFullFrameBytes (the packages) are kept as their first and last 16 bytes,
// their length and the CRC-32 of the whole frame; a replay matches every request by its position, its
// command, its length and that CRC-32.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

inline constexpr std::uint32_t kRecordFullFrameBytes = 64;
inline constexpr std::uint32_t kRecordEdgeBytes = 16;
// A record is refused beyond these sizes (it is read from a file).
inline constexpr std::size_t kRecordMaxBytes = 4u << 20;
inline constexpr std::uint32_t kRecordMaxReportBytes = 4096;
inline constexpr std::uint32_t kRecordNever = 0xFFFFFFFFu;  // "does not come back"

// CRC-32 (the zip polynomial) of a byte block.
std::uint32_t RecordCrc32(const std::uint8_t* pucData, std::size_t szLen);

struct RecordedEvent {
    enum class Kind {
        kRequest,  // an output report the tablet took
        kReply,    // an input report the tablet queued for request ulRequest
        kLeave,    // the tablet left the bus ulAfterMs after request ulRequest arrived
        kStall,    // the write that would have been request ulRequest stalled ulAfterMs and failed
    };
    Kind eKind = Kind::kRequest;
    std::uint32_t ulAtMs = 0;     // since the recording started
    std::uint32_t ulRequest = 0;  // 1 for the first request; 0 for a leave before any request
    std::uint16_t usCommand = 0;  // requests and stalls; 0 when the frame could not be read
    std::uint32_t ulReportBytes = 0;
    // Requests: the frame (the report's bytes when no frame could be read), whole up to
    // kRecordFullFrameBytes, else its first and last kRecordEdgeBytes bytes. Replies: the whole report.
    std::vector<std::uint8_t> vucBytes;
    std::uint32_t ulFrameBytes = 0;  // requests: length of the whole frame
    std::uint32_t ulFrameCrc32 = 0;  // requests: CRC-32 of the whole frame
    std::uint32_t ulAfterMs = 0;     // replies and leaves: after the request arrived; stalls: how long
    std::uint32_t ulBackAfterMs = kRecordNever;  // leaves
    bool bBackInBootLoader = false;              // leaves

    bool Shortened() const { return ulFrameBytes > kRecordFullFrameBytes; }
};

// A request as a record keeps it.
RecordedEvent RecordRequest(std::uint32_t ulRequest, std::uint16_t usCommand, std::uint32_t ulReportBytes,
                            const std::uint8_t* pucFrame, std::uint32_t ulFrameBytes);
// One line describing a request (command, length, CRC-32, bytes), for messages.
std::string DescribeRequest(const RecordedEvent& tEvent);

struct ExchangeRecord {
    std::string strProgram;   // program name and version
    std::string strLanguage;  // "en" or "zh": the message set of the program that ran
    std::string strSystem;    // where it ran (system, HID host)
    std::string strSource;    // who recorded it, and the case
    // The tablet as it was plugged in.
    int iModelIndex = 0;
    std::uint16_t usVid = 0;
    std::uint16_t usPid = 0;
    bool bStartsInBootLoader = false;
    std::uint32_t ulInputReportBytes = 64;
    std::uint32_t ulOutputReportBytes = 1088;
    // The link's time limits and pause divisor during the run (the program's own: 10000, 5000, 30000,
    // 2000 and 1).
    std::uint32_t ulReplyMs = 10000;
    std::uint32_t ulLinkIdleMs = 5000;
    std::uint32_t ulRedetectWaitMs = 30000;
    std::uint32_t ulShutdownMs = 2000;
    std::uint32_t ulPauseDivisor = 1;
    // The McuCipherFile the program found beside it.
    std::string strFirmwareName;
    std::vector<std::uint8_t> vucFirmware;
    std::string strInput;  // the menu input, as typed
    std::vector<RecordedEvent> vtEvents;
    std::string strConsole;  // standard output, byte for byte
    int iExitStatus = 0;
};

// Text as a record keeps it on one line: backslash, CR, LF, tab and other control bytes escaped (\\, \r,
// \n, \t, \xHH), all other bytes as they are.
std::string EscapeRecordText(const std::string& strText);

// The record as text. Console bytes are kept as they were (code page 936), with line ends and other
// control bytes escaped, one console line per text line.
std::string FormatExchangeRecord(const ExchangeRecord& tRecord);
// Reads a record; false with a message naming the line when the text is not a sound record.
bool ParseExchangeRecord(const std::string& strText, ExchangeRecord* ptRecord, std::string* pstrError);

}  // namespace sim
