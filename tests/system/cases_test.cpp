// The case tables of tests/cases through the real programs: key-daemon
// reports in and the exact publications out, bus commands in and the exact
// requests (or nothing) out. The step language is described at the top of
// tests/cases/reports.cases.
#include <gtest/gtest.h>

#include <set>

#include "system.h"

namespace {

using namespace testsupport;

// The steps and configuration lines of a case file; `def`s applied.
std::vector<testsupport::Row> load(const std::string& file, std::string& conf) {
  std::vector<testsupport::Row> steps;
  std::vector<std::pair<std::string, std::string>> defs;  // longest names first below
  for (auto row : testsupport::readTable("tests/cases/" + file)) {
    for (const auto& [name, value] : defs)
      for (size_t at; (at = row.text.find(name)) != std::string::npos;) row.text.replace(at, name.size(), value);
    if (row.verb == "conf") {
      conf += row.text + "\n";
    } else if (row.verb == "def") {
      const size_t sep = row.text.find(' ');
      defs.emplace_back("$" + row.text.substr(0, sep), row.text.substr(sep + 1));
      std::sort(defs.begin(), defs.end(), [](auto& a, auto& b) { return a.first.size() > b.first.size(); });
    } else {
      steps.push_back(row);
    }
  }
  return steps;
}

// (No std::regex in the harness: GCC 12 warns falsely about its insides in
// the AddressSanitizer build.)
// Compares a publication with its expected text: $STATE is the current
// state, $NEW a version-4 UUID never seen before, which becomes the state.
bool matches(std::string expected, const std::string& actual, std::string& state,
             std::set<std::string>& seen) {
  for (size_t at; (at = expected.find("$STATE")) != std::string::npos;) expected.replace(at, 6, state);
  const size_t at = expected.find("$NEW");
  if (at == std::string::npos) return expected == actual;
  const size_t tail = expected.size() - at - 4;
  if (actual.size() != expected.size() - 4 + 36 || actual.compare(0, at, expected, 0, at) != 0 ||
      actual.compare(at + 36, tail, expected, at + 4, tail) != 0)
    return false;
  state = actual.substr(at, 36);
  // Lower-case hex in groups of 8-4-4-4-12, version 4, variant 10.
  bool uuid = state[14] == '4' && std::string_view("89ab").find(state[19]) != std::string::npos;
  for (size_t i = 0; i < state.size(); ++i)
    uuid = uuid && (i == 8 || i == 13 || i == 18 || i == 23
                        ? state[i] == '-'
                        : std::string_view("0123456789abcdef").find(state[i]) != std::string::npos);
  return uuid && seen.insert(state).second;
}

// A table at a log level: the translator compares configurations one way
// when its debug lines are written and another way when they are not, so
// the report tables run at DEBUG and at INFO. The parameter: "FILE LEVEL".
class Cases : public ::testing::TestWithParam<std::string> {};

TEST_P(Cases, EveryStepAsWritten) {
  const std::string file = GetParam().substr(0, GetParam().find(' ')),
                    level = GetParam().substr(file.size() + 1);
  const bool debugLines = level == "DEBUG";
  std::string conf;
  const auto steps = load(file, conf);
  ASSERT_FALSE(steps.empty());
  Site site(conf, level);
  site.start();
  std::string state, every;
  std::vector<std::string> debugSteps;  // at INFO: lines that must not be written
  std::set<std::string> seen;
  size_t logAt = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE(file + ":" + std::to_string(step.line) + ": " + step.verb);
    std::string text = step.text;
    for (size_t at; (at = text.find("$STATE")) != std::string::npos;) text.replace(at, 6, state);
    if (step.verb == "key>") {
      site.report(text);
    } else if (step.verb == "every") {
      every = text;
    } else if (step.verb == "bus>") {
      site.command(text);
    } else if (step.verb == "<bus") {
      auto pub = every.empty() ? site.publication() : std::nullopt;
      // Until it comes, the key daemon sends its report again every 100 ms.
      for (auto end = after(kWaitMs); !pub && !every.empty() && msLeft(end) > 0;)
        site.report(every), pub = site.publication(100);
      every.clear();
      ASSERT_TRUE(pub) << "no publication";
      const size_t blank = step.text.find(' ');
      EXPECT_EQ(pub->topic, step.text.substr(0, blank));
      EXPECT_TRUE(matches(step.text.substr(blank + 1), pub->payload, state, seen)) << pub->payload;
    } else if (step.verb == "<key") {
      EXPECT_EQ(site.request(), text);
    } else if (step.verb == "log" || (step.verb == "debug" && debugLines)) {
      auto found = site.waitForLog(text, logAt);
      ASSERT_TRUE(found) << "not logged in this order";
      logAt = *found;
    } else if (step.verb == "debug") {
      debugSteps.push_back(text);
    } else {
      FAIL() << "unknown step";
    }
    if (HasFatalFailure()) break;
  }
  site.stopTranslator(SIGTERM);
  for (const auto& line : debugSteps) EXPECT_FALSE(site.waitForLog(line, 0, 0)) << "not a debug line: " << line;
}

INSTANTIATE_TEST_SUITE_P(Tables, Cases,
                         ::testing::Values("reports.cases DEBUG", "reports.cases INFO", "ping.cases DEBUG",
                                           "ping.cases INFO", "commands.cases DEBUG"),
                         [](const auto& info) {
                           return info.param.substr(0, info.param.find('.')) + "_" +
                                  info.param.substr(info.param.find(' ') + 1);
                         });

}  // namespace
