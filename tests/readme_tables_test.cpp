// The README's action and member tables, and the author's guide
// (packaging/GUIDE.txt), against the tables the code runs on, so that they
// can never disagree.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "control/com/member_table.h"
#include "host/action_catalogue.h"
#include "runner/action_parameters.h"

namespace {

// The lines of a source file named by an environment variable (a Unix path
// reaches it through Wine's Z: drive), without carriage returns.
std::vector<std::string> source_lines(const char* variable, const char* fallback) {
    const char* path = std::getenv(variable);
    std::string file = path ? path : fallback;
    if (!file.empty() && file[0] == '/') file = "Z:" + file;
    std::ifstream in(file);
    EXPECT_TRUE(in) << "cannot read " << file;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> readme_rows(const std::string& table_header) {
    std::vector<std::string> rows;
    bool inside = false;
    for (const std::string& line : source_lines("QUELTO_README", "README.md")) {
        if (line == table_header) inside = true;
        else if (inside && line.rfind("|---", 0) == 0) continue;
        else if (inside && line.rfind("| ", 0) == 0) rows.push_back(line);
        else if (inside) break;
    }
    return rows;
}

std::vector<std::string> cells(const std::string& row) {
    std::vector<std::string> result;
    size_t at = 2;
    for (size_t bar; (bar = row.find(" | ", at)) != std::string::npos; at = bar + 3) result.push_back(row.substr(at, bar - at));
    result.push_back(row.substr(at, row.size() - at - 2));
    return result;
}

TEST(ReadmeTables, ActionReferenceMatchesTheCatalogue) {
    const auto rows = readme_rows("| No. | Action | Parameter placeholder | What it does | Example |");
    ASSERT_EQ(rows.size(), static_cast<size_t>(action_count));
    for (int i = 0; i < action_count; ++i) {
        const action_entry& entry = action_catalogue[i];
        const auto row = cells(rows[i]);
        ASSERT_EQ(row.size(), 5u) << rows[i];
        std::string name = entry.name;
        name.pop_back();  // the registered trailing space
        EXPECT_EQ(row[0], std::to_string(entry.number));
        EXPECT_EQ(row[1], name);
        EXPECT_EQ(row[2], *entry.placeholder ? "`" + std::string(entry.placeholder) + "`" : "(none)") << name;
        // The example is a runner line for this very action.
        const std::string word = name.substr(sizeof "KP_Quelto3D_" - 1);
        EXPECT_EQ(row[4].rfind("`" + word, 0), 0u) << row[4];
        EXPECT_TRUE(row[4].size() == word.size() + 2 || row[4][word.size() + 1] == ' ') << row[4];
    }
}

TEST(ReadmeTables, MemberTableMatchesTheControl) {
    const auto rows = readme_rows("| Member | Called as | Arguments | What it does |");
    ASSERT_EQ(rows.size(), static_cast<size_t>(member_count));
    for (int i = 0; i < member_count; ++i) {
        const member_entry& entry = member_table[i];
        const auto row = cells(rows[i]);
        ASSERT_EQ(row.size(), 4u) << rows[i];
        EXPECT_EQ(row[0], entry.name);
        const std::string kind = entry.kinds == (as_method | as_property_put | as_property_get)
                                     ? "method, property put or get"
                                 : entry.kinds == as_method ? "method"
                                                            : "unexpected kinds " + std::to_string(entry.kinds);
        EXPECT_EQ(row[1], kind) << entry.name;
        const int count = entry.kinds & as_method ? entry.argument_count : 1;
        const std::string type = entry.arguments == argument_type::number ? "number" : "text";
        EXPECT_EQ(row[2], count == 0 ? "none" : std::to_string(count) + " " + type + (count > 1 ? "s" : ""))
            << entry.name;
        EXPECT_EQ(row[3], entry.meaning) << entry.name;
    }
}

// One action of the guide: its heading line ` 7  RenderMode "[Mode]"`, then
// indented lines up to a blank one, the last of them from "Calls: " on.
struct guide_action {
    std::string heading, meaning, calls;
};

std::vector<guide_action> guide_actions(const std::vector<std::string>& guide) {
    std::vector<guide_action> actions;
    bool in_entry = false, in_calls = false;
    for (const std::string& line : guide) {
        const bool heading = line.size() > 5 && (line[0] == ' ' || std::isdigit(static_cast<unsigned char>(line[0]))) &&
                             std::isdigit(static_cast<unsigned char>(line[1])) && line.compare(2, 2, "  ") == 0 &&
                             line.back() == '"';
        if (heading) {
            actions.push_back({line, "", ""});
            in_entry = true, in_calls = false;
        } else if (in_entry && line.rfind("    ", 0) == 0) {
            std::string text = line.substr(4);
            if (text.rfind("Calls: ", 0) == 0) in_calls = true, text = text.substr(7);
            std::string& part = in_calls ? actions.back().calls : actions.back().meaning;
            part += (part.empty() ? "" : " ") + text;
        } else {
            in_entry = false;
        }
    }
    return actions;
}

TEST(GuideText, ActionsMatchTheCatalogueAndTheParameterTable) {
    ASSERT_EQ(action_parameter_count, action_count);
    const auto actions = guide_actions(source_lines("QUELTO_GUIDE", "GUIDE.txt"));
    ASSERT_EQ(actions.size(), static_cast<size_t>(action_count));
    for (int i = 0; i < action_count; ++i) {
        const action_entry& entry = action_catalogue[i];
        std::string word = std::string(entry.name).substr(sizeof "KP_Quelto3D_" - 1);
        word.pop_back();  // the registered trailing space
        const std::string number = std::to_string(entry.number);
        EXPECT_EQ(actions[i].heading, std::string(number.size() < 2 ? " " : "") + number + "  " + word + " \"" +
                                          entry.placeholder + "\"");
        // The table is kept in the catalogue's order, so REFERENCE.txt and
        // the guide explain each action in the same place.
        const action_parameter* row = find_action_parameter(entry.name);
        ASSERT_EQ(row, &action_parameters[i]) << word;
        EXPECT_EQ(actions[i].meaning, row->meaning) << word;
        EXPECT_EQ(actions[i].calls, row->calls) << word;
    }
}

// Every word in capitals in the table's calls column is a member the control
// answers to: a renamed member cannot stay in the guide and REFERENCE.txt.
TEST(GuideText, MembersCalledAreTheControls) {
    int named = 0;
    for (int i = 0; i < action_parameter_count; ++i) {
        const std::string calls = action_parameters[i].calls;
        for (size_t at = 0; at < calls.size();) {
            size_t end = at;
            while (end < calls.size() && std::isalnum(static_cast<unsigned char>(calls[end]))) ++end;
            const std::string word = calls.substr(at, end - at);
            at = end == at ? at + 1 : end;
            if (word.size() < 4 || word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") != std::string::npos)
                continue;
            ++named;
            EXPECT_NE(find_member(std::wstring(word.begin(), word.end()).c_str()), nullptr)
                << action_parameters[i].action << " calls " << word;
        }
    }
    EXPECT_GE(named, 25);
}

// The text of runner/main.cpp's usage_text string literals, escapes read,
// line ends as blanks.
std::string runner_usage_text() {
    std::string text;
    bool inside = false;
    for (const std::string& line : source_lines("QUELTO_RUNNER_MAIN", "main.cpp")) {
        if (line.find("usage_text[] =") != std::string::npos) inside = true;
        if (!inside) continue;
        const size_t open = line.find('"'), close = line.rfind('"');
        for (size_t i = open + 1; open != std::string::npos && i < close; ++i) {
            if (line[i] != '\\') text += line[i];
            else if (line[++i] == 'n') text += ' ';
            else text += line[i];
        }
        if (!line.empty() && line.back() == ';') break;
    }
    return text;
}

// The guide's exit statuses are the runner's: the same numbers, each guide
// line opening with the usage text's words up to any explanation.
TEST(GuideText, ExitStatusesAreTheRunners) {
    const std::string usage = runner_usage_text();
    size_t at = usage.find("Exit status: ");
    ASSERT_NE(at, std::string::npos) << usage;
    at += sizeof "Exit status: " - 1;
    std::vector<std::string> statuses;
    for (int n = 0; at != std::string::npos; ++n) {
        const std::string here = std::to_string(n) + " ", next = ", " + std::to_string(n + 1) + " ";
        ASSERT_EQ(usage.compare(at, here.size(), here), 0) << usage.substr(at);
        const size_t end = usage.find(next, at);
        std::string meaning = usage.substr(at + here.size(), end == std::string::npos ? end : end - at - here.size());
        meaning = meaning.substr(0, meaning.find_first_of("(:;."));
        while (!meaning.empty() && meaning.back() == ' ') meaning.pop_back();
        statuses.push_back(std::to_string(n) + "  " + meaning);
        at = end == std::string::npos ? end : end + 2;
    }

    std::vector<std::string> guide_statuses;
    bool inside = false;
    for (const std::string& line : source_lines("QUELTO_GUIDE", "GUIDE.txt")) {
        if (line.find("Exit status of quelto-runner") != std::string::npos) inside = true;
        else if (inside && !line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) break;
        else if (inside && line.size() > 3 && line.rfind("  ", 0) == 0 && std::isdigit(static_cast<unsigned char>(line[2])))
            guide_statuses.push_back(line.substr(2));
    }
    ASSERT_EQ(guide_statuses.size(), statuses.size()) << usage;
    for (size_t i = 0; i < statuses.size(); ++i)
        EXPECT_EQ(guide_statuses[i].rfind(statuses[i], 0), 0u) << guide_statuses[i] << "\nrunner: " << statuses[i];
}

}  // namespace
