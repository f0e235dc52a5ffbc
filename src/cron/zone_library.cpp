#include "cron/zone_library.hpp"

#include <fstream>
#include <iterator>
#include <map>
#include <mutex>

#include <pthread.h>
#include <sys/stat.h>

namespace tyvo::cron {
namespace {

// The largest zone file in the database is a few kilobytes.
constexpr std::size_t max_file_size = 1 << 20;

struct Library {
  std::mutex mutex;
  std::vector<std::string> directories{"/usr/share/zoneinfo", "/usr/lib/zoneinfo", "/usr/share/lib/zoneinfo",
                                       "/etc/zoneinfo"};
  std::map<std::string, std::shared_ptr<const Zone>, std::less<>> zones;
};

// Never destroyed: a job task may still search while the process exits. A fork
// waits for a load in progress, so the child never inherits a held lock.
Library& library() {
  static Library* const instance = [] {
    auto* created = new Library;
    ::pthread_atfork([] { library().mutex.lock(); }, [] { library().mutex.unlock(); },
                     [] { library().mutex.unlock(); });
    return created;
  }();
  return *instance;
}

bool is_zone_name(std::string_view name) noexcept {
  if (name.empty() || name.size() > 255) return false;
  std::size_t part_start = 0;
  for (std::size_t at = 0; at <= name.size(); ++at) {
    if (at < name.size() && name[at] != '/') {
      const char c = name[at];
      const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                           c == '_' || c == '-' || c == '+' || c == '.';
      if (!allowed) return false;
      continue;
    }
    const std::string_view part = name.substr(part_start, at - part_start);
    if (part.empty() || part == "." || part == "..") return false;
    part_start = at + 1;
  }
  return true;
}

// The file's bytes, if it is a regular file of a plausible size.
std::optional<std::string> read_regular_file(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  if (static_cast<std::uint64_t>(status.st_size) > max_file_size) return std::string{};
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::string{};
  std::string bytes;
  bytes.resize(static_cast<std::size_t>(status.st_size) + 1);  // one more: a file that grew shows
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return bytes;
}

std::shared_ptr<const Zone> load(std::string_view name, const std::vector<std::string>& directories) {
  for (const std::string& directory : directories) {
    if (directory.empty()) continue;
    const std::optional<std::string> bytes = read_regular_file(directory + "/" + std::string{name});
    if (!bytes) continue;
    // Like zoneinfo, the first file found decides, valid or not.
    const std::optional<TzifData> data = bytes->size() <= max_file_size ? read_tzif(*bytes) : std::nullopt;
    if (!data) return nullptr;
    std::optional<Zone> zone = Zone::from_tzif(std::string{name}, *data);
    if (!zone) return nullptr;
    return std::make_shared<const Zone>(std::move(*zone));
  }
  return nullptr;
}

}  // namespace

void set_zone_search_path(std::vector<std::string> directories) {
  Library& lib = library();
  const std::lock_guard lock(lib.mutex);
  lib.directories = std::move(directories);
}

std::vector<std::string> zone_search_path() {
  Library& lib = library();
  const std::lock_guard lock(lib.mutex);
  return lib.directories;
}

std::shared_ptr<const Zone> find_zone(std::string_view name) {
  if (!is_zone_name(name)) return nullptr;
  Library& lib = library();
  const std::lock_guard lock(lib.mutex);
  if (const auto found = lib.zones.find(name); found != lib.zones.end()) return found->second;
  // Unknown names are not remembered: the file may appear later, as with zoneinfo.
  std::shared_ptr<const Zone> zone = load(name, lib.directories);
  if (zone) lib.zones.emplace(std::string{name}, zone);
  return zone;
}

}  // namespace tyvo::cron
