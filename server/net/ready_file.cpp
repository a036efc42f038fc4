#include "server/net/ready_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "server/net/endpoint_text.h"

namespace pbs {

std::string FormatReady(const ReadyInfo& info) {
  std::string text = "pid=" + std::to_string(info.pid) + "\n";
  if (info.http) text += "http=" + EndpointText(*info.http) + "\n";
  if (info.https) text += "https=" + EndpointText(*info.https) + "\n";
  if (info.metrics) text += "metrics=" + EndpointText(*info.metrics) + "\n";
  if (info.admin) text += "admin=" + EndpointText(*info.admin) + "\n";
  if (!info.pin.empty()) text += "pin=" + info.pin + "\n";
  return text;
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error) {
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  std::FILE* file = std::fopen(temporary.c_str(), "w");
  if (!file) {
    error = "cannot write " + temporary + ": " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool flushed = std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
  const int saved = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !flushed || !closed) {
    error = "cannot write " + temporary + ": " + std::strerror(saved);
    std::remove(temporary.c_str());
    return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace pbs
