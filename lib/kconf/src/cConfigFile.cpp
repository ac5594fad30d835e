// cConfigFile: reading a key=value file into the map, and the typed lookups.
#include "cConfigFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

// Reads one line (newline excluded) into line. Returns false at the end of
// the file with nothing read, or when the line is longer than maxLine.
bool readLine(FILE* f, std::string& line, size_t maxLine) {
  line.clear();
  int c;
  bool any = false;
  while ((c = std::getc(f)) != EOF) {
    any = true;
    if (c == '\n') return true;
    if (line.size() == maxLine) return false;
    line.push_back(static_cast<char>(c));
  }
  return any;
}

}  // namespace

bool cConfigFile::load(const char* path, bool quiet) {
  mPath = path;
  mProblems.clear();
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "r"));
  if (!file) {
    mProblems.push_back({0, std::string("cannot be read: ") + std::strerror(errno)});
    if (quiet) return false;
    std::fputs("Failed to load input file ", stdout);
    std::fputs(path, stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
    return false;
  }
  mMap.clear();
  mLines.clear();
  std::string line;
  int number = 0;
  for (;;) {
    ++number;
    if (!readLine(file.get(), line, kMaxLine)) {
      if (line.size() == kMaxLine)
        mProblems.push_back({number, "longer than " + std::to_string(kMaxLine) +
                                         " characters: it and every line after it are not read"});
      break;
    }
    // The line's text ends at its first zero byte.
    std::string text(line.c_str());
    size_t hash = text.find('#');
    if (hash == 0) continue;
    if (hash != std::string::npos) text.resize(hash);
    size_t eq = text.find('=');
    if (eq == std::string::npos) continue;
    // emplace keeps an existing entry: the first occurrence of a key wins.
    if (mMap.emplace(text.substr(0, eq), text.substr(eq + 1)).second)
      mLines.emplace(text.substr(0, eq), number);
  }
  return true;
}

namespace {

// A value strtol reads whole, blanks around it aside.
bool wholeNumber(const std::string& value) {
  const char* start = value.c_str();
  char* end = nullptr;
  std::strtol(start, &end, 10);
  if (end == start) return false;
  while (*end == ' ' || *end == '\t' || *end == '\r') ++end;
  return *end == '\0';
}

bool admitted(const std::string& key, const std::vector<std::string>& prefixes) {
  for (const std::string& prefix : prefixes)
    if (key.compare(0, prefix.size(), prefix) == 0) return true;
  return false;
}

}  // namespace

std::vector<cConfigFile::Problem> cConfigFile::check(const std::vector<Known>& known,
                                                     const std::vector<std::string>& prefixes) const {
  std::vector<Problem> found = mProblems;
  for (const auto& [key, line] : mLines) {
    const auto it = std::find_if(known.begin(), known.end(),
                                 [&key = key](const Known& k) { return key == k.key; });
    if (it == known.end() && !admitted(key, prefixes))
      found.push_back({line, "unknown key \"" + key + "\" (ignored)"});
    else if (it != known.end() && it->number && !wholeNumber(mMap.at(key)))
      found.push_back({line, std::string(it->key) + "=" + mMap.at(key) + " is not a number (read as " +
                                 std::to_string(getInt(it->key, 0)) + ")"});
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const Problem& a, const Problem& b) { return a.line < b.line; });
  return found;
}

bool cConfigFile::printCheck(FILE* out, const std::vector<Known>& known,
                             const std::vector<std::string>& prefixes) const {
  for (const Known& k : known) {
    const auto line = mLines.find(k.key);
    if (line == mLines.end())
      std::fprintf(out, "%s: %s=%s (default)\n", mPath.c_str(), k.key, k.def.c_str());
    else
      std::fprintf(out, "%s:%d: %s=%s\n", mPath.c_str(), line->second, k.key,
                   mMap.at(k.key).c_str());
  }
  for (const auto& [key, line] : mLines)
    if (admitted(key, prefixes))
      std::fprintf(out, "%s:%d: %s=%s\n", mPath.c_str(), line, key.c_str(), mMap.at(key).c_str());
  const std::vector<Problem> found = check(known, prefixes);
  for (const Problem& p : found) {
    if (p.line > 0)
      std::fprintf(out, "%s:%d: problem: %s\n", mPath.c_str(), p.line, p.text.c_str());
    else
      std::fprintf(out, "%s: problem: %s\n", mPath.c_str(), p.text.c_str());
  }
  return found.empty();
}

const char* cConfigFile::getString(const char* key, const char* def) const {
  auto it = mMap.find(key);
  return it == mMap.end() ? def : it->second.c_str();
}

int cConfigFile::getInt(const char* key, int def) const {
  auto it = mMap.find(key);
  if (it == mMap.end()) return def;
  long v = std::strtol(it->second.c_str(), nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}
