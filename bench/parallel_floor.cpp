// The device's limit for a scan: the floor walk's reads (bench/floor_walk.cpp:
// readdir; per regular file open, fstat, the first 64 bytes, 4 bytes at 60
// and 20 bytes at an offset taken from those, close), issued from many
// threads at once. Folders and files are handed out from one queue.
//
//   parallel_floor FOLDER [THREADS]   THREADS default 16; prints "files N"
//                                     and a checksum, as floor_walk does
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/floor_reads.h"

namespace {

struct Task {
  std::string path;
  bool folder;
};

struct Work {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<Task> tasks;
  std::size_t unfinished = 0;  // queued or being done
  std::atomic<std::uint64_t> files{0};
  std::atomic<std::uint64_t> checksum{0};
};

void scanFile(const std::string& path, Work* work) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  std::uint64_t checksum = 0;
  if (floorReads(fd, &checksum)) ++work->files;
  work->checksum += checksum;
  ::close(fd);
}

void listFolder(const std::string& path, std::vector<Task>* found) {
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return;
  while (struct dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat info;
      if (::fstatat(::dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_REG || type == DT_DIR) found->push_back({path + "/" + name, type == DT_DIR});
  }
  ::closedir(dir);
}

void worker(Work* work) {
  std::vector<Task> found;
  std::unique_lock<std::mutex> lock(work->mutex);
  for (;;) {
    work->ready.wait(lock, [&] { return !work->tasks.empty() || work->unfinished == 0; });
    if (work->tasks.empty()) return;
    Task task = std::move(work->tasks.front());
    work->tasks.pop_front();
    lock.unlock();
    found.clear();
    if (task.folder) {
      listFolder(task.path, &found);
    } else {
      scanFile(task.path, work);
    }
    lock.lock();
    for (Task& t : found) work->tasks.push_back(std::move(t));
    work->unfinished += found.size();
    --work->unfinished;
    work->ready.notify_all();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: parallel_floor FOLDER [THREADS]\n");
    return 2;
  }
  const int threads = argc == 3 ? std::atoi(argv[2]) : 16;
  if (threads < 1) {
    std::fprintf(stderr, "parallel_floor: THREADS must be at least 1\n");
    return 2;
  }
  struct stat info;
  if (::stat(argv[1], &info) != 0 || !S_ISDIR(info.st_mode)) {
    std::perror(argv[1]);
    return 2;
  }
  Work work;
  work.tasks.push_back({argv[1], true});
  work.unfinished = 1;
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) pool.emplace_back(worker, &work);
  for (std::thread& t : pool) t.join();
  std::printf("files %llu checksum %llu\n", static_cast<unsigned long long>(work.files.load()),
              static_cast<unsigned long long>(work.checksum.load()));
  return 0;
}
