// tests/data/smtp/fault_matrix.txt turned into session scenarios: one per
// cell, in the text form the scenario runner reads from its files.
#include "fault_matrix.h"

#include <cctype>
#include <set>
#include <sstream>
#include <vector>

#include "support/data_file.h"

namespace {

using testsupport::replaced;

// Under Wine a sleep or a write takes longer, and a loaded machine makes it
// worse: there every time in a cell (the read time-out, the silences, the
// bound on the cell's duration) is doubled, keeping their proportions.
#ifdef _WIN32
constexpr unsigned kTimeScale = 2;
#else
constexpr unsigned kTimeScale = 1;
#endif

// "SILENT N" with N scaled.
std::string scaledSilences(const std::string& script) {
    if (kTimeScale == 1) return script;
    std::string out;
    size_t at = 0;
    for (size_t found; (found = script.find("SILENT ", at)) != std::string::npos;) {
        const size_t digits = found + 7;
        size_t end = digits;
        while (end < script.size() && std::isdigit(static_cast<unsigned char>(script[end]))) ++end;
        out += script.substr(at, digits - at);
        out += end > digits
                   ? std::to_string(std::stoul(script.substr(digits, end - digits)) * kTimeScale)
                   : std::string();
        at = end;
    }
    return out + script.substr(at);
}

constexpr auto npos = std::string::npos;

// "a; b" → "a\nb\n": script lines and directives are written "; "-separated.
std::string lines(const std::string& joined) {
    return joined.empty() || joined == "-" ? "" : replaced(joined, "; ", "\n") + "\n";
}

// The "; "-separated pieces of a field.
std::vector<std::string> pieces(const std::string& joined) {
    std::vector<std::string> out;
    std::istringstream each(lines(joined));
    for (std::string piece; std::getline(each, piece);) out.push_back(piece);
    return out;
}

// A parameter name may hold letters, digits and '_' only.
std::string nameOf(std::string s) {
    for (char& c : s) c = std::isalnum(static_cast<unsigned char>(c)) ? std::tolower(c) : '_';
    return s;
}

// One stage: its name, the login it belongs to ("" for every login), when
// it comes (setup, send, reuse or end), what the client sends, the answer.
struct Stage {
    std::string name, login, when, command, answer;
};

struct Cell {
    std::string stage, fault, result, next, took, then, script;
    std::vector<std::string> checks;
};

class Matrix {
  public:
    explicit Matrix(const std::vector<std::string>& file) {
        for (const std::string& line : file) read(line);
    }

    // Every cell, plus a copy under each other login for the stages after
    // the login and the faults the "credentials" line names.
    std::map<std::string, std::string> scenarios() const {
        std::map<std::string, std::string> out;
        for (const Stage& st : m_stages)
            for (const auto& fault : m_faults)
                if (!m_cells.count(st.name + " " + fault.first) &&
                    !m_notApplicable.count(st.name + " " + fault.first))
                    out["matrix_missing_" + st.name + "_" + fault.first] =
                        "#! missing cell: " + st.name + " " + fault.first + "\n";
        for (const auto& [key, cell] : m_cells) {
            const Stage& st = stage(cell.stage);
            const std::string login = st.login.empty() ? m_logins.front().first : st.login;
            out["matrix_" + cell.stage + "_" + cell.fault] = scenario(cell, login, false);
            if (m_managerFaults.count(cell.fault) && st.when != "end")
                out["matrix_" + cell.stage + "_" + cell.fault + "_manager"] =
                    scenario(cell, login, true);
            if (!st.login.empty() || st.when == "setup" || !m_credentialFaults.count(cell.fault))
                continue;
            for (size_t k = 1; k < m_logins.size(); ++k)
                out["matrix_" + cell.stage + "_" + cell.fault + "_" + nameOf(m_logins[k].first)] =
                    scenario(cell, m_logins[k].first, false);
        }
        return out;
    }

  private:
    void read(const std::string& line) {
        std::vector<std::string> f;
        for (size_t at = 0, bar = 0; bar != npos; at = bar + 3)
            f.push_back(line.substr(at, (bar = line.find(" | ", at)) - at));
        std::istringstream head(f[0]);
        std::string kind, a, b;
        head >> kind >> a >> b;
        if (kind == "login") m_logins.push_back({a, f[1]});
        if (kind == "stage") m_stages.push_back({a, b, f[1], f[2], f[3]});
        if (kind == "fault") m_faults[a] = f[1];
        if (kind == "credentials" || kind == "manager") {
            std::istringstream names(f[0].substr(kind.size()));
            for (std::string name; names >> name;)
                (kind == "manager" ? m_managerFaults : m_credentialFaults).insert(name);
        }
        if (kind == "cell" && f[1] == "n/a") m_notApplicable.insert(a + " " + b);
        if (kind != "cell" || f[1] == "n/a") return;
        Cell cell{a, b, f[1], f[2], f[3], "", "", {}};
        for (size_t k = 4; k < f.size(); ++k) {
            if (f[k].rfind("then=", 0) == 0)
                cell.then = f[k].substr(5);
            else if (f[k].rfind("script=", 0) == 0)
                cell.script = f[k].substr(7);
            else
                cell.checks.push_back(f[k]);
        }
        m_cells[a + " " + b] = cell;
    }

    const Stage& stage(const std::string& name) const {
        for (const Stage& st : m_stages)
            if (st.name == name) return st;
        return m_stages.front();
    }
    size_t index(const std::string& name) const {
        return static_cast<size_t>(&stage(name) - &m_stages[0]);
    }

