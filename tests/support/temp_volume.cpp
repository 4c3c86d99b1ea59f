#include "tests/support/temp_volume.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "os/posix/posix_os.h"

namespace purgato {

namespace fs = std::filesystem;

namespace {

bool sameNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// FNV-1a, 64 bits: enough to tell changed fixtures apart.
std::string hashOf(const std::string& bytes) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  char text[48];
  std::snprintf(text, sizeof text, "%zu:%016llx", bytes.size(), static_cast<unsigned long long>(h));
  return text;
}

// Makes every folder beneath (and including) path writable and searchable,
// so that a test that took those rights away does not leave files behind.
void grantAll(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(path, ec))) return;
  ::chmod(path.c_str(), 0700);
  for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) grantAll(it->path());
}

}  // namespace

TempVolume::TempVolume() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/purgato-volume-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  root_ = buffer.data();
}

TempVolume::~TempVolume() {
  grantAll(root_);
  std::error_code ec;
  fs::remove_all(root_, ec);
}

std::string TempVolume::drive(char letter) {
  const char upper = char(std::toupper(static_cast<unsigned char>(letter)));
  if (upper < 'A' || upper > 'Z') throw std::invalid_argument(std::string("drive letter ") + letter);
  const std::string folder = root_ + "/" + upper;
  if (std::find(drives_.begin(), drives_.end(), upper) == drives_.end()) {
    fs::create_directories(folder);
    drives_.push_back(upper);
    for (PosixOs* os : mapped_) os->mapDrive(upper, folder);
  }
  return folder;
}

void TempVolume::mapInto(PosixOs& os) {
  for (char letter : drives_) os.mapDrive(letter, root_ + "/" + letter);
  mapped_.push_back(&os);
}

std::string TempVolume::hostPath(const std::string& windowsPath) {
  if (windowsPath.size() < 2 || windowsPath[1] != ':' || !std::isalpha(static_cast<unsigned char>(windowsPath[0])))
    throw std::invalid_argument("not a drive path: " + windowsPath);
  fs::path host = drive(windowsPath[0]);
  std::size_t start = 2;
  while (start <= windowsPath.size()) {
    std::size_t end = windowsPath.find('\\', start);
    if (end == std::string::npos) end = windowsPath.size();
    const std::string part = windowsPath.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (host != fs::path(drive(windowsPath[0]))) host = host.parent_path();
      continue;
    }
    std::error_code ec;
    std::string name = part;
    if (!fs::exists(fs::symlink_status(host / part, ec))) {
      for (fs::directory_iterator it(host, ec), stop; !ec && it != stop; it.increment(ec)) {
        if (sameNoCase(it->path().filename().string(), part)) {
          name = it->path().filename().string();
          break;
        }
      }
    }
    host /= name;
  }
  return host.string();
}

void TempVolume::writeFile(const std::string& windowsPath, const std::vector<std::uint8_t>& bytes) {
  const fs::path host = hostPath(windowsPath);
  fs::create_directories(host.parent_path());
  std::ofstream out(host, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + host.string());
}

void TempVolume::writeFile(const std::string& windowsPath, const std::string& text) {
  writeFile(windowsPath, std::vector<std::uint8_t>(text.begin(), text.end()));
}

void TempVolume::makeFolder(const std::string& windowsPath) { fs::create_directories(hostPath(windowsPath)); }

std::vector<std::uint8_t> TempVolume::readFile(const std::string& windowsPath) {
  const std::string host = hostPath(windowsPath);
  std::ifstream in(host, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + host);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string TempVolume::readText(const std::string& windowsPath) {
  const std::vector<std::uint8_t> bytes = readFile(windowsPath);
  return std::string(bytes.begin(), bytes.end());
}

bool TempVolume::exists(const std::string& windowsPath) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(hostPath(windowsPath), ec));
}

std::map<std::string, std::string> TempVolume::hashTree() const {
  std::map<std::string, std::string> tree;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root_, fs::directory_options::skip_permission_denied, ec), end;
       !ec && it != end; it.increment(ec)) {
    const std::string relative = fs::relative(it->path(), root_).generic_string();
    const fs::file_status status = it->symlink_status(ec);
    if (fs::is_symlink(status)) {
      tree[relative] = "link:" + fs::read_symlink(it->path(), ec).string();
    } else if (fs::is_directory(status)) {
      tree[relative] = "dir";
    } else {
      std::ifstream in(it->path(), std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      tree[relative] = in ? hashOf(bytes) : "unreadable";
    }
  }
  return tree;
}

std::string fileText(const std::string& hostPath) {
  std::string text;
  if (std::FILE* f = std::fopen(hostPath.c_str(), "rb")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
    std::fclose(f);
  }
  return text;
}

int makeDir(const std::string& hostPath) {
  if (::mkdir(hostPath.c_str(), 0777) == 0) return 0;
  return errno == EEXIST ? 1 : -1;
}

}  // namespace purgato
