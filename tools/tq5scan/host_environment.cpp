#include "host_environment.h"

#include "platform.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace tq5scan {

namespace fs = std::filesystem;

fs::path ProgramDirectory(const char* argv0) {
  char directory[4096];
  if (PlatProgramDirectory(directory, sizeof directory) != 0) return fs::path(directory);
  // Unknown to the system: argv[0] serves.
  std::error_code code;
  const fs::path self = fs::weakly_canonical(fs::path(argv0 != nullptr ? argv0 : ""), code);
  if (code) return fs::current_path(code);
  return self.parent_path();
}

void AddDriverDirectory(const fs::path& programDirectory) {
  std::error_code code;
  fs::path lib = fs::weakly_canonical(programDirectory / ".." / "lib", code);
  if (code) lib = programDirectory / ".." / "lib";
  std::string value = lib.string();
  const char* existing = std::getenv("TQ5_LIBRARY_PATH");
  if (existing != nullptr && existing[0] != '\0') value += std::string(":") + existing;
  SetEnvironmentValue("TQ5_LIBRARY_PATH", value);
}

std::optional<double> RequestedClockSpeed() {
  const char* text = std::getenv("TQ5_CLOCK_SPEED");
  if (text == nullptr || text[0] == '\0') return std::nullopt;
  char* end = nullptr;
  const double speed = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(speed) || speed <= 0) return std::nullopt;
  return speed;
}

// The process environment is the channel through which the settings reach the
// driver's own copy of the platform layer.
bool SetEnvironmentValue(const char* name, const std::string& value) {
  return PlatSetEnvironment(name, value.c_str());
}

PrivateDirectory::~PrivateDirectory() {
  if (path_.empty()) return;
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

bool PrivateDirectory::Create(std::string& error) {
  std::error_code code;
  const fs::path base = fs::temp_directory_path(code);
  if (code) {
    error = "no temporary directory: " + code.message();
    return false;
  }
  std::random_device entropy;
  std::mt19937_64 random((static_cast<uint64_t>(entropy()) << 32) ^ entropy());
  for (int attempt = 0; attempt < 20; ++attempt) {
    char name[40];
    std::snprintf(name, sizeof name, "tq5scan-%012llx",
                  static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
    const fs::path candidate = base / name;
    if (fs::create_directory(candidate, code)) {
      fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace, code);
      path_ = candidate;
      return true;
    }
  }
  error = "cannot create a private directory in " + base.string();
  return false;
}

}  // namespace tq5scan
