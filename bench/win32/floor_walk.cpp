// The least work under Windows that looks at every file the way the scanner
// must: FindFirstFileA / FindNextFileA over a tree, and per file _open,
// three small _reads (the DOS header's e_lfanew, the PE signature, 20 bytes
// of header) and _close. Prints the number of files seen.
//
//   win32_floor_walk.exe ROOT      for example "C:"
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

long files = 0;

void touch(const std::string& path) {
  const int fd = _open(path.c_str(), _O_RDONLY | _O_BINARY);
  if (fd < 0) return;
  unsigned char buffer[20];
  if (_lseek(fd, 60, SEEK_SET) == 60) _read(fd, buffer, 4);
  if (_lseek(fd, 128, SEEK_SET) == 128) _read(fd, buffer, 4);
  if (_lseek(fd, 132, SEEK_SET) == 132) _read(fd, buffer, 20);
  _close(fd);
}

// Files first, then folders, as the scan walks.
void walk(const std::string& folder) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + "\\*.*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      ++files;
      touch(folder + "\\" + data.cFileName);
    }
  } while (FindNextFileA(find, &data));
  FindClose(find);
  find = FindFirstFileA((folder + "\\*.*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const bool dots = std::strcmp(data.cFileName, ".") == 0 || std::strcmp(data.cFileName, "..") == 0;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !dots &&
        !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
      walk(folder + "\\" + data.cFileName);
  } while (FindNextFileA(find, &data));
  FindClose(find);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: win32_floor_walk ROOT\n");
    return 2;
  }
  std::string root = argv[1];
  while (!root.empty() && root.back() == '\\') root.pop_back();
  walk(root);
  std::printf("%ld files\n", files);
  return 0;
}
