#include "Startup.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

int main(int argc, char** argv) {
  // A large value (a prompt of a megabyte) passes through a few buffers of
  // its size on its way from the file to the response. Served from fresh
  // mappings, each of them costs a page fault per page and is unmapped again
  // at once, several times the copying itself; kept in the heap, the next
  // request reuses the pages. Up to 16 MiB of freed heap stays with the
  // process.
#if defined(__GLIBC__)
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
  mallopt(M_TRIM_THRESHOLD, 16 << 20);
#endif
  return runMain(argc, argv);
}
