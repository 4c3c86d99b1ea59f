// Holds a file open the way a program that keeps it in use does: readable
// by others, but not to be deleted (no FILE_SHARE_DELETE). Used by the
// console scanner's end-to-end tests for a worm file that cannot be
// deleted.
//
//   hold_open.exe PATH     prints "held" once the file is open, then waits
//                          until it is ended
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: hold_open PATH\n", stderr);
    return 2;
  }
  const HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "hold_open: cannot open %s: error %lu\n", argv[1], GetLastError());
    return 1;
  }
  std::puts("held");
  std::fflush(stdout);
  for (;;) Sleep(1000);
}
