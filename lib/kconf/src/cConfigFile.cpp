// cConfigFile: reading a key=value file into the map, and the typed lookups.
#include "cConfigFile.h"

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

bool cConfigFile::load(const char* path) {
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "r"));
  if (!file) {
    std::fputs("Failed to load input file ", stdout);
    std::fputs(path, stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
    return false;
  }
  mMap.clear();
  std::string line;
  while (readLine(file.get(), line, kMaxLine)) {
    // The line's text ends at its first zero byte.
    std::string text(line.c_str());
    size_t hash = text.find('#');
    if (hash == 0) continue;
    if (hash != std::string::npos) text.resize(hash);
    size_t eq = text.find('=');
    if (eq == std::string::npos) continue;
    // emplace keeps an existing entry: the first occurrence of a key wins.
    mMap.emplace(text.substr(0, eq), text.substr(eq + 1));
  }
  return true;
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
