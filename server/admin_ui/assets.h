// The dashboard's files (www/), built into the binary so that the admin
// listener serves them with no folder to install and no network beyond the
// server itself. Generated at build time by embed.cmake.
#pragma once

#include <string_view>

namespace pbs {

struct AdminAsset {
  std::string_view path;           // as requested, e.g. "/", "/app.js"
  std::string_view content_type;   // with the charset for text
  std::string_view body;
};

// The file served at `path` ("/" is index.html), or nullptr.
const AdminAsset* FindAdminAsset(std::string_view path);

}  // namespace pbs
