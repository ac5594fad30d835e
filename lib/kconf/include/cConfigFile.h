// kconf: the configuration reader every program of ours shares (the
// translator's two files, the bus daemon's file).
//
// cConfigFile: one key=value configuration file loaded into an ordered map.
// Keys and values are kept exactly as they stand in the file (no trimming);
// the first occurrence of a key wins. Texts returned by getString belong to
// the map and stay valid while it is unchanged.
// Threads: filled once on the main thread at start-up, read-only afterwards.
#ifndef KCONF_CCONFIGFILE_H
#define KCONF_CCONFIGFILE_H

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class cConfigFile {
 public:
  // Longest line read, newline excluded; a longer line ends the reading.
  static constexpr size_t kMaxLine = 255;

  // Reads the file into the map. On an open failure writes
  // "Failed to load input file <path>" on standard output (unless `quiet`:
  // --check says it its own way), leaves the map as it was, notes the
  // problem and returns false; otherwise replaces the map and returns true.
  bool load(const char* path, bool quiet = false);

  // The stored value of key, or def when the key is absent.
  const char* getString(const char* key, const char* def) const;
  // The stored value converted as strtol does in base 10 (0 for a value
  // without digits, clamped to the int range), or def when absent.
  int getInt(const char* key, int def) const;

  size_t size() const { return mMap.size(); }

  // What the reading found wrong, each with its line (0: the file as a
  // whole): a file that cannot be read, a line too long (it and every line
  // after it are not read).
  struct Problem {
    int line;
    std::string text;
  };
  const std::vector<Problem>& problems() const { return mProblems; }

  // A setting a program reads: its key, whether its value is a number, and
  // the default it takes when the file does not give it.
  struct Known {
    const char* key;
    bool number;
    std::string def;
  };
  // The reading's problems and those of the settings: a key neither known
  // nor starting with one of `prefixes`, a number that is not one (it is
  // read as strtol reads it all the same). In line order.
  std::vector<Problem> check(const std::vector<Known>& known,
                             const std::vector<std::string>& prefixes) const;
  // What --check prints of this file: every known setting with its value
  // and the line it came from (or its default), every other setting the
  // prefixes admit, then every problem of check(). True when there is none.
  bool printCheck(FILE* out, const std::vector<Known>& known,
                  const std::vector<std::string>& prefixes) const;

 private:
  std::string mPath;
  std::map<std::string, std::string> mMap;
  std::map<std::string, int> mLines;  // the line each key was read from
  std::vector<Problem> mProblems;
};

#endif  // KCONF_CCONFIGFILE_H
