// Windows paths on Linux: the mapped drive, the Windows directory and
// private-profile (INI) integer reads.
//
// Drive mapping: only drive C exists. "C:\X\Y" (or "c:/X/Y") is
// <drive root>/X/Y, where the drive root is $TQ5_DRIVE_C, else
// <runtime directory>/c. Backslashes become slashes; the case of the names is
// kept (Linux file names are case-sensitive). Other drives, relative paths and
// paths that climb out of the drive with ".." are refused.

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "platform.h"

namespace {

constexpr const char* kDefaultWindowsDirectory = "C:\\WINDOWS";

std::string DriveRoot(char letter) {
  if (letter != 'C' && letter != 'c') return std::string();
  const char* root = std::getenv("TQ5_DRIVE_C");
  if (root != nullptr && root[0] != '\0') return root;
  return std::string(PlatRuntimeDirectory()) + "/c";
}

std::string WindowsDirectory() {
  const char* directory = std::getenv("TQ5_WINDOWS_DIR");
  return (directory != nullptr && directory[0] != '\0') ? directory : kDefaultWindowsDirectory;
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualNoCase(const std::string& a, const char* b) {
  const size_t length = std::strlen(b);
  if (a.size() != length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(begin, end - begin);
}

// The value of section/key in an INI file, as the profile functions find it:
// section and key names compared without regard to case, surrounding blanks
// removed, one pair of matching quotes around the value removed. False when
// the file, the section or the key is missing.
bool FindProfileValue(const std::string& path, const char* section, const char* key, std::string* value) {
  std::ifstream file(path);
  if (!file) return false;
  std::string line;
  bool inSection = false;
  while (std::getline(file, line)) {
    const std::string text = Trim(line);
    if (text.empty() || text[0] == ';') continue;
    if (text[0] == '[') {
      const size_t close = text.find(']');
      inSection = close != std::string::npos && EqualNoCase(Trim(text.substr(1, close - 1)), section);
      continue;
    }
    if (!inSection) continue;
    const size_t equals = text.find('=');
    if (!EqualNoCase(Trim(text.substr(0, equals)), key)) continue;
    std::string found = equals == std::string::npos ? std::string() : Trim(text.substr(equals + 1));
    if (found.size() >= 2 && (found[0] == '"' || found[0] == '\'') && found.back() == found[0]) {
      found = found.substr(1, found.size() - 2);
    }
    *value = found;
    return true;
  }
  return false;
}

// The integer conversion of the profile functions: blanks skipped, an optional
// sign, then digits in base 10, or base 16 / 8 / 2 after "0x" / "0o" / "0b";
// the number ends at the first character that is not a digit of its base (no
// digits: 0). A negative number comes back as its two's complement.
uint32_t ProfileIntegerFromText(const std::string& text) {
  size_t at = 0;
  while (at < text.size() && static_cast<unsigned char>(text[at]) <= ' ') ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  uint32_t base = 10;
  if (at + 1 < text.size() && text[at] == '0') {
    const char marker = text[at + 1];
    base = marker == 'x' ? 16 : marker == 'o' ? 8 : marker == 'b' ? 2 : 10;
    if (base != 10) at += 2;
  }
  uint32_t total = 0;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    uint32_t digit;
    if (c >= '0' && c <= '9') digit = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'z') digit = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'Z') digit = static_cast<uint32_t>(c - 'A' + 10);
    else break;
    if (digit >= base) break;
    total = total * base + digit;  // wraps like the 32-bit original
  }
  return negative ? 0u - total : total;
}

}  // namespace

// A key that is present with an empty value gives the default, as a missing
// key does.
uint32_t PlatProfileInt(const char* section, const char* key, int32_t defaultValue, const char* windowsPath) {
  const uint32_t fallback = static_cast<uint32_t>(defaultValue);
  if (section == nullptr || key == nullptr || windowsPath == nullptr) return fallback;
  char path[4096];
  if (!PlatMapWindowsPath(windowsPath, path, sizeof path)) return fallback;
  std::string value;
  if (!FindProfileValue(path, section, key, &value) || value.empty()) return fallback;
  return ProfileIntegerFromText(value);
}

bool PlatMapWindowsPath(const char* windowsPath, char* buffer, size_t size) {
  if (windowsPath == nullptr || buffer == nullptr || size == 0) return false;
  const std::string path = windowsPath;
  if (path.size() < 2 || path[1] != ':') return false;
  const std::string root = DriveRoot(path[0]);
  if (root.empty()) return false;
  std::string rest = path.substr(2);
  for (char& c : rest) {
    if (c == '\\') c = '/';
  }
  if (!rest.empty() && rest[0] != '/') rest.insert(rest.begin(), '/');
  // Refuse ".." components: a Windows path never leaves its drive.
  for (size_t at = 0; at < rest.size();) {
    size_t next = rest.find('/', at + 1);
    if (next == std::string::npos) next = rest.size();
    if (rest.compare(at, next - at, "/..") == 0) return false;
    at = next;
  }
  const std::string mapped = root + rest;
  if (mapped.size() + 1 > size) return false;
  std::memcpy(buffer, mapped.c_str(), mapped.size() + 1);
  return true;
}

uint32_t PlatWindowsDirectory(char* buffer, uint32_t size) {
  const std::string directory = WindowsDirectory();
  const auto length = static_cast<uint32_t>(directory.size());
  if (buffer == nullptr || size < length + 1) return length + 1;  // the size needed, with the terminator
  std::memcpy(buffer, directory.c_str(), length + 1);
  return length;
}
