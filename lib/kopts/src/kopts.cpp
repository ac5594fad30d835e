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

int usageError(const Spec& spec, const std::string& why) {
  const size_t blank = spec.help.find("\n\n");
  const std::string usage = spec.help.substr(0, blank == std::string::npos ? blank : blank + 1);
  std::fprintf(stderr, "%s: %s\n%sTry '%s --help'.\n", spec.program.c_str(), why.c_str(),
               usage.c_str(), spec.program.c_str());
  return 2;
}

std::variant<Args, int> parse(const Spec& spec, int argc, char** argv, int first) {
  Args args;
  bool optionsEnded = false;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      args.operands.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--help") {
      std::fputs(spec.help.c_str(), stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("%s %s\n", spec.program.c_str(), spec.version.c_str());
      return 0;
    } else if (listed(spec.flags, arg)) {
      args.options[arg] = "";
    } else if (!listed(spec.valued, arg)) {
      return usageError(spec, "unknown option " + arg);
    } else if (i + 1 >= argc) {
      return usageError(spec, arg + " needs a value");
    } else {
      args.options[arg] = argv[++i];
    }
  }
  return args;
}

}  // namespace kopts
