// The reply format: the whole response body is Base64 (standard alphabet,
// padding optional) of the text name=value&name=value&...
//
// Decoding never fails and reports nothing: a body that strays from the
// format only yields fewer pairs. Pairs are written into the parameter store
// (nothing is removed from it), or into a map of the caller's.
#pragma once

#include <string>
#include <string_view>

#include "params/store.h"

namespace pb {

// Decodes from the first byte up to the first byte that is not one of the 64
// alphabet characters ('=' included, and any white space). Nothing after it
// is read. A final group of 2 or 3 characters gives 1 or 2 bytes, a single
// character nothing; spare low bits are dropped unread. The output may hold
// any byte, NUL included. Allocates only for the characters it decodes.
std::string Base64Decode(std::string_view encoded);

// Cuts `decoded` (up to its first NUL) into the maximal runs of bytes not in
// `delimiters`, and stores them pairwise, name then value, in order; a final
// token without a partner is dropped. Only position counts: "a&1=b&2" stores
// a -> 1 and b -> 2. The pairs are published together (one WriteBatch).
void SplitPairs(std::string_view decoded, std::string_view delimiters);

// Base64Decode, then SplitPairs with the delimiters "=&". The reply is
// decoded in its own buffer (decoding only shrinks), so a fetch needs no
// second copy of it: pass it with std::move. Nothing proportional to the
// reply is allocated when its first byte is outside the alphabet.
void DecodeReply(std::string reply);

// DecodeReply into `entries` instead of the store: the same pairs, added to
// or replacing those `entries` holds. Touches no shared state.
void DecodeReplyInto(std::string reply, ParameterMap& entries);

}  // namespace pb
