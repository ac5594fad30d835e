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

#include <map>
#include <string>

class cConfigFile {
 public:
  // Longest line read, newline excluded; a longer line ends the reading.
  static constexpr size_t kMaxLine = 255;

  // Reads the file into the map. On an open failure writes
  // "Failed to load input file <path>" on standard output, leaves the map as
  // it was and returns false; otherwise replaces the map and returns true.
  bool load(const char* path);

  // The stored value of key, or def when the key is absent.
  const char* getString(const char* key, const char* def) const;
  // The stored value converted as strtol does in base 10 (0 for a value
  // without digits, clamped to the int range), or def when absent.
  int getInt(const char* key, int def) const;

  size_t size() const { return mMap.size(); }

 private:
  std::map<std::string, std::string> mMap;
};

#endif  // KCONF_CCONFIGFILE_H
