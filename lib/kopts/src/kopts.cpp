// kopts: one reading of the command line for every program.
#include "kopts.h"

#include <algorithm>
#include <cstdio>

namespace kopts {

namespace {

bool listed(const std::vector<std::string>& names, const std::string& arg) {
  return std::find(names.begin(), names.end(), arg) != names.end();
}

}  // namespace

std::optional<std::string> Args::value(const std::string& name) const {
  const auto it = options.find(name);
  if (it == options.end()) return std::nullopt;
  return it->second;
}

int usageError(const Syntax& syntax, const std::string& why) {
  const size_t blank = syntax.help.find("\n\n");
  const std::string usage = syntax.help.substr(0, blank == std::string::npos ? blank : blank + 1);
  std::fprintf(stderr, "%s: %s\n%sTry '%s --help'.\n", syntax.program.c_str(), why.c_str(),
               usage.c_str(), syntax.program.c_str());
  return 2;
}

std::variant<Args, int> parse(const Syntax& syntax, int argc, char** argv, int first) {
  Args args;
  bool optionsEnded = false;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      args.operands.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--help") {
      std::fputs(syntax.help.c_str(), stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("%s %s\n", syntax.program.c_str(), syntax.version.c_str());
      return 0;
    } else if (listed(syntax.flags, arg)) {
      args.options[arg] = "";
    } else if (!listed(syntax.valued, arg)) {
      return usageError(syntax, "unknown option " + arg);
    } else if (i + 1 >= argc) {
      return usageError(syntax, arg + " needs a value");
    } else {
      args.options[arg] = argv[++i];
    }
  }
  return args;
}

}  // namespace kopts
