// How text of any bytes is kept in PostgreSQL's TEXT columns. Accounts,
// peers and notes arrive as bytes (a fetch's body is not checked for
// UTF-8), while a UTF-8 database refuses invalid sequences and NUL. So every
// text the PostgreSQL engine stores passes through StoredText and every text
// it reads back through ReadText:
//   - valid UTF-8 other than NUL and '\' is kept as it is (what psql shows);
//   - '\' is kept as "\\";
//   - NUL and each byte of an invalid sequence as "\xHH" (two hex digits).
// The mapping is one-to-one, so equality in SQL is equality of the bytes.
#pragma once

#include <string>
#include <string_view>

namespace pbs::pg {

std::string StoredText(std::string_view bytes);
// The inverse of StoredText; a text not written by it (a malformed escape)
// is returned as it is from the bad escape on.
std::string ReadText(std::string_view stored);

}  // namespace pbs::pg
