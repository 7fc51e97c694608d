// The README's action and member tables against the tables the code runs on,
// so the two can never disagree.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "control/com/member_table.h"
#include "host/action_catalogue.h"

namespace {

std::vector<std::string> readme_rows(const std::string& table_header) {
    const char* path = std::getenv("QUELTO_README");
    std::string file = path ? path : "README.md";
    if (!file.empty() && file[0] == '/') file = "Z:" + file;
    std::ifstream in(file);
    std::vector<std::string> rows;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
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

}  // namespace
