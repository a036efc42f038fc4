// Calls pb::PostForm directly:
//   post_probe [--warmup K] [--repeat N] [--pins PINS] URL BODYHEX
// BODYHEX is the body in hex ("-" for an empty body), so that any byte
// survives the command line. Prints "reply LEN HEX" for the last call and,
// with --repeat, "loop N SECONDS" for all of them (after K untimed calls).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "params/transport.h"

namespace {

bool FromHex(const char* hex, std::string& out) {
  if (std::strcmp(hex, "-") == 0) return true;
  const std::size_t n = std::strlen(hex);
  if (n % 2 != 0) return false;
  for (std::size_t i = 0; i < n; i += 2) {
    char byte[3] = {hex[i], hex[i + 1], '\0'};
    char* end = nullptr;
    const long v = std::strtol(byte, &end, 16);
    if (*end != '\0') return false;
    out.push_back(static_cast<char>(v));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long repeat = 1;
  long warmup = 0;
  bool timed = false;
  pb::PinSet pins;
  int first = 1;
  bool pinsOk = true;
  for (; first + 1 < argc && argv[first][0] == '-' && argv[first][1] == '-'; first += 2) {
    if (std::strcmp(argv[first], "--repeat") == 0) {
      repeat = std::strtol(argv[first + 1], nullptr, 10);
      timed = true;
    } else if (std::strcmp(argv[first], "--warmup") == 0) {
      warmup = std::strtol(argv[first + 1], nullptr, 10);
    } else if (std::strcmp(argv[first], "--pins") == 0) {
      pinsOk = pb::ParsePins(argv[first + 1], pins);
    } else {
      pinsOk = false;
    }
  }
  std::string body;
  if (argc != first + 2 || repeat < 1 || !pinsOk || !FromHex(argv[first + 1], body)) {
    std::printf("usage: post_probe [--warmup K] [--repeat N] [--pins PINS] URL BODYHEX\n");
    return 2;
  }
  LARGE_INTEGER freq, t0, t1;
  QueryPerformanceFrequency(&freq);
  std::string reply;
  try {
    for (long k = 0; k < warmup; ++k) reply = pb::PostForm(argv[first], body.c_str(), pins);
    QueryPerformanceCounter(&t0);
    for (long k = 0; k < repeat; ++k) reply = pb::PostForm(argv[first], body.c_str(), pins);
  } catch (...) {
    std::printf("exception\n");
    return 1;
  }
  QueryPerformanceCounter(&t1);
  std::printf("reply %u ", static_cast<unsigned>(reply.size()));
  for (unsigned char c : reply) std::printf("%02x", c);
  std::printf("\n");
  if (timed) {
    std::printf("loop %ld %.6f\n", repeat,
                static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(freq.QuadPart));
  }
  return 0;
}
