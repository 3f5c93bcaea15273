#include "sim/exchange_record.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "diag/diag_text.h"

namespace sim {

namespace {

constexpr const char* kMagic = "TaveloIAP exchange record 1";
constexpr std::size_t kMaxFirmwareBytes = 1u << 20;
constexpr std::size_t kBase64LineChars = 76;

const std::array<std::uint32_t, 256>& Crc32Table() {
    static const std::array<std::uint32_t, 256> kTable = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    return kTable;
}

std::string Hex(const std::uint8_t* puc, std::size_t sz) {
    std::string s(sz * 2, '0');
    BytesToHexText(puc, static_cast<std::uint32_t>(sz), s.data());
    return s;
}

std::string Hex(const std::vector<std::uint8_t>& v) {
    return Hex(v.data(), v.size());
}

bool IsHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// Hexadecimal text of whole bytes only (the diagnostic reader takes any other character for 0).
bool ParseHex(const std::string& s, std::size_t szMax, std::vector<std::uint8_t>* pv) {
    if (s.size() % 2 != 0 || s.size() / 2 > szMax || !std::all_of(s.begin(), s.end(), IsHexDigit)) {
        return false;
    }
    pv->resize(s.size() / 2);
    HexTextToBytes(s.data(), static_cast<std::uint32_t>(s.size()), pv->data());
    return true;
}

// A decimal (or, with iBase 16, hexadecimal) number that fills the whole text and fits in 32 bits.
bool ParseNumber(const std::string& s, std::uint32_t* pul, int iBase = 10) {
    if (s.empty() || s.size() > 10 || !IsHexDigit(s[0])) {
        return false;
    }
    errno = 0;
    char* pEnd = nullptr;
    unsigned long long ull = std::strtoull(s.c_str(), &pEnd, iBase);
    if (errno != 0 || *pEnd != '\0' || ull > 0xFFFFFFFFull) {
        return false;
    }
    *pul = static_cast<std::uint32_t>(ull);
    return true;
}

}  // namespace

std::string EscapeRecordText(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char acBuf[5];
            std::snprintf(acBuf, sizeof(acBuf), "\\x%02x", c);
            out += acBuf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

namespace {

bool Unescape(const std::string& s, std::string* pOut) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            *pOut += s[i];
            continue;
        }
        if (++i >= s.size()) {
            return false;
        }
        switch (s[i]) {
            case '\\':
                *pOut += '\\';
                break;
            case 'r':
                *pOut += '\r';
                break;
            case 'n':
                *pOut += '\n';
                break;
            case 't':
                *pOut += '\t';
                break;
            case 'x': {
                std::uint8_t ucByte = 0;
                if (i + 2 >= s.size() || !IsHexDigit(s[i + 1]) || !IsHexDigit(s[i + 2])) {
                    return false;
                }
                HexTextToBytes(s.data() + i + 1, 2, &ucByte);
                *pOut += static_cast<char>(ucByte);
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

// A free-text header value on one line.
std::string OneLine(const std::string& s) {
    std::string out;
    for (char c : s) {
        out += (c == '\r' || c == '\n') ? ' ' : c;
    }
    return out;
}

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64Lines(const std::vector<std::uint8_t>& v) {
    std::string strAll;
    for (std::size_t i = 0; i < v.size(); i += 3) {
        std::uint32_t ul = static_cast<std::uint32_t>(v[i]) << 16;
        if (i + 1 < v.size()) {
            ul |= static_cast<std::uint32_t>(v[i + 1]) << 8;
        }
        if (i + 2 < v.size()) {
            ul |= v[i + 2];
        }
        strAll += kBase64[(ul >> 18) & 63];
        strAll += kBase64[(ul >> 12) & 63];
        strAll += i + 1 < v.size() ? kBase64[(ul >> 6) & 63] : '=';
        strAll += i + 2 < v.size() ? kBase64[ul & 63] : '=';
    }
    std::string out;
    for (std::size_t i = 0; i < strAll.size(); i += kBase64LineChars) {
        out += strAll.substr(i, kBase64LineChars) + "\n";
    }
    return out;
}

bool DecodeBase64(const std::string& s, std::vector<std::uint8_t>* pv) {
    if (s.size() % 4 != 0 || s.size() / 4 * 3 > kMaxFirmwareBytes) {
        return false;
    }
    for (std::size_t i = 0; i < s.size(); i += 4) {
        std::uint32_t ul = 0;
        int iPad = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = s[i + k];
            const char* p = c != '\0' ? std::strchr(kBase64, c) : nullptr;
            if (c == '=' && i + 4 == s.size() && k >= 2) {
                ++iPad;
                ul <<= 6;
                continue;
            }
            if (p == nullptr || iPad != 0) {
                return false;
            }
            ul = (ul << 6) | static_cast<std::uint32_t>(p - kBase64);
        }
        pv->push_back(static_cast<std::uint8_t>(ul >> 16));
        if (iPad < 2) {
            pv->push_back(static_cast<std::uint8_t>(ul >> 8));
        }
        if (iPad < 1) {
            pv->push_back(static_cast<std::uint8_t>(ul));
        }
    }
    return true;
}

// "key=value key=value ..." after the first word(s) of a line.
bool SplitFields(const std::string& s, std::map<std::string, std::string>* pm) {
    std::size_t p = 0;
    while (p < s.size()) {
        while (p < s.size() && s[p] == ' ') {
            ++p;
        }
        if (p >= s.size()) {
            break;
        }
        std::size_t e = s.find(' ', p);
        if (e == std::string::npos) {
            e = s.size();
        }
        const std::string strToken = s.substr(p, e - p);
        const std::size_t eq = strToken.find('=');
        if (eq == std::string::npos || eq == 0) {
            return false;
        }
        (*pm)[strToken.substr(0, eq)] = strToken.substr(eq + 1);
        p = e;
    }
    return true;
}

class FieldReader {
  public:
    explicit FieldReader(const std::map<std::string, std::string>& m) : m_(m) {}
    bool Number(const char* strKey, std::uint32_t* pul, int iBase = 10) {
        auto it = m_.find(strKey);
        bOk_ = bOk_ && it != m_.end() && ParseNumber(it->second, pul, iBase);
        return bOk_;
    }
    bool Text(const char* strKey, std::string* ps) {
        auto it = m_.find(strKey);
        bOk_ = bOk_ && it != m_.end();
        if (bOk_) {
            *ps = it->second;
        }
        return bOk_;
    }
    bool Has(const char* strKey) const { return m_.count(strKey) != 0; }
    bool Ok() const { return bOk_; }

  private:
    const std::map<std::string, std::string>& m_;
    bool bOk_ = true;
};

std::string FormatEvent(const RecordedEvent& t) {
    char acBuf[160];
    switch (t.eKind) {
        case RecordedEvent::Kind::kRequest: {
            std::snprintf(acBuf, sizeof(acBuf), "@%u request n=%u cmd=%04x report=%u frame=%u crc32=%08x",
                          t.ulAtMs, t.ulRequest, t.usCommand, t.ulReportBytes, t.ulFrameBytes,
                          t.ulFrameCrc32);
            std::string s = acBuf;
            if (t.Shortened()) {
                const std::size_t szHalf = t.vucBytes.size() / 2;
                s += " head=" + Hex(t.vucBytes.data(), szHalf) +
                     " tail=" + Hex(t.vucBytes.data() + szHalf, t.vucBytes.size() - szHalf);
            } else {
                s += " data=" + Hex(t.vucBytes);
            }
            return s;
        }
        case RecordedEvent::Kind::kReply:
            std::snprintf(acBuf, sizeof(acBuf), "@%u reply n=%u after=%u report=%u data=", t.ulAtMs,
                          t.ulRequest, t.ulAfterMs, static_cast<unsigned>(t.vucBytes.size()));
            return acBuf + Hex(t.vucBytes);
        case RecordedEvent::Kind::kLeave: {
            char acBack[16] = "never";
            if (t.ulBackAfterMs != kRecordNever) {
                std::snprintf(acBack, sizeof(acBack), "%u", t.ulBackAfterMs);
            }
            std::snprintf(acBuf, sizeof(acBuf), "@%u leave n=%u after=%u back=%s in=%s", t.ulAtMs,
                          t.ulRequest, t.ulAfterMs, acBack,
                          t.bBackInBootLoader ? "boot-loader" : "application");
            return acBuf;
        }
        case RecordedEvent::Kind::kStall:
            std::snprintf(acBuf, sizeof(acBuf), "@%u stall n=%u cmd=%04x for=%u", t.ulAtMs, t.ulRequest,
                          t.usCommand, t.ulAfterMs);
            return acBuf;
    }
    return "";
}

bool ParseEvent(const std::string& strLine, RecordedEvent* pt, std::string* pstrWhy) {
    const std::size_t sp1 = strLine.find(' ');
    const std::size_t sp2 = sp1 == std::string::npos ? sp1 : strLine.find(' ', sp1 + 1);
    if (strLine.empty() || strLine[0] != '@' || sp2 == std::string::npos ||
        !ParseNumber(strLine.substr(1, sp1 - 1), &pt->ulAtMs)) {
        *pstrWhy = "an event is \"@MS KIND key=value ...\"";
        return false;
    }
    const std::string strKind = strLine.substr(sp1 + 1, sp2 - sp1 - 1);
    std::map<std::string, std::string> m;
    if (!SplitFields(strLine.substr(sp2 + 1), &m)) {
        *pstrWhy = "fields are key=value";
        return false;
    }
    FieldReader f(m);
    f.Number("n", &pt->ulRequest);
    std::uint32_t ulCommand = 0;
    std::string strData;
    if (strKind == "request") {
        pt->eKind = RecordedEvent::Kind::kRequest;
        f.Number("cmd", &ulCommand, 16);
        f.Number("report", &pt->ulReportBytes);
        f.Number("frame", &pt->ulFrameBytes);
        f.Number("crc32", &pt->ulFrameCrc32, 16);
        if (!f.Ok() || ulCommand > 0xFFFF || pt->ulReportBytes > kRecordMaxReportBytes ||
            pt->ulFrameBytes > kRecordMaxReportBytes) {
            *pstrWhy = "a request needs n, cmd, report, frame and crc32 within their ranges";
            return false;
        }
        if (pt->Shortened()) {
            std::string strHead;
            std::string strTail;
            if (!f.Text("head", &strHead) || !f.Text("tail", &strTail) ||
                strHead.size() != 2 * kRecordEdgeBytes || strTail.size() != 2 * kRecordEdgeBytes ||
                !ParseHex(strHead + strTail, 2 * kRecordEdgeBytes, &pt->vucBytes)) {
                *pstrWhy = "a long request has a head and a tail of 16 bytes each";
                return false;
            }
        } else if (!f.Text("data", &strData) || !ParseHex(strData, kRecordFullFrameBytes, &pt->vucBytes) ||
                   pt->vucBytes.size() != pt->ulFrameBytes ||
                   RecordCrc32(pt->vucBytes.data(), pt->vucBytes.size()) != pt->ulFrameCrc32) {
            *pstrWhy = "a short request's data must have the frame's length and CRC-32";
            return false;
        }
    } else if (strKind == "reply") {
        pt->eKind = RecordedEvent::Kind::kReply;
        f.Number("after", &pt->ulAfterMs);
        f.Number("report", &pt->ulReportBytes);
        if (!f.Text("data", &strData) || !ParseHex(strData, kRecordMaxReportBytes, &pt->vucBytes) ||
            pt->vucBytes.size() != pt->ulReportBytes) {
            *pstrWhy = "a reply needs n, after, report and data of that many bytes";
            return false;
        }
    } else if (strKind == "leave") {
        pt->eKind = RecordedEvent::Kind::kLeave;
        std::string strBack;
        std::string strIn;
        f.Number("after", &pt->ulAfterMs);
        f.Text("back", &strBack);
        f.Text("in", &strIn);
        if (!f.Ok() || (strBack != "never" && !ParseNumber(strBack, &pt->ulBackAfterMs)) ||
            (strIn != "boot-loader" && strIn != "application")) {
            *pstrWhy = "a leave needs n, after, back (ms or never) and in (boot-loader or application)";
            return false;
        }
        if (strBack == "never") {
            pt->ulBackAfterMs = kRecordNever;
        }
        pt->bBackInBootLoader = strIn == "boot-loader";
    } else if (strKind == "stall") {
        pt->eKind = RecordedEvent::Kind::kStall;
        f.Number("cmd", &ulCommand, 16);
        f.Number("for", &pt->ulAfterMs);
        if (!f.Ok() || ulCommand > 0xFFFF) {
            *pstrWhy = "a stall needs n, cmd and for";
            return false;
        }
    } else {
        *pstrWhy = "unknown event \"" + strKind + "\"";
        return false;
    }
    pt->usCommand = static_cast<std::uint16_t>(ulCommand);
    if (!f.Ok()) {
        *pstrWhy = "a field is missing or out of range";
        return false;
    }
    return true;
}

}  // namespace

std::uint32_t RecordCrc32(const std::uint8_t* pucData, std::size_t szLen) {
    const auto& t = Crc32Table();
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < szLen; ++i) {
        c = t[(c ^ pucData[i]) & 0xFF] ^ (c >> 8);
    }
    return c ^ 0xFFFFFFFFu;
}

RecordedEvent RecordRequest(std::uint32_t ulRequest, std::uint16_t usCommand, std::uint32_t ulReportBytes,
                            const std::uint8_t* pucFrame, std::uint32_t ulFrameBytes) {
    RecordedEvent t;
    t.eKind = RecordedEvent::Kind::kRequest;
    t.ulRequest = ulRequest;
    t.usCommand = usCommand;
    t.ulReportBytes = ulReportBytes;
    t.ulFrameBytes = ulFrameBytes;
    t.ulFrameCrc32 = RecordCrc32(pucFrame, ulFrameBytes);
    if (t.Shortened()) {
        // The first and the last kRecordEdgeBytes bytes, one after the other.
        t.vucBytes.resize(2 * kRecordEdgeBytes);
        std::memcpy(t.vucBytes.data(), pucFrame, kRecordEdgeBytes);
        std::memcpy(t.vucBytes.data() + kRecordEdgeBytes, pucFrame + ulFrameBytes - kRecordEdgeBytes,
                    kRecordEdgeBytes);
    } else {
        t.vucBytes.assign(pucFrame, pucFrame + ulFrameBytes);
    }
    return t;
}

std::string DescribeRequest(const RecordedEvent& t) {
    std::string s = FormatEvent(t);
    const std::size_t p = s.find(' ');
    return p == std::string::npos ? s : s.substr(p + 1);
}

std::string FormatExchangeRecord(const ExchangeRecord& r) {
    std::string s = std::string(kMagic) + "\n";
    s += "# One program run against a tablet: the requests and replies as the tablet saw them (times in ms\n";
    s += "# since the start), the console output, and the firmware file the program used.\n";
    s += "program: " + OneLine(r.strProgram) + "\n";
    s += "language: " + OneLine(r.strLanguage) + "\n";
    s += "system: " + OneLine(r.strSystem) + "\n";
    s += "source: " + OneLine(r.strSource) + "\n";
    char acBuf[256];
    std::snprintf(acBuf, sizeof(acBuf),
                  "tablet: model=%d vid=%04x pid=%04x starts-in=%s input=%u output=%u\n", r.iModelIndex,
                  r.usVid, r.usPid, r.bStartsInBootLoader ? "boot-loader" : "application",
                  r.ulInputReportBytes, r.ulOutputReportBytes);
    s += acBuf;
    std::snprintf(acBuf, sizeof(acBuf),
                  "link: reply=%u idle=%u redetect-wait=%u shutdown=%u pause-divisor=%u\n", r.ulReplyMs,
                  r.ulLinkIdleMs, r.ulRedetectWaitMs, r.ulShutdownMs, r.ulPauseDivisor);
    s += acBuf;
    std::snprintf(acBuf, sizeof(acBuf), " size=%u crc32=%08x\n", static_cast<unsigned>(r.vucFirmware.size()),
                  RecordCrc32(r.vucFirmware.data(), r.vucFirmware.size()));
    s += "firmware: name=" + OneLine(r.strFirmwareName) + acBuf;
    s += "input: " + EscapeRecordText(r.strInput) + "\n";
    s += "exit: " + std::to_string(r.iExitStatus) + "\n";
    s += "events:\n";
    for (const RecordedEvent& t : r.vtEvents) {
        s += FormatEvent(t) + "\n";
    }
    s += "console:\n";
    for (std::size_t p = 0; p < r.strConsole.size();) {
        std::size_t e = r.strConsole.find('\n', p);
        e = e == std::string::npos ? r.strConsole.size() : e + 1;
        s += "| " + EscapeRecordText(r.strConsole.substr(p, e - p)) + "\n";
        p = e;
    }
    s += "firmware-data:\n";
    s += Base64Lines(r.vucFirmware);
    s += "end\n";
    return s;
}

bool ParseExchangeRecord(const std::string& strText, ExchangeRecord* ptRecord, std::string* pstrError) {
    ExchangeRecord r;
    if (strText.size() > kRecordMaxBytes) {
        *pstrError = "the record is larger than " + std::to_string(kRecordMaxBytes) + " bytes";
        return false;
    }
    enum class Section { kHeader, kEvents, kConsole, kFirmware, kEnd } eSection = Section::kHeader;
    std::uint32_t ulFirmwareSize = 0;
    std::uint32_t ulFirmwareCrc = 0;
    std::string strBase64;
    std::uint32_t ulNextRequest = 1;
    bool bExit = false;
    std::map<std::string, bool> tSeen;
    std::size_t szLine = 0;
    std::string strWhy;
    for (std::size_t p = 0; p < strText.size();) {
        std::size_t e = strText.find('\n', p);
        if (e == std::string::npos) {
            e = strText.size();
        }
        std::string strLine = strText.substr(p, e - p);
        p = e + 1;
        ++szLine;
        if (!strLine.empty() && strLine.back() == '\r') {
            strLine.pop_back();
        }
        auto fail = [&](const std::string& strMsg) {
            *pstrError = "line " + std::to_string(szLine) + ": " + strMsg;
            return false;
        };
        if (szLine == 1) {
            if (strLine != kMagic) {
                return fail(std::string("not an exchange record (the first line is not \"") + kMagic + "\")");
            }
            continue;
        }
        if (eSection != Section::kConsole && eSection != Section::kFirmware &&
            (strLine.empty() || strLine[0] == '#')) {
            continue;
        }
        if (eSection == Section::kEnd) {
            return fail("text after \"end\"");
        }
        // The line that opens the next section.
        static const struct {
            const char* strLine;
            Section eFrom;
            Section eTo;
        } kSectionStarts[] = {{"events:", Section::kHeader, Section::kEvents},
                              {"console:", Section::kEvents, Section::kConsole},
                              {"firmware-data:", Section::kConsole, Section::kFirmware},
                              {"end", Section::kFirmware, Section::kEnd}};
        bool bNextSection = false;
        for (const auto& t : kSectionStarts) {
            if (strLine == t.strLine && eSection == t.eFrom) {
                eSection = t.eTo;
                bNextSection = true;
            }
        }
        if (bNextSection) {
            continue;
        }
        if (eSection == Section::kEvents) {
            RecordedEvent t;
            if (!ParseEvent(strLine, &t, &strWhy)) {
                return fail(strWhy);
            }
            if (t.eKind == RecordedEvent::Kind::kRequest) {
                if (t.ulRequest != ulNextRequest) {
                    return fail("requests are numbered 1, 2, 3 ... in order");
                }
                ++ulNextRequest;
            } else if (t.ulRequest > ulNextRequest) {
                return fail("the event belongs to a request that comes later");
            }
            r.vtEvents.push_back(std::move(t));
            continue;
        }
        if (eSection == Section::kConsole) {
            if (strLine.rfind("| ", 0) != 0 || !Unescape(strLine.substr(2), &r.strConsole)) {
                return fail("a console line is \"| \" and the escaped text");
            }
            continue;
        }
        if (eSection == Section::kFirmware) {
            strBase64 += strLine;
            if (strBase64.size() > kMaxFirmwareBytes * 2) {
                return fail("the firmware data is too large");
            }
            continue;
        }
        const std::size_t colon = strLine.find(": ");
        if (colon == std::string::npos) {
            return fail("a header line is \"name: value\"");
        }
        const std::string strKey = strLine.substr(0, colon);
        const std::string strValue = strLine.substr(colon + 2);
        tSeen[strKey] = true;
        std::map<std::string, std::string> m;
        if (strKey == "program") {
            r.strProgram = strValue;
        } else if (strKey == "language") {
            r.strLanguage = strValue;
            if (strValue != "en" && strValue != "zh") {
                return fail("the language is en or zh");
            }
        } else if (strKey == "system") {
            r.strSystem = strValue;
        } else if (strKey == "source") {
            r.strSource = strValue;
        } else if (strKey == "tablet") {
            std::uint32_t ulModel = 0;
            std::uint32_t ulVid = 0;
            std::uint32_t ulPid = 0;
            std::string strStart;
            FieldReader f(m);
            if (!SplitFields(strValue, &m) || !f.Number("model", &ulModel) || !f.Number("vid", &ulVid, 16) ||
                !f.Number("pid", &ulPid, 16) || !f.Text("starts-in", &strStart) ||
                !f.Number("input", &r.ulInputReportBytes) || !f.Number("output", &r.ulOutputReportBytes) ||
                ulModel > 255 || ulVid > 0xFFFF || ulPid > 0xFFFF ||
                r.ulInputReportBytes > kRecordMaxReportBytes ||
                r.ulOutputReportBytes > kRecordMaxReportBytes ||
                (strStart != "application" && strStart != "boot-loader")) {
                return fail("tablet: model, vid, pid, starts-in, input and output within their ranges");
            }
            r.iModelIndex = static_cast<int>(ulModel);
            r.usVid = static_cast<std::uint16_t>(ulVid);
            r.usPid = static_cast<std::uint16_t>(ulPid);
            r.bStartsInBootLoader = strStart == "boot-loader";
        } else if (strKey == "link") {
            FieldReader f(m);
            if (!SplitFields(strValue, &m) || !f.Number("reply", &r.ulReplyMs) ||
                !f.Number("idle", &r.ulLinkIdleMs) || !f.Number("redetect-wait", &r.ulRedetectWaitMs) ||
                !f.Number("shutdown", &r.ulShutdownMs) || !f.Number("pause-divisor", &r.ulPauseDivisor) ||
                r.ulPauseDivisor == 0) {
                return fail("link: reply, idle, redetect-wait, shutdown and pause-divisor (1 or more)");
            }
        } else if (strKey == "firmware") {
            FieldReader f(m);
            if (!SplitFields(strValue, &m) || !f.Text("name", &r.strFirmwareName) ||
                !f.Number("size", &ulFirmwareSize) || !f.Number("crc32", &ulFirmwareCrc, 16) ||
                r.strFirmwareName.empty() || r.strFirmwareName.find_first_of("/\\") != std::string::npos ||
                std::any_of(r.strFirmwareName.begin(), r.strFirmwareName.end(),
                            [](char ch) { return static_cast<unsigned char>(ch) < 0x20; })) {
                return fail("firmware: name (a plain file name), size and crc32");
            }
        } else if (strKey == "input") {
            if (!Unescape(strValue, &r.strInput)) {
                return fail("the input is escaped text");
            }
        } else if (strKey == "exit") {
            std::uint32_t ul = 0;
            if (!ParseNumber(strValue, &ul) || ul > 255) {
                return fail("the exit status is 0 to 255");
            }
            r.iExitStatus = static_cast<int>(ul);
            bExit = true;
        } else {
            return fail("unknown header \"" + strKey + "\"");
        }
    }
    if (eSection != Section::kEnd) {
        *pstrError = "the record ends before its \"end\" line";
        return false;
    }
    for (const char* strKey : {"language", "tablet", "firmware", "input"}) {
        if (tSeen.count(strKey) == 0) {
            *pstrError = std::string("the header has no \"") + strKey + "\" line";
            return false;
        }
    }
    if (!bExit) {
        *pstrError = "the header has no \"exit\" line";
        return false;
    }
    if (!DecodeBase64(strBase64, &r.vucFirmware) || r.vucFirmware.size() != ulFirmwareSize ||
        RecordCrc32(r.vucFirmware.data(), r.vucFirmware.size()) != ulFirmwareCrc) {
        *pstrError = "the firmware data does not match the firmware line's size and crc32";
        return false;
    }
    *ptRecord = std::move(r);
    return true;
}

}  // namespace sim
