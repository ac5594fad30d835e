// --check of the translator, the bus daemon and (its own table rows) the
// bridge: every setting with the line it came from or its default, every
// problem with its line, and the exit status (tests/system/check.cases).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "system.h"

namespace {

using namespace testsupport;

// "\n" becomes a line end and "x*N" N x's.
std::string fileText(std::string text) {
  for (size_t at; (at = text.find("\\n")) != std::string::npos;) text.replace(at, 2, "\n");
  for (size_t at; (at = text.find("x*")) != std::string::npos;) {
    size_t end = at + 2;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    text.replace(at, end - at, std::string(std::stoul(text.substr(at + 2, end - at - 2)), 'x'));
  }
  return text;
}

struct Case {
  int line;
  std::vector<std::string> argv, out;
  std::vector<std::pair<std::string, std::string>> files;
  int exit = -1;
};

std::vector<Case> load() {
  std::vector<Case> cases;
  std::vector<std::pair<std::string, std::string>> defs;
  for (auto row : readTable("tests/system/check.cases")) {
    for (const auto& [name, value] : defs)
      for (size_t at; (at = row.text.find(name)) != std::string::npos;)
        row.text.replace(at, name.size(), value);
    const size_t blank = row.text.find(' ');
    if (row.verb == "def") {
      defs.emplace_back("$" + row.text.substr(0, blank), row.text.substr(blank + 1));
    } else if (row.verb == "run") {
      cases.push_back({row.line, {}, {}, {}, -1});
      std::istringstream words(row.text);
      for (std::string w; words >> w;) cases.back().argv.push_back(w);
      cases.back().argv[0] = programPath(cases.back().argv[0]);
      cases.back().argv.push_back("--check");
    } else if (row.verb == "file") {
      cases.back().files.emplace_back(row.text.substr(0, blank), fileText(row.text.substr(blank + 1)));
    } else if (row.verb == "out") {
      cases.back().out.push_back(row.text);
    } else if (row.verb == "exit") {
      cases.back().exit = std::stoi(row.text);
    }
  }
  return cases;
}

TEST(Check, EverySettingWithItsOriginAndEveryProblemWithItsLine) {
  for (const Case& c : load()) {
    SCOPED_TRACE("check.cases:" + std::to_string(c.line));
    for (const auto& entry : std::filesystem::directory_iterator("/etc/ram"))
      std::filesystem::remove_all(entry.path());
    for (const auto& [name, text] : c.files) std::ofstream("/etc/ram/" + name) << text << "\n";
    auto program = Child::start(c.argv);
    ASSERT_TRUE(program);
    EXPECT_EQ(program->readRemainingLines(kWaitMs), c.out);
    EXPECT_EQ(program->wait(kWaitMs), c.exit);
    EXPECT_EQ(program->drainStderr(), "");
  }
}

}  // namespace
