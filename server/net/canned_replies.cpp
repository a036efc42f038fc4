#include "server/net/canned_replies.h"

#include <openssl/evp.h>

#include <vector>

namespace pbs {

std::string Base64(std::string_view bytes) {
  std::vector<unsigned char> out(4 * ((bytes.size() + 2) / 3) + 1);
  const int length = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                                     static_cast<int>(bytes.size()));
  return std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(length));
}

const std::string& MalformedRequestBody() {
  static const std::string body = Base64("error=400&errorD=Malformed request");
  return body;
}

const std::string& RequestTooLargeBody() {
  static const std::string body = Base64("error=400&errorD=Request too large");
  return body;
}

}  // namespace pbs
