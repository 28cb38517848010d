// The activity log's XML form ("smtp_errors.xml").
// Input: a sequence of log calls (enter and leave contexts, errors, infos,
// raw texts, named values) with arbitrary names and texts.
// Oracle: no crash, out-of-bounds read or undefined behaviour; the XML
// rendering parses with libexpat (a parser that shares no code with the
// log); it holds exactly the elements of the log tree, in order: the root
// "BrenvikLog", one element per context, "error", "info" and named value,
// none for a raw text; a name that already is a plain XML name is kept as
// it is; and the text of every error, info and value reads back as logged,
// except that a byte XML cannot carry (a C0 control other than TAB, LF and
// CR, a byte that is not part of valid UTF-8, U+FFFE, U+FFFF) reads as
// "\xHH", and line ends read as LF (as every XML parser gives them).
#include <expat.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "diag/logger.h"
#include "fuzz/fuzz_support.h"

namespace {

struct Element {
    std::string name;  // empty: any name will do
    bool checkText;
    std::string text;
};

// Line ends as an XML parser reports them.
std::string normaliseLineEnds(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r') {
            out += '\n';
            if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

// Length of the character at i when XML can carry it, else 0.
size_t carried(const std::string& s, size_t i) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
    const unsigned char b = p[0];
    if (b < 0x80) return b >= 0x20 || b == '\t' || b == '\n' || b == '\r' ? 1 : 0;
    const size_t len = fuzzsupport::utf8Length(p, s.size() - i);
    // U+FFFE and U+FFFF are not XML characters.
    if (len == 3 && b == 0xEF && p[1] == 0xBF && (p[2] == 0xBE || p[2] == 0xBF)) return 0;
    return len;
}

std::string expectedText(const std::string& s) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        const size_t len = carried(s, i);
        if (len) {
            out.append(s, i, len);
            i += len;
        } else {
            const auto b = static_cast<unsigned char>(s[i++]);
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
    }
    return normaliseLineEnds(out);
}

bool plainName(const std::string& s) {
    if (s.empty()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
        const bool other = (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!(letter || (i > 0 && other))) return false;
    }
    return true;
}

std::string text(const StringBuffer* s) {
    return s ? fuzzsupport::str(*s) : std::string();
}

void expectTree(const LogEntry2& e, std::vector<Element>& out) {
    switch (e.kind()) {
        case 'C': {
            const std::string name = text(e.name());
            out.push_back({plainName(name) ? name : std::string(), false, std::string()});
            const ExtPtrArray* kids = e.children();
            for (uint32_t i = 0; kids && i < kids->count(); ++i)
                if (const LogEntry2* k = kids->at<LogEntry2>(i)) expectTree(*k, out);
            break;
        }
        case 'X':
            break;
        case 'E':
            out.push_back({"error", true, expectedText(text(e.text()))});
            break;
        case 'T': {
            const std::string name = text(e.name());
            out.push_back(
                {plainName(name) ? name : std::string(), true, expectedText(text(e.text()))});
            break;
        }
        default:
            out.push_back({"info", true, expectedText(text(e.text()))});
            break;
    }
}

struct Parsed {
    std::vector<std::string> names;
    std::vector<std::string> texts;  // character data directly inside each element
    std::vector<size_t> open;        // indexes of the open elements
};

void XMLCALL onStart(void* user, const XML_Char* name, const XML_Char**) {
    auto* p = static_cast<Parsed*>(user);
    p->open.push_back(p->names.size());
    p->names.emplace_back(name);
    p->texts.emplace_back();
}

void XMLCALL onEnd(void* user, const XML_Char*) {
    static_cast<Parsed*>(user)->open.pop_back();
}

void XMLCALL onText(void* user, const XML_Char* s, int len) {
    auto* p = static_cast<Parsed*>(user);
    if (!p->open.empty()) p->texts[p->open.back()].append(s, static_cast<size_t>(len));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    FuzzedDataProvider in(data, size);
    Logger log;
    int calls = 0;
    while (in.remaining_bytes() > 0 && ++calls < 200) {
        const std::string a = in.ConsumeRandomLengthString(256);
        switch (in.ConsumeIntegralInRange<int>(0, 8)) {
            case 0:
                log.EnterContext(a.c_str(), true);
                break;
            case 1:
                log.LeaveContext();
                break;
            case 2:
                log.LogError(a.c_str());
                break;
            case 3:
                log.LogInfo(a.c_str());
                break;
            case 4:
                log.LogRaw(a.c_str());
                break;
            case 5:
                log.LogData(a.c_str(), in.ConsumeRandomLengthString(256).c_str());
                break;
            case 6:
                log.LogDataLong(a.c_str(), in.ConsumeIntegral<int32_t>());
                break;
            case 7:
                log.LogDataHex(a.c_str(), in.ConsumeIntegral<uint32_t>());
                break;
            default:
                log.LogData(a.c_str(), nullptr);
                break;
        }
    }

    StringBuffer xml;
    log.GetXml(xml);
    std::vector<Element> expected;
    if (const LogEntry2* root = log.root()) expectTree(*root, expected);

    Parsed parsed;
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &parsed);
    XML_SetElementHandler(parser, onStart, onEnd);
    XML_SetCharacterDataHandler(parser, onText);
    const bool ok =
        XML_Parse(parser, xml.getString(), static_cast<int>(xml.length()), 1) == XML_STATUS_OK;
    if (!ok) {
        std::fprintf(stderr, "expat: %s at line %lu of:\n%.*s\n",
                     XML_ErrorString(XML_GetErrorCode(parser)),
                     static_cast<unsigned long>(XML_GetCurrentLineNumber(parser)),
                     static_cast<int>(xml.length() < 4096 ? xml.length() : 4096), xml.getString());
    }
    XML_ParserFree(parser);
    FUZZ_CHECK(ok, "the log's XML is not well-formed");

    FUZZ_CHECK(parsed.names.size() == expected.size(),
               "the XML does not hold one element per log entry");
    FUZZ_CHECK(!parsed.names.empty() && parsed.names[0] == "BrenvikLog", "wrong root element");
    for (size_t i = 0; i < expected.size(); ++i) {
        if (!expected[i].name.empty())
            FUZZ_CHECK(parsed.names[i] == expected[i].name, "an element has another name");
        if (expected[i].checkText)
            FUZZ_CHECK(parsed.texts[i] == expected[i].text, "a logged text reads back changed");
    }

    StringBuffer other;
    log.GetText(other);
    log.GetHtml(other);
    return 0;
}
