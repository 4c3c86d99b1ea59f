// One scan of a folder whose files are renamed away after the scan has
// listed it: the scanner is stopped as it opens its first file there, every
// file of the folder is moved out of the volume, and the scanner goes on.
// With "intact" the scanner is stopped and continued the same way, and
// nothing is moved. The scanner runs with --read-ahead 0.
//
//   vanish_run SCANNER DIR N intact|renamed
//
// DIR/tree/BIG holds N small files (made on the first run); DIR/away takes
// them while they are gone. Prints "WALL CPU STATUS SCANNED": the scanner's
// wall-clock seconds without the stopped time, its CPU seconds (user +
// system), its exit status and its "Total files scanned".
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::string nameOf(long i) {
  char name[32];
  std::snprintf(name, sizeof name, "F%07ld.TXT", i);
  return name;
}

bool fail(const std::string& what) {
  std::fprintf(stderr, "vanish_run: %s: %s\n", what.c_str(), std::strerror(errno));
  return false;
}

// Makes the folder once; a marker file says it is complete.
bool makeTree(const std::string& dir, long n) {
  const std::string big = dir + "/tree/BIG";
  if (::access((dir + "/made").c_str(), F_OK) == 0) return true;
  ::mkdir(dir.c_str(), 0755);
  ::mkdir((dir + "/tree").c_str(), 0755);
  ::mkdir(big.c_str(), 0755);
  ::mkdir((dir + "/away").c_str(), 0755);
  const std::string text(100, 'x');
  for (long i = 0; i < n; ++i) {
    const int fd = ::open((big + "/" + nameOf(i)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return fail("make");
    ::close(fd);
  }
  const int marker = ::open((dir + "/made").c_str(), O_WRONLY | O_CREAT, 0644);
  ::close(marker);
  return true;
}

void moveAll(int from, int to, long n) {
  for (long i = 0; i < n; ++i) ::renameat(from, nameOf(i).c_str(), to, nameOf(i).c_str());
}

long scannedIn(const std::string& output) {
  std::ifstream in(output);
  std::string line;
  const std::string caption = "Total files scanned\t\t:  ";
  while (std::getline(in, line))
    if (line.compare(0, caption.size(), caption) == 0) return std::atol(line.c_str() + caption.size());
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || (std::strcmp(argv[4], "intact") != 0 && std::strcmp(argv[4], "renamed") != 0)) {
    std::fprintf(stderr, "usage: vanish_run SCANNER DIR N intact|renamed\n");
    return 2;
  }
  const std::string scanner = argv[1], dir = argv[2];
  const long n = std::atol(argv[3]);
  const bool rename = std::strcmp(argv[4], "renamed") == 0;
  if (!makeTree(dir, n)) return 1;
  const int big = ::open((dir + "/tree/BIG").c_str(), O_RDONLY | O_DIRECTORY);
  const int away = ::open((dir + "/away").c_str(), O_RDONLY | O_DIRECTORY);
  if (big < 0 || away < 0) return fail("open folders"), 1;
  moveAll(away, big, n);  // what an interrupted run left away

  const int watch = ::inotify_init1(IN_CLOEXEC);
  if (watch < 0 || ::inotify_add_watch(watch, (dir + "/tree/BIG").c_str(), IN_OPEN) < 0) return fail("inotify"), 1;

  const std::string output = dir + "/scan.out";
  const std::string drive = "C=" + dir + "/tree";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // Without read-ahead: its threads open files of the folder before the
  // walk has listed it, and the first open would stop the scan too early.
  // The tree is no Windows volume, hence --force.
  std::vector<char*> args = {const_cast<char*>(scanner.c_str()), const_cast<char*>("--force"),
                             const_cast<char*>("--read-ahead"),
                             const_cast<char*>("0"), const_cast<char*>("--drive"),
                             const_cast<char*>(drive.c_str()), nullptr};
  const Clock::time_point start = Clock::now();
  pid_t pid;
  if (posix_spawn(&pid, scanner.c_str(), &actions, nullptr, args.data(), environ) != 0) return fail("spawn"), 1;

  // The first file opened in the folder: its listing is done.
  for (bool opened = false; !opened;) {
    alignas(struct inotify_event) char events[4096];
    const ssize_t got = ::read(watch, events, sizeof events);
    if (got <= 0) return fail("inotify read"), 1;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(events + at);
      if (event->len > 0 && (event->mask & IN_ISDIR) == 0) opened = true;
      at += static_cast<ssize_t>(sizeof *event + event->len);
    }
  }
  ::kill(pid, SIGSTOP);
  int status = 0;
  ::waitpid(pid, &status, WUNTRACED);
  const Clock::time_point stopped = Clock::now();
  if (rename) moveAll(big, away, n);
  const Clock::time_point resumed = Clock::now();
  ::kill(pid, SIGCONT);
  struct rusage usage;
  ::wait4(pid, &status, 0, &usage);
  const Clock::time_point end = Clock::now();
  moveAll(away, big, n);

  const double wall = std::chrono::duration<double>((end - start) - (resumed - stopped)).count();
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::printf("%.4f %.4f %d %ld\n", wall, cpu, WIFEXITED(status) ? WEXITSTATUS(status) : -1, scannedIn(output));
  return 0;
}
