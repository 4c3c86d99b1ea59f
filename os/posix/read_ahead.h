// Background fetching of what the scanner is about to read, so that a scan
// of a volume nothing of which is cached waits for the device many
// requests at a time instead of one.
//
// The volume tells it each folder it lists (the regular files and the
// folders of the listing, in listing order). A small pool of threads then
// opens, read-only and beneath the drive's root, the files of the latest
// listing at most `filesAhead` beyond the last one the scanner reached,
// asks the kernel for their first pages (and the last pages of win.ini and
// autoexec candidates) with posix_fadvise(POSIX_FADV_WILLNEED) and closes
// them at once. Threads with nothing of that to do read the listings of the
// subfolders of the latest listing, which the walk enters next (at most
// `filesAhead` of them queued), and fetch up to `filesAhead` files of each
// the same way. Nothing is read into this process's memory but listings,
// into one fixed buffer per thread. While the files it looks at are cached
// it fetches little and, until one is not, starts no thread at all.
//
// What the scanner sees does not change: the fetching only warms the page
// cache. It never opens a file for writing, never follows a symbolic link
// (links are not fetched, and each path resolves beneath the root with
// RESOLVE_BENEATH and O_NOFOLLOW), and holds no descriptor of a file while
// the scanner opens, deletes or changes it: reached() and touching() wait
// for a fetch of that path that is under way, and what lies behind the
// scanner or is about to change is not fetched afterwards.
//
// All members but the constructor are called from the scan's thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace purgato {

class ReadAhead {
 public:
  // One entry of a listing, as the volume passes it on.
  struct Entry {
    const char* name;
    std::size_t length;
    bool folder;  // a folder to descend into (links are left out before)
  };

  // How one file is fetched: path relative to rootFd, tail for the last
  // pages too; true when its first page was cached already.
  using FetchFile = std::function<bool(int rootFd, const char* path, bool tail)>;

  // Up to `threads` (at least 1) fetching threads, started at the first
  // listing whose first file is not in the cache (the scan's thread fetches
  // that file to find out, for one listing in 16); filesAhead >= 1.
  // fetchFile: the real fetch unless a test gives its own.
  ReadAhead(unsigned filesAhead, unsigned threads, FetchFile fetchFile = FetchFile());
  // stop().
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The folder `folder` (host path relative to rootFd, "" for the root) was
  // listed. Its files replace the files still queued: the walk has left
  // every folder listed before. A folder listed again right after itself
  // keeps its queue. rootFd must stay open until clear() or stop().
  void listed(int rootFd, const std::string& folder, const std::vector<Entry>& entries);
  // The scanner opens folder/name for reading: waits for a fetch of it
  // under way, and moves the window to it when it is queued.
  void reached(int rootFd, const std::string& folder, const std::string& name);
  // The scanner is about to change folder/name (delete it, open it for
  // writing, set its attributes): waits for a fetch of it under way and
  // drops it from the queue.
  void touching(int rootFd, const std::string& folder, const std::string& name);
  // Drops everything queued and waits for the fetches under way (before a
  // root descriptor is closed).
  void clear();
  // Waits until nothing more may be fetched before the scanner moves on.
  void waitIdle();
  // Drops everything and joins the threads; nothing is fetched afterwards.
  void stop();

 private:
  enum class Kind : std::uint8_t { kHead, kHeadAndTail, kListing, kDropped };
  struct Item {
    std::uint32_t nameOffset;
    Kind kind;
  };
  // The files of the latest listing.
  struct Files {
    int rootFd = -1;
    std::string folder;
    std::string names;         // each followed by its zero
    std::vector<Item> items;   // in listing order
    std::size_t reached = 0;   // items before this are behind the scanner
    std::size_t next = 0;      // the next item to fetch
  };
  struct Folder {
    int rootFd;
    std::string path;
  };
  struct Fetching {
    bool busy = false;
    bool folderFetch = false;  // a subfolder's listing and files
    bool cancelled = false;    // that folder is the walk's own now, or changes
    std::size_t files = 0;     // files of the folder fetched so far, this one included
    int rootFd = -1;
    std::string folder;        // the folder fetched from
    std::string path;          // the file being fetched, relative to rootFd
  };

  void run(std::size_t slot);
  void fetchFolder(std::size_t slot, std::vector<char>& buffer);
  // Gives up a fetch of the folder ahead; the files of it fetched so far.
  std::size_t cancelFolder(int rootFd, const std::string& folder, bool anyCase);
  bool take(std::size_t slot, Kind* kind);  // under the lock; fills fetching_[slot]
  void waitFor(int rootFd, const std::string& folder, const std::string& name, std::unique_lock<std::mutex>& lock);

  const std::size_t filesAhead_;
  const FetchFile fetchFile_;
  std::mutex mutex_;
  std::condition_variable work_;  // something to fetch, or stopping
  std::condition_variable done_;  // a fetch ended
  bool stopping_ = false;
  std::atomic<bool> stopped_{false};  // stopping_, read by a listing fetch without the lock
  Files files_;
  std::deque<Folder> folders_;          // subfolder listings to read, at most filesAhead_
  // Subfolders fetched ahead and how many of their first files were, so
  // that the walk's own listing does not fetch those again.
  struct Fetched {
    int rootFd;
    std::string path;
    std::size_t files;
  };
  std::deque<Fetched> fetched_;         // the latest, at most filesAhead_
  std::vector<Fetching> fetching_;      // one per thread
  std::size_t idle_ = 0;                // threads waiting for work
  std::size_t cachedInARow_ = 0;        // fetches that found their page cached
  std::size_t warmListings_ = 0;        // listings made while the cache was warm
  std::size_t unstartedListings_ = 0;   // listings made before the threads started
  bool warm() const;                    // under the lock
  std::vector<std::thread> threads_;
};

}  // namespace purgato
