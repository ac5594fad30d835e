// kopts: the command line of every program of the project, read one way.
// Options are "--name", with their value as the next argument or as flags
// without one; "--" ends the options; everything else is an operand.
// "--help" prints the program's help on standard output and "--version"
// its name and version (both: exit status 0); an unknown option or one
// without its value is a usage error: the reason, the help's usage lines
// (up to its first blank line) and "Try 'PROGRAM --help'." on standard
// error, exit status 2.
//
// Ownership: parse() returns values; the Syntax is the caller's. Threads: no
// shared state; called on the main thread before any other starts.
#ifndef KOPTS_KOPTS_H
#define KOPTS_KOPTS_H

#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kopts {

struct Syntax {
  std::string program;              // "nembad"
  std::string version;              // KEYD_VERSION
  std::string help;                 // the whole --help text; its first lines are the usage
  std::vector<std::string> valued;  // options that take a value ("--conf")
  std::vector<std::string> flags;   // options that take none ("--check")
};

struct Args {
  std::map<std::string, std::string> options;  // the last value given wins
  std::vector<std::string> operands;

  bool has(const std::string& name) const { return options.count(name) != 0; }
  // The option's value, or nullopt when it was not given.
  std::optional<std::string> value(const std::string& name) const;
};

// The arguments from argv[first] on, or the exit status the program ends
// with: 0 after --help or --version, 2 after a usage error (both printed).
std::variant<Args, int> parse(const Syntax& syntax, int argc, char** argv, int first = 1);

// Prints a usage error as parse() does; returns 2.
int usageError(const Syntax& syntax, const std::string& why);

}  // namespace kopts

#endif  // KOPTS_KOPTS_H
