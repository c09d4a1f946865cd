// kovsummary: a short account of a finished run in a scene directory: pixels
// processed, the share whose final fit failed, and the products' sizes.
//
// Usage: kovsummary [DIR]

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <sys/stat.h>

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : ".";
  std::ifstream cntl(dir + "/cntl.dat");
  long ndat = 0, nline = 0, npix = 0;
  if (!(cntl >> ndat >> nline >> npix)) {
    std::fprintf(stderr, "kovsummary: %s/cntl.dat: expected NDAT, NLINE and NPIX in its first records\n",
                 dir.c_str());
    return 1;
  }
  const long pixels = nline * npix;
  std::ifstream order(dir + "/order.dat", std::ios::binary);
  std::vector<char> bytes(static_cast<std::size_t>(pixels));
  if (!order.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
    std::fprintf(stderr, "kovsummary: %s/order.dat: expected %ld bytes\n", dir.c_str(), pixels);
    return 1;
  }
  long failed = 0;
  for (char b : bytes)
    if (static_cast<signed char>(b) <= 1) ++failed;  // -1 (255), 0 or 1: failed fit
  std::printf("pixels processed: %ld (%ld lines x %ld pixels, %ld time steps)\n", pixels, nline,
              npix, ndat);
  std::printf("final fit failed: %ld pixels (%.2f%%)\n", failed,
              pixels > 0 ? 100.0 * static_cast<double>(failed) / static_cast<double>(pixels) : 0.0);
  std::printf("products:\n");
  for (const char* name : {"p.bsq", "i.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"}) {
    struct stat st;
    if (stat((dir + "/" + name).c_str(), &st) == 0)
      std::printf("  %-10s %12lld bytes\n", name, static_cast<long long>(st.st_size));
  }
  return 0;
}