    // What the client sends at stage k and what it is normally answered.
    std::string normalAt(size_t k, const std::string& login) const {
        const Stage& st = m_stages[k];
        return (st.command == "-" ? "" : st.command + "\n") +
               lines(replaced(st.answer, "%m", login));
    }

    // The normal conversation of a send under this login, stages [from, to),
    // without the RSET of a reused connection and the QUIT that ends one.
    std::string normal(size_t from, size_t to, const std::string& login) const {
        std::string t;
        for (size_t k = from; k < to; ++k) {
            const Stage& st = m_stages[k];
            if ((st.login.empty() || st.login == login) && st.when != "reuse" && st.when != "end")
                t += normalAt(k, login);
        }
        return t;
    }

    // The cell as a session of one connection object, or of one mail
    // manager's two SendEmail calls (which judge the results and the
    // conversation, not the log, which each call starts afresh).
    std::string scenario(const Cell& cell, const std::string& login, bool manager) const {
        const size_t at = index(cell.stage), all = m_stages.size();
        const Stage& st = m_stages[at];
        size_t firstSend = 0;
        while (m_stages[firstSend].when != "send") ++firstSend;
        const std::string answer = replaced(st.answer, "%m", login);
        // The answer in 1 ms apart writes: a byte each, or for a long
        // answer (an NTLM challenge) 48 pieces, so that the whole still
        // comes within the read time-out where a sleep takes longer (Wine).
        std::string raw, split = "SPLIT 1: ";
        for (const std::string& piece : pieces(answer))
            raw += piece.substr(piece.find(": ") + 2) + "\r\n";
        const size_t size = (raw.size() + 47) / 48;
        for (size_t at = 0; at < raw.size(); ++at) {
            const char c = raw[at];
            split += c == '\r'               ? "\\r"
                     : c == '\n'             ? "\\n"
                     : c == '|' || c == '\\' ? "\\" + raw.substr(at, 1)
                                             : raw.substr(at, 1);
            if ((at + 1) % size == 0 && at + 1 < raw.size()) split += "|";
        }
        std::string fault = cell.script.empty() ? m_faults.at(cell.fault) : cell.script;
        fault = replaced(fault + "; ", "%split; ", split + "; ");
        fault =
            replaced(fault, "%late; ", replaced("; " + answer, "; S: ", "; S?: ").substr(2) + "; ");
        fault = replaced(fault, "%; ", answer + "; ");
        fault.resize(fault.size() - 2);
        fault = scaledSilences(fault);

        // The step that meets the fault expects the cell's result; a setup
        // that fails has no send of its own.
        const bool failedSetup = st.when == "setup" && cell.result == "false";
        std::string text =
            "#! session: yes\n#! whole-log: yes\n#! read-timeout: " +
            std::to_string(1000 * kTimeScale) +
            "\n"
            "#! user: ann\n#! password: secret-pw\n#! to: b@example.com\n#! to: c@example.com\n"
            "#! took-less-than: " +
            std::to_string(std::stoul(cell.took) * kTimeScale) + "\n";
        if (manager) {
            text += "#! step: manager-send 127.0.0.1 " +
                    (st.when == "reuse" ? "true" : cell.result) + "\n";
            text += "#! step: manager-send 127.0.0.1 " +
                    (st.when == "reuse" ? cell.result : "true") + "\n";
        } else {
            text +=
                "#! step: connect 127.0.0.1 " + (st.when == "setup" ? cell.result : "true") + "\n";
            if (!failedSetup)
                text += "#! step: send " + (st.when == "send" ? cell.result : "true") + "\n";
            if (st.when == "end") text += "#! step: quit\n#! step: reset\n";
            text +=
                "#! step: connect 127.0.0.1 " + (st.when == "reuse" ? cell.result : "true") + "\n";
            text += "#! step: send true\n";
        }
        for (const auto& [name, directives] : m_logins)
            for (const std::string& d : pieces(directives))
                if (name == login) text += "#! " + d + "\n";
        for (const std::string& check : cell.checks)
            if (!manager) text += "#! log: " + check + "\n";

        // The server's side: up to the stage, the fault, what follows on
        // that connection, then the next connect's conversation.
        const bool late = st.when == "reuse" || st.when == "end";
        text += late ? normal(0, all, login) : normal(0, at, login);
        text += (st.command == "-" ? "" : st.command + "\n") + lines(fault);
        if (!cell.then.empty())
            text +=
                lines(cell.then) +
                (cell.result == "true" && st.when == "setup" ? normal(firstSend, all, login) : "");
        else if (cell.result == "true" && !late)
            text += normal(at + 1, all, login);
        if (cell.next == "reuse")
            text += (st.when == "reuse" ? "" : normalAt(index("rset"), login)) +
                    normal(firstSend, all, login);
        else
            text += "CLOSED\nACCEPT\n" + normal(0, all, login);
        return text;
    }

    std::vector<std::pair<std::string, std::string>> m_logins;  // name, its directives
    std::vector<Stage> m_stages;                                // in the order of a conversation
    std::map<std::string, std::string> m_faults;
    std::set<std::string> m_credentialFaults, m_managerFaults, m_notApplicable;
    std::map<std::string, Cell> m_cells;  // by "STAGE FAULT"
};

}  // namespace

const std::map<std::string, std::string>& faultMatrixCells() {
    static const std::map<std::string, std::string> cells =
        Matrix(testsupport::dataLines("smtp/fault_matrix.txt")).scenarios();
    return cells;
}
